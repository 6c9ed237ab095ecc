// Data dictionary: filter engines, the run-time evaluators of filters.
//
// A filter engine is built from a filter descriptor (mvsdFilterDescriptor.h)
// for one fields source: it reads the fields of a record or key buffer
// through `ImvFieldsSource` and answers `MatchesBuffer` for buffers in that
// source's layout. The engine class for a descriptor is found by name: the
// descriptor's class name with "Descriptor" replaced by "Engine", looked up
// in the filter engine registry. Engines are created inactive; an inactive
// engine lets everything pass.
//
// This unit holds the base engine, the callback engine and the engine hub,
// which combines several engines into one (all must match). A server cursor
// keeps one engine per cursor: its first filter alone, a hub over the first
// two when a second comes, later ones appended to the hub; removing goes
// through the outermost engine's `RemoveFilter` with the cursor's variable,
// so that a hub collapses back to its last child or to nothing.
//
// A filter identifier is the identity of an engine object; nil stands for
// "any filter", i.e. the one addressed.
//
// Layer: data dictionary; calls the foundation, the filter descriptors and
// the fields source interface. Threading: an engine belongs to one cursor
// and is used by the thread that holds that cursor's session lock; it has
// no lock of its own.
#pragma once

#include <functional>

#include "dictionary/filters/mvsdFilterDescriptor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "foundation/mvllLists.h"
#include "foundation/mvllRegistry.h"

MV_DECLARE_EXCEPTION(EmvBaseFilterEngineException, EmvBaseRegisterableEngineException)

class TmvBaseFilterEngine;

// The family record: the virtual constructor Create (aDescriptor,
// aFieldsSource); nil for abstract classes.
struct TmvFilterEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseFilterEngine* (*CreateFilterEngine)(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource);
};

template <typename T>
TmvBaseFilterEngine* mvCreateFilterEngine(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource) {
  return new T(aDescriptor, aFieldsSource);
}

// The owner's (a server cursor's) hook that index scans call for a key the
// filter rejects: true stops the scan with the code it puts into aResult.
// The filter itself never calls it.
using TmvFilterCheckTimeOut = std::function<bool(uint32_t& aResult)>;

// Holds a buffer in an evaluator's variable for the length of one test and
// clears it afterwards, also when the test raises.
class TmvBufferUnderTest {
 public:
  TmvBufferUnderTest(const void*& aSlot, const void* aBuffer) : butSlot(aSlot) { butSlot = aBuffer; }
  ~TmvBufferUnderTest() { butSlot = nullptr; }
  TmvBufferUnderTest(const TmvBufferUnderTest&) = delete;
  TmvBufferUnderTest& operator=(const TmvBufferUnderTest&) = delete;

 private:
  const void*& butSlot;
};

// Owned by whoever created it (a cursor, a key engine, a hub).
class TmvBaseFilterEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvFilterEngineClassRef)
 public:
  // Keeps a counted reference to the fields source; descendants copy what
  // they need from the descriptor, which the engine does not keep.
  TmvBaseFilterEngine(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource);

  // The engine for a descriptor; the caller owns it. No engine class
  // registered for the descriptor's class raises 15503 "Unknown Filter
  // engine: \"<engine class name>\"".
  static TmvBaseFilterEngine* CreateFor(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource);

  virtual bool GetActive() { return bfActive; }
  virtual void SetActive(bool aValue) { bfActive = aValue; }
  // An engine of the same filter over another fields source, with this
  // engine's Active; the caller owns it.
  virtual TmvBaseFilterEngine* Duplicate(ImvFieldsSource* aFieldsSource);
  // A new descriptor of this filter; the caller owns it.
  virtual TmvBaseFilterDescriptor* CreateDescriptor() = 0;
  // Whether the buffer (in the fields source's layout) passes.
  virtual bool MatchesBuffer(const void* aBuffer) = 0;
  // Frees the engine when aFilterID is this engine, after taking it out of
  // aFilterVar (which must hold it: an assertion otherwise); 0. Another
  // identifier: 10050 "Filter handle is invalid".
  virtual uint32_t RemoveFilter(const TmvBaseFilterEngine* aFilterID, TmvBaseFilterEngine*& aFilterVar);
  // Switch the engine when aFilterID is nil or this engine: 0; else 10050.
  virtual uint32_t ActivateFilter(const TmvBaseFilterEngine* aFilterID);
  virtual uint32_t DeactivateFilter(const TmvBaseFilterEngine* aFilterID);
  // Lets go of server resources; nothing here.
  virtual void Disconnect() {}
  // Whether the filter must be evaluated here (active) or by the peer.
  virtual bool IsEvalLocal() { return GetActive(); }
  virtual bool IsEvalRemote() { return !IsEvalLocal(); }

  ImvFieldsSource* FieldsSource() const { return bfFieldsSource.get(); }
  // Adds "Active".
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // The family's registry of filter engine classes.
  static TmvClassRegistry* Registry();

  // Set and cleared by the owner, read by index scans (see
  // TmvFilterCheckTimeOut); kfResult points to the code to stop with.
  TmvFilterCheckTimeOut kfCheckTimeOut;
  uint32_t* kfResult = nullptr;

 protected:
  // 0 after SetActive(aValue) when aFilterID addresses this engine.
  uint32_t SwitchFilter(const TmvBaseFilterEngine* aFilterID, bool aValue);

  TInterfacePtr<ImvFieldsSource> bfFieldsSource;
  bool bfActive = false;
};

