// Server engine: background tasks. See mvsrServerTasks.h.
#include "server/mvsrServerTasks.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "platform/SyncObjs.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsdSimpleLock.h"
#include "storage/indices/mvseIndexEngine.h"
#include "storage/mvsrTimeoutHandling.h"

constinit const ClassRef TmvServerTaskInfo::StaticClass{u"TmvServerTaskInfo", &TmvAbstractTaskInfo::StaticClass};
constinit const ClassRef TmvServerDoNothingTaskInfo::StaticClass{u"TmvServerDoNothingTaskInfo",
                                                                 &TmvServerTaskInfo::StaticClass};
constinit const ClassRef TmvServerGetRecCountTaskInfo::StaticClass{u"TmvServerGetRecCountTaskInfo",
                                                                   &TmvServerTaskInfo::StaticClass};

namespace {
uint32_t Tick() { return uint32_t(GetTickCount64()); }
}  // namespace

// ---------------------------------------------------------------------------
// TmvServerTaskInfo

TmvServerTaskInfo::TmvServerTaskInfo(TmvAbstractSession* aSession, uint32_t aTotalRecords, int32_t aThreadPriority)
    : TmvAbstractTaskInfo(aSession), stiThreadPriority(aThreadPriority) {
  stiStatus.tsTotalRecs = aTotalRecords;
  stiStatus.tsStartTime = Tick();
}

