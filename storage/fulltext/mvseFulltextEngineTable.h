// Storage (full text): the table side of full-text indexing (unit
// mvseFulltextEngineTable).
//
// A table whose dictionary carries the full-text descriptor gets one
// `TmvFulltextTableEngine` when it opens. It mirrors the descriptor tree as
// a tree of small engines: one per full-text index, and below each its
// token extractors, token filters and token indexes (each family in a hub),
// plus a bit-array storage handler for every bit-array token index. The tree
// is shared by every cursor of the table; each cursor's own full-text engine
// does the work when a record changes. Every engine class is found from its
// descriptor's class name with "Descriptor" replaced by "TableEngine" in
// its family's registry; a missing one raises 15503 "Unknown <family>
// engine: "<name>"" (families: FulltextIndex, TokenExtractor, TokenFilter,
// TokenIndex, BitArrayStorageHandler).
//
// Where full-text data lives in the table file:
// - bit-array token indexes are indexes of the full-text descriptor's own
//   indices descriptor "Fulltext$Indices", driven by an indices engine of
//   their own; each entry's reference is a BLOB of "Fulltext$Blob", the
//   token's bit array;
// - main-index token indexes are indexes of the table's main indices, each
//   entry's reference a record.
//
// Bit-array BLOB (little-endian):
//   offset 0  size 4  number of bits set, u32
//   offset 4  size k  bitmap: bit b is byte 4 + b div 8, mask 1 shl (b mod 8)
// The bitmap grows with zero bytes when a higher bit is set and never
// shrinks; the BLOB goes when its count drops to 0. A bit array that
// disagrees with the operation asked of it (a bit set twice, a bit cleared
// that is not set, a bitmap too short, a BLOB that cannot be read) gives
// 9729 "Key violation." and is left unchanged.
//
// Ownership: each engine owns its hubs and members, the full-text table
// engine its full-text index engines, its indices engine and its BLOB
// engine; descriptors, files and the main indices engine belong to the
// table. The tree lives as long as the open table and holds no mutable
// state: bit arrays and indexes change inside transactions, under the
// table's write access. Calls the full-text descriptors, the BLOB and
// indices engines and the engine interfaces.
#pragma once

#include <cstdint>
#include <vector>

#include "dictionary/fulltext/mvsdFulltextDescriptors.h"
#include "dictionary/fulltext/mvsdTokenFilterDescriptors.h"
#include "dictionary/fulltext/mvsdTokenIndexDescriptors.h"
#include "platform/Classes.h"
#include "storage/mvsrFulltextEngine.h"

class TmvBaseBlobEngine;
class TmvBaseIndexEngine;
class TmvFulltextTableEngine;
class TmvFulltextIndexTableEngine;
class TmvBaseTokenExtractorTableEngine;
class TmvTokenExtractorHubTableEngine;
class TmvBaseTokenFilterTableEngine;
class TmvTokenFilterHubTableEngine;
class TmvBaseTokenIndexTableEngine;
class TmvTokenIndexHubTableEngine;
class TmvBaseBitArrayStorageHandlerTableEngine;

MV_DECLARE_EXCEPTION(EmvFulltextTableEngineException, EmvFulltextEngineException)
MV_DECLARE_EXCEPTION(EmvSimpleBitArrayStorageHandlerTableEngineException, EmvFulltextTableEngineException)

// The family record of a family below the full-text table engine: the
// virtual constructor, given the full-text index engine, the hub the new
// member belongs to (nil for a hub directly below the full-text index; set
// before the constructor's body runs), the transaction and the descriptor.
template <typename TEngine, typename TParent, typename THub, typename TDescriptor>
struct TmvFulltextFamilyClassRef : TmvRegisterableEngineClassRef {
  TEngine* (*CreateEngine)(TParent* aParent, THub* aHub, TmvBaseTransaction* aTrans, TDescriptor* aDescriptor);

