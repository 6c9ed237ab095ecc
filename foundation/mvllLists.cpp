// Foundation: pointer lists and sorted lists. See mvllLists.h.
#include "foundation/mvllLists.h"

#include <cstring>

#include "foundation/mvllUtils.h"

// ---------------------------------------------------------------------------
// Sorting

namespace {

// Quicksort of the numbered steps: P follows the pivot entry when it is
// swapped, and the right part is handled by the loop rather than by
// recursion.
template <typename Cmp>
void quickSort(void** items, void** data, int32_t L, int32_t R, const Cmp& cmp, bool& swapped) {
  int32_t I;
  do {
    I = L;
    int32_t J = R;
    int32_t P = static_cast<int32_t>((static_cast<uint32_t>(L) + static_cast<uint32_t>(R)) >> 1);
    do {
      while (cmp(items[I], items[P]) < 0) ++I;
      while (cmp(items[J], items[P]) > 0) --J;
      if (I <= J) {
        std::swap(items[I], items[J]);
        if (data) std::swap(data[I], data[J]);
        swapped = true;
        if (I == P) P = J;
        else if (J == P) P = I;
        ++I;
        --J;
      }
    } while (I <= J);
    if (L < J) quickSort(items, data, L, J, cmp, swapped);
    L = I;
  } while (I < R);
}

}  // namespace

bool mvSortPointers(void** aItems, void** aData, int32_t L, int32_t R, TmvListSortCompare aCompare) {
  bool swapped = false;
  if (L <= R) quickSort(aItems, aData, L, R, aCompare, swapped);
  return swapped;
}

bool mvSortPointersByMethod(void** aItems, void** aData, int32_t L, int32_t R, const TmvListSortMethod& aCompare) {
  bool swapped = false;
  if (L <= R) quickSort(aItems, aData, L, R, aCompare, swapped);
  return swapped;
}

// ---------------------------------------------------------------------------
// TmvBaseList

void TmvBaseList::Error(const char16_t* aMsg, int32_t aData) { throw EListError(aMsg, {aData}); }

void* TmvBaseList::blGet(int32_t aIndex) const {
  checkIndex(aIndex);
  return blList[aIndex];
}

void* TmvBaseList::GetData(int32_t aIndex) const {
  checkIndex(aIndex);
  return blUseData ? blData[aIndex] : nullptr;
}

void TmvBaseList::freeData(void* aData) const {
  if (!blFreeDataObjects || !aData) return;
  TmvObject* o = static_cast<TmvObject*>(aData);
  mvFreeAndNil(o);
}

// ---------------------------------------------------------------------------
// TmvWriteableList

TmvWriteableList::TmvWriteableList(int32_t aInitCapacity, bool aUseData, bool aFreeDataObjects) {
  blUseData = aUseData;
  blFreeDataObjects = aUseData && aFreeDataObjects;
  wlInitCapacity = aInitCapacity < 0 ? 0 : aInitCapacity;
  if (wlInitCapacity > 0) SetCapacity(wlInitCapacity);
}

TmvWriteableList::~TmvWriteableList() {
  wlInitCapacity = 0;
  try {
    Clear();
  } catch (...) {
    // A data object's destructor failed; the arrays must still go.
    mvFreeMem(blList);
    mvFreeMem(blData);
  }
}

void TmvBaseList::dropTail(int32_t aNewCount) {
  while (blCount > aNewCount) {
    --blCount;
    if (blUseData) {
      void* d = blData[blCount];
      blData[blCount] = nullptr;
      freeData(d);
    }
  }
}

void TmvWriteableList::Clear() {
  if (blCount > 0) {
    dropTail(0);
    bump();
  }
  blCount = 0;
  SetCapacity(wlInitCapacity);
}

void TmvWriteableList::SetCapacity(int32_t aNewCapacity) {
  if (aNewCapacity < blCount || aNewCapacity > mvMaxListSize) Error(SListCapacityError, aNewCapacity);
  if (aNewCapacity == blCapacity) return;
  size_t bytes = static_cast<size_t>(aNewCapacity) * sizeof(void*);
  mvReallocMem(blList, bytes);
  if (blUseData) {
    try {
      mvReallocMem(blData, bytes);
    } catch (...) {
      // Keep both arrays at one size: the item array takes its old size back.
      mvReallocMem(blList, static_cast<size_t>(blCapacity) * sizeof(void*));
      throw;
    }
  }
  blCapacity = aNewCapacity;
}

void TmvWriteableList::growIfFull() {
  if (blCount < blCapacity) return;
  int32_t delta = blCapacity <= 8 ? 4 : (blCapacity <= 64 ? 16 : blCapacity / 4);
  SetCapacity(blCapacity + delta);
}

