// Server engine: a database folder of the in-process engine. See
// mvsrServerFolder.h.
#include "server/mvsrServerFolder.h"

#include "server/mvsdPadlockGuard.h"
#include "server/mvsrServerEngine.h"

constinit const ClassRef TmvServerFolder::StaticClass{u"TmvServerFolder",
                                                      &TmvLockedOptionsExtendableServerObject::StaticClass};

TmvServerFolder::TmvServerFolder(TmvServerEngine* aServerEngine, const String& aPath, bool aIsCache)
    : TmvLockedOptionsExtendableServerObject(nullptr), sfServerEngine(aServerEngine), sfPath(aPath), sfIsCache(aIsCache) {
  TmvPadlockGuard guard(sfServerEngine->FoldersPadlock());
  sfServerEngine->Folders()->AddObject(sfPath, this);
}

TmvServerFolder::~TmvServerFolder() {
  sfServerEngine->seInactiveFolderRemove(this);
  TmvPadlockGuard guard(sfServerEngine->FoldersPadlock());
  TStrings* folders = sfServerEngine->Folders();
  const int32_t index = folders->IndexOf(sfPath);
  if (index >= 0 && folders->GetObject(index) == this) folders->Delete(index);
}

void TmvServerFolder::AfterConstruction() {
  TmvLockedOptionsExtendableServerObject::AfterConstruction();
  sfServerEngine->seFolderCount.fetch_add(1, std::memory_order_acq_rel);
  sfLockedIncDone = true;
}

void TmvServerFolder::BeforeDestruction() {
  if (sfLockedIncDone) {
    sfLockedIncDone = false;
    sfServerEngine->seFolderCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  TmvLockedOptionsExtendableServerObject::BeforeDestruction();
}

TmvBaseServerEngine* TmvServerFolder::GetServerEngine() { return sfServerEngine; }
