// Data dictionary: storage engine descriptors. See mvsdStorageDescriptors.h.
#include "dictionary/mvsdStorageDescriptors.h"

#include <charconv>

#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"

namespace {

constexpr char16_t SInvalidFileNumber[] = u"Invalid file number: %d";
constexpr char16_t SFileUsedByRecordEngine[] = u"Cannot remove file %d because it is still referenced by a record engine";
constexpr char16_t SFileUsedByBlobEngine[] = u"Cannot remove file %d because it is still referenced by a blob engine";
constexpr char16_t SFileUsedByAutoIncEngine[] =
    u"Cannot remove file %d because it is still referenced by an autoinc engine";
constexpr char16_t SNotAValidValue[] = u"%d is not a valid %s";
constexpr char16_t SNotAnInteger[] = u"'%s' is not a valid integer value";
constexpr char16_t SCompressTypeName[] = u"CompressType";
constexpr char16_t SHeapFamily[] = u"HeapDescriptor";
constexpr char16_t SBlockHeapFamily[] = u"BlockHeapDescriptor";
constexpr char16_t SRecordCompressionFamily[] = u"RecordCompressionDescriptor";

// The version of a record, BLOB or heap body: 1 for peers below 20000,
// else 2.
int32_t FileBodyVersion(int32_t aClientVersion) { return aClientVersion < mvPeerVersionItemIDs ? 1 : 2; }

// The body of record and BLOB descriptors, after the item header:
//   integer  version: 2, or 1 for peers below 20000
//   string   engine name
//   integer  file number                      (version 2)
// Answers whether the file number was left out.
bool WriteEngineFileBody(TmvWriter& aWriter, int32_t aClientVersion, const String& aEngine, int32_t aFileNumber) {
  const int32_t version = FileBodyVersion(aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteString(aEngine);
  if (version < 2) return true;
  aWriter.WriteInteger(aFileNumber);
  return false;
}

// A version-1 body keeps the current file number. The number is checked by
// CheckValid, once the files are known.
void ReadEngineFileBody(TmvReader& aReader, String& aEngine, int32_t& aFileNumber) {
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  aEngine = aReader.ReadString();
  if (version >= 2) aFileNumber = aReader.ReadInteger();
}

// The file count of the files descriptor related to aItem; -1 when none is.
int32_t RelatedFileCount(TmvDictionaryItem& aItem) {
  TmvDictionaryItem* files;
  if (!aItem.FindRelatedDescriptorOfType(TmvFilesDescriptor::StaticClass, files) || !files) return -1;
  return static_cast<TmvFilesDescriptor*>(files)->FileCount();
}

// Raises 9999 when a files descriptor is related and aNumber is not one of
// its files.
template <typename E>
void CheckFileNumber(TmvDictionaryItem& aItem, int32_t aNumber) {
  const int32_t count = RelatedFileCount(aItem);
  if (count >= 0 && (aNumber < 0 || aNumber >= count)) throw E(MVERR_INVALIDDESCNO, SInvalidFileNumber, {aNumber});
}

template <typename E>
void StoreFileNumber(TmvDictionaryItem& aItem, int32_t& aField, int32_t aValue) {
  aItem.CheckReadOnly();
  CheckFileNumber<E>(aItem, aValue);
  aField = aValue;
}

// A file-change notification for a descriptor that uses file aFileNumber:
// the check pass refuses the removal of that file with aMessage, the apply
// pass renumbers.
template <typename E>
void FollowFileChange(int32_t& aFileNumber, bool aBefore, int32_t aOldNumber, int32_t aNewNumber,
                      const char16_t* aMessage) {
  if (aBefore) {
    if (mvChangeRemoves(aFileNumber, aOldNumber, aNewNumber)) throw E(MVERR_OBJECTINUSE, aMessage, {aFileNumber});
    return;
  }
  aFileNumber = mvRenumberAfterChange(aFileNumber, aOldNumber, aNewNumber);
}

void SetEngine(TmvDictionaryItem& aItem, String& aField, const String& aValue) {
  aItem.CheckReadOnly();
  aField = aValue;
}

bool SameEngine(const String& a, const String& b) { return SameClassName(a, b); }

// The body of the descriptors that name only an engine:
//   integer  1
//   string   engine name
void WriteEngineBody(TmvWriter& aWriter, const String& aEngine) {
  aWriter.WriteInteger(1);
  aWriter.WriteString(aEngine);
}

String ReadEngineBody(TmvReader& aReader) {
  mvReadStreamVersion(aReader, 1, 1);
  return aReader.ReadString();
}

// The other of two items of exactly the same class, nil when they differ.
template <typename T>
T* SameClassOther(TmvDictionaryItem* aSelf, TmvDictionaryItem* aItem) {
  if (!aSelf->TmvDictionaryItem::IsEqual(aItem)) return nullptr;
  return dynamic_cast<T*>(aItem);
}

// Replaces an owned sub-descriptor with one of aClass (nil: aFamily). The
// class is checked before the current one goes, so that a refused class
// leaves it in place.
template <typename T>
T* ReplaceOwned(TmvDictionaryItem& aOwner, T*& aSlot, const TmvDictionaryItemClassRef* aClass,
                const TmvDictionaryItemClassRef& aFamily, std::u16string_view aFamilyWord) {
  const TmvDictionaryItemClassRef& cls = aClass ? *aClass : aFamily;
  MV_ASSERT(cls.InheritsFrom(&aFamily));
  aOwner.CheckReadOnly();
  if (!cls.CreateItem) mvRaiseUnsupportedClass(aFamilyWord, cls.Name());
  return aOwner.ReplaceSubItem(aSlot, cls, aFamilyWord);
}

// Reads class name and body of an optional sub-descriptor that the stream
// holds, replacing the current one.
template <typename T>
void ReadOwned(TmvDictionaryItem& aOwner, TmvReader& aReader, T*& aSlot, const TmvDictionaryItemClassRef& aFamily,
               std::u16string_view aFamilyWord) {
  const auto& cls = mvReadItemClass(aReader, aFamily, aFamilyWord);
  ReplaceOwned(aOwner, aSlot, &cls, aFamily, aFamilyWord)->LoadFromReader(aReader);
}

// A decimal text from 0 to 255; anything else raises EConvertError.
uint8_t ByteFromText(const String& aText) {
  const std::string text = UTF8Encode(aText);
  int value = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 255)
    throw EConvertError(SNotAnInteger, {aText});
  return uint8_t(value);
}

}  // namespace

