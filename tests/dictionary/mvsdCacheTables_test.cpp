// Tests of cacheable and cache tables: what making a table cacheable adds
// (and keeps), the refusals, the conversion into a cache table with and
// without BLOB fields, tolerant conversion of nested tables, a whole
// dictionary made a cache dictionary, a frozen dictionary, and each result
// read back from the dictionary stream.
#include "dictionary/mvsdCacheTables.h"

#include <gtest/gtest.h>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class CacheTables : public DictionaryTest {};

// "orders" (ID Int32 with the index "ID", Note WideString), optionally
// with a BLOB field and with a plain nested table "lines".
struct Plain {
  TmvDataDictionary dd;
  explicit Plain(bool aBlob = false, bool aLines = false) {
    dd.SetBaseName(u"orders");
    TmvFieldsDescriptor* fields = dd.GetFieldsDescriptor();
    fields->AddField(u"ID", u"", mvtInt32, 0, 0, true);
    fields->AddField(u"Note", u"", mvtWideString, 20, 0, false);
    if (aBlob) fields->AddField(u"Memo", u"", mvtBlobMemo, 0, 0, false);
    static_cast<TmvCompKeyDescriptor*>(dd.GetIndicesDescriptor()->AddIndex(u"ID", 0, idNone, u"")->GetKeyDescriptor())
        ->Add(0);
    if (!aLines) return;
    TmvNestedTableDescriptor* lines = dd.GetTablesDescriptor()->AddTable(u"lines");
    lines->AddRecordDescriptor();
    lines->GetFieldsDescriptor()->AddField(u"Qty", u"", mvtInt32, 0, 0, false);
  }
};

bool Implicit(TmvDictionaryItem* aItem) {
  return aItem->GetCustomStrings().Values(mvImplicitName) == mvImplicitCacheable;
}

TmvFieldDescriptor* FieldNamed(TmvBaseTableDescriptor& aTable, const String& aName) {
  const int32_t n = aTable.GetFieldFromName(aName);
  return n < 0 ? nullptr : aTable.GetFieldsDescriptor()->FieldDescriptor(n);
}

// The table's state and what IsCacheable answers for aState.
bool Qualifies(TmvBaseTableDescriptor& aTable, TmvTableCachingState aState, bool aAcceptCachable = false,
               TmvCacheableInfo* aCopy = nullptr) {
  TmvCacheableInfo* info = nullptr;
  const bool answer = aTable.IsCacheable(info, aState, aAcceptCachable);
  if (aCopy) {
    aCopy->ciModifyLSNIndex = info->ciModifyLSNIndex;
    aCopy->ciGraveyardLSNIndex = info->ciGraveyardLSNIndex;
    aCopy->ciGraveyardRefNrIndex = info->ciGraveyardRefNrIndex;
    aCopy->ciCachedBlobsIndex = info->ciCachedBlobsIndex;
    aCopy->ciBlobNrCounterIndex = info->ciBlobNrCounterIndex;
  }
  mvReleaseCacheableInfo(info);
  return answer;
}

// Checked for building first, as a table file is, since checking adds the
// heap descriptors that reading adds as well.
std::unique_ptr<TmvDataDictionary> ReadBack(TmvDataDictionary& aDD) {
  aDD.CheckValid(true);
  TmvMemoryStream stream;
  aDD.WriteToStream(stream, mvEngineVersion);
  stream.SetPosition(0);
  auto back = std::make_unique<TmvDataDictionary>();
  back->ReadFromStream(stream, aDD.GetBaseName());
  return back;
}

