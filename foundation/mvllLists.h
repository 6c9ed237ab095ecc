// Foundation: the engine's pointer lists.
//
// A list holds untyped item pointers and, optionally, a parallel array of
// data pointers whose objects it may own (owned data objects are TmvObjects
// and are destroyed when their entries leave the list). `TmvList` keeps the
// order of insertion; `TmvSortedList` keeps the order of its virtual
// `Compare` and can suspend sorting during bulk loads. Every change of
// content or order bumps `blGeneration`, which iterators and caches compare
// to notice changes. `TmvListPortal` and `TmvListPadlock` wrap a list for use
// from several threads; the lists themselves are not thread-safe.
//
// Calls the platform layer, the allocation routines, the synchronisation
// objects and the compare primitives.
#pragma once

#include <cstdint>
#include <functional>
#include <type_traits>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/sync/mvllReadWritePortal.h"
#include "foundation/sync/mvllSync.h"
#include "platform/Classes.h"

inline constexpr char16_t SmvSortedListFindSuspended[] = u"Find is not supported while sorting is suspended.";

// Raised by a sorted list asked to search while its sorting is suspended.
MV_DECLARE_EXCEPTION(EmvSortedListException, EmvBaseException)

// Largest capacity and count of a list.
inline constexpr int32_t mvMaxListSize = 0x7FFFFFF;

// Plain compare of two items: <0, 0, >0.
using TmvListSortCompare = int (*)(void* aItem1, void* aItem2);
// Compare bound to an object (a method): -1, 0, 1.
using TmvListSortMethod = std::function<int8_t(void* aItem1, void* aItem2)>;

// Quicksorts aItems[L..R] (and aData alongside when not nil); true when any
// swap ran (also the swap of an entry with itself).
bool mvSortPointers(void** aItems, void** aData, int32_t L, int32_t R, TmvListSortCompare aCompare);
bool mvSortPointersByMethod(void** aItems, void** aData, int32_t L, int32_t R, const TmvListSortMethod& aCompare);

class TmvBaseList : public TmvObject {
 public:
  int32_t Count() const { return blCount; }
  int32_t Capacity() const { return blCapacity; }
  int32_t Generation() const { return blGeneration; }
  bool UseData() const { return blUseData; }
  // Range-checked reads (the index error for -1 or Count).
  void* blGet(int32_t aIndex) const;
  void* GetData(int32_t aIndex) const;  // nil when the list keeps no data
  void* First() const { return blCount > 0 ? blList[0] : nullptr; }
  void* Last() const { return blCount > 0 ? blList[blCount - 1] : nullptr; }

  virtual int32_t IndexOf(void* aItem) const = 0;
  // Raises the platform's list error with aMsg formatted with aData.
  [[noreturn]] static void Error(const char16_t* aMsg, int32_t aData);

 protected:
  TmvBaseList() = default;
  void checkIndex(int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= blCount) Error(SListIndexError, aIndex);
  }
  void bump() { blGeneration = static_cast<int32_t>(static_cast<uint32_t>(blGeneration) + 1u); }
  // Destroys an owned data object (nothing when the list owns none).
  void freeData(void* aData) const;
  // Drops entries from the end down to aNewCount, last first, so that a data
  // object's destructor that raises leaves a consistent list behind.
  void dropTail(int32_t aNewCount);

  void** blList = nullptr;
  bool blUseData = false;
  bool blFreeDataObjects = false;
  void** blData = nullptr;
  int32_t blCount = 0;
  int32_t blCapacity = 0;
  int32_t blGeneration = 0;
};

class TmvWriteableList : public TmvBaseList {
 public:
  // A negative aInitCapacity counts as 0; a positive one is allocated at once.
  // Owning data objects needs aUseData.
  TmvWriteableList(int32_t aInitCapacity = 0, bool aUseData = false, bool aFreeDataObjects = false);
  ~TmvWriteableList() override;

  virtual int32_t Add(void* aItem) = 0;
  virtual int32_t AddData(void* aItem, void* aData) = 0;

  // Destroys the owned data objects, empties the list and returns it to its
  // initial capacity.
  void Clear();
  void Delete(int32_t aIndex);
  // Removes the entry without destroying its data and returns the data
  // pointer (nil when the list keeps none). By item: nil when absent.
  void* Release(int32_t aIndex);
  void* Release(void* aItem);
  // Former index of the item, or -1.
  int32_t Remove(void* aItem);
  void AddList(const TmvWriteableList& aList);
  // A value below Count or above mvMaxListSize raises the capacity error.
  void SetCapacity(int32_t aNewCapacity);

