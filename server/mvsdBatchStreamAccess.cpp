// Server engine: the record-batch stream and its reader. See
// mvsdBatchStreamAccess.h.
#include "server/mvsdBatchStreamAccess.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllLists.h"
#include "platform/Numeric.h"
#include "server/mvsdAbstractCursor.h"

namespace {

constexpr TmvRecordGetBatchExOptions OptionBit(TmvRecordGetBatchExOption aOption) {
  return TmvRecordGetBatchExOptions(1u << aOption);
}

// The 6-byte entries of a cached record's BLOB offsets list.
uint32_t ListOffset(const uint8_t* aEntry) { return LoadLE32(aEntry); }
uint16_t ListFieldNo(const uint8_t* aEntry) { return LoadLE16(aEntry + 4); }

// A record the client holds: its info, its place in the client's list and
// the BLOB numbers it holds of it.
struct Candidate {
  TmvRecordCacheInfo Info;
  int32_t Index;
  const TmvRecordCacheInfoBlobInfo* BlobInfo;
  bool Matched;
};

// The BLOB-number list of each client position (nil entries without
// them).
std::vector<const TmvRecordCacheInfoBlobInfo*> BlobInfosByPosition(const TmvRecordCacheInfoBlobInfo* aBlobInfos,
                                                                   size_t aCount) {
  std::vector<const TmvRecordCacheInfoBlobInfo*> result(aCount, nullptr);
  const TmvRecordCacheInfoBlobInfo* info = aBlobInfos;
  for (size_t i = 0; i < aCount && info; ++i) {
    result[i] = info;
    mvNextRecordCacheInfoBlobInfo(info);
  }
  return result;
}

}  // namespace

