// Storage: the auto-increment engine family. See mvseAutoIncEngine.h.
#include "storage/mvseAutoIncEngine.h"

#include "dictionary/mvsdTableDescriptor.h"

TmvClassRegistry* TmvBaseAutoIncEngine::GetList() {
  static TmvClassRegistry list = nullptr;
  return &list;
}

constinit const TmvAutoIncEngineClassRef TmvBaseAutoIncEngine::StaticClass{
    {{u"TmvBaseAutoIncEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseAutoIncEngine::GetList,
     &TmvBaseAutoIncEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseAutoIncEngine::CheckValidDescriptor};

TmvBaseAutoIncEngine::TmvBaseAutoIncEngine(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]) {}

TmvBaseAutoIncEngine* TmvBaseAutoIncEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->GetAutoIncDescriptor(), aFiles, aTrans);
}

TmvBaseAutoIncEngine* TmvBaseAutoIncEngine::CreateEngine(TmvBaseAutoIncDescriptor* aDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseAutoIncEngineException>(
      StaticClass, u"autoinc", aDescriptor->GetAutoIncEngine(), &TmvAutoIncEngineClassRef::Create);
  return create(aDescriptor, aFiles, aTrans);
}

void TmvBaseAutoIncEngine::CheckValidFromDescriptor(TmvBaseAutoIncDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseAutoIncEngineException>(StaticClass, u"autoinc", aDescriptor->GetAutoIncEngine())
      .CheckValidDescriptor(aDescriptor);
}

void TmvBaseAutoIncEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  CheckValidFromDescriptor(aTableDescriptor->GetAutoIncDescriptor());
}
