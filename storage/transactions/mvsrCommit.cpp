// Storage: commit of a transaction's levels, the flush list and the fatal
// error. See mvsrCommit.h.
#include "storage/transactions/mvsrCommit.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllServerException.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrLog.h"

std::atomic<bool> mvFatalError{false};

void mvClearFatalErrorForTesting() { mvFatalError.store(false); }

// ---------------------------------------------------------------------------
// Journal engines

namespace {
TmvBaseJournalEngine* createNoJournal(const String&) {
  mvAssertFailed("TmvBaseJournalEngine is abstract", __FILE__, __LINE__);
}
}  // namespace

constinit const TmvJournalEngineClassRef TmvBaseJournalEngine::StaticClass{
    {u"TmvBaseJournalEngine", &TmvPersistent::StaticClass}, &createNoJournal, &TmvBaseJournalEngine::Check};

void TmvBaseJournalEngine::Check(const String&, const String&) {
  mvAssertFailed("TmvBaseJournalEngine.Check is overridden by every journal engine", __FILE__, __LINE__);
}

void TmvBaseJournalEngine::AcceptFile(TmvBaseFile*) {}
void TmvBaseJournalEngine::DeleteJournal() {}

std::atomic<const TmvJournalEngineClassRef*> mvDefaultJournalEngineClass{nullptr};

String mvJournalFileName(const String& aFolder, uint64_t aNumber) {
  String name = aFolder;
  if (!name.empty() && name.back() != u'/') name.push_back(u'/');
  return name + UTF8ToString(std::to_string(aNumber)) + u"." + mvJournalExtension;
}

// ---------------------------------------------------------------------------
// Committed images: the level-0 commit of one block (padlock held)

void TmvReadOnlyBlock::KeepOldImages() {
  TmvBaseFile* file = robFile;
  const bool keeps = !(file->IsTemporary() && !file->HasAttribute(mvfaMemTable));
  if (!robNew && keeps && robSnapShotCounter < file->fiSnapShotCounter) {
    TmvBlockSnapShot* image = nullptr;
    // Newest links first: those made since the images were last kept.
    for (TmvFileSnapShotLink* f = file->fiSnapShotLinkTail; f && f->fsslFileCounter > robSnapShotCounter;
         f = f->fsslFilePrev) {
      TmvBaseTransaction* snapshot = f->fsslTrans;
      if (snapshot->SnapshotImage(this)) continue;
      auto* link = new TmvBlockSnapShotLink();
      if (!image) {
        try {
          image = new TmvBlockSnapShot(this);
        } catch (...) {
          delete link;
          throw;
        }
      }
      link->bsslBlockSnapShot = image;
      link->bsslBlock = this;
      link->bsslTrans = snapshot;
      if (robSnapShotLinks.size() <= size_t(snapshot->btSnapshotID))
        robSnapShotLinks.resize(size_t(snapshot->btSnapshotID) + 1, nullptr);
      robSnapShotLinks[size_t(snapshot->btSnapshotID)] = link;
      TmvChain<TmvBlockSnapShotLink, &TmvBlockSnapShotLink::bsslBlockPrev, &TmvBlockSnapShotLink::bsslBlockNext>::Append(
          robSnapShotLinkHead, robSnapShotLinkTail, link);
      snapshot->AddBlockLink(link);
      ++image->bssLinkRefCount;
    }
  }
  // A new block lies beyond what every snapshot sees: none needs its image.
  robSnapShotCounter = file->fiSnapShotCounter;
}

void TmvReadOnlyBlock::CommitOutermost(bool aIsWTCommit) {
  TmvModifiedBlock* copy = robBlockListTail;
  MV_ASSERT(copy != nullptr && copy->mbPrev == nullptr);
  TmvBaseFile* file = robFile;
  // Checked before anything changes, so that a bad image leaves all as it was.
  if (copy->CacheBlock()) ValidateImage(copy->AccessBlock(false));
  const bool firstInCommit = !robUnwritten;
  if (firstInCommit) robBeforeCommit = {robNew, nullptr, file->fiUsedBlocks, robLastLSN};
  // Queued before the content changes: a failure from here on is taken back
  // with the other queued blocks.
  if (!file->IsTemporary()) file->WriteBlock(this);
  TmvBlockSnapShot* newestImage = robSnapShotBlockTail;
  KeepOldImages();
  if (firstInCommit && robSnapShotBlockTail != newestImage) robBeforeCommit.Image = robSnapShotBlockTail;
  const bool discarded = copy->mbDiscarded;
  if (aIsWTCommit && RefCount() > 0) {
    // The transaction goes on with its copy, which somebody holds.
    if (copy->CacheBlock()) CopyFrom(copy);
    else delete ReleaseCacheBlock(false);
  } else {
    InstallCacheBlock(copy->ReleaseCacheBlock(false), false);
    delete copy;
    MakeClean();
  }
  if (boCacheBlock) {
    boCacheBlock->SetWriteProtected(true);
  } else {
    MV_ASSERT(discarded);
    robNew = true;
  }
  if (!discarded) robNew = false;
  if (robBlockNum == 0 && boCacheBlock) {
    const uint8_t* header = AccessBlock(false);
    if (file->fiHeaderAccessFactory) file->fiUsedBlocks = file->fiHeaderAccessFactory->GetUsedBlocks(header);
    robLastLSN = mvBchLSN(header);
    file->fiHeaderLSN = robLastLSN;
  }
}

