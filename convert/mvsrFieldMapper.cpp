// Field conversion: the BLOB mappers. See mvsrFieldMapper.h.
#include "convert/mvsrFieldMapper.h"

#include <algorithm>
#include <cstring>

#include "convert/mvsdConvertLog.h"
#include "convert/mvsdFieldMapperCodePage.h"
#include "convert/mvsdFieldMapperCommon.h"
#include "convert/mvsdFieldMapperCursor.h"
#include "convert/mvsdFieldMapperString.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "platform/Numeric.h"

namespace {

constexpr TmvResult kNoFit = MVERR_INVALIDFLDXFORM;
constexpr uint32_t kWholeBlob = 0xFFFFFFFF;
// The most bytes a BLOB's text is read for a ShortString target.
constexpr uint32_t kShortStringChars = 255;

// Collects what a BLOB read gives.
class TBytesSink : public TStream {
 public:
  explicit TBytesSink(TBytes& aBytes) : fBytes(aBytes) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* aBuffer, int32_t aCount) override {
    if (aCount <= 0) return 0;
    const auto* bytes = static_cast<const uint8_t*>(aBuffer);
    fBytes.insert(fBytes.end(), bytes, bytes + aCount);
    return aCount;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return int64_t(fBytes.size()); }

 private:
  TBytes& fBytes;
};

bool IsSourceKind(TmvFieldType aType) { return mvIsBlobFieldType(aType) || mvIsTextFieldType(aType); }

// The cursor as a server table cursor; nil when there is none.
TmvServerBaseCursor* ServerCursorOf(TmvAbstractCursor* aCursor) {
  return aCursor ? mvCursorAsServerCursor(aCursor) : nullptr;
}

TmvBlobNr LoadBlobNr(const void* aField) { return LoadLE<int64_t>(aField); }
void StoreBlobNr(void* aField, TmvBlobNr aBlobNr) { StoreLE<int64_t>(aField, aBlobNr); }

// UTF-16 units read from bytes as they lie, little-endian.
std::u16string UnitsOf(const uint8_t* aBytes, size_t aCount) {
  std::u16string units(aCount, u'\0');
  for (size_t i = 0; i < aCount; ++i) units[i] = char16_t(LoadLE<uint16_t>(aBytes + 2 * i));
  return units;
}

// The count without trailing blanks when the inner string mapper drops them
// anyway, then bounded for the inner mapper: a target of aCapacity
// characters is filled by the first 4 x (aCapacity + 1) bytes of any text
// (no character takes more than 4 bytes, none gives fewer than 1 unit), and
// a longer text cannot fit it. So a checking mapper answers 10002 for such a
// text without converting it (false), a forcing one converts only those
// bytes; neither decodes more than its buffers hold.
bool BoundText(const TBytes& aText, size_t& aCount, bool aBlanks, bool aForcing, int32_t aCapacity) {
  aCount = aText.size();
  if (aBlanks) aCount = mvWithoutBlanks(aText.data(), aCount);
  const size_t bound = 4 * (size_t(std::max(aCapacity, 0)) + 1);
  if (aCount <= bound) return true;
  aCount = bound;
  return aForcing;
}

