// Tests of the in-process session and the alias handler: passwords,
// aliases with their configuration, database path resolution, the class
// lists and the default locale.
#include <gtest/gtest.h>

#include <filesystem>

#include "ServerEngineTestSupport.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "foundation/mvllStreams.h"
#include "storage/files/mvsrFaultFileSystem.h"

namespace {

namespace fs = std::filesystem;

// A session that records where a database would have been opened.
class PathSession : public TmvServerSession {
 public:
  using TmvServerSession::TmvServerSession;
  uint32_t ssOpenOnPath(TmvAbstractDatabase*& aDatabase, const String& aAliasName, const String& aPath,
                        TmvAbstractTransContext*, TmvOpenMode, TmvShareMode, uint32_t, bool aIsCache) override {
    aDatabase = nullptr;
    openedAlias = aAliasName;
    openedPath = aPath;
    openedCache = aIsCache;
    return 0;
  }
  String openedAlias, openedPath;
  bool openedCache = false;
};

struct Sessions : EngineTest {
  void SetUp() override {
    EngineTest::SetUp();
    engine->SetActive(true);
    session = TmvAbstractServerObject::Create<PathSession>(engine, 0u, String(), String(), String(), 47501);
    root = fs::temp_directory_path() / ("mv-server-session-" + std::to_string(getpid()));
    fs::create_directories(root);
  }
  void TearDown() override {
    TmvAbstractServerObject::Free(session);
    fs::remove_all(root);
    EngineTest::TearDown();
  }
  String Dir(const std::string& aName) { return UTF8ToString((root / aName).string()); }

