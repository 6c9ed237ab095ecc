// Storage engines: the index engine family and interface, its positions,
// header values and bulk builders (unit mvseIndicesEngine).
//
// Every index of a table is kept by one index engine (a B*-tree of the
// index engines' layer, registered in this family's registry by the name
// the index descriptor stores) that owns the index's key
// engine and bookmark handler. This unit defines what the indices engine
// (mvseIndicesEngine.h) and the server drive: `TmvBaseIndexEngine`, the
// position `TmvBaseIndexPath`, the per-index header values
// `TmvBaseIndexHeaderAccess`, and the bulk builders that fill empty indexes.
//
// An index engine belongs to its indices engine and is used by the thread
// that holds the table's lock; paths and header accesses are short-lived
// objects owned by their creators.
// Calls the key engine interface, the bookmarks and the block accesses.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/mvllComponents.h"
#include "foundation/types/mvsdTypes.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/mvseSubEngine.h"
#include "storage/records/mvseBookmarks.h"

class TmvBaseIndicesEngine;
class TmvBaseIndexEngine;
class TmvBaseIndexPath;
class TmvBaseIndexHeaderAccess;
class TmvBaseBulkBuilder;
class TmvBaseKeyEngine;
class TmvIndexDescriptor;
class TmvBaseFilterEngine;
class TmvBaseFileHeaderAccess;

MV_DECLARE_EXCEPTION(EmvBaseIndexEngineException, EmvBaseSubEngineException)

// What a key violation happened in.
enum TmvKeyErrorType : uint8_t { etInsert, etDelete, etModifyDelete, etModifyInsert, etBulkCreate };
// "Insert", "Delete", "Modify/Delete", "Modify/Insert", "BulkCreate".
String mvKeyErrorTypeName(TmvKeyErrorType aType);
// The name of a path position ("ippOnKey" and so on).
String mvIndexPathPositionName(TmvIndexPathPosition aPosition);

// A range bound: the key, how many fields of it count, the partial length
// of the last one, exclusive or not, and whether there is a bound at all.
struct TmvRangeInfo {
  void* riKey = nullptr;
  int32_t riFieldCount = 0;
  int32_t riPartitial = 0;
  bool riExclusive = false;
  bool riValid = false;
};

// The class of an index engine's paths and of an indices engine's header
// accesses: functions that create one.
using TmvIndexPathClass = TmvBaseIndexPath* (*)(TmvBaseIndexEngine* aIndexEngine);
using TmvIndexHeaderAccessClass = TmvBaseIndexHeaderAccess* (*)(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex,
                                                                 bool aFileMarkDirty, bool aIndexMarkDirty,
                                                                 int32_t aFieldCount, int32_t aPartialLen);
using TmvBulkBuilderClass = TmvBaseBulkBuilder* (*)(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine);

// One index's header values inside one transaction; where they are stored
// belongs to the indices engine. An empty index has root -1, page count 0
// and key count 0. Owned by its creator.
class TmvBaseIndexHeaderAccess : public TmvObject {
 public:
  TmvBaseIndexHeaderAccess(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex, bool aFileMarkDirty,
                           bool aIndexMarkDirty, int32_t aFieldCount, int32_t aPartialLen);
  ~TmvBaseIndexHeaderAccess() override;

  virtual int32_t GetIndexRoot() = 0;
  virtual void SetIndexRoot(int32_t aValue) = 0;
  virtual uint32_t GetIndexPageCount() = 0;
  virtual void SetIndexPageCount(uint32_t aValue) = 0;
  virtual uint32_t GetIndexKeyCount() = 0;
  virtual void SetIndexKeyCount(uint32_t aValue) = 0;
  virtual TmvLSN GetIndexLSN() = 0;
  void SetCompareDate(int32_t aFieldCount, int32_t aPartialLen);
  // The index file's header access, created on first use (owned).
  TmvBaseFileHeaderAccess* FileHeader();

