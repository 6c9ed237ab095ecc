// Data dictionary: the composite key field engines. See
// mvsdCompositeKeyFieldEngines.h; the text segments live in
// mvsdCompositeKeyFieldEnginesText.cpp.
//
// The constructor follows one fixed order of decisions (flags, field,
// lengths, locale, byte order, code pages, compare, build, direct forms),
// so that the routines a key engine calls later branch on nothing.
#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"

#include <cmath>
#include <cstring>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdCompositeKeyFieldEnginesText.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "foundation/sync/mvllSync.h"
#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvllWideString.h"
#include "foundation/types/mvsdNativeVariantConverter.h"
#include "platform/Nls.h"
#include "platform/Numeric.h"

using namespace mvckfe;

namespace {

const uint8_t* Bytes(const void* p) { return static_cast<const uint8_t*>(p); }

// ---------------------------------------------------------------------------
// Compare routines of the fixed-size segments

template <typename T>
int8_t CompareLoaded(const E&, const void* a, const void* b) {
  T x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return mvSign3(x, y);
}

int8_t CompareBoolean(const E&, const void* a, const void* b) {
  return mvSign3(Bytes(a)[0] != 0, Bytes(b)[0] != 0);
}

int8_t CompareCharIC(const E&, const void* a, const void* b) {
  return mvSign3(mvAsciiUpper(Bytes(a)[0]), mvAsciiUpper(Bytes(b)[0]));
}

int8_t CompareWideCharIC(const E&, const void* a, const void* b) {
  return mvSign3(mvAsciiUpper(LoadLE16(a)), mvAsciiUpper(LoadLE16(b)));
}

char16_t CharAsWide(const E& e, const void* aChar) {
  char16_t c;
  if (MultiByteToWideChar(CollationCodePage(e), 0, static_cast<const char*>(aChar), 1, &c, 1) != 1)
    mvRaiseNlsError(u"CharCompareKey/MultiByteToWideChar");
  return c;
}

int8_t CompareCharLocale(const E& e, const void* a, const void* b) {
  const char16_t ca = CharAsWide(e, a), cb = CharAsWide(e, b);
  return Collate(e, {&ca, 1}, {&cb, 1}, u"CharCompareKey");
}

int8_t CompareWideCharLocale(const E& e, const void* a, const void* b) {
  const char16_t ca = char16_t(LoadLE16(a)), cb = char16_t(LoadLE16(b));
  return Collate(e, {&ca, 1}, {&cb, 1}, u"WideCharCompareKey");
}

// The floats by value through the foundation's primitives: a NaN sorts after
// every number and equals every other NaN, so that one NaN in an index
// cannot break the order of all other keys.
int8_t CompareSingle(const E&, const void* a, const void* b) {
  float x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return int8_t(mvCmpSingle(x, y));
}

int8_t CompareDouble(const E&, const void* a, const void* b) {
  double x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return int8_t(mvCmpDouble(x, y));
}

// The same rule for the 10-byte float; byte patterns the x87 unit calls
// invalid read as NaN.
int8_t CompareExtended(const E&, const void* a, const void* b) {
  const Extended x = ExtendedFromBytes(Bytes(a)), y = ExtendedFromBytes(Bytes(b));
  const bool nanX = std::isnan(x), nanY = std::isnan(y);
  if (nanX || nanY) return mvSign3(nanX, nanY);
  return mvSign3(x, y);
}

int8_t CompareByteArray(const E& e, const void* a, const void* b) {
  return int8_t(mvCmpBytes(a, b, size_t(e.ckfeKeyLength)));
}

// The reserved partial lengths exceed every segment, so they compare all of
// it: a byte array has no string length of its own.
int8_t PartialCompareByteArray(const E& e, const void* a, const void* b, int32_t aPartialLen) {
  return int8_t(mvCmpBytes(a, b, size_t(std::clamp(aPartialLen, 0, e.ckfeKeyLength))));
}

int8_t CompareGuidBytes(const E&, const void* a, const void* b) { return int8_t(mvCmpBytes(a, b, 16)); }

// The registry text form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} of the 16
// stored bytes (Data1 u32, Data2 u16, Data3 u16 little-endian, then the
// eight bytes of Data4 as they stand), written into a caller's buffer.
void GuidText(const void* aGuid, char16_t (&aText)[38]) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  const uint8_t* g = Bytes(aGuid);
  // Byte order of the text: Data1, Data2, Data3 most significant first.
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  int pos = 0;
  aText[pos++] = u'{';
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) aText[pos++] = u'-';
    aText[pos++] = kHex[g[kOrder[i]] >> 4];
    aText[pos++] = kHex[g[kOrder[i]] & 15];
  }
  aText[pos] = u'}';
}

