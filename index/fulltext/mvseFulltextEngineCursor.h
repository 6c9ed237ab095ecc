// Index engines (full text): the token pipeline of a cursor (unit
// mvseFulltextEngineCursor).
//
// Every cursor of a table with full text turns a record image into a stream
// of tokens, once per full-text index and per side (the old image and the
// new one), by a chain of token sources built from the table's shared engine
// tree (storage/fulltext/mvseFulltextEngineTable.h): extractors read field
// values, filters cut and normalise the tokens, hubs combine extractors or
// run filters one after the other. A token carries its text, its distance
// from the token before it and the number of the top-level extractor that
// produced it. Each cursor engine class is found from its table engine's
// class name with "TableEngine" replaced by "CursorEngine" in its family's
// registry; a missing one raises 15503 "Unknown <family> engine: "<name>""
// (families TokenExtractor and TokenFilter here).
//
// Calling order per record image: Initialize on the top-level extractor hub
// (it reaches every extractor), Reset, then NextToken until it gives nil;
// Reset may start the same stream again.
//
// The cursor calls: the BLOB reads of memo fields and the record identity
// of an image are answered by the server's table cursor, which sits above
// this layer. They go through TmvFulltextCursorCalls, installed by the
// server unit at start-up (tests install their own); until then each call
// fails the assertion that names it.
//
// It lives here, beside the token key engines, because the index upkeep
// that reads these chains (mvseFulltextEngineCursorIndex.h) builds their
// keys. A chain belongs to one cursor and is used by the thread that works
// on it; the table-side engines it reads are shared and read only. Calls
// the full-text table engines and descriptors, the wide-string lists,
// comparers and transformers, the character categories, the timeout scopes
// and, through the calls above, the server's cursor.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/types/mvllWideString.h"
#include "storage/fulltext/mvllWideStringList.h"
#include "storage/fulltext/mvseFulltextEngineTable.h"

class TmvAbstractCursor;  // the server engine's cursor
class TmvFieldsDescriptor;
class TmvFulltextIndexCursorEngine;
class TmvBaseTokenExtractorCursorEngine;
class TmvTokenExtractorHubCursorEngine;
class TmvBaseTokenFilterCursorEngine;
class TmvTokenFilterHubCursorEngine;

MV_DECLARE_EXCEPTION(EmvFulltextCursorEngineException, EmvFulltextEngineException)

// ---------------------------------------------------------------------------
// The cursor calls

// What a full-text cursor engine reports per token to the extenders of its
// cursor (the action eaRecordFulltextUpdate, asked before the change): the
// main index's number, the token and the record (both by reference), the
// location and whether the token is added.
using TmvFulltextUpdateNotify =
    std::function<void(int32_t aIndexNumber, TmvWideString& aToken, TmvRefNr& aRefNr, int64_t aLocation, bool aAdd)>;

struct TmvFulltextCursorCalls {
  // The cursor's identity of a record image (acGetRecID).
  TmvRecID (*GetRecID)(TmvAbstractCursor* aCursor, const void* aRecord) = nullptr;
  // sbcBlobGetLength of the cursor (a server table cursor): 0 or an error
  // code. aReadOrg reads the original, committed data.
  uint32_t (*BlobGetLength)(TmvAbstractCursor* aCursor, const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                            bool aReadOrg, uint32_t& aLength) = nullptr;
  // sbcBlobRead: aLen bytes from aOffset appended to aStream.
  uint32_t (*BlobRead)(TmvAbstractCursor* aCursor, const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                       uint32_t aOffset, uint32_t aLen, bool aReadOrg, TStream* aStream) = nullptr;
  // The cursor's notification for eaRecordFulltextUpdate; empty when no
  // extender asks for that action.
  TmvFulltextUpdateNotify (*GetFulltextNotify)(TmvAbstractCursor* aCursor) = nullptr;
};

