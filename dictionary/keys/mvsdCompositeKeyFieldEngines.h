// Data dictionary: the composite key field engines.
//
// A composite key is a null bitmap followed by one segment per key field;
// the composite key engines of the index layer own that layout. Each
// segment is built from a record value, compared with another segment and
// turned back into a record value by one `TmvCompositeKeyFieldEngine`, made
// from the key field descriptor (mvsdKeyDescriptors.h). The engine decides
// once, when it is constructed, how the segment's bytes are formed and
// compared for the field's type, the key direction, the locale and the code
// pages, and publishes the chosen routines as method fields (`CompareKey`,
// `BuildKey` and the rest) that the key engines call for every comparison.
// The segment bytes are what index nodes store on disk: their formats and
// orders are binding for stored data.
//
// Segments (ascending order; descending is the negated result):
//   Boolean                         1 byte: zero before non-zero
//   Char, Byte, Int8                1 byte
//   WideChar, Word16, Int16         2 bytes, little-endian
//   Word32, AutoInc, RecRev         4 bytes, unsigned
//   Int32, Date, Time               4 bytes, signed
//   Int64, RefNr                    8 bytes, signed
//   Currency, BCD                   8 bytes, as a signed 64-bit integer
//   Single / Double, DateTime,      4 / 8 / 10 bytes of the float; a NaN
//     Interval / Extended             sorts after every number and equals
//                                     every other NaN
//   ByteArray                       KeyLength bytes, unsigned byte order
//   ShortString                     length byte n, then n characters
//   NullString                      characters, zero-terminated in the segment
//   WideString                      UTF-16 units, zero-terminated in the segment
//   Guid                            16 bytes; by byte, or by its text form
//                                     under a text key field descriptor
//   FmtBCD                          the field's packed-decimal bytes, by value
// Text compares by unsigned byte (or UTF-16 unit) order when the key field
// has no locale, otherwise by the locale's collation with the key's compare
// flags. A text key shorter than its field (a character override) is a
// partial string key: its segment holds at most KeyChars characters, and a
// multi-byte text is cut on a character boundary.
//
// Engines are found by name in one registry: the key field descriptor's
// KeyFieldEngine string ("" for the default engine). Six engines are
// registered at the dictionary's start-up: "", "NumbersOnly", "DateOnly",
// "DateOnlyWeek", "DateOnlyMonth" and "DateOnlyYear".
//
// Layer: data dictionary; calls the key and field descriptors, the locale
// descriptor, the foundation (compare primitives, packed decimals, native
// value conversion, item pools) and the platform's NLS layer.
//
// Threading: an engine is immutable once constructed and may be used by any
// number of threads at once; a compare allocates nothing (scratch text and
// keys live on the calling thread's stack, or, when too long for it, in a
// buffer the thread keeps or an item of the engine's pool). The registry is
// guarded by one padlock.
#pragma once

#include <cstdint>

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Nls.h"
#include "platform/Variants.h"

class TmvCompositeKeyFieldEngine;
class TmvKeyFieldDescriptor;
class TmvLocaleDescriptor;
class TStrings;

MV_DECLARE_EXCEPTION(EmvCompositeKeyFieldEngineException, EmvBaseException)

// The family record: the virtual constructor and the class function
// SupportsFieldType.
struct TmvCompositeKeyFieldEngineClassRef : ClassRef {
  TmvCompositeKeyFieldEngine* (*Create)(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  bool (*SupportsFieldType)(TmvFieldType aFieldType);
};

template <typename T>
TmvCompositeKeyFieldEngine* mvCreateCompositeKeyFieldEngine(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  return new T(aKeyFieldDescriptor);
}

// A method field: the routine and the engine it runs on (always the engine
// that holds the field). A key engine may copy Code and Data to call the
// routine without going through the engine.
template <typename Signature>
struct TmvCKFEMethod;
template <typename R, typename... A>
struct TmvCKFEMethod<R(A...)> {
  R (*Code)(const TmvCompositeKeyFieldEngine& aSelf, A... aArgs) = nullptr;
  const TmvCompositeKeyFieldEngine* Data = nullptr;

