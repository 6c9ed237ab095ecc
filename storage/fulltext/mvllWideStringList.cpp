// Storage (full text): wide-string lists, comparers and transformers. See
// mvllWideStringList.h.
#include "storage/fulltext/mvllWideStringList.h"

#include <algorithm>
#include <cstring>

#include "foundation/errors/mvllErrors.h"

// ---------------------------------------------------------------------------
// Comparers

int8_t TmvWideStringByteComparer::Compare(const TmvWideString& a, const TmvWideString& b) {
  const size_t common = std::min(a.size(), b.size());
  if (common > 0) {
    const int c = std::memcmp(a.data(), b.data(), common * sizeof(char16_t));
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

int8_t mvCompareStringWOrRaise(LCID aLocale, uint32_t aFlags, const char16_t* a, int32_t aLen, const char16_t* b,
                               int32_t bLen, const char16_t* aAction) {
  const int result = CompareStringW(aLocale, aFlags, a, aLen, b, bLen);
  if (result == 0) mvRaiseNlsError(aAction);
  return int8_t(result - CSTR_EQUAL);
}

int8_t TmvWideStringCompareStringWComparer::Compare(const TmvWideString& a, const TmvWideString& b) {
  if (a.empty() || b.empty()) return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
  return mvCompareStringWOrRaise(bwscscLocale, bwscscFlags, a.data(), int32_t(a.size()), b.data(),
                                 int32_t(b.size()), u"TmvWideStringCompareStringWComparer.Compare/CompareStringW");
}

// ---------------------------------------------------------------------------
// Transformers

void TmvWideStringNullTransformer::Transform(const TmvWideString& aSource, TmvWideString& aResult) {
  aResult = aSource;
}

void TmvWideStringFoldStringTransformer::Transform(const TmvWideString& aSource, TmvWideString& aResult) {
  if (aSource.empty()) {
    aResult.clear();
    return;
  }
  const int length = int(aSource.size());
  const int needed = FoldStringW(wsfstFlags, aSource.data(), length, nullptr, 0);
  if (needed == 0) mvRaiseNlsError(u"TmvWideStringFoldStringTransformer.Transform/FoldStringW/1");
  TmvWideString result(size_t(needed) + 5, u'\0');
  const int written = FoldStringW(wsfstFlags, aSource.data(), length, result.data(), int(result.size()));
  if (written == 0) mvRaiseNlsError(u"TmvWideStringFoldStringTransformer.Transform/FoldStringW/2");
  result.resize(size_t(written));
  aResult = std::move(result);
}

TmvWideStringLocaleMappingTransformer::TmvWideStringLocaleMappingTransformer(LCID aLocale, uint32_t aFlags)
    : wslmtLocale(aLocale), wslmtFlags(aFlags) {
  if (aFlags & LCMAP_SORTKEY)
    throw EmvWideStringLocaleMappingTransformerException(
        MVERR_NOTSUPPORTED, u"LCMAP_SORTKEY is not supported by TmvWideStringLocaleMappingTransformer");
}

void TmvWideStringLocaleMappingTransformer::Transform(const TmvWideString& aSource, TmvWideString& aResult) {
  if (aSource.empty()) {
    aResult.clear();
    return;
  }
  aResult = mvWideLCMapString(aSource, wslmtLocale, wslmtFlags);
}

void TmvWideStringTruncateTransformer::Transform(const TmvWideString& aSource, TmvWideString& aResult) {
  aResult = aSource;
  if (wsttMaxLength < 0 || aResult.size() <= size_t(wsttMaxLength)) return;
  size_t keep = size_t(wsttMaxLength);
  if (keep > 0 && aResult[keep - 1] >= 0xD800 && aResult[keep - 1] <= 0xDBFF) --keep;
  aResult.resize(keep);
}

void TmvWideStringTransformerHub::Transform(const TmvWideString& aSource, TmvWideString& aResult) {
  TmvWideString current = aSource;
  for (const TmvWideStringTransformerRef& transformer : wsthTransformers) {
    TmvWideString next;
    transformer->Transform(current, next);
    current = std::move(next);
  }
  aResult = std::move(current);
}

// ---------------------------------------------------------------------------
// TmvWideStrings

TmvWideStrings::TmvWideStrings(TmvWideStringComparerRef aComparer, TmvWideStringTransformerRef aTransformer)
    : wsComparer(aComparer ? std::move(aComparer)
                           : mvCreateInterfaced<ImvWideStringComparer, TmvWideStringByteComparer>()),
      wsTransformer(aTransformer ? std::move(aTransformer)
                                 : mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringNullTransformer>()) {}

TmvWideStrings::~TmvWideStrings() = default;

void TmvWideStrings::ListError(const char16_t* aMessage, int32_t aData) { throw EStringListError(aMessage, {aData}); }

TmvWideString TmvWideStrings::Widen(const AnsiString& aString, int32_t aCodePage) {
  return mvStringToWideString(aString, aCodePage < 0 ? 0 : uint16_t(aCodePage));
}

void TmvWideStrings::SetUpdateState(bool) {}
void TmvWideStrings::SetCapacity(int32_t) {}
void* TmvWideStrings::wsGetObject(int32_t) const { return nullptr; }

int8_t TmvWideStrings::CompareStrings(const TmvWideString& a, const TmvWideString& b) const {
  return wsComparer->Compare(a, b);
}

void TmvWideStrings::TransformString(const TmvWideString& aSource, TmvWideString& aResult) const {
  wsTransformer->Transform(aSource, aResult);
}

int32_t TmvWideStrings::Add(const TmvWideString& aString) {
  const int32_t index = GetCount();
  Insert(index, aString);
  return index;
}

int32_t TmvWideStrings::AddObject(const TmvWideString& aString, void* aObject) {
  const int32_t index = Add(aString);
  wsPutObject(index, aObject);
  return index;
}

int32_t TmvWideStrings::Add(const AnsiString& aString, int32_t aCodePage) { return Add(Widen(aString, aCodePage)); }

int32_t TmvWideStrings::AddObject(const AnsiString& aString, void* aObject, int32_t aCodePage) {
  return AddObject(Widen(aString, aCodePage), aObject);
}

void TmvWideStrings::Insert(int32_t aIndex, const AnsiString& aString, int32_t aCodePage) {
  Insert(aIndex, Widen(aString, aCodePage));
}

void TmvWideStrings::InsertObject(int32_t aIndex, const TmvWideString& aString, void* aObject) {
  Insert(aIndex, aString);
  wsPutObject(aIndex, aObject);
}

void TmvWideStrings::InsertObject(int32_t aIndex, const AnsiString& aString, void* aObject, int32_t aCodePage) {
  InsertObject(aIndex, Widen(aString, aCodePage), aObject);
}

void TmvWideStrings::BeginUpdate() {
  if (wsUpdateCount++ == 0) SetUpdateState(true);
}

void TmvWideStrings::EndUpdate() {
  if (--wsUpdateCount == 0) SetUpdateState(false);
}

namespace {

// Runs aWork between BeginUpdate and EndUpdate, also when it raises.
template <typename F>
void WithinUpdate(TmvWideStrings& aList, F aWork) {
  aList.BeginUpdate();
  try {
    aWork();
  } catch (...) {
    aList.EndUpdate();
    throw;
  }
  aList.EndUpdate();
}

bool IsLineBreak(char16_t c) {
  return c == 0 || c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x2028 || c == 0x2029;
}

constexpr char16_t kLineSeparator = 0x2028;

}  // namespace

bool TmvWideStrings::Equals(const TmvWideStrings& aStrings) const {
  const int32_t count = GetCount();
  if (count != aStrings.GetCount()) return false;
  for (int32_t i = 0; i < count; ++i)
    if (CompareStrings(wsGetString(i), aStrings.wsGetString(i)) != 0) return false;
  return true;
}

void TmvWideStrings::Exchange(int32_t aIndex1, int32_t aIndex2) {
  WithinUpdate(*this, [&] {
    const TmvWideString string1 = wsGetString(aIndex1);
    void* object1 = wsGetObject(aIndex1);
    wsPutString(aIndex1, wsGetString(aIndex2));
    wsPutObject(aIndex1, wsGetObject(aIndex2));
    wsPutString(aIndex2, string1);
    wsPutObject(aIndex2, object1);
  });
}

void TmvWideStrings::Move(int32_t aCurIndex, int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  WithinUpdate(*this, [&] {
    const TmvWideString string = wsGetString(aCurIndex);
    void* object = wsGetObject(aCurIndex);
    Delete(aCurIndex);
    InsertObject(aNewIndex, string, object);
  });
}

int32_t TmvWideStrings::IndexOf(const TmvWideString& aString) const {
  TmvWideString search;
  TransformString(aString, search);
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i)
    if (CompareStrings(wsGetString(i), search) == 0) return i;
  return -1;
}

int32_t TmvWideStrings::IndexOfObject(void* aObject) const {
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i)
    if (wsGetObject(i) == aObject) return i;
  return -1;
}