// Installs the calls (empty calls uninstall them).
void mvSetFulltextCursorCalls(const TmvFulltextCursorCalls& aCalls);
TmvRecID mvFulltextCursorRecID(TmvAbstractCursor* aCursor, const void* aRecord);
uint32_t mvFulltextCursorBlobGetLength(TmvAbstractCursor* aCursor, const TmvRecID& aRecID, int32_t aFieldNo,
                                       TmvBlobNr aBlobNr, bool aReadOrg, uint32_t& aLength);
uint32_t mvFulltextCursorBlobRead(TmvAbstractCursor* aCursor, const TmvRecID& aRecID, int32_t aFieldNo,
                                  TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, bool aReadOrg, TStream* aStream);
TmvFulltextUpdateNotify mvFulltextCursorNotify(TmvAbstractCursor* aCursor);

// The cursor a full-text index cursor engine works for (its full-text
// cursor engine's cursor).
TmvAbstractCursor* mvFulltextIndexCursor(TmvFulltextIndexCursorEngine* aEngine);

// ---------------------------------------------------------------------------
// Tokens

class ImvToken : public IInterface {
 public:
  virtual void GetToken(TmvWideString& aToken) = 0;
  virtual int32_t GetDistance() = 0;
  virtual int16_t GetField() = 0;

 protected:
  ~ImvToken() = default;
};
inline constexpr TGUID IID_ImvToken{0x3F0A9C21, 0x7D42, 0x4B6E, {0x9A, 0x15, 0xC8, 0x2E, 0x61, 0x04, 0xB7, 0x5D}};
using TmvTokenRef = TInterfacePtr<ImvToken>;

// Never changed after creation: a filter that alters a token makes a new one.
class TmvToken : public TmvWideStringInterfaced<ImvToken, IID_ImvToken> {
 public:
  TmvToken(const TmvWideString& aToken, int32_t aDistance, int16_t aField)
      : tknToken(aToken), tknDistance(aDistance), tknField(aField) {}
  void GetToken(TmvWideString& aToken) override { aToken = tknToken; }
  int32_t GetDistance() override { return tknDistance; }
  int16_t GetField() override { return tknField; }
  // The text without a copy.
  const TmvWideString& Text() const { return tknToken; }

 private:
  TmvWideString tknToken;
  int32_t tknDistance;
  int16_t tknField;
};

void mvNewToken(const TmvWideString& aToken, int32_t aDistance, int16_t aField, TmvTokenRef& aResult);

// ---------------------------------------------------------------------------
// Token sources

// The family record of a cursor-side family: the virtual constructor, given
// the arguments of the family's Create.
template <typename TEngine, typename... Args>
struct TmvFulltextCursorFamilyClassRef : TmvRegisterableEngineClassRef {
  TEngine* (*CreateEngine)(Args... aArgs);

  template <typename T>
  static TEngine* Construct(Args... aArgs) {
    return new T(aArgs...);
  }
};

// The class of aFamily that serves aTableEngine: its class name with every
// "TableEngine" replaced by "CursorEngine"; 15503 naming aWord when none is
// registered (or it is abstract).
const TmvRegisterableEngineClassRef* mvFindFulltextCursorClass(const TmvRegisterableEngineClassRef& aFamily,
                                                               const TPersistent& aTableEngine);
[[noreturn]] void mvRaiseUnknownFulltextCursorEngine(const char16_t* aWord, const TPersistent& aTableEngine);
template <typename R>
const R& mvFulltextCursorClassFor(const R& aFamily, const char16_t* aWord, const TPersistent& aTableEngine) {
  const auto* cls = static_cast<const R*>(mvFindFulltextCursorClass(aFamily, aTableEngine));
  if (!cls || !cls->CreateEngine) mvRaiseUnknownFulltextCursorEngine(aWord, aTableEngine);
  return *cls;
}

// Frees the engines of a list, the last first, and empties it.
template <typename T>
void mvFreeEnginesReverse(std::vector<T*>& aList) {
  while (!aList.empty()) {
    delete aList.back();
    aList.pop_back();
  }
}

