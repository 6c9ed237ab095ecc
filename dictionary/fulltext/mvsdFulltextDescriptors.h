// Data dictionary: full-text descriptors, their hubs and the field token
// extractor.
//
// A table may carry a full-text description: the custom descriptor named
// "Fulltext" of class `TmvFulltextDescriptor`. It lists full-text indexes;
// each (`TmvFulltextIndexDescriptor`) names a unique main index that locates
// records (its location index) and owns three hubs: the token extractors
// (where the text comes from), the token filters (how it is cut and
// normalised into tokens, mvsdTokenFilterDescriptors.h) and the token
// indexes (where tokens are kept, mvsdTokenIndexDescriptors.h). The
// full-text descriptor may also own the BLOB descriptor "Fulltext$Blob" (the
// bit arrays of bit-array token indexes) and the token indices descriptor
// "Fulltext$Indices" (their B*-tree indexes). The engines that index records
// from these descriptors belong to table storage.
//
// Class tree (the `Tmv` prefix left out):
//   BaseCustomDescriptor > FulltextDescriptor
//   BaseIndicesDescriptor > TokenIndicesDescriptor
//   LocalizedDictionaryItem > BaseFulltextDictionaryItem
//     > FulltextIndexDescriptor
//     > BaseFulltextIndexDictionaryItem > NumberedFulltextIndexDictionaryItem
//         > BaseTokenSourceDescriptor > BaseTokenExtractorDescriptor
//             > TokenExtractorHubDescriptor, FieldTokenExtractorDescriptor
//         > BaseTokenSourceDescriptor > BaseTokenFilterDescriptor
//             > TokenFilterHubDescriptor (and the filters)
//         > BaseTokenIndexDescriptor > TokenIndexHubDescriptor (and the token indexes)
//
// A hub keeps its members under names unique ignoring case, in order; each
// member's number is its position (a hub owned directly by its holder has
// number 0). Removing a member renumbers those after it. Every extractor and
// token index owns a filter hub of its own, whose filters apply to it only.
//
// Ownership: the full-text descriptor owns its indexes and its BLOB and
// indices descriptors; a full-text index owns its hubs, a hub its members.
// The full-text index holds its location index by number and registers with
// the main indices descriptor; the field token extractor holds its field by
// number and registers with the fields descriptor: both follow renumbering
// and refuse the removal of what they use (15502).
//
// Layer: data dictionary; calls the dictionary item base, the custom, index,
// key, fields and storage descriptors, and the token filter and token index
// units for the hubs' default classes. Threading: as every dictionary item.
// A failed add leaves the hub as it was.
#pragma once

#include <functional>
#include <vector>

#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/mvsdCustomDescriptors.h"
#include "dictionary/mvsdStorageDescriptors.h"

class TmvBaseBlobDescriptor;
class TmvBaseTableDescriptor;
class TmvFieldDescriptor;
class TmvFulltextIndexDescriptor;
class TmvNumberedFulltextIndexDictionaryItem;
class TmvTokenFilterHubDescriptor;
class TmvTokenExtractorHubDescriptor;
class TmvTokenIndexHubDescriptor;
class TmvBaseTokenExtractorDescriptor;
class TmvBaseTokenFilterDescriptor;
class TmvBaseTokenIndexDescriptor;
class TmvFieldTokenExtractorDescriptor;

MV_DECLARE_EXCEPTION(EmvFulltextDescriptorException, EmvBaseCustomDescriptorException)
MV_DECLARE_EXCEPTION(EmvFulltextDictionaryItemException, EmvLocalizedDictionaryItemException)

// The name of the full-text custom descriptor and of its two storage parts.
inline constexpr char16_t mvFulltextDescriptorName[] = u"Fulltext";
inline constexpr char16_t mvFulltextBlobName[] = u"Fulltext$Blob";
inline constexpr char16_t mvFulltextIndicesName[] = u"Fulltext$Indices";