  TmvBaseTransaction* bhaTrans;
  bool bhaFileMarkDirty;
  bool bhaIndexMarkDirty;
  uint32_t bhaID;
  TmvBaseIndexEngine* bhaIndex;
  TmvBaseFileHeaderAccess* bhaFileHeader = nullptr;
  int32_t bhaFieldCount;
  int32_t bhaPartialLen;
};

// A position in one index: before or after a key's crack, on a key, at
// either end. A standalone path has no engine and serves reference-only
// positions. Owned by its creator; used by one thread.
class TmvBaseIndexPath : public TmvPersistent {
 public:
  explicit TmvBaseIndexPath(TmvBaseIndexEngine* aIndexEngine);
  static TmvBaseIndexPath* CreateStandalone();
  ~TmvBaseIndexPath() override;

  // A path of the same class on the same engine in the same state.
  virtual TmvBaseIndexPath* Duplicate();
  // From a path of the same engine: RefNr, CacheRefNr, Position,
  // KeyValid, the key (when valid) and Deleted.
  void Assign(const TPersistent* aSource) override;
  virtual void Clear();
  void SetToBof();
  void SetToEof();
  // Only from a crack or a key; clears Deleted.
  void SetToCrackBefore();
  void SetToCrackAfter();
  // Only from a key: before its crack, deleted.
  void SetToDeleted();
  // Builds the key of aRecord (the key filter ignored) and stands on it:
  // 0, or the key engine's error (9986 counts as success without a key).
  int32_t SetToRecord(const void* aRecord, TmvRefNr aRefNr);
  bool IsOnKey() const { return Position == ippOnKey; }
  bool IsOnCrack() const { return Position == ippOnCrackBefore || Position == ippOnCrackAfter; }
  bool IsEof() const { return Position == ippEof; }
  bool IsBof() const { return Position == ippBof; }
  bool IsDeleted() const { return Deleted; }
  // 8708 when deleted; else 8705 at the beginning, 0 on a key, 8706 at the
  // end, 8709 otherwise.
  int32_t CheckCurrentState() const;

  // Bookmarks through the bookmark handler. GetBookmark answers 9986 when
  // aSize is below the bookmark's size; with aIsCache it records the cache
  // reference.
  int32_t GetBookmark(uint8_t* aBookmark, uint32_t aSize, bool aIsCache) const;
  int32_t CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const;
  int32_t CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                           int32_t& aCompResult) const;
  int32_t SetToBookmark(const uint8_t* aBookmark, uint32_t aSize, bool aIsCache);
  int32_t BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize, Variant& aVariant) const;
  uint32_t BookmarkSize() const;

  // "IndexEngine", "RefNr", "CacheRefNr", "KeyValid", "Key" (when valid),
  // "Position" and "Deleted".
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  TmvBaseIndexEngine* bipIndexEngine;
  TmvBookmarkHandler* bipBookmarkHandler;
  TmvRefNr RefNr = 0;
  TmvRefNr CacheRefNr = 0;
  bool KeyValid = false;
  TmvIndexPathPosition Position = ippUnknown;
  bool Deleted = false;
  void* Key = nullptr;  // owned, from the key engine; nil for a standalone path

 protected:
  TmvBaseKeyEngine* KeyEngine() const;
};

// Fills an empty index (or every index of a table) key by key.
class TmvBaseBulkBuilder : public TmvObject {
 public:
  virtual int32_t InsertKey(TmvRefNr aRefNr, const void* aRecord, TmvBaseTransaction* aTrans) = 0;
  virtual int32_t Finalize(TmvBaseTransaction* aTrans) = 0;
};

class TmvBaseIndexBulkBuilder : public TmvBaseBulkBuilder {
 public:
  // 15511 "Index is not empty." unless the index's header reads root -1,
  // page count 0 and key count 0.
  TmvBaseIndexBulkBuilder(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine);

  TmvBaseIndexEngine* bibbIndexEngine;
  TmvBaseKeyEngine* bibbKeyEngine;
  int32_t bibbRefNrOffest;
};

