// Validations with the engine's own allocator (the pooled one in the plain
// tree): across full stops and starts of the dictionary a table with every
// kind of validation is streamed and read back, and on the read-back tree,
// cached and read-only as an open table's, eight threads each make a
// handler and validate records, as the cursors of one table do. The first
// handlers of a round race to cache the record-level engine class.
#include <gtest/gtest.h>

#include "dictionary/filters/mvsdValidationEngine.h"
#include "dictionary/mvsdStressSupport.h"

using namespace mvtest;

namespace {

void AddValidations(TmvFieldsDescriptor& f) {
  TmvFieldValidationsDescriptor& qty = *f.AddField(u"Qty", u"", mvtInt32, 0, 0, true)->EnsureValidations();
  auto* range = static_cast<TmvMinMaxValidationDescriptor*>(
      qty.AddValidation(u"Range", &TmvMinMaxValidationDescriptor::StaticClass));
  range->SetMinAsVariant(Variant(1));
  range->SetMaxAsVariant(Variant(100));
  f.AddField(u"Code", u"", mvtWideString, 8, 0, false)
      ->EnsureValidations()
      ->AddValidation(u"Fixed", &TmvNoChangeValidationDescriptor::StaticClass);
  f.EnsureValidations()->AddValidation(u"Row", &TmvSqlCheckValidationDescriptor::StaticClass);
  f.CheckValid(true);
}

// Per record: a fitting insert, an insert above the limit, and a modify
// that changes the fixed code; each must give its own answer.
void ValidateRecords(TmvFieldsDescriptor* aFields, int* aFailures) {
  TTestCursor cursor;
  std::unique_ptr<TmvValidationsHandler> h(TmvValidationsHandler::CreateFor(aFields, aaServer, &cursor));
  std::vector<uint8_t> before(size_t(aFields->RecordLength())), after(before.size());
  for (int i = 0; i < 300; ++i) {
    aFields->InitRecord(before.data());
    aFields->fsdSetFieldByIndexAsVariant(before.data(), 0, Variant(1 + i % 100));
    aFields->fsdSetFieldByIndexAsVariant(before.data(), 1, Variant(u"A" + mvIntToStr(i)));
    after = before;
    // No SQL engine in this process: the record-level CHECK refuses.
    if (RaisedCode([&] { h->ValidateField(nullptr, before.data(), 0); }) != 0) ++*aFailures;
    if (RaisedCode([&] { h->ValidateRecord(nullptr, before.data()); }) != 12289) ++*aFailures;
    aFields->fsdSetFieldByIndexAsVariant(after.data(), 0, Variant(101 + i));
    if (RaisedCode([&] { h->ValidateField(nullptr, after.data(), 0); }) != 9731) ++*aFailures;
    aFields->fsdSetFieldByIndexAsVariant(after.data(), 1, Variant(u"B"));
    if (RaisedCode([&] { h->ValidateField(before.data(), after.data(), 1); }) != 10502) ++*aFailures;
  }
}

TEST(ValidationsRestart, StreamAndValidateInEveryRound) {
  EveryRoundOnACachedCopy([](TmvFieldsDescriptor& f, int) { AddValidations(f); },
                          [](TmvFieldsDescriptor* f, int, int* failures) { ValidateRecords(f, failures); });
}

}  // namespace
