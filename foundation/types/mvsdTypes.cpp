// Foundation: field-type name tables and lookups, shared storage records.
#include "foundation/types/mvsdTypes.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "platform/Numeric.h"

// ---------------------------------------------------------------------------
// Field-type names

const std::u16string_view mvFieldTypeNames[mvFieldTypeCount] = {
    u"Boolean",
    u"Char",
    u"Wide Char",
    u"Byte",
    u"Word16",
    u"Word32",
    u"Int8",
    u"Int16",
    u"Int32",
    u"Int64",
    u"AutoInc",
    u"Single",
    u"Double",
    u"Extended",
    u"Currency",
    u"Date",
    u"Time",
    u"DateTime",
    u"Interval",
    u"BLOB",
    u"BLOB Memo",
    u"BLOB Graphic",
    u"Byte Array",
    u"ShortString",
    u"NullString",
    u"WideString",
    u"RecRev",
    u"GUID",
    u"BCD",
    u"BLOB Wide Memo",
    u"Formatted BCD",
    u"RefNr",
};

const std::u16string_view mvFieldTypeConstNames[mvFieldTypeCount] = {
    u"mvtBoolean",
    u"mvtChar",
    u"mvtWideChar",
    u"mvtByte",
    u"mvtWord16",
    u"mvtWord32",
    u"mvtInt8",
    u"mvtInt16",
    u"mvtInt32",
    u"mvtInt64",
    u"mvtAutoInc",
    u"mvtSingle",
    u"mvtDouble",
    u"mvtExtended",
    u"mvtCurrency",
    u"mvtDate",
    u"mvtTime",
    u"mvtDateTime",
    u"mvtInterval",
    u"mvtBLOB",
    u"mvtBLOBMemo",
    u"mvtBLOBGraphic",
    u"mvtByteArray",
    u"mvtShortString",
    u"mvtNullString",
    u"mvtWideString",
    u"mvtRecRev",
    u"mvtGUID",
    u"mvtBCD",
    u"mvtBLOBWideMemo",
    u"mvtFmtBCD",
    u"mvtRefNr",
};

const std::u16string_view mvFieldTypeSQLNames[mvFieldTypeCount][3] = {
    {u"mvtBoolean", u"BOOLEAN", u"BOOLEAN"},
    {u"mvtChar", u"SINGLECHAR", u"SINGLECHAR"},
    {u"mvtWideChar", u"NSINGLECHAR", u"NSINGLECHAR"},
    {u"mvtByte", u"BYTE", u"BYTE"},
    {u"mvtWord16", u"WORD", u"WORD"},
    {u"mvtWord32", u"DWORD", u"DWORD"},
    {u"mvtInt8", u"SHORTINT", u"SHORTINT"},
    {u"mvtInt16", u"SMALLINT", u"SMALLINT"},
    {u"mvtInt32", u"INTEGER", u"INTEGER"},
    {u"mvtInt64", u"BIGINT", u"BIGINT"},
    {u"mvtAutoInc", u"AUTOINC", u"AUTOINC"},
    {u"mvtSingle", u"FLOAT", u"FLOAT"},
    {u"mvtDouble", u"DOUBLE PRECISION", u"DOUBLE PRECISION"},
    {u"mvtExtended", u"EXTENDED", u"EXTENDED"},
    {u"mvtCurrency", u"MONEY", u"MONEY"},
    {u"mvtDate", u"DATE", u"DATE"},
    {u"mvtTime", u"TIME", u"TIME"},
    {u"mvtDateTime", u"TIMESTAMP", u"TIMESTAMP"},
    {u"mvtInterval", u"", u""},
    {u"mvtBLOB", u"BINARY LARGE OBJECT", u"BINARY LARGE OBJECT"},
    {u"mvtBLOBMemo", u"CHARACTER LARGE OBJECT", u"CHARACTER LARGE OBJECT"},
    {u"mvtBLOBGraphic", u"IMAGE", u"IMAGE"},
    {u"mvtByteArray", u"BYTEARRAY", u"BYTEARRAY"},
    {u"mvtShortString", u"SHORTSTRING", u"SHORTSTRING"},
    {u"mvtNullString", u"CHARACTER", u"CHARACTER VARYING"},
    {u"mvtWideString", u"NATIONAL CHARACTER", u"NATIONAL CHARACTER VARYING"},
    {u"mvtRecRev", u"RECREV", u"RECREV"},
    {u"mvtGUID", u"GUID", u"GUID"},
    {u"mvtBCD", u"DECIMAL", u"DECIMAL"},
    {u"mvtBLOBWideMemo", u"NATIONAL CHARACTER LARGE OBJECT", u"NATIONAL CHARACTER LARGE OBJECT"},
    {u"mvtFmtBCD", u"DECIMAL", u"DECIMAL"},
    {u"mvtRefNr", u"REFNR", u"REFNR"},
};

const std::u16string_view mvParamTypeNames[5] = {u"", u"IN", u"OUT", u"INOUT", u"RESULT"};

