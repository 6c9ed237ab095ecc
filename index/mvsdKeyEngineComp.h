// Index engines: the composite key engines, the keys of nearly every index.
//
// A composite key is an ordered list of record fields, each with its own
// order, case, locale, partial length and null rules (mvsdKeyDescriptors.h).
// The per-field work (how a field's bytes become key bytes and how two
// segments compare) belongs to one composite key field engine per key field
// (mvsdCompositeKeyFieldEngines.h); this unit lays the segments out, handles
// nulls and the key filter, and drives the comparisons.
//
// Key format of `TmvCompKeyEngine`, the bytes index nodes store:
//
// | bytes    | content                                                    |
// | 0 .. B-1 | null bitmap, B = (key fields + 7) div 8; bit i (bit i mod 8 |
// |          | of byte i div 8, least significant first) set: field i null |
// | B ..     | the segments in key order, each its field engine's key      |
// |          | length; a null segment keeps zero bytes                     |
//
// The buffer is the descriptor's key length; bytes after the last segment
// are zero. `TmvNoNullCompKeyEngine` keys have no bitmap (the first segment
// starts at 0) and never hold nulls.
//
// Nulls sort before every value of their field, after them when the field
// engine inverts nulls; two nulls are equal and the comparison goes on.
//
// Layer: index engines; calls the key engine base, the composite key field
// engines, the fields descriptor and the filter engines. Threading: an
// engine is immutable after construction; comparisons allocate nothing.
#pragma once

#include <vector>

#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"

class TmvCompKeyDescriptor;
class TmvFieldsDescriptor;

class TmvCompKeyEngine : public TmvBaseKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  // One field engine per key field, in key order (15503 for a key field
  // that names an unregistered field engine).
  explicit TmvCompKeyEngine(TmvBaseKeyDescriptor* aDescriptor);
  ~TmvCompKeyEngine() override;

  // The descriptor must be a composite key whose key fields are valid for
  // their field engines.
  static void CheckValidBase(TmvBaseKeyDescriptor* aDescriptor);

  // Every field null: zero bytes and a bitmap of 0xFF bytes (nothing for nil).
  void ClearKey(void* aKey) override;
  // 9986 for a nil record; 1 when the key filter refuses the record or a
  // field's FilterNull (FilterNonNull) meets a null (non-null) value, unless
  // aIgnoreFilter; else 0. The reference is not used.
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) override;
  // 9986 for a nil buffer; the record is initialised (every field null) and
  // every non-null segment written back; a field engine's failure is
  // answered as it is.
  uint32_t KeyToRecord(const void* aKey, void* aRecord) override;

  using TmvBaseKeyEngine::CompareKey;
  using TmvBaseKeyEngine::CompareKeyToRecord;
  using TmvBaseKeyEngine::CompareRecord;
  // aFieldCount whole fields (0: all), then, with aPartialLen, the next
  // field over its first aPartialLen units. The record forms read the
  // records in place and ignore the references.
  int8_t CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  int8_t CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr aRefNr, int32_t aFieldCount,
                            int32_t aPartialLen) override;
  int8_t CompareRecord(const void* aRecord1, TmvRefNr aRefNr1, const void* aRecord2, TmvRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;

  Variant KeyAsVariant(const void* aKey, int32_t aField) override;
  bool KeyContainsNulls(const void* aKey) override;
  int32_t GetKeyFieldOffset(int32_t aIndex) override;
  int32_t GetMaxFieldCount() override { return ckeKeyFieldCount; }

  // ImvFieldsSource over a key: a field by number, or by name (the field's
  // name, or name + "_" + its field engine's name); the segment's address
  // (behind the length byte for a ShortString, whose length is cut to the
  // segment).
  bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) override;
  int32_t GetFieldFromName(const String& aName) override;
  ImvFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  int32_t GetFieldsOffset() override { return ckeKeyOffset; }

  TmvCompositeKeyFieldEngine* KeyFieldEngine(int32_t aIndex) const { return ckeKeyFieldEngines[size_t(aIndex)]; }

 protected:
  // aWithBitmap false: keys without the null bitmap.
  TmvCompKeyEngine(TmvBaseKeyDescriptor* aDescriptor, bool aWithBitmap);
  // What the comparisons take from each field, gathered once.
  struct TKeyField {
    TmvCompositeKeyFieldEngine* Engine;
    uint32_t Offset;       // in the key
    uint32_t RecordOffset;
    int32_t Number;        // in the record
    int8_t InvertNull;     // -1 when nulls sort last, else 1
  };
  // Where an operand's field lies and whether it is null.
  enum TOperand : uint8_t { opKey, opRecord };

  bool HasNulls() const { return ckeKeyOffset > 0; }
  bool KeyFieldNull(const void* aKey, int32_t aIndex) const;
  bool RecordFieldNull(const void* aRecord, int32_t aNumber) const;
  int8_t Compare(TOperand aKind1, const void* a1, TOperand aKind2, const void* a2, int32_t aFieldCount,
                 int32_t aPartialLen) const;
  int8_t CompareField(const TKeyField& aField, TOperand aKind1, const void* a1, TOperand aKind2, const void* a2,
                      int32_t aPartialLen) const;
  Variant FieldValue(const void* aKey, int32_t aIndex) const;

  TmvFieldsDescriptor* ckeFieldsDescriptor;
  std::vector<TmvCompositeKeyFieldEngine*> ckeKeyFieldEngines;  // owned
  std::vector<TKeyField> ckeFields;
  // The name each field answers to (lower-case search is by ignoring
  // case); a name met twice keeps its first field.
  std::vector<std::pair<String, int32_t>> ckeKeyFieldNames;
  int32_t ckeKeyFieldCount = 0;
  int32_t ckeKeyOffset = 0;
  uint32_t ckeNullBitmapOffset = 0;  // of a record's null bitmap
};

// Composite keys that can never hold nulls: no bitmap, no null tests.
class TmvNoNullCompKeyEngine : public TmvCompKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  explicit TmvNoNullCompKeyEngine(TmvBaseKeyDescriptor* aDescriptor);

  void ClearKey(void* aKey) override;
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) override;
  bool KeyContainsNulls(const void*) override { return false; }
};

// Registers both engines in the key engine registry; takes them out.
void mvsdKeyEngineCompInit();
void mvsdKeyEngineCompFini();
