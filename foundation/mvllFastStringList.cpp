// Foundation: sorted string lists that compare by code unit. See the header.
#include "foundation/mvllFastStringList.h"

#include <algorithm>

namespace {

char16_t asciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

template <bool Fold>
int compareUnits(const String& s1, const String& s2) {
  size_t n = std::min(s1.size(), s2.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t a = Fold ? asciiUpper(s1[i]) : s1[i];
    char16_t b = Fold ? asciiUpper(s2[i]) : s2[i];
    if (a != b) return a < b ? -1 : 1;
  }
  return s1.size() < s2.size() ? -1 : (s1.size() > s2.size() ? 1 : 0);
}

}  // namespace

TmvFastStringList::TmvFastStringList(TDuplicates aDups) {
  SetDuplicates(aDups);
  SetSorted(true);
}

void TmvFastStringList::Clear(bool aFreeObjects) {
  if (aFreeObjects) {
    for (int32_t i = 0; i < Count(); ++i) {
      // Taken out first, so that a destructor that raises cannot leave the
      // entry pointing at a freed object.
      auto* o = static_cast<TmvObject*>(Objects(i));
      PutObject(i, nullptr);
      mvFreeAndNil(o);
    }
  }
  TStringList::Clear();
}

int TmvFastStringList::CompareStrings(const String& s1, const String& s2) const {
  return CaseSensitive() ? compareOrdinal(s1, s2) : compareAsciiFolded(s1, s2);
}

int TmvFastStringList::compareOrdinal(const String& s1, const String& s2) { return compareUnits<false>(s1, s2); }
int TmvFastStringList::compareAsciiFolded(const String& s1, const String& s2) { return compareUnits<true>(s1, s2); }
