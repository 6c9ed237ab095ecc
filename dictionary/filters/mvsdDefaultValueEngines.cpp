// Data dictionary: default-value engines and the default-value handler. See
// mvsdDefaultValueEngines.h.
#include "dictionary/filters/mvsdDefaultValueEngines.h"

#include <cstring>
#include <memory>

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdLog.h"
#include "platform/DateUtils.h"
#include "platform/Guid.h"
#include "platform/Numeric.h"

namespace {

// The record of an engine class that the registry and the handler can make.
template <typename T>
constexpr TmvDefaultValueEngineClassRef EngineClass(const char16_t* aName, const ClassRef* aParent) {
  return {{{aName, aParent}, &TmvBaseDefaultValueEngine::Registry, nullptr},
          &mvConstructDefaultValueEngine<T>,
          &mvConstructDefaultValueEngine<T>};
}

TmvBaseDefaultValueEngine* NoEngine(TmvBaseDefaultValueDescriptor*, ImvDictionaryCursor*) { return nullptr; }

}  // namespace

TmvClassRegistry* TmvBaseDefaultValueEngine::Registry() { return mvFamilyRegistry<TmvBaseDefaultValueEngine>(); }

constinit const TmvDefaultValueEngineClassRef TmvBaseDefaultValueEngine::StaticClass{
    {{u"TmvBaseDefaultValueEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseDefaultValueEngine::Registry,
     nullptr},
    nullptr,
    nullptr};
constinit const TmvDefaultValueEngineClassRef TmvCursorDefaultValueEngine::StaticClass{
    {{u"TmvCursorDefaultValueEngine", &TmvBaseDefaultValueEngine::StaticClass}, &TmvBaseDefaultValueEngine::Registry,
     nullptr},
    nullptr,
    nullptr};
constinit const TmvDefaultValueEngineClassRef TmvConstDefaultValueEngine::StaticClass =
    EngineClass<TmvConstDefaultValueEngine>(u"TmvConstDefaultValueEngine", &TmvBaseDefaultValueEngine::StaticClass);
constinit const TmvDefaultValueEngineClassRef TmvCurrentDateTimeDefaultValueEngine::StaticClass =
    EngineClass<TmvCurrentDateTimeDefaultValueEngine>(u"TmvCurrentDateTimeDefaultValueEngine",
                                                      &TmvBaseDefaultValueEngine::StaticClass);
constinit const TmvDefaultValueEngineClassRef TmvCurrentUserDefaultValueEngine::StaticClass =
    EngineClass<TmvCurrentUserDefaultValueEngine>(u"TmvCurrentUserDefaultValueEngine",
                                                  &TmvBaseDefaultValueEngine::StaticClass);
constinit const TmvDefaultValueEngineClassRef TmvAutoGuidDefaultValueEngine::StaticClass =
    EngineClass<TmvAutoGuidDefaultValueEngine>(u"TmvAutoGuidDefaultValueEngine",
                                               &TmvBaseDefaultValueEngine::StaticClass);
constinit const TmvDefaultValueEngineClassRef TmvEmptyDefaultValueEngine::StaticClass =
    EngineClass<TmvEmptyDefaultValueEngine>(u"TmvEmptyDefaultValueEngine", &TmvBaseDefaultValueEngine::StaticClass);
constinit const TmvDefaultValueEngineClassRef TmvNextLSNDefaultValueEngine::StaticClass{
    {{u"TmvNextLSNDefaultValueEngine", &TmvCursorDefaultValueEngine::StaticClass},
     &TmvBaseDefaultValueEngine::Registry, nullptr},
    &mvConstructDefaultValueEngine<TmvNextLSNDefaultValueEngine>,
    &NoEngine};

namespace {

// In registration order.
const TmvDefaultValueEngineClassRef* const kEngineClasses[] = {
    &TmvConstDefaultValueEngine::StaticClass,   &TmvCurrentDateTimeDefaultValueEngine::StaticClass,
    &TmvCurrentUserDefaultValueEngine::StaticClass, &TmvAutoGuidDefaultValueEngine::StaticClass,
    &TmvEmptyDefaultValueEngine::StaticClass,   &TmvNextLSNDefaultValueEngine::StaticClass};

}  // namespace

void mvRegisterDefaultValueEngines() {
  try {
    for (const auto* cls : kEngineClasses) TmvBaseRegisterableEngine::RegisterEngine(*cls);
  } catch (...) {
    mvUnregisterDefaultValueEngines();
    throw;
  }
}

void mvUnregisterDefaultValueEngines() {
  for (size_t i = std::size(kEngineClasses); i-- > 0;) TmvBaseRegisterableEngine::UnregisterEngine(*kEngineClasses[i]);
}

// ---------------------------------------------------------------------------
// Engines

TmvBaseDefaultValueEngine::TmvBaseDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor,
                                                     ImvDictionaryCursor*)
    : bdceDescriptor(aDescriptor), bdceFieldDescriptor(aDescriptor->RelatedField()) {
  aDescriptor->CheckFieldTypeSupported();
}

