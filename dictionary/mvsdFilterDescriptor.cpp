// Data dictionary: the root of the filter descriptor family. See
// mvsdFilterDescriptor.h.
#include "dictionary/mvsdFilterDescriptor.h"

#include "foundation/mvllErrors.h"
#include "foundation/mvllExceptionData.h"
#include "foundation/mvllWideString.h"
#include "foundation/mvsdTypes.h"

TmvClassRegistry* TmvBaseFilterDescriptor::Registry() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}

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

void mvWriteFilterClassName(TStream& aStream, const ClassRef& aClass) {
  AnsiString name = mvWideStringToString(aClass.Name(), 0);
  MV_ASSERT(name.size() <= 255);
  const uint8_t length = uint8_t(name.size());
  aStream.WriteBuffer(&length, 1);
  aStream.WriteBuffer(name.data(), length);
}