  // The CreateEngine of a class T of the family.
  template <typename T>
  static TEngine* Construct(TParent* aParent, THub* aHub, TmvBaseTransaction* aTrans, TDescriptor* aDescriptor) {
    return new T(aParent, aHub, aTrans, aDescriptor);
  }
};

// ---------------------------------------------------------------------------
// TmvFulltextTableEngine

class TmvFulltextTableEngine : public TmvBaseFulltextTableEngine {
  MV_DECLARE_CLASSREF(TmvFulltextTableEngineClassRef)
 public:
  // Creates the indices engine of "Fulltext$Indices" and the BLOB engine of
  // "Fulltext$Blob" (each only when the descriptor has it), then the
  // full-text index engines. aTrans: the table is being created in it.
  TmvFulltextTableEngine(TmvFulltextDescriptor* aDescriptor, TmvBaseTransaction* aTrans,
                         TmvBaseIndicesEngine* aMainIndicesEngine, const TmvBlockAccessArray& aFiles);
  // The index engines in reverse order, then the indices and BLOB engines.
  ~TmvFulltextTableEngine() override;

  // One full-text index engine per full-text index descriptor, in order.
  virtual void CreateIndices(TmvBaseTransaction* aTrans);

  TmvFulltextDescriptor* GetFulltextDescriptor() const { return ftteFulltextDescriptor; }
  const TmvBlockAccessArray& GetFiles() const { return ftteFiles; }
  TmvBaseIndicesEngine* GetMainIndicesEngine() const { return ftteMainIndicesEngine; }
  TmvBaseIndicesEngine* GetIndicesEngine() const { return ftteIndicesEngine; }
  TmvBaseBlobEngine* GetBlobEngine() const { return ftteBlobEngine; }
  int32_t FulltextIndexCount() const { return int32_t(ftteFulltextIndices.size()); }
  TmvFulltextIndexTableEngine* FulltextIndex(int32_t aIndex) const;

 private:
  void FreeAll();

  TmvFulltextDescriptor* ftteFulltextDescriptor;
  TmvBlockAccessArray ftteFiles;
  TmvBaseIndicesEngine* ftteMainIndicesEngine;
  std::vector<TmvFulltextIndexTableEngine*> ftteFulltextIndices;  // owned
  TmvBaseIndicesEngine* ftteIndicesEngine = nullptr;              // owned
  TmvBaseBlobEngine* ftteBlobEngine = nullptr;                    // owned
};

// ---------------------------------------------------------------------------
// TmvFulltextIndexTableEngine

class TmvFulltextIndexTableEngine;
using TmvFulltextIndexTableEngineClassRef =
    TmvFulltextFamilyClassRef<TmvFulltextIndexTableEngine, TmvFulltextTableEngine, void, TmvFulltextIndexDescriptor>;

// One full-text index: its extractor, filter and token index hubs (owned,
// made in that order; the filter hub even when it has no filters).
class TmvFulltextIndexTableEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvFulltextIndexTableEngineClassRef)
 public:
  TmvFulltextIndexTableEngine(TmvFulltextTableEngine* aParent, void* aHub, TmvBaseTransaction* aTrans,
                              TmvFulltextIndexDescriptor* aDescriptor);
  ~TmvFulltextIndexTableEngine() override;
  static TmvClassRegistry* Registry();
  static TmvFulltextIndexTableEngine* CreateFor(TmvFulltextTableEngine* aParent, TmvBaseTransaction* aTrans,
                                                TmvFulltextIndexDescriptor* aDescriptor);

  // Index -1 of each: the hub itself; otherwise its member.
  TmvBaseTokenExtractorTableEngine* TokenExtractor(int32_t aIndex) const;
  TmvBaseTokenFilterTableEngine* TokenFilter(int32_t aIndex) const;
  TmvBaseTokenIndexTableEngine* TokenIndex(int32_t aIndex) const;
  int32_t TokenExtractorCount() const;
  int32_t TokenFilterCount() const;
  int32_t TokenIndexCount() const;

  TmvFulltextTableEngine* GetParentFulltextTableEngine() const { return fiteParentFulltextTableEngine; }
  TmvFulltextIndexDescriptor* GetFulltextIndexDescriptor() const { return fiteFulltextIndexDescriptor; }

 private:
  void FreeHubs();

  TmvFulltextTableEngine* fiteParentFulltextTableEngine;
  TmvFulltextIndexDescriptor* fiteFulltextIndexDescriptor;
  TmvTokenExtractorHubTableEngine* fiteTokenExtractorHub = nullptr;  // owned
  TmvTokenFilterHubTableEngine* fiteTokenFilterHub = nullptr;        // owned
  TmvTokenIndexHubTableEngine* fiteTokenIndexHub = nullptr;          // owned
};

