// Storage: the block heap engine family (unit mvseBlockHeapEngine).
//
// A block heap engine manages the segments inside one data block of a heap;
// the heap engine above it owns it. This unit holds the family base: class
// record, registry, creation by the engine name in the block heap
// descriptor and the descriptor check. A table has no block heap descriptor
// of its own, so the family's table check is the root's (nothing): block
// heaps are checked through the heap above them.
//
// An engine belongs to its heap engine. Calls the sub-engine framework and
// the data dictionary.
#pragma once

#include "storage/mvseSubEngine.h"

class TmvBaseBlockHeapDescriptor;
class TmvBaseBlockHeapEngine;

MV_DECLARE_EXCEPTION(EmvBaseBlockHeapEngineException, EmvBaseSubEngineException)

struct TmvBlockHeapEngineClassRef : TmvSubEngineClassRef {
  // aBlockSize: the usable block size; aHeaderSize: the bytes at the start
  // of a block that the heap keeps for itself.
  TmvBaseBlockHeapEngine* (*Create)(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize, uint32_t aHeaderSize,
                                    int32_t aTableVersion);
  void (*CheckValidBase)(TmvBaseBlockHeapDescriptor* aDescriptor);
};

class TmvBaseBlockHeapEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvBlockHeapEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // Nil for a nil descriptor; 15503 "Unknown BlockHeap engine: "<name>"".
  static TmvBaseBlockHeapEngine* CreateEngine(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                              uint32_t aHeaderSize, int32_t aTableVersion);
  // Nil passes; an unknown name raises 15503; then the class's CheckValidBase.
  static void CheckValidBaseFromDescriptor(TmvBaseBlockHeapDescriptor* aDescriptor);
  static void CheckValidBase(TmvBaseBlockHeapDescriptor*) {}

 protected:
  TmvBaseBlockHeapEngine(TmvBaseBlockHeapDescriptor* aDescriptor, int32_t aTableVersion);
};
