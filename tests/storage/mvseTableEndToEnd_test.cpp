// A table end to end on each record engine set-up with the auto-increment
// engine: records stored in one transaction, committed, reopened and read
// back, deleted in part and checked again; the files' sizes side by side;
// and a commit cut off after every write it makes.
// The table file holds its own dictionary: it is written as the stream
// "DICT" with the first records, and every reopen reads it back and builds
// the engines from the names it stores.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <typeinfo>

#include "foundation/types/mvsdPeerVersion.h"
#include "storage/HeapTestSupport.h"
#include "storage/RecordTestSupport.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/compression/mvseRecordCompressionEngines.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngineVariable.h"
#include "storage/records/mvseStaticRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"
#include "storage/transactions/mvseJournalEngine.h"
#include "support/mvPeopleTable.h"

namespace {

using namespace storage_test;

// How a table stores its records: the record engine by name and, for the
// heap-based engine, the record compression engine by name (nullptr: a
// static table). The static engine goes by its second name, so that a
// reopen which lost the stored name and fell back to the default would
// show.
struct TEngineSetUp {
  const char16_t* record;
  const char16_t* compression;
  std::string label;
};
const TEngineSetUp kSetUps[] = {{u"Static", nullptr, "Static"}, {u"Variable", u"Smart", "Variable+Smart"}};

// The table is the shared sample "people" table. It has no indexes here:
// indexes are the index engines' concern. Its base name is the file view's,
// given when it is written.
std::unique_ptr<TmvServerDataDict> PeopleDictionary(const TEngineSetUp& aSetUp) {
  return TPeopleTable::Dictionary<TmvServerDataDict>(aSetUp.record, aSetUp.compression);
}

// The dictionary a table file stores, as an open reads it.
std::unique_ptr<TmvServerDataDict> StoredDictionary(const TableFile& aFile) {
  std::unique_ptr<TmvBaseStreamEngine> streams(
      TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), aFile.view.get(), nullptr));
  auto dict = std::make_unique<TmvServerDataDict>();
  dict->ReadFromFile(streams.get(), nullptr);
  return dict;
}

