// Data dictionary (for the index engines): the abstract key engine. See
// mvsdKeyEngineBase.h.
#include "dictionary/keys/mvsdKeyEngineBase.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdLog.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/mvllUtils.h"

TmvClassRegistry* TmvBaseKeyEngine::Registry() { return mvFamilyRegistry<TmvBaseKeyEngine>(); }

constinit const TmvKeyEngineClassRef TmvBaseKeyEngine::StaticClass{
    {{u"TmvBaseKeyEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    nullptr,
    nullptr};

namespace {

// The engine class that serves the descriptor's class.
const TmvKeyEngineClassRef& KeyEngineClassFor(TmvBaseKeyDescriptor* aDescriptor) {
  const TmvRegisterableEngineClassRef* found = nullptr;
  const auto& cls = mvEngineClassForDescriptor<EmvBaseKeyEngineException>(
      TmvBaseKeyEngine::StaticClass, aDescriptor->ClassType(), u"Key", found);
  return static_cast<const TmvKeyEngineClassRef&>(cls);
}

uint16_t DescriptorKeyLength(TmvBaseKeyDescriptor* aDescriptor) {
  const int32_t length = aDescriptor->GetKeyLen();
  if (length < 0 || length > std::numeric_limits<uint16_t>::max())
    throw EmvBaseKeyEngineException(MVERR_INVALIDDESC, u"Key length %d is outside 0..65535", {length});
  return uint16_t(length);
}

// One value of a key as KeyAsString shows it.
String ValueText(const Variant& aValue) {
  if (aValue.IsNull()) return u"NULL";
  if (aValue.IsEmpty()) return u"EMPTY";
  try {
    const String text = aValue.AsString();
    if (!aValue.IsText()) return text;
    String quoted = u"'";
    for (char16_t c : text) {
      quoted += c;
      if (c == u'\'') quoted += c;
    }
    return quoted + u"'";
  } catch (const Exception& e) {
    return u"[Error: " + e.Message() + u"]";
  }
}

// The values of KeyAsVariant(-1): the elements of an array, else the value.
std::vector<Variant> ValuesOf(const Variant& aWhole) {
  std::vector<Variant> values;
  if (aWhole.IsVariantArray()) {
    for (size_t i = 0; i < aWhole.ArrayCount(); ++i) values.push_back(aWhole.ArrayItem(i));
  } else {
    values.push_back(aWhole);
  }
  return values;
}

}  // namespace

TmvBaseKeyEngine::TmvBaseKeyEngine(TmvBaseKeyDescriptor* aDescriptor)
    : bkeKeyLength(DescriptorKeyLength(aDescriptor)), bkeKeyDescriptor(aDescriptor) {
  bkeMemoryPool = mvGetMemoryPool(std::max<size_t>(bkeKeyLength, 1));
  CreateFilter();
}

TmvBaseKeyEngine::TmvBaseKeyEngine(TmvBaseKeyDescriptor* aDescriptor, uint16_t aFixedLength)
    : bkeKeyLength(aFixedLength), bkeKeyDescriptor(aDescriptor) {
  const uint16_t described = DescriptorKeyLength(aDescriptor);
  bkeMemoryPool = mvGetMemoryPool(std::max<size_t>({described, aFixedLength, 1}));
  CreateFilter();
}

TmvBaseKeyEngine::~TmvBaseKeyEngine() { delete bkeFilter; }

void TmvBaseKeyEngine::CreateFilter() {
  TmvBaseFilterDescriptor* filter = bkeKeyDescriptor->GetFilter();
  if (!filter) return;
  // The filter judges records, so its fields are the table's fields.
  auto* fields =
      static_cast<TmvFieldsDescriptor*>(bkeKeyDescriptor->GetRelatedDescriptorOfType(TmvFieldsDescriptor::StaticClass));
  bkeFilter = TmvBaseFilterEngine::CreateFor(filter, fields);
  bkeFilter->SetActive(true);
}

TmvBaseKeyEngine* TmvBaseKeyEngine::CreateFor(TmvBaseKeyDescriptor* aDescriptor) {
  const TmvKeyEngineClassRef& cls = KeyEngineClassFor(aDescriptor);
  if (!cls.CreateKeyEngine)
    throw EmvBaseKeyEngineException(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"",
                                    {String(u"Key"), cls.Name()});
  return cls.CreateKeyEngine(aDescriptor);
}

uint32_t TmvBaseKeyEngine::TryCreateFor(TmvBaseKeyDescriptor* aDescriptor, TmvBaseKeyEngine*& aKeyEngine) {
  aKeyEngine = nullptr;
  try {
    aKeyEngine = CreateFor(aDescriptor);
  } catch (const EmvBaseException& e) {
    return EmvBaseException::mvSetMessage(e.ErrorCode(), e.ProcessedErrorString());
  }
  return 0;
}

void TmvBaseKeyEngine::CheckValidBaseFromDescriptor(TmvBaseKeyDescriptor* aDescriptor) {
  const TmvKeyEngineClassRef& cls = KeyEngineClassFor(aDescriptor);
  if (cls.CheckValidBase) cls.CheckValidBase(aDescriptor);
}

int32_t TmvBaseKeyEngine::GetKeyFieldOffset(int32_t) { return -1; }

void* TmvBaseKeyEngine::AllocKey() {
  void* key = mvMemoryPoolAlloc(bkeMemoryPool);
  try {
    ClearKey(key);
  } catch (...) {
    mvMemoryPoolDispose(bkeMemoryPool, key);
    throw;
  }
  return key;
}

void TmvBaseKeyEngine::FreeKey(void*& aKey) { mvMemoryPoolDispose(bkeMemoryPool, aKey); }

void TmvBaseKeyEngine::CopyKey(const void* aFrom, void* aTo) const { std::memcpy(aTo, aFrom, bkeKeyLength); }

bool TmvBaseKeyEngine::FilterMatches(const void* aRecord) {
  return !bkeFilter || !bkeFilter->GetActive() || bkeFilter->MatchesBuffer(aRecord);
}

void TmvBaseKeyEngine::CheckKeyField(int32_t aField, int32_t aCount) {
  if (aField < -1 || aField >= aCount) throw EmvBaseKeyEngineException(MVERR_INVALIDDESCNO);
}

uint32_t TmvBaseKeyEngine::KeyToRecord(const void*, void*) { return MVERR_NOTSUPPORTED; }

namespace {

// A key buffer of the engine's pool, given back however the scope ends.
class TPooledKey {
 public:
  explicit TPooledKey(TmvBaseKeyEngine* aEngine) : fEngine(aEngine), fKey(aEngine->AllocKey()) {}
  ~TPooledKey() { fEngine->FreeKey(fKey); }
  TPooledKey(const TPooledKey&) = delete;
  TPooledKey& operator=(const TPooledKey&) = delete;
  void* Get() const { return fKey; }

 private:
  TmvBaseKeyEngine* fEngine;
  void* fKey;
};

void BuildOrRaise(TmvBaseKeyEngine* aEngine, const void* aRecord, void* aKey, TmvRefNr aRefNr) {
  const uint32_t code = aEngine->BuildKey(aRecord, aKey, aRefNr, true);
  if (code != 0) throw EmvBaseKeyEngineException(code);
}

}  // namespace

int8_t TmvBaseKeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord, TmvRefNr aRefNr,
                                            int32_t aFieldCount, int32_t aPartialLen) {
  TPooledKey built(this);
  BuildOrRaise(this, aRecord, built.Get(), aRefNr);
  return CompareKey(aKey, built.Get(), aFieldCount, aPartialLen);
}

int8_t TmvBaseKeyEngine::CompareRecord(const void* aRecord1, TmvRefNr aRefNr1, const void* aRecord2,
                                       TmvRefNr aRefNr2, int32_t aFieldCount, int32_t aPartialLen) {
  TPooledKey key1(this), key2(this);
  BuildOrRaise(this, aRecord1, key1.Get(), aRefNr1);
  BuildOrRaise(this, aRecord2, key2.Get(), aRefNr2);
  return CompareKey(key1.Get(), key2.Get(), aFieldCount, aPartialLen);
}

String TmvBaseKeyEngine::KeyAsString(const void* aKey) {
  try {
    String text;
    for (const Variant& value : ValuesOf(KeyAsVariant(aKey, -1))) {
      if (!text.empty()) text += u", ";
      text += ValueText(value);
    }
    return text;
  } catch (const Exception& e) {
    mvDictionaryLogError(u"A key could not be shown as text: " + e.Message());
    return String();
  }
}

void TmvBaseKeyEngine::KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aContainer) {
  try {
    const Variant whole = KeyAsVariant(aKey, -1);
    const int32_t fields = GetMaxFieldCount();
    auto name = [&](int32_t i) -> String {
      if (i < fields)
        if (ImvFieldDescriptor* field = GetFieldDescriptor(i)) return field->GetName();
      return u"Field" + mvIntToStr(i);
    };
    const std::vector<Variant> values = ValuesOf(whole);
    for (size_t i = 0; i < values.size(); ++i) aContainer->AddVariant(name(int32_t(i)), values[i]);
  } catch (const Exception& e) {
    mvDictionaryLogError(u"A key could not be described: " + e.Message());
  }
}

