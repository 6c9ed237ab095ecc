// Test support of the table end to end (tests/storage) and its variant with
// real indexes (tests/index): a table of the sample "people" records on each
// record engine set-up with the auto-increment engine, created with its
// dictionary stored as "DICT", reopened from what the file stores, filled,
// read back, deleted in part, and committed with a cut after every write.
// A table whose dictionary names indexes gets its indices engine too, and
// every record change keeps its keys; the indexed variant checks the
// indexes through CheckIndexes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <typeinfo>

#include "foundation/types/mvsdPeerVersion.h"
#include "storage/RecordTestSupport.h"
#include "storage/compression/mvseRecordCompressionEngines.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngineVariable.h"
#include "storage/records/mvseStaticRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"
#include "storage/transactions/mvseJournalEngine.h"
#include "support/mvPeopleTable.h"

namespace storage_test {

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
inline const TEngineSetUp kSetUps[] = {{u"Static", nullptr, "Static"}, {u"Variable", u"Smart", "Variable+Smart"}};

// The table is the shared sample "people" table, without indexes (a test
// that wants them adds them to the dictionary, see TableEndToEnd). Its base
// name is the file view's, given when it is written.
inline std::unique_ptr<TmvServerDataDict> PeopleDictionary(const TEngineSetUp& aSetUp) {
  return TPeopleTable::Dictionary<TmvServerDataDict>(aSetUp.record, aSetUp.compression);
}

// The dictionary a table file stores, as an open reads it.
inline std::unique_ptr<TmvServerDataDict> StoredDictionary(const TableFile& aFile) {
  std::unique_ptr<TmvBaseStreamEngine> streams(
      TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), aFile.view.get(), nullptr));
  auto dict = std::make_unique<TmvServerDataDict>();
  dict->ReadFromFile(streams.get(), nullptr);
  return dict;
}

inline String NameOf(int32_t aID) {
  char text[41];
  TPeopleTable::Name(aID, text);
  return UTF8ToString(text);
}
inline double AmountOf(int32_t aID) { return TPeopleTable::Amount(aID); }
inline double WhenOf(int32_t aID) { return TPeopleTable::When(aID); }

