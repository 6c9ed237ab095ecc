// Storage: the interfaces of the full-text engines. See
// mvsrFulltextEngine.h.
#include "storage/mvsrFulltextEngine.h"

#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"

namespace {

// The class registered in aFamily under aName, with its constructor aCreate;
// 15503 when there is none (or it is abstract).
template <typename R, typename C>
const R& mustFindClass(const TmvRegisterableEngineClassRef& aFamily, const String& aName, C R::*aCreate) {
  const auto* cls = static_cast<const R*>(TmvBaseRegisterableEngine::FindEngineClass(aFamily, aName));
  if (!cls || !(cls->*aCreate))
    throw EmvFulltextEngineException(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"", {u"Fulltext", aName});
  return *cls;
}

}  // namespace

TmvClassRegistry* TmvBaseFulltextTableEngine::Registry() { return mvFamilyRegistry<TmvBaseFulltextTableEngine>(); }

TmvClassRegistry* TmvBaseFulltextCursorEngine::Registry() { return mvFamilyRegistry<TmvBaseFulltextCursorEngine>(); }

constinit const TmvFulltextTableEngineClassRef TmvBaseFulltextTableEngine::StaticClass{
    {{u"TmvBaseFulltextTableEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseFulltextTableEngine::Registry,
     nullptr},
    nullptr};

constinit const TmvFulltextCursorEngineClassRef TmvBaseFulltextCursorEngine::StaticClass{
    {{u"TmvBaseFulltextCursorEngine", &TmvBaseRegisterableEngine::StaticClass},
     &TmvBaseFulltextCursorEngine::Registry, nullptr},
    nullptr};

TmvBaseFulltextTableEngine* TmvBaseFulltextTableEngine::CreateFor(TmvBaseRegisterableDescriptor* aDescriptor,
                                                                  const TmvBlockAccessArray& aFiles,
                                                                  TmvBaseIndicesEngine* aMainIndicesEngine,
                                                                  TmvBaseTransaction* aTrans) {
  const String name = mvEngineNameForDescriptor(aDescriptor->ClassType().ClassName, u"Descriptor", u"TableEngine");
  const auto& cls = mustFindClass(StaticClass, name, &TmvFulltextTableEngineClassRef::CreateTableEngine);
  return cls.CreateTableEngine(aDescriptor, aFiles, aMainIndicesEngine, aTrans);
}

TmvBaseFulltextTableEngine* TmvBaseFulltextTableEngine::CreateFor(TmvBaseTableDescriptor* aDictionary,
                                                                  const TmvBlockAccessArray& aFiles,
                                                                  TmvBaseIndicesEngine* aMainIndicesEngine,
                                                                  TmvBaseTransaction* aTrans) {
  TmvBaseCustomDescriptor* descriptor = mvFindCustomDescriptor(aDictionary, u"Fulltext");
  return descriptor ? CreateFor(descriptor, aFiles, aMainIndicesEngine, aTrans) : nullptr;
}

TmvBaseFulltextCursorEngine* TmvBaseFulltextCursorEngine::CreateFor(TmvBaseFulltextTableEngine* aTableEngine,
                                                                    TmvAbstractCursor* aCursor) {
  if (!aTableEngine) return nullptr;
  const String name = mvEngineNameForDescriptor(aTableEngine->ClassType().ClassName, u"TableEngine", u"CursorEngine");
  const auto& cls = mustFindClass(StaticClass, name, &TmvFulltextCursorEngineClassRef::CreateCursorEngine);
  return cls.CreateCursorEngine(aTableEngine, aCursor);
}