TmvDictionaryItem* mvCreateStorageDescriptor(const TmvStorageDescriptorClassRef& aClass, TPersistent* aParent,
                                             const AnsiString& aHeaderSection, std::u16string_view aFamilyWord) {
  if (!aClass.CreateWithSection) mvRaiseUnsupportedClass(aFamilyWord, aClass.Name());
  return aClass.CreateWithSection(aParent, aHeaderSection);
}

// ---------------------------------------------------------------------------
// Class records. Each family root names its own registry; the subclasses
// share their root's.

#define MV_STORAGE_CLASS(T, Parent, Root)                                                              \
  constinit const TmvStorageDescriptorClassRef T::StaticClass {                                       \
    {{{u"" #T, &Parent::StaticClass}, &Root::Registry, &mvCreateFreeItem<T>}, &mvCreateItem<T>},       \
        &mvCreateSectionItem<T>                                                                        \
  }
#define MV_ITEM_CLASS(T, Parent, Root)                                                                 \
  constinit const TmvDictionaryItemClassRef T::StaticClass {                                          \
    {{u"" #T, &Parent::StaticClass}, &Root::Registry, &mvCreateFreeItem<T>}, &mvCreateItem<T>          \
  }

MV_STORAGE_CLASS(TmvBaseStreamDescriptor, TmvDictionaryItem, TmvBaseStreamDescriptor);
MV_STORAGE_CLASS(TmvBaseRecordDescriptor, TmvDictionaryItem, TmvBaseRecordDescriptor);
MV_STORAGE_CLASS(TmvHeapRecordDescriptor, TmvBaseRecordDescriptor, TmvBaseRecordDescriptor);
MV_ITEM_CLASS(TmvBaseRecordCompressionDescriptor, TmvDictionaryItem, TmvBaseRecordCompressionDescriptor);
MV_STORAGE_CLASS(TmvBaseBlobDescriptor, TmvDictionaryItem, TmvBaseBlobDescriptor);
MV_STORAGE_CLASS(TmvHeapBlobDescriptor, TmvBaseBlobDescriptor, TmvBaseBlobDescriptor);
MV_ITEM_CLASS(TmvBaseHeapDescriptor, TmvDictionaryItem, TmvBaseHeapDescriptor);
MV_ITEM_CLASS(TmvBaseBlockHeapDescriptor, TmvDictionaryItem, TmvBaseBlockHeapDescriptor);
MV_STORAGE_CLASS(TmvBaseAutoIncDescriptor, TmvDictionaryItem, TmvBaseAutoIncDescriptor);
MV_STORAGE_CLASS(TmvAdvAutoIncDescriptor, TmvBaseAutoIncDescriptor, TmvBaseAutoIncDescriptor);

#undef MV_STORAGE_CLASS
#undef MV_ITEM_CLASS

TmvClassRegistry* TmvBaseStreamDescriptor::Registry() { return mvFamilyRegistry<TmvBaseStreamDescriptor>(); }
TmvClassRegistry* TmvBaseRecordDescriptor::Registry() { return mvFamilyRegistry<TmvBaseRecordDescriptor>(); }
TmvClassRegistry* TmvBaseRecordCompressionDescriptor::Registry() {
  return mvFamilyRegistry<TmvBaseRecordCompressionDescriptor>();
}
TmvClassRegistry* TmvBaseBlobDescriptor::Registry() { return mvFamilyRegistry<TmvBaseBlobDescriptor>(); }
TmvClassRegistry* TmvBaseHeapDescriptor::Registry() { return mvFamilyRegistry<TmvBaseHeapDescriptor>(); }
TmvClassRegistry* TmvBaseBlockHeapDescriptor::Registry() { return mvFamilyRegistry<TmvBaseBlockHeapDescriptor>(); }
TmvClassRegistry* TmvBaseAutoIncDescriptor::Registry() { return mvFamilyRegistry<TmvBaseAutoIncDescriptor>(); }

// ---------------------------------------------------------------------------
// TmvBaseStreamDescriptor

TmvBaseStreamDescriptor::TmvBaseStreamDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection)
    : TmvDictionaryItem(aParent), bsdHeaderSection(aHeaderSection) {}

void TmvBaseStreamDescriptor::SetStreamEngine(const String& aValue) { SetEngine(*this, bsdStreamEngine, aValue); }

// Body after the item header: integer 1, string engine.
void TmvBaseStreamDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  WriteEngineBody(aWriter, bsdStreamEngine);
}

void TmvBaseStreamDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  bsdStreamEngine = ReadEngineBody(aReader);
}

bool TmvBaseStreamDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = SameClassOther<TmvBaseStreamDescriptor>(this, aItem);
  return other && SameEngine(bsdStreamEngine, other->bsdStreamEngine);
}

// ---------------------------------------------------------------------------
// TmvBaseRecordDescriptor

TmvBaseRecordDescriptor::TmvBaseRecordDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection)
    : TmvDictionaryItem(aParent), brdHeaderSection(aHeaderSection) {
  RegisterFileChangeNotification();
}

