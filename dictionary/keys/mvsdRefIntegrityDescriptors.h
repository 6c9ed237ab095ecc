// Data dictionary: referential-integrity descriptors.
//
// A table's referential-integrity rules are one custom descriptor named
// "RefIntegrity" (`TmvRefIntegrityDescriptor`) in its custom-descriptors
// list. It holds a list of references. A reference says
//   - which table it points to: its target cursor, the table itself
//     (clone), another table by name (table, with the target's password)
//     or a table nested in the same file by path (relative);
//   - which index of the target table is searched (by name);
//   - which fields of this table give the key, in key order (its sources);
//   - what happens when referencing or referenced rows change (its
//     actions: cascade, clear, set default or block, for a delete or a
//     modify of the referenced row; or the target row must exist).
// These descriptors hold the rules, check them, compare them and stream
// them; the referential-integrity engine of the storage layer enforces them.
// It finds its engine classes from the descriptors' class names and keeps
// them in the descriptors' cached-engine-class fields, which any thread may
// store while the tree is frozen (every thread stores the same class).
//
// Ownership: the custom descriptor owns its references; a reference owns
// its target cursor (always present), its sources and its actions. A field
// source holds its field by number and registers with the related fields
// descriptor, so that it follows renumbering and refuses the removal of
// its field (15502).
//
// Stream forms (value-stream encoding), each after the item header:
//   references list   integer 1; list start; per reference: string class
//                     name of the reference, string class name of its target
//                     cursor, the reference's form; list end
//   reference         integer 1; the target cursor's form; string target
//                     index; list start; per source: string class name, its
//                     form; list end; list start; per action: string class
//                     name, its form; list end
//   target cursor     integer 1; then clone: integer 1; table: integer 2
//                     (peers from 20000 on; else 1, and a password cannot be
//                     written: 12039), string table name, version 2 only: the
//                     password as a wide string; relative: integer 1, string
//                     path
//   source, action    peers from 20000 on: integer 2, boolean SkipOnNull;
//                     below: integer 1 (a SkipOnNull cannot be written:
//                     12039); then field source: integer 1, integer field
//                     number; every action: integer 1
// The classes of references, target cursors, sources and actions are
// resolved through one registry per family (unknown names: 15499 with
// "ReferenceDescriptor", "TargetCursorDescriptor", "SourceDescriptor" or
// "ActionDescriptor").
//
// Layer: data dictionary; calls the dictionary item base, the table
// descriptor and data dictionary (for table names and paths) and the
// table-name checks. Threading: as every dictionary item. Every change
// passes CheckReadOnly first (15500 on a frozen dictionary).
#pragma once

#include <vector>

#include "dictionary/mvsdCustomDescriptors.h"

class TmvDataDictionary;
class TmvBaseTableDescriptor;
class TmvBaseTargetCursorDescriptor;
class TmvBaseSourceDescriptor;
class TmvBaseActionDescriptor;
class TmvFieldDescriptor;
class TmvReferenceDescriptor;

MV_DECLARE_EXCEPTION(EmvRefIntegrityDescriptorException, EmvBaseCustomDescriptorException)
MV_DECLARE_EXCEPTION(EmvReferenceDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvTargetCursorDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvSourceDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvActionDescriptorException, EmvDictionaryItemException)

// The name of the custom descriptor that holds a table's references.
inline constexpr char16_t mvRefIntegrityDescriptorName[] = u"RefIntegrity";

// ---------------------------------------------------------------------------
// TmvRefIntegrityDescriptor

// The family record of references: the virtual constructor Create
// (aParent, aTargetCursorClass).
struct TmvReferenceDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvReferenceDescriptor* (*CreateReference)(TPersistent* aParent, const TmvDictionaryItemClassRef* aTargetCursorClass);
};

// The references of one table.
class TmvRefIntegrityDescriptor : public TmvBaseCustomDescriptor {
  MV_DECLARE_CLASSREF(TmvCustomDescriptorClassRef)
 public:
  using TmvBaseCustomDescriptor::TmvBaseCustomDescriptor;
  ~TmvRefIntegrityDescriptor() override;

