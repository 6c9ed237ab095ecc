// Data dictionary: the record mapper descriptor. See
// mvsdRecordMapperDescriptor.h.
#include "dictionary/mappers/mvsdRecordMapperDescriptor.h"

#include <memory>

#include "dictionary/items/mvsdFieldsDescriptor.h"

void mvWalkSameNames(const TmvFastStringListIC& aOld, const TmvFastStringListIC& aNew,
                     const std::function<void(int32_t aOld, int32_t aNew)>& aMatch) {
  int32_t i = 0;
  int32_t j = 0;
  while (i < aOld.Count() && j < aNew.Count()) {
    const int order = aOld.CompareStrings(aOld.Get(i), aNew.Get(j));
    if (order < 0) {
      ++i;
    } else if (order > 0) {
      ++j;
    } else {
      aMatch(i++, j++);
    }
  }
}

// ---------------------------------------------------------------------------
// TmvRecordMapperDescriptor

constinit const TmvRegisterableDescriptorClassRef TmvRecordMapperDescriptor::StaticClass{
    {u"TmvRecordMapperDescriptor", &TmvBaseRecordMapperDescriptor::StaticClass},
    &TmvBaseRecordMapperDescriptor::Registry,
    &mvCreateMapperDescriptor<TmvRecordMapperDescriptor>};

TmvRecordMapperDescriptor::TmvRecordMapperDescriptor() = default;

TmvRecordMapperDescriptor::~TmvRecordMapperDescriptor() { ClearMappings(); }

void TmvRecordMapperDescriptor::ClearMappings() {
  while (GetFieldMapperCount() > 0) {
    TmvFieldMapperDescriptor* mapper = rmdGetMapper(GetFieldMapperCount() - 1);
    rmdFieldMapperDescriptors.Delete(GetFieldMapperCount() - 1);
    delete mapper;
  }
}

void TmvRecordMapperDescriptor::File(TmvFieldMapperDescriptor* aMapper) {
  std::unique_ptr<TmvFieldMapperDescriptor> owned(aMapper);
  rmdFieldMapperDescriptors.AddObject(aMapper->GetTargetName(), aMapper);
  owned.release();
}

TmvFieldMapperDescriptor* TmvRecordMapperDescriptor::AddMapping(
    const String& aSourceName, const String& aTargetName, TmvDataLossAction aDataLossAction,
    const TmvFieldMapperDescriptorClassRef* aDescriptorClass) {
  const auto& cls = aDescriptorClass ? *aDescriptorClass : TmvFieldMapperDescriptor::StaticClass;
  if (!cls.CreateMapper) mvRaiseUnsupportedClass(u"FieldMapperDescriptor", cls.Name());
  TmvFieldMapperDescriptor* mapper = cls.CreateMapper(aSourceName, aTargetName, aDataLossAction);
  File(mapper);
  return mapper;
}

int32_t TmvRecordMapperDescriptor::FieldMapperIndexOf(const String& aTargetName) const {
  return rmdFieldMapperDescriptors.IndexOf(aTargetName);
}

int32_t TmvRecordMapperDescriptor::MappedIndex(const String& aTargetName) const {
  const int32_t index = FieldMapperIndexOf(aTargetName);
  if (index < 0) throw EStringListError(SListIndexError, {index});
  return index;
}

void TmvRecordMapperDescriptor::DeleteMapping(const String& aTargetName) {
  const int32_t index = MappedIndex(aTargetName);
  TmvFieldMapperDescriptor* mapper = rmdGetMapper(index);
  rmdFieldMapperDescriptors.Delete(index);
  delete mapper;
}

TmvFieldMapperDescriptor* TmvRecordMapperDescriptor::UpdateSourceName(const String& aTargetName,
                                                                      const String& aNewSourceName) {
  TmvFieldMapperDescriptor* mapper = rmdGetMapper(MappedIndex(aTargetName));
  mapper->SetSourceName(aNewSourceName);
  return mapper;
}

// The new entry is added before the old one goes, so that a refused name
// leaves the mapping where it was.
TmvFieldMapperDescriptor* TmvRecordMapperDescriptor::UpdateTargetName(const String& aOldTargetName,
                                                                      const String& aNewTargetName) {
  int32_t index = MappedIndex(aOldTargetName);
  TmvFieldMapperDescriptor* mapper = rmdGetMapper(index);
  if (rmdFieldMapperDescriptors.CompareStrings(aOldTargetName, aNewTargetName) != 0) {
    const int32_t added = rmdFieldMapperDescriptors.AddObject(aNewTargetName, mapper);
    if (added <= index) ++index;
    rmdFieldMapperDescriptors.Delete(index);
  }
  mapper->SetTargetName(aNewTargetName);
  return mapper;
}

void TmvRecordMapperDescriptor::MapAllFieldsByName(TmvFieldsDescriptor* aOldFields, TmvFieldsDescriptor* aNewFields,
                                                   TmvDataLossAction aDataLossAction) {
  TmvFastStringListIC oldNames(dupAccept);
  TmvFastStringListIC newNames(dupAccept);
  aOldFields->GetFields(oldNames);
  aNewFields->GetFields(newNames);
  mvWalkSameNames(oldNames, newNames, [&](int32_t aOld, int32_t aNew) {
    AddMapping(oldNames.Get(aOld), newNames.Get(aNew), aDataLossAction);
  });
}

void TmvRecordMapperDescriptor::MapAllFieldsByPosition(TmvFieldsDescriptor* aOldFields, TmvFieldsDescriptor* aNewFields,
                                                       TmvDataLossAction aDataLossAction) {
  const int32_t count = std::min(aOldFields->FieldCount(), aNewFields->FieldCount());
  for (int32_t i = 0; i < count; ++i)
    AddMapping(aOldFields->FieldDescriptor(i)->Name(), aNewFields->FieldDescriptor(i)->Name(), aDataLossAction);
}

void TmvRecordMapperDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteInteger(1);
  aWriter.WriteListBegin();
  for (int32_t i = 0; i < GetFieldMapperCount(); ++i) rmdGetMapper(i)->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteListEnd();
  aWriter.WriteBoolean(rmdApplyDefaultForUnmapped);
}

// The mappings present are dropped first, so that loading into a used
// descriptor gives the stream's mappings and no refusal of the same names.
void TmvRecordMapperDescriptor::LoadFromReader(TmvReader& aReader) {
  mvReadStreamVersion(aReader, 1, 1);
  ClearMappings();
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) File(TmvFieldMapperDescriptor::CreateFromReader(aReader));
  aReader.ReadListEnd();
  rmdApplyDefaultForUnmapped = aReader.ReadBoolean();
}
