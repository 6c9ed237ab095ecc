// Data dictionary: validation engines and the validations handler.
//
// When a cursor (or a dataset) is opened for writing, a
// `TmvValidationsHandler` is made for one side (server or client). It holds
// one engine per validations list that applies on that side: the
// record-level list of the fields descriptor (`TmvFieldsValidationsEngine`)
// and the list of each field (`TmvFieldValidationsEngine`, made also for a
// required field without a list). Each list engine holds one engine per
// validation that applies on its side, found by name in the validation
// engine registry (the descriptor's class name with "Descriptor" replaced by
// "Engine"); a required field gets a `TmvNotNullValidationEngine` first, at
// the server. On every insert and modify the handler runs them over the old
// and the new record buffer and raises on the first failure, with a message
// that names the validation and the field:
//
//   Field validation "<validation>" for field "<field>" failed: <detail>
//   Fields validation "<validation>" failed: <detail>       (record level)
//
// The detail is the code's standard text (the code-text marker, which the
// message formatting replaces), or a CHECK validation's own message.
//
// An SQL CHECK condition is compiled and evaluated by the SQL engine, a
// layer above, reached only through the class variable
// `mvSqlCheckStatementClass`: the SQL engine's unit start-up stores its
// statement class there when it is still unset and its shutdown clears it
// when it still holds that class. Without it a CHECK validation can be
// built, but every evaluation raises 12289.
//
// Layer: data dictionary; calls the validation descriptors, the fields
// descriptor, the composite key field engines and, through
// ImvDictionaryCursor, the cursor the handler is made for.
//
// Ownership and threads: a handler owns its list engines, each list engine
// its validation engines, which own their key field engines and statements.
// A handler belongs to one cursor and is used by the thread that works with
// it. Engines keep plain pointers into the dictionary (frozen while they
// live) and to the cursor, which must outlive them; making them changes
// nothing in the dictionary but the fields descriptor's cached engine class.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/mvsdDictionaryCursor.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllRegistry.h"

class TmvBaseFieldValidationEngine;
class TmvBaseSqlCheckStatement;
class TmvBaseValidationEngine;
class TmvBaseValidationsEngine;
class TmvCompositeKeyFieldEngine;
class TmvFieldDescriptor;
class TmvFieldsDescriptor;
class TmvFieldsValidationsEngine;
class TmvFieldValidationsEngine;
class TmvLocaleDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseValidationsEngineException, EmvBaseRegisterableEngineException)
MV_DECLARE_EXCEPTION(EmvBaseValidationEngineException, EmvBaseRegisterableEngineException)
MV_DECLARE_EXCEPTION(EmvBaseFieldValidationEngineException, EmvBaseValidationEngineException)
MV_DECLARE_EXCEPTION(EmvMinMaxValidationEngineException, EmvBaseFieldValidationEngineException)
MV_DECLARE_EXCEPTION(EmvNoChangeValidationEngineException, EmvBaseFieldValidationEngineException)
MV_DECLARE_EXCEPTION(EmvSqlCheckValidationEngineException, EmvBaseFieldValidationEngineException)
MV_DECLARE_EXCEPTION(EmvNotNullValidationEngineException, EmvBaseFieldValidationEngineException)

// The message pieces of a failure.
inline constexpr char16_t SmvFieldValidationFailedPrefix[] = u"Field validation \"";
inline constexpr char16_t SmvFieldValidationFailedField[] = u"\" for field \"";
inline constexpr char16_t SmvFieldValidationFailedInfix[] = u"\" failed: ";
inline constexpr char16_t SmvFieldsValidationFailedPrefix[] = u"Fields validation \"";
// The name of the validation a required field gets.
inline constexpr char16_t SmvRequiredValidationName[] = u"$required";

// ---------------------------------------------------------------------------
// Class records

// The record-level list engines: Create (aFieldsDescriptor, aCursor,
// aApplyAt, aDescriptor).
struct TmvFieldsValidationsEngineClassRef : TmvRegisterableEngineClassRef {
  TmvFieldsValidationsEngine* (*Construct)(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor* aCursor,
                                           TmvApplyAt aApplyAt, TmvFieldValidationsDescriptor* aDescriptor);
};

// The field list engines: Create (aFieldsDescriptor, aCursor, aApplyAt,
// aDescriptor (nil for a required field without list), aFieldIndex).
struct TmvFieldValidationsEngineClassRef : TmvRegisterableEngineClassRef {
  TmvFieldValidationsEngine* (*Construct)(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor* aCursor,
                                          TmvApplyAt aApplyAt, TmvFieldValidationsDescriptor* aDescriptor,
                                          int32_t aFieldIndex);
};