// ---------------------------------------------------------------------------
// Token sources: extractors and filters

class TmvBaseTokenSourceTableEngine : public TmvBaseRegisterableEngine {
 public:
  static const TmvRegisterableEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvBaseTokenSourceTableEngine(TmvFulltextIndexTableEngine* aParent)
      : btsteParentFulltextIndexTableEngine(aParent) {}
  TmvFulltextIndexTableEngine* GetParentFulltextIndexTableEngine() const {
    return btsteParentFulltextIndexTableEngine;
  }

 protected:
  TmvFulltextIndexTableEngine* btsteParentFulltextIndexTableEngine;
};

using TmvTokenExtractorTableEngineClassRef =
    TmvFulltextFamilyClassRef<TmvBaseTokenExtractorTableEngine, TmvFulltextIndexTableEngine,
                              TmvTokenExtractorHubTableEngine, TmvBaseTokenExtractorDescriptor>;

// The root of the extractors: a filter hub of its own (owned) when its
// descriptor's filter hub holds a filter.
class TmvBaseTokenExtractorTableEngine : public TmvBaseTokenSourceTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenExtractorTableEngineClassRef)
 public:
  TmvBaseTokenExtractorTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenExtractorHubTableEngine* aHub,
                                   TmvBaseTransaction* aTrans, TmvBaseTokenExtractorDescriptor* aDescriptor);
  ~TmvBaseTokenExtractorTableEngine() override;
  static TmvClassRegistry* Registry();
  // A hub directly below the full-text index, and a member of aHub.
  static TmvBaseTokenExtractorTableEngine* CreateFor(TmvFulltextIndexTableEngine* aParent, TmvBaseTransaction* aTrans,
                                                     TmvBaseTokenExtractorDescriptor* aDescriptor);
  static TmvBaseTokenExtractorTableEngine* CreateFor(TmvTokenExtractorHubTableEngine* aHub, TmvBaseTransaction* aTrans,
                                                     TmvBaseTokenExtractorDescriptor* aDescriptor);

  // -1: the filter hub (nil without one).
  TmvBaseTokenFilterTableEngine* TokenFilter(int32_t aIndex) const;
  int32_t TokenFilterCount() const;
  TmvTokenExtractorHubTableEngine* GetParentTokenExtractorHubTableEngine() const {
    return bteteParentTokenExtractorHubTableEngine;
  }
  TmvBaseTokenExtractorDescriptor* GetTokenExtractorDescriptor() const { return bteteTokenExtractorDescriptor; }

 protected:
  TmvTokenExtractorHubTableEngine* bteteParentTokenExtractorHubTableEngine;
  TmvBaseTokenExtractorDescriptor* bteteTokenExtractorDescriptor;
  TmvTokenFilterHubTableEngine* bteteTokenFilterHub = nullptr;  // owned
};

