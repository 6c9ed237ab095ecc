// Test support: BLOB descriptors (named as a test file so that the storage
// test executable compiles it; it holds no test).
#include "BlobDescriptorSupport.h"

#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdUnits.h"

namespace storage_test {

TmvBaseBlobDescriptor* NewHeapBlobDescriptor() {
  auto* descriptor = new TmvHeapBlobDescriptor(nullptr);
  descriptor->AddHeapDescriptor()->AddBlockHeapDescriptor();
  return descriptor;
}

TmvBaseBlobDescriptor* NewBlobDescriptor(const std::u16string& aEngine) {
  auto* descriptor = new TmvBaseBlobDescriptor(nullptr);
  descriptor->SetBlobEngine(aEngine);
  return descriptor;
}

void FreeBlobDescriptor(TmvBaseBlobDescriptor* aDescriptor) { delete aDescriptor; }
void StartDictionary() { mvDictionaryInit(); }
void StopDictionary() { mvDictionaryFini(); }

}  // namespace storage_test

namespace storage_test {

// The fields live in a data dictionary of their own, freed with them.
TmvFieldsDescriptor* NewBlobFields(bool aWithBlobs) {
  auto* dictionary = new TmvDataDictionary();
  TmvFieldsDescriptor* fields = dictionary->GetFieldsDescriptor();
  fields->AddField(u"ID", u"", mvtInt32, 0, 0, false);
  if (aWithBlobs) {
    fields->AddField(u"Text", u"", mvtBlobMemo, 0, 0, false);
    fields->AddField(u"Pic", u"", mvtBlobGraphic, 0, 0, false);
  }
  return fields;
}

void FreeFields(TmvFieldsDescriptor* aFields) {
  delete static_cast<TmvDataDictionary*>(aFields->GetParent());
}

TmvSpecialFieldsInfo* SFIOf(TmvFieldsDescriptor* aFields) {
  TmvSpecialFieldsInfo* info = nullptr;
  aFields->GetSpecialFieldsInfo(info);
  return info;
}

void ReleaseSFI(TmvSpecialFieldsInfo*& aInfo) { mvReleaseSpecialFieldsInfo(aInfo); }

std::vector<uint8_t> NewRecord(TmvFieldsDescriptor* aFields) {
  std::vector<uint8_t> record(size_t(aFields->RecordLength()), 0);
  aFields->InitRecord(record.data());
  return record;
}

void SetBlobField(TmvFieldsDescriptor* aFields, std::vector<uint8_t>& aRecord, int32_t aField, int64_t aNr) {
  aFields->SetRecordField(aField, aRecord.data(), &aNr);
}

void SetFieldNull(TmvFieldsDescriptor* aFields, std::vector<uint8_t>& aRecord, int32_t aField) {
  aFields->SetRecordFieldNull(aField, aRecord.data(), true);
}

}  // namespace storage_test
