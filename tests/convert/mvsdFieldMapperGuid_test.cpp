// Tests of the GUID mapper: the 16 bytes into a Guid or a ByteArray, the
// braced text into the string types, the size rules, one routine for both
// variants.
#include "convert/mvsdFieldMapperGuid.h"

#include <gtest/gtest.h>

#include "mvcvTestSupport.h"
#include "platform/Guid.h"

using namespace mvtest;

namespace {

class GuidMapper : public ConvertTest {};

Bytes GuidValue() {
  Bytes b(16);
  GUIDToBytes(StringToGUID(u"{0123ABCD-4567-89EF-0A1B-2C3D4E5F6071}"), b.data());
  return b;
}

TEST_F(GuidMapper, BytesAndTexts) {
  const Bytes value = GuidValue();
  const String text = u"{0123ABCD-4567-89EF-0A1B-2C3D4E5F6071}";
  for (Act act : {Act::Fail, Act::BestFit}) {
    Conversion guid(mvtGuid, mvtGuid, act);
    EXPECT_EQ(guid.Run(value), 0u);
    EXPECT_EQ(guid.Output, value);
    Conversion bytes(mvtGuid, mvtByteArray, act, 20);
    EXPECT_EQ(bytes.Run(value), 0u);
    Bytes expected = value;
    expected.resize(20, 0xA5);
    EXPECT_EQ(bytes.Output, expected);
    for (TmvFieldType type : {mvtShortString, mvtNullString, mvtWideString}) {
      Conversion c(mvtGuid, type, act, 38);
      EXPECT_EQ(c.Instance(), nullptr);
      EXPECT_EQ(c.Method().Data, &TmvGuidMapper::StaticClass);
      EXPECT_EQ(c.Run(value), 0u);
      EXPECT_EQ(c.Text(), text);
      EXPECT_FALSE(Conversion(mvtGuid, type, act, 37).Exists()) << int(type);
    }
  }
  // The NullString's terminator and the WideString's 0 unit fill the field.
  Conversion null(mvtGuid, mvtNullString, Act::None, 38);
  null.Run(value);
  EXPECT_EQ(null.Output.back(), 0);
  Conversion wide(mvtGuid, mvtWideString, Act::None, 38);
  wide.Run(value);
  ASSERT_EQ(wide.Output.size(), 78u);
  EXPECT_EQ(wide.Output[76], 0);
  EXPECT_EQ(wide.Output[77], 0);
  EXPECT_EQ(wide.Output[2], u'0');
  // Too short a ByteArray has no conversion; both variants share the routine.
  EXPECT_FALSE(Conversion(mvtGuid, mvtByteArray, Act::BestFit, 15).Exists());
  EXPECT_EQ(Conversion(mvtGuid, mvtNullString, Act::Fail, 40).Method().Code,
            Conversion(mvtGuid, mvtNullString, Act::BestFit, 40).Method().Code);
}

}  // namespace
