// Tests of what field conversion installs into the server engine at its
// start-up: the referential-integrity engine's conversion of a field pair.
#include "convert/mvsdFieldMapperCursor.h"

#include "mvcvTestSupport.h"
#include "server/mvseRefIntEngine.h"

namespace {

TEST(FieldMapperCursor, TheReferentialIntegrityHookLivesFromStartToStop) {
  ASSERT_EQ(mvGetRefIntMapperHook().CreateMapper, nullptr);
  mvConvertInit();
  const TmvRefIntMapperHook& hook = mvGetRefIntMapperHook();
  ASSERT_NE(hook.CreateMapper, nullptr);
  // Int32 into a String field: a conversion with an object behind it, which
  // writes the value's text.
  auto source = mvtest::MakeField(mvtInt32);
  auto target = mvtest::MakeField(mvtShortString, 10);
  TmvRefIntMapping mapping;
  void* instance = hook.CreateMapper(source.get(), nullptr, target.get(), nullptr, mapping);
  ASSERT_TRUE(mapping.Assigned());
  const int32_t value = -42;
  mvtest::Bytes out(11, 0);
  EXPECT_EQ(mapping.Code(mapping.Data, &value, out.data()), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()) + 1, out[0]), "-42");
  if (instance) hook.FreeMapper(instance);
  // No conversion for the pair: unassigned, nothing to free.
  auto guid = mvtest::MakeField(mvtGuid);
  TmvRefIntMapping none;
  EXPECT_EQ(hook.CreateMapper(guid.get(), nullptr, source.get(), nullptr, none), nullptr);
  EXPECT_FALSE(none.Assigned());
  mvConvertFini();
  EXPECT_EQ(mvGetRefIntMapperHook().CreateMapper, nullptr);
}

}  // namespace