// The number a reference holds after a list change, for references that
// may hold a negative number meaning "none": those keep it. (The plain rule
// would give "none" the number of an entry inserted anywhere.)
int32_t mvRenumberReference(int32_t aNumber, int32_t aOldNumber, int32_t aNewNumber);

// The table's custom descriptor "Fulltext", nil when it has none. One of
// another class than aClass (nil: TmvFulltextDescriptor) raises 10004.
class TmvFulltextDescriptor* mvGetFulltextDescriptor(TmvBaseTableDescriptor* aTableDescriptor,
                                                    const ClassRef* aClass = nullptr);

// Start-up and shutdown of the full-text, token filter and token index
// classes in their family registries (the dictionary's unit group calls
// them); a registry goes when its last class leaves.
void mvRegisterFulltextClasses();
void mvUnregisterFulltextClasses();

// ---------------------------------------------------------------------------
// TmvTokenIndicesDescriptor

// The indices descriptor "Fulltext$Indices" that holds the B*-tree indexes
// of bit-array token indexes; a class of its own so that it is found by type.
class TmvTokenIndicesDescriptor : public TmvBaseIndicesDescriptor {
  MV_DECLARE_CLASSREF(TmvIndicesDescriptorClassRef)
 public:
  using TmvBaseIndicesDescriptor::TmvBaseIndicesDescriptor;
  // An empty list passes: it is what the token indexes leave when their
  // last B*-tree index goes. A list with indexes is checked as any other.
  void CheckValid(bool aForBuild) override;
};

// ---------------------------------------------------------------------------
// The family's item bases

// The root of the full-text items: its stream part is integer 1. Its locale
// is always the inherited one: no class of the family writes one.
class TmvBaseFulltextDictionaryItem : public TmvLocalizedDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvLocalizedDictionaryItem::TmvLocalizedDictionaryItem;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

// The items below a full-text index, made through Create (aParent).
class TmvBaseFulltextIndexDictionaryItem : public TmvBaseFulltextDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseFulltextDictionaryItem::TmvBaseFulltextDictionaryItem;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

// An item that a hub holds: its number is its position there (0 for a hub
// owned directly by its holder). The stream carries the number; a reader
// refuses one that differs from the position the item was added at (15498).
class TmvNumberedFulltextIndexDictionaryItem : public TmvBaseFulltextIndexDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
  friend class TmvTokenHubMembers;

 public:
  using TmvBaseFulltextIndexDictionaryItem::TmvBaseFulltextIndexDictionaryItem;

  int32_t GetNumber() const { return nfidiNumber; }
  // Its name in the hub that holds it; empty when its parent is no hub.
  String GetName() const;

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  int32_t nfidiNumber = 0;
};

class TmvBaseTokenSourceDescriptor : public TmvNumberedFulltextIndexDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvNumberedFulltextIndexDictionaryItem::TmvNumberedFulltextIndexDictionaryItem;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

// The root of the token filter family (the filters themselves:
// mvsdTokenFilterDescriptors.h). A filter checks nothing of its own, and
// two filters of one class are equal whatever their settings.
class TmvBaseTokenFilterDescriptor : public TmvBaseTokenSourceDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTokenSourceDescriptor::TmvBaseTokenSourceDescriptor;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();
};

// ---------------------------------------------------------------------------
// Hub members

// The members of one hub: names unique ignoring case (the platform string
// list's rule), in order, each member owned and numbered by its position.
// The hub classes below keep one and give it their typed interface.
class TmvTokenHubMembers {
 public:
  // aFamily: the root every member's class must descend from; aFamilyWord:
  // its word in a refusal ("TokenFilterDescriptor").
  TmvTokenHubMembers(TmvDictionaryItem& aHub, const TmvDictionaryItemClassRef& aFamily,
                     std::u16string_view aFamilyWord)
      : thmHub(aHub), thmFamily(aFamily), thmFamilyWord(aFamilyWord) {}
  ~TmvTokenHubMembers() { Clear(); }
  TmvTokenHubMembers(const TmvTokenHubMembers&) = delete;
  TmvTokenHubMembers& operator=(const TmvTokenHubMembers&) = delete;

