// A table end to end on the record and auto-increment engines: records
// stored in one transaction, committed, reopened and read back, deleted in
// part and checked again; and a commit cut off after every write it makes.
// The table file holds its own dictionary: it is written as the stream
// "DICT" with the first records, and every reopen reads it back and builds
// the engines from the names it stores.
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "RecordTestSupport.h"
#include "foundation/mvsdPeerVersion.h"
#include "storage/mvseAutoIncEngine.h"
#include "storage/mvseStaticRecordEngine.h"
#include "storage/mvseStreamEngine.h"
#include "storage/mvsrServerDataDict.h"

namespace {

using namespace storage_test;

// The table: an auto-increment ID, a name, an amount and a moment. The
// record engine goes by its second name, so that a reopen which lost the
// stored name and fell back to the default would show. The table has no
// indexes: no indices engine is registered yet, and a dictionary is stored
// only when every engine it names is registered in this process. Its base
// name is the file view's, given when it is written.
std::unique_ptr<TmvServerDataDict> PeopleDictionary() {
  auto dd = std::make_unique<TmvServerDataDict>();
  TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
  fields->AddField(u"ID", u"", mvtAutoInc, 0, 0, true);
  fields->AddField(u"NAME", u"", mvtShortString, 40, 0, false);
  fields->AddField(u"AMOUNT", u"", mvtDouble, 0, 0, false);
  fields->AddField(u"WHEN", u"", mvtDateTime, 0, 0, false);
  dd->AddAutoIncDescriptor();
  dd->GetRecordDescriptor()->SetRecordEngine(u"Static");
  dd->RemoveIndicesDescriptor();
  return dd;
}

// The field values that belong to an ID.
String NameOf(int32_t aID) { return u"Person " + mvIntToStr(aID); }
double AmountOf(int32_t aID) { return aID * 0.25; }
// A DateTime is stored as milliseconds since the first day of year 1.
double WhenOf(int32_t aID) { return 63850000000000.0 + aID * 60000.0; }

class TableEndToEnd : public RecordTableTest {
 protected:
  // An open table: its file, the dictionary it was opened with and the
  // engines that dictionary names.
  struct TTable {
    TableFile file;
    std::unique_ptr<TmvServerDataDict> dict;
    std::unique_ptr<TmvBaseRecordEngine> records;
    std::unique_ptr<TmvBaseAutoIncEngine> autoInc;
  };
  // A new table file: the dictionary goes in as "DICT" in aTrans, with
  // whatever the caller then adds.
  TTable Create(const std::string& aName, TmvBaseTransaction* aTrans) {
    TTable t;
    t.file = CreateFile(aName, aTrans);
    t.dict = PeopleDictionary();
    std::unique_ptr<TmvBaseStreamEngine> streams(
        TmvBaseStreamEngine::CreateEngine(t.dict.get(), t.file.view.get(), aTrans));
    t.dict->WriteToFile(streams.get(), aTrans, mvEngineVersion);
    Engines(t, aTrans);
    return t;
  }
  // An existing table file with the dictionary read from it.
  TTable Open(TableFile aFile) {
    TTable t;
    t.file = std::move(aFile);
    std::unique_ptr<TmvBaseStreamEngine> streams(TmvBaseStreamEngine::CreateEngine(
        static_cast<TmvBaseStreamDescriptor*>(nullptr), t.file.view.get(), nullptr));
    t.dict = std::make_unique<TmvServerDataDict>();
    t.dict->ReadFromFile(streams.get(), nullptr);
    Engines(t, nullptr);
    return t;
  }
  static void Engines(TTable& aTable, TmvBaseTransaction* aTrans) {
    aTable.records.reset(TmvBaseRecordEngine::CreateEngine(aTable.dict.get(), aTable.file.Files(), aTrans));
    aTable.autoInc.reset(TmvBaseAutoIncEngine::CreateEngine(aTable.dict.get(), aTable.file.Files(), aTrans));
    ASSERT_NE(dynamic_cast<TmvStaticRecordEngine*>(aTable.records.get()), nullptr);
    ASSERT_NE(dynamic_cast<TmvSimpleAutoIncEngine*>(aTable.autoInc.get()), nullptr);
  }
  // The record of an ID, written field by field in the native form (the
  // name in ASCII, the same in every ANSI code page); the first test checks
  // it against the record the variant setters build.
  static void NativeRecord(TmvFieldsDescriptor* fields, int32_t aID, uint8_t* aRecord) {
    fields->InitRecord(aRecord);
    fields->SetRecordField(0, aRecord, &aID);
    uint8_t name[41] = {};
    const std::string text = UTF8Encode(NameOf(aID));
    name[0] = uint8_t(text.size());
    std::memcpy(name + 1, text.data(), text.size());
    fields->SetRecordField(1, aRecord, name);
    const double amount = AmountOf(aID), when = WhenOf(aID);
    fields->SetRecordField(2, aRecord, &amount);
    fields->SetRecordField(3, aRecord, &when);
  }
  static std::vector<uint8_t> VariantRecord(TmvFieldsDescriptor* fields, int32_t aID) {
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    fields->InitRecord(record.data());
    fields->SetRecordField(0, record.data(), &aID);
    fields->fsdSetFieldByIndexAsVariant(record.data(), 1, Variant(NameOf(aID)));
    fields->fsdSetFieldByIndexAsVariant(record.data(), 2, Variant(AmountOf(aID)));
    const double when = WhenOf(aID);
    fields->SetRecordField(3, record.data(), &when);
    return record;
  }
  void Insert(TTable& aTable, TmvBaseTransaction* aTrans, int aCount) {
    TmvFieldsDescriptor* fields = aTable.dict->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    for (int i = 0; i < aCount; ++i) {
      NativeRecord(fields, int32_t(aTable.autoInc->NextAutoIncValue(aTrans, nullptr)), record.data());
      TmvRefNr ref = 0;
      aTable.records->AddRecord(aTrans, ref, record.data());
    }
  }
  // Reads every record, checks its fields against its ID and answers the
  // IDs with their references, in storage order.
  std::map<int32_t, TmvRefNr> ReadAll(TTable& aTable, TmvBaseTransaction* aTrans) {
    TmvFieldsDescriptor* fields = aTable.dict->GetFieldsDescriptor();
    const size_t length = size_t(fields->RecordLength());
    std::vector<uint8_t> buffer(length), expected(length);
    std::map<int32_t, TmvRefNr> ids;
    TmvRefNr ref = 0;
    uint8_t* data = buffer.data();
    int bad = 0;
    aTable.records->Iterate(aTrans, ref, data, [&](void*, TmvRefNr aRef, const uint8_t* aRecord) {
      int32_t id;
      std::memcpy(&id, aRecord, 4);
      NativeRecord(fields, id, expected.data());
      if (std::memcmp(aRecord, expected.data(), length) != 0 || !ids.emplace(id, aRef).second) ++bad;
      return rirContinue;
    }, nullptr, nullptr, false, false);
    EXPECT_EQ(bad, 0);
    return ids;
  }
};

TEST_F(TableEndToEnd, HundredThousandRecordsSurviveCommitAndReopenAndPartialDeletion) {
  constexpr int kRecords = 100000;
  {
    TTestTransaction trans(cache);
    TTable t = Create("people.mv1", &trans);
    TmvFieldsDescriptor* fields = t.dict->GetFieldsDescriptor();
    std::vector<uint8_t> native(fields->RecordLength());
    NativeRecord(fields, 7, native.data());
    ASSERT_EQ(native, VariantRecord(fields, 7));
    Insert(t, &trans, kRecords);
    t.records.reset();
    t.autoInc.reset();
    trans.Commit();
  }
  std::vector<TmvRefNr> thirds;
  {
    TTable t = Open(OpenFile("people.mv1"));
    EXPECT_EQ(t.dict->GetRecordDescriptor()->GetRecordEngine(), u"Static");
    EXPECT_TRUE(t.dict->IsEqual(PeopleDictionary().get()));
    TTestTransaction trans(cache);
    EXPECT_EQ(t.records->breGetRecordCount(&trans), uint32_t(kRecords));
    const std::map<int32_t, TmvRefNr> ids = ReadAll(t, &trans);
    ASSERT_EQ(ids.size(), size_t(kRecords));
    EXPECT_EQ(ids.begin()->first, 1);
    EXPECT_EQ(ids.rbegin()->first, kRecords);
    for (const auto& [id, ref] : ids)
      if (id % 3 == 0) t.records->DeleteRecord(&trans, ref);
    EXPECT_EQ(t.autoInc->ReadAutoIncValue(&trans), uint32_t(kRecords));
    trans.Commit();
  }
  TTable t = Open(OpenFile("people.mv1"));
  TTestTransaction trans(cache);
  EXPECT_EQ(t.records->breGetRecordCount(&trans), uint32_t(kRecords - kRecords / 3));
  const std::map<int32_t, TmvRefNr> ids = ReadAll(t, &trans);
  EXPECT_EQ(ids.size(), size_t(kRecords - kRecords / 3));
  EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const auto& e) { return e.first % 3 == 0; }), 0);
  // The freed slots are taken before the file grows.
  const TmvBlockNumber blocks = t.file.table->file->fiUsedBlocks;
  Insert(t, &trans, 100);
  EXPECT_EQ(t.file.table->file->fiTransUsedBlocks, blocks);
  trans.End();
}

