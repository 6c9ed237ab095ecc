// Server engine: the statement of the in-process engine and the key fields
// source (unit mvsrServerStatement).
//
// `TmvServerStatement` owns no SQL logic: the SQL engine's statement
// derives from it and supplies the four ss operations; this class runs each
// public operation inside the session lock and keeps the engine's statement
// counters and the session's statement statistic. The ss operations convert
// their own exceptions; one that still escapes leaves the lock released and
// passes on.
//
// `TmvKeyFieldsSource` lets filters read the fields of a table cursor's
// current index key: each call asks the owner for the key engine of the
// index it is on now, so switching the cursor's index switches what the
// source reads.
//
// Threads: statements run under their session's lock; the engine's
// counters change atomically. Calls the server's abstract layer and the
// engine.
#pragma once

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "server/mvsdAbstractDatabase.h"

class TmvBaseKeyEngine;

class TmvServerStatement : public TmvAbstractStatement {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  TmvServerStatement(TmvSqlAbstractDatabase* aDatabase, uint32_t aTimeout);

  uint32_t Prepare(TmvStatementType aStatementType, const String& aQueryText, TStream* aStream) override;
  // Counts one session statement and one executed statement (also when the
  // execution fails); the executing count covers the call.
  uint32_t Exec(TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode, TStream* aStream) override;
  uint32_t SetParams(TmvSqlParamList* aParams, TStream* aStream) override;
  uint32_t GetParams(TmvSqlParamList* aParams, TStream* aStream) override;

 protected:
  // The SQL engine's work: tokenise, parse and compile; execute (a result
  // set comes back as a cursor); take parameter values; give output values.
  virtual uint32_t ssPrepare(TmvStatementType aStatementType, const String& aQueryText, TStream* aStream) = 0;
  virtual uint32_t ssExec(TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode, TStream* aStream) = 0;
  virtual uint32_t ssSetParams(TmvSqlParamList* aParams, TStream* aStream) = 0;
  virtual uint32_t ssGetParams(TmvSqlParamList* aParams, TStream* aStream) = 0;

 private:
  // Deadline, lock, the work, Unlock; an escaping exception releases the
  // lock and continues.
  template <typename F>
  uint32_t Locked(F&& aWork);
};

// What a key fields source needs of the table cursor that owns it.
class TmvKeyFieldsOwner {
 public:
  // The key engine of the index the cursor is on now (nil: none).
  virtual TmvBaseKeyEngine* CurrentKeyEngine() = 0;
  // The cursor itself.
  virtual TmvAbstractCursor* OwnerCursor() = 0;

 protected:
  ~TmvKeyFieldsOwner() = default;
};

class TmvKeyFieldsSource : public TmvInterfacedObject, public ImvFieldsSource {
 public:
  // Make with TmvInterfacedObject::Create; the owner outlives the source.
  explicit TmvKeyFieldsSource(TmvKeyFieldsOwner* aOwner) : kfsOwner(aOwner) {}

  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

  // Each forwards to the current key engine's fields source; without one
  // they answer false, an empty value, 0 or -1 (and nil).
  bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType,
                         uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) override;
  Variant GetFieldAsVariant(const void* aData, int32_t aIndex) override;
  bool BlobsSupported() override;
  int32_t GetFieldFromName(const String& aName) override;
  int32_t GetFieldCount() override;
  ImvFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  // The owner.
  TmvAbstractCursor* GetCursor() override { return kfsOwner->OwnerCursor(); }
  int32_t GetFieldsOffset() override;

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;

 private:
  // The fields source of the owner's current key engine (nil when none).
  TInterfacePtr<ImvFieldsSource> KeySource();

  TmvKeyFieldsOwner* kfsOwner;
};