// The validation engines: Create (aParent, aDescriptor, aCursor); nil for
// the abstract classes.
struct TmvValidationEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseValidationEngine* (*Construct)(TmvBaseValidationsEngine* aParent,
                                        TmvBaseFieldValidationDescriptor* aDescriptor, ImvDictionaryCursor* aCursor);
};

// An exception class as a validation engine raises it: the routine that
// raises it with a code and a text.
using TmvValidationExceptionClass = void (*)(int32_t aErrorCode, const String& aMessage);

template <typename E>
void mvRaiseValidationException(int32_t aErrorCode, const String& aMessage) {
  throw E(aErrorCode, aMessage);
}

// ---------------------------------------------------------------------------
// List engines

// The engines of one validations list, in list order.
class TmvBaseValidationsEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvRegisterableEngineClassRef)
 public:
  TmvBaseValidationsEngine(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor* aCursor);
  ~TmvBaseValidationsEngine() override;

  // Runs every engine over the records; the first failure raises. aOldRecord
  // is nil on insert.
  virtual void ValidateRecord(const void* aOldRecord, const void* aNewRecord) = 0;

  TmvFieldsDescriptor* GetFieldsDescriptor() const { return bveFieldsDescriptor; }
  int32_t EngineCount() const { return int32_t(veEngines.size()); }

 protected:
  // Makes the engine of each validation of aDescriptor that applies at
  // aApplyAt, in order. An engine that cannot run in this list (a field
  // validation in a record-level list) raises 10004.
  void AddEngines(TmvFieldValidationsDescriptor* aDescriptor, TmvApplyAt aApplyAt, ImvDictionaryCursor* aCursor);
  // Takes ownership of aEngine (nothing for nil).
  void AddEngine(TmvBaseValidationEngine* aEngine);
  // Whether the list can run aEngine.
  virtual bool Accepts(TmvBaseFieldValidationEngine* aEngine) const = 0;

  TmvFieldsDescriptor* bveFieldsDescriptor;  // not owned
  // Owned. Every engine of a list is a field validation engine; those of a
  // record-level list are record-level engines.
  std::vector<std::unique_ptr<TmvBaseFieldValidationEngine>> veEngines;
};

// The record-level validations of a table.
class TmvFieldsValidationsEngine : public TmvBaseValidationsEngine {
  MV_DECLARE_CLASSREF(TmvFieldsValidationsEngineClassRef)
 public:
  TmvFieldsValidationsEngine(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor* aCursor,
                             TmvApplyAt aApplyAt, TmvFieldValidationsDescriptor* aDescriptor);

  // Nil when the fields descriptor has no record-level list or none of its
  // validations applies at aApplyAt. The engine class is the one cached in
  // the fields descriptor or, on first use, the one registered under the
  // list's class name with "Descriptor" replaced by "Engine", then cached;
  // none raises 15503 "Unknown Validations engine: \"%s\"".
  static TmvFieldsValidationsEngine* CreateFor(TmvFieldsDescriptor* aFieldsDescriptor, TmvApplyAt aApplyAt,
                                               ImvDictionaryCursor* aCursor);

  // Every engine's ValidateRecord, in order.
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) override;

  static TmvClassRegistry* Registry();

 protected:
  bool Accepts(TmvBaseFieldValidationEngine* aEngine) const override;

  TmvFieldValidationsDescriptor* veFieldsValidationsDescriptor;  // not owned
};

// The validations of one field.
class TmvFieldValidationsEngine : public TmvBaseValidationsEngine {
  MV_DECLARE_CLASSREF(TmvFieldValidationsEngineClassRef)
 public:
  // A required field gets a not-null engine first, at the server only.
  TmvFieldValidationsEngine(TmvFieldsDescriptor* aFieldsDescriptor, ImvDictionaryCursor* aCursor,
                            TmvApplyAt aApplyAt, TmvFieldValidationsDescriptor* aDescriptor, int32_t aFieldIndex);

  // For a field with a validations list, the engine class registered under
  // the list's class name (15503 "Unknown Validations engine: \"%s\"" when
  // none); for a required field without list, this class; otherwise nil.
  // Nil also when the engine would run nothing at aApplyAt.
  // Requires: 0 <= aFieldIndex < the field count.
  static TmvFieldValidationsEngine* CreateFor(TmvFieldsDescriptor* aFieldsDescriptor, int32_t aFieldIndex,
                                              TmvApplyAt aApplyAt, ImvDictionaryCursor* aCursor);