String NameOf(int32_t aID) {
  char text[41];
  TPeopleTable::Name(aID, text);
  return UTF8ToString(text);
}
double AmountOf(int32_t aID) { return TPeopleTable::Amount(aID); }
double WhenOf(int32_t aID) { return TPeopleTable::When(aID); }

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
  TTable Create(const std::string& aName, TmvBaseTransaction* aTrans, const TEngineSetUp& aSetUp) {
    TTable t;
    t.file = CreateFile(aName, aTrans);
    t.dict = PeopleDictionary(aSetUp);
    std::unique_ptr<TmvBaseStreamEngine> streams(
        TmvBaseStreamEngine::CreateEngine(t.dict.get(), t.file.view.get(), aTrans));
    t.dict->WriteToFile(streams.get(), aTrans, mvEngineVersion);
    Engines(t, aTrans, aSetUp);
    return t;
  }
  // An existing table file with the dictionary read from it, which must
  // name the engines of aSetUp.
  TTable Open(TableFile aFile, const TEngineSetUp& aSetUp) {
    TTable t;
    t.file = std::move(aFile);
    t.dict = StoredDictionary(t.file);
    TmvBaseRecordDescriptor* record = t.dict->GetRecordDescriptor();
    EXPECT_EQ(record->GetRecordEngine(), aSetUp.record);
    if (aSetUp.compression) {
      auto* heap = dynamic_cast<TmvHeapRecordDescriptor*>(record);
      EXPECT_TRUE(heap && heap->GetRecordCompressionDescriptor() &&
                  heap->GetRecordCompressionDescriptor()->GetRecordCompressionEngine() == aSetUp.compression);
    }
    Engines(t, nullptr, aSetUp);
    return t;
  }
  // Builds the engines and checks that they are of the set-up's classes.
  static void Engines(TTable& aTable, TmvBaseTransaction* aTrans, const TEngineSetUp& aSetUp) {
    aTable.records.reset(TmvBaseRecordEngine::CreateEngine(aTable.dict.get(), aTable.file.Files(), aTrans));
    aTable.autoInc.reset(TmvBaseAutoIncEngine::CreateEngine(aTable.dict.get(), aTable.file.Files(), aTrans));
    const TmvBaseRecordEngine& records = *aTable.records;
    if (aSetUp.compression) {
      ASSERT_EQ(typeid(records), typeid(TmvVariableRecordEngine));
      const TmvBaseRecordCompressionEngine& compression =
          *static_cast<const TmvVariableRecordEngine&>(records).reCompressionEngine;
      ASSERT_EQ(typeid(compression), typeid(TmvSmartRecordCompressionEngine));
    } else {
      ASSERT_EQ(typeid(records), typeid(TmvStaticRecordEngine));
    }
    ASSERT_NE(dynamic_cast<TmvSimpleAutoIncEngine*>(aTable.autoInc.get()), nullptr);
  }
  // The record of an ID in the native form (the name in ASCII, the same in
  // every ANSI code page); the first test checks it against the record the
  // variant setters build.
  static void NativeRecord(TmvFieldsDescriptor* fields, int32_t aID, uint8_t* aRecord) {
    TPeopleTable::Record(fields, aID, aRecord);
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
  // IDs with their references.
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

  // The file's size in bytes (the file grows ahead of its use) and the
  // number of its blocks in use.
  struct TSize {
    uintmax_t bytes = 0;
    TmvBlockNumber blocks = 0;
  };

  // Stores kRecords in a new file of aName, commits, reopens and reads them
  // back, deletes every third, commits, reopens and checks again; answers
  // the file's size after the first commit.
  TSize RoundTrip(const TEngineSetUp& aSetUp, const std::string& aName) {
    TSize size;
    {
      TTestTransaction trans(cache);
      TTable t = Create(aName, &trans, aSetUp);
      TmvFieldsDescriptor* fields = t.dict->GetFieldsDescriptor();
      std::vector<uint8_t> native(fields->RecordLength());
      for (int32_t id : {7, 8}) {
        NativeRecord(fields, id, native.data());
        EXPECT_EQ(native, VariantRecord(fields, id)) << id;
      }
      Insert(t, &trans, kRecords);
      t.records.reset();
      t.autoInc.reset();
      trans.Commit();
    }
    size.bytes = std::filesystem::file_size(folder.File(aName));
    std::vector<TmvRefNr> thirds;
    {
      TTable t = Open(OpenFile(aName), aSetUp);
      size.blocks = t.file.table->file->fiUsedBlocks;
      EXPECT_TRUE(t.dict->IsEqual(PeopleDictionary(aSetUp).get()));
      TTestTransaction trans(cache);
      EXPECT_EQ(t.records->breGetRecordCount(&trans), uint32_t(kRecords));
      const std::map<int32_t, TmvRefNr> ids = ReadAll(t, &trans);
      EXPECT_EQ(ids.size(), size_t(kRecords));
      if (!ids.empty()) {
        EXPECT_EQ(ids.begin()->first, 1);
        EXPECT_EQ(ids.rbegin()->first, kRecords);
      }
      for (const auto& [id, ref] : ids)
        if (id % 3 == 0) t.records->DeleteRecord(&trans, ref);
      EXPECT_EQ(t.autoInc->ReadAutoIncValue(&trans), uint32_t(kRecords));
      trans.Commit();
    }
    TTable t = Open(OpenFile(aName), aSetUp);
    TTestTransaction trans(cache);
    EXPECT_EQ(t.records->breGetRecordCount(&trans), uint32_t(kRecords - kRecords / 3));
    const std::map<int32_t, TmvRefNr> ids = ReadAll(t, &trans);
    EXPECT_EQ(ids.size(), size_t(kRecords - kRecords / 3));
    EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const auto& e) { return e.first % 3 == 0; }), 0);
    // The freed space is taken before the file grows.
    const TmvBlockNumber blocks = t.file.table->file->fiUsedBlocks;
    Insert(t, &trans, 100);
    EXPECT_EQ(t.file.table->file->fiTransUsedBlocks, blocks);
    trans.End();
    return size;
  }

  // What a reader finds in the file of aName after a crash: a clear error
  // (thrown on), or the record count, the records read (each checked
  // against its ID; IDs unique) and the auto-increment value.
  struct TFound {
    uint32_t count = 0, read = 0, autoInc = 0, highestID = 0, bad = 0;
  };
  TFound ReadCrashed(const std::string& aName, const TEngineSetUp& aSetUp) {
    OpenTable table(cache, folder.Name(aName));
    table.file->fiMaxID = 1000;
    const int32_t code = table.Add();
    if (table.header) table.release(table.header);
    if (code != 0) throw EmvBaseException(code);
    TableFile f{nullptr, std::make_unique<TmvBlockAccess>(table.file, nullptr, u"t", 0)};
    TTable t = Open(std::move(f), aSetUp);
    TmvFieldsDescriptor* fields = t.dict->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength())), expected(record.size());
    std::set<int32_t> ids;
    TFound found;
    TTestTransaction trans(cache);
    try {
      found.count = t.records->breGetRecordCount(&trans);
      found.autoInc = t.autoInc->ReadAutoIncValue(&trans);
      // A damaged chain must not keep the walk going for ever.
      for (TmvRefNr r = 0; found.read <= 1000000;) {
        t.records->ReadNextRecord(&trans, r, r, record.data());
        if (r == 0) break;
        ++found.read;
        int32_t id;
        std::memcpy(&id, record.data(), 4);
        NativeRecord(fields, id, expected.data());
        if (record != expected || !ids.insert(id).second) ++found.bad;
      }
    } catch (...) {
      trans.End();
      throw;
    }
    trans.End();
    if (!ids.empty()) found.highestID = uint32_t(*ids.rbegin());
    return found;
  }

  // Commits 1000 records on top of a committed 1000, cut off after each of
  // the commit's writes in turn; the reader then finds the old table or the
  // new one whole, or a clear error. Answers the outcomes by write.
  std::map<uint64_t, std::string> CrashCut(const TEngineSetUp& aSetUp) {
    {
      TTestTransaction trans(cache);
      TTable t = Create("base.mv1", &trans, aSetUp);
      Insert(t, &trans, 1000);
      t.records.reset();
      t.autoInc.reset();
      trans.Commit();
    }
    const std::vector<uint8_t> base = ReadBytes(folder.File("base.mv1"));
    // The errors of a file whose blocks do not fit together: the static
    // engine's data blocks and the heap's blocks each have their own.
    const std::set<uint32_t> clear{MVERR_HEADERCORRUPT, MVERR_FILECORRUPT,   MVERR_INVALIDBLOCKNR, MVERR_NOTADATABLOCK,
                                   MVERR_NOTAHEAPBLOCK, MVERR_OBJNOTFOUND, MVERR_CANNOTOPENFILE};
    std::map<uint64_t, std::string> outcomes;
    for (uint64_t n = 0;; ++n) {
      WriteBytes(folder.File("crash.mv1"), base);
      bool crashed = false;
      {
        TTestTransaction trans(cache);
        TTable t = Open(OpenFile("crash.mv1"), aSetUp);
        Insert(t, &trans, 1000);
        fs.CrashAfterWrites(n);
        trans.Commit();
        crashed = fs.Crashed();
        fs.Reset();
      }
      std::string& outcome = outcomes[n];
      try {
        const TFound f = ReadCrashed("crash.mv1", aSetUp);
        outcome = "count " + std::to_string(f.count) + ", read " + std::to_string(f.read) + ", highest ID " +
                  std::to_string(f.highestID) + ", auto-increment " + std::to_string(f.autoInc) + ", bad " +
                  std::to_string(f.bad);
        const bool whole = (f.read == 1000 || f.read == 2000) && f.count == f.read && f.highestID == f.read &&
                           f.autoInc == f.read && f.bad == 0;
        EXPECT_TRUE(whole) << "write " << n << ": " << outcome;
      } catch (const EmvBaseException& e) {
        outcome = "error " + std::to_string(e.ErrorCode());
        EXPECT_TRUE(clear.count(e.ErrorCode())) << "write " << n << ": " << UTF8Encode(e.Message());
      }
      if (!crashed) {
        EXPECT_EQ(outcome, "count 2000, read 2000, highest ID 2000, auto-increment 2000, bad 0");
        break;
      }
      if (n >= 200) {
        ADD_FAILURE() << "the commit still writes after 200 writes";
        break;
      }
    }
    return outcomes;
  }

  // ---------------------------------------------------------------------
  // The crash matrix of journalled commits.

  // How a cut-off commit ends: the cut alone (nothing after the write
  // happens, everything before it stays), or a power loss that also
  // resolves the changes not yet synced.
  struct TEnd {
    bool power;
    TmvPowerLoss loss;
    uint64_t seed;
    std::string label;
  };
  static std::vector<TEnd> Ends(bool aPower) {
    std::vector<TEnd> ends{{false, TmvPowerLoss::KeepAll, 0, "cut"}};
    if (!aPower) return ends;
    ends.push_back({true, TmvPowerLoss::KeepAll, 0, "power, none lost"});
    ends.push_back({true, TmvPowerLoss::LoseAll, 0, "power, all lost"});
    for (uint64_t seed = 1; seed <= 8; ++seed)
      ends.push_back({true, TmvPowerLoss::Seeded, seed, "power, seed " + std::to_string(seed)});
    return ends;
  }

  // The files of the test's folder and their bytes.
  std::map<std::string, std::vector<uint8_t>> FolderImage() const {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.File("")))
      files[entry.path().filename().string()] = ReadBytes(entry.path().string());
    return files;
  }
  void RestoreFolder(const std::map<std::string, std::vector<uint8_t>>& aImage) const {
    for (const auto& entry : std::filesystem::directory_iterator(folder.File("")))
      std::filesystem::remove(entry.path());
    for (const auto& [name, bytes] : aImage) WriteBytes(folder.File(name), bytes);
  }
  void Check() const { mvDefaultJournalEngineClass.load()->Check(u"", folder.Name("")); }

  // Cuts the journalled commit that aWork makes (it calls its argument just
  // before it commits) after each of its writes in turn, ends it each way
  // of aEnds, recovers the folder and reads it with aRead, which answers
  // "old", "new" or what else it found. Every outcome must be old or new,
  // and new once the commit ran whole. With aReplayCrash the first complete
  // journal a cut leaves is replayed cut after each of the replay's writes,
  // then recovered again: old for a rollback journal, new for the others.
  // The folder is as before at the end. Answers the number of cut positions.
  uint64_t CrashMatrix(const std::function<void(const std::function<void()>&)>& aWork,
                       const std::function<std::string()>& aRead, const std::vector<TEnd>& aEnds,
                       bool aReplayCrash) {
    const auto base = FolderImage();
    bool replayTried = !aReplayCrash;
    fs.SimulateSyncs(true);
    for (uint64_t n = 0;; ++n) {
      bool crashed = false;
      for (const TEnd& end : aEnds) {
        RestoreFolder(base);
        aWork([&] {
          if (end.power) fs.RecordUnsynced();
          fs.CrashAfterWrites(n);
        });
        crashed = fs.Crashed();
        fs.Reset();
        if (end.power) fs.LosePower(end.loss, end.seed);
        const auto crashImage = FolderImage();
        Check();
        const std::string outcome = aRead();
        EXPECT_TRUE(outcome == "new" || (crashed && outcome == "old"))
            << "write " << n << ", " << end.label << ": " << outcome;
        if (replayTried || end.power) continue;
        // A complete journal: the commit was cut among the table writes.
        bool complete = false;
        for (const auto& [name, bytes] : crashImage)
          complete |= name.ends_with(".n$2") && bytes.size() >= 12 && mvGetU32(bytes.data(), 4) == 0xFFFFFFFF;
        if (!complete) continue;
        replayTried = true;
        for (uint64_t m = 0;; ++m) {
          RestoreFolder(crashImage);
          fs.CrashAfterWrites(m);
          Check();
          const bool replayCrashed = fs.Crashed();
          fs.Reset();
          Check();
          const std::string again = aRead();
          // A rollback journal takes the commit back, the others redo it.
          const bool undoes = mvDefaultJournalEngineClass.load() == &Tmv1xRollbackJournalEngine::StaticClass;
          EXPECT_EQ(again, undoes ? "old" : "new") << "write " << n << ", replay cut after write " << m << ": " << again;
          if (!replayCrashed) break;
        }
      }
      if (!crashed || n >= 400) {
        if (crashed) ADD_FAILURE() << "the commit still writes after 400 writes";
        fs.SimulateSyncs(false);
        RestoreFolder(base);
        return n;
      }
    }
  }

  // "old" for 1000 whole records, "new" for 2000, else what was found.
  std::string ReadPeople(const std::string& aName, const TEngineSetUp& aSetUp) {
    try {
      const TFound f = ReadCrashed(aName, aSetUp);
      if (f.count == f.read && f.highestID == f.read && f.autoInc == f.read && f.bad == 0) {
        if (f.read == 1000) return "old";
        if (f.read == 2000) return "new";
      }
      return "count " + std::to_string(f.count) + ", read " + std::to_string(f.read) + ", highest ID " +
             std::to_string(f.highestID) + ", auto-increment " + std::to_string(f.autoInc) + ", bad " +
             std::to_string(f.bad);
    } catch (const EmvBaseException& e) {
      return "error " + std::to_string(e.ErrorCode()) + ": " + UTF8Encode(e.Message());
    }
  }
  // A table of 1000 committed records.
  void Base(const std::string& aName, const TEngineSetUp& aSetUp) {
    TTestTransaction trans(cache);
    TTable t = Create(aName, &trans, aSetUp);
    Insert(t, &trans, 1000);
    t.records.reset();
    t.autoInc.reset();
    trans.Commit();
  }
  // Adds 1000 records to each named table in one journalled commit.
  void AddThousand(const std::vector<std::string>& aNames, const TEngineSetUp& aSetUp,
                   const std::function<void()>& aArm) {
    TTestTransaction trans(cache);
    trans.SetJournalled(true);
    std::vector<TTable> tables;
    for (const std::string& name : aNames) {
      tables.push_back(Open(OpenFile(name), aSetUp));
      Insert(tables.back(), &trans, 1000);
    }
    aArm();
    trans.Commit();
  }

  // Every record of a table by ID, or the error reading it gave.
  struct TState {
    std::map<int32_t, std::vector<uint8_t>> records;
    std::string error;
    bool operator==(const TState&) const = default;
  };
  TState ReadState(const std::string& aName, const TEngineSetUp& aSetUp) {
    TState state;
    try {
      TTable t = Open(OpenFile(aName), aSetUp);
      TTestTransaction trans(cache);
      std::vector<uint8_t> record(size_t(t.dict->GetFieldsDescriptor()->RecordLength()));
      uint32_t count = t.records->breGetRecordCount(&trans);
      for (TmvRefNr r = 0; state.records.size() <= 100000;) {
        t.records->ReadNextRecord(&trans, r, r, record.data());
        if (r == 0) break;
        int32_t id;
        std::memcpy(&id, record.data(), 4);
        if (!state.records.emplace(id, record).second) state.error = "ID " + std::to_string(id) + " twice";
      }
      if (count != state.records.size()) state.error += " count " + std::to_string(count);
      trans.End();
    } catch (const EmvBaseException& e) {
      state.error = "error " + std::to_string(e.ErrorCode()) + ": " + UTF8Encode(e.Message());
    }
    return state;
  }
  // In one journalled commit: every third record gets a name of 40
  // characters (it grows and moves out of its place), every fifth is
  // deleted, 200 are added.
  void ReshapeCommit(const std::string& aName, const TEngineSetUp& aSetUp, const std::function<void()>& aArm) {
    TTestTransaction trans(cache);
    trans.SetJournalled(true);
    TTable t = Open(OpenFile(aName), aSetUp);
    TmvFieldsDescriptor* fields = t.dict->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength())), old(record.size());
    const std::map<int32_t, TmvRefNr> ids = ReadAll(t, &trans);
    for (const auto& [id, ref] : ids) {
      if (id % 5 == 0) {
        t.records->DeleteRecord(&trans, ref);
      } else if (id % 3 == 0) {
        NativeRecord(fields, id, record.data());
        uint8_t name[41] = {40};
        std::memset(name + 1, 'a' + id % 26, 40);
        fields->SetRecordField(1, record.data(), name);
        t.records->ReadRecord(&trans, ref, old.data());
        t.records->UpdateRecord(&trans, ref, record.data(), old.data());
      }
    }
    Insert(t, &trans, 200);
    aArm();
    trans.Commit();
  }

  static constexpr int kRecords = 100000;
};

