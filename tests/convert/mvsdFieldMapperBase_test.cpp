// Tests of the mapper registry and CreateMapper: empty cells, the order in
// which the classes of a cell are asked, instances handed back without a
// method, the choice of variant by the data-loss action, a damaged field
// type, and start-up and shutdown run twice.
#include "convert/mvsdFieldMapperBase.h"

#include <gtest/gtest.h>

#include "convert/mvsdFieldMapperInteger.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

// Test mapper classes: each answers for Int8 sources only, with a routine
// that writes its tag byte; the "refusing" one hands back an instance but
// no method.
int gLiveInstances = 0;
std::vector<const char16_t*> gAsked;

class TTestMapper : public TmvBaseFieldMapper {
 public:
  TTestMapper() { ++gLiveInstances; }
  ~TTestMapper() override { --gLiveInstances; }
};

template <uint8_t Tag>
TmvResult WriteTag(const void*, const void*, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = Tag;
  return 0;
}

template <uint8_t Tag, bool Refuses>
TmvBaseFieldMapper* TryTestMapper(const TmvFieldMapperClassRef& aClass, TmvFieldDescriptor* aSourceField,
                                  TmvAbstractCursor*, TmvFieldDescriptor*, TmvAbstractCursor*,
                                  TmvFieldMapperDescriptor*, TmvMappingMethod& aMapper) {
  gAsked.push_back(aClass.ClassName);
  if (aSourceField->FieldType() != mvtInt8) return nullptr;
  if (Refuses) return new TTestMapper;
  aMapper = mvClassMethod(aClass, &WriteTag<Tag>);
  return nullptr;
}

const TmvFieldMapperClassRef kFirst{{u"TFirst", &TmvBaseFieldMapper::StaticClass}, &TryTestMapper<1, false>};
const TmvFieldMapperClassRef kSecond{{u"TSecond", &TmvBaseFieldMapper::StaticClass}, &TryTestMapper<2, false>};
const TmvFieldMapperClassRef kRefusing{{u"TRefusing", &TmvBaseFieldMapper::StaticClass}, &TryTestMapper<3, true>};

// Registers classes in one cell for the life of the object.
class Registered {
 public:
  Registered(std::initializer_list<const TmvFieldMapperClassRef*> aClasses, TmvFieldType aSource,
             TmvFieldType aTarget)
      : fClasses(aClasses), fSource(aSource), fTarget(aTarget) {
    for (auto* cls : fClasses) mvRegisterFieldMapper(*cls, fSource, fTarget);
    gAsked.clear();
  }
  ~Registered() {
    for (auto* cls : fClasses) mvUnregisterFieldMapper(*cls, fSource, fTarget);
  }

 private:
  std::vector<const TmvFieldMapperClassRef*> fClasses;
  TmvFieldType fSource, fTarget;
};

int CountRegisteredCells() {
  int cells = 0;
  for (int s = 0; s < mvFieldTypeCount; ++s)
    for (int t = 0; t < mvFieldTypeCount; ++t) {
      const size_t n = mvFieldMapperClasses(s, t).size();
      EXPECT_LE(n, 1u) << "cell " << s << ", " << t;
      cells += n ? 1 : 0;
    }
  return cells;
}

class FieldMapperBase : public ConvertTest {};

TEST_F(FieldMapperBase, EmptyCellsGiveNoMethodAndNoError) {
  for (int t = 0; t < mvFieldTypeCount; ++t) {
    Conversion fromInterval(mvtInterval, TmvFieldType(t), Act::None, 4);
    EXPECT_FALSE(fromInterval.Exists());
    EXPECT_EQ(fromInterval.Instance(), nullptr);
    Conversion toInterval(TmvFieldType(t), mvtInterval, Act::None);
    EXPECT_FALSE(toInterval.Exists());
  }
  Conversion int8ToDate(mvtInt8, mvtDate, Act::BestFit);
  EXPECT_FALSE(int8ToDate.Exists());
  EXPECT_EQ(int8ToDate.Method().Data, nullptr);
}

