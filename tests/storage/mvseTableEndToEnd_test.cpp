// A table end to end on each record engine set-up with the auto-increment
// engine: records stored in one transaction, committed, reopened and read
// back, deleted in part and checked again; the files' sizes side by side;
// and a commit cut off after every write it makes.
// The table file holds its own dictionary: it is written as the stream
// "DICT" with the first records, and every reopen reads it back and builds
// the engines from the names it stores.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "storage/HeapTestSupport.h"
#include "storage/TableEndToEndSupport.h"
#include "storage/blobs/mvseBlobEngine.h"

namespace {

using namespace storage_test;

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
    std::printf("%d records, %s: file of %ju bytes, %u blocks in use\n", fRecords, label.c_str(), size.bytes,
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
