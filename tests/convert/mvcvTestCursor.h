// Test support: a cursor for the field mapper engine tests, standing behind
// the cursor calls of field conversion until the server's cursors exist. It
// has what those calls reach: a table (a data dictionary), an
// auto-increment counter (every value set is kept), whether it is a server
// table cursor, and the dictionary's cursor interface for default values.
#pragma once

#include <vector>

#include "convert/mvsdFieldMapperCursor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdDictionaryCursor.h"

namespace mvtest {

class TTestCursor : public ImvDictionaryCursor {
 public:
  TTestCursor() = default;
  TTestCursor(const TTestCursor&) = delete;
  TTestCursor& operator=(const TTestCursor&) = delete;
  virtual ~TTestCursor() = default;

  TmvFieldsDescriptor& Fields() { return *Dictionary.GetFieldsDescriptor(); }
  TmvFieldDescriptor* Add(const char16_t* aName, TmvFieldType aType, int32_t aUnits = 0, int32_t aDecPl = 0) {
    return Fields().AddField(aName, u"", aType, aUnits, aDecPl, false);
  }
  // An all-null record of the table.
  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> record(size_t(Fields().RecordLength()));
    Fields().InitRecord(record.data());
    return record;
  }

  // The cursor calls see every cursor as one of these; the pointer types of
  // the server's classes only carry it.
  TmvAbstractCursor* AsCursor() { return reinterpret_cast<TmvAbstractCursor*>(this); }
  static TTestCursor* Of(TmvAbstractCursor* aCursor) { return reinterpret_cast<TTestCursor*>(aCursor); }
  static TTestCursor* Of(TmvServerBaseCursor* aCursor) { return reinterpret_cast<TTestCursor*>(aCursor); }

  static void Install() {
    TmvMapperCursorCalls calls;
    calls.TableDescriptor = [](TmvAbstractCursor* c) -> TmvBaseTableDescriptor* { return &Of(c)->Dictionary; };
    calls.DictionaryCursor = [](TmvAbstractCursor* c) -> ImvDictionaryCursor* { return Of(c); };
    calls.AsServerCursor = [](TmvAbstractCursor* c) {
      return Of(c)->Server ? reinterpret_cast<TmvServerBaseCursor*>(c) : nullptr;
    };
    calls.AutoIncGet = [](TmvServerBaseCursor* c) { return Of(c)->AutoInc; };
    calls.AutoIncSetDirect = [](TmvServerBaseCursor* c, uint32_t v) {
      Of(c)->AutoInc = v;
      Of(c)->AutoIncSets.push_back(v);
    };
    mvSetMapperCursorCalls(calls);
  }
  static void Uninstall() { mvSetMapperCursorCalls(TmvMapperCursorCalls()); }

  // ImvDictionaryCursor
  String GetSessionUserName() override { return u"Tester"; }
  bool GetNextLSN(TmvLSN&) override { return false; }
  uint32_t ReadBlob(int32_t, TmvBlobNr, std::vector<uint8_t>&) override { return 12289; }

  TmvDataDictionary Dictionary;
  uint32_t AutoInc = 0;
  std::vector<uint32_t> AutoIncSets;
  bool Server = true;
};

}  // namespace mvtest
