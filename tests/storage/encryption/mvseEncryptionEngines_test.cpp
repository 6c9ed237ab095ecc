// The encryption engine "mv1xDefault" and its registry: passwords at
// creation and opening, changing the password, damaged blocks, the space it
// reserves, unknown names, and an encrypted table whose journal keeps none
// of its plain bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "storage/FileHeaderTestSupport.h"
#include "storage/encryption/mvseEncryptionEngines.h"
#include "storage/transactions/mvseJournalEngine.h"

namespace {

using namespace storage_test;

using TEngine = std::unique_ptr<TmvBaseEncryptionEngine>;

class EncryptionTest : public HeaderTest {
 protected:
  // Creates (aCreating) or opens an engine over aHeader; the code.
  static String LastMessage() {
    uint32_t code = 0;
    String text;
    EmvBaseException::GetLastConvertedException(code, text);
    return text;
  }
  static int32_t Make(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating, TEngine& aEngine,
                      String* aText = nullptr) {
    TmvBaseEncryptionEngine* engine = nullptr;
    const int32_t code =
        TmvBaseEncryptionEngine::CreateEngine(u"MV1XDEFAULT", aPasswords, aHeader, aCreating, true, engine);
    aEngine.reset(engine);
    if (aText && code != 0) *aText = LastMessage();
    return code;
  }
};

TEST_F(EncryptionTest, PasswordsOpenTheTableOnlyWhenOneOfThemIsTheRightOne) {
  uint8_t plain[48] = {}, secret[48] = {};
  TEngine e;
  ASSERT_EQ(Make({}, plain, true, e), 0);
  ASSERT_EQ(Make({}, plain, false, e), 0);
  EXPECT_EQ(e->AuthenticatePassword({u"anything"}), 0);
  EXPECT_EQ(e->ExtractPassword(), u"");

  ASSERT_EQ(Make({u"secret"}, secret, true, e), 0);
  String text;
  EXPECT_EQ(Make({}, secret, false, e, &text), 10015);
  EXPECT_EQ(text, u"Invalid password given.");
  EXPECT_EQ(e, nullptr);
  ASSERT_EQ(Make({u"wrong", u"secret"}, secret, false, e), 0);
  EXPECT_EQ(e->ExtractPassword(), u"secret");
  EXPECT_EQ(e->AuthenticatePassword({u"wrong"}), 10015);
  EXPECT_EQ(e->AuthenticatePassword({u"x", u"secret"}), 0);

  EXPECT_EQ(Make({u"a", u"b"}, secret, true, e, &text), 9986);
  EXPECT_EQ(text, u"More than one key specified when creating new table");
  TmvBaseEncryptionEngine* none = nullptr;
  EXPECT_EQ(TmvBaseEncryptionEngine::CreateEngine(u"nope", {}, secret, true, true, none), 15503);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(LastMessage(), u"Unknown encryption engine: \"nope\"");
  EXPECT_EQ(CodeOf([] { TmvBaseEncryptionEngine::ReservedSpacePerBlock(u"nope", true, mvbs4k); }), 15503u);
  EXPECT_EQ(TmvBaseEncryptionEngine::ReservedSpacePerBlock(u"mv1xDefault", true, mvbs64k), 16u);
  EXPECT_EQ(TmvBaseEncryptionEngine::ReservedHeaderSpace(u"mv1xDefault", false), 48u);
  TmvUnicodeStrings names;
  mvGetRegisteredEncryptionEngines(names, true);
  EXPECT_EQ(names, (TmvUnicodeStrings{u"", u"mv1xDefault"}));
}

TEST_F(EncryptionTest, ChangingThePasswordKeepsEveryDataBlockReadable) {
  uint8_t header[48] = {};
  TEngine e;
  ASSERT_EQ(Make({u"old"}, header, true, e), 0);
  std::vector<uint8_t> block(4096), coded(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i);
  e->CodeBlock(block.data(), coded.data(), 4096, 4096);
  const std::vector<uint8_t> before(header + 24, header + 40);
  e->ChangePassword(header, u"new");
  EXPECT_EQ(e->ExtractPassword(), u"new");
  EXPECT_EQ(Make({u"old"}, header, false, e), 10015);
  ASSERT_EQ(Make({u"new"}, header, false, e), 0);
  std::vector<uint8_t> back = coded;
  e->DecodeBlock(back.data(), 4096, 4096);
  EXPECT_TRUE(std::equal(block.begin(), block.end() - 16, back.begin()));
}

TEST_F(EncryptionTest, EveryBitFlipOfTextIVOrCheckIsCorruptAndTheSameBlockNeverEncryptsAlike) {
  uint8_t header[48] = {};
  TEngine e;
  ASSERT_EQ(Make({}, header, true, e), 0);
  std::vector<uint8_t> block(80), first(80), second(80);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 3);
  e->CodeBlock(block.data(), first.data(), 80, 0);
  e->CodeBlock(block.data(), second.data(), 80, 0);
  EXPECT_NE(first, second);
  int corrupt = 0;
  for (size_t bit = 0; bit < 80 * 8; ++bit) {
    std::vector<uint8_t> damaged = first;
    damaged[bit / 8] ^= uint8_t(1u << (bit % 8));
    String text;
    if (CodeOf([&] { e->DecodeBlock(damaged.data(), 80, 0); }, &text) == 8962 &&
        text == u"Corrupt file - other than header.")
      ++corrupt;
  }
  EXPECT_EQ(corrupt, 80 * 8);
  e->DecodeBlock(first.data(), 80, 0);
  EXPECT_TRUE(std::equal(block.begin(), block.end() - 16, first.begin()));
}