class TmvTokenExtractorHubTableEngine : public TmvBaseTokenExtractorTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenExtractorTableEngineClassRef)
 public:
  TmvTokenExtractorHubTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenExtractorHubTableEngine* aHub,
                                  TmvBaseTransaction* aTrans, TmvBaseTokenExtractorDescriptor* aDescriptor);
  ~TmvTokenExtractorHubTableEngine() override;
  // One member per extractor of the descriptor, in order.
  virtual void CreateExtractors(TmvBaseTransaction* aTrans);
  int32_t TokenExtractorCount() const { return int32_t(tehteTokenExtractors.size()); }
  TmvBaseTokenExtractorTableEngine* TokenExtractor(int32_t aIndex) const;

 protected:
  TmvTokenExtractorHubDescriptor* tehteTokenExtractorHubDescriptor;
  std::vector<TmvBaseTokenExtractorTableEngine*> tehteTokenExtractors;  // owned
};

class TmvFieldTokenExtractorTableEngine : public TmvBaseTokenExtractorTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenExtractorTableEngineClassRef)
 public:
  TmvFieldTokenExtractorTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenExtractorHubTableEngine* aHub,
                                    TmvBaseTransaction* aTrans, TmvBaseTokenExtractorDescriptor* aDescriptor);
  TmvFieldTokenExtractorDescriptor* GetFieldTokenExtractorDescriptor() const {
    return fteteFieldTokenExtractorDescriptor;
  }

 protected:
  TmvFieldTokenExtractorDescriptor* fteteFieldTokenExtractorDescriptor;
};

using TmvTokenFilterTableEngineClassRef =
    TmvFulltextFamilyClassRef<TmvBaseTokenFilterTableEngine, TmvFulltextIndexTableEngine, TmvTokenFilterHubTableEngine,
                              TmvBaseTokenFilterDescriptor>;

// The root of the filters. The filters keep nothing of their own: the
// cursor side reads their parameters from the descriptor.
class TmvBaseTokenFilterTableEngine : public TmvBaseTokenSourceTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterTableEngineClassRef)
 public:
  TmvBaseTokenFilterTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenFilterHubTableEngine* aHub,
                                TmvBaseTransaction* aTrans, TmvBaseTokenFilterDescriptor* aDescriptor);
  static TmvClassRegistry* Registry();
  static TmvBaseTokenFilterTableEngine* CreateFor(TmvFulltextIndexTableEngine* aParent, TmvBaseTransaction* aTrans,
                                                  TmvBaseTokenFilterDescriptor* aDescriptor);
  static TmvBaseTokenFilterTableEngine* CreateFor(TmvTokenFilterHubTableEngine* aHub, TmvBaseTransaction* aTrans,
                                                  TmvBaseTokenFilterDescriptor* aDescriptor);
  TmvTokenFilterHubTableEngine* GetParentTokenFilterHubTableEngine() const {
    return btfteParentTokenFilterHubTableEngine;
  }
  TmvBaseTokenFilterDescriptor* GetTokenFilterDescriptor() const { return btfteTokenFilterDescriptor; }

 protected:
  TmvTokenFilterHubTableEngine* btfteParentTokenFilterHubTableEngine;
  TmvBaseTokenFilterDescriptor* btfteTokenFilterDescriptor;
};

class TmvTokenFilterHubTableEngine : public TmvBaseTokenFilterTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterTableEngineClassRef)
 public:
  TmvTokenFilterHubTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenFilterHubTableEngine* aHub,
                               TmvBaseTransaction* aTrans, TmvBaseTokenFilterDescriptor* aDescriptor);
  ~TmvTokenFilterHubTableEngine() override;
  // One member per filter of the descriptor, in order.
  virtual void CreateFilters(TmvBaseTransaction* aTrans);
  int32_t TokenFilterCount() const { return int32_t(tfhteTokenFilters.size()); }
  TmvBaseTokenFilterTableEngine* TokenFilter(int32_t aIndex) const;

 protected:
  TmvTokenFilterHubDescriptor* tfhteTokenFilterHubDescriptor;
  std::vector<TmvBaseTokenFilterTableEngine*> tfhteTokenFilters;  // owned
};

