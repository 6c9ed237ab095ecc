// Data dictionary: the fields descriptor and the record buffer. See
// mvsdFieldsDescriptor.h.
#include "dictionary/items/mvsdFieldsDescriptor.h"

#include <cstring>
#include <set>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "foundation/types/mvsdNativeVariantConverter.h"

namespace {

constexpr char16_t SIndexOutOfBounds[] = u"Index out of bounds: %d";
constexpr char16_t SDuplicatedFieldName[] = u"Duplicated field name: %s";
constexpr char16_t SOriginalFieldCount[] = u"OriginalFieldCount";


// Whether the field is the special field of that kind (the first such field
// in field order is the table's).
bool IsSpecialField(TmvFieldDescriptor* aField, TmvSpecialFieldType aKind) {
  TmvBaseDefaultValueDescriptor* dv = aField->GetDefaultValue();
  switch (aKind) {
    case sftAutoInc: return aField->FieldType() == mvtAutoInc;
    case sftRecRev: return aField->FieldType() == mvtRecRev;
    case sftRefNr: return aField->FieldType() == mvtRefNr;
    case sftAutoGuid:
      return aField->FieldType() == mvtGuid && dv && dv->InheritsFrom(TmvAutoGuidDefaultValueDescriptor::StaticClass) &&
             dv->GetApplyOnInsert() && !dv->GetApplyOnModify() && !dv->GetOverwriteNonNull();
    case sftModifyLSN: case sftInsertLSN:
      return aField->FieldType() == mvtInt64 && dv && dv->InheritsFrom(TmvNextLSNDefaultValueDescriptor::StaticClass) &&
             dv->GetApplyOnModify() == (aKind == sftModifyLSN);
  }
  return false;
}

// A record of that logical length and field count must fit a record buffer.
void CheckRecordSize(int64_t aLogRecLen, int32_t aFieldCount) {
  if (mvNullBitmapOffset(aLogRecLen) + mvNullBitmapSize(aFieldCount) > mvMaxRecordLength)
    mvRaiseCode<EmvFieldsDescriptorException>(MVERR_MAXRECORDSIZE);
}

}  // namespace

TmvClassRegistry* TmvFieldsDescriptor::Registry() { return mvFamilyRegistry<TmvFieldsDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvFieldsDescriptor::StaticClass{
    {{u"TmvFieldsDescriptor", &TmvDictionaryItem::StaticClass}, &TmvFieldsDescriptor::Registry,
     &mvCreateFreeItem<TmvFieldsDescriptor>},
    &mvCreateItem<TmvFieldsDescriptor>};

TmvFieldsDescriptor::~TmvFieldsDescriptor() {
  DropFields();
  mvFreeAndNil(fsdValidations);
  mvReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  TmvDiffCompressorInfo* dci = fsdCachedDiffCompressorInfo.exchange(nullptr);
  mvReleaseDiffCompressorInfo(dci);
  mvFreeAndNil(fsdFieldChangeNotifies);
}

void TmvFieldsDescriptor::SetupForCacheTable() {
  for (TmvFieldDescriptor* field : fsdFields) field->SetupForCacheTable();
}

void TmvFieldsDescriptor::CheckFieldIndex(int32_t aField) const {
  if (aField < 0 || aField >= FieldCount())
    throw EmvFieldsDescriptorException(MVERR_INVALIDDESCNO, SIndexOutOfBounds, {aField});
}

int32_t TmvFieldsDescriptor::LayoutVersion() { return GetDictionaryRoot().GetDictionaryVersion(); }

void TmvFieldsDescriptor::SetLogRecLen(int64_t aLength) {
  fsdLogRecLen = int32_t(aLength);
  fsdLogRecLenAlign = LayoutVersion() == 1 ? fsdLogRecLen : int32_t(mvNullBitmapOffset(aLength));
}

void TmvFieldsDescriptor::ReplaceFrom(int32_t aFrom) {
  int64_t offset = 0;
  if (aFrom > 0) offset = int64_t(fsdFields[size_t(aFrom - 1)]->fdOffset) + fsdFields[size_t(aFrom - 1)]->fdLength;
  for (int32_t i = aFrom; i < FieldCount(); ++i) {
    TmvFieldDescriptor* field = fsdFields[size_t(i)];
    field->fdNumber = i;
    field->fdOffset = int32_t(offset);
    offset += field->fdLength;
  }
  SetLogRecLen(offset);
}

void TmvFieldsDescriptor::DropFields() {
  while (!fsdFields.empty()) {
    TmvFieldDescriptor* field = fsdFields.back();
    fsdFields.pop_back();
    delete field;
  }
  fsdLogRecLen = 0;
  fsdLogRecLenAlign = 0;
}

// ---------------------------------------------------------------------------
// Field list maintenance

TmvFieldDescriptor* TmvFieldsDescriptor::AddField(const String& aName, const String& aDesc, TmvFieldType aType,
                                                  int32_t aUnits, int32_t aDecPl, bool aRequired,
                                                  const TmvFieldDescriptorClassRef* aClass) {
  CheckReadOnly();
  LayoutVersion();  // the data dictionary is required before anything changes
  mvCheckIdentifier<EmvFieldsDescriptorException>(aName, MVERR_INVALIDFIELDNAME, false);
  if (GetFieldFromName(aName) >= 0)
    throw EmvFieldsDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedFieldName, {aName});
  const TmvFieldDescriptorClassRef& cls = aClass ? *aClass : TmvFieldDescriptor::StaticClass;
  if (!cls.CreateField) mvRaiseUnsupportedClass(u"FieldDescriptor", cls.Name());
  fsdFields.reserve(fsdFields.size() + 1);
  TmvFieldDescriptor* field = cls.CreateField(this, aName, aDesc, aType, aUnits, aDecPl, aRequired);
  const int64_t length = int64_t(fsdLogRecLen) + field->fdLength;
  try {
    CheckRecordSize(length, FieldCount() + 1);
  } catch (...) {
    delete field;
    throw;
  }
  field->fdNumber = FieldCount();
  field->fdOffset = fsdLogRecLen;
  fsdFields.push_back(field);
  SetLogRecLen(length);
  return field;
}

