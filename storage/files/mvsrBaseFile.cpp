// Storage: the block file base class, block 0 and the block walks. See
// mvsrBaseFile.h.
#include "storage/files/mvsrBaseFile.h"

#include <filesystem>
#include <optional>

#include "foundation/errors/mvllErrors.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrEncryption.h"
#include "storage/files/mvsrFileUtils.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrLog.h"
#include "storage/transactions/mvsrTransaction.h"

std::atomic<const TmvFileClassRef*> TableFileInfoClass{nullptr};
std::atomic<const TmvFileClassRef*> DefaultFileInfoClass{nullptr};

namespace {

// The absolute folder of a file name, with a trailing "/" (empty for a
// name without one: such a file does not open).
String folderOf(const String& aName) {
  const std::filesystem::path p(UTF8Encode(mvAbsoluteFileName(aName)));
  if (!p.is_absolute()) return String();
  std::string folder = p.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return UTF8ToString(folder);
}

String namePart(const String& aName) {
  const size_t slash = aName.find_last_of(u'/');
  return slash == String::npos ? aName : aName.substr(slash + 1);
}

[[noreturn]] void corruptHeader() { throw EmvFileHeaderAccessException(MVERR_HEADERCORRUPT); }

}  // namespace

TmvBaseFile* TmvBaseFile::Alloc(bool aForTable, const String& aName, TmvBufferManager* aBufMgr) {
  const TmvFileClassRef* cls = aForTable ? TableFileInfoClass.load(std::memory_order_acquire) : nullptr;
  if (!cls) cls = DefaultFileInfoClass.load(std::memory_order_acquire);
  MV_ASSERT(cls != nullptr);
  TmvBaseFile* file = cls->Create();
  try {
    file->fiName = aName;
    file->fiPath = folderOf(aName);
    file->fiBufMgr = aBufMgr;
  } catch (...) {
    delete file;
    throw;
  }
  return file;
}

TmvBaseFile::~TmvBaseFile() {
  if (fiBlockListHead && fiBufMgr) {
    mvStorageLogError(u"File \"" + fiName + u"\" was freed while the block cache still held blocks of it");
    try {
      fiBufMgr->RemoveFile(this);
    } catch (...) {
      mvStorageLogError(u"Removing the file from the block cache failed: " + mvCurrentExceptionText());
    }
  }
  try {
    mvFreeFileSnapShotLinks(this);
  } catch (...) {
    mvStorageLogError(u"Freeing the snapshot links of a file failed: " + mvCurrentExceptionText());
  }
  FreeHeaderObjects();
}

void TmvBaseFile::FreeHeaderObjects() {
  mvFreeAndNil(fiEncryptionEngine);
  mvFreeAndNil(fiHeaderAccessFactory);
}

String TmvBaseFile::ExpandRelativeFileName(const String& aFileName) {
  size_t first = 0;
  size_t last = aFileName.size();
  while (first < last && aFileName[first] <= u' ') ++first;
  while (last > first && aFileName[last - 1] <= u' ') --last;
  String name = aFileName.substr(first, last - first);
  if (!name.empty() && name[0] == u'/') return name;
  return folderOf(fiPath + u"x") + name;  // fiPath, made absolute again
}

String TmvBaseFile::FileName() const { return IsTemporary() ? String(u"(memory)") : fiPath + namePart(fiName); }

String TmvBaseFile::GetFileID() {
  // A 64-bit address needs 16 digits to stay unique.
  if (IsTemporary()) return IntToHex(reinterpret_cast<uintptr_t>(this), 16);
  return fiPath + namePart(fiName);
}

int64_t TmvBaseFile::PhysicalBlockCount() { return FileSize() >> BlockShift(); }

const uint8_t* TmvBaseFile::ReadBlockForWalk(int64_t aOffset, uint8_t* aBuffer, bool aDecrypt,
                                             TmvByteArray& aCookie) {
  try {
    if (aDecrypt) ReadDecryptFileExactAt(aOffset, BlockBytes(), aBuffer, aCookie);
    else ReadFileExactAt(aOffset, BlockBytes(), aBuffer);
    return aBuffer;
  } catch (...) {
    mvStorageLogError(u"Block walk of \"" + fiName + u"\": " + mvCurrentExceptionText());
    return nullptr;
  }
}

TmvBlockIteratorResult TmvBaseFile::WalkBlocks(void* aCookie, bool aDecrypt, const TmvBlockCookieIterator& aIterator) {
  TmvBlockBuffer buffer(fiBlockSize);
  const int64_t count = std::min<int64_t>(PhysicalBlockCount(), int64_t(mvNoBlock) + 1);
  for (int64_t n = 0; n < count; ++n) {
    TmvByteArray cookie;
    const uint8_t* block = ReadBlockForWalk(n << BlockShift(), buffer.get(), aDecrypt, cookie);
    if (aIterator(aCookie, TmvBlockNumber(n), block, cookie) == birStop) return birStop;
  }
  return birContinue;
}

TmvBlockIteratorResult TmvBaseFile::IterateBlockCookies(void* aCookie, const TmvBlockCookieIterator& aIterator) {
  return WalkBlocks(aCookie, true, [&](void* c, TmvBlockNumber n, const uint8_t* b, const TmvByteArray& k) {
    return aIterator ? aIterator(c, n, b, k) : birContinue;
  });
}

