// Storage: the data dictionary of an open table, read from and written to
// its file (unit mvsrServerDataDict).
//
// Every table file keeps its dictionary as the named stream "DICT".
// `TmvServerDataDict` reads itself from that stream when the table opens
// and writes itself there when the table is built or restructured; its
// check adds to the dictionary's own checks those of the file: the header
// format must accept the dictionary, and every engine the dictionary names
// must be registered in this process. Its usable block size takes off what
// the encryption engine and the header format reserve in every block.
//
// A dictionary read from a file is read-only (as every dictionary in use);
// the server clears the flag (`ForceOffReadOnly`) around a restructure.
// Threads: as the data dictionary (built or read by one thread, then read
// by many).
// Calls the data dictionary, the stream engine family, the header formats
// and the sub-engine framework.
#pragma once

#include "dictionary/mvsdDataDictionary.h"

class TmvBaseStreamEngine;
class TmvBaseTransaction;

MV_DECLARE_EXCEPTION(EmvServerDataDictException, EmvDataDictionaryException)

class TmvServerDataDict : public TmvDataDictionary {
  MV_DECLARE_CLASSREF(TmvTableDescriptorClassRef)
 public:
  TmvServerDataDict() = default;

  // Reads the stream "DICT" of the engine's file under the file view's base
  // name, takes the header signature of the file and makes the dictionary
  // read-only. No "DICT": 9992 "The data dictionary is missing (<file>)";
  // a stream that does not read as a dictionary raises what the reader
  // raises, and the dictionary is then the empty default one.
  void ReadFromFile(TmvBaseStreamEngine* aStreamEngine, TmvBaseTransaction* aTrans);
  // CheckValid (false), takes the file view's base name, writes the stream
  // form for a peer of aVersion as "DICT" in aTrans and makes the
  // dictionary read-only.
  void WriteToFile(TmvBaseStreamEngine* aStreamEngine, TmvBaseTransaction* aTrans, int32_t aVersion);
  // The dictionary's own checks, then the header format's (15504 for an
  // unknown signature, 12289 for building with "MV!1"), then every engine
  // name (15503).
  void CheckValid(bool aForBuild) override;
  // The whole block less the encryption engine's reserve per block and the
  // header format's reserve (4 for "MV!2").
  int32_t UsableBlockSize(TmvBlockSize aBlockSize) override;
  // Also true between exactly this class and exactly TmvDataDictionary, so
  // that a dictionary read from a file equals the one that was written.
  bool IsSameClass(const TmvDictionaryItem* aItem) const override;

  void ForceOnReadOnly() { MakeReadOnly(); }
  // Clears the read-only flag and deactivates the descriptor caches.
  void ForceOffReadOnly();
  // The next dictionary ID; RestoreID puts back a current ID saved before.
  int32_t IncID() { return GetNextID(); }
  void RestoreID(int32_t aOldID) { ddCurrentID = aOldID; }
  // A new GUID from the system's generator.
  void RecreateGuid();
};
