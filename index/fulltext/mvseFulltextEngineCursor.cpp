// Index engines (full text): the token pipeline of a cursor. See
// mvseFulltextEngineCursor.h.
#include "index/fulltext/mvseFulltextEngineCursor.h"

#include <algorithm>
#include <cstring>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "platform/Nls.h"
#include "storage/fulltext/mvllWideStringCategories.h"
#include "storage/mvsrLog.h"
#include "storage/mvsrTimeoutHandling.h"

// ---------------------------------------------------------------------------
// The cursor calls

namespace {

TmvFulltextCursorCalls gCalls;

template <typename F>
F& Installed(F& aCall, const char16_t* aName) {
  if (!aCall) throw EAssertionFailed(u"The full-text cursor call %s is not installed", {String(aName)});
  return aCall;
}

}  // namespace

void mvSetFulltextCursorCalls(const TmvFulltextCursorCalls& aCalls) { gCalls = aCalls; }

TmvRecID mvFulltextCursorRecID(TmvAbstractCursor* aCursor, const void* aRecord) {
  return Installed(gCalls.GetRecID, u"GetRecID")(aCursor, aRecord);
}

uint32_t mvFulltextCursorBlobGetLength(TmvAbstractCursor* aCursor, const TmvRecID& aRecID, int32_t aFieldNo,
                                       TmvBlobNr aBlobNr, bool aReadOrg, uint32_t& aLength) {
  return Installed(gCalls.BlobGetLength, u"BlobGetLength")(aCursor, aRecID, aFieldNo, aBlobNr, aReadOrg, aLength);
}

uint32_t mvFulltextCursorBlobRead(TmvAbstractCursor* aCursor, const TmvRecID& aRecID, int32_t aFieldNo,
                                  TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, bool aReadOrg, TStream* aStream) {
  return Installed(gCalls.BlobRead, u"BlobRead")(aCursor, aRecID, aFieldNo, aBlobNr, aOffset, aLen, aReadOrg, aStream);
}

TmvFulltextUpdateNotify mvFulltextCursorNotify(TmvAbstractCursor* aCursor) {
  return Installed(gCalls.GetFulltextNotify, u"GetFulltextNotify")(aCursor);
}

// ---------------------------------------------------------------------------
// Tokens and class lookup

void mvNewToken(const TmvWideString& aToken, int32_t aDistance, int16_t aField, TmvTokenRef& aResult) {
  aResult = mvCreateInterfaced<ImvToken, TmvToken>(aToken, aDistance, aField);
}

const TmvRegisterableEngineClassRef* mvFindFulltextCursorClass(const TmvRegisterableEngineClassRef& aFamily,
                                                               const TPersistent& aTableEngine) {
  const String name = mvEngineNameForDescriptor(aTableEngine.ClassType().ClassName, u"TableEngine", u"CursorEngine");
  return TmvBaseRegisterableEngine::FindEngineClass(aFamily, name);
}

void mvRaiseUnknownFulltextCursorEngine(const char16_t* aWord, const TPersistent& aTableEngine) {
  const String name = mvEngineNameForDescriptor(aTableEngine.ClassType().ClassName, u"TableEngine", u"CursorEngine");
  throw EmvFulltextCursorEngineException(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"",
                                         {String(aWord), name});
}

namespace {

template <typename Descriptor>
Descriptor& FilterDescriptorAs(TmvBaseTokenFilterTableEngine* aTableEngine) {
  auto* descriptor = dynamic_cast<Descriptor*>(aTableEngine->GetTokenFilterDescriptor());
  if (!descriptor) throw EInvalidCast(SInvalidCast);
  return *descriptor;
}

}  // namespace

// ---------------------------------------------------------------------------
// Token extractors

constinit const TmvRegisterableEngineClassRef TmvBaseTokenSourceCursorEngine::StaticClass{
    {u"TmvBaseTokenSourceCursorEngine", &TmvBaseRegisterableEngine::StaticClass}, &mvNoRegistry, nullptr};

constinit const TmvTokenExtractorCursorEngineClassRef TmvBaseTokenExtractorCursorEngine::StaticClass{
    {{u"TmvBaseTokenExtractorCursorEngine", &TmvBaseTokenSourceCursorEngine::StaticClass},
     &TmvBaseTokenExtractorCursorEngine::Registry,
     nullptr},
    nullptr};

TmvClassRegistry* TmvBaseTokenExtractorCursorEngine::Registry() {
  return mvFamilyRegistry<TmvBaseTokenExtractorCursorEngine>();
}

