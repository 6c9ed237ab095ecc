// Storage engines: the system's journal engine, `Tmv1xJournalEngine` (unit
// mvseJournalEngine).
//
// A journal engine copies the blocks of a commit into a journal file next to
// the tables before they are written (mvsrCommit.h), and its recovery scan
// (`Check`) replays or discards the journals an interrupted flush left in a
// folder. The journal format is not built yet: no transaction of this system
// attaches a journal, so this engine only stands in its place. Its recovery
// scan finds nothing to do (this build never writes a journal), and writing
// a journal is refused with 12289, so that a journal attached by mistake
// fails the commit before anything is changed instead of pretending to
// protect it.
//
// Calls the commit layer only; no state, safe from any thread.
#pragma once

#include <atomic>
#include <string_view>

#include "storage/transactions/mvsrCommit.h"

class Tmv1xJournalEngine : public TmvBaseJournalEngine {
 public:
  static const TmvJournalEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  using TmvBaseJournalEngine::TmvBaseJournalEngine;
  // The recovery scan of a folder: nothing to replay in this build.
  static void Check(const String& aAlias, const String& aPath);
  // Refused: 12289 "<operation> not supported by Tmv1xJournalEngine".
  void PrepareJournal() override;
  void AddBlock(TmvBaseTransaction* aTrans, TmvReadOnlyBlock* aBlock) override;
  void FinalizeJournal() override;
};

// The process-wide default journal engine class (this one until the server
// engine's configuration "JournalEngineClass" names another), and the
// journal engine classes of the process by name (ignoring case; nil for an
// unknown name).
extern std::atomic<const TmvJournalEngineClassRef*> mvDefaultJournalEngineClass;
const TmvJournalEngineClassRef* mvFindJournalEngineClass(std::u16string_view aName);
