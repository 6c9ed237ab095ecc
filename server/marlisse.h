// The engine as a library: the one header a program that embeds the engine
// includes.
//
// A program starts an engine (TmvEmbeddedEngine), opens a session and in it
// the database of a folder of table files, builds tables from a data
// dictionary, and reads and writes records through cursors. Every call
// answers 0 or an engine error code (mvsdErrors: 8706 at the end of a
// table, 8710 for a key not found, 9729 for a key violation, ...);
// EmvBaseException(code).Message() gives its text. Records are buffers of
// the cursor's RecordLength() bytes; their fields are set and read through
// the cursor as Variants.
//
// Ownership: the engine object starts the engine's units and stops them
// when it goes; sessions, databases and cursors are freed with
// TmvAbstractServerObject::Free, cursors first. Threads: a session and
// everything opened in it are used by one thread at a time.
#pragma once

#include <cstdint>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "platform/Variants.h"
#include "server/mvsdServerEngine.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsrServerUnits.h"
#include "server/tables/mvsrServerDatabase.h"
#include "server/tables/mvsrServerFolder.h"

// A started, active engine; stopped when it goes. Requires: every session
// opened in it is freed first.
class TmvEmbeddedEngine {
 public:
  TmvEmbeddedEngine() {
    mvServerInit();
    fEngine = new TmvServerEngine(nullptr);
    fEngine->SetActive(true);
  }
  ~TmvEmbeddedEngine() {
    delete fEngine;
    mvServerFini();
  }
  TmvEmbeddedEngine(const TmvEmbeddedEngine&) = delete;
  TmvEmbeddedEngine& operator=(const TmvEmbeddedEngine&) = delete;

  TmvServerEngine* Engine() const { return fEngine; }
  // A new session and in it the database of the folder aPath (which must
  // exist), read-write and shared: 0, or the code with both left nil.
  uint32_t OpenDatabase(const String& aPath, TmvAbstractSession*& aSession, TmvAbstractDatabase*& aDatabase) {
    aDatabase = nullptr;
    if (uint32_t code = fEngine->SessionOpen(aSession, String(), String(), String(), 0)) return code;
    const uint32_t code = aSession->DatabaseOpen(aDatabase, u"Path", aPath, nullptr, omReadWrite, smShared, 0);
    if (code != 0) {
      TmvAbstractServerObject::Free(aSession);
      aSession = nullptr;
    }
    return code;
  }

 private:
  TmvServerEngine* fEngine;
};

// Adds an index on one field of aDictionary (unique or with duplicates).
inline void mvAddIndex(TmvDataDictionary* aDictionary, const String& aName, const String& aField, bool aUnique) {
  TmvMainIndicesDescriptor* indices = aDictionary->EnsureIndicesDescriptor();
  auto* key = static_cast<TmvCompKeyDescriptor*>(
      indices->AddIndex(aName, 0, aUnique ? idNone : idAll, String())->GetKeyDescriptor());
  key->Add(aDictionary->GetFieldsDescriptor()->GetFieldFromName(aField));
}

// Builds a persistent table aName of aDictionary in the database's folder
// (9986 when aDatabase is not one of this engine's): 0 or the code.
inline uint32_t mvBuildTable(TmvAbstractDatabase* aDatabase, const String& aName, TmvDataDictionary* aDictionary) {
  const uint32_t code = aDatabase->TableBuild(false, aName, String(), aDictionary, tsPersistent, false);
  if (code != uint32_t(MVERR_NOTSUPPORTED)) return code;
  // Until the database builds tables itself, its folder does.
  auto* database = dynamic_cast<TmvServerDatabase*>(aDatabase);
  if (!database) return EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM, String());
  return database->Folder()->sfTableBuild(false, aName, tsPersistent, aDictionary, false, String());
}

// The text of an engine error code.
inline String mvErrorText(uint32_t aCode) { return EmvBaseException(aCode).Message(); }