TmvWideString TmvWideStrings::wsGetName(int32_t aIndex) const {
  const TmvWideString s = wsGetString(aIndex);
  const size_t eq = s.find(u'=');
  return eq == TmvWideString::npos ? TmvWideString() : s.substr(0, eq);
}

int32_t TmvWideStrings::IndexOfName(const TmvWideString& aName) const {
  TmvWideString search;
  TransformString(aName, search);
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i) {
    const TmvWideString s = wsGetString(i);
    const size_t eq = s.find(u'=');
    if (eq != TmvWideString::npos && CompareStrings(s.substr(0, eq), search) == 0) return i;
  }
  return -1;
}

TmvWideString TmvWideStrings::wsGetValue(const TmvWideString& aName) const {
  const int32_t index = IndexOfName(aName);
  if (index < 0) return {};
  const TmvWideString s = wsGetString(index);
  return s.size() > aName.size() + 1 ? s.substr(aName.size() + 1) : TmvWideString();
}

void TmvWideStrings::wsSetValue(const TmvWideString& aName, const TmvWideString& aValue) {
  int32_t index = IndexOfName(aName);
  if (!aValue.empty()) {
    if (index < 0) index = Add(TmvWideString());
    wsPutString(index, aName + u"=" + aValue);
  } else if (index >= 0) {
    Delete(index);
  }
}

