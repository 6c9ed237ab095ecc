// Storage: the encryption engine interface. See mvsrEncryption.h.
#include "storage/files/mvsrEncryption.h"

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"

std::atomic<TmvEncryptionEngineCreateProc> mvEncryptionEngineCreateHook{nullptr};
std::atomic<TmvEncryptionEngineSpaceProc> mvEncryptionEngineSpaceHook{nullptr};

namespace {

constexpr char16_t kUnknownEngine[] = u"Unknown encryption engine: \"%s\"";

TmvEncryptionEngineSpace engineSpace(const String& aName, bool aForServer, TmvBlockSize aBlockSize) {
  TmvEncryptionEngineSpace space;
  if (!aName.empty() && !TmvBaseEncryptionEngine::FindReservedSpace(aName, aForServer, aBlockSize, space))
    throw EmvBaseException(MVERR_UNSUPPORTEDSUBENGINE, kUnknownEngine, {aName});
  return space;
}

}  // namespace

void TmvBaseEncryptionEngine::CodeBlockEx(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen,
                                          uint32_t aRandomizer, const TmvByteArray&, TmvByteArray&) {
  CodeBlock(aBlockIn, aBlockOut, aBlockLen, uint64_t(aRandomizer) * aBlockLen);
}

void TmvBaseEncryptionEngine::DecodeBlockEx(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer,
                                            TmvByteArray& aCookie) {
  aCookie.clear();
  DecodeBlock(aBlock, aBlockLen, uint64_t(aRandomizer) * aBlockLen);
}

void TmvBaseEncryptionEngine::UpdateHeaderChecksum(void*, uint32_t) {}
void TmvBaseEncryptionEngine::VerifyHeaderChecksum(const void*, uint32_t) {}
int32_t TmvBaseEncryptionEngine::AuthenticatePassword(const TmvUnicodeStrings&) { return 0; }

void TmvBaseEncryptionEngine::ChangePassword(uint8_t*, const String&) {
  throw EmvBaseException(MVERR_NOTSUPPORTED, u"%s not supported by %s", {u"ChangePassword", ClassName()});
}

bool TmvBaseEncryptionEngine::FindReservedSpace(const String& aName, bool aForServer, TmvBlockSize aBlockSize,
                                                TmvEncryptionEngineSpace& aSpace) {
  aSpace = TmvEncryptionEngineSpace{};
  if (aName.empty()) return true;
  TmvEncryptionEngineSpaceProc lookup = mvEncryptionEngineSpaceHook.load(std::memory_order_acquire);
  return lookup && lookup(aName, aForServer, aBlockSize, aSpace);
}

uint32_t TmvBaseEncryptionEngine::ReservedSpacePerBlock(const String& aName, bool aForServer,
                                                        TmvBlockSize aBlockSize) {
  return engineSpace(aName, aForServer, aBlockSize).PerBlock;
}

uint32_t TmvBaseEncryptionEngine::ReservedHeaderSpace(const String& aName, bool aForServer) {
  return engineSpace(aName, aForServer, mvbs4k).HeaderSpace;
}

int32_t TmvBaseEncryptionEngine::CreateEngine(const String& aName, const TmvUnicodeStrings& aPasswords,
                                              uint8_t* aHeader, bool aCreating, bool aForServer,
                                              TmvBaseEncryptionEngine*& aEngine) {
  aEngine = nullptr;
  if (TmvEncryptionEngineCreateProc create = mvEncryptionEngineCreateHook.load(std::memory_order_acquire))
    return create(aName, aPasswords, aHeader, aCreating, aForServer, aEngine);
  return EmvBaseException::mvSetMessage(MVERR_UNSUPPORTEDSUBENGINE, kUnknownEngine, {aName});
}
