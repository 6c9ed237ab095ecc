// Data dictionary (for the index engines): the abstract key engine. See
// mvsdKeyEngineBase.h.
#include "dictionary/keys/mvsdKeyEngineBase.h"

#include <cstring>
#include <limits>

#include "dictionary/keys/mvsdKeyDescriptors.h"

TmvClassRegistry* TmvBaseKeyEngine::Registry() { return mvFamilyRegistry<TmvBaseKeyEngine>(); }

constinit const TmvKeyEngineClassRef TmvBaseKeyEngine::StaticClass{
    {{u"TmvBaseKeyEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    nullptr,
    nullptr};

namespace {

// The engine class that serves the descriptor's class.
const TmvKeyEngineClassRef& KeyEngineClassFor(TmvBaseKeyDescriptor* aDescriptor) {
  const TmvRegisterableEngineClassRef* found = nullptr;
  const auto& cls = mvEngineClassForDescriptor<EmvBaseKeyEngineException>(
      TmvBaseKeyEngine::StaticClass, aDescriptor->ClassType(), u"Key", found);
  return static_cast<const TmvKeyEngineClassRef&>(cls);
}

}  // namespace

TmvBaseKeyEngine::TmvBaseKeyEngine(TmvBaseKeyDescriptor* aDescriptor) : bkeKeyDescriptor(aDescriptor) {
  const int32_t length = aDescriptor->GetKeyLen();
  if (length < 0 || length > std::numeric_limits<uint16_t>::max())
    throw EmvBaseKeyEngineException(MVERR_INVALIDDESC, u"Key length %d is outside 0..65535", {length});
  bkeKeyLength = uint16_t(length);
  bkeMemoryPool = mvGetMemoryPool(std::max<size_t>(bkeKeyLength, 1));
}

TmvBaseKeyEngine* TmvBaseKeyEngine::CreateFor(TmvBaseKeyDescriptor* aDescriptor) {
  const TmvKeyEngineClassRef& cls = KeyEngineClassFor(aDescriptor);
  if (!cls.CreateKeyEngine)
    throw EmvBaseKeyEngineException(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"",
                                    {String(u"Key"), cls.Name()});
  return cls.CreateKeyEngine(aDescriptor);
}

void TmvBaseKeyEngine::CheckValidBaseFromDescriptor(TmvBaseKeyDescriptor* aDescriptor) {
  const TmvKeyEngineClassRef& cls = KeyEngineClassFor(aDescriptor);
  if (cls.CheckValidBase) cls.CheckValidBase(aDescriptor);
}

void* TmvBaseKeyEngine::AllocKey() {
  void* key = mvMemoryPoolAlloc(bkeMemoryPool);
  try {
    ClearKey(key);
  } catch (...) {
    mvMemoryPoolDispose(bkeMemoryPool, key);
    throw;
  }
  return key;
}

void TmvBaseKeyEngine::FreeKey(void*& aKey) { mvMemoryPoolDispose(bkeMemoryPool, aKey); }

void TmvBaseKeyEngine::CopyKey(const void* aFrom, void* aTo) const { std::memcpy(aTo, aFrom, bkeKeyLength); }
