// Data dictionary: the simple-expression filter. See
// mvsdSimpleExpressionFilter.h.
#include "dictionary/filters/mvsdSimpleExpressionFilter.h"

#include <limits>
#include <vector>

#include "dictionary/mvsdDictionaryVersions.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/types/mvllWideString.h"

namespace {

// Refuses a tree that does not hold together within aAvailable bytes.
template <typename E>
void CheckTree(const uint8_t* aTree, size_t aAvailable) {
  String fault = mvFilterTreeFault(aTree, aAvailable);
  if (!fault.empty()) throw E(MVERR_INCOMPATIBLESTREAM, u"Invalid filter expression: %s", {fault});
}

[[noreturn]] void IncompatibleStream() {
  throw EmvSimpleExpressionFilterDescriptorException(MVERR_INCOMPATIBLESTREAM, String());
}

// The stream versions: 1 no text, 2 ANSI text, 3 UTF-16 text, 4 with the
// code page as well.
constexpr uint8_t kVersionNoText = 1;
constexpr uint8_t kVersionAnsiText = 2;
constexpr uint8_t kVersionWideText = 3;
constexpr uint8_t kVersionCodePage = 4;

}  // namespace

// ---------------------------------------------------------------------------
// Descriptors

constinit const TmvFilterDescriptorClassRef TmvBaseSimpleExpressionFilterDescriptor::StaticClass{
    {{u"TmvBaseSimpleExpressionFilterDescriptor", &TmvBaseFilterDescriptor::StaticClass},
     &TmvBaseFilterDescriptor::Registry, nullptr},
    nullptr};

TmvBaseSimpleExpressionFilterDescriptor::TmvBaseSimpleExpressionFilterDescriptor(const void* aTree,
                                                                                 int32_t aCodePage,
                                                                                 const String& aFilterText)
    : bsfdCodePage(aCodePage), bsfdFilterText(aFilterText) {
  if (!aTree) return;
  const size_t size = mvFilterTreeTotalSize(aTree);
  CheckTree<EmvBaseSimpleExpressionFilterDescriptorException>(static_cast<const uint8_t*>(aTree), size);
  bsfdExpression = TmvCANExpr(aTree, size);
}

TmvBaseSimpleExpressionFilterDescriptor::TmvBaseSimpleExpressionFilterDescriptor(const TmvCANExpr& aExpression,
                                                                                 int32_t aCodePage,
                                                                                 const String& aFilterText)
    : bsfdExpression(aExpression), bsfdCodePage(aCodePage), bsfdFilterText(aFilterText) {
  CheckTree<EmvBaseSimpleExpressionFilterDescriptorException>(aExpression.Data(), aExpression.Size());
}

constinit const TmvFilterDescriptorClassRef TmvSimpleExpressionFilterDescriptor::StaticClass{
    {{u"TmvSimpleExpressionFilterDescriptor", &TmvBaseSimpleExpressionFilterDescriptor::StaticClass},
     &TmvBaseFilterDescriptor::Registry, nullptr},
    &TmvSimpleExpressionFilterDescriptor::FromStream};

TmvBaseFilterDescriptor* TmvSimpleExpressionFilterDescriptor::FromStream(TStream& aStream) {
  const uint8_t version = mvReadFilterValue<uint8_t>(aStream);
  if (version < kVersionNoText || version > kVersionCodePage) IncompatibleStream();
  const uint16_t treeSize = mvReadFilterValue<uint16_t>(aStream);
  if (treeSize > aStream.GetSize() - aStream.GetPosition()) IncompatibleStream();
  std::vector<uint8_t> tree(treeSize);
  aStream.ReadBuffer(tree.data(), treeSize);
  CheckTree<EmvSimpleExpressionFilterDescriptorException>(tree.data(), tree.size());
  String text;
  if (version >= kVersionAnsiText &&
      !mvReadFilterText(aStream, mvReadFilterValue<uint16_t>(aStream), version > kVersionAnsiText, text))
    IncompatibleStream();
  const int32_t codePage = version == kVersionCodePage ? mvReadFilterValue<int32_t>(aStream) : -1;
  return new TmvSimpleExpressionFilterDescriptor(TmvCANExpr(tree.data(), tree.size()), codePage, text);
}

