// Data dictionary: the table mapper descriptor that maps whole tables.
//
// The concrete table mapper: the base's tree, and the mapping of an old
// table layout onto a new one by name, field by field and nested table by
// nested table, which is how a restructure, pack, backup or recovery gets
// its mapping.
//
// Body: the base's body (mvsdTableMapperDescriptorBase.h), then integer 1.
//
// Layer: data dictionary; reads table descriptors. Threading: one owner at a
// time.
#pragma once

#include "dictionary/mappers/mvsdRecordMapperDescriptor.h"
#include "dictionary/mappers/mvsdTableMapperDescriptorBase.h"

class TmvBaseTableDescriptor;

class TmvTableMapperDescriptor : public TmvBaseTableMapperDescriptor {
  MV_DECLARE_CLASSREF(TmvRegisterableDescriptorClassRef)
 public:
  TmvTableMapperDescriptor() = default;

  // Replaces the record mapper with a TmvRecordMapperDescriptor that maps
  // the two tables' fields by name; then, for every nested table name
  // present in both (ignoring ASCII case), adds a nested mapper of this
  // class named as the old nested table is and maps it the same way. A
  // nested mapper of such a name present already raises 10009.
  void MapAllTablesAndFieldsByName(TmvBaseTableDescriptor* aOldTable, TmvBaseTableDescriptor* aNewTable,
                                   TmvDataLossAction aDataLossAction);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // The trailing version must be 1 (else 15498).
  void LoadFromReader(TmvReader& aReader) override;
};
