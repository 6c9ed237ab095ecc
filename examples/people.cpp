// The engine as a library: a table with a unique and a non-unique index,
// one insert, a lookup by key, an update and a delete. Exits 0 when all went
// well. Uses only the engine's public header.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "server/marlisse.h"

#define CHECK(call)                                                                                 \
  if (uint32_t code = (call)) {                                                                     \
    std::printf("%s failed: %u %s\n", #call, code, UTF8Encode(mvErrorText(code)).c_str());          \
    return 1;                                                                                       \
  }

int run(const String& aFolder) {
  TmvEmbeddedEngine engine;
  TmvAbstractSession* session;
  TmvAbstractDatabase* db;
  CHECK(engine.OpenDatabase(aFolder, session, db));
  TmvDataDictionary dictionary;
  dictionary.GetFieldsDescriptor()->AddField(u"ID", u"", mvtAutoInc, 0, 0, true);
  dictionary.GetFieldsDescriptor()->AddField(u"NAME", u"", mvtShortString, 40, 0, false);
  dictionary.GetFieldsDescriptor()->AddField(u"CITY", u"", mvtShortString, 40, 0, false);
  dictionary.AddAutoIncDescriptor();
  mvAddIndex(&dictionary, u"ByName", u"NAME", true);
  mvAddIndex(&dictionary, u"ByCity", u"CITY", false);
  CHECK(mvBuildTable(db, u"People", &dictionary));

  TmvAbstractCursor* people;
  CHECK(db->CursorOpen(people, u"People", u"", omReadWrite, smShared, 0, u"ByName", -1, false, 0, 0, nullptr));
  std::vector<uint8_t> record(people->RecordLength());
  people->RecordBufferClear(record.data());
  people->SetFieldAsVariantSelf(record.data(), 1, Variant(String(u"Ada")));
  people->SetFieldAsVariantSelf(record.data(), 2, Variant(String(u"London")));
  int64_t id;
  CHECK(people->RecordInsert(mvltNoLock, record.data(), &id));

  // Find Ada by her name, move her to Paris, then delete her.
  CHECK(people->RecordGetForKey(1, 0, false, record.data(), record.data(), true, true));
  people->SetFieldAsVariantSelf(record.data(), 2, Variant(String(u"Paris")));
  CHECK(people->RecordModify(record.data(), true, nullptr));
  std::printf("%s (%d) lives in %s\n", UTF8Encode(people->GetFieldAsVariantSelf(record.data(), 1).AsString()).c_str(),
              int(id), UTF8Encode(people->GetFieldAsVariantSelf(record.data(), 2).AsString()).c_str());
  CHECK(people->RecordDelete(nullptr, 0));

  TmvAbstractServerObject::Free(people);
  TmvAbstractServerObject::Free(db);
  TmvAbstractServerObject::Free(session);
  return 0;
}

int main() {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "marlisse-example";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const int result = run(UTF8ToString(folder.string()));
  std::filesystem::remove_all(folder);
  return result;
}