void RegisterAll(bool aRegister) {
  static constexpr TmvFieldType kAllBlobs[] = {mvtBlob, mvtBlobMemo, mvtBlobGraphic, mvtBlobWideMemo};
  static constexpr TmvFieldType kPlainBlobs[] = {mvtBlob, mvtBlobGraphic};
  static constexpr TmvFieldType kWideCopies[] = {mvtBlob, mvtBlobGraphic, mvtBlobWideMemo};
  static constexpr TmvFieldType kMemo[] = {mvtBlobMemo}, kWideMemo[] = {mvtBlobWideMemo};
  static constexpr TmvFieldType kNull[] = {mvtNullString}, kShort[] = {mvtShortString}, kWide[] = {mvtWideString};
  static constexpr TmvFieldType kAnsi[] = {mvtShortString, mvtNullString};
  mvRegisterFieldMappers(TmvBlobMapper::StaticClass, {mvtBlob, mvtBlobGraphic}, kAllBlobs, aRegister);
  mvRegisterFieldMappers(TmvBlobMapper::StaticClass, {mvtBlobMemo}, kPlainBlobs, aRegister);
  mvRegisterFieldMappers(TmvBlobMapper::StaticClass, {mvtBlobWideMemo}, kWideCopies, aRegister);
  mvRegisterFieldMappers(TmvBlobMemoToBlobMemoMapper::StaticClass, {mvtBlobMemo}, kMemo, aRegister);
  mvRegisterFieldMappers(TmvBlobMemoToBlobWideMemoMapper::StaticClass, {mvtBlobMemo}, kWideMemo, aRegister);
  mvRegisterFieldMappers(TmvBlobWideMemoToBlobMemoMapper::StaticClass, {mvtBlobWideMemo}, kMemo, aRegister);
  mvRegisterFieldMappers(TmvNullStringToBlobMapper::StaticClass, {mvtNullString}, kAllBlobs, aRegister);
  mvRegisterFieldMappers(TmvShortStringToBlobMapper::StaticClass, {mvtShortString}, kAllBlobs, aRegister);
  mvRegisterFieldMappers(TmvWideStringToBlobMapper::StaticClass, {mvtWideString}, kAllBlobs, aRegister);
  mvRegisterFieldMappers(TmvBlobToNullStringMapper::StaticClass, {mvtBlob, mvtBlobGraphic, mvtBlobMemo}, kNull,
                         aRegister);
  mvRegisterFieldMappers(TmvBlobToShortStringMapper::StaticClass, {mvtBlob, mvtBlobGraphic, mvtBlobMemo}, kShort,
                         aRegister);
  mvRegisterFieldMappers(TmvBlobToWideStringMapper::StaticClass, {mvtBlob, mvtBlobGraphic, mvtBlobMemo}, kWide,
                         aRegister);
  mvRegisterFieldMappers(TmvBlobWideMemoToAnsiStringMapper::StaticClass, {mvtBlobWideMemo}, kAnsi, aRegister);
  mvRegisterFieldMappers(TmvBlobWideMemoToWideStringMapper::StaticClass, {mvtBlobWideMemo}, kWide, aRegister);
}

}  // namespace

