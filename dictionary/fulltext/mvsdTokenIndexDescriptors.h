// Data dictionary: token index descriptors, their key descriptors and the
// bit-array storage handlers.
//
// A token index says where the tokens of a full-text index are kept. A
// bit-array token index (`TmvBitArrayTokenIndexDescriptor`) keeps, per
// token, bit arrays of record locations: its tokens go into a B*-tree index
// (and optionally a reverse one) of the full-text descriptor's token
// indices descriptor "Fulltext$Indices", named after the full-text index
// and the token index ("Docs$Default", "Docs$Default$Reverse"), and its bit
// arrays are stored through a storage handler in the BLOB descriptor
// "Fulltext$Blob". A main-index token index
// (`TmvMainIndexTokenIndexDescriptor`) keeps its tokens in one of the
// table's own main indexes, whose key must be a main-index token key.
//
// Key lengths (the byte layout of the keys belongs to the token key
// engines):
//   bit-array token key:  2 * MaxTokenSize + 4, plus 2 with PerFieldIndex
//   main-index token key: 2 * MaxTokenSize + 2, plus 4 with IncludeLocation
// Neither key holds nulls.
//
// Ownership: a bit-array token index owns its storage handler; the
// B*-tree indexes are owned by the token indices descriptor, and a token
// index that goes removes its two. The handler is not streamed: a
// token index read from a stream gets it back when it is checked.
//
// Layer: data dictionary; calls the full-text descriptors, the index and
// key descriptors and the locale descriptor. Threading: as every dictionary
// item. Every setter calls CheckReadOnly first (15500).
#pragma once

#include "dictionary/fulltext/mvsdFulltextDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "platform/Nls.h"

class TmvBaseBitArrayStorageHandlerDescriptor;

MV_DECLARE_EXCEPTION(EmvTokenIndexDescriptorException, EmvFulltextDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvTokenKeyDescriptorException, EmvBaseKeyDescriptorException)

// The CompareString flag a main-index token key gets for an index that
// ignores case.
inline constexpr uint32_t mvNormIgnoreCase = 1;

// ---------------------------------------------------------------------------
// Key descriptors

// The key of a bit-array token index's B*-tree index. Its stream part,
// after the key descriptor part: integer 1, integer MaxTokenSize, boolean
// PerFieldIndex, boolean Reverse, integer Locale, integer Flags.
class TmvBitArrayTokenKeyDescriptor : public TmvBaseKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseKeyDescriptor::TmvBaseKeyDescriptor;

  int32_t GetKeyLen() override;
  bool CanContainNulls() override { return false; }

  int32_t GetMaxTokenSize() const { return batkdMaxTokenSize; }
  bool GetPerFieldIndex() const { return batkdPerFieldIndex; }
  bool GetReverse() const { return batkdReverse; }
  LCID GetLocale() const { return batkdLocale; }
  uint32_t GetFlags() const { return batkdFlags; }
  // Each: CheckReadOnly, then store.
  void SetMaxTokenSize(int32_t aValue);
  void SetPerFieldIndex(bool aValue);
  void SetReverse(bool aValue);
  void SetLocale(LCID aValue);
  void SetFlags(uint32_t aValue);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  int32_t batkdMaxTokenSize = 20;
  bool batkdPerFieldIndex = false;
  bool batkdReverse = false;
  LCID batkdLocale = 0;
  uint32_t batkdFlags = 0;
};

// The key of a main index that holds tokens. Its stream part, after the key
// descriptor part: integer version v, integer MaxTokenSize, integer Locale,
// integer Flags, and for v = 2 boolean IncludeLocation. v is 2 only when
// IncludeLocation is set, which peers below 20700 cannot take (12039).
class TmvMainIndexTokenKeyDescriptor : public TmvBaseKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseKeyDescriptor::TmvBaseKeyDescriptor;

  int32_t GetKeyLen() override;
  bool CanContainNulls() override { return false; }

  int32_t GetMaxTokenSize() const { return mitkdMaxTokenSize; }
  bool GetIncludeLocation() const { return mitkdIncludeLocation; }
  LCID GetLocale() const { return mitkdLocale; }
  uint32_t GetFlags() const { return mitkdFlags; }
  // Each: CheckReadOnly, then store.
  void SetMaxTokenSize(int32_t aValue);
  void SetIncludeLocation(bool aValue);
  void SetLocale(LCID aValue);
  void SetFlags(uint32_t aValue);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  int32_t mitkdMaxTokenSize = 20;
  bool mitkdIncludeLocation = false;
  LCID mitkdLocale = 0;
  uint32_t mitkdFlags = 0;
};

// ---------------------------------------------------------------------------
// Bit-array storage handlers

// Where a bit-array token index keeps its bit arrays; no settings. The root
// of its own family.
class TmvBaseBitArrayStorageHandlerDescriptor : public TmvBaseFulltextIndexDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseFulltextIndexDictionaryItem::TmvBaseFulltextIndexDictionaryItem;
  static TmvClassRegistry* Registry();
};

// Keeps the bit arrays in the full-text BLOB descriptor.
class TmvSimpleBitArrayStorageHandlerDescriptor : public TmvBaseBitArrayStorageHandlerDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseBitArrayStorageHandlerDescriptor::TmvBaseBitArrayStorageHandlerDescriptor;
  // Gives the enclosing full-text descriptor its default BLOB descriptor
  // when it has none.
  void CheckValid(bool aForBuild) override;
};

// ---------------------------------------------------------------------------
// TmvBitArrayTokenIndexDescriptor

