// Data dictionary: key descriptors and key field descriptors.
//
// A key descriptor says how the key of an index is formed from a record.
// The composite key (`TmvCompKeyDescriptor`) is the general form: an ordered
// list of key fields, each naming a field by number with its direction, its
// treatment of nulls, an optional partial length and an optional composite
// key field engine. Three fixed keys serve internal indexes: the record
// reference, one 64-bit integer and the BLOB cache key. Every key may carry
// a filter: records that do not match it are not indexed. The descriptor
// states the key length, which the index engines size their keys by; the
// byte layout of a key belongs to the key engines (mvsdKeyEngineBase.h).
//
// Ownership: a composite key owns its key fields, a key owns its filter,
// and an index owns its key. A key field holds a field by number and
// registers with the related fields descriptor, so that it follows
// renumbering and refuses the removal of its field (15502).
//
// Layer: data dictionary; calls the dictionary item base, the field and
// fields descriptors, the locale descriptor and the filter descriptor root.
// Threading: as every dictionary item (mvsdDictionaryItem.h); key lengths
// are computed when the cache is activated, so a frozen key is only read.
#pragma once

#include <string_view>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/types/mvsdTypes.h"

class TmvBaseFilterDescriptor;
class TmvFieldDescriptor;
class TmvKeyFieldDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseKeyDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvCompKeyDescriptorException, EmvBaseKeyDescriptorException)
MV_DECLARE_EXCEPTION(EmvKeyFieldDescriptorException, EmvLocalizedDictionaryItemException)

// Where null keys sort, or which records a key field keeps out of the index.
enum TmvNullBehaviour : uint8_t { nbTop, nbBottom, nbAsAscend, nbFilterNull, nbFilterNonNull };
inline constexpr int mvNullBehaviourCount = 5;
// The enumeration names ("nbTop" ...), the form a key field's stream uses.
extern const std::u16string_view mvNullBehaviourNames[mvNullBehaviourCount];

// The field number of a key field whose field is its free-standing parent.
inline constexpr int32_t mvParentFieldNumber = INT32_MIN;  // 0x80000000

// ---------------------------------------------------------------------------
// TmvBaseKeyDescriptor

// The root of the key family, with the family's registry. Created through
// the family record's Create (aParent).
class TmvBaseKeyDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvBaseKeyDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvBaseKeyDescriptor() override;

  // Whether the key may stand in that table; true here.
  virtual bool IsValidFor(TmvDictionaryItem* aTableDescriptor);
  // The bytes of one key.
  virtual int32_t GetKeyLen() = 0;
  // Whether a key may hold a null; true here.
  virtual bool CanContainNulls();

  TmvBaseFilterDescriptor* GetFilter() const { return bkdFilter; }
  // CheckReadOnly; frees the present filter and takes ownership of aFilter
  // (nil: no filter).
  void SetFilter(TmvBaseFilterDescriptor* aFilter);

  // Both filters absent or both present; their contents take no part.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // The item header, then the filter part (peers from 20000 on).
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

 private:
  TmvBaseFilterDescriptor* bkdFilter = nullptr;  // owned
};

// What the three fixed keys share: a length of their own, never null, no
// fields, and the same stream form. It has no class record of its own, so
// the class tree that registries and streams see is the three keys under
// TmvBaseKeyDescriptor.
class TmvFixedKeyDescriptor : public TmvBaseKeyDescriptor {
 public:
  using TmvBaseKeyDescriptor::TmvBaseKeyDescriptor;
  bool CanContainNulls() override { return false; }
  // The base part, then integer 1.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

// The 8-byte record reference.
class TmvRefKeyDescriptor : public TmvFixedKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvFixedKeyDescriptor::TmvFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 8; }
};

// One 64-bit integer.
class TmvInt64KeyDescriptor : public TmvFixedKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvFixedKeyDescriptor::TmvFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 8; }
};

// The key of the internal index "$CachedBlobs" of a cache table with BLOB
// fields: record id, field number and BLOB number.
class TmvBlobCacheKeyDescriptor : public TmvFixedKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvFixedKeyDescriptor::TmvFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 28; }
};

// ---------------------------------------------------------------------------
// TmvCompKeyDescriptor

