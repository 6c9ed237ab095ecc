// Stress test of whole tables over one shared block cache: four sessions,
// each on a table of its own, insert, update and delete records with their
// BLOBs and commit, again and again, while two snapshot readers read
// whole tables through engines of their own. The cache's budget is far
// below the data, so committed blocks keep leaving memory right after they
// are written and come back from disk. Every snapshot must see one
// committed state (each BLOB the revision its record names, the count the
// records found); at the end each table, reopened, holds exactly what its
// session committed. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <shared_mutex>
#include <thread>

#include "storage/HeapTestSupport.h"
#include "storage/RecordTestSupport.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "support/mvPeopleTable.h"

using namespace storage_test;

namespace {

constexpr int kSessions = 4;
constexpr int kReaders = 2;
constexpr int kInitialRecords = 40;
constexpr int kCommits = 20;  // per session
constexpr int kInsertsPerCommit = 10;

// A record: its ID, a revision in the amount field and, for most, a BLOB
// whose bytes follow from both.
std::string BlobOf(int32_t aID, int32_t aRevision) {
  const size_t length = size_t((aID * 131 + aRevision * 977) % 12000);
  std::string text(length, ' ');
  for (size_t i = 0; i < length; ++i) text[i] = char('a' + (aID * 3 + aRevision + int(i)) % 26);
  return text;
}

class TableSessionsStress : public RecordTableTest {
 protected:
  // A session's table: odd sessions keep static records and simple BLOBs,
  // even ones variable "Smart" records and BLOBs on a heap.
  static std::unique_ptr<TmvDataDictionary> Dictionary(int aSession) {
    const bool odd = aSession % 2 != 0;
    auto dd = odd ? TPeopleTable::Dictionary<TmvDataDictionary>(u"Static", nullptr)
                  : TPeopleTable::Dictionary<TmvDataDictionary>(u"Variable", u"Smart");
    dd->SetBaseName(u"t");
    dd->GetFieldsDescriptor()->AddField(u"NOTE", u"", mvtBlobMemo, 0, 0, false);
    if (odd) {
      dd->AddBlobDescriptor()->SetBlobEngine(u"mv1xSimple");
    } else {
      dd->AddBlobDescriptor(&TmvHeapBlobDescriptor::StaticClass);
      static_cast<TmvHeapBlobDescriptor*>(dd->GetBlobDescriptor())->AddHeapDescriptor()->AddBlockHeapDescriptor();
    }
    return dd;
  }
  // The engines of one thread on a table: a view, a dictionary and engines
  // of its own.
  struct TEngines {
    std::unique_ptr<TmvDataDictionary> dict;
    std::unique_ptr<TmvBlockAccess> view;
    std::unique_ptr<TmvBaseRecordEngine> records;
    std::unique_ptr<TmvBaseBlobEngine> blobs;
    TEngines(int aSession, TmvBaseFile* aFile, TmvBaseTransaction* aTrans)
        : dict(Dictionary(aSession)), view(std::make_unique<TmvBlockAccess>(aFile, nullptr, u"t", 0)) {
      const TmvBlockAccessArray files{view.get()};
      records.reset(TmvBaseRecordEngine::CreateEngine(dict.get(), files, aTrans));
      blobs.reset(TmvBaseBlobEngine::CreateEngine(dict.get(), files, aTrans));
    }
    ~TEngines() {
      records.reset();
      blobs.reset();
    }
    TmvFieldsDescriptor* Fields() const { return dict->GetFieldsDescriptor(); }
  };

  struct TSession {
    std::unique_ptr<OpenTable> table;
    std::unique_ptr<TEngines> engines;
    std::map<int32_t, int32_t> revisions;  // the committed model: ID -> revision
    int32_t nextID = 1;
    // The table's portal, as the server holds one: a commit replaces the
    // committed images that readers without a snapshot (opening engines)
    // hold, so it waits for them.
    std::shared_mutex portal;
  };

