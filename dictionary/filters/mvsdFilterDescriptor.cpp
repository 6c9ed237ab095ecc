// Data dictionary: filter descriptors, the transportable form of a filter.
// See mvsdFilterDescriptor.h.
#include "dictionary/filters/mvsdFilterDescriptor.h"

#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/mvllUtils.h"
#include "foundation/types/mvllWideString.h"
#include "foundation/types/mvsdTypes.h"

TmvClassRegistry* TmvBaseFilterDescriptor::Registry() { return mvFamilyRegistry<TmvBaseFilterDescriptor>(); }

constinit const TmvFilterDescriptorClassRef TmvBaseFilterDescriptor::StaticClass{
    {{u"TmvBaseFilterDescriptor", &TmvBaseRegisterableDescriptor::StaticClass}, &TmvBaseFilterDescriptor::Registry,
     nullptr},
    nullptr};

namespace {

// The class name at the stream's head; false when the stream ends inside it.
bool ReadClassName(TStream& aStream, String& aName) {
  uint8_t length;
  if (aStream.Read(&length, 1) != 1) return false;
  AnsiString name(length, '\0');
  if (aStream.Read(name.data(), length) != length) return false;
  aName = mvStringToWideString(name, 0);
  return true;
}

const TmvFilterDescriptorClassRef* FindFilterClass(const String& aName) {
  const auto& root = TmvBaseFilterDescriptor::StaticClass;
  const auto* cls = TmvBaseRegisterableDescriptor::FindDescriptorClass(root, aName);
  if (!cls) cls = TmvBaseRegisterableDescriptor::FindDescriptorClass(root, aName + u"Descriptor");
  return static_cast<const TmvFilterDescriptorClassRef*>(cls);
}

}  // namespace

uint32_t TmvBaseFilterDescriptor::CreateFromStream(TStream& aStream, TmvBaseFilterDescriptor*& aFilter) {
  aFilter = nullptr;
  String name;
  if (!ReadClassName(aStream, name)) return EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM, String());
  const TmvFilterDescriptorClassRef* cls = FindFilterClass(name);
  if (!cls) return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, u"Filter descriptor not supported: %s", {name});
  try {
    if (!cls->CreateFromStreamData)
      throw EmvBaseFilterDescriptorException(MVERR_NOTSUPPORTED, u"%s can not be created from a stream",
                                             {cls->Name()});
    aFilter = cls->CreateFromStreamData(aStream);
  } catch (...) {
    return mvConvertCurrentException(nullptr, nullptr, mvEngineVersion);
  }
  return 0;
}

uint32_t TmvBaseFilterDescriptor::WriteToStream(TStream&, int32_t) {
  return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, u"WriteToStream is not supported by %s", {ClassName()});
}

bool mvReadFilterText(TStream& aStream, int64_t aLength, bool aWide, String& aText) {
  const int64_t bytes = aWide ? aLength * 2 : aLength;
  if (aLength < 0 || bytes > aStream.GetSize() - aStream.GetPosition()) return false;
  AnsiString raw(size_t(bytes), '\0');
  aStream.ReadBuffer(raw.data(), bytes);
  if (!aWide) {
    aText = mvStringToWideString(raw, uint16_t(GetACP()));
    return true;
  }
  aText.assign(size_t(aLength), u'\0');
  for (size_t i = 0; i < aText.size(); ++i)
    aText[i] = char16_t(uint8_t(raw[2 * i]) | uint8_t(raw[2 * i + 1]) << 8);
  return true;
}

void mvWriteFilterText(TStream& aStream, const String& aText) {
  if (aText.empty()) return;
  std::vector<uint8_t> bytes(aText.size() * 2);
  for (size_t i = 0; i < aText.size(); ++i) {
    bytes[2 * i] = uint8_t(aText[i]);
    bytes[2 * i + 1] = uint8_t(aText[i] >> 8);
  }
  aStream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
}

void mvWriteFilterClassName(TStream& aStream, const ClassRef& aClass) {
  AnsiString name = mvWideStringToString(aClass.Name(), 0);
  MV_ASSERT(name.size() <= 255);
  const uint8_t length = uint8_t(name.size());
  aStream.WriteBuffer(&length, 1);
  aStream.WriteBuffer(name.data(), length);
}

// ---------------------------------------------------------------------------
// Callback filter

constinit const TmvFilterDescriptorClassRef TmvCallbackFilterDescriptor::StaticClass{
    {{u"TmvCallbackFilterDescriptor", &TmvBaseFilterDescriptor::StaticClass}, &TmvBaseFilterDescriptor::Registry,
     nullptr},
    nullptr};

// ---------------------------------------------------------------------------
// Descriptor hub

constinit const TmvFilterDescriptorClassRef TmvFilterDescriptorHub::StaticClass{
    {{u"TmvFilterDescriptorHub", &TmvBaseFilterDescriptor::StaticClass}, &TmvBaseFilterDescriptor::Registry,
     nullptr},
    nullptr};

TmvFilterDescriptorHub::~TmvFilterDescriptorHub() {
  while (fdhList.Count() > 0) RemoveFilter(fdhList.Count() - 1);
}

void TmvFilterDescriptorHub::AddFilter(TmvBaseFilterDescriptor* aFilter) {
  try {
    fdhList.Add(aFilter);
  } catch (...) {
    delete aFilter;
    throw;
  }
}

void TmvFilterDescriptorHub::RemoveFilter(int32_t aInx) {
  TmvBaseFilterDescriptor* child = Filter(aInx);
  fdhList.Delete(aInx);
  delete child;
}

void TmvFilterDescriptorHub::RemoveFilter(TmvBaseFilterDescriptor* aFilter) {
  const int32_t inx = fdhList.IndexOf(aFilter);
  if (inx >= 0) RemoveFilter(inx);
}

void TmvFilterDescriptorHub::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseFilterDescriptor::WriteObjectInfo(aContainer);
  for (int32_t i = 0; i < FilterCount(); ++i)
    aContainer->AddObject(u"Filters[" + mvIntToStr(i) + u"]", Filter(i), false);
}