// The family record of key fields: the virtual constructor Create (aParent,
// aFieldNumber).
struct TmvKeyFieldDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvKeyFieldDescriptor* (*CreateKeyField)(TPersistent* aParent, int32_t aFieldNumber);
};

// An ordered list of key fields. Key length: the key fields' lengths plus
// one null-flag bit per key field, rounded up to bytes.
class TmvCompKeyDescriptor : public TmvBaseKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvCompKeyDescriptor(TPersistent* aParent) : TmvBaseKeyDescriptor(aParent) {}
  ~TmvCompKeyDescriptor() override;

  // CheckReadOnly; a key field of aClass (nil: GetDefaultKeyFieldClass) on
  // the field aFieldNumber is appended (inserted at aIndex, 0..count, else
  // the list's index error) and returned. A failure leaves the list as it
  // was.
  virtual TmvKeyFieldDescriptor* Add(int32_t aFieldNumber, const TmvKeyFieldDescriptorClassRef* aClass = nullptr);
  virtual TmvKeyFieldDescriptor* Insert(int32_t aIndex, int32_t aFieldNumber,
                                        const TmvKeyFieldDescriptorClassRef* aClass = nullptr);
  virtual const TmvKeyFieldDescriptorClassRef& GetDefaultKeyFieldClass();
  // The same by field name, looked up in the related fields descriptor
  // (8712 without one); an unknown name gives field number -1, which
  // CheckValid refuses.
  TmvKeyFieldDescriptor* Add(const String& aFieldName, const TmvKeyFieldDescriptorClassRef* aClass = nullptr);
  TmvKeyFieldDescriptor* Insert(int32_t aIndex, const String& aFieldName,
                                const TmvKeyFieldDescriptorClassRef* aClass = nullptr);
  // CheckReadOnly; frees the key field at aIndex (list index error outside).
  void Delete(int32_t aIndex);
  // CheckReadOnly; moves a key field within the list.
  void Move(int32_t aFrom, int32_t aTo);

  // Requires: 0 <= aIndex < KeyFieldCount.
  TmvKeyFieldDescriptor* KeyFields(int32_t aIndex) const;
  int32_t KeyFieldCount() const { return ckdKeyFields.Count(); }
  // Forgets the cached key length (a key field changed).
  void ResetKeyLen() { ckdKeyLen = -1; }

  int32_t GetKeyLen() override;
  bool CanContainNulls() override;
  // False without key fields; else whether every key field is valid there.
  bool IsValidFor(TmvDictionaryItem* aTableDescriptor) override;
  void ActivateCache() override;
  // The item's clear, then every key field is freed.
  void Clear(bool aNotify) override;
  // 10004 "Composite key requires a minimum of one field"; then each key
  // field checks itself.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  // The bytes of null flags in front of the key fields.
  virtual int32_t NullFlagBytes() const;

 private:
  TmvKeyFieldDescriptor* InsertNew(int32_t aIndex, int32_t aFieldNumber, const TmvKeyFieldDescriptorClassRef* aClass);
  int32_t FieldNumberOf(const String& aFieldName);
  void FreeKeyField(int32_t aIndex);
  void DropKeyFields();

  TmvList ckdKeyFields;  // owned key fields, in key order
  int32_t ckdKeyLen = -1;
};

// A composite key whose fields can never be null: no null flags. CheckValid
// refuses a key field on a field that could hold null (10004 "Field \"%s\"
// is not marked as required").
class TmvNoNullCompKeyDescriptor : public TmvCompKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvCompKeyDescriptor::TmvCompKeyDescriptor;
  void CheckValid(bool aForBuild) override;
  // The composite form, then integer 1.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  int32_t NullFlagBytes() const override { return 0; }
};

// ---------------------------------------------------------------------------
// TmvKeyFieldDescriptor

// One field of a composite key. Its parent is the composite key, or, with
// field number mvParentFieldNumber, the free-standing field it keys.
class TmvKeyFieldDescriptor : public TmvLocalizedDictionaryItem {
  MV_DECLARE_CLASSREF(TmvKeyFieldDescriptorClassRef)
 public:
  // Ascending; registers for field-change notifications with the related
  // fields descriptor unless the number is mvParentFieldNumber.
  TmvKeyFieldDescriptor(TPersistent* aParent, int32_t aFieldNumber);
  ~TmvKeyFieldDescriptor() override;

