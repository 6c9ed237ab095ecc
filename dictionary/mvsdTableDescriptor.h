// Data dictionary: table descriptors and the list of nested tables.
//
// `TmvBaseTableDescriptor` is the description of one table: its fields
// (record layout), record, BLOB and auto-increment engines, main and
// internal indexes, custom descriptors (referential integrity, full text,
// audit), the tables nested inside it, its default locale, its caching
// state and the constraint names registered by the items below it. The data
// dictionary (mvsdDataDictionary.h) is the table descriptor of the root
// table; `TmvNestedTableDescriptor` is a child table stored in its parent's
// file and addressed with a colon path ("qbdb:qbrecord"). Each table holds
// its nested tables in one `TmvTablesDescriptor`.
//
// Who owns what: a table owns every sub-descriptor in its slots. The fields,
// custom-descriptors and tables descriptors always exist; the others may be
// nil. A tables descriptor owns its nested tables.
//
// The table body (SaveToWriter), after the item header:
//   integer  body version: 2 with internal indexes (peers from 47005 on), else 1
//   ident    "LocaleDescriptor", the locale part (integer 1, boolean, class, body)
//   ident    "RecordDescriptor", boolean, [class name, body]
//   ident    "BlobDescriptor", boolean, [class name, body]
//   ident    "FieldsDescriptor", true, class name, body
//   ident    "IndicesDescriptor", boolean, [class name, body]
//   ident    "InternalIndicesDescriptor", boolean, [class name, body]   (version 2)
//   ident    "AutoIncDescriptor", boolean, [class name, body]
//   ident    "CustomDescsDescriptor", true, class name, body
//   ident    "TablesDescriptor", true, class name, body: item header,
//            integer 1, integer count, per nested table its class name, its
//            name and its table body
// Before the header the caching state is stored in the custom string
// "$CachingState", so that it travels with the table.
//
// Caching: a source table is made cacheable (`MakeCacheable`: it gains the
// modify-LSN, insert-LSN and RefNr fields, an index on the modify LSN and
// the internal graveyard and counter indexes), and a copy of its dictionary
// becomes a cache table (`MakeCacheTable`); see mvsdCacheTables.h.
//
// Layer: data dictionary; calls every descriptor unit below it. Threading:
// as every dictionary item (built on one thread, read by many once cached).
#pragma once

#include <memory>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/mvsdCustomDescriptors.h"
#include "dictionary/mvsdStorageDescriptors.h"

class TmvBaseTableDescriptor;
class TmvNestedTableDescriptor;
class TmvTablesDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseTableDescriptorException, EmvLocalizedDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvNestedTableDescriptorException, EmvBaseTableDescriptorException)
MV_DECLARE_EXCEPTION(EmvTablesDescriptorException, EmvDictionaryItemException)

// The enumeration names of the caching states ("tcsNone", "tcsCacheable",
// "tcsIsCache"), by ordinal.
extern const std::u16string_view mvTableCachingStateNames[3];

// The family record of table descriptors: the virtual constructor of nested
// tables, Create (aParent, aName). Nil for the other classes.
struct TmvTableDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvNestedTableDescriptor* (*CreateTable)(TPersistent* aParent, const String& aName);
};