  // CheckReadOnly; a reference of aReferenceClass (nil: TmvReferenceDescriptor)
  // with a target cursor of aTargetCursorClass (nil:
  // TmvTableTargetCursorDescriptor) is created under this descriptor,
  // appended and returned. A class of another family raises 15499.
  TmvReferenceDescriptor* AddReference(const TmvReferenceDescriptorClassRef* aReferenceClass = nullptr,
                                       const TmvDictionaryItemClassRef* aTargetCursorClass = nullptr);
  // CheckReadOnly; frees the reference and closes the gap. A position
  // outside the list (a reference not in it) does nothing.
  void RemoveReference(int32_t aIndex);
  void RemoveReference(TmvReferenceDescriptor* aReference);

  int32_t ReferenceCount() const { return int32_t(ridReferences.size()); }
  // Requires: 0 <= aIndex < ReferenceCount.
  TmvReferenceDescriptor* Reference(int32_t aIndex) const { return ridReferences[size_t(aIndex)]; }

  // The item's Clear; then every reference, last first, is freed.
  void Clear(bool aNotify) override;
  // The custom descriptor's checks, then each reference's.
  void CheckValid(bool aForBuild) override;
  // The custom descriptor's test, the same count and pairwise equal
  // references.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // Replaces the references with the stream's.
  void LoadFromReader(TmvReader& aReader) override;

 private:
  void DropReferences();

  std::vector<TmvReferenceDescriptor*> ridReferences;  // owned, in order
};

// The "RefIntegrity" custom descriptor of the dictionary's table, added
// when missing. A custom descriptor of that name of another class raises
// EInvalidCast.
TmvRefIntegrityDescriptor* mvEnsureRefIntegrityDescriptor(TmvDataDictionary* aDataDictionary);
// That descriptor of a table, nil when the table has none; one of another
// class raises EInvalidCast.
TmvRefIntegrityDescriptor* mvFindRefIntegrityDescriptor(TmvBaseTableDescriptor* aTableDescriptor);

// ---------------------------------------------------------------------------
// TmvReferenceDescriptor

class TmvReferenceDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvReferenceDescriptorClassRef)
 public:
  // The target cursor is created of aTargetCursorClass (nil:
  // TmvTableTargetCursorDescriptor) under this reference; a class of
  // another family raises 15499.
  TmvReferenceDescriptor(TPersistent* aParent, const TmvDictionaryItemClassRef* aTargetCursorClass);
  ~TmvReferenceDescriptor() override;

  // CheckReadOnly; creates an item of aClass (nil: TmvFieldSourceDescriptor,
  // TmvBlockDeleteActionDescriptor) under this reference, appends and
  // returns it. A class of another family raises 15499.
  TmvBaseSourceDescriptor* AddSource(const TmvDictionaryItemClassRef* aClass = nullptr);
  TmvBaseActionDescriptor* AddAction(const TmvDictionaryItemClassRef* aClass = nullptr);
  // CheckReadOnly; frees it and closes the gap; a position outside the
  // list (an item not in it) does nothing.
  void RemoveSource(int32_t aIndex);
  void RemoveSource(TmvBaseSourceDescriptor* aSource);
  void RemoveAction(int32_t aIndex);
  void RemoveAction(TmvBaseActionDescriptor* aAction);

  TmvBaseTargetCursorDescriptor* GetTargetCursor() const { return rdTargetCursor; }
  const String& GetTargetIndex() const { return rdTargetIndex; }
  // CheckReadOnly, then store.
  void SetTargetIndex(const String& aValue);
  int32_t SourceCount() const { return int32_t(rdSources.size()); }
  TmvBaseSourceDescriptor* Source(int32_t aIndex) const { return rdSources[size_t(aIndex)]; }
  int32_t ActionCount() const { return int32_t(rdActions.size()); }
  TmvBaseActionDescriptor* Action(int32_t aIndex) const { return rdActions[size_t(aIndex)]; }

  // A reference of exactly this class is copied through its stream form;
  // the target cursor is first replaced by one of the source's target
  // cursor class, since the form holds no class name for it.
  void Assign(const TPersistent* aSource) override;
  // The item's Clear; the sources and actions are freed, the target index
  // emptied and the target cursor cleared.
  void Clear(bool aNotify) override;
  // True for an index named as the target index (ignoring case) whose table
  // (a required parent, 8712) the target cursor references.
  bool References(TmvDictionaryItem* aItem) override;
  // The item's checks and the target cursor's; with aForBuild the reference
  // needs sources, a target index and actions (an exception without error
  // code, its message prefixed "TableName: <base name> - " below a data
  // dictionary); then each source and action checks itself.
  void CheckValid(bool aForBuild) override;
  // Equal target cursors, target indexes (ignoring case), sources and
  // actions, pairwise and in order.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // The target cursor made by the constructor reads its part; the sources
  // and actions are replaced with the stream's.
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

  // Kept by the enforcement engine on first use.
  const TmvRegisterableEngineClassRef* rdCachedEngineClass = nullptr;

 private:
  void DropSourcesAndActions();
  String MessagePrefix() const;

  TmvBaseTargetCursorDescriptor* rdTargetCursor = nullptr;  // owned, always present
  String rdTargetIndex;
  std::vector<TmvBaseSourceDescriptor*> rdSources;  // owned, in key order
  std::vector<TmvBaseActionDescriptor*> rdActions;  // owned
};

