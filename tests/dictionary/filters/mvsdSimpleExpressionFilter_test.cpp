// Tests of the simple-expression filter: evaluation of hand-built trees over
// a record of every kind of field, the refusal of damaged trees, and the
// descriptor's stream versions.
#include "dictionary/filters/mvsdSimpleExpressionFilter.h"

#include <gtest/gtest.h>

#include <memory>

#include "dictionary/mvsdFilterTestSupport.h"
#include "foundation/mvllStreams.h"
#include "foundation/types/mvllFmtBcd.h"
#include "platform/DateUtils.h"
#include "platform/Guid.h"
#include "platform/Numeric.h"

using namespace mvtest;

namespace {

constexpr int32_t kDay = 737426;  // 2 January 2020, day 1 being 1 January of year 1
constexpr double kMsPerDay = 86400000.0;
const TGUID kGuid{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

class SimpleFilter : public DictionaryTest {
 protected:
  void SetUp() override {
    TmvFieldsDescriptor& f = *t.dd.Fields;
    for (const auto& [name, type, units] : std::initializer_list<std::tuple<const char16_t*, TmvFieldType, int>>{
             {u"I", mvtInt32, 0},       {u"D", mvtDouble, 0},       {u"S", mvtShortString, 10},
             {u"Dt", mvtDate, 0},       {u"B", mvtBoolean, 0},      {u"B2", mvtBoolean, 0},
             {u"Nl", mvtInt32, 0},      {u"Nl2", mvtInt32, 0},      {u"W", mvtWideString, 10},
             {u"Bd", mvtShortString, 10}, {u"L", mvtInt64, 0},      {u"C", mvtCurrency, 0},
             {u"T", mvtTime, 0},        {u"TS", mvtDateTime, 0},    {u"G", mvtGuid, 0},
             {u"E", mvtExtended, 0},    {u"Wd", mvtWord16, 0},      {u"By", mvtByte, 0},
             {u"Ch", mvtChar, 0},       {u"N", mvtNullString, 10},  {u"BA", mvtByteArray, 4},
             {u"WC", mvtWideChar, 0},   {u"Sg", mvtSingle, 0}})
      f.AddField(name, u"", type, units, 0, false);
    f.AddField(u"F", u"", mvtFmtBCD, 10, 2, false);
    record.assign(size_t(f.RecordLength()), 0);
    f.InitRecord(record.data());
    Set(u"I", Variant(int32_t(42)));
    Set(u"D", Variant(0.30000000000000004));
    Set(u"S", Variant(u"abcdef"));
    Raw(u"Dt", kDay);
    Set(u"B", Variant(true));
    Set(u"B2", Variant(false));
    Set(u"W", Variant(u"abcd"));
    Set(u"Bd", Variant(u"bd"));
    Set(u"L", Variant(int64_t(-5)));
    Raw(u"C", int64_t(125000));
    Raw(u"T", int32_t(3600000));
    Raw(u"TS", kDay * kMsPerDay + 3600000);
    uint8_t guid[16];
    GUIDToBytes(kGuid, guid);
    f.SetRecordField(Index(u"G"), record.data(), guid);
    uint8_t extended[10];
    ExtendedToBytes(1.5L, extended);
    f.SetRecordField(Index(u"E"), record.data(), extended);
    Set(u"Wd", Variant(uint16_t(7)));
    Set(u"By", Variant(uint8_t(200)));
    Set(u"Ch", Variant(u"x"));
    Set(u"N", Variant(u"hello"));
    const uint8_t bytes[4] = {1, 2, 3, 4};
    f.SetRecordField(Index(u"BA"), record.data(), bytes);
    Raw(u"WC", char16_t(u'Z'));
    Raw(u"Sg", 2.5f);
    TBcd bcd;
    ASSERT_TRUE(mvTryStrToBcd(u"12.34", bcd, u'.'));
    f.fsdSetFieldByIndexAsVariant(record.data(), Index(u"F"), Variant(bcd));
  }

  int32_t Index(const String& aName) { return t.dd.Fields->GetFieldFromName(aName); }
  void Set(const String& aName, const Variant& aValue) {
    t.dd.Fields->fsdSetFieldByIndexAsVariant(record.data(), Index(aName), aValue);
  }
  template <typename T>
  void Raw(const String& aName, T aValue) {
    t.dd.Fields->SetRecordField(Index(aName), record.data(), &aValue);
  }
  Expr F(const String& aName) { return FieldNode(uint16_t(Index(aName) + 1), Utf8(aName)); }

  // The verdict of an active engine over the record.
  bool Matches(const std::vector<uint8_t>& aTree, int32_t aCodePage = -1) {
    TmvSimpleExpressionFilterDescriptor descriptor(TmvCANExpr(aTree.data(), aTree.size()), aCodePage);
    std::unique_ptr<TmvBaseFilterEngine> engine(TmvBaseFilterEngine::CreateFor(&descriptor, t.dd.Fields));
    engine->SetActive(true);
    return engine->MatchesBuffer(record.data());
  }
  bool Matches(const Expr& aRoot) { return Matches(TreeBytes(aRoot).bytes); }

  TTestTable t;
  std::vector<uint8_t> record;
};

struct Case {
  const char* what;
  Expr expr;
  bool expected;
};

TEST_F(SimpleFilter, EvaluationOfEveryNodeOperatorAndConstant) {
  const double day = kDay * kMsPerDay;
  TBcd bcd;
  ASSERT_TRUE(mvTryStrToBcd(u"12.34", bcd, u'.'));
  std::vector<uint8_t> packed(reinterpret_cast<uint8_t*>(&bcd), reinterpret_cast<uint8_t*>(&bcd) + sizeof bcd);
  uint8_t extended[10];
  ExtendedToBytes(12.5L, extended);
  const Case cases[] = {
      // Nulls.
      {"equal against a null field", Cmp(kEq, F(u"Nl"), ConstOf<int32_t>(6, 1)), false},
      {"not equal against a null field", Cmp(kNe, F(u"Nl"), ConstOf<int32_t>(6, 1)), true},
      {"is blank on null", Un(kBlank, F(u"Nl")), true},
      {"is not blank on null", Un(kNotBlank, F(u"Nl")), false},
      {"is not blank on a value", Un(kNotBlank, F(u"I")), true},
      {"null equals null", Cmp(kEq, F(u"Nl"), F(u"Nl2")), true},
      {"a null field less than a value", Cmp(kLt, F(u"Nl"), ConstOf<int32_t>(6, -100)), true},
      {"a null root passes", F(u"Nl"), true},
      // Texts.
      {"case-insensitive partial compare", Cmp(kEq, F(u"S"), Str("ABC"), 1, 3), true},
      {"case-sensitive partial compare", Cmp(kEq, F(u"S"), Str("ABC"), 0, 3), false},
      {"partial compare of the same case", Cmp(kEq, F(u"S"), Str("abc"), 0, 3), true},
      {"whole compare differs in length", Cmp(kEq, F(u"S"), Str("abc")), false},
      {"like finds a substring", Cmp(kLike, F(u"W"), Str("bc")), true},
      {"like misses", Cmp(kLike, F(u"Bd"), Str("bc")), false},
      {"an empty pattern matches nothing", Cmp(kLike, F(u"W"), Str("")), false},
      {"like ignoring case", Cmp(kLike, F(u"W"), Str("BC"), 1), true},
      {"like keeps a wide string whole", Cmp(kLike, F(u"W"), Str("cdxx"), 0, 2), true},
      {"text ordering by the locale", Cmp(kLt, F(u"S"), Str("b")), true},
      {"text ordering, greater or equal", Cmp(kGe, F(u"S"), Str("abcdef")), true},
      {"null string", Cmp(kEq, F(u"N"), Str("hello")), true},
      {"char", Cmp(kEq, F(u"Ch"), Str("x")), true},
      {"wide char against wide text", Cmp(kEq, F(u"WC"), WStr(u"Z")), true},
      {"wide string against wide text", Cmp(kEq, F(u"W"), WStr(u"abcd")), true},
      {"GUID as its text", Cmp(kEq, F(u"G"), Str(Utf8(GUIDToString(kGuid)))), true},
      {"text against a number has no answer", Cmp(kEq, F(u"S"), ConstOf<int32_t>(6, 5)), false},
      {"nor for not equal", Cmp(kNe, F(u"S"), ConstOf<int32_t>(6, 5)), false},
      // Numbers.
      {"int16 constant", Cmp(kGt, F(u"I"), ConstOf<int16_t>(5, 41)), true},
      {"int32 constant", Cmp(kEq, F(u"I"), ConstOf<int32_t>(6, 42)), true},
      {"word16 constant", Cmp(kEq, F(u"Wd"), ConstOf<uint16_t>(12, 7)), true},
      {"word32 constant on the left, zero-extended", Cmp(kGt, ConstOf<uint32_t>(13, 0xFFFFFFFF), F(u"I")), true},
      {"int64 constant", Cmp(kEq, F(u"L"), ConstOf<int64_t>(18, -5)), true},
      {"byte field", Cmp(kGt, F(u"By"), ConstOf<int16_t>(5, 100)), true},
      {"less or equal", Cmp(kLe, F(u"I"), ConstOf<int32_t>(6, 42)), true},
      {"integer against a float", Cmp(kGt, F(u"I"), ConstOf<double>(7, 41.5)), true},
      {"double within 1E-16 of its constant", Cmp(kEq, F(u"D"), ConstOf<double>(7, 0.3)), true},
      {"so not greater", Cmp(kGt, F(u"D"), ConstOf<double>(7, 0.3)), false},
      {"currency against a 10-byte float", Cmp(kEq, F(u"C"), ConstNode(14, {extended, extended + 10})), true},
      {"currency against a single", Cmp(kEq, F(u"C"), ConstOf<float>(27, 12.5f)), true},
      {"single field against a double", Cmp(kEq, F(u"Sg"), ConstOf<double>(7, 2.5)), true},
      {"extended field", Cmp(kEq, F(u"E"), ConstOf<double>(7, 1.5)), true},
      {"packed decimal field and constant", Cmp(kEq, F(u"F"), ConstNode(8, packed)), true},
      {"packed decimal against a double", Cmp(kLt, F(u"F"), ConstOf<double>(7, 12.35)), true},
      // Date-times.
      {"date against a timestamp", Cmp(kEq, F(u"Dt"), ConstOf<double>(11, day)), true},
      {"date before a second later", Cmp(kLt, F(u"Dt"), ConstOf<double>(11, day + 1000)), true},
      {"date against a day number", Cmp(kEq, F(u"Dt"), ConstOf<int32_t>(2, kDay)), true},
      {"time against a time", Cmp(kEq, F(u"T"), ConstOf<int32_t>(10, 3600000)), true},
      {"timestamp after its day", Cmp(kGt, F(u"TS"), ConstOf<int32_t>(2, kDay)), true},
      // Booleans.
      {"boolean field equals true", Cmp(kEq, F(u"B"), Bool(true)), true},
      {"boolean field is not false", Cmp(kEq, F(u"B"), Bool(false)), false},
      {"false before true", Cmp(kLt, F(u"B2"), F(u"B")), true},
      {"a comparison's value is a boolean", Cmp(kEq, Cmp(kEq, F(u"I"), ConstOf<int32_t>(6, 42)), Bool(true)), true},
      {"a boolean root gives its value", F(u"B2"), false},
      {"a false constant root", Bool(false), false},
      {"another value as root passes", Str("x"), true},
      // Raw bytes.
      {"bytes over the shorter length", Cmp(kEq, F(u"BA"), ConstNode(99, {1, 2, 3})), true},
      {"bytes unsigned", Cmp(kLt, F(u"BA"), ConstNode(99, {1, 2, 0xFF})), true},
      // A field's bytes are its native bytes, not its units (10 for Int32).
      {"raw bytes against an Int32's four", Cmp(kEq, ConstNode(99, {42, 0, 0, 0, 9, 9, 9, 9, 9, 9}), F(u"I")), true},
      // Unary, binary, continue and unknown nodes.
      {"not of a boolean", Un(kNot, F(u"B")), false},
      {"not of a false comparison", Un(kNot, Cmp(kEq, F(u"I"), ConstOf<int32_t>(6, 1))), true},
      {"not of null", Un(kNot, F(u"Nl")), true},
      {"not of another value", Un(kNot, F(u"I")), true},
      {"not of a missing field", Un(kNot, FieldNode(99, "X")), true},
      {"blank of a missing field", Un(kBlank, FieldNode(99, "X")), false},
      {"and", Bin(kAnd, Cmp(kEq, F(u"I"), ConstOf<int32_t>(6, 42)), Cmp(kEq, F(u"L"), ConstOf<int64_t>(18, 0))), false},
      {"or", Bin(kOr, Cmp(kEq, F(u"I"), ConstOf<int32_t>(6, 1)), Cmp(kEq, F(u"L"), ConstOf<int64_t>(18, -5))), true},
      {"and takes a field's existence, not its value", Bin(kAnd, F(u"B2"), Cont(1)), true},
      {"and of a missing field", Bin(kAnd, FieldNode(99, "X"), Cont(1)), false},
      {"binary comparison is whole and case-sensitive", Bin(kEq, F(u"S"), Str("ABCDEF")), false},
      {"binary comparison", Bin(kNe, F(u"I"), ConstOf<int32_t>(6, 41)), true},
      {"binary like", Bin(kLike, F(u"S"), Str("cde")), true},
      {"continue with a value", Cont(1), true},
      {"continue with zero", Cont(0), false},
      {"continue has no value to compare", Cmp(kEq, Cont(1), Cont(1)), false},
      {"an unknown node class", OtherNode(), false},
      {"an unknown node in an or", Bin(kOr, OtherNode(), Cont(1)), true},
      {"an unknown compare operator", Cmp(12, F(u"I"), F(u"I")), false},
      {"an unknown unary operator", Un(12, F(u"I")), false},
      {"an unknown binary operator", Bin(12, Cont(1), Cont(1)), false},
  };
  for (const Case& c : cases) EXPECT_EQ(Matches(c.expr), c.expected) << c.what;
}

TEST_F(SimpleFilter, InactiveOrEmptyMatchesEverything) {
  TmvSimpleExpressionFilterDescriptor empty(nullptr, -1);
  std::unique_ptr<TmvBaseFilterEngine> engine(TmvBaseFilterEngine::CreateFor(&empty, t.dd.Fields));
  engine->SetActive(true);
  EXPECT_TRUE(engine->MatchesBuffer(record.data()));
  const TreeBytes never(Cont(0));
  TmvSimpleExpressionFilterDescriptor rejecting(never.bytes.data(), -1);
  engine.reset(TmvBaseFilterEngine::CreateFor(&rejecting, t.dd.Fields));
  EXPECT_TRUE(engine->MatchesBuffer(record.data()));  // created inactive
  engine->SetActive(true);
  EXPECT_FALSE(engine->MatchesBuffer(record.data()));
}

// The code page of the tree reads its text constants: "\x82\xa0" is one
// hiragana letter in 932 and two letters in 1252.
TEST_F(SimpleFilter, CodePageOfTheConstants) {
  Set(u"W", Variant(u"\u3042"));
  const TreeBytes tree(Cmp(kEq, F(u"W"), Str("\x82\xa0")));
  EXPECT_TRUE(Matches(tree.bytes, 932));
  EXPECT_FALSE(Matches(tree.bytes, 1252));
}

// Numbers do not go through text that follows the thread's locale.
TEST_F(SimpleFilter, DecimalCommaThreadLocale) {
  const LCID saved = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(0x407));
  TBcd bcd;
  ASSERT_TRUE(mvTryStrToBcd(u"12.34", bcd, u'.'));
  std::vector<uint8_t> packed(reinterpret_cast<uint8_t*>(&bcd), reinterpret_cast<uint8_t*>(&bcd) + sizeof bcd);
  const bool equal = Matches(Cmp(kEq, F(u"F"), ConstNode(8, packed)));
  const bool between = Matches(Bin(kAnd, Cmp(kGt, F(u"F"), ConstOf<double>(7, 12.3)),
                                   Cmp(kLt, F(u"F"), ConstOf<double>(7, 12.4))));
  SetThreadLocale(saved);
  EXPECT_TRUE(equal);
  EXPECT_TRUE(between);
}

// A tree with a node of every class that has operands.
Expr EveryNode(Expr aField) {
  return Bin(kOr, Un(kNot, Cmp(kEq, aField, Str("abc"), 1, 2)), Bin(kAnd, Cont(1), WStr(u"w")));
}

// Where the tree keeps offsets and sizes: the header's three, then per node
// its operand nodes, literal offsets and constant sizes.
struct Slot {
  size_t at;
  uint16_t pastEnd;  // the smallest value that reaches beyond the tree
};
std::vector<Slot> OffsetsAndSizes(const TreeBytes& aTree) {
  const auto& b = aTree.bytes;
  auto rd16 = [&](size_t at) { return uint16_t(b[at] | b[at + 1] << 8); };
  const uint16_t total = uint16_t(b.size()), nodes = rd16(6), literals = rd16(8);
  std::vector<Slot> slots{{2, uint16_t(total + 1)}, {6, total}, {8, uint16_t(total + 1)}};
  for (size_t n = 0; n < aTree.NodeCount(); ++n) {
    const size_t at = aTree.NodeAt(n);
    auto node = [&](size_t operand) { slots.push_back({at + operand, uint16_t(total - nodes)}); };
    auto literal = [&](size_t operand) { slots.push_back({at + operand, uint16_t(total - literals)}); };
    switch (b[at]) {
      case kUnary: node(8); break;
      case kBinary: node(8), node(10); break;
      case kCompare: node(12), node(14); break;
      case kField: literal(10); break;
      case kConst:
        literal(12);
        slots.push_back({at + 10, uint16_t(total - literals - rd16(at + 12) + 1)});
        break;
    }
  }
  return slots;
}

// aCount unary nots, each the operand of the one before, over a true
// continue node: a tree nested aCount + 1 levels deep.
std::vector<uint8_t> NotChain(int aCount) {
  const size_t nodes = size_t(aCount) * 10 + 10, total = 10 + nodes;
  std::vector<uint8_t> b(total);
  auto put16 = [&](size_t at, size_t v) { b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8); };
  put16(2, total), put16(6, 10), put16(8, total);
  for (int i = 0; i <= aCount; ++i) {
    const size_t at = 10 + size_t(i) * 10;
    b[at] = i < aCount ? kUnary : kContinue;
    b[at + 4] = i < aCount ? uint8_t(kNot) : 0;
    put16(at + 8, i < aCount ? size_t(i + 1) * 10 : 1);
  }
  return b;
}