TmvWideString TmvWideStrings::GetSeparatedText(const TmvWideString& aSeparators) const {
  TmvWideString text;
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i) {
    if (i > 0) text += aSeparators;
    text += wsGetString(i);
  }
  return text;
}

TmvWideString TmvWideStrings::GetText() const { return GetSeparatedText(kLineSeparator); }

void TmvWideStrings::SetText(const TmvWideString& aValue) {
  WithinUpdate(*this, [&] {
    Clear();
    size_t start = 0;
    const size_t n = aValue.size();
    while (start < n) {
      size_t stop = start;
      while (stop < n && !IsLineBreak(aValue[stop])) ++stop;
      Add(aValue.substr(start, stop - start));
      if (stop < n && aValue[stop] == 0x0D && stop + 1 < n && aValue[stop + 1] == 0x0A) ++stop;
      start = stop + 1;
    }
  });
}

void TmvWideStrings::AddWideStrings(const TmvWideStrings& aStrings) {
  const int32_t count = aStrings.GetCount();
  for (int32_t i = 0; i < count; ++i) AddObject(aStrings.wsGetString(i), aStrings.wsGetObject(i));
}

void TmvWideStrings::AddStrings(const TStrings& aStrings, int32_t) {
  WithinUpdate(*this, [&] {
    const int32_t count = aStrings.GetCount();
    for (int32_t i = 0; i < count; ++i) AddObject(aStrings.Get(i), aStrings.GetObject(i));
  });
}

