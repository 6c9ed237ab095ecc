// Data dictionary: validation engines and the validations handler. See
// mvsdValidationEngine.h.
#include "dictionary/filters/mvsdValidationEngine.h"

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"
#include "dictionary/mvsdLog.h"
#include "foundation/types/mvsdNativeVariantConverter.h"
#include "platform/Numeric.h"

std::atomic<const TmvSqlCheckStatementClassRef*> mvSqlCheckStatementClass{nullptr};

namespace {

constexpr char16_t SValidationsWord[] = u"Validations";
constexpr char16_t SValidationWord[] = u"Validation";
constexpr char16_t SNoKeyField[] =
    u"Validation \"%s\" has no key field to compare with; checking the dictionary adds the default one";
constexpr char16_t SNotForRecords[] = u"Validation \"%s\" (%s) cannot check a whole record";
constexpr char16_t SNoSqlEngine[] = u"Evaluation of CHECK constraint requires an SQL engine";

template <typename T>
TmvBaseValidationEngine* ConstructValidationEngine(TmvBaseValidationsEngine* aParent,
                                                   TmvBaseFieldValidationDescriptor* aDescriptor,
                                                   ImvDictionaryCursor* aCursor) {
  return new T(aParent, aDescriptor, aCursor);
}

// The record of a validation engine class that the registry can make.
template <typename T>
constexpr TmvValidationEngineClassRef ValidationEngineClass(const char16_t* aName, const ClassRef* aParent) {
  return {{{aName, aParent}, &TmvBaseValidationEngine::Registry, nullptr}, &ConstructValidationEngine<T>};
}

template <typename T>
constexpr TmvValidationEngineClassRef AbstractValidationEngineClass(const char16_t* aName, const ClassRef* aParent) {
  return {{{aName, aParent}, &TmvBaseValidationEngine::Registry, nullptr}, nullptr};
}

TmvFieldsValidationsEngine* ConstructFieldsEngine(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor* aCursor,
                                                  TmvApplyAt aApplyAt, TmvFieldValidationsDescriptor* aDescriptor) {
  return new TmvFieldsValidationsEngine(aFieldsDescriptor, aCursor, aApplyAt, aDescriptor);
}

TmvFieldValidationsEngine* ConstructFieldEngine(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor* aCursor,
                                                TmvApplyAt aApplyAt, TmvFieldValidationsDescriptor* aDescriptor,
                                                int32_t aFieldIndex) {
  return new TmvFieldValidationsEngine(aFieldsDescriptor, aCursor, aApplyAt, aDescriptor, aFieldIndex);
}

// The key field engine that compares values for a min/max or no-change
// validation; the caller owns it.
TmvCompositeKeyFieldEngine* NewKeyFieldEngine(TmvComparingValidationDescriptor* aDescriptor) {
  TmvKeyFieldDescriptor* keyField = aDescriptor->GetKeyField();
  if (!keyField)
    throw EmvBaseFieldValidationEngineException(MVERR_INVALIDDESC, SNoKeyField, {aDescriptor->GetName()});
  return TmvCompositeKeyFieldEngine::CreateEngine(keyField);
}

// A descriptor of class D, which the registry's naming guarantees for the
// engine of D (an assertion otherwise).
template <typename D>
D* DescriptorAs(TmvBaseFieldValidationDescriptor* aDescriptor) {
  MV_ASSERT(aDescriptor && aDescriptor->InheritsFrom(D::StaticClass));
  return static_cast<D*>(aDescriptor);
}

}  // namespace

// ---------------------------------------------------------------------------
// Class records and registration

TmvClassRegistry* TmvFieldsValidationsEngine::Registry() { return mvFamilyRegistry<TmvFieldsValidationsEngine>(); }

TmvClassRegistry* TmvFieldValidationsEngine::Registry() { return mvFamilyRegistry<TmvFieldValidationsEngine>(); }

