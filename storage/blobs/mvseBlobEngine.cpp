// Storage: the BLOB engine family and the outside files of file BLOBs. See
// mvseBlobEngine.h.
#include "storage/blobs/mvseBlobEngine.h"

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "platform/Classes.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/mvsrLog.h"

TmvClassRegistry* TmvBaseBlobEngine::GetList() { return mvFamilyRegistry<TmvBaseBlobEngine>(); }

constinit const TmvBlobEngineClassRef TmvBaseBlobEngine::StaticClass{
    {{u"TmvBaseBlobEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseBlobEngine::GetList,
     &TmvBaseBlobEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseBlobEngine::CheckValidBase};

TmvBaseBlobEngine::TmvBaseBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]) {
  const int32_t fileNumber = aDescriptor->GetFileNumber();
  MV_ASSERT(fileNumber >= 0 && size_t(fileNumber) < aFiles.size() && aFiles[size_t(fileNumber)]);
  bbeBlobFile = aFiles[size_t(fileNumber)];
}

TmvBaseBlobEngine* TmvBaseBlobEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                   const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->GetBlobDescriptor(), aFiles, aTrans);
}

TmvBaseBlobEngine* TmvBaseBlobEngine::CreateEngine(TmvBaseBlobDescriptor* aDescriptor,
                                                   const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseBlobEngineException>(StaticClass, u"BLOB", aDescriptor->GetBlobEngine(),
                                                                   &TmvBlobEngineClassRef::Create);
  return create(aDescriptor, aFiles, aTrans);
}

void TmvBaseBlobEngine::CheckValidFromDescriptor(TmvBaseBlobDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseBlobEngineException>(StaticClass, u"BLOB", aDescriptor->GetBlobEngine())
      .CheckValidBase(aDescriptor);
}

void TmvBaseBlobEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  CheckValidFromDescriptor(aTableDescriptor->GetBlobDescriptor());
}

void TmvBaseBlobEngine::Rollback(TmvBaseTransaction* /*aTrans*/) {}

void TmvBaseBlobEngine::IncBlobNr(TmvBlobNr& /*aBlobNr*/) {}

namespace {

// The path components of a canonical path, without the empty one a
// trailing separator leaves.
std::vector<std::filesystem::path> Components(const std::filesystem::path& aPath) {
  std::vector<std::filesystem::path> parts;
  for (const auto& part : aPath)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// Whether aFile, with ".." and symbolic links resolved, lies in aFolder or
// below it: a file BLOB may only reach the files beside its table.
bool InsideFolder(const std::string& aFile, const std::string& aFolder) {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::weakly_canonical(aFile, error);
  if (error) return false;
  const std::filesystem::path folder = std::filesystem::weakly_canonical(aFolder, error);
  if (error) return false;
  const auto fileParts = Components(file), folderParts = Components(folder);
  return fileParts.size() > folderParts.size() && std::equal(folderParts.begin(), folderParts.end(), fileParts.begin());
}

uint32_t FileBlobError(int32_t aCode, const String& aName) {
  return EmvBaseException::mvSetMessage(aCode, Format(u"%s [%s]", {mvGetErrorString(aCode), aName}));
}

// An outside file open for reading; closed (and a failed close reported)
// by Close.
struct OutsideFile {
  int Handle = -1;
  // Only after another failure, which is what the caller hears of.
  ~OutsideFile() {
    if (Handle >= 0 && mvFileSystem().Close(Handle) != 0)
      mvStorageLogError(u"A file BLOB's outside file could not be closed after an earlier failure");
  }
  bool Close() {
    const int handle = Handle;
    Handle = -1;
    return mvFileSystem().Close(handle) == 0;
  }
};

// 0 with the file open, or the result code of the failure.
uint32_t OpenOutside(TmvBaseFile* aBlobFile, const String& aFileName, OutsideFile& aFile, String& aFullName) {
  aFullName = aBlobFile->ExpandRelativeFileName(aFileName);
  const std::string path = UTF8Encode(aFullName);
  if (!InsideFolder(path, UTF8Encode(aBlobFile->fiPath))) return FileBlobError(MVERR_FILEBLOBOPEN, aFullName);
  aFile.Handle = mvFileSystem().Open(path, O_RDONLY, 0);
  if (aFile.Handle < 0) return FileBlobError(MVERR_FILEBLOBOPEN, aFullName);
  return 0;
}

}  // namespace

uint32_t TmvBaseBlobEngine::ReadFileBlob(const String& aFileName, uint32_t aOffset, TStream* aStream, uint32_t aLen) {
  OutsideFile file;
  String name;
  if (const uint32_t result = OpenOutside(bbeBlobFile->_File(), aFileName, file, name)) return result;
  int64_t size = 0;
  if (mvFileSystem().Size(file.Handle, size) != 0) return FileBlobError(MVERR_FILEBLOBREAD, name);
  // Only what the file holds is read, however much was asked for.
  const uint32_t count = uint32_t(std::clamp<int64_t>(size - int64_t(aOffset), 0, aLen));
  std::vector<uint8_t> buffer(count);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t got = mvFileSystem().PRead(file.Handle, buffer.data() + done, count - done, int64_t(aOffset) + done);
    if (got < 0) return FileBlobError(MVERR_FILEBLOBREAD, name);
    if (got == 0) break;
    done += uint32_t(got);
  }
  if (!file.Close()) return FileBlobError(MVERR_FILEBLOBCLOSE, name);
  if (done > 0) aStream->WriteBuffer(buffer.data(), done);
  return 0;
}

uint32_t TmvBaseBlobEngine::GetFileBlobLength(const String& aFileName, uint32_t& aLength) {
  aLength = 0;
  OutsideFile file;
  String name;
  if (const uint32_t result = OpenOutside(bbeBlobFile->_File(), aFileName, file, name)) return result;
  int64_t size = 0;
  if (mvFileSystem().Size(file.Handle, size) != 0) return FileBlobError(MVERR_FILEBLOBREAD, name);
  if (!file.Close()) return FileBlobError(MVERR_FILEBLOBCLOSE, name);
  aLength = uint32_t(size);
  return 0;
}

void mvseBlobEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseBlobEngine::StaticClass); }

void mvseBlobEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseBlobEngine::StaticClass); }