void TmvWideStrings::AddStrings(const TmvWideStrings& aStrings) {
  WithinUpdate(*this, [&] { AddWideStrings(aStrings); });
}

void TmvWideStrings::Assign(const TPersistent* aSource) {
  if (const auto* wide = dynamic_cast<const TmvWideStrings*>(aSource)) {
    WithinUpdate(*this, [&] {
      Clear();
      AddWideStrings(*wide);
    });
    return;
  }
  TmvPersistent::Assign(aSource);
}

void TmvWideStrings::Assign(const TStrings& aSource) {
  WithinUpdate(*this, [&] {
    Clear();
    AddStrings(aSource);
  });
}

void TmvWideStrings::AssignTo(TStrings& aDest) const {
  aDest.BeginUpdate();
  try {
    aDest.Clear();
    const int32_t count = GetCount();
    for (int32_t i = 0; i < count; ++i) aDest.AddObject(wsGetString(i), wsGetObject(i));
  } catch (...) {
    aDest.EndUpdate();
    throw;
  }
  aDest.EndUpdate();
}

void TmvWideStrings::AssignTo(TPersistent* aDest) const {
  if (auto* wide = dynamic_cast<TmvWideStrings*>(aDest)) {
    wide->Assign(this);
    return;
  }
  TmvPersistent::AssignTo(aDest);
}

bool TmvWideStrings::ShouldWriteWideStrings(const TPersistent* aAncestor) const {
  if (!aAncestor) return GetCount() > 0;
  const auto* wide = dynamic_cast<const TmvWideStrings*>(aAncestor);
  return !wide || !Equals(*wide);
}

void TmvWideStrings::WriteWideStrings(TWriter& aWriter) const {
  // Always as a wide string: the text may hold what no code page can.
  const TmvWideString text = GetText();
  const uint32_t length = uint32_t(text.size());
  const uint8_t header[5] = {vaWString, uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16),
                             uint8_t(length >> 24)};
  aWriter.Write(header, 5);
  for (char16_t unit : text) {
    const uint8_t bytes[2] = {uint8_t(unit), uint8_t(unit >> 8)};
    aWriter.Write(bytes, 2);
  }
}

void TmvWideStrings::ReadWideStrings(TReader& aReader) {
  switch (aReader.NextValue()) {
    case vaString:
    case vaLString:
    case vaUTF8String:
    case vaWString:
      SetText(aReader.ReadString());
      return;
    default:
      // Skips the value and raises the invalid-property-value error.
      aReader.CheckValue(vaWString);
  }
}

void TmvWideStrings::LoadFromStream(TStream& aStream, bool aForceUnicode, int32_t aCodePage) {
  WithinUpdate(*this, [&] {
    const int64_t size = aStream.GetSize() - aStream.GetPosition();
    if (size <= 0) {
      SetText(TmvWideString());
      return;
    }
    uint8_t mark[2] = {0, 0};
    const int32_t got = size >= 2 ? aStream.Read(mark, 2) : 0;
    const bool little = got == 2 && mark[0] == 0xFF && mark[1] == 0xFE;
    const bool big = got == 2 && mark[0] == 0xFE && mark[1] == 0xFF;
    if (little || big || aForceUnicode) {
      if (!little && !big) aStream.Seek(-int64_t(got), soCurrent);
      const int64_t units = (little || big ? size - 2 : size) / 2;
      std::vector<uint8_t> bytes(size_t(units) * 2);
      aStream.ReadBuffer(bytes.data(), int64_t(bytes.size()));
      TmvWideString text(size_t(units), u'\0');
      for (size_t i = 0; i < size_t(units); ++i)
        text[i] = big ? char16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]) : char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
      SetText(text);
      return;
    }
    aStream.Seek(-int64_t(got), soCurrent);
    AnsiString bytes(size_t(size), '\0');
    aStream.ReadBuffer(bytes.data(), size);
    SetText(Widen(bytes, aCodePage));
  });
}