  // Whether 0 <= field number < the table's field count.
  virtual bool IsValidFor(TmvDictionaryItem* aTableDescriptor);
  // False for nbFilterNull; else true unless the field is required.
  virtual bool CanContainNulls();

  // The field keyed: the free-standing parent field for
  // mvParentFieldNumber, else the field at the number in the related fields
  // descriptor; nil when no fields descriptor is related. A number outside
  // the field list raises 9999 "Invalid field number: %d".
  TmvFieldDescriptor* Field();
  // ShortString, NullString, WideString: the units, cut to the character
  // override when that is above 0 and smaller; 0 for other types.
  int32_t KeyChars();
  // The bytes of this key field's part (see the rules in the .cpp).
  int32_t KeyLength();

  int32_t GetFieldNumber() const { return kfdFieldNumber; }
  // CheckReadOnly; stores and resets the key's cached length. The
  // registration is not changed.
  void SetFieldNumber(int32_t aValue);
  int32_t GetOverrideLengthBytes() const { return kfdOverrideLengthBytes; }
  int32_t GetOverrideLengthChars() const { return kfdOverrideLengthChars; }
  // When the value differs: CheckReadOnly, reset the key's cached length,
  // store.
  void SetOverrideLengthBytes(int32_t aValue);
  void SetOverrideLengthChars(int32_t aValue);
  const String& GetDesc() const { return kfdDesc; }
  void SetDesc(const String& aValue);
  // A registered composite key field engine; empty: the default one.
  const String& GetKeyFieldEngine() const { return kfdKeyFieldEngine; }
  void SetKeyFieldEngine(const String& aValue);
  bool GetAscend() const { return kfdAscend; }
  void SetAscend(bool aValue);
  TmvNullBehaviour GetNullBehaviour() const { return kfdNullBehaviour; }
  void SetNullBehaviour(TmvNullBehaviour aValue);

  // The used locale of the key's field when there is a field.
  TmvLocaleDescriptor* GetInheritedLocaleDescriptor() override;
  // A text key field whose locale now sorts otherwise than when the index
  // was built.
  bool ItemRequiresPack() override;
  // Follows the renumbering of its field; refuses its removal with 15502
  // "Cannot remove field %s because it is still referenced by an index".
  void FieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  // 9999 "Invalid field number: %d" for a number outside the fields.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

 protected:
  // Whether an own locale may be written for peers below 20000.
  virtual bool WritesOldLocaleForm() const { return false; }
  void ResetKeyLen();
  // Field without raising: nil also for a number outside the fields, which
  // aBadNumber then tells.
  TmvFieldDescriptor* FindField(bool& aBadNumber);
  TmvFieldDescriptor* FindField();

  int32_t kfdFieldNumber;
  String kfdDesc;
  String kfdKeyFieldEngine;
  bool kfdAscend = true;
  int32_t kfdOverrideLengthBytes = 0;
  int32_t kfdOverrideLengthChars = 0;
  TmvNullBehaviour kfdNullBehaviour = nbTop;
};

// A key field on a text field, which may ignore case.
class TmvTextKeyFieldDescriptor : public TmvKeyFieldDescriptor {
  MV_DECLARE_CLASSREF(TmvKeyFieldDescriptorClassRef)
 public:
  using TmvKeyFieldDescriptor::TmvKeyFieldDescriptor;

  bool GetIgnoreCase() const { return tkfIgnoreCase; }
  void SetIgnoreCase(bool aValue);

  bool IsEqual(TmvDictionaryItem* aItem) override;
  // The key field form, then integer 1 and the ignore-case flag.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  bool tkfIgnoreCase = false;
};

// A text key field that streams a locale of its own (compare options, sort)
// also for old peers, in their locale form.
class TmvExtTextKeyFieldDescriptor : public TmvTextKeyFieldDescriptor {
  MV_DECLARE_CLASSREF(TmvKeyFieldDescriptorClassRef)
 public:
  using TmvTextKeyFieldDescriptor::TmvTextKeyFieldDescriptor;

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 protected:
  bool WritesOldLocaleForm() const override { return true; }

 private:
  void SaveOldLocaleForm(TmvWriter& aWriter);
  void LoadOldLocaleForm(TmvReader& aReader);
};