uint32_t DescriptorCode(const std::vector<uint8_t>& aTree, bool aShared) {
  return RaisedCode([&] {
    if (aShared)
      TmvSimpleExpressionFilterDescriptor(TmvCANExpr(aTree.data(), aTree.size()), -1);
    else
      TmvSimpleExpressionFilterDescriptor(aTree.data(), -1);
  });
}

TEST_F(SimpleFilter, EveryOffsetAndSizePastTheEndIsRefused) {
  const TreeBytes good(EveryNode(F(u"S")));
  ASSERT_TRUE(Matches(good.bytes));
  ASSERT_EQ(DescriptorCode(good.bytes, true), 0u);
  const std::vector<Slot> slots = OffsetsAndSizes(good);
  ASSERT_EQ(slots.size(), 3u + 2 + 1 + 2 + 1 + 2 + 2 + 2);
  for (const Slot& slot : slots) {
    for (uint16_t value : {slot.pastEnd, uint16_t(0xFFFF)}) {
      TreeBytes bad = good;
      bad.Put16(slot.at, value);
      String message;
      EXPECT_EQ(RaisedCode([&] { TmvSimpleExpressionFilterDescriptor(TmvCANExpr(bad.bytes.data(), bad.bytes.size()), -1); },
                           &message),
                15498u)
          << "byte " << slot.at << " = " << value;
      EXPECT_NE(message.find(u"Invalid filter expression: "), String::npos) << Utf8(message);
      // The pointer form reads the total size from the tree: a larger one
      // would be the caller's fault, so only the others are tried there.
      if (slot.at != 2) {
        EXPECT_EQ(DescriptorCode(bad.bytes, false), 15498u) << "byte " << slot.at;
      }
    }
  }
}