 protected:
  // Grows the arrays when full: +4 up to 8, +16 up to 64, then a quarter.
  void growIfFull();
  // Opens a gap at aIndex (0..Count) and fills it.
  void insertAt(int32_t aIndex, void* aItem, void* aData);
  // Removes the entry at aIndex (checked) and returns its data pointer.
  void* removeAt(int32_t aIndex);

  int32_t wlInitCapacity = 0;
};

// The unsorted list.
class TmvList : public TmvWriteableList {
 public:
  using TmvWriteableList::TmvWriteableList;

  int32_t Add(void* aItem) override { return AddData(aItem, nullptr); }
  int32_t AddData(void* aItem, void* aData) override;
  // aIndex may be 0 to Count.
  void Insert(int32_t aIndex, void* aItem) { InsertData(aIndex, aItem, nullptr); }
  void InsertData(int32_t aIndex, void* aItem, void* aData);
  void liPut(int32_t aIndex, void* aItem);
  int32_t IndexOf(void* aItem) const override;
  int32_t IndexOfData(void* aData) const;
  // False for equal indexes and when nothing changed.
  bool Exchange(int32_t aIndex1, int32_t aIndex2);
  void Move(int32_t aCurIndex, int32_t aNewIndex);
  void SetCount(int32_t aNewCount);
  // Removes nil items, keeping the order of the rest.
  void Pack();
  void Sort(TmvListSortCompare aCompare);
};

class TmvSortedList : public TmvWriteableList {
 public:
  using TmvWriteableList::TmvWriteableList;

  // Binary search with Compare(list item, aItem): true with the index of an
  // equal item, or false with the insertion index. Raises
  // EmvSortedListException while sorting is suspended.
  bool Find(void* aItem, int32_t& aIndex) const;
  int32_t IndexOf(void* aItem) const override;
  // An item equal to one present is not added (its index is returned) unless
  // sorting is suspended, when it is appended.
  int32_t Add(void* aItem) override { return AddData(aItem, nullptr); }
  int32_t AddData(void* aItem, void* aData) override;
  void SuspendSorting() { ++slSuspendCount; }
  void ResumeSorting();
  bool SortingSuspended() const { return slSuspendCount > 0; }

  // The order of the list: by default the item pointers as unsigned values.
  virtual int8_t Compare(void* aItem1, void* aItem2) const;

 private:
  int32_t slSuspendCount = 0;
  bool slModified = false;
};

// ---------------------------------------------------------------------------
// Lists shared between threads. The wrapper owns the list and destroys it
// with itself. Each operation runs between BeginWrite and EndWrite (or
// BeginRead and EndRead); when it raises, the access ends before the
// exception continues. Callers that iterate hold read access throughout.

class TmvListSyncAccess : public TmvObject {
 public:
  explicit TmvListSyncAccess(TmvWriteableList* aList) : lsaList(aList) {}
  ~TmvListSyncAccess() override { mvFreeAndNil(lsaList); }

  // In this base, reading takes write access.
  virtual TmvWriteableList* BeginRead() { return BeginWrite(); }
  virtual void EndRead() { EndWrite(); }
  virtual TmvWriteableList* BeginWrite() = 0;
  virtual void EndWrite() = 0;

  int32_t Add(void* aItem);
  int32_t AddData(void* aItem, void* aData);
  void AddList(const TmvWriteableList& aList);
  // The other wrapper's read access is held for the duration.
  void AddList(TmvListSyncAccess& aList);
  // True when the item was present.
  bool Remove(void* aItem);
  void* Release(void* aItem);
  void Clear();
  int32_t Count();

 protected:
  template <typename F>
  auto underWrite(F f) {
    TmvWriteableList* l = BeginWrite();
    try {
      if constexpr (std::is_void_v<decltype(f(*l))>) {
        f(*l);
        EndWrite();
      } else {
        auto r = f(*l);
        EndWrite();
        return r;
      }
    } catch (...) {
      EndWrite();
      throw;
    }
  }

  TmvWriteableList* lsaList;
};

// Readers share the list; a writer excludes everyone.
class TmvListPortal : public TmvListSyncAccess {
 public:
  explicit TmvListPortal(TmvWriteableList* aList);
  ~TmvListPortal() override;
  TmvWriteableList* BeginRead() override;
  void EndRead() override;
  TmvWriteableList* BeginWrite() override;
  void EndWrite() override;

 private:
  TmvInternalReadWritePortal* lptPortal;
};

// One thread at a time (re-entrant), for reading and writing alike.
class TmvListPadlock : public TmvListSyncAccess {
 public:
  explicit TmvListPadlock(TmvWriteableList* aList);
  ~TmvListPadlock() override;
  TmvWriteableList* BeginWrite() override;
  void EndWrite() override;

 private:
  TmvPadlock* lplPadlock;
};