class TableEndToEnd : public RecordTableTest {
 protected:
  // An open table: its file, the dictionary it was opened with and the
  // engines that dictionary names.
  struct TTable {
    TableFile file;
    std::unique_ptr<TmvServerDataDict> dict;
    std::unique_ptr<TmvBaseRecordEngine> records;
    std::unique_ptr<TmvBaseAutoIncEngine> autoInc;
    std::unique_ptr<TmvBaseIndicesEngine> indices;  // nil without indexes
    // The engines go before the file and the dictionary they use.
    void Close() {
      indices.reset();
      records.reset();
      autoInc.reset();
    }
  };
  // The dictionary of a new table of the set-up: the people table as it
  // is; the indexed variant adds its indexes.
  virtual std::unique_ptr<TmvServerDataDict> Dictionary(const TEngineSetUp& aSetUp) { return PeopleDictionary(aSetUp); }
  // Whether the indexes of an open table agree with its live records (the
  // IDs, with their references): "" when they do, else what differs.
  // Nothing to check here.
  virtual std::string CheckIndexes(TTable&, TmvBaseTransaction*, const std::map<int32_t, TmvRefNr>&) { return {}; }
  // A new table file: the dictionary goes in as "DICT" in aTrans, with
  // whatever the caller then adds.
  TTable Create(const std::string& aName, TmvBaseTransaction* aTrans, const TEngineSetUp& aSetUp) {
    TTable t;
    t.file = CreateFile(aName, aTrans);
    t.dict = Dictionary(aSetUp);
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
    aTable.indices.reset(TmvBaseIndicesEngine::CreateEngine(aTable.dict.get(), aTable.file.Files(),
                                                            aTable.records.get(), aTrans, false));
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
  // Deletes a record, and its keys.
  static void Delete(TTable& aTable, TmvBaseTransaction* aTrans, TmvRefNr aRef) {
    if (aTable.indices) {
      std::vector<uint8_t> record(size_t(aTable.dict->GetFieldsDescriptor()->RecordLength()));
      aTable.records->ReadRecord(aTrans, aRef, record.data());
      ASSERT_EQ(aTable.indices->DeleteKeys(aTrans, aRef, record.data(), nullptr), 0);
    }
    aTable.records->DeleteRecord(aTrans, aRef);
  }
  void Insert(TTable& aTable, TmvBaseTransaction* aTrans, int aCount) {
    TmvFieldsDescriptor* fields = aTable.dict->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    for (int i = 0; i < aCount; ++i) {
      NativeRecord(fields, int32_t(aTable.autoInc->NextAutoIncValue(aTrans, nullptr)), record.data());
      TmvRefNr ref = 0;
      aTable.records->AddRecord(aTrans, ref, record.data());
      if (aTable.indices) {
        ASSERT_EQ(aTable.indices->InsertKeys(aTrans, ref, record.data(), nullptr), 0);
      }
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

  // Stores fRecords in a new file of aName, commits, reopens and reads them
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
      Insert(t, &trans, fRecords);
      t.Close();
      trans.Commit();
    }
    size.bytes = std::filesystem::file_size(folder.File(aName));
    std::vector<TmvRefNr> thirds;
    {
      TTable t = Open(OpenFile(aName), aSetUp);
      size.blocks = t.file.table->file->fiUsedBlocks;
      EXPECT_TRUE(t.dict->IsEqual(Dictionary(aSetUp).get()));
      TTestTransaction trans(cache);
      EXPECT_EQ(t.records->breGetRecordCount(&trans), uint32_t(fRecords));
      const std::map<int32_t, TmvRefNr> ids = ReadAll(t, &trans);
      EXPECT_EQ(ids.size(), size_t(fRecords));
      EXPECT_EQ(CheckIndexes(t, &trans, ids), "");
      if (!ids.empty()) {
        EXPECT_EQ(ids.begin()->first, 1);
        EXPECT_EQ(ids.rbegin()->first, fRecords);
      }
      for (const auto& [id, ref] : ids)
        if (id % 3 == 0) Delete(t, &trans, ref);
      EXPECT_EQ(t.autoInc->ReadAutoIncValue(&trans), uint32_t(fRecords));
      t.Close();
      trans.Commit();
    }
    TTable t = Open(OpenFile(aName), aSetUp);
    TTestTransaction trans(cache);
    EXPECT_EQ(t.records->breGetRecordCount(&trans), uint32_t(fRecords - fRecords / 3));
    const std::map<int32_t, TmvRefNr> ids = ReadAll(t, &trans);
    EXPECT_EQ(ids.size(), size_t(fRecords - fRecords / 3));
    EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const auto& e) { return e.first % 3 == 0; }), 0);
    EXPECT_EQ(CheckIndexes(t, &trans, ids), "");
    // The freed space is taken before the file grows (new keys may need
    // new index nodes).
    const TmvBlockNumber blocks = t.file.table->file->fiUsedBlocks;
    Insert(t, &trans, 100);
    if (!t.indices) {
      EXPECT_EQ(t.file.table->file->fiTransUsedBlocks, blocks);
    }
    t.Close();
    trans.End();
    return size;
  }

  // What a reader finds in the file of aName after a crash: a clear error
  // (thrown on), or the record count, the records read (each checked
  // against its ID; IDs unique) and the auto-increment value.
  struct TFound {
    uint32_t count = 0, read = 0, autoInc = 0, highestID = 0, bad = 0;
    std::string indexes;  // what CheckIndexes found
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
    std::map<int32_t, TmvRefNr> ids;
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
        if (record != expected || !ids.emplace(id, r).second) ++found.bad;
      }
      found.indexes = CheckIndexes(t, &trans, ids);
    } catch (...) {
      t.Close();
      trans.End();
      throw;
    }
    t.Close();
    trans.End();
    if (!ids.empty()) found.highestID = uint32_t(ids.rbegin()->first);
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
      t.Close();
      trans.Commit();
    }
    const std::vector<uint8_t> base = ReadBytes(folder.File("base.mv1"));
    // The errors of a file whose blocks do not fit together: the static
    // engine's data blocks and the heap's blocks each have their own.
    const std::set<uint32_t> clear{MVERR_HEADERCORRUPT,  MVERR_FILECORRUPT, MVERR_INVALIDBLOCKNR,
                                   MVERR_NOTADATABLOCK,  MVERR_NOTAHEAPBLOCK, MVERR_OBJNOTFOUND,
                                   MVERR_CANNOTOPENFILE, MVERR_NOTANINDEXBLOCK};
    std::map<uint64_t, std::string> outcomes;
    for (uint64_t n = 0;; ++n) {
      WriteBytes(folder.File("crash.mv1"), base);
      bool crashed = false;
      {
        TTestTransaction trans(cache);
        TTable t = Open(OpenFile("crash.mv1"), aSetUp);
        Insert(t, &trans, 1000);
        t.Close();
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
                  std::to_string(f.bad) + (f.indexes.empty() ? "" : ", indexes: " + f.indexes);
        const bool whole = (f.read == 1000 || f.read == 2000) && f.count == f.read && f.highestID == f.read &&
                           f.autoInc == f.read && f.bad == 0 && f.indexes.empty();
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
    t.Close();
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
        Delete(t, &trans, ref);
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

  // How many records a round trip stores.
  int fRecords = 100000;
};

}  // namespace storage_test
