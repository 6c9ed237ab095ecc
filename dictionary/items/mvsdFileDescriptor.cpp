// Data dictionary: file descriptors. See mvsdFileDescriptor.h.
#include "dictionary/items/mvsdFileDescriptor.h"

#include "dictionary/mvsdDictionaryVersions.h"

namespace {

constexpr char16_t SIndexOutOfBounds[] = u"Index out of bounds: %d";
constexpr char16_t SInvalidFileExtension[] = u"Invalid file extension: \"%s\"";
constexpr char16_t SDuplicatedFileExtension[] = u"Duplicated file extension: \"%s\"";
constexpr char16_t SFileIDName[] = u"$FileID";

}  // namespace

// ---------------------------------------------------------------------------
// TmvFileDescriptor

TmvClassRegistry* TmvFileDescriptor::Registry() { return mvFamilyRegistry<TmvFileDescriptor>(); }

constinit const TmvFileDescriptorClassRef TmvFileDescriptor::StaticClass{
    {{{u"TmvFileDescriptor", &TmvDictionaryItem::StaticClass}, &TmvFileDescriptor::Registry, nullptr}, nullptr},
    &mvCreateFile<TmvFileDescriptor>};

TmvFileDescriptor::TmvFileDescriptor(TPersistent* aParent, const String& aExtension)
    : TmvDictionaryItem(aParent), fdExtension(aExtension) {}

void TmvFileDescriptor::SetBlockSize(TmvBlockSize aValue) {
  if (aValue == fdBlockSize) return;
  CheckReadOnly();
  fdBlockSize = aValue;
}

void TmvFileDescriptor::SetBlockSizeBytes(int32_t aValue) {
  for (int code = mvbs4k; code <= mvbs64k; ++code) {
    if (mvBlockSizeBytes(TmvBlockSize(code)) == aValue) {
      SetBlockSize(TmvBlockSize(code));
      return;
    }
  }
  throw EmvFileDescriptorException(MVERR_INVALIDDESC, u"%d is not a valid BlockSize", {aValue});
}

String TmvFileDescriptor::GetFileID() const {
  return diCustomStrings ? diCustomStrings->Values(SFileIDName) : String();
}

void TmvFileDescriptor::SetFileID(const String& aValue) {
  CheckReadOnly();
  GetCustomStrings().SetValue(SFileIDName, aValue);
}

int32_t TmvFileDescriptor::UsableBlockSize() const { return GetDictionaryRoot().UsableBlockSize(fdBlockSize); }

void TmvFileDescriptor::SetDesc(const String& aValue) {
  CheckReadOnly();
  fdDesc = aValue;
}

// Own part, after the item header (the files descriptor writes the class
// name and the extension before it):
//   integer  1
//   string   fdDesc
//   integer  block size in bytes
//   integer  fdInitialSize, fdGrowSize (blocks)
void TmvFileDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteString(fdDesc);
  aWriter.WriteInteger(GetBlockSizeBytes());
  aWriter.WriteInteger(fdInitialSize);
  aWriter.WriteInteger(fdGrowSize);
}

void TmvFileDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  fdDesc = aReader.ReadString();
  SetBlockSizeBytes(aReader.ReadInteger());
  fdInitialSize = aReader.ReadInteger();
  fdGrowSize = aReader.ReadInteger();
}

// The sizes are counts of blocks by which the table files grow: a stored
// value below 1 is damage.
void TmvFileDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  if (fdNumber == 0) {
    if (!fdExtension.empty()) mvRaiseCode<EmvFileDescriptorException>(MVERR_INVALIDFILEEXTN);
  } else {
    mvCheckIdentifier<EmvFileDescriptorException>(fdExtension, MVERR_INVALIDFILEEXTN, false);
  }
  if (fdInitialSize < 1)
    throw EmvFileDescriptorException(MVERR_INVALIDDESC, u"%d is not a valid InitialSize", {fdInitialSize});
  if (fdGrowSize < 1) throw EmvFileDescriptorException(MVERR_INVALIDDESC, u"%d is not a valid GrowSize", {fdGrowSize});
}

bool TmvFileDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvFileDescriptor*>(aItem);
  return other && fdExtension == other->fdExtension && fdDesc == other->fdDesc &&
         fdBlockSize == other->fdBlockSize && fdInitialSize == other->fdInitialSize &&
         fdGrowSize == other->fdGrowSize;
}

// ---------------------------------------------------------------------------
// TmvFilesDescriptor