TmvBaseRecordDescriptor::~TmvBaseRecordDescriptor() { UnregisterFileChangeNotification(); }

void TmvBaseRecordDescriptor::SetFileNumber(int32_t aValue) {
  StoreFileNumber<EmvBaseRecordDescriptorException>(*this, brdFileNumber, aValue);
}

void TmvBaseRecordDescriptor::SetRecordEngine(const String& aValue) { SetEngine(*this, brdRecordEngine, aValue); }

void TmvBaseRecordDescriptor::FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  FollowFileChange<EmvBaseRecordDescriptorException>(brdFileNumber, aBefore, aOldNumber, aNewNumber,
                                                     SFileUsedByRecordEngine);
}

// A version-1 reader keeps the records in file 0, so leaving out another
// file number drops information, which the thread's flag notes.
void TmvBaseRecordDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (WriteEngineFileBody(aWriter, aClientVersion, brdRecordEngine, brdFileNumber) && brdFileNumber != 0)
    mvSetMissingInformation(true);
}

void TmvBaseRecordDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  ReadEngineFileBody(aReader, brdRecordEngine, brdFileNumber);
}

void TmvBaseRecordDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  CheckFileNumber<EmvBaseRecordDescriptorException>(*this, brdFileNumber);
}

bool TmvBaseRecordDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = SameClassOther<TmvBaseRecordDescriptor>(this, aItem);
  return other && brdFileNumber == other->brdFileNumber && SameEngine(brdRecordEngine, other->brdRecordEngine);
}