TEST_F(TableEndToEnd, HundredThousandRecordsSurviveCommitReopenAndPartialDeletionOnEachEngine) {
  std::map<std::string, TSize> sizes;
  for (const TEngineSetUp& setUp : kSetUps) {
    SCOPED_TRACE(setUp.label);
    sizes[setUp.label] = RoundTrip(setUp, "people-" + UTF8Encode(setUp.record) + ".mv1");
  }
  // The same records with mostly short or empty names. A static record
  // takes its full 62 bytes; a "Smart" one a segment of 23 bytes with an
  // empty name and at most 36 with the names here, plus the heap's cost of
  // a segment: the variable file comes out at about 53% of the static one,
  // and well under 60% by construction.
  for (const auto& [label, size] : sizes)
    std::printf("%d records, %s: file of %ju bytes, %u blocks in use\n", kRecords, label.c_str(), size.bytes,
                unsigned(size.blocks));
  const TSize fixed = sizes["Static"], variable = sizes["Variable+Smart"];
  EXPECT_LT(variable.bytes * 5, fixed.bytes * 3);
  EXPECT_LT(uintmax_t(variable.blocks) * 5, uintmax_t(fixed.blocks) * 3);
}

TEST_F(TableEndToEnd, ACommitCutOffAfterAnyWriteLeavesTheOldOrTheNewTableOrAClearError) {
  for (const TEngineSetUp& setUp : kSetUps) {
    SCOPED_TRACE(setUp.label);
    for (const auto& [n, outcome] : CrashCut(setUp))
      std::printf("%s, crash after write %3llu: %s\n", setUp.label.c_str(), (unsigned long long)n, outcome.c_str());
  }
}