// Client infos ordered by RefNr (signed, ascending).
class TmvBatchStreamAccess::TmvCacheInfoSortedList : public TmvSortedList {
 public:
  int8_t Compare(void* aItem1, void* aItem2) const override {
    const TmvRefNr a = static_cast<Candidate*>(aItem1)->Info.rciRefNr;
    const TmvRefNr b = static_cast<Candidate*>(aItem2)->Info.rciRefNr;
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  Candidate* FindRefNr(TmvRefNr aRefNr) const {
    Candidate probe{{aRefNr, 0}, 0, nullptr, false};
    int32_t index;
    return Find(&probe, index) ? static_cast<Candidate*>(blGet(index)) : nullptr;
  }
};

// BLOB numbers (signed, ascending).
class TmvBatchStreamAccess::TmvBlobNrSortedList : public TmvSortedList {
 public:
  // The numbers of a client's list for one record (none for nil).
  explicit TmvBlobNrSortedList(const TmvRecordCacheInfoBlobInfo* aBlobInfo) {
    const uint16_t count = aBlobInfo ? mvBlobInfoCount(aBlobInfo) : 0;
    bnNumbers.reserve(count);
    for (uint16_t i = 0; i < count; ++i) bnNumbers.push_back(mvBlobInfoBlobNr(aBlobInfo, i));
    for (TmvBlobNr& n : bnNumbers) Add(&n);
  }
  int8_t Compare(void* aItem1, void* aItem2) const override {
    const TmvBlobNr a = *static_cast<TmvBlobNr*>(aItem1);
    const TmvBlobNr b = *static_cast<TmvBlobNr*>(aItem2);
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  bool Holds(TmvBlobNr aBlobNr) const {
    int32_t index;
    return Find(&aBlobNr, index);
  }
  size_t Given() const { return bnNumbers.size(); }

 private:
  std::vector<TmvBlobNr> bnNumbers;
};

TmvIndexedRecordCacheInfo mvBatchEntryCacheInfo(const TmvBatchStreamEntry& aEntry) {
  TmvIndexedRecordCacheInfo info;
  info.irciRefNr = LoadLE<int64_t>(aEntry.bseCacheInfo);
  info.irciModifyLSN = LoadLE<int64_t>(aEntry.bseCacheInfo + 8);
  info.irciIndex = LoadLE<int32_t>(aEntry.bseCacheInfo + 16);
  return info;
}

void mvBatchWriteHeader(TmvMemoryStream& aStream, uint32_t aInnerError, int32_t aCount) {
  MV_ASSERT(aStream.GetSize() >= int64_t(mvBatchHeaderSize));
  auto* header = static_cast<uint8_t*>(aStream.Memory());
  StoreLE32(header, aInnerError);
  StoreLE<int32_t>(header + 4, aCount);
}

// ---------------------------------------------------------------------------
// Construction

TmvBatchStreamAccess::TmvBatchStreamAccess(TmvAbstractCursor* aCursor, TmvRecordGetBatchExOptions aOptions,
                                           TmvMemoryStream* aStream)
    : bsaCursor(aCursor), bsaFields(aCursor->FieldsDescriptor()) {
  bsaFields->HasBlobFields(bsaBlobFields);
  if (bsaBlobFields.empty()) aOptions &= TmvRecordGetBatchExOptions(~OptionBit(gboBlobs));
  if (!mvInSet(aOptions, gboBlobs)) aOptions &= TmvRecordGetBatchExOptions(~OptionBit(gboBlobNrs));
  if (mvInSet(aOptions, gboBlobs) && mvInSet(aOptions, gboBlobsOnlyMarked)) bsaMarkedBlobs = aCursor->MarkedBlobs();
  bsaOptions = aOptions;
  bsaRecordLength = uint32_t(bsaFields->RecordLength());
  if (mvInSet(aOptions, gboBookmarks)) mvCheckErrorCode(aCursor->sbcGetBookmarkSize(bsaBookmarkSize));
  // Ownership of a given stream passes only once nothing can fail.
  std::unique_ptr<TmvMemoryStream> created(aStream ? nullptr : new TmvMemoryStream());
  bsaStream = aStream ? aStream : created.release();
  Reset(false);
}

TmvBatchStreamAccess::~TmvBatchStreamAccess() { delete bsaStream; }

// ---------------------------------------------------------------------------
// Reading

int32_t TmvBatchStreamAccess::GetCount() const {
  if (bsaStream->GetSize() < int64_t(mvBatchHeaderSize)) return 0;
  return LoadLE<int32_t>(static_cast<const uint8_t*>(bsaStream->Memory()) + 4);
}

uint32_t TmvBatchStreamAccess::GetInnerError() const {
  if (bsaStream->GetSize() < int64_t(mvBatchHeaderSize)) return 0;
  return LoadLE32(bsaStream->Memory());
}

void TmvBatchStreamAccess::SetInnerError(uint32_t aValue) {
  if (bsaStream->GetSize() >= int64_t(mvBatchHeaderSize)) StoreLE32(bsaStream->Memory(), aValue);
}

void* TmvBatchStreamAccess::GetMemory(const TmvBatchStreamAccess* aAccess) {
  return aAccess ? aAccess->bsaStream->Memory() : nullptr;
}

int64_t TmvBatchStreamAccess::GetSize(const TmvBatchStreamAccess* aAccess) {
  return aAccess ? aAccess->bsaStream->GetSize() : 0;
}

uint32_t TmvBatchStreamAccess::InvalidCount() const { return bsaInvalidCount ? LoadLE32(bsaInvalidCount) : 0; }

TmvRecordCacheInfo TmvBatchStreamAccess::InvalidInfo(uint32_t aIndex) const {
  MV_ASSERT(aIndex < InvalidCount());
  const uint8_t* item = bsaInvalidInfos + size_t(aIndex) * mvBatchInvalidInfoSize;
  return TmvRecordCacheInfo{LoadLE<int64_t>(item), LoadLE<int64_t>(item + 8)};
}

void TmvBatchStreamAccess::FindInvalidList(const uint8_t* aPos) {
  bsaInvalidCount = bsaInvalidInfos = nullptr;
  if (!aPos || aPos < bsaStart || aPos > bsaEnd) return;
  const uint64_t remaining = uint64_t(bsaEnd - aPos);
  if (remaining <= 4) return;
  const uint64_t count = LoadLE32(aPos);
  if (4 + count * mvBatchInvalidInfoSize > remaining) return;
  bsaInvalidCount = const_cast<uint8_t*>(aPos);
  bsaInvalidInfos = const_cast<uint8_t*>(aPos) + 4;
}

bool TmvBatchStreamAccess::Reset(bool aApplyClientFilter) {
  bsaInvalidCount = bsaInvalidInfos = nullptr;
  bsaCurrentIndex = -1;
  bsaCheckFilter = false;
  const int64_t size = bsaStream->GetSize();
  if (size < int64_t(mvBatchHeaderSize)) {
    bsaStart = bsaEnd = bsaCurrentEntry = nullptr;
    return false;
  }
  bsaStart = static_cast<uint8_t*>(bsaStream->Memory());
  bsaEnd = bsaStart + size;
  bsaCurrentEntry = bsaStart + mvBatchHeaderSize;
  const int32_t count = GetCount();
  if (count <= 0) {
    FindInvalidList(bsaCurrentEntry);
    bsaCurrentEntry = nullptr;
  }
  // Only a remote cursor filters on the client side; none is remote here.
  bsaCheckFilter = aApplyClientFilter && count > 0 && bsaCursor->GetIsRemote() && bsaCursor->HasActiveLocalFilter();
  return count > 0;
}

bool TmvBatchStreamAccess::DecodeEntry(uint8_t* aPos, TmvBatchStreamEntry& aEntry) {
  aEntry = TmvBatchStreamEntry{};
  if (aPos < bsaStart + mvBatchHeaderSize || aPos >= bsaEnd || bsaEnd - aPos < 4) return false;
  const uint32_t word = LoadLE32(aPos);
  const uint32_t size = word & mvBatchSizeMask;
  if (uint64_t(size) > uint64_t(bsaEnd - aPos) - 4) return false;
  uint32_t result = 0;
  uint8_t* data = aPos + 4;
  uint32_t dataLength = size;
  if (word & mvBatchResultFlag) {
    if (size < 4) return false;
    result = LoadLE32(aPos + 4);
    data += 4;
    dataLength -= 4;
  }
  aEntry.bseBatchAccess = this;
  aEntry.bseStreamBase = bsaStart;
  aEntry.bseEntryBase = aPos;
  aEntry.bseSize = size;
  aEntry.bseResult = result;
  aEntry.bseEnd = aPos + 4 + size;
  if (result == mvBatchCachedRecord) {
    // A cached record is only read as one when its info fits the entry.
    if (dataLength >= mvBatchCacheInfoSize) {
      aEntry.bseCacheInfo = data;
      if (HasOption(gboBlobs) && dataLength >= mvBatchCacheInfoSize + mvBatchBlobOffsetSize &&
          ListOffset(data + mvBatchCacheInfoSize) != 0)
        aEntry.bseBlobOffsets = data + mvBatchCacheInfoSize;
    }
  } else if (result == 0) {
    const uint64_t needed = uint64_t(bsaRecordLength) + (HasOption(gboBookmarks) ? bsaBookmarkSize : 0);
    if (dataLength < needed) {
      aEntry = TmvBatchStreamEntry{};
      return false;
    }
    aEntry.bseRecord = data;
    if (HasOption(gboBookmarks)) aEntry.bseBookmark = data + bsaRecordLength;
  }
  return true;
}

bool TmvBatchStreamAccess::Next(TmvBatchStreamEntry& aEntry, int32_t* aPos, int32_t* aTotalPos) {
  while (bsaCurrentEntry) {
    uint8_t* position = bsaCurrentEntry;
    if (!DecodeEntry(position, aEntry)) {
      bsaCurrentEntry = nullptr;
      break;
    }
    bsaCurrentEntry = aEntry.bseEnd < bsaEnd ? aEntry.bseEnd : nullptr;
    ++bsaCurrentIndex;
    if (aPos) ++*aPos;
    if (aTotalPos) ++*aTotalPos;
    if (bsaCurrentIndex + 1 >= GetCount()) {
      FindInvalidList(aEntry.bseEnd);
      bsaCurrentEntry = nullptr;
    }
    if (bsaCheckFilter && aEntry.bseRecord && !bsaCursor->FilterMatchesBuffer(aEntry.bseRecord)) continue;
    return true;
  }
  aEntry = TmvBatchStreamEntry{};
  return false;
}

void TmvBatchStreamAccess::Clear(bool aKeepError) {
  const uint32_t innerError = GetInnerError();
  if (aKeepError && innerError != 0) {
    bsaStream->SetSize(mvBatchHeaderSize);
    mvBatchWriteHeader(*bsaStream, innerError, 0);
  } else {
    bsaStream->SetSize(0);
  }
  bsaStream->SetPosition(bsaStream->GetSize());
  Reset(false);
}

// ---------------------------------------------------------------------------
// BLOB parts

int32_t TmvBatchStreamAccess::BlobIndexOf(int32_t aFieldNo) const {
  const auto found = std::find(bsaBlobFields.begin(), bsaBlobFields.end(), aFieldNo);
  return found == bsaBlobFields.end() ? -1 : int32_t(found - bsaBlobFields.begin());
}

bool TmvBatchStreamAccess::IsMarked(int32_t aBlobIndex) const {
  if (aBlobIndex < 0) return false;
  const size_t word = size_t(aBlobIndex) / 32;
  return word < bsaMarkedBlobs.size() && ((bsaMarkedBlobs[word] >> (aBlobIndex % 32)) & 1) != 0;
}

bool TmvBatchStreamAccess::CarriesParts(int32_t aBlobIndex) const {
  return HasOption(gboBlobs) && (!HasOption(gboBlobsOnlyMarked) || IsMarked(aBlobIndex));
}

void TmvBatchStreamAccess::ResolvePart(TmvBatchBlobAccess& aBlobAccess) {
  aBlobAccess.bbaBase = aBlobAccess.bbaBlobData = nullptr;
  aBlobAccess.bbaSize = aBlobAccess.bbaResult = 0;
  const uint64_t offset = aBlobAccess.bbaOffset;
  const uint64_t size = bsaStart ? uint64_t(bsaEnd - bsaStart) : 0;
  if (offset < mvBatchHeaderSize || offset + 4 > size) {
    aBlobAccess.bbaResult = MVERR_INVALIDPARAM;
    return;
  }
  uint8_t* base = bsaStart + offset;
  const uint32_t word = LoadLE32(base);
  const uint32_t length = word & mvBatchSizeMask;
  const uint64_t dataEnd = offset + 4 + length;
  aBlobAccess.bbaBase = base;
  aBlobAccess.bbaSize = length;
  if (dataEnd > size) {
    aBlobAccess.bbaResult = MVERR_INVALIDPARAM;
    return;
  }
  if (word & mvBatchResultFlag)
    aBlobAccess.bbaResult = length < 4 ? uint32_t(MVERR_EXCEPTIONWITHOUTCODE) : LoadLE32(base + 4);
  else
    aBlobAccess.bbaBlobData = base + 4;
  if (HasOption(gboBlobNrs)) {
    if (dataEnd + 8 > size) {
      aBlobAccess.bbaBlobData = nullptr;
      aBlobAccess.bbaResult = MVERR_INVALIDPARAM;
      return;
    }
    aBlobAccess.bbaBlobNr = LoadLE<int64_t>(bsaStart + dataEnd);
  }
}

bool TmvBatchStreamAccess::GetBlobAccess(const TmvBatchStreamEntry& aEntry, int32_t aFieldNo,
                                         TmvBatchBlobAccess& aBlobAccess) {
  aBlobAccess = TmvBatchBlobAccess{};
  aBlobAccess.bbaFieldNo = uint16_t(aFieldNo);
  if (!aEntry.bseRecord) {
    aBlobAccess.bbaResult = aEntry.bseResult != 0 ? aEntry.bseResult : uint32_t(MVERR_NOCURRREC);
    return false;
  }
  if (aFieldNo < 0 || aFieldNo >= bsaFields->FieldCount() ||
      !mvIsBlobFieldType(bsaFields->FieldDescriptor(aFieldNo)->FieldType())) {
    aBlobAccess.bbaResult = MVERR_NOTABLOB;
    return false;
  }
  bool isNull = true;
  int64_t value = 0;
  bsaFields->GetRecordField(aFieldNo, aEntry.bseRecord, isNull, &value);
  if (isNull || value == 0) return false;
  if (CarriesParts(BlobIndexOf(aFieldNo))) {
    if (value < 0 || value > int64_t(UINT32_MAX)) {
      aBlobAccess.bbaResult = MVERR_INVALIDPARAM;
      return true;
    }
    aBlobAccess.bbaOffset = uint32_t(value);
    ResolvePart(aBlobAccess);
    return true;
  }
  aBlobAccess.bbaBlobNr = value;
  return true;
}

bool TmvBatchStreamAccess::GetBlobAccess(const TmvBatchStreamEntry& aEntry, const uint8_t* aBlobOffset,
                                         TmvBatchBlobAccess& aBlobAccess) {
  aBlobAccess = TmvBatchBlobAccess{};
  if (!aBlobOffset) return false;
  // The list entry must lie inside the entry it belongs to.
  if (!aEntry.bseEntryBase || aBlobOffset < aEntry.bseEntryBase ||
      aBlobOffset + mvBatchBlobOffsetSize > aEntry.bseEnd) {
    aBlobAccess.bbaResult = MVERR_INVALIDPARAM;
    return false;
  }
  const uint32_t offset = ListOffset(aBlobOffset);
  if (offset == 0) return false;
  aBlobAccess.bbaOffset = offset;
  aBlobAccess.bbaFieldNo = ListFieldNo(aBlobOffset);
  ResolvePart(aBlobAccess);
  return true;
}

bool TmvBatchStreamAccess::GetBlobAccess(const TmvBatchStreamEntry&, TmvBatchBlobAccess& aBlobAccess) {
  if (aBlobAccess.bbaOffset == 0) return false;
  ResolvePart(aBlobAccess);
  return true;
}

bool TmvBatchStreamAccess::GetBlobAccesses(const TmvBatchStreamEntry& aEntry, TmvBatchBlobAccesses& aBlobAccesses,
                                           bool aEmbeddedOnly) {
  aBlobAccesses.clear();
  TmvBatchBlobAccess access;
  if (aEntry.bseRecord) {
    for (int32_t field : bsaBlobFields)
      if (GetBlobAccess(aEntry, field, access) && (!aEmbeddedOnly || access.bbaBlobData))
        aBlobAccesses.push_back(access);
  } else if (aEntry.bseBlobOffsets) {
    const uint8_t* item = aEntry.bseBlobOffsets;
    for (size_t n = 0; n < bsaBlobFields.size() && item + mvBatchBlobOffsetSize <= aEntry.bseEnd;
         ++n, item += mvBatchBlobOffsetSize) {
      if (!GetBlobAccess(aEntry, item, access)) break;
      if (!aEmbeddedOnly || access.bbaBlobData) aBlobAccesses.push_back(access);
    }
  }
  return !aBlobAccesses.empty();
}

// ---------------------------------------------------------------------------
// Rewriting

void TmvBatchStreamAccess::FixupBlobs(TmvRecordGetBatchExOptions aOrgOptions) {
  if (!HasOption(gboBlobs) || mvInSet(aOrgOptions, gboBlobs)) return;
  Reset(false);
  TmvBatchStreamEntry entry;
  TmvBatchBlobAccess access;
  while (Next(entry)) {
    if (!entry.bseRecord) continue;
    for (int32_t field : bsaBlobFields) {
      if (!CarriesParts(BlobIndexOf(field)) || !GetBlobAccess(entry, field, access)) continue;
      // A part that cannot be read gives no number: the field becomes null.
      const TmvBlobNr blobNr = access.bbaResult == uint32_t(MVERR_INVALIDPARAM) ? 0 : access.bbaBlobNr;
      bsaFields->SetRecordField(field, entry.bseRecord, blobNr == 0 ? nullptr : &blobNr);
    }
  }
  bsaOptions &=
      TmvRecordGetBatchExOptions(~(OptionBit(gboBlobs) | OptionBit(gboBlobNrs) | OptionBit(gboBlobsOnlyMarked)));
}

// The target keeps its size and takes the source's flag, result and data:
// the record and bookmark alone when the target is a cached record with an
// offsets list (its parts stay and are filled from the source) or when the
// BLOB data is to go, else the source's whole entry. BLOB fields then point
// at the target's parts, carry BLOB numbers, or have their offsets moved by
// the distance between the two entries.
bool TmvBatchStreamAccess::OverwriteEntry(TmvBatchStreamEntry& aTarget, const TmvBatchStreamEntry& aSource,
                                          TmvBatchBlobAccesses& aBlobs, bool aRemoveBlobData) {
  aBlobs.clear();
  MV_ASSERT(bsaStart && aTarget.bseEntryBase >= bsaStart + mvBatchHeaderSize && aTarget.bseEnd <= bsaEnd &&
            aTarget.bseEntryBase + 4 <= aTarget.bseEnd);
  MV_ASSERT(aSource.bseBatchAccess && aSource.bseEntryBase && aSource.bseEntryBase + 4 <= aSource.bseEnd);
  const bool targetListed = aTarget.bseResult == mvBatchCachedRecord && aTarget.bseBlobOffsets;
  TmvBatchBlobAccesses targetParts;
  if (targetListed) GetBlobAccesses(aTarget, targetParts, false);

  if (targetListed || aRemoveBlobData) {
    // The record alone, written where the target's record began, so that
    // the target's parts behind it stay untouched; a code of 0 in front of
    // the source's record says nothing a plain record does not.
    const uint32_t recordArea = bsaRecordLength + (HasOption(gboBookmarks) ? bsaBookmarkSize : 0);
    MV_ASSERT(aSource.bseRecord && aSource.bseRecord + recordArea <= aSource.bseEnd && recordArea <= aTarget.bseSize);
    std::memmove(aTarget.bseEntryBase + 4, aSource.bseRecord, recordArea);
    StoreLE32(aTarget.bseEntryBase, aTarget.bseSize);
  } else {
    const uint32_t sourceWord = LoadLE32(aSource.bseEntryBase);
    MV_ASSERT(aSource.bseSize <= aTarget.bseSize);
    std::memmove(aTarget.bseEntryBase + 4, aSource.bseEntryBase + 4, aSource.bseSize);
    StoreLE32(aTarget.bseEntryBase, aTarget.bseSize | (sourceWord & mvBatchResultFlag));
  }
  uint8_t* const targetBase = aTarget.bseEntryBase;
  if (!DecodeEntry(targetBase, aTarget) || !aTarget.bseRecord || !HasOption(gboBlobs)) {
    if (aTarget.bseEntryBase) GetBlobAccesses(aTarget, aBlobs, false);
    return false;
  }

  TmvBatchStreamAccess* source = aSource.bseBatchAccess;
  TmvBatchBlobAccess access;
  const int64_t shift =
      int64_t(aTarget.bseEntryBase - bsaStart) - int64_t(aSource.bseEntryBase - aSource.bseStreamBase);
  for (int32_t field : bsaBlobFields) {
    if (!CarriesParts(BlobIndexOf(field))) continue;
    bool isNull = true;
    int64_t value = 0;
    bsaFields->GetRecordField(field, aTarget.bseRecord, isNull, &value);
    if (isNull || value == 0) continue;
    if (aRemoveBlobData) {
      const bool located = source->GetBlobAccess(aSource, field, access);
      const TmvBlobNr blobNr = located && access.bbaResult != uint32_t(MVERR_INVALIDPARAM) ? access.bbaBlobNr : 0;
      bsaFields->SetRecordField(field, aTarget.bseRecord, blobNr == 0 ? nullptr : &blobNr);
    } else if (targetListed) {
      auto part = std::find_if(targetParts.begin(), targetParts.end(),
                               [&](const TmvBatchBlobAccess& p) { return p.bbaFieldNo == field; });
      if (part == targetParts.end() || !part->bbaBase || part->bbaResult == uint32_t(MVERR_INVALIDPARAM)) {
        bsaFields->SetRecordField(field, aTarget.bseRecord, nullptr);
        continue;
      }
      TmvBatchBlobAccess from;
      if (!part->bbaBlobData && source->GetBlobAccess(aSource, field, from) && from.bbaBlobData &&
          from.bbaSize == part->bbaSize && from.bbaBlobNr == part->bbaBlobNr) {
        // A flagged part keeps its length's room (ResolvePart checked it).
        std::memcpy(part->bbaBase + 4, from.bbaBlobData, part->bbaSize);
        StoreLE32(part->bbaBase, part->bbaSize);
        part->bbaBlobData = part->bbaBase + 4;
        part->bbaResult = 0;
        part->bbaInCache = true;
      }
      const int64_t offset = part->bbaOffset;
      bsaFields->SetRecordField(field, aTarget.bseRecord, &offset);
    } else if (shift != 0) {
      const int64_t moved = value + shift;
      bsaFields->SetRecordField(field, aTarget.bseRecord, &moved);
    }
  }
  if (targetListed)
    aBlobs = targetParts;
  else
    GetBlobAccesses(aTarget, aBlobs, false);
  return false;
}

// ---------------------------------------------------------------------------
// The client-cache check

bool TmvBatchStreamAccess::IsRecordEntry(const TmvBatchStreamEntry& aEntry, uint32_t aMinimum) {
  return aEntry.bseRecord && aEntry.bseResult == 0 && aEntry.bseSize >= aMinimum;
}

// The cached form needs the code, the 20-byte info and, for parts the
// client lacks, the offsets list inside the record area; a record too short
// for it stays a full record.
bool TmvBatchStreamAccess::RewriteAsCached(TmvBatchStreamEntry& aEntry, int32_t aIndex, const TmvRecordCacheInfo& aInfo,
                                           const TmvRecordCacheInfoBlobInfo* aBlobInfo) {
  uint8_t* const base = aEntry.bseEntryBase;
  uint8_t* const recordEnd = aEntry.bseRecord + bsaRecordLength + (HasOption(gboBookmarks) ? bsaBookmarkSize : 0);
  TmvBatchBlobAccesses parts;
  bool same = true;
  if (HasOption(gboBlobs)) {
    TmvBatchBlobAccesses all;
    GetBlobAccesses(aEntry, all, false);
    size_t embedded = 0;
    TmvBlobNrSortedList held(aBlobInfo);
    for (const TmvBatchBlobAccess& part : all) {
      if (!part.bbaBase || part.bbaResult == uint32_t(MVERR_INVALIDPARAM)) continue;
      parts.push_back(part);
      if (part.bbaBlobData) {
        ++embedded;
        if (!held.Holds(part.bbaBlobNr)) same = false;
      }
    }
    if (embedded != held.Given()) same = false;
  }
  const uint64_t needed = 4 + mvBatchCacheInfoSize + (same ? 0 : mvBatchBlobOffsetSize * (parts.size() + 1));
  if (uint64_t(recordEnd - (base + 4)) < needed) return false;
  std::memset(base + 4, 0, size_t((same ? aEntry.bseEnd : recordEnd) - (base + 4)));
  StoreLE32(base + 4, mvBatchCachedRecord);
  StoreLE<int64_t>(base + 8, aInfo.rciRefNr);
  StoreLE<int64_t>(base + 16, aInfo.rciModifyLSN);
  StoreLE<int32_t>(base + 24, aIndex);
  if (!same) {
    uint8_t* item = base + 4 + 4 + mvBatchCacheInfoSize;
    for (const TmvBatchBlobAccess& part : parts) {
      StoreLE32(item, part.bbaOffset);
      StoreLE16(item + 4, part.bbaFieldNo);
      item += mvBatchBlobOffsetSize;
    }
  }
  StoreLE32(base, aEntry.bseSize | mvBatchResultFlag);
  return same;
}

void TmvBatchStreamAccess::MarkBlobsCached(const TmvBatchStreamEntry& aEntry,
                                           const TmvRecordCacheInfoBlobInfo* aBlobInfo) {
  if (!HasOption(gboBlobs) || !aBlobInfo) return;
  TmvBlobNrSortedList held(aBlobInfo);
  TmvBatchBlobAccesses parts;
  GetBlobAccesses(aEntry, parts, true);
  for (const TmvBatchBlobAccess& part : parts) {
    if (part.bbaSize <= 4 || !held.Holds(part.bbaBlobNr)) continue;
    std::memset(part.bbaBlobData, 0, part.bbaSize);
    StoreLE32(part.bbaBlobData, mvBatchCachedRecord);
    StoreLE32(part.bbaBase, part.bbaSize | mvBatchResultFlag);
  }
}

bool TmvBatchStreamAccess::RecordGone(const TmvRecordCacheInfo& aInfo) {
  TmvLSN lsn = aInfo.rciModifyLSN;
  TmvRefNr refNr = aInfo.rciRefNr;
  const uint32_t code = bsaCursor->ContainsLSNRefNr(lsn, refNr);
  return code == uint32_t(MVERR_KEYORRECDELETED) || code == uint32_t(MVERR_RECNOTFOUND);
}

uint8_t* TmvBatchStreamAccess::EndOfEntries() {
  Reset(false);
  if (!bsaStart) return nullptr;
  uint8_t* end = bsaStart + mvBatchHeaderSize;
  TmvBatchStreamEntry entry;
  while (Next(entry)) end = entry.bseEnd;
  return end;
}

void TmvBatchStreamAccess::WriteInvalidList(const std::vector<TmvRecordCacheInfo>& aInfos) {
  if (!aInfos.empty()) {
    uint8_t* end = EndOfEntries();
    if (end) {
      const int64_t at = end - bsaStart;
      bsaStream->SetSize(at);
      bsaStream->SetPosition(at);
      uint8_t item[mvBatchInvalidInfoSize];
      StoreLE32(item, uint32_t(aInfos.size()));
      bsaStream->WriteBuffer(item, 4);
      for (const TmvRecordCacheInfo& info : aInfos) {
        StoreLE<int64_t>(item, info.rciRefNr);
        StoreLE<int64_t>(item + 8, info.rciModifyLSN);
        bsaStream->WriteBuffer(item, mvBatchInvalidInfoSize);
      }
    }
  }
  Reset(false);
}

bool TmvBatchStreamAccess::CheckCacheValid(int32_t aCacheInfosCount, const TmvRecordCacheInfo* aCacheInfos,
                                           const TmvRecordCacheInfoBlobInfo* aBlobInfos) {
  const int32_t count = aCacheInfos ? std::max(aCacheInfosCount, 0) : 0;
  const auto blobInfos = BlobInfosByPosition(HasOption(gboBlobs) ? aBlobInfos : nullptr, size_t(count));
  bool answer = count == GetCount();
  Reset(false);
  TmvBatchStreamEntry entry;
  TmvRecordCacheInfo info;
  bool stopped = false;
  int32_t position = 0;
  // In step: each entry must be the client's record at the same position.
  while (position < count && Next(entry)) {
    if (IsRecordEntry(entry, 24) && bsaCursor->ExtractCacheInfo(entry.bseRecord, info) == 0 &&
        mvRecordCacheInfoSame(info, aCacheInfos[position])) {
      if (!RewriteAsCached(entry, position, aCacheInfos[position], blobInfos[size_t(position)])) answer = false;
      ++position;
      continue;
    }
    answer = false;
    stopped = true;
    break;
  }
  if (position < count) answer = false;
  if (!stopped) {
    Reset(false);
    return answer;
  }
  // Out of step: the rest of the client's records are looked up by RefNr.
  std::vector<Candidate> candidates;
  for (int32_t i = position; i < count; ++i)
    candidates.push_back(Candidate{aCacheInfos[i], i, blobInfos[size_t(i)], false});
  TmvCacheInfoSortedList sorted;
  for (Candidate& c : candidates) sorted.Add(&c);
  bool recordSeen = false;
  do {
    if (!IsRecordEntry(entry, 24) || bsaCursor->ExtractCacheInfo(entry.bseRecord, info) != 0) continue;
    recordSeen = true;
    Candidate* candidate = sorted.FindRefNr(info.rciRefNr);
    if (!candidate || candidate->Matched) continue;
    if (candidate->Info.rciModifyLSN == info.rciModifyLSN) {
      RewriteAsCached(entry, candidate->Index, candidate->Info, candidate->BlobInfo);
      candidate->Matched = true;
    } else {
      MarkBlobsCached(entry, candidate->BlobInfo);
    }
  } while (Next(entry));
  if (!recordSeen) {
    Reset(false);
    return answer;
  }
  std::vector<TmvRecordCacheInfo> gone;
  for (int32_t i = 0; i < sorted.Count(); ++i) {
    const Candidate* c = static_cast<Candidate*>(sorted.blGet(i));
    if (!c->Matched && RecordGone(c->Info)) gone.push_back(c->Info);
  }
  WriteInvalidList(gone);
  return answer;
}

bool TmvBatchStreamAccess::CheckCacheValidSeq(const std::vector<TmvRecordCacheInfo>& aCacheInfos,
                                              const TmvRecordCacheInfoBlobInfo* aBlobInfos) {
  const auto blobInfos = BlobInfosByPosition(HasOption(gboBlobs) ? aBlobInfos : nullptr, aCacheInfos.size());
  bool answer = int64_t(aCacheInfos.size()) == GetCount();
  std::vector<TmvRecordCacheInfo> gone;
  auto offer = [&](const TmvRecordCacheInfo& aInfo) {
    if (!mvRecordCacheInfoValid(aInfo)) return;
    const uint32_t code = bsaCursor->ContainsCacheInfo(aInfo);
    if (code == uint32_t(MVERR_KEYORRECDELETED) || code == uint32_t(MVERR_RECNOTFOUND)) gone.push_back(aInfo);
  };
  Reset(false);
  TmvBatchStreamEntry entry;
  TmvRecordCacheInfo info;
  size_t i = 0;
  for (; i < aCacheInfos.size() && Next(entry); ++i) {
    const TmvRecordCacheInfo& client = aCacheInfos[i];
    if (IsRecordEntry(entry, 24) && bsaCursor->ExtractCacheInfo(entry.bseRecord, info) == 0 &&
        info.rciRefNr == client.rciRefNr) {
      if (info.rciModifyLSN == client.rciModifyLSN) {
        if (!RewriteAsCached(entry, 0, client, blobInfos[i])) answer = false;
      } else {
        MarkBlobsCached(entry, blobInfos[i]);
        answer = false;
      }
    } else if (entry.bseResult == 0 || mvRecordCacheInfoValid(client)) {
      offer(client);
      answer = false;
    }
  }
  for (; i < aCacheInfos.size(); ++i) {
    offer(aCacheInfos[i]);
    answer = false;
  }
  WriteInvalidList(gone);
  return answer;
}

void TmvBatchStreamAccess::CheckEntryForCachedBlobs(TmvBatchStreamEntry& aEntry, TmvAbstractCursor* aCache,
                                                    TmvBatchBlobAccesses& aBlobs) {
  aBlobs.clear();
  if (!aCache || !IsRecordEntry(aEntry, 0) || !HasOption(gboBlobs)) return;
  GetBlobAccesses(aEntry, aBlobs, false);
  const TmvRecID unverified{};
  for (TmvBatchBlobAccess& part : aBlobs) {
    const bool carriesCode = part.bbaBase && !part.bbaBlobData && part.bbaResult != uint32_t(MVERR_INVALIDPARAM) &&
                             part.bbaResult != uint32_t(MVERR_EXCEPTIONWITHOUTCODE);
    if (!carriesCode || part.bbaBlobNr == 0) continue;
    try {
      uint32_t length = 0;
      if (aCache->BlobGetLength(unverified, part.bbaFieldNo, part.bbaBlobNr, length, false, nullptr) != 0 ||
          length != part.bbaSize)
        continue;
      TmvMemoryStream read;
      if (aCache->BlobRead(unverified, part.bbaFieldNo, part.bbaBlobNr, 0, length, &read, false, nullptr) != 0 ||
          read.GetSize() != int64_t(length)) {
        part.bbaResult = MVERR_BLOBGENERAL;
        continue;
      }
      std::memcpy(part.bbaBase + 4, read.Memory(), length);
    } catch (...) {
      aCache->asoConvertException();
      part.bbaResult = MVERR_BLOBGENERAL;
      continue;
    }
    StoreLE32(part.bbaBase, part.bbaSize);
    part.bbaBlobData = part.bbaBase + 4;
    part.bbaResult = 0;
    part.bbaInCache = true;
  }
}