TmvBaseTokenExtractorCursorEngine* TmvBaseTokenExtractorCursorEngine::CreateFor(
    TmvFulltextIndexCursorEngine* aParent, TmvBaseTokenExtractorTableEngine* aTableEngine) {
  return mvFulltextCursorClassFor(StaticClass, u"TokenExtractor", *aTableEngine)
      .CreateEngine(aParent, nullptr, aTableEngine);
}

TmvBaseTokenExtractorCursorEngine* TmvBaseTokenExtractorCursorEngine::CreateFor(
    TmvTokenExtractorHubCursorEngine* aHub, TmvBaseTokenExtractorTableEngine* aTableEngine) {
  return mvFulltextCursorClassFor(StaticClass, u"TokenExtractor", *aTableEngine)
      .CreateEngine(aHub->GetParentFulltextIndexCursorEngine(), aHub, aTableEngine);
}

TmvBaseTokenExtractorCursorEngine::TmvBaseTokenExtractorCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                                     TmvTokenExtractorHubCursorEngine* aHub,
                                                                     TmvBaseTokenExtractorTableEngine* aTableEngine)
    : TmvBaseTokenSourceCursorEngine(aParent),
      bteceParentTokenExtractorHubCursorEngine(aHub),
      bteceTokenExtractorTableEngine(aTableEngine) {
  if (TmvBaseTokenFilterTableEngine* hub = aTableEngine->TokenFilter(-1)) {
    bteceTokenFilterHubSource = new TmvTokenExtractorSourceRedirectorCursorEngine(this);
    try {
      bteceTokenFilterHub = static_cast<TmvTokenFilterHubCursorEngine*>(
          TmvBaseTokenFilterCursorEngine::CreateFor(aParent, bteceTokenFilterHubSource, hub));
    } catch (...) {
      delete bteceTokenFilterHubSource;
      throw;
    }
  }
}

TmvBaseTokenExtractorCursorEngine::~TmvBaseTokenExtractorCursorEngine() {
  delete bteceTokenFilterHub;
  delete bteceTokenFilterHubSource;
}

void TmvBaseTokenExtractorCursorEngine::Reset() {
  if (bteceTokenFilterHub)
    bteceTokenFilterHub->Reset();
  else
    ResetInternal();
}

void TmvBaseTokenExtractorCursorEngine::NextToken(TmvTokenRef& aToken) {
  if (bteceTokenFilterHub)
    bteceTokenFilterHub->NextToken(aToken);
  else
    NextTokenInternal(aToken);
}

TmvBaseTokenFilterCursorEngine* TmvBaseTokenExtractorCursorEngine::TokenFilter(int32_t aIndex) const {
  if (aIndex == -1 || !bteceTokenFilterHub) return bteceTokenFilterHub;
  return bteceTokenFilterHub->TokenFilter(aIndex);
}

int32_t TmvBaseTokenExtractorCursorEngine::TokenFilterCount() const {
  return bteceTokenFilterHub ? bteceTokenFilterHub->TokenFilterCount() : 0;
}

constinit const TmvTokenExtractorCursorEngineClassRef TmvTokenExtractorHubCursorEngine::StaticClass{
    {{u"TmvTokenExtractorHubCursorEngine", &TmvBaseTokenExtractorCursorEngine::StaticClass},
     &TmvBaseTokenExtractorCursorEngine::Registry,
     nullptr},
    &TmvTokenExtractorCursorEngineClassRef::Construct<TmvTokenExtractorHubCursorEngine>};

TmvTokenExtractorHubCursorEngine::TmvTokenExtractorHubCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                                   TmvTokenExtractorHubCursorEngine* aHub,
                                                                   TmvBaseTokenExtractorTableEngine* aTableEngine)
    : TmvBaseTokenExtractorCursorEngine(aParent, aHub, aTableEngine),
      tehceTokenExtractorHubTableEngine(&dynamic_cast<TmvTokenExtractorHubTableEngine&>(*aTableEngine)) {
  try {
    CreateExtractors();
  } catch (...) {
    mvFreeEnginesReverse(tehceTokenExtractors);
    throw;
  }
}

TmvTokenExtractorHubCursorEngine::~TmvTokenExtractorHubCursorEngine() { mvFreeEnginesReverse(tehceTokenExtractors); }

void TmvTokenExtractorHubCursorEngine::CreateExtractors() {
  const int32_t count = tehceTokenExtractorHubTableEngine->TokenExtractorCount();
  for (int32_t i = 0; i < count; ++i)
    tehceTokenExtractors.push_back(
        TmvBaseTokenExtractorCursorEngine::CreateFor(this, tehceTokenExtractorHubTableEngine->TokenExtractor(i)));
}

