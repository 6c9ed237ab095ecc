// Storage: the block heap engine family. See mvseBlockHeapEngine.h.
#include "storage/heaps/mvseBlockHeapEngine.h"

#include "dictionary/mvsdStorageDescriptors.h"

TmvClassRegistry* TmvBaseBlockHeapEngine::GetList() { return mvFamilyRegistry<TmvBaseBlockHeapEngine>(); }

constinit const TmvBlockHeapEngineClassRef TmvBaseBlockHeapEngine::StaticClass{
    {{u"TmvBaseBlockHeapEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseBlockHeapEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    &TmvBaseBlockHeapEngine::CheckValidBase};

TmvBaseBlockHeapEngine::TmvBaseBlockHeapEngine(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                               uint32_t aHeaderSize, int32_t aTableVersion)
    : TmvBaseSubEngine(aDescriptor ? aDescriptor->GetID() : 0, nullptr),
      bbheBlockSize(aBlockSize),
      bbheHeaderSize(uint16_t(aHeaderSize)) {
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

void TmvBaseBlockHeapEngine::IncSegmentRef(TmvSegmentRef& /*aSegmentRef*/) {}

void TmvBaseBlockHeapEngine::DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                       uint16_t aRecoverableSpace) {
  if (bbheOnChanged) bbheOnChanged.Code(bbheOnChanged.Object, aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
}

void mvseBlockHeapEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseBlockHeapEngine::StaticClass); }

void mvseBlockHeapEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseBlockHeapEngine::StaticClass); }
