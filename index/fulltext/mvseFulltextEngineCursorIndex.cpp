// Index engines (full text): the upkeep of the token indexes. See
// mvseFulltextEngineCursorIndex.h.
#include "index/fulltext/mvseFulltextEngineCursorIndex.h"

#include <algorithm>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/filters/mvsdFilterEngine.h"
#include "foundation/errors/mvllErrors.h"
#include "index/mvsdKeyEngineToken.h"
#include "storage/indices/mvseIndexEngine.h"
#include "storage/indices/mvseIndicesEngine.h"

namespace {

// The field of key field 0 of the full-text index's location index; -1
// when it has none.
int32_t LocationFieldOf(TmvFulltextIndexTableEngine* aIndex) {
  TmvIndexDescriptor* location = aIndex->GetFulltextIndexDescriptor()->LocationIndex();
  auto* key = location ? dynamic_cast<TmvCompKeyDescriptor*>(location->GetKeyDescriptor()) : nullptr;
  if (!key || key->KeyFieldCount() == 0) return -1;
  return key->KeyFields(0)->GetFieldNumber();
}

// A record's 32-bit location value; false for no record or a null field.
bool ReadLocation(TmvFieldsDescriptor* aFields, int32_t aField, const void* aRecord, uint32_t& aLocation) {
  if (!aRecord || !aFields || aField < 0) return false;
  const auto* bytes = static_cast<const uint8_t*>(aFields->GetRecordFieldForFilter(aField, aRecord));
  if (!bytes) return false;
  aLocation = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
  return true;
}

[[noreturn]] void RaiseKeyViolation(bool aMainIndex) {
  if (aMainIndex) mvRaiseCode<EmvMainIndexTokenIndexCursorEngineException>(MVERR_KEYVIOL);
  mvRaiseCode<EmvBitArrayTokenIndexCursorEngineException>(MVERR_KEYVIOL);
}

}  // namespace

TmvAbstractCursor* mvFulltextIndexCursor(TmvFulltextIndexCursorEngine* aEngine) {
  return aEngine->GetParentFulltextCursorEngine()->GetFulltextCursor();
}

// ---------------------------------------------------------------------------
// TmvFulltextCursorEngine

constinit const TmvFulltextCursorEngineClassRef TmvFulltextCursorEngine::StaticClass{
    {{u"TmvFulltextCursorEngine", &TmvBaseFulltextCursorEngine::StaticClass}, &TmvBaseFulltextCursorEngine::Registry,
     nullptr},
    [](TmvBaseFulltextTableEngine* aTableEngine, TmvAbstractCursor* aCursor) -> TmvBaseFulltextCursorEngine* {
      auto* engine = dynamic_cast<TmvFulltextTableEngine*>(aTableEngine);
      if (!engine) throw EInvalidCast(SInvalidCast);
      return new TmvFulltextCursorEngine(engine, aCursor);
    }};

TmvFulltextCursorEngine::TmvFulltextCursorEngine(TmvFulltextTableEngine* aTableEngine, TmvAbstractCursor* aCursor)
    : ftceFulltextTableEngine(aTableEngine), ftceFulltextCursor(aCursor) {
  try {
    CreateIndices();
  } catch (...) {
    mvFreeEnginesReverse(ftceFulltextIndices);
    throw;
  }
}

TmvFulltextCursorEngine::~TmvFulltextCursorEngine() {
  FreeUpdateHelpers();
  mvFreeEnginesReverse(ftceFulltextIndices);
}

void TmvFulltextCursorEngine::CreateIndices() {
  for (int32_t i = 0; i < ftceFulltextTableEngine->FulltextIndexCount(); ++i)
    ftceFulltextIndices.push_back(
        TmvFulltextIndexCursorEngine::CreateFor(this, ftceFulltextTableEngine->FulltextIndex(i)));
}

TmvFulltextIndexCursorEngine* TmvFulltextCursorEngine::FulltextIndex(int32_t aIndex) const {
  return mvEngineAt(ftceFulltextIndices, aIndex);
}

uint32_t TmvFulltextCursorEngine::UpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord,
                                              TmvRefNr aOldRefNr, const void* aNewRecord, TmvRefNr aNewRefNr) {
  struct THelpersGo {
    TmvFulltextCursorEngine* engine;
    ~THelpersGo() { engine->FreeUpdateHelpers(); }
  } helpersGo{this};
  TmvRecID oldID, newID;
  if (aOldRecord) oldID = mvFulltextCursorRecID(ftceFulltextCursor, aOldRecord);
  oldID.ridRefNr = aOldRefNr;
  if (aNewRecord) newID = mvFulltextCursorRecID(ftceFulltextCursor, aNewRecord);
  newID.ridRefNr = aNewRefNr;
  for (int32_t i = FulltextIndexCount() - 1; i >= 0; --i)
    if (uint32_t code = ftceFulltextIndices[size_t(i)]->UpdateIndex(aTrans, aOldRecord, oldID, aNewRecord, newID))
      return code;
  return 0;
}

TmvObject* TmvFulltextCursorEngine::GetTempUpdateHelper(const String& aName) const {
  int32_t index = 0;
  if (!ftceUpdateHelpers || !ftceUpdateHelpers->Find(aName, index)) return nullptr;
  return static_cast<TmvObject*>(ftceUpdateHelpers->Objects(index));
}