TmvClassRegistry* TmvFilesDescriptor::Registry() { return mvFamilyRegistry<TmvFilesDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvFilesDescriptor::StaticClass{
    {{u"TmvFilesDescriptor", &TmvDictionaryItem::StaticClass}, &TmvFilesDescriptor::Registry,
     &mvCreateFreeItem<TmvFilesDescriptor>},
    &mvCreateItem<TmvFilesDescriptor>};

TmvFilesDescriptor::~TmvFilesDescriptor() {
  DropFiles();
  mvFreeAndNil(fidFileChangeNotifies);
}

void TmvFilesDescriptor::DropFiles() {
  while (!fidFiles.empty()) {
    TmvFileDescriptor* file = fidFiles.back();
    fidFiles.pop_back();
    delete file;
  }
}

void TmvFilesDescriptor::Renumber() {
  for (size_t i = 0; i < fidFiles.size(); ++i) fidFiles[i]->fdNumber = int32_t(i);
}

void TmvFilesDescriptor::CheckIndex(int32_t aIndex, int32_t aLow, int32_t aHigh) const {
  if (aIndex < aLow || aIndex > aHigh)
    throw EmvFilesDescriptorException(MVERR_INVALIDDESCNO, SIndexOutOfBounds, {aIndex});
}

void TmvFilesDescriptor::CheckExtension(const String& aExtension, bool aBaseFile) const {
  const bool valid = aBaseFile ? aExtension.empty()
                               : mvValidateIdentifier(aExtension, MVERR_INVALIDFILEEXTN, false, true) == 0;
  if (!valid) throw EmvFilesDescriptorException(MVERR_INVALIDFILEEXTN, SInvalidFileExtension, {aExtension});
}

TmvFileDescriptor* TmvFilesDescriptor::AddFile(const String& aExtension, TmvBlockSize aBlockSize, const String& aDesc,
                                               const TmvFileDescriptorClassRef* aClass) {
  CheckReadOnly();
  CheckExtension(aExtension, fidFiles.empty());
  if (GetFileFromExt(aExtension) >= 0)
    throw EmvFilesDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedFileExtension, {aExtension});
  const TmvFileDescriptorClassRef& cls = aClass ? *aClass : TmvFileDescriptor::StaticClass;
  if (!cls.CreateFile) mvRaiseUnsupportedClass(u"FileDescriptor", cls.Name());
  fidFiles.reserve(fidFiles.size() + 1);
  TmvFileDescriptor* file = cls.CreateFile(this, aExtension);
  file->fdDesc = aDesc;
  file->fdBlockSize = aBlockSize;
  file->fdNumber = FileCount();
  fidFiles.push_back(file);
  return file;
}

TmvFileDescriptor* TmvFilesDescriptor::InsertFileAt(int32_t aIndex, const String& aExtension, TmvBlockSize aBlockSize,
                                                    const String& aDesc, const TmvFileDescriptorClassRef* aClass) {
  CheckReadOnly();
  CheckIndex(aIndex, fidFiles.empty() ? 0 : 1, FileCount());
  fidFileChangeNotification(true, -1, aIndex);
  TmvFileDescriptor* file = AddFile(aExtension, aBlockSize, aDesc, aClass);
  fidFiles.pop_back();
  fidFiles.insert(fidFiles.begin() + aIndex, file);
  Renumber();
  fidFileChangeNotification(false, -1, aIndex);
  return file;
}

void TmvFilesDescriptor::MoveFile(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  CheckIndex(aFrom, 1, FileCount() - 1);
  CheckIndex(aTo, 1, FileCount() - 1);
  if (aFrom == aTo) return;
  fidFileChangeNotification(true, aFrom, aTo);
  TmvFileDescriptor* file = fidFiles[size_t(aFrom)];
  fidFiles.erase(fidFiles.begin() + aFrom);
  fidFiles.insert(fidFiles.begin() + aTo, file);
  Renumber();
  fidFileChangeNotification(false, aFrom, aTo);
}

void TmvFilesDescriptor::RemoveFile(int32_t aIndex) {
  CheckReadOnly();
  if (aIndex == 0)
    throw EmvFilesDescriptorException(MVERR_OBJECTINUSE, String(u"Cannot remove the base file descriptor"));
  if (aIndex < 1 || aIndex >= FileCount()) return;
  fidFileChangeNotification(true, aIndex, -1);
  TmvFileDescriptor* file = fidFiles[size_t(aIndex)];
  fidFiles.erase(fidFiles.begin() + aIndex);
  fidFileChangeNotification(false, aIndex, -1);
  Renumber();
  delete file;
}

