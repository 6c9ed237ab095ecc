// Storage: the indices and index engine families. See mvseIndicesEngine.h.
#include "storage/mvseIndicesEngine.h"

#include "dictionary/mvsdKeyEngineBase.h"
#include "dictionary/mvsdTableDescriptor.h"

TmvClassRegistry* TmvBaseIndicesEngine::GetList() {
  static TmvClassRegistry list = nullptr;
  return &list;
}

constinit const TmvIndicesEngineClassRef TmvBaseIndicesEngine::StaticClass{
    {{u"TmvBaseIndicesEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseIndicesEngine::GetList,
     &TmvBaseIndicesEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseIndicesEngine::CheckIndexDescriptors};

TmvBaseIndicesEngine::TmvBaseIndicesEngine(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]) {}

TmvBaseIndicesEngine* TmvBaseIndicesEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                                         bool aAddToExisting) {
  return CreateEngine(aTableDescriptor->GetIndicesDescriptor(), aFiles, aRecordEngine, aTrans, aAddToExisting);
}

TmvBaseIndicesEngine* TmvBaseIndicesEngine::CreateEngine(TmvBaseIndicesDescriptor* aDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                                         bool aAddToExisting) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseIndicesEngineException>(
      StaticClass, u"indices", aDescriptor->GetIndicesEngine(), &TmvIndicesEngineClassRef::Create);
  return create(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting);
}

void TmvBaseIndicesEngine::CheckValidBaseFromDescriptor(TmvBaseIndicesDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseIndicesEngineException>(StaticClass, u"indices", aDescriptor->GetIndicesEngine())
      .CheckIndexDescriptors(aDescriptor);
}

void TmvBaseIndicesEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  CheckValidBaseFromDescriptor(aTableDescriptor->GetIndicesDescriptor());
}

void TmvBaseIndicesEngine::CheckIndexDescriptors(TmvBaseIndicesDescriptor* aDescriptor) {
  for (int32_t i = 0; i < aDescriptor->IndexCount(); ++i)
    TmvBaseIndexEngine::CheckValidBaseFromDescriptor(aDescriptor->IndexDescriptor(i));
}

// ---------------------------------------------------------------------------

TmvClassRegistry* TmvBaseIndexEngine::GetList() {
  static TmvClassRegistry list = nullptr;
  return &list;
}

constinit const TmvIndexEngineClassRef TmvBaseIndexEngine::StaticClass{
    {{u"TmvBaseIndexEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseIndexEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    &TmvBaseIndexEngine::CheckKeyDescriptor};

TmvBaseIndexEngine::TmvBaseIndexEngine(TmvIndexDescriptor* aDescriptor, int32_t aTableVersion)
    : TmvBaseSubEngine(aDescriptor->GetID(), nullptr) {
  bseTableVersion = aTableVersion;
}

TmvBaseIndexEngine* TmvBaseIndexEngine::CreateEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                                     TmvIndexDescriptor* aIndexDescriptor) {
  auto create = mvSubEngineConstructor<EmvBaseIndexEngineException>(
      StaticClass, u"index", aIndexDescriptor->GetIndexEngine(), &TmvIndexEngineClassRef::Create);
  return create(aIndicesEngine, aKeyEngine, aIndexDescriptor);
}

void TmvBaseIndexEngine::CheckValidBaseFromDescriptor(TmvIndexDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseIndexEngineException>(StaticClass, u"index", aDescriptor->GetIndexEngine())
      .CheckKeyDescriptor(aDescriptor);
}

void TmvBaseIndexEngine::CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor) {
  if (aIndexDescriptor->GetParent())
    TmvBaseKeyEngine::CheckValidBaseFromDescriptor(aIndexDescriptor->GetKeyDescriptor());
}
