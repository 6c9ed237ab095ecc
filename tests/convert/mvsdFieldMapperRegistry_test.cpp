// The whole mapper registry against its golden table: which class serves
// each of the 1,024 pairs of field types. Every listed cell holds exactly
// its class and, asked under dlaBestFit with roomy fields, hands out a
// method of that class; every other pair has no class and no method. The
// table is checked again after the subsystem stopped and started.
#include <gtest/gtest.h>

#include <array>
#include <map>

#include "convert/mvsdFieldMapperByteArray.h"
#include "convert/mvsdFieldMapperFloat.h"
#include "convert/mvsdFieldMapperFmtBcd.h"
#include "convert/mvsdFieldMapperGuid.h"
#include "convert/mvsdFieldMapperInteger.h"
#include "convert/mvsdFieldMapperParse.h"
#include "convert/mvsdFieldMapperString.h"
#include "convert/mvsdFieldMapperTemporal.h"
#include "convert/mvsrFieldMapper.h"
#include "mvcvTestCursor.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

using Types = std::vector<TmvFieldType>;
using Golden = std::array<std::array<const TmvFieldMapperClassRef*, mvFieldTypeCount>, mvFieldTypeCount>;

const Types kScalarTargets = {mvtBoolean, mvtChar,     mvtWideChar,   mvtByte,       mvtWord16,     mvtWord32,
                              mvtInt8,    mvtInt16,    mvtInt32,      mvtInt64,      mvtAutoInc,    mvtSingle,
                              mvtDouble,  mvtExtended, mvtCurrency,   mvtByteArray,  mvtShortString, mvtNullString,
                              mvtWideString, mvtRecRev, mvtBCD};
const Types kTextTargets = {mvtBoolean, mvtChar,   mvtWideChar, mvtByte,     mvtWord16,   mvtWord32,   mvtInt8,
                            mvtInt16,   mvtInt32,  mvtInt64,    mvtAutoInc,  mvtSingle,   mvtDouble,   mvtExtended,
                            mvtCurrency, mvtDate,  mvtTime,     mvtDateTime, mvtByteArray, mvtRecRev,  mvtGuid,
                            mvtBCD};
const Types kBlobs = {mvtBlob, mvtBlobMemo, mvtBlobGraphic, mvtBlobWideMemo};

struct GoldenRow {
  Types sources, targets;
  const TmvFieldMapperClassRef* cls;
  const char* family;  // the unit family of the class
};

Types With(Types aTypes, TmvFieldType aMore) {
  aTypes.push_back(aMore);
  return aTypes;
}

