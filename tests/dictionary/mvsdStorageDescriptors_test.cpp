// Tests of the storage engine descriptors: defaults, stream bodies per peer
// version (golden bytes), the version and class refusals, file numbers with
// their checks and notifications, the sub-descriptors that a check adds,
// comparison, CompressType, copying and damaged streams.
#include "dictionary/mvsdStorageDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class StorageDescriptors : public DictionaryTest {};

constexpr int32_t kOldPeer = mvPeerVersionItemIDs - 1;

// A heap record with a heap, a block heap and a compression, all free
// standing (item ID 0), as written for this engine's peers and for old ones.
std::vector<uint8_t> FullHeapRecordBytes(bool aOldPeer, bool aWithCompression) {
  Bytes s;
  auto header = [&]() -> Bytes& { return aOldPeer ? s.oldHeader() : s.header(); };
  header().integer(aOldPeer ? 1 : 2).engine("Variable");
  if (!aOldPeer) s.integer(0);  // file number
  s.integer(aOldPeer ? 1 : 3).boolean(true).str("TmvBaseHeapDescriptor");
  header().integer(aOldPeer ? 1 : 2).engine().boolean(true).str("TmvBaseBlockHeapDescriptor");
  header().integer(1).engine();
  if (!aOldPeer) {
    s.boolean(aWithCompression);
    if (aWithCompression) s.str("TmvBaseRecordCompressionDescriptor").header().integer(1).engine("Smart");
  }
  return s.b;
}

std::unique_ptr<TmvHeapRecordDescriptor> FullHeapRecord() {
  auto record = std::make_unique<TmvHeapRecordDescriptor>(nullptr);
  record->SetRecordEngine(u"Variable");
  record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  record->AddRecordCompressionDescriptor();
  return record;
}

