// Data dictionary: the root of the record mapper descriptors.
//
// When a table is restructured, packed, recovered or copied its records are
// carried from an old layout to a new one; a record mapper descriptor says
// how the fields of one record are filled. Mapper descriptors are plain
// streamable values, not dictionary items: they travel between the parts of
// the engine (and to and from clients) as a stream, are duplicated through
// it, and are turned into mapper engines by the field conversion. This unit
// holds the family's root with its registry, the framing of its stream form
// and the copy through the stream; the concrete record mapper descriptor
// with its field mappings is in mvsdRecordMapperDescriptor.h.
//
// Stream form (value-stream encoding):
//   ident    the exact class name (WriteToWriter)
//   ...      the body (SaveToWriter); here integer 1
//
// Layer: data dictionary; calls the foundation and the dictionary item's
// stream helpers only. Threading: a descriptor belongs to one caller at a
// time; the registry is filled at start-up and read afterwards.
#pragma once

#include <memory>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/types/mvsdPeerVersion.h"

MV_DECLARE_EXCEPTION(EmvMapperDescriptorException, EmvBaseRegisterableDescriptorException)

// Reads a class name (an identifier) and finds it in aFamily's registry;
// an unknown name, or a class without constructor or outside the family,
// raises 15499 "%s class is not supported: %s" with aFamilyWord.
const TmvRegisterableDescriptorClassRef& mvReadMapperClass(TmvReader& aReader,
                                                           const TmvRegisterableDescriptorClassRef& aFamily,
                                                           std::u16string_view aFamilyWord);

// The virtual constructor of a mapper descriptor class.
template <typename T>
TmvBaseRegisterableDescriptor* mvCreateMapperDescriptor() {
  return new T();
}

// Creates an object of aClass with its virtual constructor (none: 15499
// with aFamilyWord) and lets it read its body; a failed read frees it and
// the error passes on.
template <typename T>
T* mvCreateAndLoad(const TmvRegisterableDescriptorClassRef& aClass, std::u16string_view aFamilyWord,
                   TmvReader& aReader) {
  if (!aClass.Create) mvRaiseUnsupportedClass(aFamilyWord, aClass.Name());
  std::unique_ptr<T> made(static_cast<T*>(aClass.Create()));
  made->LoadFromReader(aReader);
  return made.release();
}

// A new object of aSource's class that read the body aSource wrote for
// this engine's own version.
template <typename T>
T* mvDuplicateThroughStream(T& aSource, std::u16string_view aFamilyWord) {
  TmvMemoryStream stream;
  {
    TmvWriter writer(stream);
    aSource.SaveToWriter(writer, mvEngineVersion);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  TmvReader reader(stream);
  return mvCreateAndLoad<T>(static_cast<const TmvRegisterableDescriptorClassRef&>(aSource.ClassType()), aFamilyWord,
                            reader);
}

// Owned by whoever created it (a table mapper owns its record mapper).
class TmvBaseRecordMapperDescriptor : public TmvBaseRegisterableDescriptor {
  MV_DECLARE_CLASSREF(TmvRegisterableDescriptorClassRef)
 public:
  TmvBaseRecordMapperDescriptor() = default;

  // The body: integer 1; the client version is not consulted here.
  virtual void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  // A version other than 1 raises 15498.
  virtual void LoadFromReader(TmvReader& aReader);

  // The class name as an identifier, then the body.
  void WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  // Reads the class name and the body of a descriptor of that class; an
  // unregistered class raises 15499 naming "RecordMapperDescriptor". The
  // caller owns the result; a failure leaves nothing behind.
  static TmvBaseRecordMapperDescriptor* CreateFromReader(TmvReader& aReader);
  // A new descriptor of the same class read from this one's body; the
  // caller owns it.
  TmvBaseRecordMapperDescriptor* Duplicate();

  static TmvClassRegistry* Registry();
};