// Stream helpers of the table and dictionary bodies.
// A named part: the identifier aIdent, then boolean present and, when
// present, the class name and aItem's body (mvWriteOptionalItem).
void mvWritePart(TmvWriter& aWriter, std::u16string_view aIdent, TmvDictionaryItem* aItem, int32_t aClientVersion);
// Reads an identifier that must be exactly aIdent (else 15498).
void mvReadSection(TmvReader& aReader, std::u16string_view aIdent);
// Reads a part that is always present (written by mvWriteOptionalItem):
// boolean true, then a class name of aItem's family (unknown: 15499 with
// aFamilyWord) that must be exactly aItem's class, then aItem's body; a
// false boolean or another class raise 15498.
void mvReadFixedPart(TmvReader& aReader, TmvDictionaryItem& aItem, std::u16string_view aFamilyWord);
// Raises 15499 "%s class is not supported: %s" unless aClass descends from
// aRoot: a registry holds the classes of a whole family, a slot only some.
inline void mvCheckItemFamily(const ClassRef& aClass, const ClassRef& aRoot, std::u16string_view aFamilyWord) {
  if (!aClass.InheritsFrom(&aRoot)) mvRaiseUnsupportedClass(aFamilyWord, aClass.Name());
}
// Reads the head of an optional part: boolean present, then a class name
// that must be registered in aRoot's family and descend from aRoot (else
// 15499 with aFamilyWord). Nil when the part is absent.
template <typename R>
const R* mvReadOptionalClass(TmvReader& aReader, const R& aRoot, std::u16string_view aFamilyWord) {
  if (!aReader.ReadBoolean()) return nullptr;
  const R& cls = mvReadItemClass(aReader, aRoot, aFamilyWord);
  mvCheckItemFamily(cls, aRoot, aFamilyWord);
  return &cls;
}
// Reads an optional named part into a slot: the identifier aIdent, then the
// head of the part (its class must descend from aRoot; aIdent is the family
// word of a refusal) and, when present, the body of the descriptor that
// aAdd (class) puts into the slot.
template <typename R, typename F>
void mvReadPart(TmvReader& aReader, std::u16string_view aIdent, const R& aRoot, F aAdd) {
  mvReadSection(aReader, aIdent);
  if (const R* cls = mvReadOptionalClass(aReader, aRoot, aIdent)) aAdd(cls)->LoadFromReader(aReader);
}
// A storage descriptor of aClass replaces the one in aSlot of aOwner:
// CheckReadOnly; a class outside T's family raises 15499 with aFamilyWord;
// the new one (with header section aSection) is made before the old one is
// freed, so that a failure keeps the old one.
template <typename T>
T* mvReplaceStorageDescriptor(TmvDictionaryItem& aOwner, T*& aSlot, const TmvStorageDescriptorClassRef& aClass,
                              const AnsiString& aSection, std::u16string_view aFamilyWord) {
  aOwner.CheckReadOnly();
  mvCheckItemFamily(aClass, T::StaticClass, aFamilyWord);
  T* made = static_cast<T*>(mvCreateStorageDescriptor(aClass, &aOwner, aSection, aFamilyWord));
  mvFreeAndNil(aSlot);
  aSlot = made;
  return made;
}

// The custom descriptor named aName (ASCII case ignored) of aTable; nil when
// the table has none. Full-text and referential-integrity rules are found so.
TmvBaseCustomDescriptor* mvFindCustomDescriptor(TmvBaseTableDescriptor* aTable, const String& aName);

// ---------------------------------------------------------------------------
// TmvBaseTableDescriptor

class TmvBaseTableDescriptor : public TmvLocalizedDictionaryItem, public ImvTableDescriptor {
  MV_DECLARE_CLASSREF(TmvTableDescriptorClassRef)
 public:
  // Frees the sub-descriptors, those that refer to others first.
  ~TmvBaseTableDescriptor() override;

  // Virtual operations, in the system's slot order.
  // Clears the table parts (see the .cpp); the data dictionary also resets
  // itself and, unless aNoDefaults, installs the defaults of a new table.
  virtual void ClearDescriptors(bool aNoDefaults, bool aNotify);
  // Turns the table and its nested tables into cache tables: nested tables
  // (last first) that do not become cache tables are dropped; the indexes
  // and fields are set up for a cache table, the custom descriptors
  // cleared, the record engine becomes "Variable" with the "Compressor"
  // compression (type 11), the internal indexes become "$CachedBlobs" when
  // there are BLOB fields, none otherwise. A table that then does not
  // qualify (IsCacheable for tcsIsCache, cacheable accepted) raises 12289
  // "Only Cachable tables can be marked as InCache", or with aTolerant
  // ends in tcsNone; otherwise it ends in tcsIsCache. A cache table is left
  // as it is. A failure leaves the changes made before it in place.
  virtual void MakeCacheTable(bool aTolerant);
  // The table's full name: the base name of the root table, then ":" and
  // the name of each nested table down to this one.
  virtual String btdFullName() = 0;
  // CheckReadOnly; this table becomes a copy of aSource's fields (same
  // names, descriptions, types, units, decimals, classes and own locales,
  // none required) and nested tables, with a variable-length heap record
  // engine and a "Smart" record compression. Default values, validations,
  // indexes and custom descriptors are not copied.
  virtual void AssignOnlyFields(TmvBaseTableDescriptor* aSource);
  // False when aIndexDesc (aFieldDesc) has a constraint name registered in
  // this table, by any item; otherwise its own IsValidFor (this table).
  virtual bool IsIndexDescValid(TmvIndexDescriptor* aIndexDesc);
  virtual bool IsFieldDescValid(TmvFieldDescriptor* aFieldDesc);

