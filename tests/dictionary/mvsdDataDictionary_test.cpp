// Tests of the data dictionary and its stream: a new dictionary and its
// golden bytes, the written version per peer, what an old peer loses, the
// old layout both ways, the normalisation for building, copies, the
// read-only tree, the question bank, and damaged and cut streams.
#include "dictionary/mvsdDataDictionary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdQuestionBank.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"
#include "platform/Guid.h"

using namespace mvtest;

namespace {

class DataDictionary : public DictionaryTest {};

// Sets the process-wide "Disable30900LocaleFixes" switch for one scope.
struct LocaleFixesDisabled {
  LocaleFixesDisabled() { mvDisable30900LocaleFixes = true; }
  ~LocaleFixesDisabled() { mvDisable30900LocaleFixes = false; }
};

std::vector<uint8_t> StreamOf(TmvDataDictionary& aDD, int32_t aClientVersion = mvEngineVersion) {
  TmvMemoryStream stream;
  aDD.WriteToStream(stream, aClientVersion);
  const auto* p = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(p, p + stream.GetSize());
}

void ReadInto(TmvDataDictionary& aDD, const std::vector<uint8_t>& aBytes, const String& aBaseName = u"T") {
  TmvMemoryStream stream;
  stream.Write(aBytes.data(), int32_t(aBytes.size()));
  stream.SetPosition(0);
  aDD.ReadFromStream(stream, aBaseName);
  EXPECT_EQ(stream.GetPosition(), int64_t(aBytes.size()));
}

std::unique_ptr<TmvDataDictionary> ReadBack(const std::vector<uint8_t>& aBytes, const String& aBaseName = u"T") {
  auto dd = std::make_unique<TmvDataDictionary>();
  ReadInto(*dd, aBytes, aBaseName);
  return dd;
}

bool Contains(const std::vector<uint8_t>& aBytes, const std::string& aText) {
  return std::search(aBytes.begin(), aBytes.end(), aText.begin(), aText.end()) != aBytes.end();
}

// The written version: the value after the opening marker (07 07 "MorvaDB" 02 V).
int32_t WrittenVersion(const std::vector<uint8_t>& aBytes) { return aBytes.at(10); }

// A table of two fields (ID Int32 required, NAME WideString(10)) whose one
// index ByName is on NAME.
std::unique_ptr<TmvDataDictionary> TwoFieldTable() {
  auto dd = std::make_unique<TmvDataDictionary>();
  TmvFieldsDescriptor& fields = *dd->GetFieldsDescriptor();
  fields.AddField(u"ID", u"", mvtInt32, 0, 0, true);
  fields.AddField(u"NAME", u"", mvtWideString, 10, 0, false);
  TmvMainIndicesDescriptor& indices = *dd->GetIndicesDescriptor();
  indices.RemoveIndex(0);
  static_cast<TmvCompKeyDescriptor*>(indices.AddIndex(u"ByName", 0, idNone, u"")->GetKeyDescriptor())->Add(1);
  return dd;
}

bool IsDefaultDictionary(TmvDataDictionary& aDD) {
  static TmvDataDictionary* const fresh = new TmvDataDictionary();  // compared only; kept for the run
  return aDD.IsEqual(fresh) && aDD.GetVersion() == 3 && aDD.GetBaseName().empty() && !aDD.GetMissingInformation() &&
         aDD.GetInternalIndicesDescriptor() == nullptr && aDD.GetHeaderSignature() == mvHeaderSignatureV2;
}

// ---------------------------------------------------------------------------
// A new dictionary

// A new dictionary has no field yet, which its check refuses: it is read
// back through the reader, which checks nothing.
TEST_F(DataDictionary, NewDictionaryReadsBackEqual) {
  TmvDataDictionary dd;
  EXPECT_EQ(dd.GetID(), 0);
  EXPECT_EQ(dd.GetCurrentID(), 10);
  EXPECT_NE(dd.GetGuid(), GUID_NULL);
  EXPECT_EQ(RaisedCode([&] { ReadBack(StreamOf(dd)); }), 10003u);
  auto back = std::make_unique<TmvDataDictionary>();
  back->SetBaseName(u"Questions");
  ReadAll(StreamOf(dd), [&](TmvReader& r) { back->ReadFromReader(r); });
  EXPECT_TRUE(back->IsEqual(&dd));
  EXPECT_TRUE(dd.IsEqual(back.get()));
  EXPECT_EQ(back->GetGuid(), dd.GetGuid());
  EXPECT_EQ(back->GetVersion(), 3);
  EXPECT_EQ(back->GetHeaderSignature(), mvHeaderSignatureV2);
  EXPECT_EQ(back->GetBaseName(), u"Questions");
  EXPECT_EQ(back->btdFullName(), u"Questions");
  EXPECT_EQ(back->GetCurrentID(), 10);
  ASSERT_EQ(back->GetFilesDescriptor()->FileCount(), 1);
  EXPECT_EQ(back->GetFilesDescriptor()->FileDescriptor(0)->GetDesc(), u"Data/DataDict File");
  EXPECT_EQ(back->GetFilesDescriptor()->FileDescriptor(0)->GetBlockSizeBytes(), 4096);
  EXPECT_EQ(back->GetFilesDescriptor()->FileDescriptor(0)->UsableBlockSize(), 4096);  // the whole block
  EXPECT_EQ(back->GetFileFromExt(u""), 0);
  ASSERT_EQ(back->GetIndicesDescriptor()->IndexCount(), 1);
  TmvIndexDescriptor* sai = back->GetIndicesDescriptor()->IndexDescriptor(0);
  EXPECT_EQ(sai->GetName(), u"Sequential Access Index");
  EXPECT_EQ(sai->GetID(), 9);
  EXPECT_EQ(&sai->GetKeyDescriptor()->ClassType(), &TmvRefKeyDescriptor::StaticClass);
  EXPECT_EQ(back->BookmarkSize(0), 32);
  EXPECT_NE(back->GetGuid(), TmvDataDictionary().GetGuid());
}

// The stream of a dictionary made new, composed from the stream rules: the
// frame, the stream and files descriptors, the root table's body with the
// GUID and caching state in its item header, and the item IDs a new
// dictionary hands out (fields 1, custom descriptors 2, tables 3, files 4,
// stream 5, record 6, file 0 7, indices 8). aFields and aIndices are the
// bodies of its fields and main indices descriptors.
// aLines replace the lines of the root table's item header.
std::vector<uint8_t> GoldenDictionary(const TGUID& aGuid, const Bytes& aFields, const Bytes& aIndices,
                                      int8_t aCurrentID, std::vector<std::string> aLines = {}) {
  if (aLines.empty()) aLines = {"$GUID=" + Utf8(GUIDToString(aGuid)), "$CachingState=tcsNone"};
  Bytes g;
  g.ident("MorvaDB").integer(3).raw({'M', 'V', '!', '2'}).empty();
  g.ident("StreamDescriptor").boolean(true).str("TmvBaseStreamDescriptor").header(5).integer(1).engine();
  g.ident("FilesDescriptor").boolean(true).str("TmvFilesDescriptor").header(4).integer(1).integer(1);
  g.str("TmvFileDescriptor").empty().header(7).integer(1).str("Data/DataDict File").int16(4096).integer(4).integer(1);
  g.header(0, aLines).integer(1);
  g.ident("LocaleDescriptor").integer(1).boolean(false);
  g.ident("RecordDescriptor").boolean(true).str("TmvBaseRecordDescriptor").header(6).integer(2).engine().integer(0);
  g.ident("BlobDescriptor").boolean(false);
  g.ident("FieldsDescriptor").boolean(true).str("TmvFieldsDescriptor").header(1);
  g.b.insert(g.b.end(), aFields.b.begin(), aFields.b.end());
  g.ident("IndicesDescriptor").boolean(true).str("TmvMainIndicesDescriptor").header(8).integer(1).engine();
  g.b.insert(g.b.end(), aIndices.b.begin(), aIndices.b.end());
  g.integer(1).integer(0);  // main indices version 1, default index 0
  g.ident("AutoIncDescriptor").boolean(false);
  g.ident("CustomDescsDescriptor").boolean(true).str("TmvCustomDescsDescriptor").header(2).integer(1).integer(0);
  g.ident("TablesDescriptor").boolean(true).str("TmvTablesDescriptor").header(3).integer(1).integer(0);
  g.ident("CurrentID").integer(aCurrentID);
  g.ident("MorvaDB");
  return g.b;
}

// No fields; the index "Sequential Access Index" (ID 9) with its record
// reference key (ID 10).
TEST_F(DataDictionary, GoldenBytesOfANewDictionary) {
  TmvDataDictionary dd;
  Bytes fields, indices;
  fields.integer(2).integer(0).integer(0).integer(0).boolean(false);
  indices.integer(1).str("TmvIndexDescriptor").str("TmvRefKeyDescriptor").str("Sequential Access Index").integer(0);
  indices.header(9).integer(1).engine().str("Sequential Access Index").boolean(false);
  indices.header(10).ident("BKD").integer(1).boolean(false).integer(1);
  const auto golden = GoldenDictionary(dd.GetGuid(), fields, indices, 10);
  EXPECT_EQ(StreamOf(dd), golden);
  EXPECT_EQ(StreamOf(dd), golden);  // writing stored its values once; a second write is the same
}

// The two fields and one index of TwoFieldTable, as its stream holds them.
std::pair<Bytes, Bytes> TwoFieldBodies() {
  Bytes fields, indices;
  fields.integer(2).integer(2);
  // ID: constructor part, then offset 0, length 4, no default, visible, no
  // locale, no validations.
  fields.str("TmvFieldDescriptor").str("ID").empty().str("mvtInt32").integer(10).integer(0).boolean(true);
  fields.header(11).integer(3).integer(0).integer(4).boolean(false).boolean(false).integer(1).boolean(false);
  fields.boolean(false);
  // NAME: (10 + 1) * 2 bytes at offset 4.
  fields.str("TmvFieldDescriptor").str("NAME").empty().str("mvtWideString").integer(10).integer(0).boolean(false);
  fields.header(12).integer(3).integer(4).integer(22).boolean(false).boolean(false).integer(1).boolean(false);
  fields.boolean(false);
  fields.integer(26).integer(28).boolean(false);
  indices.integer(1).str("TmvIndexDescriptor").str("TmvCompKeyDescriptor").str("ByName").integer(0);
  indices.header(13).integer(1).engine().empty().boolean(false);
  indices.header(14).ident("BKD").integer(1).boolean(false).integer(1).integer(1);
  indices.str("TmvKeyFieldDescriptor").integer(1);
  indices.header(15).integer(2).empty().empty().boolean(true).integer(1).boolean(false).integer(0).integer(0);
  indices.str("nbTop");
  return {fields, indices};
}

// The fields ID (11) and NAME (12); the index ByName (13) in place of the
// sequential access index, with its composite key (14) on NAME (15).
TEST_F(DataDictionary, GoldenBytesOfATwoFieldTableWithOneIndex) {
  auto dd = TwoFieldTable();
  const auto [fields, indices] = TwoFieldBodies();
  const auto golden = GoldenDictionary(dd->GetGuid(), fields, indices, 15);
  EXPECT_EQ(StreamOf(*dd), golden);
  auto back = ReadBack(golden);
  EXPECT_TRUE(back->IsEqual(dd.get()));
  EXPECT_EQ(back->GetFieldsDescriptor()->FieldDescriptor(1)->GetID(), 12);
  EXPECT_EQ(back->KeyLen(0), 23);  // 22 bytes of NAME and one byte of null flags
}

// The GUIDs, the cache's item counter and the stripped mark are taken back
// from the root table's item header; a damaged GUID is a damaged stream.
TEST_F(DataDictionary, ValuesKeptInCustomStrings) {
  const auto [fields, indices] = TwoFieldBodies();
  const std::string guid = "{0123ABCD-4567-89EF-0123-456789ABCDEF}",
                    cacheGuid = "{FEDCBA98-7654-3210-FEDC-BA9876543210}";
  auto dd = ReadBack(GoldenDictionary(GUID_NULL, fields, indices, 15,
                                      {"Owner=me", "$GUID=" + guid, "$CacheGUID=" + cacheGuid, "$CacheCurrentID=7",
                                       "$MissingInformation=", "$CachingState=tcsNone"}));
  EXPECT_EQ(Utf8(GUIDToString(dd->GetGuid())), guid);
  EXPECT_EQ(Utf8(GUIDToString(dd->GetCacheGuid())), cacheGuid);
  EXPECT_EQ(dd->GetCacheCurrentID(), 7);
  EXPECT_TRUE(dd->GetMissingInformation());  // present, whatever its value
  EXPECT_EQ(dd->GetCustomStrings().Values(u"Owner"), u"me");
  const auto again = StreamOf(*dd);
  EXPECT_TRUE(Contains(again, "$CacheCurrentID=7"));
  EXPECT_TRUE(Contains(again, "$MissingInformation=True"));

  dd = ReadBack(GoldenDictionary(GUID_NULL, fields, indices, 15, {"$CacheCurrentID=seven"}));
  EXPECT_EQ(dd->GetCacheCurrentID(), 0);
  EXPECT_EQ(dd->GetCacheGuid(), GUID_NULL);
  EXPECT_FALSE(dd->GetMissingInformation());
  EXPECT_FALSE(Contains(StreamOf(*dd), "$Cache"));  // nothing to keep: the entries go
  EXPECT_EQ(RaisedCode([&] { ReadBack(GoldenDictionary(GUID_NULL, fields, indices, 15, {"$GUID={not a guid}"})); }),
            15498u);
}

// ---------------------------------------------------------------------------
// Versions per peer

TEST_F(DataDictionary, WrittenVersionFollowsThePeer) {
  TmvDataDictionary dd;
  dd.GetFieldsDescriptor()->AddField(u"Ref", u"", mvtRefNr, 0, 0, false);
  dd.CheckValid(true);
  ASSERT_EQ(dd.GetVersion(), 5);
  const struct {
    int32_t client, version;
  } cases[] = {{19999, 2}, {20000, 3}, {30899, 3}, {30900, 4}, {47004, 4}, {47005, 5}, {mvEngineVersion, 5}};
  for (const auto& c : cases) EXPECT_EQ(WrittenVersion(StreamOf(dd, c.client)), c.version) << c.client;
}

TEST_F(DataDictionary, ByteOrderFlagFromVersionFour) {
  TmvDataDictionary dd;
  dd.GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
  dd.CheckValid(true);
  ASSERT_EQ(dd.GetVersion(), 4);
  ASSERT_TRUE(dd.GetUseByteOrderForWideString());
  const auto v4 = StreamOf(dd);
  EXPECT_EQ(v4.at(20), 0x09);  // after the marker, version, signature and encryption engine
  auto back = ReadBack(v4);
  EXPECT_EQ(back->GetVersion(), 4);
  EXPECT_TRUE(back->GetUseByteOrderForWideString());

  const auto v3 = StreamOf(dd, 30899);
  EXPECT_EQ(v3.at(20), 0x07);  // no flag: the "StreamDescriptor" identifier follows
  back = ReadBack(v3);
  EXPECT_EQ(back->GetVersion(), 3);
  EXPECT_FALSE(back->GetUseByteOrderForWideString());
  EXPECT_TRUE(back->IsEqual(&dd));
}

TEST_F(DataDictionary, RefNrFieldForAnOldPeerIsMarkedMissingInformation) {
  TmvDataDictionary dd;
  dd.GetFieldsDescriptor()->AddField(u"Ref", u"", mvtRefNr, 0, 0, false);
  dd.CheckValid(true);
  const auto bytes = StreamOf(dd, 47004);
  EXPECT_TRUE(Contains(bytes, "mvtInt64"));
  EXPECT_FALSE(Contains(bytes, "mvtRefNr"));
  EXPECT_TRUE(Contains(bytes, "$MissingInformation=True"));
  EXPECT_FALSE(dd.GetMissingInformation());  // the source is whole

  auto back = ReadBack(bytes);  // CheckValid (false) passes on the way
  EXPECT_TRUE(back->GetMissingInformation());
  EXPECT_EQ(back->GetFieldsDescriptor()->FieldDescriptor(0)->FieldType(), mvtInt64);
  String message;
  EXPECT_EQ(RaisedCode([&] { back->CheckValid(true); }, &message), 15499u);
  EXPECT_EQ(message,
            u"This DataDictionary is missing information which was stripped to make it compatible with an older "
            u"client version and can't be used to restructure or create a table.");
  EXPECT_EQ(RaisedCode([&] { back->CheckValid(false); }), 0u);
  // Written again, the mark stays, once.
  const auto again = StreamOf(*back);
  const std::string line = "$MissingInformation=True";
  EXPECT_EQ(std::search(std::search(again.begin(), again.end(), line.begin(), line.end()) + 1, again.end(),
                        line.begin(), line.end()),
            again.end());
  // Read again from a whole stream, it is whole.
  ReadInto(*back, StreamOf(dd));
  EXPECT_FALSE(back->GetMissingInformation());
  EXPECT_EQ(RaisedCode([&] { back->CheckValid(true); }), 0u);
}

TEST_F(DataDictionary, InternalIndexesFromPeer47005On) {
  TmvDataDictionary dd;
  dd.GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
  dd.AddInternalIndicesDescriptor()->AddIndex(u"$GraveyardLSN", 0, idNone, u"", &TmvInt64KeyDescriptor::StaticClass);
  auto back = ReadBack(StreamOf(dd, 47005));
  ASSERT_NE(back->GetInternalIndicesDescriptor(), nullptr);
  EXPECT_EQ(back->GetInternalIndicesDescriptor()->GetIndexFromName(u"$graveyardlsn"), 0);
  EXPECT_FALSE(back->GetMissingInformation());
  EXPECT_TRUE(back->IsEqual(&dd));

  const auto old = StreamOf(dd, 47004);
  EXPECT_FALSE(Contains(old, "InternalIndicesDescriptor"));
  back = ReadBack(old);
  EXPECT_EQ(back->GetInternalIndicesDescriptor(), nullptr);
  EXPECT_TRUE(back->GetMissingInformation());

  // Reading replaces the whole schema: internal indexes the stream does not
  // hold do not survive from what the dictionary held before.
  TmvDataDictionary plain;
  plain.GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
  dd.Assign(&plain);
  EXPECT_EQ(dd.GetInternalIndicesDescriptor(), nullptr);
  EXPECT_TRUE(dd.IsEqual(&plain));
}

// ---------------------------------------------------------------------------
// The old layout

// A version-1 or version-2 stream in the old layout with fields A Int32 and
// B (type aTypeB, 2 bytes) in file 0 and the files of aKinds after it.
std::vector<uint8_t> LegacyStream(int8_t aVersion, const std::string& aTypeB = "mvtInt16",
                                  std::initializer_list<int8_t> aKinds = {0}) {
  Bytes s;
  s.ident("MorvaDB").integer(aVersion).raw({'M', 'V', '!', '1'}).empty();
  s.engine().engine().engine();
  s.ident("RecordDescriptor").boolean(false).ident("BlobDescriptor").boolean(false);
  s.ident("FileDescriptor").integer(int8_t(aKinds.size()));
  int8_t file = 0;
  for (int8_t kind : aKinds) {
    s.str("TmvFileDescriptor");
    file == 0 ? s.empty() : s.str("x" + std::to_string(file));
    s.integer(kind).oldHeader().integer(1).empty().int16(4096).integer(4).integer(1);
    ++file;
  }
  const int8_t lengthB = aTypeB == "mvtRefNr" ? 8 : 2;
  s.ident("FieldDescriptor").integer(2);
  s.str("TmvFieldDescriptor").str("A").empty().str("mvtInt32").integer(10).integer(0).boolean(false);
  s.oldHeader().integer(1).integer(0).integer(4).boolean(false).boolean(false);
  s.str("TmvFieldDescriptor").str("B").empty().str(aTypeB).integer(aTypeB == "mvtRefNr" ? 20 : 5).integer(0);
  s.boolean(false).oldHeader().integer(1).integer(4).integer(lengthB).boolean(false).boolean(false);
  s.ident("IndexDescriptor").integer(0).integer(-1);
  s.integer(int8_t(4 + lengthB));
  if (aVersion >= 2) s.integer(int8_t((4 + lengthB + 3) / 4 * 4));
  s.ident("CustomDescriptor").integer(0);
  s.ident("MorvaDB");
  return s.b;
}

TEST_F(DataDictionary, VersionOneStreamHasOneRecordLength) {
  auto dd = ReadBack(LegacyStream(1));
  EXPECT_EQ(dd->GetVersion(), 1);
  EXPECT_EQ(dd->GetHeaderSignature(), mvHeaderSignatureV1);
  EXPECT_EQ(dd->GetFieldsDescriptor()->LogRecLen(), 6);
  EXPECT_EQ(dd->GetFieldsDescriptor()->LogicalRecordLength(), 6);
  EXPECT_EQ(dd->GetFieldsDescriptor()->RecordLength(), 12);
  EXPECT_TRUE(dd->RequiresPack());
  EXPECT_EQ(dd->GetIndicesDescriptor(), nullptr);  // no index: no main indices
  ASSERT_NE(dd->GetAutoIncDescriptor(), nullptr);  // the old layout always names the three engines
  ASSERT_NE(dd->GetBlobDescriptor(), nullptr);
  EXPECT_EQ(&dd->GetBlobDescriptor()->ClassType(), &TmvHeapBlobDescriptor::StaticClass);
  EXPECT_FALSE(dd->GetUseByteOrderForWideString());

  auto two = ReadBack(StreamOf(*TwoFieldTable()));
  const TGUID earlier = two->GetGuid();
  ReadInto(*two, LegacyStream(2));
  EXPECT_EQ(two->GetFieldsDescriptor()->LogicalRecordLength(), 8);
  EXPECT_FALSE(two->RequiresPack());
  // The old layout has no item header: nothing of the earlier content's
  // header ("$GUID") is taken back.
  EXPECT_FALSE(two->IsCustomStringsStored());
  EXPECT_NE(two->GetGuid(), earlier);
}

TEST_F(DataDictionary, BuildNormalisationOfOldDictionaries) {
  const struct {
    const char* typeB;
    bool localeFixesDisabled;
    int32_t version;
    bool byteOrder;
  } cases[] = {{"mvtInt16", false, 4, true},
               {"mvtInt16", true, 3, false},
               {"mvtRefNr", false, 5, true},
               {"mvtRefNr", true, 5, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.typeB) + (c.localeFixesDisabled ? " without locale fixes" : ""));
    auto dd = ReadBack(LegacyStream(1, c.typeB));
    std::optional<LocaleFixesDisabled> disabled;
    if (c.localeFixesDisabled) disabled.emplace();
    dd->CheckValid(true);
    EXPECT_EQ(dd->GetVersion(), c.version);
    EXPECT_EQ(dd->GetUseByteOrderForWideString(), c.byteOrder);
    EXPECT_EQ(dd->GetHeaderSignature(), mvHeaderSignatureV2);
    EXPECT_EQ(dd->GetFieldsDescriptor()->LogicalRecordLength(), c.typeB == std::string("mvtRefNr") ? 12 : 8);
    EXPECT_FALSE(dd->RequiresPack());
  }
  // A version-5 dictionary without RefNr fields or caching goes back to 4,
  // under the switch to 3; caching support keeps 5.
  TmvDataDictionary dd;
  dd.GetFieldsDescriptor()->AddField(u"Ref", u"", mvtRefNr, 0, 0, false);
  dd.CheckValid(true);
  dd.GetFieldsDescriptor()->RemoveField(0);
  dd.GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
  {
    LocaleFixesDisabled disabled;
    TmvDataDictionary copy;
    copy.Assign(&dd);
    ASSERT_EQ(copy.GetVersion(), 5);
    copy.CheckValid(true);
    EXPECT_EQ(copy.GetVersion(), 3);
    EXPECT_FALSE(copy.GetUseByteOrderForWideString());
  }
  dd.GetTablesDescriptor()->AddTable(u"Cache")->SetCachingState(tcsCacheable);
  dd.GetTablesDescriptor()->TableDescriptor(0)->AddRecordDescriptor();
  dd.GetTablesDescriptor()->TableDescriptor(0)->GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
  dd.CheckValid(true);
  EXPECT_EQ(dd.GetVersion(), 5);
  dd.GetTablesDescriptor()->RemoveTable(0);
  dd.CheckValid(true);
  EXPECT_EQ(dd.GetVersion(), 4);
}

