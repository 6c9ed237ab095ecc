// Test support of the file header tests: files of the real header formats,
// created through the engine or composed byte by byte from the format, and
// the header accesses, block allocations and frees the tests drive.
#pragma once

#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include "storage/StorageTestSupport.h"
#include "storage/header/mvsrFileHeader1x.h"
#include "storage/header/mvsrFileHeader2x.h"

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
    t->file->fiEncryptionEngineName = encryptionEngine;
    const int32_t result = t->file->AddHeader(aTrans, {}, aSignature);
    EXPECT_EQ(result, 0);
    return t;
  }
  // The encryption engine of the files Create makes (none when empty);
  // they are keyed with the default key, so they open without a password.
  String encryptionEngine;
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
  // Flips each byte of [aFrom, aTo) of block 0 of the file aName in turn and
  // opens the file again; an open file is handed to aUse with the byte's
  // offset. Every failure must be an engine error of a code in aClear.
  // Answers how many opened.
  int FlipEachByte(const std::string& aName, uint32_t aFrom, uint32_t aTo, const std::set<uint32_t>& aClear,
                   const std::function<void(TmvBaseFile*, uint32_t)>& aUse) {
    const std::vector<uint8_t> original = ReadBytes(folder.File(aName));
    OpenTable t(cache, folder.Name(aName));
    std::fstream disk(folder.File(aName), std::ios::binary | std::ios::in | std::ios::out);
    int opened = 0;
    for (uint32_t at = aFrom; at < aTo; ++at) {
      std::vector<uint8_t> image(original.begin(), original.begin() + 4096);
      image[at] ^= 0xFF;
      disk.seekp(0);
      disk.write(reinterpret_cast<const char*>(image.data()), 4096);
      disk.flush();
      cache->RemoveFile(t.file);  // block 0 is read again
      uint32_t code = 0;
      try {
        code = static_cast<uint32_t>(t.Add());
        if (t.header) t.release(t.header);
        if (code == 0) {
          ++opened;
          aUse(t.file, at);
        }
      } catch (const EmvBaseException& e) {
        code = e.ErrorCode();
      }
      if (code != 0) {
        EXPECT_TRUE(aClear.count(code)) << "byte " << at << ": " << code;
      }
    }
    return opened;
  }
  // Runs aWork in a transaction that is rolled back afterwards, also when
  // aWork fails.
  void InTransaction(const std::function<void(TmvBaseTransaction*)>& aWork) {
    TTestTransaction trans(cache);
    try {
      aWork(&trans);
    } catch (...) {
      trans.End();
      throw;
    }
    trans.End();
  }
  static std::vector<uint32_t> Range(uint32_t aFirst, uint32_t aLast) {
    std::vector<uint32_t> numbers;
    for (uint32_t n = aFirst; n <= aLast; ++n) numbers.push_back(n);
    return numbers;
  }
};

}  // namespace storage_test
