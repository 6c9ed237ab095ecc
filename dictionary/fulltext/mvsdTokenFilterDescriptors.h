// Data dictionary: token filter descriptors.
//
// Token filters say how the text of a full-text index is cut into tokens and
// normalised before it is indexed. They live in the token filter hubs of a
// full-text index, an extractor or a token index (mvsdFulltextDescriptors.h)
// and are applied in hub order by the full-text engines of table storage.
// Each class here holds its settings and their stream part:
//
// | class                                 | settings (default)                       |
// |---------------------------------------|------------------------------------------|
// | `TmvBaseSeparatorTokenFilterDescriptor` | SeparatorDistance (1): the smallest      |
// |                                       | position step after a run of separators  |
// | `TmvWideCharSeparatorTokenFilterDescriptor` | SeparatorChar (U+0020)             |
// | `TmvCategorySeparatorTokenFilterDescriptor` | SeparatorCategories (spaces,       |
// |                                       | line and paragraph separators, opening,  |
// |                                       | closing and other punctuation, quotes,   |
// |                                       | segment separators, white space)         |
// | lower / upper / custom locale mapping | Flags: LCMapString flags ($100, $200,    |
// |                                       | custom 0)                                |
// | precompose / decompose / custom fold  | Flags: FoldString flags ($20, $40,       |
// |                                       | custom 0)                                |
// | `TmvStringReplaceTokenFilterDescriptor` | replace items (old, new, kind, case)   |
//
// A filter checks none of its settings, and two filters of one class are
// equal whatever their settings: the dictionary's comparison asks whether
// the table's structure is the same, not whether its text is cut alike.
//
// Layer: data dictionary; calls the full-text descriptors' filter root and
// the foundation's character categories. Threading: as every dictionary
// item. Setters call CheckReadOnly (15500) except the replace items', which
// the caller guards.
#pragma once

#include <vector>

#include "dictionary/fulltext/mvsdFulltextDescriptors.h"
#include "foundation/types/mvllWideString.h"

MV_DECLARE_EXCEPTION(EmvTokenFilterDescriptorException, EmvFulltextDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvStringReplaceTokenFilterDescriptorException, EmvTokenFilterDescriptorException)

// The categories a new category separator splits at.
inline constexpr TmvCharacterCategories mvDefaultSeparatorCategories =
    mvCategoriesOf({ccSeparatorSpace, ccSeparatorLine, ccSeparatorParagraph, ccPunctuationOpen, ccPunctuationClose,
                    ccPunctuationInitialQuote, ccPunctuationFinalQuote, ccPunctuationOther, ccSegmentSeparator,
                    ccWhiteSpace, ccSpaceOther});

// The mapping flags of the fixed filters (the platform's LCMapString and
// FoldString flag values).
inline constexpr uint32_t mvLCMapLowercase = 0x100;
inline constexpr uint32_t mvLCMapUppercase = 0x200;
inline constexpr uint32_t mvMapPrecomposed = 0x20;
inline constexpr uint32_t mvMapComposite = 0x40;

// ---------------------------------------------------------------------------
// Separators

class TmvBaseSeparatorTokenFilterDescriptor : public TmvBaseTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTokenFilterDescriptor::TmvBaseTokenFilterDescriptor;

  int32_t GetSeparatorDistance() const { return bstfsSeparatorDistance; }
  void SetSeparatorDistance(int32_t aValue);

  // integer 1, integer SeparatorDistance.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  int32_t bstfsSeparatorDistance = 1;
};

// Splits at one character.
class TmvWideCharSeparatorTokenFilterDescriptor : public TmvBaseSeparatorTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseSeparatorTokenFilterDescriptor::TmvBaseSeparatorTokenFilterDescriptor;

  char16_t GetSeparatorChar() const { return wcstfsSeparatorChar; }
  void SetSeparatorChar(char16_t aValue);

  // integer 1, integer the character's code. A code outside 0..$FFFF read
  // from a stream raises 15498.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  char16_t wcstfsSeparatorChar = u' ';
};

// Splits at every character of the categories.
class TmvCategorySeparatorTokenFilterDescriptor : public TmvBaseSeparatorTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseSeparatorTokenFilterDescriptor::TmvBaseSeparatorTokenFilterDescriptor;

  TmvCharacterCategories GetSeparatorCategories() const { return cstfsSeparatorCategories; }
  // Bits above the 55 categories are dropped.
  void SetSeparatorCategories(TmvCharacterCategories aValue);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  TmvCharacterCategories cstfsSeparatorCategories = mvDefaultSeparatorCategories;
};

// ---------------------------------------------------------------------------
// Locale mapping and string folding

// Maps each token with LCMapString flags.
class TmvBaseLocaleMappingTokenFilterDescriptor : public TmvBaseTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTokenFilterDescriptor::TmvBaseTokenFilterDescriptor;
  virtual uint32_t GetFlags() const = 0;
  // integer 1.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

