// Test support of the heap and BLOB engine tests: a version 2 table file
// with a block access, transactions that commit, and a heap header handler
// that keeps the first management block in a header section.
#pragma once

#include <memory>

#include "platform/Classes.h"
#include "storage/FileHeaderTestSupport.h"
#include "storage/heaps/mvseHeapEngineCached.h"
#include "storage/mvsrTimeoutHandling.h"

namespace storage_test {

// Keeps the first management block in the header section "Heap".
class SectionHeapHandler : public TmvHeapHeaderHandler {
 public:
  explicit SectionHeapHandler(uint32_t aSection) : section(aSection) {}
  void BlockAdded(TmvBaseTransaction*, TmvBaseFileHeaderAccess*, uint8_t*) override { ++added; }
  void BlockRemoved(TmvBaseTransaction*, TmvBaseFileHeaderAccess*, uint8_t*) override { ++removed; }
  uint32_t GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeader) override {
    return mvGetU32(aHeader->Header, section);
  }
  void SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeader, uint32_t aBlock) override {
    mvPutU32(aHeader->Header, section, aBlock);
  }
  uint32_t section;
  int added = 0, removed = 0;
};

// A new 4 KB "MV!2" table file (engine version 47005) with a view on it;
// Reopen closes it and opens it again as stored.
class HeapFileTest : public HeaderTest {
 protected:
  void SetUp() override {
    HeaderTest::SetUp();
    mvSetOperationDeadline(0, true);  // long loops check the deadline
    TTestTransaction trans(cache);
    table = Create("heap.mv1", &trans);
    view = std::make_unique<TmvBlockAccess>(table->file, nullptr, u"heap", 0);
    THeaderAccess header = Access(*view, &trans);
    section = header->RegisterHeaderSection(u"Heap", 4, true, false);
    header.reset();
    trans.Commit();
  }
  void TearDown() override {
    view.reset();
    table.reset();
    HeaderTest::TearDown();
  }
  void Reopen() {
    view.reset();
    table.reset();
    table = Open("heap.mv1");
    view = std::make_unique<TmvBlockAccess>(table->file, nullptr, u"heap", 0);
  }
  uint32_t UsedBlocks(TmvBaseTransaction* aTrans) {
    THeaderAccess header = Access(*view, aTrans, false);
    return header->GetUsedBlocks();
  }
  uint32_t SectionValue(TmvBaseTransaction* aTrans) {
    THeaderAccess header = Access(*view, aTrans, false);
    return mvGetU32(header->Header, section);
  }
  // A copy of block aNumber as aTrans sees it.
  std::vector<uint8_t> BlockCopy(TmvBaseTransaction* aTrans, TmvBlockNumber aNumber, int32_t aID = 0) {
    TmvReleaseMethod release;
    uint8_t* b = view->GetBlock(aTrans, aNumber, aID, false, release);
    std::vector<uint8_t> copy(b, b + 4096);
    release(b);
    return copy;
  }

  std::unique_ptr<OpenTable> table;
  std::unique_ptr<TmvBlockAccess> view;
  uint32_t section = 0;
};

}  // namespace storage_test

namespace storage_test {

// A stream that collects what is written to it.
class ByteStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* aBuffer, int32_t aCount) override {
    const auto* p = static_cast<const uint8_t*>(aBuffer);
    bytes.insert(bytes.end(), p, p + aCount);
    return aCount;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return int64_t(bytes.size()); }
  std::vector<uint8_t> bytes;
};

}  // namespace storage_test