  // 10068 for a name that is no identifier, 10009 for one present; a class
  // outside the family or without constructor raises 15499. The member is
  // created under the hub, appended and numbered; a failure adds nothing.
  TmvNumberedFulltextIndexDictionaryItem* Add(const String& aName, const TmvDictionaryItemClassRef& aClass);
  // Frees the member and renumbers the ones after it. A position outside
  // the list, a name or an item not in it: nothing.
  void Remove(int32_t aIndex);
  void Remove(const String& aName) { Remove(IndexOf(aName)); }
  void Remove(const TmvDictionaryItem* aItem) { Remove(IndexOf(aItem)); }
  // Frees every member, the last first.
  void Clear();

  int32_t Count() const { return int32_t(thmMembers.size()); }
  // A position outside the list raises the list's index error.
  TmvNumberedFulltextIndexDictionaryItem* Item(int32_t aIndex) const { return At(aIndex).item; }
  const String& Name(int32_t aIndex) const { return At(aIndex).name; }
  int32_t IndexOf(const String& aName) const;
  int32_t IndexOf(const TmvDictionaryItem* aItem) const;

  // Every name an identifier (10068), then every member's check, in order.
  void CheckValid(bool aForBuild);
  // The same count and each member equal to the one at its position.
  bool IsEqual(const TmvTokenHubMembers& aOther) const;
  // list begin; per member: string name, string class name, its stream
  // form; list end.
  void Save(TmvWriter& aWriter, int32_t aClientVersion) const;
  // Replaces the members with the stream's: each is added under its name
  // through aAdd (so that it gets its number), then reads its stream form.
  // An unregistered class raises 15499 with the family word.
  void Load(TmvReader& aReader,
            const std::function<TmvNumberedFulltextIndexDictionaryItem*(const String&,
                                                                        const TmvDictionaryItemClassRef&)>& aAdd);

 private:
  struct Member {
    String name;
    TmvNumberedFulltextIndexDictionaryItem* item;  // owned
  };
  const Member& At(int32_t aIndex) const;

  TmvDictionaryItem& thmHub;
  const TmvDictionaryItemClassRef& thmFamily;
  std::u16string_view thmFamilyWord;
  std::vector<Member> thmMembers;
};

// What the hub classes share, so that a member finds its name.
class ImvTokenHub {
 public:
  virtual TmvTokenHubMembers& HubMembers() = 0;

 protected:
  ~ImvTokenHub() = default;
};

// The token filters of a full-text index, an extractor or a token index.
// Its add, remove and clear leave CheckReadOnly to their callers.
class TmvTokenFilterHubDescriptor : public TmvBaseTokenFilterDescriptor, public ImvTokenHub {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvTokenFilterHubDescriptor(TPersistent* aParent);
  ~TmvTokenFilterHubDescriptor() override;

  // An empty name becomes "Default"; nil class:
  // TmvWideCharSeparatorTokenFilterDescriptor.
  TmvBaseTokenFilterDescriptor* AddTokenFilter(const String& aName, const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveTokenFilter(int32_t aIndex) { tfhdTokenFilters.Remove(aIndex); }
  void RemoveTokenFilter(const String& aName) { tfhdTokenFilters.Remove(aName); }
  void RemoveTokenFilter(const TmvBaseTokenFilterDescriptor* aFilter);
  void Clear(bool aNotify) override;

  int32_t TokenFilterCount() const { return tfhdTokenFilters.Count(); }
  // -1: this hub; otherwise requires 0 <= aIndex < TokenFilterCount.
  TmvBaseTokenFilterDescriptor* TokenFilter(int32_t aIndex);
  const String& TokenFilterName(int32_t aIndex) const { return tfhdTokenFilters.Name(aIndex); }

  TmvTokenHubMembers& HubMembers() override { return tfhdTokenFilters; }
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  TmvTokenHubMembers tfhdTokenFilters;
};

// ---------------------------------------------------------------------------
// Token filter hub owners

// What extractors and token indexes share: a token filter hub of their own
// (owned), whose filters apply to them only, its operations and its place
// in their stream form. Base is the class they descend from; this level has
// no class record of its own, so the class tree that registries and streams
// see is the one above.
template <typename Base>
class TmvTokenFilterHubOwner : public Base {
 public:
  explicit TmvTokenFilterHubOwner(TPersistent* aParent);
  ~TmvTokenFilterHubOwner() override;