  // The field's bytes in each record (nil for a nil record or a null field)
  // go to every engine's ValidateField, in order.
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) override;

  TmvFieldDescriptor* GetFieldDescriptor() const { return veFieldDescriptor; }
  int32_t GetFieldIndex() const { return veFieldIndex; }

  static TmvClassRegistry* Registry();

 protected:
  bool Accepts(TmvBaseFieldValidationEngine* aEngine) const override;

  TmvFieldDescriptor* veFieldDescriptor;                        // not owned
  int32_t veFieldIndex;
  TmvFieldValidationsDescriptor* veFieldValidationsDescriptor;  // not owned; nil without list
};

// ---------------------------------------------------------------------------
// Validation engines

// One validation, owned by its list engine.
class TmvBaseValidationEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvValidationEngineClassRef)
 public:
  // Takes the validation's name (none without descriptor).
  TmvBaseValidationEngine(TmvBaseValidationsEngine* aParent, TmvBaseFieldValidationDescriptor* aDescriptor,
                          ImvDictionaryCursor* aCursor);

  // Nil without descriptor or when its ApplyAt does not hold aApplyAt;
  // otherwise an engine of the class registered under the descriptor's
  // class name with "Descriptor" replaced by "Engine" (15503 "Unknown
  // Validation engine: \"%s\"" when none). The caller owns it.
  static TmvBaseValidationEngine* CreateFor(TmvBaseValidationsEngine* aParent,
                                            TmvBaseFieldValidationDescriptor* aDescriptor, TmvApplyAt aApplyAt,
                                            ImvDictionaryCursor* aCursor);

  const String& GetName() const { return bveName; }

  static TmvClassRegistry* Registry();

 protected:
  TmvBaseValidationsEngine* bveParent;              // not owned
  TmvBaseFieldValidationDescriptor* bveDescriptor;  // not owned; nil for not null
  String bveName;
  ImvDictionaryCursor* bveCursor;  // not owned; may be nil
};

// A validation of one field's values.
class TmvBaseFieldValidationEngine : public TmvBaseValidationEngine {
  MV_DECLARE_CLASSREF(TmvValidationEngineClassRef)
 public:
  // Takes the field's name when the parent is a field validations engine.
  TmvBaseFieldValidationEngine(TmvBaseValidationsEngine* aParent, TmvBaseFieldValidationDescriptor* aDescriptor,
                               ImvDictionaryCursor* aCursor);

  // The exception class a failure raises.
  virtual TmvValidationExceptionClass GetExceptionClass() const = 0;
  // The detail of the failure message: the code-text marker here, which
  // the message formatting replaces by the code's standard text.
  virtual String GetFailureText() const;
  // Raises the exception class with aErrorCode and the message "Field
  // validation \"<name>\" for field \"<field>\" failed: <detail>".
  virtual void ValidationFailed(int32_t aErrorCode);
  // aOldField and aNewField point at the field's bytes in aOldRecord and
  // aNewRecord, nil for a null field or a missing record (aOldRecord is nil
  // on insert). Raises through ValidationFailed when the check fails.
  virtual void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                             const void* aNewRecord) = 0;

  const String& GetFieldName() const { return bfvFieldName; }

 protected:
  String bfvFieldName;
};

// A validation that may also check a whole record.
class TmvBaseFieldsValidationEngine : public TmvBaseFieldValidationEngine {
  MV_DECLARE_CLASSREF(TmvValidationEngineClassRef)
 public:
  using TmvBaseFieldValidationEngine::TmvBaseFieldValidationEngine;

  // Without a field name: "Fields validation \"<name>\" failed: <detail>".
  void ValidationFailed(int32_t aErrorCode) override;
  virtual void ValidateRecord(const void* aOldRecord, const void* aNewRecord) = 0;
};

// A required field must not be null: 9732 "Field value required.".
class TmvNotNullValidationEngine : public TmvBaseFieldValidationEngine {
  MV_DECLARE_CLASSREF(TmvValidationEngineClassRef)
 public:
  // Named "$required"; aDescriptor is nil.
  TmvNotNullValidationEngine(TmvBaseValidationsEngine* aParent, TmvBaseFieldValidationDescriptor* aDescriptor,
                             ImvDictionaryCursor* aCursor);
  TmvValidationExceptionClass GetExceptionClass() const override;
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;
};

