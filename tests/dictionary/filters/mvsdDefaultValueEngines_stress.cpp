// Default values with the engine's own allocator (the pooled one in the
// plain tree): across full stops and starts of the dictionary a table with
// every kind of default is streamed and read back, and on the read-back
// tree, cached and read-only as an open table's, eight threads each make a
// handler and fill records, as the cursors of one table do.
#include <gtest/gtest.h>

#include "dictionary/filters/mvsdDefaultValueEngines.h"
#include "dictionary/mvsdStressSupport.h"

using namespace mvtest;

namespace {

void AddDefaults(TmvFieldsDescriptor& f, int aRound) {
  f.AddField(u"I", u"", mvtInt32, 0, 0, false)->AddDefaultValue(&TmvEmptyDefaultValueDescriptor::StaticClass);
  static_cast<TmvConstDefaultValueDescriptor*>(f.AddField(u"S", u"", mvtNullString, 12, 0, false)->AddDefaultValue())
      ->SetAsVariant(Variant(u"round " + mvIntToStr(aRound)));
  f.AddField(u"D", u"", mvtDateTime, 0, 0, false)
      ->AddDefaultValue(&TmvCurrentDateTimeDefaultValueDescriptor::StaticClass);
  f.AddField(u"U", u"", mvtWideString, 16, 0, false)
      ->AddDefaultValue(&TmvCurrentUserDefaultValueDescriptor::StaticClass);
  f.AddField(u"G", u"", mvtGuid, 0, 0, false)->AddDefaultValue(&TmvAutoGuidDefaultValueDescriptor::StaticClass);
  f.AddField(u"L", u"", mvtInt64, 0, 0, false)->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
}

void FillRecords(TmvFieldsDescriptor* aFields, int aRound, int* aFailures) {
  TTestCursor cursor;
  std::unique_ptr<TmvDefaultValueHandler> h(TmvDefaultValueHandler::CreateFor(aFields, aaServer, &cursor));
  std::vector<uint8_t> record(size_t(aFields->RecordLength()));
  for (int i = 0; i < 500; ++i) {
    aFields->InitRecord(record.data());
    h->SetDefaultValuesInsert(record.data());
    if (aFields->fsdGetFieldByIndexAsVariant(record.data(), 1).AsString() != u"round " + mvIntToStr(aRound) ||
        aFields->fsdGetFieldByIndexAsVariant(record.data(), 3).AsString() != u"alice" ||
        aFields->IsRecordFieldNull(4, record.data()) || !aFields->IsRecordFieldNull(5, record.data()))
      ++*aFailures;
  }
}

TEST(DefaultValuesRestart, StreamAndFillInEveryRound) { EveryRoundOnACachedCopy(&AddDefaults, &FillRecords); }

}  // namespace