  // Each: CheckReadOnly, then the filter hub's operation.
  TmvBaseTokenFilterDescriptor* AddTokenFilter(const String& aName, const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveTokenFilter(int32_t aIndex);
  void RemoveTokenFilter(const String& aName);
  void RemoveTokenFilter(const TmvBaseTokenFilterDescriptor* aFilter);
  void ClearTokenFilter();
  TmvTokenFilterHubDescriptor* GetTokenFilterHub() const { return tfhoTokenFilterHub; }
  // -1: the filter hub itself.
  TmvBaseTokenFilterDescriptor* TokenFilter(int32_t aIndex);
  const String& TokenFilterName(int32_t aIndex) const;
  int32_t TokenFilterCount() const;

  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  // Also equal filter hubs.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // The base part, integer 1, the filter hub's stream form.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  TmvTokenFilterHubDescriptor* tfhoTokenFilterHub = nullptr;  // owned
};

extern template class TmvTokenFilterHubOwner<TmvBaseTokenSourceDescriptor>;
extern template class TmvTokenFilterHubOwner<TmvNumberedFulltextIndexDictionaryItem>;

// ---------------------------------------------------------------------------
// Token extractors

// The root of the extractor family.
class TmvBaseTokenExtractorDescriptor : public TmvTokenFilterHubOwner<TmvBaseTokenSourceDescriptor> {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvTokenFilterHubOwner::TmvTokenFilterHubOwner;
  static TmvClassRegistry* Registry();
};

// A group of extractors. Its add, remove and clear call CheckReadOnly.
class TmvTokenExtractorHubDescriptor : public TmvBaseTokenExtractorDescriptor, public ImvTokenHub {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvTokenExtractorHubDescriptor(TPersistent* aParent);
  ~TmvTokenExtractorHubDescriptor() override;

  // No default name; nil class: TmvFieldTokenExtractorDescriptor.
  TmvBaseTokenExtractorDescriptor* AddTokenExtractor(const String& aName,
                                                     const TmvDictionaryItemClassRef* aClass = nullptr);
  // The name trimmed; an empty one becomes the field's name (with a
  // related fields descriptor the number must then be a field of it, else
  // 9999 "Invalid field number: %d"). The extractor (aClass must be a field
  // token extractor class; nil: TmvFieldTokenExtractorDescriptor) is added
  // and its field number set; a refused number removes it again.
  TmvFieldTokenExtractorDescriptor* AddFieldTokenExtractor(int32_t aFieldNumber, const String& aName,
                                                           const TmvDictionaryItemClassRef* aClass = nullptr);
  // A nested hub (nil class: TmvTokenExtractorHubDescriptor).
  TmvTokenExtractorHubDescriptor* AddTokenExtractorHub(const String& aName,
                                                       const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveTokenExtractor(int32_t aIndex);
  void RemoveTokenExtractor(const String& aName);
  void RemoveTokenExtractor(const TmvBaseTokenExtractorDescriptor* aExtractor);
  void ClearTokenExtractors();

  int32_t TokenExtractorCount() const { return tehdTokenExtractors.Count(); }
  // -1: this hub.
  TmvBaseTokenExtractorDescriptor* TokenExtractor(int32_t aIndex);
  const String& TokenExtractorName(int32_t aIndex) const { return tehdTokenExtractors.Name(aIndex); }

  TmvTokenHubMembers& HubMembers() override { return tehdTokenExtractors; }
  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  TmvTokenHubMembers tehdTokenExtractors;
};

// Takes its text from one field of the table, held by number (-1: none).
class TmvFieldTokenExtractorDescriptor : public TmvBaseTokenExtractorDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  // Registers for the related fields descriptor's change notifications.
  explicit TmvFieldTokenExtractorDescriptor(TPersistent* aParent);
  ~TmvFieldTokenExtractorDescriptor() override;