void TmvFulltextCursorEngine::SetTempUpdateHelper(const String& aName, TmvObject* aHelper) {
  if (!ftceUpdateHelpers) {
    if (!aHelper) return;
    ftceUpdateHelpers = new TStringList();
    ftceUpdateHelpers->SetSorted(true);
    ftceUpdateHelpers->SetDuplicates(dupError);
  }
  int32_t index = 0;
  if (ftceUpdateHelpers->Find(aName, index)) {
    delete static_cast<TmvObject*>(ftceUpdateHelpers->Objects(index));
    if (aHelper)
      ftceUpdateHelpers->PutObject(index, aHelper);
    else
      ftceUpdateHelpers->Delete(index);
  } else if (aHelper) {
    ftceUpdateHelpers->AddObject(aName, aHelper);
  }
}

void TmvFulltextCursorEngine::FreeUpdateHelpers() {
  if (!ftceUpdateHelpers) return;
  for (int32_t i = 0; i < ftceUpdateHelpers->Count(); ++i) delete static_cast<TmvObject*>(ftceUpdateHelpers->Objects(i));
  delete ftceUpdateHelpers;
  ftceUpdateHelpers = nullptr;
}

// ---------------------------------------------------------------------------
// TmvFulltextIndexCursorEngine

constinit const TmvFulltextIndexCursorEngineClassRef TmvFulltextIndexCursorEngine::StaticClass{
    {{u"TmvFulltextIndexCursorEngine", &TmvBaseRegisterableEngine::StaticClass},
     &TmvFulltextIndexCursorEngine::Registry,
     nullptr},
    &TmvFulltextIndexCursorEngineClassRef::Construct<TmvFulltextIndexCursorEngine>};

TmvClassRegistry* TmvFulltextIndexCursorEngine::Registry() { return mvFamilyRegistry<TmvFulltextIndexCursorEngine>(); }

TmvFulltextIndexCursorEngine* TmvFulltextIndexCursorEngine::CreateFor(TmvFulltextCursorEngine* aParent,
                                                                      TmvFulltextIndexTableEngine* aTableEngine) {
  return mvFulltextCursorClassFor(StaticClass, u"FulltextIndex", *aTableEngine).CreateEngine(aParent, aTableEngine);
}

TmvFulltextIndexCursorEngine::TmvFulltextIndexCursorEngine(TmvFulltextCursorEngine* aParent,
                                                           TmvFulltextIndexTableEngine* aTableEngine)
    : ficeParentFulltextCursorEngine(aParent), ficeFulltextIndexTableEngine(aTableEngine) {
  try {
    ficeTokenExtractorHubOld = static_cast<TmvTokenExtractorHubCursorEngine*>(
        TmvBaseTokenExtractorCursorEngine::CreateFor(this, aTableEngine->TokenExtractor(-1)));
    ficeTokenExtractorHubNew = static_cast<TmvTokenExtractorHubCursorEngine*>(
        TmvBaseTokenExtractorCursorEngine::CreateFor(this, aTableEngine->TokenExtractor(-1)));
    ficeTokenFilterHubOld = static_cast<TmvTokenFilterHubCursorEngine*>(
        TmvBaseTokenFilterCursorEngine::CreateFor(this, ficeTokenExtractorHubOld, aTableEngine->TokenFilter(-1)));
    ficeTokenFilterHubNew = static_cast<TmvTokenFilterHubCursorEngine*>(
        TmvBaseTokenFilterCursorEngine::CreateFor(this, ficeTokenExtractorHubNew, aTableEngine->TokenFilter(-1)));
    ficeTokenIndexHub = static_cast<TmvTokenIndexHubCursorEngine*>(TmvBaseTokenIndexCursorEngine::CreateFor(
        this, ficeTokenFilterHubNew, ficeTokenFilterHubOld, aTableEngine->TokenIndex(-1)));
  } catch (...) {
    FreeAll();
    throw;
  }
}

TmvFulltextIndexCursorEngine::~TmvFulltextIndexCursorEngine() { FreeAll(); }

void TmvFulltextIndexCursorEngine::FreeAll() {
  delete ficeTokenIndexHub;
  ficeTokenIndexHub = nullptr;
  delete ficeTokenFilterHubNew;
  ficeTokenFilterHubNew = nullptr;
  delete ficeTokenFilterHubOld;
  ficeTokenFilterHubOld = nullptr;
  delete ficeTokenExtractorHubNew;
  ficeTokenExtractorHubNew = nullptr;
  delete ficeTokenExtractorHubOld;
  ficeTokenExtractorHubOld = nullptr;
}

uint32_t TmvFulltextIndexCursorEngine::UpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord,
                                                   const TmvRecID& aOldRecID, const void* aNewRecord,
                                                   const TmvRecID& aNewRecID) {
  ficeTokenExtractorHubOld->Initialize(aOldRecord, aOldRecID, true);
  ficeTokenExtractorHubNew->Initialize(aNewRecord, aNewRecID, false);
  return ficeTokenIndexHub->bticeUpdateIndex(aTrans, aOldRecord, aOldRecID, aNewRecord, aNewRecID);
}