TEST_F(DataDictionary, OldLayoutBothWays) {
  TmvDataDictionary dd;
  dd.GetFilesDescriptor()->AddFile(u"blb", mvbs8k, u"BLOBs");
  TmvFieldsDescriptor& fields = *dd.GetFieldsDescriptor();
  fields.AddField(u"ID", u"", mvtInt32, 0, 0, true);
  fields.AddField(u"Memo", u"", mvtBlobMemo, 0, 0, false);
  fields.AddField(u"Ref", u"", mvtRefNr, 0, 0, false);
  dd.AddAutoIncDescriptor()->SetAutoIncEngine(u"Counter");
  dd.CheckValid(true);  // adds the BLOB descriptor and its heap
  dd.GetBlobDescriptor()->SetFileNumber(1);
  dd.GetCustomDescsDescriptor()->AddCustom(u"Audit");

  const auto bytes = StreamOf(dd, 19999);
  EXPECT_EQ(WrittenVersion(bytes), 2);
  EXPECT_TRUE(Contains(bytes, "mvtInt64"));
  auto back = ReadBack(bytes);
  EXPECT_EQ(back->GetVersion(), 2);
  EXPECT_EQ(back->GetBlobDescriptor()->GetFileNumber(), 1);  // the file of kind 2
  EXPECT_EQ(back->GetAutoIncDescriptor()->GetAutoIncEngine(), u"Counter");
  EXPECT_EQ(back->GetFieldsDescriptor()->FieldDescriptor(2)->FieldType(), mvtInt64);
  EXPECT_EQ(back->GetCustomDescsDescriptor()->GetCustomDescriptorFromName(u"audit"), 0);
  back->GetFieldsDescriptor()->RemoveField(2);
  fields.RemoveField(2);
  EXPECT_TRUE(back->IsEqual(&dd));

  // A version-2 dictionary keeps the old layout for every peer.
  const auto again = StreamOf(*back);
  EXPECT_EQ(WrittenVersion(again), 2);
  EXPECT_TRUE(ReadBack(again)->IsEqual(back.get()));
}

