// Tests of the file and path helpers: joining, extensions, and deleting and
// renaming files durably, with the system's failures reported.
#include <cerrno>

#include "storage/StorageTestSupport.h"
#include "storage/files/mvsrFileUtils.h"

namespace {

using namespace storage_test;

TEST(FileUtils, PathsAreJoinedWithExactlyOneSeparator) {
  const struct {
    const char16_t* Folder;
    const char16_t* Name;
    const char16_t* Joined;
  } cases[] = {{u"", u"qbdb.mv1", u"qbdb.mv1"},
               {u"/data/", u"qbdb.mv1", u"/data/qbdb.mv1"},
               {u"/data", u"qbdb.mv1", u"/data/qbdb.mv1"},
               {u"/", u"qbdb.mv1", u"/qbdb.mv1"},
               {u"data", u"", u"data/"}};
  for (const auto& c : cases) EXPECT_EQ(mvJoinPath(c.Folder, c.Name), c.Joined) << UTF8Encode(c.Folder);
  EXPECT_EQ(mvAddExtension(u"qbdb", u"mv1"), u"qbdb.mv1");
  EXPECT_EQ(mvAddExtension(u"qbdb.old", u""), u"qbdb.old.");
}

TEST_F(StorageTest, FilesAreDeletedAndRenamedWithTheirFolderSynced) {
  WriteBytes(folder.File("a.mv1"), {1, 2, 3});
  const uint64_t syncs = fs.Calls(fopSync);
  mvRenameFile(folder.Name("a.mv1"), folder.Name("b.mv1"));
  EXPECT_EQ(fs.Calls(fopSync), syncs + 1);
  EXPECT_FALSE(std::filesystem::exists(folder.File("a.mv1")));
  EXPECT_EQ(ReadBytes(folder.File("b.mv1")), (std::vector<uint8_t>{1, 2, 3}));
  // Into another folder: both folders' names change.
  std::filesystem::create_directory(folder.File("sub"));
  mvRenameFile(folder.Name("b.mv1"), folder.Name("sub/c.mv1"));
  EXPECT_EQ(fs.Calls(fopSync), syncs + 3);
  mvDeleteFile(folder.Name("sub/c.mv1"));
  EXPECT_EQ(fs.Calls(fopSync), syncs + 4);
  EXPECT_FALSE(std::filesystem::exists(folder.File("sub/c.mv1")));
}

TEST_F(StorageTest, AFailedDeleteOrRenameSaysWhatAndWhy) {
  String text;
  EXPECT_EQ(CodeOf([&] { mvDeleteFile(folder.Name("none.mv1")); }, &text), 15393u);
  EXPECT_NE(text.find(u"DeleteFile (\"" + folder.Name("none.mv1") + u"\")"), String::npos) << UTF8Encode(text);
  EXPECT_NE(text.find(SysErrorMessage(ENOENT)), String::npos) << UTF8Encode(text);
  EXPECT_EQ(CodeOf([&] { mvRenameFile(folder.Name("none.mv1"), folder.Name("x.mv1")); }, &text), 15394u);
  EXPECT_NE(text.find(u"RenameFile (from \"" + folder.Name("none.mv1") + u"\" to \"" + folder.Name("x.mv1") + u"\")"),
            String::npos)
      << UTF8Encode(text);
  // A change that is not on stable storage has not succeeded.
  WriteBytes(folder.File("a.mv1"), {1});
  fs.FailAt(fopSync, 1, EIO);
  EXPECT_EQ(CodeOf([&] { mvDeleteFile(folder.Name("a.mv1")); }), 15393u);
  WriteBytes(folder.File("b.mv1"), {1});
  fs.FailAt(fopSync, 1, EIO);
  EXPECT_EQ(CodeOf([&] { mvRenameFile(folder.Name("b.mv1"), folder.Name("c.mv1")); }), 15394u);
  try {
    mvDeleteFile(folder.Name("none.mv1"));
  } catch (const EmvFileManagementException& e) {
    EXPECT_EQ(e.OSError(), uint32_t(ENOENT));
  }
}

}  // namespace