TmvBaseTokenExtractorCursorEngine* TmvFulltextIndexCursorEngine::TokenExtractorOld(int32_t aIndex) const {
  return ficeTokenExtractorHubOld->TokenExtractor(aIndex);
}
TmvBaseTokenExtractorCursorEngine* TmvFulltextIndexCursorEngine::TokenExtractorNew(int32_t aIndex) const {
  return ficeTokenExtractorHubNew->TokenExtractor(aIndex);
}
TmvBaseTokenFilterCursorEngine* TmvFulltextIndexCursorEngine::TokenFilterOld(int32_t aIndex) const {
  return ficeTokenFilterHubOld->TokenFilter(aIndex);
}
TmvBaseTokenFilterCursorEngine* TmvFulltextIndexCursorEngine::TokenFilterNew(int32_t aIndex) const {
  return ficeTokenFilterHubNew->TokenFilter(aIndex);
}
TmvBaseTokenIndexCursorEngine* TmvFulltextIndexCursorEngine::TokenIndex(int32_t aIndex) const {
  return ficeTokenIndexHub->TokenIndex(aIndex);
}

// ---------------------------------------------------------------------------
// TmvUniqueTokenContainer

TmvUniqueTokenContainer::TmvUniqueTokenContainer(TmvBaseTokenSourceCursorEngine* aTokenSource,
                                                 TmvWideStringComparerRef aComparer,
                                                 TmvWideStringTransformerRef aTransformer, bool aCombined,
                                                 bool aPerField)
    : utcComparer(std::move(aComparer)), utcTransformer(std::move(aTransformer)) {
  try {
    if (aCombined) utcCombined = NewList();
    aTokenSource->Reset();
    TmvTokenRef token;
    TmvWideString text;
    for (aTokenSource->NextToken(token); token; aTokenSource->NextToken(token)) {
      token->GetToken(text);
      if (aPerField) {
        // Fields come from extractor positions; a negative one is no field.
        const int16_t field = token->GetField();
        if (field < 0) continue;
        if (size_t(field) >= utcPerField.size()) utcPerField.resize(size_t(field) + 1, nullptr);
        if (!utcPerField[size_t(field)]) utcPerField[size_t(field)] = NewList();
        utcPerField[size_t(field)]->Add(text);
      } else if (aCombined) {
        utcCombined->Add(text);
      }
    }
    if (aPerField && aCombined)
      for (TmvWideStringList* list : utcPerField)
        if (list)
          for (int32_t i = 0; i < list->Count(); ++i) utcCombined->Add(list->Strings(i));
  } catch (...) {
    mvFreeEnginesReverse(utcPerField);
    delete utcCombined;
    throw;
  }
}

TmvUniqueTokenContainer::~TmvUniqueTokenContainer() {
  mvFreeEnginesReverse(utcPerField);
  delete utcCombined;
}

TmvWideStringList* TmvUniqueTokenContainer::NewList() const {
  auto* list = new TmvWideStringList(utcComparer, utcTransformer);
  list->SetSorted(true);
  list->SetDuplicates(dupIgnore);
  return list;
}

TmvWideStringList* TmvUniqueTokenContainer::PerField(int32_t aField) const {
  if (aField < 0 || aField >= PerFieldCount()) return nullptr;
  return utcPerField[size_t(aField)];
}

// ---------------------------------------------------------------------------
// TmvBaseTokenIndexCursorEngine

constinit const TmvTokenIndexCursorEngineClassRef TmvBaseTokenIndexCursorEngine::StaticClass{
    {{u"TmvBaseTokenIndexCursorEngine", &TmvBaseRegisterableEngine::StaticClass},
     &TmvBaseTokenIndexCursorEngine::Registry,
     nullptr},
    nullptr};

TmvClassRegistry* TmvBaseTokenIndexCursorEngine::Registry() {
  return mvFamilyRegistry<TmvBaseTokenIndexCursorEngine>();
}

TmvBaseTokenIndexCursorEngine* TmvBaseTokenIndexCursorEngine::CreateFor(
    TmvFulltextIndexCursorEngine* aParent, TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
    TmvBaseTokenSourceCursorEngine* aTokenSourceOld, TmvBaseTokenIndexTableEngine* aTableEngine) {
  return mvFulltextCursorClassFor(StaticClass, u"TokenIndex", *aTableEngine)
      .CreateEngine(aParent, nullptr, aTokenSourceNew, aTokenSourceOld, aTableEngine);
}

TmvBaseTokenIndexCursorEngine* TmvBaseTokenIndexCursorEngine::CreateFor(
    TmvTokenIndexHubCursorEngine* aHub, TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
    TmvBaseTokenSourceCursorEngine* aTokenSourceOld, TmvBaseTokenIndexTableEngine* aTableEngine) {
  return mvFulltextCursorClassFor(StaticClass, u"TokenIndex", *aTableEngine)
      .CreateEngine(aHub->bticeParentFulltextIndexCursorEngine, aHub, aTokenSourceNew, aTokenSourceOld,
                    aTableEngine);
}

