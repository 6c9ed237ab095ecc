// Tests of storage transactions: nested levels and their copies, nested
// commit and rollback, pending nestings, locks and marks, snapshots (what
// they keep, what they share, their IDs), and transactions or files that go
// away while changes or snapshots are open.
#include <gtest/gtest.h>

#include "storage/StorageTestSupport.h"

using namespace storage_test;

namespace {

class TransactionTest : public TableTest {
 protected:
  // The copies of a block, newest first, as their level numbers.
  std::vector<int32_t> CopyLevels(OpenTable& t, TmvBlockNumber aBlock) {
    TmvBufferManagerGuard guard(cache);
    std::vector<int32_t> levels;
    for (TmvModifiedBlock* c = cache->CachedBlock(t.file, aBlock)->robBlockListTail; c; c = c->mbPrev)
      levels.push_back(c->mbTransLevel->tlLevel);
    return levels;
  }
};

TEST_F(TransactionTest, ABlockChangedAtLevelsZeroAndTwoMovesThenMergesItsCopies) {
  auto t = Table("n.mv1", 4);
  TTestTransaction trans(cache);
  Write(*t, &trans, 1, 10);
  trans.StartNested(false);
  trans.StartNested(false);
  Write(*t, &trans, 1, 12);
  EXPECT_EQ(CopyLevels(*t, 1), (std::vector<int32_t>{2, 0}));
  trans.Commit();  // level 2: the copy moves to level 1
  EXPECT_EQ(CopyLevels(*t, 1), (std::vector<int32_t>{1, 0}));
  trans.Commit();  // level 1: merged into the level-0 copy
  EXPECT_EQ(CopyLevels(*t, 1), (std::vector<int32_t>{0}));
  EXPECT_EQ(Version(*t, &trans, 1), 12);
  EXPECT_EQ(Version(*t, nullptr, 1), 0);  // others still see the committed image
  EXPECT_TRUE(fs.writes.empty());         // nested commits write nothing
  EXPECT_EQ(cache->bmTransNestedCommitCount, 2u);
  trans.Commit();
  EXPECT_TRUE(trans.Ended());
  EXPECT_EQ(Version(*t, nullptr, 1), 12);
  const std::vector<uint8_t> disk = ReadBytes(folder.File("n.mv1"));
  EXPECT_TRUE(BlockMatches(disk.data() + 4096, 4096, 0, 1, nullptr));
  EXPECT_EQ(mvBchLSN(disk.data()), trans.LSN());  // block 0 stamped with the transaction's LSN
}

TEST_F(TransactionTest, RollingBackALevelRestoresTheOneBelowAndANewBlockLeavesTheCache) {
  auto t = Table("r.mv1", 4);
  TTestTransaction trans(cache);
  Write(*t, &trans, 1, 10);
  trans.StartNested(false);
  Write(*t, &trans, 1, 11);
  Write(*t, &trans, 2, 11);
  SetUsedBlocks(*t, &trans, 6);
  trans.Rollback();
  EXPECT_EQ(Version(*t, &trans, 1), 10);  // exactly level 0's content
  EXPECT_EQ(Version(*t, &trans, 2), 0);   // back to the committed image
  EXPECT_EQ(t->file->fiTransUsedBlocks, 4u);  // with the header the transaction sees
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->CachedBlock(t->file, 2)->robTrans, nullptr);
  }
  Append(*t, &trans, 4, 1);
  trans.Rollback();
  EXPECT_TRUE(trans.Ended());
  TmvBufferManagerGuard guard(cache);
  EXPECT_EQ(cache->CachedBlock(t->file, 4), nullptr);  // created in the transaction: gone
  EXPECT_EQ(cache->CachedBlock(t->file, 1)->robBlockListTail, nullptr);
  EXPECT_EQ(t->file->fiTrans, nullptr);
  EXPECT_EQ(cache->bmTransNestedRollbackCount, 1u);
  EXPECT_EQ(cache->bmTransRollbackCount, 1u);
}

