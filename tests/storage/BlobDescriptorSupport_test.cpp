// Test support: BLOB descriptors (named as a test file so that the storage
// test executable compiles it; it holds no test).
#include "BlobDescriptorSupport.h"

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