TmvFieldDescriptor* TmvFieldsDescriptor::AddField(TmvFieldDescriptor* aFieldDescriptor) {
  TmvFieldDescriptor* source = aFieldDescriptor;
  TmvFieldDescriptor* field = AddField(source->fdName, source->fdDesc, source->fdType, source->fdUnits,
                                       source->fdDecPl, source->fdRequired, &source->FieldClass());
  const int32_t id = field->diID, offset = field->fdOffset, length = field->fdLength;
  try {
    TmvMemoryStream stream;
    {
      TmvWriter writer(stream);
      source->SaveToWriter(writer, mvPeerVersionOwn);
      writer.FlushBuffer();
    }
    stream.SetPosition(0);
    {
      TmvReader reader(stream);
      field->LoadFromReader(reader);
    }
    field->diID = id;
    field->fdOffset = offset;
    field->fdLength = length;
  } catch (...) {
    fsdFields.pop_back();
    SetLogRecLen(offset);
    delete field;
    throw;
  }
  return field;
}

TmvFieldDescriptor* TmvFieldsDescriptor::InsertFieldAt(int32_t aIndex, const String& aName, const String& aDesc,
                                                       TmvFieldType aType, int32_t aUnits, int32_t aDecPl,
                                                       bool aRequired, const TmvFieldDescriptorClassRef* aClass) {
  CheckReadOnly();
  LayoutVersion();
  mvCheckIdentifier<EmvFieldsDescriptorException>(aName, MVERR_INVALIDFIELDNAME, false);
  if (aIndex < 0 || aIndex > FieldCount())
    throw EmvFieldsDescriptorException(MVERR_INVALIDDESCNO, SIndexOutOfBounds, {aIndex});
  fsdFieldChangeNotification(true, -1, aIndex);
  TmvFieldDescriptor* field = AddField(aName, aDesc, aType, aUnits, aDecPl, aRequired, aClass);
  fsdFields.pop_back();
  fsdFields.insert(fsdFields.begin() + aIndex, field);
  ReplaceFrom(aIndex);
  fsdFieldChangeNotification(false, -1, aIndex);
  return field;
}

void TmvFieldsDescriptor::MoveField(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  LayoutVersion();
  CheckFieldIndex(aFrom);
  CheckFieldIndex(aTo);
  if (aFrom == aTo) return;
  fsdFieldChangeNotification(true, aFrom, aTo);
  TmvFieldDescriptor* field = fsdFields[size_t(aFrom)];
  fsdFields.erase(fsdFields.begin() + aFrom);
  fsdFields.insert(fsdFields.begin() + aTo, field);
  ReplaceFrom(std::min(aFrom, aTo));
  fsdFieldChangeNotification(false, aFrom, aTo);
}