  // The optional sub-descriptors. Add: CheckReadOnly; a class outside the
  // slot's family raises 15499; the present one is freed (an indices
  // descriptor is cleared with notification first, so that a refusal
  // leaves it in place) and one of aClass (nil: the slot's default class)
  // is created with the slot's header section and returned. Remove:
  // CheckReadOnly, then the same freeing. Ensure: the present one, else a
  // new one of the default class.
  TmvBaseRecordDescriptor* AddRecordDescriptor(const TmvStorageDescriptorClassRef* aClass = nullptr);
  TmvBaseBlobDescriptor* AddBlobDescriptor(const TmvStorageDescriptorClassRef* aClass = nullptr);
  TmvBaseAutoIncDescriptor* AddAutoIncDescriptor(const TmvStorageDescriptorClassRef* aClass = nullptr);
  TmvMainIndicesDescriptor* AddIndicesDescriptor(const TmvIndicesDescriptorClassRef* aClass = nullptr);
  TmvInternalIndicesDescriptor* AddInternalIndicesDescriptor(const TmvIndicesDescriptorClassRef* aClass = nullptr);
  void RemoveRecordDescriptor();
  void RemoveBlobDescriptor();
  void RemoveAutoIncDescriptor();
  void RemoveIndicesDescriptor();
  void RemoveInternalIndicesDescriptor();
  TmvMainIndicesDescriptor* EnsureIndicesDescriptor();
  TmvInternalIndicesDescriptor* EnsureInternalIndicesDescriptor();
  // ImvTableDescriptor: what AutoInc and BLOB fields need.
  void EnsureAutoIncDescriptor() override;
  void EnsureBlobDescriptor() override;

  // The field (main index) number of that name, ignoring case; -1 when none.
  int32_t GetFieldFromName(const String& aFieldName);
  int32_t GetIndexFromName(const String& aIndexName);
  // The table at a colon path from this one: "" is this table, "." this
  // table, ".." the parent table, any other head the nested table of that
  // name (ignoring case). A missing table raises 10024.
  TmvBaseTableDescriptor* GetChild(const String& aChildName);

  // Constraint names registered by the items below this table (ignoring
  // case). GetConstraints clears aStrings and lists each name with its item.
  TmvDictionaryItem* GetConstraintByName(const String& aName) const;
  void GetConstraints(TStrings& aStrings) const;

  // This table or a nested one (recursively) has a RefNr field.
  bool HasAnyRefNrField();
  // This table's state is not tcsNone and, unless aState is tcsNone, equals
  // aState; or a nested table (recursively) answers so.
  bool HasCachingSupport(TmvTableCachingState aState);
  // Releases aCachableInfo, fills a new one (the caller releases it) with
  // the special fields and the numbers of the modify-LSN main index (a
  // composite key without filter on that field alone, dups idAll for
  // tcsIsCache, else idNone or idNull) and of the internal indexes, and
  // answers whether the table qualifies for aState: it needs the modify-LSN,
  // insert-LSN and RefNr fields and that index, and, unless aState is
  // tcsIsCache, the graveyard and counter indexes; then tcsNone asks that it
  // is no cache table, tcsCacheable that it is cacheable, tcsIsCache that it
  // is a cache table (or, with aAcceptCachable, cacheable) whose BLOB
  // fields, if any, have the "$CachedBlobs" index.
  bool IsCacheable(TmvCacheableInfo*& aCachableInfo, TmvTableCachingState aState, bool aAcceptCachable);
  // Makes the table cacheable (tcsCacheable), adding with aCanChange what it
  // lacks, each marked "$Implicit"="$Cacheable". A cache table raises 12289
  // "Can't make a InCache table Cachable"; a table that still does not
  // qualify raises 12289 "Failed to make table cachable". A failure leaves
  // the changes made before it in place.
  void MakeCacheable(bool aCanChange);

