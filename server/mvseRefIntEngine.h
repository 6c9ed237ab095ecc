// Server engine: the referential-integrity engine of a table cursor (unit
// mvseRefIntEngine).
//
// A cursor on a table whose dictionary carries referential-integrity rules
// owns one `TmvRefIntegrityEngine`, made from the rules' descriptor. The
// cursor tells it before and after every record insert, modify and delete;
// the engine reaches the referenced records through a second cursor on the
// target table, held to a range of the target index built from the source
// record's fields, and checks them (block, target required) or changes them
// (cascade, clear, set default). Every part is an engine found by name from
// its descriptor's class ("Descriptor" replaced by "Engine"):
//  - a reference engine per reference, in descriptor order;
//  - its target cursor engine: the table itself (clone), a table by name, or
//    a table named relative to the source table;
//  - a source engine per key part (a field of the source table, carried
//    into the target field through field conversion);
//  - an action engine per action.
// The reference engines act last first, so that the later reference's
// actions run before the earlier's.
//
// Field conversion sits above the server engine: its unit installs the
// routine that finds a conversion for a field pair (mvSetRefIntMapperHook)
// at its start-up. Without it no field source has a conversion, and a
// non-null source value answers 10002.
//
// Ownership: the engine belongs to its cursor; target cursors are opened on
// first need, closed when the target table asks and no notification is
// using them, and freed with their reference. Threads: an engine runs on
// the thread of its cursor's operation; the target cursor engine's padlock
// and use counter guard the target cursor against a close request from
// another thread. Calls the abstract cursor and database, the server
// cursor, the data dictionary and storage's deadlines and interface.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"
#include "foundation/sync/mvllSync.h"
#include "server/mvsdAbstractCursor.h"
#include "server/mvsdRequestClose.h"
#include "storage/mvsrRefIntegrityEngine.h"

class TmvRefIntegrityEngine;
class TmvReferenceEngine;
class TmvBaseTargetCursorEngine;
class TmvBaseSourceEngine;
class TmvBaseActionEngine;
class TmvFieldDescriptor;
class TmvFieldsDescriptor;
class TmvCompKeyDescriptor;

MV_DECLARE_EXCEPTION(EmvReferenceEngineException, EmvBaseRegisterableEngineException)
MV_DECLARE_EXCEPTION(EmvTargetCursorEngineException, EmvBaseRegisterableEngineException)
MV_DECLARE_EXCEPTION(EmvSourceEngineException, EmvBaseRegisterableEngineException)
MV_DECLARE_EXCEPTION(EmvActionEngineException, EmvBaseRegisterableEngineException)

// What a source value is wanted for; passed on, never read by the field
// source.
enum TmvValueUseType : uint8_t { vutRangeStart, vutRangeEnd, vutCompare, vutRecordModify, vutRecordDelete };

// ---------------------------------------------------------------------------
// The field conversion hook

// A conversion of one field pair: a routine and the object it is bound to.
// The routine answers 0 (value written), 1 (the target is to be null) or an
// error code.
struct TmvRefIntMapping {
  uint32_t (*Code)(const void* aSelf, const void* aSource, void* aTarget) = nullptr;
  const void* Data = nullptr;
  bool Assigned() const { return Code != nullptr; }
};

struct TmvRefIntMapperHook {
  // Finds the conversion from the source field to the target field (aMapping
  // unassigned when none exists); returns the object behind it, which the
  // caller gives back through FreeMapper after its last use, or nil.
  void* (*CreateMapper)(TmvFieldDescriptor* aSourceField, TmvAbstractCursor* aSourceCursor,
                        TmvFieldDescriptor* aTargetField, TmvAbstractCursor* aTargetCursor,
                        TmvRefIntMapping& aMapping) = nullptr;
  void (*FreeMapper)(void* aInstance) = nullptr;
};

// Installs the hook (an empty hook uninstalls it). Start-up work only.
void mvSetRefIntMapperHook(const TmvRefIntMapperHook& aHook);
const TmvRefIntMapperHook& mvGetRefIntMapperHook();

// ---------------------------------------------------------------------------
// Family records (the virtual constructors)

