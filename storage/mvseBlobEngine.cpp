// Storage: the BLOB engine family. See mvseBlobEngine.h.
#include "storage/mvseBlobEngine.h"

#include "dictionary/mvsdTableDescriptor.h"

TmvClassRegistry* TmvBaseBlobEngine::GetList() {
  static TmvClassRegistry list = nullptr;
  return &list;
}

constinit const TmvBlobEngineClassRef TmvBaseBlobEngine::StaticClass{
    {{u"TmvBaseBlobEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseBlobEngine::GetList,
     &TmvBaseBlobEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseBlobEngine::CheckValidBase};

TmvBaseBlobEngine::TmvBaseBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]) {}

TmvBaseBlobEngine* TmvBaseBlobEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                   const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->GetBlobDescriptor(), aFiles, aTrans);
}

TmvBaseBlobEngine* TmvBaseBlobEngine::CreateEngine(TmvBaseBlobDescriptor* aDescriptor,
                                                   const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseBlobEngineException>(StaticClass, u"BLOB", aDescriptor->GetBlobEngine(),
                                                                   &TmvBlobEngineClassRef::Create);
  return create(aDescriptor, aFiles, aTrans);
}

void TmvBaseBlobEngine::CheckValidFromDescriptor(TmvBaseBlobDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseBlobEngineException>(StaticClass, u"BLOB", aDescriptor->GetBlobEngine())
      .CheckValidBase(aDescriptor);
}

void TmvBaseBlobEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  CheckValidFromDescriptor(aTableDescriptor->GetBlobDescriptor());
}