  // 24 plus the key length of main index aInx (24 without main indexes);
  // a bad aInx raises 9999 "Index out of bounds: %d".
  int32_t BookmarkSize(int32_t aInx);
  // The key length of main index aInx; no main indexes or a bad aInx raise
  // 9999 "Index out of bounds: %d".
  int32_t KeyLen(int32_t aInx);
  // The largest key length of the main indexes (0 without); kept while the
  // cache is active.
  uint32_t MaxKeyLen();
  uint32_t MaxBookmarkSize() { return MaxKeyLen() + 24; }

  TmvFieldsDescriptor* GetFieldsDescriptor() const { return tdFieldsDescriptor; }
  TmvBaseBlobDescriptor* GetBlobDescriptor() const { return tdBlobDescriptor; }
  TmvBaseRecordDescriptor* GetRecordDescriptor() const { return tdRecordDescriptor; }
  TmvMainIndicesDescriptor* GetIndicesDescriptor() const { return tdIndicesDescriptor; }
  TmvInternalIndicesDescriptor* GetInternalIndicesDescriptor() const { return tdInternalIndicesDescriptor; }
  TmvBaseAutoIncDescriptor* GetAutoIncDescriptor() const { return tdAutoIncDescriptor; }
  TmvCustomDescsDescriptor* GetCustomDescsDescriptor() const { return tdCustomDescsDescriptor; }
  TmvTablesDescriptor* GetTablesDescriptor() const { return tdTablesDescriptor; }
  TmvTableCachingState GetCachingState() const { return tdCachingState; }
  // CheckReadOnly, then store.
  void SetCachingState(TmvTableCachingState aValue);

  // Stores the largest key length, then activates the children.
  void ActivateCache() override;
  // Keeps the name with aItem; a name present (ignoring case) raises 10009
  // "Constraint name already in use: \"%s\"".
  void AddConstraintName(TmvDictionaryItem* aItem, const String& aName) override;
  void RemoveConstraintName(TmvDictionaryItem* aItem, const String& aName) override;
  // The item's Clear, then ClearDescriptors (false, aNotify).
  void Clear(bool aNotify) override;
  // The tables, custom-descriptors, fields, main and internal indices,
  // BLOB, record and auto-increment families answer this table's slot (nil
  // when the slot is empty or holds another class than asked for).
  bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                   TmvDictionaryItem* aFrom = nullptr) override;
  // The table body (see above); peers below 20000 raise 12039. Internal
  // indexes are left out below 47005 (the thread's missing-information
  // flag is set).
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // Replaces every part with the stream's, the internal indexes included.
  void LoadFromReader(TmvReader& aReader) override;
  // The locale's check; a record descriptor is required (10004); then the
  // fields, record, BLOB, main and internal indices, auto-increment,
  // custom-descriptors and tables descriptors check themselves.
  void CheckValid(bool aForBuild) override;
  // Equal caching states and pairwise equal parts (both absent or both
  // present and equal).
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  // The parts are created by CreateParts, which the most derived class
  // calls once it is what it is: a data dictionary must be able to number
  // them.
  explicit TmvBaseTableDescriptor(TPersistent* aParent) : TmvLocalizedDictionaryItem(aParent) {}
  // Creates the fields, custom-descriptors and tables descriptors.
  void CreateParts();
  // Stores the caching state in the custom string "$CachingState" of this
  // table (and, with aNested, of every table below it) unless it is there.
  void StoreCachingState(bool aNested);
  // Frees every part. Custom descriptors and indexes refer to fields,
  // files and indexes by number, and nested tables and storage descriptors
  // to the data dictionary's files: they go first, while everything they
  // unregister from still answers.
  void FreeParts();

  TmvFieldsDescriptor* tdFieldsDescriptor = nullptr;
  TmvBaseBlobDescriptor* tdBlobDescriptor = nullptr;
  TmvBaseRecordDescriptor* tdRecordDescriptor = nullptr;
  TmvMainIndicesDescriptor* tdIndicesDescriptor = nullptr;
  TmvInternalIndicesDescriptor* tdInternalIndicesDescriptor = nullptr;
  TmvBaseAutoIncDescriptor* tdAutoIncDescriptor = nullptr;
  TmvCustomDescsDescriptor* tdCustomDescsDescriptor = nullptr;
  TmvTablesDescriptor* tdTablesDescriptor = nullptr;
  TmvTableCachingState tdCachingState = tcsNone;
  // Name (ignoring case) -> registering item; nil while no name is kept.
  std::unique_ptr<TStringList> tdConstraints;
  uint32_t tdMaxKeyLen = 0;

 private:
  uint32_t ComputeMaxKeyLen();
  void CheckMainIndex(int32_t aInx);
  bool ConstraintRegistered(TmvDictionaryItem* aItem) const;
  void ReadCachingState();
};