TmvBaseDefaultValueEngine* TmvBaseDefaultValueEngine::CreateFor(TmvBaseDefaultValueDescriptor* aDescriptor,
                                                                ImvDictionaryCursor* aCursor) {
  const auto& cls = static_cast<const TmvDefaultValueEngineClassRef&>(
      mvEngineClassForDescriptor<EmvBaseDefaultValueEngineException>(
          StaticClass, aDescriptor->ClassType(), u"DefaultValue", aDescriptor->bdvCachedEngineClass));
  MV_ASSERT(cls.CreateEngine);  // only classes that can be made are registered
  return cls.CreateEngine(aDescriptor, aCursor);
}

TmvCursorDefaultValueEngine::TmvCursorDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor,
                                                         ImvDictionaryCursor* aCursor)
    : TmvBaseDefaultValueEngine(aDescriptor, aCursor), cdceCursor(aCursor) {
  MV_ASSERT(aCursor);
}

TmvConstDefaultValueEngine::TmvConstDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor,
                                                       ImvDictionaryCursor* aCursor)
    : TmvBaseDefaultValueEngine(aDescriptor, aCursor) {
  MV_ASSERT(aDescriptor->InheritsFrom(TmvConstDefaultValueDescriptor::StaticClass));
  cdveValue = static_cast<TmvConstDefaultValueDescriptor*>(aDescriptor)->ValueInFieldFormat();
}

bool TmvConstDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  std::memcpy(aFieldValue, cdveValue.data(), cdveValue.size());
  return true;
}

// Date and Time are 32-bit, DateTime a double (see the native forms in
// mvsdNativeVariantConverter.h). The engine's type check admits no other
// field type.
bool TmvCurrentDateTimeDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  const TTimeStamp now = DateTimeToTimeStamp(Now());
  switch (bdceFieldDescriptor->FieldType()) {
    case mvtDate: StoreLE<int32_t>(aFieldValue, now.Date); break;
    case mvtTime: StoreLE<int32_t>(aFieldValue, now.Time); break;
    default: StoreLE<double>(aFieldValue, double(now.Date) * MSecsPerDay + now.Time); break;
  }
  return true;
}

TmvCurrentUserDefaultValueEngine::TmvCurrentUserDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor,
                                                                   ImvDictionaryCursor* aCursor)
    : TmvBaseDefaultValueEngine(aDescriptor, aCursor) {
  MV_ASSERT(aCursor);
  cudveUserName.assign(size_t(bdceFieldDescriptor->Length()), 0);
  bdceFieldDescriptor->fdSetBufferAsVariant(cudveUserName.data(), Variant(aCursor->GetSessionUserName()));
}

bool TmvCurrentUserDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  std::memcpy(aFieldValue, cudveUserName.data(), cudveUserName.size());
  return true;
}

bool TmvAutoGuidDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  try {
    GUIDToBytes(CreateGUID(), static_cast<uint8_t*>(aFieldValue));
  } catch (const EOSError& e) {
    mvDictionaryLogError(u"No GUID for field \"" + bdceFieldDescriptor->Name() + u"\", left null: " + e.Message());
    return false;
  }
  return true;
}

bool TmvEmptyDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  std::memset(aFieldValue, 0, size_t(bdceFieldDescriptor->Length()));
  return true;
}

