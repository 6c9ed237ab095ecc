// Test support of the index engine tests: a reader of a whole B*-tree
// (static-key, or keyless with the keys of its refs given) that checks what every change must leave true (separators,
// fill, links, counts, no lost block) and gives the entries in order, and a
// table whose keys are long enough that a leaf holds 7 entries.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "index/IndexTestSupport.h"
#include "storage/header/mvsrFileHeader.h"

namespace index_test {

// What the checker found: the entries in leaf order, the node count, the
// leaf level's depth, and the blocks in use that are neither nodes, nor
// free, nor the file's own (the count only matters as a difference).
struct TTreeFacts {
  std::vector<TEntry> entries;
  uint32_t nodes = 0;
  int32_t levels = 0;
  int64_t otherBlocks = 0;
};

// The key of a record, for trees whose nodes hold refs only.
using TKeyOfRef = std::function<std::vector<uint8_t>(TmvRefNr)>;

class TTreeChecker {
 public:
  TTreeChecker(TmvBaseTransaction* aTrans, TmvStaticKeyBstarTreeIndexEngine* aIndex, TKeyOfRef aKeyOf = nullptr)
      : fTrans(aTrans),
        fIndex(aIndex),
        g(aIndex->Geometry()),
        fKeys(aIndex->KeyEngine()),
        fKeyOf(std::move(aKeyOf)),
        fTieByRef(g.AddKeyRefsToKeys || (fKeyOf && aIndex->Dups())) {}

  TTreeFacts Check() {
    TTreeFacts facts;
    std::unique_ptr<TmvBaseIndexHeaderAccess> header(fIndex->CreateHeaderAccess(fTrans, false, false, 0, 0));
    const int32_t root = header->GetIndexRoot();
    if (root != -1) {
      Visit(TmvBlockNumber(root), 1, true, facts);
      for (size_t i = 0; i < fLeaves.size(); ++i) {
        const TmvBlockNumber prev = i == 0 ? mvNoBlock : fLeaves[i - 1].first;
        const TmvBlockNumber next = i + 1 == fLeaves.size() ? mvNoBlock : fLeaves[i + 1].first;
        Expect(fLeaves[i].second.first == prev && fLeaves[i].second.second == next, "leaf links", fLeaves[i].first);
      }
    }
    Expect(header->GetIndexKeyCount() == facts.entries.size(), "key count", 0);
    Expect(header->GetIndexPageCount() == facts.nodes, "page count", 0);
    // Blocks in use less the free ones, the free-block maps, block 0, the
    // index header block and the nodes.
    TmvBaseFileHeaderAccess* file = header->FileHeader();
    int64_t free = mvGetU32(file->Header, 28), maps = 0;
    for (TmvBlockNumber map = mvGetU32(file->Header, 24); map != mvNoBlock && maps < 1000; ++maps) {
      TmvReleaseMethod release;
      uint8_t* block = fIndex->bieIndexFile->GetBlock(fTrans, map, 0, false, release);
      free += mvGetU32(block, 24);
      map = mvGetU32(block, 16);
      release(block);
    }
    facts.otherBlocks = int64_t(file->GetUsedBlocks()) - free - maps - 2 - int64_t(facts.nodes);
    return facts;
  }

