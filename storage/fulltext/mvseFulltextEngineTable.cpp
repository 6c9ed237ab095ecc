// Storage (full text): the table side of full-text indexing. See
// mvseFulltextEngineTable.h.
#include "storage/fulltext/mvseFulltextEngineTable.h"

#include "foundation/errors/mvllErrors.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/indices/mvseIndicesEngine.h"

namespace {

// The class of aFamily that serves aDescriptor: its class name with every
// "Descriptor" replaced by "TableEngine"; 15503 naming aWord when none is
// registered (or it is abstract).
template <typename ClassRefT>
const ClassRefT& FamilyClassFor(const ClassRefT& aFamily, const char16_t* aWord, const TPersistent& aDescriptor) {
  const String name = mvEngineNameForDescriptor(aDescriptor.ClassType().ClassName, u"Descriptor", u"TableEngine");
  const auto* cls = static_cast<const ClassRefT*>(TmvBaseRegisterableEngine::FindEngineClass(aFamily, name));
  if (!cls || !cls->CreateEngine)
    throw EmvFulltextTableEngineException(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"",
                                          {String(aWord), name});
  return *cls;
}

template <typename Descriptor>
Descriptor* DescriptorAs(TPersistent* aDescriptor) {
  auto* descriptor = dynamic_cast<Descriptor*>(aDescriptor);
  if (!descriptor) throw EInvalidCast(SInvalidCast);
  return descriptor;
}

// Frees the engines of a list, the last first, and empties it.
template <typename T>
void FreeReverse(std::vector<T*>& aList) {
  while (!aList.empty()) {
    delete aList.back();
    aList.pop_back();
  }
}

template <typename T>
T* MemberAt(const std::vector<T*>& aList, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= int32_t(aList.size())) throw EListError(SListIndexError, {aIndex});
  return aList[size_t(aIndex)];
}

// A filter hub for an extractor or token index whose own filter hub holds
// at least one filter; nil otherwise.
TmvTokenFilterHubTableEngine* OwnFilterHub(TmvFulltextIndexTableEngine* aParent, TmvBaseTransaction* aTrans,
                                           TmvTokenFilterHubDescriptor* aDescriptor) {
  if (!aDescriptor || aDescriptor->TokenFilterCount() == 0) return nullptr;
  return static_cast<TmvTokenFilterHubTableEngine*>(TmvBaseTokenFilterTableEngine::CreateFor(aParent, aTrans, aDescriptor));
}

TmvBaseTokenFilterTableEngine* HubFilter(TmvTokenFilterHubTableEngine* aHub, int32_t aIndex) {
  if (aIndex == -1 || !aHub) return aHub;
  return aHub->TokenFilter(aIndex);
}

int32_t HubFilterCount(TmvTokenFilterHubTableEngine* aHub) { return aHub ? aHub->TokenFilterCount() : 0; }

}  // namespace

// ---------------------------------------------------------------------------
// TmvFulltextTableEngine

constinit const TmvFulltextTableEngineClassRef TmvFulltextTableEngine::StaticClass{
    {{u"TmvFulltextTableEngine", &TmvBaseFulltextTableEngine::StaticClass}, &TmvBaseFulltextTableEngine::Registry,
     nullptr},
    [](TmvBaseRegisterableDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
       TmvBaseIndicesEngine* aMainIndicesEngine, TmvBaseTransaction* aTrans) -> TmvBaseFulltextTableEngine* {
      return new TmvFulltextTableEngine(DescriptorAs<TmvFulltextDescriptor>(aDescriptor), aTrans, aMainIndicesEngine,
                                        aFiles);
    }};

TmvFulltextTableEngine::TmvFulltextTableEngine(TmvFulltextDescriptor* aDescriptor, TmvBaseTransaction* aTrans,
                                               TmvBaseIndicesEngine* aMainIndicesEngine,
                                               const TmvBlockAccessArray& aFiles)
    : ftteFulltextDescriptor(aDescriptor), ftteFiles(aFiles), ftteMainIndicesEngine(aMainIndicesEngine) {
  try {
    if (TmvBaseIndicesDescriptor* indices = aDescriptor->GetIndicesDescriptor())
      ftteIndicesEngine = TmvBaseIndicesEngine::CreateEngine(indices, aFiles, nullptr, aTrans, false);
    if (TmvBaseBlobDescriptor* blobs = aDescriptor->GetBlobDescriptor())
      ftteBlobEngine = TmvBaseBlobEngine::CreateEngine(blobs, aFiles, aTrans);
    CreateIndices(aTrans);
  } catch (...) {
    FreeAll();
    throw;
  }
}

TmvFulltextTableEngine::~TmvFulltextTableEngine() { FreeAll(); }

void TmvFulltextTableEngine::FreeAll() {
  FreeReverse(ftteFulltextIndices);
  delete ftteIndicesEngine;
  ftteIndicesEngine = nullptr;
  delete ftteBlobEngine;
  ftteBlobEngine = nullptr;
}

