// Data dictionary: the abstract CHECK statement through which an SQL check
// validation evaluates its condition (unit mvsdSqlCheckStatement).
//
// A CHECK constraint is the text of an SQL search condition; compiling and
// evaluating it is the SQL engine's work, a layer above this one, reached
// only through the process-wide class variable `mvSqlCheckStatementClass`:
// the SQL engine's unit start-up stores its statement class there when the
// variable is still nil, and its shutdown clears it when it still holds
// that class. While it is nil no CHECK condition can be evaluated.
//
// Layer: data dictionary; calls the foundation. Threading: a statement is
// used by the thread that validates its cursor's records; the variable may
// be read from any thread.
#pragma once

#include <atomic>

#include "foundation/mvllMemoryManager.h"
#include "foundation/mvsdTypes.h"
#include "platform/Components.h"
#include "platform/Variants.h"

class TmvFieldsDescriptor;
class TmvFieldDescriptor;
class TmvAbstractCursor;  // the server engine's cursor
class TmvBaseSqlCheckStatement;

// The family record of CHECK statements: the virtual constructor, which
// compiles "SELECT * FROM x WHERE " + aSqlText + ";" and raises on syntax
// errors. aFieldDescriptor is nil for a check of the whole record; aCursor
// may be nil (then BLOB fields cannot be read).
struct TmvSqlCheckStatementClassRef : ClassRef {
  TmvBaseSqlCheckStatement* (*CreateStatement)(TmvFieldsDescriptor* aFieldsDescriptor,
                                               TmvFieldDescriptor* aFieldDescriptor, TmvAbstractCursor* aCursor,
                                               const String& aSqlText);
};

// A compiled CHECK condition over the records of one table. Owned by the
// validation engine that made it.
class TmvBaseSqlCheckStatement : public TmvObject {
 public:
  TmvBaseSqlCheckStatement(TmvFieldsDescriptor* aFieldsDescriptor, TmvFieldDescriptor* aFieldDescriptor,
                           TmvAbstractCursor* aCursor)
      : bscsFieldsDescriptor(aFieldsDescriptor), bscsFieldDescriptor(aFieldDescriptor), bscsCursor(aCursor) {}

  // Whether GetBlobValue can read BLOB fields (not here).
  virtual bool SupportsBlobs() { return false; }
  // The value of a BLOB field of the old or new record (Unassigned here).
  virtual void GetBlobValue(TmvFieldDescriptor* aFieldDescriptor, bool aOld, TmvBlobNr aBlobNr, Variant& aValue);
  // True when the condition holds for the record under test.
  virtual bool Evaluate() = 0;

  TmvFieldsDescriptor* bscsFieldsDescriptor;
  TmvFieldDescriptor* bscsFieldDescriptor;  // nil: a check of the whole record
  TmvAbstractCursor* bscsCursor;
};

// The statement class of the SQL engine; nil until its unit has started.
extern std::atomic<const TmvSqlCheckStatementClassRef*> mvSqlCheckStatementClass;
