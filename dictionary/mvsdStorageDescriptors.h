// Data dictionary: storage engine descriptors.
//
// A table's data is kept by pluggable sub-engines that the storage layer
// finds by name in its per-family registries. These descriptors say, for
// one table, which engine of each family is used (its registered engine
// name), in which of the table's files it works, and under which name it
// keeps its state in the file header ("header section"). Who owns what:
//
// | descriptor                          | owned by                          | engine        | header section |
// |-------------------------------------|-----------------------------------|---------------|----------------|
// | `TmvBaseStreamDescriptor`           | the data dictionary               | "mv1xDefault" | "Stream"       |
// | `TmvBaseRecordDescriptor`           | the table descriptor              | "mv1xDefault" | "Record"       |
// |   `TmvHeapRecordDescriptor`         |   (a record descriptor)           |               |                |
// | `TmvBaseBlobDescriptor`             | the table descriptor              | "mv1xDefault" | "Blob"         |
// |   `TmvHeapBlobDescriptor`           |   (a BLOB descriptor)             |               |                |
// | `TmvBaseAutoIncDescriptor`          | the table descriptor              | "mv1xDefault" | "AutoInc"      |
// |   `TmvAdvAutoIncDescriptor`         |   (adds initial value and step)   |               |                |
// | `TmvBaseHeapDescriptor`             | a heap record or heap BLOB        | "mv1xDefault" | none           |
// | `TmvBaseBlockHeapDescriptor`        | a heap descriptor                 | "mv1xDefault" | none           |
// | `TmvBaseRecordCompressionDescriptor`| a heap record descriptor          | "Smart"       | none           |
//
// Each family root has its own class registry, through which the class
// names in a dictionary stream are resolved. Engine names are compared
// ignoring ASCII case; header sections are given to the constructor and
// are not streamed. The record, BLOB and auto-increment descriptors hold a
// file number: they follow the related files descriptor's renumbering and
// refuse the removal of the file they use (15502).
//
// Layer: data dictionary; calls the dictionary item base and the files
// descriptor. Threading: as every dictionary item (built on one thread,
// read by many once cached). Every setter raises 15500 on a read-only
// dictionary (except CompressType, which writes its custom string
// directly) and leaves the value as it was when it fails.
#pragma once

#include <string_view>

#include "dictionary/items/mvsdDictionaryItem.h"

class TmvBaseHeapDescriptor;
class TmvBaseBlockHeapDescriptor;
class TmvBaseRecordCompressionDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseStreamDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvBaseRecordDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvBaseBlobDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvBaseAutoIncDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvBaseHeapDescriptorException, EmvDictionaryItemException)

// The engine every family uses unless told otherwise.
inline constexpr char16_t mvDefaultEngineName[] = u"mv1xDefault";

// Initial value and step of an advanced auto-increment: 1..4294967295,
// stored in 32 bits.
using TmvAutoIncStepRange = uint32_t;

// The family record of the descriptors that name a header section (stream,
// record, BLOB, auto-increment): the constructor (aParent, aHeaderSection).
// CreateItem (aParent) builds one with the family's default section.
struct TmvStorageDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvDictionaryItem* (*CreateWithSection)(TPersistent* aParent, const AnsiString& aHeaderSection);
};

template <typename T>
TmvDictionaryItem* mvCreateSectionItem(TPersistent* aParent, const AnsiString& aHeaderSection) {
  return new T(aParent, aHeaderSection);
}

// A descriptor of aClass under aParent keeping its state in aHeaderSection;
// a class without constructor raises 15499 with aFamilyWord (for example
// "RecordDescriptor"). The table descriptor and the data dictionary create
// their storage descriptors through this.
TmvDictionaryItem* mvCreateStorageDescriptor(const TmvStorageDescriptorClassRef& aClass, TPersistent* aParent,
                                             const AnsiString& aHeaderSection, std::u16string_view aFamilyWord);

// ---------------------------------------------------------------------------
// Stream descriptor

