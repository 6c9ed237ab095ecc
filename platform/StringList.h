// Platform layer: the string list - strings, each with an untyped object
// pointer, optionally kept sorted, with a duplicates mode.
//
// A sorted list keeps its strings in the order of the virtual
// `CompareStrings` and finds them by binary search; adding an equal string
// ignores it (dupIgnore: the existing index is returned), adds it
// (dupAccept) or raises EStringListError (dupError). The list never owns its
// objects; whoever puts them in frees them.
//
// The platform's own compare is locale-aware. Until the national-language
// layer provides that comparison, the base compares by UTF-16 code unit with
// ASCII letters folded when the list ignores case; descendants that need a
// fixed order override CompareStrings. Not thread-safe.
// Nothing here calls into the engine.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/SysUtils.h"

enum TDuplicates { dupIgnore, dupAccept, dupError };

// The platform's list errors, with the offending value.
inline constexpr char16_t SListIndexError[] = u"リストのインデックスが範囲を超えています (%d)";
inline constexpr char16_t SListCapacityError[] = u"リストの容量が超えました (%d)";
inline constexpr char16_t SListCountError[] = u"リストの個数を超えました (%d)";
inline constexpr char16_t SDuplicateString[] = u"String list does not allow duplicates";
inline constexpr char16_t SSortedListError[] = u"Operation not allowed on sorted list";

class TStringList {
 public:
  TStringList() = default;
  virtual ~TStringList() = default;
  TStringList(const TStringList&) = delete;
  TStringList& operator=(const TStringList&) = delete;

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Range-checked (EStringListError with the index).
  const String& Strings(int32_t aIndex) const;
  void* Objects(int32_t aIndex) const;
  void PutObject(int32_t aIndex, void* aObject);

  // Appends (unsorted) or inserts at the string's place (sorted), applying the
  // duplicates mode; returns the index.
  int32_t Add(const String& aString) { return AddObject(aString, nullptr); }
  virtual int32_t AddObject(const String& aString, void* aObject);
  // Unsorted lists only (EStringListError on a sorted one); 0 to Count.
  void InsertObject(int32_t aIndex, const String& aString, void* aObject);
  void Delete(int32_t aIndex);
  void Clear() { items_.clear(); }
  // Sorted: binary search, true with the index of an equal string (the first
  // of equals unless dupAccept) or false with the insertion index.
  // Unsorted: a linear search.
  virtual bool Find(const String& aString, int32_t& aIndex) const;
  int32_t IndexOf(const String& aString) const;
  int32_t IndexOfObject(const void* aObject) const;

  bool Sorted() const { return sorted_; }
  void SetSorted(bool aSorted);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates aDups) { duplicates_ = aDups; }
  bool CaseSensitive() const { return caseSensitive_; }
  // Re-sorts a sorted list in the new order.
  void SetCaseSensitive(bool aValue);
  void Sort();

  void BeginUpdate() { ++updateCount_; }
  void EndUpdate() { --updateCount_; }

  // <0, 0, >0 for s1 before, equal to, after s2.
  virtual int CompareStrings(const String& s1, const String& s2) const;

 private:
  struct Item {
    String s;
    void* obj;
  };
  [[noreturn]] static void indexError(int32_t aIndex);

  std::vector<Item> items_;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  TDuplicates duplicates_ = dupIgnore;
  int32_t updateCount_ = 0;
};
