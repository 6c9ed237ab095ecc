// Test support of the indices engine tests: key engines for Int32 key
// fields and record references, and an index engine that keeps its keys in
// a sorted map in memory, behind the index engine interface. The map does
// not take part in transactions: a rollback leaves it as it is, so the
// tests check the indices engine's own undo.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "storage/indices/mvseIndicesEngine.h"

namespace storage_test {

// The first key field of a composite key, an Int32: a null flag byte, then
// the value big-endian with the sign bit flipped, so that bytes order as
// numbers. A null field keeps the record out of the index.
class TTestCompKeyEngine : public TmvBaseKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  explicit TTestCompKeyEngine(TmvBaseKeyDescriptor* aDescriptor) : TmvBaseKeyEngine(aDescriptor) {
    TmvKeyFieldDescriptor* keyField = static_cast<TmvCompKeyDescriptor*>(aDescriptor)->KeyFields(0);
    fField = keyField->GetFieldNumber();
    fFields = static_cast<TmvFieldsDescriptor*>(keyField->Field()->GetParent());
  }
  void ClearKey(void* aKey) override { std::memset(aKey, 0, bkeKeyLength); }
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr, bool aIgnoreFilter) override {
    auto* key = static_cast<uint8_t*>(aKey);
    ClearKey(key);
    bool isNull = false;
    int32_t value = 0;
    fFields->GetRecordField(fField, aRecord, isNull, &value);
    if (isNull) {
      key[0] = 1;
      return aIgnoreFilter ? 0 : 1;
    }
    const uint32_t ordered = uint32_t(value) ^ 0x80000000u;
    for (int i = 0; i < 4; ++i) key[1 + i] = uint8_t(ordered >> (24 - 8 * i));
    return 0;
  }
  int8_t CompareKey(const void* a, const void* b, int32_t, int32_t) override {
    const int c = std::memcmp(a, b, 5);
    return int8_t(c < 0 ? -1 : c > 0 ? 1 : 0);
  }
  String KeyAsString(const void* aKey) override {
    const auto* key = static_cast<const uint8_t*>(aKey);
    if (key[0]) return u"<null>";
    uint32_t ordered = 0;
    for (int i = 0; i < 4; ++i) ordered = ordered << 8 | key[1 + i];
    return mvIntToStr(int32_t(ordered ^ 0x80000000u));
  }
  Variant KeyAsVariant(const void* aKey, int32_t) override { return Variant(KeyAsString(aKey)); }
  void KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aData) override {
    aData->AddString(u"Value", KeyAsString(aKey));
  }
  int32_t GetMaxFieldCount() override { return 1; }

 private:
  int32_t fField;
  TmvFieldsDescriptor* fFields;
};
inline constinit const TmvKeyEngineClassRef TTestCompKeyEngine::StaticClass{
    {{u"TmvCompKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TTestCompKeyEngine>,
    nullptr};

// The record reference itself, big-endian.
class TTestRefKeyEngine : public TmvBaseKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  using TmvBaseKeyEngine::TmvBaseKeyEngine;
  void ClearKey(void* aKey) override { std::memset(aKey, 0, 8); }
  uint32_t BuildKey(const void*, void* aKey, TmvRefNr aRefNr, bool) override {
    for (int i = 0; i < 8; ++i) static_cast<uint8_t*>(aKey)[i] = uint8_t(uint64_t(aRefNr) >> (56 - 8 * i));
    return 0;
  }
  int8_t CompareKey(const void* a, const void* b, int32_t, int32_t) override {
    const int c = std::memcmp(a, b, 8);
    return int8_t(c < 0 ? -1 : c > 0 ? 1 : 0);
  }
  String KeyAsString(const void* aKey) override {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | static_cast<const uint8_t*>(aKey)[i];
    return mvInt64ToStr(int64_t(v));
  }
  Variant KeyAsVariant(const void* aKey, int32_t) override { return Variant(KeyAsString(aKey)); }
  void KeyAsExceptionData(const void*, ImvExceptionDataContainer*) override {}
  int32_t GetMaxFieldCount() override { return 1; }
};
inline constinit const TmvKeyEngineClassRef TTestRefKeyEngine::StaticClass{
    {{u"TmvRefKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TTestRefKeyEngine>,
    nullptr};

// An index in a sorted map of (key bytes, reference). It counts the keys
// it inserts and deletes, and can be told to refuse deletions.
class TMemoryIndexEngine : public TmvBaseIndexEngine {
  MV_DECLARE_CLASSREF(TmvIndexEngineClassRef)
 public:
  using TmvBaseIndexEngine::TmvBaseIndexEngine;
  static TmvBaseIndexEngine* Create(TmvBaseIndicesEngine* aIndices, TmvBaseKeyEngine* aKeys,
                                    TmvIndexDescriptor* aDescriptor) {
    return new TMemoryIndexEngine(aIndices, aKeys, aDescriptor);
  }

  using TEntry = std::pair<std::vector<uint8_t>, TmvRefNr>;
  std::vector<uint8_t> KeyBytes(const void* aKey) const {
    const auto* p = static_cast<const uint8_t*>(aKey);
    return std::vector<uint8_t>(p, p + bieKeyEngine->bkeKeyLength);
  }
  // The keys as text with their references, in order.
  std::vector<std::pair<String, TmvRefNr>> Content() const {
    std::vector<std::pair<String, TmvRefNr>> out;
    for (const TEntry& e : keys) out.emplace_back(bieKeyEngine->KeyAsString(e.first.data()), e.second);
    return out;
  }

  TmvIndexPathClass IndexPathClass() override {
    return [](TmvBaseIndexEngine* aEngine) { return new TmvBaseIndexPath(aEngine); };
  }
  void ValidateIndexPath(TmvBaseTransaction*, TmvBaseIndexPath*) override {}
  void DeleteAllKeys(TmvBaseTransaction*) override { keys.clear(); }
  bool DeleteKey(TmvBaseTransaction*, const void* aKey, TmvRefNr aRefNr, TmvRefNr, TmvBaseIndexPath*) override {
    ++deletes;
    if (refuseDeletes) return false;
    return keys.erase({KeyBytes(aKey), aRefNr}) == 1;
  }
  bool InsertKey(TmvBaseTransaction* aTrans, const void* aKey, TmvRefNr aRefNr, TmvRefNr aCacheRefNr,
                 TmvBaseIndexPath*) override {
    ++inserts;
    if (expectPublished) {  // key maintenance publishes its operation meanwhile
      EXPECT_EQ(bieIndicesEngine->CurrentTrans(), aTrans);
      EXPECT_EQ(bieIndicesEngine->CurrentRefNr(), aRefNr);
      EXPECT_EQ(bieIndicesEngine->CurrentCacheRefNr(), aCacheRefNr);
    }
    std::vector<uint8_t> bytes = KeyBytes(aKey);
    if (!bieDups) {
      auto at = keys.lower_bound({bytes, INT64_MIN});
      if (at != keys.end() && at->first == bytes) return false;
    }
    return keys.insert({bytes, aRefNr}).second;
  }
  int32_t FindKey(TmvBaseTransaction*, const void*, int32_t, int32_t, TmvRefNr, TmvBaseIndexPath*, TmvSearchKeyAction,
                  TmvBaseFilterEngine*) override {
    return MVERR_NOTSUPPORTED;
  }
  int32_t NextKey(TmvBaseTransaction*, TmvBaseIndexPath*, TmvBaseFilterEngine*) override { return MVERR_NOTSUPPORTED; }
  int32_t PrevKey(TmvBaseTransaction*, TmvBaseIndexPath*, TmvBaseFilterEngine*) override { return MVERR_NOTSUPPORTED; }
  void GetKeyCount(TmvBaseTransaction*, uint32_t& aCount) override { aCount = uint32_t(keys.size()); }
  void Iterate(TmvBaseTransaction*, TmvBaseIndexPath*, uint8_t*&, const TmvKeyIterator& aKeyIterator,
               const TmvRecordIterator&, void* aCookie, const TmvRangeInfo&, const TmvRangeInfo&,
               TmvBaseFilterEngine*, TmvBaseFilterEngine*, bool) override {
    for (const TEntry& e : keys)
      if (aKeyIterator(aCookie, e.second, e.first.data()) == kirStop) return;
  }
  void IterateBackward(TmvBaseTransaction*, TmvBaseIndexPath*, uint8_t*&, const TmvKeyIterator&,
                       const TmvRecordIterator&, void*, const TmvRangeInfo&, const TmvRangeInfo&,
                       TmvBaseFilterEngine*, TmvBaseFilterEngine*, bool) override {}
  int32_t RecNoGet(TmvBaseTransaction*, TmvBaseIndexPath*, const TmvRangeInfo&, const TmvRangeInfo&,
                   TmvBaseFilterEngine*, TmvBaseFilterEngine*, int32_t&, bool) override {
    return MVERR_NOTSUPPORTED;
  }
  int32_t RecNoSet(TmvBaseTransaction*, int32_t, TmvBaseIndexPath*, const TmvRangeInfo&, const TmvRangeInfo&,
                   TmvBaseFilterEngine*, TmvBaseFilterEngine*, bool) override {
    return MVERR_NOTSUPPORTED;
  }
  void EstimateRecordCount(TmvBaseTransaction*, const TmvRangeInfo&, const TmvRangeInfo&, int64_t& aCount,
                           bool) override {
    aCount = int64_t(keys.size());
  }

  std::set<TEntry> keys;
  int inserts = 0;
  int deletes = 0;
  bool refuseDeletes = false;
  bool expectPublished = true;
};
inline constinit const TmvIndexEngineClassRef TMemoryIndexEngine::StaticClass{
    {{u"TMemoryIndexEngine", &TmvBaseIndexEngine::StaticClass}, &TmvBaseIndexEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    &TMemoryIndexEngine::Create,
    &TmvBaseIndexEngine::CheckKeyDescriptor};

// The header values of a memory index: root -1 and no pages while empty.
class TMemoryIndexHeaderAccess : public TmvBaseIndexHeaderAccess {
 public:
  using TmvBaseIndexHeaderAccess::TmvBaseIndexHeaderAccess;
  static TmvBaseIndexHeaderAccess* Create(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex, bool aFileDirty,
                                          bool aIndexDirty, int32_t aFieldCount, int32_t aPartialLen) {
    return new TMemoryIndexHeaderAccess(aTrans, aIndex, aFileDirty, aIndexDirty, aFieldCount, aPartialLen);
  }
  size_t Keys() { return static_cast<TMemoryIndexEngine*>(bhaIndex)->keys.size(); }
  int32_t GetIndexRoot() override { return Keys() ? 0 : -1; }
  void SetIndexRoot(int32_t) override {}
  uint32_t GetIndexPageCount() override { return Keys() ? 1 : 0; }
  void SetIndexPageCount(uint32_t) override {}
  uint32_t GetIndexKeyCount() override { return uint32_t(Keys()); }
  void SetIndexKeyCount(uint32_t) override {}
  TmvLSN GetIndexLSN() override { return 0; }
};

class TMemoryIndicesEngine : public TmvBaseIndicesEngine {
 public:
  using TmvBaseIndicesEngine::TmvBaseIndicesEngine;
  void IndexAdded(TmvBaseTransaction*, int32_t) override { ++added; }
  void IndexRemoved(TmvBaseTransaction*, int32_t) override { ++removed; }
  TmvIndexHeaderAccessClass IndexHeaderAccessClass() override { return &TMemoryIndexHeaderAccess::Create; }
  TMemoryIndexEngine* Memory(int32_t aInx) const { return static_cast<TMemoryIndexEngine*>(biseGetIndex(aInx)); }
  int added = 0;
  int removed = 0;
};

}  // namespace storage_test
