// Index engines (full text): the upkeep of the token indexes when a cursor
// changes a record (unit mvseFulltextEngineCursorIndex).
//
// Every cursor of a table with full text owns a TmvFulltextCursorEngine.
// On insert, modify and delete the cursor calls UpdateIndex with the old and
// the new record image (insert: nil old record and RefNr 0; delete: nil new
// record and RefNr 0; modify: both, the record's RefNr on both sides). For
// every full-text index the engine reads the distinct tokens of both images
// through the token pipelines (mvseFulltextEngineCursor.h), compares them in
// one merge pass, and removes and adds only the entries that differ:
// - bit-array token indexes: one entry per token (per field, per segment of
//   524,288 locations) whose reference is a bit array of record locations
//   (a BLOB of "Fulltext$Blob"); optionally a reverse index sharing the
//   BLOBs and a segment index (segment 0xFFFF: one bit per segment holding
//   a bit array of that token);
// - main-index token indexes: one entry per token and record in a main
//   index of the table, its reference the record's RefNr.
// A location is the record's value of the full-text index's location field:
// segment = location shr 19, bit = location and 0x7FFFF.
//
// Errors raise out of UpdateIndex (a token to remove without its entry, a
// refused insert or delete: 9729 "Key violation."; a locale compare that
// fails); entries and bit arrays already changed in the same call stay in
// the caller's transaction, which the caller rolls back. Class lookup as in
// the pipeline, with the family words FulltextIndex and TokenIndex.
//
// One engine serves one cursor; the table's write access and the
// transaction serialise changes to the shared indexes and BLOBs. Calls the
// pipeline, the full-text table engines, the token key engines, the index
// engines, the wide-string lists and, through the pipeline's cursor calls,
// the server's cursor.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/fulltext/mvseFulltextEngineCursor.h"

class TmvBaseIndexEngine;
class TmvBaseIndexPath;
class TmvBitArrayTokenKeyEngine;
class TmvMainIndexTokenKeyEngine;
class TmvFulltextCursorEngine;
class TmvBaseTokenIndexCursorEngine;
class TmvTokenIndexHubCursorEngine;

MV_DECLARE_EXCEPTION(EmvBitArrayTokenIndexCursorEngineException, EmvFulltextCursorEngineException)
MV_DECLARE_EXCEPTION(EmvMainIndexTokenIndexCursorEngineException, EmvFulltextCursorEngineException)

// ---------------------------------------------------------------------------
// TmvFulltextCursorEngine

class TmvFulltextCursorEngine : public TmvBaseFulltextCursorEngine {
  MV_DECLARE_CLASSREF(TmvFulltextCursorEngineClassRef)
 public:
  TmvFulltextCursorEngine(TmvFulltextTableEngine* aTableEngine, TmvAbstractCursor* aCursor);
  ~TmvFulltextCursorEngine() override;

  // The full-text indexes from the last to the first, stopping at the first
  // non-zero result; the helpers are freed in every case.
  uint32_t UpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord, TmvRefNr aOldRefNr,
                       const void* aNewRecord, TmvRefNr aNewRefNr) override;
  // One full-text index engine per table-side full-text index, in order.
  virtual void CreateIndices();

  // Objects kept by name (ignoring case) for the length of one UpdateIndex;
  // nil when absent. Setting frees the object it replaces; nil removes.
  TmvObject* GetTempUpdateHelper(const String& aName) const;
  void SetTempUpdateHelper(const String& aName, TmvObject* aHelper);

  TmvFulltextTableEngine* GetFulltextTableEngine() const { return ftceFulltextTableEngine; }
  TmvAbstractCursor* GetFulltextCursor() const { return ftceFulltextCursor; }
  int32_t FulltextIndexCount() const { return int32_t(ftceFulltextIndices.size()); }
  TmvFulltextIndexCursorEngine* FulltextIndex(int32_t aIndex) const;

 private:
  void FreeUpdateHelpers();

  TmvFulltextTableEngine* ftceFulltextTableEngine;
  TmvAbstractCursor* ftceFulltextCursor;
  std::vector<TmvFulltextIndexCursorEngine*> ftceFulltextIndices;  // owned
  TStringList* ftceUpdateHelpers = nullptr;                          // owned, with its objects
};

// ---------------------------------------------------------------------------
// TmvFulltextIndexCursorEngine

using TmvFulltextIndexCursorEngineClassRef =
    TmvFulltextCursorFamilyClassRef<TmvFulltextIndexCursorEngine, TmvFulltextCursorEngine*,
                                    TmvFulltextIndexTableEngine*>;

