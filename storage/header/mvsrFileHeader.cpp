// Storage: the header-access bases, the shared part of both header formats
// and the registry of factories by signature. See mvsrFileHeader.h.
#include "storage/header/mvsrFileHeader.h"

#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllFastStringList.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/files/mvsrEncryption.h"

namespace {

// Signature -> class record; nil until the first registration.
TmvFastStringListCS*& registry() {
  static TmvFastStringListCS* list = nullptr;
  return list;
}

String signatureText(const TmvBlockSignature& aSignature) {
  String s;
  for (char c : aSignature) s += char16_t(static_cast<unsigned char>(c));
  return s;
}

// The class registered under aSignature, nil when none is; 15414 without
// any registration at all.
const TmvFileHeaderAccessFactoryClassRef* findFactoryClass(const TmvBlockSignature& aSignature) {
  TmvFastStringListCS* list = registry();
  if (!list) throw EmvFileHeaderAccessException(MVERR_NOHEADERACCESSFACTORIES);
  int32_t index = -1;
  if (!list->Find(signatureText(aSignature), index)) return nullptr;
  return static_cast<const TmvFileHeaderAccessFactoryClassRef*>(list->Objects(index));
}

const TmvFileHeaderAccessFactoryClassRef& mustFindFactoryClass(const TmvBlockSignature& aSignature) {
  const TmvFileHeaderAccessFactoryClassRef* cls = findFactoryClass(aSignature);
  if (!cls) throw EmvFileHeaderAccessException(MVERR_UNSUPPORTEDHEADERACCESS);
  return *cls;
}

// An engine name: a length byte and that many single-byte characters.
String readEngineName(const uint8_t* aHeader, uint32_t aOffset) {
  const uint8_t length = aHeader[aOffset];
  if (length > mvHeaderEngineNameMax) throw EmvFileHeaderAccessException(MVERR_HEADERCORRUPT);
  String name(length, u'\0');
  mvBytesToWideChars(aHeader + aOffset + 1, name.data(), length);
  return name;
}

// Cuts aName to what a header keeps; a character that is not a single byte
// would be stored as another one, so it is refused (10068).
void fitEngineName(String& aName) {
  if (aName.size() > mvHeaderEngineNameMax) aName.resize(mvHeaderEngineNameMax);
  for (char16_t c : aName)
    if (c > 0xFF) throw EmvFileHeaderAccessException(MVERR_INVALIDNAME);
}

void writeEngineName(uint8_t* aHeader, uint32_t aOffset, const String& aName) {
  aHeader[aOffset] = static_cast<uint8_t>(aName.size());
  for (size_t i = 0; i < aName.size(); ++i) aHeader[aOffset + 1 + i] = static_cast<uint8_t>(aName[i]);
}

}  // namespace

// ---------------------------------------------------------------------------
// Header accesses

TmvBaseFileHeaderAccess::TmvBaseFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty,
                                                 TmvBlockAccess* aBlockAccess)
    : bfhaHeaderFile(aBlockAccess->_File()),
      bfhaIsDirty(aMarkDirty),
      bfhaBlockAccess(aBlockAccess),
      bfhaTrans(aTrans) {}

TmvBaseFileHeaderAccess::~TmvBaseFileHeaderAccess() {
  ReleaseHeader();
  delete bfhaMainHeader;
}

void TmvBaseFileHeaderAccess::Open(TmvBaseTransaction* aTrans) {
  if (TmvBlockAccess* main = bfhaBlockAccess->Main())
    bfhaMainHeader = bfhaHeaderFile->fiHeaderAccessFactory->CreateFileHeaderAccess(aTrans, bfhaIsDirty, main);
  LoadHeader(aTrans);
}

void TmvBaseFileHeaderAccess::ReleaseHeader() {
  if (Header) bfhaRelease(Header);
  bfhaRelease.Clear();
}

void TmvBaseFileHeaderAccess::LoadHeader(TmvBaseTransaction* aTrans) {
  Header = bfhaBlockAccess->GetBlock(aTrans, bfhaBlockAccess->HeaderBlock(), bfhaBlockAccess->ID(), bfhaIsDirty,
                                     bfhaRelease);
}

void TmvBaseFileHeaderAccess::MarkDirty(TmvBaseTransaction* aTrans) {
  if (bfhaMainHeader) bfhaMainHeader->MarkDirty(aTrans);
  if (bfhaIsDirty) return;
  ReleaseHeader();
  bfhaIsDirty = true;
  bfhaTrans = aTrans;
  LoadHeader(aTrans);
}

TmvLSN TmvBaseFileHeaderAccess::GetCurrentLSN() const { return mvBchLSN(Header); }

void TmvBaseFileHeaderAccess::RequireDirty() const {
  if (!bfhaIsDirty) RaiseError(MVERR_WRITEERR);
}

void TmvBaseFileHeaderAccess::RaiseError(int32_t aCode, const String& aText) const {
  ThrowError(aCode, aText);
  MV_ASSERT(!"ThrowError returned");
}

