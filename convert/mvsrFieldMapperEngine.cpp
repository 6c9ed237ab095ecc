// Field conversion: the field mapper engine. See mvsrFieldMapperEngine.h.
#include "convert/mvsrFieldMapperEngine.h"

#include "convert/mvsdFieldMapperCursor.h"
#include "dictionary/filters/mvsdDefaultValueEngines.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/types/mvllWideString.h"

namespace {

constexpr char16_t kCrLf[] = u"\r\n";

// The text this thread's engines last stored as the context of a 10002. A
// run stopped by a 10002 leaves it as the thread's last converted text; a
// later failure must not take that old context for its own head.
thread_local String tLastContext;

TmvFieldsDescriptor* FieldsOf(TmvAbstractCursor* aCursor) {
  return mvCursorTableDescriptor(aCursor)->GetFieldsDescriptor();
}

// The field of that name (ignoring case); 10038 naming the dictionary.
TmvFieldDescriptor* FindField(TmvFieldsDescriptor* aFields, const String& aName, const char16_t* aSide) {
  const int32_t number = aFields->GetFieldFromName(aName);
  if (number < 0)
    throw EmvFieldMapperEngineException(MVERR_INVALIDFIELDNAME, mvOriginalMessageMarker() + u" Field \"" + aName +
                                                                    u"\" not in " + aSide + u" dictionary");
  return aFields->FieldDescriptor(number);
}

String FieldText(const TmvFieldDescriptor* aField) { return aField ? aField->ToString() : String(); }

}  // namespace

constinit const TmvFieldMapperEngineClassRef TmvFieldMapperEngine::StaticClass{
    {{u"TmvFieldMapperEngine", &TmvBaseFieldMapperEngine::StaticClass}, &TmvBaseFieldMapperEngine::Registry,
     nullptr},
    &mvConstructFieldMapperEngine<TmvFieldMapperEngine>};

TmvFieldMapperEngine::TmvFieldMapperEngine(TmvFieldMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                                           TmvAbstractCursor* aTargetCursor)
    : fmeSourceFieldsDescriptor(FieldsOf(aSourceCursor)),
      fmeTargetFieldsDescriptor(FieldsOf(aTargetCursor)),
      fmeDataLossAction(aDescriptor->GetDataLossAction()) {
  fmeTargetFieldDesc = FindField(fmeTargetFieldsDescriptor, aDescriptor->GetTargetName(), u"target");
  fmeTargetFieldNumber = fmeTargetFieldDesc->Number();
  fmeTargetFieldOffset = fmeTargetFieldDesc->Offset();

  if (!aDescriptor->GetSourceName().empty()) {
    fmeSourceFieldDesc = FindField(fmeSourceFieldsDescriptor, aDescriptor->GetSourceName(), u"source");
    fmeSourceFieldNumber = fmeSourceFieldDesc->Number();
    fmeSourceFieldOffset = fmeSourceFieldDesc->Offset();
    fmeFieldMapper.reset(TmvBaseFieldMapper::CreateMapper(fmeSourceFieldDesc, aSourceCursor, fmeTargetFieldDesc,
                                                          aTargetCursor, aDescriptor, fmeFieldMapperMethod));
    if (!fmeFieldMapperMethod.Assigned()) {
      throw EmvFieldMapperEngineException(
          MVERR_INVALIDFLDXFORM, mvOriginalMessageMarker() + kCrLf + kCrLf + u"No valid Field Mapper available." +
                                     kCrLf + kCrLf + u"Source Field: " + FieldText(fmeSourceFieldDesc) + kCrLf +
                                     u"Target Field: " + FieldText(fmeTargetFieldDesc));
    }
  }

  if (aDescriptor->GetApplyDefault() && fmeTargetFieldDesc->GetDefaultValue()) {
    fmeDefaultValueEngine.reset(TmvBaseDefaultValueEngine::CreateFor(fmeTargetFieldDesc->GetDefaultValue(),
                                                                     mvCursorDictionaryCursor(aTargetCursor)));
  }
  fmeSpecialMapperEngine.reset(
      CreateSpecialMapper(fmeTargetFieldDesc->FieldType(), aDescriptor, aSourceCursor, aTargetCursor));
}