// The table as the registry must hold it, row by row.
std::vector<GoldenRow> Rows() {
  return {
      {{mvtBoolean}, kScalarTargets, &TmvBooleanMapper::StaticClass, "integer"},
      {{mvtChar}, kScalarTargets, &TmvCharMapper::StaticClass, "string"},
      {{mvtWideChar}, kScalarTargets, &TmvWideCharMapper::StaticClass, "string"},
      {{mvtByte}, kScalarTargets, &TmvByte8Mapper::StaticClass, "integer"},
      {{mvtWord16}, kScalarTargets, &TmvWord16Mapper::StaticClass, "integer"},
      {{mvtWord32, mvtAutoInc, mvtRecRev}, kScalarTargets, &TmvWord32Mapper::StaticClass, "integer"},
      {{mvtInt8}, kScalarTargets, &TmvInt8Mapper::StaticClass, "integer"},
      {{mvtInt16}, kScalarTargets, &TmvInt16Mapper::StaticClass, "integer"},
      {{mvtInt32}, kScalarTargets, &TmvInt32Mapper::StaticClass, "integer"},
      {{mvtInt64}, kScalarTargets, &TmvInt64Mapper::StaticClass, "integer"},
      {{mvtSingle}, kScalarTargets, &TmvSingleMapper::StaticClass, "float"},
      {{mvtDouble}, With(kScalarTargets, mvtDateTime), &TmvDoubleMapper::StaticClass, "float"},
      {{mvtExtended}, kScalarTargets, &TmvExtendedMapper::StaticClass, "float"},
      {{mvtCurrency, mvtBCD}, kScalarTargets, &TmvCurrencyMapper::StaticClass, "float"},
      {{mvtByte, mvtWord16, mvtWord32, mvtInt8, mvtInt16, mvtInt32, mvtInt64, mvtAutoInc, mvtSingle, mvtDouble,
        mvtExtended, mvtCurrency, mvtRecRev, mvtBCD},
       {mvtFmtBCD},
       &TmvFmtBCDMapper::StaticClass,
       "fmtbcd"},
      {{mvtFmtBCD},
       {mvtByte, mvtWord16, mvtWord32, mvtInt8, mvtInt16, mvtInt32, mvtInt64, mvtAutoInc, mvtSingle, mvtDouble,
        mvtExtended, mvtCurrency, mvtRecRev, mvtBCD, mvtFmtBCD},
       &TmvFmtBCDMapper::StaticClass,
       "fmtbcd"},
      {{mvtDate}, {mvtDate, mvtTime, mvtDateTime, mvtByteArray, mvtShortString, mvtNullString, mvtWideString},
       &TmvDateMapper::StaticClass, "temporal"},
      {{mvtTime}, {mvtDate, mvtTime, mvtDateTime, mvtByteArray, mvtShortString, mvtNullString, mvtWideString},
       &TmvTimeMapper::StaticClass, "temporal"},
      {{mvtDateTime},
       {mvtDouble, mvtDate, mvtTime, mvtDateTime, mvtByteArray, mvtShortString, mvtNullString, mvtWideString},
       &TmvDateTimeMapper::StaticClass, "temporal"},
      {{mvtGuid}, {mvtByteArray, mvtShortString, mvtNullString, mvtWideString, mvtGuid}, &TmvGuidMapper::StaticClass,
       "guid"},
      {{mvtByteArray}, {mvtByteArray, mvtShortString, mvtNullString, mvtWideString, mvtGuid},
       &TmvByteArrayMapper::StaticClass, "bytearray"},
      {{mvtRefNr}, {mvtInt64, mvtShortString, mvtNullString, mvtWideString, mvtRefNr}, &TmvInt64Mapper::StaticClass,
       "integer"},
      {{mvtShortString}, {mvtShortString}, &TmvShortStringToShortStringMapper::StaticClass, "string"},
      {{mvtShortString}, {mvtNullString}, &TmvShortStringToNullStringMapper::StaticClass, "string"},
      {{mvtNullString}, {mvtNullString}, &TmvNullStringToNullStringMapper::StaticClass, "string"},
      {{mvtNullString}, {mvtShortString}, &TmvNullStringToShortStringMapper::StaticClass, "string"},
      {{mvtShortString, mvtNullString}, {mvtWideString}, &TmvAnsiStringToWideStringMapper::StaticClass, "string"},
      {{mvtWideString}, {mvtShortString, mvtNullString}, &TmvWideStringToAnsiStringMapper::StaticClass, "string"},
      {{mvtWideString}, {mvtWideString}, &TmvWideStringToWideStringMapper::StaticClass, "string"},
      {{mvtShortString}, kTextTargets, &TmvShortStringMapper::StaticClass, "parse"},
      {{mvtNullString}, kTextTargets, &TmvNullStringMapper::StaticClass, "parse"},
      {{mvtWideString}, kTextTargets, &TmvWideStringMapper::StaticClass, "parse"},
      {{mvtBlob, mvtBlobGraphic}, kBlobs, &TmvBlobMapper::StaticClass, "blob"},
      {{mvtBlobMemo}, {mvtBlob, mvtBlobGraphic}, &TmvBlobMapper::StaticClass, "blob"},
      {{mvtBlobWideMemo}, {mvtBlob, mvtBlobGraphic, mvtBlobWideMemo}, &TmvBlobMapper::StaticClass, "blob"},
      {{mvtBlobMemo}, {mvtBlobMemo}, &TmvBlobMemoToBlobMemoMapper::StaticClass, "blob"},
      {{mvtBlobMemo}, {mvtBlobWideMemo}, &TmvBlobMemoToBlobWideMemoMapper::StaticClass, "blob"},
      {{mvtBlobWideMemo}, {mvtBlobMemo}, &TmvBlobWideMemoToBlobMemoMapper::StaticClass, "blob"},
      {{mvtNullString}, kBlobs, &TmvNullStringToBlobMapper::StaticClass, "blob"},
      {{mvtShortString}, kBlobs, &TmvShortStringToBlobMapper::StaticClass, "blob"},
      {{mvtWideString}, kBlobs, &TmvWideStringToBlobMapper::StaticClass, "blob"},
      {{mvtBlob, mvtBlobGraphic, mvtBlobMemo}, {mvtNullString}, &TmvBlobToNullStringMapper::StaticClass, "blob"},
      {{mvtBlob, mvtBlobGraphic, mvtBlobMemo}, {mvtShortString}, &TmvBlobToShortStringMapper::StaticClass, "blob"},
      {{mvtBlob, mvtBlobGraphic, mvtBlobMemo}, {mvtWideString}, &TmvBlobToWideStringMapper::StaticClass, "blob"},
      {{mvtBlobWideMemo}, {mvtShortString, mvtNullString}, &TmvBlobWideMemoToAnsiStringMapper::StaticClass, "blob"},
      {{mvtBlobWideMemo}, {mvtWideString}, &TmvBlobWideMemoToWideStringMapper::StaticClass, "blob"},
  };
}

