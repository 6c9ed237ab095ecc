// Storage: the temporary storage interface and the null storage. See
// mvsrTempStorage.h.
#include "storage/cache/mvsrTempStorage.h"

#include "foundation/errors/mvllErrors.h"

namespace {

void addKbyte(TStrings* aList, int64_t aBytes) { aList->Add(IntToStr(aBytes / 1024) + u" kbyte"); }

[[noreturn]] void notSupported(const char16_t* aOperation, const TmvBaseTempStorage* aStorage) {
  throw EmvTempStorageException(MVERR_NOTSUPPORTED, u"%s is not supported by %s",
                                {aOperation, aStorage->ClassType().Name()});
}

TmvBaseTempStorage* createNull(const String&) { return new TmvNullTempStorage(); }

}  // namespace

std::atomic<const TmvTempStorageClassRef*> mvTempStorageClass{nullptr};

void TmvBaseTempStorage::GetStatsCaptions(TStrings* aList) {
  aList->Add(u"Temporary Storage Total Size");
  aList->Add(u"Temporary Storage Used Size");
}

void TmvBaseTempStorage::GetStatsValues(TStrings* aList) {
  addKbyte(aList, GetSize());
  addKbyte(aList, GetInUse());
}

void TmvBaseTempStorage::GetStatsValuesStatic(TStrings* aList) {
  addKbyte(aList, 0);
  addKbyte(aList, 0);
}

constinit const TmvTempStorageClassRef TmvNullTempStorage::StaticClass{
    {u"TmvNullTempStorage", nullptr}, &createNull, &TmvBaseTempStorage::GetStatsCaptions,
    &TmvBaseTempStorage::GetStatsValuesStatic};

void TmvNullTempStorage::ReadBlock(TmvBlockTmpNum, TmvBlockSizeAll, void*) { notSupported(u"ReadBlock", this); }
void TmvNullTempStorage::PeekBlock(TmvBlockTmpNum, TmvBlockSizeAll, void*) { notSupported(u"PeekBlock", this); }
void TmvNullTempStorage::ReleaseBlock(TmvBlockTmpNum, TmvBlockSizeAll) { notSupported(u"ReleaseBlock", this); }
TmvBlockTmpNum TmvNullTempStorage::WriteBlock(const void*, TmvBlockSizeAll) { notSupported(u"WriteBlock", this); }
