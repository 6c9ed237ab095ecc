// Storage and custom descriptors with the engine's own allocator (the
// pooled one in the plain tree) across full stops and starts of the
// dictionary: a table's storage tree and custom list are built, streamed,
// read back and copied in every round, after the registries that resolve
// their class names were emptied and filled again.
#include <gtest/gtest.h>

#include "dictionary/mvsdCustomDescriptors.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

TEST(StorageDescriptorsRestart, BuildStreamAndCopyInEveryRound) {
  for (int round = 0; round < 3; ++round) {
    mvDictionaryInit();
    {
      TTestDictionary dd;
      dd.Files->AddFile(u"", mvbs4k, u"Data/DataDict File");
      dd.Files->AddFile(u"blb", mvbs4k, u"");
      TmvHeapRecordDescriptor record(&dd);
      record.SetRecordEngine(u"Variable");
      record.AddRecordCompressionDescriptor()->SetCompressType(uint8_t(round + 1));
      TmvHeapBlobDescriptor blob(&dd);
      blob.SetFileNumber(1);
      TmvAdvAutoIncDescriptor autoInc(&dd);
      autoInc.SetStep(uint32_t(round + 2));
      TmvCustomDescsDescriptor customs(&dd);
      customs.AddCustom(u"Fulltext");
      customs.AddCustom(u"Audit" + mvIntToStr(round));
      record.CheckValid(true);
      blob.CheckValid(true);

      TmvHeapRecordDescriptor recordBack(&dd);
      ReadAll(Written(record), recordBack);
      EXPECT_TRUE(recordBack.IsEqual(&record));
      EXPECT_EQ(recordBack.GetRecordCompressionDescriptor()->GetCompressType(), round + 1);
      TmvHeapBlobDescriptor blobCopy(&dd);
      blobCopy.Assign(&blob);
      EXPECT_TRUE(blobCopy.IsEqual(&blob));
      TmvAdvAutoIncDescriptor autoIncBack(&dd);
      ReadAll(Written(autoInc), autoIncBack);
      EXPECT_EQ(autoIncBack.GetStep(), uint32_t(round + 2));
      TmvCustomDescsDescriptor customsCopy(&dd);
      customsCopy.Assign(&customs);
      EXPECT_TRUE(customsCopy.IsEqual(&customs));
    }
    mvDictionaryFini();
  }
}

}  // namespace