TmvClassRegistry* TmvBaseValidationEngine::Registry() { return mvFamilyRegistry<TmvBaseValidationEngine>(); }

constinit const TmvRegisterableEngineClassRef TmvBaseValidationsEngine::StaticClass{
    {u"TmvBaseValidationsEngine", &TmvBaseRegisterableEngine::StaticClass}, &mvNoRegistry, nullptr};
constinit const TmvFieldsValidationsEngineClassRef TmvFieldsValidationsEngine::StaticClass{
    {{u"TmvFieldsValidationsEngine", &TmvBaseValidationsEngine::StaticClass}, &TmvFieldsValidationsEngine::Registry,
     nullptr},
    &ConstructFieldsEngine};
constinit const TmvFieldValidationsEngineClassRef TmvFieldValidationsEngine::StaticClass{
    {{u"TmvFieldValidationsEngine", &TmvBaseValidationsEngine::StaticClass}, &TmvFieldValidationsEngine::Registry,
     nullptr},
    &ConstructFieldEngine};

constinit const TmvValidationEngineClassRef TmvBaseValidationEngine::StaticClass =
    AbstractValidationEngineClass<TmvBaseValidationEngine>(u"TmvBaseValidationEngine",
                                                           &TmvBaseRegisterableEngine::StaticClass);
constinit const TmvValidationEngineClassRef TmvBaseFieldValidationEngine::StaticClass =
    AbstractValidationEngineClass<TmvBaseFieldValidationEngine>(u"TmvBaseFieldValidationEngine",
                                                                &TmvBaseValidationEngine::StaticClass);
constinit const TmvValidationEngineClassRef TmvBaseFieldsValidationEngine::StaticClass =
    AbstractValidationEngineClass<TmvBaseFieldsValidationEngine>(u"TmvBaseFieldsValidationEngine",
                                                                 &TmvBaseFieldValidationEngine::StaticClass);
constinit const TmvValidationEngineClassRef TmvNotNullValidationEngine::StaticClass =
    ValidationEngineClass<TmvNotNullValidationEngine>(u"TmvNotNullValidationEngine",
                                                      &TmvBaseFieldValidationEngine::StaticClass);
constinit const TmvValidationEngineClassRef TmvMinMaxValidationEngine::StaticClass =
    ValidationEngineClass<TmvMinMaxValidationEngine>(u"TmvMinMaxValidationEngine",
                                                     &TmvBaseFieldValidationEngine::StaticClass);
constinit const TmvValidationEngineClassRef TmvNoChangeValidationEngine::StaticClass =
    ValidationEngineClass<TmvNoChangeValidationEngine>(u"TmvNoChangeValidationEngine",
                                                       &TmvBaseFieldValidationEngine::StaticClass);
constinit const TmvValidationEngineClassRef TmvSqlCheckValidationEngine::StaticClass =
    ValidationEngineClass<TmvSqlCheckValidationEngine>(u"TmvSqlCheckValidationEngine",
                                                       &TmvBaseFieldsValidationEngine::StaticClass);

namespace {

// In registration order.
const TmvRegisterableEngineClassRef* const kEngineClasses[] = {
    &TmvFieldsValidationsEngine::StaticClass,  &TmvFieldValidationsEngine::StaticClass,
    &TmvMinMaxValidationEngine::StaticClass,   &TmvNoChangeValidationEngine::StaticClass,
    &TmvNotNullValidationEngine::StaticClass,  &TmvSqlCheckValidationEngine::StaticClass};

}  // namespace

void mvRegisterValidationEngines() {
  try {
    for (const auto* cls : kEngineClasses) TmvBaseRegisterableEngine::RegisterEngine(*cls);
  } catch (...) {
    mvUnregisterValidationEngines();
    throw;
  }
}

void mvUnregisterValidationEngines() {
  for (size_t i = std::size(kEngineClasses); i-- > 0;) TmvBaseRegisterableEngine::UnregisterEngine(*kEngineClasses[i]);
}

