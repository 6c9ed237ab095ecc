// Storage: the base of the heap engines.
#include "storage/mvseHeapEngine.h"

#include "storage/mvseDescriptorAccess.h"
#include "storage/mvsrBaseFile.h"
#include "storage/mvsrLog.h"

TmvHeldBlock::~TmvHeldBlock() {
  try {
    Drop();
  } catch (...) {
    mvStorageLogError(mvCurrentExceptionText());
  }
}

TmvBaseHeapEngine::TmvBaseHeapEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                     TmvHeapHeaderHandler* aHeaderHandler)
    : bheDataFile(aDataFile), bheHeaderHandler(aHeaderHandler) {
  if (!aDataFile || !aHeaderHandler) {
    delete aHeaderHandler;
    MV_ASSERT(aDataFile && aHeaderHandler);
  }
  bseID = uint32_t(mvHeapDescriptorID(aDescriptor));
  bseTableVersion = aDataFile->_File()->fiMorvaVersion;
  aHeaderHandler->hhhEngine = this;
}

TmvBaseHeapEngine::~TmvBaseHeapEngine() {
  delete bheBlockHeapEngine;
  delete bheHeaderHandler;
}

void TmvBaseHeapEngine::BlockAdded(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess,
                                   uint8_t* aBlock) {
  bheHeaderHandler->BlockAdded(aTrans, aHeaderAccess, aBlock);
}

void TmvBaseHeapEngine::BlockRemoved(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess,
                                     uint8_t* aBlock) {
  bheHeaderHandler->BlockRemoved(aTrans, aHeaderAccess, aBlock);
}

uint32_t TmvBaseHeapEngine::GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess) {
  return bheHeaderHandler->GetFirstManagementBlock(aHeaderAccess);
}

void TmvBaseHeapEngine::SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess, uint32_t aBlockNumber) {
  bheHeaderHandler->SetFirstManagementBlock(aHeaderAccess, aBlockNumber);
}

void TmvBaseHeapEngine::IncHeapRef(TmvHeapRef& /*aHeapRef*/) {}