bool TmvReadOnlyBlock::RollbackUnwritten() {
  robUnwritten = false;
  if (RefCount() > 0) return false;
  if (robBlockNum == 0) {
    robFile->fiUsedBlocks = robBeforeCommit.UsedBlocks;
    robLastLSN = robBeforeCommit.LastLSN;
    robFile->fiHeaderLSN = robLastLSN;
  }
  robNew = robBeforeCommit.WasNew;
  TmvBlockSnapShot* image = robBeforeCommit.Image;
  robBeforeCommit.Image = nullptr;
  if (image && !robNew) CopyFrom(image);
  else if (!boBufferManager->DropIfIdle(this)) delete ReleaseCacheBlock(false);  // read again from disk
  return true;
}

void mvRollbackUnwritten(TmvBaseTransaction* aTrans) {
  for (TmvBaseFile* f = aTrans->FirstFile(); f; f = f->fiTransNext) {
    try {
      f->RollbackUnwritten();
    } catch (...) {
      // The other files still take their writes back.
      mvStorageLogError(u"Taking back the writes of a failed commit to \"" + f->fiName +
                        u"\" failed: " + mvCurrentExceptionText());
    }
  }
}

// ---------------------------------------------------------------------------
// The cache's commit

void TmvBufferManager::CommitTransaction(TmvBaseTransaction* aTrans, TmvFlushList* aFlushList, bool aIsWTCommit) {
  if (!aTrans) return;
  std::unique_ptr<TmvFlushList> own;
  {
    TmvBufferManagerGuard guard(this);
    TmvBaseTransactionLevel* level = aTrans->TransLevel();
    MV_ASSERT(level != nullptr);
    if (level->Level() > 0) {
      if (!aIsWTCommit) CommitNested(aTrans);
    } else {
      own.reset(CommitOutermost(aTrans, aFlushList, aIsWTCommit));
    }
    bmRemoveExcessBlocks(true, true);
  }
  if (own) own->Flush(false);
}

void TmvBufferManager::CommitNested(TmvBaseTransaction* aTrans) {
  ++bmTransNestedCommitCount;
  mvCountSessionStat(sscTransNestedCommit);
  TmvBaseTransactionLevel* level = aTrans->TransLevel();
  while (TmvModifiedBlock* copy = level->tlModifiedBlocksHead) {
    copy->mbReadOnlyBlock->Commit(false);
    MV_ASSERT(level->tlModifiedBlocksHead != copy);  // a deeper level was left open
  }
  for (TmvBaseFile* f = aTrans->FirstFile(); f; f = f->fiTransNext)
    if (f->fiTransLevel == level) f->fiTransLevel = level->tlPrev;
}

namespace {

// Gives every changed file a link for every snapshot that has looked at one
// of them, before their blocks change.
void linkSnapshotsToAllFiles(TmvBufferManager* aCache, TmvBaseTransaction* aTrans) {
  if (aCache->bmActiveSnapShotCount == 0 || !aTrans->FirstFile() || !aTrans->FirstFile()->fiTransNext) return;
  TmvByteArray all(aCache->bmSnapShotFlags.size(), 0);
  for (TmvBaseFile* f = aTrans->FirstFile(); f; f = f->fiTransNext)
    for (size_t i = 0; i < all.size() && i < f->fiSnapShotFlags.size(); ++i) all[i] |= f->fiSnapShotFlags[i];
  for (int32_t id = 0; id < int32_t(all.size()) * 8; ++id) {
    if (!((all[size_t(id) / 8] >> (id % 8)) & 1)) continue;
    for (TmvBaseFile* f = aTrans->FirstFile(); f; f = f->fiTransNext) aCache->bmSnapShotTrans[size_t(id)]->LinkFile(f);
  }
}

}  // namespace

