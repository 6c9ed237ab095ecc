// Storage: commit and flush (unit mvsrBufferManager).
//
// Committing the outermost level of a storage transaction takes two steps,
// which the server's transaction drives:
//  1. TmvBufferManager::CommitTransaction, under the cache's padlock, turns
//     the transaction's copies into the committed images (keeping the older
//     images that snapshots still need), stamps block 0 of every changed file
//     with the transaction's LSN and queues every changed block in its file's
//     write queue; the files go into a `TmvFlushList`. Everything it may have
//     to read from disk is read before it changes anything, so that the
//     change happens in one hold of the padlock: a snapshot sees all of it or
//     none of it.
//  2. TmvFlushList::Flush, without the padlock, sorts and grows every file,
//     writes each file's queue in block order with block 0 last, and then
//     (unless the cache's SyncOnCommit is off) puts every written file on
//     stable storage with fdatasync. Only then does the commit report
//     success; a failed sync is a failed commit.
// A nested level's commit only merges its copies into the parent level.
//
// A failure in step 1 takes back what step 1 changed (the content before the
// commit comes back from the images kept for snapshots or from disk); the
// transaction can then be rolled back. A failure in step 2 is fatal for the
// process: `mvFatalError` is set, and every later flush (and, through the
// server, every later operation) is refused with 15443.
//
// What a crash in the middle of step 2 can leave on disk without a journal:
// each file of the commit is either untouched, or partly written (some of
// its changed blocks new, the others old, and its block 0 old or new), or
// completely written; files are written one after the other in the order
// they joined the transaction. Without a journal the cache refuses what it
// can tell: every block of the commit carries its LSN and block 0 comes
// last, so a block read from disk with a newer LSN than its file's block 0
// is damage (8962, TmvReadOnlyBlock::CheckStamp), when the file is opened
// and on every later read of that block. What it cannot tell: a file of the
// commit not yet begun beside one already complete, and (the sync comes
// after block 0) a disk that kept block 0 new and some data blocks old.
//
// A journalled commit (the transaction's Journalled switch) closes that gap.
// Prepare gives it one journal per folder whose table files it writes,
// named by the commit's LSN, once block 0 of every file is stamped, so that
// the journal covers exactly the blocks the flush writes. Flush then:
//  1. writes each journal (its images), syncs it, marks it complete and
//     syncs it again; the journal's name is synced into its folder when it
//     is created;
//  2. writes the table files and syncs each one;
//  3. marks each journal incomplete again, syncs it and deletes it;
// and only then reports success. A journal found later (the journal
// engine's Check when its folder opens) was cut in step 1 (incomplete:
// discarded) or marks a commit cut in step 2 (complete: replayed). Step 3
// keeps a deletion that a power loss undoes from bringing back a journal
// that would replay over later commits: what comes back is incomplete.
//
// A replication log (TmvBaseReplicationLog, mvsrBaseFile.h) is told of
// every block written; no component of this system installs one.
//
// Threads: CommitTransaction runs under the cache's padlock; Flush runs
// without it (each block is pinned while it is written). The server's table
// locks keep two commits of one file apart until the first is flushed.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "foundation/mvllComponents.h"
#include "foundation/mvllLists.h"
#include "storage/transactions/mvsrTransaction.h"

class TmvBaseJournalEngine;

// The class record of a journal engine class: its constructor and its
// recovery scan of a folder's leftover journals.
struct TmvJournalEngineClassRef : ClassRef {
  TmvBaseJournalEngine* (*Create)(const String& aFileName);
  void (*Check)(const String& aAlias, const String& aPath);
};

