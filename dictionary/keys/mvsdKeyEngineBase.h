// Data dictionary (for the index engines): the abstract key engine.
//
// A key engine turns records into index keys and compares keys. Every index
// of a table owns one, made from the index's key descriptor
// (mvsdKeyDescriptors.h) by class name: the descriptor's class name with
// "Descriptor" replaced by "Engine" is looked up in the key engine registry.
// A key is an opaque buffer of `bkeKeyLength` bytes whose layout belongs to
// the concrete engine; buffers come from the engine's pool. This unit is
// the interface the dictionary and storage layers call; the concrete
// engines (composite, RefNr, Int64, BLOB-cache, token keys) and their key
// filters belong to the index engines, which register them here.
//
// Layer: data dictionary, below the index engines; calls the foundation
// and the key descriptors. Threading: one engine serves every cursor and
// transaction of its table; the pool is thread-safe, every other operation
// works on buffers the caller owns.
#pragma once

#include <cstdint>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllRegistry.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Variants.h"

class ImvExceptionDataContainer;
class TmvBaseKeyDescriptor;
class TmvBaseKeyEngine;

MV_DECLARE_EXCEPTION(EmvBaseKeyEngineException, EmvBaseRegisterableEngineException)

// The family record: the virtual constructor and the class-level check of a
// descriptor (nil: every descriptor is accepted).
struct TmvKeyEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseKeyEngine* (*CreateKeyEngine)(TmvBaseKeyDescriptor* aDescriptor);
  void (*CheckValidBase)(TmvBaseKeyDescriptor* aDescriptor);
};

template <typename T>
TmvBaseKeyEngine* mvCreateKeyEngine(TmvBaseKeyDescriptor* aDescriptor) {
  return new T(aDescriptor);
}

class TmvBaseKeyEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  // Keeps the descriptor (not owned; it must outlive the engine) and sizes
  // keys by its GetKeyLen; a key longer than 65535 bytes raises 10004.
  explicit TmvBaseKeyEngine(TmvBaseKeyDescriptor* aDescriptor);

  // The engine for a key descriptor; the caller owns it. No engine class
  // registered for the descriptor's class raises 15503 "Unknown Key engine:
  // \"<engine class name>\"".
  static TmvBaseKeyEngine* CreateFor(TmvBaseKeyDescriptor* aDescriptor);
  // 15503 as above, else the engine class's check of the descriptor.
  static void CheckValidBaseFromDescriptor(TmvBaseKeyDescriptor* aDescriptor);

  // A key buffer from the pool, cleared; FreeKey returns it and nils the
  // variable; CopyKey copies bkeKeyLength bytes.
  void* AllocKey();
  void FreeKey(void*& aKey);
  void CopyKey(const void* aFrom, void* aTo) const;

  // Clears a key to its empty state.
  virtual void ClearKey(void* aKey) = 0;
  // Builds the key of a record buffer: 0 when built, 1 when the key's
  // filter or null rules keep the record out of the index (ignored with
  // aIgnoreFilter), another error code otherwise.
  virtual uint32_t BuildKey(const void* aRecord, void* aKey, TmvRefNr aRefNr, bool aIgnoreFilter) = 0;
  // -1, 0 or 1 over the first aFieldCount fields, the last one cut to
  // aPartialLen (0, 0: the whole key).
  virtual int8_t CompareKey(const void* aKey1, const void* aKey2, int32_t aFieldCount, int32_t aPartialLen) = 0;
  int8_t CompareKey(const void* aKey1, const void* aKey2) { return CompareKey(aKey1, aKey2, 0, 0); }
  // The key as readable text (key violations, index dumps).
  virtual String KeyAsString(const void* aKey) = 0;
  // One key field (-1: all of them) as a variant.
  virtual Variant KeyAsVariant(const void* aKey, int32_t aField) = 0;
  // Writes the key's fields into an exception-data container.
  virtual void KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aData) = 0;
  // How many fields a key has.
  virtual int32_t GetMaxFieldCount() = 0;

  TmvBaseKeyDescriptor* GetKeyDescriptor() const { return bkeKeyDescriptor; }

  // The family's registry of key engine classes.
  static TmvClassRegistry* Registry();

  uint16_t bkeKeyLength;
  // Set by composite keys: a key field's locale sorts otherwise now than
  // when the index was built; a key field is of type Extended.
  bool bkeNLSVersionChanged = false;
  bool bkeContainsExtended = false;

 protected:
  TmvBaseKeyDescriptor* bkeKeyDescriptor;
  TmvMemoryPoolHandle bkeMemoryPool;
};