TmvServerTaskInfo::~TmvServerTaskInfo() {
  if (Executing()) {
    stiCancelled.store(true, std::memory_order_release);
    while (Executing()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  FreeThread(stiThread);
}

uint32_t TmvServerTaskInfo::GetStatus(bool& aCompleted, TmvTaskStatus& aStatus) {
  try {
    {
      TmvPadlockGuard guard(&stiPadlock);
      aCompleted = stiStatus.tsFinished;
      aStatus = stiStatus;
    }
    if (aStatus.tsErrorCode != 0)
      EmvBaseException::SetLastConvertedException(aStatus.tsErrorCode, aStatus.tsErrorMessage);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTaskInfo::Cancel() {
  if (stiCancelled.exchange(true, std::memory_order_acq_rel)) return 0;
  TmvPadlockGuard guard(&stiPadlock);
  stiStatus.tsErrorCode = MVERR_UPDATEABORTED;
  stiStatus.tsErrorMessage.clear();
  stiStatus.tsSnapshotTime = Tick();
  stiStatus.tsFinished = true;
  return 0;
}

void TmvServerTaskInfo::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvAbstractTaskInfo::WriteObjectInfo(aContainer);
  aContainer->AddBoolean(u"Cancelled", Cancelled());
  aContainer->AddBoolean(u"Executing", Executing());
}

bool TmvServerTaskInfo::MakeSnapshot(uint32_t aRecordsRead, uint32_t aRecordsWritten, uint32_t aErrorCode) {
  if (Cancelled()) return true;
  uint32_t lastCode = 0;
  String lastText;
  EmvBaseException::GetLastConvertedException(lastCode, lastText);
  TmvPadlockGuard guard(&stiPadlock);
  stiStatus.tsRecsRead = aRecordsRead;
  stiStatus.tsRecsWritten = aRecordsWritten;
  stiStatus.tsErrorCode = aErrorCode;
  stiStatus.tsErrorMessage = lastCode == aErrorCode && aErrorCode != 0 ? lastText : String();
  stiStatus.tsSnapshotTime = Tick();
  // Scaled above 2^24 so that the product stays within 32 bits.
  const uint32_t total = stiStatus.tsTotalRecs;
  uint32_t percent;
  if (aRecordsRead < (1u << 24))
    percent = total == 0 ? 0 : aRecordsRead * 100u / total;
  else
    percent = total / 128u == 0 ? 0 : (aRecordsRead / 128u) * 100u / (total / 128u);
  stiStatus.tsPercentDone = uint8_t(std::min(100u, percent));
  return false;
}

void TmvServerTaskInfo::MarkFinished() {
  TmvPadlockGuard guard(&stiPadlock);
  stiStatus.tsFinished = true;
}

void TmvServerTaskInfo::BeginExecute() {
  stiExecuting.store(true, std::memory_order_release);
  stiStartEvt.SignalEvent();
}

void TmvServerTaskInfo::EndExecute() {
  MarkFinished();
  stiExecuting.store(false, std::memory_order_release);
}

void TmvServerTaskInfo::StartThread() {
  stiThread = NewThread<TmvServerTaskThread>(this);
  stiStartEvt.WaitForQuietly(2000);
}

// ---------------------------------------------------------------------------
// TmvServerTaskThread

TmvServerTaskThread::TmvServerTaskThread(TmvServerTaskInfo* aTaskInfo)
    : TmvInitThread(aTaskInfo->ThreadPriority(), u"TmvServerTaskThread"), sttTaskInfo(aTaskInfo) {}

void TmvServerTaskThread::DoBeforeExecute() { sttTaskInfo->Init(); }

void TmvServerTaskThread::InnerExecute() {
  mvSetOperationDeadline(0, true);
  mvBeginTimeoutScope();
  try {
    sttTaskInfo->Execute();
  } catch (...) {
    mvServerLogCurrentException(u"A background task");
  }
  mvEndTimeoutScope();
}

// ---------------------------------------------------------------------------
// TmvServerDoNothingTaskInfo

TmvServerDoNothingTaskInfo* TmvServerDoNothingTaskInfo::CreateFinished(TmvAbstractSession* aSession, uint32_t aCount) {
  auto* task =
      TmvAbstractServerObject::Create<TmvServerDoNothingTaskInfo>(aSession, aCount, int32_t(THREAD_PRIORITY_NORMAL));
  task->MakeSnapshot(aCount, aCount, 0);
  task->MarkFinished();
  return task;
}

// ---------------------------------------------------------------------------
// TmvServerGetRecCountTaskInfo

TmvServerGetRecCountTaskInfo::TmvServerGetRecCountTaskInfo(TmvRecordCountOption aOption, uint32_t aRecordCount,
                                                           TmvServerTableCursor* aCursor)
    : TmvServerTaskInfo(aCursor->Session(), aRecordCount, int32_t(THREAD_PRIORITY_NORMAL)),
      rciCursor(aCursor),
      rciOption(aOption) {
  if (aCursor->TaskInfo())
    throw EmvServerEngineException(MVERR_INVALIDPARAM, u"The cursor carries a record count task already");
  aCursor->SetTaskInfo(this);
}

TmvServerGetRecCountTaskInfo::~TmvServerGetRecCountTaskInfo() {
  // Waits for the walk first: the cursor must not be detached under it.
  if (Executing()) {
    stiCancelled.store(true, std::memory_order_release);
    while (Executing()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (rciCursor && rciCursor->TaskInfo() == this) rciCursor->SetTaskInfo(nullptr);
}

TmvServerGetRecCountTaskInfo* TmvServerGetRecCountTaskInfo::Start(TmvRecordCountOption aOption, uint32_t aRecordCount,
                                                                  TmvServerTableCursor* aCursor) {
  auto* task = TmvAbstractServerObject::Create<TmvServerGetRecCountTaskInfo>(aOption, aRecordCount, aCursor);
  try {
    task->StartThread();
  } catch (...) {
    try {
      TmvAbstractServerObject::Free(task);
    } catch (...) {
      mvServerLogCurrentException(u"Freeing a record count task that failed to start");
    }
    throw;
  }
  return task;
}

uint32_t TmvServerGetRecCountTaskInfo::Count(uint32_t& aCount) {
  TmvServerTableCursor* cursor = rciCursor;
  const uint32_t step = std::max(1u, stiStatus.tsTotalRecs / 100u);
  TmvBaseIndexPath* saved = cursor->stcIndexPath->Duplicate();
  TmvBaseFilterEngine* filter = nullptr;
  TmvBaseFilterEngine* keyFilter = nullptr;
  const bool detach = rciOption <= rcoRangedKeyCount;
  if (detach) {
    filter = std::exchange(cursor->sbcFilter, nullptr);
    keyFilter = std::exchange(cursor->sbcKeyFilter, nullptr);
  }
  uint32_t code = 0;
  try {
    cursor->sbcSetToBegin();
    code = cursor->sbcRecordGetNext(mvltNoLock, nullptr);
    while (code == 0 || code == uint32_t(MVERR_FILTERTIMEOUT)) {
      if (code == 0) ++aCount;
      code = cursor->sbcRecordGetNext(mvltNoLock, nullptr);
      if (aCount % step == 0) {
        const uint32_t shown = code == uint32_t(MVERR_EOF) || code == uint32_t(MVERR_FILTERTIMEOUT) ? 0 : code;
        if (MakeSnapshot(aCount, aCount, shown)) code = MVERR_UPDATEABORTED;
      }
    }
    if (code == uint32_t(MVERR_EOF)) code = 0;
  } catch (...) {
    code = asoConvertException();
  }
  cursor->stcIndexPath->Assign(saved);
  delete saved;
  if (detach) {
    cursor->sbcFilter = filter;
    cursor->sbcKeyFilter = keyFilter;
  }
  return code;
}

void TmvServerGetRecCountTaskInfo::Execute() {
  uint32_t code = 0, count = 0;
  ImvSimpleLock* lock = rciCursor->GetLock();
  bool locked = false;
  try {
    lock->Lock();
    locked = true;
  } catch (...) {
    code = asoConvertException();
  }
  BeginExecute();
  if (locked) {
    mvSetOperationDeadline(0, true);
    code = Count(count);
  }
  // A cancel keeps its own status; the snapshot then changes nothing.
  MakeSnapshot(count, count, code);
  MarkFinished();
  if (locked) {
    try {
      lock->Unlock(code);
    } catch (...) {
      asoConvertException();
      mvServerLogCurrentException(u"Leaving the session lock after a record count");
    }
  }
  EndExecute();
}
