// Storage engines: auto-increment engines. See mvseAutoIncEngine.h.
#include "storage/records/mvseAutoIncEngine.h"

#include <memory>

#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "storage/files/mvsrBaseFile.h"

namespace {

constexpr uint8_t kSectionSize = 4;
constexpr char16_t kMaximumReached[] = u"Maximum AutoInc value has been reached";

TmvBlockAccess* CounterFile(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles) {
  const int32_t number = aDescriptor->GetFileNumber();
  if (number < 0 || size_t(number) >= aFiles.size() || !aFiles[size_t(number)])
    throw EmvBaseAutoIncEngineException(MVERR_INVALIDPARAM, Format(u"Invalid file number: %d", {number}));
  return aFiles[size_t(number)];
}

}  // namespace

TmvClassRegistry* TmvBaseAutoIncEngine::GetList() { return mvFamilyRegistry<TmvBaseAutoIncEngine>(); }

constinit const TmvAutoIncEngineClassRef TmvBaseAutoIncEngine::StaticClass{
    {{u"TmvBaseAutoIncEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseAutoIncEngine::GetList,
     &TmvBaseAutoIncEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseAutoIncEngine::CheckValidDescriptor};

TmvBaseAutoIncEngine::TmvBaseAutoIncEngine(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]),
      baieDataFile(CounterFile(aDescriptor, aFiles)) {}

TmvBaseAutoIncEngine* TmvBaseAutoIncEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->GetAutoIncDescriptor(), aFiles, aTrans);
}

TmvBaseAutoIncEngine* TmvBaseAutoIncEngine::CreateEngine(TmvBaseAutoIncDescriptor* aDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseAutoIncEngineException>(
      StaticClass, u"autoinc", aDescriptor->GetAutoIncEngine(), &TmvAutoIncEngineClassRef::Create);
  return create(aDescriptor, aFiles, aTrans);
}

void TmvBaseAutoIncEngine::CheckValidFromDescriptor(TmvBaseAutoIncDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseAutoIncEngineException>(StaticClass, u"autoinc", aDescriptor->GetAutoIncEngine())
      .CheckValidDescriptor(aDescriptor);
}

void TmvBaseAutoIncEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  CheckValidFromDescriptor(aTableDescriptor->GetAutoIncDescriptor());
}

// ---------------------------------------------------------------------------
// TmvSimpleAutoIncEngine

constinit const TmvAutoIncEngineClassRef TmvSimpleAutoIncEngine::StaticClass{
    {{u"TmvSimpleAutoIncEngine", &TmvBaseAutoIncEngine::StaticClass},
     &TmvBaseAutoIncEngine::GetList,
     &TmvBaseAutoIncEngine::CheckValidFromDictionary},
    &TmvSimpleAutoIncEngine::Create,
    &TmvBaseAutoIncEngine::CheckValidDescriptor};

TmvBaseAutoIncEngine* TmvSimpleAutoIncEngine::Create(TmvBaseAutoIncDescriptor* aDescriptor,
                                                     const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  return new TmvSimpleAutoIncEngine(aDescriptor, aFiles, aTrans);
}

void mvseAutoIncEngineInit() {
  TmvBaseSubEngine::RegisterBaseClass(TmvBaseAutoIncEngine::StaticClass);
  TmvBaseSubEngine::Register(TmvSimpleAutoIncEngine::StaticClass, mvDefaultEngineName);
}

void mvseAutoIncEngineFini() {
  TmvBaseSubEngine::Unregister(TmvSimpleAutoIncEngine::StaticClass);
  TmvBaseSubEngine::UnregisterBaseClass(TmvBaseAutoIncEngine::StaticClass);
}

TmvSimpleAutoIncEngine::TmvSimpleAutoIncEngine(TmvBaseAutoIncDescriptor* aDescriptor,
                                               const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans)
    : TmvBaseAutoIncEngine(aDescriptor, aFiles) {
  if (auto* advanced = dynamic_cast<TmvAdvAutoIncDescriptor*>(aDescriptor)) {
    aieInitialValue = advanced->GetInitialValue();
    aieStep = advanced->GetStep();
  }
  std::unique_ptr<TmvBaseFileHeaderAccess> header(baieDataFile->HeaderAccess(aTrans, aTrans != nullptr));
  const AnsiString& name = aDescriptor->GetHeaderSection();
  const uint32_t section =
      header->RegisterHeaderSection(String(name.begin(), name.end()), kSectionSize, aTrans != nullptr, false);
  aieHeaderSection = uint16_t(section);
  if (aTrans) mvPutU32(header->Header, section, InitialState());
}

uint32_t TmvSimpleAutoIncEngine::NextAutoIncValue(TmvBaseTransaction* aTrans, uint32_t* aCurrentAutoInc) {
  std::unique_ptr<TmvBaseFileHeaderAccess> header(baieDataFile->HeaderAccess(aTrans, true));
  const uint32_t stored = mvGetU32(header->Header, aieHeaderSection);
  if (aCurrentAutoInc) *aCurrentAutoInc = stored;
  uint32_t next;
  if (uint64_t(stored) + aieStep > 0xFFFFFFFFu) {
    if (stored != InitialState()) throw EmvseAutoIncEngineException(MVERR_MAXVALERR, String(kMaximumReached));
    next = aieInitialValue;
  } else {
    next = stored + aieStep;
  }
  mvPutU32(header->Header, aieHeaderSection, next);
  return next;
}

uint32_t TmvSimpleAutoIncEngine::ReadAutoIncValue(TmvBaseTransaction* aTrans) {
  std::unique_ptr<TmvBaseFileHeaderAccess> header(baieDataFile->HeaderAccess(aTrans, false));
  return mvGetU32(header->Header, aieHeaderSection);
}

void TmvSimpleAutoIncEngine::SetAutoIncValue(TmvBaseTransaction* aTrans, uint32_t aValue) {
  std::unique_ptr<TmvBaseFileHeaderAccess> header(baieDataFile->HeaderAccess(aTrans, true));
  mvPutU32(header->Header, aieHeaderSection, aValue);
}
