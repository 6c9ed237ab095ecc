// Field conversion: the field mapper engine family and its special engines.
// See mvsdFieldMapperEngineBase.h.
#include "convert/mvsdFieldMapperEngineBase.h"

#include <array>

namespace {

constexpr char16_t SSpecialAlreadyRegistered[] = u"A special Field Mapper has already been registered for this FieldType";

std::array<const TmvFieldMapperEngineClassRef*, mvFieldTypeCount>& SpecialEngines() {
  static std::array<const TmvFieldMapperEngineClassRef*, mvFieldTypeCount> table{};
  return table;
}

const TmvFieldMapperEngineClassRef* SpecialEngine(TmvFieldType aFieldType) {
  return aFieldType < mvFieldTypeCount ? SpecialEngines()[aFieldType] : nullptr;
}

}  // namespace

TmvClassRegistry* TmvBaseFieldMapperEngine::Registry() { return mvFamilyRegistry<TmvBaseFieldMapperEngine>(); }

constinit const TmvFieldMapperEngineClassRef TmvBaseFieldMapperEngine::StaticClass{
    {{u"TmvBaseFieldMapperEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseFieldMapperEngine::Registry,
     nullptr},
    nullptr};

TmvBaseFieldMapperEngine* TmvBaseFieldMapperEngine::CreateFor(TmvFieldMapperDescriptor* aDescriptor,
                                                              TmvAbstractCursor* aSourceCursor,
                                                              TmvAbstractCursor* aTargetCursor) {
  // Descriptors are not shared between runs here, so nothing caches the
  // class: the lookup is made once per engine.
  const TmvRegisterableEngineClassRef* found = nullptr;
  const auto& cls = static_cast<const TmvFieldMapperEngineClassRef&>(
      mvEngineClassForDescriptor<EmvBaseFieldMapperEngineException>(StaticClass, aDescriptor->ClassType(),
                                                                    u"FieldMapper", found));
  if (!cls.Construct)
    throw EmvBaseFieldMapperEngineException(15503, u"Unknown %s engine: \"%s\"", {u"FieldMapper", cls.Name()});
  return cls.Construct(aDescriptor, aSourceCursor, aTargetCursor);
}

bool TmvBaseFieldMapperEngine::HasSpecialMapper(TmvFieldType aFieldType) { return SpecialEngine(aFieldType); }

TmvBaseFieldMapperEngine* TmvBaseFieldMapperEngine::CreateSpecialMapper(TmvFieldType aFieldType,
                                                                        TmvFieldMapperDescriptor* aDescriptor,
                                                                        TmvAbstractCursor* aSourceCursor,
                                                                        TmvAbstractCursor* aTargetCursor) {
  const TmvFieldMapperEngineClassRef* cls = SpecialEngine(aFieldType);
  return cls && cls->Construct ? cls->Construct(aDescriptor, aSourceCursor, aTargetCursor) : nullptr;
}

void mvRegisterSpecialFieldMapperEngine(const TmvFieldMapperEngineClassRef& aClass, TmvFieldType aFieldType) {
  MV_ASSERT(aFieldType < mvFieldTypeCount);
  const TmvFieldMapperEngineClassRef*& entry = SpecialEngines()[aFieldType];
  if (entry && entry != &aClass) throw EmvBaseFieldMapperEngineException(String(SSpecialAlreadyRegistered));
  entry = &aClass;
}

void mvUnregisterSpecialFieldMapperEngine(const TmvFieldMapperEngineClassRef& aClass, TmvFieldType aFieldType) {
  if (aFieldType >= mvFieldTypeCount) return;
  const TmvFieldMapperEngineClassRef*& entry = SpecialEngines()[aFieldType];
  if (entry == &aClass) entry = nullptr;
}

void mvsdFieldMapperEngineBaseInit() {}

void mvsdFieldMapperEngineBaseFini() { SpecialEngines().fill(nullptr); }