void TmvWriteableList::insertAt(int32_t aIndex, void* aItem, void* aData) {
  growIfFull();
  size_t tail = static_cast<size_t>(blCount - aIndex) * sizeof(void*);
  std::memmove(blList + aIndex + 1, blList + aIndex, tail);
  blList[aIndex] = aItem;
  if (blUseData) {
    std::memmove(blData + aIndex + 1, blData + aIndex, tail);
    blData[aIndex] = aData;
  }
  ++blCount;
  bump();
}

void* TmvWriteableList::removeAt(int32_t aIndex) {
  checkIndex(aIndex);
  void* data = blUseData ? blData[aIndex] : nullptr;
  --blCount;
  bump();
  size_t tail = static_cast<size_t>(blCount - aIndex) * sizeof(void*);
  std::memmove(blList + aIndex, blList + aIndex + 1, tail);
  if (blUseData) std::memmove(blData + aIndex, blData + aIndex + 1, tail);
  return data;
}

void TmvWriteableList::Delete(int32_t aIndex) {
  // The gap is closed before the data object goes, so that its destructor
  // sees (and may change) a consistent list.
  freeData(removeAt(aIndex));
}

void* TmvWriteableList::Release(int32_t aIndex) { return removeAt(aIndex); }

void* TmvWriteableList::Release(void* aItem) {
  int32_t i = IndexOf(aItem);
  return i < 0 ? nullptr : Release(i);
}

int32_t TmvWriteableList::Remove(void* aItem) {
  int32_t i = IndexOf(aItem);
  if (i >= 0) Delete(i);
  return i;
}

void TmvWriteableList::AddList(const TmvWriteableList& aList) {
  // Data objects that the other list owns are not shared: they would be
  // destroyed twice.
  bool withData = blUseData && aList.blUseData && !aList.blFreeDataObjects;
  for (int32_t i = 0; i < aList.blCount; ++i) {
    if (withData) AddData(aList.blList[i], aList.blData[i]);
    else Add(aList.blList[i]);
  }
}

// ---------------------------------------------------------------------------
// TmvList

int32_t TmvList::AddData(void* aItem, void* aData) {
  int32_t i = blCount;
  insertAt(i, aItem, aData);
  return i;
}

void TmvList::InsertData(int32_t aIndex, void* aItem, void* aData) {
  if (aIndex < 0 || aIndex > blCount) Error(SListIndexError, aIndex);
  insertAt(aIndex, aItem, aData);
}

void TmvList::liPut(int32_t aIndex, void* aItem) {
  checkIndex(aIndex);
  if (blList[aIndex] == aItem) return;
  blList[aIndex] = aItem;
  bump();
}

int32_t TmvList::IndexOf(void* aItem) const {
  for (int32_t i = 0; i < blCount; ++i) {
    if (blList[i] == aItem) return i;
  }
  return -1;
}

int32_t TmvList::IndexOfData(void* aData) const {
  if (!blUseData) return -1;
  for (int32_t i = 0; i < blCount; ++i) {
    if (blData[i] == aData) return i;
  }
  return -1;
}

bool TmvList::Exchange(int32_t aIndex1, int32_t aIndex2) {
  checkIndex(aIndex1);
  checkIndex(aIndex2);
  if (aIndex1 == aIndex2) return false;
  bool changed = false;
  if (blList[aIndex1] != blList[aIndex2]) {
    std::swap(blList[aIndex1], blList[aIndex2]);
    changed = true;
  }
  if (blUseData && blData[aIndex1] != blData[aIndex2]) {
    std::swap(blData[aIndex1], blData[aIndex2]);
    changed = true;
  }
  if (changed) bump();
  return changed;
}

void TmvList::Move(int32_t aCurIndex, int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  checkIndex(aNewIndex);
  void* item = blGet(aCurIndex);
  void* data = removeAt(aCurIndex);
  insertAt(aNewIndex, item, data);
}

void TmvList::SetCount(int32_t aNewCount) {
  if (aNewCount == blCount) return;
  if (aNewCount < 0 || aNewCount > mvMaxListSize) Error(SListCountError, aNewCount);
  if (aNewCount > blCount) {
    if (aNewCount > blCapacity) SetCapacity(aNewCount);
    size_t bytes = static_cast<size_t>(aNewCount - blCount) * sizeof(void*);
    std::memset(blList + blCount, 0, bytes);
    if (blUseData) std::memset(blData + blCount, 0, bytes);
    blCount = aNewCount;
  } else {
    dropTail(aNewCount);
  }
  bump();
}

