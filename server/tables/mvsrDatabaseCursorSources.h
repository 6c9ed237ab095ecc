// Server engine: extra sources of cursors of a server database (unit
// mvsrDatabaseCursorSources).
//
// A source supplies a cursor for a table name the database cannot open from
// its folder. Each registered source sits in a container linked into the
// database's list; the database's cursor open asks them in the order they
// were registered when it finds no table, and the control interface a
// registration hands back unregisters the source.
//
// Ownership: a container is reference counted; the caller's control
// reference keeps it, the database's list does not (a container that goes
// unregisters itself). It references the source and the database's session
// lock while registered, and keeps the database without owning it: the
// database detaches its containers when it goes, after which Unregister
// does nothing. Threads: the list is guarded by the database's session
// lock, which registration, the walk (inside the cursor open) and
// Unregister hold. Calls the database, the session lock and the sources.
#pragma once

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/types/mvsdTypes.h"
#include "server/mvsdSimpleLock.h"

class TmvAbstractCursor;
class TmvServerDatabase;

inline constexpr TGUID IID_ImvDatabaseCursorSource{0x2F6B8D13, 0x9C47, 0x4E0A, {0xB5, 0x21, 0x7D, 0x3E, 0x90, 0x4C, 0x6A, 0x18}};

class ImvDatabaseCursorSource : public IInterface {
 public:
  // A cursor on aTableName, or nil when the source has none.
  virtual TmvAbstractCursor* CursorOpen(const String& aTableName) = 0;

 protected:
  ~ImvDatabaseCursorSource() = default;
};

inline constexpr TGUID IID_ImvDatabaseCursorSourceControl{
    0x5A1C7E94, 0x3B28, 0x4D6F, {0x8E, 0x0B, 0x46, 0xC2, 0x1F, 0x97, 0xD3, 0x5A}};

class ImvDatabaseCursorSourceControl : public IInterface {
 public:
  // Takes the source out of its database's list: 0, or the code of the
  // session lock (8455 while another thread is inside the session). A
  // source already unregistered, or whose database is gone, answers 0.
  virtual uint32_t Unregister() = 0;

 protected:
  ~ImvDatabaseCursorSourceControl() = default;
};

class TmvServerDatabaseCursorSourceContainer : public TmvInterfacedObject, public ImvDatabaseCursorSourceControl {
 public:
  // Appends itself at the tail of aDatabase's list; the caller holds the
  // database's session lock.
  TmvServerDatabaseCursorSourceContainer(TmvServerDatabase* aDatabase, ImvDatabaseCursorSource* aSource);
  ~TmvServerDatabaseCursorSourceContainer() override;

  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

  // Called on the head of the list: the first source in list order that
  // answers a cursor ends the walk (aCursor, aResult 0); otherwise aCursor
  // is nil and aResult keeps the database's own code.
  void CursorOpen(TmvAbstractCursor*& aCursor, const String& aTableName, uint32_t& aResult);
  uint32_t Unregister() override;
  // The database goes: the container forgets it, its lock and its source
  // (the database's destructor, which owns the list).
  void DetachFromDatabase();

  TmvServerDatabaseCursorSourceContainer* cscDatabasePrev = nullptr;
  TmvServerDatabaseCursorSourceContainer* cscDatabaseNext = nullptr;

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;

 private:
  void LinkToDatabase();
  void UnlinkFromDatabase();

  TInterfacePtr<ImvSimpleLock> cscLock;
  TmvServerDatabase* cscDatabase;
  TInterfacePtr<ImvDatabaseCursorSource> cscSource;
};