// A transaction journal: the blocks of a commit are copied into it before
// they are written to the table files of its folder. Owned by the flush
// list of the commit. Freeing it closes its file but leaves it on disk:
// only DeleteJournal, after the table files are on stable storage, removes
// it, so that a flush that failed half-way leaves its journal for recovery.
class TmvBaseJournalEngine : public TmvPersistent {
 public:
  static const TmvJournalEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  explicit TmvBaseJournalEngine(const String& aFileName) : bjeFileName(aFileName) {}
  // The recovery scan; every engine has its own: here an assertion failure.
  static void Check(const String& aAlias, const String& aPath);
  // Called while the commit can still be taken back, for every file the
  // journal will cover: raises when the journal cannot cover it.
  virtual void AcceptFile(TmvBaseFile* aFile);
  virtual void PrepareJournal() = 0;
  // Called for every block of the journal's folder that the flush writes
  // (each once), before anything of the table files changes.
  virtual void AddBlock(TmvBaseTransaction* aTrans, TmvReadOnlyBlock* aBlock) = 0;
  // Makes the journal complete and durable.
  virtual void FinalizeJournal() = 0;
  // Removes the journal file durably; raises when it could not.
  virtual void DeleteJournal();

  String bjeFileName;
};

// The journal engine class of journalled commits and of the recovery scan
// (set by the journal engines' unit unless set before; nil: none).
extern std::atomic<const TmvJournalEngineClassRef*> mvDefaultJournalEngineClass;
// The extension of journal files.
inline constexpr char16_t mvJournalExtension[] = u"n$2";
// The journal of number aNumber in a folder (aFolder with or without its
// trailing "/"): "<folder>/<number>.n$2".
String mvJournalFileName(const String& aFolder, uint64_t aNumber);

// The files one outermost commit writes, in the order they joined the
// transaction. Lives for one commit; used by one thread.
class TmvFlushList : public TmvObject {
 public:
  TmvFlushList() = default;
  // Frees the journals that a failed flush left behind (their files stay).
  ~TmvFlushList() override;
  TmvFlushList(const TmvFlushList&) = delete;
  TmvFlushList& operator=(const TmvFlushList&) = delete;

  // Stamps block 0 of every changed file that is not temporary with the
  // transaction's LSN (queued last in its file) and lists the file; when
  // the transaction is journalled, creates the journal objects of the
  // files' folders; unless aIsWTCommit, detaches the files from the
  // transaction. A failure takes back every queued write of the
  // transaction's files first.
  // Requires: the transaction's blocks committed at level 0.
  void Prepare(TmvBaseTransaction* aTrans, bool aIsWTCommit);
  // Writes the listed files: journalled, in the steps above; otherwise
  // fail-safe with aForceFailSafe (flushed and reopened file by file) or
  // synced after all were written, unless the cache's SyncOnCommit is off.
  // 15443 at once after an earlier fatal error; a failure sets the fatal
  // error.
  void Flush(bool aForceFailSafe);

  int32_t Count() const { return flList.Count(); }
  TmvBaseFile* Files(int32_t aIndex) const { return static_cast<TmvBaseFile*>(flList.blGet(aIndex)); }
  int32_t JournalCount() const { return int32_t(flJournals.size()); }

  TmvLSN flLSN = 0;
  TmvList flList{32};
  // One journal per folder (owned), with the folder's path as fiPath has it.
  struct TJournal {
    String Folder;
    TmvBaseJournalEngine* Journal;
  };
  std::vector<TJournal> flJournals;
  TmvBaseReplicationLog* flReplicationLog = nullptr;  // the cache's
  bool flSync = true;                                 // the cache's SyncOnCommit at Prepare

 private:
  void WriteFiles(bool aFailSafe, bool aSync);
  void StampHeader(TmvBaseTransaction* aTrans, TmvBaseFile* aFile, bool aIsWTCommit);
  void CreateJournals();
  void WriteJournals();
  void DeleteJournals();
  void FreeJournals();
};

// Set by the first failed flush; never cleared while the process runs (the
// server refuses all work from then on). Safe from any thread.
extern std::atomic<bool> mvFatalError;
// The text of 15443 after a fatal error.
inline constexpr char16_t mvFatalErrorText[] =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check exception "
    u"log at server for further information";
// Tests only: a test that provoked the fatal error lets the next one run.
void mvClearFatalErrorForTesting();

// Takes back every queued write of the transaction's files (a commit that
// failed before anything was written). Padlock held.
void mvRollbackUnwritten(TmvBaseTransaction* aTrans);
