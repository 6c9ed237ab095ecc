// Index engines: the key engines of fixed-size keys. See mvsdKeyEngineFixed.h.
#include "index/mvsdKeyEngineFixed.h"

#include <cstring>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"

namespace {

int64_t I64(const void* aBuffer, uint32_t aOffset = 0) {
  const auto* p = static_cast<const uint8_t*>(aBuffer) + aOffset;
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return int64_t(v);
}

int32_t I32(const void* aBuffer, uint32_t aOffset) {
  const auto* p = static_cast<const uint8_t*>(aBuffer) + aOffset;
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

void PutI64(void* aBuffer, int64_t aValue) {
  auto* p = static_cast<uint8_t*>(aBuffer);
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(uint64_t(aValue) >> (8 * i));
}

template <typename T>
int8_t Order(T a, T b) {
  return int8_t(a < b ? -1 : a > b ? 1 : 0);
}

template <typename D>
void RequireDescriptor(TmvBaseKeyDescriptor* aDescriptor) {
  if (!dynamic_cast<D*>(aDescriptor)) throw EInvalidCast(String(SInvalidCast));
}

bool SameName(const String& a, const char16_t* b) {
  const std::u16string_view name(b);
  return a.size() == name.size() && mvStrLICompW(a.c_str(), name.data(), a.size()) == 0;
}

constexpr uint32_t kBlobCacheKeyLength = 28;

}  // namespace

int32_t TmvFixedKeyField::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldDescriptor) {
    *obj = static_cast<ImvFieldDescriptor*>(this);
    return S_OK;
  }
  *obj = nullptr;
  return E_NOINTERFACE;
}

// ---------------------------------------------------------------------------
// TmvFixedKeyEngine

TmvFixedKeyEngine::TmvFixedKeyEngine(TmvBaseKeyDescriptor* aDescriptor, uint16_t aLength, std::vector<TField> aFields)
    : TmvBaseKeyEngine(aDescriptor, aLength), fkeFields(std::move(aFields)) {
  for (const TField& field : fkeFields) fkeFieldDescriptors.push_back(new TmvFixedKeyField(field.Name, field.Type));
}

TmvFixedKeyEngine::~TmvFixedKeyEngine() {
  for (TmvFixedKeyField* field : fkeFieldDescriptors) delete field;
}

void TmvFixedKeyEngine::ClearKey(void* aKey) {
  if (aKey) std::memset(aKey, 0, bkeKeyLength);
}

int32_t TmvFixedKeyEngine::GetFieldFromName(const String& aName) {
  for (size_t i = 0; i < fkeFields.size(); ++i)
    if (SameName(aName, fkeFields[i].Name)) return int32_t(i);
  return -1;
}

ImvFieldDescriptor* TmvFixedKeyEngine::GetFieldDescriptor(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= GetMaxFieldCount()) return nullptr;
  return fkeFieldDescriptors[size_t(aIndex)];
}

bool TmvFixedKeyEngine::GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType,
                                          uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) {
  if (!aName.empty()) aField = GetFieldFromName(aName);
  aValue = nullptr;
  if (aField < 0 || aField >= GetMaxFieldCount()) return false;
  const TField& field = fkeFields[size_t(aField)];
  aType = field.Type;
  aSize = 0;
  aCodePage = 0;
  aIsNull = !aData;
  aValue = aData ? static_cast<const uint8_t*>(aData) + field.Offset : nullptr;
  return true;
}

Variant TmvFixedKeyEngine::FieldValue(const void* aKey, int32_t aIndex) const {
  const TField& field = fkeFields[size_t(aIndex)];
  if (field.Type == mvtInt32) return Variant(I32(aKey, field.Offset));
  return Variant(static_cast<long long>(I64(aKey, field.Offset)));
}

// ---------------------------------------------------------------------------
// TmvRefKeyEngine

