// Field conversion: the BLOB mappers, for every conversion whose source or
// target is a BLOB field (Blob, BlobMemo, BlobGraphic, BlobWideMemo).
//
// A BLOB field holds only a 64-bit BLOB number; the contents lie in the
// table's BLOB storage and are reached through the cursors the mapper is
// made with: BLOBs of the source table are read through the source cursor,
// new BLOBs of the target table made through the target cursor. So these are
// the one family that needs the cursors, and the one that answers "no value"
// (1) under dlaBestFit: a BLOB number 0, an empty BLOB, an empty source
// string or a conversion that gives nothing leave the target's BLOB number
// 0 and answer `bmNullError` (10002, or 1 under dlaBestFit).
//
//   BLOB -> BLOB          a copy of the BLOB (`sbcBlobCopyPrim`); between
//                         text kinds in different code pages the text is
//                         translated and written as a new BLOB
//   string -> BLOB        the string's characters written as a new BLOB
//   BLOB -> string        the BLOB's text handed to the string mapper of
//                         the pair (Blob, BlobGraphic, BlobMemo as a
//                         NullString, or as a ShortString of at most 255
//                         bytes; BlobWideMemo as a WideString), which cuts
//                         or checks as its data-loss action says
//
// A new BLOB whose write fails is deleted again: the target keeps BLOB
// number 0 and the write's error is the answer. Engine BLOB errors pass
// through unchanged; a failing code-page conversion raises as in the string
// mappers.
//
// Layer: field conversion; calls the string mappers, the code-page layer,
// the foundation's text conversions and the cursor calls of
// mvsdFieldMapperCursor.h. An instance belongs to the copy run that made it.
#pragma once

#include <memory>

#include "convert/mvsdFieldMapperBase.h"
#include "foundation/types/mvllWideString.h"

class TmvServerBaseCursor;
class TmvBlobMapper;

// The family's class record adds the virtual constructor, through which the
// shared TryCreateMapper makes an instance of the class it is called on.
struct TmvBlobMapperClassRef : TmvFieldMapperClassRef {
  TmvBlobMapper* (*Create)(TmvFieldDescriptor* aSourceField, TmvServerBaseCursor* aSourceCursor,
                           TmvFieldDescriptor* aTargetField, TmvServerBaseCursor* aTargetCursor,
                           TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
};

template <typename T>
TmvBlobMapper* mvCreateBlobMapper(TmvFieldDescriptor* aSourceField, TmvServerBaseCursor* aSourceCursor,
                                  TmvFieldDescriptor* aTargetField, TmvServerBaseCursor* aTargetCursor,
                                  TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper) {
  return new T(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
}

// Blob and BlobGraphic into the four BLOB kinds, BlobMemo into Blob and
// BlobGraphic, BlobWideMemo into Blob, BlobGraphic and BlobWideMemo: the
// plain copy.
class TmvBlobMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvBlobMapperClassRef)
 public:
  // The whole family's: an instance of aClass when both types are BLOB or
  // string kinds, nil otherwise. Nil too when a cursor that the pair needs
  // (the source's for a BLOB source, the target's for a BLOB target) is
  // missing or is no server table cursor, or when a string target cannot
  // hold even its length byte or terminator.
  MV_FIELD_MAPPER_TRY_CREATE

  // bmNullError from the descriptor, the cursors and fields kept, aMapper
  // the plain copy. Subclasses replace aMapper by their own routine.
  TmvBlobMapper(TmvFieldDescriptor* aSourceField, TmvServerBaseCursor* aSourceCursor,
                TmvFieldDescriptor* aTargetField, TmvServerBaseCursor* aTargetCursor,
                TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);

  TmvResult Copy(const void* aSource, void* aTarget) const;

 protected:
  // The outcome of reading a source BLOB that has nothing in it.
  static constexpr TmvResult kEmpty = UINT32_MAX;