TEST_F(SimpleFilter, OtherBadTreesAreRefused) {
  // A field name without its terminator at the tree's end.
  TreeBytes unterminated(Cmp(kEq, Str("a"), F(u"S")));
  unterminated.bytes.pop_back();
  unterminated.Put16(2, uint16_t(unterminated.bytes.size()));
  EXPECT_EQ(DescriptorCode(unterminated.bytes, true), 15498u);
  // A cycle back to the root, and a node used twice.
  TreeBytes cycle(Un(kNot, Un(kNot, Cont(1))));
  cycle.Put16(cycle.NodeAt(1) + 8, 0);
  EXPECT_EQ(DescriptorCode(cycle.bytes, true), 15498u);
  TreeBytes shared(Bin(kAnd, Cont(1), Cont(1)));
  shared.Put16(shared.NodeAt(0) + 10, shared.bytes[shared.NodeAt(0) + 8]);
  EXPECT_EQ(DescriptorCode(shared.bytes, true), 15498u);
  // Constants shorter than their type reads, a wide text longer than its
  // value, a packed decimal that is no number.
  for (const Expr& constant : {ConstNode(7, {1, 2, 3, 4}), ConstNode(14, std::vector<uint8_t>(8)),
                               ConstNode(4103, {8, 0, 'a', 0}), ConstNode(8, {0, 0, 0x12}),
                               ConstNode(8, {3, 0, 0x1F, 0x20})})
    EXPECT_EQ(DescriptorCode(TreeBytes(Cmp(kEq, F(u"I"), constant)).bytes, true), 15498u);
  // Too short for the header, and too deep to evaluate.
  EXPECT_EQ(DescriptorCode({1, 0, 9, 0}, true), 15498u);
  EXPECT_EQ(DescriptorCode(NotChain(2048), true), 15498u);
  EXPECT_EQ(DescriptorCode(NotChain(2047), true), 0u);
  // A continue node has no boolean value, so its not is true; 2046 more
  // nots give true again.
  EXPECT_TRUE(Matches(NotChain(2047)));
}

