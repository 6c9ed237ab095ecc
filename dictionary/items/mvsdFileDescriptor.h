// Data dictionary: file descriptors.
//
// A table lives in one or more files: the base file (file 0), named after
// the table, and further files told apart by an extension. A
// `TmvFileDescriptor` holds one file's extension, description, block size
// and growth parameters; `TmvFilesDescriptor` keeps the ordered list, keeps
// file 0 without extension and the extensions unique (ignoring case), and
// tells the registered descriptors (indexes, storage engines) when file
// numbers change, so that the numbers they hold stay valid.
//
// Layer: data dictionary; calls the dictionary item base only. Every
// maintenance operation checks before it changes anything: a failed call
// leaves the list, the numbering and the registered items as they were.
#pragma once

#include <functional>
#include <vector>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/types/mvsdTypes.h"

class TmvFileDescriptor;

MV_DECLARE_EXCEPTION(EmvFileDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvFilesDescriptorException, EmvDictionaryItemException)

// The byte size of a block size code.
inline int32_t mvBlockSizeBytes(TmvBlockSize aBlockSize) {
  MV_ASSERT(aBlockSize <= mvbs64k);
  return 4096 << aBlockSize;
}

// The family record: the virtual constructor Create (aParent, aExtension).
struct TmvFileDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvFileDescriptor* (*CreateFile)(TPersistent* aParent, const String& aExtension);
};

template <typename T>
TmvFileDescriptor* mvCreateFile(TPersistent* aParent, const String& aExtension) {
  return new T(aParent, aExtension);
}

class TmvFileDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvFileDescriptorClassRef)
  friend class TmvFilesDescriptor;

 public:
  // Block size 4 KB, initial size 4 blocks, growth 1 block.
  TmvFileDescriptor(TPersistent* aParent, const String& aExtension);

  TmvBlockSize GetBlockSize() const { return fdBlockSize; }
  // CheckReadOnly when the value changes.
  void SetBlockSize(TmvBlockSize aValue);
  int32_t GetBlockSizeBytes() const { return mvBlockSizeBytes(fdBlockSize); }
  // 4096, 8192, 16384, 32768 or 65536; else 10004 "%d is not a valid BlockSize".
  void SetBlockSizeBytes(int32_t aValue);
  // The custom string "$FileID" ("" when absent).
  String GetFileID() const;
  void SetFileID(const String& aValue);
  // The owning data dictionary's usable bytes for this block size (8712
  // without a data dictionary).
  int32_t UsableBlockSize() const;

  const String& GetExtension() const { return fdExtension; }
  const String& GetDesc() const { return fdDesc; }
  void SetDesc(const String& aValue);
  TmvGrowSize GetInitialSize() const { return fdInitialSize; }
  TmvGrowSize GetGrowSize() const { return fdGrowSize; }
  int32_t Number() const { return fdNumber; }

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  String fdExtension;
  String fdDesc;
  TmvBlockSize fdBlockSize = mvbs4k;
  TmvGrowSize fdInitialSize = 4;
  TmvGrowSize fdGrowSize = 1;
  int32_t fdNumber = 0;
};

class TmvFilesDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvFilesDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvFilesDescriptor() override;

  // The first file must have no extension, every later one a valid one
  // (10042 "Invalid file extension: \"%s\""), unique ignoring case (10009
  // "Duplicated file extension: \"%s\""). aClass nil: TmvFileDescriptor.
  TmvFileDescriptor* AddFile(const String& aExtension, TmvBlockSize aBlockSize, const String& aDesc,
                             const TmvFileDescriptorClassRef* aClass = nullptr);
  // aIndex in 0..FileCount (9999); the base file keeps position 0, so a
  // non-empty list takes new files at 1..FileCount only.
  TmvFileDescriptor* InsertFileAt(int32_t aIndex, const String& aExtension, TmvBlockSize aBlockSize,
                                  const String& aDesc, const TmvFileDescriptorClassRef* aClass = nullptr);
  // Both in 1..FileCount-1 (9999 naming the first bad one).
  void MoveFile(int32_t aFrom, int32_t aTo);
  // 0 raises 15502 "Cannot remove the base file descriptor"; other numbers
  // outside the list do nothing; a registered item may refuse (15502).
  void RemoveFile(int32_t aIndex);
  // No notification: the number stays.
  void RenameFile(int32_t aIndex, const String& aNewExtension);
  void RenameFile(const String& aOldExtension, const String& aNewExtension);
  // Ignoring case; -1 when none.
  int32_t GetFileFromExt(const String& aExtension) const;

  // What the old dictionary layout puts between a file's extension and its
  // stream form (the file's kind): written for file aFile; read back before
  // the file is created, with the extension it will be created with.
  using TFileKindWriter = std::function<void(TmvWriter& aWriter, int32_t aFile)>;
  using TFileKindReader = std::function<void(TmvReader& aReader, int32_t aFile, String& aExtension)>;
  // The file list as the descriptor's body holds it (no kind) and as the old
  // layout writes it directly: integer FileCount, then per file its class
  // name, its extension, the kind and its stream form. Any peer version.
  void WriteFiles(TmvWriter& aWriter, int32_t aClientVersion, const TFileKindWriter& aKind = nullptr);
  // Reads that part into the list, dropping the files present without
  // notice. Without aKind file 0 is taken without extension, whatever was
  // stored. Unknown classes raise 15499 ("FileDescriptor").
  void ReadFiles(TmvReader& aReader, const TFileKindReader& aKind = nullptr);
  void Clear(bool aNotify) override;

  void fidFileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber);
  void AddFileChangeNotify(TmvDictionaryItem* aItem) { mvAddChangeNotify(fidFileChangeNotifies, aItem); }
  void RemoveFileChangeNotify(TmvDictionaryItem* aItem) { mvRemoveChangeNotify(fidFileChangeNotifies, aItem); }

  int32_t FileCount() const { return int32_t(fidFiles.size()); }
  // Requires: 0 <= aIndex < FileCount.
  TmvFileDescriptor* FileDescriptor(int32_t aIndex) const { return fidFiles[size_t(aIndex)]; }

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 private:
  void CheckExtension(const String& aExtension, bool aBaseFile) const;
  void CheckIndex(int32_t aIndex, int32_t aLow, int32_t aHigh) const;
  void Renumber();
  void DropFiles();

  TmvSortedList* fidFileChangeNotifies = nullptr;
  std::vector<TmvFileDescriptor*> fidFiles;  // owned, index = file number
};
