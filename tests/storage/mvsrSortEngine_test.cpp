// Tests of the sort engine base: the private dictionaries it sorts with,
// its key engine and record lengths.
#include "storage/mvsrSortEngine.h"

#include <gtest/gtest.h>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdDataDictionary.h"
#include "storage/StorageTestSupport.h"

namespace storage_test {
namespace {

// A key engine for record-reference keys; only made, never used.
class TRefKeyEngine : public TmvBaseKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  using TmvBaseKeyEngine::TmvBaseKeyEngine;
  void ClearKey(void*) override {}
  uint32_t BuildKey(const void*, void*, TmvRefNr, bool) override { return 0; }
  int8_t CompareKey(const void*, const void*, int32_t, int32_t) override { return 0; }
  String KeyAsString(const void*) override { return {}; }
  Variant KeyAsVariant(const void*, int32_t) override { return {}; }
  void KeyAsExceptionData(const void*, ImvExceptionDataContainer*) override {}
  int32_t GetMaxFieldCount() override { return 1; }
};
constinit const TmvKeyEngineClassRef TRefKeyEngine::StaticClass{
    {{u"TmvRefKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TRefKeyEngine>,
    nullptr};

class TSortEngine : public TmvBaseSortEngine {
 public:
  using TmvBaseSortEngine::TmvBaseSortEngine;
  int32_t Get(void*) override { return 8706; }
  int32_t Put(const void*) override { return 0; }
  bool Iterate(uint8_t**, bool*, const TmvRecordIterator&, void*) override { return false; }
  bool IterateSameKey(uint8_t**, const TmvRecordIterator&, void*) override { return false; }
};

TEST_F(StorageTest, ASortEngineSortsWithItsOwnCopiesOfTheDictionary) {
  TmvDataDictionary dd;
  for (const char16_t* name : {u"A", u"B", u"C"}) dd.GetFieldsDescriptor()->AddField(name, u"", mvtInt16, 0, 0, false);
  TmvIndexDescriptor* sortIndex = dd.GetIndicesDescriptor()->IndexDescriptor(0);
  // Without an engine for the index's key nothing is left behind.
  EXPECT_EQ(CodeOf([&] { TSortEngine(nullptr, &dd, sortIndex); }), 15503u);

  TmvBaseRegisterableEngine::RegisterEngine(TRefKeyEngine::StaticClass);
  {
    TSortEngine sort(nullptr, &dd, sortIndex);
    EXPECT_EQ(sort.bsRecLen, dd.GetFieldsDescriptor()->RecordLength());
    EXPECT_EQ(sort.bsRecLenBuf, 16);  // 3 x 2 bytes rounded up to 8, the null bitmap of 4, to 16
    EXPECT_EQ(sort.bsDictNoIdx->GetIndicesDescriptor(), nullptr);
    ASSERT_NE(sort.bsDict->GetIndicesDescriptor(), nullptr);
    ASSERT_EQ(sort.bsDict->GetIndicesDescriptor()->IndexCount(), 1);
    TmvIndexDescriptor* copied = sort.bsDict->GetIndicesDescriptor()->IndexDescriptor(0);
    EXPECT_NE(copied, sortIndex);
    EXPECT_TRUE(copied->IsEqual(sortIndex));
    EXPECT_EQ(&sort.bsKeyEngine->ClassType(), &TRefKeyEngine::StaticClass);
    EXPECT_EQ(dd.GetIndicesDescriptor()->IndexCount(), 1);  // the caller's dictionary is untouched
  }
  TmvBaseRegisterableEngine::UnregisterEngine(TRefKeyEngine::StaticClass);
  EXPECT_EQ(mvSortEngineClass.load(), nullptr);  // no sort engine unit has set one
}

}  // namespace
}  // namespace storage_test