TmvBaseTokenIndexCursorEngine::TmvBaseTokenIndexCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                             TmvTokenIndexHubCursorEngine* aHub,
                                                             TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                                             TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                             TmvBaseTokenIndexTableEngine* aTableEngine)
    : bticeParentFulltextIndexCursorEngine(aParent),
      bticeParentTokenIndexHubCursorEngine(aHub),
      bticeTokenIndexTableEngine(aTableEngine),
      bticeTokenSourceOld(aTokenSourceOld),
      bticeTokenSourceNew(aTokenSourceNew) {
  if (TmvBaseTokenFilterTableEngine* hub = aTableEngine->TokenFilter(-1)) {
    bticeTokenFilterHubOld =
        static_cast<TmvTokenFilterHubCursorEngine*>(TmvBaseTokenFilterCursorEngine::CreateFor(aParent, aTokenSourceOld, hub));
    try {
      bticeTokenFilterHubNew = static_cast<TmvTokenFilterHubCursorEngine*>(
          TmvBaseTokenFilterCursorEngine::CreateFor(aParent, aTokenSourceNew, hub));
    } catch (...) {
      delete bticeTokenFilterHubOld;
      throw;
    }
    bticeTokenSourceOld = bticeTokenFilterHubOld;
    bticeTokenSourceNew = bticeTokenFilterHubNew;
  }
}

TmvBaseTokenIndexCursorEngine::~TmvBaseTokenIndexCursorEngine() {
  delete bticeTokenFilterHubNew;
  delete bticeTokenFilterHubOld;
}

uint32_t TmvBaseTokenIndexCursorEngine::bticeUpdateIndex(TmvBaseTransaction*, const void*, const TmvRecID&,
                                                         const void*, const TmvRecID&) {
  EmvBaseException::SetLastConvertedException(
      MVERR_NOTSUPPORTED, Format(u"bticeUpdateIndex is not supported by %s", {String(ClassType().ClassName)}));
  return MVERR_NOTSUPPORTED;
}

constinit const TmvTokenIndexCursorEngineClassRef TmvTokenIndexHubCursorEngine::StaticClass{
    {{u"TmvTokenIndexHubCursorEngine", &TmvBaseTokenIndexCursorEngine::StaticClass},
     &TmvBaseTokenIndexCursorEngine::Registry,
     nullptr},
    &TmvTokenIndexCursorEngineClassRef::Construct<TmvTokenIndexHubCursorEngine>};

TmvTokenIndexHubCursorEngine::TmvTokenIndexHubCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                           TmvTokenIndexHubCursorEngine* aHub,
                                                           TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                                           TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                           TmvBaseTokenIndexTableEngine* aTableEngine)
    : TmvBaseTokenIndexCursorEngine(aParent, aHub, aTokenSourceNew, aTokenSourceOld, aTableEngine),
      tihceTokenIndexHubTableEngine(&dynamic_cast<TmvTokenIndexHubTableEngine&>(*aTableEngine)) {
  try {
    CreateTokenIndexes();
  } catch (...) {
    mvFreeEnginesReverse(tihceTokenIndexs);
    throw;
  }
}

TmvTokenIndexHubCursorEngine::~TmvTokenIndexHubCursorEngine() { mvFreeEnginesReverse(tihceTokenIndexs); }

void TmvTokenIndexHubCursorEngine::CreateTokenIndexes() {
  for (int32_t i = 0; i < tihceTokenIndexHubTableEngine->TokenIndexCount(); ++i)
    tihceTokenIndexs.push_back(TmvBaseTokenIndexCursorEngine::CreateFor(
        this, bticeTokenSourceNew, bticeTokenSourceOld, tihceTokenIndexHubTableEngine->TokenIndex(i)));
}

uint32_t TmvTokenIndexHubCursorEngine::bticeUpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord,
                                                        const TmvRecID& aOldRecID, const void* aNewRecord,
                                                        const TmvRecID& aNewRecID) {
  for (TmvBaseTokenIndexCursorEngine* member : tihceTokenIndexs)
    if (uint32_t code = member->bticeUpdateIndex(aTrans, aOldRecord, aOldRecID, aNewRecord, aNewRecID)) return code;
  return 0;
}

TmvBaseTokenIndexCursorEngine* TmvTokenIndexHubCursorEngine::TokenIndex(int32_t aIndex) {
  if (aIndex == -1) return this;
  return mvEngineAt(tihceTokenIndexs, aIndex);
}

// ---------------------------------------------------------------------------
// TmvBaseProcessingTokenIndexCursorEngine

constinit const TmvTokenIndexCursorEngineClassRef TmvBaseProcessingTokenIndexCursorEngine::StaticClass{
    {{u"TmvBaseProcessingTokenIndexCursorEngine", &TmvBaseTokenIndexCursorEngine::StaticClass},
     &TmvBaseTokenIndexCursorEngine::Registry,
     nullptr},
    nullptr};

void TmvBaseProcessingTokenIndexCursorEngine::SetupProcessing() {
  TmvLocaleDescriptor* locale = bticeTokenIndexTableEngine->GetTokenIndexDescriptor()->GetUsedLocaleDescriptor();
  auto truncate = mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTruncateTransformer>(GetMaxTokenSize());
  if (locale) {
    bpticeComparer = mvCreateInterfaced<ImvWideStringComparer, TmvWideStringCompareStringWComparer>(
        locale->GetLocale(), GetCompareFlags() | locale->GetFlags());
    bpticeTransformer = truncate;
  } else {
    bpticeComparer = mvCreateInterfaced<ImvWideStringComparer, TmvWideStringByteComparer>();
    bpticeTransformer = mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTransformerHub>(
        TmvWideStringTransformers{mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringPreComposeTransformer>(),
                                  truncate});
  }
}