void TmvList::Pack() {
  int32_t kept = 0;
  int32_t oldCount = blCount;
  for (int32_t i = 0; i < oldCount; ++i) {
    if (blList[i] != nullptr) {
      blList[kept] = blList[i];
      if (blUseData) blData[kept] = blData[i];
      ++kept;
    } else if (blUseData) {
      freeData(blData[i]);
    }
  }
  blCount = kept;
  if (kept != oldCount) bump();
}

void TmvList::Sort(TmvListSortCompare aCompare) {
  if (mvSortPointers(blList, blUseData ? blData : nullptr, 0, blCount - 1, aCompare)) bump();
}

// ---------------------------------------------------------------------------
// TmvSortedList

int8_t TmvSortedList::Compare(void* aItem1, void* aItem2) const {
  return static_cast<int8_t>(mvCmpPointer(aItem1, aItem2));
}

bool TmvSortedList::Find(void* aItem, int32_t& aIndex) const {
  if (slSuspendCount > 0) throw EmvSortedListException(SmvSortedListFindSuspended);
  int32_t lo = 0;
  int32_t hi = blCount - 1;
  while (lo <= hi) {
    int32_t mid = lo + (hi - lo) / 2;
    int8_t c = Compare(blList[mid], aItem);
    if (c == 0) {
      aIndex = mid;
      return true;
    }
    if (c < 0) lo = mid + 1;
    else hi = mid - 1;
  }
  aIndex = lo;
  return false;
}

int32_t TmvSortedList::IndexOf(void* aItem) const {
  int32_t i;
  return Find(aItem, i) ? i : -1;
}

int32_t TmvSortedList::AddData(void* aItem, void* aData) {
  if (slSuspendCount > 0) {
    int32_t i = blCount;
    insertAt(i, aItem, aData);
    slModified = true;
    return i;
  }
  int32_t i;
  if (Find(aItem, i)) return i;
  MV_ASSERT(i <= blCount);
  insertAt(i, aItem, aData);
  return i;
}

void TmvSortedList::ResumeSorting() {
  --slSuspendCount;
  if (slSuspendCount != 0 || !slModified) return;
  slModified = false;
  auto cmp = [this](void* a, void* b) { return Compare(a, b); };
  if (mvSortPointersByMethod(blList, blUseData ? blData : nullptr, 0, blCount - 1, cmp)) bump();
}

// ---------------------------------------------------------------------------
// Wrappers

int32_t TmvListSyncAccess::Add(void* aItem) {
  return underWrite([&](TmvWriteableList& l) { return l.Add(aItem); });
}

int32_t TmvListSyncAccess::AddData(void* aItem, void* aData) {
  return underWrite([&](TmvWriteableList& l) { return l.AddData(aItem, aData); });
}

void TmvListSyncAccess::AddList(const TmvWriteableList& aList) {
  underWrite([&](TmvWriteableList& l) { l.AddList(aList); });
}

void TmvListSyncAccess::AddList(TmvListSyncAccess& aList) {
  TmvWriteableList* other = aList.BeginRead();
  try {
    AddList(*other);
  } catch (...) {
    aList.EndRead();
    throw;
  }
  aList.EndRead();
}

bool TmvListSyncAccess::Remove(void* aItem) {
  return underWrite([&](TmvWriteableList& l) { return l.Remove(aItem) >= 0; });
}

void* TmvListSyncAccess::Release(void* aItem) {
  return underWrite([&](TmvWriteableList& l) { return l.Release(aItem); });
}

void TmvListSyncAccess::Clear() {
  underWrite([](TmvWriteableList& l) { l.Clear(); });
}

int32_t TmvListSyncAccess::Count() {
  TmvWriteableList* l = BeginRead();
  int32_t n = l->Count();
  EndRead();
  return n;
}

TmvListPortal::TmvListPortal(TmvWriteableList* aList)
    : TmvListSyncAccess(aList), lptPortal(new TmvInternalReadWritePortal()) {}
TmvListPortal::~TmvListPortal() { mvFreeAndNil(lptPortal); }
TmvWriteableList* TmvListPortal::BeginRead() {
  lptPortal->BeginRead();
  return lsaList;
}
void TmvListPortal::EndRead() { lptPortal->EndRead(); }
TmvWriteableList* TmvListPortal::BeginWrite() {
  lptPortal->BeginWrite();
  return lsaList;
}
void TmvListPortal::EndWrite() { lptPortal->EndWrite(); }

TmvListPadlock::TmvListPadlock(TmvWriteableList* aList) : TmvListSyncAccess(aList), lplPadlock(new TmvPadlock(false)) {}
TmvListPadlock::~TmvListPadlock() { mvFreeAndNil(lplPadlock); }
TmvWriteableList* TmvListPadlock::BeginWrite() {
  lplPadlock->Lock();
  return lsaList;
}
void TmvListPadlock::EndWrite() { lplPadlock->Unlock(); }