void TmvFulltextTableEngine::CreateIndices(TmvBaseTransaction* aTrans) {
  const int32_t count = ftteFulltextDescriptor->FulltextIndexCount();
  for (int32_t i = 0; i < count; ++i)
    ftteFulltextIndices.push_back(
        TmvFulltextIndexTableEngine::CreateFor(this, aTrans, ftteFulltextDescriptor->FulltextIndex(i)));
}

TmvFulltextIndexTableEngine* TmvFulltextTableEngine::FulltextIndex(int32_t aIndex) const {
  return MemberAt(ftteFulltextIndices, aIndex);
}

// ---------------------------------------------------------------------------
// TmvFulltextIndexTableEngine

constinit const TmvFulltextIndexTableEngineClassRef TmvFulltextIndexTableEngine::StaticClass{
    {{u"TmvFulltextIndexTableEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvFulltextIndexTableEngine::Registry,
     nullptr},
    &TmvFulltextIndexTableEngineClassRef::Construct<TmvFulltextIndexTableEngine>};

TmvClassRegistry* TmvFulltextIndexTableEngine::Registry() { return mvFamilyRegistry<TmvFulltextIndexTableEngine>(); }

TmvFulltextIndexTableEngine* TmvFulltextIndexTableEngine::CreateFor(TmvFulltextTableEngine* aParent,
                                                                    TmvBaseTransaction* aTrans,
                                                                    TmvFulltextIndexDescriptor* aDescriptor) {
  return FamilyClassFor(StaticClass, u"FulltextIndex", *aDescriptor).CreateEngine(aParent, nullptr, aTrans, aDescriptor);
}

TmvFulltextIndexTableEngine::TmvFulltextIndexTableEngine(TmvFulltextTableEngine* aParent, void*,
                                                         TmvBaseTransaction* aTrans,
                                                         TmvFulltextIndexDescriptor* aDescriptor)
    : fiteParentFulltextTableEngine(aParent), fiteFulltextIndexDescriptor(aDescriptor) {
  try {
    fiteTokenExtractorHub = static_cast<TmvTokenExtractorHubTableEngine*>(
        TmvBaseTokenExtractorTableEngine::CreateFor(this, aTrans, aDescriptor->GetTokenExtractorHub()));
    fiteTokenFilterHub = static_cast<TmvTokenFilterHubTableEngine*>(
        TmvBaseTokenFilterTableEngine::CreateFor(this, aTrans, aDescriptor->GetTokenFilterHub()));
    fiteTokenIndexHub = static_cast<TmvTokenIndexHubTableEngine*>(
        TmvBaseTokenIndexTableEngine::CreateFor(this, aTrans, aDescriptor->GetTokenIndexHub()));
  } catch (...) {
    FreeHubs();
    throw;
  }
}

TmvFulltextIndexTableEngine::~TmvFulltextIndexTableEngine() { FreeHubs(); }

void TmvFulltextIndexTableEngine::FreeHubs() {
  delete fiteTokenIndexHub;
  fiteTokenIndexHub = nullptr;
  delete fiteTokenFilterHub;
  fiteTokenFilterHub = nullptr;
  delete fiteTokenExtractorHub;
  fiteTokenExtractorHub = nullptr;
}

TmvBaseTokenExtractorTableEngine* TmvFulltextIndexTableEngine::TokenExtractor(int32_t aIndex) const {
  if (aIndex == -1) return fiteTokenExtractorHub;
  return fiteTokenExtractorHub->TokenExtractor(aIndex);
}

TmvBaseTokenFilterTableEngine* TmvFulltextIndexTableEngine::TokenFilter(int32_t aIndex) const {
  return HubFilter(fiteTokenFilterHub, aIndex);
}

TmvBaseTokenIndexTableEngine* TmvFulltextIndexTableEngine::TokenIndex(int32_t aIndex) const {
  if (aIndex == -1) return fiteTokenIndexHub;
  return fiteTokenIndexHub->TokenIndex(aIndex);
}

int32_t TmvFulltextIndexTableEngine::TokenExtractorCount() const { return fiteTokenExtractorHub->TokenExtractorCount(); }
int32_t TmvFulltextIndexTableEngine::TokenFilterCount() const { return HubFilterCount(fiteTokenFilterHub); }
int32_t TmvFulltextIndexTableEngine::TokenIndexCount() const { return fiteTokenIndexHub->TokenIndexCount(); }

// ---------------------------------------------------------------------------
// Token extractors

constinit const TmvRegisterableEngineClassRef TmvBaseTokenSourceTableEngine::StaticClass{
    {u"TmvBaseTokenSourceTableEngine", &TmvBaseRegisterableEngine::StaticClass}, &mvNoRegistry, nullptr};

constinit const TmvTokenExtractorTableEngineClassRef TmvBaseTokenExtractorTableEngine::StaticClass{
    {{u"TmvBaseTokenExtractorTableEngine", &TmvBaseTokenSourceTableEngine::StaticClass},
     &TmvBaseTokenExtractorTableEngine::Registry,
     nullptr},
    nullptr};

TmvClassRegistry* TmvBaseTokenExtractorTableEngine::Registry() {
  return mvFamilyRegistry<TmvBaseTokenExtractorTableEngine>();
}

TmvBaseTokenExtractorTableEngine* TmvBaseTokenExtractorTableEngine::CreateFor(
    TmvFulltextIndexTableEngine* aParent, TmvBaseTransaction* aTrans, TmvBaseTokenExtractorDescriptor* aDescriptor) {
  return FamilyClassFor(StaticClass, u"TokenExtractor", *aDescriptor).CreateEngine(aParent, nullptr, aTrans, aDescriptor);
}

TmvBaseTokenExtractorTableEngine* TmvBaseTokenExtractorTableEngine::CreateFor(
    TmvTokenExtractorHubTableEngine* aHub, TmvBaseTransaction* aTrans, TmvBaseTokenExtractorDescriptor* aDescriptor) {
  return FamilyClassFor(StaticClass, u"TokenExtractor", *aDescriptor)
      .CreateEngine(aHub->GetParentFulltextIndexTableEngine(), aHub, aTrans, aDescriptor);
}

TmvBaseTokenExtractorTableEngine::TmvBaseTokenExtractorTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                                   TmvTokenExtractorHubTableEngine* aHub,
                                                                   TmvBaseTransaction* aTrans,
                                                                   TmvBaseTokenExtractorDescriptor* aDescriptor)
    : TmvBaseTokenSourceTableEngine(aParent),
      bteteParentTokenExtractorHubTableEngine(aHub),
      bteteTokenExtractorDescriptor(aDescriptor) {
  bteteTokenFilterHub = OwnFilterHub(aParent, aTrans, aDescriptor->GetTokenFilterHub());
}

