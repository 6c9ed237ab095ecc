// Index engines: the composite key engines. See mvsdKeyEngineComp.h.
#include "index/mvsdKeyEngineComp.h"

#include <algorithm>
#include <cstring>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"

constinit const TmvKeyEngineClassRef TmvCompKeyEngine::StaticClass{
    {{u"TmvCompKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TmvCompKeyEngine>,
    &TmvCompKeyEngine::CheckValidBase};

constinit const TmvKeyEngineClassRef TmvNoNullCompKeyEngine::StaticClass{
    {{u"TmvNoNullCompKeyEngine", &TmvCompKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TmvNoNullCompKeyEngine>,
    &TmvCompKeyEngine::CheckValidBase};

namespace {

TmvCompKeyDescriptor& CompositeDescriptor(TmvBaseKeyDescriptor* aDescriptor) {
  auto* composite = dynamic_cast<TmvCompKeyDescriptor*>(aDescriptor);
  if (!composite)
    throw EmvBaseKeyEngineException(MVERR_INVALIDDESC, u"%s is not a composite key descriptor",
                                    {aDescriptor ? aDescriptor->ClassName() : String(u"nil")});
  return *composite;
}

bool SameName(const String& a, const String& b) {
  return a.size() == b.size() && mvStrLICompW(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

TmvCompKeyEngine::TmvCompKeyEngine(TmvBaseKeyDescriptor* aDescriptor) : TmvCompKeyEngine(aDescriptor, true) {}

TmvCompKeyEngine::TmvCompKeyEngine(TmvBaseKeyDescriptor* aDescriptor, bool aWithBitmap)
    : TmvBaseKeyEngine(aDescriptor) {
  TmvCompKeyDescriptor& key = CompositeDescriptor(aDescriptor);
  ckeFieldsDescriptor =
      static_cast<TmvFieldsDescriptor*>(key.GetRelatedDescriptorOfType(TmvFieldsDescriptor::StaticClass));
  ckeNullBitmapOffset = uint32_t(ckeFieldsDescriptor->LogicalRecordLength());
  ckeKeyFieldCount = key.KeyFieldCount();
  ckeKeyOffset = aWithBitmap ? (ckeKeyFieldCount + 7) / 8 : 0;
  try {
    uint32_t offset = uint32_t(ckeKeyOffset);
    for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
      TmvKeyFieldDescriptor* keyField = key.KeyFields(i);
      ckeKeyFieldEngines.push_back(nullptr);
      TmvCompositeKeyFieldEngine* engine = TmvCompositeKeyFieldEngine::CreateEngine(keyField);
      ckeKeyFieldEngines.back() = engine;
      if (engine->NLSVersionChanged()) bkeNLSVersionChanged = true;
      if (engine->FieldType() == mvtExtended) bkeContainsExtended = true;
      String name = engine->ckfeFieldName;
      if (!keyField->GetKeyFieldEngine().empty()) name += u"_" + keyField->GetKeyFieldEngine();
      const bool known = std::any_of(ckeKeyFieldNames.begin(), ckeKeyFieldNames.end(),
                                     [&](const auto& entry) { return SameName(entry.first, name); });
      if (!known) ckeKeyFieldNames.emplace_back(name, i);
      ckeFields.push_back({engine, offset, uint32_t(engine->FieldOffset()), engine->FieldNumber(),
                           int8_t(engine->InvertNull ? -1 : 1)});
      offset += uint32_t(engine->KeyLength());
    }
    // A key must hold its segments: a descriptor that says less would let
    // every build write past the buffer.
    if (offset > bkeKeyLength)
      throw EmvBaseKeyEngineException(MVERR_INVALIDDESC, u"Key segments of %d bytes exceed the key length %d",
                                      {int32_t(offset), int32_t(bkeKeyLength)});
  } catch (...) {
    for (TmvCompositeKeyFieldEngine* engine : ckeKeyFieldEngines) delete engine;
    throw;
  }
}

TmvCompKeyEngine::~TmvCompKeyEngine() {
  for (TmvCompositeKeyFieldEngine* engine : ckeKeyFieldEngines) delete engine;
}

void TmvCompKeyEngine::CheckValidBase(TmvBaseKeyDescriptor* aDescriptor) {
  TmvCompKeyDescriptor& key = CompositeDescriptor(aDescriptor);
  for (int32_t i = 0; i < key.KeyFieldCount(); ++i) TmvCompositeKeyFieldEngine::CheckValidBase(key.KeyFields(i));
}

void TmvCompKeyEngine::ClearKey(void* aKey) {
  if (!aKey) return;
  std::memset(aKey, 0, bkeKeyLength);
  std::memset(aKey, 0xFF, size_t(ckeKeyOffset));
}

namespace {
// Bit n of a bitmap, bit n mod 8 of byte n div 8 (mvTestBit, here where
// every comparison asks it).
inline bool BitSet(const void* aBits, uint32_t aBit) {
  return (static_cast<const uint8_t*>(aBits)[aBit >> 3] >> (aBit & 7)) & 1;
}
}  // namespace

bool TmvCompKeyEngine::KeyFieldNull(const void* aKey, int32_t aIndex) const {
  return HasNulls() && BitSet(aKey, uint32_t(aIndex));
}

bool TmvCompKeyEngine::RecordFieldNull(const void* aRecord, int32_t aNumber) const {
  return BitSet(static_cast<const uint8_t*>(aRecord) + ckeNullBitmapOffset, uint32_t(aNumber));
}

uint32_t TmvCompKeyEngine::BuildKey(const void* aRecord, void* aKey, TmvRefNr, bool aIgnoreFilter) {
  if (!aRecord || !aKey) return MVERR_INVALIDPARAM;
  if (!aIgnoreFilter && !FilterMatches(aRecord)) return 1;
  ClearKey(aKey);
  auto* key = static_cast<uint8_t*>(aKey);
  const auto* record = static_cast<const uint8_t*>(aRecord);
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    const TKeyField& field = ckeFields[size_t(i)];
    if (RecordFieldNull(record, field.Number)) {
      if (field.Engine->FilterNull && !aIgnoreFilter) return 1;
      continue;
    }
    if (field.Engine->FilterNonNull && !aIgnoreFilter) return 1;
    field.Engine->BuildKey(record + field.RecordOffset, key + field.Offset);
    mvClearBit(key, uint32_t(i));
  }
  return 0;
}

uint32_t TmvCompKeyEngine::KeyToRecord(const void* aKey, void* aRecord) {
  if (!aKey || !aRecord) return MVERR_INVALIDPARAM;
  ckeFieldsDescriptor->InitRecord(aRecord);
  const auto* key = static_cast<const uint8_t*>(aKey);
  auto* record = static_cast<uint8_t*>(aRecord);
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    if (KeyFieldNull(key, i)) continue;
    const TKeyField& field = ckeFields[size_t(i)];
    if (uint32_t code = field.Engine->KeyToRecord(key + field.Offset, record + field.RecordOffset)) return code;
    ckeFieldsDescriptor->SetRecordFieldNull(field.Number, record, false);
  }
  return 0;
}

// One field of two operands: the null order first, then the field
// engine's routine for the operands' kinds (key first where one is a key).
int8_t TmvCompKeyEngine::CompareField(const TKeyField& aField, TOperand aKind1, const void* a1, TOperand aKind2,
                                      const void* a2, int32_t aPartialLen) const {
  const auto* b1 = static_cast<const uint8_t*>(a1);
  const auto* b2 = static_cast<const uint8_t*>(a2);
  const int32_t index = int32_t(&aField - ckeFields.data());
  if (HasNulls()) {
    const bool null1 = aKind1 == opKey ? KeyFieldNull(b1, index) : RecordFieldNull(b1, aField.Number);
    const bool null2 = aKind2 == opKey ? KeyFieldNull(b2, index) : RecordFieldNull(b2, aField.Number);
    if (null1 || null2) {
      if (null1 && null2) return 0;
      return int8_t(null1 ? -aField.InvertNull : aField.InvertNull);
    }
  }
  const void* f1 = b1 + (aKind1 == opKey ? aField.Offset : aField.RecordOffset);
  const void* f2 = b2 + (aKind2 == opKey ? aField.Offset : aField.RecordOffset);
  const TmvCompositeKeyFieldEngine& engine = *aField.Engine;
  if (aKind1 == opKey && aKind2 == opKey) {
    if (aPartialLen > 0 && engine.PartialCompareKey) return engine.PartialCompareKey(f1, f2, aPartialLen);
    return engine.CompareKey(f1, f2);
  }
  if (aKind1 == opKey) {
    if (aPartialLen > 0 && engine.PartialCompareKeyToFieldDirect)
      return engine.PartialCompareKeyToFieldDirect(f1, f2, aPartialLen);
    return engine.CompareKeyToFieldDirect(f1, f2);
  }
  if (aPartialLen > 0 && engine.PartialCompareFieldDirect) return engine.PartialCompareFieldDirect(f1, f2, aPartialLen);
  return engine.CompareFieldDirect(f1, f2);
}

// The fields compared whole: aFieldCount of them (at most all but the last
// with a partial length), or all; none when only a partial length is given.
// The field after them is compared over aPartialLen units.
int8_t TmvCompKeyEngine::Compare(TOperand aKind1, const void* a1, TOperand aKind2, const void* a2, int32_t aFieldCount,
                                 int32_t aPartialLen) const {
  int32_t whole;
  if (aFieldCount != 0)
    whole = std::min(aFieldCount, aPartialLen != 0 ? ckeKeyFieldCount - 1 : ckeKeyFieldCount);
  else
    whole = aPartialLen != 0 ? 0 : ckeKeyFieldCount;
  whole = std::clamp(whole, 0, ckeKeyFieldCount);
  for (int32_t i = 0; i < whole; ++i)
    if (int8_t c = CompareField(ckeFields[size_t(i)], aKind1, a1, aKind2, a2, 0)) return c;
  if (aPartialLen > 0 && whole < ckeKeyFieldCount)
    return CompareField(ckeFields[size_t(whole)], aKind1, a1, aKind2, a2, aPartialLen);
  return 0;
}

int8_t TmvCompKeyEngine::CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) {
  return Compare(opKey, aKey1, opKey, aKey2, aFieldCount, aPartialLen);
}

int8_t TmvCompKeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr, int32_t aFieldCount,
                                            int32_t aPartialLen) {
  return Compare(opKey, aKey, opRecord, aRecord, aFieldCount, aPartialLen);
}

int8_t TmvCompKeyEngine::CompareRecord(const void* aRecord1, TmvRefNr, const void* aRecord2, TmvRefNr,
                                       int32_t aFieldCount, int32_t aPartialLen) {
  return Compare(opRecord, aRecord1, opRecord, aRecord2, aFieldCount, aPartialLen);
}

Variant TmvCompKeyEngine::FieldValue(const void* aKey, int32_t aIndex) const {
  if (KeyFieldNull(aKey, aIndex)) return Variant::Null();
  const TKeyField& field = ckeFields[size_t(aIndex)];
  if (!field.Engine->KeyAsVariant) return Variant();
  Variant value;
  field.Engine->KeyAsVariant(static_cast<const uint8_t*>(aKey) + field.Offset, value);
  return value;
}

Variant TmvCompKeyEngine::KeyAsVariant(const void* aKey, int32_t aField) {
  CheckKeyField(aField, ckeKeyFieldCount);
  if (aField >= 0) return FieldValue(aKey, aField);
  if (ckeKeyFieldCount < 2) return ckeKeyFieldCount == 1 ? FieldValue(aKey, 0) : Variant();
  std::vector<Variant> values;
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) values.push_back(FieldValue(aKey, i));
  return Variant::VariantArray(std::move(values));
}

bool TmvCompKeyEngine::KeyContainsNulls(const void* aKey) {
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i)
    if (KeyFieldNull(aKey, i)) return true;
  return false;
}

