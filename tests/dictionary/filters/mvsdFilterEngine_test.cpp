// Tests of the filter framework: descriptors created from their stream class
// name, engines found by name, callback engines, engine hubs as a cursor
// uses them (adding, activating by identity, removing), Duplicate, the
// object information, and the registration across restarts.
#include "dictionary/filters/mvsdFilterEngine.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "dictionary/filters/mvsdFilters.h"
#include "dictionary/filters/mvsdSimpleExpressionFilter.h"
#include "dictionary/filters/mvsdSqlFilter.h"
#include "dictionary/mvsdFilterTestSupport.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/mvllStreams.h"

using namespace mvtest;

namespace {

// Counts its calls and answers what its cookie says.
struct Verdict {
  bool pass = true;
  int calls = 0;
};
bool AskVerdict(void* aCookie, const void*) {
  auto* verdict = static_cast<Verdict*>(aCookie);
  ++verdict->calls;
  return verdict->pass;
}

TmvBaseFilterEngine* CallbackEngine(Verdict& aVerdict, ImvFieldsSource* aSource = nullptr) {
  TmvCallbackFilterDescriptor descriptor(&aVerdict, &AskVerdict);
  return TmvBaseFilterEngine::CreateFor(&descriptor, aSource);
}

class FilterFramework : public DictionaryTest {};

TEST_F(FilterFramework, DescriptorsFromTheirStreamClassName) {
  std::unique_ptr<TmvBaseFilterDescriptor> filter;
  String message;
  EXPECT_EQ(ReadFilter(BytesOf("\x08TNoSuchX"), filter, &message), 12289u);
  EXPECT_EQ(message, u"Filter descriptor not supported: TNoSuchX");
  EXPECT_EQ(filter, nullptr);
  EXPECT_EQ(ReadFilter(BytesOf(std::string("\x0ATmvSql", 7)), filter), 9986u);  // the name is cut short
  EXPECT_EQ(ReadFilter(BytesOf(""), filter), 9986u);
  EXPECT_EQ(filter, nullptr);
  // Classes without a stream form are known, but cannot be read.
  for (const char* name : {"\x1BTmvCallbackFilterDescriptor", "\x16TmvFilterDescriptorHub"}) {
    EXPECT_EQ(ReadFilter(BytesOf(name), filter, &message), 12289u);
    EXPECT_EQ(message, String(name + 1, name + 1 + uint8_t(name[0])) + u" can not be created from a stream");
  }
  // Nor written.
  Verdict verdict;
  TmvCallbackFilterDescriptor callback(&verdict, &AskVerdict);
  TmvFilterDescriptorHub hub;
  TmvMemoryStream stream;
  EXPECT_EQ(callback.WriteToStream(stream, mvEngineVersion), 12289u);
  EXPECT_EQ(hub.WriteToStream(stream, mvEngineVersion), 12289u);
  uint32_t code;
  EmvBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(message, u"WriteToStream is not supported by TmvFilterDescriptorHub");
  EXPECT_EQ(stream.GetSize(), 0);
}

TEST_F(FilterFramework, EnginesFoundByName) {
  TTestFilter unserved;
  String message;
  EXPECT_EQ(RaisedCode([&] { TmvBaseFilterEngine::CreateFor(&unserved, nullptr); }, &message), 15503u);
  EXPECT_EQ(message, u"Unknown Filter engine: \"TTestFilterEngine\"");
  TmvFilterDescriptorHub hub;
  std::unique_ptr<TmvBaseFilterEngine> engine(TmvBaseFilterEngine::CreateFor(&hub, nullptr));
  EXPECT_EQ(&engine->ClassType(), &TmvFilterEngineHub::StaticClass);
  // A hub with a child no engine serves fails as a whole.
  hub.AddFilter(new TTestFilter);
  EXPECT_EQ(RaisedCode([&] { TmvBaseFilterEngine::CreateFor(&hub, nullptr); }), 15503u);
}

TEST_F(FilterFramework, CallbackEngine) {
  Verdict verdict{false};
  std::unique_ptr<TmvBaseFilterEngine> engine(CallbackEngine(verdict));
  EXPECT_FALSE(engine->GetActive());
  EXPECT_TRUE(engine->MatchesBuffer(nullptr));  // inactive: not asked
  EXPECT_EQ(verdict.calls, 0);
  EXPECT_EQ(engine->ActivateFilter(nullptr), 0u);
  EXPECT_TRUE(engine->IsEvalLocal());
  EXPECT_FALSE(engine->IsEvalRemote());
  EXPECT_FALSE(engine->MatchesBuffer(nullptr));
  EXPECT_EQ(verdict.calls, 1);
  std::unique_ptr<TmvBaseFilterDescriptor> copy(engine->CreateDescriptor());
  auto& callback = dynamic_cast<TmvCallbackFilterDescriptor&>(*copy);
  EXPECT_EQ(callback.cbfdCookie, &verdict);
  EXPECT_EQ(callback.cbfdCallback, &AskVerdict);
  // Without a callback everything passes.
  TmvCallbackFilterDescriptor none(nullptr, nullptr);
  engine.reset(TmvBaseFilterEngine::CreateFor(&none, nullptr));
  engine->SetActive(true);
  EXPECT_TRUE(engine->MatchesBuffer(nullptr));
}

TEST_F(FilterFramework, EmptyHub) {
  TmvFilterEngineHub hub(static_cast<TmvBaseFilterDescriptor*>(nullptr), nullptr);
  EXPECT_TRUE(hub.MatchesBuffer(nullptr));
  EXPECT_FALSE(hub.GetActive());
  EXPECT_FALSE(hub.IsEvalLocal());
  EXPECT_EQ(hub.ActivateFilter(nullptr), 10050u);
  EXPECT_FALSE(hub.GetActive());  // the hub's own flag is not what it answers
}

// A cursor's filter variable through adding, activating and removing.
TEST_F(FilterFramework, HubAsACursorUsesIt) {
  Verdict first{false}, second, third;
  TmvBaseFilterEngine* f1 = CallbackEngine(first);
  TmvBaseFilterEngine* f2 = CallbackEngine(second);
  TmvBaseFilterEngine* cursor = new TmvFilterEngineHub(f1, f2);
  auto* hub = static_cast<TmvFilterEngineHub*>(cursor);
  ASSERT_EQ(hub->FilterCount(), 2);
  EXPECT_EQ(hub->Filter(0), f1);

  EXPECT_EQ(cursor->ActivateFilter(f2), 0u);  // the first child answers 10050; the loop goes on
  EXPECT_FALSE(f1->GetActive());
  EXPECT_TRUE(f2->GetActive());
  EXPECT_TRUE(cursor->GetActive());
  EXPECT_TRUE(cursor->MatchesBuffer(nullptr));  // the inactive first child passes without asking
  EXPECT_EQ(first.calls, 0);
  EXPECT_EQ(cursor->ActivateFilter(nullptr), 0u);
  EXPECT_TRUE(f1->GetActive());
  EXPECT_FALSE(cursor->MatchesBuffer(nullptr));
  EXPECT_EQ(second.calls, 1);  // stopped at the first child's false
  const TmvBaseFilterEngine* unknown = reinterpret_cast<TmvBaseFilterEngine*>(&third);
  EXPECT_EQ(cursor->ActivateFilter(unknown), 10050u);
  EXPECT_EQ(cursor->DeactivateFilter(f1), 0u);
  EXPECT_FALSE(f1->GetActive());
  EXPECT_EQ(cursor->DeactivateFilter(nullptr), 0u);
  EXPECT_FALSE(cursor->GetActive());

  // A third filter is appended; removing one of three keeps the hub.
  TmvBaseFilterEngine* f3 = CallbackEngine(third);
  hub->AddFilter(f3);
  EXPECT_EQ(cursor->RemoveFilter(unknown, cursor), 10050u);
  EXPECT_EQ(cursor->RemoveFilter(f1, cursor), 0u);
  EXPECT_EQ(cursor, hub);
  EXPECT_EQ(hub->FilterCount(), 2);
  // Removing the second of two leaves the first engine itself.
  EXPECT_EQ(cursor->RemoveFilter(f3, cursor), 0u);
  EXPECT_EQ(cursor, f2);
  EXPECT_EQ(cursor->RemoveFilter(unknown, cursor), 10050u);
  EXPECT_EQ(cursor->RemoveFilter(f2, cursor), 0u);
  EXPECT_EQ(cursor, nullptr);

  // The hub itself goes with all its children; a hub of one child removed
  // from leaves nothing.
  cursor = new TmvFilterEngineHub(CallbackEngine(first), CallbackEngine(second));
  EXPECT_EQ(cursor->RemoveFilter(cursor, cursor), 0u);
  EXPECT_EQ(cursor, nullptr);
  TmvFilterEngineHub* lone = new TmvFilterEngineHub(static_cast<TmvBaseFilterDescriptor*>(nullptr), nullptr);
  TmvBaseFilterEngine* only = CallbackEngine(first);
  lone->AddFilter(only);
  cursor = lone;
  EXPECT_EQ(cursor->RemoveFilter(only, cursor), 0u);
  EXPECT_EQ(cursor, nullptr);
}

// A callback that raises fails that test and nothing else.
bool RaiseOnce(void* aCookie, const void*) {
  if (std::exchange(*static_cast<bool*>(aCookie), false)) throw EmvBaseException(10051, String(u"callback failed"));
  return true;
}

TEST_F(FilterFramework, FailingCallback) {
  bool raise = true;
  TmvCallbackFilterDescriptor descriptor(&raise, &RaiseOnce);
  Verdict verdict;
  TmvFilterEngineHub hub(TmvBaseFilterEngine::CreateFor(&descriptor, nullptr), CallbackEngine(verdict));
  hub.ActivateFilter(nullptr);
  EXPECT_EQ(RaisedCode([&] { hub.MatchesBuffer(nullptr); }), 10051u);
  EXPECT_EQ(verdict.calls, 0);
  EXPECT_TRUE(hub.MatchesBuffer(nullptr));
  EXPECT_EQ(verdict.calls, 1);
}

TEST_F(FilterFramework, RemovingThroughAnotherVariableIsAnAssertion) {
  Verdict verdict;
  std::unique_ptr<TmvBaseFilterEngine> engine(CallbackEngine(verdict));
  TmvBaseFilterEngine* other = nullptr;
  EXPECT_THROW(engine->RemoveFilter(engine.get(), other), EAssertionFailed);
  EXPECT_EQ(engine->RemoveFilter(nullptr, other), 10050u);
}

TEST_F(FilterFramework, Duplicate) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  TTestTable other;
  other.Field(u"A", mvtInt32);
  const TreeBytes tree(Cmp(kEq, FieldNode(1, "A"), ConstOf<int32_t>(6, 1)));
  TmvSimpleExpressionFilterDescriptor descriptor(tree.bytes.data(), -1, u"A = 1");
  std::unique_ptr<TmvBaseFilterEngine> simple(TmvBaseFilterEngine::CreateFor(&descriptor, t.dd.Fields));
  for (bool active : {false, true}) {
    simple->SetActive(active);
    std::unique_ptr<TmvBaseFilterEngine> copy(simple->Duplicate(other.dd.Fields));
    EXPECT_EQ(&copy->ClassType(), &TmvSimpleExpressionFilterEngine::StaticClass);
    EXPECT_EQ(copy->GetActive(), active);
    EXPECT_EQ(copy->FieldsSource(), other.dd.Fields);
  }
  // A hub's copy is a hub of copies, each keeping its own Active.
  Verdict verdict;
  TmvFilterEngineHub hub(simple.release(), CallbackEngine(verdict, t.dd.Fields));
  hub.Filter(0)->SetActive(false);
  hub.Filter(1)->SetActive(true);
  std::unique_ptr<TmvBaseFilterEngine> copy(hub.Duplicate(other.dd.Fields));
  auto& copied = dynamic_cast<TmvFilterEngineHub&>(*copy);
  ASSERT_EQ(copied.FilterCount(), 2);
  EXPECT_EQ(&copied.Filter(0)->ClassType(), &TmvSimpleExpressionFilterEngine::StaticClass);
  EXPECT_FALSE(copied.Filter(0)->GetActive());
  EXPECT_TRUE(copied.Filter(1)->GetActive());
  EXPECT_EQ(copied.FieldsSource(), other.dd.Fields);
  EXPECT_EQ(copied.Filter(1)->FieldsSource(), other.dd.Fields);
  // Its descriptor is a hub of its children's descriptors, in order.
  std::unique_ptr<TmvBaseFilterDescriptor> hubDescriptor(hub.CreateDescriptor());
  auto& descriptors = dynamic_cast<TmvFilterDescriptorHub&>(*hubDescriptor);
  ASSERT_EQ(descriptors.FilterCount(), 2);
  EXPECT_EQ(dynamic_cast<TmvSimpleExpressionFilterDescriptor&>(*descriptors.Filter(0)).GetFilterText(), u"A = 1");
  EXPECT_NE(dynamic_cast<TmvCallbackFilterDescriptor*>(descriptors.Filter(1)), nullptr);
  descriptors.RemoveFilter(descriptors.Filter(0));
  descriptors.RemoveFilter(0);
  EXPECT_EQ(descriptors.FilterCount(), 0);
}