// ---------------------------------------------------------------------------
// TmvHeapRecordDescriptor

TmvHeapRecordDescriptor::~TmvHeapRecordDescriptor() {
  mvFreeAndNil(hrdRecordCompressionDescriptor);
  mvFreeAndNil(hrdHeapDescriptor);
}

TmvBaseHeapDescriptor* TmvHeapRecordDescriptor::AddHeapDescriptor(const TmvDictionaryItemClassRef* aClass) {
  return ReplaceOwned(*this, hrdHeapDescriptor, aClass, TmvBaseHeapDescriptor::StaticClass, SHeapFamily);
}

void TmvHeapRecordDescriptor::RemoveHeapDescriptor() { RemoveSubItem(hrdHeapDescriptor); }

TmvBaseRecordCompressionDescriptor* TmvHeapRecordDescriptor::AddRecordCompressionDescriptor(
    const TmvDictionaryItemClassRef* aClass) {
  return ReplaceOwned(*this, hrdRecordCompressionDescriptor, aClass, TmvBaseRecordCompressionDescriptor::StaticClass,
                      SRecordCompressionFamily);
}

void TmvHeapRecordDescriptor::RemoveRecordCompressionDescriptor() { RemoveSubItem(hrdRecordCompressionDescriptor); }

void TmvHeapRecordDescriptor::Clear(bool aNotify) {
  TmvBaseRecordDescriptor::Clear(aNotify);
  mvFreeAndNil(hrdRecordCompressionDescriptor);
  mvFreeAndNil(hrdHeapDescriptor);
}

// Body: the record descriptor's, then
//   integer  version: 3, or 1 for peers below 20000
//   boolean  heap descriptor present; then its class name and body
//   boolean  compression descriptor present; then class name and body   (version 3)
// A version-2 body (no compression part) is read too.
void TmvHeapRecordDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseRecordDescriptor::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = aClientVersion < mvPeerVersionItemIDs ? 1 : 3;
  aWriter.WriteInteger(version);
  mvWriteOptionalItem(aWriter, hrdHeapDescriptor, aClientVersion);
  if (version >= 3)
    mvWriteOptionalItem(aWriter, hrdRecordCompressionDescriptor, aClientVersion);
  else if (hrdRecordCompressionDescriptor)
    mvSetMissingInformation(true);
}

// A sub-descriptor that the stream does not hold stays as it was, except
// that a version-1 body always had a heap: the default one is added.
void TmvHeapRecordDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseRecordDescriptor::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 3);
  if (aReader.ReadBoolean())
    ReadOwned(*this, aReader, hrdHeapDescriptor, TmvBaseHeapDescriptor::StaticClass, SHeapFamily);
  else if (version == 1)
    AddHeapDescriptor();
  if (version >= 3 && aReader.ReadBoolean())
    ReadOwned(*this, aReader, hrdRecordCompressionDescriptor, TmvBaseRecordCompressionDescriptor::StaticClass,
              SRecordCompressionFamily);
}

void TmvHeapRecordDescriptor::CheckValid(bool aForBuild) {
  TmvBaseRecordDescriptor::CheckValid(aForBuild);
  if (!hrdHeapDescriptor) AddHeapDescriptor();
  hrdHeapDescriptor->CheckValid(aForBuild);
  if (hrdRecordCompressionDescriptor) hrdRecordCompressionDescriptor->CheckValid(aForBuild);
}

