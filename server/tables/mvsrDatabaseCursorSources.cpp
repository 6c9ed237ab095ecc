// Server engine: extra sources of cursors of a server database. See
// mvsrDatabaseCursorSources.h.
#include "server/tables/mvsrDatabaseCursorSources.h"

#include "foundation/errors/mvllExceptionData.h"
#include "server/mvsdOwnerList.h"
#include "server/mvsdServerLog.h"
#include "server/tables/mvsrServerDatabase.h"

namespace {

using TContainer = TmvServerDatabaseCursorSourceContainer;

auto SourceList(TmvServerDatabase* aDatabase) {
  return TmvOwnerListView<TContainer, &TContainer::cscDatabasePrev, &TContainer::cscDatabaseNext>{
      aDatabase->sdCursorSourceHead, aDatabase->sdCursorSourceTail};
}

}  // namespace

TmvServerDatabaseCursorSourceContainer::TmvServerDatabaseCursorSourceContainer(TmvServerDatabase* aDatabase,
                                                                               ImvDatabaseCursorSource* aSource)
    : cscLock(aDatabase->GetLock()), cscDatabase(aDatabase), cscSource(aSource) {
  LinkToDatabase();
}

TmvServerDatabaseCursorSourceContainer::~TmvServerDatabaseCursorSourceContainer() {
  if (uint32_t code = Unregister())
    mvServerLogError(u"A cursor source that went could not unregister itself: error " + IntToStr(int64_t(code)));
}

bool TmvServerDatabaseCursorSourceContainer::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvDatabaseCursorSourceControl) {
    *obj = static_cast<ImvDatabaseCursorSourceControl*>(this);
    _AddRef();
    return true;
  }
  return TmvInterfacedObject::GetInterface(iid, obj);
}

void TmvServerDatabaseCursorSourceContainer::LinkToDatabase() { SourceList(cscDatabase).Append(this); }

void TmvServerDatabaseCursorSourceContainer::UnlinkFromDatabase() { SourceList(cscDatabase).Remove(this); }

void TmvServerDatabaseCursorSourceContainer::CursorOpen(TmvAbstractCursor*& aCursor, const String& aTableName,
                                                        uint32_t& aResult) {
  aCursor = nullptr;
  for (TContainer* c = this; c; c = c->cscDatabaseNext) {
    if (!c->cscSource) continue;
    if (TmvAbstractCursor* cursor = c->cscSource->CursorOpen(aTableName)) {
      aCursor = cursor;
      aResult = 0;
      return;
    }
  }
}

uint32_t TmvServerDatabaseCursorSourceContainer::Unregister() {
  TInterfacePtr<ImvSimpleLock> lock = cscLock;
  if (!lock || !cscDatabase) return 0;
  try {
    lock->Lock();
  } catch (...) {
    return mvConvertCurrentException(mvServerLog(), nullptr);
  }
  uint32_t result = 0;
  // Checked again under the lock: the database may have detached it.
  if (cscDatabase) {
    UnlinkFromDatabase();
    cscDatabase = nullptr;
  }
  cscSource = nullptr;
  cscLock = nullptr;
  try {
    lock->Unlock(result);
  } catch (...) {
    return mvConvertCurrentException(mvServerLog(), nullptr);
  }
  return result;
}

void TmvServerDatabaseCursorSourceContainer::DetachFromDatabase() {
  if (cscDatabase) UnlinkFromDatabase();
  cscDatabase = nullptr;
  cscSource = nullptr;
  cscLock = nullptr;
}