TEST_F(TransactionTest, APendingNestingCreatesNoLevelAndItsRollbackCorruptsTheLevel) {
  auto t = Table("p.mv1", 3);
  TTestTransaction trans(cache);
  TmvBaseTransactionLevel* level = trans.TransLevel();
  trans.MarkNoMoreNested();
  trans.StartNested(false);
  EXPECT_EQ(trans.TransLevel(), level);
  EXPECT_EQ(level->Level(), 1);
  EXPECT_TRUE(trans.Nested());
  Write(*t, &trans, 1, 5);  // goes to the level's own copy: nothing to roll back alone
  trans.Rollback();
  EXPECT_EQ(level->Level(), 0);
  EXPECT_EQ(trans.CheckState(), 15443);
  trans.StartNested(true);  // forced: a level of its own, below the pending ones too
  EXPECT_NE(trans.TransLevel(), level);
  EXPECT_EQ(trans.TransLevel()->Level(), 1);
  trans.Rollback();
  trans.Rollback();
  EXPECT_TRUE(trans.Ended());
  EXPECT_EQ(Version(*t, nullptr, 1), 0);
}

TEST_F(TransactionTest, CheckStateAnswersFromTheFailureAndTheInnermostLevelsMarks) {
  struct Case {
    bool failed, deadlocked, corrupted;
    int32_t code;
  };
  for (const Case& c : {Case{false, false, false, 0}, Case{false, true, false, 10255}, Case{false, false, true, 15443},
                        Case{true, true, false, 15443}, Case{false, true, true, 10255}}) {
    TTestTransaction trans(cache);
    if (c.failed) trans.Failed();
    for (int twice = 0; twice < 2; ++twice) {
      if (c.deadlocked) trans.MarkDeadlock();
      if (c.corrupted) trans.MarkCorrupted();
    }
    EXPECT_EQ(trans.CheckState(), c.code) << c.failed << c.deadlocked << c.corrupted;
    trans.StartNested(false);
    EXPECT_EQ(trans.CheckState(), c.failed ? 15443 : 0);  // the marks are the level's
    trans.Rollback();
    trans.Rollback();
  }
  EXPECT_EQ(cache->bmTransDeadlockCount, 3u);  // once per level marked
  EXPECT_EQ(cache->bmTransCorruptedCount, 2u);
}

TEST_F(TransactionTest, ALevelEndsOnlyWithoutLocksAndCopies) {
  auto t = Table("l.mv1", 3);
  TTestTransaction trans(cache);
  trans.Lock();
  EXPECT_TRUE(trans.IsLocked());
  EXPECT_THROW(trans.FreeLevel(), EAssertionFailed);
  trans.Unlock();
  EXPECT_THROW(trans.Unlock(), EAssertionFailed);
  Write(*t, &trans, 1, 1);
  EXPECT_THROW(trans.FreeLevel(), EAssertionFailed);  // its copy would be lost
  EXPECT_FALSE(trans.Ended());
  trans.Rollback();
  EXPECT_TRUE(trans.Ended());
}