// One full-text index: the old and the new extractor hub, a filter hub over
// each, and the token index hub reading both.
class TmvFulltextIndexCursorEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvFulltextIndexCursorEngineClassRef)
 public:
  TmvFulltextIndexCursorEngine(TmvFulltextCursorEngine* aParent, TmvFulltextIndexTableEngine* aTableEngine);
  ~TmvFulltextIndexCursorEngine() override;
  static TmvClassRegistry* Registry();
  static TmvFulltextIndexCursorEngine* CreateFor(TmvFulltextCursorEngine* aParent,
                                                 TmvFulltextIndexTableEngine* aTableEngine);

  virtual uint32_t UpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord, const TmvRecID& aOldRecID,
                               const void* aNewRecord, const TmvRecID& aNewRecID);

  // Index -1 of each: the hub.
  TmvBaseTokenExtractorCursorEngine* TokenExtractorOld(int32_t aIndex) const;
  TmvBaseTokenExtractorCursorEngine* TokenExtractorNew(int32_t aIndex) const;
  TmvBaseTokenFilterCursorEngine* TokenFilterOld(int32_t aIndex) const;
  TmvBaseTokenFilterCursorEngine* TokenFilterNew(int32_t aIndex) const;
  TmvBaseTokenIndexCursorEngine* TokenIndex(int32_t aIndex) const;

  TmvFulltextCursorEngine* GetParentFulltextCursorEngine() const { return ficeParentFulltextCursorEngine; }
  TmvFulltextIndexTableEngine* GetFulltextIndexTableEngine() const { return ficeFulltextIndexTableEngine; }

 private:
  void FreeAll();

  TmvFulltextCursorEngine* ficeParentFulltextCursorEngine;
  TmvFulltextIndexTableEngine* ficeFulltextIndexTableEngine;
  TmvTokenExtractorHubCursorEngine* ficeTokenExtractorHubOld = nullptr;  // owned
  TmvTokenExtractorHubCursorEngine* ficeTokenExtractorHubNew = nullptr;  // owned
  TmvTokenFilterHubCursorEngine* ficeTokenFilterHubOld = nullptr;        // owned
  TmvTokenFilterHubCursorEngine* ficeTokenFilterHubNew = nullptr;        // owned
  TmvTokenIndexHubCursorEngine* ficeTokenIndexHub = nullptr;             // owned
};

// ---------------------------------------------------------------------------
// The distinct tokens of one record image

// Every list sorted with the container's comparer, its strings transformed,
// duplicates ignored: each distinct form once.
class TmvUniqueTokenContainer : public TmvObject {
 public:
  // Reads the whole stream of aTokenSource (from its start). aPerField: a
  // list per token field; aCombined: one list of all, built from the
  // per-field lists when both are asked.
  TmvUniqueTokenContainer(TmvBaseTokenSourceCursorEngine* aTokenSource, TmvWideStringComparerRef aComparer,
                          TmvWideStringTransformerRef aTransformer, bool aCombined, bool aPerField);
  ~TmvUniqueTokenContainer() override;

  TmvWideStringList* Combined() const { return utcCombined; }
  int32_t PerFieldCount() const { return int32_t(utcPerField.size()); }
  // Nil for a field without tokens.
  TmvWideStringList* PerField(int32_t aField) const;

 private:
  TmvWideStringList* NewList() const;

  TmvWideStringList* utcCombined = nullptr;       // owned
  std::vector<TmvWideStringList*> utcPerField;    // owned
  TmvWideStringComparerRef utcComparer;
  TmvWideStringTransformerRef utcTransformer;
};

// ---------------------------------------------------------------------------
// Token indexes

using TmvTokenIndexCursorEngineClassRef =
    TmvFulltextCursorFamilyClassRef<TmvBaseTokenIndexCursorEngine, TmvFulltextIndexCursorEngine*,
                                    TmvTokenIndexHubCursorEngine*, TmvBaseTokenSourceCursorEngine*,
                                    TmvBaseTokenSourceCursorEngine*, TmvBaseTokenIndexTableEngine*>;

