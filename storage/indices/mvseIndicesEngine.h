// Storage engines: the indices engine family and its base, which keeps
// every index of a table in step with its records (unit mvseIndicesEngine).
// The index family is not in the whole-dictionary check by itself: the
// indices family's check runs the index family's check on every index.
//
// It owns one index engine (with its key engine) per index descriptor,
// builds each index's key from a record and inserts, deletes or updates
// the keys of all indexes together: when one index refuses, what was done
// in the others is undone, or, where that fails too, the transaction is
// marked corrupted so that it can only be rolled back. During one key
// maintenance call the current transaction, references and key are
// visible to the index and key engines; outside they are reset.
//
// Ownership: the engine owns its index engines and key buffers; the
// descriptor, the block accesses and the record engine belong to the
// table. Used by the thread that holds the table's lock.
// Calls the sub-engine framework, the index engine interface and the key
// engines.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/indices/mvseIndexEngine.h"

class TmvBaseIndicesDescriptor;
class TmvBaseRecordEngine;
class TmvBaseTableDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseIndicesEngineException, EmvBaseSubEngineException)

struct TmvIndicesEngineClassRef : TmvSubEngineClassRef {
  // aAddToExisting: the table exists and the indexes are being added to it.
  TmvBaseIndicesEngine* (*Create)(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                  TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans, bool aAddToExisting);
  // Lets an engine class refuse the indexes of a descriptor.
  void (*CheckIndexDescriptors)(TmvBaseIndicesDescriptor* aDescriptor);
};

class TmvBaseIndicesEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvIndicesEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine of the table's (main) indices descriptor; nil without one;
  // 15503 "Unknown indices engine: "<name>"" for an unknown name.
  static TmvBaseIndicesEngine* CreateEngine(TmvBaseTableDescriptor* aTableDescriptor, const TmvBlockAccessArray& aFiles,
                                            TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                            bool aAddToExisting);
  static TmvBaseIndicesEngine* CreateEngine(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                            TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                            bool aAddToExisting);
  // Nil passes; an unknown name raises 15503; then the class's
  // CheckIndexDescriptors.
  static void CheckValidBaseFromDescriptor(TmvBaseIndicesDescriptor* aDescriptor);
  static void CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor);

  // Creates an index engine for each index descriptor in order (undone on
  // failure). aRecordEngine may be nil. aAddToExisting is for engines that
  // must know whether the indexes exist already; the base does not use it.
  TmvBaseIndicesEngine(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                       TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans, bool aAddToExisting);
  ~TmvBaseIndicesEngine() override;

  // Every index through the index family's CheckValidBaseFromDescriptor.
  static void CheckIndexDescriptors(TmvBaseIndicesDescriptor* aDescriptor);
  virtual void IndexAdded(TmvBaseTransaction* aTrans, int32_t aIndex) = 0;
  virtual void IndexRemoved(TmvBaseTransaction* aTrans, int32_t aIndex) = 0;
  virtual TmvIndexHeaderAccessClass IndexHeaderAccessClass() = 0;
  virtual TmvBulkBuilderHubClass GetBulkBuilderHubClass();
  // None without indexes, the index's own builder for one, else a hub.
  virtual TmvBaseBulkBuilder* CreateBulkBuilder(TmvBaseTransaction* aTrans);

  // Only the descriptor's newest index, when this engine has one index
  // fewer; else 15425 "Index number passed to routine is out of range [%d]".
  void AddIndex(TmvBaseTransaction* aTrans, int32_t aIndex);
  // Requires aIndex below the index count and one index more than the
  // descriptor (15425 otherwise): deletes its keys, drops its engine and
  // renumbers the later ones.
  void RemoveIndex(TmvBaseTransaction* aTrans, int32_t aIndex);

  // Key maintenance; each answers 0 or an error code (9729 with the
  // key-violation text for a refused or missing key).
  int32_t InsertKeys(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, const void* aRecord, TmvBaseIndexPath* aPath);
  int32_t DeleteKeys(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, const void* aRecord, TmvBaseIndexPath* aPath);
  int32_t UpdateKeys(TmvBaseTransaction* aTrans, TmvRefNr aOldRefNr, const void* aOldRecord, TmvRefNr aNewRefNr,
                     const void* aNewRecord, TmvBaseIndexPath* aPath);

  TmvBlockAccess* biseGetFile(int32_t aInx) const;
  TmvBaseIndexEngine* biseGetIndex(int32_t aInx) const;
  void _SaveAll(TmvBaseTransaction* aTrans);

  const TmvBlockAccessArray& Files() const { return biseFiles; }
  const std::vector<TmvBaseIndexEngine*>& Indices() const { return biseIndices; }
  int32_t FileCount() const { return int32_t(biseFiles.size()); }
  int32_t IndexCount() const { return int32_t(biseIndices.size()); }
  TmvBaseIndicesDescriptor* Descriptor() const { return biseDescriptor; }
  TmvBaseRecordEngine* RecordEngine() const { return biseRecordEngine; }
  TmvBaseIndexEngine* SeqIndexEngine() const { return biseSeqIndexEngine; }
  TmvBaseTransaction* CurrentTrans() const { return biseCurrentTrans; }
  TmvRefNr CurrentRefNr() const { return biseCurrentRefNr; }
  TmvRefNr CurrentCacheRefNr() const { return biseCurrentCacheRefNr; }
  const void* CurrentKey() const { return biseCurrentKey; }
  bool NLSVersionChanged() const { return biseNLSVersionChanged; }
  bool ContainsExtended() const { return biseContainsExtended; }
  int32_t RefNrOffset() const { return biseRefNrOffset; }

  // The values of the current operation outside one.
  static constexpr TmvRefNr kNoCurrentRefNr = 0x7FFFFFFFFFFFFFFF;

 protected:
  TmvBaseIndicesDescriptor* biseDescriptor;
  TmvBlockAccessArray biseFiles;
  TmvBaseRecordEngine* biseRecordEngine;
  std::vector<TmvBaseIndexEngine*> biseIndices;
  TmvBaseIndexEngine* biseSeqIndexEngine = nullptr;
  bool biseIsCache = false;
  int32_t biseRefNrOffset = -1;
  std::vector<void*> biseNewKeys;
  std::vector<void*> biseOldKeys;
  std::vector<bool> biseNewKeysValid;
  std::vector<bool> biseOldKeysValid;
  std::vector<int8_t> biseComp;
  bool biseKeysAllocated = false;
  TmvBaseTransaction* biseCurrentTrans = nullptr;
  TmvRefNr biseCurrentRefNr = kNoCurrentRefNr;
  TmvRefNr biseCurrentCacheRefNr = kNoCurrentRefNr;
  const void* biseCurrentKey = nullptr;
  bool biseNLSVersionChanged = false;
  bool biseContainsExtended = false;

 private:
  // Creates the key engine and the index engine of descriptor aIndex and
  // appends them.
  void AddIndexEngine(TmvIndexDescriptor* aDescriptor);
  void AllocKeys();
  void FreeKeys();
  TmvRefNr CacheRefNrOf(const void* aRecord) const;
  void Publish(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvRefNr aCacheRefNr, const void* aKey);
  void ResetCurrent();
  // Builds index aInx's key of aRecord into aKey: true when built, false
  // when the key filter keeps the record out; another code in aCode.
  bool BuildKey(int32_t aInx, const void* aRecord, TmvRefNr aRefNr, void* aKey, int32_t& aCode);
  // Undo steps of InsertKeys and UpdateKeys.
  void UndoInserts(TmvBaseTransaction* aTrans, int32_t aFailed, TmvRefNr aRefNr, TmvRefNr aCacheRefNr,
                   TmvBaseIndexPath* aPath);
  void UndoUpdates(TmvBaseTransaction* aTrans, int32_t aFailed, TmvRefNr aOldRefNr, TmvRefNr aOldCache,
                   TmvRefNr aNewRefNr, TmvRefNr aNewCache, TmvBaseIndexPath* aPath);
  int32_t UpdateIndex(TmvBaseTransaction* aTrans, int32_t aInx, TmvRefNr aOldRefNr, TmvRefNr aOldCache,
                      const void* aOldRecord, TmvRefNr aNewRefNr, TmvRefNr aNewCache, const void* aNewRecord,
                      TmvBaseIndexPath* aPath, bool& aUndo);
};

// Registers the family base for the whole-dictionary check; takes it out.
void mvseIndicesEngineInit();
void mvseIndicesEngineFini();