struct TmvReferenceEngineClassRef : TmvRegisterableEngineClassRef {
  TmvReferenceEngine* (*CreateReference)(TmvRefIntegrityEngine* aParent, TmvReferenceDescriptor* aDescriptor);
};
struct TmvTargetCursorEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseTargetCursorEngine* (*CreateTargetCursor)(TmvReferenceEngine* aParent,
                                                   TmvBaseTargetCursorDescriptor* aDescriptor);
};
struct TmvSourceEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseSourceEngine* (*CreateSource)(TmvReferenceEngine* aParent, TmvBaseSourceDescriptor* aDescriptor);
};
struct TmvActionEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseActionEngine* (*CreateAction)(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor);
};

// ---------------------------------------------------------------------------
// TmvRefIntegrityEngine

class TmvRefIntegrityEngine : public TmvBaseRefIntegrityEngine {
  MV_DECLARE_CLASSREF(TmvRefIntegrityEngineClassRef)
 public:
  // One reference engine per reference; a class that cannot be found
  // raises 15503, and nothing is kept.
  TmvRefIntegrityEngine(TmvRefIntegrityDescriptor* aDescriptor, TmvAbstractCursor* aCursor);
  ~TmvRefIntegrityEngine() override;

  // 0 at once for an action no reference handles at that moment; else each
  // reference's NotifyReference, last first; the first non-zero code.
  uint32_t Notify(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) override;

  TmvRefIntegrityDescriptor* Descriptor() const { return rieDescriptor; }
  TmvAbstractCursor* Cursor() const { return rieCursor; }
  // Index 0: after the operation, 1: before it.
  const TmvEngineActions& Actions(bool aBefore) const { return rieActions[aBefore ? 1 : 0]; }
  int32_t ReferenceCount() const { return int32_t(rieReferences.size()); }
  TmvReferenceEngine* Reference(int32_t aIndex) const { return rieReferences[size_t(aIndex)]; }

 private:
  friend class TmvReferenceEngine;
  void FreeReferences();

  TmvRefIntegrityDescriptor* rieDescriptor;
  TmvAbstractCursor* rieCursor;
  TmvEngineActions rieActions[2];
  std::vector<TmvReferenceEngine*> rieReferences;  // owned
};

// ---------------------------------------------------------------------------
// TmvReferenceEngine

class TmvReferenceEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvReferenceEngineClassRef)
 public:
  static TmvClassRegistry* Registry();
  // The engine of the descriptor's class (15503 "Unknown Reference engine").
  static TmvReferenceEngine* CreateFor(TmvRefIntegrityEngine* aParent, TmvReferenceDescriptor* aDescriptor);

  // The target cursor engine, the sources and the actions, then MapActions.
  TmvReferenceEngine(TmvRefIntegrityEngine* aParent, TmvReferenceDescriptor* aDescriptor);
  ~TmvReferenceEngine() override;

  // --- virtual operations, in slot order ---------------------------------
  virtual void MapActions();
  virtual void AddActionToMapping(TmvBaseActionEngine* aAction, const TmvEngineActions& aActions, bool aBefore);
  // The target index must exist (9997), have a composite key (10023) with
  // at least as many fields as there are sources (10004); raised.
  virtual void PrepareTargetCursor();
  virtual void UnprepareTargetCursor();
  // The range of target records for the source record; false when a null
  // source value of a source with SkipOnNull leaves nothing to do. aNullFound
  // tells whether any source value was null. Failures raise.
  virtual bool SetTargetRange(const void* aSourceRecord, bool& aNullFound);
  // Whether the key built from the new record differs from the old one's.
  virtual bool SourceKeyChanged(const void* aNewRecord, const void* aOldRecord);
  virtual uint32_t NotifyReference(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs);
  // Extends the thread's text of aErrorCode with the tables and fields of
  // the reference; returns aErrorCode.
  virtual uint32_t BuildViolationError(uint32_t aErrorCode);

  TmvRefIntegrityEngine* Parent() const { return reParent; }
  TmvReferenceDescriptor* Descriptor() const { return reDescriptor; }
  TmvBaseTargetCursorEngine* TargetCursor() const { return reTargetCursor; }
  bool TargetCursorPrepared() const { return reTargetCursorPrepared; }
  int32_t SourceCount() const { return int32_t(reSources.size()); }
  TmvBaseSourceEngine* Source(int32_t aIndex) const { return reSources[size_t(aIndex)]; }
  // Range start / end, or the two compared keys; nil while unprepared.
  uint8_t* TargetRecordBuffer1() { return reTargetRecordBuffer1.empty() ? nullptr : reTargetRecordBuffer1.data(); }
  uint8_t* TargetRecordBuffer2() { return reTargetRecordBuffer2.empty() ? nullptr : reTargetRecordBuffer2.data(); }
  TmvFieldsDescriptor* TargetFields() const { return reFieldsDescriptor; }

 protected:
  TmvRefIntegrityEngine* reParent;
  TmvReferenceDescriptor* reDescriptor;
  TmvBaseTargetCursorEngine* reTargetCursor = nullptr;  // owned
  TmvFieldsDescriptor* reFieldsDescriptor = nullptr;
  bool reTargetCursorPrepared = false;
  uint32_t reTargetRecordLength = 0;
  std::vector<uint8_t> reTargetRecordBuffer1;
  std::vector<uint8_t> reTargetRecordBuffer2;
  TmvCompKeyDescriptor* reTargetKeyDescriptor = nullptr;
  // [after 0 / before 1][action]: the action engines to run.
  std::vector<TmvBaseActionEngine*> reActionMapping[2][mvEngineActionCount];
  std::vector<TmvBaseSourceEngine*> reSources;  // owned
  std::vector<TmvBaseActionEngine*> reActions;  // owned

 private:
  void FreeParts();
  void EmptyTargetBuffers();
  [[noreturn]] void Raise(uint32_t aCode);
};

