// Foundation: the engine's reader/writer lock, `TmvInternalReadWritePortal`.
//
// Many threads may hold read access at once; one thread holds write access
// alone. Both are re-entrant for the holding thread, the writer may also
// read, and a reader may ask for write access (an upgrade) and learn from the
// result whether another writer got in first (false: what it read may have
// changed). As soon as a writer waits, threads that do not yet read queue
// behind it; threads that already read may nest further reads and finish.
//
// Rules for callers: every BeginRead has its EndRead and every BeginWrite its
// EndWrite on the same thread; sections of one thread nest properly (a write
// taken while reading ends before that read ends); at most 65534 threads read
// at once. Waits have no time limit. An EndRead without its BeginRead, and an
// EndWrite on a thread that is not the writer, raise EAssertionFailed.
//
// Cost: a reader that meets no writer takes and releases read access with
// one locked operation each and a few plain loads; it takes no mutex,
// allocates nothing and claims no shared record. Its nesting depth lives in
// a small thread-local list of the portals the thread is reading; a thread
// that reads more portals at once than that list holds keeps the depth for
// the rest in each portal's own table of thread states.
//
// Calls the platform layer, the allocation routines and the locked operations.
#pragma once

#include <cstdint>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/sync/mvllAtomic.h"
#include "platform/SyncObjs.h"

// A thread's read nesting on one portal. Records live as long as their table
// and are reused by any thread once released.
struct TmvThreadState {
  TmvThreadState* tsNext;  // next record of the bucket
  int32_t tsInUse;         // -1 while claimed, 0 when free
  int32_t tsCount;         // read nesting depth of the owner
  uint32_t tsID;           // owning thread id, 0 when free
};

// A small lock-free table of thread states: 16 buckets by thread id.
// Thread-safe; a claimed record is changed only by its owner.
class TmvThreadStates : public TmvObject {
 public:
  TmvThreadStates() = default;
  ~TmvThreadStates() override;

  // The record of aThreadID: its own, a free one claimed, or a new one.
  TmvThreadState* Acquire(uint32_t aThreadID);
  // The record that aThreadID holds, or nil; claims nothing.
  TmvThreadState* Find(uint32_t aThreadID) const;
  void Release(TmvThreadState* aState);

 private:
  static uint32_t bucketOf(uint32_t id) { return (id ^ (id >> 8) ^ (id >> 16) ^ (id >> 24)) & 15u; }
  TmvThreadState* tlcHashTable[16] = {};
};

// Thread-safe except construction and destruction; the destructor requires
// that no other thread uses the portal any more.
class TmvInternalReadWritePortal : public TmvObject {
 public:
  static constexpr int32_t Idle = 65535;

  TmvInternalReadWritePortal();
  // Takes write access first, waiting for every reader and writer to leave.
  ~TmvInternalReadWritePortal() override;

  void BeginRead();
  void EndRead();
  // True when no other thread held write access since the call began.
  bool BeginWrite();
  // Requires: the calling thread is the writer.
  void EndWrite();

  // When aPortal is nil, a new portal is created, access on it taken, and it
  // is published with a locked compare-exchange against nil; the loser ends
  // its access, frees its portal and takes access on the winner's.
  static void CreateAndRead(TmvInternalReadWritePortal*& aPortal);
  static void CreateAndWrite(TmvInternalReadWritePortal*& aPortal);

  // 65535 minus the reading threads, minus 65535 while a writer holds it.
  int32_t Portal() const { return __atomic_load_n(&rwpPortal, __ATOMIC_ACQUIRE); }
  uint32_t WriterID() const { return __atomic_load_n(&rwpWriterID, __ATOMIC_ACQUIRE); }
  int32_t WriterCount() const { return __atomic_load_n(&rwpWriterCount, __ATOMIC_ACQUIRE); }
  uint32_t Generation() const { return __atomic_load_n(&rwpGeneration, __ATOMIC_ACQUIRE); }
  // Writers that have closed the portal to new readers and wait for it.
  int32_t WritersWaiting() const { return __atomic_load_n(&rwpWritersWaiting, __ATOMIC_ACQUIRE); }

 private:
  struct DepthSlot;  // where the calling thread keeps its depth here

  bool isWriter() const;
  DepthSlot findDepth() const;
  DepthSlot addDepth();
  void dropDepth(const DepthSlot& aSlot);
  void enterRead();
  [[gnu::noinline]] void queueToRead();
  [[gnu::noinline]] void giveUnitBack();
  void setWriteEventIfFree(int32_t aNewValue);
  void openToReaders();
  void closeToReaders();

  // Read on every read: kept apart from the counter, which every reader
  // changes, so that the line holding them stays shared among the readers.
  int32_t rwpReadOpen = 1;        // 1 while rwpReadEvent is set
  uint32_t rwpWriterID = 0;
  int32_t rwpWritersWaiting = 0;  // writers between claiming and holding
  int32_t rwpWriterCount = 0;
  uint32_t rwpGeneration = 0;
  [[maybe_unused]] char rwpSeparator[64] = {};
  int32_t rwpPortal = Idle;
  TOSEvent rwpReadEvent{true, true};
  TOSEvent rwpWriteEvent{false, false};
  TmvThreadStates rwpThreadStates;
};