// A table whose records carry BLOBs, changed by a commit of every kind: the
// crash is placed after each of the commit's writes in turn, and every
// reopen must give exactly the table before the commit, or a clear engine
// error; never a mixture of the two.
class TornCommit : public RecordTableTest {
 protected:
  // What a reader sees of one record: its name, its amount and its BLOB
  // ("" without one).
  struct TRow {
    std::string name;
    double amount = 0;
    std::string blob;
    bool operator==(const TRow&) const = default;
  };
  using TModel = std::map<int32_t, TRow>;
  struct TTable {
    TableFile file;
    std::unique_ptr<TmvServerDataDict> dict;
    std::unique_ptr<TmvBaseRecordEngine> records;
    std::unique_ptr<TmvBaseBlobEngine> blobs;
    TmvFieldsDescriptor* Fields() const { return dict->GetFieldsDescriptor(); }
  };

  // The people table on the variable engine with "Smart" records, and a
  // BLOB field "NOTE" kept on a heap of its own.
  static std::unique_ptr<TmvServerDataDict> Dictionary() {
    auto dd = TPeopleTable::Dictionary<TmvServerDataDict>(u"Variable", u"Smart");
    dd->GetFieldsDescriptor()->AddField(u"NOTE", u"", mvtBlobMemo, 0, 0, false);
    dd->AddBlobDescriptor(&TmvHeapBlobDescriptor::StaticClass);
    static_cast<TmvHeapBlobDescriptor*>(dd->GetBlobDescriptor())->AddHeapDescriptor()->AddBlockHeapDescriptor();
    return dd;
  }
  static void Engines(TTable& aTable, TmvBaseTransaction* aTrans) {
    aTable.records.reset(TmvBaseRecordEngine::CreateEngine(aTable.dict.get(), aTable.file.Files(), aTrans));
    aTable.blobs.reset(TmvBaseBlobEngine::CreateEngine(aTable.dict.get(), aTable.file.Files(), aTrans));
  }
  TTable Create(const std::string& aName, TmvBaseTransaction* aTrans) {
    TTable t;
    t.file = CreateFile(aName, aTrans);
    t.dict = Dictionary();
    std::unique_ptr<TmvBaseStreamEngine> streams(
        TmvBaseStreamEngine::CreateEngine(t.dict.get(), t.file.view.get(), aTrans));
    t.dict->WriteToFile(streams.get(), aTrans, mvEngineVersion);
    Engines(t, aTrans);
    return t;
  }
  // Opens the file through the dictionary it stores.
  TTable Open(TableFile aFile) {
    TTable t;
    t.file = std::move(aFile);
    t.dict = StoredDictionary(t.file);
    Engines(t, nullptr);
    return t;
  }

