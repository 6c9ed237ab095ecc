// Tests of the registries of engine and descriptor classes and of the rule
// that ties a descriptor to the engine that serves it.
#include "foundation/mvllRegistry.h"

#include <gtest/gtest.h>

#include "platform/Classes.h"

namespace {

// A small family: its own registries, one descriptor and one engine.
TmvClassRegistry* TestEngines() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}
TmvClassRegistry* TestDescriptors() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}

class TmvConstDefaultValueDescriptor : public TmvBaseRegisterableDescriptor {
 public:
  static const TmvRegisterableDescriptorClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  const TmvRegisterableEngineClassRef* engineClass = nullptr;
};
TmvBaseRegisterableDescriptor* NewDescriptor() { return new TmvConstDefaultValueDescriptor(); }
constinit const TmvRegisterableDescriptorClassRef TmvConstDefaultValueDescriptor::StaticClass{
    {u"TmvConstDefaultValueDescriptor", &TmvBaseRegisterableDescriptor::StaticClass}, &TestDescriptors, &NewDescriptor};

constinit const TmvRegisterableEngineClassRef ConstEngine{
    {u"TmvConstDefaultValueEngine", &TmvBaseRegisterableEngine::StaticClass}, &TestEngines, nullptr};

}  // namespace

TEST(Registry, RegisterFindListUnregister) {
  const auto& d = TmvConstDefaultValueDescriptor::StaticClass;
  EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(d, u"anything"), nullptr);  // no registry yet
  TmvBaseRegisterableDescriptor::RegisterDescriptor(d);
  TmvBaseRegisterableDescriptor::RegisterDescriptor(d, u"ConstDefault");
  try {
    TmvBaseRegisterableDescriptor::RegisterDescriptor(d, u"CONSTDEFAULT");
    ADD_FAILURE();
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), u"文字列リストは重複を許しません");
  }
  EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(d, u"tmvconstdefaultvaluedescriptor"), &d);
  EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(d, u"constdefault"), &d);

  TStringList list;
  list.Add(u"stale");
  TmvBaseRegisterableDescriptor::GetRegisteredDescriptors(d, &list, false);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Strings(0), u"TmvConstDefaultValueDescriptor");
  TmvBaseRegisterableDescriptor::GetRegisteredDescriptors(d, &list, true);
  EXPECT_EQ(list.Count(), 2);

  std::unique_ptr<TmvBaseRegisterableDescriptor> made(d.Create());
  EXPECT_EQ(made->ClassName(), u"TmvConstDefaultValueDescriptor");

  TmvBaseRegisterableDescriptor::UnregisterDescriptor(d);
  EXPECT_EQ(*TestDescriptors(), nullptr);  // the last entry went: the registry is freed
  EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(d, u"ConstDefault"), nullptr);
  EXPECT_THROW(TmvBaseRegisterableEngine::FindEngineClass(TmvBaseRegisterableEngine::StaticClass, u"x"),
               EAssertionFailed);
}

TEST(Registry, EngineForDescriptor) {
  EXPECT_EQ(mvEngineNameForDescriptor(u"TmvConstDefaultValueDESCRIPTOR"), u"TmvConstDefaultValueEngine");
  EXPECT_EQ(mvEngineNameForDescriptor(u"TmvTokenTableEngine", u"TableEngine", u"CursorEngine"),
            u"TmvTokenCursorEngine");

  TmvConstDefaultValueDescriptor desc;
  try {
    mvEngineClassForDescriptor<EmvBaseRegisterableEngineException>(ConstEngine, desc.ClassType(), u"DefaultValue",
                                                                   desc.engineClass);
    ADD_FAILURE();
  } catch (const EmvBaseRegisterableEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), 15503u);
    EXPECT_EQ(e.ErrorString(), u"Unknown DefaultValue engine: \"TmvConstDefaultValueEngine\"");
  }
  TmvBaseRegisterableEngine::RegisterEngine(ConstEngine);
  EXPECT_EQ(&mvEngineClassForDescriptor<EmvBaseRegisterableEngineException>(ConstEngine, desc.ClassType(),
                                                                            u"DefaultValue", desc.engineClass),
            &ConstEngine);
  TmvBaseRegisterableEngine::UnregisterEngine(ConstEngine);
  // Found once, kept in the descriptor.
  EXPECT_EQ(desc.engineClass, &ConstEngine);
}
