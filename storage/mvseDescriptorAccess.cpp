// Storage: what the heap and BLOB engines read of their descriptors.
#include "storage/mvseDescriptorAccess.h"

#include "dictionary/mvsdStorageDescriptors.h"

int32_t mvHeapDescriptorID(const TmvBaseHeapDescriptor* aDescriptor) {
  return aDescriptor ? aDescriptor->GetID() : 0;
}

TmvBaseBlockHeapDescriptor* mvBlockHeapDescriptorOf(const TmvBaseHeapDescriptor* aDescriptor) {
  return aDescriptor ? aDescriptor->GetBlockHeapDescriptor() : nullptr;
}