// Every byte of a sound tree changed in turn: the tree is refused or it is
// sound enough to be evaluated (the sanitizers watch the reads).
TEST_F(SimpleFilter, DamagedTreesAreRefusedOrEvaluated) {
  const TreeBytes good(EveryNode(F(u"S")));
  for (size_t i = 0; i < good.bytes.size(); ++i) {
    for (uint8_t delta : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
      std::vector<uint8_t> bad = good.bytes;
      bad[i] ^= delta;
      const uint32_t code = DescriptorCode(bad, true);
      if (code == 0) {
        Matches(bad);
      } else {
        EXPECT_EQ(code, 15498u) << "byte " << i;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Stream form

std::vector<uint8_t> StreamOf(TmvBaseFilterDescriptor& aDescriptor, int32_t aVersion) {
  TmvMemoryStream stream;
  EXPECT_EQ(aDescriptor.WriteToStream(stream, aVersion), 0u);
  const auto* p = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(p, p + stream.GetSize());
}

std::vector<uint8_t> Header(uint8_t aVersion, const std::vector<uint8_t>& aTree) {
  const std::string name = "TmvSimpleExpressionFilterDescriptor";
  std::vector<uint8_t> b(1 + name.size(), uint8_t(name.size()));
  std::copy(name.begin(), name.end(), b.begin() + 1);
  b.push_back(aVersion);
  b.push_back(uint8_t(aTree.size()));
  b.push_back(uint8_t(aTree.size() >> 8));
  b.insert(b.end(), aTree.begin(), aTree.end());
  return b;
}

TEST_F(SimpleFilter, StreamVersionsByTextCodePageAndPeer) {
  const TreeBytes tree(Cmp(kEq, F(u"I"), ConstOf<int32_t>(6, 42)));
  struct {
    const char16_t* text;
    int32_t codePage;
    int32_t peer;
    uint8_t version;
    int32_t readCodePage;
  } const cases[] = {
      {u"", -1, 47501, 1, -1},      {u"I = 42", -1, 47501, 3, -1}, {u"", 932, 47501, 4, 932},
      {u"I = 42", 932, 30002, 4, 932}, {u"I = 42", 932, 30001, 3, -1}, {u"", 1252, 30001, 1, -1},
  };
  for (const auto& c : cases) {
    TmvSimpleExpressionFilterDescriptor descriptor(tree.bytes.data(), c.codePage, c.text);
    const std::vector<uint8_t> bytes = StreamOf(descriptor, c.peer);
    std::vector<uint8_t> expected = Header(c.version, tree.bytes);
    if (c.version >= 3) {
      const String text(c.text);
      expected.push_back(uint8_t(text.size()));
      expected.push_back(0);
      for (char16_t unit : text) expected.insert(expected.end(), {uint8_t(unit), uint8_t(unit >> 8)});
    }
    if (c.version == 4) expected.insert(expected.end(), {uint8_t(c.codePage), uint8_t(c.codePage >> 8), 0, 0});
    EXPECT_EQ(bytes, expected) << c.version;
    std::unique_ptr<TmvBaseFilterDescriptor> back;
    ASSERT_EQ(ReadFilter(bytes, back), 0u);
    auto& read = dynamic_cast<TmvSimpleExpressionFilterDescriptor&>(*back);
    EXPECT_EQ(read.GetFilterText(), String(c.text));
    EXPECT_EQ(read.GetCodePage(), c.readCodePage);
    EXPECT_EQ(std::vector<uint8_t>(read.GetExpression().Data(), read.GetExpression().Data() + read.GetExpression().Size()),
              tree.bytes);
  }
}

TEST_F(SimpleFilter, StreamReading) {
  const TreeBytes tree(Cont(1));
  std::unique_ptr<TmvBaseFilterDescriptor> back;
  // Version 2 carries ANSI text; the plain class name finds the descriptor.
  std::vector<uint8_t> v2 = Header(2, tree.bytes);
  v2.insert(v2.end(), {3, 0, 'a', '=', '1'});
  ASSERT_EQ(ReadFilter(v2, back), 0u);
  EXPECT_EQ(dynamic_cast<TmvSimpleExpressionFilterDescriptor&>(*back).GetFilterText(), u"a=1");
  std::vector<uint8_t> plain = v2;
  plain.erase(plain.begin() + 1 + 25, plain.begin() + 1 + 35);  // "Descriptor"
  plain[0] = 25;
  ASSERT_EQ(ReadFilter(plain, back), 0u);
  EXPECT_EQ(&back->ClassType(), &TmvSimpleExpressionFilterDescriptor::StaticClass);
  // Refusals.
  for (uint8_t version : {0, 5})
    EXPECT_EQ(ReadFilter(Header(version, tree.bytes), back), 15498u) << int(version);
  std::vector<uint8_t> shortText = Header(3, tree.bytes);
  shortText.insert(shortText.end(), {3, 0, 'a', 0});
  EXPECT_EQ(ReadFilter(shortText, back), 15498u);
  std::vector<uint8_t> shortTree = Header(1, tree.bytes);
  shortTree.pop_back();
  EXPECT_EQ(ReadFilter(shortTree, back), 15498u);
  std::vector<uint8_t> badTree = Header(1, tree.bytes);
  badTree[1 + 35 + 3 + 6] = 0xF0;  // the node area's start
  EXPECT_EQ(ReadFilter(badTree, back), 15498u);
  EXPECT_EQ(back, nullptr);
  // A stream ending inside a fixed-size part fails with the read error.
  std::vector<uint8_t> noCodePage = Header(4, tree.bytes);
  noCodePage.insert(noCodePage.end(), {0, 0, 0xE4});
  const uint32_t code = ReadFilter(noCodePage, back);
  EXPECT_NE(code, 0u);
  EXPECT_NE(code, 15498u);
}

TEST_F(SimpleFilter, TextLongerThanItsLengthFieldIsRefusedNotCut) {
  const TreeBytes tree(Cont(1));
  TmvSimpleExpressionFilterDescriptor fits(tree.bytes.data(), -1, String(65535, u'x'));
  std::unique_ptr<TmvBaseFilterDescriptor> back;
  ASSERT_EQ(ReadFilter(StreamOf(fits, 47501), back), 0u);
  EXPECT_EQ(dynamic_cast<TmvSimpleExpressionFilterDescriptor&>(*back).GetFilterText().size(), 65535u);
  TmvSimpleExpressionFilterDescriptor tooLong(tree.bytes.data(), 932, String(65536, u'x'));
  TmvMemoryStream stream;
  EXPECT_EQ(tooLong.WriteToStream(stream, 47501), 10051u);
  EXPECT_EQ(stream.GetSize(), 0);
  uint32_t code;
  String message;
  EmvBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(message, u"The filter text of 65536 characters is longer than the 65535 a filter stream can carry");
}

TEST_F(SimpleFilter, DamagedStreamsAreRefusedOrUsable) {
  TmvSimpleExpressionFilterDescriptor descriptor(TreeBytes(EveryNode(F(u"S"))).bytes.data(), 932, u"text");
  const std::vector<uint8_t> good = StreamOf(descriptor, 47501);
  auto attempt = [&](const std::vector<uint8_t>& aBytes) {
    std::unique_ptr<TmvBaseFilterDescriptor> back;
    if (ReadFilter(aBytes, back) != 0) return;
    std::unique_ptr<TmvBaseFilterEngine> engine(TmvBaseFilterEngine::CreateFor(back.get(), t.dd.Fields));
    engine->SetActive(true);
    // A damaged code page that the platform does not know fails the text
    // conversion, with the error that names it.
    const uint32_t code = RaisedCode([&] { engine->MatchesBuffer(record.data()); });
    if (code != 0) {
      EXPECT_EQ(code, 11047u);
    }
  };
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t delta : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
      std::vector<uint8_t> bad = good;
      bad[i] ^= delta;
      attempt(bad);
    }
    attempt(std::vector<uint8_t>(good.begin(), good.begin() + ptrdiff_t(i)));
  }
}

TEST_F(SimpleFilter, EngineGivesBackItsDescriptor) {
  const TreeBytes tree(Cmp(kEq, F(u"I"), ConstOf<int32_t>(6, 42)));
  for (int32_t codePage : {-1, 1252}) {
    TmvSimpleExpressionFilterDescriptor descriptor(tree.bytes.data(), codePage, u"I = 42");
    std::unique_ptr<TmvBaseFilterEngine> engine(TmvBaseFilterEngine::CreateFor(&descriptor, t.dd.Fields));
    std::unique_ptr<TmvBaseFilterDescriptor> copy(engine->CreateDescriptor());
    auto& same = dynamic_cast<TmvSimpleExpressionFilterDescriptor&>(*copy);
    EXPECT_EQ(same.GetExpression().Data(), descriptor.GetExpression().Data());  // shared, not copied
    EXPECT_EQ(same.GetCodePage(), codePage);
    EXPECT_EQ(same.GetFilterText(), u"I = 42");
  }
}

}  // namespace