// The filter classes: one per filter descriptor class, nothing of their own.
#define MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(Name, Base)                                                  \
  class Name : public Base {                                                                              \
    MV_DECLARE_CLASSREF(TmvTokenFilterTableEngineClassRef)                                                \
   public:                                                                                                \
    using Base::Base;                                                                                     \
  };
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvBaseSeparatorTokenFilterTableEngine, TmvBaseTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvWideCharSeparatorTokenFilterTableEngine, TmvBaseSeparatorTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvCategorySeparatorTokenFilterTableEngine, TmvBaseSeparatorTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvBaseLocaleMappingTokenFilterTableEngine, TmvBaseTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvLowercaseLocaleMappingTokenFilterTableEngine,
                                     TmvBaseLocaleMappingTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvUppercaseLocaleMappingTokenFilterTableEngine,
                                     TmvBaseLocaleMappingTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvCustomLocaleMappingTokenFilterTableEngine,
                                     TmvBaseLocaleMappingTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvBaseFoldStringTokenFilterTableEngine, TmvBaseTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvPreComposeFoldStringTokenFilterTableEngine,
                                     TmvBaseFoldStringTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvDecomposeFoldStringTokenFilterTableEngine,
                                     TmvBaseFoldStringTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvCustomFoldStringTokenFilterTableEngine, TmvBaseFoldStringTokenFilterTableEngine)
MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE(TmvStringReplaceTokenFilterTableEngine, TmvBaseTokenFilterTableEngine)
#undef MV_DECLARE_TOKEN_FILTER_TABLE_ENGINE

// ---------------------------------------------------------------------------
// Token indexes

using TmvTokenIndexTableEngineClassRef =
    TmvFulltextFamilyClassRef<TmvBaseTokenIndexTableEngine, TmvFulltextIndexTableEngine, TmvTokenIndexHubTableEngine,
                              TmvBaseTokenIndexDescriptor>;

// The root of the token indexes: a filter hub of its own (owned) when its
// descriptor's filter hub holds a filter.
class TmvBaseTokenIndexTableEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexTableEngineClassRef)
 public:
  TmvBaseTokenIndexTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenIndexHubTableEngine* aHub,
                               TmvBaseTransaction* aTrans, TmvBaseTokenIndexDescriptor* aDescriptor);
  ~TmvBaseTokenIndexTableEngine() override;
  static TmvClassRegistry* Registry();
  static TmvBaseTokenIndexTableEngine* CreateFor(TmvFulltextIndexTableEngine* aParent, TmvBaseTransaction* aTrans,
                                                 TmvBaseTokenIndexDescriptor* aDescriptor);
  static TmvBaseTokenIndexTableEngine* CreateFor(TmvTokenIndexHubTableEngine* aHub, TmvBaseTransaction* aTrans,
                                                 TmvBaseTokenIndexDescriptor* aDescriptor);

  TmvBaseTokenFilterTableEngine* TokenFilter(int32_t aIndex) const;
  int32_t TokenFilterCount() const;
  TmvFulltextIndexTableEngine* GetParentFulltextIndexTableEngine() const {
    return btiteParentFulltextIndexTableEngine;
  }
  TmvTokenIndexHubTableEngine* GetParentTokenIndexHubTableEngine() const {
    return btiteParentTokenIndexHubTableEngine;
  }
  TmvBaseTokenIndexDescriptor* GetTokenIndexDescriptor() const { return btiteTokenIndexDescriptor; }

 protected:
  TmvFulltextIndexTableEngine* btiteParentFulltextIndexTableEngine;
  TmvTokenIndexHubTableEngine* btiteParentTokenIndexHubTableEngine;
  TmvBaseTokenIndexDescriptor* btiteTokenIndexDescriptor;
  TmvTokenFilterHubTableEngine* btiteTokenFilterHub = nullptr;  // owned
};