void TmvTokenExtractorHubCursorEngine::Initialize(const void* aRecord, const TmvRecID& aRecID, bool aReadOrg) {
  for (TmvBaseTokenExtractorCursorEngine* member : tehceTokenExtractors) member->Initialize(aRecord, aRecID, aReadOrg);
}

void TmvTokenExtractorHubCursorEngine::ResetInternal() {
  for (TmvBaseTokenExtractorCursorEngine* member : tehceTokenExtractors) member->Reset();
  tehceCurrentExtractor = 0;
}

void TmvTokenExtractorHubCursorEngine::NextTokenInternal(TmvTokenRef& aToken) {
  aToken.reset();
  while (!aToken && tehceCurrentExtractor < TokenExtractorCount()) {
    tehceTokenExtractors[size_t(tehceCurrentExtractor)]->NextToken(aToken);
    if (!aToken) {
      ++tehceCurrentExtractor;
    } else if (aToken->GetField() != tehceCurrentExtractor) {
      TmvWideString text;
      aToken->GetToken(text);
      mvNewToken(text, aToken->GetDistance(), int16_t(tehceCurrentExtractor), aToken);
    }
  }
}

TmvBaseTokenExtractorCursorEngine* TmvTokenExtractorHubCursorEngine::TokenExtractor(int32_t aIndex) {
  if (aIndex == -1) return this;
  return mvEngineAt(tehceTokenExtractors, aIndex);
}

// ---------------------------------------------------------------------------
// TmvFieldTokenExtractorCursorEngine

constinit const TmvTokenExtractorCursorEngineClassRef TmvFieldTokenExtractorCursorEngine::StaticClass{
    {{u"TmvFieldTokenExtractorCursorEngine", &TmvBaseTokenExtractorCursorEngine::StaticClass},
     &TmvBaseTokenExtractorCursorEngine::Registry,
     nullptr},
    &TmvTokenExtractorCursorEngineClassRef::Construct<TmvFieldTokenExtractorCursorEngine>};

TmvFieldTokenExtractorCursorEngine::TmvFieldTokenExtractorCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                                       TmvTokenExtractorHubCursorEngine* aHub,
                                                                       TmvBaseTokenExtractorTableEngine* aTableEngine)
    : TmvBaseTokenExtractorCursorEngine(aParent, aHub, aTableEngine),
      fteceFieldTokenExtractorTableEngine(&dynamic_cast<TmvFieldTokenExtractorTableEngine&>(*aTableEngine)) {
  TmvFieldTokenExtractorDescriptor* descriptor = fteceFieldTokenExtractorTableEngine->GetFieldTokenExtractorDescriptor();
  fteceFieldsDescriptor = descriptor->FindRelatedDescriptor<TmvFieldsDescriptor>();
  fteceField = descriptor->Field();
  if (!fteceField) return;  // no field, no token
  if (TmvLocaleDescriptor* locale = fteceField->GetUsedLocaleDescriptor()) fteceCodepage = locale->StorageCodepage();
  switch (fteceField->FieldType()) {
    case mvtShortString: fteceFieldToToken = &TmvFieldTokenExtractorCursorEngine::fteceShortStringConvert; break;
    case mvtNullString: fteceFieldToToken = &TmvFieldTokenExtractorCursorEngine::fteceNullStringConvert; break;
    case mvtWideString: fteceFieldToToken = &TmvFieldTokenExtractorCursorEngine::fteceWideStringConvert; break;
    case mvtBlobMemo: fteceFieldToToken = &TmvFieldTokenExtractorCursorEngine::fteceBlobMemoConvert; break;
    case mvtBlobWideMemo: fteceFieldToToken = &TmvFieldTokenExtractorCursorEngine::fteceBlobWideMemoConvert; break;
    default: break;
  }
}

void TmvFieldTokenExtractorCursorEngine::Initialize(const void* aRecord, const TmvRecID& aRecID, bool aReadOrg) {
  fteceRecord = aRecord;
  fteceRecID = aRecID;
  fteceReadOrg = aReadOrg;
}

void TmvFieldTokenExtractorCursorEngine::NextTokenInternal(TmvTokenRef& aToken) {
  aToken.reset();
  if (fteceUsed || !fteceFieldToToken || !fteceRecord) return;
  (this->*fteceFieldToToken)(aToken);
  fteceUsed = true;
}