namespace {

char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

String asciiUpperText(std::u16string_view s) {
  String out(s);
  for (char16_t& c : out) c = asciiUpper(c);
  return out;
}

struct SqlNameEntry {
  String key;  // upper-case
  TmvFieldType type;
};

// The SQL names sorted for lookup, built on first use: for each type in
// ordinal order its SQL name, then its varying form; a name already present
// keeps its first type.
const std::vector<SqlNameEntry>& sqlNameList() {
  static const std::vector<SqlNameEntry> list = [] {
    std::vector<SqlNameEntry> l;
    for (int t = 0; t < mvFieldTypeCount; ++t) {
      for (int column : {ftsSQLName, ftsSQLNameVarying}) {
        String key = asciiUpperText(mvFieldTypeSQLNames[t][column]);
        auto it = std::lower_bound(l.begin(), l.end(), key,
                                   [](const SqlNameEntry& e, const String& k) { return e.key < k; });
        if (it == l.end() || it->key != key) l.insert(it, {key, static_cast<TmvFieldType>(t)});
      }
    }
    return l;
  }();
  return list;
}

}  // namespace

TmvFieldType mvFieldTypeFromSqlName(std::u16string_view aName) {
  const auto& list = sqlNameList();
  String key = asciiUpperText(aName);
  auto it = std::lower_bound(list.begin(), list.end(), key,
                             [](const SqlNameEntry& e, const String& k) { return e.key < k; });
  if (it == list.end() || it->key != key) throw EmvBaseException(MVERR_OBJNOTFOUND);
  return it->type;
}

TmvParamType mvParamTypeFromName(std::u16string_view aName) {
  String key = asciiUpperText(aName);
  for (int t = mvptInput; t <= mvptResult; ++t)
    if (key == mvParamTypeNames[t]) return static_cast<TmvParamType>(t);
  return mvptUnknown;
}

// ---------------------------------------------------------------------------
// Record identities and cached-record infos

uint16_t mvBlobInfoCount(const TmvRecordCacheInfoBlobInfo* aInfo) { return LoadLE16(aInfo); }

TmvBlobNr mvBlobInfoBlobNr(const TmvRecordCacheInfoBlobInfo* aInfo, uint16_t aIndex) {
  return LoadLE<int64_t>(aInfo + 2 + 8 * size_t{aIndex});
}

void mvNextRecordCacheInfoBlobInfo(const TmvRecordCacheInfoBlobInfo*& aInfo) {
  if (aInfo) aInfo += 2 + 8 * size_t{mvBlobInfoCount(aInfo)};
}

bool mvRecIDIsSet(const TmvRecID& aRecID) { return aRecID.ridRefNr != 0 && aRecID.ridInsertLSN != 0; }

bool mvRecIDIsAllOnes(const TmvRecID& aRecID) { return aRecID.ridRefNr == -1 && aRecID.ridInsertLSN == -1; }

void mvClearRecordCacheInfo(TmvRecordCacheInfo& aInfo) { aInfo = TmvRecordCacheInfo{}; }

bool mvRecordCacheInfoIsEmpty(const TmvRecordCacheInfo& aInfo) {
  return aInfo.rciRefNr == 0 || aInfo.rciModifyLSN == 0;
}

bool mvRecordCacheInfoValid(const TmvRecordCacheInfo& aInfo) { return !mvRecordCacheInfoIsEmpty(aInfo); }

bool mvRecordCacheInfoSame(const TmvRecordCacheInfo& a, const TmvRecordCacheInfo& b) {
  return a.rciRefNr == b.rciRefNr && a.rciModifyLSN == b.rciModifyLSN && mvRecordCacheInfoValid(a);
}

bool mvRecordCacheInfoEqual(const TmvRecordCacheInfo& a, const TmvRecordCacheInfo* b) {
  return b && mvRecordCacheInfoSame(a, *b);
}

bool mvRecordCacheInfoEqualAlt(const TmvRecordCacheInfo& a, const TmvIndexedRecordCacheInfo* b) {
  return b && mvRecordCacheInfoSame(a, TmvRecordCacheInfo{b->irciRefNr, b->irciModifyLSN});
}

bool mvBlobBatchRequestIsValid(const TmvBlobBatchRequest& aRequest) {
  return mvRecIDIsSet(aRequest.bbrqRecID) && !aRequest.bbrqEntries.empty();
}

// ---------------------------------------------------------------------------
// Shared infos

namespace {

// Constructs a T in a block of at least `size` bytes from the engine allocator.
template <typename T>
T* newShared(size_t size = sizeof(T)) {
  void* block = mvGetMemPtr(size);
  return new (block) T();
}

template <typename T>
void freeShared(T* p) {
  p->~T();
  mvFreeMem(p);
}

// Takes the reference out of the variable; true when the caller now holds
// the last one and must free the info.
template <typename T, typename Counter>
T* takeForRelease(T*& aVar, Counter T::*count) {
  T* p = std::atomic_ref<T*>(aVar).exchange(nullptr);
  if (p && (p->*count).fetch_sub(1) == 1) return p;
  return nullptr;
}

}  // namespace