// A roomy field of the type: strings of 40 units, ByteArray 16, BCD(20,4),
// FmtBCD(32,4).
std::unique_ptr<TmvFieldDescriptor> RoomyField(TmvFieldType aType) {
  switch (aType) {
    case mvtShortString: case mvtNullString: case mvtWideString: return MakeField(aType, 40);
    case mvtByteArray: return MakeField(aType, 16);
    case mvtBCD: return MakeField(aType, 20, 4);
    case mvtFmtBCD: return MakeField(aType, 32, 4);
    default: return MakeField(aType);
  }
}

// The class a method was bound to: the instance's, else the class record
// (or the record of a class and a length) that the method carries.
const ClassRef* ClassOfMethod(const TmvBaseFieldMapper* aInstance, const TmvMappingMethod& aMethod,
                              const TmvFieldMapperClassRef* aExpected) {
  if (aInstance) return &aInstance->ClassType();
  if (aMethod.Data == aExpected) return aExpected;
  return static_cast<const TmvClassBoundLength*>(aMethod.Data)->Class;
}

std::string TypeName(int aType) {
  std::string name;
  for (char16_t c : mvFieldTypeNames[aType]) name += char(c);
  return name;
}

class FieldMapperRegistry : public ConvertTest {
 protected:
  void SetUp() override { TTestCursor::Install(); }
  void TearDown() override { TTestCursor::Uninstall(); }

  void CheckRegistry(const Golden& aGolden) {
    TmvFieldMapperDescriptor bestFit(u"S", u"T", dlaBestFit);
    for (int s = 0; s < mvFieldTypeCount; ++s) {
      for (int t = 0; t < mvFieldTypeCount; ++t) {
        SCOPED_TRACE(TypeName(s) + " -> " + TypeName(t));
        const TmvFieldMapperClasses& classes = mvFieldMapperClasses(s, t);
        auto source = RoomyField(TmvFieldType(s)), target = RoomyField(TmvFieldType(t));
        TmvMappingMethod method;
        std::unique_ptr<TmvBaseFieldMapper> made(TmvBaseFieldMapper::CreateMapper(
            source.get(), fSource.AsCursor(), target.get(), fTarget.AsCursor(), &bestFit, method));
        if (!aGolden[s][t]) {
          EXPECT_TRUE(classes.empty());
          EXPECT_FALSE(method.Assigned());
          EXPECT_EQ(made, nullptr);
          continue;
        }
        ASSERT_EQ(classes.size(), 1u);
        EXPECT_EQ(classes.front(), aGolden[s][t]);
        ASSERT_TRUE(method.Assigned());
        EXPECT_EQ(ClassOfMethod(made.get(), method, aGolden[s][t]), aGolden[s][t]);
      }
    }
  }

  TTestCursor fSource, fTarget;
};

TEST_F(FieldMapperRegistry, EveryCellHoldsItsClassAndGivesItsMethod) {
  Golden golden{};
  std::map<std::string, int> cellsPerFamily;
  for (const GoldenRow& row : Rows()) {
    for (TmvFieldType s : row.sources) {
      for (TmvFieldType t : row.targets) {
        ASSERT_EQ(golden[s][t], nullptr) << "the table lists a cell twice: " << int(s) << ", " << int(t);
        golden[s][t] = row.cls;
        ++cellsPerFamily[row.family];
      }
    }
  }
  EXPECT_EQ(cellsPerFamily, (std::map<std::string, int>{{"integer", 215}, {"float", 106}, {"temporal", 22},
                                                          {"guid", 5}, {"string", 51}, {"parse", 66},
                                                          {"bytearray", 5}, {"fmtbcd", 29}, {"blob", 40}}));
  int listed = 0;
  for (const auto& [family, cells] : cellsPerFamily) listed += cells;
  EXPECT_EQ(listed, 539);

  CheckRegistry(golden);
  // Stopped and started again, the registry is the same.
  mvConvertFini();
  mvConvertInit();
  CheckRegistry(golden);
}

}  // namespace
