// Tests of the simple auto-increment engine: the sequences of the default
// and an advanced descriptor, the maximum, setting the counter, and a
// counter that rolls back with its transaction.
#include "storage/records/mvseAutoIncEngine.h"

#include "storage/RecordTestSupport.h"

namespace {

using namespace storage_test;

class AutoInc : public RecordTableTest {
 protected:
  std::unique_ptr<TmvSimpleAutoIncEngine> Engine(TmvBaseAutoIncDescriptor* aDescriptor, TableFile& aFile,
                                                 TmvBaseTransaction* aTrans) {
    return std::make_unique<TmvSimpleAutoIncEngine>(aDescriptor, aFile.Files(), aTrans);
  }
  std::unique_ptr<TmvDataDictionary> dd = SmallDictionary();
};

TEST_F(AutoInc, SequencesStartAtTheInitialValueAndAdvanceByTheStep) {
  TTestTransaction trans(cache);
  TableFile f = CreateFile("seq.mv1", &trans);
  auto engine = Engine(dd->AddAutoIncDescriptor(), f, &trans);
  uint32_t before = 0;
  EXPECT_EQ(engine->NextAutoIncValue(&trans, &before), 1u);
  EXPECT_EQ(before, 0u);
  EXPECT_EQ(engine->NextAutoIncValue(&trans, nullptr), 2u);
  EXPECT_EQ(engine->NextAutoIncValue(&trans, nullptr), 3u);
  EXPECT_EQ(engine->ReadAutoIncValue(&trans), 3u);

  auto advanced = SmallDictionary();
  auto* descriptor = static_cast<TmvAdvAutoIncDescriptor*>(
      advanced->AddAutoIncDescriptor(&TmvAdvAutoIncDescriptor::StaticClass));
  descriptor->SetInitialValue(100);
  descriptor->SetStep(10);
  TableFile g = CreateFile("step.mv1", &trans);
  auto stepped = Engine(descriptor, g, &trans);
  EXPECT_EQ(stepped->ReadAutoIncValue(&trans), 90u);
  EXPECT_EQ(stepped->NextAutoIncValue(&trans, nullptr), 100u);
  EXPECT_EQ(stepped->NextAutoIncValue(&trans, nullptr), 110u);
  stepped->SetAutoIncValue(&trans, 0xFFFFFFFF - 5);
  String text;
  EXPECT_EQ(CodeOf([&] { stepped->NextAutoIncValue(&trans, nullptr); }, &text), uint32_t(MVERR_MAXVALERR));
  EXPECT_EQ(text, u"Maximum AutoInc value has been reached");
  EXPECT_EQ(stepped->ReadAutoIncValue(&trans), 0xFFFFFFFF - 5);  // unchanged
  trans.End();
}

TEST_F(AutoInc, ATableGetsTheSimpleEngineOnlyWithADescriptor) {
  TTestTransaction trans(cache);
  TableFile f = CreateFile("made.mv1", &trans);
  EXPECT_EQ(TmvBaseAutoIncEngine::CreateEngine(dd.get(), f.Files(), &trans), nullptr);
  dd->AddAutoIncDescriptor();
  std::unique_ptr<TmvBaseAutoIncEngine> engine(TmvBaseAutoIncEngine::CreateEngine(dd.get(), f.Files(), &trans));
  ASSERT_NE(dynamic_cast<TmvSimpleAutoIncEngine*>(engine.get()), nullptr);
  EXPECT_EQ(engine->NextAutoIncValue(&trans, nullptr), 1u);
  engine.reset();
  trans.End();
}

TEST_F(AutoInc, OnlyTheStateBeforeTheFirstValueWraps) {
  auto dd2 = SmallDictionary();
  auto* descriptor = static_cast<TmvAdvAutoIncDescriptor*>(
      dd2->AddAutoIncDescriptor(&TmvAdvAutoIncDescriptor::StaticClass));
  descriptor->SetInitialValue(3);
  descriptor->SetStep(5);  // the state before the first value wraps: 3 - 5
  TTestTransaction trans(cache);
  TableFile f = CreateFile("wrap.mv1", &trans);
  auto engine = Engine(descriptor, f, &trans);
  EXPECT_EQ(engine->ReadAutoIncValue(&trans), 0xFFFFFFFEu);
  EXPECT_EQ(engine->NextAutoIncValue(&trans, nullptr), 3u);
  TableFile g = CreateFile("plain.mv1", &trans);
  auto plain = Engine(dd->AddAutoIncDescriptor(), g, &trans);
  plain->SetAutoIncValue(&trans, 0xFFFFFFFF);
  EXPECT_EQ(CodeOf([&] { plain->NextAutoIncValue(&trans, nullptr); }), uint32_t(MVERR_MAXVALERR));
  plain->SetAutoIncValue(&trans, 41);
  EXPECT_EQ(plain->NextAutoIncValue(&trans, nullptr), 42u);
  trans.End();
}

TEST_F(AutoInc, TheCounterCommitsAndRollsBackWithItsTransaction) {
  {
    TTestTransaction trans(cache);
    TableFile f = CreateFile("roll.mv1", &trans);
    auto engine = Engine(dd->AddAutoIncDescriptor(), f, &trans);
    EXPECT_EQ(engine->NextAutoIncValue(&trans, nullptr), 1u);
    engine.reset();
    trans.Commit();
  }
  TableFile f = OpenFile("roll.mv1");
  auto engine = Engine(dd->GetAutoIncDescriptor(), f, nullptr);
  {
    TTestTransaction trans(cache);
    EXPECT_EQ(engine->NextAutoIncValue(&trans, nullptr), 2u);
    trans.StartNested(true);
    EXPECT_EQ(engine->NextAutoIncValue(&trans, nullptr), 3u);
    trans.Rollback();  // the nested level
    EXPECT_EQ(engine->ReadAutoIncValue(&trans), 2u);
    trans.Rollback();
  }
  TTestTransaction reader(cache);
  EXPECT_EQ(engine->ReadAutoIncValue(&reader), 1u);
  reader.End();
}

}  // namespace