void TmvBufferManager::LoadBeforeCommit(TmvBaseTransaction* aTrans) {
  // Reading a block releases the padlock; everything read is pinned until
  // a whole pass finds nothing more to read, which then holds for the rest
  // of the commit.
  std::vector<TmvReadOnlyBlock*> pinned;
  // Reads or waits for a block; answers whether the padlock was released.
  auto load = [&](TmvReadOnlyBlock* aBlock) {
    if (aBlock->robLoading) {
      FindBlock(aBlock->robFile, aBlock->robBlockNum);
      return true;
    }
    if (aBlock->CacheBlock() || aBlock->New()) return false;
    __atomic_add_fetch(&aBlock->robRefCount, 1, __ATOMIC_SEQ_CST);
    pinned.push_back(aBlock);
    aBlock->CacheBlockNeeded();
    return true;
  };
  try {
    for (bool released = true; released;) {
      released = false;
      // Block 0 of every file is stamped; the old images kept for snapshots.
      for (TmvBaseFile* f = aTrans->FirstFile(); f && !released; f = f->fiTransNext) {
        if (f->IsTemporary()) continue;
        TmvReadOnlyBlock* zero = CachedBlock(f, 0);  // as it is: a load under way is waited for above
        released = load(zero ? zero : FindOrCreateBlock(f, 0, false));
      }
      for (TmvReadOnlyBlock* b = aTrans->FirstBlock(); b && !released && bmActiveSnapShotCount > 0;
           b = b->robTransNext)
        released = load(b);
    }
  } catch (...) {
    for (TmvReadOnlyBlock* b : pinned) __atomic_sub_fetch(&b->robRefCount, 1, __ATOMIC_SEQ_CST);
    throw;
  }
  for (TmvReadOnlyBlock* b : pinned) __atomic_sub_fetch(&b->robRefCount, 1, __ATOMIC_SEQ_CST);
}

TmvFlushList* TmvBufferManager::CommitOutermost(TmvBaseTransaction* aTrans, TmvFlushList* aFlushList,
                                                bool aIsWTCommit) {
  LoadBeforeCommit(aTrans);
  if (!aTrans->IsSnapshot()) {
    ++bmTransCommitCount;
    mvCountSessionStat(sscTransCommit);
  }
  linkSnapshotsToAllFiles(this, aTrans);
  std::unique_ptr<TmvFlushList> own(aFlushList ? nullptr : new TmvFlushList());
  TmvFlushList* list = aFlushList ? aFlushList : own.get();
  list->flReplicationLog = bmReplicationLog;
  try {
    TmvReadOnlyBlock* next = nullptr;
    for (TmvReadOnlyBlock* b = aTrans->FirstBlock(); b; b = next) {
      next = b->robTransNext;
      const bool newTemporary = b->New() && b->robFile->IsTemporary();
      b->CommitOutermost(aIsWTCommit);
      if (newTemporary) {
        try {
          b->CheckedEvict(false);  // its content goes to the temporary storage at once; may free b
        } catch (...) {
          mvStorageLogError(u"A committed block of a temporary table stays in memory: " + mvCurrentExceptionText());
        }
      }
    }
  } catch (...) {
    mvRollbackUnwritten(aTrans);
    throw;
  }
  list->Prepare(aTrans, aIsWTCommit);
  return own.release();
}

// ---------------------------------------------------------------------------
// The flush list

TmvFlushList::~TmvFlushList() { FreeJournals(); }

void TmvFlushList::FreeJournals() {
  for (TJournal& j : flJournals) delete j.Journal;
  flJournals.clear();
}

void TmvFlushList::StampHeader(TmvBaseTransaction* aTrans, TmvBaseFile* aFile, bool aIsWTCommit) {
  TmvBufferManager* cache = aTrans->btBufferManager;
  TmvReadOnlyBlock* zero = cache->FindBlock(aFile, 0);
  if (!zero) {
    TmvReleaseMethod release;
    uint8_t* header = cache->GetBlock(aFile, aTrans, 0, true, release);
    release(header);
    cache->FindBlock(aFile, 0)->CommitOutermost(aIsWTCommit);
    return;
  }
  if (zero->GetLSN() >= aTrans->btLSN) return;
  zero->MakeDirty(aTrans);
  TmvModifiedBlock* copy = zero->robBlockListTail;
  MV_ASSERT(copy->CacheBlock() && mvBchLSN(copy->AccessBlock(false)) == aTrans->btLSN);
  zero->CommitOutermost(aIsWTCommit);
}