int8_t CompareGuidText(const E&, const void* a, const void* b) {
  char16_t ta[38], tb[38];
  GuidText(a, ta);
  GuidText(b, tb);
  return int8_t(mvCmpStringSystemLocale({ta, 38}, {tb, 38}));
}

// A FmtBCD segment is the head of the 34-byte packed record; the rest is 0.
int8_t CompareFmtBcd(const E& e, const void* a, const void* b) {
  TmvFmtBcd x, y;
  const size_t n = std::min(size_t(e.ckfeKeyLength), sizeof(TmvFmtBcd));
  std::memcpy(&x, a, n);
  std::memcpy(&y, b, n);
  return int8_t(mvBcdCompare(x, y));
}

TCompareRoutines ByteOrderOrLocale(const E& e, TCompareRoutines aByteOrder, TCompareRoutines aByteOrderIC,
                                   TCompareRoutines aLocale) {
  return !e.ckfeUseByteOrder ? aLocale : e.ckfeIgnoreCase ? aByteOrderIC : aByteOrder;
}

// The compare routines of a field type; the BLOB types have none.
TCompareRoutines CompareRoutinesFor(const E& e) {
  switch (e.ckfeFieldType) {
    case mvtBoolean: return mvWhole<&CompareBoolean>;
    case mvtChar:
      return ByteOrderOrLocale(e, mvWhole<&CompareLoaded<uint8_t>>, mvWhole<&CompareCharIC>,
                               mvWhole<&CompareCharLocale>);
    case mvtWideChar:
      return ByteOrderOrLocale(e, mvWhole<&CompareLoaded<uint16_t>>, mvWhole<&CompareWideCharIC>,
                               mvWhole<&CompareWideCharLocale>);
    case mvtByte: return mvWhole<&CompareLoaded<uint8_t>>;
    case mvtWord16: return mvWhole<&CompareLoaded<uint16_t>>;
    case mvtWord32: case mvtAutoInc: case mvtRecRev: return mvWhole<&CompareLoaded<uint32_t>>;
    case mvtInt8: return mvWhole<&CompareLoaded<int8_t>>;
    case mvtInt16: return mvWhole<&CompareLoaded<int16_t>>;
    case mvtInt32: case mvtDate: case mvtTime: return mvWhole<&CompareLoaded<int32_t>>;
    case mvtInt64: case mvtRefNr: case mvtCurrency: case mvtBCD: return mvWhole<&CompareLoaded<int64_t>>;
    case mvtSingle: return mvWhole<&CompareSingle>;
    case mvtDouble: case mvtDateTime: case mvtInterval: return mvWhole<&CompareDouble>;
    case mvtExtended: return mvWhole<&CompareExtended>;
    case mvtByteArray: return mvWithPartial<&CompareByteArray, &PartialCompareByteArray>;
    case mvtShortString: case mvtNullString: case mvtWideString: return TextCompareRoutines(e);
    case mvtGuid: return e.ckfeGuidAsText ? mvWhole<&CompareGuidText> : mvWhole<&CompareGuidBytes>;
    case mvtFmtBCD: return mvWhole<&CompareFmtBcd>;
    default:
      throw EmvCompositeKeyFieldEngineException(MVERR_NOTSUPPORTED,
                                                u"FieldType \"%s\" not supported by TmvCompositeKeyFieldEngine",
                                                {String(mvFieldTypeNames[e.ckfeFieldType])});
  }
}

// ---------------------------------------------------------------------------
// Generic routines: build, direct compares through scratch segments, the
// way back to the record, the segment as a value

void PlainBuildKey(const E& e, const void* aField, void* aKey) {
  std::memcpy(aKey, aField, size_t(e.ckfeBuildKeyLength));
}

// The same for the fixed-size types: a move of a known size is a few
// instructions, a move of a size read at run time a library call.
template <size_t N>
void FixedBuildKey(const E&, const void* aField, void* aKey) {
  std::memcpy(aKey, aField, N);
}

