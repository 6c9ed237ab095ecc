// Tests of the file header: block 0 of a new file byte by byte, the
// factories by signature, header sections in both formats, the version 1
// free chain, owner IDs and the encryption engine's areas.
#include "storage/FileHeaderTestSupport.h"

#include "storage/files/mvsrEncryption.h"

namespace {

using namespace storage_test;

TEST_F(HeaderTest, ANewFileHasTheHeaderTheFormatLaysDown) {
  TmvLSN lsn = 0;
  {
    TTestTransaction trans(cache);
    auto t = Create("new.mv1", &trans);
    lsn = trans.LSN();
    EXPECT_EQ(t->file->fiBlockSizeBytes, 4092u);
    EXPECT_EQ(t->file->fiUsedBlocks, 1u);
    trans.Commit();
  }
  std::vector<uint8_t> expected = V2Header();
  mvPutU64(expected.data(), 8, uint64_t(lsn));  // the commit stamps its LSN
  const std::vector<uint8_t> disk = ReadBytes(folder.File("new.mv1"));
  ASSERT_GE(disk.size(), 4096u);
  EXPECT_EQ(std::vector<uint8_t>(disk.begin(), disk.begin() + 4096), expected);
  auto t = Open("new.mv1");
  EXPECT_EQ(t->file->fiUsedBlocks, 1u);
  EXPECT_EQ(t->file->fiBlockSizeBytes, 4092u);
  EXPECT_EQ(t->file->fiStreamEngineName, u"mv1xDefault");
  EXPECT_EQ(t->file->fiMorvaVersion, 47005);
  TmvBlockAccess view(t->file, nullptr, u"new", 0);
  THeaderAccess header = Access(view, nullptr, false);
  EXPECT_EQ(header->GetUsedBlocks(), 1u);
  EXPECT_EQ(header->GetAvailableBlocks(), 0u);
  EXPECT_EQ(header->GetCurrentLSN(), lsn);
}

TEST_F(HeaderTest, LargerBlocksAndLongEngineNames) {
  TTestTransaction trans(cache);
  auto t = std::make_unique<OpenTable>(cache, folder.Name("big.mv1"), omReadWrite, TableKind::Created);
  t->file->fiBlockSize = mvbs64k;
  t->file->fiStreamEngineName = String(40, u's');  // kept as its first 31 characters
  ASSERT_EQ(t->file->AddHeader(&trans, {}, mv2xHeaderSignature), 0);
  EXPECT_EQ(t->file->fiStreamEngineName, String(31, u's'));
  TmvBlockAccess view(t->file, nullptr, u"big", 0);
  THeaderAccess header = Access(view, &trans);
  EXPECT_EQ(mvGetU32(header->Header, 20), 65532u);
  EXPECT_EQ(mvGetU16(header->Header, 256), 65531u);
  EXPECT_EQ(header->Header[72], 31);
  header.reset();
  trans.Commit();
  t.reset();
  auto reopened = Open("big.mv1");
  EXPECT_EQ(reopened->file->fiBlockSize, mvbs64k);
  EXPECT_EQ(reopened->file->fiStreamEngineName, String(31, u's'));
}

TEST_F(HeaderTest, FactoriesAreFoundBySignature) {
  String text;
  EXPECT_EQ(CodeOf([] { TmvBaseFileHeaderAccessFactory::CheckValid(mv1xHeaderSignature, true); }, &text), 12289u);
  EXPECT_EQ(text, u"Can't create new files with v1 header");
  EXPECT_EQ(CodeOf([] { TmvBaseFileHeaderAccessFactory::CheckValid(mv1xHeaderSignature, false); }), 0u);
  EXPECT_EQ(CodeOf([] { TmvBaseFileHeaderAccessFactory::CheckValid(mv2xHeaderSignature, true); }), 0u);
  const TmvBlockSignature unknown{'M', 'V', '!', '3'};
  EXPECT_EQ(CodeOf([&] { TmvBaseFileHeaderAccessFactory::CheckValid(unknown, false); }), 15504u);
  EXPECT_EQ(TmvBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(mv1xHeaderSignature), 0u);
  EXPECT_EQ(TmvBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(mv2xHeaderSignature), 4u);
  EXPECT_EQ(CodeOf([&] { TmvBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(unknown); }), 15504u);
  // A version 1 file is never created.
  TTestTransaction trans(cache);
  OpenTable t(cache, folder.Name("v1.mv1"), omReadWrite, TableKind::Created);
  EXPECT_EQ(CodeOf([&] { t.file->AddHeader(&trans, {}, mv1xHeaderSignature); }, &text), 12289u);
  EXPECT_EQ(text, u"Can't create new files with v1 header");
  EXPECT_EQ(t.file->fiHeaderAccessFactory, nullptr);
  trans.End();
  TmvBaseFileHeaderAccessFactory::UnRegister(TTestHeaderFactory::StaticClass);
  mvsrFileHeader2xFini();
  mvsrFileHeader1xFini();
  EXPECT_EQ(CodeOf([] { TmvBaseFileHeaderAccessFactory::CheckValid(mv2xHeaderSignature, false); }), 15414u);
  mvsrFileHeader1xInit();
  mvsrFileHeader2xInit();
  TmvBaseFileHeaderAccessFactory::Register(TTestHeaderFactory::StaticClass, kTestSignature);
}

TEST_F(HeaderTest, SectionsAreRegisteredOnceAndFoundAgainByNameAndSize) {
  TTestTransaction trans(cache);
  auto t = Create("sec.mv1", &trans);
  TmvBlockAccess view(t->file, nullptr, u"sec", 0);
  {
    THeaderAccess reader = Access(view, &trans, false);
    EXPECT_EQ(CodeOf([&] { reader->RegisterHeaderSection(u"Stream", 8, true, false); }), 9218u);
  }
  THeaderAccess header = Access(view, &trans);
  EXPECT_EQ(header->RegisterHeaderSection(u"Stream", 8, true, false), 4083u);
  EXPECT_EQ(header->RegisterHeaderSection(u"AutoInc", 16, true, false), 4067u);
  EXPECT_EQ(header->RegisterHeaderSection(u"STREAM", 8, false, false), 4083u);  // names ignore ASCII case
  EXPECT_EQ(header->RegisterHeaderSection(u"autoinc", 16, true, true), 4067u);  // overwrite: the lookup answers
  String text;
  const struct {
    const char16_t* Name;
    uint8_t Size;
    bool Create;
    uint32_t Code;
  } refused[] = {{u"Stream", 8, true, 10009}, {u"Stream", 9, false, 8961}, {u"Stream", 9, true, 10009},
                 {u"Record", 4, false, 8712}, {u"", 4, true, 10068},      {u"名前", 4, true, 10068}};
  for (const auto& c : refused)
    EXPECT_EQ(CodeOf([&] { header->RegisterHeaderSection(c.Name, c.Size, c.Create, false); }), c.Code)
        << UTF8Encode(c.Name);
  EXPECT_EQ(CodeOf([&] { header->RegisterHeaderSection(String(256, u'x'), 4, true, false); }), 10068u);
  // Registered in the transaction, found after its commit.
  header.reset();
  trans.Commit();
  t.reset();
  auto reopened = Open("sec.mv1");
  TmvBlockAccess again(reopened->file, nullptr, u"sec", 0);
  EXPECT_EQ(Access(again, nullptr, false)->RegisterHeaderSection(u"AutoInc", 16, false, false), 4067u);
}

TEST_F(HeaderTest, AFullHeaderRefusesSectionsAndASectionThatFitsExactlyEndsTheDirectory) {
  TTestTransaction trans(cache);
  auto t = Create("full.mv1", &trans);
  TmvBlockAccess view(t->file, nullptr, u"full", 0);
  THeaderAccess header = Access(view, &trans);
  // 3833 bytes from 258 to 4091; each section of 255 bytes named "Snn"
  // takes 261 with its entry.
  std::vector<String> names;
  for (int i = 10; i < 24; ++i) {
    names.push_back(u"S" + IntToStr(i));
    header->RegisterHeaderSection(names.back(), 255, true, false);
  }
  String text;
  EXPECT_EQ(CodeOf([&] { header->RegisterHeaderSection(u"Big", 255, true, false); }, &text), 9473u);
  EXPECT_EQ(text, u"File header is full");
  // What is left (3833 - 14 * 261 = 179) is taken whole: entry and section.
  const uint32_t last = header->RegisterHeaderSection(u"Last", 179 - 7, true, false);
  EXPECT_EQ(last, 258u + 14 * 6 + 7);
  header->Header[last] = 0xFF;  // the section's own first byte is no directory entry
  for (const String& name : names) EXPECT_NE(header->RegisterHeaderSection(name, 255, false, false), 0u);
  EXPECT_EQ(header->RegisterHeaderSection(u"Last", 172, false, false), last);
  EXPECT_EQ(CodeOf([&] { header->RegisterHeaderSection(u"X", 1, true, false); }), 9473u);
  EXPECT_EQ(CodeOf([&] { header->RegisterHeaderSection(u"X", 1, false, false); }), 8712u);
  header.reset();
  trans.End();
}

TEST_F(HeaderTest, AVersion1FileKeepsItsSectionsAtFixedPlacesAndItsFreeBlocksInAChain) {
  // Blocks 2 and 3 are free: 3 -> 2 -> none.
  std::vector<uint8_t> image = V2Header(5);
  std::memcpy(image.data(), "MV!1", 4);
  mvPutU32(image.data(), 20, 4096);
  mvPutU16(image.data(), 256, 0);
  mvPutU32(image.data(), 24, 3);
  mvPutU32(image.data(), 28, 2);
  Append(image, V2Block("DATA", 1));
  Append(image, V2Block("DEAD", 2));
  mvPutU32(&image[2 * 4096], 16, 0xFFFFFFFF);
  Append(image, V2Block("DEAD", 3));
  mvPutU32(&image[3 * 4096], 16, 2);
  Append(image, V2Block("DATA", 4));
  WriteBytes(folder.File("old.mv1"), image);
  auto t = Open("old.mv1");
  EXPECT_EQ(t->file->fiBlockSizeBytes, 4096u);
  TmvBlockAccess view(t->file, nullptr, u"old", 0);
  TTestTransaction trans(cache);
  THeaderAccess header = Access(view, &trans);
  EXPECT_EQ(header->GetAvailableBlocks(), 2u);
  const std::pair<const char16_t*, uint32_t> fixed[] = {{u"Encryption", 256}, {u"stream", 512}, {u"AUTOINC", 768},
                                                        {u"Record", 1024},    {u"Blob", 1280},   {u"Indices", 1536}};
  for (const auto& [name, offset] : fixed) EXPECT_EQ(header->RegisterHeaderSection(name, 200, true, false), offset);
  String text;
  EXPECT_EQ(CodeOf([&] { header->RegisterHeaderSection(u"SubHeaders", 253, true, false); }, &text), 12289u);
  EXPECT_EQ(text, u"Custom HeaderSections are not supported in a v1 header");
  EXPECT_EQ(NewBlock(*header, &trans), 3u);
  EXPECT_EQ(NewBlock(*header, &trans), 2u);
  EXPECT_EQ(NewBlock(*header, &trans), 5u);
  EXPECT_EQ(header->GetUsedBlocks(), 6u);
  Free(view, *header, &trans, 4);
  EXPECT_EQ(mvGetU32(header->Header, 24), 4u);
  EXPECT_EQ(header->GetAvailableBlocks(), 1u);
  EXPECT_EQ(NewBlock(*header, &trans), 4u);
  header.reset();
  trans.Commit();
  t.reset();
  const std::vector<uint8_t> disk = ReadBytes(folder.File("old.mv1"));
  EXPECT_EQ(std::memcmp(disk.data(), "MV!1", 4), 0);
  EXPECT_EQ(mvGetU32(disk.data(), 32), 6u);
  EXPECT_EQ(mvGetU32(disk.data(), 28), 0u);
}

TEST_F(HeaderTest, AFreeChainThatRunsInACircleIsCaught) {
  std::vector<uint8_t> image = V2Header(4);
  std::memcpy(image.data(), "MV!1", 4);
  mvPutU32(image.data(), 20, 4096);
  mvPutU32(image.data(), 24, 3);
  mvPutU32(image.data(), 28, 9);
  Append(image, V2Block("DATA", 1));
  Append(image, V2Block("DATA", 2));
  Append(image, V2Block("DEAD", 3));
  mvPutU32(&image[3 * 4096], 16, 3);  // itself
  WriteBytes(folder.File("loop.mv1"), image);
  auto t = Open("loop.mv1");
  TmvBlockAccess view(t->file, nullptr, u"loop", 0);
  TTestTransaction trans(cache);
  THeaderAccess header = Access(view, &trans);
  EXPECT_EQ(NewBlock(*header, &trans), 3u);
  EXPECT_EQ(CodeOf([&] { NewBlock(*header, &trans); }), 8962u);  // 3 is in use now
  mvPutU32(header->Header, 24, 9);                               // beyond the file
  EXPECT_EQ(CodeOf([&] { NewBlock(*header, &trans); }), 8961u);
  header.reset();
  trans.End();
}

TEST_F(HeaderTest, OwnerIDsAreCheckedWhenBlocksAreHandedOutAndWritten) {
  TTestTransaction trans(cache);
  auto t = Create("own.mv1", &trans);
  TmvBlockAccess view(t->file, nullptr, u"own", 0);
  THeaderAccess header = Access(view, &trans);
  const TmvBlockNumber mine = NewBlock(*header, &trans, 7);
  TmvReleaseMethod release;
  uint8_t* block = view.GetBlock(&trans, mine, 7, false, release);
  EXPECT_EQ(t->file->fiHeaderAccessFactory->GetID(block), 7);
  release(block);
  String text;
  EXPECT_EQ(CodeOf([&] { view.GetBlock(&trans, mine, 8, false, release); }, &text), 8962u);
  EXPECT_EQ(text, Format(u"Expected BlockOwnerID 8 but found 7 in file \"%s\" for block %d",
                         {t->file->FileName(), mine}));
  EXPECT_FALSE(release);

  TmvBaseFileHeaderAccessFactory* factory = t->file->fiHeaderAccessFactory;
  t->file->fiMaxID = 10;
  const String name = t->file->FileName();
  const struct {
    const char* Signature;
    uint32_t Number;
    uint32_t Owner;
    String Text;
  } cases[] = {
      {"MV!2", 0, 0, String()},
      {"MV!1", 0, 0, u"Block 0 has not the correct signature"},
      {"DATA", 3, 10, String()},
      {"CHOF", 3, 0x7FFFFFFE, String()},
      {"FBMH", 3, 0x7FFFFFFF, String()},
      {"DATA", 3, 0x7FFFFFFE,
       u"Block 3 in file \"" + name +
           u"\" has the BlockOwnerID of a child header overflow block but has a signature of \"DATA\""},
      {"CHOF", 3, 0x7FFFFFFF,
       u"Block 3 in file \"" + name + u"\" has the BlockOwnerID of the free block map but has a signature of \"CHOF\""},
      {"DATA", 3, 11,
       u"Expected BlockOwnerID smaller or equal to 10 but found 11 in file \"" + name +
           u"\" for block 3. The header signature is \"DATA\""},
      {"DATA", 3, 0x80000000,
       u"Expected BlockOwnerID smaller or equal to 10 but found -2147483648 in file \"" + name +
           u"\" for block 3. The header signature is \"DATA\""},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> image = V2Block(c.Signature, c.Number, c.Owner);
    String raised;
    const uint32_t code = CodeOf([&] { factory->ValidateBlock(image.data(), c.Number); }, &raised);
    EXPECT_EQ(code, c.Text.empty() ? 0u : 8962u) << c.Signature;
    EXPECT_EQ(raised, c.Text);
  }
  header.reset();
  trans.End();
}

// An engine that reserves 16 bytes per block and 48 bytes of header, the
// last 8 of them its table checksum.
class TReservingEngine : public TmvBaseEncryptionEngine {
 public:
  void CodeBlock(const void* aIn, void* aOut, uint32_t aLen, uint64_t) override { std::memmove(aOut, aIn, aLen); }
  void DecodeBlock(void*, uint32_t, uint64_t) override {}
  uint32_t beeChecksumSize() override { return 8; }
  static int32_t Create(const String&, const TmvUnicodeStrings&, uint8_t* aHeader, bool aCreating, bool,
                        TmvBaseEncryptionEngine*& aEngine) {
    if (aCreating) std::memset(aHeader, 0xEE, 40);  // its key material, before the checksum
    aEngine = new TReservingEngine();
    return 0;
  }
  static bool Space(const String& aName, bool, TmvBlockSize, TmvEncryptionEngineSpace& aSpace) {
    if (aName != u"Reserving") return false;
    aSpace = {16, 48};
    return true;
  }
};

TEST_F(HeaderTest, TheEncryptionEngineGetsItsAreasAtTheEndOfTheUsableBlock) {
  mvEncryptionEngineCreateHook = &TReservingEngine::Create;
  mvEncryptionEngineSpaceHook = &TReservingEngine::Space;
  {
    TTestTransaction trans(cache);
    OpenTable t(cache, folder.Name("enc.mv1"), omReadWrite, TableKind::Created);
    t.file->fiEncryptionEngineName = u"Reserving";
    ASSERT_EQ(t.file->AddHeader(&trans, {}, mv2xHeaderSignature), 0);
    EXPECT_EQ(t.file->fiBlockSizeBytes, 4096u - 16 - 4);
    EXPECT_EQ(t.file->fiCheckSumSize, 8u);
    TmvBlockAccess view(t.file, nullptr, u"enc", 0);
    THeaderAccess header = Access(view, &trans);
    const uint8_t* h = header->Header;
    EXPECT_EQ(mvGetU16(h, 17), 48u);
    EXPECT_EQ(mvGetU16(h, 256), 4076u - 48 - 1);
    TmvBaseFileHeaderAccessFactory* factory = t.file->fiHeaderAccessFactory;
    EXPECT_EQ(factory->GetEncryptionEngineHeader(header->Header), header->Header + 4027);
    EXPECT_EQ(factory->GetTableChecksum(header->Header), header->Header + 4067);
    EXPECT_EQ(std::count(h + 4027, h + 4067, 0xEE), 40);
    EXPECT_EQ(std::count(h + 4067, h + 4075, 0), 8);
    EXPECT_EQ(CodeOf([&] { header->ChangePassword(u"new"); }), 12289u);  // not supported by this engine
    header.reset();
    trans.Commit();
  }
  {
    auto t = Open("enc.mv1");
    EXPECT_EQ(t->file->fiChecksum.size(), 8u);
  }
  // A stored header space that does not match the engine's is refused.
  std::vector<uint8_t> disk = ReadBytes(folder.File("enc.mv1"));
  mvPutU16(disk.data(), 17, 40);
  WriteBytes(folder.File("enc.mv1"), disk);
  OpenTable t(cache, folder.Name("enc.mv1"));
  EXPECT_EQ(CodeOf([&] { t.Add(); }), 8961u);
  mvEncryptionEngineCreateHook = nullptr;
  mvEncryptionEngineSpaceHook = nullptr;
}

}  // namespace