// ---------------------------------------------------------------------------
// List engines

TmvBaseValidationsEngine::TmvBaseValidationsEngine(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor*)
    : bveFieldsDescriptor(aFieldsDescriptor) {}

TmvBaseValidationsEngine::~TmvBaseValidationsEngine() = default;

void TmvBaseValidationsEngine::AddEngines(TmvFieldValidationsDescriptor* aDescriptor, TmvApplyAt aApplyAt,
                                          ImvDictionaryCursor* aCursor) {
  if (!aDescriptor) return;
  for (int32_t i = 0; i < aDescriptor->ValidationCount(); ++i)
    AddEngine(TmvBaseValidationEngine::CreateFor(this, aDescriptor->ValidationDescriptor(i), aApplyAt, aCursor));
}

// The engine is owned from its first line on, so that a refusal leaks
// nothing.
void TmvBaseValidationsEngine::AddEngine(TmvBaseValidationEngine* aEngine) {
  std::unique_ptr<TmvBaseValidationEngine> engine(aEngine);
  if (!engine) return;
  auto* fieldEngine = dynamic_cast<TmvBaseFieldValidationEngine*>(engine.get());
  if (!fieldEngine || !Accepts(fieldEngine))
    throw EmvBaseValidationsEngineException(MVERR_INVALIDDESC, SNotForRecords,
                                            {engine->GetName(), engine->ClassName()});
  veEngines.emplace_back(fieldEngine);
  engine.release();
}

TmvFieldsValidationsEngine::TmvFieldsValidationsEngine(TmvFieldsDescriptor* aFieldsDescriptor,
                                                       ImvDictionaryCursor* aCursor, TmvApplyAt aApplyAt,
                                                       TmvFieldValidationsDescriptor* aDescriptor)
    : TmvBaseValidationsEngine(aFieldsDescriptor, aCursor), veFieldsValidationsDescriptor(aDescriptor) {
  AddEngines(aDescriptor, aApplyAt, aCursor);
}

TmvFieldsValidationsEngine* TmvFieldsValidationsEngine::CreateFor(TmvFieldsDescriptor* aFieldsDescriptor,
                                                                  TmvApplyAt aApplyAt, ImvDictionaryCursor* aCursor) {
  TmvFieldsValidationsDescriptor* list = aFieldsDescriptor->GetValidations();
  if (!list) return nullptr;
  const auto& cls = static_cast<const TmvFieldsValidationsEngineClassRef&>(
      mvEngineClassForDescriptor<EmvBaseValidationsEngineException>(StaticClass, list->ClassType(), SValidationsWord,
                                                                    aFieldsDescriptor->fsdCachedEngineClass));
  std::unique_ptr<TmvFieldsValidationsEngine> engine(cls.Construct(aFieldsDescriptor, aCursor, aApplyAt, list));
  return engine->EngineCount() > 0 ? engine.release() : nullptr;
}

bool TmvFieldsValidationsEngine::Accepts(TmvBaseFieldValidationEngine* aEngine) const {
  return dynamic_cast<TmvBaseFieldsValidationEngine*>(aEngine) != nullptr;
}

void TmvFieldsValidationsEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  // Accepts admitted record-level engines only.
  for (auto& engine : veEngines)
    static_cast<TmvBaseFieldsValidationEngine*>(engine.get())->ValidateRecord(aOldRecord, aNewRecord);
}

TmvFieldValidationsEngine::TmvFieldValidationsEngine(TmvFieldsDescriptor* aFieldsDescriptor,
                                                     ImvDictionaryCursor* aCursor, TmvApplyAt aApplyAt,
                                                     TmvFieldValidationsDescriptor* aDescriptor, int32_t aFieldIndex)
    : TmvBaseValidationsEngine(aFieldsDescriptor, aCursor),
      veFieldDescriptor(aFieldsDescriptor->FieldDescriptor(aFieldIndex)),
      veFieldIndex(aFieldIndex),
      veFieldValidationsDescriptor(aDescriptor) {
  if (veFieldDescriptor->GetRequired() && aApplyAt == aaServer)
    AddEngine(new TmvNotNullValidationEngine(this, nullptr, aCursor));
  AddEngines(aDescriptor, aApplyAt, aCursor);
}

