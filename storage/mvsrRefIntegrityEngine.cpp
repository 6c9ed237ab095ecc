// Storage: the interface of the referential-integrity engine. See
// mvsrRefIntegrityEngine.h.
#include "storage/mvsrRefIntegrityEngine.h"

#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"

TmvClassRegistry* TmvBaseRefIntegrityEngine::Registry() { return mvFamilyRegistry<TmvBaseRefIntegrityEngine>(); }

constinit const TmvRefIntegrityEngineClassRef TmvBaseRefIntegrityEngine::StaticClass{
    {{u"TmvBaseRefIntegrityEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseRefIntegrityEngine::Registry,
     nullptr},
    nullptr};

TmvBaseRefIntegrityEngine* TmvBaseRefIntegrityEngine::CreateFor(TmvBaseRegisterableDescriptor* aDescriptor,
                                                                TmvAbstractCursor* aCursor) {
  if (!aDescriptor) return nullptr;
  // Looked up each time: a cursor is made far less often than it notifies.
  const TmvRegisterableEngineClassRef* found = nullptr;
  const auto& cls = static_cast<const TmvRefIntegrityEngineClassRef&>(
      mvEngineClassForDescriptor<EmvRefIntegrityEngineException>(StaticClass, aDescriptor->ClassType(),
                                                                 u"RefIntegrity", found));
  if (!cls.CreateRefIntegrityEngine)
    throw EmvRefIntegrityEngineException(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"",
                                         {u"RefIntegrity", cls.Name()});
  return cls.CreateRefIntegrityEngine(aDescriptor, aCursor);
}

TmvBaseRefIntegrityEngine* TmvBaseRefIntegrityEngine::CreateFor(TmvBaseTableDescriptor* aDictionary,
                                                                TmvAbstractCursor* aCursor) {
  return CreateFor(mvFindRefIntegrityDescriptor(aDictionary), aCursor);
}