TmvBaseTokenExtractorTableEngine::~TmvBaseTokenExtractorTableEngine() { delete bteteTokenFilterHub; }

TmvBaseTokenFilterTableEngine* TmvBaseTokenExtractorTableEngine::TokenFilter(int32_t aIndex) const {
  return HubFilter(bteteTokenFilterHub, aIndex);
}

int32_t TmvBaseTokenExtractorTableEngine::TokenFilterCount() const { return HubFilterCount(bteteTokenFilterHub); }

constinit const TmvTokenExtractorTableEngineClassRef TmvTokenExtractorHubTableEngine::StaticClass{
    {{u"TmvTokenExtractorHubTableEngine", &TmvBaseTokenExtractorTableEngine::StaticClass},
     &TmvBaseTokenExtractorTableEngine::Registry,
     nullptr},
    &TmvTokenExtractorTableEngineClassRef::Construct<TmvTokenExtractorHubTableEngine>};

TmvTokenExtractorHubTableEngine::TmvTokenExtractorHubTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                                 TmvTokenExtractorHubTableEngine* aHub,
                                                                 TmvBaseTransaction* aTrans,
                                                                 TmvBaseTokenExtractorDescriptor* aDescriptor)
    : TmvBaseTokenExtractorTableEngine(aParent, aHub, aTrans, aDescriptor),
      tehteTokenExtractorHubDescriptor(DescriptorAs<TmvTokenExtractorHubDescriptor>(aDescriptor)) {
  try {
    CreateExtractors(aTrans);
  } catch (...) {
    FreeReverse(tehteTokenExtractors);
    throw;
  }
}

TmvTokenExtractorHubTableEngine::~TmvTokenExtractorHubTableEngine() { FreeReverse(tehteTokenExtractors); }

void TmvTokenExtractorHubTableEngine::CreateExtractors(TmvBaseTransaction* aTrans) {
  const int32_t count = tehteTokenExtractorHubDescriptor->TokenExtractorCount();
  for (int32_t i = 0; i < count; ++i)
    tehteTokenExtractors.push_back(TmvBaseTokenExtractorTableEngine::CreateFor(
        this, aTrans, tehteTokenExtractorHubDescriptor->TokenExtractor(i)));
}

TmvBaseTokenExtractorTableEngine* TmvTokenExtractorHubTableEngine::TokenExtractor(int32_t aIndex) const {
  return MemberAt(tehteTokenExtractors, aIndex);
}

constinit const TmvTokenExtractorTableEngineClassRef TmvFieldTokenExtractorTableEngine::StaticClass{
    {{u"TmvFieldTokenExtractorTableEngine", &TmvBaseTokenExtractorTableEngine::StaticClass},
     &TmvBaseTokenExtractorTableEngine::Registry,
     nullptr},
    &TmvTokenExtractorTableEngineClassRef::Construct<TmvFieldTokenExtractorTableEngine>};

TmvFieldTokenExtractorTableEngine::TmvFieldTokenExtractorTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                                     TmvTokenExtractorHubTableEngine* aHub,
                                                                     TmvBaseTransaction* aTrans,
                                                                     TmvBaseTokenExtractorDescriptor* aDescriptor)
    : TmvBaseTokenExtractorTableEngine(aParent, aHub, aTrans, aDescriptor),
      fteteFieldTokenExtractorDescriptor(DescriptorAs<TmvFieldTokenExtractorDescriptor>(aDescriptor)) {}

// ---------------------------------------------------------------------------
// Token filters

constinit const TmvTokenFilterTableEngineClassRef TmvBaseTokenFilterTableEngine::StaticClass{
    {{u"TmvBaseTokenFilterTableEngine", &TmvBaseTokenSourceTableEngine::StaticClass},
     &TmvBaseTokenFilterTableEngine::Registry,
     nullptr},
    nullptr};