void TmvFieldsDescriptor::RemoveField(int32_t aIndex) {
  CheckReadOnly();
  if (aIndex < 0 || aIndex >= FieldCount()) return;
  LayoutVersion();
  fsdFieldChangeNotification(true, aIndex, -1);
  TmvFieldDescriptor* field = fsdFields[size_t(aIndex)];
  fsdFields.erase(fsdFields.begin() + aIndex);
  if (aIndex < FieldCount()) fsdFieldChangeNotification(false, aIndex, -1);
  ReplaceFrom(aIndex);
  delete field;
}

void TmvFieldsDescriptor::Clear(bool aNotify) {
  CheckReadOnly();
  mvClearAnnounced(
      FieldCount(), aNotify, [this](bool b, int32_t o, int32_t n) { fsdFieldChangeNotification(b, o, n); },
      [&] {
        TmvDictionaryItem::Clear(aNotify);
        RemoveValidations();
        DropFields();
      });
}

void TmvFieldsDescriptor::fsdFieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  mvSendChangeNotification(fsdFieldChangeNotifies, &TmvDictionaryItem::FieldChangeNotification, aBefore, aOldNumber,
                           aNewNumber);
}

void TmvFieldsDescriptor::UpdateSetupAndOffsets() {
  int64_t offset = 0;
  for (TmvFieldDescriptor* field : fsdFields) {
    field->fdOffset = int32_t(offset);
    field->UpdateSetup();
    offset += field->fdLength;
  }
  fsdLogRecLen = int32_t(offset);
  UpdateLogRecLenAlign();
}

void TmvFieldsDescriptor::UpdateLogRecLenAlign() { fsdLogRecLenAlign = int32_t(mvNullBitmapOffset(fsdLogRecLen)); }

TmvFieldsValidationsDescriptor* TmvFieldsDescriptor::AddValidations(const TmvDictionaryItemClassRef* aClass) {
  return ReplaceSubItem(fsdValidations, aClass ? *aClass : TmvFieldsValidationsDescriptor::StaticClass,
                        u"ValidationsDescriptor");
}

void TmvFieldsDescriptor::RemoveValidations() { RemoveSubItem(fsdValidations); }

TmvFieldsValidationsDescriptor* TmvFieldsDescriptor::EnsureValidations() {
  return fsdValidations ? fsdValidations : AddValidations(nullptr);
}

int32_t TmvFieldsDescriptor::GetOriginalFieldCount() {
  if (!diCustomStrings) return FieldCount();
  String value = diCustomStrings->Values(SOriginalFieldCount);
  if (value.empty()) return FieldCount();
  return mvAnsiStrToIntDef(UTF8Encode(value), FieldCount());
}

void TmvFieldsDescriptor::SetOriginalFieldCount(int32_t aValue) {
  CheckReadOnly();
  GetCustomStrings().SetValue(SOriginalFieldCount, aValue == 0 ? String() : mvIntToStr(aValue));
}

// ---------------------------------------------------------------------------
// Lookups

int32_t TmvFieldsDescriptor::GetFieldFromName(const String& aName) {
  return GetFieldFromNameFast(mvLowerCaseName(aName));
}

int32_t TmvFieldsDescriptor::GetFieldFromNameFast(const String& aLowerName) {
  if (!fsdFieldHashList.empty()) {
    size_t bucket = mvHashString(aLowerName) % fsdFieldHashList.size();
    for (TmvFieldDescriptor* f = fsdFieldHashList[bucket]; f; f = f->fdSameHashNext)
      if (f->fdNameLowerCase == aLowerName) return f->fdNumber;
    return -1;
  }
  for (int32_t i = 0; i < FieldCount(); ++i)
    if (fsdFields[size_t(i)]->fdNameLowerCase == aLowerName) return i;
  return -1;
}

void TmvFieldsDescriptor::GetFields(TStrings& aStrings) {
  aStrings.BeginUpdate();
  try {
    aStrings.Clear();
    for (TmvFieldDescriptor* field : fsdFields) aStrings.AddObject(field->fdName, field);
  } catch (...) {
    aStrings.EndUpdate();
    throw;
  }
  aStrings.EndUpdate();
}

