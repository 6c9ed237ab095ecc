// Foundation: sorted string lists that compare by code unit.
//
// The platform's string list with one change: strings are compared by UTF-16
// code unit instead of the locale-aware comparison, so that lookups are fast
// and their order does not depend on the machine's locale. When the list
// ignores case only the ASCII letters a to z are folded; every other
// character (a-umlaut included) keeps its case. The objects of the entries
// are TmvObjects when `Clear(true)` is used. Not thread-safe.
//
// Calls the platform layer and the engine objects only.
#pragma once

#include "foundation/memory/mvllMemoryManager.h"
#include "platform/Classes.h"

class TmvFastStringList : public TStringList {
 public:
  TmvFastStringList() = default;
  // The sorted form (CreateSorted) with the given duplicates mode.
  explicit TmvFastStringList(TDuplicates aDups);

  using TStringList::Clear;
  // With aFreeObjects destroys the object of every entry, first to last,
  // then empties the list.
  virtual void Clear(bool aFreeObjects);
  int CompareStrings(const String& s1, const String& s2) const override;

 protected:
  static int compareOrdinal(const String& s1, const String& s2);
  static int compareAsciiFolded(const String& s1, const String& s2);
};

// Always compares case-sensitively (and says so in its CaseSensitive setting).
class TmvFastStringListCS : public TmvFastStringList {
 public:
  TmvFastStringListCS() { SetCaseSensitive(true); }
  explicit TmvFastStringListCS(TDuplicates aDups) : TmvFastStringList(aDups) { SetCaseSensitive(true); }
  int CompareStrings(const String& s1, const String& s2) const override { return compareOrdinal(s1, s2); }
};

// Always compares with the ASCII letters folded.
class TmvFastStringListIC : public TmvFastStringList {
 public:
  using TmvFastStringList::TmvFastStringList;
  int CompareStrings(const String& s1, const String& s2) const override { return compareAsciiFolded(s1, s2); }
};