TEST_F(DataDictionary, OldLayoutRefusals) {
  String message;
  for (TmvFieldType type : {mvtGuid, mvtBCD, mvtFmtBCD}) {
    TmvDataDictionary dd;
    dd.GetFieldsDescriptor()->AddField(u"F", u"", type, 0, 0, false);
    EXPECT_EQ(RaisedCode([&] { StreamOf(dd, 19999); }, &message), 15498u);
    EXPECT_EQ(message, u"Higher dictionary version required");
    EXPECT_EQ(RaisedCode([&] { StreamOf(dd, 20000); }), 0u);
  }
  TmvDataDictionary localized;
  localized.AddLocaleDescriptor()->SetLocale(0x409);
  EXPECT_EQ(RaisedCode([&] { StreamOf(localized, 19999); }, &message), 15498u);
  EXPECT_EQ(message, u"Higher dictionary version required");

  // Reading: kind 0 is only for file 0; one BLOB file.
  TmvDataDictionary dd;
  EXPECT_EQ(RaisedCode([&] { ReadInto(dd, LegacyStream(2, "mvtInt16", {0, 0})); }), 15498u);
  EXPECT_EQ(RaisedCode([&] { ReadInto(dd, LegacyStream(2, "mvtInt16", {0, 3})); }), 15498u);  // no such kind
  EXPECT_EQ(RaisedCode([&] { ReadInto(dd, LegacyStream(2, "mvtInt16", {0, 2, 2}), u"T"); }, &message), 10004u);
  EXPECT_EQ(message, u"A BLOB file has already been defined");
  EXPECT_TRUE(IsDefaultDictionary(dd));
  ReadInto(dd, LegacyStream(2, "mvtInt16", {0, 1, 2}));
  EXPECT_EQ(dd.GetBlobDescriptor()->GetFileNumber(), 2);
}

