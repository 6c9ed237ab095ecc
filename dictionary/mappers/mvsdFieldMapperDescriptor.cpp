// Data dictionary: the field mapper descriptor. See mvsdFieldMapperDescriptor.h.
#include "dictionary/mappers/mvsdFieldMapperDescriptor.h"

#include <memory>

const std::u16string_view mvDataLossActionNames[3] = {u"dlaFail", u"dlaNull", u"dlaBestFit"};

namespace {

constexpr char16_t SFieldMapperFamily[] = u"FieldMapperDescriptor";

// Only the three names: any other byte in the field would be an action
// that no conversion knows.
TmvDataLossAction ReadDataLossAction(TmvReader& aReader) {
  const String name = aReader.ReadString();
  for (size_t i = 0; i < std::size(mvDataLossActionNames); ++i)
    if (SameClassName(name, mvDataLossActionNames[i])) return TmvDataLossAction(i);
  mvRaiseCode<EmvMapperDescriptorException>(MVERR_INCOMPATIBLESTREAM);
}

}  // namespace

TmvClassRegistry* TmvFieldMapperDescriptor::Registry() { return mvFamilyRegistry<TmvFieldMapperDescriptor>(); }

constinit const TmvFieldMapperDescriptorClassRef TmvFieldMapperDescriptor::StaticClass{
    {{u"TmvFieldMapperDescriptor", &TmvBaseRegisterableDescriptor::StaticClass},
     &TmvFieldMapperDescriptor::Registry,
     nullptr},
    &mvCreateFieldMapper<TmvFieldMapperDescriptor>};

void TmvFieldMapperDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t) {
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(bfcdApplyDefault);
}

void TmvFieldMapperDescriptor::LoadFromReader(TmvReader& aReader) {
  mvReadStreamVersion(aReader, 1, 1);
  bfcdApplyDefault = aReader.ReadBoolean();
}

void TmvFieldMapperDescriptor::WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteIdent(ClassName());
  aWriter.WriteString(bfcdSourceName);
  aWriter.WriteString(bfcdTargetName);
  aWriter.WriteString(mvDataLossActionNames[bfcdDataLossAction]);
  SaveToWriter(aWriter, aClientVersion);
}

TmvFieldMapperDescriptor* TmvFieldMapperDescriptor::CreateFromReader(TmvReader& aReader) {
  const auto& cls =
      static_cast<const TmvFieldMapperDescriptorClassRef&>(mvReadMapperClass(aReader, StaticClass, SFieldMapperFamily));
  if (!cls.CreateMapper) mvRaiseUnsupportedClass(SFieldMapperFamily, cls.Name());
  const String source = aReader.ReadString();
  const String target = aReader.ReadString();
  const TmvDataLossAction action = ReadDataLossAction(aReader);
  std::unique_ptr<TmvFieldMapperDescriptor> made(cls.CreateMapper(source, target, action));
  made->LoadFromReader(aReader);
  return made.release();
}