TmvFieldValidationsEngine* TmvFieldValidationsEngine::CreateFor(TmvFieldsDescriptor* aFieldsDescriptor,
                                                                int32_t aFieldIndex, TmvApplyAt aApplyAt,
                                                                ImvDictionaryCursor* aCursor) {
  TmvFieldDescriptor* field = aFieldsDescriptor->FieldDescriptor(aFieldIndex);
  TmvFieldValidationsDescriptor* list = field->GetValidations();
  const TmvFieldValidationsEngineClassRef* cls = &StaticClass;
  if (list) {
    const TmvRegisterableEngineClassRef* notCached = nullptr;
    cls = static_cast<const TmvFieldValidationsEngineClassRef*>(&mvEngineClassForDescriptor<
        EmvBaseValidationsEngineException>(StaticClass, list->ClassType(), SValidationsWord, notCached));
  } else if (!field->GetRequired()) {
    return nullptr;
  }
  std::unique_ptr<TmvFieldValidationsEngine> engine(
      cls->Construct(aFieldsDescriptor, aCursor, aApplyAt, list, aFieldIndex));
  return engine->EngineCount() > 0 ? engine.release() : nullptr;
}

bool TmvFieldValidationsEngine::Accepts(TmvBaseFieldValidationEngine*) const { return true; }

void TmvFieldValidationsEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  const void* oldField = bveFieldsDescriptor->GetRecordFieldForFilter(veFieldIndex, aOldRecord);
  const void* newField = bveFieldsDescriptor->GetRecordFieldForFilter(veFieldIndex, aNewRecord);
  for (auto& engine : veEngines) engine->ValidateField(oldField, aOldRecord, newField, aNewRecord);
}

// ---------------------------------------------------------------------------
// Validation engines

TmvBaseValidationEngine::TmvBaseValidationEngine(TmvBaseValidationsEngine* aParent,
                                                 TmvBaseFieldValidationDescriptor* aDescriptor,
                                                 ImvDictionaryCursor* aCursor)
    : bveParent(aParent),
      bveDescriptor(aDescriptor),
      bveName(aDescriptor ? aDescriptor->GetName() : String()),
      bveCursor(aCursor) {}

TmvBaseValidationEngine* TmvBaseValidationEngine::CreateFor(TmvBaseValidationsEngine* aParent,
                                                            TmvBaseFieldValidationDescriptor* aDescriptor,
                                                            TmvApplyAt aApplyAt, ImvDictionaryCursor* aCursor) {
  if (!aDescriptor || !mvInSet(aDescriptor->GetApplyAt(), aApplyAt)) return nullptr;
  const TmvRegisterableEngineClassRef* notCached = nullptr;
  const auto& cls = static_cast<const TmvValidationEngineClassRef&>(
      mvEngineClassForDescriptor<EmvBaseValidationEngineException>(StaticClass, aDescriptor->ClassType(),
                                                                   SValidationWord, notCached));
  MV_ASSERT(cls.Construct);  // only classes that can be made are registered
  return cls.Construct(aParent, aDescriptor, aCursor);
}

// The parent is still being constructed when it makes its engines; its own
// class is already in place, which is all the cast asks.
TmvBaseFieldValidationEngine::TmvBaseFieldValidationEngine(TmvBaseValidationsEngine* aParent,
                                                           TmvBaseFieldValidationDescriptor* aDescriptor,
                                                           ImvDictionaryCursor* aCursor)
    : TmvBaseValidationEngine(aParent, aDescriptor, aCursor) {
  if (auto* fieldEngine = dynamic_cast<TmvFieldValidationsEngine*>(aParent))
    bfvFieldName = fieldEngine->GetFieldDescriptor()->Name();
}

