// Build tool: writes the character category table of the full-text token
// filters as a C++ source that the storage library compiles in.
//
// The table is derived from ICU's Unicode data, restricted to the code
// points that Unicode 3.0 already had (age 3.0 or less), so that the
// separator filters of stored full-text indexes keep cutting text where
// they always did whatever newer characters ICU knows. Its records, one
// per category that has any code point, little-endian, without header or
// padding:
//   offset 0  size 1    category ordinal (TmvCharacterCategory)
//   offset 1  size 4    range count n
//   offset 5  size 8 n  n ranges: start (i32), stop (i32), inclusive
// Categories: the general category (Cn has no record), the bidirectional
// class (B recorded as SeparatorParagraph, NSM as MarkNonSpacing), Composed
// (any decomposition) and Assigned (every code point of a category other
// than Cn, surrogates and private use included).
//
// Usage: mvGenCharCategories <output.cpp>. Calls only ICU and the C++
// library; the output defines mvCharacterCategoryData and its size.
#include <unicode/uchar.h>
#include <unicode/uclean.h>
#include <unicode/uversion.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The ordinals of the engine's category enumeration that the table fills.
enum : uint8_t {
  kLu = 0, kLl, kLt, kMn, kMc, kMe, kNd, kNl, kNo, kZs, kZl, kZp, kCc, kCf, kCs, kCo, kCn,
  kLm, kLo, kPc, kPd, kPs, kPe, kPi, kPf, kPo, kSm, kSc, kSk, kSo,
  kL, kLRE, kLRO, kR, kAL, kRLE, kRLO, kPDF, kEN, kES, kET, kAN, kCS, kBN, kS, kWS, kON,
  kComposed,
  kAssigned = 54,
  kCategoryCount = 55,
  kNone = 0xFF
};

uint8_t GeneralCategory(UChar32 c) {
  switch (u_charType(c)) {
    case U_UPPERCASE_LETTER: return kLu;
    case U_LOWERCASE_LETTER: return kLl;
    case U_TITLECASE_LETTER: return kLt;
    case U_NON_SPACING_MARK: return kMn;
    case U_COMBINING_SPACING_MARK: return kMc;
    case U_ENCLOSING_MARK: return kMe;
    case U_DECIMAL_DIGIT_NUMBER: return kNd;
    case U_LETTER_NUMBER: return kNl;
    case U_OTHER_NUMBER: return kNo;
    case U_SPACE_SEPARATOR: return kZs;
    case U_LINE_SEPARATOR: return kZl;
    case U_PARAGRAPH_SEPARATOR: return kZp;
    case U_CONTROL_CHAR: return kCc;
    case U_FORMAT_CHAR: return kCf;
    case U_SURROGATE: return kCs;
    case U_PRIVATE_USE_CHAR: return kCo;
    case U_MODIFIER_LETTER: return kLm;
    case U_OTHER_LETTER: return kLo;
    case U_CONNECTOR_PUNCTUATION: return kPc;
    case U_DASH_PUNCTUATION: return kPd;
    case U_START_PUNCTUATION: return kPs;
    case U_END_PUNCTUATION: return kPe;
    case U_INITIAL_PUNCTUATION: return kPi;
    case U_FINAL_PUNCTUATION: return kPf;
    case U_OTHER_PUNCTUATION: return kPo;
    case U_MATH_SYMBOL: return kSm;
    case U_CURRENCY_SYMBOL: return kSc;
    case U_MODIFIER_SYMBOL: return kSk;
    case U_OTHER_SYMBOL: return kSo;
    default: return kNone;  // unassigned
  }
}

uint8_t BidiClass(UChar32 c) {
  switch (u_charDirection(c)) {
    case U_LEFT_TO_RIGHT: return kL;
    case U_LEFT_TO_RIGHT_EMBEDDING: return kLRE;
    case U_LEFT_TO_RIGHT_OVERRIDE: return kLRO;
    case U_RIGHT_TO_LEFT: return kR;
    case U_RIGHT_TO_LEFT_ARABIC: return kAL;
    case U_RIGHT_TO_LEFT_EMBEDDING: return kRLE;
    case U_RIGHT_TO_LEFT_OVERRIDE: return kRLO;
    case U_POP_DIRECTIONAL_FORMAT: return kPDF;
    case U_EUROPEAN_NUMBER: return kEN;
    case U_EUROPEAN_NUMBER_SEPARATOR: return kES;
    case U_EUROPEAN_NUMBER_TERMINATOR: return kET;
    case U_ARABIC_NUMBER: return kAN;
    case U_COMMON_NUMBER_SEPARATOR: return kCS;
    case U_BOUNDARY_NEUTRAL: return kBN;
    case U_SEGMENT_SEPARATOR: return kS;
    case U_WHITE_SPACE_NEUTRAL: return kWS;
    case U_OTHER_NEUTRAL: return kON;
    case U_BLOCK_SEPARATOR: return kZp;       // B: the paragraph separators
    case U_DIR_NON_SPACING_MARK: return kMn;  // NSM
    default: return kNone;  // the isolates came after 3.0
  }
}

// Unicode 3.0 or older.
bool InUnicode30(UChar32 c) {
  UVersionInfo age;
  u_charAge(c, age);
  return age[0] < 3 || (age[0] == 3 && age[1] == 0 && age[2] == 0 && age[3] == 0);
}

struct Range {
  int32_t start, stop;
};

void AddCodePoint(std::vector<Range>& aRanges, UChar32 c) {
  if (!aRanges.empty() && aRanges.back().stop + 1 == c)
    aRanges.back().stop = c;
  else
    aRanges.push_back({c, c});
}

void PutU32(std::vector<uint8_t>& aOut, uint32_t aValue) {
  for (int i = 0; i < 4; ++i) aOut.push_back(uint8_t(aValue >> (8 * i)));
}

std::vector<uint8_t> BuildTable() {
  std::vector<std::vector<Range>> ranges(kCategoryCount);
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (!InUnicode30(c)) continue;
    const uint8_t general = GeneralCategory(c);
    if (general == kNone) continue;
    AddCodePoint(ranges[general], c);
    if (const uint8_t bidi = BidiClass(c); bidi != kNone && bidi != general) AddCodePoint(ranges[bidi], c);
    if (u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) != U_DT_NONE) AddCodePoint(ranges[kComposed], c);
    AddCodePoint(ranges[kAssigned], c);
  }
  std::vector<uint8_t> out;
  for (int category = 0; category < kCategoryCount; ++category) {
    if (ranges[category].empty()) continue;
    out.push_back(uint8_t(category));
    PutU32(out, uint32_t(ranges[category].size()));
    for (const Range& r : ranges[category]) {
      PutU32(out, uint32_t(r.start));
      PutU32(out, uint32_t(r.stop));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.cpp>\n", argv[0]);
    return 2;
  }
  const std::vector<uint8_t> table = BuildTable();
  u_cleanup();  // ICU's caches go, so that a leak check sees none
  std::string text =
      "// Generated by tools/mvGenCharCategories from ICU's Unicode data; do not edit.\n"
      "#include <cstddef>\n#include <cstdint>\n\n"
      "extern const uint8_t mvCharacterCategoryData[];\nextern const size_t mvCharacterCategoryDataSize;\n\n"
      "const uint8_t mvCharacterCategoryData[] = {";
  for (size_t i = 0; i < table.size(); ++i) {
    text += (i % 16 == 0) ? "\n   " : "";
    text += " " + std::to_string(table[i]) + ",";
  }
  text += "\n};\nconst size_t mvCharacterCategoryDataSize = " + std::to_string(table.size()) + ";\n";
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