TEST_F(TransactionTest, ASnapshotKeepsTheOldContentAndCountAndSharesImages) {
  auto t = Table("s.mv1", 5);
  int32_t images = 0;
  t->file->fiSnapshotBlockCount = &images;
  TmvBlockAccess access(t->file, nullptr, u"s", 0);
  auto firstOwner = std::make_unique<TTestTransaction>(cache, true);
  TTestTransaction& first = *firstOwner;
  EXPECT_EQ(Version(*t, &first, 1), 0);  // its first look at the file
  {
    TTestTransaction writer(cache);
    Write(*t, &writer, 1, 1);
    Write(*t, &writer, 2, 1);
    SetUsedBlocks(*t, &writer, 6);
    Append(*t, &writer, 5, 1);
    writer.Commit();
  }
  EXPECT_EQ(images, 3);  // blocks 0, 1 and 2: the new block 5 is beyond what it sees
  auto secondOwner = std::make_unique<TTestTransaction>(cache, true);
  TTestTransaction& second = *secondOwner;
  EXPECT_EQ(Version(*t, &second, 3), 0);
  {
    TTestTransaction writer(cache);
    Write(*t, &writer, 1, 2);
    Write(*t, &writer, 3, 2);
    writer.Commit();
  }
  const std::vector<std::pair<TmvBlockNumber, int64_t>> seenByFirst = {{1, 0}, {2, 0}, {3, 0}, {4, 0}};
  for (auto [block, version] : seenByFirst) EXPECT_EQ(Version(*t, &first, block), version) << block;
  const std::vector<std::pair<TmvBlockNumber, int64_t>> seenBySecond = {{1, 1}, {2, 1}, {3, 0}, {5, 1}};
  for (auto [block, version] : seenBySecond) EXPECT_EQ(Version(*t, &second, block), version) << block;
  EXPECT_EQ(Version(*t, nullptr, 1), 2);
  EXPECT_FALSE(access.ValidBlock(5, &first));
  EXPECT_TRUE(access.ValidBlock(5, &second));
  EXPECT_EQ(images, 6);  // 0, 1 and 2 for the first, 0 and 1 for the second, 3 for both
  {
    TmvBufferManagerGuard guard(cache);
    TmvReadOnlyBlock* three = cache->CachedBlock(t->file, 3);
    EXPECT_EQ(three->robSnapShotBlockHead, three->robSnapShotBlockTail);
    EXPECT_EQ(three->robSnapShotBlockHead->bssLinkRefCount, 2);
  }
  first.Commit();  // a snapshot's commit
  EXPECT_EQ(cache->bmTransCommitCount, 2u);  // only the two writers
  firstOwner.reset();  // the server frees a transaction that has ended
  EXPECT_EQ(images, 3);
  second.Rollback();
  EXPECT_EQ(cache->bmTransRollbackCount, 0u);  // nor are its rollbacks counted
  secondOwner.reset();
  EXPECT_EQ(images, 0);
  EXPECT_EQ(t->file->fiSnapShotLinkHead, nullptr);
}

TEST_F(TransactionTest, ACommitOfSeveralFilesLinksTheSnapshotsOfOneToAll) {
  auto a = Table("a.mv1", 3, 1);
  auto b = Table("b.mv1", 3, 2);
  auto c = Table("c.mv1", 3, 3);
  TTestTransaction snapshot(cache, true);
  EXPECT_EQ(Version(*a, &snapshot, 1, 1), 0);
  {
    TTestTransaction writer(cache);  // b alone: the snapshot had not looked at it
    Write(*b, &writer, 1, 1, 2);
    writer.Commit();
  }
  {
    TTestTransaction writer(cache);  // a and c together
    Write(*a, &writer, 1, 2, 1);
    Write(*c, &writer, 1, 2, 3);
    writer.Commit();
  }
  EXPECT_EQ(Version(*a, &snapshot, 1, 1), 0);
  EXPECT_EQ(Version(*b, &snapshot, 1, 2), 1);  // its first look: the content of now
  EXPECT_EQ(Version(*c, &snapshot, 1, 3), 0);  // changed with a: as before that commit
  snapshot.Rollback();
}

TEST_F(TransactionTest, SnapshotIDsAreTheLowestFreeAndComeBack) {
  std::vector<std::unique_ptr<TTestTransaction>> snapshots;
  auto end = [](std::unique_ptr<TTestTransaction>& aSnapshot) {
    aSnapshot->Rollback();
    aSnapshot.reset();
  };
  for (int i = 0; i < 9; ++i) snapshots.push_back(std::make_unique<TTestTransaction>(cache, true));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(snapshots[size_t(i)]->SnapshotID(), i);
  EXPECT_EQ(cache->bmSnapShotFlags.size(), 2u);
  end(snapshots[0]);
  end(snapshots[3]);
  snapshots[0] = std::make_unique<TTestTransaction>(cache, true);
  EXPECT_EQ(snapshots[0]->SnapshotID(), 0);
  snapshots[3] = std::make_unique<TTestTransaction>(cache, true);
  EXPECT_EQ(snapshots[3]->SnapshotID(), 3);
  for (int i = 1; i < 9; ++i) end(snapshots[size_t(i)]);
  EXPECT_EQ(cache->bmActiveSnapShotCount, 1);
  EXPECT_EQ(cache->bmSnapShotFlags.size(), 1u);  // trailing zero bytes go
  end(snapshots[0]);
  EXPECT_TRUE(cache->bmSnapShotFlags.empty());
  TTestTransaction plain(cache);
  EXPECT_EQ(plain.SnapshotID(), -1);
  plain.Rollback();
}

