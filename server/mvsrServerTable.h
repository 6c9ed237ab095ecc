// Server engine: an open table of the in-process engine, as far as the
// engine's inactive-table list and its cleanup rely on it (unit
// mvsrServerTable).
//
// A root table lives in its folder's table list while it is open; when no
// cursor uses it, it joins the engine's inactive-table list, from which the
// engine's cleanup frees it once it has been idle long enough. The engine
// counts tables. Whether a table is inactive is the table's own test (its
// cursors, transaction links and commit in progress), which the tables
// implement (stand-ins do in tests); while the inactivity counter is above
// the count a caller expects, the table is in use and is not freed.
//
// Threads: the inactivity counter changes atomically; the inactive-list
// fields belong to the engine's inactive-table padlock. Calls the server
// objects and the engine's lists.
#pragma once

#include <atomic>

#include "server/mvsdServerObjects.h"

class TmvServerEngine;
class TmvServerFolder;

class TmvServerBaseTable : public TmvLockedOptionsExtendableServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  using TmvLockedOptionsExtendableServerObject::TmvLockedOptionsExtendableServerObject;

  // Raised by whoever is about to test and perhaps free the table; while it
  // is above the count a test expects, the table stays.
  std::atomic<int32_t> sbtLockIsInactive{0};
};

class TmvServerRootTable : public TmvServerBaseTable {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // The folder is the table's parent.
  TmvServerRootTable(TmvServerFolder* aFolder, const String& aName);
  // Leaves the engine's inactive-table list.
  ~TmvServerRootTable() override;

  // The engine's table count, in and out.
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // No cursors (asked to close with aRequestClose), no transaction links,
  // no snapshot blocks, the counter at aExpectedLockCount and the commit
  // padlock free.
  virtual bool srtIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose, int32_t aExpectedLockCount) = 0;

  TmvServerFolder* Folder() const { return srtFolder; }
  const String& Name() const { return srtName; }
  TDateTime InactiveSince() const { return srtInactiveSince; }
  bool InInactiveList() const { return srtInServerEngineInactiveTables; }

 protected:
  // Set by the engine as the table joins its inactive list (under the
  // engine's inactive-table padlock).
  TDateTime srtInactiveSince = 0;

 private:
  friend class TmvServerEngine;
  TmvServerEngine* Engine() const;

  TmvServerFolder* srtFolder;
  String srtName;
  bool srtLockedIncDone = false;
  bool srtInServerEngineInactiveTables = false;
  TmvServerRootTable* srtServerEngineInactiveTablesPrev = nullptr;
  TmvServerRootTable* srtServerEngineInactiveTablesNext = nullptr;
};
