// Data dictionary: filter descriptors, the transportable form of a filter.
//
// A filter descriptor describes a filter: it writes itself into a stream
// and is recreated from one by the class name at the stream's head; it is
// what a client hands to a cursor, and a key descriptor may carry one so
// that records the filter rejects are not indexed. The filter engines that
// evaluate descriptors are in mvsdFilterEngine.h. This unit holds the
// family's root with its registry and the two stream entry points, the
// callback descriptor and the descriptor hub; the simple-expression and SQL
// descriptors have units of their own.
//
// Stream form of a filter descriptor (raw bytes, not the value encoding):
//
// | bytes        | content                                              |
// |--------------|------------------------------------------------------|
// | 0            | n, the length of the class name                      |
// | 1 .. n       | the class name, ANSI                                 |
// | n + 1 ..     | the descriptor's own data                            |
//
// The callback descriptor and the hub have no stream form.
//
// Layer: data dictionary; calls the foundation only. Threading: a
// descriptor is owned by whoever created it and used by one thread at a
// time.
#pragma once

#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllLists.h"
#include "foundation/mvllRegistry.h"
#include "platform/Classes.h"

MV_DECLARE_EXCEPTION(EmvBaseFilterDescriptorException, EmvBaseRegisterableDescriptorException)

class TmvBaseFilterDescriptor;

// The family record: the virtual constructor that reads a descriptor's own
// data from a stream positioned after its class name; nil for a class that
// cannot be read from a stream (12289 "%s can not be created from a
// stream").
struct TmvFilterDescriptorClassRef : TmvRegisterableDescriptorClassRef {
  TmvBaseFilterDescriptor* (*CreateFromStreamData)(TStream& aStream);
};

// Owned by whoever created it. Not thread-safe.
class TmvBaseFilterDescriptor : public TmvBaseRegisterableDescriptor {
  MV_DECLARE_CLASSREF(TmvFilterDescriptorClassRef)
 public:
  TmvBaseFilterDescriptor() = default;

  // Reads the class name (looked up as it stands, then with "Descriptor"
  // appended) and constructs that class from the rest of the stream.
  // Answers 0 with the new descriptor; 9986 when the stream ends inside the
  // name; 12289 "Filter descriptor not supported: %s" for an unknown class;
  // the code of anything the constructor raised. A failure leaves aFilter
  // nil and records its text as the thread's last converted exception.
  static uint32_t CreateFromStream(TStream& aStream, TmvBaseFilterDescriptor*& aFilter);

  // Writes the stream form for a peer version and answers 0, or an error
  // code with its text recorded; here 12289 "WriteToStream is not
  // supported by %s".
  virtual uint32_t WriteToStream(TStream& aStream, int32_t aVersion);

  // The family's registry.
  static TmvClassRegistry* Registry();
};

// Writes the length byte and the class name that open a filter descriptor's
// stream form.
void mvWriteFilterClassName(TStream& aStream, const ClassRef& aClass);

// The pieces of a descriptor's own data: little-endian integers, read in
// full or failing with the stream's read error; texts of a length stated
// before them.
template <typename T>
T mvReadFilterValue(TStream& aStream) {
  uint8_t bytes[sizeof(T)];
  aStream.ReadBuffer(bytes, sizeof bytes);
  uint64_t value = 0;
  for (size_t i = sizeof(T); i-- > 0;) value = value << 8 | bytes[i];
  return T(value);
}
template <typename T>
void mvWriteFilterValue(TStream& aStream, T aValue) {
  uint8_t bytes[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = uint8_t(uint64_t(aValue) >> (8 * i));
  aStream.WriteBuffer(bytes, sizeof bytes);
}
// aLength characters: ANSI bytes in the system ANSI code page, or UTF-16
// units when aWide. False, with nothing read or allocated, when the stream
// holds fewer bytes than that or aLength is negative.
bool mvReadFilterText(TStream& aStream, int64_t aLength, bool aWide, String& aText);
// The text's UTF-16 units (its length is written by the caller).
void mvWriteFilterText(TStream& aStream, const String& aText);

// ---------------------------------------------------------------------------
// Callback filter

// Answers whether the record (or key) in aBuffer passes; aCookie is what the
// descriptor was given, passed back unchanged.
using TmvFilterCallback = bool (*)(void* aCookie, const void* aBuffer);

// A filter whose decision is a function of the caller's. Not streamable.
class TmvCallbackFilterDescriptor : public TmvBaseFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvFilterDescriptorClassRef)
 public:
  TmvCallbackFilterDescriptor(void* aCookie, TmvFilterCallback aCallback)
      : cbfdCallback(aCallback), cbfdCookie(aCookie) {}

  TmvFilterCallback cbfdCallback;
  void* cbfdCookie;
};

// ---------------------------------------------------------------------------
// Descriptor hub

// Several filters that must all match. The hub owns its children and frees
// them, the last first, when it goes. Not streamable.
class TmvFilterDescriptorHub : public TmvBaseFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvFilterDescriptorClassRef)
 public:
  TmvFilterDescriptorHub() = default;
  ~TmvFilterDescriptorHub() override;

  // Appends aFilter and owns it from then on (also when appending fails:
  // it is then freed).
  void AddFilter(TmvBaseFilterDescriptor* aFilter);
  // Removes and frees the aInx-th child (list index rules); the child
  // found by identity (nothing when it is not a child).
  void RemoveFilter(int32_t aInx);
  void RemoveFilter(TmvBaseFilterDescriptor* aFilter);
  TmvBaseFilterDescriptor* Filter(int32_t aInx) const {
    return static_cast<TmvBaseFilterDescriptor*>(fdhList.blGet(aInx));
  }
  int32_t FilterCount() const { return fdhList.Count(); }

  // Lists each child as "Filters[<index>]".
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

 private:
  TmvList fdhList;
};