TBuildFn PlainBuildRoutine(int32_t aLength) {
  switch (aLength) {
    case 1: return &FixedBuildKey<1>;
    case 2: return &FixedBuildKey<2>;
    case 4: return &FixedBuildKey<4>;
    case 8: return &FixedBuildKey<8>;
    case 10: return &FixedBuildKey<10>;
    case 16: return &FixedBuildKey<16>;
    default: return &PlainBuildKey;
  }
}

uint32_t CopyKeyToRecord(const E& e, const void* aKey, void* aField) {
  std::memcpy(aField, aKey, size_t(e.ckfeBuildKeyLength));
  return 0;
}

uint32_t KeyToRecordNotSupported(const E& e, const void*, void*) { return e.NotSupported(u"KeyToRecord"); }

void NativeKeyAsVariant(const E& e, const void* aKey, Variant& aValue) {
  mvNativeToVariant(e.ckfeFieldType, e.ckfeCompareCodepage, e.ckfeKeyUnits, e.ckfeFieldDecPl, aKey,
                    e.ckfeKeyLength, aValue);
}

// A segment built for one compare: on the stack when it is small, else an
// item of the engine's pool, given back also when the build or the compare
// raises.
class TScratchKey {
 public:
  explicit TScratchKey(const E& e) : fEngine(e) {
    fKey = size_t(e.ckfeKeyLength) <= sizeof fStack ? fStack : mvMemoryPoolAlloc(e.ckfeAllocator);
  }
  ~TScratchKey() {
    if (fKey != fStack) mvMemoryPoolDisposeDirect(fEngine.ckfeAllocator, fKey);
  }
  TScratchKey(const TScratchKey&) = delete;
  TScratchKey& operator=(const TScratchKey&) = delete;

  const void* Build(const void* aField) {
    fEngine.BuildKey(aField, fKey);
    return fKey;
  }

 private:
  const E& fEngine;
  void* fKey;
  alignas(8) uint8_t fStack[512];
};

int8_t GenericCompareFieldDirect(const E& e, const void* aField1, const void* aField2) {
  TScratchKey k1(e), k2(e);
  return e.CompareKey(k1.Build(aField1), k2.Build(aField2));
}

int8_t GenericCompareKeyToFieldDirect(const E& e, const void* aKey, const void* aField) {
  TScratchKey k2(e);
  return e.CompareKey(aKey, k2.Build(aField));
}

int8_t GenericPartialCompareFieldDirect(const E& e, const void* aField1, const void* aField2, int32_t aPartialLen) {
  TScratchKey k1(e), k2(e);
  return e.PartialCompareKey(k1.Build(aField1), k2.Build(aField2), aPartialLen);
}

int8_t GenericPartialCompareKeyToFieldDirect(const E& e, const void* aKey, const void* aField,
                                             int32_t aPartialLen) {
  TScratchKey k2(e);
  return e.PartialCompareKey(aKey, k2.Build(aField), aPartialLen);
}

bool IsTextType(TmvFieldType aType) {
  return aType == mvtShortString || aType == mvtNullString || aType == mvtWideString;
}

bool IsLocaleTextType(TmvFieldType aType) {
  switch (aType) {
    case mvtChar: case mvtWideChar: case mvtBlobMemo: case mvtShortString: case mvtNullString:
    case mvtWideString: case mvtBlobWideMemo:
      return true;
    default:
      return false;
  }
}

// What the code page makes of each byte below 0x80; false when it has no
// code page or does not make one unit of each.
bool LowBytesOf(uint16_t aCodePage, char16_t (&aUnits)[128]) {
  if (aCodePage == 0) return false;
  char bytes[128];
  for (int i = 0; i < 128; ++i) bytes[i] = char(i);
  return MultiByteToWideChar(aCodePage, 0, bytes, 128, aUnits, 128) == 128;
}