// The root of the token indexes. One whose table engine has a filter hub
// reads each side through a filter hub of its own.
class TmvBaseTokenIndexCursorEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexCursorEngineClassRef)
 public:
  TmvBaseTokenIndexCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenIndexHubCursorEngine* aHub,
                                TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                TmvBaseTokenIndexTableEngine* aTableEngine);
  ~TmvBaseTokenIndexCursorEngine() override;
  static TmvClassRegistry* Registry();
  static TmvBaseTokenIndexCursorEngine* CreateFor(TmvFulltextIndexCursorEngine* aParent,
                                                  TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                                  TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                  TmvBaseTokenIndexTableEngine* aTableEngine);
  static TmvBaseTokenIndexCursorEngine* CreateFor(TmvTokenIndexHubCursorEngine* aHub,
                                                  TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                                  TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                  TmvBaseTokenIndexTableEngine* aTableEngine);

  // Base: records "bticeUpdateIndex is not supported by <class>" and
  // answers 12289.
  virtual uint32_t bticeUpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord, const TmvRecID& aOldRecID,
                                    const void* aNewRecord, const TmvRecID& aNewRecID);

  TmvBaseTokenIndexTableEngine* GetTokenIndexTableEngine() const { return bticeTokenIndexTableEngine; }
  TmvBaseTokenSourceCursorEngine* GetTokenSourceOld() const { return bticeTokenSourceOld; }
  TmvBaseTokenSourceCursorEngine* GetTokenSourceNew() const { return bticeTokenSourceNew; }

 protected:
  TmvFulltextIndexCursorEngine* bticeParentFulltextIndexCursorEngine;
  TmvTokenIndexHubCursorEngine* bticeParentTokenIndexHubCursorEngine;
  TmvBaseTokenIndexTableEngine* bticeTokenIndexTableEngine;
  TmvTokenFilterHubCursorEngine* bticeTokenFilterHubOld = nullptr;  // owned
  TmvTokenFilterHubCursorEngine* bticeTokenFilterHubNew = nullptr;  // owned
  TmvBaseTokenSourceCursorEngine* bticeTokenSourceOld;
  TmvBaseTokenSourceCursorEngine* bticeTokenSourceNew;
};

class TmvTokenIndexHubCursorEngine : public TmvBaseTokenIndexCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexCursorEngineClassRef)
 public:
  TmvTokenIndexHubCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenIndexHubCursorEngine* aHub,
                               TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                               TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                               TmvBaseTokenIndexTableEngine* aTableEngine);
  ~TmvTokenIndexHubCursorEngine() override;
  virtual void CreateTokenIndexes();
  // The members in order, stopping at the first non-zero result.
  uint32_t bticeUpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord, const TmvRecID& aOldRecID,
                            const void* aNewRecord, const TmvRecID& aNewRecID) override;
  int32_t TokenIndexCount() const { return int32_t(tihceTokenIndexs.size()); }
  TmvBaseTokenIndexCursorEngine* TokenIndex(int32_t aIndex);

 protected:
  TmvTokenIndexHubTableEngine* tihceTokenIndexHubTableEngine;
  std::vector<TmvBaseTokenIndexCursorEngine*> tihceTokenIndexs;  // owned
};

// What a processing engine hands to ProcessToken besides the token: the
// record's location (bit arrays) or RefNr and location (main indexes).
struct TmvTokenLocationInfo {
  uint32_t tliLocation = 0;
  TmvRefNr* tliRefNr = nullptr;
};

// A token index that compares and processes tokens: the comparer and
// transformer of its containers, the walks over them, ProcessToken per
// token to add or remove.
class TmvBaseProcessingTokenIndexCursorEngine : public TmvBaseTokenIndexCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexCursorEngineClassRef)
 public:
  using TmvBaseTokenIndexCursorEngine::TmvBaseTokenIndexCursorEngine;
  virtual uint32_t GetCompareFlags() { return 0; }
  virtual int32_t GetMaxTokenSize() = 0;
  virtual void ProcessToken(TmvBaseTransaction* aTrans, const TmvWideString& aToken, bool aAdd,
                            const TmvTokenLocationInfo& aLocationInfo, int16_t aField) = 0;

  // Every string of aList, in order.
  void ProcessList(TmvBaseTransaction* aTrans, TmvWideStringList* aList, bool aAdd,
                   const TmvTokenLocationInfo& aInfo, int16_t aField);
  // The combined list (field -1), then each per-field list.
  void ProcessAll(TmvBaseTransaction* aTrans, TmvUniqueTokenContainer& aContainer, bool aAdd,
                  const TmvTokenLocationInfo& aInfo);
  // Removes what only aOld holds and adds what only aNew holds, in one merge
  // pass. A compare outside -1..1 raises 9729: the two lists cannot be
  // walked in order.
  void ProcessListDifference(TmvBaseTransaction* aTrans, TmvWideStringList* aOld, TmvWideStringList* aNew,
                             const TmvTokenLocationInfo& aInfo, int16_t aField);
  void ProcessContainerDifference(TmvBaseTransaction* aTrans, TmvUniqueTokenContainer& aOld,
                                  TmvUniqueTokenContainer& aNew, const TmvTokenLocationInfo& aInfo);

  ImvWideStringComparer* Comparer() const { return bpticeComparer.get(); }
  ImvWideStringTransformer* Transformer() const { return bpticeTransformer.get(); }

 protected:
  // Run by the concrete engine once it has its key engines: with a used
  // locale, a locale comparer (its flags or GetCompareFlags) and truncation
  // to GetMaxTokenSize; without, a byte comparer and precomposition then
  // truncation.
  void SetupProcessing();

  TmvWideStringComparerRef bpticeComparer;
  TmvWideStringTransformerRef bpticeTransformer;
};