// The engine at aIndex; the list's index error outside it.
template <typename T>
T* mvEngineAt(const std::vector<T*>& aList, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= int32_t(aList.size())) throw EListError(SListIndexError, {aIndex});
  return aList[size_t(aIndex)];
}

class TmvBaseTokenSourceCursorEngine : public TmvBaseRegisterableEngine {
 public:
  static const TmvRegisterableEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  explicit TmvBaseTokenSourceCursorEngine(TmvFulltextIndexCursorEngine* aParent)
      : btsceParentFulltextIndexCursorEngine(aParent) {}

  // Back to the first token.
  virtual void Reset() {}
  // The next token; nil at the end of the stream.
  virtual void NextToken(TmvTokenRef& aToken) { aToken.reset(); }

  TmvFulltextIndexCursorEngine* GetParentFulltextIndexCursorEngine() const {
    return btsceParentFulltextIndexCursorEngine;
  }

 protected:
  TmvFulltextIndexCursorEngine* btsceParentFulltextIndexCursorEngine;
};

using TmvTokenExtractorCursorEngineClassRef =
    TmvFulltextCursorFamilyClassRef<TmvBaseTokenExtractorCursorEngine, TmvFulltextIndexCursorEngine*,
                                    TmvTokenExtractorHubCursorEngine*, TmvBaseTokenExtractorTableEngine*>;

// The root of the extractors. One whose table engine has a filter hub reads
// its own tokens through a redirector into that hub: its NextToken and
// Reset then go to the hub, otherwise straight to NextTokenInternal and
// ResetInternal.
class TmvBaseTokenExtractorCursorEngine : public TmvBaseTokenSourceCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenExtractorCursorEngineClassRef)
 public:
  TmvBaseTokenExtractorCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenExtractorHubCursorEngine* aHub,
                                    TmvBaseTokenExtractorTableEngine* aTableEngine);
  ~TmvBaseTokenExtractorCursorEngine() override;
  static TmvClassRegistry* Registry();
  // A hub directly below the full-text index, and a member of aHub.
  static TmvBaseTokenExtractorCursorEngine* CreateFor(TmvFulltextIndexCursorEngine* aParent,
                                                      TmvBaseTokenExtractorTableEngine* aTableEngine);
  static TmvBaseTokenExtractorCursorEngine* CreateFor(TmvTokenExtractorHubCursorEngine* aHub,
                                                      TmvBaseTokenExtractorTableEngine* aTableEngine);

  void Reset() override;
  void NextToken(TmvTokenRef& aToken) override;
  // Keeps the record image (not owned) and its identity; aReadOrg: its
  // BLOBs are read from the committed data.
  virtual void Initialize(const void*, const TmvRecID&, bool) {}
  virtual void ResetInternal() {}
  virtual void NextTokenInternal(TmvTokenRef& aToken) { aToken.reset(); }

  // -1: the filter hub (nil without one).
  TmvBaseTokenFilterCursorEngine* TokenFilter(int32_t aIndex) const;
  int32_t TokenFilterCount() const;
  TmvBaseTokenExtractorTableEngine* GetTokenExtractorTableEngine() const { return bteceTokenExtractorTableEngine; }
  TmvTokenExtractorHubCursorEngine* GetParentTokenExtractorHubCursorEngine() const {
    return bteceParentTokenExtractorHubCursorEngine;
  }

 protected:
  TmvTokenExtractorHubCursorEngine* bteceParentTokenExtractorHubCursorEngine;
  TmvBaseTokenExtractorTableEngine* bteceTokenExtractorTableEngine;
  TmvBaseTokenSourceCursorEngine* bteceTokenFilterHubSource = nullptr;  // owned redirector
  TmvTokenFilterHubCursorEngine* bteceTokenFilterHub = nullptr;         // owned
};

