// Storage: the heap engine family (unit mvseHeapEngine).
//
// A heap stores variable-size segments in the data blocks of a file for a
// user above it (a BLOB engine, a variable record engine), which supplies a
// header handler. This unit holds the family base: class record, registry,
// creation by the engine name in the heap descriptor and the descriptor
// check. A table has no heap descriptor of its own, so the family's table
// check is the root's (nothing): heaps are checked through their users.
//
// An engine belongs to its user. Calls the sub-engine framework and the
// data dictionary.
#pragma once

#include "storage/mvseSubEngine.h"

class TmvBaseHeapDescriptor;
class TmvBaseHeapEngine;
class TmvHeapHeaderHandler;  // the heap user's part: where it keeps the heap's state

MV_DECLARE_EXCEPTION(EmvBaseHeapEngineException, EmvBaseSubEngineException)

struct TmvHeapEngineClassRef : TmvSubEngineClassRef {
  // The engine takes ownership of aHeaderHandler.
  TmvBaseHeapEngine* (*Create)(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                               TmvHeapHeaderHandler* aHeaderHandler);
  void (*CheckValidBase)(TmvBaseHeapDescriptor* aDescriptor);
};

class TmvBaseHeapEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvHeapEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // Nil for a nil descriptor; 15503 "Unknown Heap engine: "<name>"".
  static TmvBaseHeapEngine* CreateEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                         TmvHeapHeaderHandler* aHeaderHandler);
  // Nil passes; an unknown name raises 15503; then the class's CheckValidBase.
  static void CheckValidBaseFromDescriptor(TmvBaseHeapDescriptor* aDescriptor);
  // A heap needs a block heap below it: 10004 "A block heap descriptor is
  // required", then the block heap family's check.
  static void CheckValidBase(TmvBaseHeapDescriptor* aDescriptor);

 protected:
  TmvBaseHeapEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile);
};