bool TmvBaseKeyEngine::KeyContainsNulls(const void*) { return false; }

void TmvBaseKeyEngine::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseRegisterableEngine::WriteObjectInfo(aContainer);
  aContainer->AddInteger(u"KeyLength", bkeKeyLength);
  const int32_t count = GetMaxFieldCount();
  if (count > 0) {
    ImvExceptionDataContainer* fields = aContainer->AddContainer(u"Fields");
    for (int32_t i = 0; i < count; ++i)
      if (ImvFieldDescriptor* field = GetFieldDescriptor(i))
        fields->AddString(field->GetName(), String(mvFieldTypeConstNames[field->GetFieldType()]));
  }
  aContainer->AddObject(u"Filter", bkeFilter, false);
}

int32_t TmvBaseKeyEngine::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldsSource) {
    *obj = static_cast<ImvFieldsSource*>(this);
    return S_OK;
  }
  return TmvBaseRegisterableEngine::QueryInterface(iid, obj);
}

bool TmvBaseKeyEngine::GetFieldForFilter(int32_t, const String&, const void*, TmvFieldType&, uint16_t&, bool&,
                                         const void*&, uint16_t&) {
  return false;
}

int32_t TmvBaseKeyEngine::GetFieldFromName(const String&) { return -1; }

ImvFieldDescriptor* TmvBaseKeyEngine::GetFieldDescriptor(int32_t) { return nullptr; }
