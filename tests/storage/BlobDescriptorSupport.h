// Test support: the BLOB descriptors and the fields of the BLOB engine and
// handler tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"

namespace storage_test {

// A heap BLOB descriptor with its heap and block heap descriptors.
inline TmvBaseBlobDescriptor* NewHeapBlobDescriptor() {
  auto* descriptor = new TmvHeapBlobDescriptor(nullptr);
  descriptor->AddHeapDescriptor()->AddBlockHeapDescriptor();
  return descriptor;
}

// A plain BLOB descriptor for the engine aEngine (for example "mv1xSimple").
inline TmvBaseBlobDescriptor* NewBlobDescriptor(const std::u16string& aEngine) {
  auto* descriptor = new TmvBaseBlobDescriptor(nullptr);
  descriptor->SetBlobEngine(aEngine);
  return descriptor;
}

inline void FreeBlobDescriptor(TmvBaseBlobDescriptor* aDescriptor) { delete aDescriptor; }

// Fields "ID" (Int32), "Text" (BlobMemo), "Pic" (BlobGraphic) in a data
// dictionary of their own, freed with FreeFields.
inline TmvFieldsDescriptor* NewBlobFields() {
  auto* dictionary = new TmvDataDictionary();
  TmvFieldsDescriptor* fields = dictionary->GetFieldsDescriptor();
  fields->AddField(u"ID", u"", mvtInt32, 0, 0, false);
  fields->AddField(u"Text", u"", mvtBlobMemo, 0, 0, false);
  fields->AddField(u"Pic", u"", mvtBlobGraphic, 0, 0, false);
  return fields;
}

inline void FreeFields(TmvFieldsDescriptor* aFields) { delete static_cast<TmvDataDictionary*>(aFields->GetParent()); }

// The descriptor's special-fields information (one reference).
inline TmvSpecialFieldsInfo* SFIOf(TmvFieldsDescriptor* aFields) {
  TmvSpecialFieldsInfo* info = nullptr;
  aFields->GetSpecialFieldsInfo(info);
  return info;
}

// A fresh record (all null) of the fields.
inline std::vector<uint8_t> NewRecord(TmvFieldsDescriptor* aFields) {
  std::vector<uint8_t> record(size_t(aFields->RecordLength()), 0);
  aFields->InitRecord(record.data());
  return record;
}

// Field aField of aRecord holds BLOB number aNr.
inline void SetBlobField(TmvFieldsDescriptor* aFields, std::vector<uint8_t>& aRecord, int32_t aField, int64_t aNr) {
  aFields->SetRecordField(aField, aRecord.data(), &aNr);
}

}  // namespace storage_test
