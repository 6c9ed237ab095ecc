// Server engine: a database folder of the in-process engine, as far as the
// engine's lists and its cleanup rely on it (unit mvsrServerFolder).
//
// One folder stands for one database directory (or one in-memory
// database); every database opened on the path shares it. A folder joins
// the engine's folder list (path -> folder) when it is made and leaves it,
// and the engine's inactive-folder list, when it goes; the engine counts
// folders. Whether the folder and its tables are inactive, and closing its
// inactive tables, are the folder's own operations: the folder's table and
// database management implements them (stand-ins do in tests).
//
// Threads: the engine's folder padlock guards the folder list; the folder's
// tables padlock guards its tables (the engine's cleanup only ever tries
// it). Calls the server objects and the engine's lists.
#pragma once

#include "server/mvsdServerObjects.h"

class TmvServerEngine;

class TmvServerFolder : public TmvLockedOptionsExtendableServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Joins the engine's folder list under its folder padlock; a path already
  // there raises the list's duplicate error.
  TmvServerFolder(TmvServerEngine* aServerEngine, const String& aPath, bool aIsCache);
  // Leaves the engine's inactive list and folder list.
  ~TmvServerFolder() override;

  // The engine's folder count, in and out.
  void AfterConstruction() override;
  void BeforeDestruction() override;
  TmvBaseServerEngine* GetServerEngine() override;

  // No database registered and every open table inactive (tables asked to
  // close their cursors with aRequestClose).
  virtual bool sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose) = 0;
  // Frees the inactive tables: 0, or 10241 when the table list is busy.
  virtual uint32_t sfCloseInactiveTables() = 0;

  void LockTables() { sfTablesPadlock.Lock(); }
  void UnlockTables() { sfTablesPadlock.Unlock(); }
  bool TryLockTables() { return sfTablesPadlock.TryLock(); }

  TmvServerEngine* ServerEngine() const { return sfServerEngine; }
  const String& Path() const { return sfPath; }
  bool IsCache() const { return sfIsCache; }
  // When the folder joined the engine's inactive list, and whether it is
  // on it (both under the engine's inactive-folder padlock).
  TDateTime InactiveSince() const { return sfInactiveSince; }
  bool InInactiveList() const { return sfInServerEngineInactiveFolders; }

 protected:
  // Set by the engine as the folder joins its inactive list (under the
  // engine's inactive-folder padlock).
  TDateTime sfInactiveSince = 0;

 private:
  friend class TmvServerEngine;
  TmvServerEngine* sfServerEngine;
  String sfPath;
  bool sfIsCache;
  bool sfLockedIncDone = false;
  TmvPadlock sfTablesPadlock;
  bool sfInServerEngineInactiveFolders = false;
  TmvServerFolder* sfServerEngineInactiveFoldersPrev = nullptr;
  TmvServerFolder* sfServerEngineInactiveFoldersNext = nullptr;
};
