// Test support of the sub-engine tests: stand-in engine classes of the
// families whose engines other units provide, registered under the names a
// new dictionary uses, so that whole-dictionary checks can pass.
#pragma once

#include <vector>

#include "storage/blobs/mvseBlobEngine.h"
#include "storage/blobs/mvseBlobEngineSegmented.h"
#include "storage/blobs/mvseBlobEngineSimple.h"
#include "storage/heaps/mvseBlockHeapEngineNonfragmenting.h"
#include "storage/heaps/mvseHeapEngineCached.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/records/mvseRecordEngineVariable.h"
#include "storage/records/mvseRecordEngineVariableVersioned.h"
#include "storage/records/mvseStaticRecordEngine.h"

namespace storage_test {

// A record engine that only remembers how it was made.
class TStandInRecordEngine : public TmvBaseRecordEngine {
 public:
  static const TmvRecordEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  TStandInRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                       TmvBaseTransaction* aTrans)
      : TmvBaseRecordEngine(aDescriptor, aFiles), trans(aTrans) {}
  static TmvBaseRecordEngine* Create(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                     TmvBaseTransaction* aTrans) {
    return new TStandInRecordEngine(aDescriptor, aFiles, aTrans);
  }
  TmvBaseTransaction* trans;

  // It stores nothing.
  void AddRecord(TmvBaseTransaction*, TmvRefNr&, uint8_t*) override {}
  void DeleteRecord(TmvBaseTransaction*, TmvRefNr) override {}
  void ReadNextRecord(TmvBaseTransaction*, TmvRefNr, TmvRefNr& aRefNr, uint8_t*) override { aRefNr = 0; }
  void ReadPrevRecord(TmvBaseTransaction*, TmvRefNr, TmvRefNr& aRefNr, uint8_t*) override { aRefNr = 0; }
  void ReadRecord(TmvBaseTransaction*, TmvRefNr, uint8_t*) override {}
  void UpdateRecord(TmvBaseTransaction*, TmvRefNr, uint8_t*, uint8_t*) override {}
  void GetRecordCount(TmvBaseTransaction*, uint32_t& aCount) override { aCount = 0; }
  void Iterate(TmvBaseTransaction*, TmvRefNr& aRefNr, uint8_t*&, const TmvRecordIterator&, void*,
               TmvBaseFilterEngine*, bool, bool) override {
    aRefNr = 0;
  }
  void IterateBackward(TmvBaseTransaction*, TmvRefNr& aRefNr, uint8_t*&, const TmvRecordIterator&, void*,
                       TmvBaseFilterEngine*, bool, bool) override {
    aRefNr = 0;
  }
  int32_t RecNoGet(TmvBaseTransaction*, TmvRefNr, TmvBaseFilterEngine*, int32_t&, bool) override { return 8706; }
  int32_t RecNoSet(TmvBaseTransaction*, int32_t, TmvRefNr&, TmvBaseFilterEngine*, bool) override { return 8706; }
  int32_t GetRecoverID() override { return bseID; }
  int32_t RecoverIterate(const uint8_t*, TmvBlockNumber, uint8_t*&, const TmvRecordIterator&, void*) override {
    return 0;
  }
  TmvRecordIteratorResult ReadRecordForIterate(TmvBaseTransaction*, TmvRefNr, uint8_t*&, const TmvRecordIterator&,
                                               void*, TmvBaseFilterEngine*) override {
    return rirContinue;
  }
  void ReplaceAllRecords(TmvBaseTransaction*, const TmvGetRecordCallback&) override {}
};
inline constinit const TmvRecordEngineClassRef TStandInRecordEngine::StaticClass{
    {{u"TStandInRecordEngine", &TmvBaseRecordEngine::StaticClass},
     &TmvBaseRecordEngine::GetList,
     &TmvBaseRecordEngine::CheckValidFromDictionary},
    &TStandInRecordEngine::Create,
    &TmvBaseRecordEngine::CheckValidDescriptor};