int32_t TmvFieldsDescriptor::FindSpecialField(TmvSpecialFieldType aKind) {
  for (int32_t i = 0; i < FieldCount(); ++i)
    if (IsSpecialField(fsdFields[size_t(i)], aKind)) return i;
  return -1;
}

bool TmvFieldsDescriptor::HasSpecialField(TmvSpecialFieldType aKind, int32_t& aField) {
  aField = diCacheActive && fsdCachedSpecialFieldsInfo ? fsdCachedSpecialFieldsInfo->sfiFields[aKind]
                                                        : FindSpecialField(aKind);
  return aField >= 0;
}

bool TmvFieldsDescriptor::HasBlobFields(std::vector<int32_t>& aBlobFields) {
  aBlobFields.clear();
  if (diCacheActive && fsdCachedSpecialFieldsInfo) {
    aBlobFields = fsdCachedSpecialFieldsInfo->sfiBlobFields;
  } else {
    for (int32_t i = 0; i < FieldCount(); ++i)
      if (mvIsBlobFieldType(fsdFields[size_t(i)]->fdType)) aBlobFields.push_back(i);
  }
  return !aBlobFields.empty();
}

bool TmvFieldsDescriptor::HasBlobFields(TmvList* aList) {
  std::vector<int32_t> numbers;
  if (fsdCachedSpecialFieldsInfo) {
    numbers = fsdCachedSpecialFieldsInfo->sfiBlobFields;
  } else {
    HasBlobFields(numbers);
  }
  if (aList) {
    aList->Clear();
    for (int32_t n : numbers) aList->Add(reinterpret_cast<void*>(intptr_t(n)));
  }
  return !numbers.empty();
}

bool TmvFieldsDescriptor::HasSameFields(TmvFieldsDescriptor* aSource, std::vector<int32_t>* aBlobFields) {
  if (FieldCount() == 0 || FieldCount() != aSource->FieldCount()) return false;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TmvFieldDescriptor* mine = fsdFields[size_t(i)];
    TmvFieldDescriptor* theirs = aSource->fsdFields[size_t(i)];
    if (mine->fdLength != theirs->fdLength || !mvFieldTypesStorageCompatible(mine->fdType, theirs->fdType))
      return false;
    if (aBlobFields && mvIsBlobFieldType(mine->fdType)) aBlobFields->push_back(i);
  }
  return true;
}

// Also numbers every field's position among the BLOB fields (fdBlobIndex).
void TmvFieldsDescriptor::BuildSpecialFieldsInfo(TmvSpecialFieldsInfo& aInfo) {
  mvInitSpecialFieldsInfo(aInfo);
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TmvFieldDescriptor* field = fsdFields[size_t(i)];
    for (int kind = 0; kind < mvSpecialFieldTypeCount; ++kind) {
      if (aInfo.sfiFields[kind] < 0 && IsSpecialField(field, TmvSpecialFieldType(kind))) {
        aInfo.sfiFields[kind] = i;
        aInfo.sfiOffsets[kind] = field->fdOffset;
      }
    }
    field->fdBlobIndex = -1;
    if (mvIsBlobFieldType(field->fdType)) {
      field->fdBlobIndex = int32_t(aInfo.sfiBlobFields.size());
      aInfo.sfiBlobFields.push_back(i);
    }
  }
  if (aInfo.sfiBlobFields.empty()) return;
  aInfo.sfiFieldsToBlobFields.resize(fsdFields.size());
  for (size_t i = 0; i < fsdFields.size(); ++i) aInfo.sfiFieldsToBlobFields[i] = fsdFields[i]->fdBlobIndex;
}

void TmvFieldsDescriptor::GetSpecialFieldsInfo(TmvSpecialFieldsInfo*& aInfo) {
  mvReleaseSpecialFieldsInfo(aInfo);
  if (fsdCachedSpecialFieldsInfo) {
    aInfo = mvAddRefSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
    return;
  }
  TmvSpecialFieldsInfo* info = mvNewSpecialFieldsInfo();
  try {
    BuildSpecialFieldsInfo(*info);
  } catch (...) {
    mvReleaseSpecialFieldsInfo(info);
    throw;
  }
  aInfo = info;
}

