// Test support of the table locks and server transactions: stand-in
// cursors (server objects of a session with the locking part), stand-in
// root tables (the lock side with a lock container per table and child,
// recording what the commits and rollbacks tell them), a driver doing what
// a table cursor's content-lock step does, a table file on disk that a
// transaction can change, and a fixture with a running engine and sessions.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/ServerEngineTestSupport.h"
#include "server/mvsdPadlockGuard.h"
#include "server/transactions/mvsrRootTableLocks.h"
#include "server/transactions/mvsrServerTransContext.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "server/transactions/mvsrTableLockContainer.h"
#include "server/transactions/mvsrTransactionLevelTableLink.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/header/mvsrFileHeader2x.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/transactions/mvsrCommit.h"

namespace lock_test {

// A cursor of a session: a plain server object with the locking part.
class LockCursor : public TmvAbstractServerObject, public TmvLockingCursor {
 public:
  explicit LockCursor(TmvAbstractSession* aSession) : TmvAbstractServerObject(aSession) {}
  TmvAbstractServerObject* lcServerObject() override { return this; }
};

// A root table's lock side over a lock container of its own and one per
// child; what the commits and rollbacks tell it is recorded (thread-safe).
class LockTable : public TmvRootTableLocks {
 public:
  explicit LockTable(const String& aName, int aChildren = 0) : name(aName) {
    for (int i = 0; i < aChildren; ++i) children.push_back(std::make_unique<TmvTableLockContainer>());
  }
  String rtlFullName() override { return name; }
  String rtlTransLinkKey() override { return u"/db/\\" + name; }
  bool rtlIsTempUnnamed() override { return tempUnnamed; }
  void rtlEndTransaction(TmvBaseTransaction* aTrans) override {
    locks.EndTransaction(aTrans);
    for (auto& child : children) child->EndTransaction(aTrans);
    Record("end");
    if (onEndTransaction) onEndTransaction();
  }
  void rtlRollback(TmvBaseTransaction*) override { Record("rollback"); }

  void Record(const std::string& aEvent) {
    std::lock_guard<std::mutex> guard(eventsLock);
    events.push_back(aEvent);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(eventsLock);
    return events;
  }
  // The links, counted under the padlock.
  int GrantedCount() { return Count(srtTransLinksGrantedHead); }
  int PendingCount() { return Count(srtTransLinksPendingHead) + (srtTransLinksPendingUpgrade ? 1 : 0); }
  bool AnyLinks() {
    TmvPadlockGuard guard(&srtTransLinksPadlock);
    return srtHasTransLinks();
  }

  String name;
  bool tempUnnamed = false;
  TmvTableLockContainer locks;
  std::vector<std::unique_ptr<TmvTableLockContainer>> children;
  std::function<void()> onEndTransaction;
  std::mutex eventsLock;
  std::vector<std::string> events;

