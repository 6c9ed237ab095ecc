// Index engines: the key engines of fixed-size keys, for the internal
// indexes.
//
// | engine                 | bytes | layout (little-endian, signed)          |
// | TmvRefKeyEngine        |     8 | the record reference itself             |
// | TmvInt64KeyEngine      |     8 | the first 8 bytes of the buffer given   |
// |                        |       | as the record                           |
// | TmvBlobCacheKeyEngine  |    28 | +0 BLOB number (64), +8 field number    |
// |                        |       | (32), +12 RefNr (64), +20 insert LSN    |
//
// Each is made from its descriptor class by the "Descriptor" to "Engine"
// rule and shows its key to filters as fields of its own ("RefNr", "Int64";
// "BlobNr", "FieldNo", "RefNr", "InserLSN").
//
// Layer: index engines; calls the key engine base and the key descriptors.
// Threading: immutable after construction.
#pragma once

#include <vector>

#include "dictionary/keys/mvsdKeyEngineBase.h"

// One field of a fixed key as a field descriptor: its name and type; every
// other property is 0. Not reference counted: the engine owns it.
class TmvFixedKeyField final : public ImvFieldDescriptor {
 public:
  TmvFixedKeyField(const char16_t* aName, TmvFieldType aType) : fName(aName), fType(aType) {}
  ~TmvFixedKeyField() = default;
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }
  String GetName() override { return fName; }
  TmvFieldType GetFieldType() override { return fType; }
  int32_t GetUnits() override { return 0; }
  int32_t GetDecPl() override { return 0; }
  TmvLocaleDescriptor* GetUsedLocaleDescriptor() override { return nullptr; }
  uint16_t GetUsedStorageCodePage() override { return 0; }

 private:
  String fName;
  TmvFieldType fType;
};

// What the three engines share: their fields, found by number or by name
// (ignoring case), and the key length they set whatever the descriptor's.
class TmvFixedKeyEngine : public TmvBaseKeyEngine {
 public:
  using TmvBaseKeyEngine::CompareKey;
  using TmvBaseKeyEngine::CompareKeyToRecord;
  using TmvBaseKeyEngine::CompareRecord;

  bool KeyContainsNulls(const void*) override { return false; }
  int32_t GetMaxFieldCount() override { return int32_t(fkeFields.size()); }
  int32_t GetFieldFromName(const String& aName) override;
  ImvFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  // A name given selects the field (none: false); only the engine's fields
  // exist. Type as named, size and code page 0, null exactly for a nil
  // buffer, the value at the field's place in the buffer.
  bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) override;
  void ClearKey(void* aKey) override;

 protected:
  struct TField {
    const char16_t* Name;
    TmvFieldType Type;
    uint32_t Offset;
  };
  TmvFixedKeyEngine(TmvBaseKeyDescriptor* aDescriptor, uint16_t aLength, std::vector<TField> aFields);
  ~TmvFixedKeyEngine() override;
  // The value of field aIndex of a key.
  Variant FieldValue(const void* aKey, int32_t aIndex) const;

  std::vector<TField> fkeFields;
  std::vector<TmvFixedKeyField*> fkeFieldDescriptors;  // owned
};

class TmvRefKeyEngine : public TmvFixedKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  explicit TmvRefKeyEngine(TmvBaseKeyDescriptor* aDescriptor);
  // Requires a TmvRefKeyDescriptor (the platform's invalid-cast error).
  static void CheckValidBase(TmvBaseKeyDescriptor* aDescriptor);

  // The key is aRefNr; the record is not read (a key filter that refuses
  // it gives 1 unless aIgnoreFilter).
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) override;
  // Signed 64-bit; the field count and partial length do not matter.
  int8_t CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  // The references, signed.
  int8_t CompareRecord(const void* aRecord1, TmvRefNr aRefNr1, const void* aRecord2, TmvRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;
  // -1 or 0: the key as Int64; 9999 otherwise.
  Variant KeyAsVariant(const void* aKey, int32_t aField) override;

 protected:
  TmvRefKeyEngine(TmvBaseKeyDescriptor* aDescriptor, const char16_t* aFieldName);
};

class TmvInt64KeyEngine : public TmvRefKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  explicit TmvInt64KeyEngine(TmvBaseKeyDescriptor* aDescriptor);
  // Requires a TmvInt64KeyDescriptor (the platform's invalid-cast error).
  static void CheckValidBase(TmvBaseKeyDescriptor* aDescriptor);

  // The first 8 bytes of aRecord; no filter (9986 for a nil record).
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) override;
  // The first 8 bytes of the operands, signed.
  int8_t CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr aRefNr, int32_t aFieldCount,
                            int32_t aPartialLen) override;
  int8_t CompareRecord(const void* aRecord1, TmvRefNr aRefNr1, const void* aRecord2, TmvRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;
};

class TmvBlobCacheKeyEngine : public TmvFixedKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  explicit TmvBlobCacheKeyEngine(TmvBaseKeyDescriptor* aDescriptor);
  // Requires a TmvBlobCacheKeyDescriptor (the platform's invalid-cast error).
  static void CheckValidBase(TmvBaseKeyDescriptor* aDescriptor);

  // The first 28 bytes of aRecord (a key-shaped buffer); no filter.
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) override;
  // BLOB number, then (aFieldCount 0 or from 2 on) field number, RefNr,
  // insert LSN; the partial length does not matter.
  int8_t CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  // The buffers compared as keys.
  int8_t CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr aRefNr, int32_t aFieldCount,
                            int32_t aPartialLen) override;
  int8_t CompareRecord(const void* aRecord1, TmvRefNr aRefNr1, const void* aRecord2, TmvRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;
  // Nil: Null; -1: an array of the four values; 0 .. 3 one of them; 9999
  // otherwise.
  Variant KeyAsVariant(const void* aKey, int32_t aField) override;
};

// Registers the three engines in the key engine registry; takes them out.
void mvsdKeyEngineFixedInit();
void mvsdKeyEngineFixedFini();