// A value that is set must lie within the limits, as the key field engine
// of the descriptor's key field compares: below the lower one 9730
// "Minimum validity check failed.", above the upper one 9731 "Maximum
// validity check failed.".
class TmvMinMaxValidationEngine : public TmvBaseFieldValidationEngine {
  MV_DECLARE_CLASSREF(TmvValidationEngineClassRef)
 public:
  // Requires a key field in the descriptor (CheckValid adds it; else 10004)
  // and limits that fit the field (10001).
  TmvMinMaxValidationEngine(TmvBaseValidationsEngine* aParent, TmvBaseFieldValidationDescriptor* aDescriptor,
                            ImvDictionaryCursor* aCursor);
  ~TmvMinMaxValidationEngine() override;
  TmvValidationExceptionClass GetExceptionClass() const override;
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

 private:
  TmvMinMaxValidationDescriptor* mmveMinMaxDescriptor;  // not owned
  std::unique_ptr<TmvCompositeKeyFieldEngine> mmveKeyFieldEngine;
  TBytes mmveMin;
  TBytes mmveMax;
};

// A modify may not change a value that is set nor clear it (10502 "Trying
// to modify read-only field."); a null value may be set, and inserts pass.
class TmvNoChangeValidationEngine : public TmvBaseFieldValidationEngine {
  MV_DECLARE_CLASSREF(TmvValidationEngineClassRef)
 public:
  // Requires a key field in the descriptor (CheckValid adds it; else 10004).
  TmvNoChangeValidationEngine(TmvBaseValidationsEngine* aParent, TmvBaseFieldValidationDescriptor* aDescriptor,
                              ImvDictionaryCursor* aCursor);
  ~TmvNoChangeValidationEngine() override;
  TmvValidationExceptionClass GetExceptionClass() const override;
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;

 private:
  TmvNoChangeValidationDescriptor* ncveNoChangeDescriptor;  // not owned
  std::unique_ptr<TmvCompositeKeyFieldEngine> ncveKeyFieldEngine;
};

// The CHECK condition must not be false (an unknown result passes): 9751
// "Expression validity check failed.", or the descriptor's own message.
// As a record-level validation it is evaluated with nil fields.
class TmvSqlCheckValidationEngine : public TmvBaseFieldsValidationEngine {
  MV_DECLARE_CLASSREF(TmvValidationEngineClassRef)
 public:
  // Compiles the condition through mvSqlCheckStatementClass when it is set
  // (its errors pass on); without it the engine is made, and every
  // evaluation raises 12289 "Evaluation of CHECK constraint requires an SQL
  // engine".
  TmvSqlCheckValidationEngine(TmvBaseValidationsEngine* aParent, TmvBaseFieldValidationDescriptor* aDescriptor,
                              ImvDictionaryCursor* aCursor);
  ~TmvSqlCheckValidationEngine() override;
  TmvValidationExceptionClass GetExceptionClass() const override;
  // The descriptor's error message when it has one.
  String GetFailureText() const override;
  void ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                     const void* aNewRecord) override;
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord) override;

 private:
  TmvSqlCheckValidationDescriptor* scveSqlCheckDescriptor;  // not owned
  std::unique_ptr<TmvBaseSqlCheckStatement> scveSqlCheckStatement;  // nil without SQL engine
};

// Registers the six engine classes in their registries, in order;
// unregistering them frees the registries. Called by the dictionary's
// start-up and shutdown.
void mvRegisterValidationEngines();
void mvUnregisterValidationEngines();

// ---------------------------------------------------------------------------
// The CHECK statement the SQL engine supplies

// The family record of CHECK statements: the virtual constructor Create
// (aFieldsDescriptor, aFieldDescriptor, aCursor, aSqlText), which compiles
// the condition and raises on errors in it.
struct TmvSqlCheckStatementClassRef : ClassRef {
  TmvBaseSqlCheckStatement* (*CreateStatement)(TmvFieldsDescriptor* aFieldsDescriptor,
                                               TmvFieldDescriptor* aFieldDescriptor, ImvDictionaryCursor* aCursor,
                                               const String& aSqlText);
};

// The statement class of the SQL engine; nil until its unit has started.
extern std::atomic<const TmvSqlCheckStatementClassRef*> mvSqlCheckStatementClass;

// A compiled CHECK condition over the records of one table, owned by its
// engine. The condition names fields of the new record by name and of the
// old one as "OLD$" + name; in a field's check "NEW" and "OLD" stand for
// the checked field's new and old value. The statement reads them through
// ResolveFieldName and GetFieldValue, which answer for the records under
// test during ValidateField only.
class TmvBaseSqlCheckStatement : public TmvObject {
 public:
  // The references ResolveFieldName gives: a field number, plus
  // mvSqlCheckOldRecord for the old record; the checked field is the
  // number mvSqlCheckField.
  static constexpr int32_t mvSqlCheckOldRecord = 0x10000;
  static constexpr int32_t mvSqlCheckField = 0xFFFF;

