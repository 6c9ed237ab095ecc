// Data dictionary: the SQL filter. See mvsdSqlFilter.h.
#include "dictionary/filters/mvsdSqlFilter.h"

#include <limits>

#include "dictionary/mvsdLog.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"

std::atomic<const TmvSqlFilterStatementClassRef*> SqlFilterStatementClass{nullptr};

// ---------------------------------------------------------------------------
// Descriptors

constinit const TmvSqlFilterDescriptorClassRef TmvBaseSqlFilterDescriptor::StaticClass{
    {{{u"TmvBaseSqlFilterDescriptor", &TmvBaseFilterDescriptor::StaticClass}, &TmvBaseFilterDescriptor::Registry,
      nullptr},
     nullptr},
    &mvCreateSqlFilterDescriptor<TmvBaseSqlFilterDescriptor>};

constinit const TmvSqlFilterDescriptorClassRef TmvSqlFilterDescriptor::StaticClass{
    {{{u"TmvSqlFilterDescriptor", &TmvBaseSqlFilterDescriptor::StaticClass}, &TmvBaseFilterDescriptor::Registry,
      nullptr},
     &TmvSqlFilterDescriptor::FromStream},
    &mvCreateSqlFilterDescriptor<TmvSqlFilterDescriptor>};

namespace {

constexpr uint8_t kVersionAnsiText = 1;
constexpr uint8_t kVersionWideText = 2;

[[noreturn]] void IncompatibleStream() { throw EmvSqlFilterDescriptorException(MVERR_INCOMPATIBLESTREAM, String()); }

}  // namespace

// Every part is checked against what the stream holds before it is read,
// so that a damaged length is refused rather than allocated.
TmvBaseFilterDescriptor* TmvSqlFilterDescriptor::FromStream(TStream& aStream) {
  if (aStream.GetSize() - aStream.GetPosition() < 5) IncompatibleStream();
  const uint8_t version = mvReadFilterValue<uint8_t>(aStream);
  if (version != kVersionAnsiText && version != kVersionWideText) IncompatibleStream();
  const int32_t length = mvReadFilterValue<int32_t>(aStream);
  String text;
  if (!mvReadFilterText(aStream, length, version == kVersionWideText, text)) IncompatibleStream();
  return new TmvSqlFilterDescriptor(text);
}

uint32_t TmvSqlFilterDescriptor::WriteToStream(TStream& aStream, int32_t) {
  if (bsfdExpression.size() > size_t(std::numeric_limits<int32_t>::max()))
    return EmvBaseException::mvSetMessage(MVERR_INVALIDFILTER, u"The SQL filter text is too long for a filter stream");
  mvWriteFilterClassName(aStream, ClassType());
  mvWriteFilterValue<uint8_t>(aStream, kVersionWideText);
  mvWriteFilterValue<int32_t>(aStream, int32_t(bsfdExpression.size()));
  mvWriteFilterText(aStream, bsfdExpression);
  return 0;
}

// ---------------------------------------------------------------------------
// Statement

TmvBaseSqlFilterStatement::TmvBaseSqlFilterStatement(ImvFieldsSource* aFieldsSource, const String&)
    : bsfsFieldsSource(aFieldsSource) {}

bool TmvBaseSqlFilterStatement::MatchesBuffer(const void* aBuffer) {
  TmvBufferUnderTest underTest(bsfsBuffer, aBuffer);
  // An evaluation error rejects the record instead of failing the read.
  return mvEvaluateOrLogFalse([this] { return Evaluate(); },
                              u"SQL filter: the condition could not be evaluated, the record does not match: ");
}

int32_t TmvBaseSqlFilterStatement::ResolveExternalColumn(const String& aName, TmvFieldType& aType, int32_t& aUnits,
                                                         int32_t& aDecimals, TmvLocaleDescriptor*& aLocaleDescriptor) {
  const int32_t index = bsfsFieldsSource->GetFieldFromName(aName);
  if (index < 0) return index;
  ImvFieldDescriptor* field = bsfsFieldsSource->GetFieldDescriptor(index);
  aType = field->GetFieldType();
  aUnits = field->GetUnits();
  aDecimals = field->GetDecPl();
  aLocaleDescriptor = field->GetUsedLocaleDescriptor();
  const bool blob = aType == mvtBlob || aType == mvtBlobMemo || aType == mvtBlobGraphic || aType == mvtBlobWideMemo;
  return blob && !bsfsFieldsSource->BlobsSupported() ? -1 : index;
}

void TmvBaseSqlFilterStatement::GetExternalColumn(int32_t aIndex, Variant& aValue) {
  aValue = bsfsBuffer ? bsfsFieldsSource->GetFieldAsVariant(bsfsBuffer, aIndex) : Variant();
}

// ---------------------------------------------------------------------------
// Engines

constinit const TmvFilterEngineClassRef TmvBaseSqlFilterEngine::StaticClass{
    {{u"TmvBaseSqlFilterEngine", &TmvBaseFilterEngine::StaticClass}, &TmvBaseFilterEngine::Registry, nullptr},
    nullptr};

constinit const TmvFilterEngineClassRef TmvSqlFilterEngine::StaticClass{
    {{u"TmvSqlFilterEngine", &TmvBaseSqlFilterEngine::StaticClass}, &TmvBaseFilterEngine::Registry, nullptr},
    &mvCreateFilterEngine<TmvSqlFilterEngine>};

namespace {

const String& SqlText(TmvBaseFilterDescriptor* aDescriptor) {
  auto* descriptor = dynamic_cast<TmvSqlFilterDescriptor*>(aDescriptor);
  MV_ASSERT(descriptor);
  return descriptor->GetExpression();
}

}  // namespace

TmvSqlFilterEngine::TmvSqlFilterEngine(TmvBaseFilterDescriptor* aDescriptor, ImvFieldsSource* aFieldsSource)
    : TmvBaseSqlFilterEngine(aDescriptor, aFieldsSource), sfeExpression(SqlText(aDescriptor)) {
  const TmvSqlFilterStatementClassRef* cls = SqlFilterStatementClass.load(std::memory_order_acquire);
  if (!cls)
    throw EmvSqlFilterEngineException(MVERR_NOTSUPPORTED,
                                      String(u"SQL Filters require SqlFilterStatementClass to be assigned"));
  sfeStatement = cls->CreateStatement(aFieldsSource, sfeExpression);
}

TmvSqlFilterEngine::~TmvSqlFilterEngine() { mvFreeAndNil(sfeStatement); }

TmvBaseFilterDescriptor* TmvSqlFilterEngine::CreateDescriptor() { return new TmvSqlFilterDescriptor(sfeExpression); }

bool TmvSqlFilterEngine::MatchesBuffer(const void* aBuffer) {
  if (!GetActive() || !aBuffer) return true;
  if (!sfeStatement)
    throw EmvSqlFilterEngineException(
        MVERR_NOTSUPPORTED, String(u"TmvSqlFilterEngine.MatchesBuffer requires sfeStatement to be assigned"));
  return sfeStatement->MatchesBuffer(aBuffer);
}

void TmvSqlFilterEngine::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseSqlFilterEngine::WriteObjectInfo(aContainer);
  aContainer->AddString(u"Expression", sfeExpression);
}
