// Test support: BLOB descriptors made in a unit of their own, so that the
// tests that use them need not include the dictionary's headers beside the
// storage types.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TmvBaseBlobDescriptor;

namespace storage_test {

// A heap BLOB descriptor with its heap and block heap descriptors.
TmvBaseBlobDescriptor* NewHeapBlobDescriptor();
// A plain BLOB descriptor for the engine aEngine (for example "mv1xSimple").
TmvBaseBlobDescriptor* NewBlobDescriptor(const std::u16string& aEngine);
void FreeBlobDescriptor(TmvBaseBlobDescriptor* aDescriptor);
void StartDictionary();
void StopDictionary();

}  // namespace storage_test

class TmvFieldsDescriptor;
struct TmvSpecialFieldsInfo;

namespace storage_test {

// Fields "ID" (Int32), "Text" (BlobMemo), "Pic" (BlobGraphic); freed with
// FreeFields.
TmvFieldsDescriptor* NewBlobFields(bool aWithBlobs = true);
void FreeFields(TmvFieldsDescriptor* aFields);
// The descriptor's special-fields information (one reference, released by
// ReleaseSFI).
TmvSpecialFieldsInfo* SFIOf(TmvFieldsDescriptor* aFields);
void ReleaseSFI(TmvSpecialFieldsInfo*& aInfo);
// A fresh record (all null) of the fields, as bytes.
std::vector<uint8_t> NewRecord(TmvFieldsDescriptor* aFields);
// Field aField of aRecord: the 8-byte BLOB number, or null.
void SetBlobField(TmvFieldsDescriptor* aFields, std::vector<uint8_t>& aRecord, int32_t aField, int64_t aNr);
void SetFieldNull(TmvFieldsDescriptor* aFields, std::vector<uint8_t>& aRecord, int32_t aField);

}  // namespace storage_test
