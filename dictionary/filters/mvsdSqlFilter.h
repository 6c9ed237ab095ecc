// Data dictionary: the SQL filter, a filter whose condition is the text of
// an SQL search condition (what would follow WHERE).
//
// The dictionary defines the descriptor, the engine and an abstract
// statement; the condition itself is compiled and evaluated by the SQL
// engine, which is a layer above this one and is reached only through the
// process-wide class variable `SqlFilterStatementClass`: the SQL engine's
// unit start-up stores its statement class there when the variable is
// still nil, and its shutdown clears it when it still holds that class.
// The statement reads the record under test back through the filter's
// fields source (`ResolveExternalColumn`, `GetExternalColumn`).
//
// Stream form, after the class name (mvsdFilterDescriptor.h):
//
// | size    | content                                                        |
// |---------|----------------------------------------------------------------|
// | 1       | version: 1 ANSI text (system ANSI code page), 2 UTF-16 text;   |
// |         | the writer always writes 2                                     |
// | 4       | t, the text length in characters, signed                       |
// | t or 2t | the text                                                       |
//
// Layer: data dictionary; calls the foundation and the filter framework.
// Threading: an engine, and so its statement, is used by one thread at a
// time, the one holding the owning cursor's session lock; the class
// variable may be read from any thread.
#pragma once

#include <atomic>

#include "dictionary/filters/mvsdFilterEngine.h"

class TmvLocaleDescriptor;
class TmvBaseSqlFilterDescriptor;
class TmvBaseSqlFilterStatement;

MV_DECLARE_EXCEPTION(EmvBaseSqlFilterDescriptorException, EmvBaseFilterDescriptorException)
MV_DECLARE_EXCEPTION(EmvSqlFilterDescriptorException, EmvBaseSqlFilterDescriptorException)
MV_DECLARE_EXCEPTION(EmvBaseSqlFilterEngineException, EmvBaseFilterEngineException)
MV_DECLARE_EXCEPTION(EmvSqlFilterEngineException, EmvBaseSqlFilterEngineException)

// ---------------------------------------------------------------------------
// Descriptors

// The family record of SQL filter descriptors: the virtual constructor
// Create (aExpression).
struct TmvSqlFilterDescriptorClassRef : TmvFilterDescriptorClassRef {
  TmvBaseSqlFilterDescriptor* (*CreateSqlFilter)(const String& aExpression);
};

template <typename T>
TmvBaseSqlFilterDescriptor* mvCreateSqlFilterDescriptor(const String& aExpression) {
  return new T(aExpression);
}

class TmvBaseSqlFilterDescriptor : public TmvBaseFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvSqlFilterDescriptorClassRef)
 public:
  explicit TmvBaseSqlFilterDescriptor(const String& aExpression) : bsfdExpression(aExpression) {}
  const String& GetExpression() const { return bsfdExpression; }

 protected:
  String bsfdExpression;
};

class TmvSqlFilterDescriptor : public TmvBaseSqlFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvSqlFilterDescriptorClassRef)
 public:
  using TmvBaseSqlFilterDescriptor::TmvBaseSqlFilterDescriptor;

  // Reads the descriptor's own data (the class name already read). A
  // version other than 1 or 2, a missing length, a negative length and a
  // text shorter than its length raise 15498, before anything is allocated.
  static TmvBaseFilterDescriptor* FromStream(TStream& aStream);
  // 0; 10051 "Invalid Filter" with a message for a text that a signed
  // 32-bit length cannot state (nothing is then written).
  uint32_t WriteToStream(TStream& aStream, int32_t aVersion) override;
};

// ---------------------------------------------------------------------------
// The statement the SQL engine supplies

// The family record of filter statements: the virtual constructor Create
// (aFieldsSource, aSqlText), which compiles the condition and raises on
// syntax errors.
struct TmvSqlFilterStatementClassRef : ClassRef {
  TmvBaseSqlFilterStatement* (*CreateStatement)(ImvFieldsSource* aFieldsSource, const String& aSqlText);
};

// A compiled condition over the records of one fields source. Owned by its
// engine.
class TmvBaseSqlFilterStatement : public TmvObject {
 public:
  // Keeps a counted reference to the fields source; the text is for the
  // descendant, which compiles it.
  TmvBaseSqlFilterStatement(ImvFieldsSource* aFieldsSource, const String& aSqlText);

  // True when the compiled condition holds for the buffer under test.
  virtual bool Evaluate() = 0;

  // Evaluate with aBuffer under test. Any exception Evaluate raises makes
  // the answer false and is written to the dictionary's log; the statement
  // stays usable. An assertion failure is passed on.
  bool MatchesBuffer(const void* aBuffer);
  // The field index of the column aName in the fields source (a negative
  // answer as the source gives it), with its type, units, decimals and
  // locale; -1 for a BLOB field when the source supports no BLOBs. The SQL
  // engine resolves outer column names through it.
  int32_t ResolveExternalColumn(const String& aName, TmvFieldType& aType, int32_t& aUnits, int32_t& aDecimals,
                                TmvLocaleDescriptor*& aLocaleDescriptor);
  // Field aIndex of the buffer under test; unassigned outside MatchesBuffer.
  void GetExternalColumn(int32_t aIndex, Variant& aValue);

  ImvFieldsSource* FieldsSource() const { return bsfsFieldsSource.get(); }

 protected:
  TInterfacePtr<ImvFieldsSource> bsfsFieldsSource;
  const void* bsfsBuffer = nullptr;  // nil outside a test
};

// The statement class of the SQL engine; nil until its unit has started.
extern std::atomic<const TmvSqlFilterStatementClassRef*> SqlFilterStatementClass;

// ---------------------------------------------------------------------------
// Engines

class TmvBaseSqlFilterEngine : public TmvBaseFilterEngine {
  MV_DECLARE_CLASSREF(TmvFilterEngineClassRef)
 public:
  using TmvBaseFilterEngine::TmvBaseFilterEngine;
};

// Owns the statement compiled from its condition.
class TmvSqlFilterEngine : public TmvBaseSqlFilterEngine {
  MV_DECLARE_CLASSREF(TmvFilterEngineClassRef)
 public:
  // Compiles the descriptor's text through SqlFilterStatementClass; without
  // one raises 12289 "SQL Filters require SqlFilterStatementClass to be
  // assigned"; the statement's own exceptions pass on.
  // Requires: aDescriptor is a TmvSqlFilterDescriptor (an assertion
  // otherwise).
  TmvSqlFilterEngine(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource);
  ~TmvSqlFilterEngine() override;

  TmvBaseFilterDescriptor* CreateDescriptor() override;
  // True when inactive or for a nil buffer; otherwise the statement's answer.
  bool MatchesBuffer(const void* aBuffer) override;
  // Adds "Expression".
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

 private:
  String sfeExpression;
  TmvBaseSqlFilterStatement* sfeStatement = nullptr;  // owned
};
