// Storage: the interface of the referential-integrity engine (unit
// mvsrRefIntegrityEngine).
//
// Every table cursor of a table whose dictionary carries referential-
// integrity rules owns one referential-integrity engine, made from the
// rules' descriptor when the cursor is created; the cursor notifies it
// before and after every record insert, modify and delete, and the engine
// checks or changes the referenced records. The engine class is found by
// name: the descriptor's class name with "Descriptor" replaced by "Engine",
// in the family's own registry, where the engine's unit registers it.
//
// The registry is changed at unit start-up and shutdown only; an engine
// belongs to one cursor and is used by its thread.
// Calls the foundation's registries.
#pragma once

#include <cstdint>
#include <span>

#include "foundation/mvllRegistry.h"
#include "platform/SysUtils.h"

class TmvAbstractCursor;  // the server engine's cursor
class TmvBaseRefIntegrityEngine;
// The server's engine actions (insert, modify, delete and the rest); the
// abstract engine interface defines their values.
enum TmvEngineAction : uint8_t;

MV_DECLARE_EXCEPTION(EmvRefIntegrityEngineException, EmvBaseRegisterableEngineException)

// The family record: the virtual constructor.
struct TmvRefIntegrityEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseRefIntegrityEngine* (*CreateRefIntegrityEngine)(TmvBaseRegisterableDescriptor* aDescriptor,
                                                         TmvAbstractCursor* aCursor);
};

class TmvBaseRefIntegrityEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvRefIntegrityEngineClassRef)
 public:
  static TmvClassRegistry* Registry();

  // The engine of aCursor for the rules' descriptor (nil for none); the
  // caller owns it. A class not registered under the derived name raises
  // 15503 "Unknown RefIntegrity engine: \"<name>\"".
  static TmvBaseRefIntegrityEngine* CreateFor(TmvBaseRegisterableDescriptor* aDescriptor, TmvAbstractCursor* aCursor);

  // Called before (aBefore) and after each record operation aAction of the
  // cursor with the operation's arguments; answers 0, or an error code that
  // ends the operation.
  virtual uint32_t Notify(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) = 0;
};
