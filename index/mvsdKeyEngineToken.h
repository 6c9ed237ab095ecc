// Index engines: the keys of full-text token indexes (unit mvsdKeyEngineToken).
//
// A record yields many tokens, so these keys are not built from records by
// the table's index maintenance: the full-text cursor engines build one key
// per distinct token with InternalBuildKey and insert or delete it
// themselves. The index engines store and compare them like any other key.
//
// Bit-array token key (the bit-array token indexes of "Fulltext$Indices";
// the entry's reference is the BLOB of the token's bit array), key length
// 2 * MaxTokenSize + 4, plus 2 with PerField:
//   offset 0                   size 2    segment, u16 (0xFFFF: segment-index entries)
//   offset 2                   size 2    token length n in UTF-16 units, u16
//   offset 4                   size 2 M  token units; only the first n count
//   offset 4 + 2 M             size 2    field number, i16 (-1 combined); PerField only
// Main-index token key (an ordinary index of the table; the entry's
// reference is the record), key length 2 * MaxTokenSize + 2, plus 4 with
// IncludeLocation:
//   offset 0                   size 2    token length n, u16
//   offset 2                   size 2 M  token units
//   offset key length - 4      size 4    the record's location; IncludeLocation only
// All little-endian. Tokens longer than MaxTokenSize keep MaxTokenSize units,
// one fewer when the last would be a high surrogate. Tokens order by the
// key's locale and compare flags (CompareStringW), or by their bytes without
// a locale, the empty token first; a failing locale compare raises rather
// than answer outside -1..1. The location is never compared.
//
// Both engines register in the key engine registry at start-up
// (mvsdKeyEngineTokenInit). Threads: no per-call state; callers own the
// key buffers. Calls the key engine base, the token key descriptors and
// the wide-string comparers.
#pragma once

#include <cstdint>

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/types/mvllWideString.h"

class TmvLocaleDescriptor;

MV_DECLARE_EXCEPTION(EmvTokenKeyEngineException, EmvBaseKeyEngineException)

// The key of a bit-array token index.
class TmvBitArrayTokenKeyEngine : public TmvBaseKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  // Copies the descriptor's settings (a TmvBitArrayTokenKeyDescriptor).
  explicit TmvBitArrayTokenKeyEngine(TmvBaseKeyDescriptor* aDescriptor);
  // A descriptor of another class raises the platform's invalid-cast error.
  static void CheckValidBase(TmvBaseKeyDescriptor* aDescriptor);

  void ClearKey(void* aKey) override;
  // Builds nothing: records 12289 "BuildKey is not supported by
  // TmvBitArrayTokenKeyEngine" as the thread's last error and returns it.
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) override;
  // Segment, then token, then (PerField) field; the counts are ignored.
  int8_t CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  String KeyAsString(const void* aKey) override;
  // Segment (u16), token (wide string; the empty variant for n = 0) and
  // with PerField the field (i16); -1 all of them as an array of variants;
  // another number raises 9999 "Invalid descriptor number.".
  Variant KeyAsVariant(const void* aKey, int32_t aField) override;
  void KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aData) override;
  int32_t GetMaxFieldCount() override { return batkePerField ? 3 : 2; }
  virtual bool KeyContainsNulls(const void*) { return false; }

  // The key of aToken in segment aSegment (and field aField with PerField).
  // The units after the token are left as they were: never compared.
  virtual void InternalBuildKey(uint16_t aSegment, const TmvWideString& aToken, void* aKey, int16_t aField);

  bool GetPerField() const { return batkePerField; }
  int32_t GetMaxTokenSize() const { return batkeMaxTokenSize; }
  bool GetReverse() const { return batkeReverse; }
  LCID GetLocale() const { return batkeLocale; }
  uint32_t GetFlags() const { return batkeFlags; }

 private:
  bool batkePerField;
  int32_t batkeMaxTokenSize;
  bool batkeReverse;
  LCID batkeLocale;
  uint32_t batkeFlags;
};