// ---------------------------------------------------------------------------
// Copies

TEST_F(DataDictionary, DuplicateAndAssign) {
  auto dd = TwoFieldTable();
  dd->SetBaseName(u"People");
  dd->SetEncryptionEngine(u"Blowfish");
  std::unique_ptr<TmvDataDictionary> copy(dd->Duplicate());
  EXPECT_TRUE(copy->IsEqual(dd.get()));
  EXPECT_EQ(copy->GetGuid(), dd->GetGuid());
  EXPECT_EQ(copy->GetCurrentID(), dd->GetCurrentID());
  EXPECT_EQ(copy->GetBaseName(), u"People");
  EXPECT_EQ(copy->GetFieldsDescriptor()->FieldDescriptor(1)->GetID(), 12);
  copy->SetEncryptionEngine(u"BLOWFISH");
  EXPECT_TRUE(copy->IsEqual(dd.get()));  // engine names ignore case
  copy->SetEncryptionEngine(u"Other");
  EXPECT_FALSE(copy->IsEqual(dd.get()));

  copy->Assign(copy.get());  // onto itself
  EXPECT_EQ(copy->GetEncryptionEngine(), u"Other");
  EXPECT_EQ(copy->GetBaseName(), u"People");

  TmvFieldsDescriptor other(nullptr);
  EXPECT_THROW(copy->Assign(&other), Exception);
  EXPECT_EQ(copy->GetEncryptionEngine(), u"Other");
}

