// Storage: file and path helpers. See mvsrFileUtils.h.
#include "storage/files/mvsrFileUtils.h"

#include <filesystem>

#include "foundation/errors/mvllErrors.h"
#include "storage/files/mvsrFileSystem.h"

namespace {

// The folder that holds a path's last name ("." for a bare name).
std::string folderOf(const std::string& aPath) {
  const std::string folder = std::filesystem::path(aPath).parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}

}  // namespace

void mvDeleteFile(const String& aFileName) {
  const std::string path = UTF8Encode(aFileName);
  TmvFileSystem& fs = mvFileSystem();
  if (fs.Unlink(path) != 0 || fs.SyncFolder(folderOf(path)) != 0)
    throw mvCreateOSExceptionFmt<EmvFileManagementException>(MVERR_FILEDELETE, u"DeleteFile (\"%s\")", {aFileName});
}

void mvRenameFile(const String& aOldName, const String& aNewName) {
  const std::string from = UTF8Encode(aOldName);
  const std::string to = UTF8Encode(aNewName);
  TmvFileSystem& fs = mvFileSystem();
  // The name leaves one folder and enters the other: both must be synced.
  bool done = fs.Rename(from, to) == 0 && fs.SyncFolder(folderOf(to)) == 0;
  if (done && folderOf(from) != folderOf(to)) done = fs.SyncFolder(folderOf(from)) == 0;
  if (!done)
    throw mvCreateOSExceptionFmt<EmvFileManagementException>(MVERR_FILERENAME, u"RenameFile (from \"%s\" to \"%s\")",
                                                             {aOldName, aNewName});
}

String mvJoinPath(const String& aFolder, const String& aName) {
  if (aFolder.empty() || aFolder.back() == u'/') return aFolder + aName;
  return aFolder + u'/' + aName;
}

String mvAddExtension(const String& aName, const String& aExtension) { return aName + u'.' + aExtension; }

String mvAbsoluteFileName(const String& aName) {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::absolute(std::filesystem::path(UTF8Encode(aName)), error);
  if (error || path.empty()) return aName;
  return UTF8ToString(path.lexically_normal().string());
}