void TmvBaseProcessingTokenIndexCursorEngine::ProcessList(TmvBaseTransaction* aTrans, TmvWideStringList* aList,
                                                          bool aAdd, const TmvTokenLocationInfo& aInfo,
                                                          int16_t aField) {
  if (!aList) return;
  for (int32_t i = 0; i < aList->Count(); ++i) ProcessToken(aTrans, aList->Strings(i), aAdd, aInfo, aField);
}

void TmvBaseProcessingTokenIndexCursorEngine::ProcessAll(TmvBaseTransaction* aTrans,
                                                         TmvUniqueTokenContainer& aContainer, bool aAdd,
                                                         const TmvTokenLocationInfo& aInfo) {
  ProcessList(aTrans, aContainer.Combined(), aAdd, aInfo, -1);
  for (int32_t i = 0; i < aContainer.PerFieldCount(); ++i)
    ProcessList(aTrans, aContainer.PerField(i), aAdd, aInfo, int16_t(i));
}

// The walk needs a total order: a compare that answers anything but -1, 0
// or 1 would leave both sides standing, so it ends the update with an error
// instead of guessing an order.
void TmvBaseProcessingTokenIndexCursorEngine::ProcessListDifference(TmvBaseTransaction* aTrans,
                                                                    TmvWideStringList* aOld, TmvWideStringList* aNew,
                                                                    const TmvTokenLocationInfo& aInfo,
                                                                    int16_t aField) {
  if (!aOld || !aNew) {
    ProcessList(aTrans, aOld, false, aInfo, aField);
    ProcessList(aTrans, aNew, true, aInfo, aField);
    return;
  }
  int32_t i = 0, j = 0;
  while (i < aOld->Count() && j < aNew->Count()) {
    const TmvWideString oldToken = aOld->Strings(i);
    const TmvWideString newToken = aNew->Strings(j);
    const int8_t order = bpticeComparer->Compare(oldToken, newToken);
    if (order < 0) {
      if (order != -1) break;
      ProcessToken(aTrans, oldToken, false, aInfo, aField);
      ++i;
    } else if (order > 0) {
      if (order != 1) break;
      ProcessToken(aTrans, newToken, true, aInfo, aField);
      ++j;
    } else {
      ++i;
      ++j;
    }
  }
  if (i < aOld->Count() && j < aNew->Count())
    throw EmvFulltextCursorEngineException(MVERR_KEYVIOL,
                                           u"Tokens \"%s\" and \"%s\" cannot be ordered: the token compare failed",
                                           {String(aOld->Strings(i)), String(aNew->Strings(j))});
  for (; i < aOld->Count(); ++i) ProcessToken(aTrans, aOld->Strings(i), false, aInfo, aField);
  for (; j < aNew->Count(); ++j) ProcessToken(aTrans, aNew->Strings(j), true, aInfo, aField);
}

void TmvBaseProcessingTokenIndexCursorEngine::ProcessContainerDifference(TmvBaseTransaction* aTrans,
                                                                         TmvUniqueTokenContainer& aOld,
                                                                         TmvUniqueTokenContainer& aNew,
                                                                         const TmvTokenLocationInfo& aInfo) {
  ProcessListDifference(aTrans, aOld.Combined(), aNew.Combined(), aInfo, -1);
  const int32_t common = std::min(aOld.PerFieldCount(), aNew.PerFieldCount());
  for (int32_t i = 0; i < common; ++i)
    ProcessListDifference(aTrans, aOld.PerField(i), aNew.PerField(i), aInfo, int16_t(i));
  for (int32_t i = common; i < aOld.PerFieldCount(); ++i)
    ProcessList(aTrans, aOld.PerField(i), false, aInfo, int16_t(i));
  for (int32_t i = common; i < aNew.PerFieldCount(); ++i)
    ProcessList(aTrans, aNew.PerField(i), true, aInfo, int16_t(i));
}

// ---------------------------------------------------------------------------
// TmvBitArrayTokenIndexCursorEngine

constinit const TmvTokenIndexCursorEngineClassRef TmvBitArrayTokenIndexCursorEngine::StaticClass{
    {{u"TmvBitArrayTokenIndexCursorEngine", &TmvBaseProcessingTokenIndexCursorEngine::StaticClass},
     &TmvBaseTokenIndexCursorEngine::Registry,
     nullptr},
    &TmvTokenIndexCursorEngineClassRef::Construct<TmvBitArrayTokenIndexCursorEngine>};

