// Field conversion: the calls it makes on the server engine's cursors. See
// mvsdFieldMapperCursor.h.
#include "convert/mvsdFieldMapperCursor.h"

#include "platform/SysUtils.h"

namespace {

TmvMapperCursorCalls& Calls() {
  static TmvMapperCursorCalls calls;
  return calls;
}

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