class TmvLowercaseLocaleMappingTokenFilterDescriptor : public TmvBaseLocaleMappingTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseLocaleMappingTokenFilterDescriptor::TmvBaseLocaleMappingTokenFilterDescriptor;
  uint32_t GetFlags() const override { return mvLCMapLowercase; }
};

class TmvUppercaseLocaleMappingTokenFilterDescriptor : public TmvBaseLocaleMappingTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseLocaleMappingTokenFilterDescriptor::TmvBaseLocaleMappingTokenFilterDescriptor;
  uint32_t GetFlags() const override { return mvLCMapUppercase; }
};

class TmvCustomLocaleMappingTokenFilterDescriptor : public TmvBaseLocaleMappingTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseLocaleMappingTokenFilterDescriptor::TmvBaseLocaleMappingTokenFilterDescriptor;
  uint32_t GetFlags() const override { return clmtfdFlags; }
  void SetFlags(uint32_t aValue);
  // integer 1, integer Flags.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  uint32_t clmtfdFlags = 0;
};

// Folds each token with FoldString flags.
class TmvBaseFoldStringTokenFilterDescriptor : public TmvBaseTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTokenFilterDescriptor::TmvBaseTokenFilterDescriptor;
  virtual uint32_t GetFlags() const = 0;
  // integer 1.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

class TmvPreComposeFoldStringTokenFilterDescriptor : public TmvBaseFoldStringTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseFoldStringTokenFilterDescriptor::TmvBaseFoldStringTokenFilterDescriptor;
  uint32_t GetFlags() const override { return mvMapPrecomposed; }
};

class TmvDecomposeFoldStringTokenFilterDescriptor : public TmvBaseFoldStringTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseFoldStringTokenFilterDescriptor::TmvBaseFoldStringTokenFilterDescriptor;
  uint32_t GetFlags() const override { return mvMapComposite; }
};

class TmvCustomFoldStringTokenFilterDescriptor : public TmvBaseFoldStringTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseFoldStringTokenFilterDescriptor::TmvBaseFoldStringTokenFilterDescriptor;
  uint32_t GetFlags() const override { return cfstfdFlags; }
  void SetFlags(uint32_t aValue);
  // integer 1, integer Flags.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  uint32_t cfstfdFlags = 0;
};

// ---------------------------------------------------------------------------
// String replacement

// Whether a pattern must be the whole token, and how many of its places
// are replaced.
enum TmvStringReplaceKind : uint8_t { srkWhole, srkOne, srkAll };

struct TmvStringReplaceTokenFilterItem {
  String srtfiOldPattern;
  String srtfiNewPattern;
  TmvStringReplaceKind srtfiReplaceKind = srkWhole;
  bool srtfiIgnoreCase = false;
};

// Replaces patterns in each token, item by item. The item operations do
// not call CheckReadOnly; every indexed one checks 0 <= aIndex < ItemCount
// and raises "Index out of bounds: %d" otherwise.
class TmvStringReplaceTokenFilterDescriptor : public TmvBaseTokenFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTokenFilterDescriptor::TmvBaseTokenFilterDescriptor;

  // Appends an item; returns its index.
  int32_t AddItem(const String& aOldPattern, const String& aNewPattern, TmvStringReplaceKind aReplaceKind,
                  bool aIgnoreCase);
  // Exchanges the items at the two positions.
  void MoveItem(int32_t aFrom, int32_t aTo);
  // Removes the item and closes the gap.
  void RemoveItem(int32_t aIndex);
  int32_t ItemCount() const { return int32_t(srtfdItems.size()); }

  const String& GetOldPattern(int32_t aIndex) const { return At(aIndex).srtfiOldPattern; }
  const String& GetNewPattern(int32_t aIndex) const { return At(aIndex).srtfiNewPattern; }
  TmvStringReplaceKind GetReplaceKind(int32_t aIndex) const { return At(aIndex).srtfiReplaceKind; }
  bool GetIgnoreCase(int32_t aIndex) const { return At(aIndex).srtfiIgnoreCase; }
  void SetOldPattern(int32_t aIndex, const String& aValue) { At(aIndex).srtfiOldPattern = aValue; }
  void SetNewPattern(int32_t aIndex, const String& aValue) { At(aIndex).srtfiNewPattern = aValue; }
  void SetReplaceKind(int32_t aIndex, TmvStringReplaceKind aValue) { At(aIndex).srtfiReplaceKind = aValue; }
  void SetIgnoreCase(int32_t aIndex, bool aValue) { At(aIndex).srtfiIgnoreCase = aValue; }

  // integer 1, integer n, list begin, n times: string old pattern, string
  // new pattern, integer kind, boolean ignore case; list end. Reading
  // replaces all items; a negative count, an unknown kind or a list that
  // does not end after n items raise 15498.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  const TmvStringReplaceTokenFilterItem& At(int32_t aIndex) const;
  TmvStringReplaceTokenFilterItem& At(int32_t aIndex);

  std::vector<TmvStringReplaceTokenFilterItem> srtfdItems;
};