// Per token (and field, and segment) an entry of "Fulltext$Indices" whose
// reference is the bit array of the locations that hold it.
class TmvBitArrayTokenIndexCursorEngine : public TmvBaseProcessingTokenIndexCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexCursorEngineClassRef)
 public:
  TmvBitArrayTokenIndexCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenIndexHubCursorEngine* aHub,
                                    TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                    TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                    TmvBaseTokenIndexTableEngine* aTableEngine);
  ~TmvBitArrayTokenIndexCursorEngine() override;
  int32_t GetMaxTokenSize() override;
  // Nothing without a storage handler; always 0, failures raise.
  uint32_t bticeUpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord, const TmvRecID& aOldRecID,
                            const void* aNewRecord, const TmvRecID& aNewRecID) override;
  void ProcessToken(TmvBaseTransaction* aTrans, const TmvWideString& aToken, bool aAdd,
                    const TmvTokenLocationInfo& aLocationInfo, int16_t aField) override;

 private:
  void FreeResources();
  // The record's location; false without a record or for a null field.
  bool LocationOf(const void* aRecord, uint32_t& aLocation) const;
  // One step of ProcessToken on aIndex (the forward index, or the reverse
  // one alone); true when a bit array was created or deleted.
  bool ProcessIn(TmvBaseTransaction* aTrans, const TmvWideString& aToken, bool aAdd, uint16_t aSegment, uint32_t aBit,
                 int16_t aField);

  TmvBitArrayTokenIndexTableEngine* baticeBitArrayTokenIndexTableEngine;
  TmvBaseBitArrayStorageHandlerTableEngine* baticeBitArrayStorageHandlerTableEngine = nullptr;
  TmvBaseIndexEngine* baticeIndexEngine = nullptr;
  TmvBaseIndexEngine* baticeReverseIndexEngine = nullptr;
  TmvBitArrayTokenKeyEngine* baticeKeyEngine = nullptr;
  TmvBitArrayTokenKeyEngine* baticeReverseKeyEngine = nullptr;
  bool baticePerFieldIndex;
  bool baticePerLocationIndex;
  bool baticeSegmentIndex;
  TmvFieldsDescriptor* baticeFieldsDescriptor = nullptr;
  int32_t baticeLocationField = -1;
  void* baticeKeyBuffer = nullptr;                    // owned
  void* baticeReverseKeyBuffer = nullptr;             // owned
  TmvBaseIndexPath* baticeIndexPath = nullptr;        // owned
  TmvBaseIndexPath* baticeReverseIndexPath = nullptr; // owned
};

// Per token and record an entry of a main index, its reference the record.
class TmvMainIndexTokenIndexCursorEngine : public TmvBaseProcessingTokenIndexCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexCursorEngineClassRef)
 public:
  TmvMainIndexTokenIndexCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenIndexHubCursorEngine* aHub,
                                     TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                     TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                     TmvBaseTokenIndexTableEngine* aTableEngine);
  ~TmvMainIndexTokenIndexCursorEngine() override;
  uint32_t GetCompareFlags() override;
  int32_t GetMaxTokenSize() override;
  // Always 0, failures raise.
  uint32_t bticeUpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord, const TmvRecID& aOldRecID,
                            const void* aNewRecord, const TmvRecID& aNewRecID) override;
  void ProcessToken(TmvBaseTransaction* aTrans, const TmvWideString& aToken, bool aAdd,
                    const TmvTokenLocationInfo& aLocationInfo, int16_t aField) override;

 private:
  void FreeResources();
  uint32_t LocationOf(const void* aRecord) const;

  TmvMainIndexTokenIndexTableEngine* miticeMainIndexTokenIndexTableEngine;
  TmvFulltextUpdateNotify miticeNotify;
  TmvBaseIndexEngine* miticeIndexEngine;
  TmvMainIndexTokenKeyEngine* miticeKeyEngine;
  void* miticeKeyBuffer = nullptr;              // owned
  TmvBaseIndexPath* miticeIndexPath = nullptr;  // owned
  TmvFieldsDescriptor* miticeFieldsDescriptor = nullptr;
  int32_t miticeLocationField = -1;
};

// Registers the full-text cursor engine and the classes of the full-text
// index and token index families; shutdown takes them out again.
void mvseFulltextEngineCursorIndexInit();
void mvseFulltextEngineCursorIndexFini();
