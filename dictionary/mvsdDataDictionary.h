// Data dictionary: the complete schema of one table file and its stream.
//
// `TmvDataDictionary` is the root of a table's descriptor tree: the table
// descriptor of the root table (mvsdTableDescriptor.h) with its nested
// tables, plus what belongs to the file as a whole: the list of files, the
// stream engine, the signature the file's header block must carry, the
// encryption engine's name, a dictionary version, the schema's GUIDs and the
// counter that hands out item IDs. Every table file stores it as the named
// stream "DICT"; every open reads it back, checks it (`CheckValid` (false))
// and freezes it (`MakeReadOnly`). Before a table is built or restructured
// `CheckValid` (true) raises the version and the signature to the current
// form.
//
// The stream form, in the value-stream encoding, written for the version of
// the peer that will read it:
//   ident    "MorvaDB"
//   integer  written version V: the dictionary version, lowered to 2 for
//            peers below 20000, to 3 below 30900 and to 4 below 47005
//   4 bytes  header signature, raw ("MV!1" or "MV!2")
//   string   encryption engine name
//   V > 2:   [V > 3: boolean UseByteOrderForWideString]
//            ident "StreamDescriptor", boolean, [class name, body]
//            ident "FilesDescriptor", true, class name, body
//            the table body of the root table (mvsdTableDescriptor.h)
//            ident "CurrentID", integer
//   V <= 2:  the old layout (see WriteLegacyLayout in the .cpp)
//   ident    "MorvaDB"
// The GUIDs, the cache item counter and the missing-information mark travel
// as custom strings ("$GUID", "$CacheGUID", "$CacheCurrentID",
// "$MissingInformation") of the root table's item header.
//
// Dictionary versions: 1 records without 4-byte alignment; 2 aligned
// records; 3 the current layout (identifiers, item IDs, locales, nested
// tables); 4 adds the stored wide-string byte-order flag; 5 is required by
// tables with caching or RefNr fields.
//
// Layer: data dictionary; the root of the tree every descriptor unit
// belongs to. Threading: built, read and written by one thread at a time;
// once `MakeReadOnly` has run any number of threads read and write it out
// (WriteToStream) without locks, and every setter of every item of the tree
// raises 15500.
#pragma once

#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/mvsdTableDescriptor.h"

MV_DECLARE_EXCEPTION(EmvDataDictionaryException, EmvBaseTableDescriptorException)

// The marker that opens and closes the stream.
inline constexpr char16_t mvDataDictionaryMarker[] = u"MorvaDB";
// The two header signatures: the old file format and the current one.
inline constexpr TmvBlockSignature mvHeaderSignatureV1{'M', 'V', '!', '1'};
inline constexpr TmvBlockSignature mvHeaderSignatureV2{'M', 'V', '!', '2'};

class TmvDataDictionary : public TmvBaseTableDescriptor, public ImvDictionaryRoot {
  MV_DECLARE_CLASSREF(TmvTableDescriptorClassRef)
 public:
  // An empty new table: a fresh GUID, version 3, "MV!2", the default stream
  // and record engines, the file 0 "Data/DataDict File" (4 KB blocks) and
  // the main index "Sequential Access Index" over the record references.
  TmvDataDictionary();
  // Frees the tree while the dictionary still answers for its files.
  ~TmvDataDictionary() override;

  // CheckReadOnly; replaces the stream descriptor with one of aClass (nil:
  // TmvBaseStreamDescriptor; a class of another family raises 15499),
  // header section "Stream".
  TmvBaseStreamDescriptor* AddStreamDescriptor(const TmvStorageDescriptorClassRef* aClass = nullptr);
  void RemoveStreamDescriptor();
  // The files descriptor's number for that extension, -1 when none.
  int32_t GetFileFromExt(const String& aFileExt);

