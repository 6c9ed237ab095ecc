// Test support: a cursor for the field mapper engine tests, standing behind
// the cursor calls of field conversion until the server's cursors exist. It
// has what those calls reach: a table (a data dictionary), an
// auto-increment counter (every value set is kept), whether it is a server
// table cursor, the dictionary's cursor interface for default values, a
// full name, and BLOBs kept in memory. A test can make BLOB writes (and
// deletions) fail the way a failing file layer makes the table's fail
// (9218, the write error), and count the calls.
#pragma once

#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

#include "convert/mvsdFieldMapperCursor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdDictionaryCursor.h"
#include "foundation/errors/mvllErrors.h"
#include "platform/Classes.h"

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
    calls.FullName = [](TmvAbstractCursor* c) { return Of(c)->FullName; };
    calls.BlobGetLength = [](TmvServerBaseCursor* c, int32_t, TmvBlobNr b, uint32_t& l) -> uint32_t {
      auto found = Of(c)->Blobs.find(b);
      if (found == Of(c)->Blobs.end()) return kNoBlob;
      l = uint32_t(found->second.size());
      return 0;
    };
    calls.BlobRead = [](TmvServerBaseCursor* c, int32_t, TmvBlobNr b, uint32_t o, uint32_t l, TStream* s) -> uint32_t {
      auto found = Of(c)->Blobs.find(b);
      if (found == Of(c)->Blobs.end()) return kNoBlob;
      const std::vector<uint8_t>& blob = found->second;
      const size_t from = std::min<size_t>(o, blob.size()), n = std::min<size_t>(l, blob.size() - from);
      if (n) s->WriteBuffer(blob.data() + from, int64_t(n));
      return 0;
    };
    calls.BlobCreate = [](TmvServerBaseCursor* c, int32_t, TmvBlobNr& b) -> uint32_t {
      b = Of(c)->NextBlobNr++;
      Of(c)->Blobs[b];
      return 0;
    };
    calls.BlobWrite = [](TmvServerBaseCursor* c, int32_t, TmvBlobNr b, uint32_t o, uint32_t l,
                         const void* d) -> uint32_t {
      TTestCursor* cursor = Of(c);
      ++cursor->BlobWrites;
      if (cursor->FailBlobWrites) return MVERR_WRITEERR;
      auto found = cursor->Blobs.find(b);
      if (found == cursor->Blobs.end()) return kNoBlob;
      if (found->second.size() < size_t(o) + l) found->second.resize(size_t(o) + l);
      std::copy_n(static_cast<const uint8_t*>(d), l, found->second.begin() + o);
      return 0;
    };
    calls.BlobDelete = [](TmvServerBaseCursor* c, int32_t, TmvBlobNr b) -> uint32_t {
      ++Of(c)->BlobDeletes;
      if (Of(c)->FailBlobDeletes) return MVERR_WRITEERR;
      return Of(c)->Blobs.erase(b) ? 0 : kNoBlob;
    };
    calls.BlobCopyPrim = [](TmvServerBaseCursor* c, TmvServerBaseCursor* s, int32_t, TmvBlobNr b, int32_t,
                            TmvBlobNr& d, uint32_t m) -> uint32_t {
      auto found = Of(s)->Blobs.find(b);
      if (found == Of(s)->Blobs.end()) return kNoBlob;
      std::vector<uint8_t> copy(found->second.begin(),
                                found->second.begin() + long(std::min<size_t>(m, found->second.size())));
      d = Of(c)->NextBlobNr++;
      Of(c)->Blobs[d] = std::move(copy);
      return 0;
    };
    mvSetMapperCursorCalls(calls);
  }

  // A BLOB of the table holding aBytes; its number.
  TmvBlobNr AddBlob(std::vector<uint8_t> aBytes) {
    const TmvBlobNr b = NextBlobNr++;
    Blobs[b] = std::move(aBytes);
    return b;
  }
  TmvBlobNr AddBlob(std::string_view aText) { return AddBlob(std::vector<uint8_t>(aText.begin(), aText.end())); }
  // Back to the server cursors' calls that start-up installs.
  static void Uninstall() { mvSetMapperCursorCalls(mvServerMapperCursorCalls()); }

  // ImvDictionaryCursor
  String GetSessionUserName() override { return u"Tester"; }
  bool GetNextLSN(TmvLSN&) override { return false; }
  uint32_t ReadBlob(int32_t, TmvBlobNr, std::vector<uint8_t>&) override { return 12289; }

  TmvDataDictionary Dictionary;
  uint32_t AutoInc = 0;
  std::vector<uint32_t> AutoIncSets;
  bool Server = true;
  String FullName = u"TestTable";
  // The table's BLOBs by number; numbers are never reused.
  std::map<TmvBlobNr, std::vector<uint8_t>> Blobs;
  TmvBlobNr NextBlobNr = 1;
  bool FailBlobWrites = false, FailBlobDeletes = false;
  int BlobWrites = 0, BlobDeletes = 0;
  // The answer for a BLOB number the table does not have.
  static constexpr uint32_t kNoBlob = MVERR_INVALIDBLOBHANDLE;
};

}  // namespace mvtest
