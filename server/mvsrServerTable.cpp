// Server engine: an open table of the in-process engine. See
// mvsrServerTable.h.
#include "server/mvsrServerTable.h"

#include "server/mvsrServerEngine.h"

constinit const ClassRef TmvServerBaseTable::StaticClass{u"TmvServerBaseTable",
                                                         &TmvLockedOptionsExtendableServerObject::StaticClass};
constinit const ClassRef TmvServerRootTable::StaticClass{u"TmvServerRootTable", &TmvServerBaseTable::StaticClass};

TmvServerRootTable::TmvServerRootTable(TmvServerFolder* aFolder, const String& aName)
    : TmvServerBaseTable(aFolder), srtFolder(aFolder), srtName(aName) {}

TmvServerRootTable::~TmvServerRootTable() { Engine()->seInactiveTableRemove(this); }

TmvServerEngine* TmvServerRootTable::Engine() const { return srtFolder->ServerEngine(); }

void TmvServerRootTable::AfterConstruction() {
  TmvServerBaseTable::AfterConstruction();
  Engine()->seTableCount.fetch_add(1, std::memory_order_acq_rel);
  srtLockedIncDone = true;
}

void TmvServerRootTable::BeforeDestruction() {
  if (srtLockedIncDone) {
    srtLockedIncDone = false;
    Engine()->seTableCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  TmvServerBaseTable::BeforeDestruction();
}
