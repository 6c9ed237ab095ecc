// Storage: the block heap engine family. See mvseBlockHeapEngine.h.
#include "storage/mvseBlockHeapEngine.h"

#include "dictionary/mvsdStorageDescriptors.h"

TmvClassRegistry* TmvBaseBlockHeapEngine::GetList() {
  static TmvClassRegistry list = nullptr;
  return &list;
}

constinit const TmvBlockHeapEngineClassRef TmvBaseBlockHeapEngine::StaticClass{
    {{u"TmvBaseBlockHeapEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseBlockHeapEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    &TmvBaseBlockHeapEngine::CheckValidBase};

TmvBaseBlockHeapEngine::TmvBaseBlockHeapEngine(TmvBaseBlockHeapDescriptor* aDescriptor, int32_t aTableVersion)
    : TmvBaseSubEngine(aDescriptor->GetID(), nullptr) {
  bseTableVersion = aTableVersion;
}

TmvBaseBlockHeapEngine* TmvBaseBlockHeapEngine::CreateEngine(TmvBaseBlockHeapDescriptor* aDescriptor,
                                                             uint32_t aBlockSize, uint32_t aHeaderSize,
                                                             int32_t aTableVersion) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseBlockHeapEngineException>(
      StaticClass, u"BlockHeap", aDescriptor->GetBlockHeapEngine(), &TmvBlockHeapEngineClassRef::Create);
  return create(aDescriptor, aBlockSize, aHeaderSize, aTableVersion);
}

void TmvBaseBlockHeapEngine::CheckValidBaseFromDescriptor(TmvBaseBlockHeapDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseBlockHeapEngineException>(StaticClass, u"BlockHeap", aDescriptor->GetBlockHeapEngine())
      .CheckValidBase(aDescriptor);
}