// ---------------------------------------------------------------------------
// Target cursors

class TmvBaseTargetCursorEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvTargetCursorEngineClassRef)
 public:
  static TmvClassRegistry* Registry();
  // 15503 "Unknown TargetCursor engine".
  static TmvBaseTargetCursorEngine* CreateFor(TmvReferenceEngine* aParent, TmvBaseTargetCursorDescriptor* aDescriptor);

  TmvBaseTargetCursorEngine(TmvReferenceEngine* aParent, TmvBaseTargetCursorDescriptor* aDescriptor);
  // Detaches the close handler; then under the padlock the reference is
  // unprepared and the cursor freed.
  ~TmvBaseTargetCursorEngine() override;

  // The target cursor opened from the source cursor: 0 or an error code.
  virtual uint32_t OpenTargetCursor(TmvAbstractCursor* aSourceCursor, TmvAbstractCursor*& aTargetCursor) = 0;
  // The target table asks its cursors to close: ignored while in use;
  // otherwise the reference is unprepared and the cursor freed.
  virtual void RequestClose();

  // Opens the cursor when none is open (a failure is extended as a violation
  // and raised), switches it to the target index and registers the close
  // handler with a server cursor.
  TmvAbstractCursor* GetCursor();
  // Counted use of the cursor, each inside a timeout scope.
  void BeginUse();
  void EndUse();

  TmvReferenceEngine* Parent() const { return btceParent; }
  TmvBaseTargetCursorDescriptor* Descriptor() const { return btceDescriptor; }
  TmvAbstractCursor* Cursor() { return GetCursor(); }
  // The cursor without opening it (nil when closed).
  TmvAbstractCursor* OpenCursor() const { return btceCursor; }
  int32_t InUse() const { return btceInUse; }

 protected:
  // Unprepares the reference and frees the cursor; under the padlock.
  void CloseCursor();

  TmvReferenceEngine* btceParent;
  TmvBaseTargetCursorDescriptor* btceDescriptor;
  TInterfacePtr<ImvRequestCloseHandler> btceRequestClose;
  TmvPadlock btcePadlock;
  int32_t btceInUse = 0;
  TmvAbstractCursor* btceCursor = nullptr;  // owned
};

// The source table itself: a duplicate of the source cursor.
class TmvCloneTargetCursorEngine : public TmvBaseTargetCursorEngine {
  MV_DECLARE_CLASSREF(TmvTargetCursorEngineClassRef)
 public:
  using TmvBaseTargetCursorEngine::TmvBaseTargetCursorEngine;
  uint32_t OpenTargetCursor(TmvAbstractCursor* aSourceCursor, TmvAbstractCursor*& aTargetCursor) override;
};