// Hands an extractor's own tokens to its filter hub.
class TmvTokenExtractorSourceRedirectorCursorEngine : public TmvBaseTokenSourceCursorEngine {
 public:
  explicit TmvTokenExtractorSourceRedirectorCursorEngine(TmvBaseTokenExtractorCursorEngine* aParent)
      : TmvBaseTokenSourceCursorEngine(aParent->GetParentFulltextIndexCursorEngine()), tesrceParent(aParent) {}
  void Reset() override { tesrceParent->ResetInternal(); }
  void NextToken(TmvTokenRef& aToken) override { tesrceParent->NextTokenInternal(aToken); }

 private:
  TmvBaseTokenExtractorCursorEngine* tesrceParent;
};

// Its members' tokens one member after the other, each token's field set to
// the member's position in this hub.
class TmvTokenExtractorHubCursorEngine : public TmvBaseTokenExtractorCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenExtractorCursorEngineClassRef)
 public:
  TmvTokenExtractorHubCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenExtractorHubCursorEngine* aHub,
                                   TmvBaseTokenExtractorTableEngine* aTableEngine);
  ~TmvTokenExtractorHubCursorEngine() override;
  // One member per table-side member, in order.
  virtual void CreateExtractors();
  void Initialize(const void* aRecord, const TmvRecID& aRecID, bool aReadOrg) override;
  void ResetInternal() override;
  void NextTokenInternal(TmvTokenRef& aToken) override;
  int32_t TokenExtractorCount() const { return int32_t(tehceTokenExtractors.size()); }
  // -1: the hub itself.
  TmvBaseTokenExtractorCursorEngine* TokenExtractor(int32_t aIndex);

 protected:
  TmvTokenExtractorHubTableEngine* tehceTokenExtractorHubTableEngine;
  std::vector<TmvBaseTokenExtractorCursorEngine*> tehceTokenExtractors;  // owned
  int32_t tehceCurrentExtractor = 0;
};

// The whole value of one field as one token (distance 0, field 0); none for
// a null field, an empty value, BLOB number 0 or a failed BLOB read.
class TmvFieldTokenExtractorCursorEngine : public TmvBaseTokenExtractorCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenExtractorCursorEngineClassRef)
 public:
  using TmvTokenMethod = void (TmvFieldTokenExtractorCursorEngine::*)(TmvTokenRef& aToken);

  TmvFieldTokenExtractorCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenExtractorHubCursorEngine* aHub,
                                     TmvBaseTokenExtractorTableEngine* aTableEngine);
  void Initialize(const void* aRecord, const TmvRecID& aRecID, bool aReadOrg) override;
  void ResetInternal() override { fteceUsed = false; }
  void NextTokenInternal(TmvTokenRef& aToken) override;
  uint16_t GetCodepage() const { return fteceCodepage; }

 private:
  // The field's bytes in the record; nil when it is null.
  const uint8_t* FieldBytes() const;
  void Emit(const TmvWideString& aText, TmvTokenRef& aToken);
  void fteceShortStringConvert(TmvTokenRef& aToken);
  void fteceNullStringConvert(TmvTokenRef& aToken);
  void fteceWideStringConvert(TmvTokenRef& aToken);
  void fteceBlobMemoConvert(TmvTokenRef& aToken);
  void fteceBlobWideMemoConvert(TmvTokenRef& aToken);
  // The BLOB of the field read whole; false for none or a failed read.
  bool ReadBlob(std::vector<uint8_t>& aBytes);
  TmvWideString Convert(const uint8_t* aBytes, int32_t aCount, const char16_t* aAction);

  TmvFieldTokenExtractorTableEngine* fteceFieldTokenExtractorTableEngine;
  TmvFieldsDescriptor* fteceFieldsDescriptor = nullptr;
  TmvFieldDescriptor* fteceField = nullptr;
  const void* fteceRecord = nullptr;
  TmvRecID fteceRecID;
  bool fteceReadOrg = false;
  bool fteceUsed = false;
  TmvTokenMethod fteceFieldToToken = nullptr;
  uint16_t fteceCodepage = 0;
};

