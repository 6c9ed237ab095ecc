// Data dictionary: the fields descriptor and the record buffer.
//
// `TmvFieldsDescriptor` is the field list of one table and the authority on
// the record buffer, the image of one record that record engines store, key
// engines read, defaults, validations and filters evaluate and cursors copy.
// For N fields:
//
// | bytes                         | content                                    |
// |-------------------------------|--------------------------------------------|
// | fdOffset .. + fdLength        | field i's native value (zero when null);   |
// |                               | fields packed in order from offset 0, no   |
// |                               | alignment of single fields                 |
// | LogicalRecordLength           | null bitmap: (N + 31) div 32 little-endian |
// |   .. + 4 * ((N + 31) div 32)  | words, field i = bit i mod 32 of word      |
// |                               | i div 32; set = null                       |
//
// LogRecLen is the sum of the field lengths; the logical record length is
// LogRecLen rounded up to 4 (not rounded in a version-1 dictionary); the
// record length is LogRecLen rounded up to 4 plus the bitmap (also in
// version 1, whose records end with padding after the bitmap).
//
// It owns the field descriptors, numbers and places them, looks fields up
// by name (hashed while cached), caches the record length, the record
// allocator and the special fields, derives the word layout of record
// difference compression, gives raw, typed and variant access to the fields
// of a buffer, and implements `ImvFieldsSource` for filters.
//
// Layer: data dictionary. Threading: built on one thread; while the cache
// is active any number of threads read it; the special-fields and
// difference-compression infos are reference counted and published
// lock-free. Record access requires a buffer of RecordLength bytes laid out
// by this descriptor and a field number in 0..N-1 unless said otherwise.
#pragma once

#include <atomic>
#include <vector>

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/memory/mvllMemoryManager.h"

class TmvFieldsValidationsDescriptor;
class TmvAbstractCursor;  // the server engine's cursor

MV_DECLARE_EXCEPTION(EmvFieldsDescriptorException, EmvDictionaryItemException)

// The largest record the dictionary lays out: record buffers are indexed by
// 16-bit numbers.
inline constexpr int32_t mvMaxRecordLength = 65535;

// Where the null bitmap of a record whose fields take aFieldsLength bytes
// starts (version-2 layout), and how many bytes it takes for aFieldCount
// fields.
inline constexpr int64_t mvNullBitmapOffset(int64_t aFieldsLength) { return (aFieldsLength + 3) & ~int64_t(3); }
inline constexpr int32_t mvNullBitmapSize(int32_t aFieldCount) { return 4 * ((aFieldCount + 31) / 32); }

// The interface through which filters and checks read the fields of a
// record or key buffer. Reference counting does nothing for the fields
// descriptor, which its table owns.
class ImvFieldsSource : public IInterface {
 public:
  // False for a bad field number. aName has no meaning here. aSize is the
  // field's units, for a ShortString its length byte (aValue then points
  // behind it); aCodePage the field's storage code page.
  virtual bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType,
                                 uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) = 0;
  virtual Variant GetFieldAsVariant(const void* aData, int32_t aIndex) = 0;
  virtual bool BlobsSupported() = 0;
  virtual int32_t GetFieldFromName(const String& aName) = 0;
  virtual int32_t GetFieldCount() = 0;
  virtual ImvFieldDescriptor* GetFieldDescriptor(int32_t aIndex) = 0;
  virtual TmvAbstractCursor* GetCursor() = 0;
  virtual int32_t GetFieldsOffset() = 0;

 protected:
  ~ImvFieldsSource() = default;
};
inline constexpr TGUID IID_ImvFieldsSource{0x3E7A9C41, 0x52D0, 0x4F8B, {0xA1, 0x6E, 0x0B, 0x94, 0x7C, 0x25, 0xD3, 0x11}};

class TmvFieldsDescriptor : public TmvDictionaryItem, public ImvFieldsSource {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvFieldsDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvFieldsDescriptor() override;

  virtual void SetupForCacheTable();