bool TmvNextLSNDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  TmvLSN lsn = 0;
  if (!cdceCursor->GetNextLSN(lsn)) return false;
  StoreLE<int64_t>(aFieldValue, lsn);
  return true;
}

// ---------------------------------------------------------------------------
// TmvDefaultValueHandler

TmvDefaultValueHandler::TmvDefaultValueHandler(TmvFieldsDescriptor* aFieldsDescriptor)
    : dvhFieldsDescriptor(aFieldsDescriptor), dvhEnginesByIndex(size_t(aFieldsDescriptor->FieldCount()), nullptr) {}

TmvDefaultValueHandler::~TmvDefaultValueHandler() {
  for (TmvBaseDefaultValueEngine* engine : dvhEngines) delete engine;
}

TmvDefaultValueHandler* TmvDefaultValueHandler::CreateFor(TmvFieldsDescriptor* aFieldsDescriptor,
                                                          TmvApplyAt aApplyAt, ImvDictionaryCursor* aCursor) {
  std::unique_ptr<TmvDefaultValueHandler> handler(new TmvDefaultValueHandler(aFieldsDescriptor));
  for (int32_t i = 0; i < aFieldsDescriptor->FieldCount(); ++i) {
    TmvBaseDefaultValueDescriptor* descriptor = aFieldsDescriptor->FieldDescriptor(i)->GetDefaultValue();
    if (!descriptor || !mvInSet(descriptor->GetApplyAt(), aApplyAt)) continue;
    if (TmvBaseDefaultValueEngine* engine = TmvBaseDefaultValueEngine::CreateFor(descriptor, aCursor))
      handler->AddEngine(engine);
  }
  if (handler->dvhEngines.empty()) return nullptr;
  return handler.release();
}

// The engine is owned from its first line on, so that a failure while it
// is filed leaks nothing.
void TmvDefaultValueHandler::AddEngine(TmvBaseDefaultValueEngine* aEngine) {
  try {
    dvhEngines.push_back(aEngine);
  } catch (...) {
    delete aEngine;
    throw;
  }
  TmvBaseDefaultValueDescriptor* descriptor = aEngine->GetDescriptor();
  const size_t overwrite = descriptor->GetOverwriteNonNull() ? 1 : 0;
  if (descriptor->GetApplyOnInsert()) dvhEnginesInsert[overwrite].push_back(aEngine);
  if (descriptor->GetApplyOnModify()) dvhEnginesModify[overwrite].push_back(aEngine);
  dvhEnginesByIndex[size_t(aEngine->GetFieldDescriptor()->Number())] = aEngine;
}

bool TmvDefaultValueHandler::Apply(TmvBaseDefaultValueEngine* aEngine, void* aRecord) {
  TmvFieldDescriptor* field = aEngine->GetFieldDescriptor();
  const bool set = aEngine->SetDefaultValue(static_cast<uint8_t*>(aRecord) + field->Offset());
  dvhFieldsDescriptor->SetRecordFieldNull(field->Number(), aRecord, !set);
  return set;
}

void TmvDefaultValueHandler::ApplyAll(const TEngines (&aEngines)[2], void* aRecord) {
  for (TmvBaseDefaultValueEngine* engine : aEngines[0])
    if (dvhFieldsDescriptor->IsRecordFieldNullFast(engine->GetFieldDescriptor()->Number(), aRecord))
      Apply(engine, aRecord);
  for (TmvBaseDefaultValueEngine* engine : aEngines[1]) Apply(engine, aRecord);
}

void TmvDefaultValueHandler::SetDefaultValuesInsert(void* aRecord) { ApplyAll(dvhEnginesInsert, aRecord); }

void TmvDefaultValueHandler::SetDefaultValuesModify(void* aRecord) { ApplyAll(dvhEnginesModify, aRecord); }

bool TmvDefaultValueHandler::SetDefaultValue(void* aRecord, int32_t aField) {
  if (aField < 0 || size_t(aField) >= dvhEnginesByIndex.size())
    throw EmvBaseDefaultValueEngineException(MVERR_INVALIDDESCNO, u"Index out of bounds: %d", {aField});
  TmvBaseDefaultValueEngine* engine = dvhEnginesByIndex[size_t(aField)];
  return engine && Apply(engine, aRecord);
}