  void SetUp() override {
    RecordTableTest::SetUp();
    cache->SetMaxRAM(1);
    {
      // Below the smallest budget a setting gives: 64 pages, far less than
      // one session's commit and its reads, so blocks a flush has just
      // written leave memory while it writes the rest.
      TmvBufferManagerGuard guard(cache);
      for (int64_t& target : cache->bmMaxPages[cbsMapped]) target = 32;
    }
    cache->SetSyncOnCommit(false);  // hundreds of commits: the disk's sync time would be all it measures
    for (int s = 0; s < kSessions; ++s) {
      TSession& session = sessions[s];
      TTestTransaction trans(cache);
      session.table = Create(Name(s), &trans);
      session.table->file->fiMaxID = 1000;
      session.engines = std::make_unique<TEngines>(s, session.table->file, &trans);
      for (int i = 0; i < kInitialRecords; ++i) Insert(session, &trans);
      trans.Commit();
    }
  }
  void TearDown() override {
    for (TSession& session : sessions) {
      session.engines.reset();
      session.table.reset();
    }
    RecordTableTest::TearDown();
  }
  static std::string Name(int aSession) { return "session" + std::to_string(aSession) + ".mv1"; }

  void Mismatch(const std::string& aWhat) {
    if (wrong++ < 5) ADD_FAILURE() << aWhat;
  }

  // The record of an ID at a revision with its BLOB number (0: none).
  static std::vector<uint8_t> Record(TmvFieldsDescriptor* aFields, int32_t aID, int32_t aRevision, TmvBlobNr aBlob) {
    std::vector<uint8_t> r(size_t(aFields->RecordLength()), 0);
    TPeopleTable::Record(aFields, aID, r.data());
    const double revision = aRevision;
    aFields->SetRecordField(2, r.data(), &revision);
    if (aBlob != 0) aFields->SetRecordField(4, r.data(), &aBlob);
    return r;
  }
  static TmvBlobNr WriteBlob(TEngines& aEngines, TmvBaseTransaction* aTrans, TmvBlobNr aBlob, int32_t aID,
                             int32_t aRevision) {
    const std::string text = BlobOf(aID, aRevision);
    if (aBlob == 0) aEngines.blobs->AddBlob(aTrans, aBlob);
    else aEngines.blobs->Truncate(aTrans, aBlob, 0);
    aEngines.blobs->Write(aTrans, aBlob, 0, uint32_t(text.size()), text.data());
    return aBlob;
  }
  void Insert(TSession& aSession, TmvBaseTransaction* aTrans) {
    TEngines& e = *aSession.engines;
    const int32_t id = aSession.nextID++;
    const TmvBlobNr blob = id % 5 == 0 ? 0 : WriteBlob(e, aTrans, 0, id, 0);
    std::vector<uint8_t> r = Record(e.Fields(), id, 0, blob);
    TmvRefNr ref = 0;
    e.records->AddRecord(aTrans, ref, r.data());
    aSession.revisions[id] = 0;
  }

  // What a transaction sees of a table: per ID the reference, revision,
  // BLOB number and BLOB bytes; checks the count against the records.
  struct TSeen {
    TmvRefNr ref;
    int32_t revision;
    TmvBlobNr blob;
    std::string text;
  };
  std::map<int32_t, TSeen> ReadTable(TEngines& aEngines, TmvBaseTransaction* aTrans) {
    TmvFieldsDescriptor* fields = aEngines.Fields();
    std::vector<uint8_t> r(size_t(fields->RecordLength()));
    std::map<int32_t, TSeen> seen;
    for (TmvRefNr ref = 0;;) {
      aEngines.records->ReadNextRecord(aTrans, ref, ref, r.data());
      if (ref == 0 || seen.size() > 10000) break;
      bool null = false;
      int32_t id = 0;
      double revision = 0;
      TmvBlobNr blob = 0;
      fields->GetRecordField(0, r.data(), null, &id);
      fields->GetRecordField(2, r.data(), null, &revision);
      fields->GetRecordField(4, r.data(), null, &blob);
      if (null) blob = 0;
      TSeen& s = seen[id];
      s = {ref, int32_t(revision), blob, {}};
      if (blob != 0) {
        uint32_t length = 0;
        aEngines.blobs->GetBlobLength(aTrans, blob, {}, length);
        ByteStream stream;
        aEngines.blobs->Read(aTrans, blob, 0, length, {}, &stream);
        s.text.assign(stream.bytes.begin(), stream.bytes.end());
      }
    }
    if (aEngines.records->breGetRecordCount(aTrans) != seen.size())
      Mismatch("the record count disagrees with the records found");
    return seen;
  }
  void CheckBlobs(const std::map<int32_t, TSeen>& aSeen, const std::string& aWhere) {
    for (const auto& [id, s] : aSeen)
      if ((s.blob != 0) != (id % 5 != 0) || (s.blob != 0 && s.text != BlobOf(id, s.revision)))
        Mismatch(aWhere + ": record " + std::to_string(id) + " at revision " + std::to_string(s.revision) +
                 " has another BLOB");
  }

