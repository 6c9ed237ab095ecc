// Data dictionary: default-value engines and the default-value handler.
//
// At run time each applicable default-value descriptor gets an engine, found
// by name in the default-value engine registry (the descriptor's class name
// with "Descriptor" replaced by "Engine"), which writes the default into a
// field's bytes. A `TmvDefaultValueHandler` holds the engines of one table
// for one side (server or client) and fills a record buffer before it is
// inserted or modified. The server's cursors make one for the server side,
// the dataset layer one for the client side.
//
// Next-LSN fields are not filled here: their engine exists, but its creation
// for a handler gives none; the server fills them itself from the special
// fields of the table.
//
// Layer: data dictionary; calls the descriptors, the fields descriptor and,
// through ImvDictionaryCursor, the cursor an engine is made for.
//
// Ownership and threads: a handler owns its engines and belongs to one
// cursor or dataset, used by the thread that works with it. Engines keep
// plain pointers to their descriptor, its field and the cursor, all of which
// must outlive them. Descriptors may be shared through a cached dictionary:
// making an engine reads them and changes nothing but the cached engine
// class.
#pragma once

#include <vector>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdDictionaryCursor.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllRegistry.h"

class TmvBaseDefaultValueEngine;
class TmvFieldDescriptor;
class TmvFieldsDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseDefaultValueEngineException, EmvBaseRegisterableEngineException)

// The family record of default-value engines.
struct TmvDefaultValueEngineClassRef : TmvRegisterableEngineClassRef {
  // The virtual constructor Create (aDescriptor, aCursor); nil for
  // abstract classes.
  TmvBaseDefaultValueEngine* (*Construct)(TmvBaseDefaultValueDescriptor* aDescriptor, ImvDictionaryCursor* aCursor);
  // The class-level creation: runs the virtual constructor and returns the
  // engine, or gives none (nil) for a class whose fields are filled
  // elsewhere.
  TmvBaseDefaultValueEngine* (*CreateEngine)(TmvBaseDefaultValueDescriptor* aDescriptor,
                                             ImvDictionaryCursor* aCursor);
};

template <typename T>
TmvBaseDefaultValueEngine* mvConstructDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor,
                                                         ImvDictionaryCursor* aCursor) {
  return new T(aDescriptor, aCursor);
}

class TmvBaseDefaultValueEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  // Takes the descriptor's field (8712 when there is none) and refuses a
  // field of a type the descriptor does not support (10001), so that no
  // engine writes a value of one size into a field of another.
  TmvBaseDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor, ImvDictionaryCursor* aCursor);

  // The engine for a descriptor; the caller owns it. The class is the
  // descriptor's cached one or, on first use, the one registered under the
  // descriptor's class name with "Descriptor" replaced by "Engine", which is
  // then cached in the descriptor; none raises 15503 "Unknown %s engine:
  // \"%s\"" ("DefaultValue" and the name). Nil when the class makes none
  // (next LSN).
  static TmvBaseDefaultValueEngine* CreateFor(TmvBaseDefaultValueDescriptor* aDescriptor,
                                              ImvDictionaryCursor* aCursor);

  // Writes the default into the field's bytes at aFieldValue (the field's
  // length of them); true when a value was set, false when the field is to
  // stay (or become) null.
  virtual bool SetDefaultValue(void* aFieldValue) = 0;

  TmvBaseDefaultValueDescriptor* GetDescriptor() const { return bdceDescriptor; }
  TmvFieldDescriptor* GetFieldDescriptor() const { return bdceFieldDescriptor; }

  // The family's registry of engine classes.
  static TmvClassRegistry* Registry();

 protected:
  TmvBaseDefaultValueDescriptor* bdceDescriptor;  // not owned
  TmvFieldDescriptor* bdceFieldDescriptor;        // not owned
};

// An engine that keeps the cursor it was made for.
class TmvCursorDefaultValueEngine : public TmvBaseDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  // Requires: aCursor is not nil.
  TmvCursorDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor, ImvDictionaryCursor* aCursor);

 protected:
  ImvDictionaryCursor* cdceCursor;  // not owned
};