// Bucket = mvHashString(lower-case name) mod N; each field goes to the head
// of its bucket in field order. No fields, no hash: lookups then scan (and
// find nothing).
void TmvFieldsDescriptor::BuildNameHash() {
  fsdFieldHashList.assign(fsdFields.size(), nullptr);
  if (fsdFields.empty()) return;
  for (TmvFieldDescriptor* field : fsdFields) {
    size_t bucket = mvHashString(field->fdNameLowerCase) % fsdFields.size();
    field->fdSameHashNext = fsdFieldHashList[bucket];
    fsdFieldHashList[bucket] = field;
  }
}

void TmvFieldsDescriptor::ActivateCache() {
  if (diCacheActive) return;
  fsdCachedGetRecordLength = int32_t(mvNullBitmapOffset(fsdLogRecLen)) + mvNullBitmapSize(FieldCount());
  fsdRecordAllocator = mvGetMemoryPool(size_t(fsdCachedGetRecordLength) + 4);
  TmvDictionaryItem::ActivateCache();
  if (fsdCachedSpecialFieldsInfo && fsdCachedSpecialFieldsInfo->sfiRefCount.load() > 1)
    mvReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  if (!fsdCachedSpecialFieldsInfo) fsdCachedSpecialFieldsInfo = mvNewSpecialFieldsInfo();
  BuildSpecialFieldsInfo(*fsdCachedSpecialFieldsInfo);
  BuildNameHash();
}

void TmvFieldsDescriptor::DeactivateCache() {
  if (!diCacheActive) return;
  fsdFieldHashList.clear();
  for (TmvFieldDescriptor* field : fsdFields) field->fdSameHashNext = nullptr;
  fsdRecordAllocator = TmvMemoryPoolHandle{};
  mvReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  TmvDiffCompressorInfo* dci = fsdCachedDiffCompressorInfo.exchange(nullptr);
  mvReleaseDiffCompressorInfo(dci);
  TmvDictionaryItem::DeactivateCache();
}

int32_t TmvFieldsDescriptor::RecordLength() {
  if (diCacheActive) return fsdCachedGetRecordLength;
  return int32_t(mvNullBitmapOffset(fsdLogRecLen)) + mvNullBitmapSize(FieldCount());
}

TmvMemoryPoolHandle TmvFieldsDescriptor::RecordAllocator() {
  if (diCacheActive && fsdRecordAllocator != TmvMemoryPoolHandle{}) return fsdRecordAllocator;
  return mvGetMemoryPool(size_t(RecordLength()) + 4);
}

// Two fresh records, the second with the RecRev, RefNr and LSN fields set to
// all ones: every 32-bit word in which they differ (those fields' bytes and
// their null bits) is one that a record difference must carry.
TmvDiffCompressorInfo* TmvFieldsDescriptor::NewDiffCompressionInfo() {
  TmvDiffCompressorInfo* info = mvNewDiffCompressorInfo(RecordLength());
  TmvMemoryPoolHandle pool = RecordAllocator();
  void* plain = nullptr;
  void* marked = nullptr;
  try {
    plain = mvMemoryPoolAlloc(pool);
    marked = mvMemoryPoolAlloc(pool);
    InitRecord(plain);
    InitRecord(marked);
    for (TmvSpecialFieldType kind : {sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN}) {
      int32_t field;
      if (!HasSpecialField(kind, field)) continue;
      std::vector<uint8_t> ones(size_t(fsdFields[size_t(field)]->fdLength), 0xFF);
      SetRecordField(field, marked, ones.data());
    }
    mvDiffCompressorSetRequired(*info, static_cast<uint8_t*>(plain), static_cast<uint8_t*>(marked));
  } catch (...) {
    mvMemoryPoolDispose(pool, plain);
    mvMemoryPoolDispose(pool, marked);
    mvReleaseDiffCompressorInfo(info);
    throw;
  }
  mvMemoryPoolDispose(pool, plain);
  mvMemoryPoolDispose(pool, marked);
  return info;
}

