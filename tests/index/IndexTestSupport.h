// Test support of the index engine tests: the index units started around
// each test, a table file whose indexes are kept by the simple indices
// engine and the static-key B*-tree, keys built from records of Int32
// fields, and trees written node by node from a sorted list of entries.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdDataDictionary.h"
#include "index/mvixUnits.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "index/mvseIndexNodes.h"
#include "index/mvseIndicesEngineSimple.h"
#include "storage/RecordTestSupport.h"

namespace index_test {

using namespace storage_test;

// Starts the index units, with the simple indices engine and the static-key
// B*-tree registered as "mv1xDefault" while the test runs.
class IndexTest : public RecordTableTest {
 protected:
  void SetUp() override {
    RecordTableTest::SetUp();
    mvIndexInit();
    Adopt(TmvSimpleIndicesEngine::StaticClass, TmvBaseIndicesEngine::StaticClass);
    Adopt(TmvStaticKeyBstarTreeIndexEngine::StaticClass, TmvBaseIndexEngine::StaticClass);
  }
  void TearDown() override {
    for (const TmvSubEngineClassRef* cls : fAdopted) TmvBaseSubEngine::Unregister(*cls);
    mvIndexFini();
    RecordTableTest::TearDown();
  }
  // The code of the engine exception that f raises (0: none), with its text.
  template <typename F>
  static int32_t Raised(F f, String* aText = nullptr) {
    try {
      f();
    } catch (const EmvBaseException& e) {
      if (aText) *aText = e.ProcessedErrorString();
      return int32_t(e.ErrorCode());
    }
    return 0;
  }

 private:
  void Adopt(const TmvSubEngineClassRef& aClass, const TmvSubEngineClassRef& aFamily) {
    if (TmvBaseSubEngine::FindEngineClass(aFamily, mvDefaultIndexEngine)) return;
    TmvBaseSubEngine::Register(aClass, mvDefaultIndexEngine);
    fAdopted.push_back(&aClass);
  }
  std::vector<const TmvSubEngineClassRef*> fAdopted;
};

// A table of Int32 fields "K" and "N" and a ShortString "S", with the
// indexes a test adds before it opens the file.
struct TIndexTable {
  std::unique_ptr<TmvDataDictionary> dd = std::make_unique<TmvDataDictionary>();
  TableFile file;
  std::unique_ptr<TmvSimpleIndicesEngine> engine;