// ---------------------------------------------------------------------------
// Callback engine

// Asks the callback of its descriptor. Inactive, or without a callback,
// everything passes.
class TmvCallbackFilterEngine : public TmvBaseFilterEngine {
  MV_DECLARE_CLASSREF(TmvFilterEngineClassRef)
 public:
  // Requires: aDescriptor is a TmvCallbackFilterDescriptor (an assertion
  // otherwise).
  TmvCallbackFilterEngine(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource);

  TmvBaseFilterDescriptor* CreateDescriptor() override;
  bool MatchesBuffer(const void* aBuffer) override;
  // Adds "Cookie".
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

 private:
  TmvFilterCallback cbfeCallback;
  void* cbfeCookie;
};

// ---------------------------------------------------------------------------
// Engine hub

// Several engines over one fields source that must all match. The hub owns
// its children and frees them with itself; its own Active flag is not used:
// it is active while any child is.
class TmvFilterEngineHub : public TmvBaseFilterEngine {
  MV_DECLARE_CLASSREF(TmvFilterEngineClassRef)
 public:
  // One child per child of aDescriptor (a TmvFilterDescriptorHub; nil gives
  // an empty hub), in order, each made by CreateFor over aFieldsSource.
  TmvFilterEngineHub(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource);
  // A hub over aFilter1's fields source holding both engines, in this order;
  // it owns them from then on (also when this fails: they are then freed).
  // Requires: aFilter1 is not nil.
  TmvFilterEngineHub(TmvBaseFilterEngine* aFilter1, TmvBaseFilterEngine* aFilter2);
  ~TmvFilterEngineHub() override;

  // Appends an engine and owns it from then on (also when appending fails:
  // it is then freed).
  void AddFilter(TmvBaseFilterEngine* aFilter);
  TmvBaseFilterEngine* Filter(int32_t aInx) const { return static_cast<TmvBaseFilterEngine*>(fehList.blGet(aInx)); }
  int32_t FilterCount() const { return fehList.Count(); }

  bool GetActive() override;
  // A new, empty hub of this class over aFieldsSource with each child's
  // Duplicate appended; the hub's own Active is not copied.
  TmvBaseFilterEngine* Duplicate(ImvFieldsSource* aFieldsSource) override;
  // A TmvFilterDescriptorHub with every child's descriptor, in order.
  TmvBaseFilterDescriptor* CreateDescriptor() override;
  // False at the first child that answers false; true for an empty hub.
  bool MatchesBuffer(const void* aBuffer) override;
  // aFilterID the hub: the hub goes. Otherwise the child with that identity
  // goes (10050 when none has it) and a hub left with one child hands it to
  // aFilterVar, a hub left empty nil; in both cases the hub is freed.
  uint32_t RemoveFilter(const TmvBaseFilterEngine* aFilterID, TmvBaseFilterEngine*& aFilterVar) override;
  // Every child in order; a non-nil aFilterID stops at the first child that
  // answers 0. The last answer, or 10050 for an empty hub.
  uint32_t ActivateFilter(const TmvBaseFilterEngine* aFilterID) override;
  uint32_t DeactivateFilter(const TmvBaseFilterEngine* aFilterID) override;
  void Disconnect() override;
  // True when any child answers true.
  bool IsEvalLocal() override;
  bool IsEvalRemote() override;

 private:
  uint32_t SwitchChildren(const TmvBaseFilterEngine* aFilterID, bool aValue);
  void FreeChildren();

  TmvList fehList;
};
