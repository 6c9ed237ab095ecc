// Index keys of full-text token indexes. See mvsdKeyEngineToken.h.
#include "index/mvsdKeyEngineToken.h"

#include <algorithm>
#include <cstring>

#include "dictionary/fulltext/mvsdTokenIndexDescriptors.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "storage/fulltext/mvllWideStringList.h"

namespace {

uint16_t LoadU16(const void* aKey, size_t aOffset) {
  const auto* p = static_cast<const uint8_t*>(aKey) + aOffset;
  return uint16_t(p[0] | p[1] << 8);
}

void StoreU16(void* aKey, size_t aOffset, uint16_t aValue) {
  auto* p = static_cast<uint8_t*>(aKey) + aOffset;
  p[0] = uint8_t(aValue);
  p[1] = uint8_t(aValue >> 8);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// How many units of aToken a key of aMaxTokenSize units keeps: no surrogate
// pair is split.
uint16_t KeptUnits(const TmvWideString& aToken, int32_t aMaxTokenSize) {
  size_t n = std::min(aToken.size(), size_t(std::max(aMaxTokenSize, 0)));
  if (n > 0 && IsHighSurrogate(aToken[n - 1])) --n;
  return uint16_t(n);
}

// The units of a token as stored (little-endian) at aOffset.
void StoreUnits(void* aKey, size_t aOffset, const char16_t* aUnits, size_t aCount) {
  for (size_t i = 0; i < aCount; ++i) StoreU16(aKey, aOffset + 2 * i, aUnits[i]);
}

TmvWideString LoadUnits(const void* aKey, size_t aOffset, size_t aCount) {
  TmvWideString units(aCount, u'\0');
  for (size_t i = 0; i < aCount; ++i) units[i] = char16_t(LoadU16(aKey, aOffset + 2 * i));
  return units;
}

// The token rule both keys share: the empty token first; with a locale the
// platform's compare (a failure raises), without one the stored bytes and
// then the shorter token first.
int8_t CompareTokens(const void* aKey1, const void* aKey2, size_t aOffset, size_t p, size_t q, LCID aLocale,
                     uint32_t aFlags, const char16_t* aAction) {
  if (p == 0) return q == 0 ? 0 : -1;
  if (q == 0) return 1;
  if (aLocale != 0) {
    const TmvWideString a = LoadUnits(aKey1, aOffset, p);
    const TmvWideString b = LoadUnits(aKey2, aOffset, q);
    return mvCompareStringWOrRaise(aLocale, aFlags, a.data(), int32_t(p), b.data(), int32_t(q), aAction);
  }
  const int c = std::memcmp(static_cast<const uint8_t*>(aKey1) + aOffset, static_cast<const uint8_t*>(aKey2) + aOffset,
                            std::min(p, q) * 2);
  if (c != 0) return c < 0 ? -1 : 1;
  return p < q ? -1 : p > q ? 1 : 0;
}

Variant TokenVariant(const void* aKey, size_t aLengthOffset, size_t aUnitsOffset) {
  const uint16_t n = LoadU16(aKey, aLengthOffset);
  return n == 0 ? Variant() : Variant(LoadUnits(aKey, aUnitsOffset, n));
}

template <typename Descriptor>
Descriptor& DescriptorOf(TmvBaseKeyDescriptor* aDescriptor) {
  auto* descriptor = dynamic_cast<Descriptor*>(aDescriptor);
  if (!descriptor) throw EInvalidCast(SInvalidCast);
  return *descriptor;
}

// The values of a key as text, joined as the base's key texts are.
String JoinValues(const Variant& aValues) {
  String text;
  const size_t count = aValues.ArrayCount();
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += u", ";
    const Variant& v = aValues.ArrayItem(i);
    if (v.IsEmpty())
      text += u"EMPTY";
    else if (v.IsText())
      text += mvWideQuotedStr(v.AsString(), u'\'');
    else
      text += v.AsString();
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvBitArrayTokenKeyEngine

constinit const TmvKeyEngineClassRef TmvBitArrayTokenKeyEngine::StaticClass{
    {{u"TmvBitArrayTokenKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TmvBitArrayTokenKeyEngine>,
    &TmvBitArrayTokenKeyEngine::CheckValidBase};

TmvBitArrayTokenKeyEngine::TmvBitArrayTokenKeyEngine(TmvBaseKeyDescriptor* aDescriptor)
    : TmvBaseKeyEngine(aDescriptor) {
  auto& descriptor = DescriptorOf<TmvBitArrayTokenKeyDescriptor>(aDescriptor);
  batkePerField = descriptor.GetPerFieldIndex();
  batkeMaxTokenSize = descriptor.GetMaxTokenSize();
  batkeReverse = descriptor.GetReverse();
  batkeLocale = descriptor.GetLocale();
  batkeFlags = descriptor.GetFlags();
  // The key must hold what InternalBuildKey writes.
  if (bkeKeyLength < 2 * batkeMaxTokenSize + 4 + (batkePerField ? 2 : 0) || batkeMaxTokenSize < 0)
    throw EmvTokenKeyEngineException(MVERR_INVALIDDESC, u"Token key length %d does not fit %d units",
                                     {int32_t(bkeKeyLength), batkeMaxTokenSize});
}

void TmvBitArrayTokenKeyEngine::CheckValidBase(TmvBaseKeyDescriptor* aDescriptor) {
  DescriptorOf<TmvBitArrayTokenKeyDescriptor>(aDescriptor);
}

void TmvBitArrayTokenKeyEngine::ClearKey(void* aKey) { std::memset(aKey, 0, bkeKeyLength); }

uint32_t TmvBitArrayTokenKeyEngine::BuildKey(const void*, void*, TmvRefNr, bool) {
  EmvBaseException::SetLastConvertedException(MVERR_NOTSUPPORTED,
                                              u"BuildKey is not supported by TmvBitArrayTokenKeyEngine");
  return MVERR_NOTSUPPORTED;
}

void TmvBitArrayTokenKeyEngine::InternalBuildKey(uint16_t aSegment, const TmvWideString& aToken, void* aKey,
                                                 int16_t aField) {
  StoreU16(aKey, 0, aSegment);
  const uint16_t n = KeptUnits(aToken, batkeMaxTokenSize);
  StoreU16(aKey, 2, n);
  if (!batkeReverse) {
    StoreUnits(aKey, 4, aToken.data(), n);
  } else {
    // Code points in reverse order; a surrogate pair keeps its two units.
    size_t out = 0;
    for (size_t i = n; i > 0;) {
      if (i >= 2 && IsLowSurrogate(aToken[i - 1]) && IsHighSurrogate(aToken[i - 2])) {
        StoreUnits(aKey, 4 + 2 * out, aToken.data() + i - 2, 2);
        out += 2;
        i -= 2;
      } else {
        StoreUnits(aKey, 4 + 2 * out, aToken.data() + i - 1, 1);
        ++out;
        --i;
      }
    }
  }
  if (batkePerField) StoreU16(aKey, 4 + 2 * size_t(batkeMaxTokenSize), uint16_t(aField));
}

int8_t TmvBitArrayTokenKeyEngine::CompareKey(const void* aKey1, const void* aKey2, int32_t, int32_t) {
  const uint16_t segment1 = LoadU16(aKey1, 0);
  const uint16_t segment2 = LoadU16(aKey2, 0);
  if (segment1 != segment2) return segment1 < segment2 ? -1 : 1;
  const int8_t c = CompareTokens(aKey1, aKey2, 4, LoadU16(aKey1, 2), LoadU16(aKey2, 2), batkeLocale, batkeFlags,
                                 u"TmvBitArrayTokenKeyEngine.CompareKey/CompareStringW");
  if (c != 0 || !batkePerField) return c;
  const size_t at = 4 + 2 * size_t(batkeMaxTokenSize);
  const int16_t field1 = int16_t(LoadU16(aKey1, at));
  const int16_t field2 = int16_t(LoadU16(aKey2, at));
  return field1 < field2 ? -1 : field1 > field2 ? 1 : 0;
}

Variant TmvBitArrayTokenKeyEngine::KeyAsVariant(const void* aKey, int32_t aField) {
  const int32_t count = GetMaxFieldCount();
  if (aField < -1 || aField >= count)
    throw EmvTokenKeyEngineException(MVERR_INVALIDDESCNO, u"Invalid descriptor number.");
  auto value = [&](int32_t aIndex) -> Variant {
    switch (aIndex) {
      case 0: return Variant(LoadU16(aKey, 0));
      case 1: return TokenVariant(aKey, 2, 4);
      default: return Variant(int16_t(LoadU16(aKey, 4 + 2 * size_t(batkeMaxTokenSize))));
    }
  };
  if (aField >= 0) return value(aField);
  std::vector<Variant> values;
  for (int32_t i = 0; i < count; ++i) values.push_back(value(i));
  return Variant::VariantArray(std::move(values));
}

String TmvBitArrayTokenKeyEngine::KeyAsString(const void* aKey) { return JoinValues(KeyAsVariant(aKey, -1)); }

void TmvBitArrayTokenKeyEngine::KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aData) {
  aData->AddInteger(u"Segment", LoadU16(aKey, 0));
  aData->AddString(u"Token", LoadUnits(aKey, 4, LoadU16(aKey, 2)));
  if (batkePerField) aData->AddInteger(u"Field", int16_t(LoadU16(aKey, 4 + 2 * size_t(batkeMaxTokenSize))));
}

// ---------------------------------------------------------------------------
// TmvMainIndexTokenKeyEngine

constinit const TmvKeyEngineClassRef TmvMainIndexTokenKeyEngine::StaticClass{
    {{u"TmvMainIndexTokenKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TmvMainIndexTokenKeyEngine>,
    &TmvMainIndexTokenKeyEngine::CheckValidBase};

TmvMainIndexTokenKeyEngine::TmvMainIndexTokenKeyEngine(TmvBaseKeyDescriptor* aDescriptor)
    : TmvBaseKeyEngine(aDescriptor),
      mitkeMaxTokenSize(DescriptorOf<TmvMainIndexTokenKeyDescriptor>(aDescriptor).GetMaxTokenSize()),
      mitkeIncludeLocation(DescriptorOf<TmvMainIndexTokenKeyDescriptor>(aDescriptor).GetIncludeLocation()),
      mitkeLocale(DescriptorOf<TmvMainIndexTokenKeyDescriptor>(aDescriptor).GetLocale()),
      mitkeFlags(DescriptorOf<TmvMainIndexTokenKeyDescriptor>(aDescriptor).GetFlags()),
      mitkeTokenField(*this, u"Token", mvtWideString, mitkeMaxTokenSize),
      mitkeLocationField(*this, u"Location", mvtAutoInc, 4) {
  if (bkeKeyLength < 2 * mitkeMaxTokenSize + 2 + (mitkeIncludeLocation ? 4 : 0) || mitkeMaxTokenSize < 0)
    throw EmvTokenKeyEngineException(MVERR_INVALIDDESC, u"Token key length %d does not fit %d units",
                                     {int32_t(bkeKeyLength), mitkeMaxTokenSize});
  if (mitkeLocale != 0) {
    mitkeLocaleDescriptor = new TmvLocaleDescriptor(nullptr);
    try {
      mitkeLocaleDescriptor->SetLocale(mitkeLocale);
      mitkeLocaleDescriptor->SetFlags(mitkeFlags);
    } catch (...) {
      delete mitkeLocaleDescriptor;
      throw;
    }
  }
}

TmvMainIndexTokenKeyEngine::~TmvMainIndexTokenKeyEngine() { delete mitkeLocaleDescriptor; }

void TmvMainIndexTokenKeyEngine::CheckValidBase(TmvBaseKeyDescriptor* aDescriptor) {
  DescriptorOf<TmvMainIndexTokenKeyDescriptor>(aDescriptor);
}

void TmvMainIndexTokenKeyEngine::ClearKey(void* aKey) { std::memset(aKey, 0, bkeKeyLength); }

uint32_t TmvMainIndexTokenKeyEngine::BuildKey(const void*, void*, TmvRefNr, bool) { return 1; }

void TmvMainIndexTokenKeyEngine::InternalBuildKey(const TmvWideString& aToken, uint32_t aLocation, void* aKey) {
  if (mitkeIncludeLocation) {
    auto* p = static_cast<uint8_t*>(aKey) + bkeKeyLength - 4;
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(aLocation >> (8 * i));
  }
  const uint16_t n = KeptUnits(aToken, mitkeMaxTokenSize);
  StoreU16(aKey, 0, n);
  StoreUnits(aKey, 2, aToken.data(), n);
}

int8_t TmvMainIndexTokenKeyEngine::CompareKey(const void* aKey1, const void* aKey2, int32_t, int32_t aPartialLen) {
  size_t p = LoadU16(aKey1, 0);
  size_t q = LoadU16(aKey2, 0);
  if (aPartialLen > 0) {
    p = std::min(p, size_t(aPartialLen));
    q = std::min(q, size_t(aPartialLen));
  }
  return CompareTokens(aKey1, aKey2, 2, p, q, mitkeLocale, mitkeFlags,
                       u"TmvMainIndexTokenKeyEngine.CompareKey/CompareStringW");
}

Variant TmvMainIndexTokenKeyEngine::KeyAsVariant(const void* aKey, int32_t aField) {
  if (aField < -1 || aField >= GetMaxFieldCount())
    throw EmvTokenKeyEngineException(MVERR_INVALIDDESCNO, u"Invalid descriptor number.");
  if (!aKey) return Variant();
  if (aField == 1) {
    const auto* p = static_cast<const uint8_t*>(aKey) + bkeKeyLength - 4;
    return Variant(uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24));
  }
  return TokenVariant(aKey, 0, 2);
}

String TmvMainIndexTokenKeyEngine::KeyAsString(const void* aKey) {
  std::vector<Variant> values;
  for (int32_t i = 0; i < GetMaxFieldCount(); ++i) values.push_back(KeyAsVariant(aKey, i));
  return JoinValues(Variant::VariantArray(std::move(values)));
}

void TmvMainIndexTokenKeyEngine::KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aData) {
  aData->AddString(u"Token", LoadUnits(aKey, 2, LoadU16(aKey, 0)));
  if (mitkeIncludeLocation) aData->AddUnsigned(u"Location", uint32_t(KeyAsVariant(aKey, 1).AsInt64()));
}

int32_t TmvMainIndexTokenKeyEngine::GetFieldFromName(const String& aName) {
  if (SameClassName(aName, u"Token")) return 0;
  if (mitkeIncludeLocation && SameClassName(aName, u"Location")) return 1;
  return -1;
}

bool TmvMainIndexTokenKeyEngine::GetFieldForFilter(int32_t aField, const String& aName, const void* aData,
                                                   TmvFieldType& aType, uint16_t& aSize, bool& aIsNull,
                                                   const void*& aValue, uint16_t& aCodePage) {
  const int32_t field = aName.empty() ? aField : GetFieldFromName(aName);
  aCodePage = 0;
  if (field == 0) {
    aType = mvtWideString;
    aSize = aData ? LoadU16(aData, 0) : 0;
    aValue = aData ? static_cast<const uint8_t*>(aData) + 2 : nullptr;
    aIsNull = !aData || aSize == 0;
    return true;
  }
  if (field == 1 && mitkeIncludeLocation) {
    aType = mvtAutoInc;
    aSize = 4;
    aValue = aData ? static_cast<const uint8_t*>(aData) + bkeKeyLength - 4 : nullptr;
    aIsNull = !aData;
    return true;
  }
  return false;
}

ImvFieldDescriptor* TmvMainIndexTokenKeyEngine::GetFieldDescriptor(int32_t aField) {
  if (aField == 0) return &mitkeTokenField;
  if (aField == 1 && mitkeIncludeLocation) return &mitkeLocationField;
  return nullptr;
}

int32_t TmvMainIndexTokenKeyEngine::TKeyField::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldDescriptor || iid == IID_IInterface) {
    *obj = static_cast<ImvFieldDescriptor*>(this);
    return S_OK;
  }
  *obj = nullptr;
  return E_NOINTERFACE;
}

// ---------------------------------------------------------------------------
// Registration

void mvsdKeyEngineTokenInit() {
  TmvBaseRegisterableEngine::RegisterEngine(TmvBitArrayTokenKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::RegisterEngine(TmvMainIndexTokenKeyEngine::StaticClass);
}

void mvsdKeyEngineTokenFini() {
  TmvBaseRegisterableEngine::UnregisterEngine(TmvMainIndexTokenKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::UnregisterEngine(TmvBitArrayTokenKeyEngine::StaticClass);
}