  int32_t GetFieldNumber() const { return ftedFieldNumber; }
  // CheckReadOnly; -1 is always taken; otherwise, with a related fields
  // descriptor, the number must be one of its fields (9999 "Invalid field
  // number: %d").
  void SetFieldNumber(int32_t aValue);
  // Nil for a negative number or one outside the related fields.
  TmvFieldDescriptor* Field();

  // Follows the renumbering of its field; refuses its removal with 15502
  // "Cannot remove field %s because it is still referenced by an index".
  void FieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  void CheckFieldNumber(int32_t aValue);

  int32_t ftedFieldNumber = -1;
};

// ---------------------------------------------------------------------------
// Token index bases

// The root of the token index family (the token indexes themselves:
// mvsdTokenIndexDescriptors.h).
class TmvBaseTokenIndexDescriptor : public TmvTokenFilterHubOwner<TmvNumberedFulltextIndexDictionaryItem> {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvTokenFilterHubOwner::TmvTokenFilterHubOwner;
  static TmvClassRegistry* Registry();
};

// A group of token indexes. Its add, remove and clear leave CheckReadOnly
// to their callers.
class TmvTokenIndexHubDescriptor : public TmvBaseTokenIndexDescriptor, public ImvTokenHub {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvTokenIndexHubDescriptor(TPersistent* aParent);
  ~TmvTokenIndexHubDescriptor() override;

  // An empty name becomes "Default"; nil class:
  // TmvBitArrayTokenIndexDescriptor.
  TmvBaseTokenIndexDescriptor* AddTokenIndex(const String& aName, const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveTokenIndex(int32_t aIndex) { tihdTokenIndexes.Remove(aIndex); }
  void RemoveTokenIndex(const String& aName) { tihdTokenIndexes.Remove(aName); }
  void RemoveTokenIndex(const TmvBaseTokenIndexDescriptor* aIndex);
  void ClearTokenIndexes() { tihdTokenIndexes.Clear(); }

  int32_t TokenIndexCount() const { return tihdTokenIndexes.Count(); }
  // -1: this hub.
  TmvBaseTokenIndexDescriptor* TokenIndex(int32_t aIndex);
  const String& TokenIndexName(int32_t aIndex) const { return tihdTokenIndexes.Name(aIndex); }

  TmvTokenHubMembers& HubMembers() override { return tihdTokenIndexes; }
  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  TmvTokenHubMembers tihdTokenIndexes;
};

// ---------------------------------------------------------------------------
// TmvFulltextIndexDescriptor

// The family record: the virtual constructor Create (aParent,
// aLocationIndexNumber, aName).
struct TmvFulltextIndexDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvFulltextIndexDescriptor* (*CreateFulltextIndex)(TPersistent* aParent, int32_t aLocationIndexNumber,
                                                     const String& aName);
};

// One full-text index: its name, its location index (a main index that
// qualifies: it exists, does not allow all duplicates, and has a composite
// key of exactly one Word32 or AutoInc field) and its three hubs.
class TmvFulltextIndexDescriptor : public TmvBaseFulltextDictionaryItem {
  MV_DECLARE_CLASSREF(TmvFulltextIndexDescriptorClassRef)
 public:
  // aName must be an identifier (10068); a negative aLocationIndexNumber
  // becomes the default location index. A number that does not qualify
  // raises 10004 "Invalid location index (%d)". Both are refused before the
  // item takes an ID. Registers for index-change notifications.
  TmvFulltextIndexDescriptor(TPersistent* aParent, int32_t aLocationIndexNumber, const String& aName);
  ~TmvFulltextIndexDescriptor() override;

