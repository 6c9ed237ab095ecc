// Table cursor content tests: content locks outside and inside
// transactions (the portal, upgrades, the deadlock between two upgrades,
// conditional requests, snapshots), table locks between sessions and within
// one, named streams (names, hiding internal ones, surviving reopen), and
// the cache-table indexes: the graveyard and ContainsLSNRefNr.
#include <future>
#include <thread>

#include "dictionary/mvsdCacheTables.h"
#include "foundation/mvllStreams.h"
#include "server/cursors/TableCursorTestSupport.h"
#include "platform/Numeric.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "server/transactions/mvsrTransactionLevelTableLink.h"

namespace {

using namespace cursor_test;
using namespace std::chrono_literals;

class TableCursorContent : public CursorTest {
 protected:
  // "T" (people with indexes) opened on two sessions' databases.
  void TwoSessions(TmvShareMode aShare = smShared) {
    db1 = Database();
    db2 = Database();
    ASSERT_EQ(Build(DiskFolder(), u"T", IndexedPeople().get()), 0u);
    c1 = Open(db1, u"T", String(), -1, omReadWrite, aShare);
    c2 = Open(db2, u"T", String(), -1, omReadWrite, aShare);
  }
  // Whether another thread can take the table's content portal for writing
  // within a short while (it is released again at once).
  static bool PortalFree(TmvServerTableCursor* aCursor) {
    TmvInternalReadWritePortal& portal = aCursor->Table()->Root()->srtContentPortal;
    auto writer = std::async(std::launch::async, [&] {
      portal.BeginWrite();
      portal.EndWrite();
    });
    if (writer.wait_for(300ms) == std::future_status::ready) return true;
    aCursor->sbcEndContentLock();
    writer.wait();
    return false;
  }