bool TmvHeapRecordDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseRecordDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvHeapRecordDescriptor*>(aItem);
  return other && mvOptionalItemsEqual(hrdHeapDescriptor, other->hrdHeapDescriptor) &&
         mvOptionalItemsEqual(hrdRecordCompressionDescriptor, other->hrdRecordCompressionDescriptor);
}

// ---------------------------------------------------------------------------
// TmvBaseRecordCompressionDescriptor

void TmvBaseRecordCompressionDescriptor::SetRecordCompressionEngine(const String& aValue) {
  SetEngine(*this, brcdRecordCompressionEngine, aValue);
}

uint8_t TmvBaseRecordCompressionDescriptor::GetCompressType() const {
  if (!diCustomStrings || diCustomStrings->IndexOfName(SCompressTypeName) < 0) return 0;
  return ByteFromText(diCustomStrings->Values(SCompressTypeName));
}

void TmvBaseRecordCompressionDescriptor::SetCompressType(uint8_t aValue) {
  if (aValue != 0)
    GetCustomStrings().SetValue(SCompressTypeName, mvIntToStr(aValue));
  else if (diCustomStrings)
    diCustomStrings->SetValue(SCompressTypeName, String());
}

// Body after the item header (which carries CompressType): integer 1,
// string engine.
void TmvBaseRecordCompressionDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  WriteEngineBody(aWriter, brcdRecordCompressionEngine);
}

void TmvBaseRecordCompressionDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  brcdRecordCompressionEngine = ReadEngineBody(aReader);
}

bool TmvBaseRecordCompressionDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = SameClassOther<TmvBaseRecordCompressionDescriptor>(this, aItem);
  return other && SameEngine(brcdRecordCompressionEngine, other->brcdRecordCompressionEngine);
}

// ---------------------------------------------------------------------------
// TmvBaseBlobDescriptor

TmvBaseBlobDescriptor::TmvBaseBlobDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection)
    : TmvDictionaryItem(aParent), bbdHeaderSection(aHeaderSection) {
  RegisterFileChangeNotification();
}

TmvBaseBlobDescriptor::~TmvBaseBlobDescriptor() { UnregisterFileChangeNotification(); }

void TmvBaseBlobDescriptor::SetFileNumber(int32_t aValue) {
  StoreFileNumber<EmvBaseBlobDescriptorException>(*this, bbdFileNumber, aValue);
}

void TmvBaseBlobDescriptor::SetBlobEngine(const String& aValue) { SetEngine(*this, bbdBlobEngine, aValue); }

void TmvBaseBlobDescriptor::FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  FollowFileChange<EmvBaseBlobDescriptorException>(bbdFileNumber, aBefore, aOldNumber, aNewNumber,
                                                   SFileUsedByBlobEngine);
}

// Old peers learn the BLOB file from the old dictionary layout's file list,
// so leaving the number out here drops nothing.
void TmvBaseBlobDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  WriteEngineFileBody(aWriter, aClientVersion, bbdBlobEngine, bbdFileNumber);
}

void TmvBaseBlobDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  ReadEngineFileBody(aReader, bbdBlobEngine, bbdFileNumber);
}

void TmvBaseBlobDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  CheckFileNumber<EmvBaseBlobDescriptorException>(*this, bbdFileNumber);
}

bool TmvBaseBlobDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = SameClassOther<TmvBaseBlobDescriptor>(this, aItem);
  return other && bbdFileNumber == other->bbdFileNumber && SameEngine(bbdBlobEngine, other->bbdBlobEngine);
}

// ---------------------------------------------------------------------------
// TmvHeapBlobDescriptor

TmvHeapBlobDescriptor::~TmvHeapBlobDescriptor() { mvFreeAndNil(hbdHeapDescriptor); }

TmvBaseHeapDescriptor* TmvHeapBlobDescriptor::AddHeapDescriptor(const TmvDictionaryItemClassRef* aClass) {
  return ReplaceOwned(*this, hbdHeapDescriptor, aClass, TmvBaseHeapDescriptor::StaticClass, SHeapFamily);
}

void TmvHeapBlobDescriptor::RemoveHeapDescriptor() { RemoveSubItem(hbdHeapDescriptor); }