  const String& GetName() const { return fidName; }
  int32_t GetLocationIndexNumber() const { return fidLocationIndexNumber; }
  // CheckReadOnly; negative: the default location index; a changed value
  // must qualify (10004).
  void SetLocationIndexNumber(int32_t aValue);
  // The main index of that number; nil when there is none.
  TmvIndexDescriptor* LocationIndex();
  // The main indices' default index when it qualifies, else the first one
  // that does, else -1 (also without a main indices descriptor).
  int32_t DefaultLocationIndex();

  // Each: CheckReadOnly, then the matching hub's operation.
  TmvBaseTokenExtractorDescriptor* AddTokenExtractor(const String& aName,
                                                     const TmvDictionaryItemClassRef* aClass = nullptr);
  TmvFieldTokenExtractorDescriptor* AddFieldTokenExtractor(int32_t aFieldNumber, const String& aName = String(),
                                                           const TmvDictionaryItemClassRef* aClass = nullptr);
  TmvTokenExtractorHubDescriptor* AddTokenExtractorHub(const String& aName,
                                                       const TmvDictionaryItemClassRef* aClass = nullptr);
  TmvBaseTokenFilterDescriptor* AddTokenFilter(const String& aName, const TmvDictionaryItemClassRef* aClass = nullptr);
  TmvBaseTokenIndexDescriptor* AddTokenIndex(const String& aName, const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveTokenExtractor(int32_t aIndex);
  void RemoveTokenExtractor(const String& aName);
  void RemoveTokenExtractor(const TmvBaseTokenExtractorDescriptor* aExtractor);
  void RemoveTokenFilter(int32_t aIndex);
  void RemoveTokenFilter(const String& aName);
  void RemoveTokenFilter(const TmvBaseTokenFilterDescriptor* aFilter);
  void RemoveTokenIndex(int32_t aIndex);
  void RemoveTokenIndex(const String& aName);
  void RemoveTokenIndex(const TmvBaseTokenIndexDescriptor* aIndex);
  void ClearTokenExtractors();
  void ClearTokenFilters();
  void ClearTokenIndexes();

  // Index -1 of each returns the hub itself.
  TmvBaseTokenExtractorDescriptor* TokenExtractor(int32_t aIndex);
  const String& TokenExtractorName(int32_t aIndex) const;
  int32_t TokenExtractorCount() const;
  TmvBaseTokenFilterDescriptor* TokenFilter(int32_t aIndex);
  const String& TokenFilterName(int32_t aIndex) const;
  int32_t TokenFilterCount() const;
  TmvBaseTokenIndexDescriptor* TokenIndex(int32_t aIndex);
  const String& TokenIndexName(int32_t aIndex) const;
  int32_t TokenIndexCount() const;
  TmvTokenExtractorHubDescriptor* GetTokenExtractorHub() const { return fidTokenExtractorHub; }
  TmvTokenFilterHubDescriptor* GetTokenFilterHub() const { return fidTokenFilterHub; }
  TmvTokenIndexHubDescriptor* GetTokenIndexHub() const { return fidTokenIndexHub; }

  // Follows the renumbering of its location index; refuses its removal
  // with 15502 "Cannot remove index %s because it is still referenced by a
  // fulltext index".
  void IndexChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  // Clears the three hubs.
  void Clear(bool aNotify) override;
  // The name (10068), the location index (10004), then the three hubs.
  void CheckValid(bool aForBuild) override;
  // Equal location index numbers and hubs; the name takes no part.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // The base part, integer 1, the three hubs' stream forms. The name and
  // the location index number are written by the full-text descriptor.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

 private:
  struct Resolved {
    int32_t locationIndexNumber;
  };
  TmvFulltextIndexDescriptor(Resolved aResolved, TPersistent* aParent, const String& aName);
  static Resolved Resolve(TPersistent* aParent, int32_t aLocationIndexNumber, const String& aName);
  void CheckLocationIndex(int32_t aNumber);

  String fidName;
  int32_t fidLocationIndexNumber;
  TmvTokenExtractorHubDescriptor* fidTokenExtractorHub = nullptr;  // owned
  TmvTokenFilterHubDescriptor* fidTokenFilterHub = nullptr;        // owned
  TmvTokenIndexHubDescriptor* fidTokenIndexHub = nullptr;          // owned
};

// ---------------------------------------------------------------------------
// TmvFulltextDescriptor

class TmvFulltextDescriptor : public TmvBaseCustomDescriptor {
  MV_DECLARE_CLASSREF(TmvCustomDescriptorClassRef)
 public:
  using TmvBaseCustomDescriptor::TmvBaseCustomDescriptor;
  // Frees the full-text indexes (last first), then the BLOB and indices
  // descriptors, which the indexes' token indexes still use.
  ~TmvFulltextDescriptor() override;

