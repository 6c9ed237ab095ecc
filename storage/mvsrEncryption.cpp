// Storage: the encryption engine interface. See mvsrEncryption.h.
#include "storage/mvsrEncryption.h"

#include "foundation/mvllErrors.h"
#include "foundation/mvllExceptions.h"

std::atomic<TmvEncryptionEngineCreateProc> mvEncryptionEngineCreateHook{nullptr};

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

int32_t TmvBaseEncryptionEngine::CreateEngine(const String& aName, const TmvUnicodeStrings& aPasswords,
                                              uint8_t* aHeader, bool aCreating, bool aForServer,
                                              TmvBaseEncryptionEngine*& aEngine) {
  aEngine = nullptr;
  if (TmvEncryptionEngineCreateProc create = mvEncryptionEngineCreateHook.load(std::memory_order_acquire))
    return create(aName, aPasswords, aHeader, aCreating, aForServer, aEngine);
  return EmvBaseException::mvSetMessage(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown encryption engine: \"%s\"", {aName});
}