 private:
  int Count(TmvServerTransactionLevelTableLink* const& aHead) {
    TmvPadlockGuard guard(&srtTransLinksPadlock);
    int n = 0;
    for (auto* l = aHead; l; l = l->ttlTableNext) ++n;
    return n;
  }
};

// What a table cursor's content-lock step does (a later unit): inside a
// transaction the cursor joins its transaction's link of the table, or a
// new one of the innermost level; an exclusive request upgrades a shared
// link (in place when it is the table's only granted link at the innermost
// level); a second upgrade meeting a pending one is a deadlock: 10255 and
// the transaction rolled back from the link's level. A request that is
// still pending waits (unless aConditional) and is freed on a time-out:
// 10249. Outside a transaction an exclusive request is refused (10257) and
// a shared one enters the table's portal for reading.
inline uint32_t ContentLock(LockCursor& aCursor, TmvServerTransaction* aTrans, LockTable& aTable, bool aExclusive,
                            bool aConditional = false, TmvLockFailureReason* aReason = nullptr) {
  using TLink = TmvServerTransactionLevelTableLink;
  if (!aTrans) {
    if (aExclusive) return EmvBaseException::mvSetMessage(MVERR_NOACTIVETRAN, String());
    aTable.srtContentPortal.BeginRead();
    return 0;
  }
  TLink* link;
  {
    TmvPadlockGuard guard(&aTable.srtTransLinksPadlock);
    link = aCursor.stcTransLink;
    if (!link && (link = aTrans->stFindLink(aTable.rtlTransLinkKey()))) link->AddCursor(&aCursor);
  }
  if (link) {
    if (int32_t state = aTrans->CheckState()) return EmvBaseException::mvSetMessage(state, String());
    if (!aExclusive || link->ttlExclusive) return 0;
    if (link->ttlSnapshot) return EmvBaseException::mvSetMessage(MVERR_TABLEREADONLY, String());
    TLink* upgrade;
    bool deadlock = false;
    {
      TmvPadlockGuard guard(&aTable.srtTransLinksPadlock);
      if (link->ttlConvertTo) {
        link->RemoveCursor(&aCursor);
        link->ttlConvertTo->AddCursor(&aCursor);
        return 0;
      }
      if (aTable.srtOnlyGrantedLink(link) && link->ttlTransactionLevel == aTrans->InnermostLevel()) {
        link->ttlExclusive = true;
        return 0;
      }
      deadlock = aTable.srtTransLinksPendingUpgrade != nullptr;
      if (!deadlock) {
        upgrade = TLink::Create(aTrans->InnermostLevel(), &aTable, true, link, aReason);
        if (upgrade->ttlState < ttlsGranted && !aConditional) upgrade->ttlEvent = new TmvEvent;
      }
    }
    if (deadlock) {
      // Outside the padlock: the rollback takes the padlocks of every
      // table the transaction holds.
      aTrans->stDeadlockRollback(link->ttlTransactionLevel);
      return EmvBaseException::mvSetMessage(MVERR_DEADLOCK, String());
    }
    const uint32_t result = upgrade->WaitFor();
    TmvPadlockGuard guard(&aTable.srtTransLinksPadlock);
    if (result != 0) {
      delete upgrade;
      return result;
    }
    if (aCursor.stcTransLink != upgrade) {
      aCursor.stcTransLink->RemoveCursor(&aCursor);
      upgrade->AddCursor(&aCursor);
    }
    return 0;
  }
  if (int32_t state = aTrans->CheckState()) return EmvBaseException::mvSetMessage(state, String());
  {
    TmvPadlockGuard guard(&aTable.srtTransLinksPadlock);
    link = TLink::Create(aTrans->InnermostLevel(), &aTable, aExclusive, nullptr, aReason);
    if (link->ttlState < ttlsGranted && !aConditional) link->ttlEvent = new TmvEvent;
  }
  const uint32_t result = link->WaitFor();
  TmvPadlockGuard guard(&aTable.srtTransLinksPadlock);
  if (result != 0) {
    delete link;
    return result;
  }
  link->AddCursor(&aCursor);
  return 0;
}

// The calling thread's operation deadline, aMs from now (0: none).
inline void Deadline(uint32_t aMs) { mvSetOperationDeadline(aMs, true); }

// A table file on disk that transactions change: block 0 of an "MV!2" file
// (made dirty, it is written by the commit).
struct DiskFile {
  DiskFile(TmvBufferManager* aCache, const std::string& aPath) : cache(aCache) {
    file = TmvBaseFile::Alloc(true, UTF8ToString(aPath), aCache);
    file->OpenFile(omReadWrite, smExclusive, false, true);
    file->fiMorvaVersion = 47005;
    file->fiStreamEngineName = u"mv1xDefault";
  }
  ~DiskFile() {
    cache->RemoveFile(file);
    if (file->FileIsOpen()) file->CloseFile();
    delete file;
  }
  // Creates the header in aTrans.
  void Create(TmvBaseTransaction* aTrans) { EXPECT_EQ(file->AddHeader(aTrans, {}, mv2xHeaderSignature), 0); }
  // Changes block 0 in aTrans.
  void Touch(TmvBaseTransaction* aTrans) {
    TmvReleaseMethod release;
    uint8_t* block = cache->GetBlock(file, aTrans, 0, true, release);
    release(block);
  }
  // The LSN of block 0 as aTrans (nil: the committed image) sees it.
  TmvLSN LSN(TmvBaseTransaction* aTrans) {
    TmvReleaseMethod release;
    uint8_t* block = cache->GetBlock(file, aTrans, 0, false, release);
    const TmvLSN lsn = mvBchLSN(block);
    release(block);
    return lsn;
  }
  TmvBufferManager* cache;
  TmvBaseFile* file;
};

// A running engine and sessions with contexts; the test thread has no
// deadline unless a test sets one.
class LockTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    engine->SetActive(true);
    Deadline(0);
    // The stand-in cursors are no table cursors: the table cursors' access
    // is put aside while these tests run.
    previousCursors = mvSetTransactionCursors(nullptr);
  }
  void TearDown() override {
    for (LockCursor* c : cursors) delete c;
    for (TmvAbstractSession* s : sessions) TmvAbstractServerObject::Free(s);
    mvSetTransactionCursors(previousCursors);
    EngineTest::TearDown();
  }
  TmvTransactionCursors* previousCursors = nullptr;
  TmvServerSession* NewSession(const String& aUser = String()) {
    TmvAbstractSession* session = nullptr;
    EXPECT_EQ(engine->SessionOpen(session, aUser, String(), String(), 0), 0u);
    sessions.push_back(session);
    return static_cast<TmvServerSession*>(session);
  }
  // A context of aSession, freed with it.
  TmvServerTransContext* NewContext(TmvAbstractSession* aSession, uint32_t aTimeout = 0) {
    TmvAbstractTransContext* context = nullptr;
    EXPECT_EQ(aSession->TransContextCreate(context, aTimeout), 0u);
    return static_cast<TmvServerTransContext*>(context);
  }
  LockCursor* NewCursor(TmvAbstractSession* aSession) {
    cursors.push_back(new LockCursor(aSession));
    return cursors.back();
  }
  // A context of its own session with a transaction started.
  TmvServerTransContext* Started(TmvAbstractSession* aSession) {
    TmvServerTransContext* context = NewContext(aSession);
    EXPECT_EQ(context->TransactionStart(false, false), 0u);
    return context;
  }
  TmvBufferManager* Cache() { return engine->BufferManager(); }

  std::vector<TmvAbstractSession*> sessions;
  std::vector<LockCursor*> cursors;
};

// The lines of a reason, for comparisons.
inline std::vector<String> Lines(const TmvLockFailureReason& aReason) {
  std::vector<String> lines;
  for (int32_t i = 0; i < aReason.Count(); ++i) lines.push_back(aReason[i]);
  return lines;
}

inline String Tag(const char16_t* aName, const char16_t* aValue) { return mvMakeCustomInfoTag(aName, aValue); }

}  // namespace lock_test