  PathSession* session = nullptr;
  fs::path root;
};

TEST_F(Sessions, Passwords) {
  EXPECT_EQ(session->PasswordAdd(String()), 9986u);
  EXPECT_EQ(session->PasswordAdd(u"Secret"), 0u);
  EXPECT_EQ(session->PasswordAdd(u"Secret"), 10009u);
  EXPECT_EQ(LastText(10009), u"Name not unique in this context.");
  EXPECT_EQ(session->PasswordAdd(u"secret"), 0u);  // another case is another password
  EXPECT_EQ(session->PasswordRemove(u"SECRET"), 8712u);
  EXPECT_EQ(session->PasswordRemove(String()), 9986u);
  EXPECT_EQ(session->PasswordRemove(u"Secret"), 0u);
  TmvUnicodeStrings built;
  session->ssBuildPasswords(u"a", u"t", built, u"given");
  EXPECT_EQ(built, (TmvUnicodeStrings{u"secret", u"given"}));
  EXPECT_EQ(session->PasswordRemoveAll(), 0u);
  EXPECT_TRUE(session->Passwords().empty());
}

TEST_F(Sessions, AliasesAndTheirErrors) {
  EXPECT_EQ(session->AliasAdd(u"Data", Dir("a"), false), 0u);
  EXPECT_EQ(session->AliasAdd(u"DATA", Dir("b"), false), 10009u);
  EXPECT_EQ(session->AliasAdd(u"bad*name", Dir("b"), false), 10067u);
  EXPECT_EQ(session->AliasDelete(u"Other"), 10014u);
  EXPECT_EQ(LastText(10014), u"Unknown database.");
  EXPECT_EQ(session->AliasModify(u"Data", u"data", String(), false), 10009u);  // a case variant is taken
  EXPECT_EQ(session->AliasModify(u"Data", u"Moved", String(), false), 0u);   // the old path goes along
  String path;
  EXPECT_EQ(session->AliasGetPath(u"Data", path), 10014u);
  EXPECT_EQ(session->AliasGetPath(u"moved", path), 0u);
  EXPECT_EQ(path, Dir("a"));
  EXPECT_EQ(session->AliasGetPath(String(), path), 10014u);  // required
  EXPECT_EQ(path, u"");

  // Paths the configuration could not keep apart are refused.
  for (const char16_t* bad : {u"/x;y", u"/x\ny", u"/x\ry"}) {
    EXPECT_EQ(session->AliasAdd(u"Bad", bad, false), 9986u);
    EXPECT_EQ(session->AliasModify(u"Moved", String(), bad, false), 9986u);
  }
  EXPECT_EQ(session->AliasGetPath(u"Moved", path), 0u);
  EXPECT_EQ(path, Dir("a"));

  // With enforcement the folder is made, parents included.
  EXPECT_EQ(session->AliasAdd(u"Deep", Dir("x/y/z"), true), 0u);
  EXPECT_TRUE(fs::is_directory(root / "x/y/z"));
}

TEST_F(Sessions, ARenameWhoseFolderCannotBeMadeChangesNothing) {
  ASSERT_EQ(session->AliasAdd(u"Keep", Dir("k"), false), 0u);
  // A file where the folder would go cannot become a folder.
  { std::FILE* f = std::fopen((root / "file").c_str(), "w"); std::fclose(f); }
  EXPECT_EQ(session->AliasModify(u"Keep", u"Renamed", Dir("file/sub"), true), 9219u);
  EXPECT_EQ(LastText(9219), u"Cannot access directory.");
  String path;
  EXPECT_EQ(session->AliasGetPath(u"Keep", path), 0u);
  EXPECT_EQ(path, Dir("k"));
  EXPECT_EQ(session->AliasGetPath(u"Renamed", path), 10014u);
  EXPECT_EQ(session->AliasModify(u"Keep", String(), Dir("file/sub"), true), 9219u);
  EXPECT_EQ(session->AliasGetPath(u"Keep", path), 0u);
  EXPECT_EQ(path, Dir("k"));
}

TEST_F(Sessions, AnExtenderVetoStopsAnAliasOperation) {
  auto* veto = new TestExtender(nullptr, session, {eaAliasAdd});
  veto->answers = {{eaAliasAdd, true, 10009}};
  EXPECT_EQ(session->AliasAdd(u"New", Dir("n"), false), 10009u);
  String path;
  EXPECT_EQ(session->AliasGetPath(u"New", path), 10014u);
  ASSERT_EQ(veto->calls.size(), 1u);
  EXPECT_EQ(veto->calls[0].argCount, 3u);
  veto->answers.clear();
  EXPECT_EQ(session->AliasAdd(u"New", Dir("n"), false), 0u);
  EXPECT_EQ(veto->calls.size(), 3u);  // before and after
}

TEST_F(Sessions, WithoutAnAliasHandler) {
  engine->SetAliasHandler(nullptr);
  EXPECT_EQ(session->AliasAdd(u"A", u"/p", false), 12289u);
  EXPECT_EQ(LastText(12289), u"AliasAdd requires an AliasHandler");
  TmvAbstractDatabase* db = nullptr;
  EXPECT_EQ(session->DatabaseOpen(db, u"Name", u"A", nullptr, omReadOnly, smShared, 0), 12289u);
  EXPECT_EQ(LastText(12289), u"AliasType = 'Name' requires an AliasHandler");
}

TEST_F(Sessions, TheAliasConfiguration) {
  TmvBaseAliasHandler* handler = engine->AliasHandler();
  TestConfiguration config;
  struct ServerConfig : TmvBaseServerConfiguration {
    void EnsureComponentConfiguration(const String&, TmvBaseSettings*) override {}
    TmvBaseComponentConfiguration* GetComponentConfiguration(const String&) override { return nullptr; }
    void Save() override {}
  } server;
  config.fConfig = &server;
  config.values[u"Aliases"] = Variant(u"b=" + Dir("b") + u";bad name*=/x;a=" + Dir("a") + u";m=#mem");
  fs::create_directories(root / "a");
  handler->LoadConfig(&config);
  EXPECT_EQ(server.fConfigErrors,
            u"WARNING: Database folder for \"b\" does not exist: \"" + Dir("b") +
                u"\"\r\nERROR: AliasName \"bad name*\" is not valid. Alias has not been activated in the server "
                u"engine.\r\n");
  TmvAliasDescriptors list;
  EXPECT_EQ(session->AliasGetList(list), 0u);
  ASSERT_EQ(list.size(), 3u);  // the missing folder's alias is kept
  handler->SaveConfig(&config);
  EXPECT_EQ(config.values[u"Aliases"].AsString(), u"a=" + Dir("a") + u";b=" + Dir("b") + u";m=#mem");

  // The settings stream carries the table too.
  engine->SetName(u"E");
  TmvMemoryStream stream;
  {
    TmvWriter writer(stream);
    handler->SaveSettingsToStream(&writer);
  }
  handler->Clear();
  stream.SetPosition(0);
  TmvReader reader(stream);
  handler->LoadSettingsFromStream(&reader);
  list.clear();
  EXPECT_EQ(handler->GetList(list), 0u);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].adAlias, u"a");
  EXPECT_EQ(list[2].adPath, u"#mem");
}