void TmvFieldsDescriptor::GetDiffCompressionInfo(TmvDiffCompressorInfo*& aDCI) {
  TmvDiffCompressorInfo* cached = fsdCachedDiffCompressorInfo.load(std::memory_order_acquire);
  if (aDCI && aDCI == cached) return;
  mvReleaseDiffCompressorInfo(aDCI);
  if (cached) {
    aDCI = mvAddRefDiffCompressorInfo(cached);
    return;
  }
  TmvDiffCompressorInfo* info = NewDiffCompressionInfo();
  if (diCacheActive) {
    // The cache keeps the published reference; the caller gets another.
    TmvDiffCompressorInfo* expected = nullptr;
    if (!fsdCachedDiffCompressorInfo.compare_exchange_strong(expected, info, std::memory_order_acq_rel)) {
      mvReleaseDiffCompressorInfo(info);
      info = expected;
    }
    info = mvAddRefDiffCompressorInfo(info);
  }
  aDCI = info;
}

// ---------------------------------------------------------------------------
// Record access

void TmvFieldsDescriptor::InitRecord(void* aData) {
  if (!aData || FieldCount() == 0) return;
  std::memset(aData, 0, size_t(RecordLength()));
  mvSetBits(NullBitmap(aData), uint32_t(FieldCount()));
}

bool TmvFieldsDescriptor::IsRecordFieldNull(int32_t aField, const void* aData) {
  CheckFieldIndex(aField);
  return !aData || IsRecordFieldNullFast(aField, aData);
}

bool TmvFieldsDescriptor::IsRecordFieldNullFast(int32_t aField, const void* aData) const {
  return mvTestBit(NullBitmap(aData), uint32_t(aField)) != 0;
}

void TmvFieldsDescriptor::GetRecordField(int32_t aField, const void* aData, bool& aIsNull, void* aValue) {
  aIsNull = IsRecordFieldNull(aField, aData);
  if (!aIsNull && aValue) std::memcpy(aValue, FieldBytes(aField, aData), size_t(fsdFields[size_t(aField)]->fdLength));
}

void TmvFieldsDescriptor::SetRecordField(int32_t aField, void* aData, const void* aValue) {
  if (!aValue) {
    SetRecordFieldNull(aField, aData, true);
    return;
  }
  CheckFieldIndex(aField);
  mvClearBit(NullBitmap(aData), uint32_t(aField));
  std::memcpy(FieldBytes(aField, aData), aValue, size_t(fsdFields[size_t(aField)]->fdLength));
}

void TmvFieldsDescriptor::SetRecordFieldNull(int32_t aField, void* aData, bool aIsNull) {
  CheckFieldIndex(aField);
  if (!aIsNull) {
    mvClearBit(NullBitmap(aData), uint32_t(aField));
    return;
  }
  mvSetBit(NullBitmap(aData), uint32_t(aField));
  std::memset(FieldBytes(aField, aData), 0, size_t(fsdFields[size_t(aField)]->fdLength));
}

bool TmvFieldsDescriptor::GetRecordFieldForFilter(int32_t aField, const void* aData, TmvFieldType& aType,
                                                  uint16_t& aSize, const void*& aValue) {
  if (aField < 0 || aField >= FieldCount()) return false;
  TmvFieldDescriptor* field = fsdFields[size_t(aField)];
  aType = field->fdType;
  aSize = uint16_t(field->fdLength);
  const bool isNull = !aData || IsRecordFieldNullFast(aField, aData);
  aValue = isNull ? nullptr : FieldBytes(aField, aData);
  return !isNull;
}

const void* TmvFieldsDescriptor::GetRecordFieldForFilter(int32_t aField, const void* aData) const {
  if (!aData || IsRecordFieldNullFast(aField, aData)) return nullptr;
  return FieldBytes(aField, aData);
}

Variant TmvFieldsDescriptor::fsdGetFieldByIndexAsVariant(const void* aData, int32_t aIndex) {
  Variant value = Variant::Null();
  if (IsRecordFieldNull(aIndex, aData)) return value;
  fsdFields[size_t(aIndex)]->fdGetBufferAsVariant(FieldBytes(aIndex, aData), value);
  return value;
}

Variant TmvFieldsDescriptor::fsdGetFieldByNameAsVariant(const void* aData, const String& aName) {
  return fsdGetFieldByIndexAsVariant(aData, GetFieldFromName(aName));
}

void TmvFieldsDescriptor::fsdSetFieldByIndexAsVariant(void* aData, int32_t aIndex, const Variant& aValue) {
  if (mvVarIsEmptyOrNull(aValue)) {
    SetRecordFieldNull(aIndex, aData, true);
    return;
  }
  CheckFieldIndex(aIndex);
  try {
    fsdFields[size_t(aIndex)]->fdSetBufferAsVariant(FieldBytes(aIndex, aData), aValue);
  } catch (...) {
    // The bytes are zero already; the field reads as null, not as a zero.
    mvSetBit(NullBitmap(aData), uint32_t(aIndex));
    throw;
  }
  mvClearBit(NullBitmap(aData), uint32_t(aIndex));
}

