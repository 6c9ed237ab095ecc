// Storage: the heap engine family. See mvseHeapEngine.h.
#include "storage/heaps/mvseHeapEngine.h"

#include "dictionary/mvsdStorageDescriptors.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/mvsrLog.h"

TmvClassRegistry* TmvBaseHeapEngine::GetList() { return mvFamilyRegistry<TmvBaseHeapEngine>(); }

constinit const TmvHeapEngineClassRef TmvBaseHeapEngine::StaticClass{
    {{u"TmvBaseHeapEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseHeapEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    &TmvBaseHeapEngine::CheckValidBase};

TmvBaseHeapEngine::TmvBaseHeapEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                     TmvHeapHeaderHandler* aHeaderHandler)
    : TmvBaseSubEngine(aDescriptor ? aDescriptor->GetID() : 0, aDataFile),
      bheDataFile(aDataFile),
      bheHeaderHandler(aHeaderHandler) {
  if (!aDataFile || !aHeaderHandler) {
    delete aHeaderHandler;
    MV_ASSERT(aDataFile && aHeaderHandler);
  }
  aHeaderHandler->hhhEngine = this;
}

TmvBaseHeapEngine::~TmvBaseHeapEngine() {
  delete bheBlockHeapEngine;
  delete bheHeaderHandler;
}

TmvBaseHeapEngine* TmvBaseHeapEngine::CreateEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                                   TmvHeapHeaderHandler* aHeaderHandler) {
  try {
    if (!aDescriptor) {
      delete aHeaderHandler;
      return nullptr;
    }
    auto create = mvSubEngineConstructor<EmvBaseHeapEngineException>(StaticClass, u"Heap", aDescriptor->GetHeapEngine(),
                                                                     &TmvHeapEngineClassRef::Create);
    return create(aDescriptor, aDataFile, aHeaderHandler);
  } catch (const EmvBaseHeapEngineException&) {
    delete aHeaderHandler;  // no engine took it
    throw;
  }
}

void TmvBaseHeapEngine::CheckValidBaseFromDescriptor(TmvBaseHeapDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseHeapEngineException>(StaticClass, u"Heap", aDescriptor->GetHeapEngine())
      .CheckValidBase(aDescriptor);
}

void TmvBaseHeapEngine::CheckValidBase(TmvBaseHeapDescriptor* aDescriptor) {
  TmvBaseBlockHeapDescriptor* blockHeap = aDescriptor->GetBlockHeapDescriptor();
  if (!blockHeap) throw EmvBaseHeapEngineException(MVERR_INVALIDDESC, u"A block heap descriptor is required");
  TmvBaseBlockHeapEngine::CheckValidBaseFromDescriptor(blockHeap);
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

void mvseHeapEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseHeapEngine::StaticClass); }

void mvseHeapEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseHeapEngine::StaticClass); }