String TmvBaseFieldValidationEngine::GetFailureText() const { return mvOriginalMessageMarker(); }

void TmvBaseFieldValidationEngine::ValidationFailed(int32_t aErrorCode) {
  GetExceptionClass()(aErrorCode, SmvFieldValidationFailedPrefix + bveName + SmvFieldValidationFailedField +
                                      bfvFieldName + SmvFieldValidationFailedInfix + GetFailureText());
}

void TmvBaseFieldsValidationEngine::ValidationFailed(int32_t aErrorCode) {
  if (!bfvFieldName.empty()) {
    TmvBaseFieldValidationEngine::ValidationFailed(aErrorCode);
    return;
  }
  GetExceptionClass()(aErrorCode,
                      SmvFieldsValidationFailedPrefix + bveName + SmvFieldValidationFailedInfix + GetFailureText());
}

TmvNotNullValidationEngine::TmvNotNullValidationEngine(TmvBaseValidationsEngine* aParent,
                                                       TmvBaseFieldValidationDescriptor* aDescriptor,
                                                       ImvDictionaryCursor* aCursor)
    : TmvBaseFieldValidationEngine(aParent, aDescriptor, aCursor) {
  bveName = SmvRequiredValidationName;
}

TmvValidationExceptionClass TmvNotNullValidationEngine::GetExceptionClass() const {
  return &mvRaiseValidationException<EmvNotNullValidationEngineException>;
}

void TmvNotNullValidationEngine::ValidateField(const void*, const void*, const void* aNewField, const void*) {
  if (!aNewField) ValidationFailed(MVERR_REQDERR);
}

TmvMinMaxValidationEngine::TmvMinMaxValidationEngine(TmvBaseValidationsEngine* aParent,
                                                     TmvBaseFieldValidationDescriptor* aDescriptor,
                                                     ImvDictionaryCursor* aCursor)
    : TmvBaseFieldValidationEngine(aParent, aDescriptor, aCursor),
      mmveMinMaxDescriptor(DescriptorAs<TmvMinMaxValidationDescriptor>(aDescriptor)) {
  // Limits shorter than the field would be read past their end.
  mmveMinMaxDescriptor->CheckLimitsFitField();
  mmveKeyFieldEngine.reset(NewKeyFieldEngine(mmveMinMaxDescriptor));
  mmveMin = mmveMinMaxDescriptor->GetMin();
  mmveMax = mmveMinMaxDescriptor->GetMax();
}

TmvMinMaxValidationEngine::~TmvMinMaxValidationEngine() = default;

TmvValidationExceptionClass TmvMinMaxValidationEngine::GetExceptionClass() const {
  return &mvRaiseValidationException<EmvMinMaxValidationEngineException>;
}

void TmvMinMaxValidationEngine::ValidateField(const void*, const void*, const void* aNewField, const void*) {
  if (!aNewField) return;
  if (!mmveMin.empty() && mmveKeyFieldEngine->CompareFieldDirect(aNewField, mmveMin.data()) == -1)
    ValidationFailed(MVERR_MINVALERR);
  if (!mmveMax.empty() && mmveKeyFieldEngine->CompareFieldDirect(aNewField, mmveMax.data()) == 1)
    ValidationFailed(MVERR_MAXVALERR);
}

TmvNoChangeValidationEngine::TmvNoChangeValidationEngine(TmvBaseValidationsEngine* aParent,
                                                         TmvBaseFieldValidationDescriptor* aDescriptor,
                                                         ImvDictionaryCursor* aCursor)
    : TmvBaseFieldValidationEngine(aParent, aDescriptor, aCursor),
      ncveNoChangeDescriptor(DescriptorAs<TmvNoChangeValidationDescriptor>(aDescriptor)),
      ncveKeyFieldEngine(NewKeyFieldEngine(ncveNoChangeDescriptor)) {}

