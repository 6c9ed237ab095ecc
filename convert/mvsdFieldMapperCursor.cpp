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

}  // namespace

void mvSetMapperCursorCalls(const TmvMapperCursorCalls& aCalls) { Calls() = aCalls; }

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

namespace {

// The server cursor's own calls for what the mappers ask of a table's
// records; its BLOB calls are installed where the cursor's BLOBs are built.
TmvBaseTableDescriptor* ServerTableDescriptor(TmvAbstractCursor* aCursor) { return aCursor->GetTableDescriptor(); }
ImvDictionaryCursor* ServerDictionaryCursor(TmvAbstractCursor* aCursor) { return aCursor; }
TmvServerBaseCursor* ServerCursor(TmvAbstractCursor* aCursor) { return dynamic_cast<TmvServerBaseCursor*>(aCursor); }
uint32_t ServerAutoIncGet(TmvServerBaseCursor* aCursor) { return aCursor->sbcAutoIncGet(); }
void ServerAutoIncSetDirect(TmvServerBaseCursor* aCursor, uint32_t aValue) { aCursor->sbcAutoIncSetDirect(aValue); }
String ServerFullName(TmvAbstractCursor* aCursor) { return aCursor->FullName(); }

}  // namespace

void mvsdFieldMapperCursorInit() {
  mvSetRefIntMapperHook({&CreateRefIntMapper, &FreeRefIntMapper});
  // Calls a test installed before the start stay.
  TmvMapperCursorCalls& calls = Calls();
  if (calls.TableDescriptor) return;
  calls.TableDescriptor = &ServerTableDescriptor;
  calls.DictionaryCursor = &ServerDictionaryCursor;
  calls.AsServerCursor = &ServerCursor;
  calls.AutoIncGet = &ServerAutoIncGet;
  calls.AutoIncSetDirect = &ServerAutoIncSetDirect;
  calls.FullName = &ServerFullName;
}

void mvsdFieldMapperCursorFini() {
  if (mvGetRefIntMapperHook().CreateMapper == &CreateRefIntMapper) mvSetRefIntMapperHook({});
  TmvMapperCursorCalls& calls = Calls();
  if (calls.TableDescriptor == &ServerTableDescriptor) {
    calls.TableDescriptor = nullptr;
    calls.DictionaryCursor = nullptr;
    calls.AsServerCursor = nullptr;
    calls.AutoIncGet = nullptr;
    calls.AutoIncSetDirect = nullptr;
    calls.FullName = nullptr;
  }
}
