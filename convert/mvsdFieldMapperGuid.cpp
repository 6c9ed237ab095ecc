// Field conversion: the mapper of Guid sources. See mvsdFieldMapperGuid.h.
#include "convert/mvsdFieldMapperGuid.h"

#include "convert/mvsdFieldMapperCodePage.h"
#include "convert/mvsdFieldMapperCommon.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllLog.h"
#include "platform/Guid.h"

namespace {

// The whole text: the target's room for it was checked when the routine was
// chosen. Its characters are ASCII, alike in every code page.
template <TmvFieldType T>
TmvResult GuidToText(const void*, const void* aSource, void* aTarget) {
  const String text = GUIDToString(GUIDFromBytes(static_cast<const uint8_t*>(aSource)));
  mvPutText(T, text.data(), text.size(), aTarget);
  return 0;
}

// The length of the text of a new GUID; 0 when the platform cannot make one
// (the failure is logged: the mapping is then refused).
size_t GuidTextLength() {
  try {
    return GUIDToString(CreateGUID()).size();
  } catch (const EOSError& e) {
    mvProcessLog(u"TmvGuidMapper: no GUID can be created: " + e.Message(), 0, lpError);
    return 0;
  }
}

TmvMappingCode GuidRoutine(TmvFieldDescriptor* aTargetField) {
  const TmvFieldType targetType = aTargetField->FieldType();
  switch (targetType) {
    case mvtGuid: return &mvCopyBytes<16>;
    case mvtByteArray: return aTargetField->Units() >= 16 ? &mvCopyBytes<16> : nullptr;
    case mvtShortString: case mvtNullString: case mvtWideString: {
      const size_t length = GuidTextLength();
      if (length == 0 || aTargetField->Units() < int32_t(length) ||
          !mvTextAlwaysFits(targetType, aTargetField->Length(), length))
        return nullptr;
      if (targetType == mvtShortString) return &GuidToText<mvtShortString>;
      return targetType == mvtNullString ? &GuidToText<mvtNullString> : &GuidToText<mvtWideString>;
    }
    default: return nullptr;
  }
}

void RegisterAll(bool aRegister) {
  static constexpr TmvFieldType kTargets[] = {mvtByteArray, mvtShortString, mvtNullString, mvtWideString, mvtGuid};
  mvRegisterFieldMappers(TmvGuidMapper::StaticClass, {mvtGuid}, kTargets, aRegister);
}

}  // namespace

constinit const TmvFieldMapperClassRef TmvGuidMapper::StaticClass{
    {u"TmvGuidMapper", &TmvBaseFieldMapper::StaticClass}, &TmvGuidMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvGuidMapper::TryCreateMapper(const TmvFieldMapperClassRef& aClass,
                                                   TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                   TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                   TmvFieldMapperDescriptor*, TmvMappingMethod& aMapper) {
  if (aSourceField->FieldType() != mvtGuid) return nullptr;
  if (TmvMappingCode code = GuidRoutine(aTargetField)) aMapper = mvClassMethod(aClass, code);
  return nullptr;
}

void mvsdFieldMapperGuidInit() { RegisterAll(true); }

void mvsdFieldMapperGuidFini() { RegisterAll(false); }
