// Storage: what the heap and BLOB engines read of their descriptors.
#include "storage/mvseDescriptorAccess.h"

#include "dictionary/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdStorageDescriptors.h"

int32_t mvHeapDescriptorID(const TmvBaseHeapDescriptor* aDescriptor) {
  return aDescriptor ? aDescriptor->GetID() : 0;
}

TmvBaseBlockHeapDescriptor* mvBlockHeapDescriptorOf(const TmvBaseHeapDescriptor* aDescriptor) {
  return aDescriptor ? aDescriptor->GetBlockHeapDescriptor() : nullptr;
}

int32_t mvBlobDescriptorID(const TmvBaseBlobDescriptor* aDescriptor) { return aDescriptor ? aDescriptor->GetID() : 0; }

int32_t mvBlobDescriptorFileNumber(const TmvBaseBlobDescriptor* aDescriptor) {
  return aDescriptor ? aDescriptor->GetFileNumber() : 0;
}

std::string mvBlobDescriptorHeaderSection(const TmvBaseBlobDescriptor* aDescriptor) {
  return aDescriptor ? std::string(aDescriptor->GetHeaderSection()) : std::string("Blob");
}

bool mvIsHeapBlobDescriptor(const TmvBaseBlobDescriptor* aDescriptor) {
  return dynamic_cast<const TmvHeapBlobDescriptor*>(aDescriptor) != nullptr;
}

TmvBaseHeapDescriptor* mvBlobHeapDescriptorOf(const TmvBaseBlobDescriptor* aDescriptor) {
  const auto* heap = dynamic_cast<const TmvHeapBlobDescriptor*>(aDescriptor);
  return heap ? heap->GetHeapDescriptor() : nullptr;
}

std::vector<int32_t> mvBlobFieldsOf(TmvFieldsDescriptor* aFields) {
  std::vector<int32_t> fields;
  if (aFields) aFields->HasBlobFields(fields);
  return fields;
}

bool mvRecordBlobNr(TmvFieldsDescriptor* aFields, int32_t aField, const void* aData, int64_t& aBlobNr) {
  bool isNull = true;
  aBlobNr = 0;
  aFields->GetRecordField(aField, aData, isNull, &aBlobNr);
  return !isNull;
}