// The engine of the file's named streams. Owned by the data dictionary.
class TmvBaseStreamDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvStorageDescriptorClassRef)
 public:
  explicit TmvBaseStreamDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection = "Stream");

  const String& GetStreamEngine() const { return bsdStreamEngine; }
  void SetStreamEngine(const String& aValue);
  const AnsiString& GetHeaderSection() const { return bsdHeaderSection; }

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  String bsdStreamEngine = mvDefaultEngineName;
  AnsiString bsdHeaderSection;
};

// ---------------------------------------------------------------------------
// Record descriptors

// The engine that stores the table's rows, and the file it stores them in.
class TmvBaseRecordDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvStorageDescriptorClassRef)
 public:
  // Registers for the related files descriptor's change notifications.
  explicit TmvBaseRecordDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection = "Record");
  ~TmvBaseRecordDescriptor() override;

  int32_t GetFileNumber() const { return brdFileNumber; }
  // With a related files descriptor the number must be a file of it (9999
  // "Invalid file number: %d"); without one any number is kept.
  void SetFileNumber(int32_t aValue);
  const String& GetRecordEngine() const { return brdRecordEngine; }
  void SetRecordEngine(const String& aValue);
  const AnsiString& GetHeaderSection() const { return brdHeaderSection; }

  // Follows renumbering; refuses the removal of its file (15502).
  void FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  int32_t brdFileNumber = 0;
  String brdRecordEngine = mvDefaultEngineName;
  AnsiString brdHeaderSection;
};

// A record descriptor whose engine keeps records on a heap (owned heap
// descriptor), optionally compressed (owned record-compression descriptor).
// A checked one always has a heap descriptor with a block heap under it.
class TmvHeapRecordDescriptor : public TmvBaseRecordDescriptor {
  MV_DECLARE_CLASSREF(TmvStorageDescriptorClassRef)
 public:
  explicit TmvHeapRecordDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection = "Record")
      : TmvBaseRecordDescriptor(aParent, aHeaderSection) {}
  ~TmvHeapRecordDescriptor() override;

  // CheckReadOnly; replaces the owned descriptor with a new one of aClass
  // (nil: the family root) and returns it. aClass must be of the family.
  TmvBaseHeapDescriptor* AddHeapDescriptor(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveHeapDescriptor();
  TmvBaseRecordCompressionDescriptor* AddRecordCompressionDescriptor(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveRecordCompressionDescriptor();
  TmvBaseHeapDescriptor* GetHeapDescriptor() const { return hrdHeapDescriptor; }
  TmvBaseRecordCompressionDescriptor* GetRecordCompressionDescriptor() const { return hrdRecordCompressionDescriptor; }

  // Also frees the heap and compression descriptors, so that an assigned
  // copy has exactly the source's.
  void Clear(bool aNotify) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  // Adds the default heap descriptor when there is none.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

 protected:
  TmvBaseHeapDescriptor* hrdHeapDescriptor = nullptr;
  TmvBaseRecordCompressionDescriptor* hrdRecordCompressionDescriptor = nullptr;
};

// The engine that compresses records of a heap record engine. Its
// CompressType lives in the custom string "CompressType".
class TmvBaseRecordCompressionDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvBaseRecordCompressionDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}

  const String& GetRecordCompressionEngine() const { return brcdRecordCompressionEngine; }
  void SetRecordCompressionEngine(const String& aValue);
  // 0 without the custom string; a value that is not a number from 0 to
  // 255 raises the platform's EConvertError.
  uint8_t GetCompressType() const;
  // Not refused on a read-only dictionary: a non-zero value is stored as
  // its decimal text, 0 removes the entry.
  void SetCompressType(uint8_t aValue);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  String brcdRecordCompressionEngine = u"Smart";
};

// ---------------------------------------------------------------------------
// BLOB descriptors

// The engine that stores the table's BLOBs, and the file it stores them in.
class TmvBaseBlobDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvStorageDescriptorClassRef)
 public:
  // Registers for the related files descriptor's change notifications.
  explicit TmvBaseBlobDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection = "Blob");
  ~TmvBaseBlobDescriptor() override;

  int32_t GetFileNumber() const { return bbdFileNumber; }
  // As the record descriptor's.
  void SetFileNumber(int32_t aValue);
  const String& GetBlobEngine() const { return bbdBlobEngine; }
  void SetBlobEngine(const String& aValue);
  const AnsiString& GetHeaderSection() const { return bbdHeaderSection; }

  void FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  int32_t bbdFileNumber = 0;
  String bbdBlobEngine = mvDefaultEngineName;
  AnsiString bbdHeaderSection;
};