TEST_F(Sessions, DatabasePathResolution) {
  TmvAbstractDatabase* db = nullptr;
  fs::create_directories(root / "db");
  EXPECT_EQ(session->DatabaseOpen(db, u"pATH", Dir("db"), nullptr, omReadOnly, smShared, 0), 0u);
  EXPECT_EQ(session->openedPath, Dir("db") + u"/");
  EXPECT_EQ(session->openedAlias, u"");
  EXPECT_EQ(session->DatabaseOpen(db, u"Path", u"  " + Dir("db/../db") + u"/ ", nullptr, omReadOnly, smShared, 0),
            0u);
  EXPECT_EQ(session->openedPath, Dir("db") + u"/");
  EXPECT_EQ(session->DatabaseCacheOpen(db, u"Path", Dir("db"), nullptr, omReadOnly, smShared, 0), 0u);
  EXPECT_TRUE(session->openedCache);

  ASSERT_EQ(session->AliasAdd(u"Main", Dir("db"), false), 0u);
  EXPECT_EQ(session->DatabaseOpen(db, u"name", u"main", nullptr, omReadOnly, smShared, 0), 0u);
  EXPECT_EQ(session->openedAlias, u"main");
  EXPECT_EQ(session->openedPath, Dir("db") + u"/");
  EXPECT_EQ(session->DatabaseOpen(db, u"Name", u"Nowhere", nullptr, omReadOnly, smShared, 0), 10014u);
  EXPECT_EQ(session->DatabaseOpen(db, u"UNC", u"x", nullptr, omReadOnly, smShared, 0), 12289u);
  EXPECT_EQ(LastText(12289), u"AliasType 'UNC' not supported");
  EXPECT_EQ(session->DatabaseOpen(db, u"Path", Dir("missing"), nullptr, omReadOnly, smShared, 0), 10018u);
  EXPECT_EQ(LastText(10018), u"The alias references a directory that does not exist.");

  TmvFaultFileSystem faults;
  mvSetFileSystem(&faults);
  EXPECT_EQ(session->DatabaseOpen(db, u"Path", u"#memory", nullptr, omReadOnly, smShared, 0), 0u);
  EXPECT_EQ(session->openedPath, u"#memory");
  uint64_t calls = 0;
  for (int op = 0; op < mvFileOpCount; ++op) calls += faults.Calls(TmvFileOp(op));
  EXPECT_EQ(calls, 0u);  // an in-memory folder touches no file system
  mvSetFileSystem(nullptr);

  // The in-process session opens the database on the folder it made.
  TmvServerSession* plain = OpenSession();
  EXPECT_EQ(plain->DatabaseOpen(db, u"Path", Dir("db"), nullptr, omReadOnly, smShared, 0), 0u);
  ASSERT_NE(db, nullptr);
  String path;
  EXPECT_EQ(db->GetPath(path), 0u);
  EXPECT_EQ(path, Dir("db") + u"/");
  EXPECT_EQ(db->Close(), 0u);
}

TEST_F(Sessions, RegisteredClassLists) {
  TStringList list;
  EXPECT_EQ(session->GetRegisteredClassList(setIndexEngines, &list), 0u);
  for (int32_t i = 0; i < list.Count(); ++i) {
    String lower = list[i];
    for (char16_t& c : lower) c = char16_t(std::towlower(c));
    EXPECT_EQ(lower.find(u"cache"), String::npos) << UTF8Encode(list[i]);
  }
  const String first = list.GetText();
  EXPECT_EQ(session->GetRegisteredClassList(setIndexEngines, &list), 0u);
  EXPECT_EQ(list.GetText(), first);  // the registry keeps what it had
  EXPECT_EQ(session->GetRegisteredClassList(setRecordDescriptors, &list), 0u);
  EXPECT_NE(list.IndexOf(u"Static"), -1);
  EXPECT_EQ(session->GetRegisteredClassList(TmvClassListType(42), &list), 8712u);
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(Sessions, TheDefaultLocaleComesFromTheOption) {
  EXPECT_EQ(session->GetClientDefaultLocale(), nullptr);
  TmvServerSession* other = OpenSession();
  other->OptionSet(u"SQL_DEFAULT_LOCALE", u"1041");
  TmvLocaleDescriptor* locale = other->GetClientDefaultLocale();
  ASSERT_NE(locale, nullptr);
  EXPECT_EQ(locale->GetLocale(), 1041u);
  EXPECT_TRUE(locale->GetIsDefaultStringLiteralLocale());
  EXPECT_EQ(other->GetClientDefaultLocale(), locale);  // made once
}

}  // namespace