TmvNoChangeValidationEngine::~TmvNoChangeValidationEngine() = default;

TmvValidationExceptionClass TmvNoChangeValidationEngine::GetExceptionClass() const {
  return &mvRaiseValidationException<EmvNoChangeValidationEngineException>;
}

void TmvNoChangeValidationEngine::ValidateField(const void* aOldField, const void* aOldRecord,
                                                const void* aNewField, const void* aNewRecord) {
  if (!aOldRecord || !aNewRecord || !aOldField) return;
  if (!aNewField || ncveKeyFieldEngine->CompareFieldDirect(aOldField, aNewField) != 0)
    ValidationFailed(MVERR_READONLYFLD);
}

TmvSqlCheckValidationEngine::TmvSqlCheckValidationEngine(TmvBaseValidationsEngine* aParent,
                                                         TmvBaseFieldValidationDescriptor* aDescriptor,
                                                         ImvDictionaryCursor* aCursor)
    : TmvBaseFieldsValidationEngine(aParent, aDescriptor, aCursor),
      scveSqlCheckDescriptor(DescriptorAs<TmvSqlCheckValidationDescriptor>(aDescriptor)) {
  const TmvSqlCheckStatementClassRef* cls = mvSqlCheckStatementClass.load(std::memory_order_acquire);
  if (!cls) return;
  auto* fieldEngine = dynamic_cast<TmvFieldValidationsEngine*>(aParent);
  scveSqlCheckStatement.reset(cls->CreateStatement(aParent->GetFieldsDescriptor(),
                                                   fieldEngine ? fieldEngine->GetFieldDescriptor() : nullptr,
                                                   aCursor, scveSqlCheckDescriptor->GetConstraint()));
}

TmvSqlCheckValidationEngine::~TmvSqlCheckValidationEngine() = default;

TmvValidationExceptionClass TmvSqlCheckValidationEngine::GetExceptionClass() const {
  return &mvRaiseValidationException<EmvSqlCheckValidationEngineException>;
}

String TmvSqlCheckValidationEngine::GetFailureText() const {
  const String& message = scveSqlCheckDescriptor->GetErrorMessage();
  return message.empty() ? TmvBaseFieldsValidationEngine::GetFailureText() : message;
}

void TmvSqlCheckValidationEngine::ValidateField(const void* aOldField, const void* aOldRecord,
                                                const void* aNewField, const void* aNewRecord) {
  if (!scveSqlCheckStatement) throw EmvSqlCheckValidationEngineException(MVERR_NOTSUPPORTED, String(SNoSqlEngine));
  if (!scveSqlCheckStatement->ValidateField(aOldField, aOldRecord, aNewField, aNewRecord))
    ValidationFailed(MVERR_EXPRVALIDATIONFAILED);
}

void TmvSqlCheckValidationEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  ValidateField(nullptr, aOldRecord, nullptr, aNewRecord);
}

// ---------------------------------------------------------------------------
// TmvBaseSqlCheckStatement

namespace {

// Keeps the records and fields under test in the statement for one
// evaluation; they are cleared however it ends.
class TRecordsUnderTest {
 public:
  TRecordsUnderTest(const void*& aOldField, const void*& aOldRecord, const void*& aNewField, const void*& aNewRecord)
      : rutSlots{&aOldField, &aOldRecord, &aNewField, &aNewRecord} {}
  ~TRecordsUnderTest() {
    for (const void** slot : rutSlots) *slot = nullptr;
  }
  TRecordsUnderTest(const TRecordsUnderTest&) = delete;
  TRecordsUnderTest& operator=(const TRecordsUnderTest&) = delete;

 private:
  const void** rutSlots[4];
};

}  // namespace