bool IsMultiByteCodePage(uint16_t aCodePage) {
  if (aCodePage == 0) return false;
  uint32_t size = 0;
  if (!GetCPMaxCharSize(aCodePage, size)) mvRaiseNlsError(u"TmvCompositeKeyFieldEngine.Create/GetCPInfo");
  return size > 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvCompositeKeyFieldEngine

constinit const TmvCompositeKeyFieldEngineClassRef TmvCompositeKeyFieldEngine::StaticClass{
    {u"TmvCompositeKeyFieldEngine", &TmvPersistent::StaticClass},
    &mvCreateCompositeKeyFieldEngine<TmvCompositeKeyFieldEngine>,
    &TmvCompositeKeyFieldEngine::SupportsFieldType};

TmvCompositeKeyFieldEngine::TmvCompositeKeyFieldEngine(TmvKeyFieldDescriptor* aKeyFieldDescriptor)
    : TmvCompositeKeyFieldEngine(aKeyFieldDescriptor, true) {}

TmvCompositeKeyFieldEngine::TmvCompositeKeyFieldEngine(TmvKeyFieldDescriptor* aKeyFieldDescriptor,
                                                       bool aRecordFormatClass) {
  for (auto* method : {&CompareKey, &CompareFieldDirect, &CompareKeyToFieldDirect}) method->Data = this;
  for (auto* method : {&PartialCompareKey, &PartialCompareFieldDirect, &PartialCompareKeyToFieldDirect})
    method->Data = this;
  BuildKey.Data = KeyToRecord.Data = KeyAsVariant.Data = this;

  KeySameAsRecordFormat = aRecordFormatClass;
  KeyAsVariant.Code = &NativeKeyAsVariant;
  CompareFieldDirect.Code = &GenericCompareFieldDirect;
  CompareKeyToFieldDirect.Code = &GenericCompareKeyToFieldDirect;
  PartialCompareFieldDirect.Code = &GenericPartialCompareFieldDirect;
  PartialCompareKeyToFieldDirect.Code = &GenericPartialCompareKeyToFieldDirect;
  ckfeKeyChars = aKeyFieldDescriptor->KeyChars();
  TakeNullBehaviour(aKeyFieldDescriptor);
  CopyFieldFacts(aKeyFieldDescriptor);
  TakeLocale(aKeyFieldDescriptor);
  ChooseCompare(aKeyFieldDescriptor->GetAscend());
  ChooseBuild();
  ChooseDirect();
  ckfeAllocator = mvGetMemoryPool(size_t(std::max(ckfeKeyLength, 1)));
}

void TmvCompositeKeyFieldEngine::TakeNullBehaviour(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  switch (aKeyFieldDescriptor->GetNullBehaviour()) {
    case nbBottom: InvertNull = true; break;
    case nbAsAscend: InvertNull = !aKeyFieldDescriptor->GetAscend(); break;
    case nbFilterNull: FilterNull = true; break;
    case nbFilterNonNull: FilterNonNull = true; break;
    case nbTop: break;
  }
}

void TmvCompositeKeyFieldEngine::CopyFieldFacts(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  TmvFieldDescriptor* field = aKeyFieldDescriptor->Field();
  // A key field outside a table has no field to key.
  if (!field)
    throw EmvCompositeKeyFieldEngineException(MVERR_OBJNOTFOUND, u"Key field %d has no field",
                                              {aKeyFieldDescriptor->GetFieldNumber()});
  ckfeFieldName = field->Name();
  ckfeFieldType = field->FieldType();
  ckfeFieldDecPl = field->DecPl();
  ckfeFieldLength = field->Length();
  ckfeFieldOffset = field->Offset();
  ckfeFieldNumber = field->Number();
  ckfeKeyUnits = IsTextType(ckfeFieldType) ? ckfeKeyChars : field->Units();
  ckfeStorageCodepage = field->GetUsedStorageCodePage();
  ckfeKeyLength = aKeyFieldDescriptor->KeyLength();
  ckfeBuildKeyLength = std::min(ckfeKeyLength, ckfeFieldLength);
  ckfePartialStringKey = IsTextType(ckfeFieldType) && field->Units() > ckfeKeyChars;
}

void TmvCompositeKeyFieldEngine::TakeLocale(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  ckfeLocaleDescriptor = aKeyFieldDescriptor->GetUsedLocaleDescriptor();
  ckfeIgnoreCase = aKeyFieldDescriptor->InheritsFrom(TmvTextKeyFieldDescriptor::StaticClass) &&
                   static_cast<TmvTextKeyFieldDescriptor*>(aKeyFieldDescriptor)->GetIgnoreCase();
  ckfeGuidAsText = aKeyFieldDescriptor->InheritsFrom(TmvTextKeyFieldDescriptor::StaticClass);
  if (ckfeIgnoreCase) ckfeCompareFlags |= NORM_IGNORECASE;
  if (TmvLocaleDescriptor* locale = ckfeLocaleDescriptor) {
    ckfeLocale = locale->GetLocale();
    ckfeCompareCodepage = locale->CompareCodepage();
    if (IsLocaleTextType(ckfeFieldType) && !locale->CurrentLocaleVersionEqualToBuildVersion())
      ckfeNLSVersionChanged = true;
    ckfeCompareFlags |= locale->GetFlags();
  }
  if (ckfeLocale != 0)
    ckfeUseByteOrder = false;
  else if (ckfeFieldType == mvtWideChar || ckfeFieldType == mvtWideString)
    ckfeUseByteOrder = UseByteOrderForWideString(aKeyFieldDescriptor);
  else
    ckfeUseByteOrder = true;
  ckfeStorageMultiByte = IsMultiByteCodePage(ckfeStorageCodepage);
  ckfeCompareMultiByte = IsMultiByteCodePage(ckfeCompareCodepage);
  ckfeCompareLowBytesKnown = LowBytesOf(ckfeCompareCodepage, ckfeCompareLowBytes);
}

bool TmvCompositeKeyFieldEngine::UseByteOrderForWideString(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  if (ImvDictionaryRoot* root = aKeyFieldDescriptor->FindDictionaryRoot()) return root->GetUseByteOrderForWideString();
  return !mvDisable30900LocaleFixes;
}

void TmvCompositeKeyFieldEngine::ChooseCompare(bool aAscend) {
  const TCompareRoutines routines = CompareRoutinesFor(*this);
  CompareKey.Code = aAscend ? routines.Ascending : routines.Descending;
  PartialCompareKey.Code = aAscend ? routines.PartialAscending : routines.PartialDescending;
}

void TmvCompositeKeyFieldEngine::ChooseBuild() {
  KeyToRecord.Code = &KeyToRecordNotSupported;
  switch (ckfeFieldType) {
    case mvtShortString: case mvtNullString:
      BuildKey.Code = TextBuildRoutine(ckfeFieldType, tbCopy);
      if (KeyConverts()) {
        BuildKey.Code = TextBuildRoutine(ckfeFieldType, tbConvert);
        KeySameAsRecordFormat = false;
      } else if (ckfePartialStringKey) {
        if (ckfeStorageMultiByte)
          BuildKey.Code = TextBuildRoutine(ckfeFieldType, tbTruncate);
        else
          ckfeBuildKeyLength = ckfeKeyChars + 1;
        KeySameAsRecordFormat = false;
      }
      break;
    case mvtWideString:
      BuildKey.Code = TextBuildRoutine(ckfeFieldType, tbCopy);
      if (ckfePartialStringKey) {
        ckfeBuildKeyLength = (ckfeKeyChars + 1) * 2;
        KeySameAsRecordFormat = false;
      }
      break;
    default:
      BuildKey.Code = PlainBuildRoutine(ckfeBuildKeyLength);
      // A byte array cut by its byte override holds only the head of the
      // value: written back it would pass for the whole value.
      if (ckfeFieldType == mvtByteArray && ckfeKeyLength < ckfeFieldLength) KeySameAsRecordFormat = false;
      break;
  }
}

void TmvCompositeKeyFieldEngine::ChooseDirect() {
  const bool text = IsTextType(ckfeFieldType);
  const bool keyIsField = !(text && (KeyConverts() || ckfePartialStringKey)) &&
                          ckfeKeyLength == ckfeFieldLength && KeySameAsRecordFormat;
  if (keyIsField) {
    CompareFieldDirect.Code = CompareKeyToFieldDirect.Code = CompareKey.Code;
    PartialCompareFieldDirect.Code = PartialCompareKeyToFieldDirect.Code = PartialCompareKey.Code;
  }
  if (KeySameAsRecordFormat) KeyToRecord.Code = &CopyKeyToRecord;
  if (!PartialCompareKey) PartialCompareFieldDirect.Code = PartialCompareKeyToFieldDirect.Code = nullptr;
}

int32_t TmvCompositeKeyFieldEngine::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldDescriptor) {
    *obj = static_cast<ImvFieldDescriptor*>(this);
    return S_OK;
  }
  return TmvPersistent::QueryInterface(iid, obj);
}