  R operator()(A... aArgs) const { return Code(*Data, aArgs...); }
  explicit operator bool() const { return Code != nullptr; }
};

// Two segments (or record values, for the direct forms): -1, 0 or 1.
using TmvCKFECompare = TmvCKFEMethod<int8_t(const void* a1, const void* a2)>;
// The same over the first aPartialLen units (characters, bytes of a byte
// array). mvPartialLenOfKey2 and mvPartialLenOfKey1 stand for the length of
// the string in the second and the first argument.
using TmvCKFEPartialCompare = TmvCKFEMethod<int8_t(const void* a1, const void* a2, int32_t aPartialLen)>;
using TmvCKFEBuildKey = TmvCKFEMethod<void(const void* aField, void* aKey)>;
using TmvCKFEKeyToRecord = TmvCKFEMethod<uint32_t(const void* aKey, void* aField)>;
using TmvCKFEKeyAsVariant = TmvCKFEMethod<void(const void* aKey, Variant& aValue)>;

inline constexpr int32_t mvPartialLenOfKey2 = 0x7FFFFFFD;
inline constexpr int32_t mvPartialLenOfKey1 = 0x7FFFFFFE;

// ---------------------------------------------------------------------------
// TmvCompositeKeyFieldEngine

// The default engine (registered under ""), and the base of the others.
// Its owner (a composite key engine, a validation engine) creates it
// through CreateEngine and frees it; the key field descriptor and its
// locale descriptor must outlive it. As ImvFieldDescriptor it describes its
// segment; reference counting does nothing.
class TmvCompositeKeyFieldEngine : public TmvPersistent, public ImvFieldDescriptor {
 public:
  static const TmvCompositeKeyFieldEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Chooses every routine for the key field. Raises 12289 "FieldType "%s"
  // not supported by TmvCompositeKeyFieldEngine" for the BLOB types, 8712
  // when the key field has no field, and the OS error (11047) when a code
  // page cannot be described.
  explicit TmvCompositeKeyFieldEngine(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  TmvCompositeKeyFieldEngine(const TmvCompositeKeyFieldEngine&) = delete;
  TmvCompositeKeyFieldEngine& operator=(const TmvCompositeKeyFieldEngine&) = delete;

  // Registry. All take the registry padlock for their whole run.
  // Adds aClass under aName; a name present already raises the list's
  // duplicate error. The field types and parameters are not kept.
  static void Register(const TmvCompositeKeyFieldEngineClassRef& aClass, const String& aName,
                       TmvFieldTypes aFieldTypes, const TStrings* aParams = nullptr);
  // Removes every entry whose class is aClass or derives from it.
  static void Unregister(const TmvCompositeKeyFieldEngineClassRef& aClass);
  // The names in registry order, as comma text ("" for the empty name).
  static String RegisteredEngines();
  // The engine the key field names; the caller owns it. An unknown name
  // raises 15503 "CompositeKeyFieldEngine "%s" is not registered".
  static TmvCompositeKeyFieldEngine* CreateEngine(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  // 15503 as above; then the class's CheckValidKeyField.
  static void CheckValidBase(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  // False for an unknown name; else the class's SupportsFieldType.
  static bool CheckSupportsFieldType(const String& aEngineName, TmvFieldType aFieldType);
  // Creates an engine of aClass for the key field and frees it, so that
  // every refusal of the constructor becomes a validation error.
  static void CheckValidKeyField(const TmvCompositeKeyFieldEngineClassRef& aClass,
                                 TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  // Types 0-18 and 22-27.
  static bool SupportsFieldType(TmvFieldType aFieldType);

  // The routines, chosen at construction and never changed afterwards.
  // The direct forms take record values (pointers to a field's bytes in a
  // record buffer); CompareKeyToFieldDirect takes the segment first.
  // PartialCompareKey (and its direct forms) is nil except for ByteArray
  // and the three string types.
  TmvCKFECompare CompareKey;
  TmvCKFECompare CompareFieldDirect;
  TmvCKFECompare CompareKeyToFieldDirect;
  TmvCKFEPartialCompare PartialCompareKey;
  TmvCKFEPartialCompare PartialCompareFieldDirect;
  TmvCKFEPartialCompare PartialCompareKeyToFieldDirect;
  // Writes the segment of a record value (KeyLength bytes at most).
  TmvCKFEBuildKey BuildKey;
  // Writes the record value of a segment: 0, or 12289 (nothing written)
  // when the segment is not in record format.
  TmvCKFEKeyToRecord KeyToRecord;
  // The segment as a value of the field's type.
  TmvCKFEKeyAsVariant KeyAsVariant;
  // The segment holds the field's bytes as the record does.
  bool KeySameAsRecordFormat = false;
  // How the key engine treats a null: sort it after a non-null segment
  // (else before), keep records with a null (a non-null) value out.
  bool InvertNull = false;
  bool FilterNull = false;
  bool FilterNonNull = false;

  TmvFieldType FieldType() const { return ckfeFieldType; }
  int32_t FieldOffset() const { return ckfeFieldOffset; }
  int32_t FieldNumber() const { return ckfeFieldNumber; }
  int32_t KeyLength() const { return ckfeKeyLength; }
  // The locale now sorts otherwise than when the index was built.
  bool NLSVersionChanged() const { return ckfeNLSVersionChanged; }

  // ImvFieldDescriptor: the segment as a field.
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }
  String GetName() override { return ckfeFieldName; }
  TmvFieldType GetFieldType() override { return ckfeFieldType; }
  int32_t GetUnits() override { return ckfeKeyUnits; }
  int32_t GetDecPl() override { return ckfeFieldDecPl; }
  TmvLocaleDescriptor* GetUsedLocaleDescriptor() override { return ckfeLocaleDescriptor; }
  uint16_t GetUsedStorageCodePage() override { return ckfeCompareCodepage; }

  // What the routines read. Set by the constructor and read-only from then
  // on, like the routines themselves.
  String ckfeFieldName;
  TmvFieldType ckfeFieldType = mvtBoolean;
  int32_t ckfeFieldDecPl = 0;
  int32_t ckfeFieldLength = 0;
  int32_t ckfeFieldOffset = 0;
  int32_t ckfeFieldNumber = 0;
  int32_t ckfeKeyChars = 0;
  int32_t ckfeKeyLength = 0;
  int32_t ckfeBuildKeyLength = 0;
  int32_t ckfeKeyUnits = 0;
  TmvMemoryPoolHandle ckfeAllocator{};
  LCID ckfeLocale = 0;
  bool ckfeUseByteOrder = true;
  uint32_t ckfeCompareFlags = 0;
  TmvLocaleDescriptor* ckfeLocaleDescriptor = nullptr;  // not owned
  uint16_t ckfeStorageCodepage = 0;
  uint16_t ckfeCompareCodepage = 0;
  bool ckfeNLSVersionChanged = false;
  bool ckfeIgnoreCase = false;
  bool ckfeGuidAsText = false;
  // The field has more characters than the segment keeps.
  bool ckfePartialStringKey = false;
  // Whether the storage and the compare code page take more than one byte
  // for a character.
  bool ckfeStorageMultiByte = false;
  bool ckfeCompareMultiByte = false;
  // The UTF-16 units of the bytes 0 to 0x7F in the compare code page, when
  // it has one (a text of them alone is compared without a converter).
  bool ckfeCompareLowBytesKnown = false;
  char16_t ckfeCompareLowBytes[128] = {};

 protected:
  // The constructor of the descendants: only the default engine's segments
  // are in record format (aRecordFormatClass).
  TmvCompositeKeyFieldEngine(TmvKeyFieldDescriptor* aKeyFieldDescriptor, bool aRecordFormatClass);
  // The key converts between two different code pages.
  bool KeyConverts() const {
    return ckfeStorageCodepage && ckfeCompareCodepage && ckfeStorageCodepage != ckfeCompareCodepage;
  }

 private:
  void TakeNullBehaviour(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  void CopyFieldFacts(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  void TakeLocale(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  // The owning data dictionary's choice; outside one, byte order unless
  // "Disable30900LocaleFixes" is set.
  static bool UseByteOrderForWideString(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  void ChooseCompare(bool aAscend);
  void ChooseBuild();
  void ChooseDirect();
};

// Keeps only the digits '0' to '9' of a text value, in order (ShortString,
// NullString, WideString); compares as the default engine does.
class TmvNumbersOnlyCKFE : public TmvCompositeKeyFieldEngine {
 public:
  static const TmvCompositeKeyFieldEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvNumbersOnlyCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool SupportsFieldType(TmvFieldType aFieldType);
};

// A DateTime key of the day alone: the time of day is dropped. Its field
// must be a DateTime field (else an assertion failure).
class TmvDateOnlyCKFE : public TmvCompositeKeyFieldEngine {
 public:
  static const TmvCompositeKeyFieldEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvDateOnlyCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool SupportsFieldType(TmvFieldType aFieldType);
};

// A DateTime key of a day that ProcessTimeStamp maps (here: the day
// itself); its descendants map every day to the first day of its week,
// month or year. Not registered itself.
class TmvDateOnlyProcessCKFE : public TmvCompositeKeyFieldEngine {
 public:
  static const TmvCompositeKeyFieldEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvDateOnlyProcessCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor);
  // The time stamp the key stores for a day (time 0, day 1 = 0001-01-01).
  // Day numbers are 64-bit here: a DateTime far beyond year 9999 still
  // orders, instead of wrapping.
  virtual void ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const;
};

class TmvDateOnlyWeekCKFE : public TmvDateOnlyProcessCKFE {
 public:
  static const TmvCompositeKeyFieldEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvDateOnlyWeekCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor)
      : TmvDateOnlyProcessCKFE(aKeyFieldDescriptor) {}
  // 1 for days up to 7, else d - ((d - 1) mod 7).
  void ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const override;
};

class TmvDateOnlyMonthCKFE : public TmvDateOnlyProcessCKFE {
 public:
  static const TmvCompositeKeyFieldEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvDateOnlyMonthCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor)
      : TmvDateOnlyProcessCKFE(aKeyFieldDescriptor) {}
  // 1 for days up to 31, else the first day of the day's month.
  void ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const override;
};

class TmvDateOnlyYearCKFE : public TmvDateOnlyProcessCKFE {
 public:
  static const TmvCompositeKeyFieldEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvDateOnlyYearCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor)
      : TmvDateOnlyProcessCKFE(aKeyFieldDescriptor) {}
  // 1 for days up to 365, else 1 January of the day's year.
  void ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const override;
};

// Unit start-up: creates the registry padlock and registers the six
// engines; shutdown unregisters them and frees registry and padlock. Called
// by the dictionary's start-up (mvsdUnits.h).
void mvCompositeKeyFieldEnginesInit();
void mvCompositeKeyFieldEnginesFini();
