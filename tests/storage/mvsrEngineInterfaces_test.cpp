// Tests of the engine interfaces that storage defines for engines found by
// name: the full-text table and cursor engines and the referential-integrity
// engine, made for a descriptor class, or refused when none is registered.
#include <memory>

#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"
#include "storage/StorageTestSupport.h"
#include "storage/mvsrFulltextEngine.h"
#include "storage/mvsrRefIntegrityEngine.h"

namespace {

using namespace storage_test;

TmvClassRegistry* noDescriptors() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}

class TmvTestFulltextDescriptor : public TmvBaseRegisterableDescriptor {
 public:
  static const TmvRegisterableDescriptorClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
};
constinit const TmvRegisterableDescriptorClassRef TmvTestFulltextDescriptor::StaticClass{
    {u"TmvTestFulltextDescriptor", &TmvBaseRegisterableDescriptor::StaticClass}, &noDescriptors, nullptr};

class TmvTestRefIntegrityDescriptor : public TmvBaseRegisterableDescriptor {
 public:
  static const TmvRegisterableDescriptorClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
};
constinit const TmvRegisterableDescriptorClassRef TmvTestRefIntegrityDescriptor::StaticClass{
    {u"TmvTestRefIntegrityDescriptor", &TmvBaseRegisterableDescriptor::StaticClass}, &noDescriptors, nullptr};

class TmvTestFulltextTableEngine : public TmvBaseFulltextTableEngine {
 public:
  static const TmvFulltextTableEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  static TmvBaseFulltextTableEngine* Create(TmvBaseRegisterableDescriptor* aDescriptor, const TmvBlockAccessArray&,
                                            TmvBaseIndicesEngine*, TmvBaseTransaction*) {
    auto* engine = new TmvTestFulltextTableEngine();
    engine->descriptor = aDescriptor;
    return engine;
  }
  TmvBaseRegisterableDescriptor* descriptor = nullptr;
};
constinit const TmvFulltextTableEngineClassRef TmvTestFulltextTableEngine::StaticClass{
    {{u"TmvTestFulltextTableEngine", &TmvBaseFulltextTableEngine::StaticClass}, &TmvBaseFulltextTableEngine::Registry,
     nullptr},
    &TmvTestFulltextTableEngine::Create};

class TmvTestFulltextCursorEngine : public TmvBaseFulltextCursorEngine {
 public:
  static const TmvFulltextCursorEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  static TmvBaseFulltextCursorEngine* Create(TmvBaseFulltextTableEngine* aTable, TmvAbstractCursor*) {
    auto* engine = new TmvTestFulltextCursorEngine();
    engine->table = aTable;
    return engine;
  }
  uint32_t UpdateIndex(TmvBaseTransaction*, const void*, TmvRefNr, const void*, TmvRefNr) override { return 0; }
  TmvBaseFulltextTableEngine* table = nullptr;
};
constinit const TmvFulltextCursorEngineClassRef TmvTestFulltextCursorEngine::StaticClass{
    {{u"TmvTestFulltextCursorEngine", &TmvBaseFulltextCursorEngine::StaticClass},
     &TmvBaseFulltextCursorEngine::Registry, nullptr},
    &TmvTestFulltextCursorEngine::Create};

class TmvTestRefIntegrityEngine : public TmvBaseRefIntegrityEngine {
 public:
  static const TmvRefIntegrityEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  static TmvBaseRefIntegrityEngine* Create(TmvBaseRegisterableDescriptor*, TmvAbstractCursor*) {
    return new TmvTestRefIntegrityEngine();
  }
  uint32_t Notify(TmvEngineAction, bool, std::span<const TVarRec>) override { return 0; }
};
constinit const TmvRefIntegrityEngineClassRef TmvTestRefIntegrityEngine::StaticClass{
    {{u"TmvTestRefIntegrityEngine", &TmvBaseRefIntegrityEngine::StaticClass}, &TmvBaseRefIntegrityEngine::Registry,
     nullptr},
    &TmvTestRefIntegrityEngine::Create};