const uint8_t* TmvFieldTokenExtractorCursorEngine::FieldBytes() const {
  return static_cast<const uint8_t*>(fteceFieldsDescriptor->GetRecordFieldForFilter(fteceField->Number(), fteceRecord));
}

void TmvFieldTokenExtractorCursorEngine::Emit(const TmvWideString& aText, TmvTokenRef& aToken) {
  if (!aText.empty()) mvNewToken(aText, 0, 0, aToken);
}

// A failed conversion fails the record operation: the code page the field
// names cannot express its own bytes.
TmvWideString TmvFieldTokenExtractorCursorEngine::Convert(const uint8_t* aBytes, int32_t aCount,
                                                          const char16_t* aAction) {
  TmvWideString text(size_t(aCount), u'\0');
  if (aCount == 0) return text;
  if (fteceCodepage == 0) {
    mvBytesToWideChars(aBytes, text.data(), size_t(aCount));
    return text;
  }
  const int written = MultiByteToWideChar(fteceCodepage, 0, reinterpret_cast<const char*>(aBytes), aCount,
                                          text.data(), aCount);
  if (written == 0) mvRaiseLastOSError(aAction, 0);
  text.resize(size_t(written));
  return text;
}

// Byte 0 holds the length; a length past the field's bytes is damage and is
// cut to what the field can hold.
void TmvFieldTokenExtractorCursorEngine::fteceShortStringConvert(TmvTokenRef& aToken) {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return;
  const int32_t count = std::min<int32_t>(bytes[0], fteceField->Length() - 1);
  Emit(Convert(bytes + 1, count,
               u"TmvFieldTokenExtractorCursorEngine.fteceShortStringConvert/MultiByteToWideChar"),
       aToken);
}

void TmvFieldTokenExtractorCursorEngine::fteceNullStringConvert(TmvTokenRef& aToken) {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return;
  const auto* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, size_t(fteceField->Length())));
  const int32_t count = end ? int32_t(end - bytes) : fteceField->Length();
  Emit(Convert(bytes, count, u"TmvFieldTokenExtractorCursorEngine.fteceNullStringConvert/MultiByteToWideChar"),
       aToken);
}

void TmvFieldTokenExtractorCursorEngine::fteceWideStringConvert(TmvTokenRef& aToken) {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return;
  const size_t units = size_t(fteceField->Length()) / 2;
  TmvWideString text;
  for (size_t i = 0; i < units; ++i) {
    const char16_t unit = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  Emit(text, aToken);
}

void TmvFieldTokenExtractorCursorEngine::fteceBlobMemoConvert(TmvTokenRef& aToken) {
  std::vector<uint8_t> bytes;
  if (!ReadBlob(bytes)) return;
  if (fteceCodepage == 0) {
    TmvWideString text(bytes.size(), u'\0');
    mvBytesToWideChars(bytes.data(), text.data(), bytes.size());
    Emit(text, aToken);
  } else {
    Emit(mvBytesToWideString(bytes.data(), int32_t(bytes.size()), fteceCodepage), aToken);
  }
}

void TmvFieldTokenExtractorCursorEngine::fteceBlobWideMemoConvert(TmvTokenRef& aToken) {
  std::vector<uint8_t> bytes;
  if (!ReadBlob(bytes)) return;
  TmvWideString text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
  Emit(text, aToken);
}

namespace {

// Collects what a BLOB read appends.
class TByteCollector : public TStream {
 public:
  explicit TByteCollector(std::vector<uint8_t>& aBytes) : bcBytes(aBytes) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* aBuffer, int32_t aCount) override {
    if (aCount <= 0) return 0;
    const auto* p = static_cast<const uint8_t*>(aBuffer);
    bcBytes.insert(bcBytes.end(), p, p + aCount);
    return aCount;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return int64_t(bcBytes.size()); }

 private:
  std::vector<uint8_t>& bcBytes;
};

// Keeps the outer deadline for the cursor calls inside.
struct TTimeoutScope {
  TTimeoutScope() { mvBeginTimeoutScope(); }
  ~TTimeoutScope() { mvEndTimeoutScope(); }
};

}  // namespace