uint32_t TmvSimpleExpressionFilterDescriptor::WriteToStream(TStream& aStream, int32_t aVersion) {
  if (bsfdFilterText.size() > std::numeric_limits<uint16_t>::max())
    return EmvBaseException::mvSetMessage(
        MVERR_INVALIDFILTER, u"The filter text of %d characters is longer than the %d a filter stream can carry",
        {int64_t(bsfdFilterText.size()), int32_t(std::numeric_limits<uint16_t>::max())});
  const bool withCodePage = aVersion >= mvPeerVersionFilterCodePage && bsfdCodePage >= 0;
  const uint8_t version = withCodePage ? kVersionCodePage : bsfdFilterText.empty() ? kVersionNoText : kVersionWideText;
  const size_t treeSize = bsfdExpression.Empty() ? 0 : mvFilterTreeTotalSize(bsfdExpression.Data());
  mvWriteFilterClassName(aStream, ClassType());
  mvWriteFilterValue<uint8_t>(aStream, version);
  mvWriteFilterValue<uint16_t>(aStream, uint16_t(treeSize));
  if (treeSize > 0) aStream.WriteBuffer(bsfdExpression.Data(), int64_t(treeSize));
  if (version >= kVersionWideText) {
    mvWriteFilterValue<uint16_t>(aStream, uint16_t(bsfdFilterText.size()));
    mvWriteFilterText(aStream, bsfdFilterText);
  }
  if (withCodePage) mvWriteFilterValue<int32_t>(aStream, bsfdCodePage);
  return 0;
}

// ---------------------------------------------------------------------------
// Engines

constinit const TmvFilterEngineClassRef TmvBaseSimpleExpressionFilterEngine::StaticClass{
    {{u"TmvBaseSimpleExpressionFilterEngine", &TmvBaseFilterEngine::StaticClass}, &TmvBaseFilterEngine::Registry,
     nullptr},
    nullptr};

constinit const TmvFilterEngineClassRef TmvSimpleExpressionFilterEngine::StaticClass{
    {{u"TmvSimpleExpressionFilterEngine", &TmvBaseSimpleExpressionFilterEngine::StaticClass},
     &TmvBaseFilterEngine::Registry, nullptr},
    &mvCreateFilterEngine<TmvSimpleExpressionFilterEngine>};

namespace {

const TmvSimpleExpressionFilterDescriptor& SimpleDescriptor(TmvBaseFilterDescriptor* aDescriptor) {
  auto* descriptor = dynamic_cast<TmvSimpleExpressionFilterDescriptor*>(aDescriptor);
  MV_ASSERT(descriptor);
  return *descriptor;
}

}  // namespace

TmvSimpleExpressionFilterEngine::TmvSimpleExpressionFilterEngine(TmvBaseFilterDescriptor* aDescriptor,
                                                                 ImvFieldsSource* aFieldsSource)
    : TmvBaseSimpleExpressionFilterEngine(aDescriptor, aFieldsSource),
      sfeExpression(SimpleDescriptor(aDescriptor).GetExpression()),
      sfeFilterText(SimpleDescriptor(aDescriptor).GetFilterText()),
      sfeHasCodePage(SimpleDescriptor(aDescriptor).GetCodePage() >= 0),
      sfeCodePage(sfeHasCodePage ? uint16_t(SimpleDescriptor(aDescriptor).GetCodePage()) : mvDefaultCodePage),
      sfeEvaluator(sfeExpression, aFieldsSource, sfeCodePage) {}

TmvBaseFilterDescriptor* TmvSimpleExpressionFilterEngine::CreateDescriptor() {
  return new TmvSimpleExpressionFilterDescriptor(sfeExpression, sfeHasCodePage ? int32_t(sfeCodePage) : -1,
                                                 sfeFilterText);
}

bool TmvSimpleExpressionFilterEngine::MatchesBuffer(const void* aBuffer) {
  return !GetActive() || sfeEvaluator.Matches(aBuffer);
}

void TmvSimpleExpressionFilterEngine::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseSimpleExpressionFilterEngine::WriteObjectInfo(aContainer);
  if (!sfeFilterText.empty()) aContainer->AddString(u"FilterText", sfeFilterText);
  if (sfeHasCodePage) aContainer->AddInteger(u"CodePage", sfeCodePage);
}