TmvBitArrayTokenIndexCursorEngine::TmvBitArrayTokenIndexCursorEngine(TmvFulltextIndexCursorEngine* aParent,
                                                                     TmvTokenIndexHubCursorEngine* aHub,
                                                                     TmvBaseTokenSourceCursorEngine* aTokenSourceNew,
                                                                     TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
                                                                     TmvBaseTokenIndexTableEngine* aTableEngine)
    : TmvBaseProcessingTokenIndexCursorEngine(aParent, aHub, aTokenSourceNew, aTokenSourceOld, aTableEngine),
      baticeBitArrayTokenIndexTableEngine(&dynamic_cast<TmvBitArrayTokenIndexTableEngine&>(*aTableEngine)) {
  TmvBitArrayTokenIndexDescriptor* descriptor = baticeBitArrayTokenIndexTableEngine->GetBitArrayTokenIndexDescriptor();
  TmvFulltextIndexTableEngine* index = aParent->GetFulltextIndexTableEngine();
  baticeFieldsDescriptor = descriptor->FindRelatedDescriptor<TmvFieldsDescriptor>();
  baticeLocationField = LocationFieldOf(index);
  baticePerFieldIndex = descriptor->GetPerFieldIndex();
  baticePerLocationIndex = descriptor->GetPerLocationIndex();
  baticeSegmentIndex = descriptor->GetSegmentIndex();
  if (baticePerFieldIndex || baticePerLocationIndex) {
    baticeIndexEngine = baticeBitArrayTokenIndexTableEngine->GetIndexEngine();
    baticeReverseIndexEngine = baticeBitArrayTokenIndexTableEngine->GetReverseIndexEngine();
  }
  if (baticeIndexEngine || baticeReverseIndexEngine)
    baticeBitArrayStorageHandlerTableEngine = baticeBitArrayTokenIndexTableEngine->GetBitArrayStorageHandler();
  try {
    if (baticeIndexEngine) {
      baticeKeyEngine = &dynamic_cast<TmvBitArrayTokenKeyEngine&>(*baticeIndexEngine->KeyEngine());
      baticeKeyBuffer = baticeKeyEngine->AllocKey();
      baticeIndexPath = baticeIndexEngine->CreateIndexPath();
    }
    if (baticeReverseIndexEngine) {
      baticeReverseKeyEngine = &dynamic_cast<TmvBitArrayTokenKeyEngine&>(*baticeReverseIndexEngine->KeyEngine());
      baticeReverseKeyBuffer = baticeReverseKeyEngine->AllocKey();
      baticeReverseIndexPath = baticeReverseIndexEngine->CreateIndexPath();
    }
    SetupProcessing();
  } catch (...) {
    FreeResources();
    throw;
  }
}

TmvBitArrayTokenIndexCursorEngine::~TmvBitArrayTokenIndexCursorEngine() { FreeResources(); }

void TmvBitArrayTokenIndexCursorEngine::FreeResources() {
  delete baticeIndexPath;
  baticeIndexPath = nullptr;
  delete baticeReverseIndexPath;
  baticeReverseIndexPath = nullptr;
  if (baticeKeyBuffer) baticeKeyEngine->FreeKey(baticeKeyBuffer);
  if (baticeReverseKeyBuffer) baticeReverseKeyEngine->FreeKey(baticeReverseKeyBuffer);
}

int32_t TmvBitArrayTokenIndexCursorEngine::GetMaxTokenSize() {
  if (baticeKeyEngine) return baticeKeyEngine->GetMaxTokenSize();
  if (baticeReverseKeyEngine) return baticeReverseKeyEngine->GetMaxTokenSize();
  return 0;
}

bool TmvBitArrayTokenIndexCursorEngine::LocationOf(const void* aRecord, uint32_t& aLocation) const {
  return ReadLocation(baticeFieldsDescriptor, baticeLocationField, aRecord, aLocation);
}

uint32_t TmvBitArrayTokenIndexCursorEngine::bticeUpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord,
                                                             const TmvRecID&, const void* aNewRecord,
                                                             const TmvRecID&) {
  if (!baticeBitArrayStorageHandlerTableEngine) return 0;
  TmvTokenLocationInfo oldInfo, newInfo;
  const bool hasOld = LocationOf(aOldRecord, oldInfo.tliLocation);
  const bool hasNew = LocationOf(aNewRecord, newInfo.tliLocation);
  std::unique_ptr<TmvUniqueTokenContainer> oldTokens, newTokens;
  if (hasOld)
    oldTokens = std::make_unique<TmvUniqueTokenContainer>(bticeTokenSourceOld, bpticeComparer, bpticeTransformer,
                                                          baticePerLocationIndex, baticePerFieldIndex);
  if (hasNew)
    newTokens = std::make_unique<TmvUniqueTokenContainer>(bticeTokenSourceNew, bpticeComparer, bpticeTransformer,
                                                          baticePerLocationIndex, baticePerFieldIndex);
  if (hasOld && hasNew && oldInfo.tliLocation == newInfo.tliLocation) {
    ProcessContainerDifference(aTrans, *oldTokens, *newTokens, oldInfo);
  } else {
    if (oldTokens) ProcessAll(aTrans, *oldTokens, false, oldInfo);
    if (newTokens) ProcessAll(aTrans, *newTokens, true, newInfo);
  }
  return 0;
}

void TmvBitArrayTokenIndexCursorEngine::ProcessToken(TmvBaseTransaction* aTrans, const TmvWideString& aToken,
                                                     bool aAdd, const TmvTokenLocationInfo& aLocationInfo,
                                                     int16_t aField) {
  uint16_t segment = uint16_t(aLocationInfo.tliLocation >> 19);
  uint32_t bit = aLocationInfo.tliLocation & 0x7FFFF;
  for (;;) {
    const bool changed = ProcessIn(aTrans, aToken, aAdd, segment, bit, aField);
    if (!changed || !baticeSegmentIndex || segment == 0xFFFF) return;
    bit = segment;
    segment = 0xFFFF;
  }
}

