// Field conversion: the record mapper engine. See mvsrRecordMapperEngine.h.
#include "convert/mvsrRecordMapperEngine.h"

#include "convert/mvsdConvertLog.h"
#include "convert/mvsdFieldMapperCursor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mappers/mvsdRecordMapperDescriptor.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "platform/Numeric.h"

namespace {

constexpr char16_t kCrLf[] = u"\r\n";

// The text this thread's record engines last stored: a run stopped by an
// error leaves it as the thread's last converted text, and a later error of
// the same code must not take it for its own head.
thread_local String tLastContext;

TmvFieldsDescriptor* FieldsOf(TmvAbstractCursor* aCursor) {
  return mvCursorTableDescriptor(aCursor)->GetFieldsDescriptor();
}

// The first main index whose key identifies a record: not every key value
// may repeat, a composite key without filter whose fields keep nulls in the
// index, and either no key repeats at all or only null keys may and no key
// field can be null.
TmvIndexDescriptor* IdentifyingIndex(TmvBaseTableDescriptor* aTable) {
  TmvMainIndicesDescriptor* indices = aTable->GetIndicesDescriptor();
  if (!indices) return nullptr;
  TmvFieldsDescriptor* fields = aTable->GetFieldsDescriptor();
  for (int32_t i = 0; i < indices->IndexCount(); ++i) {
    TmvIndexDescriptor* index = indices->IndexDescriptor(i);
    if (index->GetDups() == idAll) continue;
    auto* key = dynamic_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
    if (!key || key->GetFilter()) continue;
    bool usable = true, allRequired = true;
    for (int32_t k = 0; k < key->KeyFieldCount() && usable; ++k) {
      TmvKeyFieldDescriptor* keyField = key->KeyFields(k);
      const TmvNullBehaviour nulls = keyField->GetNullBehaviour();
      const int32_t number = keyField->GetFieldNumber();
      if (nulls == nbFilterNull || nulls == nbFilterNonNull || number < 0 || number >= fields->FieldCount()) {
        usable = false;
      } else if (!fields->FieldDescriptor(number)->GetRequired()) {
        allRequired = false;
      }
    }
    if (usable && (index->GetDups() == idNone || allRequired)) return index;
  }
  return nullptr;
}

}  // namespace

constinit const TmvRecordMapperEngineClassRef TmvRecordMapperEngine::StaticClass{
    {{u"TmvRecordMapperEngine", &TmvBaseRecordMapperEngine::StaticClass}, &TmvBaseRecordMapperEngine::Registry,
     nullptr},
    &mvConstructRecordMapperEngine<TmvRecordMapperEngine>};

TmvRecordMapperEngine::TmvRecordMapperEngine(TmvBaseRecordMapperDescriptor* aDescriptor,
                                             TmvAbstractCursor* aSourceCursor, TmvAbstractCursor* aTargetCursor)
    : rmeSourceCursor(aSourceCursor), rmeTargetFields(FieldsOf(aTargetCursor)) {
  auto* descriptor = dynamic_cast<TmvRecordMapperDescriptor*>(aDescriptor);
  if (!descriptor) throw EInvalidCast(SInvalidCast);
  const int32_t count = descriptor->GetFieldMapperCount();
  rmeFieldMapper.reserve(size_t(count));
  TmvFastStringListIC mapped(dupAccept);
  for (int32_t i = 0; i < count; ++i) {
    TmvFieldMapperDescriptor* mapping = descriptor->rmdGetMapper(i);
    AddFieldEngine(mapping, aSourceCursor, aTargetCursor);
    if (!mapping->GetTargetName().empty()) mapped.Add(mapping->GetTargetName());
  }

  // The target fields that no mapping names, in ascending name order.
  TmvFastStringListIC targets(dupAccept);
  rmeTargetFields->GetFields(targets);
  const bool applyDefault = descriptor->GetApplyDefaultForUnmapped();
  int32_t i = 0;
  for (int32_t j = 0; j < targets.Count(); ++j) {
    int order = -1;
    while (i < mapped.Count() && (order = mapped.CompareStrings(mapped.Get(i), targets.Get(j))) < 0) ++i;
    if (i < mapped.Count() && order == 0) {
      ++i;
      continue;
    }
    auto* field = static_cast<TmvFieldDescriptor*>(targets.Objects(j));
    if (!(applyDefault && field->GetDefaultValue()) && !TmvBaseFieldMapperEngine::HasSpecialMapper(field->FieldType()))
      continue;
    auto made = std::make_unique<TmvFieldMapperDescriptor>(String(), field->Name(), dlaFail);
    made->SetApplyDefault(applyDefault);
    rmeFieldMapperDescriptors.push_back(std::move(made));
    AddFieldEngine(rmeFieldMapperDescriptors.back().get(), aSourceCursor, aTargetCursor);
  }
}

TmvRecordMapperEngine::~TmvRecordMapperEngine() = default;