TmvClassRegistry* TmvBaseTokenFilterTableEngine::Registry() { return mvFamilyRegistry<TmvBaseTokenFilterTableEngine>(); }

TmvBaseTokenFilterTableEngine* TmvBaseTokenFilterTableEngine::CreateFor(TmvFulltextIndexTableEngine* aParent,
                                                                        TmvBaseTransaction* aTrans,
                                                                        TmvBaseTokenFilterDescriptor* aDescriptor) {
  return FamilyClassFor(StaticClass, u"TokenFilter", *aDescriptor).CreateEngine(aParent, nullptr, aTrans, aDescriptor);
}

TmvBaseTokenFilterTableEngine* TmvBaseTokenFilterTableEngine::CreateFor(TmvTokenFilterHubTableEngine* aHub,
                                                                        TmvBaseTransaction* aTrans,
                                                                        TmvBaseTokenFilterDescriptor* aDescriptor) {
  return FamilyClassFor(StaticClass, u"TokenFilter", *aDescriptor)
      .CreateEngine(aHub->GetParentFulltextIndexTableEngine(), aHub, aTrans, aDescriptor);
}

TmvBaseTokenFilterTableEngine::TmvBaseTokenFilterTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                             TmvTokenFilterHubTableEngine* aHub, TmvBaseTransaction*,
                                                             TmvBaseTokenFilterDescriptor* aDescriptor)
    : TmvBaseTokenSourceTableEngine(aParent),
      btfteParentTokenFilterHubTableEngine(aHub),
      btfteTokenFilterDescriptor(aDescriptor) {}

constinit const TmvTokenFilterTableEngineClassRef TmvTokenFilterHubTableEngine::StaticClass{
    {{u"TmvTokenFilterHubTableEngine", &TmvBaseTokenFilterTableEngine::StaticClass},
     &TmvBaseTokenFilterTableEngine::Registry,
     nullptr},
    &TmvTokenFilterTableEngineClassRef::Construct<TmvTokenFilterHubTableEngine>};

TmvTokenFilterHubTableEngine::TmvTokenFilterHubTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                           TmvTokenFilterHubTableEngine* aHub,
                                                           TmvBaseTransaction* aTrans,
                                                           TmvBaseTokenFilterDescriptor* aDescriptor)
    : TmvBaseTokenFilterTableEngine(aParent, aHub, aTrans, aDescriptor),
      tfhteTokenFilterHubDescriptor(DescriptorAs<TmvTokenFilterHubDescriptor>(aDescriptor)) {
  try {
    CreateFilters(aTrans);
  } catch (...) {
    FreeReverse(tfhteTokenFilters);
    throw;
  }
}

TmvTokenFilterHubTableEngine::~TmvTokenFilterHubTableEngine() { FreeReverse(tfhteTokenFilters); }

void TmvTokenFilterHubTableEngine::CreateFilters(TmvBaseTransaction* aTrans) {
  const int32_t count = tfhteTokenFilterHubDescriptor->TokenFilterCount();
  for (int32_t i = 0; i < count; ++i)
    tfhteTokenFilters.push_back(
        TmvBaseTokenFilterTableEngine::CreateFor(this, aTrans, tfhteTokenFilterHubDescriptor->TokenFilter(i)));
}

TmvBaseTokenFilterTableEngine* TmvTokenFilterHubTableEngine::TokenFilter(int32_t aIndex) const {
  return MemberAt(tfhteTokenFilters, aIndex);
}

// The filter classes: abstract intermediates have no constructor.
#define MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(Name, Base, Creates)                                              \
  constinit const TmvTokenFilterTableEngineClassRef Name::StaticClass{                                        \
      {{u## #Name, &Base::StaticClass}, &TmvBaseTokenFilterTableEngine::Registry, nullptr},                   \
      Creates ? &TmvTokenFilterTableEngineClassRef::Construct<Name>                                         \
              : nullptr};
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvBaseSeparatorTokenFilterTableEngine, TmvBaseTokenFilterTableEngine, false)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvWideCharSeparatorTokenFilterTableEngine, TmvBaseSeparatorTokenFilterTableEngine,
                                    true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvCategorySeparatorTokenFilterTableEngine, TmvBaseSeparatorTokenFilterTableEngine,
                                    true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvBaseLocaleMappingTokenFilterTableEngine, TmvBaseTokenFilterTableEngine, false)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvLowercaseLocaleMappingTokenFilterTableEngine,
                                    TmvBaseLocaleMappingTokenFilterTableEngine, true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvUppercaseLocaleMappingTokenFilterTableEngine,
                                    TmvBaseLocaleMappingTokenFilterTableEngine, true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvCustomLocaleMappingTokenFilterTableEngine,
                                    TmvBaseLocaleMappingTokenFilterTableEngine, true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvBaseFoldStringTokenFilterTableEngine, TmvBaseTokenFilterTableEngine, false)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvPreComposeFoldStringTokenFilterTableEngine,
                                    TmvBaseFoldStringTokenFilterTableEngine, true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvDecomposeFoldStringTokenFilterTableEngine,
                                    TmvBaseFoldStringTokenFilterTableEngine, true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvCustomFoldStringTokenFilterTableEngine, TmvBaseFoldStringTokenFilterTableEngine,
                                    true)
MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE(TmvStringReplaceTokenFilterTableEngine, TmvBaseTokenFilterTableEngine, true)
#undef MV_DEFINE_TOKEN_FILTER_TABLE_ENGINE

// ---------------------------------------------------------------------------
// Token indexes

constinit const TmvTokenIndexTableEngineClassRef TmvBaseTokenIndexTableEngine::StaticClass{
    {{u"TmvBaseTokenIndexTableEngine", &TmvBaseRegisterableEngine::StaticClass},
     &TmvBaseTokenIndexTableEngine::Registry,
     nullptr},
    nullptr};

TmvClassRegistry* TmvBaseTokenIndexTableEngine::Registry() { return mvFamilyRegistry<TmvBaseTokenIndexTableEngine>(); }

TmvBaseTokenIndexTableEngine* TmvBaseTokenIndexTableEngine::CreateFor(TmvFulltextIndexTableEngine* aParent,
                                                                      TmvBaseTransaction* aTrans,
                                                                      TmvBaseTokenIndexDescriptor* aDescriptor) {
  return FamilyClassFor(StaticClass, u"TokenIndex", *aDescriptor).CreateEngine(aParent, nullptr, aTrans, aDescriptor);
}

TmvBaseTokenIndexTableEngine* TmvBaseTokenIndexTableEngine::CreateFor(TmvTokenIndexHubTableEngine* aHub,
                                                                      TmvBaseTransaction* aTrans,
                                                                      TmvBaseTokenIndexDescriptor* aDescriptor) {
  return FamilyClassFor(StaticClass, u"TokenIndex", *aDescriptor)
      .CreateEngine(aHub->GetParentFulltextIndexTableEngine(), aHub, aTrans, aDescriptor);
}

TmvBaseTokenIndexTableEngine::TmvBaseTokenIndexTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                           TmvTokenIndexHubTableEngine* aHub,
                                                           TmvBaseTransaction* aTrans,
                                                           TmvBaseTokenIndexDescriptor* aDescriptor)
    : btiteParentFulltextIndexTableEngine(aParent),
      btiteParentTokenIndexHubTableEngine(aHub),
      btiteTokenIndexDescriptor(aDescriptor) {
  btiteTokenFilterHub = OwnFilterHub(aParent, aTrans, aDescriptor->GetTokenFilterHub());
}

TmvBaseTokenIndexTableEngine::~TmvBaseTokenIndexTableEngine() { delete btiteTokenFilterHub; }

TmvBaseTokenFilterTableEngine* TmvBaseTokenIndexTableEngine::TokenFilter(int32_t aIndex) const {
  return HubFilter(btiteTokenFilterHub, aIndex);
}

int32_t TmvBaseTokenIndexTableEngine::TokenFilterCount() const { return HubFilterCount(btiteTokenFilterHub); }

constinit const TmvTokenIndexTableEngineClassRef TmvTokenIndexHubTableEngine::StaticClass{
    {{u"TmvTokenIndexHubTableEngine", &TmvBaseTokenIndexTableEngine::StaticClass},
     &TmvBaseTokenIndexTableEngine::Registry,
     nullptr},
    &TmvTokenIndexTableEngineClassRef::Construct<TmvTokenIndexHubTableEngine>};

TmvTokenIndexHubTableEngine::TmvTokenIndexHubTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                         TmvTokenIndexHubTableEngine* aHub, TmvBaseTransaction* aTrans,
                                                         TmvBaseTokenIndexDescriptor* aDescriptor)
    : TmvBaseTokenIndexTableEngine(aParent, aHub, aTrans, aDescriptor),
      tihteTokenIndexHubDescriptor(DescriptorAs<TmvTokenIndexHubDescriptor>(aDescriptor)) {
  try {
    CreateTokenIndexes(aTrans);
  } catch (...) {
    FreeReverse(tihteTokenIndexs);
    throw;
  }
}

TmvTokenIndexHubTableEngine::~TmvTokenIndexHubTableEngine() { FreeReverse(tihteTokenIndexs); }

void TmvTokenIndexHubTableEngine::CreateTokenIndexes(TmvBaseTransaction* aTrans) {
  const int32_t count = tihteTokenIndexHubDescriptor->TokenIndexCount();
  for (int32_t i = 0; i < count; ++i)
    tihteTokenIndexs.push_back(
        TmvBaseTokenIndexTableEngine::CreateFor(this, aTrans, tihteTokenIndexHubDescriptor->TokenIndex(i)));
}

TmvBaseTokenIndexTableEngine* TmvTokenIndexHubTableEngine::TokenIndex(int32_t aIndex) const {
  return MemberAt(tihteTokenIndexs, aIndex);
}