void TmvFilesDescriptor::RenameFile(int32_t aIndex, const String& aNewExtension) {
  CheckReadOnly();
  CheckIndex(aIndex, 1, FileCount() - 1);
  CheckExtension(aNewExtension, false);
  TmvFileDescriptor* file = fidFiles[size_t(aIndex)];
  if (!SameClassName(aNewExtension, file->fdExtension) && GetFileFromExt(aNewExtension) >= 0)
    throw EmvFilesDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedFileExtension, {aNewExtension});
  file->fdExtension = aNewExtension;
}

void TmvFilesDescriptor::RenameFile(const String& aOldExtension, const String& aNewExtension) {
  RenameFile(GetFileFromExt(aOldExtension), aNewExtension);
}

int32_t TmvFilesDescriptor::GetFileFromExt(const String& aExtension) const {
  for (int32_t i = 0; i < FileCount(); ++i)
    if (SameClassName(fidFiles[size_t(i)]->fdExtension, aExtension)) return i;
  return -1;
}

void TmvFilesDescriptor::Clear(bool aNotify) {
  CheckReadOnly();
  mvClearAnnounced(
      FileCount(), aNotify, [this](bool b, int32_t o, int32_t n) { fidFileChangeNotification(b, o, n); },
      [&] {
        TmvDictionaryItem::Clear(aNotify);
        DropFiles();
      });
}

void TmvFilesDescriptor::fidFileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  mvSendChangeNotification(fidFileChangeNotifies, &TmvDictionaryItem::FileChangeNotification, aBefore, aOldNumber,
                           aNewNumber);
}

// File list, in the body below and in the old dictionary layout:
//   integer  file count
//   per file: string class name, string extension, [the old layout's file
//   kind,] the file's own part
void TmvFilesDescriptor::WriteFiles(TmvWriter& aWriter, int32_t aClientVersion, const TFileKindWriter& aKind) {
  aWriter.WriteInteger(FileCount());
  for (int32_t i = 0; i < FileCount(); ++i) {
    TmvFileDescriptor* file = fidFiles[size_t(i)];
    aWriter.WriteString(file->ClassName());
    aWriter.WriteString(file->fdExtension);
    if (aKind) aKind(aWriter, i);
    file->SaveToWriter(aWriter, aClientVersion);
  }
}

void TmvFilesDescriptor::ReadFiles(TmvReader& aReader, const TFileKindReader& aKind) {
  DropFiles();
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    const auto& cls = mvReadItemClass(aReader, TmvFileDescriptor::StaticClass, u"FileDescriptor");
    if (!cls.CreateFile) mvRaiseUnsupportedClass(u"FileDescriptor", cls.Name());
    String extension = aReader.ReadString();
    if (aKind)
      aKind(aReader, i, extension);
    else if (i == 0)
      extension.clear();
    fidFiles.reserve(fidFiles.size() + 1);
    TmvFileDescriptor* file = cls.CreateFile(this, extension);
    file->fdNumber = i;
    fidFiles.push_back(file);
    file->LoadFromReader(aReader);
  }
}

// Stream form, after the item header (peers from 20000 on):
//   integer  1
//   the file list (above)
void TmvFilesDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  WriteFiles(aWriter, aClientVersion);
}

void TmvFilesDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  ReadFiles(aReader);
}

void TmvFilesDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  if (fidFiles.empty())
    throw EmvFilesDescriptorException(MVERR_INVALIDRECSTRUCT, String(u"FilesDescriptor requires a minimum of one file"));
  for (int32_t i = 0; i < FileCount(); ++i) {
    TmvFileDescriptor* file = fidFiles[size_t(i)];
    if (GetFileFromExt(file->fdExtension) < i)
      throw EmvFilesDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedFileExtension, {file->fdExtension});
    file->fdNumber = i;
    file->CheckValid(aForBuild);
  }
}

bool TmvFilesDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvFilesDescriptor*>(aItem);
  if (!other || FileCount() != other->FileCount()) return false;
  for (int32_t i = 0; i < FileCount(); ++i)
    if (!other->fidFiles[size_t(i)]->IsEqual(fidFiles[size_t(i)])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// The dictionary item's subscription to file changes: defined here, beside what it
// subscribes to, so that the item's own unit needs no descendant.

void TmvDictionaryItem::RegisterFileChangeNotification() {
  if (auto* files = FindRelatedDescriptor<TmvFilesDescriptor>()) files->AddFileChangeNotify(this);
}
void TmvDictionaryItem::UnregisterFileChangeNotification() {
  if (auto* files = FindRelatedDescriptor<TmvFilesDescriptor>()) files->RemoveFileChangeNotify(this);
}