  // No value: a BLOB target's number 0; bmNullError.
  TmvResult NoValue(void* aTarget) const;
  // The source BLOB's bytes, at most aMax of them: 0 with the bytes,
  // kEmpty for BLOB number 0 or an empty BLOB, or the engine's error.
  TmvResult ReadSource(const void* aSource, TBytes& aData, uint32_t aMax = UINT32_MAX) const;
  // A new target BLOB holding aLen bytes, its number into the target; no
  // bytes is no value. A failed write deletes the BLOB again.
  TmvResult WriteNew(void* aTarget, const void* aData, size_t aLen) const;
  // UTF-16 units written as a new BLOB, 2 bytes each, little-endian.
  TmvResult WriteUnits(void* aTarget, std::u16string_view aUnits) const;
  // The characters of a single-byte string source written as a new BLOB:
  // as they are, through UTF-16 from one code page into another, or as
  // their UTF-16 units decoded from a code page.
  TmvResult WriteAnsi(const void* aSource, void* aTarget) const;
  TmvResult WriteTranslated(const void* aSource, void* aTarget, uint16_t aFrom, uint16_t aTo) const;
  TmvResult WriteWidened(const void* aSource, void* aTarget, uint16_t aCodePage) const;
  // The source BLOB's single-byte text, bounded for the target (see
  // BoundText), zero-terminated, through the inner string routine.
  TmvResult PassAnsiText(const void* aSource, void* aTarget, const TmvMappingMethod& aInner, bool aForcing,
                         bool aBlanks) const;
  // The source BLOB's UTF-16 units and a 0 unit through the inner routine.
  TmvResult PassWideText(const void* aSource, void* aTarget, const TmvMappingMethod& aInner) const;

  TmvServerBaseCursor* bmSourceCursor;
  TmvServerBaseCursor* bmTargetCursor;
  TmvFieldDescriptor* bmSourceField;
  TmvFieldDescriptor* bmTargetField;
  TmvResult bmNullError;
};

// The family's class records.
#define MV_BLOB_MAPPER_CLASS(Name)                                                                           \
  MV_DECLARE_CLASSREF(TmvBlobMapperClassRef)                                                                \
 public:                                                                                                    \
  Name(TmvFieldDescriptor* aSourceField, TmvServerBaseCursor* aSourceCursor, TmvFieldDescriptor* aTargetField, \
       TmvServerBaseCursor* aTargetCursor, TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);

// BlobMemo into BlobMemo: translated between two code pages that are both
// set and differ, else the plain copy.
class TmvBlobMemoToBlobMemoMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobMemoToBlobMemoMapper)
  TmvResult Translate(const void* aSource, void* aTarget) const;

 private:
  uint16_t mtmSourceCodepage, mtmTargetCodepage;
};

// BlobMemo into BlobWideMemo: the text decoded from the source's code page.
class TmvBlobMemoToBlobWideMemoMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobMemoToBlobWideMemoMapper)
  TmvResult Widen(const void* aSource, void* aTarget) const;

 private:
  uint16_t mtwSourceCodepage;
};

// BlobWideMemo into BlobMemo: the units encoded in the target's code page.
class TmvBlobWideMemoToBlobMemoMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobWideMemoToBlobMemoMapper)
  TmvResult Narrow(const void* aSource, void* aTarget) const;

 private:
  uint16_t wtmTargetCodepage;
};

// NullString and ShortString into the four BLOB kinds: the bytes as they
// are, translated into a BlobMemo of another code page (both set), or
// decoded into a BlobWideMemo.
class TmvNullStringToBlobMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvNullStringToBlobMapper)
  TmvResult Raw(const void* aSource, void* aTarget) const;
  TmvResult Translate(const void* aSource, void* aTarget) const;
  TmvResult Widen(const void* aSource, void* aTarget) const;

 private:
  uint16_t ntbSourceCodepage, ntbTargetCodepage;
};

class TmvShortStringToBlobMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvShortStringToBlobMapper)
  TmvResult Raw(const void* aSource, void* aTarget) const;
  TmvResult Translate(const void* aSource, void* aTarget) const;
  TmvResult Widen(const void* aSource, void* aTarget) const;

 private:
  uint16_t stbSourceCodepage, stbTargetCodepage;
};

// WideString into the four BLOB kinds: encoded into a BlobMemo's code
// page, the units as they are into the others.
class TmvWideStringToBlobMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvWideStringToBlobMapper)
  TmvResult Narrow(const void* aSource, void* aTarget) const;
  TmvResult Units(const void* aSource, void* aTarget) const;

 private:
  uint16_t wtbSourceCodepage, wtbTargetCodepage;
};

// The BLOB-to-string classes own the string mapper of the pair, made with
// the BLOB field as its source, and keep its routine (declared before the
// mapper, whose constructor assigns it).

// Blob, BlobGraphic, BlobMemo into NullString.
class TmvBlobToNullStringMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobToNullStringMapper)
  ~TmvBlobToNullStringMapper() override;
  TmvResult ToString(const void* aSource, void* aTarget) const;

 private:
  uint16_t btnSourceCodepage, btnTargetCodepage;
  TmvMappingMethod btnMappingMethod;
  std::unique_ptr<TmvBaseFieldMapper> btnNullStringToNullStringMapper;
  bool btnForcing, btnBlanks;
};

// Blob, BlobGraphic, BlobMemo into ShortString: at most the first 255 bytes
// are read. Under a checking action a longer BLOB does not fit (10002): a
// ShortString holds no more than 255 characters, and the unread rest would
// be lost without a word.
class TmvBlobToShortStringMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobToShortStringMapper)
  ~TmvBlobToShortStringMapper() override;
  TmvResult ToString(const void* aSource, void* aTarget) const;

 private:
  uint16_t btsSourceCodepage, btsTargetCodepage;
  TmvMappingMethod btsMappingMethod;
  std::unique_ptr<TmvBaseFieldMapper> btsShortStringToShortStringMapper;
  bool btsForcing;
};

// Blob, BlobGraphic, BlobMemo into WideString.
class TmvBlobToWideStringMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobToWideStringMapper)
  ~TmvBlobToWideStringMapper() override;
  TmvResult ToString(const void* aSource, void* aTarget) const;

 private:
  uint16_t btwSourceCodepage, btwTargetCodepage;
  TmvMappingMethod btwMappingMethod;
  std::unique_ptr<TmvBaseFieldMapper> btwAnsiStringToWideStringMapper;
  bool btwForcing, btwBlanks;
};

// BlobWideMemo into ShortString and NullString.
class TmvBlobWideMemoToAnsiStringMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobWideMemoToAnsiStringMapper)
  ~TmvBlobWideMemoToAnsiStringMapper() override;
  TmvResult ToString(const void* aSource, void* aTarget) const;

 private:
  uint16_t bwtasSourceCodepage, bwtasTargetCodepage;
  TmvMappingMethod bwtasMappingMethod;
  std::unique_ptr<TmvBaseFieldMapper> bwtasWideStringToAnsiStringMapper;
};

// BlobWideMemo into WideString.
class TmvBlobWideMemoToWideStringMapper : public TmvBlobMapper {
  MV_BLOB_MAPPER_CLASS(TmvBlobWideMemoToWideStringMapper)
  ~TmvBlobWideMemoToWideStringMapper() override;
  TmvResult ToString(const void* aSource, void* aTarget) const;

 private:
  uint16_t bwtwsSourceCodepage, bwtwsTargetCodepage;
  TmvMappingMethod bwtwsMappingMethod;
  std::unique_ptr<TmvBaseFieldMapper> bwtwsWideStringToWideStringMapper;
};

#undef MV_BLOB_MAPPER_CLASS

// Unit start-up and shutdown: the family's 40 cells registered, and
// removed.
void mvsrFieldMapperInit();
void mvsrFieldMapperFini();
