// Storage: the sort engine interface. See mvsrSortEngine.h.
#include "storage/mvsrSortEngine.h"

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdDataDictionary.h"

std::atomic<const TmvSortEngineClassRef*> mvSortEngineClass{nullptr};

TmvBaseSortEngine::TmvBaseSortEngine(TmvAbstractDatabase* aDB, TmvDataDictionary* aDict, TmvIndexDescriptor* aIndexDesc)
    : bsDB(aDB) {
  try {
    bsDictNoIdx = aDict->Duplicate();
    bsDictNoIdx->RemoveIndicesDescriptor();
    bsDict = bsDictNoIdx->Duplicate();
    TmvIndexDescriptor* index = bsDict->AddIndicesDescriptor()->AddIndex(aIndexDesc);
    bsRecLen = aDict->GetFieldsDescriptor()->RecordLength();
    bsRecLenBuf = (bsRecLen + 15) & ~15;
    bsKeyEngine = TmvBaseKeyEngine::CreateFor(index->GetKeyDescriptor());
  } catch (...) {
    mvFreeAndNil(bsDict);
    mvFreeAndNil(bsDictNoIdx);
    throw;
  }
}

TmvBaseSortEngine::~TmvBaseSortEngine() {
  mvFreeAndNil(bsKeyEngine);
  mvFreeAndNil(bsDict);
  mvFreeAndNil(bsDictNoIdx);
}