  // The BLOB of an ID at a revision: a few bytes to a few blocks.
  static std::string BlobOf(int32_t aID, int aRevision) {
    const size_t length = size_t(aID * 37 % 9000 + aRevision * 1500);
    std::string text(length, ' ');
    for (size_t i = 0; i < length; ++i) text[i] = char('a' + (aID + aRevision * 7 + int(i)) % 26);
    return text;
  }
  // The record of a row (the BLOB number set apart).
  static std::vector<uint8_t> Record(TmvFieldsDescriptor* aFields, int32_t aID, const TRow& aRow, TmvBlobNr aBlob) {
    std::vector<uint8_t> r(size_t(aFields->RecordLength()), 0);
    TPeopleTable::Record(aFields, aID, r.data());
    uint8_t name[41] = {uint8_t(aRow.name.size())};
    std::memcpy(name + 1, aRow.name.data(), aRow.name.size());
    aFields->SetRecordField(1, r.data(), name);
    aFields->SetRecordField(2, r.data(), &aRow.amount);
    if (aBlob != 0) aFields->SetRecordField(4, r.data(), &aBlob);
    return r;
  }
  TmvBlobNr NewBlob(TTable& aTable, TmvBaseTransaction* aTrans, const std::string& aText) {
    if (aText.empty()) return 0;
    TmvBlobNr nr = 0;
    aTable.blobs->AddBlob(aTrans, nr);
    aTable.blobs->Write(aTrans, nr, 0, uint32_t(aText.size()), aText.data());
    return nr;
  }
  void Insert(TTable& aTable, TmvBaseTransaction* aTrans, int32_t aID, const TRow& aRow) {
    std::vector<uint8_t> r = Record(aTable.Fields(), aID, aRow, NewBlob(aTable, aTrans, aRow.blob));
    TmvRefNr ref = 0;
    aTable.records->AddRecord(aTrans, ref, r.data());
  }