bool TmvCompositeKeyFieldEngine::SupportsFieldType(TmvFieldType aFieldType) {
  return aFieldType <= mvtInterval || (aFieldType >= mvtByteArray && aFieldType <= mvtGuid);
}

void TmvCompositeKeyFieldEngine::CheckValidKeyField(const TmvCompositeKeyFieldEngineClassRef& aClass,
                                                    TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  delete aClass.Create(aKeyFieldDescriptor);
}

// ---------------------------------------------------------------------------
// The registry: a sorted name list (names compared ignoring case, duplicates
// refused) whose entries carry the class records. The list comes with the
// first Register; list and padlock go at unit shutdown.

namespace {

TmvPadlock* gRegistryLock = nullptr;
TmvFastStringListIC* gRegistry = nullptr;

class TRegistryLock {
 public:
  TRegistryLock() {
    MV_ASSERT(gRegistryLock != nullptr);  // the dictionary has been started
    gRegistryLock->Lock();
  }
  ~TRegistryLock() { gRegistryLock->Unlock(); }
  TRegistryLock(const TRegistryLock&) = delete;
  TRegistryLock& operator=(const TRegistryLock&) = delete;
};

const TmvCompositeKeyFieldEngineClassRef* FindClass(const String& aName) {
  int32_t index;
  if (!gRegistry || !gRegistry->Find(aName, index)) return nullptr;
  return static_cast<const TmvCompositeKeyFieldEngineClassRef*>(gRegistry->Objects(index));
}

// Requires: the registry padlock is held.
const TmvCompositeKeyFieldEngineClassRef& ClassOf(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  const String& name = aKeyFieldDescriptor->GetKeyFieldEngine();
  const TmvCompositeKeyFieldEngineClassRef* cls = FindClass(name);
  if (!cls)
    throw EmvCompositeKeyFieldEngineException(MVERR_UNSUPPORTEDSUBENGINE,
                                              u"CompositeKeyFieldEngine \"%s\" is not registered", {name});
  return *cls;
}

// A name as the platform's comma text writes it: quoted (quotes doubled)
// when it is empty or holds a blank, a comma or a quote.
String CommaTextItem(const String& aName) {
  if (!aName.empty() && aName.find_first_of(u" ,\"") == String::npos) return aName;
  String quoted = u"\"";
  for (char16_t c : aName) {
    if (c == u'"') quoted += u'"';
    quoted += c;
  }
  return quoted + u"\"";
}

}  // namespace

