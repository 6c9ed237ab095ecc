// Data dictionary: the filter-expression tree, its checks and its
// evaluation. See mvsdFilterExpression.h.
#include "dictionary/filters/mvsdFilterExpression.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllUtils.h"
#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvllWideString.h"
#include "platform/DateUtils.h"
#include "platform/Guid.h"
#include "platform/Numeric.h"

// ---------------------------------------------------------------------------
// TmvCANExpr: a count and the size, then the bytes, in one block.

struct TmvCANExpr::TBlock {
  std::atomic<int32_t> refs;
  size_t size;
  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
};

TmvCANExpr::TmvCANExpr(const void* aBytes, size_t aSize) {
  if (aSize == 0) return;
  ceBlock = new (mvGetMemPtr(sizeof(TBlock) + aSize)) TBlock{{1}, aSize};
  std::memcpy(ceBlock->Bytes(), aBytes, aSize);
}

TmvCANExpr::TmvCANExpr(const TmvCANExpr& aOther) : ceBlock(aOther.ceBlock) {
  if (ceBlock) ceBlock->refs.fetch_add(1, std::memory_order_relaxed);
}

TmvCANExpr::TmvCANExpr(TmvCANExpr&& aOther) noexcept : ceBlock(std::exchange(aOther.ceBlock, nullptr)) {}

TmvCANExpr& TmvCANExpr::operator=(TmvCANExpr aOther) noexcept {
  std::swap(ceBlock, aOther.ceBlock);
  return *this;
}