void TmvRecordMapperEngine::AddFieldEngine(TmvFieldMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                                           TmvAbstractCursor* aTargetCursor) {
  rmeFieldMapper.emplace_back(TmvBaseFieldMapperEngine::CreateFor(aDescriptor, aSourceCursor, aTargetCursor));
  int32_t blobTarget = -1;
  if (!aDescriptor->GetSourceName().empty()) {
    const int32_t number = rmeTargetFields->GetFieldFromName(aDescriptor->GetTargetName());
    if (number >= 0 && mvIsBlobFieldType(rmeTargetFields->FieldDescriptor(number)->FieldType())) {
      blobTarget = number;
      if (!rmeTargetServerCursor) rmeTargetServerCursor = mvCursorAsServerCursor(aTargetCursor);
    }
  }
  rmeBlobTargets.push_back(blobTarget);
}

void TmvRecordMapperEngine::BeforeFirstRecord() {
  for (auto& engine : rmeFieldMapper) engine->BeforeFirstRecord();
}

void TmvRecordMapperEngine::BeforeCommit() {
  for (auto& engine : rmeFieldMapper) engine->BeforeCommit();
}

uint32_t TmvRecordMapperEngine::MapRecord(const void* aSource, void* aTarget) {
  const size_t count = rmeFieldMapper.size();
  size_t i = 0;
  try {
    for (; i < count; ++i) {
      if (const uint32_t result = rmeFieldMapper[i]->MapField(aSource, aTarget)) {
        DeleteCreatedBlobs(i, aTarget);
        return AddErrorContext(result, aSource);
      }
    }
  } catch (...) {
    // The record will not be stored either way.
    DeleteCreatedBlobs(i, aTarget);
    throw;
  }
  return 0;
}

void TmvRecordMapperEngine::DeleteCreatedBlobs(size_t aFailed, void* aTarget) {
  for (size_t i = 0; i < aFailed; ++i) {
    const int32_t field = rmeBlobTargets[i];
    if (field < 0 || !rmeTargetServerCursor || rmeTargetFields->IsRecordFieldNullFast(field, aTarget)) continue;
    uint8_t* bytes = static_cast<uint8_t*>(aTarget) + rmeTargetFields->FieldDescriptor(field)->Offset();
    const TmvBlobNr blobNr = LoadLE<int64_t>(bytes);
    if (blobNr == 0) continue;
    if (const uint32_t deleted = mvCursorBlobDelete(rmeTargetServerCursor, field, blobNr)) {
      mvConvertLogError(u"TmvRecordMapperEngine: BLOB " + IntToStr(blobNr) + u" of a record that failed could not be " +
                       u"deleted (error " + IntToStr(int64_t(deleted)) + u")");
    }
    StoreLE<int64_t>(bytes, 0);
    rmeTargetFields->SetRecordFieldNull(field, aTarget, true);
  }
}

uint32_t TmvRecordMapperEngine::AddErrorContext(uint32_t aErrorCode, const void* aSource) {
  uint32_t lastCode = 0;
  String text;
  EmvBaseException::GetLastConvertedException(lastCode, text);
  if (lastCode != aErrorCode || text == tLastContext) text.clear();
  if (text.empty()) text = mvOriginalMessageMarker();
  text += kCrLf;
  text += kCrLf + (u"Source Table: " + mvCursorFullName(rmeSourceCursor));
  const String key = SourceKeyLine(aSource);
  if (!key.empty()) text += kCrLf + key;
  EmvBaseException::SetLastConvertedException(aErrorCode, text);
  tLastContext = std::move(text);
  return aErrorCode;
}

String TmvRecordMapperEngine::SourceKeyLine(const void* aSource) {
  try {
    TmvIndexDescriptor* index = IdentifyingIndex(mvCursorTableDescriptor(rmeSourceCursor));
    if (!index) return String();
    std::unique_ptr<TmvBaseKeyEngine> engine(TmvBaseKeyEngine::CreateFor(index->GetKeyDescriptor()));
    void* key = engine->AllocKey();
    String line;
    try {
      if (engine->BuildKey(aSource, key, 0, true) == 0)
        line = u"Source Key (Index: " + index->GetName() + u"): " + engine->KeyAsString(key);
    } catch (...) {
      engine->FreeKey(key);
      throw;
    }
    engine->FreeKey(key);
    return line;
  } catch (const std::exception& e) {
    // The error being reported matters more than its key: the key line is
    // left out, and why goes to the log.
    mvConvertLogError(u"TmvRecordMapperEngine: the source key of a failed record could not be built: " +
                     ExceptionMessageOf(e));
    return String();
  }
}

void mvsrRecordMapperEngineInit() { TmvBaseRegisterableEngine::RegisterEngine(TmvRecordMapperEngine::StaticClass); }

void mvsrRecordMapperEngineFini() {
  TmvBaseRegisterableEngine::UnregisterEngine(TmvRecordMapperEngine::StaticClass);
}
