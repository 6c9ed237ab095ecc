// Foundation: exception data, a tree of typed values that describes the
// context of a failure, and its transport inside message texts.
//
// When the engine reduces a failure to an error code and one message text
// (at a server boundary, after a background task, after a failed state
// change), details travel in that text as custom-info tags; the tag
// "$ExceptionData$" holds a whole tree of named values (the component, its
// state and statistics, the objects involved), encoded with the value-stream
// encoding inside the envelope "EDV" and then as Base64 text.
//
// Ownership: values are reference counted; a container holds its children,
// a child knows its container only weakly (the container clears that link
// when it goes). Trees belong to the exception or conversion that made them
// and are not shared between threads.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"
#include "platform/Interfaces.h"
#include "platform/Variants.h"

class TPersistent;
class TStrings;
class TmvBaseLog;
class ImvExceptionDataContainer;

// The kinds of values, as stored.
enum TmvExceptionDataValueType : uint8_t {
  edvtString = 0,
  edvtInteger = 1,
  edvtBoolean = 2,
  edvtFloat = 3,
  edvtVariant = 4,
  edvtContainer = 5,
};

class ImvExceptionDataValue : public IInterface {
 public:
  virtual String GetName() = 0;
  virtual TmvExceptionDataValueType GetValueType() = 0;
  virtual String AsString() = 0;
  virtual int64_t AsInteger() = 0;
  virtual bool AsBoolean() = 0;
  virtual double AsFloat() = 0;
  virtual Variant AsVariant() = 0;
  // The container itself; raises 12289 on every other value.
  virtual ImvExceptionDataContainer* AsContainer() = 0;
  // Base64 of the "EDV" envelope around this value, for the peer version.
  virtual String ToEncodedString(int32_t peerVersion) = 0;
  // The display text: one line per value, ended by CR LF, two blanks of
  // indent per level.
  virtual String ToString() = 0;
};

class ImvExceptionDataContainer : public ImvExceptionDataValue {
 public:
  virtual void AddString(const String& name, const String& text) = 0;
  virtual void AddInteger(const String& name, int64_t value) = 0;
  virtual void AddBoolean(const String& name, bool value) = 0;
  virtual void AddFloat(const String& name, double value) = 0;
  // Describes an object under the name: a cycle or excluded marker, the
  // object's own description, a string list's lines, or its text form.
  virtual void AddObject(const String& name, TPersistent* object, bool flag) = 0;
  virtual void AddObject(const String& name, TStrings* list, bool flag) = 0;
  virtual void AddVariant(const String& name, const Variant& value) = 0;
  virtual void AddUnsigned(const String& name, uint32_t value) = 0;
  virtual ImvExceptionDataContainer* AddContainer(const String& name) = 0;
  virtual int32_t Count() = 0;
  // Raises the platform's list error for an index outside 0..Count-1.
  virtual ImvExceptionDataValue* GetValue(int32_t index) = 0;
  // The object this container describes (its identity; nil for none).
  virtual const void* GetForObject() = 0;
  virtual void SetForObject(const void* object) = 0;
};

// The object that can describe itself into an exception data container;
// engine components and persistent objects implement it.
class ImvExceptionData {
 public:
  virtual void WriteExceptionData(ImvExceptionDataContainer* container, bool flag) = 0;

 protected:
  ~ImvExceptionData() = default;
};

// The identity of an object as containers compare it: the address of the
// whole object, whatever base the pointer is typed as.
template <typename T>
const void* mvObjectIdentity(const T* object) {
  return object ? dynamic_cast<const void*>(object) : nullptr;
}

// A root container describing `forObject` (identity, may be nil), which
// will not describe any of `excluded`.
TInterfacePtr<ImvExceptionDataContainer> mvCreateExceptionDataContainer(const String& name, const void* forObject,
                                                                       std::vector<const void*> excluded = {});

// Decodes the text that `ToEncodedString` made. Raises 15498 "Incompatible
// stream" for a wrong identifier or kind, the platform's plain exception for
// bad Base64, and the stream's read error for truncated data.
TInterfacePtr<ImvExceptionDataValue> mvExceptionDataFromString(std::u16string_view text);

// Base64 with the standard alphabet and "=" padding, no line breaks.
std::string mvStrToBase64(std::string_view bytes);
// Raises the platform's plain exception "Base64ToStr: illegal input length!"
// for a length below 4 or not a multiple of 4.
std::string mvBase64ToStr(std::string_view text);

// Reduces any exception to an error code and a message text, stores both as
// the thread's last converted exception and returns the code. The context
// object, when it can describe itself, is described into "$ExceptionData$".
// A peer version of 0 means the thread's own.
uint32_t mvConvertException(const std::exception& e, TmvBaseLog* log, TPersistent* context, int32_t peerVersion = 0);
// The same for the exception being handled (call inside a catch block);
// also converts exceptions that do not derive from std::exception.
uint32_t mvConvertCurrentException(TmvBaseLog* log, TPersistent* context, int32_t peerVersion = 0);

// Conversion writes its log line ("Exception Cvt: ...", the error code as
// message number) through this routine. The log unit installs it when a log
// is made: logs rest on components, which rest on this unit, so this unit
// cannot call a log itself.
using TmvConvertLogWriter = void (*)(TmvBaseLog* log, const String& msg, uint32_t code);
void mvSetConvertLogWriter(TmvConvertLogWriter writer);

// The container behind the exception data that an engine exception holds
// (nil when it holds none or something else). No reference is taken.
ImvExceptionDataContainer* mvExceptionDataContainerOf(IInterface* data);

// Unit start-up (on the program's main thread) and shutdown: marks the main
// thread and installs the tree into the engine exceptions.
void mvInitExceptionData();
void mvFinalizeExceptionData();

// Whether the calling thread is the one that initialised the foundation.
bool mvIsMainThread();
// Called once by the foundation's start-up on the starting thread.
void mvMarkMainThread();
