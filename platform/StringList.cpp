// Platform layer: the string list.
#include "platform/StringList.h"

#include <algorithm>

namespace {

char16_t asciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

void TStringList::indexError(int32_t aIndex) { throw EStringListError(SListIndexError, {aIndex}); }

const String& TStringList::Strings(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) indexError(aIndex);
  return items_[static_cast<size_t>(aIndex)].s;
}

void* TStringList::Objects(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) indexError(aIndex);
  return items_[static_cast<size_t>(aIndex)].obj;
}

void TStringList::PutObject(int32_t aIndex, void* aObject) {
  if (aIndex < 0 || aIndex >= Count()) indexError(aIndex);
  items_[static_cast<size_t>(aIndex)].obj = aObject;
}

int32_t TStringList::AddObject(const String& aString, void* aObject) {
  int32_t index = Count();
  if (sorted_ && Find(aString, index)) {
    if (duplicates_ == dupIgnore) return index;
    if (duplicates_ == dupError) throw EStringListError(SDuplicateString);
  }
  items_.insert(items_.begin() + index, Item{aString, aObject});
  return index;
}

void TStringList::InsertObject(int32_t aIndex, const String& aString, void* aObject) {
  if (sorted_) throw EStringListError(SSortedListError);
  if (aIndex < 0 || aIndex > Count()) indexError(aIndex);
  items_.insert(items_.begin() + aIndex, Item{aString, aObject});
}

void TStringList::Delete(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= Count()) indexError(aIndex);
  items_.erase(items_.begin() + aIndex);
}

bool TStringList::Find(const String& aString, int32_t& aIndex) const {
  if (!sorted_) {
    aIndex = IndexOf(aString);
    return aIndex >= 0;
  }
  int32_t lo = 0;
  int32_t hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    int32_t mid = lo + (hi - lo) / 2;
    int c = CompareStrings(items_[static_cast<size_t>(mid)].s, aString);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        // With duplicates accepted any equal entry will do; otherwise there
        // is one, and the search may stop.
        if (duplicates_ != dupAccept) lo = mid;
      }
    }
  }
  aIndex = lo;
  return found;
}

int32_t TStringList::IndexOf(const String& aString) const {
  if (sorted_) {
    int32_t i;
    return Find(aString, i) ? i : -1;
  }
  for (int32_t i = 0; i < Count(); ++i) {
    if (CompareStrings(items_[static_cast<size_t>(i)].s, aString) == 0) return i;
  }
  return -1;
}

int32_t TStringList::IndexOfObject(const void* aObject) const {
  for (int32_t i = 0; i < Count(); ++i) {
    if (items_[static_cast<size_t>(i)].obj == aObject) return i;
  }
  return -1;
}

void TStringList::SetSorted(bool aSorted) {
  if (aSorted && !sorted_) Sort();
  sorted_ = aSorted;
}

void TStringList::SetCaseSensitive(bool aValue) {
  if (aValue == caseSensitive_) return;
  caseSensitive_ = aValue;
  if (sorted_) Sort();
}

void TStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [this](const Item& a, const Item& b) { return CompareStrings(a.s, b.s) < 0; });
}

int TStringList::CompareStrings(const String& s1, const String& s2) const {
  size_t n = std::min(s1.size(), s2.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t a = caseSensitive_ ? s1[i] : asciiUpper(s1[i]);
    char16_t b = caseSensitive_ ? s2[i] : asciiUpper(s2[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return s1.size() < s2.size() ? -1 : (s1.size() > s2.size() ? 1 : 0);
}