String InfoOf(TmvPersistent& aObject) {
  TInterfacePtr<ImvExceptionDataContainer> info = mvCreateExceptionDataContainer(u"Info", nullptr);
  aObject.WriteObjectInfo(info.get());
  String text;
  for (int32_t i = 2; i < info->Count(); ++i) {  // after SelfPtr and ClassName
    ImvExceptionDataValue* value = info->GetValue(i);
    text += value->GetName() + u"=";
    text += value->GetValueType() == edvtContainer ? value->AsContainer()->GetValue(1)->AsString() : value->AsString();
    text += u";";
  }
  return text;
}

TEST_F(FilterFramework, ObjectInformation) {
  Verdict verdict;
  std::unique_ptr<TmvBaseFilterEngine> callback(CallbackEngine(verdict));
  EXPECT_EQ(InfoOf(*callback), u"Active=False;Cookie=" + mvInt64ToStr(int64_t(uintptr_t(&verdict))) + u";");
  const TreeBytes tree(Cont(1));
  TmvSimpleExpressionFilterDescriptor withText(tree.bytes.data(), 1252, u"x");
  std::unique_ptr<TmvBaseFilterEngine> simple(TmvBaseFilterEngine::CreateFor(&withText, nullptr));
  simple->SetActive(true);
  EXPECT_EQ(InfoOf(*simple), u"Active=True;FilterText=x;CodePage=1252;");
  TmvSimpleExpressionFilterDescriptor bare(tree.bytes.data(), -1);
  simple.reset(TmvBaseFilterEngine::CreateFor(&bare, nullptr));
  EXPECT_EQ(InfoOf(*simple), u"Active=False;");
  TmvFilterDescriptorHub hub;
  hub.AddFilter(new TmvCallbackFilterDescriptor(nullptr, nullptr));
  EXPECT_EQ(InfoOf(hub), u"Filters[0]=TmvCallbackFilterDescriptor;");
}

// Outside any test suite's start: the dictionary started twice and stopped
// twice, the filter classes registered only while it runs.
TEST(FilterUnits, RegisteredWhileTheDictionaryRuns) {
  auto registered = [] {
    return TmvBaseRegisterableDescriptor::FindDescriptorClass(TmvBaseFilterDescriptor::StaticClass,
                                                              u"TmvSqlFilterDescriptor") != nullptr &&
           TmvBaseRegisterableEngine::FindEngineClass(TmvBaseFilterEngine::StaticClass,
                                                      u"TmvSimpleExpressionFilterEngine") != nullptr;
  };
  for (int round = 0; round < 2; ++round) {
    mvDictionaryInit();
    mvDictionaryInit();
    EXPECT_TRUE(registered());
    mvDictionaryFini();
    EXPECT_TRUE(registered());
    mvDictionaryFini();
    EXPECT_FALSE(registered());
    EXPECT_EQ(*TmvBaseFilterEngine::Registry(), nullptr);
    EXPECT_EQ(*TmvBaseFilterDescriptor::Registry(), nullptr);
  }
}

}  // namespace
