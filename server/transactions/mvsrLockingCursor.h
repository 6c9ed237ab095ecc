// Server engine: what a table and its locks see of a table cursor (unit
// mvsrLockingCursor, header only).
//
// A table cursor takes the read, write and record locks of its table's lock
// container (mvsrTableLockContainer.h), joins the transaction-level table
// link that holds its transaction's content lock
// (mvsrTransactionLevelTableLink.h) and is registered with its table, which
// checks the share modes of new cursors against it and asks it to close when
// the table is to go. All of them need little of the cursor: the server
// object it is (its session decides whether a conflict may be waited for;
// the diagnostics name it), a number unique in the process that orders the
// read locks, its open and share mode, its place in its link's cursor list,
// and a way to ask it to close. The table cursor derives from this class.
//
// Threads: the link fields change under the link's table's
// srtTransLinksPadlock. Calls the server objects only.
#pragma once

#include <atomic>
#include <cstdint>

#include "server/mvsdServerObjects.h"

class TmvServerTransactionLevelTableLink;

class TmvLockingCursor {
 public:
  TmvLockingCursor() : lcNumber(NextNumber()) {}
  virtual ~TmvLockingCursor() = default;
  TmvLockingCursor(const TmvLockingCursor&) = delete;
  TmvLockingCursor& operator=(const TmvLockingCursor&) = delete;

  // The cursor as a server object.
  virtual TmvAbstractServerObject* lcServerObject() = 0;
  // The session of the cursor's database.
  TmvAbstractSession* lcSession() { return lcServerObject()->Session(); }

  // The table is to go: the cursor closes when it can (nothing here).
  virtual void lcRequestClose() {}

  // Taken from one counter of the process at construction, never reused:
  // two cursors never compare equal, whatever their addresses.
  const uint64_t lcNumber;
  // How the cursor was opened.
  TmvOpenMode lcOpenMode = omReadOnly;
  TmvShareMode lcShareMode = smShared;

  // The link whose content lock the cursor uses (nil: none), and its
  // neighbours in that link's cursor list.
  TmvServerTransactionLevelTableLink* stcTransLink = nullptr;
  TmvLockingCursor* stcTransLinkPrev = nullptr;
  TmvLockingCursor* stcTransLinkNext = nullptr;

 private:
  static uint64_t NextNumber() {
    static std::atomic<uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
  }
};