  TmvServerDatabase* db1 = nullptr;
  TmvServerDatabase* db2 = nullptr;
  TmvServerTableCursor* c1 = nullptr;
  TmvServerTableCursor* c2 = nullptr;
};

TEST_F(TableCursorContent, OutsideTransactionsOnlySharedCursorsEnterThePortal) {
  TwoSessions();
  EXPECT_EQ(c1->sbcBeginContentLock(false, false, false), 0u);
  EXPECT_FALSE(PortalFree(c1)) << "a shared cursor reads inside the portal";
  Close(c1);
  Close(c2);
  TmvServerTableCursor* alone = Open(db1, u"T", String(), -1, omReadWrite, smExclusive);
  EXPECT_EQ(alone->sbcBeginContentLock(false, false, false), 0u);
  EXPECT_TRUE(PortalFree(alone)) << "an exclusive cursor takes no portal lock";
  alone->sbcEndContentLock();
  const uint32_t code = alone->sbcBeginContentLock(true, false, false);
  EXPECT_EQ(code, uint32_t(MVERR_NOACTIVETRAN));
  EXPECT_EQ(LastText(code), u"No user transaction is currently in progress.");
}

TEST_F(TableCursorContent, TwoSharedLinksAskingForExclusiveDeadlockTheSecondAsker) {
  TwoSessions();
  ASSERT_EQ(db1->TransContext()->TransactionStart(false, false), 0u);
  ASSERT_EQ(db2->TransContext()->TransactionStart(false, false), 0u);
  ASSERT_EQ(c1->sbcBeginContentLock(false, false, false), 0u);
  ASSERT_EQ(c2->sbcBeginContentLock(false, false, false), 0u);
  ASSERT_NE(c1->stcTransLink, nullptr);

  // Conditional: refused at once while the other shared link stands.
  EXPECT_EQ(c1->sbcBeginContentLock(true, true, false), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_FALSE(static_cast<TmvServerTransactionLevelTableLink*>(c1->stcTransLink)->ttlExclusive);

  auto first = std::async(std::launch::async, [&] {
    mvSetOperationDeadline(20000, true);
    return c1->sbcBeginContentLock(true, false, false);
  });
  TmvServerRootTable* root = c1->Table()->Root();
  for (int i = 0; i < 2000; ++i) {
    {
      TmvPadlockGuard guard(&root->srtTransLinksPadlock);
      if (root->srtTransLinksPendingUpgrade) break;
    }
    std::this_thread::sleep_for(1ms);
  }
  const uint32_t second = c2->sbcBeginContentLock(true, false, false);
  EXPECT_EQ(second, uint32_t(MVERR_DEADLOCK));
  EXPECT_EQ(c2->stcTrans()->CheckState(), MVERR_DEADLOCK) << "the asker's levels are rolled back";
  EXPECT_EQ(first.get(), 0u) << "the first asker gets its upgrade";
  auto* link = static_cast<TmvServerTransactionLevelTableLink*>(c1->stcTransLink);
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(link->ttlExclusive);
  EXPECT_TRUE(root->srtOnlyGrantedLink(link));
  EXPECT_EQ(db2->TransContext()->TransactionRollback(), 0u);
  EXPECT_EQ(db1->TransContext()->TransactionCommit(), 0u);
  EXPECT_EQ(c1->stcTransLink, nullptr);
}

TEST_F(TableCursorContent, ATransactionStartedWithCursorsLocksTheirTablesExclusively) {
  TwoSessions();
  ASSERT_EQ(db1->TransContext()->TransactionStartWith(false, false, {c1}), 0u);
  auto* link = static_cast<TmvServerTransactionLevelTableLink*>(c1->stcTransLink);
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(link->ttlExclusive);
  // The other session's shared request waits for the commit.
  ASSERT_EQ(db2->TransContext()->TransactionStart(false, false), 0u);
  EXPECT_EQ(c2->sbcBeginContentLock(false, true, false), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(db1->TransContext()->TransactionCommit(), 0u);
  EXPECT_EQ(c2->sbcBeginContentLock(false, true, false), 0u);
  EXPECT_EQ(db2->TransContext()->TransactionRollback(), 0u);
  EXPECT_EQ(db1->TransContext()->TransactionStartWith(false, false, {nullptr}), uint32_t(MVERR_INVALIDHNDL));
}

TEST_F(TableCursorContent, SnapshotTransactionsDoNotWritePersistentTables) {
  TwoSessions();
  ASSERT_EQ(db1->TransContext()->TransactionStart(false, true), 0u);
  EXPECT_EQ(c1->sbcCheckTransactionState(), uint32_t(MVERR_TABLEREADONLY));
  ASSERT_EQ(c1->sbcBeginContentLock(false, false, false), 0u);
  EXPECT_EQ(c1->sbcBeginContentLock(true, false, false), uint32_t(MVERR_TABLEREADONLY));
  EXPECT_EQ(LastText(MVERR_TABLEREADONLY), u"Table is read only.");
  EXPECT_EQ(db1->TransContext()->TransactionRollback(), 0u);
  EXPECT_EQ(c1->sbcCheckTransactionState(), 0u);
}

TEST_F(TableCursorContent, TableLocksConflictBetweenSessionsWithReasonsAndWithinOne) {
  TwoSessions();
  TmvServerTableCursor* sibling = Open(db1, u"T");
  ASSERT_EQ(c1->TableLockAcquire(mvltWriteLock), 0u);
  TmvLockPresent present;
  EXPECT_EQ(c1->TableIsLocked(mvltWriteLock, present), 0u);
  EXPECT_EQ(present, lpYesByUs);
  EXPECT_EQ(c2->TableIsLocked(mvltWriteLock, present), 0u);
  EXPECT_EQ(present, lpYesByAnother);
  EXPECT_EQ(c2->TableIsLocked(mvltNoLock, present), 0u);
  EXPECT_EQ(present, lpNotAtAll);

  mvSetOperationDeadline(100, true);
  const uint32_t code = c2->sbcTableLockAcquire(mvltWriteLock);
  EXPECT_EQ(code, uint32_t(MVERR_FILELOCKED));
  const std::string text = UTF8Encode(LastText(code));
  EXPECT_EQ(text.rfind("File is locked.", 0), 0u) << text;
  EXPECT_NE(text.find("\r\r"), std::string::npos) << "the reason lines: " << text;
  EXPECT_NE(text.find("TableName: T"), std::string::npos) << text;
  mvSetOperationDeadline(100, true);
  EXPECT_EQ(sibling->sbcTableLockAcquire(mvltWriteLock), uint32_t(MVERR_SESSIONLOCKCONFLICT));
  mvSetOperationDeadline(0, true);

  EXPECT_EQ(c1->TableLockRelease(mvltWriteLock, false), 0u);
  EXPECT_EQ(c2->TableLockAcquire(mvltReadLock), 0u);
  EXPECT_EQ(c1->TableLockAcquire(mvltReadLock), 0u);
  EXPECT_EQ(c2->TableLockRelease(mvltNoLock, true), 0u);
  EXPECT_EQ(c2->TableIsLocked(mvltReadLock, present), 0u);
  EXPECT_EQ(present, lpYesByAnother);
}

TEST_F(TableCursorContent, NamedStreams) {
  TwoSessions();
  auto stream = [](const std::string& aText) {
    auto s = std::make_unique<TmvMemoryStream>();
    s->WriteBuffer(aText.data(), int64_t(aText.size()));
    s->SetPosition(0);
    return s;
  };
  auto text = [](TmvMemoryStream& aStream) {
    return std::string(static_cast<const char*>(aStream.Memory()), size_t(aStream.GetSize()));
  };
  const String longName(129, u'n');
  for (const String& bad : {String(u"$x"), longName, String(u" lead"), String()}) {
    SCOPED_TRACE(UTF8Encode(bad));
    EXPECT_EQ(c1->TableStreamWrite(bad, stream("x").get()), uint32_t(MVERR_INVALIDNAME));
    TmvMemoryStream out;
    EXPECT_EQ(c1->TableStreamRead(bad, &out), uint32_t(MVERR_INVALIDNAME));
  }
  EXPECT_EQ(c1->TableStreamWrite(String(128, u'n'), stream("long").get()), 0u);
  EXPECT_EQ(c1->sbcTableStreamWrite(u"$x", stream("internal").get(), true), 0u);
  EXPECT_EQ(c1->TableStreamWrite(u"Keep", stream("kept text").get()), 0u);
  EXPECT_EQ(c2->TableStreamWrite(u"Gone", stream("short lived").get()), 0u);
  TStringList names;
  EXPECT_EQ(c2->TableStreamGetList(&names), 0u);
  EXPECT_EQ(names.IndexOf(u"$x"), -1) << "internal streams are hidden";
  EXPECT_GE(names.IndexOf(u"Gone"), 0);
  EXPECT_EQ(c2->sbcTableStreamGetList(&names, true), 0u);
  EXPECT_GE(names.IndexOf(u"$x"), 0);
  EXPECT_EQ(c2->TableStreamDelete(u"Gone"), 0u);
  TmvMemoryStream gone;
  EXPECT_NE(c1->TableStreamRead(u"Gone", &gone), 0u);

  // Closed and opened again from disk.
  Close(c1);
  Close(c2);
  FreeFolders();
  TmvServerTableCursor* again = Open(Database(), u"T");
  TmvMemoryStream kept;
  ASSERT_EQ(again->TableStreamRead(u"Keep", &kept), 0u);
  EXPECT_EQ(text(kept), "kept text");
  EXPECT_EQ(again->TableStreamGetList(&names), 0u);
  EXPECT_GE(names.IndexOf(u"Keep"), 0);
  EXPECT_GE(names.IndexOf(String(128, u'n')), 0);
  EXPECT_EQ(names.IndexOf(u"Gone"), -1);
  EXPECT_EQ(names.IndexOf(u"$x"), -1);
  TmvMemoryStream internal;
  ASSERT_EQ(again->sbcTableStreamRead(u"$x", &internal, true), 0u);
  EXPECT_EQ(text(internal), "internal");
}

// A cacheable table: people with the ModifyLSN index and the graveyard.
class Graveyard : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    std::unique_ptr<TmvDataDictionary> dd = IndexedPeople();
    dd->MakeCacheable(true);
    lsnField = dd->GetFieldsDescriptor()->GetFieldFromName(mvModifyLSNFieldName);
    ASSERT_EQ(Build(DiskFolder(), u"C", dd.get()), 0u);
    cursor = Open(Database(), u"C");
    ASSERT_TRUE(cursor->HasGraveyard());
  }
  // aWork inside a transaction under the exclusive content lock, committed
  // or (a failed change) rolled back.
  void InTransaction(const std::function<void()>& aWork, bool aCommit = true) {
    ASSERT_EQ(cursor->_Trans()->TransactionStart(false, false), 0u);
    ASSERT_EQ(cursor->sbcBeginContentLock(true, false, false), 0u);
    aWork();
    ASSERT_EQ(aCommit ? cursor->_Trans()->TransactionCommit() : cursor->_Trans()->TransactionRollback(), 0u);
  }
  TmvBaseIndexEngine* Internal(const char16_t* aName) {
    for (TmvBaseIndexEngine* index : cursor->Table()->InternalIndicesEngine()->Indices())
      if (index->bieIndexName == aName) return index;
    return nullptr;
  }

  int32_t lsnField = -1;
  TmvServerTableCursor* cursor = nullptr;
};

TEST_F(Graveyard, DeletedRecordsComeInPiecesFromWhereTheClientStopped) {
  InTransaction([&] {
    for (TmvRefNr ref = 1; ref <= 5; ++ref) ASSERT_EQ(cursor->stcRecordBury(ref, nullptr), 0u);
  });
  std::vector<TmvRecordCacheInfo> infos{{7, 7}};
  TmvLSN current = 1;
  EXPECT_EQ(cursor->GetDeletedRecords(0, infos, 0, &current), uint32_t(MVERR_INVALIDPARAM));
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(current, 0u);

  std::vector<TmvRefNr> seen;
  TmvLSN from = 0, last = 0;
  for (size_t expected : {2u, 2u, 1u}) {
    ASSERT_EQ(cursor->GetDeletedRecords(from, infos, 2, &current), 0u);
    ASSERT_EQ(infos.size(), expected);
    for (const TmvRecordCacheInfo& info : infos) {
      EXPECT_GT(info.rciModifyLSN, last) << "oldest first";
      last = info.rciModifyLSN;
      seen.push_back(info.rciRefNr);
    }
    if (expected == 2)
      EXPECT_EQ(current, infos.back().rciModifyLSN);
    else
      EXPECT_EQ(current, cursor->stcGetCurrentLSN());
    from = current;
  }
  EXPECT_EQ(seen, (std::vector<TmvRefNr>{1, 2, 3, 4, 5}));
  EXPECT_EQ(cursor->GetDeletedRecords(from, infos, 2, &current), uint32_t(MVERR_EOF));

  // A record inserted again leaves the graveyard; refused changes are
  // reported as a damaged graveyard (and their transaction rolled back).
  ASSERT_EQ(cursor->GetDeletedRecords(0, infos, 10, nullptr), 0u);
  const TmvLSN fourth = infos[3].rciModifyLSN;
  InTransaction([&] {
    EXPECT_EQ(cursor->stcRecordResurrect(2, nullptr), 0u);
    EXPECT_EQ(cursor->stcRecordResurrect(9, nullptr), 0u) << "never buried";
  });
  InTransaction([&] {
    const uint32_t twice = cursor->stcRecordBury(3, nullptr);
    EXPECT_EQ(twice, uint32_t(MVERR_TRANSACTIONCORRUPT));
    EXPECT_EQ(LastText(twice), u"The graveyard is corrupted. Could not add deleted RefNr and LSN to graveyard.");
    TmvBaseIndexEngine* byLSN = Internal(mvGraveyardLSNIndexName);
    ASSERT_NE(byLSN, nullptr);
    std::unique_ptr<TmvBaseIndexPath> path(byLSN->CreateIndexPath());
    void* key = byLSN->KeyEngine()->AllocKey();
    uint8_t image[8];
    StoreLE64(image, fourth);
    ASSERT_EQ(byLSN->KeyEngine()->BuildKey(image, key, 0, true), 0u);
    ASSERT_TRUE(byLSN->DeleteKey(cursor->stcTrans(), key, 4, 0, path.get()));
    byLSN->KeyEngine()->FreeKey(key);
    const uint32_t lost = cursor->stcRecordResurrect(4, nullptr);
    EXPECT_EQ(lost, uint32_t(MVERR_TRANSACTIONCORRUPT));
    EXPECT_EQ(LastText(lost),
              u"The graveyard is corrupted. Could not remove previously deleted RefNr and LSN from graveyard.");
  }, false);
  ASSERT_EQ(cursor->GetDeletedRecords(0, infos, 10, nullptr), 0u);
  seen.clear();
  for (const TmvRecordCacheInfo& info : infos) seen.push_back(info.rciRefNr);
  EXPECT_EQ(seen, (std::vector<TmvRefNr>{1, 3, 4, 5})) << "only the resurrection of 2 was committed";
}

TEST_F(Graveyard, ContainsLSNRefNrTellsWhetherACachedRecordIsCurrent) {
  std::vector<TmvRefNr> refs = Fill(cursor, {1, 2, 3}, [&](std::vector<uint8_t>& aRecord, int32_t aID) {
    const int64_t lsn = 1000 + aID;
    cursor->Table()->FieldsDescriptor()->SetRecordField(lsnField, aRecord.data(), &lsn);
  });
  struct Case {
    TmvLSN LSN;
    TmvRefNr RefNr;
    uint32_t Code;
    TmvRefNr FoundRefNr;
  } cases[] = {
      {0, 0, MVERR_NOCURRREC, 0},
      {1002, 0, 0, refs[1]},
      {1002, refs[1], 0, refs[1]},
      {5555, 0, MVERR_RECNOTFOUND, 0},
      {1002, refs[2], MVERR_KEYORRECDELETED, refs[2]},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.LSN) + " " + std::to_string(c.RefNr));
    TmvLSN lsn = c.LSN;
    TmvRefNr ref = c.RefNr;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, ref), c.Code);
    if (c.Code == 0) { EXPECT_EQ(ref, c.FoundRefNr); }
  }
  // Without the sequential-access index a record number alone cannot be
  // looked up.
  TmvLSN lsn = 0;
  TmvRefNr ref = refs[0];
  EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, ref), uint32_t(MVERR_NOASSOCINDEX));
}

}  // namespace
