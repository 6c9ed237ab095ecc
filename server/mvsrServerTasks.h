// Server engine: background tasks (unit mvsrServerTasks).
//
// A long operation runs on a thread of its own while the client keeps a
// task info, through which it reads the progress (`GetStatus`) and can
// cancel. `TmvServerTaskInfo` keeps the status under its padlock;
// `TmvServerTaskThread` runs one task info's `Execute`. A synchronous
// answer that needs no thread is an already finished
// `TmvServerDoNothingTaskInfo`. `TmvServerGetRecCountTaskInfo` counts the
// records of a filtered or ranged table cursor by walking it under the
// session's lock.
//
// Ownership: the task info owns its thread, which ends when `Execute`
// returns and is joined when the task info goes (the platform's threads do
// not free themselves); the client frees the task info through the server
// object's Free, which cancels a running task and waits for it. A count
// task is attached to its cursor from creation to destruction.
// Threads: the status is guarded by stiPadlock; stiCancelled and
// stiExecuting are read across threads. Calls the server objects, the
// session lock, the foundation's threads and events, and the table cursor.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/sync/mvllSync.h"
#include "foundation/sync/mvllThreads.h"
#include "server/mvsdServerObjects.h"

class TmvServerTableCursor;
class TmvServerTaskThread;

class TmvServerTaskInfo : public TmvAbstractTaskInfo {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // tsTotalRecs := aTotalRecords, tsStartTime := now (32-bit tick count).
  TmvServerTaskInfo(TmvAbstractSession* aSession, uint32_t aTotalRecords, int32_t aThreadPriority);
  // Cancels a running task and waits (polling every 100 ms) until its
  // Execute has left; then joins the thread.
  ~TmvServerTaskInfo() override;

  // Completed and a copy of the status; a task error is recorded as the
  // calling thread's last converted exception with its text.
  uint32_t GetStatus(bool& aCompleted, TmvTaskStatus& aStatus) override;
  // The first call ends the task at once for its clients: 13062, finished.
  uint32_t Cancel() override;
  // "Cancelled" and "Executing" after the inherited entries.
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // The task's work, on the task thread.
  virtual void Execute() = 0;
  // Called on the task thread before Execute; empty here.
  virtual void Init() {}

  // Progress: true when the task was cancelled (then nothing changes).
  bool MakeSnapshot(uint32_t aRecordsRead, uint32_t aRecordsWritten, uint32_t aErrorCode);
  void MarkFinished();
  // Starts the task's thread and waits up to 2000 ms for Execute to begin;
  // a wait that times out is no error. A failure to start raises.
  void StartThread();

  int32_t ThreadPriority() const { return stiThreadPriority; }
  bool Cancelled() const { return stiCancelled.load(std::memory_order_acquire); }
  bool Executing() const { return stiExecuting.load(std::memory_order_acquire); }

 protected:
  // Execute's frame: executing and the start event first; finished and
  // not executing at the end, on every path.
  void BeginExecute();
  void EndExecute();

  int32_t stiThreadPriority;
  TmvPadlock stiPadlock;
  TmvTaskStatus stiStatus;
  std::atomic<bool> stiCancelled{false};
  std::atomic<bool> stiExecuting{false};
  TmvEvent stiStartEvt;

 private:
  TmvServerTaskThread* stiThread = nullptr;
};

// Runs one task info: Init, then Execute with no operation deadline inside
// a timeout scope of its own.
class TmvServerTaskThread : public TmvInitThread {
 public:
  explicit TmvServerTaskThread(TmvServerTaskInfo* aTaskInfo);

 protected:
  void DoBeforeExecute() override;
  void InnerExecute() override;

 private:
  TmvServerTaskInfo* sttTaskInfo;  // not owned
};

// A finished answer that needs no thread.
class TmvServerDoNothingTaskInfo : public TmvServerTaskInfo {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  using TmvServerTaskInfo::TmvServerTaskInfo;
  // Total, read and written aCount, error 0, finished.
  static TmvServerDoNothingTaskInfo* CreateFinished(TmvAbstractSession* aSession, uint32_t aCount);
  void Execute() override {}
};

// The asynchronous record count of a table cursor.
class TmvServerGetRecCountTaskInfo : public TmvServerTaskInfo {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Attached to aCursor (which carries at most one: 9986 while another is
  // attached); the destructor detaches it.
  TmvServerGetRecCountTaskInfo(TmvRecordCountOption aOption, uint32_t aRecordCount, TmvServerTableCursor* aCursor);
  ~TmvServerGetRecCountTaskInfo() override;
  // Created and started; the caller holds no session lock. Raises on failure
  // (the task info freed).
  static TmvServerGetRecCountTaskInfo* Start(TmvRecordCountOption aOption, uint32_t aRecordCount,
                                             TmvServerTableCursor* aCursor);
  // Takes the session lock without waiting: when another thread is inside,
  // the task ends at once, finished, with that error (8455).
  void Execute() override;

 private:
  uint32_t Count(uint32_t& aCount);

  TmvServerTableCursor* rciCursor;
  TmvRecordCountOption rciOption;
};