TmvBaseSqlCheckStatement::TmvBaseSqlCheckStatement(TmvFieldsDescriptor* aFieldsDescriptor,
                                                   TmvFieldDescriptor* aFieldDescriptor, ImvDictionaryCursor* aCursor,
                                                   const String&)
    : bscsFieldsDescriptor(aFieldsDescriptor), bscsFieldDescriptor(aFieldDescriptor), bscsCursor(aCursor) {
  if (!aFieldDescriptor) return;
  bscsFieldIndex = aFieldDescriptor->Number();
  bscsFieldSize = aFieldDescriptor->Length();
  bscsFieldType = aFieldDescriptor->FieldType();
  bscsFieldCodepage = aFieldDescriptor->GetUsedStorageCodePage();
  bscsFieldUnits = aFieldDescriptor->Units();
  bscsFieldDecPl = aFieldDescriptor->DecPl();
}

bool TmvBaseSqlCheckStatement::SupportsBlobs() { return false; }

void TmvBaseSqlCheckStatement::GetBlobValue(TmvFieldDescriptor*, bool, TmvBlobNr, Variant& aValue) {
  aValue = Variant();
}

bool TmvBaseSqlCheckStatement::ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                                             const void* aNewRecord) {
  bscsOldField = aOldField;
  bscsOldRecord = aOldRecord;
  bscsNewField = aNewField;
  bscsNewRecord = aNewRecord;
  TRecordsUnderTest underTest(bscsOldField, bscsOldRecord, bscsNewField, bscsNewRecord);
  // An evaluation error fails the check (9751) rather than the operation.
  return mvEvaluateOrLogFalse([this] { return Evaluate(); },
                              u"CHECK constraint: the condition could not be evaluated, the check fails: ");
}

int32_t TmvBaseSqlCheckStatement::ResolveFieldName(const String& aName, TmvFieldType& aType, int32_t& aUnits,
                                                   int32_t& aDecimals, TmvLocaleDescriptor*& aLocaleDescriptor) {
  // Names compare without case, as the fields descriptor's lookup does.
  TmvFieldDescriptor* field = bscsFieldDescriptor;
  int32_t reference;
  if (field && (SameClassName(aName, u"NEW") || SameClassName(aName, u"OLD"))) {
    reference = mvSqlCheckField + (SameClassName(aName, u"OLD") ? mvSqlCheckOldRecord : 0);
  } else {
    const bool old = aName.size() >= 4 && SameClassName(std::u16string_view(aName).substr(0, 4), u"OLD$");
    const int32_t number = bscsFieldsDescriptor->GetFieldFromName(old ? aName.substr(4) : aName);
    if (number < 0) return number;
    field = bscsFieldsDescriptor->FieldDescriptor(number);
    reference = number + (old ? mvSqlCheckOldRecord : 0);
  }
  aType = field->FieldType();
  aUnits = field->Units();
  aDecimals = field->DecPl();
  aLocaleDescriptor = field->GetUsedLocaleDescriptor();
  return mvIsBlobFieldType(aType) && !SupportsBlobs() ? -1 : reference;
}

void TmvBaseSqlCheckStatement::GetFieldValue(int32_t aReference, Variant& aValue) {
  aValue = Variant();
  const bool old = aReference >= mvSqlCheckOldRecord;
  const int32_t number = old ? aReference - mvSqlCheckOldRecord : aReference;
  if (number == mvSqlCheckField) {
    if (bscsFieldDescriptor) ReadValue(bscsFieldDescriptor, old ? bscsOldField : bscsNewField, old, aValue);
    return;
  }
  if (number < 0 || number >= bscsFieldsDescriptor->FieldCount()) return;
  const void* record = old ? bscsOldRecord : bscsNewRecord;
  ReadValue(bscsFieldsDescriptor->FieldDescriptor(number),
            bscsFieldsDescriptor->GetRecordFieldForFilter(number, record), old, aValue);
}