namespace {

// The index of "Fulltext$Indices" that aDescriptor describes; nil without
// descriptor.
TmvBaseIndexEngine* TokenIndicesIndex(TmvFulltextIndexTableEngine* aParent, TmvIndexDescriptor* aDescriptor) {
  if (!aDescriptor) return nullptr;
  TmvBaseIndicesEngine* indices = aParent->GetParentFulltextTableEngine()->GetIndicesEngine();
  if (!indices)
    throw EmvFulltextTableEngineException(MVERR_INVALIDDESC, u"The full-text descriptor has no \"%s\" for index \"%s\"",
                                          {String(mvFulltextIndicesName), aDescriptor->GetName()});
  return indices->biseGetIndex(aDescriptor->GetNumber());
}

}  // namespace

constinit const TmvTokenIndexTableEngineClassRef TmvBitArrayTokenIndexTableEngine::StaticClass{
    {{u"TmvBitArrayTokenIndexTableEngine", &TmvBaseTokenIndexTableEngine::StaticClass},
     &TmvBaseTokenIndexTableEngine::Registry,
     nullptr},
    &TmvTokenIndexTableEngineClassRef::Construct<TmvBitArrayTokenIndexTableEngine>};

TmvBitArrayTokenIndexTableEngine::TmvBitArrayTokenIndexTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                                   TmvTokenIndexHubTableEngine* aHub,
                                                                   TmvBaseTransaction* aTrans,
                                                                   TmvBaseTokenIndexDescriptor* aDescriptor)
    : TmvBaseTokenIndexTableEngine(aParent, aHub, aTrans, aDescriptor),
      batiteBitArrayTokenIndexDescriptor(DescriptorAs<TmvBitArrayTokenIndexDescriptor>(aDescriptor)) {
  try {
    batiteBitArrayStorageHandlerTableEngine = TmvBaseBitArrayStorageHandlerTableEngine::CreateFor(
        this, aTrans, batiteBitArrayTokenIndexDescriptor->GetBitArrayStorageHandler());
    batiteIndexEngine = TokenIndicesIndex(aParent, batiteBitArrayTokenIndexDescriptor->IndexDescriptor());
    batiteReverseIndexEngine = TokenIndicesIndex(aParent, batiteBitArrayTokenIndexDescriptor->ReverseIndexDescriptor());
  } catch (...) {
    // This destructor does not run for a constructor that raises; the
    // base's does, and frees the filter hub.
    delete batiteBitArrayStorageHandlerTableEngine;
    throw;
  }
}

TmvBitArrayTokenIndexTableEngine::~TmvBitArrayTokenIndexTableEngine() {
  delete batiteBitArrayStorageHandlerTableEngine;
}

constinit const TmvTokenIndexTableEngineClassRef TmvMainIndexTokenIndexTableEngine::StaticClass{
    {{u"TmvMainIndexTokenIndexTableEngine", &TmvBaseTokenIndexTableEngine::StaticClass},
     &TmvBaseTokenIndexTableEngine::Registry,
     nullptr},
    &TmvTokenIndexTableEngineClassRef::Construct<TmvMainIndexTokenIndexTableEngine>};

TmvMainIndexTokenIndexTableEngine::TmvMainIndexTokenIndexTableEngine(TmvFulltextIndexTableEngine* aParent,
                                                                     TmvTokenIndexHubTableEngine* aHub,
                                                                     TmvBaseTransaction* aTrans,
                                                                     TmvBaseTokenIndexDescriptor* aDescriptor)
    : TmvBaseTokenIndexTableEngine(aParent, aHub, aTrans, aDescriptor),
      mititeMainIndexTokenIndexDescriptor(DescriptorAs<TmvMainIndexTokenIndexDescriptor>(aDescriptor)) {
  TmvBaseIndicesEngine* main = aParent->GetParentFulltextTableEngine()->GetMainIndicesEngine();
  if (!main)
    throw EmvFulltextTableEngineException(MVERR_INVALIDDESC, u"The table has no indexes for token index \"%s\"",
                                          {mititeMainIndexTokenIndexDescriptor->GetName()});
  mititeMainIndexEngine = main->biseGetIndex(mititeMainIndexTokenIndexDescriptor->GetMainIndexNumber());
}

// ---------------------------------------------------------------------------
// Bit-array storage handlers

constinit const TmvBitArrayStorageHandlerTableEngineClassRef TmvBaseBitArrayStorageHandlerTableEngine::StaticClass{
    {{u"TmvBaseBitArrayStorageHandlerTableEngine", &TmvBaseRegisterableEngine::StaticClass},
     &TmvBaseBitArrayStorageHandlerTableEngine::Registry,
     nullptr},
    nullptr};

TmvClassRegistry* TmvBaseBitArrayStorageHandlerTableEngine::Registry() {
  return mvFamilyRegistry<TmvBaseBitArrayStorageHandlerTableEngine>();
}

TmvBaseBitArrayStorageHandlerTableEngine* TmvBaseBitArrayStorageHandlerTableEngine::CreateFor(
    TmvBaseTokenIndexTableEngine* aParent, TmvBaseTransaction* aTrans,
    TmvBaseBitArrayStorageHandlerDescriptor* aDescriptor) {
  if (!aDescriptor) return nullptr;
  return FamilyClassFor(StaticClass, u"BitArrayStorageHandler", *aDescriptor)
      .CreateEngine(aParent, nullptr, aTrans, aDescriptor);
}

