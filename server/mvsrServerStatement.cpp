// Server engine: the statement of the in-process engine and the key fields
// source. See mvsrServerStatement.h.
#include "server/mvsrServerStatement.h"

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "server/mvsrServerEngine.h"

constinit const ClassRef TmvServerStatement::StaticClass{u"TmvServerStatement", &TmvAbstractStatement::StaticClass};

TmvServerStatement::TmvServerStatement(TmvSqlAbstractDatabase* aDatabase, uint32_t aTimeout)
    : TmvAbstractStatement(aDatabase, aTimeout) {}

template <typename F>
uint32_t TmvServerStatement::Locked(F&& aWork) {
  mvHookSetOperationDeadline(GetTimeout(), false);
  ImvSimpleLock* lock = GetLock();
  lock->Lock();
  uint32_t result;
  try {
    result = aWork();
  } catch (...) {
    uint32_t ignored = 0;
    lock->Unlock(ignored);
    throw;
  }
  lock->Unlock(result);
  return result;
}

uint32_t TmvServerStatement::Prepare(TmvStatementType aStatementType, const String& aQueryText, TStream* aStream) {
  return Locked([&] { return ssPrepare(aStatementType, aQueryText, aStream); });
}

uint32_t TmvServerStatement::SetParams(TmvSqlParamList* aParams, TStream* aStream) {
  return Locked([&] { return ssSetParams(aParams, aStream); });
}

uint32_t TmvServerStatement::GetParams(TmvSqlParamList* aParams, TStream* aStream) {
  return Locked([&] { return ssGetParams(aParams, aStream); });
}

uint32_t TmvServerStatement::Exec(TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode, TStream* aStream) {
  return Locked([&] {
    asExecDirect = false;
    TmvSessionStats::Count(sscStatements, 1);
    auto* engine = dynamic_cast<TmvServerEngine*>(GetServerEngine());
    if (engine) engine->seExecutingStatements.fetch_add(1, std::memory_order_acq_rel);
    uint32_t result;
    try {
      result = ssExec(aCursor, aOpenMode, aStream);
    } catch (...) {
      if (engine) engine->seExecutingStatements.fetch_sub(1, std::memory_order_acq_rel);
      throw;
    }
    if (engine) {
      engine->seExecutingStatements.fetch_sub(1, std::memory_order_acq_rel);
      engine->seExecutedStatements.fetch_add(1, std::memory_order_acq_rel);
    }
    return result;
  });
}

// ---------------------------------------------------------------------------
// TmvKeyFieldsSource

bool TmvKeyFieldsSource::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldsSource) {
    *obj = static_cast<ImvFieldsSource*>(this);
    _AddRef();
    return true;
  }
  return TmvInterfacedObject::GetInterface(iid, obj);
}

TInterfacePtr<ImvFieldsSource> TmvKeyFieldsSource::KeySource() {
  TmvBaseKeyEngine* engine = kfsOwner->CurrentKeyEngine();
  void* source = nullptr;
  if (!engine || engine->QueryInterface(IID_ImvFieldsSource, &source) != S_OK || !source) return {};
  return TInterfacePtr<ImvFieldsSource>::Adopt(static_cast<ImvFieldsSource*>(source));
}

bool TmvKeyFieldsSource::GetFieldForFilter(int32_t aField, const String& aName, const void* aData,
                                           TmvFieldType& aType, uint16_t& aSize, bool& aIsNull,
                                           const void*& aValue, uint16_t& aCodePage) {
  TInterfacePtr<ImvFieldsSource> source = KeySource();
  return source && source->GetFieldForFilter(aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

Variant TmvKeyFieldsSource::GetFieldAsVariant(const void* aData, int32_t aIndex) {
  TInterfacePtr<ImvFieldsSource> source = KeySource();
  return source ? source->GetFieldAsVariant(aData, aIndex) : Variant();
}

bool TmvKeyFieldsSource::BlobsSupported() {
  TInterfacePtr<ImvFieldsSource> source = KeySource();
  return source && source->BlobsSupported();
}

int32_t TmvKeyFieldsSource::GetFieldFromName(const String& aName) {
  TInterfacePtr<ImvFieldsSource> source = KeySource();
  return source ? source->GetFieldFromName(aName) : -1;
}

int32_t TmvKeyFieldsSource::GetFieldCount() {
  TInterfacePtr<ImvFieldsSource> source = KeySource();
  return source ? source->GetFieldCount() : 0;
}

ImvFieldDescriptor* TmvKeyFieldsSource::GetFieldDescriptor(int32_t aIndex) {
  TInterfacePtr<ImvFieldsSource> source = KeySource();
  return source ? source->GetFieldDescriptor(aIndex) : nullptr;
}

int32_t TmvKeyFieldsSource::GetFieldsOffset() {
  TInterfacePtr<ImvFieldsSource> source = KeySource();
  return source ? source->GetFieldsOffset() : 0;
}
