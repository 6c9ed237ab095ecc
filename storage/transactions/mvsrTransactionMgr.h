// Storage: a folder's transaction manager, `TmvServerTransactionMgr`, and
// the folder transaction file "mvTrans.cfg" (unit mvsrTransactionMgr).
//
// The LSNs stamped on blocks must keep rising across program runs. When a
// folder opens, its manager establishes the number the engine's LSN counter
// (kept by the block cache, shared by every folder; a folder only raises
// it) continues from, and writes it to "mvTrans.cfg" again when the folder
// closes:
//
//   "mvTrans.cfg": | 0 next LSN, u64 | (exactly 8 bytes; any other size is not used)
//
// The value is the larger of the file's (when the file is current: no table
// file "*.mv1" of the folder was modified more than 1000 after it, in the
// packed date-time integer of a folder search) and 1 + the highest LSN in
// bytes 8..15 of any table file's block 0. Taking the table files always
// keeps a file that fell behind them (a copied folder, a lost write) from
// handing out LSNs the tables have used already. The value is written back
// at once, so that the file never holds less than the tables need.
//
// A folder whose path is empty or begins with "#" lives in memory: no file
// is touched, the value is 1. A folder whose file cannot be opened or
// created for writing becomes read-only; a read-only folder only reads.
// No failure of the file is reported; each is logged.
//
// The manager works over the folder's path and flags; the folder object of
// the server owns it. Used while its folder is created and destroyed.
// Calls the file classes, the cache's LSN counter and the journal engines.
#pragma once

#include "storage/transactions/mvsrTransaction.h"

class TmvBaseFile;

// The extension of table files, and the name of the folder transaction file.
inline constexpr char16_t mvTableExtension[] = u"mv1";
inline constexpr char16_t mvTransFileName[] = u"mvTrans.cfg";

class TmvServerTransactionMgr : public TmvBaseTransactionMgr {
 public:
  // Establishes the next LSN of the folder aFolderPath and raises the
  // cache's counter to it; may turn the folder read-only (ReadOnly()).
  TmvServerTransactionMgr(TmvBufferManager* aBufferManager, const String& aFolderPath, bool aReadOnly);
  // Writes the file (unless read-only or in memory) and closes it.
  ~TmvServerTransactionMgr() override;

  // A journal engine object of the default class for the journal aNumber of
  // the folder; nil in memory, read-only or without a default class.
  TmvBaseJournalEngine* CreateJournalEngine(uint64_t aNumber) override;

  bool ReadOnly() const { return stmReadOnly; }
  bool InMemory() const { return stmInMemory; }
  // The value established at opening.
  TmvLSN EstablishedLSN() const { return stmEstablished; }
  // 1 + the highest block-0 LSN of the folder's table files (1 without any).
  TmvLSN TableFilesLSN() const;

  String stmFolderPath;  // with a trailing "/" (empty in memory)
  TmvBaseFile* stmConfigFile = nullptr;  // owned; nil in memory

 private:
  // The file exists, is 8 bytes long and no table file is newer than it.
  bool ConfigIsCurrent() const;
  // The file's value; 0 when it cannot be read.
  TmvLSN ReadConfig();
  bool OpenConfig(TmvOpenMode aMode, TmvShareMode aShare, bool aCreate);
  void WriteConfig(TmvLSN aValue);

  bool stmReadOnly;
  bool stmInMemory;
  TmvLSN stmEstablished = 1;
};
