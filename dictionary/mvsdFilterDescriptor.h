// Data dictionary: the root of the filter descriptor family.
//
// A filter descriptor is the transportable description of a filter: it
// writes itself into a stream and is recreated from one by the class name
// at the stream's head. A key descriptor may carry one, so that records the
// filter rejects are not indexed. This unit holds what keys need of the
// family: the root class with its registry and the two stream entry points.
// The concrete descriptors (simple expression, SQL, callback, hubs) and the
// filter engines that evaluate them register in this family from their own
// units.
//
// Stream form of a filter descriptor (raw bytes, not the value encoding):
//
// | bytes        | content                                              |
// |--------------|------------------------------------------------------|
// | 0            | n, the length of the class name                      |
// | 1 .. n       | the class name, ANSI                                 |
// | n + 1 ..     | the descriptor's own data                            |
//
// Layer: data dictionary; calls the foundation only.
#pragma once

#include "foundation/mvllExceptions.h"
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