TEST_F(CacheTables, MakeCacheableAddsWhatAPlainTableLacks) {
  Plain p;
  String message;
  EXPECT_EQ(RaisedCode([&] { p.dd.MakeCacheable(false); }, &message), 12289u);
  EXPECT_EQ(message, u"Failed to make table cachable");
  EXPECT_EQ(p.dd.GetFieldsDescriptor()->FieldCount(), 2);
  EXPECT_EQ(p.dd.GetCachingState(), tcsNone);

  p.dd.MakeCacheable(true);
  EXPECT_EQ(p.dd.GetCachingState(), tcsCacheable);
  ASSERT_EQ(p.dd.GetFieldsDescriptor()->FieldCount(), 5);
  const struct {
    const char16_t* name;
    TmvFieldType type;
    int lsn;  // 1 modify LSN, 0 insert LSN, -1 no LSN default
  } fields[] = {{u"$ModifyLSN", mvtInt64, 1}, {u"$InsertLSN", mvtInt64, 0}, {u"$RefNr", mvtRefNr, -1}};
  for (const auto& f : fields) {
    TmvFieldDescriptor* field = FieldNamed(p.dd, f.name);
    ASSERT_NE(field, nullptr) << Utf8(f.name);
    EXPECT_EQ(field->FieldType(), f.type) << Utf8(f.name);
    EXPECT_TRUE(Implicit(field)) << Utf8(f.name);
    auto* lsn = dynamic_cast<TmvNextLSNDefaultValueDescriptor*>(field->GetDefaultValue());
    EXPECT_EQ(lsn != nullptr, f.lsn >= 0) << Utf8(f.name);
    if (lsn) {
      EXPECT_EQ(lsn->GetApplyOnModify(), f.lsn == 1) << Utf8(f.name);
    }
  }

  TmvIndexDescriptor* modify = p.dd.GetIndicesDescriptor()->GetDescriptorFromName(mvModifyLSNIndexName);
  ASSERT_NE(modify, nullptr);
  EXPECT_TRUE(Implicit(modify));
  EXPECT_EQ(modify->GetDups(), idNone);
  auto* key = dynamic_cast<TmvNoNullCompKeyDescriptor*>(modify->GetKeyDescriptor());
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->KeyFieldCount(), 1);
  EXPECT_EQ(key->KeyFields(0)->GetFieldNumber(), p.dd.GetFieldFromName(u"$ModifyLSN"));
  TmvInternalIndicesDescriptor* internal = p.dd.GetInternalIndicesDescriptor();
  ASSERT_NE(internal, nullptr);
  ASSERT_EQ(internal->IndexCount(), 3);
  for (const char16_t* name : {mvGraveyardLSNIndexName, mvGraveyardRefNrIndexName, mvBlobNrCounterIndexName}) {
    TmvIndexDescriptor* index = internal->GetDescriptorFromName(name);
    ASSERT_NE(index, nullptr) << Utf8(name);
    EXPECT_TRUE(Implicit(index)) << Utf8(name);
    EXPECT_EQ(&index->GetKeyDescriptor()->ClassType(), &TmvInt64KeyDescriptor::StaticClass) << Utf8(name);
  }
  EXPECT_FALSE(Implicit(FieldNamed(p.dd, u"ID")));

  TmvCacheableInfo info{};
  EXPECT_TRUE(Qualifies(p.dd, tcsCacheable, false, &info));
  EXPECT_EQ(info.ciModifyLSNIndex, p.dd.GetIndexFromName(mvModifyLSNIndexName));
  EXPECT_EQ(info.ciGraveyardLSNIndex, 0);
  EXPECT_EQ(info.ciGraveyardRefNrIndex, 1);
  EXPECT_EQ(info.ciBlobNrCounterIndex, 2);
  EXPECT_EQ(info.ciCachedBlobsIndex, -1);
  // Not a cache yet: a cache's modify-LSN index allows all duplicates.
  EXPECT_FALSE(Qualifies(p.dd, tcsIsCache, true));

  // A second time finds everything in place.
  p.dd.MakeCacheable(true);
  EXPECT_EQ(p.dd.GetFieldsDescriptor()->FieldCount(), 5);
  EXPECT_EQ(p.dd.GetInternalIndicesDescriptor()->IndexCount(), 3);

  p.dd.CheckValid(true);
  EXPECT_EQ(p.dd.GetVersion(), 5);
  auto back = ReadBack(p.dd);
  EXPECT_TRUE(back->IsEqual(&p.dd));
  EXPECT_EQ(back->GetCachingState(), tcsCacheable);
  EXPECT_TRUE(Qualifies(*back, tcsCacheable));
  EXPECT_TRUE(Implicit(FieldNamed(*back, u"$RefNr")));
}

