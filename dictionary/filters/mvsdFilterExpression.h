// Data dictionary: the filter-expression tree of simple-expression filters,
// its checks and its evaluation over a record.
//
// A client's filter condition (field comparisons joined by AND, OR and NOT)
// travels as a compiled tree in a fixed byte layout. All integers are
// little-endian; offsets are in bytes.
//
// Header:
// | offset | size | meaning                                                  |
// |--------|------|----------------------------------------------------------|
// | 0      | 2    | version (not interpreted)                                |
// | 2      | 2    | total size of the tree: header, nodes and literals       |
// | 4      | 2    | node count (not interpreted)                             |
// | 6      | 2    | node area start, from the start of the tree              |
// | 8      | 2    | literal pool start, from the start of the tree           |
//
// A node is addressed by its offset within the node area (the root is node
// offset 0), a literal by its offset within the literal pool. Every node
// opens with a 32-bit node class at +0 and a 32-bit operator at +4, then
// 16-bit operands:
// | class        | operands from +8                                          |
// |--------------|-----------------------------------------------------------|
// | 1 unary      | +8 operand node                                           |
// | 2 binary     | +8 left node, +10 right node                              |
// | 3 compare    | +8 case-insensitive (non-zero), +10 partial length in     |
// |              | characters (0 = whole), +12 left node, +14 right node     |
// | 4 field      | +8 field number (1-based), +10 literal offset of the      |
// |              | field name (zero-terminated, ANSI)                        |
// | 5 constant   | +8 constant type code, +10 size in bytes, +12 literal     |
// |              | offset of the value                                       |
// | 7 continue   | +8 a 16-bit value                                         |
// Nodes of any other class evaluate to false.
//
// Constant literals by type code: 1 zero-terminated text in the tree's code
// page; 2 4-byte day number (day 1 = 1 January of year 1); 4 2-byte boolean;
// 5 Int16; 6 Int32; 7 8-byte float; 8 packed decimal (foundation/
// mvllFmtBcd.h, as many bytes as its precision needs); 10 4-byte
// milliseconds of the day; 11 8-byte float milliseconds since day 1; 12
// Word16; 13 Word32; 14 10-byte float; 18 Int64; 27 4-byte float; 4103 a
// 2-byte length in bytes, then that much UTF-16 text. Any other type code
// compares as raw bytes.
//
// The tree comes from a client, so nothing in it is trusted: every node,
// operand and literal must lie inside the tree's total size, each constant
// must hold the bytes its type reads, a field name must end inside the
// tree, and each node may be reached only once from the root (a tree, not
// a graph: that refuses cycles and keeps evaluation linear).
//
// Layer: data dictionary; calls the foundation and the fields source
// interface. Threading: a TmvCANExpr is immutable and may be shared between
// threads; an evaluator is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dictionary/items/mvsdFieldsDescriptor.h"

// A reference-counted, immutable byte array holding one tree; empty means
// "no condition". Copies share the bytes.
class TmvCANExpr {
 public:
  TmvCANExpr() = default;
  // A new array with a copy of aSize bytes (none for 0).
  TmvCANExpr(const void* aBytes, size_t aSize);
  TmvCANExpr(const TmvCANExpr& aOther);
  TmvCANExpr(TmvCANExpr&& aOther) noexcept;
  TmvCANExpr& operator=(TmvCANExpr aOther) noexcept;
  ~TmvCANExpr();

  const uint8_t* Data() const;
  size_t Size() const;
  bool Empty() const { return Size() == 0; }

 private:
  struct TBlock;
  TBlock* ceBlock = nullptr;
};

// The header's fields.
inline constexpr size_t mvFilterTreeHeaderSize = 10;
// The total size a tree's header states. Requires: 4 readable bytes.
uint16_t mvFilterTreeTotalSize(const void* aTree);

// Empty when the aAvailable bytes at aTree (0 for an empty tree) hold a
// sound tree of at most aAvailable bytes; otherwise what is wrong with it.
String mvFilterTreeFault(const uint8_t* aTree, size_t aAvailable);

// Evaluates one sound tree (checked with mvFilterTreeFault) over buffers of
// a fields source. Holds the tree's bytes and a counted reference to the
// fields source.
class TmvFilterTreeEvaluator {
 public:
  // aCodePage is the code page of the tree's text constants (and names).
  TmvFilterTreeEvaluator(const TmvCANExpr& aTree, ImvFieldsSource* aFieldsSource, uint16_t aCodePage);

  // Whether the buffer passes: the root is evaluated with its value; false
  // when that fails, true for a null value, the value for a boolean one,
  // true for any other. An empty tree lets everything pass. A text the
  // platform cannot convert raises 11047 naming "ConvertStringValue".
  bool Matches(const void* aBuffer);

  // The value of a node (defined with the evaluation).
  struct TValue;

 private:
  bool Evaluate(uint16_t aNode, TValue* aValue);
  bool EvaluateUnary(const uint8_t* aNode, uint32_t aOperator);
  bool EvaluateBinary(const uint8_t* aNode, uint32_t aOperator);
  bool EvaluateCompare(uint32_t aOperator, uint16_t aLeft, uint16_t aRight, bool aIgnoreCase, uint16_t aPartial);
  bool EvaluateField(const uint8_t* aNode, uint16_t aOffset, TValue* aValue);
  void ConstantValue(const uint8_t* aNode, TValue& aValue) const;
  const String& FieldName(uint16_t aOffset, uint16_t aLiteral);
  const uint8_t* Node(uint16_t aOffset) const { return feTree.Data() + feNodeStart + aOffset; }
  const uint8_t* Literal(uint16_t aOffset) const { return feTree.Data() + feLiteralStart + aOffset; }

  TmvCANExpr feTree;
  TInterfacePtr<ImvFieldsSource> feFieldsSource;
  uint16_t feCodePage;
  size_t feTotal = 0;
  size_t feNodeStart = 0;
  size_t feLiteralStart = 0;
  const void* feBuffer = nullptr;
  // The field names by node offset, converted once on first use.
  std::vector<std::pair<uint16_t, String>> feFieldNames;
};
