// Test support: BLOB descriptors made in a unit of their own, so that the
// tests that use them need not include the dictionary's headers beside the
// storage types.
#pragma once

#include <string>

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
