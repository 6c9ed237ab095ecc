// Tests of the sub-engine framework: registries by engine name, creation
// from descriptors, and the whole-dictionary check.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "dictionary/mvsdDataDictionary.h"
#include "storage/SubEngineTestSupport.h"
#include "storage/heaps/mvseHeapEngine.h"
#include "storage/mvsrUnits.h"
#include "storage/records/mvseStaticRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"

namespace storage_test {
namespace {

inline constinit const TmvStreamEngineClassRef kStandInStreamEngine{
    {{u"TStandInStreamEngine", &TmvBaseStreamEngine::StaticClass},
     &TmvBaseStreamEngine::GetList,
     &TmvBaseStreamEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseStreamEngine::CheckValidDescriptor};

class SubEngineTest : public ::testing::Test {
 protected:
  // The families start empty: storage's own engines are set aside.
  void SetUp() override {
    mvStorageInit();
    setAside = std::make_unique<TRealEnginesSetAside>();
  }
  void TearDown() override {
    setAside.reset();
    mvStorageFini();
  }
  std::unique_ptr<TRealEnginesSetAside> setAside;

  // The code and message of the engine exception f raises; 0 when none.
  template <typename F>
  static int32_t CodeOf(F f, String* aText = nullptr) {
    try {
      f();
    } catch (const EmvBaseException& e) {
      if (aText) *aText = e.ProcessedErrorString();
      return int32_t(e.ErrorCode());
    }
    return 0;
  }
};

TEST_F(SubEngineTest, RegistryFindsNamesWithoutCaseRefusesDuplicatesAndGoesWithItsLastEntry) {
  TmvBaseSubEngine::Register(TStandInRecordEngine::StaticClass, u"mv1xDefault");
  TmvBaseSubEngine::Register(TStandInRecordEngine::StaticClass, u"Static");
  EXPECT_EQ(TmvBaseSubEngine::FindEngineClass(TmvBaseRecordEngine::StaticClass, u"mv1xdefault"),
            &TStandInRecordEngine::StaticClass);
  EXPECT_EQ(TmvBaseSubEngine::FindEngineClass(TmvBaseRecordEngine::StaticClass, u"STATIC"),
            &TStandInRecordEngine::StaticClass);
  // Each family has its own registry.
  EXPECT_EQ(TmvBaseSubEngine::FindEngineClass(TmvBaseBlobEngine::StaticClass, u"mv1xDefault"), nullptr);
  EXPECT_ANY_THROW(TmvBaseSubEngine::Register(TStandInRecordEngine::StaticClass, u"MV1XDEFAULT"));

  TmvBaseSubEngine::Unregister(TStandInRecordEngine::StaticClass);
  EXPECT_EQ(*TmvBaseRecordEngine::GetList(), nullptr);
  EXPECT_EQ(TmvBaseSubEngine::FindEngineClass(TmvBaseRecordEngine::StaticClass, u"mv1xDefault"), nullptr);
}

TEST_F(SubEngineTest, CreateEngineMakesTheNamedClassOrNoneWithoutDescriptor) {
  TStandInEngines engines;
  TmvDataDictionary dd;
  TmvBlockAccessArray files;
  std::unique_ptr<TmvBaseRecordEngine> record(TmvBaseRecordEngine::CreateEngine(&dd, files, nullptr));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->ClassName(), u"TStandInRecordEngine");
  EXPECT_EQ(record->bseID, dd.GetRecordDescriptor()->GetID());
  // No auto-increment descriptor: no engine and no error.
  EXPECT_EQ(TmvBaseAutoIncEngine::CreateEngine(&dd, files, nullptr), nullptr);
  TmvBaseAutoIncEngine::CheckValidFromDictionary(&dd);
  // A registered class without a constructor cannot be made.
  dd.AddAutoIncDescriptor();
  String text;
  EXPECT_EQ(CodeOf([&] { TmvBaseAutoIncEngine::CreateEngine(&dd, files, nullptr); }, &text), 15503);
  EXPECT_NE(text.find(u"Unknown autoinc engine: \"mv1xDefault\""), String::npos) << UTF8Encode(text);
}

// A table naming an engine the process does not have is refused, with the
// family's word and the name, at the root and in a nested table alike.
TEST_F(SubEngineTest, CheckValidAllRefusesUnknownEngineNamesEverywhere) {
  TStandInEngines engines;
  struct Case {
    const char* what;
    std::function<void(TmvDataDictionary&)> spoil;
    const char16_t* message;
  };
  const Case cases[] = {
      {"nothing", [](TmvDataDictionary&) {}, nullptr},
      {"record", [](TmvDataDictionary& dd) { dd.GetRecordDescriptor()->SetRecordEngine(u"Nothing"); },
       u"Unknown Record engine: \"Nothing\""},
      {"nested record",
       [](TmvDataDictionary& dd) {
         dd.GetTablesDescriptor()->AddTable(u"inner")->AddRecordDescriptor()->SetRecordEngine(u"Nothing");
       },
       u"Unknown Record engine: \"Nothing\""},
      {"indices", [](TmvDataDictionary& dd) { dd.GetIndicesDescriptor()->SetIndicesEngine(u"None"); },
       u"Unknown indices engine: \"None\""},
      {"index", [](TmvDataDictionary& dd) { dd.GetIndicesDescriptor()->IndexDescriptor(0)->SetIndexEngine(u"B"); },
       u"Unknown index engine: \"B\""},
      {"stream", [](TmvDataDictionary& dd) { dd.GetStreamDescriptor()->SetStreamEngine(u"S"); },
       u"Unknown stream engine: \"S\""},
      {"blob", [](TmvDataDictionary& dd) { dd.AddBlobDescriptor()->SetBlobEngine(u"X"); },
       u"Unknown BLOB engine: \"X\""},
      // The auto-increment family runs first.
      {"order",
       [](TmvDataDictionary& dd) {
         dd.GetRecordDescriptor()->SetRecordEngine(u"Nothing");
         dd.AddAutoIncDescriptor()->SetAutoIncEngine(u"A");
       },
       u"Unknown autoinc engine: \"A\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TmvDataDictionary dd;
    c.spoil(dd);
    String text;
    const int32_t code = CodeOf([&] { TmvBaseSubEngine::CheckValidAll(&dd); }, &text);
    if (!c.message) {
      EXPECT_EQ(code, 0) << UTF8Encode(text);
      continue;
    }
    EXPECT_EQ(code, 15503);
    EXPECT_NE(text.find(c.message), String::npos) << UTF8Encode(text);
  }
}

TEST_F(SubEngineTest, HeapChecksWantABlockHeapWithAKnownEngine) {
  TmvBaseHeapDescriptor heap(nullptr);
  TmvBaseHeapEngine::CheckValidBaseFromDescriptor(nullptr);
  EXPECT_EQ(CodeOf([&] { TmvBaseHeapEngine::CheckValidBaseFromDescriptor(&heap); }), 15503);  // nothing registered
  const TmvHeapEngineClassRef standIn{{{u"TStandInHeapEngine", &TmvBaseHeapEngine::StaticClass},
                                       &TmvBaseHeapEngine::GetList,
                                       &TmvBaseSubEngine::NoTableCheck},
                                      nullptr,
                                      &TmvBaseHeapEngine::CheckValidBase};
  TmvBaseSubEngine::Register(standIn, u"mv1xDefault");
  EXPECT_EQ(CodeOf([&] { TmvBaseHeapEngine::CheckValidBaseFromDescriptor(&heap); }), 10004);
  heap.AddBlockHeapDescriptor();
  String text;
  EXPECT_EQ(CodeOf([&] { TmvBaseHeapEngine::CheckValidBaseFromDescriptor(&heap); }, &text), 15503);
  EXPECT_NE(text.find(u"Unknown BlockHeap engine"), String::npos);
  TmvBaseSubEngine::Unregister(standIn);
}

}  // namespace
}  // namespace storage_test