// A subclass's class record, then its constructor's head with the base
// constructed; the constructor's own initialisers follow.
#define MV_BLOB_MAPPER_CONSTRUCTOR(Name)                                                                      \
  constinit const TmvBlobMapperClassRef Name::StaticClass{                                                   \
      {{u"" #Name, &TmvBlobMapper::StaticClass}, &TmvBlobMapper::TryCreateMapper}, &mvCreateBlobMapper<Name>}; \
  Name::Name(TmvFieldDescriptor* aSourceField, TmvServerBaseCursor* aSourceCursor,                           \
             TmvFieldDescriptor* aTargetField, TmvServerBaseCursor* aTargetCursor,                           \
             TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)                               \
      : TmvBlobMapper(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper)

// ---------------------------------------------------------------------------
// TmvBlobMapper

constinit const TmvBlobMapperClassRef TmvBlobMapper::StaticClass{
    {{u"TmvBlobMapper", &TmvBaseFieldMapper::StaticClass}, &TmvBlobMapper::TryCreateMapper},
    &mvCreateBlobMapper<TmvBlobMapper>};

TmvBaseFieldMapper* TmvBlobMapper::TryCreateMapper(const TmvFieldMapperClassRef& aClass,
                                                   TmvFieldDescriptor* aSourceField, TmvAbstractCursor* aSourceCursor,
                                                   TmvFieldDescriptor* aTargetField, TmvAbstractCursor* aTargetCursor,
                                                   TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper) {
  aMapper.Clear();
  const TmvFieldType sourceType = aSourceField->FieldType(), targetType = aTargetField->FieldType();
  if (!IsSourceKind(sourceType) || !IsSourceKind(targetType)) return nullptr;
  TmvServerBaseCursor* sourceCursor = ServerCursorOf(aSourceCursor);
  TmvServerBaseCursor* targetCursor = ServerCursorOf(aTargetCursor);
  if ((mvIsBlobFieldType(sourceType) && !sourceCursor) || (mvIsBlobFieldType(targetType) && !targetCursor))
    return nullptr;
  if (mvIsTextFieldType(targetType) && mvTextCapacity(targetType, aTargetField->Length()) < 0) return nullptr;
  const auto& cls = static_cast<const TmvBlobMapperClassRef&>(aClass);
  return cls.Create(aSourceField, sourceCursor, aTargetField, targetCursor, aMapperDesc, aMapper);
}

TmvBlobMapper::TmvBlobMapper(TmvFieldDescriptor* aSourceField, TmvServerBaseCursor* aSourceCursor,
                             TmvFieldDescriptor* aTargetField, TmvServerBaseCursor* aTargetCursor,
                             TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : bmSourceCursor(aSourceCursor),
      bmTargetCursor(aTargetCursor),
      bmSourceField(aSourceField),
      bmTargetField(aTargetField),
      bmNullError(mvForcing(aMapperDesc) ? mvMapNoValue : kNoFit) {
  aMapper = mvInstanceMethod<&TmvBlobMapper::Copy>(this);
}

TmvResult TmvBlobMapper::NoValue(void* aTarget) const {
  if (mvIsBlobFieldType(bmTargetField->FieldType())) StoreBlobNr(aTarget, 0);
  return bmNullError;
}

TmvResult TmvBlobMapper::ReadSource(const void* aSource, TBytes& aData, uint32_t aMax) const {
  aData.clear();
  const TmvBlobNr blobNr = LoadBlobNr(aSource);
  if (blobNr == 0) return kEmpty;
  uint32_t length = 0;
  if (TmvResult result = mvCursorBlobGetLength(bmSourceCursor, bmSourceField->Number(), blobNr, length)) return result;
  length = std::min(length, aMax);
  if (length == 0) return kEmpty;
  aData.reserve(length);
  TBytesSink sink(aData);
  if (TmvResult result = mvCursorBlobRead(bmSourceCursor, bmSourceField->Number(), blobNr, 0, length, &sink))
    return result;
  // Never more than was asked for, whatever the read gave.
  if (aData.size() > length) aData.resize(length);
  return aData.empty() ? kEmpty : 0;
}

TmvResult TmvBlobMapper::WriteNew(void* aTarget, const void* aData, size_t aLen) const {
  if (aLen == 0) return NoValue(aTarget);
  StoreBlobNr(aTarget, 0);
  // A BLOB holds at most 4 GB: a longer content does not fit.
  if (aLen > UINT32_MAX) return kNoFit;
  const int32_t fieldNo = bmTargetField->Number();
  TmvBlobNr blobNr = 0;
  if (TmvResult result = mvCursorBlobCreate(bmTargetCursor, fieldNo, blobNr)) return result;
  const TmvResult written = mvCursorBlobWrite(bmTargetCursor, fieldNo, blobNr, 0, uint32_t(aLen), aData);
  if (written == 0) {
    StoreBlobNr(aTarget, blobNr);
    return 0;
  }
  // The new BLOB must not stay behind without a record.
  if (TmvResult deleted = mvCursorBlobDelete(bmTargetCursor, fieldNo, blobNr)) {
    mvConvertLogError(String(ClassType().Name()) + u": a BLOB whose write failed with " + IntToStr(int64_t(written)) +
                     u" could not be deleted (error " + IntToStr(int64_t(deleted)) + u")");
  }
  return written;
}

TmvResult TmvBlobMapper::WriteUnits(void* aTarget, std::u16string_view aUnits) const {
  TBytes bytes(2 * aUnits.size());
  for (size_t i = 0; i < aUnits.size(); ++i) StoreLE<uint16_t>(bytes.data() + 2 * i, aUnits[i]);
  return WriteNew(aTarget, bytes.data(), bytes.size());
}

TmvResult TmvBlobMapper::WriteAnsi(const void* aSource, void* aTarget) const {
  const TmvAnsiValue value = mvReadAnsiValue(bmSourceField->FieldType(), aSource, bmSourceField->Length());
  return WriteNew(aTarget, value.Chars, value.Count);
}

TmvResult TmvBlobMapper::WriteTranslated(const void* aSource, void* aTarget, uint16_t aFrom, uint16_t aTo) const {
  const TmvAnsiValue value = mvReadAnsiValue(bmSourceField->FieldType(), aSource, bmSourceField->Length());
  if (!value.Count) return NoValue(aTarget);
  TBytes bytes;
  mvWideStringToString(mvBytesToWideString(value.Chars, int32_t(value.Count), aFrom), aTo, bytes);
  return WriteNew(aTarget, bytes.data(), bytes.size());
}

TmvResult TmvBlobMapper::WriteWidened(const void* aSource, void* aTarget, uint16_t aCodePage) const {
  const TmvAnsiValue value = mvReadAnsiValue(bmSourceField->FieldType(), aSource, bmSourceField->Length());
  if (!value.Count) return NoValue(aTarget);
  return WriteUnits(aTarget, mvBytesToWideString(value.Chars, int32_t(value.Count), aCodePage));
}

TmvResult TmvBlobMapper::PassAnsiText(const void* aSource, void* aTarget, const TmvMappingMethod& aInner,
                                      bool aForcing, bool aBlanks) const {
  TBytes text;
  if (TmvResult result = ReadSource(aSource, text)) return result == kEmpty ? NoValue(aTarget) : result;
  size_t n;
  if (!BoundText(text, n, aBlanks, aForcing, mvTextCapacity(bmTargetField->FieldType(), bmTargetField->Length())))
    return kNoFit;
  text.resize(n);
  text.push_back(0);
  return aInner(text.data(), aTarget);
}

TmvResult TmvBlobMapper::PassWideText(const void* aSource, void* aTarget, const TmvMappingMethod& aInner) const {
  TBytes data;
  if (TmvResult result = ReadSource(aSource, data)) return result == kEmpty ? NoValue(aTarget) : result;
  // Whole units only; not even one is no value.
  data.resize(data.size() & ~size_t(1));
  if (data.empty()) return NoValue(aTarget);
  data.push_back(0);
  data.push_back(0);
  return aInner(data.data(), aTarget);
}

TmvResult TmvBlobMapper::Copy(const void* aSource, void* aTarget) const {
  const TmvBlobNr blobNr = LoadBlobNr(aSource);
  if (blobNr == 0) return NoValue(aTarget);
  TmvBlobNr copied = 0;
  const TmvResult result = mvCursorBlobCopyPrim(bmTargetCursor, bmSourceCursor, bmSourceField->Number(), blobNr,
                                                bmTargetField->Number(), copied, kWholeBlob);
  StoreBlobNr(aTarget, result == 0 ? copied : 0);
  return result;
}

// ---------------------------------------------------------------------------
// BLOB into BLOB

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobMemoToBlobMemoMapper),
      mtmSourceCodepage(mvFieldCodePage(aSourceField)),
      mtmTargetCodepage(mvFieldCodePage(aTargetField)) {
  if (mtmSourceCodepage != 0 && mtmTargetCodepage != 0 && mtmSourceCodepage != mtmTargetCodepage)
    aMapper = mvInstanceMethod<&TmvBlobMemoToBlobMemoMapper::Translate>(this);
}

TmvResult TmvBlobMemoToBlobMemoMapper::Translate(const void* aSource, void* aTarget) const {
  TBytes text;
  if (TmvResult result = ReadSource(aSource, text)) return result == kEmpty ? NoValue(aTarget) : result;
  const TmvWideString units = mvBytesToWideString(text.data(), int32_t(text.size()), mtmSourceCodepage);
  TBytes bytes;
  mvWideStringToString(units, mtmTargetCodepage, bytes);
  return WriteNew(aTarget, bytes.data(), bytes.size());
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobMemoToBlobWideMemoMapper),
      mtwSourceCodepage(mvFieldCodePage(aSourceField)) {
  aMapper = mvInstanceMethod<&TmvBlobMemoToBlobWideMemoMapper::Widen>(this);
}

TmvResult TmvBlobMemoToBlobWideMemoMapper::Widen(const void* aSource, void* aTarget) const {
  TBytes text;
  if (TmvResult result = ReadSource(aSource, text)) return result == kEmpty ? NoValue(aTarget) : result;
  return WriteUnits(aTarget, mvBytesToWideString(text.data(), int32_t(text.size()), mtwSourceCodepage));
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobWideMemoToBlobMemoMapper),
      wtmTargetCodepage(mvFieldCodePage(aTargetField)) {
  aMapper = mvInstanceMethod<&TmvBlobWideMemoToBlobMemoMapper::Narrow>(this);
}

TmvResult TmvBlobWideMemoToBlobMemoMapper::Narrow(const void* aSource, void* aTarget) const {
  TBytes data;
  if (TmvResult result = ReadSource(aSource, data)) return result == kEmpty ? NoValue(aTarget) : result;
  const std::u16string units = UnitsOf(data.data(), data.size() / 2);
  if (units.empty()) return NoValue(aTarget);
  const TBytes bytes = mvWideStringBufferToBytes(units.data(), int32_t(units.size()), wtmTargetCodepage);
  return WriteNew(aTarget, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// Strings into BLOBs

namespace {

// The routine of a single-byte string into a BLOB kind: raw bytes into Blob
// and BlobGraphic, and into a BlobMemo unless both code pages are set and
// differ; translated into such a BlobMemo; decoded into a BlobWideMemo.
template <typename M>
TmvMappingMethod AnsiToBlobRoutine(const M* aMapper, TmvFieldType aTargetType, uint16_t aSourceCodepage,
                                   uint16_t aTargetCodepage) {
  if (aTargetType == mvtBlobWideMemo) return mvInstanceMethod<&M::Widen>(aMapper);
  if (aTargetType == mvtBlobMemo && aSourceCodepage != 0 && aTargetCodepage != 0 && aSourceCodepage != aTargetCodepage)
    return mvInstanceMethod<&M::Translate>(aMapper);
  return mvInstanceMethod<&M::Raw>(aMapper);
}

}  // namespace

MV_BLOB_MAPPER_CONSTRUCTOR(TmvNullStringToBlobMapper),
      ntbSourceCodepage(mvFieldCodePage(aSourceField)),
      ntbTargetCodepage(mvFieldCodePage(aTargetField)) {
  aMapper = AnsiToBlobRoutine(this, aTargetField->FieldType(), ntbSourceCodepage, ntbTargetCodepage);
}

TmvResult TmvNullStringToBlobMapper::Raw(const void* aSource, void* aTarget) const { return WriteAnsi(aSource, aTarget); }

TmvResult TmvNullStringToBlobMapper::Translate(const void* aSource, void* aTarget) const {
  return WriteTranslated(aSource, aTarget, ntbSourceCodepage, ntbTargetCodepage);
}

TmvResult TmvNullStringToBlobMapper::Widen(const void* aSource, void* aTarget) const {
  return WriteWidened(aSource, aTarget, ntbSourceCodepage);
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvShortStringToBlobMapper),
      stbSourceCodepage(mvFieldCodePage(aSourceField)),
      stbTargetCodepage(mvFieldCodePage(aTargetField)) {
  aMapper = AnsiToBlobRoutine(this, aTargetField->FieldType(), stbSourceCodepage, stbTargetCodepage);
}

TmvResult TmvShortStringToBlobMapper::Raw(const void* aSource, void* aTarget) const { return WriteAnsi(aSource, aTarget); }

TmvResult TmvShortStringToBlobMapper::Translate(const void* aSource, void* aTarget) const {
  return WriteTranslated(aSource, aTarget, stbSourceCodepage, stbTargetCodepage);
}

TmvResult TmvShortStringToBlobMapper::Widen(const void* aSource, void* aTarget) const {
  const bool differ = stbSourceCodepage != 0 && stbTargetCodepage != 0 && stbSourceCodepage != stbTargetCodepage;
  return WriteWidened(aSource, aTarget, differ ? stbSourceCodepage : stbTargetCodepage);
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvWideStringToBlobMapper),
      wtbSourceCodepage(mvFieldCodePage(aSourceField)),
      wtbTargetCodepage(mvFieldCodePage(aTargetField)) {
  if (aTargetField->FieldType() == mvtBlobMemo)
    aMapper = mvInstanceMethod<&TmvWideStringToBlobMapper::Narrow>(this);
  else
    aMapper = mvInstanceMethod<&TmvWideStringToBlobMapper::Units>(this);
}

TmvResult TmvWideStringToBlobMapper::Narrow(const void* aSource, void* aTarget) const {
  const size_t n = mvWideStringCount(aSource, bmSourceField->Length());
  if (!n) return NoValue(aTarget);
  TBytes bytes;
  mvWideStringToString(UnitsOf(static_cast<const uint8_t*>(aSource), n), wtbTargetCodepage, bytes);
  return WriteNew(aTarget, bytes.data(), bytes.size());
}

TmvResult TmvWideStringToBlobMapper::Units(const void* aSource, void* aTarget) const {
  // The units lie in the field little-endian, as the BLOB keeps them.
  return WriteNew(aTarget, aSource, 2 * mvWideStringCount(aSource, bmSourceField->Length()));
}

// ---------------------------------------------------------------------------
// BLOBs into strings

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobToNullStringMapper),
      btnSourceCodepage(mvFieldCodePage(aSourceField)),
      btnTargetCodepage(mvFieldCodePage(aTargetField)),
      btnNullStringToNullStringMapper(
          new TmvNullStringToNullStringMapper(aSourceField, aTargetField, aMapperDesc, btnMappingMethod)),
      btnForcing(mvForcing(aMapperDesc)),
      btnBlanks(mvDropsBlanks(aSourceField, aTargetField)) {
  aMapper = mvInstanceMethod<&TmvBlobToNullStringMapper::ToString>(this);
}

TmvBlobToNullStringMapper::~TmvBlobToNullStringMapper() = default;

TmvResult TmvBlobToNullStringMapper::ToString(const void* aSource, void* aTarget) const {
  return PassAnsiText(aSource, aTarget, btnMappingMethod, btnForcing, btnBlanks);
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobToShortStringMapper),
      btsSourceCodepage(mvFieldCodePage(aSourceField)),
      btsTargetCodepage(mvFieldCodePage(aTargetField)),
      btsShortStringToShortStringMapper(
          new TmvShortStringToShortStringMapper(aSourceField, aTargetField, aMapperDesc, btsMappingMethod)),
      btsForcing(mvForcing(aMapperDesc)) {
  aMapper = mvInstanceMethod<&TmvBlobToShortStringMapper::ToString>(this);
}

TmvBlobToShortStringMapper::~TmvBlobToShortStringMapper() = default;

TmvResult TmvBlobToShortStringMapper::ToString(const void* aSource, void* aTarget) const {
  TBytes text;
  // One byte more than a ShortString holds tells a checking mapper that the
  // BLOB does not fit.
  if (TmvResult result = ReadSource(aSource, text, btsForcing ? kShortStringChars : kShortStringChars + 1))
    return result == kEmpty ? NoValue(aTarget) : result;
  if (text.size() > kShortStringChars) return kNoFit;
  text.insert(text.begin(), uint8_t(text.size()));
  return btsMappingMethod(text.data(), aTarget);
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobToWideStringMapper),
      btwSourceCodepage(mvFieldCodePage(aSourceField)),
      btwTargetCodepage(mvFieldCodePage(aTargetField)),
      btwAnsiStringToWideStringMapper(
          new TmvAnsiStringToWideStringMapper(aSourceField, aTargetField, aMapperDesc, btwMappingMethod)),
      btwForcing(mvForcing(aMapperDesc)),
      btwBlanks(mvDropsBlanks(aSourceField, aTargetField)) {
  aMapper = mvInstanceMethod<&TmvBlobToWideStringMapper::ToString>(this);
}

TmvBlobToWideStringMapper::~TmvBlobToWideStringMapper() = default;

TmvResult TmvBlobToWideStringMapper::ToString(const void* aSource, void* aTarget) const {
  return PassAnsiText(aSource, aTarget, btwMappingMethod, btwForcing, btwBlanks);
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobWideMemoToAnsiStringMapper),
      bwtasSourceCodepage(mvFieldCodePage(aSourceField)),
      bwtasTargetCodepage(mvFieldCodePage(aTargetField)),
      bwtasWideStringToAnsiStringMapper(
          new TmvWideStringToAnsiStringMapper(aSourceField, aTargetField, aMapperDesc, bwtasMappingMethod)) {
  aMapper = mvInstanceMethod<&TmvBlobWideMemoToAnsiStringMapper::ToString>(this);
}

TmvBlobWideMemoToAnsiStringMapper::~TmvBlobWideMemoToAnsiStringMapper() = default;

TmvResult TmvBlobWideMemoToAnsiStringMapper::ToString(const void* aSource, void* aTarget) const {
  return PassWideText(aSource, aTarget, bwtasMappingMethod);
}

MV_BLOB_MAPPER_CONSTRUCTOR(TmvBlobWideMemoToWideStringMapper),
      bwtwsSourceCodepage(mvFieldCodePage(aSourceField)),
      bwtwsTargetCodepage(mvFieldCodePage(aTargetField)),
      bwtwsWideStringToWideStringMapper(
          new TmvWideStringToWideStringMapper(aSourceField, aTargetField, aMapperDesc, bwtwsMappingMethod)) {
  aMapper = mvInstanceMethod<&TmvBlobWideMemoToWideStringMapper::ToString>(this);
}

TmvBlobWideMemoToWideStringMapper::~TmvBlobWideMemoToWideStringMapper() = default;

TmvResult TmvBlobWideMemoToWideStringMapper::ToString(const void* aSource, void* aTarget) const {
  return PassWideText(aSource, aTarget, bwtwsMappingMethod);
}

#undef MV_BLOB_MAPPER_CONSTRUCTOR

void mvsrFieldMapperInit() { RegisterAll(true); }

void mvsrFieldMapperFini() { RegisterAll(false); }