int32_t TmvCompKeyEngine::GetKeyFieldOffset(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= ckeKeyFieldCount) return -1;
  return int32_t(ckeFields[size_t(aIndex)].Offset);
}

int32_t TmvCompKeyEngine::GetFieldFromName(const String& aName) {
  for (const auto& [name, position] : ckeKeyFieldNames)
    if (SameName(name, aName)) return position;
  return -1;
}

ImvFieldDescriptor* TmvCompKeyEngine::GetFieldDescriptor(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= ckeKeyFieldCount) return nullptr;
  return ckeKeyFieldEngines[size_t(aIndex)];
}

bool TmvCompKeyEngine::GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType,
                                         uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) {
  if (!aName.empty()) aField = GetFieldFromName(aName);
  if (aField < 0 || aField >= ckeKeyFieldCount) return false;
  const TKeyField& field = ckeFields[size_t(aField)];
  TmvCompositeKeyFieldEngine& engine = *field.Engine;
  aType = TmvFieldType(engine.GetFieldType() & 0x7F);
  aSize = uint16_t(engine.GetUnits());
  aCodePage = engine.GetUsedStorageCodePage();
  aIsNull = !aData || KeyFieldNull(aData, aField);
  aValue = aIsNull ? nullptr : static_cast<const uint8_t*>(aData) + field.Offset;
  if (aType == mvtShortString && aValue) {
    // The stored length byte, cut to the segment so that a damaged key
    // cannot make a filter read past it.
    const auto* segment = static_cast<const uint8_t*>(aValue);
    const int32_t room = std::max(engine.KeyLength() - 1, 0);
    aSize = uint16_t(std::min<int32_t>(segment[0], room));
    aValue = segment + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TmvNoNullCompKeyEngine

TmvNoNullCompKeyEngine::TmvNoNullCompKeyEngine(TmvBaseKeyDescriptor* aDescriptor)
    : TmvCompKeyEngine(aDescriptor, false) {}

void TmvNoNullCompKeyEngine::ClearKey(void* aKey) {
  if (aKey) std::memset(aKey, 0, bkeKeyLength);
}

uint32_t TmvNoNullCompKeyEngine::BuildKey(const void* aRecord, void* aKey, TmvRefNr, bool aIgnoreFilter) {
  if (!aRecord || !aKey) return MVERR_INVALIDPARAM;
  if (!aIgnoreFilter && !FilterMatches(aRecord)) return 1;
  ClearKey(aKey);
  auto* key = static_cast<uint8_t*>(aKey);
  const auto* record = static_cast<const uint8_t*>(aRecord);
  for (const TKeyField& field : ckeFields) field.Engine->BuildKey(record + field.RecordOffset, key + field.Offset);
  return 0;
}

void mvsdKeyEngineCompInit() {
  TmvBaseRegisterableEngine::RegisterEngine(TmvCompKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::RegisterEngine(TmvNoNullCompKeyEngine::StaticClass);
}

void mvsdKeyEngineCompFini() {
  TmvBaseRegisterableEngine::UnregisterEngine(TmvNoNullCompKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::UnregisterEngine(TmvCompKeyEngine::StaticClass);
}
