// Test support of the BLOB engine tests: a table file with the BLOB engine
// of either kind on it, started for a new table or an existing one.
#pragma once

#include "storage/BlobDescriptorSupport.h"
#include "storage/HeapTestSupport.h"
#include "storage/blobs/mvseBlobEngineSegmented.h"
#include "storage/blobs/mvseBlobEngineSimple.h"

namespace storage_test {

class BlobEngineTest : public HeapFileTest {
 protected:
  void TearDown() override {
    engine.reset();
    if (descriptor) FreeBlobDescriptor(descriptor);
    HeapFileTest::TearDown();
  }
  // The engine of a new table (aTrans) or of an existing one.
  void Start(TmvBaseTransaction* aTrans) {
    engine.reset();
    if (!descriptor) descriptor = simple ? NewBlobDescriptor(u"mv1xSimple") : NewHeapBlobDescriptor();
    files = {view.get()};
    // Found by the descriptor's engine name, as a table's engine is.
    engine.reset(TmvBaseBlobEngine::CreateEngine(descriptor, files, aTrans));
  }
  // The engine of a new table whose set-up aTrans commits.
  void StartNew() {
    TTestTransaction trans(cache);
    Start(&trans);
    trans.Commit();
  }
  void ReopenEngine() {
    engine.reset();
    Reopen();
    Start(nullptr);
  }
  std::vector<uint8_t> ReadRange(TmvBaseTransaction* aTrans, TmvBlobNr aNr, uint32_t aOffset, uint32_t aLen) {
    ByteStream stream;
    EXPECT_EQ(engine->Read(aTrans, aNr, aOffset, aLen, {}, &stream), 0u);
    return stream.bytes;
  }
  uint32_t Length(TmvBaseTransaction* aTrans, TmvBlobNr aNr) {
    uint32_t length = 0;
    EXPECT_EQ(engine->GetBlobLength(aTrans, aNr, {}, length), 0u);
    return length;
  }
  void WriteText(TmvBaseTransaction* aTrans, TmvBlobNr aNr, uint32_t aOffset, const std::string& aText) {
    engine->Write(aTrans, aNr, aOffset, uint32_t(aText.size()), aText.data());
  }

  bool simple = false;
  TmvBaseBlobDescriptor* descriptor = nullptr;
  TmvBlockAccessArray files;
  std::unique_ptr<TmvBaseBlobEngine> engine;
};

}  // namespace storage_test