// The key of a main-index token index. It describes its two key fields,
// "Token" (WideString, MaxTokenSize units) and "Location" (AutoInc, 4), for
// the fields-source operations and filters.
class TmvMainIndexTokenKeyEngine : public TmvBaseKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  // Copies the descriptor's settings (a TmvMainIndexTokenKeyDescriptor); a
  // locale other than 0 gets a locale descriptor (owned) with its flags.
  explicit TmvMainIndexTokenKeyEngine(TmvBaseKeyDescriptor* aDescriptor);
  ~TmvMainIndexTokenKeyEngine() override;
  static void CheckValidBase(TmvBaseKeyDescriptor* aDescriptor);

  void ClearKey(void* aKey) override;
  // Always 1: the record-level index maintenance leaves this index alone.
  uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) override;
  // The tokens only, each first cut to aPartialLen units when that is above
  // 0; aFieldCount is ignored.
  int8_t CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  String KeyAsString(const void* aKey) override;
  // -1 and 0: the token (the empty variant without key or for n = 0); 1
  // (IncludeLocation): the location (u32); outside raises 9999.
  Variant KeyAsVariant(const void* aKey, int32_t aField) override;
  void KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aData) override;
  int32_t GetMaxFieldCount() override { return mitkeIncludeLocation ? 2 : 1; }
  virtual bool KeyContainsNulls(const void*) { return false; }
  virtual bool SupportsReindex() { return false; }
  // "Token" 0, "Location" 1 (with IncludeLocation), ignoring case; else -1.
  virtual int32_t GetFieldFromName(const String& aName);
  // A non-empty aName selects the field by name, else aField. Token: type
  // WideString, size n, value at the units, null without a key or for n =
  // 0; Location: AutoInc, 4, the last 4 bytes, null without a key. False for
  // another field.
  virtual bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType,
                                 uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage);
  // The Token and (with IncludeLocation) Location descriptions; nil else.
  virtual ImvFieldDescriptor* GetFieldDescriptor(int32_t aField);

  virtual void InternalBuildKey(const TmvWideString& aToken, uint32_t aLocation, void* aKey);

  int32_t GetMaxTokenSize() const { return mitkeMaxTokenSize; }
  bool GetIncludeLocation() const { return mitkeIncludeLocation; }
  LCID GetLocale() const { return mitkeLocale; }
  uint32_t GetFlags() const { return mitkeFlags; }

 private:
  // One of the two key fields as the dictionary's field description.
  class TKeyField : public ImvFieldDescriptor {
   public:
    TKeyField(TmvMainIndexTokenKeyEngine& aEngine, const char16_t* aName, TmvFieldType aType, int32_t aUnits)
        : kfEngine(aEngine), kfName(aName), kfType(aType), kfUnits(aUnits) {}
    int32_t QueryInterface(const TGUID& iid, void** obj) override;
    int32_t _AddRef() override { return -1; }
    int32_t _Release() override { return -1; }
    String GetName() override { return kfName; }
    TmvFieldType GetFieldType() override { return kfType; }
    int32_t GetUnits() override { return kfUnits; }
    int32_t GetDecPl() override { return 0; }
    TmvLocaleDescriptor* GetUsedLocaleDescriptor() override { return kfEngine.mitkeLocaleDescriptor; }
    uint16_t GetUsedStorageCodePage() override { return 0; }

   private:
    TmvMainIndexTokenKeyEngine& kfEngine;
    const char16_t* kfName;
    TmvFieldType kfType;
    int32_t kfUnits;
  };

  int32_t mitkeMaxTokenSize;
  bool mitkeIncludeLocation;
  LCID mitkeLocale;
  uint32_t mitkeFlags;
  TmvLocaleDescriptor* mitkeLocaleDescriptor = nullptr;  // owned
  TKeyField mitkeTokenField;
  TKeyField mitkeLocationField;
};

// Registers both engines in the key engine registry; shutdown takes them out
// (main-index engine first).
void mvsdKeyEngineTokenInit();
void mvsdKeyEngineTokenFini();