TEST_F(EncryptionTest, AnEncryptedTableHas16BytesLessPerBlockAndItsJournalHoldsNoneOfItsPlainBytes) {
  auto plain = Create("plain.mv1", nullptr);
  TTestTransaction trans(cache);
  auto table = std::make_unique<OpenTable>(cache, folder.Name("secret.mv1"), omReadWrite, TableKind::Created);
  table->file->fiMorvaVersion = 47005;
  table->file->fiStreamEngineName = u"mv1xDefault";
  table->file->fiEncryptionEngineName = u"mv1xDefault";
  ASSERT_EQ(table->file->AddHeader(&trans, {u"pw"}, mv2xHeaderSignature), 0);
  EXPECT_EQ(plain->file->fiBlockSizeBytes - table->file->fiBlockSizeBytes, 16u);
  TmvBlockAccess view(table->file, nullptr, u"t", 0);
  THeaderAccess access = Access(view, &trans);
  // A block of a text that a reader of the journal must not find.
  TmvReleaseMethod release;
  uint8_t* block = access->GetNewBlock(&trans, 0, release);
  std::memcpy(block, "DATA", 4);
  const char secretText[] = "the plain text of an encrypted table";
  for (uint32_t at = 16; at + sizeof secretText < 4000; at += sizeof secretText)
    std::memcpy(block + at, secretText, sizeof secretText);
  release(block);
  access.reset();
  trans.Commit();  // the first commit: nothing to journal before
  TTestTransaction second(cache);
  second.SetJournalled(true);
  THeaderAccess again = Access(view, &second);
  block = view.GetBlock(&second, 1, 0, true, release);
  block[20] ^= 1;
  release(block);
  again.reset();
  const TmvJournalEngineClassRef* saved = mvDefaultJournalEngineClass.exchange(&Tmv1xJournalEngine::StaticClass);
  fs.FailAt(fopUnlink, 1, EIO);  // the journal stays to be read
  TTestLog log;
  EXPECT_EQ(CodeOf([&] { second.Commit(); }), 9218u);
  mvDefaultJournalEngineClass.store(saved);
  const std::vector<uint8_t> journal = ReadBytes(folder.File(std::to_string(second.LSN()) + ".n$2"));
  ASSERT_EQ(journal.size(), 12u + 4 * (268 + 4096));  // blocks 0 and 1, before and after
  const std::string bytes(journal.begin(), journal.end());
  EXPECT_EQ(bytes.find("plain text"), std::string::npos);
  EXPECT_NE(ReadBytes(folder.File("secret.mv1")).size(), 0u);
  second.Rollback();
}

}  // namespace
