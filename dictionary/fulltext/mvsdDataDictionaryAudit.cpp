// Data dictionary: the audit descriptor. See mvsdDataDictionaryAudit.h.
#include "dictionary/fulltext/mvsdDataDictionaryAudit.h"

#include <algorithm>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"

namespace {

constexpr char16_t SChangedAt[] = u"Audit Changed At";
constexpr char16_t SUserID[] = u"Audit User ID";
constexpr char16_t SCustomData[] = u"Audit Custom Data";
constexpr char16_t SUpdateType[] = u"Audit Update Type";
// The width the two text fields of a log have (and are widened to).
constexpr int32_t kAuditTextUnits = 100;

// The number an old log's name carries after the prefix: its next (up to)
// ten characters as a 32-bit number, -1 when they are none.
int32_t OldLogNumber(std::u16string_view aRest) {
  std::string ascii;
  for (char16_t c : aRest) {
    if (c >= 0x80) return -1;
    ascii.push_back(char(c));
  }
  return mvAnsiStrToIntDef(ascii, -1);
}

// One more than the largest number of an "Audit Log Old_" table (the
// prefix compared with letter case), 1 when there is none. 64 bits: the
// largest 32-bit number in a name must still give a next one.
int64_t NextOldLogNumber(const TmvTablesDescriptor& aTables) {
  const std::u16string_view prefix = mvAuditLogOldPrefix;
  int32_t largest = 0;
  for (int32_t i = 0; i < aTables.TableCount(); ++i) {
    const std::u16string_view name = aTables.TableDescriptor(i)->GetName();
    if (name.starts_with(prefix)) largest = std::max(largest, OldLogNumber(name.substr(prefix.size(), 10)));
  }
  return int64_t(largest) + 1;
}

// The log keeps rows, not rules: the table's record-level validations and
// the default values and validations of the copied fields go. A log with
// fewer fields than the table (an old one moved aside) loses them on the
// fields it has.
void StripCopiedRules(TmvBaseTableDescriptor& aLog, int32_t aSourceCount) {
  TmvFieldsDescriptor& fields = *aLog.GetFieldsDescriptor();
  fields.RemoveValidations();
  const int32_t count = std::min(aSourceCount, fields.FieldCount());
  for (int32_t i = 0; i < count; ++i) {
    fields.FieldDescriptor(i)->RemoveDefaultValue();
    fields.FieldDescriptor(i)->RemoveValidations();
  }
}

void AddAuditIndex(TmvMainIndicesDescriptor& aIndices, const String& aName, const String& aFirst,
                   const String& aSecond) {
  auto* key = static_cast<TmvCompKeyDescriptor*>(
      aIndices.AddIndex(aName, 0, idAll, String(), &TmvCompKeyDescriptor::StaticClass)->GetKeyDescriptor());
  key->Add(aFirst);
  key->Add(aSecond);
}

bool FieldsMatch(TmvFieldDescriptor* aAudit, TmvFieldDescriptor* aOriginal) {
  return aAudit->Name() == aOriginal->Name() &&
         mvFieldTypesStorageCompatible(aOriginal->FieldType(), aAudit->FieldType()) &&
         aAudit->Units() == aOriginal->Units() && aAudit->DecPl() == aOriginal->DecPl() &&
         aAudit->Offset() == aOriginal->Offset() && aAudit->Length() == aOriginal->Length() &&
         mvOptionalItemsEqual(aAudit->GetLocaleDescriptor(), aOriginal->GetLocaleDescriptor());
}

}  // namespace

bool FieldsDescriptorContainsAllFields(TmvFieldsDescriptor* aAuditFieldsDescriptor,
                                       TmvFieldsDescriptor* aOriginalFieldsDescriptor) {
  const int32_t count = aOriginalFieldsDescriptor->FieldCount();
  if (aAuditFieldsDescriptor->FieldCount() <= count) return false;
  for (int32_t i = 0; i < count; ++i)
    if (!FieldsMatch(aAuditFieldsDescriptor->FieldDescriptor(i), aOriginalFieldsDescriptor->FieldDescriptor(i)))
      return false;
  for (const char16_t* name : {SChangedAt, SUpdateType, SUserID, SCustomData})
    if (aAuditFieldsDescriptor->GetFieldFromName(name) < 0) return false;
  return true;
}

// ---------------------------------------------------------------------------
// TmvAuditDescriptor

constinit const TmvCustomDescriptorClassRef TmvAuditDescriptor::StaticClass{
    {{{u"TmvAuditDescriptor", &TmvBaseCustomDescriptor::StaticClass}, &TmvBaseCustomDescriptor::Registry, nullptr},
     nullptr},
    &mvCreateCustom<TmvAuditDescriptor>};

void TmvAuditDescriptor::SetUseAudit(bool aValue) {
  CheckReadOnly();
  adUseAudit = aValue;
}

void TmvAuditDescriptor::SetIncludeBlobFields(bool aValue) {
  CheckReadOnly();
  adIncludeBlobFields = aValue;
}

void TmvAuditDescriptor::CheckValid(bool aForBuild) {
  if (aForBuild && adUseAudit) KeepAuditLog();
  TmvBaseCustomDescriptor::CheckValid(aForBuild);
}