  // Reads the stream form into this dictionary under the table name
  // aBaseName and checks it (CheckValid (false)). On failure the dictionary
  // is the default empty one and the error passes on; a stream that ends
  // early or holds a value of the wrong kind raises 15498, as does any
  // other platform or standard-library error the bytes lead to (no memory:
  // 9473). Only engine errors and assertion failures leave it.
  void ReadFromStream(TStream& aStream, const String& aBaseName);
  // Writes the stream form for a peer of aClientVersion.
  void WriteToStream(TStream& aStream, int32_t aClientVersion);
  // The stream form through a reader or writer of the caller's. Reading
  // passes CheckReadOnly first and checks nothing.
  void ReadFromReader(TmvReader& aReader);
  void WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion);

  // CheckReadOnly; another data dictionary is copied through its stream
  // form (written for this engine's own version) and read under its base
  // name: GUIDs, IDs and the ID counter come along. Any other source goes
  // to the item assignment.
  void Assign(const TPersistent* aSource) override;
  // A new dictionary that has assigned this one; the caller owns it.
  TmvDataDictionary* Duplicate();
  // Turns the dictionary into a cache dictionary (nothing when it or a
  // nested table is one already): CacheCurrentID takes CurrentID, the
  // tables become cache tables (MakeCacheTable (aSilent)) and the
  // encryption engine is emptied; then CacheGuid takes Guid when a cache
  // table came of it, else CacheCurrentID goes back to 0.
  void MakeCache(bool aSilent);
  // Sets the read-only flag and activates the caches of the whole tree;
  // from then on every setter raises 15500.
  void MakeReadOnly();

  // ImvDictionaryRoot
  int32_t GetNextID() override;
  bool GetReadOnly() const override { return ddReadOnly; }
  int32_t GetDictionaryVersion() const override { return ddVersion; }
  // The whole block here; a server-side dictionary subtracts its reserves.
  int32_t UsableBlockSize(TmvBlockSize aBlockSize) override;

  TmvBaseStreamDescriptor* GetStreamDescriptor() const { return ddStreamDescriptor; }
  TmvFilesDescriptor* GetFilesDescriptor() const { return ddFilesDescriptor; }
  int32_t GetVersion() const { return ddVersion; }
  const String& GetBaseName() const { return ddBaseName; }
  int32_t GetCurrentID() const { return ddCurrentID; }
  const TGUID& GetGuid() const { return ddGuid; }
  int32_t GetCacheCurrentID() const { return ddCacheCurrentID; }
  const TGUID& GetCacheGuid() const { return ddCacheGuid; }
  bool GetMissingInformation() const { return ddMissingInformation; }
  bool GetUseByteOrderForWideString() const override { return ddUseByteOrderForWideString; }
  const TmvBlockSignature& GetHeaderSignature() const { return ddHeaderSignature; }
  const String& GetEncryptionEngine() const { return ddEncryptionEngine; }
  // Each: CheckReadOnly, then store.
  void SetBaseName(const String& aValue);
  void SetUseByteOrderForWideString(bool aValue);
  void SetHeaderSignature(const TmvBlockSignature& aValue);
  void SetEncryptionEngine(const String& aValue);

  // The base name.
  String btdFullName() override { return ddBaseName; }
  // The table's AssignOnlyFields, then the main indices descriptor goes.
  void AssignOnlyFields(TmvBaseTableDescriptor* aSource) override;
  // Resets the dictionary (new GUID, version 3, "MV!2", no stream
  // descriptor, files, encryption or base name, not read-only), clears the
  // table parts and, unless aNoDefaults, installs the defaults of a new
  // table. The internal indexes are kept.
  void ClearDescriptors(bool aNoDefaults, bool aNotify) override;
  // Also true below version 2 (records to be aligned).
  bool ItemRequiresPack() override;
  // The files family answers the files descriptor, the stream family the
  // stream descriptor.
  bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                   TmvDictionaryItem* aFrom = nullptr) override;
  // With aForBuild the normalisation for building first (see the .cpp):
  // 15499 for a stripped dictionary, the version raised (or set back) and
  // "MV!1" made "MV!2". Then a stream descriptor is required (10004), the
  // stream and files descriptors and the table check themselves.
  void CheckValid(bool aForBuild) override;
  // The table's test, equal encryption engines (ignoring case), equal
  // stream and files descriptors. GUIDs, version, IDs and base name take no
  // part.
  bool IsEqual(TmvDictionaryItem* aItem) override;

 private:
  void InstallDefaults();
  void StoreCustomValues();
  void TakeBackCustomValues();
  void ReadCurrentLayout(TmvReader& aReader);
  void WriteCurrentLayout(TmvWriter& aWriter, int32_t aClientVersion, int32_t aVersion);
  void ReadLegacyLayout(TmvReader& aReader);
  void WriteLegacyLayout(TmvWriter& aWriter, int32_t aClientVersion, int32_t aVersion);
  void ReadLegacyFiles(TmvReader& aReader);
  void ReadLegacyIndexes(TmvReader& aReader);
  void NormaliseForBuild();
  void SetVersionChecked(int32_t aVersion);

 protected:
  // The server-side dictionary (storage) sets the read-only flag, the ID
  // counter and the GUID directly.
  TGUID ddGuid{};
  TGUID ddCacheGuid{};
  int32_t ddVersion = 3;
  int32_t ddCurrentID = 0;
  int32_t ddCacheCurrentID = 0;
  bool ddMissingInformation = false;
  String ddBaseName;
  bool ddReadOnly = false;
  TmvFilesDescriptor* ddFilesDescriptor = nullptr;
  TmvBaseStreamDescriptor* ddStreamDescriptor = nullptr;
  bool ddUseByteOrderForWideString = true;
  TmvBlockSignature ddHeaderSignature = mvHeaderSignatureV2;
  String ddEncryptionEngine;
};
