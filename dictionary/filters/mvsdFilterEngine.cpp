// Data dictionary: filter engines, the run-time evaluators of filters. See
// mvsdFilterEngine.h.
#include "dictionary/filters/mvsdFilterEngine.h"

#include <memory>
#include <utility>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"

namespace {

uint32_t InvalidFilterHandle() { return EmvBaseException::mvSetMessage(MVERR_INVALIDFILTERHANDLE, String()); }

}  // namespace

// ---------------------------------------------------------------------------
// Base engine

TmvClassRegistry* TmvBaseFilterEngine::Registry() { return mvFamilyRegistry<TmvBaseFilterEngine>(); }

constinit const TmvFilterEngineClassRef TmvBaseFilterEngine::StaticClass{
    {{u"TmvBaseFilterEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseFilterEngine::Registry, nullptr},
    nullptr};

TmvBaseFilterEngine::TmvBaseFilterEngine(TmvBaseFilterDescriptor*, ImvFieldsSource* aFieldsSource)
    : bfFieldsSource(aFieldsSource) {}

TmvBaseFilterEngine* TmvBaseFilterEngine::CreateFor(TmvBaseFilterDescriptor* aDescriptor,
                                                    ImvFieldsSource* aFieldsSource) {
  const TmvRegisterableEngineClassRef* found = nullptr;
  const auto& cls = static_cast<const TmvFilterEngineClassRef&>(mvEngineClassForDescriptor<EmvBaseFilterEngineException>(
      StaticClass, aDescriptor->ClassType(), u"Filter", found));
  if (!cls.CreateFilterEngine)
    throw EmvBaseFilterEngineException(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"",
                                       {String(u"Filter"), cls.Name()});
  return cls.CreateFilterEngine(aDescriptor, aFieldsSource);
}

TmvBaseFilterEngine* TmvBaseFilterEngine::Duplicate(ImvFieldsSource* aFieldsSource) {
  std::unique_ptr<TmvBaseFilterDescriptor> descriptor(CreateDescriptor());
  TmvBaseFilterEngine* copy = CreateFor(descriptor.get(), aFieldsSource);
  copy->SetActive(GetActive());
  return copy;
}

uint32_t TmvBaseFilterEngine::RemoveFilter(const TmvBaseFilterEngine* aFilterID, TmvBaseFilterEngine*& aFilterVar) {
  if (aFilterID != this) return InvalidFilterHandle();
  MV_ASSERT(aFilterVar == this);
  aFilterVar = nullptr;
  delete this;
  return 0;
}

uint32_t TmvBaseFilterEngine::SwitchFilter(const TmvBaseFilterEngine* aFilterID, bool aValue) {
  if (aFilterID && aFilterID != this) return InvalidFilterHandle();
  SetActive(aValue);
  return 0;
}

uint32_t TmvBaseFilterEngine::ActivateFilter(const TmvBaseFilterEngine* aFilterID) {
  return SwitchFilter(aFilterID, true);
}

uint32_t TmvBaseFilterEngine::DeactivateFilter(const TmvBaseFilterEngine* aFilterID) {
  return SwitchFilter(aFilterID, false);
}

void TmvBaseFilterEngine::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseRegisterableEngine::WriteObjectInfo(aContainer);
  aContainer->AddBoolean(u"Active", GetActive());
}

// ---------------------------------------------------------------------------
// Callback engine

constinit const TmvFilterEngineClassRef TmvCallbackFilterEngine::StaticClass{
    {{u"TmvCallbackFilterEngine", &TmvBaseFilterEngine::StaticClass}, &TmvBaseFilterEngine::Registry, nullptr},
    &mvCreateFilterEngine<TmvCallbackFilterEngine>};

TmvCallbackFilterEngine::TmvCallbackFilterEngine(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource)
    : TmvBaseFilterEngine(aDescriptor, aFieldsSource) {
  auto* descriptor = dynamic_cast<TmvCallbackFilterDescriptor*>(aDescriptor);
  MV_ASSERT(descriptor);
  cbfeCallback = descriptor->cbfdCallback;
  cbfeCookie = descriptor->cbfdCookie;
}

TmvBaseFilterDescriptor* TmvCallbackFilterEngine::CreateDescriptor() {
  return new TmvCallbackFilterDescriptor(cbfeCookie, cbfeCallback);
}

bool TmvCallbackFilterEngine::MatchesBuffer(const void* aBuffer) {
  if (!GetActive() || !cbfeCallback) return true;
  return cbfeCallback(cbfeCookie, aBuffer);
}

void TmvCallbackFilterEngine::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseFilterEngine::WriteObjectInfo(aContainer);
  aContainer->AddInteger(u"Cookie", int64_t(reinterpret_cast<uintptr_t>(cbfeCookie)));
}

// ---------------------------------------------------------------------------
// Engine hub

constinit const TmvFilterEngineClassRef TmvFilterEngineHub::StaticClass{
    {{u"TmvFilterEngineHub", &TmvBaseFilterEngine::StaticClass}, &TmvBaseFilterEngine::Registry, nullptr},
    &mvCreateFilterEngine<TmvFilterEngineHub>};