  // Every record in storage order with its reference and BLOB number; the
  // rows as a reader sees them. A record count that disagrees with the
  // records found, or a record twice, is a mixture too.
  struct TRead {
    TModel rows;
    std::map<int32_t, std::pair<TmvRefNr, TmvBlobNr>> where;
  };
  TRead ReadAll(TTable& aTable, TmvBaseTransaction* aTrans) {
    TmvFieldsDescriptor* fields = aTable.Fields();
    std::vector<uint8_t> r(size_t(fields->RecordLength()));
    TRead read;
    int32_t duplicates = 0;
    for (TmvRefNr ref = 0;;) {
      aTable.records->ReadNextRecord(aTrans, ref, ref, r.data());
      if (ref == 0 || read.rows.size() > 5000) break;
      bool null = false;
      int32_t id = 0;
      fields->GetRecordField(0, r.data(), null, &id);
      TRow row;
      uint8_t name[41] = {};
      fields->GetRecordField(1, r.data(), null, name);
      row.name.assign(reinterpret_cast<const char*>(name + 1), std::min<size_t>(name[0], 40));
      fields->GetRecordField(2, r.data(), null, &row.amount);
      TmvBlobNr nr = 0;
      fields->GetRecordField(4, r.data(), null, &nr);
      if (!null) {
        uint32_t length = 0;
        EXPECT_EQ(aTable.blobs->GetBlobLength(aTrans, nr, {}, length), 0u);
        ByteStream stream;
        aTable.blobs->Read(aTrans, nr, 0, length, {}, &stream);
        row.blob.assign(stream.bytes.begin(), stream.bytes.end());
      }
      if (!read.rows.emplace(id, row).second) ++duplicates;
      read.where[id] = {ref, nr};
    }
    EXPECT_EQ(aTable.records->breGetRecordCount(aTrans), read.rows.size() + size_t(duplicates));
    if (duplicates != 0) read.rows.clear();  // never a model
    return read;
  }

  static TRow RowOf(int32_t aID) {
    char text[41];
    const int length = TPeopleTable::Name(aID, text);
    return TRow{std::string(text, size_t(length)), TPeopleTable::Amount(aID), aID % 3 == 0 ? BlobOf(aID, 0) : ""};
  }