// ---------------------------------------------------------------------------
// TmvNestedTableDescriptor

// A table stored in its parent table's file.
class TmvNestedTableDescriptor : public TmvBaseTableDescriptor {
  MV_DECLARE_CLASSREF(TmvTableDescriptorClassRef)
 public:
  // aName must be an identifier (reserved words allowed): else 10039
  // "Invalid table name.", raised before the table takes an ID.
  TmvNestedTableDescriptor(TPersistent* aParent, const String& aName);

  const String& GetName() const { return ntdName; }

  // The parent table's full name, ":" and this name; the name alone
  // without a parent table.
  String btdFullName() override;
  // Also equal names, ignoring case.
  bool IsEqual(TmvDictionaryItem* aItem) override;

 protected:
  friend class TmvTablesDescriptor;
  String ntdName;
};

// ---------------------------------------------------------------------------
// TmvTablesDescriptor

// The nested tables of one table, in order of addition, names unique
// ignoring ASCII case. Owns them.
class TmvTablesDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvTablesDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvTablesDescriptor() override;

  // CheckReadOnly; aName must be an identifier (10039); a table of that
  // name (ignoring case) raises 10009 "Duplicated table name: %s". Creates
  // one of aClass (nil: TmvNestedTableDescriptor), appends and returns it.
  TmvNestedTableDescriptor* AddTable(const String& aName, const TmvTableDescriptorClassRef* aClass = nullptr);
  // Position (ignoring ASCII case), -1 when none.
  int32_t GetTableIndexFromName(const String& aName) const;
  // The table; none raises 10024 "Table does not exist.".
  TmvNestedTableDescriptor* GetTableDescriptorFromName(const String& aName) const;
  // CheckReadOnly; frees the table and closes the gap; a bad position (an
  // absent name) does nothing.
  void RemoveTable(int32_t aInx);
  void RemoveTable(const String& aName);
  // CheckReadOnly; nothing when the names are exactly equal; 10039 for a
  // bad new name, 10009 when another table has it, 10024 for a missing old
  // one.
  void RenameTable(const String& aOldName, const String& aNewName);
  // Clears aStrings and lists each table's name with its descriptor.
  void GetTables(TStrings& aStrings) const;
  bool HasAnyRefNrField();
  bool HasCachingSupport(TmvTableCachingState aState);

  int32_t TableCount() const { return int32_t(tdTables.size()); }
  // Requires: 0 <= aIndex < TableCount.
  TmvNestedTableDescriptor* TableDescriptor(int32_t aIndex) const { return tdTables[size_t(aIndex)]; }

  // The item's Clear; then each table, last to first, is cleared and freed.
  void Clear(bool aNotify) override;
  // Item header; peers below 20000 raise 12039; integer 1; integer count;
  // per table its class name, its name and its table body.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // Replaces the list with the stream's tables; an unregistered class raises
  // 15499 naming "TableDescriptor".
  void LoadFromReader(TmvReader& aReader) override;
  // The item check; a name seen earlier (ignoring case) raises 10009
  // "Duplicated table descriptor name: %s"; then each table checks itself.
  void CheckValid(bool aForBuild) override;
  // The same count and pairwise equal tables, in order.
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 private:
  TmvNestedTableDescriptor* Append(const TmvTableDescriptorClassRef& aClass, const String& aName);
  void DropAll();

  std::vector<TmvNestedTableDescriptor*> tdTables;  // owned, in order of addition
};