TEST_F(TableEndToEnd, ACommitCutOffAfterAnyWriteLeavesAReadableTableOrAClearError) {
  {
    TTestTransaction trans(cache);
    TTable t = Create("base.mv1", &trans);
    Insert(t, &trans, 1000);
    t.records.reset();
    t.autoInc.reset();
    trans.Commit();
  }
  const std::vector<uint8_t> base = ReadBytes(folder.File("base.mv1"));
  const std::set<uint32_t> clear{MVERR_HEADERCORRUPT, MVERR_FILECORRUPT, MVERR_INVALIDBLOCKNR,
                                 MVERR_NOTADATABLOCK, MVERR_OBJNOTFOUND, 9992};
  std::map<uint64_t, String> outcomes;  // what the table holds after a crash at each write
  for (uint64_t n = 0;; ++n) {
    WriteBytes(folder.File("crash.mv1"), base);
    bool crashed = false;
    {
      TTestTransaction trans(cache);
      TTable t = Open(OpenFile("crash.mv1"));
      Insert(t, &trans, 1000);
      fs.CrashAfterWrites(n);
      trans.Commit();
      crashed = fs.Crashed();
      fs.Reset();
    }
    String outcome;
    try {
      OpenTable table(cache, folder.Name("crash.mv1"));
      table.file->fiMaxID = 1000;
      const int32_t code = table.Add();
      if (table.header) table.release(table.header);
      if (code != 0) throw EmvBaseException(code);
      TableFile f{nullptr, std::make_unique<TmvBlockAccess>(table.file, nullptr, u"t", 0)};
      TTable t = Open(std::move(f));
      TTestTransaction trans(cache);
      uint32_t count = 0, read = 0;
      try {
        count = t.records->breGetRecordCount(&trans);
        for (TmvRefNr r = 0; read <= 3000;) {
          t.records->ReadNextRecord(&trans, r, r, nullptr);
          if (r == 0) break;
          ++read;
        }
      } catch (...) {
        trans.End();
        throw;
      }
      outcome = u"count " + mvIntToStr(int32_t(count)) + u", read " + mvIntToStr(int32_t(read));
      EXPECT_TRUE(read == 1000 || read == 2000 || read == count) << n;
      trans.End();
    } catch (const EmvBaseException& e) {
      outcome = u"error " + mvIntToStr(int32_t(e.ErrorCode()));
      EXPECT_TRUE(clear.count(e.ErrorCode())) << "write " << n << ": " << UTF8Encode(e.Message());
    }
    outcomes[n] = outcome;
    if (!crashed) {
      EXPECT_EQ(outcome, u"count 2000, read 2000");
      break;
    }
    ASSERT_LT(n, 200u);
  }
  for (const auto& [n, outcome] : outcomes) std::printf("crash after write %3llu: %s\n", (unsigned long long)n, UTF8Encode(outcome).c_str());
}

}  // namespace