class TmvBitArrayTokenIndexDescriptor : public TmvBaseTokenIndexDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTokenIndexDescriptor::TmvBaseTokenIndexDescriptor;
  // Removes its two B*-tree indexes (unless the whole read-only tree is
  // going) and frees the handler.
  ~TmvBitArrayTokenIndexDescriptor() override;

  int32_t GetMaxTokenSize() const { return batidMaxTokenSize; }
  // CheckReadOnly; the value is clamped to 1..1024.
  void SetMaxTokenSize(int32_t aValue);
  bool GetPerFieldIndex() const { return batidPerFieldIndex; }
  bool GetPerLocationIndex() const { return batidPerLocationIndex; }
  bool GetSegmentIndex() const { return batidSegmentIndex; }
  void SetPerFieldIndex(bool aValue);
  void SetPerLocationIndex(bool aValue);
  void SetSegmentIndex(bool aValue);

  // The names of the two B*-tree indexes: the enclosing full-text index's
  // name, "$", this token index's name in its hub (and "$Reverse"). Without
  // an enclosing full-text index: 8712.
  String GetIndexName() const;
  String GetReverseIndexName() const;
  // CheckReadOnly; the present index of that kind goes, and a new one is
  // added to the full-text descriptor's token indices descriptor (made
  // when absent): file aFileNumber, no duplicates, key of aKeyClass (nil:
  // TmvBitArrayTokenKeyDescriptor) and index of aIndexClass (nil: the
  // indices descriptor's default). The key takes this index's settings
  // (and Reverse); a key of another class raises 10004 and the new index
  // goes again.
  TmvIndexDescriptor* AddIndex(int32_t aFileNumber, const TmvDictionaryItemClassRef* aKeyClass = nullptr,
                               const TmvIndexDescriptorClassRef* aIndexClass = nullptr);
  TmvIndexDescriptor* AddReverseIndex(int32_t aFileNumber, const TmvDictionaryItemClassRef* aKeyClass = nullptr,
                                      const TmvIndexDescriptorClassRef* aIndexClass = nullptr);
  // The index of that name in the related token indices descriptor; nil
  // when there is none.
  TmvIndexDescriptor* IndexDescriptor();
  TmvIndexDescriptor* ReverseIndexDescriptor();
  void RemoveIndex();
  void RemoveReverseIndex();

  TmvBaseBitArrayStorageHandlerDescriptor* GetBitArrayStorageHandler() const { return batidBitArrayStorageHandler; }
  // CheckReadOnly; replaces the handler with one of aClass (nil:
  // TmvSimpleBitArrayStorageHandlerDescriptor).
  TmvBaseBitArrayStorageHandlerDescriptor* AddBitArrayStorageHandler(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveBitArrayStorageHandler();

  // Also frees the handler, so that a copy is what the stream holds.
  void Clear(bool aNotify) override;
  // The filter hub; then each present index must have a bit-array token
  // key (10004 "Invalid descriptor."), which takes this index's settings
  // where they differ; with an index present a missing handler is added;
  // then the handler's check.
  void CheckValid(bool aForBuild) override;
  // Equal settings and handlers (both absent or both present and equal).
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // integer 1, integer MaxTokenSize, boolean PerFieldIndex, boolean
  // PerLocationIndex, boolean SegmentIndex. A value read is taken as it is.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  TmvIndexDescriptor* AddIndexOfKind(bool aReverse, int32_t aFileNumber, const TmvDictionaryItemClassRef* aKeyClass,
                                     const TmvIndexDescriptorClassRef* aIndexClass);
  TmvIndexDescriptor* FindIndex(bool aReverse);
  void RemoveIndexOfKind(bool aReverse);
  void MatchKey(TmvBitArrayTokenKeyDescriptor& aKey, bool aReverse);

  TmvBaseBitArrayStorageHandlerDescriptor* batidBitArrayStorageHandler = nullptr;  // owned
  int32_t batidMaxTokenSize = 20;
  bool batidPerFieldIndex = false;
  bool batidPerLocationIndex = true;
  bool batidSegmentIndex = false;
};

// ---------------------------------------------------------------------------
// TmvMainIndexTokenIndexDescriptor

// Keeps its tokens in a main index of the table, held by number (-1: none).
class TmvMainIndexTokenIndexDescriptor : public TmvBaseTokenIndexDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  // Registers for the main indices' change notifications.
  explicit TmvMainIndexTokenIndexDescriptor(TPersistent* aParent);
  ~TmvMainIndexTokenIndexDescriptor() override;

  int32_t GetMainIndexNumber() const { return mitidMainIndexNumber; }
  // CheckReadOnly; a value of 0 or more is checked as MainIndex checks it;
  // any value is then stored.
  void SetMainIndexNumber(int32_t aValue);
  bool GetIgnoreCase() const { return mitidIgnoreCase; }
  void SetIgnoreCase(bool aValue);
  // The main index of the current number. With a related main indices
  // descriptor the number must be one of its indexes (9997) whose key is a
  // main-index token key (10004); without one: nil, nothing checked.
  TmvIndexDescriptor* MainIndex();

  // Follows the renumbering of its main index; refuses its removal with
  // 15502 "Cannot remove index %s because it is still referenced by a
  // fulltext index".
  void IndexChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  // The filter hub; the main index as MainIndex checks it (so -1 fails
  // with a related main indices descriptor); its key takes the used
  // locale's Locale and Flags (and NORM_IGNORECASE with IgnoreCase) where
  // they differ.
  void CheckValid(bool aForBuild) override;
  // Equal main index numbers; IgnoreCase takes no part.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // integer 1, integer MainIndexNumber, boolean IgnoreCase.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  TmvIndexDescriptor* CheckMainIndex(int32_t aNumber);

  int32_t mitidMainIndexNumber = -1;
  bool mitidIgnoreCase = true;
};