bool TmvBitArrayTokenIndexCursorEngine::ProcessIn(TmvBaseTransaction* aTrans, const TmvWideString& aToken, bool aAdd,
                                                  uint16_t aSegment, uint32_t aBit, int16_t aField) {
  // The forward index leads; without it the reverse one stands alone.
  const bool forward = baticeIndexEngine != nullptr;
  TmvBaseIndexEngine* index = forward ? baticeIndexEngine : baticeReverseIndexEngine;
  TmvBitArrayTokenKeyEngine* keys = forward ? baticeKeyEngine : baticeReverseKeyEngine;
  void* key = forward ? baticeKeyBuffer : baticeReverseKeyBuffer;
  TmvBaseIndexPath* path = forward ? baticeIndexPath : baticeReverseIndexPath;
  const bool withReverse = forward && baticeReverseIndexEngine;
  keys->InternalBuildKey(aSegment, aToken, key, aField);
  if (index->FindKey(aTrans, key, 0, 0, 0, path, skaEqualFirst, nullptr)) {
    const TmvRefNr array = path->RefNr;
    if (aAdd) {
      baticeBitArrayStorageHandlerTableEngine->SetBit(aTrans, aBit, array);
      return false;
    }
    if (!baticeBitArrayStorageHandlerTableEngine->ClearBit(aTrans, aBit, array)) return false;
    if (!index->DeleteKey(aTrans, key, array, 0, path)) RaiseKeyViolation(false);
    if (withReverse) {
      baticeReverseKeyEngine->InternalBuildKey(aSegment, aToken, baticeReverseKeyBuffer, aField);
      if (!baticeReverseIndexEngine->FindKey(aTrans, baticeReverseKeyBuffer, 0, 0, 0, baticeReverseIndexPath,
                                             skaEqualFirst, nullptr) ||
          !baticeReverseIndexEngine->DeleteKey(aTrans, baticeReverseKeyBuffer, array, 0, baticeReverseIndexPath))
        RaiseKeyViolation(false);
    }
    return true;
  }
  if (!aAdd) RaiseKeyViolation(false);
  const TmvRefNr array = baticeBitArrayStorageHandlerTableEngine->CreateNew(aTrans, aBit);
  if (!index->InsertKey(aTrans, key, array, 0, path)) RaiseKeyViolation(false);
  if (withReverse) {
    baticeReverseKeyEngine->InternalBuildKey(aSegment, aToken, baticeReverseKeyBuffer, aField);
    if (!baticeReverseIndexEngine->InsertKey(aTrans, baticeReverseKeyBuffer, array, 0, baticeReverseIndexPath))
      RaiseKeyViolation(false);
  }
  return true;
}

// ---------------------------------------------------------------------------
// TmvMainIndexTokenIndexCursorEngine

constinit const TmvTokenIndexCursorEngineClassRef TmvMainIndexTokenIndexCursorEngine::StaticClass{
    {{u"TmvMainIndexTokenIndexCursorEngine", &TmvBaseProcessingTokenIndexCursorEngine::StaticClass},
     &TmvBaseTokenIndexCursorEngine::Registry,
     nullptr},
    &TmvTokenIndexCursorEngineClassRef::Construct<TmvMainIndexTokenIndexCursorEngine>};

TmvMainIndexTokenIndexCursorEngine::TmvMainIndexTokenIndexCursorEngine(
    TmvFulltextIndexCursorEngine* aParent, TmvTokenIndexHubCursorEngine* aHub,
    TmvBaseTokenSourceCursorEngine* aTokenSourceNew, TmvBaseTokenSourceCursorEngine* aTokenSourceOld,
    TmvBaseTokenIndexTableEngine* aTableEngine)
    : TmvBaseProcessingTokenIndexCursorEngine(aParent, aHub, aTokenSourceNew, aTokenSourceOld, aTableEngine),
      miticeMainIndexTokenIndexTableEngine(&dynamic_cast<TmvMainIndexTokenIndexTableEngine&>(*aTableEngine)),
      miticeIndexEngine(miticeMainIndexTokenIndexTableEngine->GetMainIndexEngine()),
      miticeKeyEngine(&dynamic_cast<TmvMainIndexTokenKeyEngine&>(*miticeIndexEngine->KeyEngine())) {
  miticeKeyBuffer = miticeKeyEngine->AllocKey();
  try {
    miticeIndexPath = miticeIndexEngine->CreateIndexPath();
    if (miticeKeyEngine->GetIncludeLocation()) {
      miticeFieldsDescriptor =
          miticeMainIndexTokenIndexTableEngine->GetTokenIndexDescriptor()->FindRelatedDescriptor<TmvFieldsDescriptor>();
      miticeLocationField = LocationFieldOf(aParent->GetFulltextIndexTableEngine());
    }
    miticeNotify = mvFulltextCursorNotify(mvFulltextIndexCursor(aParent));
    SetupProcessing();
  } catch (...) {
    FreeResources();
    throw;
  }
}

