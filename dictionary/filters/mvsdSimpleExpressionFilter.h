// Data dictionary: the simple-expression filter, a client's compiled filter
// condition (field comparisons joined by AND, OR and NOT).
//
// The descriptor carries the filter-expression tree (mvsdFilterExpression.h),
// the code page of the tree's text constants (negative: none given) and,
// for display and transport only, the text the tree was compiled from. The
// client dataset layer builds it; server cursors install its engine as a
// filter or key filter. Every tree is checked when a descriptor is made or
// read: a tree that does not hold together is refused with 15498.
//
// Stream form, after the class name (mvsdFilterDescriptor.h):
//
// | size    | content                                                        |
// |---------|----------------------------------------------------------------|
// | 1       | version v: 1 no text, 2 ANSI text, 3 UTF-16 text, 4 UTF-16     |
// |         | text and code page                                             |
// | 2       | s, the size of the tree                                        |
// | s       | the tree                                                       |
// | 2       | v >= 2: text length t (v = 2 bytes, else UTF-16 units)         |
// | t or 2t | v >= 2: the text                                               |
// | 4       | v = 4: the code page, signed                                   |
//
// The writer uses version 1 without text, else 3, and 4 for a peer above
// 30001 when a code page was given; it never writes version 2. A text
// longer than its 16-bit length can say is refused, not cut.
//
// Layer: data dictionary; calls the foundation, the filter framework and
// the expression tree. Threading: as the filter framework.
#pragma once

#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/filters/mvsdFilterExpression.h"

MV_DECLARE_EXCEPTION(EmvBaseSimpleExpressionFilterDescriptorException, EmvBaseFilterDescriptorException)
MV_DECLARE_EXCEPTION(EmvSimpleExpressionFilterDescriptorException, EmvBaseSimpleExpressionFilterDescriptorException)

class TmvBaseSimpleExpressionFilterDescriptor : public TmvBaseFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvFilterDescriptorClassRef)
 public:
  // Copies the tree at aTree, as many bytes as its header's total size
  // states (none for nil or a total size of 0).
  // Requires: aTree is nil or holds that many bytes.
  TmvBaseSimpleExpressionFilterDescriptor(const void* aTree, int32_t aCodePage, const String& aFilterText = String());
  // Shares the array, of which the tree may use a leading part.
  TmvBaseSimpleExpressionFilterDescriptor(const TmvCANExpr& aExpression, int32_t aCodePage,
                                          const String& aFilterText = String());
  // Both refuse a tree that does not hold together with 15498 "Invalid
  // filter expression: <what is wrong>".

  const TmvCANExpr& GetExpression() const { return bsfdExpression; }
  int32_t GetCodePage() const { return bsfdCodePage; }
  const String& GetFilterText() const { return bsfdFilterText; }

 protected:
  TmvCANExpr bsfdExpression;
  int32_t bsfdCodePage;
  String bsfdFilterText;
};

class TmvSimpleExpressionFilterDescriptor : public TmvBaseSimpleExpressionFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvFilterDescriptorClassRef)
 public:
  using TmvBaseSimpleExpressionFilterDescriptor::TmvBaseSimpleExpressionFilterDescriptor;

  // Reads the descriptor's own data (the class name already read). A
  // version of 0 or above 4, a tree or text shorter than its length, and a
  // bad tree raise 15498; a stream that ends inside a fixed-size part
  // raises the stream's read error.
  static TmvBaseFilterDescriptor* FromStream(TStream& aStream);
  // 0, or 10051 "Invalid Filter" with a message for a filter text longer
  // than 65535 characters (nothing is then written).
  uint32_t WriteToStream(TStream& aStream, int32_t aVersion) override;
};

class TmvBaseSimpleExpressionFilterEngine : public TmvBaseFilterEngine {
  MV_DECLARE_CLASSREF(TmvFilterEngineClassRef)
 public:
  using TmvBaseFilterEngine::TmvBaseFilterEngine;
};

// Evaluates the tree over buffers of its fields source.
class TmvSimpleExpressionFilterEngine : public TmvBaseSimpleExpressionFilterEngine {
  MV_DECLARE_CLASSREF(TmvFilterEngineClassRef)
 public:
  // Takes tree, text and code page from the descriptor; without a code page
  // the engine's default one (mvDefaultCodePage) reads the text constants.
  // Requires: aDescriptor is a TmvSimpleExpressionFilterDescriptor (an
  // assertion otherwise).
  TmvSimpleExpressionFilterEngine(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource);

  // The same tree, text and code page (-1 when none was given).
  TmvBaseFilterDescriptor* CreateDescriptor() override;
  // True when inactive or without a tree; otherwise the tree's verdict.
  bool MatchesBuffer(const void* aBuffer) override;
  // Adds "FilterText" when there is one and "CodePage" when given.
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

 private:
  TmvCANExpr sfeExpression;
  String sfeFilterText;
  bool sfeHasCodePage;
  uint16_t sfeCodePage;
  TmvFilterTreeEvaluator sfeEvaluator;
};