void TmvHeapBlobDescriptor::Clear(bool aNotify) {
  TmvBaseBlobDescriptor::Clear(aNotify);
  mvFreeAndNil(hbdHeapDescriptor);
}

// Body: the BLOB descriptor's, then
//   integer  version: 2, or 1 for peers below 20000
//   boolean  heap descriptor present; then its class name and body
void TmvHeapBlobDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseBlobDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(FileBodyVersion(aClientVersion));
  mvWriteOptionalItem(aWriter, hbdHeapDescriptor, aClientVersion);
}

void TmvHeapBlobDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseBlobDescriptor::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  if (aReader.ReadBoolean())
    ReadOwned(*this, aReader, hbdHeapDescriptor, TmvBaseHeapDescriptor::StaticClass, SHeapFamily);
  else if (version == 1)
    AddHeapDescriptor();
}

void TmvHeapBlobDescriptor::CheckValid(bool aForBuild) {
  TmvBaseBlobDescriptor::CheckValid(aForBuild);
  if (!hbdHeapDescriptor) AddHeapDescriptor();
  hbdHeapDescriptor->CheckValid(aForBuild);
}

bool TmvHeapBlobDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseBlobDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvHeapBlobDescriptor*>(aItem);
  return other && mvOptionalItemsEqual(hbdHeapDescriptor, other->hbdHeapDescriptor);
}

// ---------------------------------------------------------------------------
// TmvBaseHeapDescriptor

TmvBaseHeapDescriptor::~TmvBaseHeapDescriptor() { mvFreeAndNil(bhdBlockHeapDescriptor); }

void TmvBaseHeapDescriptor::SetHeapEngine(const String& aValue) { SetEngine(*this, bhdHeapEngine, aValue); }

TmvBaseBlockHeapDescriptor* TmvBaseHeapDescriptor::AddBlockHeapDescriptor(const TmvDictionaryItemClassRef* aClass) {
  return ReplaceOwned(*this, bhdBlockHeapDescriptor, aClass, TmvBaseBlockHeapDescriptor::StaticClass,
                      SBlockHeapFamily);
}

void TmvBaseHeapDescriptor::RemoveBlockHeapDescriptor() { RemoveSubItem(bhdBlockHeapDescriptor); }

void TmvBaseHeapDescriptor::Clear(bool aNotify) {
  TmvDictionaryItem::Clear(aNotify);
  mvFreeAndNil(bhdBlockHeapDescriptor);
}

// Body after the item header:
//   integer  version: 2, or 1 for peers below 20000
//   string   engine name
//   boolean  block-heap descriptor present; then its class name and body
// A version-1 body without block heap gets the default one.
void TmvBaseHeapDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(FileBodyVersion(aClientVersion));
  aWriter.WriteString(bhdHeapEngine);
  mvWriteOptionalItem(aWriter, bhdBlockHeapDescriptor, aClientVersion);
}

void TmvBaseHeapDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  bhdHeapEngine = aReader.ReadString();
  if (aReader.ReadBoolean())
    ReadOwned(*this, aReader, bhdBlockHeapDescriptor, TmvBaseBlockHeapDescriptor::StaticClass, SBlockHeapFamily);
  else if (version == 1)
    AddBlockHeapDescriptor();
}

void TmvBaseHeapDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  if (!bhdBlockHeapDescriptor) AddBlockHeapDescriptor();
  bhdBlockHeapDescriptor->CheckValid(aForBuild);
}

bool TmvBaseHeapDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = SameClassOther<TmvBaseHeapDescriptor>(this, aItem);
  return other && SameEngine(bhdHeapEngine, other->bhdHeapEngine) &&
         mvOptionalItemsEqual(bhdBlockHeapDescriptor, other->bhdBlockHeapDescriptor);
}

// ---------------------------------------------------------------------------
// TmvBaseBlockHeapDescriptor

void TmvBaseBlockHeapDescriptor::SetBlockHeapEngine(const String& aValue) {
  SetEngine(*this, bbhdBlockHeapEngine, aValue);
}

// Body after the item header: integer 1, string engine.
void TmvBaseBlockHeapDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  WriteEngineBody(aWriter, bbhdBlockHeapEngine);
}

void TmvBaseBlockHeapDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  bbhdBlockHeapEngine = ReadEngineBody(aReader);
}

bool TmvBaseBlockHeapDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = SameClassOther<TmvBaseBlockHeapDescriptor>(this, aItem);
  return other && SameEngine(bbhdBlockHeapEngine, other->bbhdBlockHeapEngine);
}

// ---------------------------------------------------------------------------
// TmvBaseAutoIncDescriptor

TmvBaseAutoIncDescriptor::TmvBaseAutoIncDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection)
    : TmvDictionaryItem(aParent), baidHeaderSection(aHeaderSection) {
  RegisterFileChangeNotification();
}

TmvBaseAutoIncDescriptor::~TmvBaseAutoIncDescriptor() { UnregisterFileChangeNotification(); }

void TmvBaseAutoIncDescriptor::SetFileNumber(int32_t aValue) {
  StoreFileNumber<EmvBaseAutoIncDescriptorException>(*this, baidFileNumber, aValue);
}

void TmvBaseAutoIncDescriptor::SetAutoIncEngine(const String& aValue) { SetEngine(*this, baidAutoIncEngine, aValue); }

void TmvBaseAutoIncDescriptor::FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  FollowFileChange<EmvBaseAutoIncDescriptorException>(baidFileNumber, aBefore, aOldNumber, aNewNumber,
                                                      SFileUsedByAutoIncEngine);
}

// Body after the item header, for every peer:
//   integer  1
//   string   engine name
//   integer  file number
void TmvBaseAutoIncDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  WriteEngineBody(aWriter, baidAutoIncEngine);
  aWriter.WriteInteger(baidFileNumber);
}

void TmvBaseAutoIncDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  baidAutoIncEngine = ReadEngineBody(aReader);
  baidFileNumber = aReader.ReadInteger();
}

void TmvBaseAutoIncDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  CheckFileNumber<EmvBaseAutoIncDescriptorException>(*this, baidFileNumber);
}

bool TmvBaseAutoIncDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = SameClassOther<TmvBaseAutoIncDescriptor>(this, aItem);
  return other && baidFileNumber == other->baidFileNumber && SameEngine(baidAutoIncEngine, other->baidAutoIncEngine);
}

// ---------------------------------------------------------------------------
// TmvAdvAutoIncDescriptor

namespace {

// The range's values are 1..4294967295: 0 is the one 32-bit pattern outside.
void CheckStepRange(TmvAutoIncStepRange aValue, const char16_t* aName) {
  if (aValue == 0) throw EmvBaseAutoIncDescriptorException(MVERR_INVALIDDESC, SNotAValidValue, {0, String(aName)});
}

}  // namespace

void TmvAdvAutoIncDescriptor::SetInitialValue(TmvAutoIncStepRange aValue) {
  CheckReadOnly();
  CheckStepRange(aValue, u"InitialValue");
  aaidInitialValue = aValue;
}

void TmvAdvAutoIncDescriptor::SetStep(TmvAutoIncStepRange aValue) {
  CheckReadOnly();
  CheckStepRange(aValue, u"Step");
  aaidStep = aValue;
}

// Body: the auto-increment descriptor's, then
//   integer  2
//   integer  InitialValue    (the 32 bits as a signed integer)
//   integer  Step            (the same)
// Version 1 held the last value L handed out and the step S: the next value
// is L + S, in 32 bits.
void TmvAdvAutoIncDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseAutoIncDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(2);
  aWriter.WriteInteger(int32_t(aaidInitialValue));
  aWriter.WriteInteger(int32_t(aaidStep));
}

void TmvAdvAutoIncDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseAutoIncDescriptor::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  const auto first = TmvAutoIncStepRange(aReader.ReadInteger());
  const auto step = TmvAutoIncStepRange(aReader.ReadInteger());
  SetStep(step);
  SetInitialValue(version == 1 ? first + step : first);
}

bool TmvAdvAutoIncDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseAutoIncDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvAdvAutoIncDescriptor*>(aItem);
  return other && aaidInitialValue == other->aaidInitialValue && aaidStep == other->aaidStep;
}