TEST_F(StorageTest, FulltextEnginesAreFoundByTheDescriptorsClassName) {
  TmvTestFulltextDescriptor descriptor;
  TmvBlockAccessArray files;
  String text;
  EXPECT_EQ(CodeOf([&] { TmvBaseFulltextTableEngine::CreateFor(&descriptor, files, nullptr, nullptr); }, &text),
            15503u);
  EXPECT_EQ(text, u"Unknown Fulltext engine: \"TmvTestFulltextTableEngine\"");
  TmvBaseRegisterableEngine::RegisterEngine(TmvTestFulltextTableEngine::StaticClass);
  std::unique_ptr<TmvBaseFulltextTableEngine> table(
      TmvBaseFulltextTableEngine::CreateFor(&descriptor, files, nullptr, nullptr));
  TmvBaseRegisterableEngine::UnregisterEngine(TmvTestFulltextTableEngine::StaticClass);
  ASSERT_EQ(&table->ClassType(), &TmvTestFulltextTableEngine::StaticClass);
  EXPECT_EQ(static_cast<TmvTestFulltextTableEngine*>(table.get())->descriptor, &descriptor);

  EXPECT_EQ(TmvBaseFulltextCursorEngine::CreateFor(nullptr, nullptr), nullptr);
  EXPECT_EQ(CodeOf([&] { TmvBaseFulltextCursorEngine::CreateFor(table.get(), nullptr); }, &text), 15503u);
  EXPECT_EQ(text, u"Unknown Fulltext engine: \"TmvTestFulltextCursorEngine\"");
  TmvBaseRegisterableEngine::RegisterEngine(TmvTestFulltextCursorEngine::StaticClass);
  std::unique_ptr<TmvBaseFulltextCursorEngine> cursor(TmvBaseFulltextCursorEngine::CreateFor(table.get(), nullptr));
  TmvBaseRegisterableEngine::UnregisterEngine(TmvTestFulltextCursorEngine::StaticClass);
  EXPECT_EQ(static_cast<TmvTestFulltextCursorEngine*>(cursor.get())->table, table.get());
  EXPECT_EQ(*TmvBaseFulltextCursorEngine::Registry(), nullptr);  // the registry went with its last class
}

TEST_F(StorageTest, RefIntegrityEnginesAreFoundByTheDescriptorsClassName) {
  TmvTestRefIntegrityDescriptor descriptor;
  EXPECT_EQ(TmvBaseRefIntegrityEngine::CreateFor(static_cast<TmvBaseRegisterableDescriptor*>(nullptr), nullptr), nullptr);
  String text;
  EXPECT_EQ(CodeOf([&] { TmvBaseRefIntegrityEngine::CreateFor(&descriptor, nullptr); }, &text), 15503u);
  EXPECT_EQ(text, u"Unknown RefIntegrity engine: \"TmvTestRefIntegrityEngine\"");
  TmvBaseRegisterableEngine::RegisterEngine(TmvTestRefIntegrityEngine::StaticClass);
  std::unique_ptr<TmvBaseRefIntegrityEngine> engine(TmvBaseRefIntegrityEngine::CreateFor(&descriptor, nullptr));
  TmvBaseRegisterableEngine::UnregisterEngine(TmvTestRefIntegrityEngine::StaticClass);
  EXPECT_EQ(&engine->ClassType(), &TmvTestRefIntegrityEngine::StaticClass);
}

// A table's rules are its custom descriptors "Fulltext" and "RefIntegrity"
// (names without case); a table without them gets no engine.
TEST_F(StorageTest, TheEnginesOfATableComeFromItsCustomDescriptors) {
  TmvDataDictionary dd;
  TmvNestedTableDescriptor* inner = dd.GetTablesDescriptor()->AddTable(u"inner");
  EXPECT_EQ(TmvBaseFulltextTableEngine::CreateFor(&dd, {}, nullptr, nullptr), nullptr);
  EXPECT_EQ(TmvBaseRefIntegrityEngine::CreateFor(&dd, nullptr), nullptr);
  inner->GetCustomDescsDescriptor()->AddCustom(u"fulltext");
  inner->GetCustomDescsDescriptor()->AddCustom(u"RefIntegrity", &TmvRefIntegrityDescriptor::StaticClass);
  EXPECT_EQ(TmvBaseFulltextTableEngine::CreateFor(&dd, {}, nullptr, nullptr), nullptr);
  String text;
  EXPECT_EQ(CodeOf([&] { TmvBaseFulltextTableEngine::CreateFor(inner, {}, nullptr, nullptr); }, &text), 15503u);
  EXPECT_EQ(text, u"Unknown Fulltext engine: \"TmvBaseCustomTableEngine\"");
  EXPECT_EQ(CodeOf([&] { TmvBaseRefIntegrityEngine::CreateFor(inner, nullptr); }, &text), 15503u);
  EXPECT_EQ(text, u"Unknown RefIntegrity engine: \"TmvRefIntegrityEngine\"");
  // Rules under that name but of another class are refused, not read as rules.
  dd.GetCustomDescsDescriptor()->AddCustom(u"REFINTEGRITY");
  EXPECT_THROW(TmvBaseRefIntegrityEngine::CreateFor(&dd, nullptr), EInvalidCast);
}

}  // namespace