// Inserts every key as an ordinary insert would.
class TmvDefaultIndexBulkBuilder : public TmvBaseIndexBulkBuilder {
 public:
  TmvDefaultIndexBulkBuilder(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine);
  ~TmvDefaultIndexBulkBuilder() override;
  // A filtered key answers 0; a refused one the key violation, and marks
  // the transaction corrupted.
  int32_t InsertKey(TmvRefNr aRefNr, const void* aRecord, TmvBaseTransaction* aTrans) override;
  int32_t Finalize(TmvBaseTransaction* aTrans) override;

  void* dibbKey = nullptr;
};

// One builder per index, called in index order; the first non-zero code
// ends a call.
class TmvBulkBuilderHub : public TmvBaseBulkBuilder {
 public:
  TmvBulkBuilderHub(TmvBaseTransaction* aTrans, const std::vector<TmvBaseIndexEngine*>& aIndexEngines);
  ~TmvBulkBuilderHub() override;
  int32_t InsertKey(TmvRefNr aRefNr, const void* aRecord, TmvBaseTransaction* aTrans) override;
  int32_t Finalize(TmvBaseTransaction* aTrans) override;

  std::vector<TmvBaseBulkBuilder*> bbhBulkBuilders;
};
using TmvBulkBuilderHubClass = TmvBulkBuilderHub* (*)(TmvBaseTransaction* aTrans,
                                                      const std::vector<TmvBaseIndexEngine*>& aIndexEngines);

struct TmvIndexEngineClassRef : TmvSubEngineClassRef {
  // The engine takes ownership of aKeyEngine.
  TmvBaseIndexEngine* (*Create)(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                TmvIndexDescriptor* aIndexDescriptor);
  void (*CheckKeyDescriptor)(TmvIndexDescriptor* aIndexDescriptor);
};

class TmvBaseIndexEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvIndexEngineClassRef)
 public:
  // Takes ownership of aKeyEngine; creates the bookmark handler.
  TmvBaseIndexEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                     TmvIndexDescriptor* aIndexDescriptor);
  ~TmvBaseIndexEngine() override;

  static TmvClassRegistry* GetList();
  // The engine the index descriptor names; 15503 "Unknown index engine:
  // "<name>"" for an unknown name. Takes ownership of aKeyEngine, also when
  // it fails.
  static TmvBaseIndexEngine* CreateEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                          TmvIndexDescriptor* aIndexDescriptor);
  // Nil passes; an unknown name raises 15503; then the class's
  // CheckKeyDescriptor.
  static void CheckValidBaseFromDescriptor(TmvIndexDescriptor* aDescriptor);
  // An index inside a dictionary needs a key its key engines can build.
  static void CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor);

  // Adds "IndexNumber", "IndexName", "Dups", "DupsNullOnly", "KeysAreRefs"
  // and "KeyEngine".
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;
  virtual TmvIndexPathClass IndexPathClass() = 0;
  // A new header access of the indices engine's class; the caller frees it.
  virtual TmvBaseIndexHeaderAccess* CreateHeaderAccess(TmvBaseTransaction* aTrans, bool aFileMarkDirty,
                                                       bool aIndexMarkDirty, int32_t aFieldCount,
                                                       int32_t aPartialLen);
  virtual TmvBaseIndexPath* CreateIndexPath();
  virtual void ValidateIndexPath(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath) = 0;
  virtual TmvBulkBuilderClass GetBulkBuilderClass();
  virtual TmvBaseBulkBuilder* CreateBulkBuilder(TmvBaseTransaction* aTrans);
  virtual void DeleteAllKeys(TmvBaseTransaction* aTrans) = 0;
  // True when the key was found and removed.
  virtual bool DeleteKey(TmvBaseTransaction* aTrans, const void* aKey, TmvRefNr aRefNr, TmvRefNr aCacheRefNr,
                         TmvBaseIndexPath* aPath) = 0;
  // False when the index refuses the key (a duplicate it does not allow).
  virtual bool InsertKey(TmvBaseTransaction* aTrans, const void* aKey, TmvRefNr aRefNr, TmvRefNr aCacheRefNr,
                         TmvBaseIndexPath* aPath) = 0;
  virtual int32_t FindKey(TmvBaseTransaction* aTrans, const void* aKey, int32_t aFieldCount, int32_t aPartialLen,
                          TmvRefNr aRefNr, TmvBaseIndexPath* aPath, TmvSearchKeyAction aAction,
                          TmvBaseFilterEngine* aKeyFilter) = 0;
  virtual int32_t NextKey(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, TmvBaseFilterEngine* aKeyFilter) = 0;
  virtual int32_t PrevKey(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, TmvBaseFilterEngine* aKeyFilter) = 0;
  virtual void GetKeyCount(TmvBaseTransaction* aTrans, uint32_t& aCount) = 0;
  virtual void Iterate(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, uint8_t*& aData,
                       const TmvKeyIterator& aKeyIterator, const TmvRecordIterator& aRecIterator, void* aCookie,
                       const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                       TmvBaseFilterEngine* aKeyFilter, bool aKeepPosition) = 0;
  virtual void IterateBackward(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, uint8_t*& aData,
                               const TmvKeyIterator& aKeyIterator, const TmvRecordIterator& aRecIterator,
                               void* aCookie, const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd,
                               TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter, bool aKeepPosition) = 0;
  virtual int32_t RecNoGet(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, const TmvRangeInfo& aRangeStart,
                           const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                           TmvBaseFilterEngine* aKeyFilter, int32_t& aRecNo, bool aFlipOrder) = 0;
  virtual int32_t RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvBaseIndexPath* aPath,
                           const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd,
                           TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter, bool aFlipOrder) = 0;
  virtual void EstimateRecordCount(TmvBaseTransaction* aTrans, const TmvRangeInfo& aRangeStart,
                                   const TmvRangeInfo& aRangeEnd, int64_t& aRecordCount, bool aFlipOrder) = 0;
  // The key-violation error: records the text as the thread's last
  // converted exception with 9729 and answers 9729.
  virtual int32_t GetKeyError(TmvKeyErrorType aErrorType, const void* aKey, TmvRefNr aRefNr);
  // The record reference of a cache reference; 0 here.
  virtual TmvRefNr SeqAccessLookup(TmvBaseTransaction* aTrans, TmvRefNr aCacheRefNr, TmvBaseIndexPath* aPath);

  // The key count the index's header keeps.
  uint32_t bieGetKeyCount(TmvBaseTransaction* aTrans);
  // A diagnostic: one line per key (its record's text form, or its
  // reference without a record engine, ": ", the key as text) to aFileName,
  // the temporary folder + "IndexDump_" + the index name + ".txt" when empty.
  void _SaveAll(TmvBaseTransaction* aTrans, const String& aFileName = String());

  TmvBaseIndicesEngine* bieIndicesEngine;
  TmvBaseKeyEngine* bieKeyEngine;            // owned
  TmvBookmarkHandler* bieBookmarkHandler;    // owned
  TmvBlockAccess* bieIndexFile;
  int32_t bieIndexNumber;
  String bieIndexName;
  bool bieDups;
  bool bieDupsNullOnly;
  bool bieKeysAreRefs;
  int32_t bieMaxFieldCount;
  int32_t bieRefNrOffset;

  TmvBaseIndicesEngine* IndicesEngine() const { return bieIndicesEngine; }
  TmvBaseKeyEngine* KeyEngine() const { return bieKeyEngine; }
  TmvBlockAccess* IndexFile() const { return bieIndexFile; }
  int32_t IndexNumber() const { return bieIndexNumber; }
  bool Dups() const { return bieDups; }
  bool DupsNullOnly() const { return bieDupsNullOnly; }
  bool KeysAreRefs() const { return bieKeysAreRefs; }
  bool NLSVersionChanged() const;
  bool ContainsExtended() const;

 private:
  String RecordText(TmvBaseTransaction* aTrans, TmvRefNr aRefNr);
};