TmvFilterEngineHub::TmvFilterEngineHub(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource)
    : TmvBaseFilterEngine(aDescriptor, aFieldsSource) {
  if (!aDescriptor) return;
  auto* hub = dynamic_cast<TmvFilterDescriptorHub*>(aDescriptor);
  MV_ASSERT(hub);
  try {
    for (int32_t i = 0; i < hub->FilterCount(); ++i) AddFilter(CreateFor(hub->Filter(i), aFieldsSource));
  } catch (...) {
    FreeChildren();
    throw;
  }
}

TmvFilterEngineHub::TmvFilterEngineHub(TmvBaseFilterEngine* aFilter1, TmvBaseFilterEngine* aFilter2)
    : TmvBaseFilterEngine(nullptr, aFilter1->FieldsSource()) {
  TmvBaseFilterEngine* pending[] = {aFilter1, aFilter2};
  try {
    for (TmvBaseFilterEngine*& filter : pending) AddFilter(std::exchange(filter, nullptr));
  } catch (...) {
    delete pending[1];
    FreeChildren();
    throw;
  }
}

TmvFilterEngineHub::~TmvFilterEngineHub() { FreeChildren(); }

void TmvFilterEngineHub::FreeChildren() {
  while (fehList.Count() > 0) {
    TmvBaseFilterEngine* child = Filter(fehList.Count() - 1);
    fehList.Delete(fehList.Count() - 1);
    delete child;
  }
}

void TmvFilterEngineHub::AddFilter(TmvBaseFilterEngine* aFilter) {
  try {
    fehList.Add(aFilter);
  } catch (...) {
    delete aFilter;
    throw;
  }
}

bool TmvFilterEngineHub::GetActive() {
  for (int32_t i = 0; i < FilterCount(); ++i)
    if (Filter(i)->GetActive()) return true;
  return false;
}

TmvBaseFilterEngine* TmvFilterEngineHub::Duplicate(ImvFieldsSource* aFieldsSource) {
  const auto& cls = static_cast<const TmvFilterEngineClassRef&>(ClassType());
  MV_ASSERT(cls.CreateFilterEngine);
  std::unique_ptr<TmvBaseFilterEngine> copy(cls.CreateFilterEngine(nullptr, aFieldsSource));
  auto* hub = static_cast<TmvFilterEngineHub*>(copy.get());
  for (int32_t i = 0; i < FilterCount(); ++i) hub->AddFilter(Filter(i)->Duplicate(aFieldsSource));
  return copy.release();
}

TmvBaseFilterDescriptor* TmvFilterEngineHub::CreateDescriptor() {
  auto descriptor = std::make_unique<TmvFilterDescriptorHub>();
  for (int32_t i = 0; i < FilterCount(); ++i) descriptor->AddFilter(Filter(i)->CreateDescriptor());
  return descriptor.release();
}

bool TmvFilterEngineHub::MatchesBuffer(const void* aBuffer) {
  for (int32_t i = 0; i < FilterCount(); ++i)
    if (!Filter(i)->MatchesBuffer(aBuffer)) return false;
  return true;
}

uint32_t TmvFilterEngineHub::RemoveFilter(const TmvBaseFilterEngine* aFilterID, TmvBaseFilterEngine*& aFilterVar) {
  if (aFilterID == this) return TmvBaseFilterEngine::RemoveFilter(aFilterID, aFilterVar);
  const int32_t inx = fehList.IndexOf(const_cast<TmvBaseFilterEngine*>(aFilterID));
  if (inx < 0) return InvalidFilterHandle();
  MV_ASSERT(aFilterVar == this);
  TmvBaseFilterEngine* child = Filter(inx);
  fehList.Delete(inx);
  delete child;
  if (FilterCount() > 1) return 0;
  // A hub of one child gives way to that child, an empty one to nothing.
  aFilterVar = FilterCount() == 1 ? Filter(0) : nullptr;
  fehList.Clear();
  delete this;
  return 0;
}

uint32_t TmvFilterEngineHub::SwitchChildren(const TmvBaseFilterEngine* aFilterID, bool aValue) {
  if (FilterCount() == 0) return InvalidFilterHandle();
  uint32_t result = 0;
  for (int32_t i = 0; i < FilterCount(); ++i) {
    result = aValue ? Filter(i)->ActivateFilter(aFilterID) : Filter(i)->DeactivateFilter(aFilterID);
    if (aFilterID && result == 0) break;
  }
  return result;
}

uint32_t TmvFilterEngineHub::ActivateFilter(const TmvBaseFilterEngine* aFilterID) {
  return SwitchChildren(aFilterID, true);
}

uint32_t TmvFilterEngineHub::DeactivateFilter(const TmvBaseFilterEngine* aFilterID) {
  return SwitchChildren(aFilterID, false);
}

void TmvFilterEngineHub::Disconnect() {
  TmvBaseFilterEngine::Disconnect();
  for (int32_t i = 0; i < FilterCount(); ++i) Filter(i)->Disconnect();
}

bool TmvFilterEngineHub::IsEvalLocal() {
  for (int32_t i = 0; i < FilterCount(); ++i)
    if (Filter(i)->IsEvalLocal()) return true;
  return false;
}

bool TmvFilterEngineHub::IsEvalRemote() {
  for (int32_t i = 0; i < FilterCount(); ++i)
    if (Filter(i)->IsEvalRemote()) return true;
  return false;
}
