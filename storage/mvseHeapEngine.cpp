// Storage: the heap engine family. See mvseHeapEngine.h.
#include "storage/mvseHeapEngine.h"

#include "dictionary/mvsdStorageDescriptors.h"
#include "storage/mvseBlockHeapEngine.h"

TmvClassRegistry* TmvBaseHeapEngine::GetList() {
  static TmvClassRegistry list = nullptr;
  return &list;
}

constinit const TmvHeapEngineClassRef TmvBaseHeapEngine::StaticClass{
    {{u"TmvBaseHeapEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseHeapEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    &TmvBaseHeapEngine::CheckValidBase};

TmvBaseHeapEngine::TmvBaseHeapEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile)
    : TmvBaseSubEngine(aDescriptor->GetID(), aDataFile) {}

TmvBaseHeapEngine* TmvBaseHeapEngine::CreateEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                                   TmvHeapHeaderHandler* aHeaderHandler) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseHeapEngineException>(StaticClass, u"Heap", aDescriptor->GetHeapEngine(),
                                                                   &TmvHeapEngineClassRef::Create);
  return create(aDescriptor, aDataFile, aHeaderHandler);
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