// The constant, taken in the field's current format when the engine is made
// (converted when the descriptor holds it in an older one; 10002 when that
// fails).
class TmvConstDefaultValueEngine : public TmvBaseDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  TmvConstDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor, ImvDictionaryCursor* aCursor);
  bool SetDefaultValue(void* aFieldValue) override;

 private:
  TBytes cdveValue;
};

// Date: today's day number; Time: the milliseconds of the day; DateTime:
// day number x 86,400,000 + milliseconds; all of the local clock.
class TmvCurrentDateTimeDefaultValueEngine : public TmvBaseDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  using TmvBaseDefaultValueEngine::TmvBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// The user name of the cursor's session, converted into the field's native
// form once, when the engine is made (a name the field cannot take raises
// there, with the conversion's error).
class TmvCurrentUserDefaultValueEngine : public TmvBaseDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  // Requires: aCursor is not nil.
  TmvCurrentUserDefaultValueEngine(TmvBaseDefaultValueDescriptor* aDescriptor, ImvDictionaryCursor* aCursor);
  bool SetDefaultValue(void* aFieldValue) override;

 private:
  TBytes cudveUserName;
};

// A new GUID; false (the field stays null) when the platform cannot make
// one, which is logged.
class TmvAutoGuidDefaultValueEngine : public TmvBaseDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  using TmvBaseDefaultValueEngine::TmvBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// Zero bytes, not null.
class TmvEmptyDefaultValueEngine : public TmvBaseDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  using TmvBaseDefaultValueEngine::TmvBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// The cursor's next log sequence number into the 8 bytes of an Int64 field,
// and the cursor's answer. Its class-level creation gives no engine: the
// server fills next-LSN fields itself.
class TmvNextLSNDefaultValueEngine : public TmvCursorDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  using TmvCursorDefaultValueEngine::TmvCursorDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// Registers the six engine classes under their class names; unregistering
// them frees the registry. Called by the dictionary's start-up and shutdown.
void mvRegisterDefaultValueEngines();
void mvUnregisterDefaultValueEngines();

// ---------------------------------------------------------------------------
// TmvDefaultValueHandler

// The default-value engines of one table for one side. Requires: every
// record handed in is laid out by the fields descriptor the handler was
// made for, which outlives the handler together with the cursor.
class TmvDefaultValueHandler : public TmvObject {
 public:
  // A handler with an engine for every field (in field order) whose default
  // value applies at aApplyAt; nil when no field gets an engine. An engine
  // that cannot be made raises, and nothing is kept.
  static TmvDefaultValueHandler* CreateFor(TmvFieldsDescriptor* aFieldsDescriptor, TmvApplyAt aApplyAt,
                                           ImvDictionaryCursor* aCursor);
  ~TmvDefaultValueHandler() override;

  // The insert (modify) defaults: first those that fill only null fields,
  // each only where its field is null, then those that replace any value.
  // After each engine the field's null bit is the negation of its answer.
  void SetDefaultValuesInsert(void* aRecord);
  void SetDefaultValuesModify(void* aRecord);
  // The default of one field whatever it holds; false when the field has no
  // engine, else the engine's answer. aField out of range raises 9999.
  bool SetDefaultValue(void* aRecord, int32_t aField);

  int32_t EngineCount() const { return int32_t(dvhEngines.size()); }

 private:
  using TEngines = std::vector<TmvBaseDefaultValueEngine*>;

  explicit TmvDefaultValueHandler(TmvFieldsDescriptor* aFieldsDescriptor);
  void AddEngine(TmvBaseDefaultValueEngine* aEngine);
  void ApplyAll(const TEngines (&aEngines)[2], void* aRecord);
  bool Apply(TmvBaseDefaultValueEngine* aEngine, void* aRecord);

  TmvFieldsDescriptor* dvhFieldsDescriptor;  // not owned
  TEngines dvhEngines;                       // owned
  // Index 0: engines that only fill null fields; 1: those that overwrite.
  TEngines dvhEnginesInsert[2];
  TEngines dvhEnginesModify[2];
  TEngines dvhEnginesByIndex;  // one engine or nil per field number
};