// A BLOB descriptor whose engine keeps BLOBs on a heap (owned heap
// descriptor). A checked one always has a heap and a block heap.
class TmvHeapBlobDescriptor : public TmvBaseBlobDescriptor {
  MV_DECLARE_CLASSREF(TmvStorageDescriptorClassRef)
 public:
  explicit TmvHeapBlobDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection = "Blob")
      : TmvBaseBlobDescriptor(aParent, aHeaderSection) {}
  ~TmvHeapBlobDescriptor() override;

  TmvBaseHeapDescriptor* AddHeapDescriptor(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveHeapDescriptor();
  TmvBaseHeapDescriptor* GetHeapDescriptor() const { return hbdHeapDescriptor; }

  void Clear(bool aNotify) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

 protected:
  TmvBaseHeapDescriptor* hbdHeapDescriptor = nullptr;
};

// ---------------------------------------------------------------------------
// Heap descriptors

// The heap engine under a heap record or heap BLOB engine, with the block
// heap below it (owned). A checked one always has a block heap.
class TmvBaseHeapDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvBaseHeapDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvBaseHeapDescriptor() override;

  const String& GetHeapEngine() const { return bhdHeapEngine; }
  void SetHeapEngine(const String& aValue);
  TmvBaseBlockHeapDescriptor* AddBlockHeapDescriptor(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveBlockHeapDescriptor();
  TmvBaseBlockHeapDescriptor* GetBlockHeapDescriptor() const { return bhdBlockHeapDescriptor; }

  void Clear(bool aNotify) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  String bhdHeapEngine = mvDefaultEngineName;
  TmvBaseBlockHeapDescriptor* bhdBlockHeapDescriptor = nullptr;
};

// The block heap engine under a heap engine.
class TmvBaseBlockHeapDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvBaseBlockHeapDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}

  const String& GetBlockHeapEngine() const { return bbhdBlockHeapEngine; }
  void SetBlockHeapEngine(const String& aValue);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  String bbhdBlockHeapEngine = mvDefaultEngineName;
};

// ---------------------------------------------------------------------------
// Auto-increment descriptors

// The engine that hands out the table's auto-increment values, and the file
// whose header keeps its counter.
class TmvBaseAutoIncDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvStorageDescriptorClassRef)
 public:
  // Registers for the related files descriptor's change notifications.
  explicit TmvBaseAutoIncDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection = "AutoInc");
  ~TmvBaseAutoIncDescriptor() override;

  int32_t GetFileNumber() const { return baidFileNumber; }
  // As the record descriptor's.
  void SetFileNumber(int32_t aValue);
  const String& GetAutoIncEngine() const { return baidAutoIncEngine; }
  void SetAutoIncEngine(const String& aValue);
  const AnsiString& GetHeaderSection() const { return baidHeaderSection; }

  void FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  int32_t baidFileNumber = 0;
  String baidAutoIncEngine = mvDefaultEngineName;
  AnsiString baidHeaderSection;
};

// An auto-increment that starts at InitialValue and advances by Step.
class TmvAdvAutoIncDescriptor : public TmvBaseAutoIncDescriptor {
  MV_DECLARE_CLASSREF(TmvStorageDescriptorClassRef)
 public:
  explicit TmvAdvAutoIncDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection = "AutoInc")
      : TmvBaseAutoIncDescriptor(aParent, aHeaderSection) {}

  TmvAutoIncStepRange GetInitialValue() const { return aaidInitialValue; }
  // 0 is outside the range: 10004 "0 is not a valid InitialValue".
  void SetInitialValue(TmvAutoIncStepRange aValue);
  TmvAutoIncStepRange GetStep() const { return aaidStep; }
  // 0 raises 10004 "0 is not a valid Step".
  void SetStep(TmvAutoIncStepRange aValue);

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

 protected:
  TmvAutoIncStepRange aaidInitialValue = 1;
  TmvAutoIncStepRange aaidStep = 1;
};
