// Test support: the sample "people" table that the table tests and the
// record benchmarks share: an auto-increment ID, a name (ShortString 40), an
// amount (Double) and a moment (DateTime), with the values that belong to
// each ID. Names are short and every even ID's is empty: the shape of data
// where a variable record pays off.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"

struct TPeopleTable {
  // The dictionary (TmvDataDictionary or a descendant) of a table whose
  // records the named record engine stores; aCompression names the record
  // compression engine of a heap-based record engine, nullptr for a static
  // table. The table has no indexes; callers add what they need.
  template <typename TDictionary>
  static std::unique_ptr<TDictionary> Dictionary(const char16_t* aRecordEngine, const char16_t* aCompression) {
    auto dd = std::make_unique<TDictionary>();
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    fields->AddField(u"ID", u"", mvtAutoInc, 0, 0, true);
    fields->AddField(u"NAME", u"", mvtShortString, 40, 0, false);
    fields->AddField(u"AMOUNT", u"", mvtDouble, 0, 0, false);
    fields->AddField(u"WHEN", u"", mvtDateTime, 0, 0, false);
    dd->AddAutoIncDescriptor();
    if (aCompression) {
      auto* record =
          static_cast<TmvHeapRecordDescriptor*>(dd->AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass));
      record->SetRecordEngine(aRecordEngine);
      record->AddHeapDescriptor()->AddBlockHeapDescriptor();
      record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(aCompression);
    } else {
      dd->GetRecordDescriptor()->SetRecordEngine(aRecordEngine);
    }
    dd->RemoveIndicesDescriptor();
    return dd;
  }

  // The name of an ID in ASCII (the same in every ANSI code page) and its
  // length: "Person <ID>" for odd IDs, empty for even ones.
  static int Name(int32_t aID, char (&aText)[41]) {
    if (aID % 2 == 0) {
      aText[0] = 0;
      return 0;
    }
    return std::snprintf(aText, sizeof aText, "Person %d", aID);
  }
  static double Amount(int32_t aID) { return aID * 0.25; }
  // A DateTime is stored as milliseconds since the first day of year 1.
  static double When(int32_t aID) { return 63850000000000.0 + aID * 60000.0; }

  // The record of an ID, written field by field in the native form.
  static void Record(TmvFieldsDescriptor* aFields, int32_t aID, uint8_t* aRecord) {
    aFields->InitRecord(aRecord);
    aFields->SetRecordField(0, aRecord, &aID);
    char text[41];
    const int length = Name(aID, text);
    uint8_t name[41] = {uint8_t(length)};
    std::memcpy(name + 1, text, size_t(length));
    aFields->SetRecordField(1, aRecord, name);
    const double amount = Amount(aID), when = When(aID);
    aFields->SetRecordField(2, aRecord, &amount);
    aFields->SetRecordField(3, aRecord, &when);
  }
};