void TmvFieldsDescriptor::fsdSetFieldByNameAsVariant(void* aData, const String& aName, const Variant& aValue) {
  fsdSetFieldByIndexAsVariant(aData, GetFieldFromName(aName), aValue);
}

String TmvFieldsDescriptor::RecordBufferToString(const void* aData) {
  String text;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    text += fsdFields[size_t(i)]->fdName + u": ";
    text += IsRecordFieldNull(i, aData) ? String(u"<?>") : VarToStr(fsdGetFieldByIndexAsVariant(aData, i));
    text += u"\r\n";
  }
  return text;
}

// ---------------------------------------------------------------------------
// ImvFieldsSource

int32_t TmvFieldsDescriptor::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldsSource) {
    *obj = static_cast<ImvFieldsSource*>(this);
    return S_OK;
  }
  return TmvDictionaryItem::QueryInterface(iid, obj);
}

// A ShortString's length byte is limited to the field's units, so that a
// damaged record cannot make a filter read past the field.
bool TmvFieldsDescriptor::GetFieldForFilter(int32_t aField, const String&, const void* aData, TmvFieldType& aType,
                                            uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                            uint16_t& aCodePage) {
  if (aField < 0 || aField >= FieldCount()) return false;
  TmvFieldDescriptor* field = fsdFields[size_t(aField)];
  aIsNull = !aData || IsRecordFieldNullFast(aField, aData);
  aType = field->fdType;
  aSize = uint16_t(field->fdUnits);
  aValue = aData ? FieldBytes(aField, aData) : nullptr;
  aCodePage = field->GetUsedStorageCodePage();
  if (aType == mvtShortString && aValue) {
    const uint8_t* bytes = static_cast<const uint8_t*>(aValue);
    aSize = std::min<uint16_t>(bytes[0], uint16_t(field->fdUnits));
    aValue = bytes + 1;
  }
  return true;
}

ImvFieldDescriptor* TmvFieldsDescriptor::GetFieldDescriptor(int32_t aIndex) {
  CheckFieldIndex(aIndex);
  return fsdFields[size_t(aIndex)];
}

// ---------------------------------------------------------------------------
// Field list, in the body below and in the old dictionary layout:
//   integer  N
//   per field: string class name, name, description, type enumeration name
//              ("mvtInt64" for a RefNr field below 47005); integer units,
//              decimals; boolean required; the field's own stream form
void TmvFieldsDescriptor::WriteFields(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteInteger(FieldCount());
  for (TmvFieldDescriptor* field : fsdFields) {
    TmvFieldType type = field->fdType;
    if (type == mvtRefNr && aClientVersion < mvPeerVersionRefNrFields) {
      type = mvtInt64;
      mvSetMissingInformation(true);
    }
    field->WriteConstructorPart(aWriter, type);
    field->SaveToWriter(aWriter, aClientVersion);
  }
}

void TmvFieldsDescriptor::ReadFields(TmvReader& aReader) {
  DropFields();
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    fsdFields.reserve(fsdFields.size() + 1);
    TmvFieldDescriptor* field = TmvFieldDescriptor::CreateFromConstructorPart(aReader, this);
    fsdFields.push_back(field);
    field->fdNumber = i;
    field->LoadFromReader(aReader);
  }
}

void TmvFieldsDescriptor::SetStoredLengths(int32_t aLogRecLen, int32_t aLogicalRecordLength) {
  fsdLogRecLen = aLogRecLen;
  fsdLogRecLenAlign = aLogicalRecordLength;
}

// Stream form, after the item header (peers from 20000 on):
//   integer  version 2
//   the field list (above)
//   integer  LogRecLen
//   integer  logical record length
//   boolean  has validations; then class name and stream form   (version 2)
void TmvFieldsDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(2);
  WriteFields(aWriter, aClientVersion);
  aWriter.WriteInteger(fsdLogRecLen);
  aWriter.WriteInteger(fsdLogRecLenAlign);
  mvWriteOptionalItem(aWriter, fsdValidations, aClientVersion);
}