void TmvCompositeKeyFieldEngine::Register(const TmvCompositeKeyFieldEngineClassRef& aClass, const String& aName,
                                          TmvFieldTypes, const TStrings*) {
  TRegistryLock lock;
  if (!gRegistry) gRegistry = new TmvFastStringListIC(dupError);
  gRegistry->AddObject(aName, const_cast<TmvCompositeKeyFieldEngineClassRef*>(&aClass));
}

void TmvCompositeKeyFieldEngine::Unregister(const TmvCompositeKeyFieldEngineClassRef& aClass) {
  TRegistryLock lock;
  if (!gRegistry) return;
  for (int32_t i = gRegistry->Count() - 1; i >= 0; --i)
    if (static_cast<const ClassRef*>(gRegistry->Objects(i))->InheritsFrom(&aClass)) gRegistry->Delete(i);
}

String TmvCompositeKeyFieldEngine::RegisteredEngines() {
  TRegistryLock lock;
  String text;
  for (int32_t i = 0; gRegistry && i < gRegistry->Count(); ++i) {
    if (i > 0) text += u',';
    text += CommaTextItem(gRegistry->Strings(i));
  }
  return text;
}

TmvCompositeKeyFieldEngine* TmvCompositeKeyFieldEngine::CreateEngine(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  TRegistryLock lock;
  return ClassOf(aKeyFieldDescriptor).Create(aKeyFieldDescriptor);
}

void TmvCompositeKeyFieldEngine::CheckValidBase(TmvKeyFieldDescriptor* aKeyFieldDescriptor) {
  TRegistryLock lock;
  CheckValidKeyField(ClassOf(aKeyFieldDescriptor), aKeyFieldDescriptor);
}

bool TmvCompositeKeyFieldEngine::CheckSupportsFieldType(const String& aEngineName, TmvFieldType aFieldType) {
  TRegistryLock lock;
  const TmvCompositeKeyFieldEngineClassRef* cls = FindClass(aEngineName);
  return cls && cls->SupportsFieldType(aFieldType);
}

// ---------------------------------------------------------------------------
// NumbersOnly

constinit const TmvCompositeKeyFieldEngineClassRef TmvNumbersOnlyCKFE::StaticClass{
    {u"TmvNumbersOnlyCKFE", &TmvCompositeKeyFieldEngine::StaticClass},
    &mvCreateCompositeKeyFieldEngine<TmvNumbersOnlyCKFE>,
    &TmvNumbersOnlyCKFE::SupportsFieldType};