// A table that brings its own modify-LSN, insert-LSN and RefNr fields and
// internal indexes keeps them; only an ordinary key on its modify-LSN index
// is replaced by a no-null key, and only when changes are allowed.
TEST_F(CacheTables, MakeCacheableKeepsTheTablesOwnParts) {
  Plain p;
  TmvFieldsDescriptor* fields = p.dd.GetFieldsDescriptor();
  fields->AddField(u"Changed", u"", mvtInt64, 0, 0, false)
      ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
  fields->AddField(u"Created", u"", mvtInt64, 0, 0, false)
      ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass)
      ->SetApplyOnModify(false);
  fields->AddField(u"Ref", u"", mvtRefNr, 0, 0, false);
  TmvIndexDescriptor* byChange = p.dd.GetIndicesDescriptor()->AddIndex(u"ByChange", 0, idNone, u"");
  static_cast<TmvCompKeyDescriptor*>(byChange->GetKeyDescriptor())->Add(2);
  TmvInternalIndicesDescriptor* internal = p.dd.AddInternalIndicesDescriptor();
  for (const char16_t* name : {mvGraveyardLSNIndexName, mvGraveyardRefNrIndexName, mvBlobNrCounterIndexName})
    internal->AddIndex(name, 0, idNone, u"", &TmvInt64KeyDescriptor::StaticClass);
  std::unique_ptr<TmvDataDictionary> copy(p.dd.Duplicate());
  const int32_t indexes = p.dd.GetIndicesDescriptor()->IndexCount();

  p.dd.MakeCacheable(false);
  EXPECT_EQ(p.dd.GetCachingState(), tcsCacheable);
  EXPECT_EQ(&byChange->GetKeyDescriptor()->ClassType(), &TmvCompKeyDescriptor::StaticClass);

  copy->MakeCacheable(true);
  EXPECT_EQ(copy->GetCachingState(), tcsCacheable);
  EXPECT_EQ(copy->GetFieldsDescriptor()->FieldCount(), 5);
  EXPECT_EQ(copy->GetIndicesDescriptor()->IndexCount(), indexes);
  EXPECT_EQ(copy->GetInternalIndicesDescriptor()->IndexCount(), 3);
  TmvBaseKeyDescriptor* key = copy->GetIndicesDescriptor()->GetDescriptorFromName(u"ByChange")->GetKeyDescriptor();
  ASSERT_EQ(&key->ClassType(), &TmvNoNullCompKeyDescriptor::StaticClass);
  ASSERT_EQ(static_cast<TmvCompKeyDescriptor*>(key)->KeyFieldCount(), 1);
  EXPECT_EQ(static_cast<TmvCompKeyDescriptor*>(key)->KeyFields(0)->GetFieldNumber(), 2);
  auto back = ReadBack(*copy);
  EXPECT_TRUE(back->IsEqual(copy.get()));
}