  // One session's commits: inserts, updates (a new revision of the record
  // and its BLOB), deletes with the BLOB.
  void RunSession(int aSession) {
    TSession& session = sessions[aSession];
    TEngines& e = *session.engines;
    std::mt19937 random(uint32_t(aSession + 1));
    for (int c = 0; c < kCommits; ++c) {
      TTestTransaction trans(cache);
      std::map<int32_t, TSeen> now = ReadTable(e, &trans);
      std::map<int32_t, int32_t> next = session.revisions;
      for (int i = 0; i < 3 && !now.empty(); ++i) {
        auto it = now.begin();
        std::advance(it, random() % now.size());
        const auto& [id, s] = *it;
        const int32_t revision = s.revision + 1;
        const TmvBlobNr blob = s.blob != 0 ? WriteBlob(e, &trans, s.blob, id, revision) : 0;
        std::vector<uint8_t> r = Record(e.Fields(), id, revision, blob), old(r.size());
        e.records->UpdateRecord(&trans, s.ref, r.data(), old.data());
        next[id] = revision;
      }
      if (now.size() > 20) {
        auto it = now.begin();
        std::advance(it, random() % now.size());
        e.records->DeleteRecord(&trans, it->second.ref);
        if (it->second.blob != 0) e.blobs->DeleteBlob(&trans, it->second.blob);
        next.erase(it->first);
      }
      session.revisions.swap(next);
      for (int i = 0; i < kInsertsPerCommit; ++i) Insert(session, &trans);
      std::unique_lock<std::shared_mutex> exclusive(session.portal);
      trans.Commit();
    }
  }

  // Snapshots of random tables until the sessions are done.
  void RunReader(int aReader) {
    std::mt19937 random(uint32_t(100 + aReader));
    while (!done.load()) {
      const int s = int(random() % kSessions);
      TTestTransaction snapshot(cache, true);
      {
        std::unique_ptr<TEngines> engines;
        {
          std::shared_lock<std::shared_mutex> shared(sessions[s].portal);
          engines = std::make_unique<TEngines>(s, sessions[s].table->file, nullptr);
        }
        CheckBlobs(ReadTable(*engines, &snapshot), "snapshot of session " + std::to_string(s));
      }
      snapshot.Commit();
      ++snapshots;
    }
  }

  TSession sessions[kSessions];
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<int> snapshots{0};
};

TEST_F(TableSessionsStress, FourSessionsCommitTablesWithBlobsBesideSnapshotReadersInASmallCache) {
  std::atomic<int> failed{0};
  auto guarded = [&](auto aRun) {
    return [&, aRun] {
      mvSetOperationDeadline(0, true);
      try {
        aRun();
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        ++failed;
      }
    };
  };
  std::vector<std::thread> writers, readers;
  for (int s = 0; s < kSessions; ++s) writers.emplace_back(guarded([this, s] { RunSession(s); }));
  for (int r = 0; r < kReaders; ++r) readers.emplace_back(guarded([this, r] { RunReader(r); }));
  for (std::thread& t : writers) t.join();
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(snapshots.load(), 0);
  EXPECT_GT(cache->BlocksRead(), 0u);  // committed blocks came back from disk
  std::printf("%d snapshots, %llu blocks read, %llu written\n", snapshots.load(),
              (unsigned long long)cache->BlocksRead(), (unsigned long long)cache->BlocksWritten());
  // Each table as stored: exactly what its session committed.
  for (int s = 0; s < kSessions; ++s) {
    sessions[s].engines.reset();
    sessions[s].table.reset();
    auto table = Open(Name(s));
    table->file->fiMaxID = 1000;
    TTestTransaction trans(cache);
    std::map<int32_t, TSeen> stored;
    {
      TEngines engines(s, table->file, nullptr);
      stored = ReadTable(engines, &trans);
    }
    trans.Commit();
    CheckBlobs(stored, "session " + std::to_string(s) + " reopened");
    std::map<int32_t, int32_t> revisions;
    for (const auto& [id, seen] : stored) revisions[id] = seen.revision;
    EXPECT_EQ(revisions, sessions[s].revisions) << "session " << s;
  }
}

}  // namespace