// Abstract stand-ins (no constructor): enough for the checks.
inline constinit const TmvIndicesEngineClassRef kStandInIndicesEngine{
    {{u"TStandInIndicesEngine", &TmvBaseIndicesEngine::StaticClass},
     &TmvBaseIndicesEngine::GetList,
     &TmvBaseIndicesEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseIndicesEngine::CheckIndexDescriptors};
// Its keys are not checked: the key engines come with the index engines.
inline constinit const TmvIndexEngineClassRef kStandInIndexEngine{
    {{u"TStandInIndexEngine", &TmvBaseIndexEngine::StaticClass},
     &TmvBaseIndexEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    [](TmvIndexDescriptor*) {}};
inline constinit const TmvBlobEngineClassRef kStandInBlobEngine{
    {{u"TStandInBlobEngine", &TmvBaseBlobEngine::StaticClass},
     &TmvBaseBlobEngine::GetList,
     &TmvBaseBlobEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseBlobEngine::CheckValidBase};
inline constinit const TmvAutoIncEngineClassRef kStandInAutoIncEngine{
    {{u"TStandInAutoIncEngine", &TmvBaseAutoIncEngine::StaticClass},
     &TmvBaseAutoIncEngine::GetList,
     &TmvBaseAutoIncEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseAutoIncEngine::CheckValidDescriptor};

// Takes the engines that storage registers at its start (static and variable records,
// auto-increment, block heap, heap, segmented and simple BLOBs) out of their
// registries while it lives, so that stand-ins can take their names; only
// those registered at the time. A class leaves with all its names at once.
class TRealEnginesSetAside {
 public:
  TRealEnginesSetAside() {
    for (const auto& [cls, name] : kReal)
      if (TmvBaseSubEngine::FindEngineClass(*cls, name) == cls) fRemoved.emplace_back(cls, name);
    for (const auto& [cls, name] : fRemoved)
      if (TmvBaseSubEngine::FindEngineClass(*cls, name) == cls) TmvBaseSubEngine::Unregister(*cls);
  }
  ~TRealEnginesSetAside() {
    for (const auto& [cls, name] : fRemoved) TmvBaseSubEngine::Register(*cls, name);
  }
  TRealEnginesSetAside(const TRealEnginesSetAside&) = delete;
  TRealEnginesSetAside& operator=(const TRealEnginesSetAside&) = delete;

 private:
  using Entry = std::pair<const TmvSubEngineClassRef*, const char16_t*>;
  static inline const Entry kReal[] = {{&TmvStaticRecordEngine::StaticClass, u"mv1xDefault"},
                                       {&TmvStaticRecordEngine::StaticClass, u"Static"},
                                       {&TmvVariableRecordEngine::StaticClass, u"Variable"},
                                       {&TmvVariableVersionedRecordEngine::StaticClass, u"VariableVersioned"},
                                       {&TmvSimpleAutoIncEngine::StaticClass, u"mv1xDefault"},
                                       {&TmvNonfragmentingBlockHeapEngine::StaticClass, u"mv1xDefault"},
                                       {&TmvCachedHeapEngine::StaticClass, u"mv1xDefault"},
                                       {&TmvSegmentedBlobEngine::StaticClass, u"mv1xDefault"},
                                       {&TmvSimpleBlobEngine::StaticClass, u"mv1xSimple"}};
  std::vector<Entry> fRemoved;
};

// Registers the stand-ins (and any extra classes) as "mv1xDefault" of their
// families while it lives, the real engines set aside.
class TStandInEngines {
 public:
  explicit TStandInEngines(std::vector<const TmvSubEngineClassRef*> aExtra = {}) : fClasses(std::move(aExtra)) {
    fClasses.insert(fClasses.end(), {&TStandInRecordEngine::StaticClass, &kStandInIndicesEngine, &kStandInIndexEngine,
                                     &kStandInBlobEngine, &kStandInAutoIncEngine});
    for (const TmvSubEngineClassRef* cls : fClasses) TmvBaseSubEngine::Register(*cls, u"mv1xDefault");
  }
  ~TStandInEngines() {
    for (const TmvSubEngineClassRef* cls : fClasses) TmvBaseSubEngine::Unregister(*cls);
  }
  TStandInEngines(const TStandInEngines&) = delete;
  TStandInEngines& operator=(const TStandInEngines&) = delete;

 private:
  TRealEnginesSetAside fSetAside;
  std::vector<const TmvSubEngineClassRef*> fClasses;
};

}  // namespace storage_test
