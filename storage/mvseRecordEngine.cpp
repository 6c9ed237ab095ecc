// Storage: the record engine family. See mvseRecordEngine.h.
#include "storage/mvseRecordEngine.h"

#include "dictionary/mvsdTableDescriptor.h"

TmvClassRegistry* TmvBaseRecordEngine::GetList() {
  static TmvClassRegistry list = nullptr;
  return &list;
}

constinit const TmvRecordEngineClassRef TmvBaseRecordEngine::StaticClass{
    {{u"TmvBaseRecordEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseRecordEngine::GetList,
     &TmvBaseRecordEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseRecordEngine::CheckValidDescriptor};

TmvBaseRecordEngine::TmvBaseRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]) {}

TmvBaseRecordEngine* TmvBaseRecordEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                       const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->GetRecordDescriptor(), aFiles, aTrans);
}

TmvBaseRecordEngine* TmvBaseRecordEngine::CreateEngine(TmvBaseRecordDescriptor* aDescriptor,
                                                       const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseRecordEngineException>(
      StaticClass, u"Record", aDescriptor->GetRecordEngine(), &TmvRecordEngineClassRef::Create);
  return create(aDescriptor, aFiles, aTrans);
}

void TmvBaseRecordEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  TmvBaseRecordDescriptor* descriptor = aTableDescriptor->GetRecordDescriptor();
  if (!descriptor) return;
  mvSubEngineClass<EmvBaseRecordEngineException>(StaticClass, u"Record", descriptor->GetRecordEngine())
      .CheckValidDescriptor(aTableDescriptor);
}