TmvBaseBitArrayStorageHandlerTableEngine::TmvBaseBitArrayStorageHandlerTableEngine(
    TmvBaseTokenIndexTableEngine*, void*, TmvBaseTransaction*, TmvBaseBitArrayStorageHandlerDescriptor* aDescriptor)
    : bbashBitArrayStorageHandlerDescriptor(aDescriptor) {}

constinit const TmvBitArrayStorageHandlerTableEngineClassRef TmvSimpleBitArrayStorageHandlerTableEngine::StaticClass{
    {{u"TmvSimpleBitArrayStorageHandlerTableEngine", &TmvBaseBitArrayStorageHandlerTableEngine::StaticClass},
     &TmvBaseBitArrayStorageHandlerTableEngine::Registry,
     nullptr},
    &TmvBitArrayStorageHandlerTableEngineClassRef::Construct<TmvSimpleBitArrayStorageHandlerTableEngine>};

TmvSimpleBitArrayStorageHandlerTableEngine::TmvSimpleBitArrayStorageHandlerTableEngine(
    TmvBaseTokenIndexTableEngine* aParent, void* aHub, TmvBaseTransaction* aTrans,
    TmvBaseBitArrayStorageHandlerDescriptor* aDescriptor)
    : TmvBaseBitArrayStorageHandlerTableEngine(aParent, aHub, aTrans, aDescriptor),
      sbashBlobEngine(aParent->GetParentFulltextIndexTableEngine()->GetParentFulltextTableEngine()->GetBlobEngine()) {}

namespace {

// Bit b lives in byte 4 + b div 8 of its BLOB under mask 1 shl (b mod 8).
constexpr uint32_t kBitmapOffset = 4;
uint32_t ByteOffsetOf(uint32_t aBit) { return kBitmapOffset + aBit / 8; }
uint8_t MaskOf(uint32_t aBit) { return uint8_t(1u << (aBit % 8)); }

[[noreturn]] void RaiseKeyViolation() {
  throw EmvSimpleBitArrayStorageHandlerTableEngineException(MVERR_KEYVIOL, u"Key violation.");
}

}  // namespace

TmvBaseBlobEngine& TmvSimpleBitArrayStorageHandlerTableEngine::Blobs() const {
  if (!sbashBlobEngine)
    throw EmvSimpleBitArrayStorageHandlerTableEngineException(
        MVERR_INVALIDDESC, u"The full-text descriptor has no \"%s\" for its bit arrays", {String(mvFulltextBlobName)});
  return *sbashBlobEngine;
}

uint32_t TmvSimpleBitArrayStorageHandlerTableEngine::BlobLength(TmvBaseTransaction* aTrans,
                                                                TmvRefNr aBitArrayRef) const {
  uint32_t length = 0;
  if (Blobs().GetBlobLength(aTrans, aBitArrayRef, {}, length) != 0) RaiseKeyViolation();
  return length;
}

uint8_t TmvSimpleBitArrayStorageHandlerTableEngine::ReadByte(TmvBaseTransaction* aTrans, TmvRefNr aBitArrayRef,
                                                             uint32_t aOffset) const {
  TmvCurrentByteStream current;
  if (Blobs().Read(aTrans, aBitArrayRef, aOffset, 1, {}, &current) != 0 || !current.cbsWritten) RaiseKeyViolation();
  return current.cbsCurrentByte;
}

uint32_t TmvSimpleBitArrayStorageHandlerTableEngine::ReadCount(TmvBaseTransaction* aTrans,
                                                               TmvRefNr aBitArrayRef) const {
  TmvCountStream count;
  if (Blobs().Read(aTrans, aBitArrayRef, 0, 4, {}, &count) != 0 || !count.csWritten) RaiseKeyViolation();
  return count.csCount;
}

void TmvSimpleBitArrayStorageHandlerTableEngine::WriteCount(TmvBaseTransaction* aTrans, TmvRefNr aBitArrayRef,
                                                            uint32_t aCount) const {
  const uint8_t bytes[4] = {uint8_t(aCount), uint8_t(aCount >> 8), uint8_t(aCount >> 16), uint8_t(aCount >> 24)};
  Blobs().Write(aTrans, aBitArrayRef, 0, 4, bytes);
}

TmvRefNr TmvSimpleBitArrayStorageHandlerTableEngine::CreateNew(TmvBaseTransaction* aTrans, uint32_t aBit) {
  TmvBaseBlobEngine& blobs = Blobs();
  TmvBlobNr blob = 0;
  blobs.AddBlob(aTrans, blob);
  try {
    WriteCount(aTrans, blob, 1);
    const uint32_t offset = ByteOffsetOf(aBit);
    // The zero bytes before the bit's byte and the byte itself in one write.
    std::vector<uint8_t> bitmap(offset - kBitmapOffset + 1, 0);
    bitmap.back() = MaskOf(aBit);
    blobs.Write(aTrans, blob, kBitmapOffset, uint32_t(bitmap.size()), bitmap.data());
  } catch (...) {
    blobs.DeleteBlob(aTrans, blob);
    throw;
  }
  return blob;
}