TEST_F(DataDictionary, AssignOnlyFieldsKeepsFieldsAndNestedTables) {
  auto source = NewQuestionBank();
  source->GetFieldsDescriptor()->FieldDescriptor(1)->AddLocaleDescriptor()->SetLocale(0x409);
  TmvDataDictionary dd;
  dd.AssignOnlyFields(source.get());
  EXPECT_EQ(dd.GetIndicesDescriptor(), nullptr);
  ASSERT_EQ(dd.GetFieldsDescriptor()->FieldCount(), int32_t(std::size(kQbdbFields)));
  EXPECT_EQ(dd.GetLocaleDescriptor()->GetLocale(), 0x411u);
  EXPECT_EQ(dd.GetFieldsDescriptor()->FieldDescriptor(1)->GetLocaleDescriptor()->GetLocale(), 0x409u);
  auto* record = dynamic_cast<TmvHeapRecordDescriptor*>(dd.GetRecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->GetRecordEngine(), u"Variable");
  EXPECT_EQ(record->GetRecordCompressionDescriptor()->GetRecordCompressionEngine(), u"Smart");
  TmvBaseTableDescriptor* records = dd.GetChild(u"qbrecord");
  EXPECT_EQ(records->GetFieldsDescriptor()->FieldCount(), int32_t(std::size(kQbrecordFields)));
  EXPECT_EQ(records->GetIndicesDescriptor(), nullptr);
  EXPECT_TRUE(dd.GetFieldsDescriptor()->HasSameFields(source->GetFieldsDescriptor()));
  dd.CheckValid(true);
}

