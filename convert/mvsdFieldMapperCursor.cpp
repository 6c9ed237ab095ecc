// Field conversion: the calls it makes on the server engine's cursors. See
// mvsdFieldMapperCursor.h.
#include "convert/mvsdFieldMapperCursor.h"

#include "convert/mvsdFieldMapperBase.h"
#include "platform/SysUtils.h"
#include "server/mvseRefIntEngine.h"
#include "server/mvsrServerBaseCursor.h"

namespace {

TmvMapperCursorCalls& Calls() {
  static TmvMapperCursorCalls calls;
  return calls;
}

// The referential-integrity engine's conversion of a field pair: the
// mapper instance travels as the hook's opaque object.
void* CreateRefIntMapper(TmvFieldDescriptor* aSourceField, TmvAbstractCursor* aSourceCursor,
                         TmvFieldDescriptor* aTargetField, TmvAbstractCursor* aTargetCursor,
                         TmvRefIntMapping& aMapping) {
  TmvMappingMethod method;
  TmvBaseFieldMapper* instance =
      TmvBaseFieldMapper::CreateMapper(aSourceField, aSourceCursor, aTargetField, aTargetCursor, nullptr, method);
  aMapping.Code = method.Code;
  aMapping.Data = method.Data;
  return instance;
}

void FreeRefIntMapper(void* aInstance) { delete static_cast<TmvBaseFieldMapper*>(aInstance); }

// The server's cursors. The BLOB calls name no record: the mappers work on
// BLOBs that no stored record holds yet, inside the caller's transaction.
constexpr TmvRecID kNoRecord{};

TmvMapperCursorCalls MakeServerCalls() {
  TmvMapperCursorCalls calls;
  calls.TableDescriptor = [](TmvAbstractCursor* c) { return c->GetTableDescriptor(); };
  calls.DictionaryCursor = [](TmvAbstractCursor* c) -> ImvDictionaryCursor* { return c; };
  calls.AsServerCursor = [](TmvAbstractCursor* c) { return dynamic_cast<TmvServerBaseCursor*>(c); };
  calls.AutoIncGet = [](TmvServerBaseCursor* c) { return c->sbcAutoIncGet(); };
  calls.AutoIncSetDirect = [](TmvServerBaseCursor* c, uint32_t v) { c->sbcAutoIncSetDirect(v); };
  calls.FullName = [](TmvAbstractCursor* c) { return c->acGetFullName(); };
  calls.BlobGetLength = [](TmvServerBaseCursor* c, int32_t f, TmvBlobNr b, uint32_t& l) {
    return c->sbcBlobGetLength(kNoRecord, f, b, l, false, nullptr);
  };
  calls.BlobRead = [](TmvServerBaseCursor* c, int32_t f, TmvBlobNr b, uint32_t o, uint32_t l, TStream* s) {
    return c->sbcBlobRead(kNoRecord, f, b, o, l, s, false, nullptr);
  };
  calls.BlobCreate = [](TmvServerBaseCursor* c, int32_t f, TmvBlobNr& b) { return c->sbcBlobCreate(kNoRecord, f, b); };
  calls.BlobWrite = [](TmvServerBaseCursor* c, int32_t f, TmvBlobNr b, uint32_t o, uint32_t l, const void* d) {
    return c->sbcBlobWrite(kNoRecord, f, b, o, l, d);
  };
  calls.BlobDelete = [](TmvServerBaseCursor* c, int32_t f, TmvBlobNr b) { return c->sbcBlobDelete(kNoRecord, f, b); };
  calls.BlobCopyPrim = [](TmvServerBaseCursor* c, TmvServerBaseCursor* s, int32_t sf, TmvBlobNr b, int32_t df,
                          TmvBlobNr& d, uint32_t m) { return c->sbcBlobCopyPrim(s, sf, b, df, d, m); };
  return calls;
}

}  // namespace

void mvSetMapperCursorCalls(const TmvMapperCursorCalls& aCalls) { Calls() = aCalls; }

const TmvMapperCursorCalls& mvServerMapperCursorCalls() {
  static const TmvMapperCursorCalls calls = MakeServerCalls();
  return calls;
}

TmvBaseTableDescriptor* mvCursorTableDescriptor(TmvAbstractCursor* aCursor) {
  MV_ASSERT(Calls().TableDescriptor != nullptr);
  return Calls().TableDescriptor(aCursor);
}

ImvDictionaryCursor* mvCursorDictionaryCursor(TmvAbstractCursor* aCursor) {
  MV_ASSERT(Calls().DictionaryCursor != nullptr);
  return Calls().DictionaryCursor(aCursor);
}

TmvServerBaseCursor* mvCursorAsServerCursor(TmvAbstractCursor* aCursor) {
  MV_ASSERT(Calls().AsServerCursor != nullptr);
  return Calls().AsServerCursor(aCursor);
}

uint32_t mvCursorAutoIncGet(TmvServerBaseCursor* aCursor) {
  MV_ASSERT(Calls().AutoIncGet != nullptr);
  return Calls().AutoIncGet(aCursor);
}

void mvCursorAutoIncSetDirect(TmvServerBaseCursor* aCursor, uint32_t aValue) {
  MV_ASSERT(Calls().AutoIncSetDirect != nullptr);
  Calls().AutoIncSetDirect(aCursor, aValue);
}

// The remaining calls only pass their arguments on.
#define MV_CURSOR_CALL(Name, Params, Args)     \
  uint32_t mvCursor##Name Params {             \
    MV_ASSERT(Calls().Name != nullptr);        \
    return Calls().Name Args;                  \
  }

String mvCursorFullName(TmvAbstractCursor* aCursor) {
  MV_ASSERT(Calls().FullName != nullptr);
  return Calls().FullName(aCursor);
}

MV_CURSOR_CALL(BlobGetLength, (TmvServerBaseCursor * c, int32_t f, TmvBlobNr b, uint32_t & l), (c, f, b, l))
MV_CURSOR_CALL(BlobRead, (TmvServerBaseCursor * c, int32_t f, TmvBlobNr b, uint32_t o, uint32_t l, TStream * s),
               (c, f, b, o, l, s))
MV_CURSOR_CALL(BlobCreate, (TmvServerBaseCursor * c, int32_t f, TmvBlobNr & b), (c, f, b))
MV_CURSOR_CALL(BlobWrite, (TmvServerBaseCursor * c, int32_t f, TmvBlobNr b, uint32_t o, uint32_t l, const void* d),
               (c, f, b, o, l, d))
MV_CURSOR_CALL(BlobDelete, (TmvServerBaseCursor * c, int32_t f, TmvBlobNr b), (c, f, b))
MV_CURSOR_CALL(BlobCopyPrim,
               (TmvServerBaseCursor * c, TmvServerBaseCursor* s, int32_t sf, TmvBlobNr b, int32_t df, TmvBlobNr& d,
                uint32_t m),
               (c, s, sf, b, df, d, m))

#undef MV_CURSOR_CALL

void mvsdFieldMapperCursorInit() {
  mvSetRefIntMapperHook({&CreateRefIntMapper, &FreeRefIntMapper});
  if (!Calls().TableDescriptor) mvSetMapperCursorCalls(mvServerMapperCursorCalls());
}

void mvsdFieldMapperCursorFini() {
  if (mvGetRefIntMapperHook().CreateMapper == &CreateRefIntMapper) mvSetRefIntMapperHook({});
  if (Calls().TableDescriptor == mvServerMapperCursorCalls().TableDescriptor) mvSetMapperCursorCalls({});
}