TEST_F(TransactionTest, AFileMayLeaveTheCacheWhileItIsChangedAndKeptForSnapshots) {
  auto t = Table("f.mv1", 4);
  TTestTransaction snapshot(cache, true);
  EXPECT_EQ(Version(*t, &snapshot, 1), 0);
  {
    TTestTransaction writer(cache);
    Write(*t, &writer, 1, 1);
    writer.Commit();
  }
  TTestTransaction changing(cache);
  Write(*t, &changing, 2, 1);
  changing.StartNested(false);
  Write(*t, &changing, 2, 2);
  cache->RemoveFile(t->file);  // copies, images and the block links go; the sanitizers watch
  EXPECT_EQ(changing.BlockCount(), 0);
  EXPECT_EQ(changing.TransLevel()->BlockCount(), 0);
  EXPECT_EQ(t->file->fiTrans, nullptr);
  EXPECT_EQ(snapshot.btBlockSnapShotLinksHead, nullptr);
  changing.Rollback();
  changing.Rollback();
  ASSERT_EQ(t->Add(), 0);
  t->release(t->header);
  EXPECT_EQ(Version(*t, &snapshot, 1), 1);  // its image went with the cache's blocks
  snapshot.Rollback();
}

TEST_F(TransactionTest, ATransactionFreedWithOpenLevelsIsRolledBackAndLogged) {
  auto t = Table("o.mv1", 4);
  TTestLog log;
  {
    TTestTransaction trans(cache);
    Write(*t, &trans, 1, 1);
    trans.StartNested(false);
    Append(*t, &trans, 4, 1);
  }
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], u"A transaction was freed with 2 open levels and 2 changed blocks: they are rolled back");
  EXPECT_EQ(t->file->fiTrans, nullptr);
  EXPECT_EQ(Version(*t, nullptr, 1), 0);
  TmvBufferManagerGuard guard(cache);
  EXPECT_EQ(cache->CachedBlock(t->file, 4), nullptr);
}

TEST_F(TransactionTest, ACopyOfAWrittenThroughFileCommitsItsTransactionWhenItMustLeaveMemory) {
  auto t = Table("wt.mv1", 4);
  t->file->fiAttributes = mvFileAttr(mvfaTransWriteThrough);
  TTestTransaction trans(cache);
  Write(*t, &trans, 1, 1);
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->CachedBlock(t->file, 1)->CacheBlock(), nullptr);  // the copy took the memory
  }
  auto evictNewest = [&](TmvBlockNumber aBlock) {
    TmvBufferManagerGuard guard(cache);
    return cache->CachedBlock(t->file, aBlock)->robBlockListTail->CheckedEvict(false);
  };
  trans.StartNested(false);
  Write(*t, &trans, 2, 1);
  EXPECT_EQ(evictNewest(2), erNone);  // nested: only asks for the commit (no storage to move to)
  EXPECT_TRUE(trans.btWriteThroughCommit);
  EXPECT_TRUE(fs.writes.empty());
  trans.Commit();  // back at level 0: the write-through commit runs
  EXPECT_FALSE(trans.btWriteThroughCommit);
  EXPECT_FALSE(trans.Ended());  // the transaction goes on
  EXPECT_EQ(Version(*t, nullptr, 2), 1);
  EXPECT_EQ(cache->bmTransCommitCount, 1u);
  Write(*t, &trans, 3, 1);
  const size_t written = fs.writes.size();
  EXPECT_EQ(evictNewest(3), erMany);  // level 0: committed and written at once
  EXPECT_GT(fs.writes.size(), written);
  EXPECT_EQ(Version(*t, nullptr, 3), 1);
  EXPECT_EQ(t->file->fiTrans, &trans);  // still attached
  trans.Commit();
  EXPECT_TRUE(trans.Ended());
  const std::vector<uint8_t> disk = ReadBytes(folder.File("wt.mv1"));
  for (TmvBlockNumber n = 1; n <= 3; ++n) {
    uint32_t version = 0;
    EXPECT_TRUE(BlockMatches(disk.data() + n * 4096, 4096, 0, n, &version) && version == 1) << n;
  }
}

}  // namespace