  // aFieldDescriptor is the checked field, nil for a record-level check;
  // aCursor may be nil. The text is for the descendant, which compiles it.
  TmvBaseSqlCheckStatement(TmvFieldsDescriptor* aFieldsDescriptor, TmvFieldDescriptor* aFieldDescriptor,
                           ImvDictionaryCursor* aCursor, const String& aSqlText);

  // Whether the condition may read BLOB fields: false here.
  virtual bool SupportsBlobs();
  // The value of a BLOB of the old or new record: Unassigned here.
  virtual void GetBlobValue(TmvFieldDescriptor* aFieldDescriptor, bool aOld, TmvBlobNr aBlobNr, Variant& aValue);
  // True when the condition holds (is not false) for the records under test.
  virtual bool Evaluate() = 0;

  // Evaluate with these records and fields under test. Any exception
  // Evaluate raises makes the answer false and is written to the
  // dictionary's log; an assertion failure passes on.
  bool ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField, const void* aNewRecord);
  // The reference of a name (case ignored) and the field's type, units,
  // decimals and used locale; for an unknown name the negative lookup
  // result, for a BLOB field -1 unless SupportsBlobs.
  int32_t ResolveFieldName(const String& aName, TmvFieldType& aType, int32_t& aUnits, int32_t& aDecimals,
                           TmvLocaleDescriptor*& aLocaleDescriptor);
  // The value a reference stands for in the records under test: Unassigned
  // for a null field, a missing record and an unknown reference.
  void GetFieldValue(int32_t aReference, Variant& aValue);

 protected:
  // The content of a BLOB read through the cursor: memo and wide memo as
  // text (in the field's storage code page), other BLOBs as a byte array;
  // Unassigned without a cursor. A read the cursor refuses raises its code.
  // For descendants that support BLOBs.
  void ReadBlobValue(TmvFieldDescriptor* aFieldDescriptor, TmvBlobNr aBlobNr, Variant& aValue);

  TmvFieldsDescriptor* bscsFieldsDescriptor;  // not owned
  TmvFieldDescriptor* bscsFieldDescriptor;    // not owned; nil for a record-level check
  int32_t bscsFieldIndex = -1;
  int32_t bscsFieldSize = 0;
  TmvFieldType bscsFieldType = mvtBoolean;
  uint16_t bscsFieldCodepage = 0;
  int32_t bscsFieldUnits = 0;
  int32_t bscsFieldDecPl = 0;
  ImvDictionaryCursor* bscsCursor;  // not owned; may be nil
  // The records and fields under test, nil outside ValidateField.
  const void* bscsOldRecord = nullptr;
  const void* bscsOldField = nullptr;
  const void* bscsNewRecord = nullptr;
  const void* bscsNewField = nullptr;

 private:
  void ReadValue(TmvFieldDescriptor* aField, const void* aBytes, bool aOld, Variant& aValue);
};

// ---------------------------------------------------------------------------
// TmvValidationsHandler

// The validation engines of one table for one side. Requires: every record
// handed in is laid out by the fields descriptor the handler was made for,
// which outlives the handler together with the cursor.
class TmvValidationsHandler : public TmvObject {
 public:
  // A handler for aApplyAt: the record-level engine first, then the engine
  // of each field in field order; nil when there would be none. An engine
  // that cannot be made raises, and nothing is kept.
  static TmvValidationsHandler* CreateFor(TmvFieldsDescriptor* aFieldsDescriptor, TmvApplyAt aApplyAt,
                                          ImvDictionaryCursor* aCursor);
  ~TmvValidationsHandler() override;

  // Every engine in order over the records (aOldRecord nil on insert); the
  // first failure raises and ends the run.
  void ValidateRecord(const void* aOldRecord, const void* aNewRecord);
  // The engine of field aField only, or the record-level engine for -1;
  // nothing when there is none. aField outside -1..N-1 raises 9999.
  void ValidateField(const void* aOldRecord, const void* aNewRecord, int32_t aField);

  int32_t EngineCount() const { return int32_t(vhEngines.size()); }

 private:
  explicit TmvValidationsHandler(TmvFieldsDescriptor* aFieldsDescriptor);
  void AddEngine(TmvBaseValidationsEngine* aEngine);

  TmvFieldsDescriptor* vhFieldsDescriptor;                         // not owned
  std::vector<std::unique_ptr<TmvBaseValidationsEngine>> vhEngines;  // owned, in run order
  TmvFieldsValidationsEngine* vhFieldsEngine = nullptr;
  std::vector<TmvFieldValidationsEngine*> vhEnginesByIndex;  // one or nil per field number
};