// A table by name, opened with the descriptor's password.
class TmvTableTargetCursorEngine : public TmvBaseTargetCursorEngine {
  MV_DECLARE_CLASSREF(TmvTargetCursorEngineClassRef)
 public:
  using TmvBaseTargetCursorEngine::TmvBaseTargetCursorEngine;
  uint32_t OpenTargetCursor(TmvAbstractCursor* aSourceCursor, TmvAbstractCursor*& aTargetCursor) override;
};

// A table named relative to the source table: a name beginning with "." is
// appended to the source cursor's full name, any other to its root table's
// name, joined by ":"; opened with the password the source cursor holds.
class TmvRelativeTargetCursorEngine : public TmvBaseTargetCursorEngine {
  MV_DECLARE_CLASSREF(TmvTargetCursorEngineClassRef)
 public:
  using TmvBaseTargetCursorEngine::TmvBaseTargetCursorEngine;
  uint32_t OpenTargetCursor(TmvAbstractCursor* aSourceCursor, TmvAbstractCursor*& aTargetCursor) override;
  // The table name the source cursor gives.
  String TargetTableName(TmvAbstractCursor* aSourceCursor);
};

// ---------------------------------------------------------------------------
// Sources

class TmvBaseSourceEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvSourceEngineClassRef)
 public:
  static TmvClassRegistry* Registry();
  // 15503 "Unknown Source engine".
  static TmvBaseSourceEngine* CreateFor(TmvReferenceEngine* aParent, TmvBaseSourceDescriptor* aDescriptor);

  TmvBaseSourceEngine(TmvReferenceEngine* aParent, TmvBaseSourceDescriptor* aDescriptor);

  virtual String GetSourceName() = 0;
  virtual String GetTargetName() = 0;
  // The target field (by number) in the target cursor's table.
  virtual void Initialize(int32_t aTargetField, TmvAbstractCursor* aTargetCursor);
  // Carries the source value into the target field of aTargetBuffer;
  // aSourceIsNull (may be nil) receives the source's null state. 0 or an
  // error code.
  virtual uint32_t SetValueTo(TmvValueUseType aType, void* aTargetBuffer, const void* aSourceBuffer,
                              bool* aSourceIsNull) = 0;
  // Makes the target field null.
  virtual uint32_t ClearField(TmvValueUseType aType, void* aTargetBuffer);
  // The target field's default value when the target cursor has a
  // default-value handler; else ClearField.
  virtual uint32_t SetFieldToDefault(TmvValueUseType aType, TmvAbstractCursor* aTargetCursor, void* aTargetBuffer);

  TmvBaseSourceDescriptor* Descriptor() const { return bseDescriptor; }
  int32_t TargetField() const { return bseTargetField; }

 protected:
  TmvReferenceEngine* bseParent;
  TmvBaseSourceDescriptor* bseDescriptor;
  TmvFieldsDescriptor* bseSourceFields;
  TmvFieldsDescriptor* bseTargetFields = nullptr;
  int32_t bseTargetField = -1;
  int32_t bseTargetOffset = 0;
};

// A field of the source table.
class TmvFieldSourceEngine : public TmvBaseSourceEngine {
  MV_DECLARE_CLASSREF(TmvSourceEngineClassRef)
 public:
  using TmvBaseSourceEngine::TmvBaseSourceEngine;
  ~TmvFieldSourceEngine() override;

  String GetSourceName() override { return fseSourceName; }
  String GetTargetName() override { return fseTargetName; }
  // Names and offsets of both fields, and a new conversion between them.
  void Initialize(int32_t aTargetField, TmvAbstractCursor* aTargetCursor) override;
  // Null: the target null, 0. Otherwise 10002 without a conversion; the
  // conversion's 1 makes the target null (0); another code is the result.
  uint32_t SetValueTo(TmvValueUseType aType, void* aTargetBuffer, const void* aSourceBuffer,
                      bool* aSourceIsNull) override;

 private:
  void FreeMapper();

