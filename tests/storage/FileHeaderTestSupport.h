// Test support of the file header tests: files of the real header formats,
// created through the engine or composed byte by byte from the format, and
// the header accesses, block allocations and frees the tests drive.
#pragma once

#include <memory>

#include "StorageTestSupport.h"
#include "storage/mvsrFileHeader1x.h"
#include "storage/mvsrFileHeader2x.h"

namespace storage_test {

using THeaderAccess = std::unique_ptr<TmvBaseFileHeaderAccess>;

// Block 0 of a new 4 KB "MV!2" file with the stream engine "mv1xDefault"
// and engine version 47005, as the format lays it out.
inline std::vector<uint8_t> V2Header(uint32_t aUsedBlocks = 1) {
  std::vector<uint8_t> b(4096, 0);
  std::memcpy(b.data(), "MV!2", 4);
  mvPutU32(b.data(), 20, 4092);        // usable: the block less the owner ID
  mvPutU32(b.data(), 24, 0xFFFFFFFF);  // no free-block map
  mvPutU32(b.data(), 32, aUsedBlocks);
  mvPutU32(b.data(), 36, 47005);
  b[72] = 11;
  std::memcpy(&b[73], "mv1xDefault", 11);
  mvPutU16(b.data(), 256, 4091);  // section top: usable - 0 - 1
  return b;
}

// A 4 KB block: signature, number, and owner ID (version 2) at 4092.
inline std::vector<uint8_t> V2Block(const char* aSignature, uint32_t aNumber, uint32_t aOwner = 0) {
  std::vector<uint8_t> b(4096, 0);
  std::memcpy(b.data(), aSignature, 4);
  mvPutU32(b.data(), 4, aNumber);
  mvPutU32(b.data(), 4092, aOwner);
  return b;
}

inline void Append(std::vector<uint8_t>& aImage, const std::vector<uint8_t>& aBlock) {
  aImage.insert(aImage.end(), aBlock.begin(), aBlock.end());
}

class HeaderTest : public StorageTest {
 protected:
  // A new 4 KB file whose header aTrans creates.
  std::unique_ptr<OpenTable> Create(const std::string& aName, TmvBaseTransaction* aTrans,
                                    const TmvBlockSignature& aSignature = mv2xHeaderSignature) {
    auto t = std::make_unique<OpenTable>(cache, folder.Name(aName), omReadWrite, TableKind::Created);
    t->file->fiMorvaVersion = 47005;
    t->file->fiStreamEngineName = u"mv1xDefault";
    const int32_t result = t->file->AddHeader(aTrans, {}, aSignature);
    EXPECT_EQ(result, 0);
    return t;
  }
  // An existing file, registered with the cache.
  std::unique_ptr<OpenTable> Open(const std::string& aName) {
    auto t = std::make_unique<OpenTable>(cache, folder.Name(aName));
    EXPECT_EQ(t->Add(), 0);
    if (t->header) t->release(t->header);
    return t;
  }
  static THeaderAccess Access(TmvBlockAccess& aView, TmvBaseTransaction* aTrans, bool aDirty = true) {
    return THeaderAccess(aView.HeaderAccess(aTrans, aDirty));
  }
  // A new block (signature "DATA"), released at once; its number.
  static TmvBlockNumber NewBlock(TmvBaseFileHeaderAccess& aHeader, TmvBaseTransaction* aTrans, int32_t aID = 0) {
    TmvReleaseMethod release;
    uint8_t* block = aHeader.GetNewBlock(aTrans, aID, release);
    const TmvBlockNumber number = mvBchThisBlock(block);
    std::memcpy(block, "DATA", 4);
    release(block);
    return number;
  }
  static void Free(TmvBlockAccess& aView, TmvBaseFileHeaderAccess& aHeader, TmvBaseTransaction* aTrans,
                   TmvBlockNumber aNumber, int32_t aID = 0) {
    TmvReleaseMethod release;
    uint8_t* block = aView.GetBlock(aTrans, aNumber, aID, true, release);
    try {
      aHeader.DeleteBlock(aTrans, block);
    } catch (...) {
      release(block);
      throw;
    }
    release(block);
  }
  // The free-block cache of a version 2 header.
  static std::vector<uint32_t> FreeCache(const uint8_t* aHeader) {
    std::vector<uint32_t> numbers;
    for (uint32_t i = 0; i < mvGetU32(aHeader, 28); ++i) numbers.push_back(mvGetU32(aHeader, 104 + 4 * i));
    return numbers;
  }
  // The numbers a free-block map block holds.
  static std::vector<uint32_t> MapEntries(const uint8_t* aMap) {
    std::vector<uint32_t> numbers;
    for (uint32_t i = 0; i < mvGetU32(aMap, 24); ++i) numbers.push_back(mvGetU32(aMap, 28 + 4 * i));
    return numbers;
  }
  static std::vector<uint32_t> Range(uint32_t aFirst, uint32_t aLast) {
    std::vector<uint32_t> numbers;
    for (uint32_t n = aFirst; n <= aLast; ++n) numbers.push_back(n);
    return numbers;
  }
};

}  // namespace storage_test