TmvCANExpr::~TmvCANExpr() {
  if (!ceBlock || ceBlock->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  ceBlock->~TBlock();
  mvFreeMem(ceBlock);
}

const uint8_t* TmvCANExpr::Data() const { return ceBlock ? ceBlock->Bytes() : nullptr; }

size_t TmvCANExpr::Size() const { return ceBlock ? ceBlock->size : 0; }

// ---------------------------------------------------------------------------
// The vocabulary of the tree

namespace {

enum TNodeClass : uint32_t { ncUnary = 1, ncBinary = 2, ncCompare = 3, ncField = 4, ncConst = 5, ncContinue = 7 };

enum TNodeOperator : uint32_t {
  noBlank = 1,
  noNotBlank = 2,
  noEqual = 3,
  noNotEqual = 4,
  noGreater = 5,
  noLess = 6,
  noGreaterEqual = 7,
  noLessEqual = 8,
  noNot = 9,
  noAnd = 10,
  noOr = 11,
  noLike = 30,
};

enum TConstType : uint32_t {
  ctString = 1,
  ctDate = 2,
  ctBoolean = 4,
  ctInt16 = 5,
  ctInt32 = 6,
  ctFloat = 7,
  ctBcd = 8,
  ctTime = 10,
  ctTimeStamp = 11,
  ctWord16 = 12,
  ctWord32 = 13,
  ctExtended = 14,
  ctInt64 = 18,
  ctSingle = 27,
  ctWideString = 4103,
};

// The time of day placed on 30 December 1899 (day 693594), in milliseconds
// since day 1.
constexpr double kTimeBase = double(DateDelta) * MSecsPerDay;

// Trees deeper than this are refused: evaluation recurses once per level,
// and a chain of thousands of nodes would exhaust a thread's stack. A real
// filter of a thousand OR-ed comparisons stays well below it.
constexpr int32_t kMaxDepth = 2048;

uint16_t Rd16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Rd32(const uint8_t* p) { return uint32_t(Rd16(p)) | uint32_t(Rd16(p + 2)) << 16; }
template <typename T>
T RdAs(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool IsComparison(uint32_t aOperator) {
  return (aOperator >= noEqual && aOperator <= noLessEqual) || aOperator == noLike;
}

// The bytes of a node of the class: the class and operator, then its operands.
size_t NodeSize(uint32_t aClass) {
  switch (aClass) {
    case ncUnary: case ncContinue: return 10;
    case ncBinary: case ncField: return 12;
    case ncConst: return 14;
    case ncCompare: return 16;
    default: return 8;
  }
}

// The bytes a constant of a fixed-size type reads; 0 for the others.
size_t ConstantBytes(uint32_t aType) {
  switch (aType) {
    case ctBoolean: case ctInt16: case ctWord16: return 2;
    case ctDate: case ctInt32: case ctTime: case ctWord32: case ctSingle: return 4;
    case ctFloat: case ctTimeStamp: case ctInt64: return 8;
    case ctExtended: return 10;
    default: return 0;
  }
}

// A packed decimal of aSize bytes: false when it is no number (precision
// outside 1..64, more places than digits, a digit above 9) or when its
// digits lie beyond aSize.
bool ReadPackedDecimal(const uint8_t* aBytes, size_t aSize, TBcd& aBcd) {
  aBcd = TBcd{};
  if (aSize < 2) return false;
  const int precision = aBytes[0], places = aBytes[1] & 0x3F;
  const size_t need = 2 + size_t(precision + 1) / 2;
  if (precision == 0 || precision > 64 || places > precision || aSize < need) return false;
  std::memcpy(&aBcd, aBytes, need);
  for (int i = 0; i < precision; ++i) {
    const int digit = (i & 1) ? aBcd.Fraction[i / 2] & 0x0F : aBcd.Fraction[i / 2] >> 4;
    if (digit > 9) return false;
  }
  return true;
}

// The numeric value of a sound packed decimal, through its digits as text
// (locale-free).
long double PackedDecimalValue(const TBcd& aBcd) {
  const int precision = aBcd.Precision, places = aBcd.SignSpecialPlaces & 0x3F;
  std::string text = (aBcd.SignSpecialPlaces & 0x80) ? "-" : "";
  for (int i = 0; i < precision; ++i) {
    if (i == precision - places) text += '.';
    text += char('0' + ((i & 1) ? aBcd.Fraction[i / 2] & 0x0F : aBcd.Fraction[i / 2] >> 4));
  }
  long double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// ---------------------------------------------------------------------------
// The checks of a client's tree

class TTreeCheck {
 public:
  TTreeCheck(const uint8_t* aTree, size_t aTotal)
      : fTree(aTree), fTotal(aTotal), fNodeStart(Rd16(aTree + 6)), fLiteralStart(Rd16(aTree + 8)) {}

  // Walks every node from the root; the first fault found, or "".
  String Run() {
    if (fNodeStart < mvFilterTreeHeaderSize || fNodeStart >= fTotal)
      return Format(u"the node area starts at %d, outside the tree of %d bytes", {int(fNodeStart), int(fTotal)});
    if (fLiteralStart < mvFilterTreeHeaderSize || fLiteralStart > fTotal)
      return Format(u"the literal pool starts at %d, outside the tree of %d bytes", {int(fLiteralStart), int(fTotal)});
    std::vector<bool> seen(fTotal - fNodeStart);
    fPending.push_back({0, 1});
    while (!fPending.empty()) {
      const TPending next = fPending.back();
      fPending.pop_back();
      String fault = CheckNode(next, seen);
      if (!fault.empty()) return fault;
    }
    return String();
  }

 private:
  struct TPending {
    uint16_t node;
    int32_t depth;
  };

  String CheckNode(TPending aNode, std::vector<bool>& aSeen) {
    const size_t at = fNodeStart + aNode.node;
    if (at + 8 > fTotal || at + NodeSize(Rd32(fTree + at)) > fTotal)
      return Format(u"node %d lies outside the tree of %d bytes", {int(aNode.node), int(fTotal)});
    if (aSeen[aNode.node]) return Format(u"node %d is reached more than once", {int(aNode.node)});
    if (aNode.depth > kMaxDepth) return Format(u"it is nested deeper than %d levels", {kMaxDepth});
    aSeen[aNode.node] = true;
    const uint8_t* node = fTree + at;
    switch (Rd32(node)) {
      case ncUnary: Push(node + 8, aNode.depth); break;
      case ncBinary: Push(node + 8, aNode.depth), Push(node + 10, aNode.depth); break;
      case ncCompare: Push(node + 12, aNode.depth), Push(node + 14, aNode.depth); break;
      case ncField: return CheckName(aNode.node, Rd16(node + 10));
      case ncConst: return CheckConstant(aNode.node, Rd16(node + 8), Rd16(node + 10), Rd16(node + 12));
      default: break;
    }
    return String();
  }

  void Push(const uint8_t* aOperand, int32_t aDepth) { fPending.push_back({Rd16(aOperand), aDepth + 1}); }

  String CheckName(uint16_t aNode, uint16_t aLiteral) {
    const size_t at = fLiteralStart + aLiteral;
    if (at >= fTotal || !std::memchr(fTree + at, 0, fTotal - at))
      return Format(u"the name of field node %d does not end inside the tree", {int(aNode)});
    return String();
  }

  String CheckConstant(uint16_t aNode, uint16_t aType, uint16_t aSize, uint16_t aLiteral) {
    const size_t at = fLiteralStart + aLiteral;
    if (at + aSize > fTotal) return Format(u"the value of constant node %d lies outside the tree", {int(aNode)});
    const uint8_t* value = fTree + at;
    TBcd bcd;
    const bool sound = aType == ctWideString ? aSize >= 2 && 2u + Rd16(value) <= aSize
                       : aType == ctBcd      ? ReadPackedDecimal(value, aSize, bcd)
                                             : aSize >= ConstantBytes(aType);
    if (!sound) return Format(u"constant node %d of type %d has a value of %d bytes", {int(aNode), int(aType), int(aSize)});
    return String();
  }

  const uint8_t* fTree;
  size_t fTotal;
  size_t fNodeStart;
  size_t fLiteralStart;
  std::vector<TPending> fPending;
};

}  // namespace

uint16_t mvFilterTreeTotalSize(const void* aTree) { return Rd16(static_cast<const uint8_t*>(aTree) + 2); }

String mvFilterTreeFault(const uint8_t* aTree, size_t aAvailable) {
  if (aAvailable == 0) return String();
  if (aAvailable < mvFilterTreeHeaderSize)
    return Format(u"%d bytes cannot hold the tree's header", {int(aAvailable)});
  const size_t total = mvFilterTreeTotalSize(aTree);
  if (total < mvFilterTreeHeaderSize || total > aAvailable)
    return Format(u"its total size %d lies outside %d..%d", {int(total), int(mvFilterTreeHeaderSize), int(aAvailable)});
  return TTreeCheck(aTree, total).Run();
}

// ---------------------------------------------------------------------------
// Operand values

// The value of a node: a constant (its type code), a field (its
// TmvFieldType) or the boolean constant that unary, binary and compare nodes
// yield. A continue node has none.
struct TmvFilterTreeEvaluator::TValue {
  bool present = false;
  bool isField = false;
  bool isNull = false;
  uint32_t type = 0;
  uint16_t size = 0;
  uint16_t codePage = 0;
  const uint8_t* data = nullptr;
};

namespace {

using TValue = TmvFilterTreeEvaluator::TValue;

constexpr uint8_t kFalseBytes[2] = {0x00, 0x00};
constexpr uint8_t kTrueBytes[2] = {0xFF, 0xFF};

TValue BooleanConstant(bool aValue) {
  TValue v;
  v.present = true;
  v.type = ctBoolean;
  v.size = 2;
  v.data = aValue ? kTrueBytes : kFalseBytes;
  return v;
}

bool IsFieldOf(const TValue& aValue, std::initializer_list<TmvFieldType> aTypes) {
  return aValue.isField && std::find(aTypes.begin(), aTypes.end(), TmvFieldType(aValue.type)) != aTypes.end();
}

bool IsConstantOf(const TValue& aValue, std::initializer_list<uint32_t> aTypes) {
  return !aValue.isField && std::find(aTypes.begin(), aTypes.end(), aValue.type) != aTypes.end();
}

// A boolean value proper (a boolean constant or a Boolean field) and its truth.
bool IsBooleanValue(const TValue& aValue, bool& aTruth) {
  if (IsConstantOf(aValue, {ctBoolean})) {
    aTruth = Rd16(aValue.data) != 0;
    return true;
  }
  if (IsFieldOf(aValue, {mvtBoolean})) {
    aTruth = aValue.data[0] != 0;
    return true;
  }
  return false;
}

// The bytes at data that belong to the value: what a constant states, what
// a field's native form holds (the fields source gives units, not bytes).
size_t ValueBytes(const TValue& aValue) {
  if (!aValue.isField) return aValue.size;
  switch (aValue.type) {
    case mvtBoolean: case mvtChar: case mvtByte: case mvtInt8: return 1;
    case mvtWideChar: case mvtWord16: case mvtInt16: return 2;
    case mvtWord32: case mvtInt32: case mvtAutoInc: case mvtRecRev: case mvtSingle: case mvtDate: case mvtTime:
      return 4;
    case mvtExtended: return 10;
    case mvtGuid: return 16;
    case mvtByteArray: case mvtShortString: case mvtNullString: return aValue.size;
    case mvtWideString: return size_t(aValue.size) * 2;
    case mvtFmtBCD: return std::min<size_t>(2 + (size_t(aValue.size) + 1) / 2, sizeof(TBcd));
    default: return 8;  // Int64, RefNr, Double, Currency, BCD, date-times, BLOB numbers
  }
}

enum TKind { kdBytes, kdInteger, kdFloat, kdDateTime, kdBoolean, kdText };

// The kind in which a comparison runs, chosen by its left value.
TKind KindOf(const TValue& aValue) {
  if (!aValue.isField) {
    switch (aValue.type) {
      case ctString: case ctWideString: return kdText;
      case ctDate: case ctTime: case ctTimeStamp: return kdDateTime;
      case ctBoolean: return kdBoolean;
      case ctInt16: case ctInt32: case ctWord16: case ctWord32: case ctInt64: return kdInteger;
      case ctFloat: case ctExtended: return kdFloat;
      default: return kdBytes;  // packed decimals and singles count only on the right
    }
  }
  switch (aValue.type) {
    case mvtBoolean: return kdBoolean;
    case mvtByte: case mvtWord16: case mvtWord32: case mvtInt8: case mvtInt16: case mvtInt32: case mvtInt64:
    case mvtAutoInc: case mvtRecRev: case mvtRefNr:
      return kdInteger;
    case mvtSingle: case mvtDouble: case mvtExtended: case mvtCurrency: case mvtBCD: case mvtFmtBCD: return kdFloat;
    case mvtDate: case mvtTime: case mvtDateTime: case mvtInterval: return kdDateTime;
    case mvtChar: case mvtWideChar: case mvtShortString: case mvtNullString: case mvtWideString: case mvtGuid:
      return kdText;
    default: return kdBytes;
  }
}

bool ToInteger(const TValue& aValue, int64_t& aResult) {
  const uint8_t* p = aValue.data;
  if (!aValue.isField) {
    switch (aValue.type) {
      case ctInt16: aResult = RdAs<int16_t>(p); return true;
      case ctInt32: aResult = RdAs<int32_t>(p); return true;
      case ctWord16: aResult = RdAs<uint16_t>(p); return true;
      case ctWord32: aResult = RdAs<uint32_t>(p); return true;
      case ctInt64: aResult = RdAs<int64_t>(p); return true;
      default: return false;
    }
  }
  switch (aValue.type) {
    case mvtByte: aResult = p[0]; return true;
    case mvtInt8: aResult = int8_t(p[0]); return true;
    case mvtWord16: aResult = RdAs<uint16_t>(p); return true;
    case mvtInt16: aResult = RdAs<int16_t>(p); return true;
    case mvtWord32: case mvtAutoInc: case mvtRecRev: aResult = RdAs<uint32_t>(p); return true;
    case mvtInt32: aResult = RdAs<int32_t>(p); return true;
    case mvtInt64: case mvtRefNr: aResult = RdAs<int64_t>(p); return true;
    default: return false;
  }
}

// A packed-decimal field whose record is no number raises, as the
// foundation's conversions do.
long double FieldPackedDecimal(const TValue& aValue) {
  TBcd bcd;
  if (!ReadPackedDecimal(aValue.data, ValueBytes(aValue), bcd)) throw EBcdOverflowException(u"BCD overflow");
  return PackedDecimalValue(bcd);
}

// A float value; integers too when aIntegers.
bool ToFloat(const TValue& aValue, long double& aResult, bool aIntegers) {
  const uint8_t* p = aValue.data;
  TBcd bcd;
  if (!aValue.isField) {
    switch (aValue.type) {
      case ctFloat: aResult = RdAs<double>(p); return true;
      case ctExtended: aResult = ExtendedFromBytes(p); return true;
      case ctSingle: aResult = RdAs<float>(p); return true;
      case ctBcd:
        ReadPackedDecimal(p, aValue.size, bcd);  // sound: the tree was checked
        aResult = PackedDecimalValue(bcd);
        return true;
      default: break;
    }
  } else {
    switch (aValue.type) {
      case mvtSingle: aResult = RdAs<float>(p); return true;
      case mvtDouble: aResult = RdAs<double>(p); return true;
      case mvtExtended: aResult = ExtendedFromBytes(p); return true;
      case mvtCurrency: case mvtBCD: aResult = (long double)RdAs<int64_t>(p) / 10000; return true;
      case mvtFmtBCD: aResult = FieldPackedDecimal(aValue); return true;
      default: break;
    }
  }
  int64_t integer;
  if (!aIntegers || !ToInteger(aValue, integer)) return false;
  aResult = (long double)integer;
  return true;
}

// Milliseconds since day 1.
bool ToDateTime(const TValue& aValue, long double& aResult) {
  const uint8_t* p = aValue.data;
  if (IsConstantOf(aValue, {ctDate}) || IsFieldOf(aValue, {mvtDate}))
    aResult = (long double)RdAs<int32_t>(p) * MSecsPerDay;
  else if (IsConstantOf(aValue, {ctTime}) || IsFieldOf(aValue, {mvtTime}))
    aResult = RdAs<int32_t>(p) + (long double)kTimeBase;
  else if (IsConstantOf(aValue, {ctTimeStamp}) || IsFieldOf(aValue, {mvtDateTime, mvtInterval}))
    aResult = RdAs<double>(p);
  else
    return false;
  return true;
}

bool ToBoolean(const TValue& aValue, bool& aResult) {
  if (IsBooleanValue(aValue, aResult)) return true;
  int64_t integer;
  if (!ToInteger(aValue, integer)) return false;
  aResult = integer != 0;
  return true;
}

// 8-bit text in a code page (0: the engine's default) to UTF-16.
String ConvertStringValue(const uint8_t* aBytes, size_t aLength, uint16_t aCodePage) {
  String text;
  if (aLength == 0) return text;
  std::string_view bytes(reinterpret_cast<const char*>(aBytes), aLength);
  if (!NlsMultiByteToWide(aCodePage == 0 ? mvDefaultCodePage : aCodePage, bytes, text))
    mvRaiseLastOSError(u"ConvertStringValue", MVERR_OSUNKNOWN);
  return text;
}

// UTF-16 units up to the first zero among at most aCount.
String WideUnits(const uint8_t* aBytes, size_t aCount) {
  String text(aCount, u'\0');
  std::memcpy(text.data(), aBytes, aCount * 2);
  text.resize(std::min(text.find(u'\0'), aCount));
  return text;
}

size_t ZeroTerminatedLength(const uint8_t* aBytes, size_t aMax) {
  const void* zero = std::memchr(aBytes, 0, aMax);
  return zero ? size_t(static_cast<const uint8_t*>(zero) - aBytes) : aMax;
}

bool ToText(const TValue& aValue, String& aResult) {
  const uint8_t* p = aValue.data;
  if (IsConstantOf(aValue, {ctString}))
    aResult = ConvertStringValue(p, ZeroTerminatedLength(p, aValue.size), aValue.codePage);
  else if (IsConstantOf(aValue, {ctWideString}))
    aResult = WideUnits(p + 2, Rd16(p) / 2);
  else if (IsFieldOf(aValue, {mvtChar, mvtShortString}))
    aResult = ConvertStringValue(p, aValue.size, aValue.codePage);
  else if (IsFieldOf(aValue, {mvtNullString}))
    aResult = ConvertStringValue(p, ZeroTerminatedLength(p, aValue.size), aValue.codePage);
  else if (IsFieldOf(aValue, {mvtWideChar}))
    aResult = String(1, RdAs<char16_t>(p));
  else if (IsFieldOf(aValue, {mvtWideString}))
    aResult = WideUnits(p, aValue.size);
  else if (IsFieldOf(aValue, {mvtGuid})) {
    aResult = mvGuidToStr(GUIDFromBytes(p));
    MV_ASSERT(aResult.size() == 38);
  } else
    return false;
  return true;
}

// Equal within max(min(|a|, |b|) * aTolerance, aTolerance), else by value;
// a NaN sorts after every number and equals another NaN.
int CompareFloats(long double a, long double b, long double aTolerance) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) ? (std::isnan(b) ? 0 : 1) : -1;
  if (a == b) return 0;
  const long double diff = std::fabs(a - b);
  if (diff <= std::max(std::min(std::fabs(a), std::fabs(b)) * aTolerance, aTolerance)) return 0;
  return a < b ? -1 : 1;
}

constexpr long double kFloatTolerance = 1E-16L;
constexpr long double kDateTimeTolerance = 1E-12L;

// The comparisons of one kind: false when the right value does not convert
// to it, which makes the comparison false whatever its operator.
bool CompareIntegers(const TValue& aLeft, const TValue& aRight, int& aResult) {
  int64_t a, b;
  ToInteger(aLeft, a);
  if (ToInteger(aRight, b)) {
    aResult = a < b ? -1 : a > b ? 1 : 0;
    return true;
  }
  // A float on the right: the integer is compared as a float rather than
  // the float cut to an integer.
  long double f;
  if (!ToFloat(aRight, f, false)) return false;
  aResult = CompareFloats((long double)a, f, kFloatTolerance);
  return true;
}

bool CompareFloatValues(const TValue& aLeft, const TValue& aRight, int& aResult) {
  long double a, b;
  if (!ToFloat(aLeft, a, true) || !ToFloat(aRight, b, true)) return false;
  aResult = CompareFloats(a, b, kFloatTolerance);
  return true;
}

bool CompareDateTimes(const TValue& aLeft, const TValue& aRight, int& aResult) {
  long double a, b;
  if (!ToDateTime(aLeft, a) || !ToDateTime(aRight, b)) return false;
  aResult = CompareFloats(a, b, kDateTimeTolerance);
  return true;
}

bool CompareBooleans(const TValue& aLeft, const TValue& aRight, int& aResult) {
  bool a, b;
  if (!ToBoolean(aLeft, a) || !ToBoolean(aRight, b)) return false;
  aResult = int(a) - int(b);
  return true;
}

int CompareBytes(const TValue& aLeft, const TValue& aRight) {
  const int r = mvCmpBytes(aLeft.data, aRight.data, std::min(ValueBytes(aLeft), ValueBytes(aRight)));
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

String Lower(String aText) {
  mvCharLower(aText.data());
  return aText;
}

// Texts: p cuts both to p characters (in a like, not the whole string of a
// WideString field); a like is a substring search, never matching an empty
// pattern; with c the system locale compares ignoring case; ordering
// without c goes by the system locale; equality without c by length, then
// by the units' bytes.
bool CompareTexts(const TValue& aLeft, const TValue& aRight, uint32_t aOperator, bool aIgnoreCase, uint16_t aPartial,
                  int& aResult) {
  String a, b;
  if (!ToText(aLeft, a) || !ToText(aRight, b)) return false;
  const bool like = aOperator == noLike;
  if (aPartial > 0) {
    if (!(like && IsFieldOf(aLeft, {mvtWideString}))) a.resize(std::min<size_t>(a.size(), aPartial));
    if (!(like && IsFieldOf(aRight, {mvtWideString}))) b.resize(std::min<size_t>(b.size(), aPartial));
  }
  if (like) {
    if (aIgnoreCase) a = Lower(std::move(a)), b = Lower(std::move(b));
    aResult = b.empty() ? -1 : mvCmpContains(a, b);
  } else if (aIgnoreCase || (aOperator != noEqual && aOperator != noNotEqual)) {
    aResult = mvCmpStringSystemLocale(a, b, aIgnoreCase);
  } else if (a.size() != b.size()) {
    aResult = a.size() < b.size() ? -1 : 1;
  } else {
    const int r = mvCmpBytes(a.data(), b.data(), a.size() * 2);
    aResult = r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  return true;
}

// The comparison result r of two values; false when the right value has no
// form of the left value's kind (or either side has no value at all). Kept
// out of line: the texts and numbers it holds would otherwise sit in every
// frame of the evaluation's recursion.
[[gnu::noinline]] bool CompareValues(const TValue& aLeft, const TValue& aRight, uint32_t aOperator, bool aIgnoreCase, uint16_t aPartial,
                   int& aResult) {
  if (!aLeft.present || !aRight.present) return false;
  if (aLeft.isNull || aRight.isNull) {
    aResult = aLeft.isNull == aRight.isNull ? 0 : aLeft.isNull ? -1 : 1;
    return true;
  }
  switch (KindOf(aLeft)) {
    case kdInteger: return CompareIntegers(aLeft, aRight, aResult);
    case kdFloat: return CompareFloatValues(aLeft, aRight, aResult);
    case kdDateTime: return CompareDateTimes(aLeft, aRight, aResult);
    case kdBoolean: return CompareBooleans(aLeft, aRight, aResult);
    case kdText: return CompareTexts(aLeft, aRight, aOperator, aIgnoreCase, aPartial, aResult);
    case kdBytes: aResult = CompareBytes(aLeft, aRight); return true;
  }
  return false;
}

bool Satisfies(uint32_t aOperator, int aResult) {
  switch (aOperator) {
    case noEqual: case noLike: return aResult == 0;
    case noNotEqual: return aResult != 0;
    case noGreater: return aResult > 0;
    case noLess: return aResult < 0;
    case noGreaterEqual: return aResult >= 0;
    case noLessEqual: return aResult <= 0;
    default: return false;
  }
}

// The truth of a unary, binary or compare node, with its value when asked.
bool WithValue(bool aTruth, TValue* aValue) {
  if (aValue) *aValue = BooleanConstant(aTruth);
  return aTruth;
}

}  // namespace

// ---------------------------------------------------------------------------
// Evaluation

TmvFilterTreeEvaluator::TmvFilterTreeEvaluator(const TmvCANExpr& aTree, ImvFieldsSource* aFieldsSource,
                                               uint16_t aCodePage)
    : feTree(aTree), feFieldsSource(aFieldsSource), feCodePage(aCodePage) {
  if (feTree.Empty()) return;
  MV_ASSERT(mvFilterTreeFault(feTree.Data(), feTree.Size()).empty());
  feTotal = mvFilterTreeTotalSize(feTree.Data());
  feNodeStart = Rd16(feTree.Data() + 6);
  feLiteralStart = Rd16(feTree.Data() + 8);
}

bool TmvFilterTreeEvaluator::Matches(const void* aBuffer) {
  if (feTree.Empty()) return true;
  TmvBufferUnderTest underTest(feBuffer, aBuffer);
  TValue value;
  if (!Evaluate(0, &value)) return false;
  bool truth;
  if (value.isNull || !IsBooleanValue(value, truth)) return true;
  return truth;
}

bool TmvFilterTreeEvaluator::Evaluate(uint16_t aNode, TValue* aValue) {
  const uint8_t* node = Node(aNode);
  const uint32_t op = Rd32(node + 4);
  switch (Rd32(node)) {
    case ncUnary: return WithValue(EvaluateUnary(node, op), aValue);
    case ncBinary: return WithValue(EvaluateBinary(node, op), aValue);
    case ncCompare:
      return WithValue(EvaluateCompare(op, Rd16(node + 12), Rd16(node + 14), Rd16(node + 8) != 0, Rd16(node + 10)),
                       aValue);
    case ncField: return EvaluateField(node, aNode, aValue);
    case ncConst:
      if (aValue) ConstantValue(node, *aValue);
      return true;
    case ncContinue:
      if (aValue) *aValue = TValue{};
      return Rd16(node + 8) != 0;
    default: return false;
  }
}

// A failed operand makes "not" true and everything else false.
bool TmvFilterTreeEvaluator::EvaluateUnary(const uint8_t* aNode, uint32_t aOperator) {
  TValue operand;
  if (!Evaluate(Rd16(aNode + 8), &operand)) return aOperator == noNot;
  bool truth;
  switch (aOperator) {
    case noBlank: return operand.isNull;
    case noNotBlank: return !operand.isNull;
    case noNot: return operand.isNull || !IsBooleanValue(operand, truth) || !truth;
    default: return false;
  }
}

// And and or take their operands' truths without values (a field is then
// true when its number exists); the comparison operators compare whole and
// with case.
bool TmvFilterTreeEvaluator::EvaluateBinary(const uint8_t* aNode, uint32_t aOperator) {
  const uint16_t left = Rd16(aNode + 8), right = Rd16(aNode + 10);
  switch (aOperator) {
    case noAnd: return Evaluate(left, nullptr) && Evaluate(right, nullptr);
    case noOr: return Evaluate(left, nullptr) || Evaluate(right, nullptr);
    default: return EvaluateCompare(aOperator, left, right, false, 0);
  }
}

bool TmvFilterTreeEvaluator::EvaluateCompare(uint32_t aOperator, uint16_t aLeft, uint16_t aRight, bool aIgnoreCase,
                                             uint16_t aPartial) {
  if (!IsComparison(aOperator)) return false;
  TValue left, right;
  if (!Evaluate(aLeft, &left) || !Evaluate(aRight, &right)) return false;
  int result;
  return CompareValues(left, right, aOperator, aIgnoreCase, aPartial, result) && Satisfies(aOperator, result);
}

bool TmvFilterTreeEvaluator::EvaluateField(const uint8_t* aNode, uint16_t aOffset, TValue* aValue) {
  if (!feFieldsSource) return false;
  const int32_t field = int32_t(Rd16(aNode + 8)) - 1;
  if (!aValue) return field >= 0 && field < feFieldsSource->GetFieldCount();
  TmvFieldType type;
  uint16_t size, codePage;
  bool isNull;
  const void* data;
  const String& name = FieldName(aOffset, Rd16(aNode + 10));
  if (!feFieldsSource->GetFieldForFilter(field, name, feBuffer, type, size, isNull, data, codePage)) return false;
  aValue->present = true;
  aValue->isField = true;
  aValue->isNull = isNull || !data;
  aValue->type = type;
  aValue->size = size;
  aValue->codePage = codePage;
  aValue->data = static_cast<const uint8_t*>(data);
  return true;
}

void TmvFilterTreeEvaluator::ConstantValue(const uint8_t* aNode, TValue& aValue) const {
  aValue = TValue{};
  aValue.present = true;
  aValue.type = Rd16(aNode + 8);
  aValue.size = Rd16(aNode + 10);
  aValue.codePage = feCodePage;
  aValue.data = Literal(Rd16(aNode + 12));
}

const String& TmvFilterTreeEvaluator::FieldName(uint16_t aOffset, uint16_t aLiteral) {
  for (const auto& entry : feFieldNames)
    if (entry.first == aOffset) return entry.second;
  const uint8_t* name = Literal(aLiteral);
  const size_t length = ZeroTerminatedLength(name, feTotal - feLiteralStart - aLiteral);
  feFieldNames.emplace_back(aOffset, ConvertStringValue(name, length, feCodePage));
  return feFieldNames.back().second;
}
