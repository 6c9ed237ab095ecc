// Test support of the filter tests: filter-expression trees built by hand
// in the client's byte layout (dictionary/filters/mvsdFilterExpression.h), and
// filter descriptors read back from stream bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/filters/mvsdFilterDescriptor.h"
#include "dictionary/mvsdTestSupport.h"
#include "foundation/mvllStreams.h"

namespace mvtest {

// CreateFromStream over the bytes: its code, the descriptor (nil on
// failure) and the text the failure recorded. A descriptor read must have
// consumed every byte.
inline uint32_t ReadFilter(const std::vector<uint8_t>& aBytes, std::unique_ptr<TmvBaseFilterDescriptor>& aFilter,
                           String* aMessage = nullptr) {
  TmvMemoryStream stream;
  if (!aBytes.empty()) stream.Write(aBytes.data(), int32_t(aBytes.size()));
  stream.SetPosition(0);
  TmvBaseFilterDescriptor* filter = reinterpret_cast<TmvBaseFilterDescriptor*>(1);  // must be reset
  const uint32_t code = TmvBaseFilterDescriptor::CreateFromStream(stream, filter);
  aFilter.reset(filter);
  if (code == 0) {
    EXPECT_EQ(stream.GetPosition(), int64_t(aBytes.size()));
  }
  uint32_t last;
  if (aMessage) EmvBaseException::GetLastConvertedException(last, *aMessage);
  return code;
}
inline std::vector<uint8_t> BytesOf(std::string_view aText) { return {aText.begin(), aText.end()}; }

// One node of a tree to be laid out: the root goes first, every node before
// its operands, as a client's compiler emits them.
struct Expr {
  uint32_t cls = 0;
  uint32_t op = 0;
  std::vector<uint16_t> words;  // the operands that are no nodes, in order
  std::vector<Expr> kids;       // the operand nodes
  std::vector<uint8_t> literal; // a field's name or a constant's value
};

enum : uint32_t { kUnary = 1, kBinary = 2, kCompare = 3, kField = 4, kConst = 5, kContinue = 7 };
enum : uint32_t {
  kBlank = 1, kNotBlank, kEq, kNe, kGt, kLt, kGe, kLe, kNot, kAnd, kOr, kLike = 30
};

inline Expr FieldNode(uint16_t aNumber, const std::string& aName) {
  Expr e{kField, 0, {aNumber}, {}, {}};
  e.literal.assign(aName.begin(), aName.end());
  e.literal.push_back(0);
  return e;
}
inline Expr ConstNode(uint16_t aType, std::vector<uint8_t> aValue) { return {kConst, 0, {aType}, {}, aValue}; }
template <typename T>
Expr ConstOf(uint16_t aType, T aValue) {
  std::vector<uint8_t> bytes(sizeof(T));
  std::memcpy(bytes.data(), &aValue, sizeof(T));
  return ConstNode(aType, bytes);
}
inline Expr Str(const std::string& aText) {
  std::vector<uint8_t> bytes(aText.begin(), aText.end());
  bytes.push_back(0);
  return ConstNode(1, bytes);
}
inline Expr WStr(const std::u16string& aText) {
  std::vector<uint8_t> bytes(2 + aText.size() * 2);
  const uint16_t length = uint16_t(aText.size() * 2);
  std::memcpy(bytes.data(), &length, 2);
  std::memcpy(bytes.data() + 2, aText.data(), aText.size() * 2);
  return ConstNode(4103, bytes);
}
inline Expr Bool(bool aValue) { return ConstOf<uint16_t>(4, aValue ? 1 : 0); }
inline Expr Cmp(uint32_t aOp, Expr aLeft, Expr aRight, uint16_t aIgnoreCase = 0, uint16_t aPartial = 0) {
  return {kCompare, aOp, {aIgnoreCase, aPartial}, {aLeft, aRight}, {}};
}
inline Expr Bin(uint32_t aOp, Expr aLeft, Expr aRight) { return {kBinary, aOp, {}, {aLeft, aRight}, {}}; }
inline Expr Un(uint32_t aOp, Expr aOperand) { return {kUnary, aOp, {}, {aOperand}, {}}; }
inline Expr Cont(uint16_t aValue) { return {kContinue, 0, {aValue}, {}, {}}; }
inline Expr OtherNode() { return {6, 0, {0, 0}, {}, {}}; }

// Lays a tree out: header, nodes in pre-order from offset 10, literals.
class TreeBytes {
 public:
  explicit TreeBytes(const Expr& aRoot) {
    Place(aRoot);
    const uint16_t nodeStart = 10, literalStart = uint16_t(nodeStart + fNodes.size());
    bytes = {1, 0, 0, 0, uint8_t(fCount), uint8_t(fCount >> 8), uint8_t(nodeStart), 0};
    bytes.push_back(uint8_t(literalStart));
    bytes.push_back(uint8_t(literalStart >> 8));
    bytes.insert(bytes.end(), fNodes.begin(), fNodes.end());
    bytes.insert(bytes.end(), fLiterals.begin(), fLiterals.end());
    Put16(2, uint16_t(bytes.size()));
  }
  // The byte offset in the tree of node n (pre-order), and its literal's.
  size_t NodeAt(size_t n) const { return 10 + fNodeOffsets[n]; }
  size_t LiteralStart() const { return bytes.size() - fLiterals.size(); }
  size_t NodeCount() const { return fNodeOffsets.size(); }
  void Put16(size_t aAt, uint16_t aValue) {
    bytes[aAt] = uint8_t(aValue);
    bytes[aAt + 1] = uint8_t(aValue >> 8);
  }

  std::vector<uint8_t> bytes;

 private:
  uint16_t Place(const Expr& e) {
    const uint16_t at = uint16_t(fNodes.size());
    fNodeOffsets.push_back(at);
    ++fCount;
    Append32(e.cls);
    Append32(e.op);
    // Operand words in the node's order: a compare's two flags come before
    // its nodes, a field's number and a constant's type before the literal.
    const size_t words = e.cls == kConst ? 3 : e.cls == kField ? 2 : e.words.size() + e.kids.size();
    const size_t firstKid = fNodes.size() + 2 * e.words.size();
    fNodes.resize(fNodes.size() + 2 * words);
    for (size_t i = 0; i < e.words.size(); ++i) Set16(at + 8 + 2 * i, e.words[i]);
    if (e.cls == kField) Set16(at + 10, AddLiteral(e.literal));
    if (e.cls == kConst) Set16(at + 10, uint16_t(e.literal.size())), Set16(at + 12, AddLiteral(e.literal));
    for (size_t k = 0; k < e.kids.size(); ++k) Set16(firstKid + 2 * k, Place(e.kids[k]));
    return at;
  }
  uint16_t AddLiteral(const std::vector<uint8_t>& aBytes) {
    const uint16_t at = uint16_t(fLiterals.size());
    fLiterals.insert(fLiterals.end(), aBytes.begin(), aBytes.end());
    return at;
  }
  void Append32(uint32_t v) {
    for (int i = 0; i < 4; ++i) fNodes.push_back(uint8_t(v >> (8 * i)));
  }
  void Set16(size_t aAt, uint16_t v) {
    fNodes[aAt] = uint8_t(v);
    fNodes[aAt + 1] = uint8_t(v >> 8);
  }

  std::vector<uint8_t> fNodes;
  std::vector<uint8_t> fLiterals;
  std::vector<uint16_t> fNodeOffsets;
  uint16_t fCount = 0;
};

}  // namespace mvtest