// The steps, in order:
// 1. the source fields are the data dictionary's own; the log belongs to
//    the nearest table above this descriptor;
// 2. the log is looked up by name (ignoring case);
// 3. the owner may let the old log go: it is then removed;
// 4. without a log, one is made;
// 5. a log that still matches the source keeps its rows and gets its text
//    fields widened; any other is moved aside as "Audit Log Old_<n>" and a
//    fresh one made;
// 6. the log of step 5 (the old one under its new name) loses the rules
//    its fields were copied with.
void TmvAuditDescriptor::KeepAuditLog() {
  TmvFieldsDescriptor& source = *GetParentOfType<TmvDataDictionary>()->GetFieldsDescriptor();
  TmvTablesDescriptor& tables = *GetParentOfType<TmvBaseTableDescriptor>()->GetTablesDescriptor();
  int32_t index = tables.GetTableIndexFromName(mvAuditLogTableName);
  bool canDiscard = false;
  if (OnCanDiscardAuditTable) OnCanDiscardAuditTable(canDiscard);
  if (canDiscard && index >= 0) {
    tables.RemoveTable(index);
    index = -1;
  }
  if (index < 0) {
    CreateLogTable(tables, source);
    return;
  }
  TmvNestedTableDescriptor* log = tables.TableDescriptor(index);
  if (FieldsDescriptorContainsAllFields(log->GetFieldsDescriptor(), &source)) {
    WidenField(*log->GetFieldsDescriptor(), SUserID);
    WidenField(*log->GetFieldsDescriptor(), SCustomData);
  } else {
    const String newName = String(mvAuditLogOldPrefix) + mvInt64ToStr(NextOldLogNumber(tables));
    tables.RenameTable(log->GetName(), newName);
    if (OnChildtableRenamed) OnChildtableRenamed(mvAuditLogTableName, newName);
    CreateLogTable(tables, source);
  }
  StripCopiedRules(*log, source.FieldCount());
}

TmvNestedTableDescriptor* TmvAuditDescriptor::CreateLogTable(TmvTablesDescriptor& aTables,
                                                             TmvFieldsDescriptor& aSource) {
  TmvNestedTableDescriptor* log = aTables.AddTable(mvAuditLogTableName);
  TmvFieldsDescriptor& fields = *log->GetFieldsDescriptor();
  for (int32_t i = 0; i < aSource.FieldCount(); ++i) {
    TmvFieldDescriptor* original = aSource.FieldDescriptor(i);
    TmvFieldDescriptor* copy = fields.AddField(original->Name(), original->GetDesc(), original->FieldType(),
                                               original->Units(), original->DecPl(), false);
    if (TmvLocaleDescriptor* locale = original->GetLocaleDescriptor())
      copy->AddLocaleDescriptor(&static_cast<const TmvDictionaryItemClassRef&>(locale->ClassType()))->Assign(locale);
  }
  fields.AddField(SChangedAt, u"Audit Timestamp", mvtDateTime, 0, 0, false)
      ->AddDefaultValue(&TmvCurrentDateTimeDefaultValueDescriptor::StaticClass);
  fields.AddField(SUserID, u"Audit User Identification", mvtWideString, kAuditTextUnits, 0, false);
  fields.AddField(SCustomData, SCustomData, mvtWideString, kAuditTextUnits, 0, false);
  fields.AddField(SUpdateType, SUpdateType, mvtWideChar, 0, 0, false);
  TmvMainIndicesDescriptor& indices = *log->AddIndicesDescriptor();
  AddAuditIndex(indices, u"By Changed At and User ID", SChangedAt, SUserID);
  AddAuditIndex(indices, u"By User ID and Changed At", SUserID, SChangedAt);
  auto* record = static_cast<TmvHeapRecordDescriptor*>(log->AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
  if (OnChildtableCreated) OnChildtableCreated(mvAuditLogTableName);
  return log;
}

// The length follows from the units through the field's own set-up, so
// that a field of that name but another type stays a sound field of its
// type (a WideString gets 202 bytes).
void TmvAuditDescriptor::WidenField(TmvFieldsDescriptor& aFields, const String& aName) {
  TmvFieldDescriptor* field = aFields.FieldDescriptor(aFields.GetFieldFromName(aName));
  if (field->fdUnits >= kAuditTextUnits) return;
  aFields.CheckReadOnly();
  field->fdUnits = kAuditTextUnits;
  aFields.UpdateSetupAndOffsets();
}

bool TmvAuditDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseCustomDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvAuditDescriptor*>(aItem);
  return other && adUseAudit == other->adUseAudit && adIncludeBlobFields == other->adIncludeBlobFields;
}

void TmvAuditDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(2);
  aWriter.WriteListBegin();
  aWriter.WriteBoolean(adUseAudit);
  aWriter.WriteBoolean(adIncludeBlobFields);
  aWriter.WriteListEnd();
}

void TmvAuditDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseCustomDescriptor::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  aReader.ReadListBegin();
  adUseAudit = aReader.ReadBoolean();
  if (version >= 2) adIncludeBlobFields = aReader.ReadBoolean();
  aReader.ReadListEnd();
}