TmvMainIndexTokenIndexCursorEngine::~TmvMainIndexTokenIndexCursorEngine() { FreeResources(); }

void TmvMainIndexTokenIndexCursorEngine::FreeResources() {
  delete miticeIndexPath;
  miticeIndexPath = nullptr;
  if (miticeKeyBuffer) miticeKeyEngine->FreeKey(miticeKeyBuffer);
}

uint32_t TmvMainIndexTokenIndexCursorEngine::GetCompareFlags() {
  return miticeMainIndexTokenIndexTableEngine->GetMainIndexTokenIndexDescriptor()->GetIgnoreCase() ? mvNormIgnoreCase
                                                                                                   : 0;
}

int32_t TmvMainIndexTokenIndexCursorEngine::GetMaxTokenSize() { return miticeKeyEngine->GetMaxTokenSize(); }

uint32_t TmvMainIndexTokenIndexCursorEngine::LocationOf(const void* aRecord) const {
  uint32_t location = 0;
  if (miticeKeyEngine->GetIncludeLocation() &&
      !ReadLocation(miticeFieldsDescriptor, miticeLocationField, aRecord, location))
    location = 0;
  return location;
}

uint32_t TmvMainIndexTokenIndexCursorEngine::bticeUpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord,
                                                              const TmvRecID& aOldRecID, const void* aNewRecord,
                                                              const TmvRecID& aNewRecID) {
  TmvBaseFilterEngine* filter = miticeKeyEngine->GetFilter();
  auto passes = [&](const void* aRecord) {
    return !filter || !filter->GetActive() || filter->MatchesBuffer(aRecord);
  };
  const bool hasOld = aOldRecID.ridRefNr != 0 && aOldRecord && passes(aOldRecord);
  const bool hasNew = aNewRecID.ridRefNr != 0 && aNewRecord && passes(aNewRecord);
  TmvRefNr oldRefNr = aOldRecID.ridRefNr, newRefNr = aNewRecID.ridRefNr;
  TmvTokenLocationInfo oldInfo{hasOld ? LocationOf(aOldRecord) : 0, &oldRefNr};
  TmvTokenLocationInfo newInfo{hasNew ? LocationOf(aNewRecord) : 0, &newRefNr};
  std::unique_ptr<TmvUniqueTokenContainer> oldTokens, newTokens;
  if (hasOld)
    oldTokens = std::make_unique<TmvUniqueTokenContainer>(bticeTokenSourceOld, bpticeComparer, bpticeTransformer,
                                                          true, false);
  if (hasNew)
    newTokens = std::make_unique<TmvUniqueTokenContainer>(bticeTokenSourceNew, bpticeComparer, bpticeTransformer,
                                                          true, false);
  if (hasOld && hasNew && oldRefNr == newRefNr && oldInfo.tliLocation == newInfo.tliLocation) {
    ProcessContainerDifference(aTrans, *oldTokens, *newTokens, oldInfo);
  } else {
    if (oldTokens) ProcessAll(aTrans, *oldTokens, false, oldInfo);
    if (newTokens) ProcessAll(aTrans, *newTokens, true, newInfo);
  }
  return 0;
}

void TmvMainIndexTokenIndexCursorEngine::ProcessToken(TmvBaseTransaction* aTrans, const TmvWideString& aToken,
                                                      bool aAdd, const TmvTokenLocationInfo& aLocationInfo,
                                                      int16_t) {
  miticeKeyEngine->InternalBuildKey(aToken, aLocationInfo.tliLocation, miticeKeyBuffer);
  if (miticeNotify) {
    TmvWideString token = aToken;
    miticeNotify(miticeIndexEngine->bieIndexNumber, token, *aLocationInfo.tliRefNr,
                 int64_t(aLocationInfo.tliLocation), aAdd);
  }
  const TmvRefNr refNr = *aLocationInfo.tliRefNr;
  const bool done = aAdd ? miticeIndexEngine->InsertKey(aTrans, miticeKeyBuffer, refNr, 0, miticeIndexPath)
                         : miticeIndexEngine->DeleteKey(aTrans, miticeKeyBuffer, refNr, 0, miticeIndexPath);
  if (!done) RaiseKeyViolation(true);
}

// ---------------------------------------------------------------------------
// Registration

namespace {

const TmvRegisterableEngineClassRef* const kClasses[] = {
    &TmvFulltextIndexCursorEngine::StaticClass,
    &TmvTokenIndexHubCursorEngine::StaticClass,
    &TmvBitArrayTokenIndexCursorEngine::StaticClass,
    &TmvMainIndexTokenIndexCursorEngine::StaticClass,
};

}  // namespace

void mvseFulltextEngineCursorIndexInit() {
  TmvBaseRegisterableEngine::RegisterEngine(TmvFulltextCursorEngine::StaticClass);
  for (const TmvRegisterableEngineClassRef* cls : kClasses) TmvBaseRegisterableEngine::RegisterEngine(*cls);
}

void mvseFulltextEngineCursorIndexFini() {
  TmvBaseRegisterableEngine::UnregisterEngine(TmvFulltextCursorEngine::StaticClass);
  for (const TmvRegisterableEngineClassRef* cls : kClasses) TmvBaseRegisterableEngine::UnregisterEngine(*cls);
}