 private:
  void Expect(bool aHolds, const char* aWhat, TmvBlockNumber aBlock) {
    if (!aHolds && fFailures++ < 5) ADD_FAILURE() << aWhat << " at block " << aBlock;
  }
  // Entry order: by key, then by RefNr where entries carry one.
  int Order(const uint8_t* aKey1, TmvRefNr aRef1, const uint8_t* aKey2, TmvRefNr aRef2) {
    int c = fKeys->CompareKey(aKey1, aKey2);
    if (c == 0 && fTieByRef) c = aRef1 < aRef2 ? -1 : aRef1 > aRef2 ? 1 : 0;
    return c;
  }
  // Checks a subtree and answers its last entry.
  TEntry Visit(TmvBlockNumber aBlock, int32_t aDepth, bool aRoot, TTreeFacts& aFacts) {
    TmvHeldBlock held;
    held.Block = mvReadIndexNode(fTrans, fIndex->bieIndexFile, fIndex->bieIndicesEngine->bseID, held.Release, aBlock,
                                 false);
    const uint8_t* node = held.Block;
    ++aFacts.nodes;
    Expect(aDepth <= 8, "depth", aBlock);
    const int32_t first = mvInhFirstSlot(node), count = mvInhKeyCount(node);
    Expect(mvInhIndexNumber(node) == uint8_t(fIndex->bieIndexNumber), "index number", aBlock);
    TEntry last;
    if (mvInhNodeType(node) == intInternal) {
      Expect(first == 0 && count >= 1 && count <= g.MaxInternalKeys, "internal window", aBlock);
      // At least (max + 1) div 2 children: a split of an odd maximum of
      // separators leaves max div 2 of them on its left.
      Expect(aRoot || count + 1 >= (g.MaxInternalKeys + 1) / 2, "internal fill", aBlock);
      Expect(mvInhPrevNode(node) == mvNoBlock && mvInhNextNode(node) == mvNoBlock, "internal links", aBlock);
      std::vector<std::pair<std::vector<uint8_t>, TmvRefNr>> separators;
      std::vector<TmvBlockNumber> children;
      for (int32_t i = 0; i <= count; ++i) {
        children.push_back(mvGetU32(node, 40 + uint32_t(i) * g.InternalPair));
        if (i == count) break;
        const uint8_t* s = node + 44 + uint32_t(i) * g.InternalPair;
        if (fKeyOf)
          separators.push_back({fKeyOf(TmvRefNr(mvGetU64(s, 0))), TmvRefNr(mvGetU64(s, 0))});
        else
          separators.push_back({std::vector<uint8_t>(s, s + fKeys->bkeKeyLength),
                                g.AddKeyRefsToKeys ? TmvRefNr(mvGetU64(s, g.DescKeyLength)) : 0});
      }
      held.Drop();
      for (size_t i = 0; i < children.size(); ++i) {
        last = Visit(children[i], aDepth + 1, false, aFacts);
        if (i < separators.size() && fKeyOf)
          Expect(separators[i].second == last.ref, "separator is the last ref under its pointer", aBlock);
        else if (i < separators.size())
          Expect(Order(separators[i].first.data(), separators[i].second, last.key.data(), last.ref) == 0,
                 "separator is the last entry under its pointer", aBlock);
      }
      return last;
    }
    Expect(mvInhNodeType(node) == intLeaf, "node type", aBlock);
    Expect(first + count <= g.MaxLeafKeys && count >= 1, "leaf window", aBlock);
    Expect(aRoot || count >= (g.MaxLeafKeys + 1) / 2, "leaf fill", aBlock);
    if (aFacts.levels == 0) aFacts.levels = aDepth;
    Expect(aFacts.levels == aDepth, "leaves at one depth", aBlock);
    fLeaves.push_back({aBlock, {mvInhPrevNode(node), mvInhNextNode(node)}});
    for (int32_t i = first; i < first + count; ++i) {
      const uint8_t* k = node + 40 + uint32_t(i) * g.LeafPair;
      const TmvRefNr ref = g.KeysAreRefs ? TmvRefNr(mvGetU64(k, 0)) : TmvRefNr(mvGetU64(k, g.DescKeyLength));
      TEntry entry{fKeyOf ? fKeyOf(ref) : std::vector<uint8_t>(k, k + fKeys->bkeKeyLength), ref};
      if (!aFacts.entries.empty()) {
        const TEntry& before = aFacts.entries.back();
        Expect(Order(before.key.data(), before.ref, entry.key.data(), entry.ref) < 0, "entries in order", aBlock);
      }
      aFacts.entries.push_back(entry);
      last = entry;
    }
    return last;
  }

  TmvBaseTransaction* fTrans;
  TmvStaticKeyBstarTreeIndexEngine* fIndex;
  const TmvIndexNodeGeometry& g;
  TmvBaseKeyEngine* fKeys;
  TKeyOfRef fKeyOf;
  bool fTieByRef;
  std::vector<std::pair<TmvBlockNumber, std::pair<TmvBlockNumber, TmvBlockNumber>>> fLeaves;
  int fFailures = 0;
};

inline TTreeFacts CheckTree(TmvBaseTransaction* aTrans, TmvStaticKeyBstarTreeIndexEngine* aIndex,
                            TKeyOfRef aKeyOf = nullptr) {
  return TTreeChecker(aTrans, aIndex, std::move(aKeyOf)).Check();
}

// A table whose index keys are an Int32 "K" and a ByteArray "P" of 500
// bytes (zero in every record): 508 bytes of key room, 7 entries a leaf and
// 7 separators a node with or without references.
struct TLongKeyTable : TIndexTable {
  TLongKeyTable() { dd->GetFieldsDescriptor()->AddField(u"P", u"", mvtByteArray, 500, 0, false); }
  // An index on aField ("K" or "N") and P.
  TmvIndexDescriptor* AddLongIndex(const String& aName, TmvIndexDups aDups, const char16_t* aField = u"K") {
    return AddIndex(aName, {aField, u"P"}, aDups);
  }
  // The key of index aInx for a record whose K and N are aK (nullopt: null).
  // A record whose K and N are aK, P zeros.
  std::vector<uint8_t> LongRecord(std::optional<int32_t> aK) const {
    std::vector<uint8_t> record = Record(aK, aK);
    const std::vector<uint8_t> zeros(500, 0);
    dd->GetFieldsDescriptor()->SetRecordField(3, record.data(), zeros.data());
    return record;
  }
  std::vector<uint8_t> LongKey(int32_t aInx, std::optional<int32_t> aK) const {
    TmvBaseKeyEngine* keys = Index(aInx)->KeyEngine();
    const std::vector<uint8_t> record = LongRecord(aK);
    std::vector<uint8_t> key(keys->bkeKeyLength);
    EXPECT_EQ(keys->BuildKey(record.data(), key.data(), 0, true), 0u);
    return key;
  }
  // The first field of a key (nullopt when null).
  static std::optional<int32_t> KOf(const std::vector<uint8_t>& aKey) {
    if (aKey[0] & 1) return std::nullopt;
    int32_t k;
    std::memcpy(&k, aKey.data() + 1, 4);
    return k;
  }
};

}  // namespace index_test
