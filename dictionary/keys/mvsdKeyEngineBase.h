// Data dictionary (for the index engines): the abstract key engine.
//
// A key engine turns records into index keys and compares keys. Every index
// of a table owns one, made from the index's key descriptor
// (mvsdKeyDescriptors.h) by class name: the descriptor's class name with
// "Descriptor" replaced by "Engine" is looked up in the key engine registry.
// A key is an opaque buffer of `bkeKeyLength` bytes whose layout belongs to
// the concrete engine; buffers come from the engine's pool. This unit is
// the interface the dictionary and storage layers call, with what every
// engine shares: the key filter, the key seen as a set of fields
// (`ImvFieldsSource`, so that a filter engine can judge a key as if it were
// a record), and the text, variant and exception-data forms of a key. The
// concrete engines (composite, RefNr, Int64, BLOB-cache, token keys) belong
// to the index engines, which register them here.
//
// Layer: data dictionary, below the index engines; calls the foundation,
// the key descriptors and the filter engines. Threading: one engine serves
// every cursor and transaction of its table; the pool is thread-safe, every
// other operation works on buffers the caller owns.
#pragma once

#include <cstdint>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllRegistry.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Variants.h"

class ImvExceptionDataContainer;
class TmvBaseFilterEngine;
class TmvBaseKeyDescriptor;
class TmvBaseKeyEngine;

MV_DECLARE_EXCEPTION(EmvBaseKeyEngineException, EmvBaseRegisterableEngineException)

// The family record: the virtual constructor and the class-level check of a
// descriptor (nil: every descriptor is accepted).
struct TmvKeyEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseKeyEngine* (*CreateKeyEngine)(TmvBaseKeyDescriptor* aDescriptor);
  void (*CheckValidBase)(TmvBaseKeyDescriptor* aDescriptor);
};

template <typename T>
TmvBaseKeyEngine* mvCreateKeyEngine(TmvBaseKeyDescriptor* aDescriptor) {
  return new T(aDescriptor);
}

class TmvBaseKeyEngine : public TmvBaseRegisterableEngine, public ImvFieldsSource {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  // Keeps the descriptor (not owned; it must outlive the engine) and sizes
  // keys by its GetKeyLen; a key longer than 65535 bytes raises 10004. A
  // descriptor with a filter gets its active filter engine, which judges
  // records of the table's fields descriptor.
  explicit TmvBaseKeyEngine(TmvBaseKeyDescriptor* aDescriptor);
  ~TmvBaseKeyEngine() override;

  // The engine for a descriptor; the caller owns it. No engine class
  // registered for the descriptor's class raises 15503 "Unknown Key engine:
  // \"<engine class name>\"".
  static TmvBaseKeyEngine* CreateFor(TmvBaseKeyDescriptor* aDescriptor);
  // The same without raising: 0 and the engine, or nil and the code of the
  // failure (15503 as above), whose text becomes the thread's last
  // converted exception.
  static uint32_t TryCreateFor(TmvBaseKeyDescriptor* aDescriptor, TmvBaseKeyEngine*& aKeyEngine);
  // 15503 as above, else the engine class's check of the descriptor.
  static void CheckValidBaseFromDescriptor(TmvBaseKeyDescriptor* aDescriptor);

  // Whether an index of these keys can be rebuilt from its records.
  virtual bool SupportsReindex() { return true; }
  // Where key field aIndex starts in a key; -1 for keys without fields.
  virtual int32_t GetKeyFieldOffset(int32_t aIndex);

  // A key buffer from the pool, cleared; FreeKey returns it and nils the
  // variable; CopyKey copies bkeKeyLength bytes.
  void* AllocKey();
  void FreeKey(void*& aKey);
  void CopyKey(const void* aFrom, void* aTo) const;