constinit const TmvKeyEngineClassRef TmvRefKeyEngine::StaticClass{
    {{u"TmvRefKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TmvRefKeyEngine>,
    &TmvRefKeyEngine::CheckValidBase};

TmvRefKeyEngine::TmvRefKeyEngine(TmvBaseKeyDescriptor* aDescriptor) : TmvRefKeyEngine(aDescriptor, u"RefNr") {}

TmvRefKeyEngine::TmvRefKeyEngine(TmvBaseKeyDescriptor* aDescriptor, const char16_t* aFieldName)
    : TmvFixedKeyEngine(aDescriptor, 8, {{aFieldName, mvtInt64, 0}}) {}

void TmvRefKeyEngine::CheckValidBase(TmvBaseKeyDescriptor* aDescriptor) {
  RequireDescriptor<TmvRefKeyDescriptor>(aDescriptor);
}

uint32_t TmvRefKeyEngine::BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) {
  if (!aIgnoreFilter && bkeFilter && (!aRecord || !FilterMatches(aRecord))) return 1;
  PutI64(aKey, aRefNr);
  return 0;
}

int8_t TmvRefKeyEngine::CompareKey(const void* aKey1, const void* aKey2, int32_t, int32_t) {
  return Order(I64(aKey1), I64(aKey2));
}

int8_t TmvRefKeyEngine::CompareRecord(const void*, TmvRefNr aRefNr1, const void*, TmvRefNr aRefNr2, int32_t, int32_t) {
  return Order<int64_t>(aRefNr1, aRefNr2);
}

Variant TmvRefKeyEngine::KeyAsVariant(const void* aKey, int32_t aField) {
  CheckKeyField(aField, 1);
  return FieldValue(aKey, 0);
}

// ---------------------------------------------------------------------------
// TmvInt64KeyEngine

constinit const TmvKeyEngineClassRef TmvInt64KeyEngine::StaticClass{
    {{u"TmvInt64KeyEngine", &TmvRefKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TmvInt64KeyEngine>,
    &TmvInt64KeyEngine::CheckValidBase};

TmvInt64KeyEngine::TmvInt64KeyEngine(TmvBaseKeyDescriptor* aDescriptor) : TmvRefKeyEngine(aDescriptor, u"Int64") {}

void TmvInt64KeyEngine::CheckValidBase(TmvBaseKeyDescriptor* aDescriptor) {
  RequireDescriptor<TmvInt64KeyDescriptor>(aDescriptor);
}

uint32_t TmvInt64KeyEngine::BuildKey(const void* aRecord, void* aKey, TmvRefNr, bool) {
  if (!aRecord) return MVERR_INVALIDPARAM;
  std::memcpy(aKey, aRecord, 8);
  return 0;
}

int8_t TmvInt64KeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr, int32_t, int32_t) {
  return Order(I64(aKey), I64(aRecord));
}

int8_t TmvInt64KeyEngine::CompareRecord(const void* aRecord1, TmvRefNr, const void* aRecord2, TmvRefNr, int32_t,
                                        int32_t) {
  return Order(I64(aRecord1), I64(aRecord2));
}

// ---------------------------------------------------------------------------
// TmvBlobCacheKeyEngine

constinit const TmvKeyEngineClassRef TmvBlobCacheKeyEngine::StaticClass{
    {{u"TmvBlobCacheKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TmvBlobCacheKeyEngine>,
    &TmvBlobCacheKeyEngine::CheckValidBase};

TmvBlobCacheKeyEngine::TmvBlobCacheKeyEngine(TmvBaseKeyDescriptor* aDescriptor)
    : TmvFixedKeyEngine(aDescriptor, kBlobCacheKeyLength,
                        {{u"BlobNr", mvtInt64, 0}, {u"FieldNo", mvtInt32, 8}, {u"RefNr", mvtInt64, 12},
                         {u"InserLSN", mvtInt64, 20}}) {}

void TmvBlobCacheKeyEngine::CheckValidBase(TmvBaseKeyDescriptor* aDescriptor) {
  RequireDescriptor<TmvBlobCacheKeyDescriptor>(aDescriptor);
}

uint32_t TmvBlobCacheKeyEngine::BuildKey(const void* aRecord, void* aKey, TmvRefNr, bool) {
  if (!aRecord) return MVERR_INVALIDPARAM;
  std::memcpy(aKey, aRecord, kBlobCacheKeyLength);
  return 0;
}

int8_t TmvBlobCacheKeyEngine::CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t) {
  const int32_t count = aFieldCount == 0 ? 4 : aFieldCount;
  int8_t c = Order(I64(aKey1, 0), I64(aKey2, 0));
  if (c == 0 && count >= 2) c = Order(I32(aKey1, 8), I32(aKey2, 8));
  if (c == 0 && count >= 3) c = Order(I64(aKey1, 12), I64(aKey2, 12));
  if (c == 0 && count >= 4) c = Order(I64(aKey1, 20), I64(aKey2, 20));
  return c;
}

int8_t TmvBlobCacheKeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr, int32_t aFieldCount,
                                                 int32_t aPartialLen) {
  return CompareKey(aKey, aRecord, aFieldCount, aPartialLen);
}

int8_t TmvBlobCacheKeyEngine::CompareRecord(const void* aRecord1, TmvRefNr, const void* aRecord2, TmvRefNr,
                                            int32_t aFieldCount, int32_t aPartialLen) {
  return CompareKey(aRecord1, aRecord2, aFieldCount, aPartialLen);
}

Variant TmvBlobCacheKeyEngine::KeyAsVariant(const void* aKey, int32_t aField) {
  if (!aKey) return Variant::Null();
  CheckKeyField(aField, 4);
  if (aField >= 0) return FieldValue(aKey, aField);
  return Variant::VariantArray({FieldValue(aKey, 0), FieldValue(aKey, 1), FieldValue(aKey, 2), FieldValue(aKey, 3)});
}

void mvsdKeyEngineFixedInit() {
  TmvBaseRegisterableEngine::RegisterEngine(TmvRefKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::RegisterEngine(TmvInt64KeyEngine::StaticClass);
  TmvBaseRegisterableEngine::RegisterEngine(TmvBlobCacheKeyEngine::StaticClass);
}

void mvsdKeyEngineFixedFini() {
  TmvBaseRegisterableEngine::UnregisterEngine(TmvBlobCacheKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::UnregisterEngine(TmvInt64KeyEngine::StaticClass);
  TmvBaseRegisterableEngine::UnregisterEngine(TmvRefKeyEngine::StaticClass);
}