// Reads into an empty list (fields present are dropped without notice).
// The lengths are taken as stored; CheckValid checks them.
void TmvFieldsDescriptor::LoadFromReader(TmvReader& aReader) {
  DropFields();
  TmvDictionaryItem::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  ReadFields(aReader);
  fsdLogRecLen = aReader.ReadInteger();
  fsdLogRecLenAlign = aReader.ReadInteger();
  mvFreeAndNil(fsdValidations);
  if (version >= 2 && aReader.ReadBoolean()) {
    const auto& cls = mvReadItemClass(aReader, TmvFieldValidationsDescriptor::StaticClass, u"ValidationsDescriptor");
    AddValidations(&cls)->LoadFromReader(aReader);
  }
}

// The lengths are also checked against the fields, so that a damaged stream
// cannot make record buffers shorter than their fields.
void TmvFieldsDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  if (FieldCount() < 1)
    throw EmvFieldsDescriptorException(MVERR_INVALIDRECSTRUCT, String(u"FieldsDescriptor requires a minimum of one field"));
  std::set<String> names;
  int64_t sum = 0;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TmvFieldDescriptor* field = fsdFields[size_t(i)];
    if (field->fdOffset != sum)
      throw EmvFieldsDescriptorException(MVERR_INVALIDRECSTRUCT,
                                         u"fdOffset is wrong for field %d (%s). Expected %d found %d.",
                                         {i, field->fdName, int32_t(sum), field->fdOffset});
    if (!names.insert(field->fdNameLowerCase).second)
      throw EmvFieldsDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedFieldName, {field->fdName});
    field->fdNumber = i;
    field->CheckValid(aForBuild);
    sum += field->fdLength;
    CheckRecordSize(sum, FieldCount());
  }
  if (fsdLogRecLen != sum)
    throw EmvFieldsDescriptorException(MVERR_INVALIDRECSTRUCT, u"LogRecLen is wrong. Expected %d found %d.",
                                       {int32_t(sum), fsdLogRecLen});
  if (fsdLogRecLenAlign != sum && fsdLogRecLenAlign != mvNullBitmapOffset(sum))
    throw EmvFieldsDescriptorException(MVERR_INVALIDRECSTRUCT, u"LogRecLenAlign is wrong. Expected %d found %d.",
                                       {int32_t(mvNullBitmapOffset(sum)), fsdLogRecLenAlign});
  CheckSpecialFieldsUnique();
  if (fsdValidations) fsdValidations->CheckValid(aForBuild);
}

void TmvFieldsDescriptor::CheckSpecialFieldsUnique() {
  struct Rule {
    TmvSpecialFieldType kind;
    int32_t code;
  };
  static constexpr Rule rules[] = {{sftAutoInc, MVERR_DUPLICATEAUTOINC},
                                   {sftRecRev, MVERR_DUPLICATERECREV},
                                   {sftRefNr, MVERR_DUPLICATEREFNR},
                                   {sftInsertLSN, MVERR_DUPLICATELSN},
                                   {sftModifyLSN, MVERR_DUPLICATELSN}};
  int32_t seen[std::size(rules)] = {};
  for (TmvFieldDescriptor* field : fsdFields)
    for (size_t r = 0; r < std::size(rules); ++r)
      if (IsSpecialField(field, rules[r].kind) && ++seen[r] > 1) mvRaiseCode<EmvFieldsDescriptorException>(rules[r].code);
}

bool TmvFieldsDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvFieldsDescriptor*>(aItem);
  if (!other || FieldCount() != other->FieldCount() || fsdLogRecLen != other->fsdLogRecLen ||
      fsdLogRecLenAlign != other->fsdLogRecLenAlign || !mvOptionalItemsEqual(fsdValidations, other->fsdValidations))
    return false;
  for (int32_t i = 0; i < FieldCount(); ++i)
    if (!other->fsdFields[size_t(i)]->IsEqual(fsdFields[size_t(i)])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// The dictionary item's subscription to field changes: defined here, beside what it
// subscribes to, so that the item's own unit needs no descendant.

void TmvDictionaryItem::RegisterFieldChangeNotification() {
  if (auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>()) fields->AddFieldChangeNotify(this);
}
void TmvDictionaryItem::UnregisterFieldChangeNotification() {
  if (auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>()) fields->RemoveFieldChangeNotify(this);
}