// ---------------------------------------------------------------------------
// The read-only tree

TEST_F(DataDictionary, EverySetterOfAFrozenTreeRaises15500) {
  auto dd = NewQuestionBank();
  TmvDataDictionary other;
  const auto before = StreamOf(*dd);
  dd->MakeReadOnly();
  TmvNestedTableDescriptor* records = dd->GetTablesDescriptor()->TableDescriptor(0);
  TmvFieldDescriptor* field = dd->GetFieldsDescriptor()->FieldDescriptor(1);
  const std::pair<const char*, std::function<void()>> setters[] = {
      {"SetBaseName", [&] { dd->SetBaseName(u"x"); }},
      {"SetEncryptionEngine", [&] { dd->SetEncryptionEngine(u"x"); }},
      {"SetHeaderSignature", [&] { dd->SetHeaderSignature(mvHeaderSignatureV1); }},
      {"SetUseByteOrderForWideString", [&] { dd->SetUseByteOrderForWideString(false); }},
      {"AddStreamDescriptor", [&] { dd->AddStreamDescriptor(); }},
      {"AddRecordDescriptor", [&] { dd->AddRecordDescriptor(); }},
      {"RemoveBlobDescriptor", [&] { dd->RemoveBlobDescriptor(); }},
      {"EnsureInternalIndicesDescriptor", [&] { dd->EnsureInternalIndicesDescriptor(); }},
      {"SetCachingState", [&] { records->SetCachingState(tcsCacheable); }},
      {"AddLocaleDescriptor", [&] { dd->AddLocaleDescriptor(); }},
      {"SetCustomStrings", [&] { dd->SetCustomStrings(nullptr); }},
      {"AddTable", [&] { dd->GetTablesDescriptor()->AddTable(u"x"); }},
      {"RenameTable", [&] { dd->GetTablesDescriptor()->RenameTable(u"gcount", u"x"); }},
      {"RemoveTable", [&] { dd->GetTablesDescriptor()->RemoveTable(0); }},
      {"AddField", [&] { records->GetFieldsDescriptor()->AddField(u"x", u"", mvtInt32, 0, 0, false); }},
      {"SetDesc", [&] { field->SetDesc(u"x"); }},
      {"ChangeName", [&] { field->ChangeName(u"x"); }},
      {"SetConstraintName", [&] { field->SetConstraintName(u"x"); }},
      {"AddIndex", [&] { dd->GetIndicesDescriptor()->AddIndex(u"x", 0, idAll, u""); }},
      {"SetDefaultIndex", [&] { dd->GetIndicesDescriptor()->SetDefaultIndex(1); }},
      {"AddFile", [&] { dd->GetFilesDescriptor()->AddFile(u"x", mvbs4k, u""); }},
      {"SetBlockSize", [&] { dd->GetFilesDescriptor()->FileDescriptor(0)->SetBlockSize(mvbs8k); }},
      {"SetRecordEngine", [&] { dd->GetRecordDescriptor()->SetRecordEngine(u"x"); }},
      {"SetLocale", [&] { dd->GetLocaleDescriptor()->SetLocale(0x409); }},
      {"AddCustom", [&] { dd->GetCustomDescsDescriptor()->AddCustom(u"x"); }},
      {"Clear", [&] { dd->Clear(false); }},
      {"Assign", [&] { dd->Assign(&other); }},
      {"AssignOnlyFields", [&] { dd->AssignOnlyFields(&other); }},
      {"ReadFromReader", [&] { ReadAll(before, [&](TmvReader& r) { dd->ReadFromReader(r); }); }},
  };
  for (const auto& [name, setter] : setters) EXPECT_EQ(RaisedCode(setter), 15500u) << name;
  EXPECT_EQ(StreamOf(*dd), before);
  EXPECT_EQ(RaisedCode([&] { dd->CheckValid(false); }), 0u);
  EXPECT_EQ(dd->GetFieldsDescriptor()->GetFieldFromName(u"keyword"), 6);  // answered from the cache
}