TmvFieldMapperEngine::~TmvFieldMapperEngine() = default;

void TmvFieldMapperEngine::BeforeFirstRecord() {
  if (fmeSpecialMapperEngine) fmeSpecialMapperEngine->BeforeFirstRecord();
}

void TmvFieldMapperEngine::BeforeCommit() {
  if (fmeSpecialMapperEngine) fmeSpecialMapperEngine->BeforeCommit();
}

void TmvFieldMapperEngine::ApplyNoValue(void* aTarget, bool aKeepWithoutDefault) {
  if (fmeDefaultValueEngine) {
    const bool wrote = fmeDefaultValueEngine->SetDefaultValue(static_cast<uint8_t*>(aTarget) + fmeTargetFieldOffset);
    fmeTargetFieldsDescriptor->SetRecordFieldNull(fmeTargetFieldNumber, aTarget, !wrote);
  } else if (!aKeepWithoutDefault) {
    fmeTargetFieldsDescriptor->SetRecordFieldNull(fmeTargetFieldNumber, aTarget, true);
  }
}

uint32_t TmvFieldMapperEngine::MapField(const void* aSource, void* aTarget) {
  uint32_t result = 0;
  if (!fmeFieldMapperMethod.Assigned() ||
      fmeSourceFieldsDescriptor->IsRecordFieldNullFast(fmeSourceFieldNumber, aSource)) {
    ApplyNoValue(aTarget, true);
  } else {
    result = fmeFieldMapperMethod(static_cast<const uint8_t*>(aSource) + fmeSourceFieldOffset,
                                  static_cast<uint8_t*>(aTarget) + fmeTargetFieldOffset);
    if (result == 0) {
      fmeTargetFieldsDescriptor->SetRecordFieldNull(fmeTargetFieldNumber, aTarget, false);
    } else if (result == mvMapNoValue || (result == MVERR_INVALIDFLDXFORM && fmeDataLossAction == dlaNull)) {
      // Only "no value" and "does not fit" may become a null: any other
      // code (a failed BLOB read or write) would turn lost data into a
      // success.
      ApplyNoValue(aTarget, false);
      result = 0;
    }
  }
  if (result == 0 && fmeSpecialMapperEngine) result = fmeSpecialMapperEngine->MapField(aSource, aTarget);
  return result == 0 ? 0 : AddErrorContext(result, aSource);
}

uint32_t TmvFieldMapperEngine::AddErrorContext(uint32_t aErrorCode, const void* aSource) {
  if (aErrorCode != uint32_t(MVERR_INVALIDFLDXFORM)) return aErrorCode;
  uint32_t lastCode = 0;
  String text;
  EmvBaseException::GetLastConvertedException(lastCode, text);
  if (lastCode != aErrorCode || text.empty() || text == tLastContext) text = mvOriginalMessageMarker();
  text += kCrLf;
  text += kCrLf + (u"Source Field: " + FieldText(fmeSourceFieldDesc));
  text += kCrLf + (u"Target Field: " + FieldText(fmeTargetFieldDesc));
  text += kCrLf + (u"Source Value: " + SourceValueText(aSource));
  EmvBaseException::SetLastConvertedException(aErrorCode, text);
  tLastContext = std::move(text);
  return aErrorCode;
}

String TmvFieldMapperEngine::SourceValueText(const void* aSource) {
  if (!fmeSourceFieldDesc) return u"NULL";
  try {
    const Variant value = fmeSourceFieldsDescriptor->fsdGetFieldByIndexAsVariant(aSource, fmeSourceFieldNumber);
    if (value.IsNull()) return u"NULL";
    if (value.IsEmpty()) return u"EMPTY";
    if (value.IsText()) return mvWideQuotedStr(VarToStr(value), u'\'');
    return VarToStr(value);
  } catch (const std::exception& e) {
    // The context line reports the failure in place of the value.
    return u"[Error: " + ExceptionMessageOf(e) + u"]";
  }
}

void mvsrFieldMapperEngineInit() { TmvBaseRegisterableEngine::RegisterEngine(TmvFieldMapperEngine::StaticClass); }

void mvsrFieldMapperEngineFini() { TmvBaseRegisterableEngine::UnregisterEngine(TmvFieldMapperEngine::StaticClass); }