  // Clears a key to its empty state.
  virtual void ClearKey(void* aKey) = 0;
  // Builds the key of a record buffer: 0 when built, 1 when the key's
  // filter or null rules keep the record out of the index (ignored with
  // aIgnoreFilter), another error code otherwise.
  virtual uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) = 0;
  // Writes the record fields a key holds into a record buffer; 12289 here
  // (a key that cannot give its record back).
  virtual uint32_t KeyToRecord(const void* aKey, void* aRecord);

  // Comparisons answer -1, 0 or 1 over the first aFieldCount fields, the
  // last of them cut to aPartialLen (0, 0: the whole key).
  virtual int8_t CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) = 0;
  int8_t CompareKey(const void* aKey1, const void* aKey2) { return CompareKey(aKey1, aKey2, 0, 0); }
  // A key against the key of a record with its reference. Here the
  // record's key is built (the filter ignored) and compared; a build error
  // raises its code.
  virtual int8_t CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr aRefNr, int32_t aFieldCount,
                                    int32_t aPartialLen);
  int8_t CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr aRefNr) {
    return CompareKeyToRecord(aKey, aRecord, aRefNr, 0, 0);
  }
  // The keys of two records; the short forms compare all fields, the
  // shortest with references 0.
  virtual int8_t CompareRecord(const void* aRecord1, TmvRefNr aRefNr1, const void* aRecord2, TmvRefNr aRefNr2,
                               int32_t aFieldCount, int32_t aPartialLen);
  int8_t CompareRecord(const void* aRecord1, TmvRefNr aRefNr1, const void* aRecord2, TmvRefNr aRefNr2) {
    return CompareRecord(aRecord1, aRefNr1, aRecord2, aRefNr2, 0, 0);
  }
  int8_t CompareRecord(const void* aRecord1, const void* aRecord2) { return CompareRecord(aRecord1, 0, aRecord2, 0); }

  // One key field as a variant; -1: the whole key (an array of variants
  // with more than one field, else the single value). A field number
  // outside -1 .. field count - 1 raises 9999 "Invalid descriptor number.".
  virtual Variant KeyAsVariant(const void* aKey, int32_t aField) = 0;
  // The key as text: the values joined by ", ", Null as NULL, unassigned
  // as EMPTY, text in single quotes (quotes doubled), a value that does not
  // convert as "[Error: <text>]"; "" when the key cannot be read at all.
  virtual String KeyAsString(const void* aKey);
  // The key's values as named values (the fields' names, else "Field<i>");
  // a failure is logged and adds nothing more.
  virtual void KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aContainer);
  virtual bool KeyContainsNulls(const void* aKey);
  // How many fields a key has.
  virtual int32_t GetMaxFieldCount() = 0;

  // "KeyLength", the key fields' names and type names ("Fields") and the
  // filter ("Filter").
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // ImvFieldsSource over a key buffer: what a concrete engine's fields are
  // it answers itself; the base has no fields.
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }
  bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) override;
  Variant GetFieldAsVariant(const void* aData, int32_t aIndex) override { return KeyAsVariant(aData, aIndex); }
  bool BlobsSupported() override { return false; }
  int32_t GetFieldFromName(const String& aName) override;
  int32_t GetFieldCount() override { return GetMaxFieldCount(); }
  ImvFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  TmvAbstractCursor* GetCursor() override { return nullptr; }
  int32_t GetFieldsOffset() override { return 0; }

  TmvBaseKeyDescriptor* GetKeyDescriptor() const { return bkeKeyDescriptor; }
  // The key filter (owned; nil without one).
  TmvBaseFilterEngine* GetFilter() const { return bkeFilter; }

  // The family's registry of key engine classes.
  static TmvClassRegistry* Registry();

  uint16_t bkeKeyLength;
  // Set by composite keys: a key field's locale sorts otherwise now than
  // when the index was built; a key field is of type Extended.
  bool bkeNLSVersionChanged = false;
  bool bkeContainsExtended = false;

 protected:
  // An engine whose keys are aFixedLength bytes whatever the descriptor
  // says: the pool's items take the larger of the two, so that a key of
  // either length fits them.
  TmvBaseKeyEngine(TmvBaseKeyDescriptor* aDescriptor, uint16_t aFixedLength);
  // The filter's verdict on a record (true without a filter).
  bool FilterMatches(const void* aRecord);
  // 9999 "Invalid descriptor number." for aField outside -1 .. aCount - 1.
  static void CheckKeyField(int32_t aField, int32_t aCount);

  TmvBaseKeyDescriptor* bkeKeyDescriptor;
  TmvMemoryPoolHandle bkeMemoryPool;
  TmvBaseFilterEngine* bkeFilter = nullptr;  // owned

 private:
  void CreateFilter();
};
