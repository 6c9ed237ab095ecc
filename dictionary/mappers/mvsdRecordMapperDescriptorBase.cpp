// Data dictionary: the root of the record mapper descriptors. See
// mvsdRecordMapperDescriptorBase.h.
#include "dictionary/mappers/mvsdRecordMapperDescriptorBase.h"

namespace {
constexpr char16_t SRecordMapperFamily[] = u"RecordMapperDescriptor";
}  // namespace

const TmvRegisterableDescriptorClassRef& mvReadMapperClass(TmvReader& aReader,
                                                           const TmvRegisterableDescriptorClassRef& aFamily,
                                                           std::u16string_view aFamilyWord) {
  const String name = aReader.ReadIdent();
  const TmvRegisterableDescriptorClassRef* cls = TmvBaseRegisterableDescriptor::FindDescriptorClass(aFamily, name);
  // A class of another family cannot stand here: the object made from it
  // is used as one of this family.
  if (!cls || !cls->InheritsFrom(&aFamily)) mvRaiseUnsupportedClass(aFamilyWord, name);
  return *cls;
}

// ---------------------------------------------------------------------------
// TmvBaseRecordMapperDescriptor

TmvClassRegistry* TmvBaseRecordMapperDescriptor::Registry() {
  return mvFamilyRegistry<TmvBaseRecordMapperDescriptor>();
}

// The root itself has a body but is not registered: only concrete record
// mappers are read from streams.
constinit const TmvRegisterableDescriptorClassRef TmvBaseRecordMapperDescriptor::StaticClass{
    {u"TmvBaseRecordMapperDescriptor", &TmvBaseRegisterableDescriptor::StaticClass},
    &TmvBaseRecordMapperDescriptor::Registry,
    &mvCreateMapperDescriptor<TmvBaseRecordMapperDescriptor>};

void TmvBaseRecordMapperDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t) { aWriter.WriteInteger(1); }

void TmvBaseRecordMapperDescriptor::LoadFromReader(TmvReader& aReader) { mvReadStreamVersion(aReader, 1, 1); }

void TmvBaseRecordMapperDescriptor::WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteIdent(ClassName());
  SaveToWriter(aWriter, aClientVersion);
}

TmvBaseRecordMapperDescriptor* TmvBaseRecordMapperDescriptor::CreateFromReader(TmvReader& aReader) {
  return mvCreateAndLoad<TmvBaseRecordMapperDescriptor>(mvReadMapperClass(aReader, StaticClass, SRecordMapperFamily),
                                                        SRecordMapperFamily, aReader);
}

TmvBaseRecordMapperDescriptor* TmvBaseRecordMapperDescriptor::Duplicate() {
  return mvDuplicateThroughStream(*this, SRecordMapperFamily);
}