void TmvBaseFileHeaderAccess::ThrowError(int32_t aCode, const String& aText) const {
  if (aText.empty()) throw EmvFileHeaderAccessException(aCode);
  throw EmvFileHeaderAccessException(aCode, aText);
}

void TmvBaseFileHeaderAccess::ChangePassword(const String&) {
  RaiseError(MVERR_NOTSUPPORTED, Format(u"%s not supported by %s", {u"ChangePassword", ClassName()}));
}

uint32_t TmvCommonFileHeaderAccess::GetUsedBlocks() {
  return bfhaMainHeader ? bfhaMainHeader->GetUsedBlocks() : mvGetU32(Header, mvHeaderUsedBlocksOffset);
}

uint32_t TmvCommonFileHeaderAccess::GetAvailableBlocks() {
  return bfhaMainHeader ? bfhaMainHeader->GetAvailableBlocks() : mvGetU32(Header, mvHeaderFreeCountOffset);
}

void TmvCommonFileHeaderAccess::CheckBlockNumber(TmvBlockNumber aNumber) {
  if (aNumber == 0 || aNumber >= GetUsedBlocks()) RaiseError(MVERR_HEADERCORRUPT);
}

uint8_t* TmvCommonFileHeaderAccess::AppendBlock(TmvBaseTransaction* aTrans, TmvReleaseMethod& aReleaseMethod) {
  TmvBaseFile* file = bfhaHeaderFile;
  const uint32_t used = mvGetU32(Header, mvHeaderUsedBlocksOffset);
  // Block 0 is the header itself: a count of 0 would hand it out.
  if (used == 0) RaiseError(MVERR_HEADERCORRUPT);
  // The last number means "none" in the free-block fields.
  if (used == file->fiMaxBlocks || used == mvNoBlock) RaiseError(MVERR_TABLEFULL);
  uint8_t* block = AddFreshBlock(aTrans, used, aReleaseMethod);
  mvPutU32(Header, mvHeaderUsedBlocksOffset, used + 1);
  TmvBufferManagerGuard guard(file->fiBufMgr);
  file->fiTransUsedBlocks = used + 1;
  return block;
}

uint8_t* TmvCommonFileHeaderAccess::AddFreshBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aNumber,
                                                  TmvReleaseMethod& aReleaseMethod) {
  TmvBaseFile* file = bfhaHeaderFile;
  uint8_t* block = file->fiBufMgr->AddBlock(file, aTrans, aNumber, aReleaseMethod);
  // A number from the free blocks may still have its old content cached.
  std::memset(block, 0, file->BlockBytes());
  mvPutU32(block, mvBchThisBlockOffset, aNumber);
  return block;
}

// ---------------------------------------------------------------------------
// Factories: the registry

void TmvBaseFileHeaderAccessFactory::Register(const TmvFileHeaderAccessFactoryClassRef& aClass,
                                              const TmvBlockSignature& aSignature) {
  TmvFastStringListCS*& list = registry();
  if (!list) list = new TmvFastStringListCS(dupError);
  list->AddObject(signatureText(aSignature), const_cast<TmvFileHeaderAccessFactoryClassRef*>(&aClass));
}

void TmvBaseFileHeaderAccessFactory::UnRegister(const TmvFileHeaderAccessFactoryClassRef& aClass) {
  TmvFastStringListCS*& list = registry();
  if (!list) return;
  for (int32_t i = list->Count() - 1; i >= 0; --i)
    if (list->Objects(i) == &aClass) list->Delete(i);
  if (list->Count() == 0) {
    delete list;
    list = nullptr;
  }
}

TmvBaseFileHeaderAccessFactory* TmvBaseFileHeaderAccessFactory::CreateFactory(const TmvBlockSignature* aSignature,
                                                                              uint8_t* aHeader, TmvBaseFile* aFile) {
  const TmvBlockSignature signature = aSignature ? *aSignature : mvBchSignature(aHeader);
  const TmvFileHeaderAccessFactoryClassRef* cls = findFactoryClass(signature);
  if (!cls)
    throw EmvFileHeaderAccessException(MVERR_CANNOTOPENFILE,
                                       u"\"%s\" is not a MorvaDB formatted file, or its file header is corrupt",
                                       {aFile->FileName()});
  return cls->Create(aSignature, aHeader, aFile);
}

void TmvBaseFileHeaderAccessFactory::CheckValid(const TmvBlockSignature& aSignature, bool aForBuild) {
  mustFindFactoryClass(aSignature).DoCheckValid(aForBuild);
}

uint32_t TmvBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(const TmvBlockSignature& aSignature) {
  return mustFindFactoryClass(aSignature).GetAdditionalReservedSpace();
}

// ---------------------------------------------------------------------------
// Factories: the base operations

void TmvBaseFileHeaderAccessFactory::InitTableChecksum(uint8_t*, bool) {}

