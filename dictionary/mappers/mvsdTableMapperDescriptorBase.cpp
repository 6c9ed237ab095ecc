// Data dictionary: the root of the table mapper descriptors. See
// mvsdTableMapperDescriptorBase.h.
#include "dictionary/mappers/mvsdTableMapperDescriptorBase.h"

namespace {

constexpr char16_t STableMapperFamily[] = u"TableMapperDescriptor";
constexpr char16_t SDuplicatedTableName[] = u"Duplicated table name: %s";

}  // namespace

TmvClassRegistry* TmvBaseTableMapperDescriptor::Registry() { return mvFamilyRegistry<TmvBaseTableMapperDescriptor>(); }

constinit const TmvRegisterableDescriptorClassRef TmvBaseTableMapperDescriptor::StaticClass{
    {u"TmvBaseTableMapperDescriptor", &TmvBaseRegisterableDescriptor::StaticClass},
    &TmvBaseTableMapperDescriptor::Registry,
    &mvCreateMapperDescriptor<TmvBaseTableMapperDescriptor>};

TmvBaseTableMapperDescriptor::~TmvBaseTableMapperDescriptor() { Clear(); }

void TmvBaseTableMapperDescriptor::Clear() {
  RemoveRecordMapper();
  ClearTables();
}

void TmvBaseTableMapperDescriptor::ClearTables() {
  while (!TableDescriptor.empty()) {
    TmvBaseTableMapperDescriptor* table = TableDescriptor.back();
    TableDescriptor.pop_back();
    delete table;
  }
}

TmvBaseRecordMapperDescriptor* TmvBaseTableMapperDescriptor::AddRecordMapper(
    const TmvRegisterableDescriptorClassRef& aClass) {
  if (!aClass.Create || !aClass.InheritsFrom(&TmvBaseRecordMapperDescriptor::StaticClass))
    mvRaiseUnsupportedClass(u"RecordMapperDescriptor", aClass.Name());
  RemoveRecordMapper();
  RecordMapper = static_cast<TmvBaseRecordMapperDescriptor*>(aClass.Create());
  return RecordMapper;
}

void TmvBaseTableMapperDescriptor::RemoveRecordMapper() { mvFreeAndNil(RecordMapper); }

// Makes room first, so that a failed append frees nothing twice.
TmvBaseTableMapperDescriptor* TmvBaseTableMapperDescriptor::Append(const TmvRegisterableDescriptorClassRef& aClass) {
  if (!aClass.Create || !aClass.InheritsFrom(&StaticClass)) mvRaiseUnsupportedClass(STableMapperFamily, aClass.Name());
  TableDescriptor.reserve(TableDescriptor.size() + 1);
  auto* table = static_cast<TmvBaseTableMapperDescriptor*>(aClass.Create());
  table->btmdParent = this;
  TableDescriptor.push_back(table);
  return table;
}

TmvBaseTableMapperDescriptor* TmvBaseTableMapperDescriptor::AddTable(const String& aName,
                                                                     const TmvRegisterableDescriptorClassRef* aClass) {
  if (GetTableIndexFromName(aName) >= 0)
    throw EmvMapperDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedTableName, {aName});
  TmvBaseTableMapperDescriptor* table = Append(aClass ? *aClass : StaticClass);
  table->btmdName = aName;
  return table;
}

int32_t TmvBaseTableMapperDescriptor::GetTableIndexFromName(const String& aName) const {
  for (int32_t i = 0; i < GetTableCount(); ++i)
    if (SameClassName(TableDescriptor[size_t(i)]->btmdName, aName)) return i;
  return -1;
}

TmvBaseTableMapperDescriptor* TmvBaseTableMapperDescriptor::GetTableDescriptorFromName(const String& aName) const {
  const int32_t index = GetTableIndexFromName(aName);
  if (index < 0) mvRaiseCode<EmvMapperDescriptorException>(MVERR_NOSUCHTABLE);
  return TableDescriptor[size_t(index)];
}

void TmvBaseTableMapperDescriptor::RemoveTable(int32_t aInx) {
  if (aInx < 0 || aInx >= GetTableCount()) return;
  TmvBaseTableMapperDescriptor* table = TableDescriptor[size_t(aInx)];
  TableDescriptor.erase(TableDescriptor.begin() + aInx);
  delete table;
}

void TmvBaseTableMapperDescriptor::RemoveTable(const String& aName) { RemoveTable(GetTableIndexFromName(aName)); }

void TmvBaseTableMapperDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteInteger(1);
  aWriter.WriteString(btmdName);
  aWriter.WriteString(btmdMapTo);
  aWriter.WriteBoolean(RecordMapper != nullptr);
  if (RecordMapper) RecordMapper->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(GetTableCount());
  for (TmvBaseTableMapperDescriptor* table : TableDescriptor) table->WriteToWriter(aWriter, aClientVersion);
}

// The nested mappers present are dropped before the stream's are read, so
// that loading into a used mapper gives the stream's tree and not both.
void TmvBaseTableMapperDescriptor::LoadFromReader(TmvReader& aReader) {
  const TmvStreamNestingLevel<EmvMapperDescriptorException> level;
  mvReadStreamVersion(aReader, 1, 1);
  btmdName = aReader.ReadString();
  btmdMapTo = aReader.ReadString();
  RemoveRecordMapper();
  if (aReader.ReadBoolean()) RecordMapper = TmvBaseRecordMapperDescriptor::CreateFromReader(aReader);
  ClearTables();
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    TableDescriptor.reserve(TableDescriptor.size() + 1);
    TmvBaseTableMapperDescriptor* table = CreateFromReader(aReader);
    table->btmdParent = this;
    TableDescriptor.push_back(table);
  }
}

void TmvBaseTableMapperDescriptor::WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteIdent(ClassName());
  SaveToWriter(aWriter, aClientVersion);
}

TmvBaseTableMapperDescriptor* TmvBaseTableMapperDescriptor::CreateFromReader(TmvReader& aReader) {
  return mvCreateAndLoad<TmvBaseTableMapperDescriptor>(mvReadMapperClass(aReader, StaticClass, STableMapperFamily),
                                                       STableMapperFamily, aReader);
}

TmvBaseTableMapperDescriptor* TmvBaseTableMapperDescriptor::Duplicate() {
  return mvDuplicateThroughStream(*this, STableMapperFamily);
}
