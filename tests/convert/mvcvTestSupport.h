// Test support of the field conversion tests: the subsystem started once per
// test suite, field descriptors made on their own, and one conversion asked
// from the registry and run on a target between guard bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "convert/mvsdFieldMapperBase.h"
#include "convert/mvsdFieldMapperUnits.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "platform/Numeric.h"

namespace mvtest {

class ConvertTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() { mvConvertInit(); }
  static void TearDownTestSuite() { mvConvertFini(); }
};

using Bytes = std::vector<uint8_t>;

// A field with no table around it; aLocale 0 leaves it without a locale.
inline std::unique_ptr<TmvFieldDescriptor> MakeField(TmvFieldType aType, int32_t aUnits = 0, int32_t aDecPl = 0,
                                                     LCID aLocale = 0) {
  auto field = std::make_unique<TmvFieldDescriptor>(nullptr, u"F", u"", aType, aUnits, aDecPl, false);
  if (aLocale) field->AddLocaleDescriptor()->SetLocale(aLocale);
  return field;
}

// A field whose locale stores text in aCodePage; code page 0 leaves it
// without a locale (the system ANSI code page).
inline std::unique_ptr<TmvFieldDescriptor> MakeCodePageField(TmvFieldType aType, int32_t aUnits, uint16_t aCodePage,
                                                             int32_t aDecPl = 0) {
  auto field = MakeField(aType, aUnits, aDecPl, aCodePage ? 0x0409 : 0);
  if (aCodePage) field->GetLocaleDescriptor()->SetOverrideStorageCodepage(aCodePage);
  return field;
}

// String values as they lie in a field of aUnits units; the bytes after the
// value are 0xCC, as a record buffer may hold anything there.
inline Bytes ShortStr(int32_t aUnits, std::string_view aText) {
  Bytes b(size_t(aUnits) + 1, 0xCC);
  b[0] = uint8_t(aText.size());
  std::memcpy(b.data() + 1, aText.data(), std::min(aText.size(), size_t(aUnits)));
  return b;
}
inline Bytes NullStr(int32_t aUnits, std::string_view aText) {
  Bytes b(size_t(aUnits) + 1, 0xCC);
  std::memcpy(b.data(), aText.data(), std::min(aText.size(), size_t(aUnits)));
  if (aText.size() <= size_t(aUnits)) b[aText.size()] = 0;
  return b;
}
inline Bytes WideStr(int32_t aUnits, std::u16string_view aText) {
  Bytes b(2 * size_t(aUnits) + 2, 0xCC);
  for (size_t i = 0; i < aText.size() && i < size_t(aUnits); ++i) StoreLE<uint16_t>(b.data() + 2 * i, aText[i]);
  if (aText.size() <= size_t(aUnits)) StoreLE<uint16_t>(b.data() + 2 * aText.size(), 0);
  return b;
}

template <typename T>
Bytes ValueBytes(T aValue) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &aValue, sizeof(T));
  return b;
}
inline Bytes ExtendedBytes(Extended aValue) {
  Bytes b(ExtendedSize);
  ExtendedToBytes(aValue, b.data());
  return b;
}

// The checking variant (no descriptor, or dlaFail / dlaNull) or the forcing
// one (dlaBestFit).
enum class Act { None, Fail, Null, BestFit };

// One conversion from the registry between two fields.
class Conversion {
 public:
  Conversion(TmvFieldType aSource, TmvFieldType aTarget, Act aVariant, int32_t aTargetUnits = 0,
             int32_t aTargetDecPl = 0, LCID aTargetLocale = 0)
      : Conversion(MakeField(aSource), MakeField(aTarget, aTargetUnits, aTargetDecPl, aTargetLocale), aVariant) {}
  Conversion(std::unique_ptr<TmvFieldDescriptor> aSource, std::unique_ptr<TmvFieldDescriptor> aTarget,
             Act aVariant)
      : fSource(std::move(aSource)), fTarget(std::move(aTarget)) {
    if (aVariant != Act::None) {
      static constexpr TmvDataLossAction kActions[] = {dlaFail, dlaFail, dlaNull, dlaBestFit};
      fDescriptor = std::make_unique<TmvFieldMapperDescriptor>(u"S", u"T", kActions[int(aVariant)]);
    }
    fInstance.reset(TmvBaseFieldMapper::CreateMapper(fSource.get(), nullptr, fTarget.get(), nullptr,
                                                     fDescriptor.get(), fMethod));
  }

  bool Exists() const { return fMethod.Assigned(); }
  const TmvBaseFieldMapper* Instance() const { return fInstance.get(); }
  const TmvMappingMethod& Method() const { return fMethod; }
  TmvFieldDescriptor& Target() const { return *fTarget; }