TmvNumbersOnlyCKFE::TmvNumbersOnlyCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor)
    : TmvCompositeKeyFieldEngine(aKeyFieldDescriptor, false) {
  // A non-text field keeps the plain build: its value has no digits to pick.
  if (IsTextType(ckfeFieldType)) BuildKey.Code = TextBuildRoutine(ckfeFieldType, tbNumbersOnly);
}

bool TmvNumbersOnlyCKFE::SupportsFieldType(TmvFieldType aFieldType) { return IsTextType(aFieldType); }

// ---------------------------------------------------------------------------
// DateOnly and its processed forms

namespace {

// The day number (1 = 0001-01-01) of a DateTime field: its milliseconds
// rounded to an integer (ties to even), divided by the milliseconds of a day
// and cut towards zero. A value that does not round to a 64-bit integer
// (NaN, infinity, beyond 2^63) fails as the rounding of such a value does
// on the platform the engine was designed for.
int64_t DayOfDateTime(const void* aField) {
  double value;
  std::memcpy(&value, aField, sizeof value);
  const double ms = std::nearbyint(value);
  if (!(std::fabs(ms) < 9.2233720368547758e18)) throw EInvalidOp(String(SInvalidOp));
  return int64_t(ms) / MSecsPerDay;
}

void StoreDay(int64_t aDay, void* aKey) {
  const double value = double(aDay) * MSecsPerDay;
  std::memcpy(aKey, &value, sizeof value);
}

void DateOnlyBuildKey(const E&, const void* aField, void* aKey) { StoreDay(DayOfDateTime(aField), aKey); }

void DateOnlyProcessBuildKey(const E& e, const void* aField, void* aKey) {
  int64_t day;
  static_cast<const TmvDateOnlyProcessCKFE&>(e).ProcessTimeStamp(DayOfDateTime(aField), day);
  StoreDay(day, aKey);
}

// Proleptic Gregorian calendar over 64-bit day numbers (1 = 0001-01-01):
// the day number of the first day of the month and of the year of aDay.
// Counted in 400-year eras of 146,097 days from 0000-03-01, so that the
// leap day ends each era's year.
struct TCivilDate {
  int64_t Year;
  int64_t Month;  // 1..12
  int64_t Day;    // 1..31
};

constexpr int64_t kDaysBeforeDay1 = 306;  // 0000-03-01 .. 0000-12-31, day 1 is the next

TCivilDate CivilFromDay(int64_t aDay) {
  const int64_t z = aDay + kDaysBeforeDay1 - 1;  // days since 0000-03-01
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, doy - (153 * mp + 2) / 5 + 1};
}

int64_t DayFromCivil(int64_t aYear, int64_t aMonth, int64_t aDayOfMonth) {
  const int64_t y = aMonth <= 2 ? aYear - 1 : aYear;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = aMonth > 2 ? aMonth - 3 : aMonth + 9;
  const int64_t doy = (153 * mp + 2) / 5 + aDayOfMonth - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - kDaysBeforeDay1 + 1;
}

}  // namespace

constinit const TmvCompositeKeyFieldEngineClassRef TmvDateOnlyCKFE::StaticClass{
    {u"TmvDateOnlyCKFE", &TmvCompositeKeyFieldEngine::StaticClass},
    &mvCreateCompositeKeyFieldEngine<TmvDateOnlyCKFE>,
    &TmvDateOnlyCKFE::SupportsFieldType};

TmvDateOnlyCKFE::TmvDateOnlyCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor)
    : TmvCompositeKeyFieldEngine(aKeyFieldDescriptor, false) {
  MV_ASSERT(ckfeFieldType == mvtDateTime);
  BuildKey.Code = &DateOnlyBuildKey;
}

bool TmvDateOnlyCKFE::SupportsFieldType(TmvFieldType aFieldType) { return aFieldType == mvtDateTime; }

constinit const TmvCompositeKeyFieldEngineClassRef TmvDateOnlyProcessCKFE::StaticClass{
    {u"TmvDateOnlyProcessCKFE", &TmvCompositeKeyFieldEngine::StaticClass},
    &mvCreateCompositeKeyFieldEngine<TmvDateOnlyProcessCKFE>,
    &TmvDateOnlyCKFE::SupportsFieldType};

TmvDateOnlyProcessCKFE::TmvDateOnlyProcessCKFE(TmvKeyFieldDescriptor* aKeyFieldDescriptor)
    : TmvCompositeKeyFieldEngine(aKeyFieldDescriptor, false) {
  MV_ASSERT(ckfeFieldType == mvtDateTime);
  BuildKey.Code = &DateOnlyProcessBuildKey;
}