// ---------------------------------------------------------------------------
// Target cursors

// Where a reference points. Created through the family record's Create
// (aParent).
class TmvBaseTargetCursorDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvBaseTargetCursorDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}

  // The full name of the table the reference points to.
  virtual String ReferencedTableName() = 0;

  // True for a table descriptor whose full name is ReferencedTableName
  // (ignoring case).
  bool References(TmvDictionaryItem* aItem) override;
  // The item header, then integer 1.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

  // Kept by the enforcement engine on first use.
  const TmvRegisterableEngineClassRef* btcCachedEngineClass = nullptr;
};

// The table that owns the reference.
class TmvCloneTargetCursorDescriptor : public TmvBaseTargetCursorDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTargetCursorDescriptor::TmvBaseTargetCursorDescriptor;
  // The full name of the owning table (8712 without one).
  String ReferencedTableName() override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

// A table by name: a root table, optionally followed by ":" and the path of
// a nested table; with the password that opens it.
class TmvTableTargetCursorDescriptor : public TmvBaseTargetCursorDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTargetCursorDescriptor::TmvBaseTargetCursorDescriptor;

  const String& GetTableName() const { return ttcTableName; }
  // CheckReadOnly; the name must be a table name, and must be set: the code
  // of mvCheckTableName (10024 for an empty name, 10039) is raised.
  void SetTableName(const String& aValue);
  const String& GetPassword() const { return ttcPassword; }
  void SetPassword(const String& aValue);

  String ReferencedTableName() override { return ttcTableName; }
  void Clear(bool aNotify) override;
  // The item's checks; a name mvCheckTableName refuses raises its code with
  // "Referential Integrity Target Table Name must be set" or "... Invalid
  // [<name>]".
  void CheckValid(bool aForBuild) override;
  // Equal table names ignoring case; the password takes no part.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  String ttcTableName;
  String ttcPassword;
};