void TmvWideStrings::LoadFromFile(const String& aFileName, bool aForceUnicode, int32_t aCodePage) {
  TFileStream stream(aFileName, fmOpenRead | fmShareDenyNone);
  LoadFromStream(stream, aForceUnicode, aCodePage);
}

void TmvWideStrings::SaveToStream(TStream& aStream, bool aUnicode, bool aWithBOM, int32_t aCodePage) {
  const TmvWideString text = GetText();
  if (!aUnicode) {
    const AnsiString bytes = mvWideStringToString(text, aCodePage < 0 ? 0 : uint16_t(aCodePage));
    aStream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    return;
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2 + 2);
  if (aWithBOM) bytes.insert(bytes.end(), {0xFF, 0xFE});
  for (char16_t unit : text) bytes.insert(bytes.end(), {uint8_t(unit), uint8_t(unit >> 8)});
  aStream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
}

void TmvWideStrings::SaveToFile(const String& aFileName, bool aUnicode, bool aWithBOM, int32_t aCodePage) {
  TFileStream stream(aFileName, fmCreate);
  SaveToStream(stream, aUnicode, aWithBOM, aCodePage);
}

// ---------------------------------------------------------------------------
// TmvWideStringList

TmvWideStringList::~TmvWideStringList() = default;

void TmvWideStringList::CheckIndex(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= wslCount) ListError(SListIndexError, aIndex);
}

void TmvWideStringList::Changed() {
  if (wsUpdateCount == 0 && wslOnChange) wslOnChange(this);
}

void TmvWideStringList::Changing() {
  if (wsUpdateCount == 0 && wslOnChanging) wslOnChanging(this);
}

void TmvWideStringList::SetUpdateState(bool aUpdating) {
  if (aUpdating)
    Changing();
  else
    Changed();
}

void TmvWideStringList::SetCapacity(int32_t aCapacity) {
  if (aCapacity < 0) ListError(SListCapacityError, aCapacity);
  wslList.resize(size_t(aCapacity));
  if (aCapacity < wslCount) wslCount = aCapacity;
}

void TmvWideStringList::Grow() {
  const int32_t capacity = GetCapacity();
  const int32_t delta = capacity > 64 ? capacity / 4 : capacity > 8 ? 16 : 4;
  SetCapacity(capacity + delta);
}

TmvWideString TmvWideStringList::wsGetString(int32_t aIndex) const {
  CheckIndex(aIndex);
  return wslList[size_t(aIndex)].wsiString;
}

void* TmvWideStringList::wsGetObject(int32_t aIndex) const {
  CheckIndex(aIndex);
  return wslList[size_t(aIndex)].wsiObject;
}

void TmvWideStringList::wsPutString(int32_t aIndex, const TmvWideString& aString) {
  if (wslSorted) ListError(SSortedListError, 0);
  CheckIndex(aIndex);
  TmvWideString stored;
  TransformString(aString, stored);
  Changing();
  wslList[size_t(aIndex)].wsiString = std::move(stored);
  Changed();
}

void TmvWideStringList::wsPutObject(int32_t aIndex, void* aObject) {
  CheckIndex(aIndex);
  Changing();
  wslList[size_t(aIndex)].wsiObject = aObject;
  Changed();
}

void TmvWideStringList::Clear() {
  if (wslCount == 0) return;
  Changing();
  TmvWideStringItemList().swap(wslList);
  wslCount = 0;
  Changed();
}