class TmvTokenIndexHubTableEngine : public TmvBaseTokenIndexTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexTableEngineClassRef)
 public:
  TmvTokenIndexHubTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenIndexHubTableEngine* aHub,
                              TmvBaseTransaction* aTrans, TmvBaseTokenIndexDescriptor* aDescriptor);
  ~TmvTokenIndexHubTableEngine() override;
  // One member per token index of the descriptor, in order.
  virtual void CreateTokenIndexes(TmvBaseTransaction* aTrans);
  int32_t TokenIndexCount() const { return int32_t(tihteTokenIndexs.size()); }
  TmvBaseTokenIndexTableEngine* TokenIndex(int32_t aIndex) const;

 protected:
  TmvTokenIndexHubDescriptor* tihteTokenIndexHubDescriptor;
  std::vector<TmvBaseTokenIndexTableEngine*> tihteTokenIndexs;  // owned
};

// Tokens in the B*-tree indexes of "Fulltext$Indices" (the index and its
// reverse, each nil when its descriptor is absent), bit arrays through the
// storage handler (owned; nil when the descriptor names none).
class TmvBitArrayTokenIndexTableEngine : public TmvBaseTokenIndexTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexTableEngineClassRef)
 public:
  TmvBitArrayTokenIndexTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenIndexHubTableEngine* aHub,
                                   TmvBaseTransaction* aTrans, TmvBaseTokenIndexDescriptor* aDescriptor);
  ~TmvBitArrayTokenIndexTableEngine() override;

  TmvBitArrayTokenIndexDescriptor* GetBitArrayTokenIndexDescriptor() const {
    return batiteBitArrayTokenIndexDescriptor;
  }
  TmvBaseBitArrayStorageHandlerTableEngine* GetBitArrayStorageHandler() const {
    return batiteBitArrayStorageHandlerTableEngine;
  }
  TmvBaseIndexEngine* GetIndexEngine() const { return batiteIndexEngine; }
  TmvBaseIndexEngine* GetReverseIndexEngine() const { return batiteReverseIndexEngine; }

 protected:
  TmvBitArrayTokenIndexDescriptor* batiteBitArrayTokenIndexDescriptor;
  TmvBaseBitArrayStorageHandlerTableEngine* batiteBitArrayStorageHandlerTableEngine = nullptr;  // owned
  TmvBaseIndexEngine* batiteIndexEngine = nullptr;
  TmvBaseIndexEngine* batiteReverseIndexEngine = nullptr;
};

// Tokens in index MainIndexNumber of the table's main indices.
class TmvMainIndexTokenIndexTableEngine : public TmvBaseTokenIndexTableEngine {
  MV_DECLARE_CLASSREF(TmvTokenIndexTableEngineClassRef)
 public:
  TmvMainIndexTokenIndexTableEngine(TmvFulltextIndexTableEngine* aParent, TmvTokenIndexHubTableEngine* aHub,
                                    TmvBaseTransaction* aTrans, TmvBaseTokenIndexDescriptor* aDescriptor);
  TmvMainIndexTokenIndexDescriptor* GetMainIndexTokenIndexDescriptor() const {
    return mititeMainIndexTokenIndexDescriptor;
  }
  TmvBaseIndexEngine* GetMainIndexEngine() const { return mititeMainIndexEngine; }

 protected:
  TmvMainIndexTokenIndexDescriptor* mititeMainIndexTokenIndexDescriptor;
  TmvBaseIndexEngine* mititeMainIndexEngine = nullptr;
};

// ---------------------------------------------------------------------------
// Bit-array storage handlers

using TmvBitArrayStorageHandlerTableEngineClassRef =
    TmvFulltextFamilyClassRef<TmvBaseBitArrayStorageHandlerTableEngine, TmvBaseTokenIndexTableEngine, void,
                              TmvBaseBitArrayStorageHandlerDescriptor>;