TEST_F(CacheTables, RefusedConversions) {
  Plain p;
  String message;
  EXPECT_EQ(RaisedCode([&] { p.dd.MakeCacheTable(false); }, &message), 12289u);
  EXPECT_EQ(message, u"Only Cachable tables can be marked as InCache");
  EXPECT_EQ(p.dd.GetCachingState(), tcsNone);
  Plain tolerant;
  tolerant.dd.MakeCacheTable(true);
  EXPECT_EQ(tolerant.dd.GetCachingState(), tcsNone);

  Plain cache;
  cache.dd.MakeCacheable(true);
  cache.dd.MakeCacheTable(false);
  ASSERT_EQ(cache.dd.GetCachingState(), tcsIsCache);
  EXPECT_EQ(RaisedCode([&] { cache.dd.MakeCacheable(true); }, &message), 12289u);
  EXPECT_EQ(message, u"Can't make a InCache table Cachable");
  EXPECT_EQ(cache.dd.GetCachingState(), tcsIsCache);

  // A nested table that cannot follow stops the conversion unless tolerant.
  Plain withLines(false, true);
  withLines.dd.MakeCacheable(true);
  EXPECT_EQ(RaisedCode([&] { withLines.dd.MakeCacheTable(false); }), 12289u);
  EXPECT_EQ(withLines.dd.GetTablesDescriptor()->TableCount(), 1);

  // A frozen dictionary refuses every step before it changes anything.
  Plain frozen;
  frozen.dd.MakeCacheable(true);
  frozen.dd.MakeReadOnly();
  for (const auto& change :
       std::vector<std::function<void()>>{[&] { frozen.dd.MakeCacheable(true); },
                                          [&] { frozen.dd.MakeCacheTable(true); }, [&] { frozen.dd.MakeCache(true); }})
    EXPECT_EQ(RaisedCode(change), 15500u);
  EXPECT_EQ(frozen.dd.GetCachingState(), tcsCacheable);
  EXPECT_EQ(frozen.dd.GetCacheCurrentID(), 0);
}

// What a cache table keeps: its rows in the variable record engine with
// compression, indexes rebuilt for caching, next-LSN defaults only, no
// custom descriptors, and the "$CachedBlobs" index exactly when it has BLOB
// fields.
TEST_F(CacheTables, ACacheTableWithAndWithoutBlobFields) {
  for (bool blob : {false, true}) {
    SCOPED_TRACE(blob ? "with a BLOB field" : "without BLOB fields");
    Plain p(blob);
    FieldNamed(p.dd, u"Note")->AddDefaultValue(&TmvEmptyDefaultValueDescriptor::StaticClass);
    TmvReferenceDescriptor* ref = mvEnsureRefIntegrityDescriptor(&p.dd)->AddReference();
    static_cast<TmvTableTargetCursorDescriptor*>(ref->GetTargetCursor())->SetTableName(u"customers");
    p.dd.MakeCacheable(true);
    p.dd.MakeCacheTable(false);

    EXPECT_EQ(p.dd.GetCachingState(), tcsIsCache);
    EXPECT_EQ(p.dd.GetCustomDescsDescriptor()->CustomCount(), 0);
    auto* record = dynamic_cast<TmvHeapRecordDescriptor*>(p.dd.GetRecordDescriptor());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetRecordEngine(), u"Variable");
    ASSERT_NE(record->GetRecordCompressionDescriptor(), nullptr);
    EXPECT_EQ(record->GetRecordCompressionDescriptor()->GetRecordCompressionEngine(), u"Compressor");
    EXPECT_EQ(record->GetRecordCompressionDescriptor()->GetCompressType(), 11);
    EXPECT_EQ(FieldNamed(p.dd, u"Note")->GetDefaultValue(), nullptr);
    EXPECT_NE(FieldNamed(p.dd, u"$ModifyLSN")->GetDefaultValue(), nullptr);
    TmvMainIndicesDescriptor* indices = p.dd.GetIndicesDescriptor();
    EXPECT_EQ(indices->GetDescriptorFromName(mvSequentialAccessIndexName)->GetDups(), idNone);
    EXPECT_EQ(indices->GetDescriptorFromName(mvModifyLSNIndexName)->GetDups(), idAll);
    EXPECT_EQ(indices->GetDescriptorFromName(u"ID")->GetIndexEngine(), u"CacheKeylessBStarTree");

    TmvInternalIndicesDescriptor* internal = p.dd.GetInternalIndicesDescriptor();
    TmvCacheableInfo info{};
    EXPECT_TRUE(Qualifies(p.dd, tcsIsCache, false, &info));
    EXPECT_EQ(info.ciGraveyardLSNIndex, -1);
    EXPECT_EQ(info.ciBlobNrCounterIndex, -1);
    if (blob) {
      ASSERT_NE(internal, nullptr);
      ASSERT_EQ(internal->IndexCount(), 1);
      TmvIndexDescriptor* cached = internal->GetDescriptorFromName(mvCachedBlobsIndexName);
      ASSERT_NE(cached, nullptr);
      EXPECT_EQ(&cached->GetKeyDescriptor()->ClassType(), &TmvBlobCacheKeyDescriptor::StaticClass);
      EXPECT_EQ(info.ciCachedBlobsIndex, 0);
    } else {
      EXPECT_EQ(internal, nullptr);
      EXPECT_EQ(info.ciCachedBlobsIndex, -1);
    }

    auto back = ReadBack(p.dd);
    EXPECT_TRUE(back->IsEqual(&p.dd));
    EXPECT_TRUE(Qualifies(*back, tcsIsCache));
  }
}