bool TmvWideStringList::Find(const TmvWideString& aString, int32_t& aIndex) const {
  TmvWideString search;
  TransformString(aString, search);
  int32_t low = 0;
  int32_t high = wslCount - 1;
  while (low <= high) {
    const int32_t middle = int32_t(uint32_t(low + high) >> 1);
    const int8_t c = CompareStrings(wslList[size_t(middle)].wsiString, search);
    if (c < 0) {
      low = middle + 1;
    } else if (c > 0) {
      high = middle - 1;
    } else {
      aIndex = middle;
      return true;
    }
  }
  aIndex = low;
  return false;
}

int32_t TmvWideStringList::Add(const TmvWideString& aString) {
  int32_t index = wslCount;
  if (wslSorted && Find(aString, index)) {
    if (wslDuplicates == dupIgnore) return index;
    if (wslDuplicates == dupError) ListError(SDuplicateString, 0);
  }
  InsertItem(index, aString);
  return index;
}

void TmvWideStringList::Insert(int32_t aIndex, const TmvWideString& aString) {
  if (wslSorted) ListError(SSortedListError, 0);
  if (aIndex < 0 || aIndex > wslCount) ListError(SListIndexError, aIndex);
  InsertItem(aIndex, aString);
}

void TmvWideStringList::InsertItem(int32_t aIndex, const TmvWideString& aString) {
  TmvWideString stored;
  TransformString(aString, stored);
  Changing();
  if (GetCapacity() == wslCount) Grow();
  std::move_backward(wslList.begin() + aIndex, wslList.begin() + wslCount, wslList.begin() + wslCount + 1);
  wslList[size_t(aIndex)] = {std::move(stored), nullptr};
  ++wslCount;
  Changed();
}

void TmvWideStringList::Delete(int32_t aIndex) {
  CheckIndex(aIndex);
  Changing();
  std::move(wslList.begin() + aIndex + 1, wslList.begin() + wslCount, wslList.begin() + aIndex);
  --wslCount;
  wslList[size_t(wslCount)] = {};
  Changed();
}

void TmvWideStringList::ExchangeItems(int32_t aIndex1, int32_t aIndex2) {
  std::swap(wslList[size_t(aIndex1)], wslList[size_t(aIndex2)]);
}

void TmvWideStringList::Exchange(int32_t aIndex1, int32_t aIndex2) {
  CheckIndex(aIndex1);
  CheckIndex(aIndex2);
  Changing();
  ExchangeItems(aIndex1, aIndex2);
  Changed();
}

int32_t TmvWideStringList::IndexOf(const TmvWideString& aString) const {
  if (!wslSorted) return TmvWideStrings::IndexOf(aString);
  int32_t index = -1;
  return Find(aString, index) ? index : -1;
}

// Hoare partition around the middle item, following the pivot when a swap
// moves it; recursion on the left part, iteration on the right.
void TmvWideStringList::QuickSort(int32_t aLow, int32_t aHigh) {
  while (aLow < aHigh) {
    int32_t i = aLow;
    int32_t j = aHigh;
    int32_t pivot = int32_t(uint32_t(aLow + aHigh) >> 1);
    do {
      while (CompareStrings(wslList[size_t(i)].wsiString, wslList[size_t(pivot)].wsiString) < 0) ++i;
      while (CompareStrings(wslList[size_t(j)].wsiString, wslList[size_t(pivot)].wsiString) > 0) --j;
      if (i <= j) {
        if (i != j) ExchangeItems(i, j);
        if (pivot == i)
          pivot = j;
        else if (pivot == j)
          pivot = i;
        ++i;
        --j;
      }
    } while (i <= j);
    if (aLow < j) QuickSort(aLow, j);
    aLow = i;
  }
}

void TmvWideStringList::Sort() {
  if (wslSorted || wslCount < 2) return;
  Changing();
  QuickSort(0, wslCount - 1);
  Changed();
}

void TmvWideStringList::SetSorted(bool aValue) {
  if (aValue == wslSorted) return;
  if (aValue) Sort();
  wslSorted = aValue;
}