// A table nested in the same file, by path. A path that begins with "." is
// taken from the owning table: ".", ".." and parts after them as the
// table descriptor's child lookup reads them, and a first part that is
// "." followed by a name (".detail") as that nested table of the owning
// table. Any other path is taken from the data dictionary, the root table.
class TmvRelativeTargetCursorDescriptor : public TmvBaseTargetCursorDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseTargetCursorDescriptor::TmvBaseTargetCursorDescriptor;

  const String& GetTableName() const { return rtcTableName; }
  // CheckReadOnly; a path mvCheckChildTablePath refuses raises 10039.
  void SetTableName(const String& aValue);

  // The full name of the table the path names; a path that names no table
  // raises 10024, one without a table or dictionary above it 8712.
  String ReferencedTableName() override;
  void Clear(bool aNotify) override;
  // The item's checks; a path mvCheckChildTablePath refuses raises 10039
  // with "Referential Integrity Target Table must be set" or "... Invalid
  // [<path>]"; the path must name a table (10024).
  void CheckValid(bool aForBuild) override;
  // Equal paths ignoring case.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  String rtcTableName;
};

// ---------------------------------------------------------------------------
// Sources

// What gives one part of the key searched in the target index.
class TmvBaseSourceDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvBaseSourceDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}

  // Whether a null source skips the check; takes no part in comparisons.
  bool GetSkipOnNull() const { return bsdSkipOnNull; }
  void SetSkipOnNull(bool aValue);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

  // Kept by the enforcement engine on first use.
  const TmvRegisterableEngineClassRef* bsdCachedEngineClass = nullptr;

 protected:
  bool bsdSkipOnNull = false;
};

// A field of the owning table, by number (-1 when created).
class TmvFieldSourceDescriptor : public TmvBaseSourceDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  // Registers for the related fields descriptor's change notifications.
  explicit TmvFieldSourceDescriptor(TPersistent* aParent);
  ~TmvFieldSourceDescriptor() override;

  int32_t GetFieldNumber() const { return fsdFieldNumber; }
  // CheckReadOnly, then store; CheckValid checks the number.
  void SetFieldNumber(int32_t aValue);
  // The field at the number in the related fields descriptor (8712 without
  // one; a number outside it raises 10004 "Invalid field number: %d").
  TmvFieldDescriptor* Field();

  // Follows the renumbering of its field; refuses its removal with 15502
  // "Cannot remove field %s because it is still referenced by an index".
  void FieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  // With a related fields descriptor, 10004 "Invalid field number: %d" for
  // a number outside it.
  void CheckValid(bool aForBuild) override;
  // Equal field numbers.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  int32_t fsdFieldNumber = -1;
};

// ---------------------------------------------------------------------------
// Actions

// What the enforcement engine does; each kind is told apart by its class
// alone. Created through the family record's Create (aParent).
class TmvBaseActionDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvBaseActionDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}

  // Whether a null source skips the action; takes no part in comparisons.
  bool GetSkipOnNull() const { return badSkipOnNull; }
  void SetSkipOnNull(bool aValue);

  // The SkipOnNull part, then the kind's integer 1.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

  // Kept by the enforcement engine on first use.
  const TmvRegisterableEngineClassRef* badCachedEngineClass = nullptr;

 protected:
  bool badSkipOnNull = false;
};

// When the referenced row is deleted: delete the referencing rows too.
class TmvCascadeDeleteActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// ... set the referencing fields to null.
class TmvClearDeleteActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// ... set the referencing fields to their defaults.
class TmvSetDefaultDeleteActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// ... refuse the delete while referencing rows exist.
class TmvBlockDeleteActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// When the referenced row's key is modified: carry the change over.
class TmvCascadeModifyActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// ... set the referencing fields to null.
class TmvClearModifyActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// ... set the referencing fields to their defaults.
class TmvSetDefaultModifyActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// ... refuse the modification while referencing rows exist.
class TmvBlockModifyActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};
// A referencing row needs an existing target row.
class TmvTargetRequiredActionDescriptor : public TmvBaseActionDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseActionDescriptor::TmvBaseActionDescriptor;
};

// ---------------------------------------------------------------------------
// Registration

// Registers the classes under their class names in their families'
// registries, at the dictionary's start-up; a failure leaves none of them
// registered and passes on.
void mvRegisterRefIntegrityClasses();
// Unregisters them all, which frees the reference, target-cursor, source
// and action registries.
void mvUnregisterRefIntegrityClasses();
