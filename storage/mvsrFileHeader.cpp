// Storage: the header-access factory base and its registry. See
// mvsrFileHeader.h.
#include "storage/mvsrFileHeader.h"

#include "foundation/mvllErrors.h"
#include "foundation/mvllFastStringList.h"
#include "storage/mvsrBaseFile.h"

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

}  // namespace

void TmvBaseFileHeaderAccess::ChangePassword(const String&) {
  throw EmvFileHeaderAccessException(MVERR_NOTSUPPORTED, u"%s not supported by %s", {u"ChangePassword", ClassName()});
}

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
  TmvFastStringListCS* list = registry();
  if (!list) throw EmvFileHeaderAccessException(MVERR_NOHEADERACCESSFACTORIES);
  const TmvBlockSignature signature = aSignature ? *aSignature : mvBchSignature(aHeader);
  int32_t index = -1;
  if (!list->Find(signatureText(signature), index))
    throw EmvFileHeaderAccessException(MVERR_CANNOTOPENFILE,
                                       u"\"%s\" is not a MorvaDB formatted file, or its file header is corrupt",
                                       {aFile->FileName()});
  auto* cls = static_cast<const TmvFileHeaderAccessFactoryClassRef*>(list->Objects(index));
  return cls->Create(aSignature, aHeader, aFile);
}

void TmvBaseFileHeaderAccessFactory::InitTableChecksum(uint8_t*, bool) {}

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
