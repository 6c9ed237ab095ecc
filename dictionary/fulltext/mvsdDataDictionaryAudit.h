// Data dictionary: the audit descriptor, which keeps a table's audit log.
//
// A table that wants its changes logged carries a `TmvAuditDescriptor` among
// its custom descriptors. The descriptor writes no log rows; it keeps the
// log's shape. When the dictionary is checked for building a table
// (`CheckValid` (true)) it makes sure the table has the nested table
// "Audit Log", whose rows repeat the data dictionary's fields and add when,
// by whom, with which custom data and by which kind of update a row changed:
//
//   the data dictionary's fields, in order (name, description, type, units,
//     decimals, own locale copied; not required; default field class; no
//     default values, no validations)
//   "Audit Changed At"   DateTime, default: the current date and time
//   "Audit User ID"      WideString(100)
//   "Audit Custom Data"  WideString(100)
//   "Audit Update Type"  WideChar
//   indexes "By Changed At and User ID" and "By User ID and Changed At"
//     (file 0, duplicates allowed, composite keys over the two fields)
//   record storage: heap records, engine "Variable", compression "Smart"
//
// A log that still matches the table keeps its rows (its two text fields are
// widened to 100 characters when narrower); one that no longer does is kept
// under the next free name "Audit Log Old_<n>" and a fresh log is made, so
// that no logged row is lost by a change of the table.
//
// Stream body, after the item header:
//   integer  2 (version 1 bodies, without IncludeBlobFields, still read)
//   list begin
//   boolean  UseAudit
//   boolean  IncludeBlobFields (version 2)
//   list end
// The events are the owner's and are not streamed.
//
// Layer: data dictionary; calls the table descriptor and the units below it.
// Threading: as every dictionary item; the events run on the thread that
// checks the dictionary.
#pragma once

#include <functional>

#include "dictionary/mvsdTableDescriptor.h"

MV_DECLARE_EXCEPTION(EmvAuditDescriptorException, EmvBaseCustomDescriptorException)

// The owner's part in the check: told of a log table made or of an old log
// that got a new name, and asked whether the old log may be thrown away.
using TmvAuditOnChildtableCreated = std::function<void(const String& aChildname)>;
using TmvAuditOnChildtableRenamed = std::function<void(const String& aOldChildname, const String& aNewChildname)>;
using TmvAuditOnCanDiscardAuditTable = std::function<void(bool& aCanDiscard)>;

// The name of the log table and the prefix of the names old logs keep.
inline constexpr char16_t mvAuditLogTableName[] = u"Audit Log";
inline constexpr char16_t mvAuditLogOldPrefix[] = u"Audit Log Old_";

class TmvAuditDescriptor : public TmvBaseCustomDescriptor {
  MV_DECLARE_CLASSREF(TmvCustomDescriptorClassRef)
 public:
  TmvAuditDescriptor(TPersistent* aParent, const String& aName) : TmvBaseCustomDescriptor(aParent, aName) {}

  bool GetUseAudit() const { return adUseAudit; }
  bool GetIncludeBlobFields() const { return adIncludeBlobFields; }
  // Each: CheckReadOnly, then store.
  void SetUseAudit(bool aValue);
  void SetIncludeBlobFields(bool aValue);

  // Called only from CheckValid. An event that raises stops the check
  // there; what was changed before it stays.
  TmvAuditOnChildtableCreated OnChildtableCreated;
  TmvAuditOnChildtableRenamed OnChildtableRenamed;
  TmvAuditOnCanDiscardAuditTable OnCanDiscardAuditTable;

  // With aForBuild and UseAudit: the log table is made, kept in step or
  // moved aside (see the .cpp); 8712 without a data dictionary or table
  // above; the errors of the table, field and index operations pass
  // through (15500 on a read-only dictionary) and leave what was done so
  // far. Then the custom descriptor's own check.
  void CheckValid(bool aForBuild) override;
  // The custom descriptor's test, then equal UseAudit and IncludeBlobFields.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // A version other than 1 or 2 raises 15498.
  void LoadFromReader(TmvReader& aReader) override;

 private:
  void KeepAuditLog();
  TmvNestedTableDescriptor* CreateLogTable(TmvTablesDescriptor& aTables, TmvFieldsDescriptor& aSource);
  // Gives the field of that name 100 units when it has fewer and places
  // the fields anew; a friend of the field descriptor for that.
  static void WidenField(TmvFieldsDescriptor& aFields, const String& aName);

  bool adUseAudit = false;
  bool adIncludeBlobFields = false;
};

// True when the audit fields descriptor holds more fields than the original
// one, each original field i matches audit field i (exactly equal names,
// storage-compatible types, equal units, decimals, offset and length, own
// locales both absent or both present and equal), and the four audit
// fields are there by name.
bool FieldsDescriptorContainsAllFields(TmvFieldsDescriptor* aAuditFieldsDescriptor,
                                       TmvFieldsDescriptor* aOriginalFieldsDescriptor);