  // The commit under test: on top of aOld it inserts, updates (names that
  // grow out of their segments, BLOBs that grow, appear and go), deletes
  // records with their BLOBs. Answers the model after it.
  TModel Change(TTable& aTable, TmvBaseTransaction* aTrans, const TModel& aOld) {
    TModel next = aOld;
    const TRead read = ReadAll(aTable, aTrans);
    for (int32_t id = 1; id <= kBase; ++id) {
      const auto& [ref, nr] = read.where.at(id);
      TRow row = aOld.at(id);
      if (id % 7 == 0) {
        aTable.records->DeleteRecord(aTrans, ref);
        if (nr != 0) aTable.blobs->DeleteBlob(aTrans, nr);
        next.erase(id);
        continue;
      }
      if (id % 5 != 0 && id % 11 != 0) continue;
      if (id % 5 == 0) row.name = "A much longer name for person " + std::to_string(id);
      row.amount += 1000;
      TmvBlobNr blob = nr;
      if (id % 11 == 0) {
        row.blob = BlobOf(id, 1);
        if (blob == 0) blob = NewBlob(aTable, aTrans, row.blob);
        else aTable.blobs->Write(aTrans, blob, 0, uint32_t(row.blob.size()), row.blob.data());
      }
      std::vector<uint8_t> r = Record(aTable.Fields(), id, row, blob), old(r.size());
      aTable.records->UpdateRecord(aTrans, ref, r.data(), old.data());
      next[id] = row;
    }
    for (int32_t id = kBase + 1; id <= kBase + kBase / 5; ++id) {
      next[id] = RowOf(id);
      Insert(aTable, aTrans, id, next[id]);
    }
    return next;
  }

  static constexpr int32_t kBase = 160;  // records before the commit
};

TEST_F(TornCommit, EveryCutOfACommitReopensAsTheOldTableOrAnEngineError) {
  TModel before;
  {
    TTestTransaction trans(cache);
    TTable t = Create("base.mv1", &trans);
    for (int32_t id = 1; id <= kBase; ++id) {
      before[id] = RowOf(id);
      Insert(t, &trans, id, before[id]);
    }
    t.records.reset();
    t.blobs.reset();
    trans.Commit();
  }
  const std::vector<uint8_t> base = ReadBytes(folder.File("base.mv1"));
  TModel after;
  int errors = 0, olds = 0;
  for (uint64_t n = 0;; ++n) {
    WriteBytes(folder.File("cut.mv1"), base);
    bool crashed = false;
    {
      TTestTransaction trans(cache);
      TTable t = Open(OpenFile("cut.mv1"));
      after = Change(t, &trans, before);
      t.records.reset();
      t.blobs.reset();
      fs.CrashAfterWrites(n);
      trans.Commit();
      crashed = fs.Crashed();
      fs.Reset();
    }
    TModel found;
    TTestTransaction reader(cache);
    try {
      TTable t = Open(OpenFile("cut.mv1"));
      found = ReadAll(t, &reader).rows;
      reader.Commit();
    } catch (const EmvBaseException& e) {
      reader.End();
      EXPECT_TRUE(crashed) << "write " << n << ": " << UTF8Encode(e.Message());
      ++errors;
      continue;
    }
    if (!crashed) {
      EXPECT_TRUE(found == after) << "the whole commit";
      break;
    }
    // Cut after its last write, only the sync was lost: the new table.
    if (found == after) continue;
    ++olds;
    EXPECT_TRUE(found == before) << "write " << n << ": " << found.size() << " records, not the old table";
    ASSERT_LT(n, 400u) << "the commit still writes after 400 writes";
  }
  std::printf("torn commits: %d gave an engine error, %d the old table\n", errors, olds);
  EXPECT_GT(errors, 0);
}

}  // namespace

namespace {

TEST_F(TableEndToEnd, AJournalledCommitCrashedOrLosingPowerAtAnyWriteLeavesTheOldOrTheNewTableWhole) {
  TTestLog log;  // a cut replay leaves its journal, and says so
  for (const TEngineSetUp& setUp : kSetUps) {
    SCOPED_TRACE(setUp.label);
    Base("crash.mv1", setUp);
    const uint64_t writes = CrashMatrix([&](const std::function<void()>& aArm) { AddThousand({"crash.mv1"}, setUp, aArm); },
                                        [&] { return ReadPeople("crash.mv1", setUp); }, Ends(true), true);
    std::printf("%s: %llu writes, each cut and with 10 power losses\n", setUp.label.c_str(),
                (unsigned long long)writes);
    std::filesystem::remove(folder.File("crash.mv1"));
  }
}

TEST_F(TableEndToEnd, ACommitOverTwoTablesLeavesBothOldOrBothNewWithEachJournalEngine) {
  TTestLog log;
  const TEngineSetUp& setUp = kSetUps[0];
  Base("one.mv1", setUp);
  Base("two.mv1", setUp);
  const TmvJournalEngineClassRef* saved = mvDefaultJournalEngineClass.load();
  for (const TmvJournalEngineClassRef* journalClass :
       {&Tmv1xJournalEngine::StaticClass, &Tmv1xCommitJournalEngine::StaticClass,
        &Tmv1xRollbackJournalEngine::StaticClass}) {
    SCOPED_TRACE(UTF8Encode(journalClass->ClassName));
    mvDefaultJournalEngineClass.store(journalClass);
    CrashMatrix([&](const std::function<void()>& aArm) { AddThousand({"one.mv1", "two.mv1"}, setUp, aArm); },
                [&] {
                  const std::string one = ReadPeople("one.mv1", setUp), two = ReadPeople("two.mv1", setUp);
                  return one == two ? one : one + " / " + two;
                },
                Ends(false), true);
  }
  mvDefaultJournalEngineClass.store(saved);
}

}  // namespace