// A frozen dictionary is written by many threads at once, each getting the
// same bytes: writing changes nothing in it.
TEST_F(DataDictionary, FrozenDictionaryWrittenByManyThreads) {
  auto dd = NewQuestionBank();
  dd->MakeReadOnly();
  const auto expected = StreamOf(*dd);
  const auto expectedOld = StreamOf(*dd, 47004);
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i)
        if (StreamOf(*dd, t % 2 ? mvEngineVersion : 47004) != (t % 2 ? expected : expectedOld)) ++mismatches;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// ---------------------------------------------------------------------------
// The question bank

TEST_F(DataDictionary, QuestionBankReadsBackEqual) {
  auto dd = NewQuestionBank();
  EXPECT_EQ(dd->GetVersion(), 4);
  ASSERT_NE(dd->GetBlobDescriptor(), nullptr);  // its memo and figure fields asked for one
  auto back = ReadBack(StreamOf(*dd), u"qbdb");
  EXPECT_TRUE(back->IsEqual(dd.get()));
  EXPECT_EQ(back->GetLocaleDescriptor()->GetLocale(), 0x411u);

  TmvBaseTableDescriptor* records = back->GetChild(u"QBRECORD");
  EXPECT_EQ(records->btdFullName(), u"qbdb:qbrecord");
  EXPECT_EQ(back->GetChild(u".:gcount"), back->GetChild(u"gcount"));
  EXPECT_EQ(RaisedCode([&] { back->GetChild(u"qbdb:gcount"); }), 10024u);  // no table "qbdb" inside qbdb
  EXPECT_EQ(records->GetChild(u"..:gcount")->btdFullName(), u"qbdb:gcount");
  EXPECT_EQ(records->GetFieldFromName(u"ans_time"), 12);
  EXPECT_EQ(records->GetIndexFromName(u"history"), 0);
  EXPECT_EQ(records->GetID(), dd->GetChild(u"qbrecord")->GetID());
  EXPECT_EQ(back->GetChild(u"gcount")->GetFieldsDescriptor()->FieldDescriptor(4)->Name(), u"STUDY_SEC");
  // Each nested table's record engine works in the dictionary's file 0.
  EXPECT_EQ(records->GetRecordDescriptor()->GetFileNumber(), 0);
}

// ---------------------------------------------------------------------------
// Damaged streams