TEST_F(FieldMapperBase, TheLaterClassOfACellIsAskedFirst) {
  {
    Registered cell({&kFirst, &kSecond}, mvtInt8, mvtDate);
    Conversion c(mvtInt8, mvtDate, Act::None);
    ASSERT_TRUE(c.Exists());
    EXPECT_EQ(c.Method().Data, &kSecond);
    EXPECT_EQ(gAsked, (std::vector<const char16_t*>{u"TSecond"}));
    EXPECT_EQ(c.Run({0}), 0u);
    EXPECT_EQ(c.Output[0], 2);
  }
  {
    // The later class leaves the method unassigned (and hands back an
    // instance, which must not leak): the earlier one answers.
    Registered cell({&kFirst, &kRefusing}, mvtInt8, mvtDate);
    Conversion c(mvtInt8, mvtDate, Act::None);
    ASSERT_TRUE(c.Exists());
    EXPECT_EQ(c.Method().Data, &kFirst);
    EXPECT_EQ(gAsked, (std::vector<const char16_t*>{u"TRefusing", u"TFirst"}));
    EXPECT_EQ(gLiveInstances, 0);
  }
  {
    Registered cell({&kRefusing}, mvtInt8, mvtDate);
    Conversion c(mvtInt8, mvtDate, Act::None);
    EXPECT_FALSE(c.Exists());
    EXPECT_EQ(c.Instance(), nullptr);
    EXPECT_EQ(gLiveInstances, 0);
  }
  EXPECT_TRUE(mvFieldMapperClasses(mvtInt8, mvtDate).empty());
}

TEST_F(FieldMapperBase, AClassAskedForASourceItDoesNotHandleGivesNothing) {
  // Registered in a cell whose source it does not serve.
  Registered cell({&kFirst}, mvtInt16, mvtDate);
  Conversion c(mvtInt16, mvtDate, Act::None);
  EXPECT_FALSE(c.Exists());
  EXPECT_EQ(gAsked.size(), 1u);

  // A family class asked directly for a foreign source.
  auto int16 = MakeField(mvtInt16), int32 = MakeField(mvtInt32);
  TmvMappingMethod method;
  const auto& cls = TmvInt32Mapper::StaticClass;
  EXPECT_EQ(cls.TryCreateMapper(cls, int16.get(), nullptr, int32.get(), nullptr, nullptr, method), nullptr);
  EXPECT_FALSE(method.Assigned());
}

TEST_F(FieldMapperBase, TheDataLossActionChoosesTheVariant) {
  // Int16 300 into Byte: checking 10002, forcing 255.
  struct Case {
    Act variant;
    uint32_t result;
  } cases[] = {{Act::None, 10002}, {Act::Fail, 10002}, {Act::Null, 10002}, {Act::BestFit, 0}};
  for (const Case& c : cases) {
    Conversion conversion(mvtInt16, mvtByte, c.variant);
    ASSERT_TRUE(conversion.Exists());
    EXPECT_EQ(conversion.RunValue<int16_t>(300), c.result) << int(c.variant);
    EXPECT_EQ(conversion.Output[0], c.result ? 0xA5 : 255);
  }
  // An action byte outside the three is read as dlaFail.
  auto source = MakeField(mvtInt16), target = MakeField(mvtByte);
  TmvFieldMapperDescriptor odd(u"S", u"T", TmvDataLossAction(7));
  TmvMappingMethod method;
  std::unique_ptr<TmvBaseFieldMapper> made(
      TmvBaseFieldMapper::CreateMapper(source.get(), nullptr, target.get(), nullptr, &odd, method));
  int16_t v = 300;
  uint8_t out = 0;
  EXPECT_EQ(method(&v, &out), 10002u);
}

TEST_F(FieldMapperBase, AFieldTypeOutsideTheThirtyTwoFindsNoCell) {
  // A damaged dictionary: the type byte reads 40.
  Conversion fromDamaged(TmvFieldType(40), mvtInt32, Act::None);
  EXPECT_FALSE(fromDamaged.Exists());
  Conversion toDamaged(mvtInt32, TmvFieldType(255), Act::BestFit);
  EXPECT_FALSE(toDamaged.Exists());
  EXPECT_TRUE(mvFieldMapperClasses(-1, 0).empty());
  EXPECT_TRUE(mvFieldMapperClasses(0, 32).empty());
}

// Outside the fixture: the subsystem really stops and starts again.
TEST(FieldMapperUnits, StartAndStopTwiceGiveTheSameRegistry) {
  for (int run = 0; run < 2; ++run) {
    mvConvertInit();
    mvConvertInit();  // counted: registers nothing twice
    EXPECT_EQ(CountRegisteredCells(), 499);  // every family but the BLOB mappers
    EXPECT_EQ(mvFieldMapperClasses(mvtRefNr, mvtInt64).front(), &TmvInt64Mapper::StaticClass);
    mvConvertFini();
    mvConvertFini();
    EXPECT_EQ(CountRegisteredCells(), 0);
  }
}

}  // namespace