TmvBlockIteratorResult TmvBaseFile::IterateBlocks(void* aCookie, const TmvBlockIterator& aIterator) {
  return WalkBlocks(aCookie, true, [&](void* c, TmvBlockNumber n, const uint8_t* b, const TmvByteArray&) {
    return aIterator ? aIterator(c, n, b) : birContinue;
  });
}

TmvBlockIteratorResult TmvBaseFile::IterateBlocksRaw(void* aCookie, const TmvBlockIterator& aIterator) {
  return WalkBlocks(aCookie, false, [&](void* c, TmvBlockNumber n, const uint8_t* b, const TmvByteArray&) {
    return aIterator ? aIterator(c, n, b) : birContinue;
  });
}

void TmvBaseFile::fiUpdateTableChecksum(uint8_t* aHeader) {
  MV_ASSERT(fiEncryptionEngine != nullptr && fiChecksum.size() == fiEncryptionEngine->beeChecksumSize());
  MV_ASSERT(fiCheckSumSize <= fiChecksum.size());
  if (uint8_t* area = fiHeaderAccessFactory->GetTableChecksum(aHeader))
    std::memcpy(area, fiChecksum.data(), fiCheckSumSize);
}

// ---------------------------------------------------------------------------
// Block 0

void TmvBaseFile::CheckHeaderFields() {
  // Each of these becomes a shift, a size or a bound of block numbers.
  if (!mvIsFileBlockSize(fiBlockSize)) corruptHeader();
  // The usable area is the block less a few bytes of the header format and
  // the encryption engine.
  if (fiBlockSizeBytes > BlockBytes() || fiBlockSizeBytes < BlockBytes() / 2) corruptHeader();
  // Commit grows the file before it writes the header that counts the new
  // blocks, so a sound header never counts more blocks than the file has.
  if (fiUsedBlocks == 0) corruptHeader();
  if (!IsTemporary() && int64_t(fiUsedBlocks) > PhysicalBlockCount()) corruptHeader();
}

int32_t TmvBaseFile::CreateEncryptionEngine(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating,
                                            bool& aIsReadOnly) {
  mvFreeAndNil(fiEncryptionEngine);
  if (fiEncryptionEngineName.empty()) return 0;
  uint8_t* engineHeader = fiHeaderAccessFactory->GetEncryptionEngineHeader(aHeader);
  int32_t result = TmvBaseEncryptionEngine::CreateEngine(fiEncryptionEngineName, aPasswords, engineHeader, aCreating,
                                                         fiForServer, fiEncryptionEngine);
  if (result == MVERR_TABLEREADONLY) {
    aIsReadOnly = true;
    result = 0;
  }
  if (result == 0 && fiEncryptionEngine) fiHeaderAccessFactory->InitTableChecksum(aHeader, aCreating);
  return result;
}

int32_t TmvBaseFile::ReadHeader(const TmvUnicodeStrings& aPasswords, bool& aIsReadOnly) {
  aIsReadOnly = false;
  mvFreeAndNil(fiHeaderAccessFactory);
  // The first 4 KB name the format and the block size; a larger block is
  // read again whole into a buffer of its size.
  TmvBlockBuffer first(mvbs4k);
  std::optional<TmvBlockBuffer> whole;
  uint8_t* header = first.get();
  ReadFileExactAt(0, 4096, header);
  std::memcpy(fiHeaderSignature.data(), header, 4);
  try {
    fiHeaderAccessFactory = TmvBaseFileHeaderAccessFactory::CreateFactory(nullptr, header, this);
    CheckHeaderFields();
    if (BlockBytes() > 4096) {
      whole.emplace(fiBlockSize);
      header = whole->get();
      ReadFileExactAt(0, BlockBytes(), header);
    }
    int32_t result = 0;
    if (fiMorvaVersion > mvMorvaVersion) {
      // Version numbers keep their point whatever the process's number format.
      TFormatSettings point = DefaultFormatSettings();
      point.DecimalSeparator = u'.';
      const String text = Format(
          u"Table \"%s\" was created with version %5.4f of MorvaDB, which is newer than this server's version (%5.4f).",
          {FileName(), fiMorvaVersion / 10000.0, mvMorvaVersion / 10000.0}, point);
      result = EmvBaseException::mvSetMessage(MVERR_NEWERTABLEVERSION, text);
    } else {
      fiMaxBlocks = static_cast<uint32_t>(std::min<int64_t>(0xFFFFFFFF, CalcMaxFileSize() >> BlockShift()));
      result = CreateEncryptionEngine(aPasswords, header, false, aIsReadOnly);
      if (result == 0 && fiEncryptionEngine) fiEncryptionEngine->VerifyHeaderChecksum(header, BlockBytes());
    }
    if (result != 0) FreeHeaderObjects();
    return result;
  } catch (...) {
    FreeHeaderObjects();
    throw;
  }
}

int32_t TmvBaseFile::AddHeader(TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords,
                               const TmvBlockSignature& aSignature) {
  TmvReleaseMethod release;
  uint8_t* header = fiBufMgr->AddBlock(this, aTrans, 0, release);
  try {
    mvFreeAndNil(fiHeaderAccessFactory);
    fiHeaderSignature = aSignature;
    fiHeaderAccessFactory = TmvBaseFileHeaderAccessFactory::CreateFactory(&aSignature, header, this);
    bool readOnly = false;
    const int32_t result = CreateEncryptionEngine(aPasswords, header, true, readOnly);
    release(header);
    return result;
  } catch (...) {
    release(header);
    throw;
  }
}