extern char** environ;

namespace {

// A worker process commits 10 records per journalled transaction and
// reports each commit that returned; it is killed at random moments, the
// folder recovered and read: exactly the reported commits are there, or one
// more (killed after the commit was durable, before it reported). The
// workers are forked by a helper started once with posix_spawn.
TEST_F(TableEndToEnd, AProcessKilledAtRandomMomentsLeavesExactlyItsReportedCommitsOrOneMore) {
  const TEngineSetUp& setUp = kSetUps[0];
  Base("people.mv1", setUp);
  int in[2], out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string helper = MV_CRASH_HELPER, path = folder.File("");
  char* argv[] = {helper.data(), path.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  FILE* reports = ::fdopen(out[0], "r");
  // The next line the helper or its worker writes; empty at the end.
  auto line = [&] {
    char text[64];
    return std::fgets(text, sizeof text, reports) ? std::string(text) : std::string();
  };
  std::mt19937 random(36);
  uint32_t records = 1000;
  int reportedTotal = 0, oneMore = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(::write(in[1], "g", 1), 1);
    const std::string first = line();
    ASSERT_EQ(first.rfind("pid ", 0), 0u) << first;
    const pid_t worker = pid_t(std::stol(first.substr(4)));
    // A moment after a random number of commits (none: while it recovers
    // and opens), so that the machine's load does not decide where it dies.
    int reported = std::uniform_int_distribution<int>(0, 1)(random);
    for (int i = 0; i < reported; ++i) ASSERT_EQ(line(), std::to_string(i + 1) + "\n");
    ::usleep(useconds_t(std::uniform_int_distribution<int>(0, 4000)(random)));
    ::kill(worker, SIGKILL);
    for (std::string l = line(); l != "end\n"; l = line()) {
      ASSERT_FALSE(l.empty() || l.rfind("failed", 0) == 0) << "the worker ended by itself: " << l;
      ++reported;
    }
    reportedTotal += reported;
    Check();
    const TFound f = ReadCrashed("people.mv1", setUp);
    EXPECT_TRUE(f.count == f.read && f.highestID == f.read && f.autoInc == f.read && f.bad == 0)
        << "round " << round << ": count " << f.count << ", read " << f.read;
    const uint32_t least = records + 10 * uint32_t(reported);
    EXPECT_TRUE(f.read == least || f.read == least + 10)
        << "round " << round << ": " << f.read << " records, " << reported << " commits reported on " << records;
    oneMore += f.read == least + 10;
    records = f.read;
  }
  ::close(in[1]);
  std::fclose(reports);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("200 kills in %.1f s: %d commits reported, %d more found durable, %u records\n", seconds,
              reportedTotal, oneMore, records);
}

}  // namespace

namespace {

TEST_F(TableEndToEnd, ACommitThatGrowsMovesAndDeletesRecordsCrashedAnywhereLeavesTheOldOrTheNewTable) {
  TTestLog log;
  {
    // Records grow and move on the variable engine; static ones keep their size.
    const TEngineSetUp& setUp = kSetUps[1];
    Base("reshape.mv1", setUp);
    const auto base = FolderImage();
    const TState before = ReadState("reshape.mv1", setUp);
    ReshapeCommit("reshape.mv1", setUp, [] {});
    const TState after = ReadState("reshape.mv1", setUp);
    ASSERT_TRUE(before.error.empty() && after.error.empty() && before.records.size() == 1000 &&
                after.records.size() == 1000 - 200 + 200);
    RestoreFolder(base);
    const uint64_t writes =
        CrashMatrix([&](const std::function<void()>& aArm) { ReshapeCommit("reshape.mv1", setUp, aArm); },
                    [&] {
                      const TState now = ReadState("reshape.mv1", setUp);
                      return now == before ? "old" : now == after ? "new" : now.error + " (a mix)";
                    },
                    Ends(true), false);
    std::printf("%llu writes, each cut and with 10 power losses\n", (unsigned long long)writes);
  }
}

TEST_F(TableEndToEnd, AnEncryptedTableCrashedOrLosingPowerAtAnyWriteIsOldOrNewWhole) {
  TTestLog log;
  encryptionEngine = u"mv1xDefault";
  const TEngineSetUp& setUp = kSetUps[1];
  Base("secret.mv1", setUp);
  CrashMatrix([&](const std::function<void()>& aArm) { AddThousand({"secret.mv1"}, setUp, aArm); },
              [&] { return ReadPeople("secret.mv1", setUp); }, Ends(true), true);
}

}  // namespace