// A BLOB that cannot be read gives no token, not an error: the record keeps
// its other tokens. The failure is logged so that it is not lost.
bool TmvFieldTokenExtractorCursorEngine::ReadBlob(std::vector<uint8_t>& aBytes) {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return false;
  TmvBlobNr blobNr = 0;
  for (int i = 7; i >= 0; --i) blobNr = blobNr << 8 | bytes[i];
  if (blobNr == 0) return false;
  TmvAbstractCursor* cursor = mvFulltextIndexCursor(btsceParentFulltextIndexCursorEngine);
  const int32_t fieldNo = fteceField->Number();
  TTimeoutScope scope;
  uint32_t length = 0;
  uint32_t code = mvFulltextCursorBlobGetLength(cursor, fteceRecID, fieldNo, blobNr, fteceReadOrg, length);
  if (code == 0 && length > 0) {
    TByteCollector collector(aBytes);
    code = mvFulltextCursorBlobRead(cursor, fteceRecID, fieldNo, blobNr, 0, length, fteceReadOrg, &collector);
  }
  if (code != 0) {
    mvStorageLogError(Format(u"Full text: BLOB %d of field %s not read (error %d); the field gives no token",
                             {int64_t(blobNr), fteceField->Name(), int64_t(code)}));
    return false;
  }
  return length > 0;
}

// ---------------------------------------------------------------------------
// Token filters