TEST_F(DataDictionary, MissingOrWrongClosingMarker) {
  auto bytes = StreamOf(*TwoFieldTable());
  TmvDataDictionary dd;
  ASSERT_EQ(bytes.back(), 'B');
  bytes.back() = 'X';  // "MorvaDX"
  EXPECT_EQ(RaisedCode([&] { ReadInto(dd, bytes); }), 15498u);
  EXPECT_TRUE(IsDefaultDictionary(dd));
  bytes.erase(bytes.end() - 9, bytes.end());  // no closing marker at all
  EXPECT_EQ(RaisedCode([&] { ReadInto(dd, bytes); }), 15498u);
  EXPECT_TRUE(IsDefaultDictionary(dd));
}

// Cut at every byte, the stream is refused with 15498 and leaves the default
// empty dictionary.
TEST_F(DataDictionary, EveryCutIsRefused) {
  auto source = TwoFieldTable();
  source->GetTablesDescriptor()->AddTable(u"Child")->GetFieldsDescriptor()->AddField(u"A", u"", mvtInt8, 0, 0, false);
  source->AddLocaleDescriptor()->SetLocale(0x409);
  const auto bytes = StreamOf(*source);
  TmvDataDictionary dd;
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + ptrdiff_t(cut));
    TmvMemoryStream stream;
    stream.Write(part.data(), int32_t(part.size()));
    stream.SetPosition(0);
    const uint32_t code = RaisedCode([&] { dd.ReadFromStream(stream, u"T"); });
    if (code != 15498u) ADD_FAILURE() << "cut at " << cut << " gave " << code;
    if (!IsDefaultDictionary(dd)) ADD_FAILURE() << "cut at " << cut << " left a changed dictionary";
  }
}

// Every one-byte change either reads into a sound dictionary (which then
// writes, copies and freezes) or is refused with an engine error; none
// crashes, and no exception of the platform or the standard library leaves
// the call.
TEST_F(DataDictionary, EveryByteChangeIsReadOrRefused) {
  // The two fields with limits on the first (read with the field's stored
  // length).
  auto limited = TwoFieldTable();
  auto* range = static_cast<TmvMinMaxValidationDescriptor*>(
      limited->GetFieldsDescriptor()->FieldDescriptor(0)->EnsureValidations()->AddValidation(
          u"R", &TmvMinMaxValidationDescriptor::StaticClass));
  range->SetMinAsVariant(Variant(int32_t(1)));
  range->SetMaxAsVariant(Variant(int32_t(99)));
  const auto bytes = StreamOf(*limited);
  auto dd = std::make_unique<TmvDataDictionary>();
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (uint8_t delta : {uint8_t(0x01), uint8_t(0xFF)}) {  // the lowest bit; every bit
      std::vector<uint8_t> damaged = bytes;
      damaged[i] = uint8_t(damaged[i] ^ delta);
      try {
        TmvMemoryStream stream;
        stream.Write(damaged.data(), int32_t(damaged.size()));
        stream.SetPosition(0);
        dd->ReadFromStream(stream, u"T");
      } catch (const EAssertionFailed& e) {
        ADD_FAILURE() << "byte " << i << ": " << Utf8(e.Message());
        continue;
      } catch (const EmvBaseException&) {
        if (!IsDefaultDictionary(*dd)) ADD_FAILURE() << "byte " << i << " left a changed dictionary";
        continue;
      } catch (const std::exception& e) {
        ADD_FAILURE() << "byte " << i << ": " << e.what();
        continue;
      }
      std::unique_ptr<TmvDataDictionary> copy(dd->Duplicate());
      if (!copy->IsEqual(dd.get())) ADD_FAILURE() << "byte " << i << " read into a dictionary unequal to its copy";
      dd->MakeReadOnly();
      StreamOf(*dd);
      try {
        StreamOf(*dd, 19999);  // an old peer may be refused what it cannot take
      } catch (const EAssertionFailed& e) {
        ADD_FAILURE() << "byte " << i << ": " << Utf8(e.Message());
      } catch (const EmvBaseException&) {
      }
    }
  }
}

TEST_F(DataDictionary, ClassesOutsideTheirSlotAreRefused) {
  const auto bytes = StreamOf(*TwoFieldTable());
  auto replaced = [&](const std::string& aFrom, const std::string& aTo) {
    auto at = std::search(bytes.begin(), bytes.end(), aFrom.begin(), aFrom.end());
    EXPECT_NE(at, bytes.end());
    std::vector<uint8_t> out(bytes.begin(), at);
    out.back() = uint8_t(aTo.size());  // the length byte of the vaString
    out.insert(out.end(), aTo.begin(), aTo.end());
    out.insert(out.end(), at + ptrdiff_t(aFrom.size()), bytes.end());
    return out;
  };
  TmvDataDictionary dd;
  String message;
  // A registered indices class that is no main indices class.
  EXPECT_EQ(
      RaisedCode([&] { ReadInto(dd, replaced("TmvMainIndicesDescriptor", "TmvInternalIndicesDescriptor")); }, &message),
      15499u);
  EXPECT_EQ(message, u"IndicesDescriptor class is not supported: TmvInternalIndicesDescriptor");
  // An unknown class, and a fixed part of another class.
  EXPECT_EQ(
      RaisedCode([&] { ReadInto(dd, replaced("TmvBaseRecordDescriptor", "TmvOtherRecordDescriptor")); }, &message),
      15499u);
  EXPECT_EQ(message, u"RecordDescriptor class is not supported: TmvOtherRecordDescriptor");
  EXPECT_EQ(RaisedCode([&] { ReadInto(dd, replaced("TmvTablesDescriptor", "TmvFieldsDescriptor")); }), 15499u);
  EXPECT_TRUE(IsDefaultDictionary(dd));
}

}  // namespace