// A cache table with BLOB fields that lost its "$CachedBlobs" index does
// not count as one.
TEST_F(CacheTables, BlobFieldsNeedTheCachedBlobsIndex) {
  Plain p(true);
  p.dd.MakeCacheable(true);
  p.dd.MakeCacheTable(false);
  p.dd.RemoveInternalIndicesDescriptor();
  EXPECT_FALSE(Qualifies(p.dd, tcsIsCache));
  EXPECT_FALSE(Qualifies(p.dd, tcsIsCache, true));
}

// The whole dictionary: nested tables that cannot become cache tables are
// dropped, the others converted; the cache keeps the schema's GUID and item
// counter of that moment and loses the encryption engine.
TEST_F(CacheTables, MakeCacheOfADictionary) {
  Plain p(false, true);
  TmvNestedTableDescriptor* kept = p.dd.GetTablesDescriptor()->AddTable(u"history");
  kept->AddRecordDescriptor();
  kept->GetFieldsDescriptor()->AddField(u"When", u"", mvtDateTime, 0, 0, false);
  kept->MakeCacheable(true);
  p.dd.MakeCacheable(true);
  p.dd.SetEncryptionEngine(u"mvsAesCcm256");
  const int32_t currentID = p.dd.GetCurrentID();
  ASSERT_NE(currentID, 0);

  p.dd.MakeCache(true);
  EXPECT_EQ(p.dd.GetCachingState(), tcsIsCache);
  ASSERT_EQ(p.dd.GetTablesDescriptor()->TableCount(), 1);
  EXPECT_EQ(p.dd.GetTablesDescriptor()->TableDescriptor(0), kept);
  EXPECT_EQ(kept->GetCachingState(), tcsIsCache);
  EXPECT_EQ(p.dd.GetCacheCurrentID(), currentID);
  EXPECT_TRUE(p.dd.GetCacheGuid() == p.dd.GetGuid());
  EXPECT_EQ(p.dd.GetEncryptionEngine(), u"");

  // Once a cache, a second call changes nothing.
  p.dd.GetFieldsDescriptor()->AddField(u"Later", u"", mvtInt32, 0, 0, false);
  ASSERT_NE(p.dd.GetCurrentID(), currentID);
  p.dd.MakeCache(true);
  EXPECT_EQ(p.dd.GetCacheCurrentID(), currentID);

  auto back = ReadBack(p.dd);
  EXPECT_TRUE(back->IsEqual(&p.dd));
  EXPECT_EQ(back->GetCacheCurrentID(), currentID);
  EXPECT_TRUE(back->GetCacheGuid() == p.dd.GetGuid());
  EXPECT_EQ(back->GetChild(u"history")->GetCachingState(), tcsIsCache);

  // A silent conversion of which no cache table comes leaves no cache marks.
  Plain plain(false, true);
  plain.dd.MakeCache(true);
  EXPECT_EQ(plain.dd.GetCachingState(), tcsNone);
  EXPECT_EQ(plain.dd.GetTablesDescriptor()->TableCount(), 0);
  EXPECT_EQ(plain.dd.GetCacheCurrentID(), 0);
  EXPECT_TRUE(plain.dd.GetCacheGuid() == TGUID{});
  Plain loud;
  EXPECT_EQ(RaisedCode([&] { loud.dd.MakeCache(false); }), 12289u);
}

}  // namespace