  // Field list maintenance. Each passes CheckReadOnly first and needs a
  // data dictionary above (8712) for the layout version.
  // 10038 for a bad name, 10009 "Duplicated field name: %s" for a name
  // present (ignoring case); appends a field of aClass (nil:
  // TmvFieldDescriptor) at offset LogRecLen. A record longer than
  // mvMaxRecordLength raises 15495.
  TmvFieldDescriptor* AddField(const String& aName, const String& aDesc, TmvFieldType aType, int32_t aUnits,
                               int32_t aDecPl, bool aRequired, const TmvFieldDescriptorClassRef* aClass = nullptr);
  // A copy of a field (its own stream part included) keeping the new ID,
  // offset and length; on failure the list is as before.
  TmvFieldDescriptor* AddField(TmvFieldDescriptor* aFieldDescriptor);
  // aIndex in 0..N (9999 "Index out of bounds: %d"); announced with the
  // check pass (-1, aIndex) and the apply pass.
  TmvFieldDescriptor* InsertFieldAt(int32_t aIndex, const String& aName, const String& aDesc, TmvFieldType aType,
                                    int32_t aUnits, int32_t aDecPl, bool aRequired,
                                    const TmvFieldDescriptorClassRef* aClass = nullptr);
  // Both in 0..N-1 (9999 naming the first bad one); equal ones do nothing.
  void MoveField(int32_t aFrom, int32_t aTo);
  // Outside 0..N-1 nothing happens; a registered item may refuse (15502).
  void RemoveField(int32_t aIndex);
  void Clear(bool aNotify) override;
  // Sends FieldChangeNotification to every registered item in list order.
  void fsdFieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber);
  void AddFieldChangeNotify(TmvDictionaryItem* aItem) { mvAddChangeNotify(fsdFieldChangeNotifies, aItem); }
  void RemoveFieldChangeNotify(TmvDictionaryItem* aItem) { mvRemoveChangeNotify(fsdFieldChangeNotifies, aItem); }
  // Re-places every field from offset 0 after UpdateSetup; aligns the
  // logical length.
  void UpdateSetupAndOffsets();
  // The logical record length becomes LogRecLen rounded up to 4, whatever
  // the dictionary version (a version-1 dictionary being upgraded).
  void UpdateLogRecLenAlign();
  // The field list as the descriptor's body holds it and as the old
  // dictionary layout writes it directly: integer FieldCount, then per field
  // its constructor part (a RefNr field as Int64 for peers below 47005,
  // which sets the thread's missing-information flag) and its stream form.
  void WriteFields(TmvWriter& aWriter, int32_t aClientVersion);
  // Reads that part into the list, dropping the fields present without
  // notice. Unknown classes raise 15499, unknown type names 15498.
  void ReadFields(TmvReader& aReader);
  // The two lengths as a stream stored them (CheckValid checks them).
  void SetStoredLengths(int32_t aLogRecLen, int32_t aLogicalRecordLength);
  // Record-level validations (nil: "TmvFieldsValidationsDescriptor").
  TmvFieldsValidationsDescriptor* AddValidations(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveValidations();
  TmvFieldsValidationsDescriptor* EnsureValidations();
  TmvFieldsValidationsDescriptor* GetValidations() const { return fsdValidations; }
  // The custom string "OriginalFieldCount"; FieldCount when absent.
  int32_t GetOriginalFieldCount();
  void SetOriginalFieldCount(int32_t aValue);

  // Lookups. The Fast form takes a lower-case name. -1 when not found.
  int32_t GetFieldFromName(const String& aName) override;
  int32_t GetFieldFromNameFast(const String& aLowerName);
  // Clears aStrings and lists every field's name with its descriptor.
  void GetFields(TStrings& aStrings);
  bool HasAutoIncField(int32_t& aField) { return HasSpecialField(sftAutoInc, aField); }
  bool HasAutoGuidField(int32_t& aField) { return HasSpecialField(sftAutoGuid, aField); }
  bool HasRecRevField(int32_t& aField) { return HasSpecialField(sftRecRev, aField); }
  bool HasRefNrField(int32_t& aField) { return HasSpecialField(sftRefNr, aField); }
  bool HasModifyLSNField(int32_t& aField) { return HasSpecialField(sftModifyLSN, aField); }
  bool HasInsertLSNField(int32_t& aField) { return HasSpecialField(sftInsertLSN, aField); }
  // The BLOB field numbers in field order.
  bool HasBlobFields(std::vector<int32_t>& aBlobFields);
  // The same into a list of numbers (cleared first); nil: only the answer.
  bool HasBlobFields(TmvList* aList);
  // Same count (> 0), lengths and storage-compatible types field by field;
  // aBlobFields, when given, gets this side's BLOB fields checked so far.
  bool HasSameFields(TmvFieldsDescriptor* aSource, std::vector<int32_t>* aBlobFields = nullptr);
  // Releases what aInfo holds; gives the cached info with one more
  // reference, else a new one that the caller owns.
  void GetSpecialFieldsInfo(TmvSpecialFieldsInfo*& aInfo);
  void GetDiffCompressionInfo(TmvDiffCompressorInfo*& aDCI);
  // The pool for record buffers (RecordLength + 4 bytes).
  TmvMemoryPoolHandle RecordAllocator();
  int32_t RecordLength();
  int32_t LogicalRecordLength() const { return fsdLogRecLenAlign; }
  int32_t LogRecLen() const { return fsdLogRecLen; }
  int32_t FieldCount() const { return int32_t(fsdFields.size()); }
  // Requires: 0 <= aIndex < FieldCount.
  TmvFieldDescriptor* FieldDescriptor(int32_t aIndex) const { return fsdFields[size_t(aIndex)]; }

  // Record access. Field numbers outside 0..N-1 raise 9999 "Index out of
  // bounds: %d" unless said otherwise.
  // Zeroes the record and marks every field null (nothing for nil or N = 0).
  void InitRecord(void* aData);
  bool IsRecordFieldNull(int32_t aField, const void* aData);  // nil buffer: true
  bool IsRecordFieldNullFast(int32_t aField, const void* aData) const;  // no checks
  // Copies the field's bytes to aValue when not null and aValue is given.
  void GetRecordField(int32_t aField, const void* aData, bool& aIsNull, void* aValue);
  // aValue nil: null and zero bytes; otherwise not null and its bytes.
  void SetRecordField(int32_t aField, void* aData, const void* aValue);
  // Null also zeroes the bytes; not null keeps them.
  void SetRecordFieldNull(int32_t aField, void* aData, bool aIsNull);
  // False for a bad number (no exception); aValue nil for a null field;
  // true exactly when the field is not null.
  bool GetRecordFieldForFilter(int32_t aField, const void* aData, TmvFieldType& aType, uint16_t& aSize,
                               const void*& aValue);
  // The field's address, nil for a nil buffer or a null field; no checks.
  const void* GetRecordFieldForFilter(int32_t aField, const void* aData) const;
  Variant fsdGetFieldByIndexAsVariant(const void* aData, int32_t aIndex);
  Variant fsdGetFieldByNameAsVariant(const void* aData, const String& aName);
  // Empty or Null makes the field null; a failed conversion leaves it null.
  void fsdSetFieldByIndexAsVariant(void* aData, int32_t aIndex, const Variant& aValue);
  void fsdSetFieldByNameAsVariant(void* aData, const String& aName, const Variant& aValue);
  // "Name: value" per field, "<?>" for null, each line ended by CR LF.
  String RecordBufferToString(const void* aData);

  // ImvFieldsSource
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }
  bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType,
                         uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) override;
  Variant GetFieldAsVariant(const void* aData, int32_t aIndex) override {
    return fsdGetFieldByIndexAsVariant(aData, aIndex);
  }
  bool BlobsSupported() override { return false; }
  int32_t GetFieldCount() override { return FieldCount(); }
  ImvFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  TmvAbstractCursor* GetCursor() override { return nullptr; }
  int32_t GetFieldsOffset() override { return 0; }

  void ActivateCache() override;
  void DeactivateCache() override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

  // The record-level validations engine class, cached by the validation
  // engines on first use.
  const TmvRegisterableEngineClassRef* fsdCachedEngineClass = nullptr;

 private:
  void CheckFieldIndex(int32_t aField) const;
  uint8_t* NullBitmap(const void* aData) const { return static_cast<uint8_t*>(const_cast<void*>(aData)) + fsdLogRecLenAlign; }
  uint8_t* FieldBytes(int32_t aField, const void* aData) const {
    return static_cast<uint8_t*>(const_cast<void*>(aData)) + fsdFields[size_t(aField)]->fdOffset;
  }
  int32_t LayoutVersion();
  // Numbers and places fields from aFrom on, contiguously after field
  // aFrom - 1; recomputes LogRecLen and the logical length.
  void ReplaceFrom(int32_t aFrom);
  void SetLogRecLen(int64_t aLength);
  void DropFields();
  bool HasSpecialField(TmvSpecialFieldType aKind, int32_t& aField);
  int32_t FindSpecialField(TmvSpecialFieldType aKind);
  void BuildSpecialFieldsInfo(TmvSpecialFieldsInfo& aInfo);
  void BuildNameHash();
  TmvDiffCompressorInfo* NewDiffCompressionInfo();
  void CheckSpecialFieldsUnique();

  TmvFieldsValidationsDescriptor* fsdValidations = nullptr;
  int32_t fsdLogRecLen = 0;
  int32_t fsdLogRecLenAlign = 0;
  int32_t fsdCachedGetRecordLength = 0;
  TmvMemoryPoolHandle fsdRecordAllocator{};
  TmvSortedList* fsdFieldChangeNotifies = nullptr;
  std::vector<TmvFieldDescriptor*> fsdFieldHashList;  // bucket heads while cached
  TmvSpecialFieldsInfo* fsdCachedSpecialFieldsInfo = nullptr;
  std::atomic<TmvDiffCompressorInfo*> fsdCachedDiffCompressorInfo{nullptr};
  std::vector<TmvFieldDescriptor*> fsdFields;  // owned, index = field number
};