  TIndexTable() {
    dd->SetBaseName(u"t");
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    fields->AddField(u"K", u"", mvtInt32, 0, 0, false);
    fields->AddField(u"N", u"", mvtInt32, 0, 0, false);
    fields->AddField(u"S", u"", mvtShortString, 20, 0, false);
    dd->GetIndicesDescriptor()->RemoveIndex(mvSequentialAccessIndexName);
  }
  // An index of composite keys on the fields named.
  TmvIndexDescriptor* AddIndex(const String& aName, std::initializer_list<const char16_t*> aFields,
                               TmvIndexDups aDups = idNone) {
    TmvIndexDescriptor* index = dd->GetIndicesDescriptor()->AddIndex(aName, 0, aDups, u"");
    auto* key = static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
    for (const char16_t* field : aFields) key->Add(dd->GetFieldsDescriptor()->GetFieldFromName(field));
    return index;
  }
  TmvStaticKeyBstarTreeIndexEngine* Index(int32_t aInx) const {
    return static_cast<TmvStaticKeyBstarTreeIndexEngine*>(engine->biseGetIndex(aInx));
  }
  // A record; nullopt is null.
  std::vector<uint8_t> Record(std::optional<int32_t> aK, std::optional<int32_t> aN = std::nullopt) const {
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    fields->InitRecord(record.data());
    if (aK) fields->SetRecordField(0, record.data(), &*aK);
    if (aN) fields->SetRecordField(1, record.data(), &*aN);
    return record;
  }
  // The key of index aInx for a record (filters ignored).
  std::vector<uint8_t> Key(int32_t aInx, std::optional<int32_t> aK, std::optional<int32_t> aN = std::nullopt) const {
    TmvBaseKeyEngine* keys = Index(aInx)->KeyEngine();
    std::vector<uint8_t> key(keys->bkeKeyLength);
    const std::vector<uint8_t> record = Record(aK, aN);
    EXPECT_EQ(keys->BuildKey(record.data(), key.data(), 0, true), 0u);
    return key;
  }
};

// An entry of an index: its key bytes and its record reference.
struct TEntry {
  std::vector<uint8_t> key;
  TmvRefNr ref;
};

// A tree written node by node: its nodes level by level (leaves first, the
// root alone last).
struct TTree {
  std::vector<std::vector<TmvBlockNumber>> levels;
  TmvBlockNumber Root() const { return levels.back().front(); }
};

// Writes aEntries (in index order) as the whole tree of an empty index, in
// aTrans: leaves of aLeafFill entries each (the last the rest), their
// windows from slot aFirstSlot (-1: centred), and internal nodes of at most
// aFanout children. Separators are the last entries under their pointers.
// Sets the root, the page count and the key count.
inline TTree WriteTree(TmvBaseTransaction* aTrans, TmvStaticKeyBstarTreeIndexEngine* aIndex,
                       const std::vector<TEntry>& aEntries, int aLeafFill, int aFanout, int aFirstSlot = -1) {
  const TmvIndexNodeGeometry& g = aIndex->Geometry();
  std::unique_ptr<TmvBaseIndexHeaderAccess> header(aIndex->CreateHeaderAccess(aTrans, true, true, 0, 0));
  TmvBaseFileHeaderAccess* file = header->FileHeader();
  TmvReleaseList held;
  uint32_t pages = 0;
  auto newNode = [&](TmvIndexNodeType aType, uint16_t aFirst, uint16_t aCount) {
    TmvReleaseMethod release;
    uint8_t* node = file->GetNewBlock(aTrans, int32_t(header->bhaID), release);
    held.Add(node, release);
    std::memcpy(node, "MVIH", 4);
    mvSetInhIdentCounter(node, uint64_t(0x00010000u) << 32);
    mvSetInhPrevNode(node, mvNoBlock);
    mvSetInhNextNode(node, mvNoBlock);
    mvSetInhFirstSlot(node, aFirst);
    mvSetInhKeyCount(node, aCount);
    node[mvInhNodeTypeOffset] = aType;
    node[mvInhIndexNumberOffset] = uint8_t(aIndex->bieIndexNumber);
    ++pages;
    return node;
  };
  // The leaves, linked in order; the last entry under each node.
  TTree tree;
  std::vector<uint8_t*> nodes;
  std::vector<const TEntry*> lasts;
  tree.levels.emplace_back();
  for (size_t at = 0; at < aEntries.size();) {
    const size_t count = std::min(aEntries.size() - at, size_t(aLeafFill));
    const uint16_t first = uint16_t(aFirstSlot >= 0 ? aFirstSlot : (g.MaxLeafKeys - int(count)) / 2);
    uint8_t* leaf = newNode(intLeaf, first, uint16_t(count));
    for (size_t i = 0; i < count; ++i) {
      uint8_t* slot = leaf + mvIndexNodeHeaderSize + (first + i) * g.LeafPair;
      std::memcpy(slot, aEntries[at + i].key.data(), aEntries[at + i].key.size());
      if (!g.KeysAreRefs) mvPutU64(slot, g.DescKeyLength, uint64_t(aEntries[at + i].ref));
    }
    if (!nodes.empty()) {
      mvSetInhNextNode(nodes.back(), mvBchThisBlock(leaf));
      mvSetInhPrevNode(leaf, mvBchThisBlock(nodes.back()));
    }
    nodes.push_back(leaf);
    tree.levels.back().push_back(mvBchThisBlock(leaf));
    lasts.push_back(&aEntries[at + count - 1]);
    at += count;
  }
  // The internal levels, up to a single root.
  while (tree.levels.back().size() > 1) {
    const std::vector<TmvBlockNumber> below = tree.levels.back();
    const std::vector<const TEntry*> belowLasts = lasts;
    tree.levels.emplace_back();
    lasts.clear();
    for (size_t at = 0; at < below.size(); at += size_t(aFanout)) {
      const size_t children = std::min(below.size() - at, size_t(aFanout));
      uint8_t* node = newNode(intInternal, 0, uint16_t(children - 1));
      for (size_t i = 0; i < children; ++i) {
        mvPutU32(node, mvIndexNodeHeaderSize + uint32_t(i) * g.InternalPair, below[at + i]);
        if (i + 1 == children) break;
        uint8_t* separator = node + mvIndexNodeHeaderSize + 4 + i * g.InternalPair;
        const TEntry& last = *belowLasts[at + i];
        std::memcpy(separator, last.key.data(), last.key.size());
        if (g.AddKeyRefsToKeys) mvPutU64(separator, g.DescKeyLength, uint64_t(last.ref));
      }
      tree.levels.back().push_back(mvBchThisBlock(node));
      lasts.push_back(belowLasts[at + children - 1]);
    }
  }
  header->SetIndexRoot(aEntries.empty() ? -1 : int32_t(tree.Root()));
  header->SetIndexPageCount(pages);
  header->SetIndexKeyCount(uint32_t(aEntries.size()));
  return tree;
}

// Reads a node modifiable in aTrans for a test to change by hand (the
// ident counter rises as the engine's own reads for change make it).
struct TNodeEdit {
  TmvHeldBlock held;
  TNodeEdit(TmvStaticKeyBstarTreeIndexEngine* aIndex, TmvBaseTransaction* aTrans, TmvBlockNumber aBlock) {
    held.Block = mvReadIndexNode(aTrans, aIndex->bieIndexFile, aIndex->bieIndicesEngine->bseID, held.Release, aBlock,
                                 true);
  }
  uint8_t* operator*() const { return held.Block; }
};

}  // namespace index_test