TEST_F(StorageDescriptors, DefaultsAndSections) {
  TmvBaseStreamDescriptor stream(nullptr);
  TmvHeapRecordDescriptor record(nullptr);
  TmvHeapBlobDescriptor blob(nullptr);
  TmvAdvAutoIncDescriptor autoInc(nullptr);
  TmvBaseRecordCompressionDescriptor compression(nullptr);
  EXPECT_EQ(stream.GetStreamEngine(), u"mv1xDefault");
  EXPECT_EQ(stream.GetHeaderSection(), "Stream");
  EXPECT_EQ(record.GetRecordEngine(), u"mv1xDefault");
  EXPECT_EQ(record.GetHeaderSection(), "Record");
  EXPECT_EQ(record.GetFileNumber(), 0);
  EXPECT_EQ(record.GetHeapDescriptor(), nullptr);
  EXPECT_EQ(record.GetRecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(blob.GetHeaderSection(), "Blob");
  EXPECT_EQ(blob.GetHeapDescriptor(), nullptr);
  EXPECT_EQ(autoInc.GetHeaderSection(), "AutoInc");
  EXPECT_EQ(autoInc.GetInitialValue(), 1u);
  EXPECT_EQ(autoInc.GetStep(), 1u);
  EXPECT_EQ(compression.GetRecordCompressionEngine(), u"Smart");
  EXPECT_EQ(compression.GetCompressType(), 0);

  // The table and the dictionary create theirs with the section they name.
  std::unique_ptr<TmvDictionaryItem> made(
      mvCreateStorageDescriptor(TmvHeapRecordDescriptor::StaticClass, nullptr, "Record2", u"RecordDescriptor"));
  auto* madeRecord = dynamic_cast<TmvHeapRecordDescriptor*>(made.get());
  ASSERT_NE(madeRecord, nullptr);
  EXPECT_EQ(madeRecord->GetHeaderSection(), "Record2");
}

TEST_F(StorageDescriptors, HeapRecordBodiesPerPeer) {
  auto record = FullHeapRecord();
  EXPECT_EQ(Written(*record), FullHeapRecordBytes(false, true));

  // Old peers: record version 1 without file number, heap record version 1
  // without compression part. Dropping the compression is noted.
  mvSetMissingInformation(false);
  EXPECT_EQ(Written(*record, kOldPeer), FullHeapRecordBytes(true, false));
  EXPECT_TRUE(mvGetMissingInformation());
  mvSetMissingInformation(false);

  TmvHeapRecordDescriptor back(nullptr);
  ReadAll(FullHeapRecordBytes(false, true), back);
  EXPECT_TRUE(back.IsEqual(record.get()));

  // A version-1 body without heap reads with a default heap.
  TmvHeapRecordDescriptor bare(nullptr);
  const std::vector<uint8_t> old = Written(bare, kOldPeer);
  EXPECT_FALSE(mvGetMissingInformation());  // nothing was dropped
  EXPECT_EQ(old, Bytes().oldHeader().integer(1).engine().integer(1).boolean(false).b);
  TmvHeapRecordDescriptor fromOld(nullptr);
  ReadAll(old, fromOld);
  ASSERT_NE(fromOld.GetHeapDescriptor(), nullptr);
  EXPECT_EQ(fromOld.GetHeapDescriptor()->GetBlockHeapDescriptor(), nullptr);
  EXPECT_EQ(fromOld.GetRecordCompressionDescriptor(), nullptr);

  // A version-3 body without sub-descriptors leaves the present ones.
  TmvHeapRecordDescriptor keeps(nullptr);
  keeps.AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Null");
  ReadAll(Written(bare), keeps);
  EXPECT_EQ(keeps.GetHeapDescriptor(), nullptr);
  ASSERT_NE(keeps.GetRecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(keeps.GetRecordCompressionDescriptor()->GetRecordCompressionEngine(), u"Null");

  // A record in another file than 0 loses its file number for old peers.
  TmvBaseRecordDescriptor inFile2(nullptr);
  inFile2.SetFileNumber(2);
  EXPECT_EQ(Written(inFile2, kOldPeer), Bytes().oldHeader().integer(1).engine().b);
  EXPECT_TRUE(mvGetMissingInformation());
  mvSetMissingInformation(false);
}

TEST_F(StorageDescriptors, OtherBodies) {
  struct Case {
    const char* name;
    std::function<std::unique_ptr<TmvDictionaryItem>()> make;
    std::vector<uint8_t> current, old;
  };
  const Case cases[] = {
      {"stream", [] { return std::make_unique<TmvBaseStreamDescriptor>(nullptr); },
       Bytes().header().integer(1).engine().b, Bytes().oldHeader().integer(1).engine().b},
      {"blob",
       [] {
         auto blob = std::make_unique<TmvBaseBlobDescriptor>(nullptr);
         blob->SetFileNumber(3);
         return blob;
       },
       Bytes().header().integer(2).engine().integer(3).b, Bytes().oldHeader().integer(1).engine().b},
      {"heap blob", [] { return std::make_unique<TmvHeapBlobDescriptor>(nullptr); },
       Bytes().header().integer(2).engine().integer(0).integer(2).boolean(false).b,
       Bytes().oldHeader().integer(1).engine().integer(1).boolean(false).b},
      {"autoinc",
       [] {
         auto autoInc = std::make_unique<TmvBaseAutoIncDescriptor>(nullptr);
         autoInc->SetFileNumber(1);
         return autoInc;
       },
       Bytes().header().integer(1).engine().integer(1).b, Bytes().oldHeader().integer(1).engine().integer(1).b},
      {"adv autoinc",
       [] {
         auto autoInc = std::make_unique<TmvAdvAutoIncDescriptor>(nullptr);
         autoInc->SetInitialValue(100);
         autoInc->SetStep(4294967295u);  // the top of the range: -1 in 32 bits
         return autoInc;
       },
       Bytes().header().integer(1).engine().integer(0).integer(2).integer(100).integer(-1).b,
       Bytes().oldHeader().integer(1).engine().integer(0).integer(2).integer(100).integer(-1).b},
      {"heap", [] { return std::make_unique<TmvBaseHeapDescriptor>(nullptr); },
       Bytes().header().integer(2).engine().boolean(false).b, Bytes().oldHeader().integer(1).engine().boolean(false).b},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto item = c.make();
    EXPECT_EQ(Written(*item), c.current);
    EXPECT_EQ(Written(*item, kOldPeer), c.old);
    auto back = c.make();
    back->Clear(false);
    ReadAll(c.current, *back);
    EXPECT_TRUE(back->IsEqual(item.get()));
  }
  // Old heap bodies without a block heap get the default one.
  TmvBaseHeapDescriptor heap(nullptr);
  ReadAll(Bytes().oldHeader().integer(1).engine("H").boolean(false).b, heap);
  EXPECT_EQ(heap.GetHeapEngine(), u"H");
  EXPECT_NE(heap.GetBlockHeapDescriptor(), nullptr);
}

TEST_F(StorageDescriptors, AdvancedAutoIncValues) {
  TmvAdvAutoIncDescriptor autoInc(nullptr);
  // Version 1 held the last value and the step: 41 and 2 give 43 and 2.
  ReadAll(Bytes().header().integer(1).engine().integer(0).integer(1).integer(41).integer(2).b, autoInc);
  EXPECT_EQ(autoInc.GetInitialValue(), 43u);
  EXPECT_EQ(autoInc.GetStep(), 2u);

  String message;
  EXPECT_EQ(RaisedCode([&] { autoInc.SetStep(0); }, &message), 10004u);
  EXPECT_EQ(message, u"0 is not a valid Step");
  EXPECT_EQ(RaisedCode([&] { autoInc.SetInitialValue(0); }, &message), 10004u);
  EXPECT_EQ(message, u"0 is not a valid InitialValue");
  EXPECT_EQ(autoInc.GetInitialValue(), 43u);  // unchanged
  // A stored step of 0 is damage, not a counter that never moves.
  EXPECT_EQ(RaisedCode([&] {
              ReadAll(Bytes().header().integer(1).engine().integer(0).integer(2).integer(5).integer(0).b, autoInc);
            }),
            10004u);

  TmvAdvAutoIncDescriptor other(nullptr);
  other.SetInitialValue(43);
  other.SetStep(2);
  EXPECT_TRUE(other.IsEqual(&autoInc));
  other.SetStep(3);
  EXPECT_FALSE(other.IsEqual(&autoInc));
  TmvBaseAutoIncDescriptor base(nullptr);
  EXPECT_FALSE(base.IsEqual(&autoInc));
  EXPECT_FALSE(autoInc.IsEqual(&base));
}

// Bodies whose version integer is 0, -2 or one above the highest accepted.
TEST_F(StorageDescriptors, UnknownBodyVersions) {
  struct Case {
    const char* name;
    std::function<std::unique_ptr<TmvDictionaryItem>()> make;
    std::function<std::vector<uint8_t>(int8_t)> body;
    int8_t highest;
  };
  const Case cases[] = {
      {"stream", [] { return std::make_unique<TmvBaseStreamDescriptor>(nullptr); },
       [](int8_t v) { return Bytes().header().integer(v).engine().b; }, 1},
      {"blob", [] { return std::make_unique<TmvBaseBlobDescriptor>(nullptr); },
       [](int8_t v) { return Bytes().header().integer(v).engine().integer(0).b; }, 2},
      {"autoinc", [] { return std::make_unique<TmvBaseAutoIncDescriptor>(nullptr); },
       [](int8_t v) { return Bytes().header().integer(v).engine().integer(0).b; }, 1},
      {"adv autoinc", [] { return std::make_unique<TmvAdvAutoIncDescriptor>(nullptr); },
       [](int8_t v) { return Bytes().header().integer(1).engine().integer(0).integer(v).integer(1).integer(1).b; },
       2},
      {"heap record", [] { return std::make_unique<TmvHeapRecordDescriptor>(nullptr); },
       [](int8_t v) {
         return Bytes().header().integer(2).engine().integer(0).integer(v).boolean(false).boolean(false).b;
       },
       3},
      {"heap", [] { return std::make_unique<TmvBaseHeapDescriptor>(nullptr); },
       [](int8_t v) { return Bytes().header().integer(v).engine().boolean(false).b; }, 2},
  };
  for (const Case& c : cases) {
    for (int8_t version : {int8_t(0), int8_t(-2), int8_t(c.highest + 1)}) {
      auto item = c.make();
      EXPECT_EQ(RaisedCode([&] { ReadAll(c.body(version), *item); }), 15498u) << c.name << " " << int(version);
    }
    auto item = c.make();
    ReadAll(c.body(c.highest), *item);
  }
}

TEST_F(StorageDescriptors, UnknownSubDescriptorClasses) {
  const std::vector<uint8_t> good = FullHeapRecordBytes(false, true);
  const struct {
    std::string className, family;
  } cases[] = {{"TmvBaseHeapDescriptor", "HeapDescriptor"},
               {"TmvBaseBlockHeapDescriptor", "BlockHeapDescriptor"},
               {"TmvBaseRecordCompressionDescriptor", "RecordCompressionDescriptor"}};
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = good;
    auto at = std::search(bytes.begin(), bytes.end(), c.className.begin(), c.className.end());
    ASSERT_NE(at, bytes.end());
    at[c.className.size() - 1] = 'X';
    TmvHeapRecordDescriptor record(nullptr);
    String message;
    EXPECT_EQ(RaisedCode([&] { ReadAll(bytes, record); }, &message), 15499u);
    EXPECT_EQ(Utf8(message), c.family + " class is not supported: " + c.className.substr(0, c.className.size() - 1) +
                                 "X");
  }
}

TEST_F(StorageDescriptors, FileNumbersFollowTheFiles) {
  TTestDictionary dd;
  dd.Files->AddFile(u"", mvbs4k, u"Data/DataDict File");
  TmvHeapRecordDescriptor record(&dd);
  TmvHeapBlobDescriptor blob(&dd);
  TmvAdvAutoIncDescriptor autoInc(&dd);

  String message;
  EXPECT_EQ(RaisedCode([&] { blob.SetFileNumber(1); }, &message), 9999u);
  EXPECT_EQ(message, u"Invalid file number: 1");
  EXPECT_EQ(RaisedCode([&] { record.SetFileNumber(-1); }), 9999u);
  EXPECT_EQ(blob.GetFileNumber(), 0);

  dd.Files->AddFile(u"blb", mvbs4k, u"");
  dd.Files->AddFile(u"rec", mvbs4k, u"");
  blob.SetFileNumber(1);
  record.SetFileNumber(2);
  const struct {
    int32_t file;
    const char16_t* message;
  } refusals[] = {{1, u"Cannot remove file 1 because it is still referenced by a blob engine"},
                  {2, u"Cannot remove file 2 because it is still referenced by a record engine"}};
  for (const auto& r : refusals) {
    EXPECT_EQ(RaisedCode([&] { dd.Files->RemoveFile(r.file); }, &message), 15502u);
    EXPECT_EQ(message, r.message);
  }
  record.SetFileNumber(0);
  autoInc.SetFileNumber(2);
  EXPECT_EQ(RaisedCode([&] { dd.Files->RemoveFile(2); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove file 2 because it is still referenced by an autoinc engine");
  EXPECT_EQ(dd.Files->FileCount(), 3);

  dd.Files->MoveFile(1, 2);  // blb and rec change places
  EXPECT_EQ(blob.GetFileNumber(), 2);
  EXPECT_EQ(autoInc.GetFileNumber(), 1);
  dd.Files->InsertFileAt(1, u"new", mvbs4k, u"");
  EXPECT_EQ(blob.GetFileNumber(), 3);
  EXPECT_EQ(autoInc.GetFileNumber(), 2);
  EXPECT_EQ(record.GetFileNumber(), 0);
  autoInc.SetFileNumber(0);
  dd.Files->RemoveFile(2);
  EXPECT_EQ(blob.GetFileNumber(), 2);

  // A number read from a stream is checked once the files are known.
  TmvBaseAutoIncDescriptor read(&dd);
  ReadAll(Bytes().header().integer(1).engine().integer(7).b, read);
  EXPECT_EQ(RaisedCode([&] { read.CheckValid(false); }, &message), 9999u);
  EXPECT_EQ(message, u"Invalid file number: 7");

  // A destroyed descriptor no longer holds its file.
  { TmvBaseRecordDescriptor(&dd).SetFileNumber(1); }
  EXPECT_EQ(RaisedCode([&] { dd.Files->RemoveFile(1); }), 0u);
}

TEST_F(StorageDescriptors, WithoutFilesAnyNumberIsKept) {
  TmvBaseRecordDescriptor record(nullptr);
  record.SetFileNumber(12);
  record.CheckValid(true);
  EXPECT_EQ(record.GetFileNumber(), 12);
}

TEST_F(StorageDescriptors, CheckAddsHeapAndBlockHeap) {
  TTestDictionary dd;
  dd.Files->AddFile(u"", mvbs4k, u"");
  TmvHeapRecordDescriptor record(&dd);
  TmvHeapBlobDescriptor blob(&dd);
  record.CheckValid(false);
  blob.CheckValid(false);
  for (TmvBaseHeapDescriptor* heap : {record.GetHeapDescriptor(), blob.GetHeapDescriptor()}) {
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(&heap->ClassType(), &TmvBaseHeapDescriptor::StaticClass);
    ASSERT_NE(heap->GetBlockHeapDescriptor(), nullptr);
    EXPECT_EQ(heap->GetBlockHeapDescriptor()->GetBlockHeapEngine(), u"mv1xDefault");
  }
  EXPECT_EQ(record.GetRecordCompressionDescriptor(), nullptr);
  // Sub-descriptors take their IDs from the dictionary like every item.
  EXPECT_GT(record.GetHeapDescriptor()->GetID(), blob.GetID());
}

TEST_F(StorageDescriptors, Equality) {
  auto a = FullHeapRecord();
  auto b = FullHeapRecord();
  EXPECT_TRUE(a->IsEqual(b.get()));
  b->GetRecordCompressionDescriptor()->SetRecordCompressionEngine(u"SMART");  // case does not count
  b->SetRecordEngine(u"VARIABLE");
  b->GetRecordCompressionDescriptor()->SetCompressType(11);  // takes no part
  EXPECT_TRUE(a->IsEqual(b.get()));
  TmvHeapRecordDescriptor otherSection(nullptr, "Elsewhere");  // sections take no part
  otherSection.SetRecordEngine(u"Variable");
  otherSection.AddHeapDescriptor()->AddBlockHeapDescriptor();
  otherSection.AddRecordCompressionDescriptor();
  EXPECT_TRUE(a->IsEqual(&otherSection));

  const std::function<void(TmvHeapRecordDescriptor&)> differences[] = {
      [](TmvHeapRecordDescriptor& r) { r.SetFileNumber(1); },
      [](TmvHeapRecordDescriptor& r) { r.SetRecordEngine(u"Variable2"); },
      [](TmvHeapRecordDescriptor& r) { r.RemoveRecordCompressionDescriptor(); },
      [](TmvHeapRecordDescriptor& r) { r.GetHeapDescriptor()->RemoveBlockHeapDescriptor(); },
      [](TmvHeapRecordDescriptor& r) { r.GetHeapDescriptor()->GetBlockHeapDescriptor()->SetBlockHeapEngine(u"x"); },
      [](TmvHeapRecordDescriptor& r) { r.GetHeapDescriptor()->SetHeapEngine(u"x"); },
  };
  for (size_t i = 0; i < std::size(differences); ++i) {
    auto c = FullHeapRecord();
    differences[i](*c);
    EXPECT_FALSE(a->IsEqual(c.get())) << i;
    EXPECT_FALSE(c->IsEqual(a.get())) << i;
  }
  TmvBaseRecordDescriptor base(nullptr);
  base.SetRecordEngine(u"Variable");
  EXPECT_FALSE(base.IsEqual(a.get()));
  EXPECT_FALSE(a->IsEqual(&base));
}

TEST_F(StorageDescriptors, CompressTypeLivesInACustomString) {
  TmvBaseRecordCompressionDescriptor compression(nullptr);
  compression.SetCompressType(0);  // nothing to remove, nothing created
  EXPECT_FALSE(compression.IsCustomStringsStored());
  compression.SetCompressType(11);
  ASSERT_EQ(compression.GetCustomStrings().Count(), 1);
  EXPECT_EQ(compression.GetCustomStrings()[0], u"CompressType=11");
  EXPECT_EQ(compression.GetCompressType(), 11);

  TmvBaseRecordCompressionDescriptor back(nullptr);
  ReadAll(Written(compression), back);  // it travels in the item header
  EXPECT_EQ(back.GetCompressType(), 11);
  compression.SetCompressType(0);
  EXPECT_FALSE(compression.IsCustomStringsStored());

  for (const char16_t* bad : {u"CompressType=x", u"CompressType=256", u"CompressType=-1", u"CompressType="}) {
    compression.GetCustomStrings().Clear();
    compression.GetCustomStrings().Add(bad);
    EXPECT_THROW(compression.GetCompressType(), EConvertError) << Utf8(bad);
  }
}

TEST_F(StorageDescriptors, ReadOnlyDictionaryRefusesChanges) {
  TTestDictionary dd;
  dd.Files->AddFile(u"", mvbs4k, u"");
  TmvHeapRecordDescriptor record(&dd);
  TmvBaseRecordCompressionDescriptor* compression = record.AddRecordCompressionDescriptor();
  TmvHeapBlobDescriptor blob(&dd);
  TmvAdvAutoIncDescriptor autoInc(&dd);
  TmvBaseStreamDescriptor stream(&dd);
  dd.ReadOnly = true;
  const std::function<void()> changes[] = {
      [&] { record.SetRecordEngine(u"x"); },
      [&] { record.SetFileNumber(0); },
      [&] { record.AddHeapDescriptor(); },
      [&] { record.RemoveRecordCompressionDescriptor(); },
      [&] { compression->SetRecordCompressionEngine(u"x"); },
      [&] { blob.SetBlobEngine(u"x"); },
      [&] { blob.AddHeapDescriptor(); },
      [&] { autoInc.SetStep(2); },
      [&] { autoInc.SetInitialValue(2); },
      [&] { autoInc.SetAutoIncEngine(u"x"); },
      [&] { stream.SetStreamEngine(u"x"); },
  };
  for (const auto& change : changes) EXPECT_EQ(RaisedCode(change), 15500u);
  EXPECT_EQ(record.GetRecordEngine(), u"mv1xDefault");
  EXPECT_NE(record.GetRecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(autoInc.GetStep(), 1u);
  compression->SetCompressType(3);  // written directly, as the compression engines expect
  EXPECT_EQ(compression->GetCompressType(), 3);
}

// A class without constructor cannot replace a sub-descriptor; the present
// one stays.
class TTestAbstractHeap : public TmvBaseHeapDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvBaseHeapDescriptor::TmvBaseHeapDescriptor;
};
constinit const TmvDictionaryItemClassRef TTestAbstractHeap::StaticClass{
    {{u"TTestAbstractHeap", &TmvBaseHeapDescriptor::StaticClass}, &TmvBaseHeapDescriptor::Registry, nullptr},
    nullptr};

TEST_F(StorageDescriptors, RefusedClassKeepsTheSubDescriptor) {
  TmvHeapBlobDescriptor blob(nullptr);
  TmvBaseHeapDescriptor* heap = blob.AddHeapDescriptor();
  String message;
  EXPECT_EQ(RaisedCode([&] { blob.AddHeapDescriptor(&TTestAbstractHeap::StaticClass); }, &message), 15499u);
  EXPECT_EQ(message, u"HeapDescriptor class is not supported: TTestAbstractHeap");
  EXPECT_EQ(blob.GetHeapDescriptor(), heap);
}

TEST_F(StorageDescriptors, AssignCopiesExactly) {
  TTestDictionary dd;
  TmvHeapRecordDescriptor source(&dd);
  source.SetRecordEngine(u"Variable");
  TmvHeapRecordDescriptor target(&dd, "Other");
  target.AddHeapDescriptor()->AddBlockHeapDescriptor();
  target.AddRecordCompressionDescriptor()->SetCompressType(4);
  const int32_t id = target.GetID();
  target.Assign(&source);
  EXPECT_TRUE(target.IsEqual(&source));
  EXPECT_EQ(target.GetHeapDescriptor(), nullptr);  // the copy has what the source has, no more
  EXPECT_EQ(target.GetRecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(target.GetID(), id);
  EXPECT_EQ(target.GetHeaderSection(), "Other");  // not streamed

  source.AddHeapDescriptor()->SetHeapEngine(u"H");
  target.Assign(&source);
  ASSERT_NE(target.GetHeapDescriptor(), nullptr);
  EXPECT_NE(target.GetHeapDescriptor(), source.GetHeapDescriptor());
  EXPECT_TRUE(target.IsEqual(&source));

  TmvAdvAutoIncDescriptor autoInc(&dd), autoIncCopy(&dd);
  autoInc.SetInitialValue(7);
  autoIncCopy.Assign(&autoInc);
  EXPECT_EQ(autoIncCopy.GetInitialValue(), 7u);
}

TEST_F(StorageDescriptors, DamagedStreams) {
  std::unique_ptr<TmvHeapRecordDescriptor> record;
  ReadEveryDamage(
      FullHeapRecordBytes(false, true),
      [&](TmvReader& r) {
        record = std::make_unique<TmvHeapRecordDescriptor>(nullptr);
        record->LoadFromReader(r);
        record->CheckValid(false);
      },
      [&] {
        ASSERT_NE(record->GetHeapDescriptor(), nullptr);
        EXPECT_NE(record->GetHeapDescriptor()->GetBlockHeapDescriptor(), nullptr);
      });
  TmvAdvAutoIncDescriptor sample(nullptr);
  sample.SetInitialValue(1000);
  sample.SetStep(300);
  std::unique_ptr<TmvAdvAutoIncDescriptor> autoInc;
  ReadEveryDamage(
      Written(sample),
      [&](TmvReader& r) {
        autoInc = std::make_unique<TmvAdvAutoIncDescriptor>(nullptr);
        autoInc->LoadFromReader(r);
      },
      [&] {
        EXPECT_GE(autoInc->GetInitialValue(), 1u);
        EXPECT_GE(autoInc->GetStep(), 1u);
      });
}

}  // namespace
