// Storage: the base of the block heap engines.
#include "storage/mvseBlockHeapEngine.h"

TmvBaseBlockHeapEngine::TmvBaseBlockHeapEngine(TmvBaseBlockHeapDescriptor* /*aDescriptor*/, uint32_t aBlockSize,
                                               uint16_t aHeaderSize, int32_t aTableVersion)
    : bbheBlockSize(aBlockSize), bbheHeaderSize(aHeaderSize) {
  bseTableVersion = aTableVersion;
}

void TmvBaseBlockHeapEngine::IncSegmentRef(TmvSegmentRef& /*aSegmentRef*/) {}

void TmvBaseBlockHeapEngine::DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                       uint16_t aRecoverableSpace) {
  if (bbheOnChanged) bbheOnChanged.Code(bbheOnChanged.Object, aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
}

void mvseBlockHeapEngineInit() {}
void mvseBlockHeapEngineFini() {}