class TmvBaseBitArrayStorageHandlerTableEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvBitArrayStorageHandlerTableEngineClassRef)
 public:
  TmvBaseBitArrayStorageHandlerTableEngine(TmvBaseTokenIndexTableEngine* aParent, void* aHub,
                                           TmvBaseTransaction* aTrans,
                                           TmvBaseBitArrayStorageHandlerDescriptor* aDescriptor);
  static TmvClassRegistry* Registry();
  // Nil for a nil descriptor.
  static TmvBaseBitArrayStorageHandlerTableEngine* CreateFor(TmvBaseTokenIndexTableEngine* aParent,
                                                             TmvBaseTransaction* aTrans,
                                                             TmvBaseBitArrayStorageHandlerDescriptor* aDescriptor);

  // Sets bit aBit of the bit array aBitArrayRef (9729 when it is set).
  virtual void SetBit(TmvBaseTransaction* aTrans, uint32_t aBit, TmvRefNr aBitArrayRef) = 0;
  // Clears it (9729 when it is not set); true when that was the last bit,
  // and the bit array is gone.
  virtual bool ClearBit(TmvBaseTransaction* aTrans, uint32_t aBit, TmvRefNr aBitArrayRef) = 0;
  // A new bit array with bit aBit set; its reference.
  virtual TmvRefNr CreateNew(TmvBaseTransaction* aTrans, uint32_t aBit) = 0;

  TmvBaseBitArrayStorageHandlerDescriptor* GetBitArrayStorageHandlerDescriptor() const {
    return bbashBitArrayStorageHandlerDescriptor;
  }

 protected:
  TmvBaseBitArrayStorageHandlerDescriptor* bbashBitArrayStorageHandlerDescriptor;
};

// Each bit array one BLOB of the full-text table engine's BLOB engine.
class TmvSimpleBitArrayStorageHandlerTableEngine : public TmvBaseBitArrayStorageHandlerTableEngine {
  MV_DECLARE_CLASSREF(TmvBitArrayStorageHandlerTableEngineClassRef)
 public:
  TmvSimpleBitArrayStorageHandlerTableEngine(TmvBaseTokenIndexTableEngine* aParent, void* aHub,
                                             TmvBaseTransaction* aTrans,
                                             TmvBaseBitArrayStorageHandlerDescriptor* aDescriptor);
  void SetBit(TmvBaseTransaction* aTrans, uint32_t aBit, TmvRefNr aBitArrayRef) override;
  bool ClearBit(TmvBaseTransaction* aTrans, uint32_t aBit, TmvRefNr aBitArrayRef) override;
  TmvRefNr CreateNew(TmvBaseTransaction* aTrans, uint32_t aBit) override;

 private:
  TmvBaseBlobEngine& Blobs() const;
  uint32_t BlobLength(TmvBaseTransaction* aTrans, TmvRefNr aBitArrayRef) const;
  uint8_t ReadByte(TmvBaseTransaction* aTrans, TmvRefNr aBitArrayRef, uint32_t aOffset) const;
  uint32_t ReadCount(TmvBaseTransaction* aTrans, TmvRefNr aBitArrayRef) const;
  void WriteCount(TmvBaseTransaction* aTrans, TmvRefNr aBitArrayRef, uint32_t aCount) const;

  TmvBaseBlobEngine* sbashBlobEngine;  // the full-text table engine's
};

// ---------------------------------------------------------------------------
// Capture streams: the BLOB engine's reads write into them.

// Takes exactly 4 bytes, the little-endian count.
class TmvCountStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* aBuffer, int32_t aCount) override;
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  uint32_t csCount = 0;
  bool csWritten = false;
};

// Takes exactly 1 byte.
class TmvCurrentByteStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* aBuffer, int32_t aCount) override;
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  uint8_t cbsCurrentByte = 0;
  bool cbsWritten = false;
};

// Registers the full-text table engine and the classes of the five
// families; shutdown takes them out again (the families' registries go
// with their last class).
void mvseFulltextEngineTableInit();
void mvseFulltextEngineTableFini();