  // CheckReadOnly; an empty name becomes "Default"; a name in use (ASCII
  // case ignored) raises 10009; nil class: TmvFulltextIndexDescriptor. The
  // new index is appended; a refused one adds nothing.
  TmvFulltextIndexDescriptor* AddFulltextIndex(const String& aName,
                                               const TmvFulltextIndexDescriptorClassRef* aClass = nullptr,
                                               int32_t aLocationIndexNumber = -1);
  // CheckReadOnly; frees the index and closes the gap. A position outside
  // the list, a name (ASCII case ignored) or an index not in it: nothing.
  void RemoveFulltextIndex(int32_t aIndex);
  void RemoveFulltextIndex(const String& aName);
  void RemoveFulltextIndex(const TmvFulltextIndexDescriptor* aIndex);
  // -1 when there is no index of that name (ASCII case ignored).
  int32_t GetFulltextIndexFromName(const String& aName) const;

  int32_t FulltextIndexCount() const { return int32_t(ftdFulltextIndices.size()); }
  // Requires: 0 <= aIndex < FulltextIndexCount.
  TmvFulltextIndexDescriptor* FulltextIndex(int32_t aIndex) const { return ftdFulltextIndices[size_t(aIndex)]; }
  TmvBaseBlobDescriptor* GetBlobDescriptor() const { return ftdBlobDescriptor; }
  TmvTokenIndicesDescriptor* GetIndicesDescriptor() const { return ftdIndicesDescriptor; }

  // CheckReadOnly; replaces the BLOB descriptor with one of aClass (nil:
  // TmvHeapBlobDescriptor) named "Fulltext$Blob".
  TmvBaseBlobDescriptor* AddBlobDescriptor(const TmvStorageDescriptorClassRef* aClass = nullptr);
  void RemoveBlobDescriptor();
  // CheckReadOnly; replaces the indices descriptor with one of aClass (nil:
  // TmvTokenIndicesDescriptor) named "Fulltext$Indices".
  TmvTokenIndicesDescriptor* AddIndicesDescriptor(const TmvIndicesDescriptorClassRef* aClass = nullptr);
  void RemoveIndicesDescriptor();
  // The indices descriptor, made with the default class when absent.
  TmvTokenIndicesDescriptor* GetForceIndicesDescriptor();

  // The token indices family answers the indices descriptor, the BLOB
  // family the BLOB descriptor (either may be nil).
  bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                   TmvDictionaryItem* aFrom = nullptr) override;
  // Frees the indexes and the BLOB and indices descriptors.
  void Clear(bool aNotify) override;
  // Every index, then the BLOB and the indices descriptor.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // Replaces the indexes and the BLOB and indices descriptors with the
  // stream's.
  void LoadFromReader(TmvReader& aReader) override;

 private:
  void DropAll();
  void ReadFulltextIndexes(TmvReader& aReader);

  std::vector<TmvFulltextIndexDescriptor*> ftdFulltextIndices;  // owned, in order
  TmvBaseBlobDescriptor* ftdBlobDescriptor = nullptr;            // owned
  TmvTokenIndicesDescriptor* ftdIndicesDescriptor = nullptr;     // owned
};