using TmvTokenFilterCursorEngineClassRef =
    TmvFulltextCursorFamilyClassRef<TmvBaseTokenFilterCursorEngine, TmvFulltextIndexCursorEngine*,
                                    TmvTokenFilterHubCursorEngine*, TmvBaseTokenSourceCursorEngine*,
                                    TmvBaseTokenFilterTableEngine*>;

// The root of the filters: each reads the tokens of its source.
class TmvBaseTokenFilterCursorEngine : public TmvBaseTokenSourceCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvBaseTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
                                 TmvBaseTokenSourceCursorEngine* aTokenSource,
                                 TmvBaseTokenFilterTableEngine* aTableEngine);
  static TmvClassRegistry* Registry();
  // A hub over aTokenSource, and a member of aHub.
  static TmvBaseTokenFilterCursorEngine* CreateFor(TmvFulltextIndexCursorEngine* aParent,
                                                   TmvBaseTokenSourceCursorEngine* aTokenSource,
                                                   TmvBaseTokenFilterTableEngine* aTableEngine);
  static TmvBaseTokenFilterCursorEngine* CreateFor(TmvTokenFilterHubCursorEngine* aHub,
                                                   TmvBaseTokenSourceCursorEngine* aTokenSource,
                                                   TmvBaseTokenFilterTableEngine* aTableEngine);
  void Reset() override { btfceTokenSource->Reset(); }
  TmvBaseTokenFilterTableEngine* GetTokenFilterTableEngine() const { return btfceTokenFilterTableEngine; }
  TmvTokenFilterHubCursorEngine* GetParentTokenFilterHubCursorEngine() const {
    return btfceParentTokenFilterHubCursorEngine;
  }

 protected:
  TmvTokenFilterHubCursorEngine* btfceParentTokenFilterHubCursorEngine;
  TmvBaseTokenFilterTableEngine* btfceTokenFilterTableEngine;
  TmvBaseTokenSourceCursorEngine* btfceTokenSource;
};

// Its filters in descriptor order, each reading the one before; with none
// it passes its source on.
class TmvTokenFilterHubCursorEngine : public TmvBaseTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvTokenFilterHubCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
                                TmvBaseTokenSourceCursorEngine* aTokenSource,
                                TmvBaseTokenFilterTableEngine* aTableEngine);
  ~TmvTokenFilterHubCursorEngine() override;
  virtual void CreateFilters();
  void Reset() override { tfhceTokenSource->Reset(); }
  void NextToken(TmvTokenRef& aToken) override { tfhceTokenSource->NextToken(aToken); }
  int32_t TokenFilterCount() const { return int32_t(tfhceTokenFilters.size()); }
  // -1: the hub itself.
  TmvBaseTokenFilterCursorEngine* TokenFilter(int32_t aIndex);

 protected:
  TmvTokenFilterHubTableEngine* tfhceTokenFilterHubTableEngine;
  std::vector<TmvBaseTokenFilterCursorEngine*> tfhceTokenFilters;  // owned
  TmvBaseTokenSourceCursorEngine* tfhceTokenSource;
};

// Cuts its input tokens into words at separator units. The first word of
// an input keeps the input's distance (raised to the separator distance
// when the input begins with separators), every later word gets
// max(1, separator distance); an input without any separator passes as the
// very same token; empty words are never made.
class TmvBaseSeparatorTokenFilterCursorEngine : public TmvBaseTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvBaseSeparatorTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
                                          TmvBaseTokenSourceCursorEngine* aTokenSource,
                                          TmvBaseTokenFilterTableEngine* aTableEngine);
  void Reset() override;
  void NextToken(TmvTokenRef& aToken) override;
  virtual bool IsSeparator(char16_t aChar) = 0;

 protected:
  TmvTokenRef bstfceInputToken;
  TmvWideString bstfceInputText;
  int32_t bstfceInputPos = 0;
  int32_t bstfceNextDistance = 0;
  int32_t bstfceSeparatorDistance = 0;
};