TmvBaseFileHeaderAccess* TmvBaseFileHeaderAccessFactory::CreateFileHeaderAccess(TmvBaseTransaction* aTrans,
                                                                                bool aMarkDirty,
                                                                                TmvBlockAccess* aBlockAccess) {
  MV_ASSERT(aBlockAccess->_File() == bfhafFile);
  TmvBaseFileHeaderAccess* access = NewFileHeaderAccess(aTrans, aMarkDirty, aBlockAccess);
  try {
    access->Open(aTrans);
  } catch (...) {
    delete access;
    throw;
  }
  return access;
}

void TmvBaseFileHeaderAccessFactory::RaiseWrongNumber(TmvBlockNumber aBlockNum, TmvBlockNumber aStored) {
  throw EmvFileHeaderAccessException(MVERR_FILECORRUPT,
                                     u"Block %d is identified as block %d in the block header in file \"%s\"",
                                     {aBlockNum, aStored, bfhafFile->FileName()});
}

void TmvBaseFileHeaderAccessFactory::VerifyID(const uint8_t* aBlock, TmvBlockNumber aBlockNum, int32_t aID) {
  const TmvBlockNumber stored = mvBchThisBlock(aBlock);
  if (stored != aBlockNum && !(aID == 0 && stored == 0)) RaiseWrongNumber(aBlockNum, stored);
}

void TmvBaseFileHeaderAccessFactory::ValidateBlock(const uint8_t* aBlock, TmvBlockNumber aBlockNum) {
  const TmvBlockNumber stored = mvBchThisBlock(aBlock);
  if (stored != aBlockNum) RaiseWrongNumber(aBlockNum, stored);
}

int32_t TmvBaseFileHeaderAccessFactory::GetID(const uint8_t*) { return 0; }

uint32_t TmvBaseFileHeaderAccessFactory::GetUsedBlocks(const uint8_t* aHeader) {
  return mvGetU32(aHeader, mvHeaderUsedBlocksOffset);
}

uint8_t* TmvBaseFileHeaderAccessFactory::GetEncryptionEngineHeader(uint8_t*) { return nullptr; }
uint8_t* TmvBaseFileHeaderAccessFactory::GetTableChecksum(uint8_t*) { return nullptr; }

// ---------------------------------------------------------------------------
// The shared part of both formats

void TmvCommonFileHeaderAccessFactory::ReadHeader(const uint8_t* aHeader) {
  TmvBaseFile* file = bfhafFile;
  const uint8_t sizeCode = aHeader[mvHeaderBlockSizeOffset];
  if (!mvIsFileBlockSize(sizeCode)) throw EmvFileHeaderAccessException(MVERR_HEADERCORRUPT);
  file->fiBlockSize = static_cast<TmvBlockSize>(sizeCode);
  file->fiBlockSizeBytes = mvGetU32(aHeader, mvHeaderUsableSizeOffset);
  file->fiUsedBlocks = mvGetU32(aHeader, mvHeaderUsedBlocksOffset);
  file->fiMorvaVersion = static_cast<int32_t>(mvGetU32(aHeader, mvHeaderVersionOffset));
  file->fiEncryptionEngineName = readEngineName(aHeader, mvHeaderEncryptionNameOffset);
  file->fiStreamEngineName = readEngineName(aHeader, mvHeaderStreamNameOffset);
}

void TmvCommonFileHeaderAccessFactory::WriteCommonHeader(uint8_t* aHeader, const TmvBlockSignature& aSignature,
                                                         uint32_t aAdditional) {
  TmvBaseFile* file = bfhafFile;
  fitEngineName(file->fiEncryptionEngineName);
  fitEngineName(file->fiStreamEngineName);
  const uint32_t reserve =
      TmvBaseEncryptionEngine::ReservedSpacePerBlock(file->fiEncryptionEngineName, false, file->fiBlockSize);
  const uint32_t usable = file->BlockBytes() - reserve - aAdditional;
  std::memset(aHeader, 0, file->BlockBytes());
  std::memcpy(aHeader, aSignature.data(), 4);
  aHeader[mvHeaderBlockSizeOffset] = file->fiBlockSize;
  mvPutU32(aHeader, mvHeaderUsableSizeOffset, usable);
  writeEngineName(aHeader, mvHeaderEncryptionNameOffset, file->fiEncryptionEngineName);
  writeEngineName(aHeader, mvHeaderStreamNameOffset, file->fiStreamEngineName);
  mvPutU32(aHeader, mvHeaderUsedBlocksOffset, 1);
  mvPutU32(aHeader, mvHeaderFreeCountOffset, 0);
  mvPutU32(aHeader, mvHeaderFirstFreeOffset, mvHeaderNoBlock);
  mvPutU32(aHeader, mvHeaderVersionOffset, static_cast<uint32_t>(file->fiMorvaVersion));
  file->fiBlockSizeBytes = usable;
  TmvBufferManagerGuard guard(file->fiBufMgr);
  file->fiUsedBlocks = 1;
  if (file->fiTrans) file->fiTransUsedBlocks = 1;
}
