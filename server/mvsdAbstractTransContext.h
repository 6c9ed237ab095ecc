// Server engine: the transaction interface of the abstract engine interface
// (unit mvsdAbstractTransContext).
//
// `TmvBaseTransContext` is what a transaction context and a database share:
// the seven transaction operations. `TmvAbstractTransContext` is a context
// of its own, which several databases of one session may use; it lives in
// its session's list, and when it goes, each database still using it gets
// a new private context from the session. The in-process context comes with
// the transactions.
// Threads: used under its session's lock; its database list has a padlock.
// Calls the server objects and the session.
#pragma once

#include <vector>

#include "foundation/types/mvsdTypes.h"
#include "server/mvsdServerObjects.h"

class TmvAbstractCursor;
class TmvAbstractDatabase;

class TmvBaseTransContext : public TmvAbstractTimeoutObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  using TmvAbstractTimeoutObject::TmvAbstractTimeoutObject;

  // Starts a transaction or nests one level.
  virtual uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) = 0;
  // The same, and takes each cursor's table content lock.
  virtual uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                        const std::vector<TmvAbstractCursor*>& aCursors) = 0;
  virtual uint32_t TransactionCommit() = 0;
  virtual uint32_t TransactionRollback() = 0;
  virtual uint32_t TransactionCorrupted() = 0;
  // 10257 "No user transaction is currently in progress." without one.
  virtual uint32_t TransactionGetLevel(int32_t& aTransLevel) = 0;
  virtual uint32_t TransactionGetInfo(TmvTransactionInfo& aTransInfo, bool aAllowCached) = 0;
};

class TmvAbstractTransContext : public TmvBaseTransContext {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Takes the session's lock and links itself into the session's list.
  TmvAbstractTransContext(TmvAbstractSession* aSession, uint32_t aTimeout);
  // Unlinks itself; every database still using it gets a context of its own.
  ~TmvAbstractTransContext() override;

  void AfterConstruction() override;
  // Rolls back what is still open, then the extendable steps.
  void BeforeDestruction() override;

  // Rolls back what is still open; nothing here.
  virtual void atcForceRollback() {}
  // Marks the context failed and rolls back.
  virtual void Failed();
  bool IsFailed() const { return atcFailed; }
  // 12289 not supported here.
  virtual uint32_t SetCacheTransContext(TmvAbstractTransContext* aCacheTransContext);

  void PrepareDestroy() override;
  // "<TransContext>" is the context itself.
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // The databases that use the context.
  TmvAbstractDatabase* FirstDatabase() const { return atcDatabasesHead; }
  int32_t DatabaseCount();

 protected:
  void asoWriteDetails(ImvExceptionDataContainer* aContainer) override;

 private:
  friend class TmvAbstractSession;
  friend class TmvAbstractDatabase;
  // The view of the database list (mvsdSessionLists.h).
  auto atcDatabaseList();

  bool atcFailed = false;
  bool atcLockedIncDone = false;
  TmvAbstractTransContext* atcSessionPrev = nullptr;
  TmvAbstractTransContext* atcSessionNext = nullptr;
  TmvPadlock atcDatabasesPadlock;
  TmvAbstractDatabase* atcDatabasesHead = nullptr;
  TmvAbstractDatabase* atcDatabasesTail = nullptr;
};