void TmvBaseSqlCheckStatement::ReadValue(TmvFieldDescriptor* aField, const void* aBytes, bool aOld, Variant& aValue) {
  if (!aBytes) return;
  if (mvIsBlobFieldType(aField->FieldType()))
    GetBlobValue(aField, aOld, LoadLE<int64_t>(aBytes), aValue);
  else
    aField->fdGetBufferAsVariant(aBytes, aValue);
}

void TmvBaseSqlCheckStatement::ReadBlobValue(TmvFieldDescriptor* aFieldDescriptor, TmvBlobNr aBlobNr,
                                             Variant& aValue) {
  aValue = Variant();
  if (!bscsCursor) return;
  TBytes content;
  if (uint32_t code = bscsCursor->ReadBlob(aFieldDescriptor->Number(), aBlobNr, content))
    throw EmvSqlCheckValidationEngineException(code);
  const TmvFieldType type = aFieldDescriptor->FieldType();
  if (content.empty()) {
    // No bytes to convert: the empty text or the empty byte array.
    aValue = type == mvtBlobMemo || type == mvtBlobWideMemo ? Variant(String()) : Variant::ByteArray(0);
    return;
  }
  mvNativeToVariant(type, aFieldDescriptor->GetUsedStorageCodePage(), aFieldDescriptor->Units(),
                    aFieldDescriptor->DecPl(), content.data(), int32_t(content.size()), aValue);
}

// ---------------------------------------------------------------------------
// TmvValidationsHandler

TmvValidationsHandler::TmvValidationsHandler(TmvFieldsDescriptor* aFieldsDescriptor)
    : vhFieldsDescriptor(aFieldsDescriptor), vhEnginesByIndex(size_t(aFieldsDescriptor->FieldCount()), nullptr) {}

TmvValidationsHandler::~TmvValidationsHandler() = default;

TmvValidationsHandler* TmvValidationsHandler::CreateFor(TmvFieldsDescriptor* aFieldsDescriptor, TmvApplyAt aApplyAt,
                                                        ImvDictionaryCursor* aCursor) {
  std::unique_ptr<TmvValidationsHandler> handler(new TmvValidationsHandler(aFieldsDescriptor));
  if (TmvFieldsValidationsEngine* engine = TmvFieldsValidationsEngine::CreateFor(aFieldsDescriptor, aApplyAt, aCursor)) {
    handler->AddEngine(engine);
    handler->vhFieldsEngine = engine;
  }
  for (int32_t i = 0; i < aFieldsDescriptor->FieldCount(); ++i) {
    if (TmvFieldValidationsEngine* engine = TmvFieldValidationsEngine::CreateFor(aFieldsDescriptor, i, aApplyAt, aCursor)) {
      handler->AddEngine(engine);
      handler->vhEnginesByIndex[size_t(i)] = engine;
    }
  }
  return handler->vhEngines.empty() ? nullptr : handler.release();
}

void TmvValidationsHandler::AddEngine(TmvBaseValidationsEngine* aEngine) {
  std::unique_ptr<TmvBaseValidationsEngine> engine(aEngine);
  vhEngines.push_back(std::move(engine));
}

void TmvValidationsHandler::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  for (auto& engine : vhEngines) engine->ValidateRecord(aOldRecord, aNewRecord);
}

void TmvValidationsHandler::ValidateField(const void* aOldRecord, const void* aNewRecord, int32_t aField) {
  if (aField < -1 || aField >= int32_t(vhEnginesByIndex.size()))
    throw EmvBaseValidationsEngineException(MVERR_INVALIDDESCNO, u"Index out of bounds: %d", {aField});
  TmvBaseValidationsEngine* engine = aField < 0 ? static_cast<TmvBaseValidationsEngine*>(vhFieldsEngine)
                                                : vhEnginesByIndex[size_t(aField)];
  if (engine) engine->ValidateRecord(aOldRecord, aNewRecord);
}