void TmvSimpleBitArrayStorageHandlerTableEngine::SetBit(TmvBaseTransaction* aTrans, uint32_t aBit,
                                                        TmvRefNr aBitArrayRef) {
  const uint32_t length = BlobLength(aTrans, aBitArrayRef);
  if (length < kBitmapOffset) RaiseKeyViolation();  // no count to raise
  const uint32_t offset = ByteOffsetOf(aBit);
  uint8_t current = 0;
  if (offset < length) {
    current = ReadByte(aTrans, aBitArrayRef, offset);
    if (current & MaskOf(aBit)) RaiseKeyViolation();
  } else if (offset > length) {
    const std::vector<uint8_t> zeros(offset - length, 0);
    Blobs().Write(aTrans, aBitArrayRef, length, uint32_t(zeros.size()), zeros.data());
  }
  current |= MaskOf(aBit);
  Blobs().Write(aTrans, aBitArrayRef, offset, 1, &current);
  WriteCount(aTrans, aBitArrayRef, ReadCount(aTrans, aBitArrayRef) + 1);
}

// Everything is checked before anything is written: a bit array that
// disagrees with the record is left as it was, not half updated.
bool TmvSimpleBitArrayStorageHandlerTableEngine::ClearBit(TmvBaseTransaction* aTrans, uint32_t aBit,
                                                          TmvRefNr aBitArrayRef) {
  const uint32_t length = BlobLength(aTrans, aBitArrayRef);
  const uint32_t offset = ByteOffsetOf(aBit);
  if (offset >= length) RaiseKeyViolation();
  uint8_t current = ReadByte(aTrans, aBitArrayRef, offset);
  if (!(current & MaskOf(aBit))) RaiseKeyViolation();
  const uint32_t count = ReadCount(aTrans, aBitArrayRef);
  if (count == 0) RaiseKeyViolation();
  if (count == 1) {
    Blobs().DeleteBlob(aTrans, aBitArrayRef);
    return true;
  }
  WriteCount(aTrans, aBitArrayRef, count - 1);
  current &= uint8_t(~MaskOf(aBit));
  Blobs().Write(aTrans, aBitArrayRef, offset, 1, &current);
  return false;
}

// ---------------------------------------------------------------------------
// Capture streams

int32_t TmvCountStream::Write(const void* aBuffer, int32_t aCount) {
  if (aCount != 4) throw EAssertionFailed(u"TmvCountStream takes exactly 4 bytes, not %d", {aCount});
  const auto* p = static_cast<const uint8_t*>(aBuffer);
  csCount = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  csWritten = true;
  return aCount;
}

int32_t TmvCurrentByteStream::Write(const void* aBuffer, int32_t aCount) {
  if (aCount != 1) throw EAssertionFailed(u"TmvCurrentByteStream takes exactly 1 byte, not %d", {aCount});
  cbsCurrentByte = *static_cast<const uint8_t*>(aBuffer);
  cbsWritten = true;
  return aCount;
}

// ---------------------------------------------------------------------------
// Registration

namespace {

const TmvRegisterableEngineClassRef* const kFamilyClasses[] = {
    &TmvFulltextIndexTableEngine::StaticClass,
    &TmvTokenExtractorHubTableEngine::StaticClass,
    &TmvFieldTokenExtractorTableEngine::StaticClass,
    &TmvTokenFilterHubTableEngine::StaticClass,
    &TmvWideCharSeparatorTokenFilterTableEngine::StaticClass,
    &TmvCategorySeparatorTokenFilterTableEngine::StaticClass,
    &TmvLowercaseLocaleMappingTokenFilterTableEngine::StaticClass,
    &TmvUppercaseLocaleMappingTokenFilterTableEngine::StaticClass,
    &TmvCustomLocaleMappingTokenFilterTableEngine::StaticClass,
    &TmvPreComposeFoldStringTokenFilterTableEngine::StaticClass,
    &TmvDecomposeFoldStringTokenFilterTableEngine::StaticClass,
    &TmvCustomFoldStringTokenFilterTableEngine::StaticClass,
    &TmvStringReplaceTokenFilterTableEngine::StaticClass,
    &TmvTokenIndexHubTableEngine::StaticClass,
    &TmvBitArrayTokenIndexTableEngine::StaticClass,
    &TmvMainIndexTokenIndexTableEngine::StaticClass,
    &TmvSimpleBitArrayStorageHandlerTableEngine::StaticClass,
};

}  // namespace

void mvseFulltextEngineTableInit() {
  TmvBaseRegisterableEngine::RegisterEngine(TmvFulltextTableEngine::StaticClass);
  for (const TmvRegisterableEngineClassRef* cls : kFamilyClasses) TmvBaseRegisterableEngine::RegisterEngine(*cls);
}

void mvseFulltextEngineTableFini() {
  TmvBaseRegisterableEngine::UnregisterEngine(TmvFulltextTableEngine::StaticClass);
  for (const TmvRegisterableEngineClassRef* cls : kFamilyClasses) TmvBaseRegisterableEngine::UnregisterEngine(*cls);
}
