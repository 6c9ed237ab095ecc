// Storage: what the heap and BLOB engines read of their dictionary
// descriptors, in a unit of its own so that the engines' units need not
// include the dictionary's headers beside the storage types.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TmvBaseHeapDescriptor;
class TmvBaseBlockHeapDescriptor;

int32_t mvHeapDescriptorID(const TmvBaseHeapDescriptor* aDescriptor);
TmvBaseBlockHeapDescriptor* mvBlockHeapDescriptorOf(const TmvBaseHeapDescriptor* aDescriptor);

class TmvBaseBlobDescriptor;

int32_t mvBlobDescriptorID(const TmvBaseBlobDescriptor* aDescriptor);
int32_t mvBlobDescriptorFileNumber(const TmvBaseBlobDescriptor* aDescriptor);
// The header section's name, as the dictionary keeps it (8-bit text).
std::string mvBlobDescriptorHeaderSection(const TmvBaseBlobDescriptor* aDescriptor);
// Whether the descriptor is a heap BLOB descriptor, and its heap descriptor.
bool mvIsHeapBlobDescriptor(const TmvBaseBlobDescriptor* aDescriptor);
TmvBaseHeapDescriptor* mvBlobHeapDescriptorOf(const TmvBaseBlobDescriptor* aDescriptor);

class TmvFieldsDescriptor;

// The BLOB field numbers of a fields descriptor, in field order.
std::vector<int32_t> mvBlobFieldsOf(TmvFieldsDescriptor* aFields);
// The BLOB number field aField holds in record aData; false when the field
// is null.
bool mvRecordBlobNr(TmvFieldsDescriptor* aFields, int32_t aField, const void* aData, int64_t& aBlobNr);
