// Storage engines: the journal engines (unit mvseJournalEngine).
//
// A journal keeps the images of the blocks a commit is about to write to
// the table files of one folder (mvsrCommit.h says when). Its recovery scan
// (`Check`), run when the folder opens, replays the complete journals a cut
// flush left and discards the incomplete ones.
//
//   class                        kind  images per block     replay
//   Tmv1xJournalEngine           0     before, then after   as the scanning class's kind (0: after)
//   Tmv1xCommitJournalEngine     1     after                redoes the commit
//   Tmv1xRollbackJournalEngine   2     before               undoes the partial writing (the default)
//
// Journal file "<folder>/<LSN>.n$2" (little-endian):
//   header, 12 bytes: | 0 "MVJH" | 4 completed: 0xFFFFFFFF, or 0 while written | 8 kind |
//   then per image a 268-byte record directly followed by the image:
//   | 0 "MVJR" | 4 block number | 8 block size code 0..5 (4 KB .. 64 KB, 4 MB) |
//   | 9 0xFF before image, 0x00 after image | 10 zero (2) |
//   | 12 the table file's name relative to the folder: length byte, up to 255 bytes
//   |    in the system ANSI code page, unused bytes zero |
//   | 268 the image, as the block is stored in the table file (encrypted when it is) |
// A block that is new to its file (it lies beyond the file's end on disk)
// has no before image and no entry for one. Names lie in the journal's own
// folder: a replay writes no file elsewhere.
//
// A replay reads the whole journal first and applies nothing unless every
// record is whole and sound; the table files written are synced before the
// journal is deleted, and its folder after. A commit's journal is marked
// incomplete and synced before it is deleted (see mvsrCommit.h). A journal that another process
// holds open (its commit is running) is left alone.
//
// Calls the commit layer and the file classes below it. A journal object is
// used by one flush at a time; Check by one thread per folder.
#pragma once

#include <map>
#include <string_view>
#include <vector>

#include "storage/transactions/mvsrCommit.h"

class TmvBaseFile;

class Tmv1xJournalEngine : public TmvBaseJournalEngine {
 public:
  static const TmvJournalEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  using TmvBaseJournalEngine::TmvBaseJournalEngine;
  // Closes the journal file; the file stays (see mvsrCommit.h).
  ~Tmv1xJournalEngine() override;

  // The recovery scan of folder aPath: 10018 "The alias references a
  // directory that does not exist." when there is none; every journal's
  // failure is logged and leaves that journal in place.
  static void Check(const String& aAlias, const String& aPath);
  // Replays the journal open in aJournal (positioned anywhere): after
  // images (aApplyAfter) or before images, into the files of aFolder.
  // 9217 for a cut record or image, 8962 for a record that is not sound;
  // nothing is written then.
  static void ApplyJournal(TmvBaseFile* aJournal, const String& aFolder, bool aApplyAfter);

  virtual uint32_t JournalKind() const { return 0; }
  // 9218 when the file's name (relative to its folder, in the system ANSI
  // code page) is longer than 255 bytes or cannot be spelled in it.
  void AcceptFile(TmvBaseFile* aFile) override;
  // Creates the journal file (its name synced into the folder) with an
  // incomplete header.
  void PrepareJournal() override;
  void AddBlock(TmvBaseTransaction* aTrans, TmvReadOnlyBlock* aBlock) override;
  // Syncs the images, marks the journal complete, syncs again.
  void FinalizeJournal() override;
  // Marks the journal incomplete, syncs it, deletes it.
  void DeleteJournal() override;

 protected:
  // Scans aPath with the replay choice of a journal kind.
  static void CheckFolder(const String& aPath, uint32_t aClassKind);
  void WriteJournalHeader(bool aCompleted);
  void WriteJournalImage(TmvReadOnlyBlock* aBlock, bool aBeforeImage);

  TmvBaseFile* jeJournalFile = nullptr;  // owned; nil until PrepareJournal
  int64_t jeEnd = 0;                     // where the next record goes
  std::map<TmvBaseFile*, int64_t> jeFileSizes;  // each table file's size before the flush
  std::vector<uint8_t> jeEntry;          // record and image of one entry
};

class Tmv1xCommitJournalEngine : public Tmv1xJournalEngine {
 public:
  static const TmvJournalEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  using Tmv1xJournalEngine::Tmv1xJournalEngine;
  static void Check(const String& aAlias, const String& aPath);
  uint32_t JournalKind() const override { return 1; }
};

class Tmv1xRollbackJournalEngine : public Tmv1xJournalEngine {
 public:
  static const TmvJournalEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  using Tmv1xJournalEngine::Tmv1xJournalEngine;
  static void Check(const String& aAlias, const String& aPath);
  uint32_t JournalKind() const override { return 2; }
};

// Sets the default journal engine class to Tmv1xRollbackJournalEngine
// unless set before (unit start-up), and clears it again when it still
// names one of the three (shutdown).
void mvseJournalEngineInit();
void mvseJournalEngineFini();

// The journal engine classes of the process by name (ignoring case; nil for
// an unknown name), for the server engine's "JournalEngineClass".
const TmvJournalEngineClassRef* mvFindJournalEngineClass(std::u16string_view aName);