  // Runs the conversion on a target filled with aFill and framed by guard
  // bytes, which must not change; Output holds the field's bytes after. The
  // source is padded to its field's length and no further, so that reading
  // beyond the field shows under the address sanitizer.
  uint32_t Run(const Bytes& aSource, uint8_t aFill = 0xA5) {
    const size_t length = size_t(fTarget->Length());
    Bytes buffer(length + 2 * kGuard, kGuardByte);
    std::memset(buffer.data() + kGuard, aFill, length);
    Bytes source = aSource;
    source.resize(std::max<size_t>(source.size(), size_t(fSource->Length())));
    const uint32_t result = fMethod(source.data(), buffer.data() + kGuard);
    for (size_t i = 0; i < kGuard; ++i) {
      EXPECT_EQ(buffer[i], kGuardByte) << "guard before the target, byte " << i;
      EXPECT_EQ(buffer[kGuard + length + i], kGuardByte) << "guard after the target, byte " << i;
    }
    Output.assign(buffer.begin() + kGuard, buffer.begin() + kGuard + long(length));
    return result;
  }
  template <typename T>
  uint32_t RunValue(T aValue, uint8_t aFill = 0xA5) {
    return Run(ValueBytes(aValue), aFill);
  }

  // The target read as a value.
  template <typename T>
  T As() const {
    T v;
    std::memcpy(&v, Output.data(), sizeof(T));
    return v;
  }
  Extended AsExtended() const { return ExtendedFromBytes(Output.data()); }
  // The bytes of a single-byte string target's value.
  std::string AnsiText() const {
    const TmvFieldType type = fTarget->FieldType();
    if (type == mvtShortString) return std::string(Output.begin() + 1, Output.begin() + 1 + Output[0]);
    std::string text;
    for (size_t i = 0; i < Output.size() && Output[i]; ++i) text += char(Output[i]);
    return text;
  }
  // The text in a string target (single-byte texts widened byte by byte).
  String Text() const {
    const TmvFieldType type = fTarget->FieldType();
    String text;
    if (type == mvtShortString) {
      for (uint8_t i = 0; i < Output[0]; ++i) text += char16_t(Output[1 + i]);
    } else if (type == mvtNullString) {
      for (size_t i = 0; i < Output.size() && Output[i]; ++i) text += char16_t(Output[i]);
    } else {
      for (size_t i = 0; 2 * i + 1 < Output.size(); ++i) {
        const char16_t c = char16_t(Output[2 * i] | Output[2 * i + 1] << 8);
        if (!c) break;
        text += c;
      }
    }
    return text;
  }

  Bytes Output;

 private:
  static constexpr size_t kGuard = 8;
  static constexpr uint8_t kGuardByte = 0x5A;

  std::unique_ptr<TmvFieldDescriptor> fSource, fTarget;
  std::unique_ptr<TmvFieldMapperDescriptor> fDescriptor;
  std::unique_ptr<TmvBaseFieldMapper> fInstance;
  TmvMappingMethod fMethod;
};

// What one variant of a conversion must leave: the target untouched (the
// fill kept), the first bytes of the target, or the text of a string target.
struct Untouched {};
using Expected = std::variant<Untouched, Bytes, String>;

// One conversion in both variants: "a / b" is checking / forcing.
struct Row {
  const char* name;
  TmvFieldType source;
  Bytes value;
  TmvFieldType target;
  int32_t units, decPl;
  uint32_t checking;
  Expected checked;
  uint32_t forcing;
  Expected forced;
  int32_t sourceUnits = 0, sourceDecPl = 0;  // string and FmtBCD sources
};

inline void ExpectVariant(const Row& aRow, Act aAct, uint32_t aResult, const Expected& aExpected) {
  SCOPED_TRACE(std::string(aRow.name) + (aAct == Act::BestFit ? " (forcing)" : " (checking)"));
  Conversion c(MakeField(aRow.source, aRow.sourceUnits, aRow.sourceDecPl), MakeField(aRow.target, aRow.units, aRow.decPl),
               aAct);
  ASSERT_TRUE(c.Exists());
  EXPECT_EQ(c.Run(aRow.value), aResult);
  if (std::holds_alternative<Untouched>(aExpected)) {
    EXPECT_EQ(c.Output, Bytes(c.Output.size(), 0xA5));
  } else if (const Bytes* bytes = std::get_if<Bytes>(&aExpected)) {
    ASSERT_LE(bytes->size(), c.Output.size());
    EXPECT_EQ(Bytes(c.Output.begin(), c.Output.begin() + long(bytes->size())), *bytes);
  } else {
    EXPECT_EQ(c.Text(), std::get<String>(aExpected));
  }
}

inline void ExpectRows(std::initializer_list<Row> aRows) {
  for (const Row& row : aRows) {
    ExpectVariant(row, Act::Fail, row.checking, row.checked);
    ExpectVariant(row, Act::BestFit, row.forcing, row.forced);
  }
}

}  // namespace mvtest
