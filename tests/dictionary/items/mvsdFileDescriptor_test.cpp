// Tests of file descriptors: adding, inserting, moving, removing and renaming
// files with their refusals, the renumbering of the descriptors that hold
// file numbers, block sizes and the stream form.
#include "dictionary/items/mvsdFileDescriptor.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class FileDescriptor : public DictionaryTest {};

std::vector<String> Extensions(TmvFilesDescriptor& aFiles) {
  std::vector<String> list;
  for (int32_t i = 0; i < aFiles.FileCount(); ++i) {
    EXPECT_EQ(aFiles.FileDescriptor(i)->Number(), i);
    list.push_back(aFiles.FileDescriptor(i)->GetExtension());
  }
  return list;
}

TEST_F(FileDescriptor, AddingAndRenaming) {
  TTestDictionary dd;
  TmvFilesDescriptor& files = *dd.Files;
  String message;
  EXPECT_EQ(RaisedCode([&] { files.AddFile(u"idx", mvbs4k, u""); }, &message), 10042u);
  EXPECT_EQ(message, u"Invalid file extension: \"idx\"");
  TmvFileDescriptor* base = files.AddFile(u"", mvbs8k, u"Data/DataDict File");
  EXPECT_EQ(base->GetBlockSizeBytes(), 8192);
  EXPECT_EQ(base->GetInitialSize(), 4);
  EXPECT_EQ(base->GetGrowSize(), 1);
  EXPECT_EQ(RaisedCode([&] { files.AddFile(u"", mvbs4k, u""); }, &message), 10042u);
  EXPECT_EQ(message, u"Invalid file extension: \"\"");
  files.AddFile(u"idx", mvbs4k, u"indexes");
  EXPECT_EQ(RaisedCode([&] { files.AddFile(u"IDX", mvbs4k, u""); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated file extension: \"IDX\"");
  EXPECT_EQ(RaisedCode([&] { files.AddFile(u"a/b", mvbs4k, u""); }), 10042u);
  files.AddFile(u"blb", mvbs16k, u"");
  EXPECT_EQ(files.GetFileFromExt(u"BLB"), 2);
  EXPECT_EQ(files.GetFileFromExt(u"none"), -1);

  files.RenameFile(1, u"IDX");  // the same extension in other case
  EXPECT_EQ(files.FileDescriptor(1)->GetExtension(), u"IDX");
  EXPECT_EQ(RaisedCode([&] { files.RenameFile(1, u"blb"); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated file extension: \"blb\"");
  EXPECT_EQ(RaisedCode([&] { files.RenameFile(0, u"x"); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 0");
  EXPECT_EQ(RaisedCode([&] { files.RenameFile(u"blb", u""); }), 10042u);
  files.RenameFile(u"blb", u"dat");
  EXPECT_EQ(Extensions(files), (std::vector<String>{u"", u"IDX", u"dat"}));

  EXPECT_EQ(RaisedCode([&] { base->SetBlockSizeBytes(3000); }, &message), 10004u);
  EXPECT_EQ(message, u"3000 is not a valid BlockSize");
  base->SetBlockSizeBytes(65536);
  EXPECT_EQ(base->GetBlockSize(), mvbs64k);
  EXPECT_EQ(base->UsableBlockSize(), 65536 - 64);  // the dictionary's answer
  base->SetFileID(u"{id}");
  EXPECT_EQ(base->GetFileID(), u"{id}");
  EXPECT_EQ(files.FileDescriptor(1)->GetFileID(), u"");
}

TEST_F(FileDescriptor, MovingRemovingAndHolders) {
  TTestDictionary dd;
  TmvFilesDescriptor& files = *dd.Files;
  files.AddFile(u"", mvbs4k, u"");
  files.AddFile(u"a", mvbs4k, u"");
  files.AddFile(u"b", mvbs4k, u"");
  TTestHolder index(&dd, 0, 2);  // an index that lives in file 2

  String message;
  EXPECT_EQ(RaisedCode([&] { files.RemoveFile(0); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove the base file descriptor");
  EXPECT_EQ(RaisedCode([&] { files.RemoveFile(2); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove file 2 because it is still referenced by an index");
  EXPECT_EQ(files.FileCount(), 3);
  files.RemoveFile(7);  // nothing
  EXPECT_EQ(RaisedCode([&] { files.MoveFile(1, 0); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 0");
  EXPECT_EQ(RaisedCode([&] { files.MoveFile(3, 1); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 3");

  files.MoveFile(2, 1);
  EXPECT_EQ(Extensions(files), (std::vector<String>{u"", u"b", u"a"}));
  EXPECT_EQ(index.FileNumber, 1);
  files.MoveFile(1, 2);
  EXPECT_EQ(index.FileNumber, 2);

  // Removing file 1 while the index lives in file 2 renumbers it to 1.
  files.RemoveFile(1);
  EXPECT_EQ(Extensions(files), (std::vector<String>{u"", u"b"}));
  EXPECT_EQ(index.FileNumber, 1);

  files.InsertFileAt(1, u"c", mvbs4k, u"");
  EXPECT_EQ(Extensions(files), (std::vector<String>{u"", u"c", u"b"}));
  EXPECT_EQ(index.FileNumber, 2);
  // The base file keeps its place: nothing goes in before it.
  EXPECT_EQ(RaisedCode([&] { files.InsertFileAt(0, u"d", mvbs4k, u""); }, &message), 9999u);
  EXPECT_EQ(RaisedCode([&] { files.InsertFileAt(4, u"d", mvbs4k, u""); }), 9999u);
  EXPECT_EQ(RaisedCode([&] { files.Clear(true); }), 15502u);
  EXPECT_EQ(files.FileCount(), 3);

  TmvFilesDescriptor empty(&dd);
  empty.InsertFileAt(0, u"", mvbs4k, u"");
  EXPECT_EQ(empty.FileCount(), 1);
}

TEST_F(FileDescriptor, StreamAndChecks) {
  TTestDictionary dd;
  TmvFilesDescriptor& files = *dd.Files;
  files.AddFile(u"", mvbs4k, u"Data/DataDict File");
  files.AddFile(u"idx", mvbs32k, u"");
  const std::vector<uint8_t> written = Written(files);
  TmvFilesDescriptor back(&dd);
  ReadAll(written, back);
  EXPECT_TRUE(back.IsEqual(&files));
  back.CheckValid(true);
  EXPECT_EQ(RaisedCode([&] { Written(files, mvPeerVersionItemIDs - 1); }), 12039u);

  // One file in the stream form: class, extension, header, 1, description,
  // block size in bytes, initial and grow sizes.
  std::vector<uint8_t> stream;
  auto add = [&](std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) stream.push_back(b);
  };
  add({0x02, 0x03, 0x01, 0x00, 0x02, 0x02, 0x12, 0, 0, 0, 0, 0x02, 0x01, 0x02, 0x01});  // header, 1, one file
  add({0x06, 0x11});
  for (char c : std::string("TmvFileDescriptor")) stream.push_back(uint8_t(c));
  add({0x06, 0x01, 'x'});                                                // extension "x"
  add({0x02, 0x03, 0x01, 0x00, 0x02, 0x09, 0x12, 0, 0, 0, 0});           // header
  add({0x02, 0x01, 0x12, 0, 0, 0, 0});                                   // 1, description ""
  add({0x04, 0xB8, 0x0B, 0x00, 0x00});                                   // 3000 bytes
  add({0x02, 0x04, 0x02, 0x01});                                         // initial 4, grow 1
  String message;
  EXPECT_EQ(RaisedCode([&] { ReadAll(stream, back); }, &message), 10004u);
  EXPECT_EQ(message, u"3000 is not a valid BlockSize");
  // 4096 reads, and file 0 takes no extension whatever is stored.
  stream[stream.size() - 8] = 0x00;
  stream[stream.size() - 7] = 0x10;
  ReadAll(stream, back);
  ASSERT_EQ(back.FileCount(), 1);
  EXPECT_EQ(back.FileDescriptor(0)->GetExtension(), u"");
  back.CheckValid(false);
  stream[stream.size() - 3] = 0x00;  // initial size 0
  ReadAll(stream, back);
  EXPECT_EQ(RaisedCode([&] { back.CheckValid(false); }, &message), 10004u);
  EXPECT_EQ(message, u"0 is not a valid InitialSize");

  TmvFilesDescriptor none(&dd);
  EXPECT_EQ(RaisedCode([&] { none.CheckValid(false); }, &message), 10003u);
  EXPECT_EQ(message, u"FilesDescriptor requires a minimum of one file");
}

// Damaged files descriptors fail or read into files whose sizes are sound.
TEST_F(FileDescriptor, DamagedStreams) {
  TTestDictionary dd;
  dd.Files->AddFile(u"", mvbs16k, u"Data/DataDict File");
  dd.Files->AddFile(u"idx", mvbs4k, u"");
  std::unique_ptr<TmvFilesDescriptor> files;
  ReadEveryDamage(
      Written(*dd.Files),
      [&](TmvReader& r) {
        files = std::make_unique<TmvFilesDescriptor>(&dd);
        files->LoadFromReader(r);
        files->CheckValid(false);
      },
      [&] {
        for (int32_t i = 0; i < files->FileCount(); ++i) {
          TmvFileDescriptor* file = files->FileDescriptor(i);
          EXPECT_GE(file->GetInitialSize(), 1);
          EXPECT_GE(file->GetGrowSize(), 1);
          EXPECT_GE(file->GetBlockSizeBytes(), 4096);
        }
      });
}

}  // namespace
