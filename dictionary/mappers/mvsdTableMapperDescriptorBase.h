// Data dictionary: the root of the table mapper descriptors.
//
// A table mapper descriptor says how one table is carried from an old
// layout to a new one: the source table it handles, the table it maps to,
// a record mapper for its rows and one nested table mapper per nested
// table. Like record mappers these are streamable values, not dictionary
// items. This unit holds the family's root, which is a usable class of its
// own; mvsdTableMapperDescriptor.h adds the concrete one that maps whole
// tables by name.
//
// Stream form (value-stream encoding), a complete table mapping:
//   ident    the exact class name (WriteToWriter)
//   integer  1
//   string   Name ("." for the top table)
//   string   MapTo ("." for the top table)
//   boolean  a record mapper follows; when true its class name (ident)
//            and its body
//   integer  TableCount
//   per nested mapper, in order: its complete table mapping
//   ...      what a subclass appends to the body
//
// Ownership: a table mapper owns its record mapper and its nested mappers;
// a nested mapper's Parent is the mapper that owns it. Threading: a tree
// belongs to one caller at a time.
#pragma once

#include <vector>

#include "dictionary/mappers/mvsdRecordMapperDescriptorBase.h"

class TmvBaseTableMapperDescriptor : public TmvBaseRegisterableDescriptor {
  MV_DECLARE_CLASSREF(TmvRegisterableDescriptorClassRef)
 public:
  // Name and MapTo ".", no record mapper, no nested mappers.
  TmvBaseTableMapperDescriptor() = default;
  // Frees the record mapper and the nested mappers.
  ~TmvBaseTableMapperDescriptor() override;

  // The body; see above.
  virtual void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  // Replaces the record mapper and the nested mappers with the stream's.
  // A body version other than 1, or mappers nested more than 1000 deep,
  // raise 15498; unregistered classes raise 15499 naming
  // "RecordMapperDescriptor" or "TableMapperDescriptor".
  virtual void LoadFromReader(TmvReader& aReader);

  // The class name as an identifier, then the body.
  void WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  // The caller owns the result; a failure leaves nothing behind.
  static TmvBaseTableMapperDescriptor* CreateFromReader(TmvReader& aReader);
  // A copy of the whole tree (nested mappers point to their new parents);
  // the caller owns it.
  TmvBaseTableMapperDescriptor* Duplicate();

  // Frees the present record mapper and makes one of aClass, which must be
  // of the record mapper family (else 15499).
  TmvBaseRecordMapperDescriptor* AddRecordMapper(const TmvRegisterableDescriptorClassRef& aClass);
  void RemoveRecordMapper();
  // Appends a nested mapper of aClass (nil: this family's root) named
  // aName, with this mapper as Parent and MapTo "."; a nested mapper of
  // that name (ignoring ASCII case) raises 10009 "Duplicated table name:
  // %s".
  TmvBaseTableMapperDescriptor* AddTable(const String& aName,
                                         const TmvRegisterableDescriptorClassRef* aClass = nullptr);
  // Position (ignoring ASCII case), -1 when none.
  int32_t GetTableIndexFromName(const String& aName) const;
  // The nested mapper; none raises 10024 "Table does not exist.".
  TmvBaseTableMapperDescriptor* GetTableDescriptorFromName(const String& aName) const;
  // Frees the nested mapper and closes the gap; a bad position (an absent
  // name) does nothing.
  void RemoveTable(int32_t aInx);
  void RemoveTable(const String& aName);
  // Frees the record mapper and every nested mapper.
  void Clear();

  TmvBaseTableMapperDescriptor* GetParent() const { return btmdParent; }
  const String& GetName() const { return btmdName; }
  void SetName(const String& aValue) { btmdName = aValue; }
  const String& GetMapTo() const { return btmdMapTo; }
  void SetMapTo(const String& aValue) { btmdMapTo = aValue; }
  TmvBaseRecordMapperDescriptor* GetRecordMapper() const { return RecordMapper; }
  int32_t GetTableCount() const { return int32_t(TableDescriptor.size()); }
  // Requires: 0 <= aIndex < TableCount.
  TmvBaseTableMapperDescriptor* GetTableDescriptor(int32_t aIndex) const { return TableDescriptor[size_t(aIndex)]; }

  static TmvClassRegistry* Registry();

 private:
  TmvBaseTableMapperDescriptor* Append(const TmvRegisterableDescriptorClassRef& aClass);
  void ClearTables();

  TmvBaseTableMapperDescriptor* btmdParent = nullptr;  // not owned
  String btmdName = u".";
  String btmdMapTo = u".";
  std::vector<TmvBaseTableMapperDescriptor*> TableDescriptor;  // owned, in order
  TmvBaseRecordMapperDescriptor* RecordMapper = nullptr;       // owned
};