  int32_t fseSourceOffset = 0;
  TmvRefIntMapping fseMapper;
  void* fseMapperInst = nullptr;  // owned, given back through the hook
  String fseSourceName;
  String fseTargetName;
};

// ---------------------------------------------------------------------------
// Actions

class TmvBaseActionEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvActionEngineClassRef)
 public:
  static TmvClassRegistry* Registry();
  // 15503 "Unknown Action engine".
  static TmvBaseActionEngine* CreateFor(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor);

  TmvBaseActionEngine(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor);

  // --- virtual operations, in slot order ---------------------------------
  virtual uint32_t Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs);
  virtual TmvEngineActions RequiredBeforeActions() { return {}; }
  virtual TmvEngineActions RequiredAfterActions() { return {}; }
  virtual bool WantsNewOnAfterModify() { return false; }

  TmvBaseActionDescriptor* Descriptor() const { return baeDescriptor; }

 protected:
  // Execute is called for its own action and moment only (an assertion).
  void CheckCall(TmvEngineAction aAction, bool aBefore, TmvEngineAction aOwnAction, bool aOwnBefore);
  // The target cursor's transaction can only be rolled back now.
  void MarkTransactionCorrupted();
  // 0 when a target record lies in the range, 8706 when none does, or the
  // cursor's error.
  uint32_t PresenceTest();
  // Every record of the range, write-locked, changed by aChange and
  // written back; 0 at the end of the range.
  template <typename F>
  uint32_t ChangingLoop(F&& aChange);

  TmvReferenceEngine* baeParent;
  TmvBaseActionDescriptor* baeDescriptor;
};

// An action engine that runs after the operation Action: its constructor
// and Execute.
#define MV_REFINT_AFTER_ACTION(Name, Action)                                                          \
  class Name : public TmvBaseActionEngine {                                                           \
    MV_DECLARE_CLASSREF(TmvActionEngineClassRef)                                                      \
   public:                                                                                            \
    Name(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor);                          \
    uint32_t Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) override; \
    TmvEngineActions RequiredAfterActions() override { return {Action}; }                             \
  };

// After a delete: the children go, get null or their defaults.
MV_REFINT_AFTER_ACTION(TmvCascadeDeleteActionEngine, eaRecordDelete)
MV_REFINT_AFTER_ACTION(TmvClearDeleteActionEngine, eaRecordDelete)
MV_REFINT_AFTER_ACTION(TmvSetDefaultDeleteActionEngine, eaRecordDelete)

// Refuses the delete while the range holds records; asks for no nested
// transactions, as it changes nothing.
class TmvBlockDeleteActionEngine : public TmvBaseActionEngine {
  MV_DECLARE_CLASSREF(TmvActionEngineClassRef)
 public:
  using TmvBaseActionEngine::TmvBaseActionEngine;
  uint32_t Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) override;
  TmvEngineActions RequiredBeforeActions() override { return {eaRecordDelete}; }
};

// After a modify of the key: the children follow the new key, get null or
// their defaults; or the modify is refused (the transaction marked) while
// children exist.
MV_REFINT_AFTER_ACTION(TmvCascadeModifyActionEngine, eaRecordModify)
MV_REFINT_AFTER_ACTION(TmvClearModifyActionEngine, eaRecordModify)
MV_REFINT_AFTER_ACTION(TmvSetDefaultModifyActionEngine, eaRecordModify)
MV_REFINT_AFTER_ACTION(TmvBlockModifyActionEngine, eaRecordModify)

// After an insert or a modify: the target record must exist (the
// transaction marked when it does not); the range is on the new record.
class TmvTargetRequiredActionEngine : public TmvBaseActionEngine {
  MV_DECLARE_CLASSREF(TmvActionEngineClassRef)
 public:
  TmvTargetRequiredActionEngine(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor);
  uint32_t Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) override;
  TmvEngineActions RequiredAfterActions() override { return {eaRecordInsert, eaRecordModify}; }
  bool WantsNewOnAfterModify() override { return true; }
};

// ---------------------------------------------------------------------------
// Unit

// Registers the fifteen engine classes under their class names, in order;
// the shutdown unregisters them.
void mvseRefIntEngineInit();
void mvseRefIntEngineFini();
