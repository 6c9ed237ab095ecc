// Server engine: the session of the in-process engine (unit
// mvsrServerSession).
//
// `TmvServerSession` is what TmvServerEngine::SessionOpenEx makes. It keeps
// the client's version, the table passwords the client registered and the
// default locale for string literals; it carries out the alias operations
// through the engine's alias handler, closes inactive folders and tables
// through the engine, lists the registered engine and descriptor classes,
// and resolves a database's alias or path to a folder.
//
// Alias operations, database opening and the close-inactive requests set
// the thread's deadline but take no session lock (they rely on the alias
// handler's lock and the engine's folder padlock); password operations run
// in the public-boundary frame. Calls the server's abstract layer, the
// engine, the alias handler, and the registries of storage and dictionary.
#pragma once

#include "foundation/mvllUtils.h"
#include "server/mvsdAbstractSession.h"

class TmvServerEngine;
class TmvBaseAliasHandler;
class TmvServerFolder;

class TmvServerSession : public TmvAbstractSession {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  TmvServerSession(TmvServerEngine* aServerEngine, uint32_t aTimeout, const String& aUserName,
                   const String& aPassword, const String& aConnectedFrom, int32_t aClientVersion);
  // Frees the default locale.
  ~TmvServerSession() override;

  int32_t GetClientVersion() override { return ssClientVersion; }
  // Made the first time from the effective option "SQL_DEFAULT_LOCALE"
  // (an integer above 0), marked as the default string-literal locale; nil
  // without one. Kept until the session goes.
  TmvLocaleDescriptor* GetClientDefaultLocale() override;
  // Permanent failure without waiting.
  void Kick() { Failed(true); }

  // Passwords: "" gives 9986; a duplicate (case-sensitive) 10009; removing
  // one not registered 8712.
  uint32_t PasswordAdd(const String& aPassword) override;
  uint32_t PasswordRemove(const String& aPassword) override;
  uint32_t PasswordRemoveAll() override;
  virtual uint32_t ssPasswordAdd(const String& aPassword);
  virtual uint32_t ssPasswordRemove(const String& aPassword);
  virtual uint32_t ssPasswordRemoveAll();
  // The registered passwords, then aPassword when not empty; the extenders
  // may add to the list (eaBuildPasswords).
  void ssBuildPasswords(const String& aAlias, const String& aTable, TmvUnicodeStrings& aPasswords,
                        const String& aPassword);
  const TmvUnicodeStrings& Passwords() const { return ssPasswords; }

  // Aliases: names checked, extenders asked, then the engine's handler
  // (12289 "<operation> requires an AliasHandler" without one); adding,
  // deleting and modifying end with the handler's broadcast.
  uint32_t AliasAdd(const String& aAlias, const String& aPath, bool aEnforce) override;
  uint32_t AliasDelete(const String& aAlias) override;
  uint32_t AliasModify(const String& aAlias, const String& aNewName, const String& aNewPath, bool aEnforce) override;
  // Entries whose names fail the name rules are left out.
  uint32_t AliasGetList(TmvAliasDescriptors& aList) override;
  uint32_t AliasGetPath(const String& aAlias, String& aPath) override;

  uint32_t CloseInactiveFolders() override;
  uint32_t CloseInactiveTables() override;
  uint32_t DatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType, const String& aAlias,
                        TmvAbstractTransContext* aTransContext, TmvOpenMode aOpenMode, TmvShareMode aShareMode,
                        uint32_t aTimeout) override;
  uint32_t DatabaseCacheOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType, const String& aAlias,
                             TmvAbstractTransContext* aTransContext, TmvOpenMode aOpenMode, TmvShareMode aShareMode,
                             uint32_t aTimeout) override;
  // A new TmvServerTransContext.
  uint32_t TransContextCreate(TmvAbstractTransContext*& aTransContext, uint32_t aTimeout) override;
  // The names of one registry (index engines without the cache ones).
  uint32_t GetRegisteredClassList(TmvClassListType aClassListType, TStrings* aList) override;

  // Resolves the alias type and alias to a folder path, then opens the
  // database on it (ssOpenOnPath).
  uint32_t ssDoDatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType, const String& aAlias,
                            TmvAbstractTransContext* aTransContext, TmvOpenMode aOpenMode, TmvShareMode aShareMode,
                            uint32_t aTimeout, bool aIsCache);
  // The path resolved: aPath is trimmed, a canonical full path ending in
  // "/" (or empty, or "#..." for an in-memory folder); aAliasName is the
  // alias, empty when opened by path. Finds or makes the folder (9219 when
  // it is open with the other cache mode) and opens the database on it.
  virtual uint32_t ssOpenOnPath(TmvAbstractDatabase*& aDatabase, const String& aAliasName, const String& aPath,
                                TmvAbstractTransContext* aTransContext, TmvOpenMode aOpenMode,
                                TmvShareMode aShareMode, uint32_t aTimeout, bool aIsCache);
  // A database on aFolder: read only in a read-only folder; refused (10253)
  // beside an exclusive database or for an exclusive one, for a writer
  // beside a database that allows others to read only, and for a database
  // that allows others to read only beside a writer.
  uint32_t ssDatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAlias, TmvAbstractTransContext* aTransContext,
                          TmvServerFolder* aFolder, TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aIgnoreShare,
                          uint32_t aTimeout);

  TmvServerEngine* ServerEngine() const;

 private:
  // The alias operations' shared frame: deadline, handler present, the
  // "before" notification, the work, the "after" notification.
  template <typename F>
  uint32_t AliasCall(const char16_t* aOperation, TmvEngineAction aAction, TmvActionArgs aArgs, F&& aWork);
  TmvBaseAliasHandler* Handler() const;

  int32_t ssClientVersion;
  TmvUnicodeStrings ssPasswords;
  TmvLocaleDescriptor* ssClientDefaultLocale = nullptr;
  bool ssClientDefaultLocaleChecked = false;
};
