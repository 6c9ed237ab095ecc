// Test support of the record, auto-increment and indices engine tests: a
// table file of the version 2 format with a data dictionary built in
// memory, block accesses over it, and a filter that the tests steer.
#pragma once

#include <functional>
#include <memory>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "storage/FileHeaderTestSupport.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/mvsrTimeoutHandling.h"

namespace storage_test {

// A filter whose verdict is a function of the record.
class TTestFilter : public TmvBaseFilterEngine {
 public:
  explicit TTestFilter(std::function<bool(const uint8_t*)> aMatch)
      : TmvBaseFilterEngine(nullptr, nullptr), fMatch(std::move(aMatch)) {
    bfActive = true;
  }
  TmvBaseFilterDescriptor* CreateDescriptor() override { return nullptr; }
  bool MatchesBuffer(const void* aBuffer) override { return fMatch(static_cast<const uint8_t*>(aBuffer)); }

 private:
  std::function<bool(const uint8_t*)> fMatch;
};

// One open table file with its root view.
struct TableFile {
  std::unique_ptr<OpenTable> table;
  std::unique_ptr<TmvBlockAccess> view;
  TmvBlockAccessArray Files() const { return {view.get()}; }
};

class RecordTableTest : public HeaderTest {
 protected:
  void SetUp() override {
    HeaderTest::SetUp();
    mvSetOperationDeadline(0, true);  // no deadline on the test's thread
  }
  // A new file whose header aTrans creates; owner IDs up to the
  // dictionary's are accepted.
  TableFile CreateFile(const std::string& aName, TmvBaseTransaction* aTrans) {
    TableFile f;
    f.table = Create(aName, aTrans);
    f.table->file->fiMaxID = 1000;
    f.view = std::make_unique<TmvBlockAccess>(f.table->file, nullptr, u"t", 0);
    return f;
  }
  TableFile OpenFile(const std::string& aName) {
    TableFile f;
    f.table = Open(aName);
    f.table->file->fiMaxID = 1000;
    f.view = std::make_unique<TmvBlockAccess>(f.table->file, nullptr, u"t", 0);
    return f;
  }
  // A dictionary of an Int32 "ID" and a RefNr "REF": records of 16 bytes.
  static std::unique_ptr<TmvDataDictionary> SmallDictionary() {
    auto dd = std::make_unique<TmvDataDictionary>();
    dd->SetBaseName(u"t");
    dd->GetFieldsDescriptor()->AddField(u"ID", u"", mvtInt32, 0, 0, false);
    dd->GetFieldsDescriptor()->AddField(u"REF", u"", mvtRefNr, 0, 0, false);
    return dd;
  }
  // A record of the small dictionary with the given ID.
  static std::vector<uint8_t> SmallRecord(TmvDataDictionary& aDD, int32_t aID) {
    TmvFieldsDescriptor* fields = aDD.GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()), 0);
    fields->InitRecord(record.data());
    fields->SetRecordField(0, record.data(), &aID);
    return record;
  }
  static int32_t IDOf(const uint8_t* aRecord) {
    int32_t id;
    std::memcpy(&id, aRecord, 4);
    return id;
  }
  static TmvRefNr RefOf(const uint8_t* aRecord) { return TmvRefNr(mvGetU64(aRecord, 4)); }
};

// No record number below 1 names a record, in either direction, with or
// without a filter: 8706 and no reference, whatever the engine.
inline void ExpectNoRecordBelowNumberOne(TmvBaseRecordEngine& aEngine, TmvBaseTransaction* aTrans,
                                         TmvBaseFilterEngine* aFilter = nullptr) {
  for (int32_t recNo : {0, -1, INT32_MIN})
    for (bool flip : {false, true}) {
      TmvRefNr ref = 1;
      EXPECT_EQ(aEngine.RecNoSet(aTrans, recNo, ref, aFilter, flip), MVERR_EOF) << recNo << (flip ? " backward" : "");
      EXPECT_EQ(ref, 0u) << recNo;
    }
}

inline TmvRefNr Ref(uint32_t aBlock, uint32_t aSlot) { return TmvRefNr(uint64_t(aBlock) << 32 | aSlot); }

}  // namespace storage_test
