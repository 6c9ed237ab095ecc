// Data dictionary: token filter descriptors. See mvsdTokenFilterDescriptors.h.
#include "dictionary/fulltext/mvsdTokenFilterDescriptors.h"

#include <utility>

namespace {

constexpr char16_t SIndexOutOfBounds[] = u"Index out of bounds: %d";

// The category set as it is stored: 7 raw bytes, bit n of byte n div 8
// (least significant bit first) for category ordinal n.
constexpr int kCategoryBytes = 7;

[[noreturn]] void RaiseIncompatibleStream() {
  mvRaiseCode<EmvTokenFilterDescriptorException>(MVERR_INCOMPATIBLESTREAM);
}

}  // namespace

// ---------------------------------------------------------------------------
// Class records: every filter is in the token filter family's registry.

constinit const TmvDictionaryItemClassRef TmvBaseSeparatorTokenFilterDescriptor::StaticClass{
    {{u"TmvBaseSeparatorTokenFilterDescriptor", &TmvBaseTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvWideCharSeparatorTokenFilterDescriptor::StaticClass{
    {{u"TmvWideCharSeparatorTokenFilterDescriptor", &TmvBaseSeparatorTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvWideCharSeparatorTokenFilterDescriptor>},
    &mvCreateItem<TmvWideCharSeparatorTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvCategorySeparatorTokenFilterDescriptor::StaticClass{
    {{u"TmvCategorySeparatorTokenFilterDescriptor", &TmvBaseSeparatorTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvCategorySeparatorTokenFilterDescriptor>},
    &mvCreateItem<TmvCategorySeparatorTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBaseLocaleMappingTokenFilterDescriptor::StaticClass{
    {{u"TmvBaseLocaleMappingTokenFilterDescriptor", &TmvBaseTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass{
    {{u"TmvLowercaseLocaleMappingTokenFilterDescriptor", &TmvBaseLocaleMappingTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvLowercaseLocaleMappingTokenFilterDescriptor>},
    &mvCreateItem<TmvLowercaseLocaleMappingTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass{
    {{u"TmvUppercaseLocaleMappingTokenFilterDescriptor", &TmvBaseLocaleMappingTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvUppercaseLocaleMappingTokenFilterDescriptor>},
    &mvCreateItem<TmvUppercaseLocaleMappingTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvCustomLocaleMappingTokenFilterDescriptor::StaticClass{
    {{u"TmvCustomLocaleMappingTokenFilterDescriptor", &TmvBaseLocaleMappingTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvCustomLocaleMappingTokenFilterDescriptor>},
    &mvCreateItem<TmvCustomLocaleMappingTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBaseFoldStringTokenFilterDescriptor::StaticClass{
    {{u"TmvBaseFoldStringTokenFilterDescriptor", &TmvBaseTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvPreComposeFoldStringTokenFilterDescriptor::StaticClass{
    {{u"TmvPreComposeFoldStringTokenFilterDescriptor", &TmvBaseFoldStringTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvPreComposeFoldStringTokenFilterDescriptor>},
    &mvCreateItem<TmvPreComposeFoldStringTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvDecomposeFoldStringTokenFilterDescriptor::StaticClass{
    {{u"TmvDecomposeFoldStringTokenFilterDescriptor", &TmvBaseFoldStringTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvDecomposeFoldStringTokenFilterDescriptor>},
    &mvCreateItem<TmvDecomposeFoldStringTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvCustomFoldStringTokenFilterDescriptor::StaticClass{
    {{u"TmvCustomFoldStringTokenFilterDescriptor", &TmvBaseFoldStringTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvCustomFoldStringTokenFilterDescriptor>},
    &mvCreateItem<TmvCustomFoldStringTokenFilterDescriptor>};
constinit const TmvDictionaryItemClassRef TmvStringReplaceTokenFilterDescriptor::StaticClass{
    {{u"TmvStringReplaceTokenFilterDescriptor", &TmvBaseTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvStringReplaceTokenFilterDescriptor>},
    &mvCreateItem<TmvStringReplaceTokenFilterDescriptor>};

// ---------------------------------------------------------------------------
// Separators

void TmvBaseSeparatorTokenFilterDescriptor::SetSeparatorDistance(int32_t aValue) {
  CheckReadOnly();
  bstfsSeparatorDistance = aValue;
}

void TmvBaseSeparatorTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(bstfsSeparatorDistance);
}

void TmvBaseSeparatorTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  bstfsSeparatorDistance = aReader.ReadInteger();
}

void TmvWideCharSeparatorTokenFilterDescriptor::SetSeparatorChar(char16_t aValue) {
  CheckReadOnly();
  wcstfsSeparatorChar = aValue;
}

void TmvWideCharSeparatorTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseSeparatorTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(int32_t(wcstfsSeparatorChar));
}

void TmvWideCharSeparatorTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseSeparatorTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  const int32_t code = aReader.ReadInteger();
  if (code < 0 || code > 0xFFFF) RaiseIncompatibleStream();
  wcstfsSeparatorChar = char16_t(code);
}

void TmvCategorySeparatorTokenFilterDescriptor::SetSeparatorCategories(TmvCharacterCategories aValue) {
  CheckReadOnly();
  cstfsSeparatorCategories = aValue & mvAllCharacterCategories;
}

// integer 1, then the set as 7 raw bytes without a value tag.
void TmvCategorySeparatorTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseSeparatorTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  uint8_t bytes[kCategoryBytes];
  for (int i = 0; i < kCategoryBytes; ++i) bytes[i] = uint8_t(cstfsSeparatorCategories >> (8 * i));
  aWriter.Write(bytes, kCategoryBytes);
}

// The bit above the last category that the seventh byte holds is dropped.
void TmvCategorySeparatorTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseSeparatorTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  uint8_t bytes[kCategoryBytes];
  aReader.Read(bytes, kCategoryBytes);
  TmvCharacterCategories set = 0;
  for (int i = 0; i < kCategoryBytes; ++i) set |= TmvCharacterCategories(bytes[i]) << (8 * i);
  cstfsSeparatorCategories = set & mvAllCharacterCategories;
}

// ---------------------------------------------------------------------------
// Locale mapping and string folding

void TmvBaseLocaleMappingTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvBaseLocaleMappingTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

void TmvCustomLocaleMappingTokenFilterDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  clmtfdFlags = aValue;
}

void TmvCustomLocaleMappingTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseLocaleMappingTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(int32_t(clmtfdFlags));
}

void TmvCustomLocaleMappingTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseLocaleMappingTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  clmtfdFlags = uint32_t(aReader.ReadInteger());
}

void TmvBaseFoldStringTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvBaseFoldStringTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

void TmvCustomFoldStringTokenFilterDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  cfstfdFlags = aValue;
}

void TmvCustomFoldStringTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseFoldStringTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(int32_t(cfstfdFlags));
}

void TmvCustomFoldStringTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseFoldStringTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  cfstfdFlags = uint32_t(aReader.ReadInteger());
}

// ---------------------------------------------------------------------------
// TmvStringReplaceTokenFilterDescriptor

const TmvStringReplaceTokenFilterItem& TmvStringReplaceTokenFilterDescriptor::At(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= ItemCount())
    throw EmvStringReplaceTokenFilterDescriptorException(MVERR_INVALIDDESCNO, SIndexOutOfBounds, {aIndex});
  return srtfdItems[size_t(aIndex)];
}

TmvStringReplaceTokenFilterItem& TmvStringReplaceTokenFilterDescriptor::At(int32_t aIndex) {
  return const_cast<TmvStringReplaceTokenFilterItem&>(std::as_const(*this).At(aIndex));
}

int32_t TmvStringReplaceTokenFilterDescriptor::AddItem(const String& aOldPattern, const String& aNewPattern,
                                                       TmvStringReplaceKind aReplaceKind, bool aIgnoreCase) {
  srtfdItems.push_back({aOldPattern, aNewPattern, aReplaceKind, aIgnoreCase});
  return ItemCount() - 1;
}

void TmvStringReplaceTokenFilterDescriptor::MoveItem(int32_t aFrom, int32_t aTo) {
  std::swap(At(aFrom), At(aTo));
}

void TmvStringReplaceTokenFilterDescriptor::RemoveItem(int32_t aIndex) {
  At(aIndex);
  srtfdItems.erase(srtfdItems.begin() + aIndex);
}

void TmvStringReplaceTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(ItemCount());
  aWriter.WriteListBegin();
  for (const TmvStringReplaceTokenFilterItem& item : srtfdItems) {
    aWriter.WriteString(item.srtfiOldPattern);
    aWriter.WriteString(item.srtfiNewPattern);
    aWriter.WriteInteger(int32_t(item.srtfiReplaceKind));
    aWriter.WriteBoolean(item.srtfiIgnoreCase);
  }
  aWriter.WriteListEnd();
}

// The items are collected first, so that a damaged stream leaves the
// filter's items as they were; the count is not trusted for a reservation.
void TmvStringReplaceTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) RaiseIncompatibleStream();
  std::vector<TmvStringReplaceTokenFilterItem> items;
  aReader.ReadListBegin();
  for (int32_t i = 0; i < count; ++i) {
    TmvStringReplaceTokenFilterItem item;
    item.srtfiOldPattern = aReader.ReadString();
    item.srtfiNewPattern = aReader.ReadString();
    const int32_t kind = aReader.ReadInteger();
    if (kind < srkWhole || kind > srkAll) RaiseIncompatibleStream();
    item.srtfiReplaceKind = TmvStringReplaceKind(kind);
    item.srtfiIgnoreCase = aReader.ReadBoolean();
    items.push_back(std::move(item));
  }
  if (!aReader.EndOfList()) RaiseIncompatibleStream();
  aReader.ReadListEnd();
  srtfdItems = std::move(items);
}
