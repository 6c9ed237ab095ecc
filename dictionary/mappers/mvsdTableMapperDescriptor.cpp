// Data dictionary: the table mapper descriptor that maps whole tables. See
// mvsdTableMapperDescriptor.h.
#include "dictionary/mappers/mvsdTableMapperDescriptor.h"

#include "dictionary/mvsdTableDescriptor.h"

constinit const TmvRegisterableDescriptorClassRef TmvTableMapperDescriptor::StaticClass{
    {u"TmvTableMapperDescriptor", &TmvBaseTableMapperDescriptor::StaticClass},
    &TmvBaseTableMapperDescriptor::Registry,
    &mvCreateMapperDescriptor<TmvTableMapperDescriptor>};

void TmvTableMapperDescriptor::MapAllTablesAndFieldsByName(TmvBaseTableDescriptor* aOldTable,
                                                           TmvBaseTableDescriptor* aNewTable,
                                                           TmvDataLossAction aDataLossAction) {
  static_cast<TmvRecordMapperDescriptor*>(AddRecordMapper(TmvRecordMapperDescriptor::StaticClass))
      ->MapAllFieldsByName(aOldTable->GetFieldsDescriptor(), aNewTable->GetFieldsDescriptor(), aDataLossAction);
  TmvFastStringListIC oldTables(dupAccept);
  TmvFastStringListIC newTables(dupAccept);
  aOldTable->GetTablesDescriptor()->GetTables(oldTables);
  aNewTable->GetTablesDescriptor()->GetTables(newTables);
  mvWalkSameNames(oldTables, newTables, [&](int32_t aOld, int32_t aNew) {
    static_cast<TmvTableMapperDescriptor*>(AddTable(oldTables.Get(aOld), &StaticClass))
        ->MapAllTablesAndFieldsByName(static_cast<TmvNestedTableDescriptor*>(oldTables.Objects(aOld)),
                                      static_cast<TmvNestedTableDescriptor*>(newTables.Objects(aNew)), aDataLossAction);
  });
}

void TmvTableMapperDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTableMapperDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvTableMapperDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTableMapperDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}