constinit const TmvTokenFilterCursorEngineClassRef TmvBaseTokenFilterCursorEngine::StaticClass{
    {{u"TmvBaseTokenFilterCursorEngine", &TmvBaseTokenSourceCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    nullptr};

TmvClassRegistry* TmvBaseTokenFilterCursorEngine::Registry() {
  return mvFamilyRegistry<TmvBaseTokenFilterCursorEngine>();
}

TmvBaseTokenFilterCursorEngine* TmvBaseTokenFilterCursorEngine::CreateFor(TmvFulltextIndexCursorEngine* aParent,
                                                                          TmvBaseTokenSourceCursorEngine* aTokenSource,
                                                                          TmvBaseTokenFilterTableEngine* aTableEngine) {
  return mvFulltextCursorClassFor(StaticClass, u"TokenFilter", *aTableEngine)
      .CreateEngine(aParent, nullptr, aTokenSource, aTableEngine);
}

TmvBaseTokenFilterCursorEngine* TmvBaseTokenFilterCursorEngine::CreateFor(TmvTokenFilterHubCursorEngine* aHub,
                                                                          TmvBaseTokenSourceCursorEngine* aTokenSource,
                                                                          TmvBaseTokenFilterTableEngine* aTableEngine) {
  return mvFulltextCursorClassFor(StaticClass, u"TokenFilter", *aTableEngine)
      .CreateEngine(aHub->GetParentFulltextIndexCursorEngine(), aHub, aTokenSource, aTableEngine);
}

TmvBaseTokenFilterCursorEngine::TmvBaseTokenFilterCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                               TmvTokenFilterHubCursorEngine* aHub,
                                                               TmvBaseTokenSourceCursorEngine* aTokenSource,
                                                               TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvBaseTokenSourceCursorEngine(aParent),
      btfceParentTokenFilterHubCursorEngine(aHub),
      btfceTokenFilterTableEngine(aTableEngine),
      btfceTokenSource(aTokenSource) {}

constinit const TmvTokenFilterCursorEngineClassRef TmvTokenFilterHubCursorEngine::StaticClass{
    {{u"TmvTokenFilterHubCursorEngine", &TmvBaseTokenFilterCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    &TmvTokenFilterCursorEngineClassRef::Construct<TmvTokenFilterHubCursorEngine>};

TmvTokenFilterHubCursorEngine::TmvTokenFilterHubCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                             TmvTokenFilterHubCursorEngine* aHub,
                                                             TmvBaseTokenSourceCursorEngine* aTokenSource,
                                                             TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvBaseTokenFilterCursorEngine(aParent, aHub, aTokenSource, aTableEngine),
      tfhceTokenFilterHubTableEngine(&dynamic_cast<TmvTokenFilterHubTableEngine&>(*aTableEngine)),
      tfhceTokenSource(aTokenSource) {
  try {
    CreateFilters();
  } catch (...) {
    mvFreeEnginesReverse(tfhceTokenFilters);
    throw;
  }
}

TmvTokenFilterHubCursorEngine::~TmvTokenFilterHubCursorEngine() { mvFreeEnginesReverse(tfhceTokenFilters); }

void TmvTokenFilterHubCursorEngine::CreateFilters() {
  TmvBaseTokenSourceCursorEngine* source = btfceTokenSource;
  const int32_t count = tfhceTokenFilterHubTableEngine->TokenFilterCount();
  for (int32_t i = 0; i < count; ++i) {
    TmvBaseTokenFilterCursorEngine* filter =
        TmvBaseTokenFilterCursorEngine::CreateFor(this, source, tfhceTokenFilterHubTableEngine->TokenFilter(i));
    tfhceTokenFilters.push_back(filter);
    source = filter;
  }
  tfhceTokenSource = source;
}

TmvBaseTokenFilterCursorEngine* TmvTokenFilterHubCursorEngine::TokenFilter(int32_t aIndex) {
  if (aIndex == -1) return this;
  return mvEngineAt(tfhceTokenFilters, aIndex);
}

// ---------------------------------------------------------------------------
// Separator filters

constinit const TmvTokenFilterCursorEngineClassRef TmvBaseSeparatorTokenFilterCursorEngine::StaticClass{
    {{u"TmvBaseSeparatorTokenFilterCursorEngine", &TmvBaseTokenFilterCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    nullptr};

TmvBaseSeparatorTokenFilterCursorEngine::TmvBaseSeparatorTokenFilterCursorEngine(
    TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
    TmvBaseTokenSourceCursorEngine* aTokenSource, TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvBaseTokenFilterCursorEngine(aParent, aHub, aTokenSource, aTableEngine),
      bstfceSeparatorDistance(
          FilterDescriptorAs<TmvBaseSeparatorTokenFilterDescriptor>(aTableEngine).GetSeparatorDistance()) {}

void TmvBaseSeparatorTokenFilterCursorEngine::Reset() {
  bstfceInputToken.reset();
  TmvBaseTokenFilterCursorEngine::Reset();
}

void TmvBaseSeparatorTokenFilterCursorEngine::NextToken(TmvTokenRef& aToken) {
  aToken.reset();
  for (;;) {
    if (!bstfceInputToken) {
      btfceTokenSource->NextToken(bstfceInputToken);
      if (!bstfceInputToken) return;
      bstfceInputToken->GetToken(bstfceInputText);
      bstfceInputPos = 0;
      bstfceNextDistance = bstfceInputToken->GetDistance();
    }
    const int32_t length = int32_t(bstfceInputText.size());
    const int32_t skipped = bstfceInputPos;
    while (bstfceInputPos < length && IsSeparator(bstfceInputText[size_t(bstfceInputPos)])) ++bstfceInputPos;
    if (bstfceInputPos > skipped) bstfceNextDistance = std::max(bstfceNextDistance, bstfceSeparatorDistance);
    const int32_t start = bstfceInputPos;
    while (bstfceInputPos < length && !IsSeparator(bstfceInputText[size_t(bstfceInputPos)])) ++bstfceInputPos;
    if (start == 0 && bstfceInputPos == length) {
      // No separator at all: the input itself.
      aToken = std::move(bstfceInputToken);
      bstfceInputToken.reset();
      return;
    }
    if (bstfceInputPos > start)
      mvNewToken(bstfceInputText.substr(size_t(start), size_t(bstfceInputPos - start)), bstfceNextDistance,
                 bstfceInputToken->GetField(), aToken);
    if (bstfceInputPos == length)
      bstfceInputToken.reset();
    else
      bstfceNextDistance = 1;
    if (aToken) return;
  }
}

constinit const TmvTokenFilterCursorEngineClassRef TmvWideCharSeparatorTokenFilterCursorEngine::StaticClass{
    {{u"TmvWideCharSeparatorTokenFilterCursorEngine", &TmvBaseSeparatorTokenFilterCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    &TmvTokenFilterCursorEngineClassRef::Construct<TmvWideCharSeparatorTokenFilterCursorEngine>};

TmvWideCharSeparatorTokenFilterCursorEngine::TmvWideCharSeparatorTokenFilterCursorEngine(
    TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
    TmvBaseTokenSourceCursorEngine* aTokenSource, TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvBaseSeparatorTokenFilterCursorEngine(aParent, aHub, aTokenSource, aTableEngine),
      wcstfceSeparatorChar(
          FilterDescriptorAs<TmvWideCharSeparatorTokenFilterDescriptor>(aTableEngine).GetSeparatorChar()) {}

constinit const TmvTokenFilterCursorEngineClassRef TmvCategorySeparatorTokenFilterCursorEngine::StaticClass{
    {{u"TmvCategorySeparatorTokenFilterCursorEngine", &TmvBaseSeparatorTokenFilterCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    &TmvTokenFilterCursorEngineClassRef::Construct<TmvCategorySeparatorTokenFilterCursorEngine>};

TmvCategorySeparatorTokenFilterCursorEngine::TmvCategorySeparatorTokenFilterCursorEngine(
    TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
    TmvBaseTokenSourceCursorEngine* aTokenSource, TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvBaseSeparatorTokenFilterCursorEngine(aParent, aHub, aTokenSource, aTableEngine),
      cstfceSeparatorCategories(
          FilterDescriptorAs<TmvCategorySeparatorTokenFilterDescriptor>(aTableEngine).GetSeparatorCategories()) {}

bool TmvCategorySeparatorTokenFilterCursorEngine::IsSeparator(char16_t aChar) {
  return mvCharInCategories(aChar, cstfceSeparatorCategories);
}

// ---------------------------------------------------------------------------
// Transformer filters

constinit const TmvTokenFilterCursorEngineClassRef TmvTransformerTokenFilterCursorEngine::StaticClass{
    {{u"TmvTransformerTokenFilterCursorEngine", &TmvBaseTokenFilterCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    nullptr};

void TmvTransformerTokenFilterCursorEngine::NextToken(TmvTokenRef& aToken) {
  btfceTokenSource->NextToken(aToken);
  if (!aToken || !ttfceTransformer) return;
  TmvWideString text, result;
  aToken->GetToken(text);
  ttfceTransformer->Transform(text, result);
  mvNewToken(result, aToken->GetDistance(), aToken->GetField(), aToken);
}

constinit const TmvTokenFilterCursorEngineClassRef TmvBaseLocaleMappingTokenFilterCursorEngine::StaticClass{
    {{u"TmvBaseLocaleMappingTokenFilterCursorEngine", &TmvTransformerTokenFilterCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    nullptr};

TmvBaseLocaleMappingTokenFilterCursorEngine::TmvBaseLocaleMappingTokenFilterCursorEngine(
    TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
    TmvBaseTokenSourceCursorEngine* aTokenSource, TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvTransformerTokenFilterCursorEngine(aParent, aHub, aTokenSource, aTableEngine) {
  auto& descriptor = FilterDescriptorAs<TmvBaseLocaleMappingTokenFilterDescriptor>(aTableEngine);
  TmvLocaleDescriptor* locale = descriptor.GetUsedLocaleDescriptor();
  ttfceTransformer = mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringLocaleMappingTransformer>(
      locale ? locale->GetLocale() : LCID(0), descriptor.GetFlags());
}

constinit const TmvTokenFilterCursorEngineClassRef TmvBaseFoldStringTokenFilterCursorEngine::StaticClass{
    {{u"TmvBaseFoldStringTokenFilterCursorEngine", &TmvTransformerTokenFilterCursorEngine::StaticClass},
     &TmvBaseTokenFilterCursorEngine::Registry,
     nullptr},
    nullptr};

TmvBaseFoldStringTokenFilterCursorEngine::TmvBaseFoldStringTokenFilterCursorEngine(
    TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
    TmvBaseTokenSourceCursorEngine* aTokenSource, TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvTransformerTokenFilterCursorEngine(aParent, aHub, aTokenSource, aTableEngine) {
  ttfceTransformer = mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringFoldStringTransformer>(
      FilterDescriptorAs<TmvBaseFoldStringTokenFilterDescriptor>(aTableEngine).GetFlags());
}

#define MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(Name, Base)                                             \
  constinit const TmvTokenFilterCursorEngineClassRef Name::StaticClass{                              \
      {{u## #Name, &Base::StaticClass}, &TmvBaseTokenFilterCursorEngine::Registry, nullptr},        \
      &TmvTokenFilterCursorEngineClassRef::Construct<Name>};
MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(TmvLowercaseLocaleMappingTokenFilterCursorEngine,
                                     TmvBaseLocaleMappingTokenFilterCursorEngine)
MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(TmvUppercaseLocaleMappingTokenFilterCursorEngine,
                                     TmvBaseLocaleMappingTokenFilterCursorEngine)
MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(TmvCustomLocaleMappingTokenFilterCursorEngine,
                                     TmvBaseLocaleMappingTokenFilterCursorEngine)
MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(TmvPreComposeFoldStringTokenFilterCursorEngine,
                                     TmvBaseFoldStringTokenFilterCursorEngine)
MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(TmvDecomposeFoldStringTokenFilterCursorEngine,
                                     TmvBaseFoldStringTokenFilterCursorEngine)
MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(TmvCustomFoldStringTokenFilterCursorEngine,
                                     TmvBaseFoldStringTokenFilterCursorEngine)
MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE(TmvStringReplaceTokenFilterCursorEngine, TmvBaseTokenFilterCursorEngine)
#undef MV_DEFINE_TOKEN_FILTER_CURSOR_ENGINE

// ---------------------------------------------------------------------------
// String replace

TmvStringReplaceTokenFilterCursorEngine::TmvStringReplaceTokenFilterCursorEngine(
    TmvFulltextIndexCursorEngine* aParent, TmvTokenFilterHubCursorEngine* aHub,
    TmvBaseTokenSourceCursorEngine* aTokenSource, TmvBaseTokenFilterTableEngine* aTableEngine)
    : TmvBaseTokenFilterCursorEngine(aParent, aHub, aTokenSource, aTableEngine) {
  auto& descriptor = FilterDescriptorAs<TmvStringReplaceTokenFilterDescriptor>(aTableEngine);
  for (int32_t i = 0; i < descriptor.ItemCount(); ++i)
    srtfceItems.push_back({descriptor.GetOldPattern(i), descriptor.GetNewPattern(i), descriptor.GetReplaceKind(i),
                           descriptor.GetIgnoreCase(i)});
}

namespace {

String Lowered(String aText) {
  aText.push_back(u'\0');
  mvCharLower(aText.data());
  aText.pop_back();
  return aText;
}

// The first (or every) place of aOld in aText replaced by aNew; an empty
// pattern matches nowhere. Case is ignored by lower-casing both, which
// keeps every length, so the places found are places in aText.
String ReplacePattern(const String& aText, const String& aOld, const String& aNew, bool aAll, bool aIgnoreCase) {
  if (aOld.empty()) return aText;
  const String haystack = aIgnoreCase ? Lowered(aText) : aText;
  const String needle = aIgnoreCase ? Lowered(aOld) : aOld;
  String result;
  size_t from = 0;
  for (;;) {
    const size_t at = haystack.find(needle, from);
    if (at == String::npos) break;
    result.append(aText, from, at - from);
    result.append(aNew);
    from = at + aOld.size();
    if (!aAll) break;
  }
  result.append(aText, from, String::npos);
  return result;
}

}  // namespace

void TmvStringReplaceTokenFilterCursorEngine::NextToken(TmvTokenRef& aToken) {
  btfceTokenSource->NextToken(aToken);
  if (!aToken || srtfceItems.empty()) return;
  TmvWideString input;
  aToken->GetToken(input);
  String text = input;
  for (const TmvStringReplaceTokenFilterItem& item : srtfceItems) {
    switch (item.srtfiReplaceKind) {
      case srkOne:
      case srkAll:
        text = ReplacePattern(text, item.srtfiOldPattern, item.srtfiNewPattern, item.srtfiReplaceKind == srkAll,
                              item.srtfiIgnoreCase);
        break;
      case srkWhole:
        if (item.srtfiIgnoreCase ? Lowered(text) == Lowered(item.srtfiOldPattern) : text == item.srtfiOldPattern)
          text = item.srtfiNewPattern;
        break;
    }
  }
  if (text != input) mvNewToken(text, aToken->GetDistance(), aToken->GetField(), aToken);
}

// ---------------------------------------------------------------------------
// Registration

namespace {

const TmvRegisterableEngineClassRef* const kClasses[] = {
    &TmvTokenExtractorHubCursorEngine::StaticClass,
    &TmvFieldTokenExtractorCursorEngine::StaticClass,
    &TmvTokenFilterHubCursorEngine::StaticClass,
    &TmvWideCharSeparatorTokenFilterCursorEngine::StaticClass,
    &TmvCategorySeparatorTokenFilterCursorEngine::StaticClass,
    &TmvLowercaseLocaleMappingTokenFilterCursorEngine::StaticClass,
    &TmvUppercaseLocaleMappingTokenFilterCursorEngine::StaticClass,
    &TmvCustomLocaleMappingTokenFilterCursorEngine::StaticClass,
    &TmvPreComposeFoldStringTokenFilterCursorEngine::StaticClass,
    &TmvDecomposeFoldStringTokenFilterCursorEngine::StaticClass,
    &TmvCustomFoldStringTokenFilterCursorEngine::StaticClass,
    &TmvStringReplaceTokenFilterCursorEngine::StaticClass,
};

}  // namespace

void mvseFulltextEngineCursorInit() {
  for (const TmvRegisterableEngineClassRef* cls : kClasses) TmvBaseRegisterableEngine::RegisterEngine(*cls);
}

void mvseFulltextEngineCursorFini() {
  for (const TmvRegisterableEngineClassRef* cls : kClasses) TmvBaseRegisterableEngine::UnregisterEngine(*cls);
}