// One journal object per folder of the listed files (no file yet), each
// told of the files it covers: a file it cannot cover fails the commit
// while it can still be taken back.
void TmvFlushList::CreateJournals() {
  const TmvJournalEngineClassRef* journalClass = mvDefaultJournalEngineClass.load();
  if (!journalClass) return;
  for (int32_t i = 0; i < Count(); ++i) {
    TmvBaseFile* file = Files(i);
    auto same = [&](const TJournal& j) { return j.Folder == file->fiPath; };
    auto found = std::find_if(flJournals.begin(), flJournals.end(), same);
    if (found == flJournals.end()) {
      flJournals.push_back({file->fiPath, nullptr});
      found = flJournals.end() - 1;
      found->Journal = journalClass->Create(mvJournalFileName(file->fiPath, flLSN));
    }
    found->Journal->AcceptFile(file);
  }
}

void TmvFlushList::Prepare(TmvBaseTransaction* aTrans, bool aIsWTCommit) {
  TmvBufferManager* cache = aTrans->btBufferManager;
  TmvBufferManagerGuard guard(cache);
  flLSN = aTrans->btLSN;
  flSync = cache->bmSyncOnCommit;
  try {
    for (TmvBaseFile* f = aTrans->FirstFile(); f; f = f->fiTransNext) {
      if (f->IsTemporary()) continue;
      StampHeader(aTrans, f, aIsWTCommit);
      flList.Add(f);
    }
    if (aTrans->Journalled()) CreateJournals();
  } catch (...) {
    flList.Clear();
    FreeJournals();
    mvRollbackUnwritten(aTrans);
    throw;
  }
  if (!aIsWTCommit) aTrans->DetachFiles(nullptr);
}

// Step 1: every journal holds the blocks its folder's files are about to
// get, and is durable and complete, before any table file changes.
void TmvFlushList::WriteJournals() {
  for (TJournal& j : flJournals) {
    j.Journal->PrepareJournal();
    for (int32_t i = 0; i < Count(); ++i) {
      TmvBaseFile* file = Files(i);
      if (file->fiPath != j.Folder) continue;
      std::vector<TmvReadOnlyBlock*> queued;
      for (int32_t q = 0; q < file->WriteQueueCount(); ++q) queued.push_back(file->QueuedBlock(q));
      // A block queued twice is written once, and journalled once.
      std::stable_sort(queued.begin(), queued.end(),
                       [](TmvReadOnlyBlock* a, TmvReadOnlyBlock* b) { return a->robBlockNum < b->robBlockNum; });
      queued.erase(std::unique(queued.begin(), queued.end(),
                               [](TmvReadOnlyBlock* a, TmvReadOnlyBlock* b) {
                                 return a->robBlockNum == b->robBlockNum;
                               }),
                   queued.end());
      for (TmvReadOnlyBlock* b : queued) j.Journal->AddBlock(nullptr, b);
    }
    j.Journal->FinalizeJournal();
  }
}

// Step 3: the journals go, durably, once every table file is synced.
void TmvFlushList::DeleteJournals() {
  for (TJournal& j : flJournals) j.Journal->DeleteJournal();
  FreeJournals();
}

void TmvFlushList::WriteFiles(bool aFailSafe, bool aSync) {
  for (int32_t i = 0; i < Count(); ++i) Files(i)->PrepareFlushFile();
  for (int32_t i = 0; i < Count(); ++i) Files(i)->FlushFile(aFailSafe, flReplicationLog);
  if (aFailSafe || !aSync) return;
  for (int32_t i = 0; i < Count(); ++i) Files(i)->SyncFile();
}

void TmvFlushList::Flush(bool aForceFailSafe) {
  if (mvFatalError.load()) throw EmvServerException(MVERR_TRANSACTIONCORRUPT, String(mvFatalErrorText));
  TmvBaseReplicationLog* log = flReplicationLog;
  if (log) log->BeginTrans(flLSN);
  try {
    WriteJournals();
    // A journal is only deleted after the files it protects are durable.
    WriteFiles(aForceFailSafe, flSync || !flJournals.empty());
    DeleteJournals();
  } catch (...) {
    mvFatalError.store(true);
    mvStorageLogError(u"Writing a commit failed; server operations are suspended until the server is restarted: " +
                      mvCurrentExceptionText());
    if (log) {
      try {
        log->EndTrans();
      } catch (...) {
        mvStorageLogError(u"Ending the replication log's transaction failed: " + mvCurrentExceptionText());
      }
    }
    throw;
  }
  if (log) log->EndTrans();
}