void TmvDateOnlyProcessCKFE::ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const { aOutDay = aDay; }

constinit const TmvCompositeKeyFieldEngineClassRef TmvDateOnlyWeekCKFE::StaticClass{
    {u"TmvDateOnlyWeekCKFE", &TmvDateOnlyProcessCKFE::StaticClass},
    &mvCreateCompositeKeyFieldEngine<TmvDateOnlyWeekCKFE>,
    &TmvDateOnlyCKFE::SupportsFieldType};

void TmvDateOnlyWeekCKFE::ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const {
  aOutDay = aDay <= 7 ? 1 : aDay - (aDay - 1) % 7;
}

constinit const TmvCompositeKeyFieldEngineClassRef TmvDateOnlyMonthCKFE::StaticClass{
    {u"TmvDateOnlyMonthCKFE", &TmvDateOnlyProcessCKFE::StaticClass},
    &mvCreateCompositeKeyFieldEngine<TmvDateOnlyMonthCKFE>,
    &TmvDateOnlyCKFE::SupportsFieldType};

void TmvDateOnlyMonthCKFE::ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const {
  aOutDay = aDay <= 31 ? 1 : aDay - CivilFromDay(aDay).Day + 1;
}

constinit const TmvCompositeKeyFieldEngineClassRef TmvDateOnlyYearCKFE::StaticClass{
    {u"TmvDateOnlyYearCKFE", &TmvDateOnlyProcessCKFE::StaticClass},
    &mvCreateCompositeKeyFieldEngine<TmvDateOnlyYearCKFE>,
    &TmvDateOnlyCKFE::SupportsFieldType};

void TmvDateOnlyYearCKFE::ProcessTimeStamp(int64_t aDay, int64_t& aOutDay) const {
  aOutDay = aDay <= 365 ? 1 : DayFromCivil(CivilFromDay(aDay).Year, 1, 1);
}

// ---------------------------------------------------------------------------
// Unit start-up and shutdown

namespace {

constexpr TmvFieldTypes kDefaultEngineTypes =
    mvSetOf({mvtBoolean, mvtChar, mvtWideChar, mvtByte, mvtWord16, mvtWord32, mvtInt8, mvtInt16, mvtInt32,
             mvtInt64, mvtAutoInc, mvtSingle, mvtDouble, mvtExtended, mvtCurrency, mvtDate, mvtTime, mvtDateTime,
             mvtInterval, mvtByteArray, mvtShortString, mvtNullString, mvtWideString, mvtRecRev, mvtGuid});

const struct {
  const TmvCompositeKeyFieldEngineClassRef* cls;
  const char16_t* name;
  TmvFieldTypes types;
} kEngines[] = {
    {&TmvCompositeKeyFieldEngine::StaticClass, u"", kDefaultEngineTypes},
    {&TmvNumbersOnlyCKFE::StaticClass, u"NumbersOnly", mvSetOf({mvtShortString, mvtNullString, mvtWideString})},
    {&TmvDateOnlyCKFE::StaticClass, u"DateOnly", mvSetOf({mvtDateTime})},
    {&TmvDateOnlyWeekCKFE::StaticClass, u"DateOnlyWeek", mvSetOf({mvtDateTime})},
    {&TmvDateOnlyMonthCKFE::StaticClass, u"DateOnlyMonth", mvSetOf({mvtDateTime})},
    {&TmvDateOnlyYearCKFE::StaticClass, u"DateOnlyYear", mvSetOf({mvtDateTime})},
};

void FreeRegistry() {
  delete gRegistry;
  gRegistry = nullptr;
  delete gRegistryLock;
  gRegistryLock = nullptr;
}

}  // namespace

void mvCompositeKeyFieldEnginesInit() {
  gRegistryLock = new TmvPadlock();
  try {
    for (const auto& engine : kEngines) TmvCompositeKeyFieldEngine::Register(*engine.cls, engine.name, engine.types);
  } catch (...) {
    FreeRegistry();
    throw;
  }
}

void mvCompositeKeyFieldEnginesFini() {
  if (!gRegistryLock) return;  // a start-up that failed has cleaned up already
  TmvCompositeKeyFieldEngine::Unregister(TmvCompositeKeyFieldEngine::StaticClass);
  FreeRegistry();
}
