// Storage: the stream engine family (unit mvseStreamEngine).
//
// Every table file can hold byte streams of any length: numbered streams,
// addressed by their first block, and named streams, among them "DICT", the
// table's data dictionary. The stream engine is the first sub-engine made
// for a file, because block 0 itself names its class: only once it exists
// can the dictionary, which names every other engine, be read. This unit
// holds the family base: the stream operations, the class record, registry,
// creation by the name in block 0, and the dictionary check.
//
// Named operations answer 0 or an error code (8712 for a name without a
// stream); everything else raises. An engine belongs to its open file and is
// used under the server's table locks.
// Calls the sub-engine framework, the block accesses and the dictionary.
#pragma once

#include "platform/Classes.h"
#include "storage/mvseSubEngine.h"

class TmvBaseStreamDescriptor;
class TmvBaseStreamEngine;

MV_DECLARE_EXCEPTION(EmvStreamEngineException, EmvBaseSubEngineException)

struct TmvStreamEngineClassRef : TmvSubEngineClassRef {
  // aTrans present: the file is new and the engine sets up its state in it.
  TmvBaseStreamEngine* (*Create)(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                 TmvBaseTransaction* aTrans);
  void (*CheckValidDescriptor)(TmvBaseStreamDescriptor* aDescriptor);
};

class TmvBaseStreamEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvStreamEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine of the class block 0 of aDataFile's file names (not the
  // descriptor's engine name: the file says how its streams are kept);
  // 15503 "Unknown stream engine: "<name>"" for an unknown name.
  static TmvBaseStreamEngine* CreateEngine(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                           TmvBaseTransaction* aTrans);
  // The same with the dictionary's stream descriptor.
  static TmvBaseStreamEngine* CreateEngine(TmvDataDictionary* aDictionary, TmvBlockAccess* aDataFile,
                                           TmvBaseTransaction* aTrans);
  // Nil passes; an unknown engine name raises 15503; then the class's check.
  static void CheckValidFromDescriptor(TmvBaseStreamDescriptor* aDescriptor);
  // Only a whole data dictionary has a stream descriptor to check.
  static void CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor);
  static void CheckValidDescriptor(TmvBaseStreamDescriptor*) {}

  // Takes the descriptor's ID as the owner ID of the blocks it adds.
  virtual void Initialize(TmvBaseStreamDescriptor* aDescriptor);
  void Initialize(TmvDataDictionary* aDictionary);

  // Numbered streams. Read empties aStream, fills it and leaves it at
  // position 0. Write stores aStream whole: with aCreateNew into a new
  // stream whose number it puts into aStreamNr, else over the stream
  // aStreamNr, which keeps its number; aStreamSig is the stream's kind.
  virtual void DeleteStream(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr) = 0;
  virtual void ReadStream(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr, TStream& aStream) = 0;
  virtual void WriteStream(TmvBaseTransaction* aTrans, TmvBlockNumber& aStreamNr, TStream& aStream, bool aCreateNew,
                           const TmvBlockSignature& aStreamSig) = 0;
  // Named streams (names compare without regard to case). The list: the
  // user streams' names, then "DICT" when it exists; the count leaves
  // "DICT" out.
  virtual int32_t GetNamedStreamList(TmvBaseTransaction* aTrans, TStrings& aStreams) = 0;
  virtual int32_t GetNamedStreamCount(TmvBaseTransaction* aTrans, int32_t& aCount) = 0;
  virtual int32_t DeleteNamedStream(TmvBaseTransaction* aTrans, const String& aName) = 0;
  virtual int32_t ReadNamedStream(TmvBaseTransaction* aTrans, const String& aName, TStream& aStream) = 0;
  virtual int32_t WriteNamedStream(TmvBaseTransaction* aTrans, const String& aName, TStream& aStream) = 0;

  // The file whose streams the engine keeps.
  TmvBlockAccess* bseDataFile;

 protected:
  TmvBaseStreamEngine(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile);
};

// Registers the family base for the whole-dictionary check; takes it out.
void mvseStreamEngineInit();
void mvseStreamEngineFini();