class TmvWideCharSeparatorTokenFilterCursorEngine : public TmvBaseSeparatorTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvWideCharSeparatorTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                              TmvTokenFilterHubCursorEngine* aHub,
                                              TmvBaseTokenSourceCursorEngine* aTokenSource,
                                              TmvBaseTokenFilterTableEngine* aTableEngine);
  bool IsSeparator(char16_t aChar) override { return aChar == wcstfceSeparatorChar; }

 private:
  char16_t wcstfceSeparatorChar;
};

class TmvCategorySeparatorTokenFilterCursorEngine : public TmvBaseSeparatorTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvCategorySeparatorTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                              TmvTokenFilterHubCursorEngine* aHub,
                                              TmvBaseTokenSourceCursorEngine* aTokenSource,
                                              TmvBaseTokenFilterTableEngine* aTableEngine);
  bool IsSeparator(char16_t aChar) override;

 private:
  TmvCharacterCategories cstfceSeparatorCategories;
};

// Each token's text through a transformer (made by the concrete class).
class TmvTransformerTokenFilterCursorEngine : public TmvBaseTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  using TmvBaseTokenFilterCursorEngine::TmvBaseTokenFilterCursorEngine;
  void NextToken(TmvTokenRef& aToken) override;

 protected:
  TmvWideStringTransformerRef ttfceTransformer;
};

// A locale mapping (LCMapStringW) with the filter's used locale (0 without
// one) and the descriptor's flags.
class TmvBaseLocaleMappingTokenFilterCursorEngine : public TmvTransformerTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvBaseLocaleMappingTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                              TmvTokenFilterHubCursorEngine* aHub,
                                              TmvBaseTokenSourceCursorEngine* aTokenSource,
                                              TmvBaseTokenFilterTableEngine* aTableEngine);
};

// A string fold (FoldStringW) with the descriptor's flags.
class TmvBaseFoldStringTokenFilterCursorEngine : public TmvTransformerTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvBaseFoldStringTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
                                           TmvBaseTokenSourceCursorEngine* aTokenSource,
                                           TmvBaseTokenFilterTableEngine* aTableEngine);
};

#define MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE(Name, Base) \
  class Name : public Base {                              \
    MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef) \
   public:                                                \
    using Base::Base;                                     \
  };
MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE(TmvLowercaseLocaleMappingTokenFilterCursorEngine,
                                      TmvBaseLocaleMappingTokenFilterCursorEngine)
MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE(TmvUppercaseLocaleMappingTokenFilterCursorEngine,
                                      TmvBaseLocaleMappingTokenFilterCursorEngine)
MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE(TmvCustomLocaleMappingTokenFilterCursorEngine,
                                      TmvBaseLocaleMappingTokenFilterCursorEngine)
MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE(TmvPreComposeFoldStringTokenFilterCursorEngine,
                                      TmvBaseFoldStringTokenFilterCursorEngine)
MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE(TmvDecomposeFoldStringTokenFilterCursorEngine,
                                      TmvBaseFoldStringTokenFilterCursorEngine)
MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE(TmvCustomFoldStringTokenFilterCursorEngine,
                                      TmvBaseFoldStringTokenFilterCursorEngine)
#undef MV_DECLARE_TOKEN_FILTER_CURSOR_ENGINE

// The descriptor's replace items in order, each on the result of the one
// before; a text that comes out unchanged passes the input token itself.
class TmvStringReplaceTokenFilterCursorEngine : public TmvBaseTokenFilterCursorEngine {
  MV_DECLARE_CLASSREF(TmvTokenFilterCursorEngineClassRef)
 public:
  TmvStringReplaceTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
                                          TmvBaseTokenSourceCursorEngine* aTokenSource,
                                          TmvBaseTokenFilterTableEngine* aTableEngine);
  void NextToken(TmvTokenRef& aToken) override;

 private:
  std::vector<TmvStringReplaceTokenFilterItem> srtfceItems;
};

// Registers the extractor and filter cursor engines; shutdown takes them
// out (the registries go with their last class).
void mvseFulltextEngineCursorInit();
void mvseFulltextEngineCursorFini();