TmvSpecialFieldsInfo* mvNewSpecialFieldsInfo() {
  TmvSpecialFieldsInfo* info = newShared<TmvSpecialFieldsInfo>();
  mvInitSpecialFieldsInfo(*info);
  return info;
}

void mvInitSpecialFieldsInfo(TmvSpecialFieldsInfo& aInfo) {
  aInfo.sfiBlobFields.clear();
  aInfo.sfiFieldsToBlobFields.clear();
  std::fill(std::begin(aInfo.sfiFields), std::end(aInfo.sfiFields), -1);
  std::fill(std::begin(aInfo.sfiOffsets), std::end(aInfo.sfiOffsets), -1);
}

TmvSpecialFieldsInfo* mvAddRefSpecialFieldsInfo(TmvSpecialFieldsInfo* aInfo) {
  if (aInfo) aInfo->sfiRefCount.fetch_add(1);
  return aInfo;
}

void mvReleaseSpecialFieldsInfo(TmvSpecialFieldsInfo*& aInfo) {
  if (TmvSpecialFieldsInfo* last = takeForRelease(aInfo, &TmvSpecialFieldsInfo::sfiRefCount)) freeShared(last);
}

TmvCacheableInfo* mvNewCacheableInfo() { return newShared<TmvCacheableInfo>(); }

TmvCacheableInfo* mvAddRefCacheableInfo(TmvCacheableInfo* aInfo) {
  if (aInfo) aInfo->ciRefCount.fetch_add(1);
  return aInfo;
}

void mvReleaseCacheableInfo(TmvCacheableInfo*& aInfo) {
  if (TmvCacheableInfo* last = takeForRelease(aInfo, &TmvCacheableInfo::ciRefCount)) {
    mvReleaseSpecialFieldsInfo(last->ciSFI);
    freeShared(last);
  }
}

TmvDiffCompressorInfo* mvNewDiffCompressorInfo(int32_t aRecordLength) {
  MV_ASSERT(aRecordLength >= 1 && aRecordLength <= 65535);
  uint16_t sourceWords = static_cast<uint16_t>((aRecordLength + 3) / 4);
  uint16_t bitWords = static_cast<uint16_t>(((sourceWords + 7) / 8 + 3) / 4);
  // The bit set lives in the same block, right after the record.
  TmvDiffCompressorInfo* info =
      newShared<TmvDiffCompressorInfo>(sizeof(TmvDiffCompressorInfo) + sizeof(uint32_t) * bitWords);
  info->dciSourceWord32Count = sourceWords;
  info->dciBitsLengthWord32s = bitWords;
  info->dciBitsLengthByte8s = static_cast<uint16_t>(4 * bitWords);
  info->dciTargetWord32Count = static_cast<uint16_t>(sourceWords - bitWords);
  info->dciRequiredBits = reinterpret_cast<uint32_t*>(info + 1);
  std::fill_n(info->dciRequiredBits, bitWords, 0u);
  info->dciRecordLength = static_cast<uint32_t>(aRecordLength);
  return info;
}

TmvDiffCompressorInfo* mvAddRefDiffCompressorInfo(TmvDiffCompressorInfo* aInfo) {
  if (aInfo) aInfo->dciRefCount.fetch_add(1);
  return aInfo;
}

void mvReleaseDiffCompressorInfo(TmvDiffCompressorInfo*& aInfo) {
  if (TmvDiffCompressorInfo* last = takeForRelease(aInfo, &TmvDiffCompressorInfo::dciRefCount)) freeShared(last);
}

namespace {
// Bytes of word i that lie inside the record (the last word may be partial:
// a record need not be a whole number of words, and reading past it would
// touch memory that is not the record's).
size_t wordBytes(const TmvDiffCompressorInfo& info, size_t i) {
  return std::min<size_t>(4, info.dciRecordLength - 4 * i);
}
}  // namespace

void mvDiffCompressorSetRequired(TmvDiffCompressorInfo& aInfo, const uint8_t* aRecordA, const uint8_t* aRecordB) {
  std::fill_n(aInfo.dciRequiredBits, aInfo.dciBitsLengthWord32s, 0u);
  for (size_t i = 0; i < aInfo.dciSourceWord32Count; ++i) {
    if (std::memcmp(aRecordA + 4 * i, aRecordB + 4 * i, wordBytes(aInfo, i)) != 0)
      aInfo.dciRequiredBits[i / 32] |= uint32_t{1} << (i % 32);
  }
}

void mvDiffExpandRecord(const TmvDiffCompressorInfo& aInfo, const uint8_t* aBase, const uint8_t* aDifference,
                        uint8_t* aTarget) {
  const uint8_t* bits = aDifference;
  const uint8_t* changed = aDifference + aInfo.dciBitsLengthByte8s;
  for (size_t i = 0; i < aInfo.dciSourceWord32Count; ++i) {
    size_t n = wordBytes(aInfo, i);
    if ((bits[i / 8] >> (i % 8)) & 1) {
      std::memmove(aTarget + 4 * i, changed, n);
      changed += 4;
    } else {
      std::memmove(aTarget + 4 * i, aBase + 4 * i, n);
    }
  }
}
