// Data dictionary: index descriptors and indices descriptors. See
// mvsdIndexDescriptors.h.
#include "dictionary/keys/mvsdIndexDescriptors.h"

#include <algorithm>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"

namespace {

constexpr char16_t SInvalidFileNumber[] = u"Invalid file number: %d";
constexpr char16_t SIndexOutOfBounds[] = u"Index out of bounds: %d";
constexpr char16_t SDuplicatedIndexName[] = u"Duplicated index name: %s";
constexpr char16_t SCacheKeylessEngine[] = u"CacheKeylessBStarTree";

// More indexes than a table header has room for.
constexpr int32_t kMaxIndexes = 256;

template <typename T>
TmvIndexDescriptor* mvCreateIndex(TPersistent* aParent, const String& aName, int32_t aFileNumber,
                                  const TmvDictionaryItemClassRef* aKeyClass) {
  return new T(aParent, aName, aFileNumber, aKeyClass);
}

template <typename T>
TmvBaseIndicesDescriptor* mvCreateIndices(TPersistent* aParent, const AnsiString& aHeaderSection) {
  return new T(aParent, aHeaderSection);
}

// The class record of an item of a family whose records all share type R.
template <typename R>
const R& ClassOf(const TmvDictionaryItem& aItem) {
  return static_cast<const R&>(aItem.ClassType());
}

// 9999 "Invalid file number: %d" unless aFileNumber lies in the files
// related to aItem (nothing when none are related).
template <typename E>
void CheckFileNumber(TmvDictionaryItem& aItem, int32_t aFileNumber) {
  auto* files = aItem.FindRelatedDescriptor<TmvFilesDescriptor>();
  if (files && (aFileNumber < 0 || aFileNumber >= files->FileCount()))
    throw E(MVERR_INVALIDDESCNO, SInvalidFileNumber, {aFileNumber});
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvIndexDescriptor

TmvClassRegistry* TmvIndexDescriptor::Registry() { return mvFamilyRegistry<TmvIndexDescriptor>(); }

constinit const TmvIndexDescriptorClassRef TmvIndexDescriptor::StaticClass{
    {{{u"TmvIndexDescriptor", &TmvDictionaryItem::StaticClass}, &TmvIndexDescriptor::Registry, nullptr}, nullptr},
    &mvCreateIndex<TmvIndexDescriptor>};

// The key is made last: a key class that cannot be made leaves nothing
// registered behind.
TmvIndexDescriptor::TmvIndexDescriptor(TPersistent* aParent, const String& aName, int32_t aFileNumber,
                                       const TmvDictionaryItemClassRef* aKeyClass)
    : TmvDictionaryItem(aParent), idName(aName), idIndexEngine(mvDefaultIndexEngine), idFileNumber(aFileNumber) {
  mvCheckIdentifier<EmvIndexDescriptorException>(aName, MVERR_INVALIDINDEXNAME, false);
  const TmvDictionaryItemClassRef& keyClass = aKeyClass ? *aKeyClass : TmvCompKeyDescriptor::StaticClass;
  if (!keyClass.InheritsFrom(&TmvBaseKeyDescriptor::StaticClass))
    mvRaiseUnsupportedClass(u"KeyDescriptor", keyClass.Name());
  RegisterFileChangeNotification();
  try {
    idKeyDescriptor = static_cast<TmvBaseKeyDescriptor*>(mvCreateItemOfClass(keyClass, this, u"KeyDescriptor"));
  } catch (...) {
    UnregisterFileChangeNotification();
    throw;
  }
}

TmvIndexDescriptor::~TmvIndexDescriptor() {
  mvFreeAndNil(idKeyDescriptor);
  UnregisterFileChangeNotification();
}

TmvIndexDescriptor* TmvIndexDescriptor::CreateStandalone(int32_t aNumber, const String& aName, int32_t aFileNumber,
                                                         const TmvDictionaryItemClassRef* aKeyClass,
                                                         const TmvIndexDescriptorClassRef* aClass) {
  const TmvIndexDescriptorClassRef& cls = aClass ? *aClass : StaticClass;
  if (!cls.CreateIndex) mvRaiseUnsupportedClass(u"IndexDescriptor", cls.Name());
  TmvIndexDescriptor* index = cls.CreateIndex(nullptr, aName, aFileNumber, aKeyClass);
  index->idNumber = aNumber;
  return index;
}

bool TmvIndexDescriptor::IsValidFor(TmvDictionaryItem* aTableDescriptor) {
  auto* files =
      static_cast<TmvFilesDescriptor*>(aTableDescriptor->GetRelatedDescriptorOfType(TmvFilesDescriptor::StaticClass));
  return files && idFileNumber >= 0 && idFileNumber < files->FileCount() &&
         idKeyDescriptor->IsValidFor(aTableDescriptor);
}

// The new key is complete before it replaces the old one.
void TmvIndexDescriptor::SetupForCacheTable() {
  CheckReadOnly();
  if (!SameClassName(idName, mvSequentialAccessIndexName)) {
    idDups = idAll;
    idIndexEngine = SCacheKeylessEngine;
    return;
  }
  int32_t refNrField = -1;
  if (auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>()) fields->HasRefNrField(refNrField);
  ReplaceWithNoNullKey(refNrField);
  idDups = idNone;
  idIndexEngine = mvDefaultIndexEngine;
}

void TmvIndexDescriptor::ReplaceWithNoNullKey(int32_t aFieldNumber) {
  CheckReadOnly();
  auto* key = new TmvNoNullCompKeyDescriptor(this);
  try {
    key->Add(aFieldNumber);
  } catch (...) {
    delete key;
    throw;
  }
  delete idKeyDescriptor;
  idKeyDescriptor = key;
}

TmvFileDescriptor* TmvIndexDescriptor::IndexFile() {
  auto* files = FindRelatedDescriptor<TmvFilesDescriptor>();
  if (!files || idFileNumber < 0 || idFileNumber >= files->FileCount()) return nullptr;
  return files->FileDescriptor(idFileNumber);
}

void TmvIndexDescriptor::SetIndexEngine(const String& aValue) {
  CheckReadOnly();
  idIndexEngine = aValue;
}

void TmvIndexDescriptor::SetDesc(const String& aValue) {
  CheckReadOnly();
  idDesc = aValue;
}

void TmvIndexDescriptor::SetDups(TmvIndexDups aValue) {
  CheckReadOnly();
  idDups = aValue;
}

void TmvIndexDescriptor::FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  if (!aBefore) {
    idFileNumber = mvRenumberAfterChange(idFileNumber, aOldNumber, aNewNumber);
  } else if (mvChangeRemoves(idFileNumber, aOldNumber, aNewNumber)) {
    throw EmvIndexDescriptorException(
        MVERR_OBJECTINUSE, u"Cannot remove file %d because it is still referenced by an index", {idFileNumber});
  }
}

void TmvIndexDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  mvCheckIdentifier<EmvIndexDescriptorException>(idName, MVERR_INVALIDINDEXNAME, false);
  CheckFileNumber<EmvIndexDescriptorException>(*this, idFileNumber);
  idKeyDescriptor->CheckValid(aForBuild);
}

bool TmvIndexDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvIndexDescriptor*>(aItem);
  return other && idName == other->idName && idDesc == other->idDesc &&
         SameClassName(idIndexEngine, other->idIndexEngine) && idFileNumber == other->idFileNumber &&
         idDups == other->idDups && idKeyDescriptor->IsEqual(other->idKeyDescriptor);
}

// Own part, after the item header:
//   integer  version: 1, or 2 when idDups is idNull (peers from 20400 on)
//   string   idIndexEngine
//   string   idDesc
//   v1: boolean  idDups = idAll     v2: integer  ordinal of idDups
//            (0 idNone, 1 idNull, 2 idAll)
//   the key descriptor's stream form, without class name
void TmvIndexDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  const int32_t version = idDups == idNull ? 2 : 1;
  if (version == 2) mvCheckClientVersion(aClientVersion, mvPeerVersionIndexDupsNull);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteString(idIndexEngine);
  aWriter.WriteString(idDesc);
  if (version == 1)
    aWriter.WriteBoolean(idDups == idAll);
  else
    aWriter.WriteInteger(int32_t(idDups));
  idKeyDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TmvIndexDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  idIndexEngine = aReader.ReadString();
  idDesc = aReader.ReadString();
  if (version == 1) {
    idDups = aReader.ReadBoolean() ? idAll : idNone;
  } else {
    const int32_t dups = aReader.ReadInteger();
    if (dups < idNone || dups > idAll) mvRaiseCode<EmvIndexDescriptorException>(MVERR_INCOMPATIBLESTREAM);
    idDups = TmvIndexDups(dups);
  }
  idKeyDescriptor->LoadFromReader(aReader);
}

// Standalone form:
//   string   class name of the index
//   string   class name of its key descriptor
//   integer  idNumber
//   string   idName
//   integer  idFileNumber
//   the index's stream form (item header and own part)
void TmvIndexDescriptor::SaveStandalone(TmvWriter& aWriter, int32_t aVersion) {
  aWriter.WriteString(ClassName());
  aWriter.WriteString(idKeyDescriptor->ClassName());
  aWriter.WriteInteger(idNumber);
  aWriter.WriteString(idName);
  aWriter.WriteInteger(idFileNumber);
  SaveToWriter(aWriter, aVersion);
}

TmvIndexDescriptor* TmvIndexDescriptor::CreateStandaloneFromReader(TmvReader& aReader) {
  const auto& cls = mvReadItemClass(aReader, TmvIndexDescriptor::StaticClass, u"IndexDescriptor");
  const auto& keyClass = mvReadItemClass(aReader, TmvBaseKeyDescriptor::StaticClass, u"KeyDescriptor");
  const int32_t number = aReader.ReadInteger();
  const String name = aReader.ReadString();
  const int32_t fileNumber = aReader.ReadInteger();
  TmvIndexDescriptor* index = CreateStandalone(number, name, fileNumber, &keyClass, &cls);
  try {
    index->LoadFromReader(aReader);
  } catch (...) {
    delete index;
    throw;
  }
  return index;
}

// ---------------------------------------------------------------------------
// TmvBaseIndicesDescriptor

TmvClassRegistry* TmvBaseIndicesDescriptor::Registry() { return mvFamilyRegistry<TmvBaseIndicesDescriptor>(); }

constinit const TmvIndicesDescriptorClassRef TmvBaseIndicesDescriptor::StaticClass{
    {{{u"TmvBaseIndicesDescriptor", &TmvDictionaryItem::StaticClass}, &TmvBaseIndicesDescriptor::Registry, nullptr},
     nullptr},
    &mvCreateIndices<TmvBaseIndicesDescriptor>};
constinit const TmvIndicesDescriptorClassRef TmvMainIndicesDescriptor::StaticClass{
    {{{u"TmvMainIndicesDescriptor", &TmvBaseIndicesDescriptor::StaticClass}, &TmvBaseIndicesDescriptor::Registry,
      nullptr},
     nullptr},
    &mvCreateIndices<TmvMainIndicesDescriptor>};
constinit const TmvIndicesDescriptorClassRef TmvInternalIndicesDescriptor::StaticClass{
    {{{u"TmvInternalIndicesDescriptor", &TmvBaseIndicesDescriptor::StaticClass}, &TmvBaseIndicesDescriptor::Registry,
      nullptr},
     nullptr},
    &mvCreateIndices<TmvInternalIndicesDescriptor>};

TmvBaseIndicesDescriptor::TmvBaseIndicesDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection)
    : TmvDictionaryItem(aParent), bidHeaderSection(aHeaderSection) {}

// No read-only check here: a frozen dictionary is freed as a whole.
TmvBaseIndicesDescriptor::~TmvBaseIndicesDescriptor() {
  DropIndexes();
  mvFreeAndNil(bidIndexChangeNotifies);
}

void TmvBaseIndicesDescriptor::DropIndexes() {
  while (!bidIndexes.empty()) {
    TmvIndexDescriptor* index = bidIndexes.back();
    bidIndexes.pop_back();
    delete index;
  }
}

void TmvBaseIndicesDescriptor::RenumberFrom(int32_t aFrom) {
  for (int32_t i = aFrom; i < IndexCount(); ++i) bidIndexes[size_t(i)]->idNumber = i;
}

void TmvBaseIndicesDescriptor::CheckPosition(int32_t aInx, int32_t aHigh) const {
  if (aInx < 0 || aInx > aHigh) throw EmvIndicesDescriptorException(MVERR_INVALIDDESCNO, SIndexOutOfBounds, {aInx});
}

const TmvDictionaryItemClassRef& TmvBaseIndicesDescriptor::GetDefaultKeyDescriptorClass() {
  return TmvCompKeyDescriptor::StaticClass;
}

const TmvIndexDescriptorClassRef& TmvBaseIndicesDescriptor::GetDefaultIndexDescriptorClass() {
  return TmvIndexDescriptor::StaticClass;
}

void TmvBaseIndicesDescriptor::bidIndexChangeNotification(bool aCheckOnly, int32_t aOldNumber, int32_t aNewNumber) {
  mvSendChangeNotification(bidIndexChangeNotifies, &TmvDictionaryItem::IndexChangeNotification, aCheckOnly,
                           aOldNumber, aNewNumber);
}

void TmvBaseIndicesDescriptor::SetupForCacheTable() {
  for (TmvIndexDescriptor* index : bidIndexes) index->SetupForCacheTable();
}

void TmvBaseIndicesDescriptor::SetIndicesEngine(const String& aValue) {
  CheckReadOnly();
  bidIndicesEngine = aValue;
}

// Appends a new index without announcing it.
TmvIndexDescriptor* TmvBaseIndicesDescriptor::NewIndex(const String& aName, int32_t aFileNumber, TmvIndexDups aDups,
                                                       const String& aDesc, const TmvDictionaryItemClassRef* aKeyClass,
                                                       const TmvIndexDescriptorClassRef* aIndexClass) {
  CheckReadOnly();
  mvCheckIdentifier<EmvIndicesDescriptorException>(aName, MVERR_INVALIDINDEXNAME, false);
  if (GetIndexFromName(aName) >= 0)
    throw EmvIndicesDescriptorException(MVERR_INDEXEXISTS, SDuplicatedIndexName, {aName});
  CheckFileNumber<EmvIndicesDescriptorException>(*this, aFileNumber);
  const TmvIndexDescriptorClassRef& cls = aIndexClass ? *aIndexClass : GetDefaultIndexDescriptorClass();
  if (!cls.CreateIndex) mvRaiseUnsupportedClass(u"IndexDescriptor", cls.Name());
  bidIndexes.reserve(bidIndexes.size() + 1);
  TmvIndexDescriptor* index =
      cls.CreateIndex(this, aName, aFileNumber, aKeyClass ? aKeyClass : &GetDefaultKeyDescriptorClass());
  index->idDups = aDups;
  index->idDesc = aDesc;
  index->idNumber = IndexCount();
  bidIndexes.push_back(index);
  return index;
}

TmvIndexDescriptor* TmvBaseIndicesDescriptor::AddIndex(const String& aName, int32_t aFileNumber, TmvIndexDups aDups,
                                                       const String& aDesc, const TmvDictionaryItemClassRef* aKeyClass,
                                                       const TmvIndexDescriptorClassRef* aIndexClass) {
  TmvIndexDescriptor* index = NewIndex(aName, aFileNumber, aDups, aDesc, aKeyClass, aIndexClass);
  bidIndexChangeNotification(false, -1, index->idNumber);
  return index;
}

TmvIndexDescriptor* TmvBaseIndicesDescriptor::AddIndex(const String& aName, int32_t aFileNumber, bool aAllowDups,
                                                       const String& aDesc, const TmvDictionaryItemClassRef* aKeyClass,
                                                       const TmvIndexDescriptorClassRef* aIndexClass) {
  return AddIndex(aName, aFileNumber, aAllowDups ? idAll : idNone, aDesc, aKeyClass, aIndexClass);
}

// The copy reads the source's stream form, item header included, and then
// takes back the ID it was made with; the source is not touched.
TmvIndexDescriptor* TmvBaseIndicesDescriptor::AddIndex(TmvIndexDescriptor* aIndexDescriptor) {
  CheckReadOnly();
  TmvIndexDescriptor& source = *aIndexDescriptor;
  TmvIndexDescriptor* index = AddIndex(source.idName, source.idFileNumber, source.idDups, source.idDesc,
                                       &ClassOf<TmvDictionaryItemClassRef>(*source.idKeyDescriptor),
                                       &ClassOf<TmvIndexDescriptorClassRef>(source));
  const int32_t ownID = index->diID;
  try {
    TmvMemoryStream stream;
    {
      TmvWriter writer(stream);
      source.SaveToWriter(writer, mvPeerVersionOwn);
      writer.FlushBuffer();
    }
    stream.SetPosition(0);
    TmvReader reader(stream);
    index->LoadFromReader(reader);
    index->diID = ownID;
  } catch (...) {
    RemoveIndex(index->idNumber);
    throw;
  }
  return index;
}

TmvIndexDescriptor* TmvBaseIndicesDescriptor::InsertIndexAt(int32_t aInx, const String& aName, int32_t aFileNumber,
                                                            TmvIndexDups aDups, const String& aDesc,
                                                            const TmvDictionaryItemClassRef* aKeyClass,
                                                            const TmvIndexDescriptorClassRef* aIndexClass) {
  CheckReadOnly();
  mvCheckIdentifier<EmvIndicesDescriptorException>(aName, MVERR_INVALIDINDEXNAME, false);
  CheckPosition(aInx, IndexCount());
  bidIndexChangeNotification(true, -1, aInx);
  TmvIndexDescriptor* index = AddIndex(aName, aFileNumber, aDups, aDesc, aKeyClass, aIndexClass);
  if (aInx < index->idNumber) {
    bidIndexes.pop_back();
    bidIndexes.insert(bidIndexes.begin() + aInx, index);
    RenumberFrom(aInx);
    bidIndexChangeNotification(false, -1, aInx);
  }
  return index;
}

TmvIndexDescriptor* TmvBaseIndicesDescriptor::InsertIndexAt(int32_t aInx, const String& aName, int32_t aFileNumber,
                                                            bool aAllowDups, const String& aDesc,
                                                            const TmvDictionaryItemClassRef* aKeyClass,
                                                            const TmvIndexDescriptorClassRef* aIndexClass) {
  return InsertIndexAt(aInx, aName, aFileNumber, aAllowDups ? idAll : idNone, aDesc, aKeyClass, aIndexClass);
}

void TmvBaseIndicesDescriptor::MoveIndex(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  CheckPosition(aFrom, IndexCount() - 1);
  CheckPosition(aTo, IndexCount() - 1);
  if (aFrom == aTo) return;
  bidIndexChangeNotification(true, aFrom, aTo);
  TmvIndexDescriptor* index = bidIndexes[size_t(aFrom)];
  bidIndexes.erase(bidIndexes.begin() + aFrom);
  bidIndexes.insert(bidIndexes.begin() + aTo, index);
  RenumberFrom(std::min(aFrom, aTo));
  bidIndexChangeNotification(false, aFrom, aTo);
}

void TmvBaseIndicesDescriptor::RemoveIndex(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= IndexCount()) return;
  bidIndexChangeNotification(true, aInx, -1);
  TmvIndexDescriptor* index = bidIndexes[size_t(aInx)];
  bidIndexes.erase(bidIndexes.begin() + aInx);
  delete index;
  RenumberFrom(aInx);
  bidIndexChangeNotification(false, aInx, -1);
}

void TmvBaseIndicesDescriptor::RemoveIndex(const String& aName) {
  const int32_t inx = GetIndexFromName(aName);
  if (inx >= 0) RemoveIndex(inx);
}

int32_t TmvBaseIndicesDescriptor::GetIndexFromName(const String& aIndexName) const {
  for (int32_t i = 0; i < IndexCount(); ++i)
    if (SameClassName(bidIndexes[size_t(i)]->idName, aIndexName)) return i;
  return -1;
}

TmvIndexDescriptor* TmvBaseIndicesDescriptor::GetDescriptorFromName(const String& aIndexName) const {
  const int32_t inx = GetIndexFromName(aIndexName);
  return inx < 0 ? nullptr : bidIndexes[size_t(inx)];
}

namespace {

// Whether aKey is a composite key without filter over exactly aFields.
bool KeyOverFields(TmvBaseKeyDescriptor* aKey, const std::vector<int32_t>& aFields) {
  auto* key = dynamic_cast<TmvCompKeyDescriptor*>(aKey);
  if (!key || key->GetFilter() || key->KeyFieldCount() != int32_t(aFields.size())) return false;
  for (int32_t i = 0; i < key->KeyFieldCount(); ++i)
    if (key->KeyFields(i)->GetFieldNumber() != aFields[size_t(i)]) return false;
  return true;
}

}  // namespace

bool TmvBaseIndicesDescriptor::HasIndex(const std::vector<int32_t>& aFields, int32_t& aIndex,
                                        TmvIndexDupsSet aDups) const {
  for (int32_t i = 0; i < IndexCount(); ++i) {
    TmvIndexDescriptor* index = bidIndexes[size_t(i)];
    if (mvInSet(aDups, index->idDups) && KeyOverFields(index->idKeyDescriptor, aFields)) {
      aIndex = i;
      return true;
    }
  }
  aIndex = -1;
  return false;
}

void TmvBaseIndicesDescriptor::Clear(bool aNotify) {
  CheckReadOnly();
  mvClearAnnounced(
      IndexCount(), aNotify, [this](bool b, int32_t o, int32_t n) { bidIndexChangeNotification(b, o, n); },
      [&] {
        TmvDictionaryItem::Clear(aNotify);
        DropIndexes();
        bidIndicesEngine = mvDefaultIndexEngine;
      });
}

void TmvBaseIndicesDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  if (bidIndexes.empty())
    throw EmvIndicesDescriptorException(MVERR_INVALIDINDEXSTRUCT,
                                        String(u"IndicesDescriptor requires a minimum of one index"));
  if (IndexCount() > kMaxIndexes) mvRaiseCode<EmvIndicesDescriptorException>(MVERR_TOOMANYINDEXES);
  std::vector<String> seen;
  seen.reserve(bidIndexes.size());
  for (int32_t i = 0; i < IndexCount(); ++i) {
    TmvIndexDescriptor* index = bidIndexes[size_t(i)];
    String lower = mvLowerCaseName(index->idName);
    if (std::find(seen.begin(), seen.end(), lower) != seen.end())
      throw EmvIndicesDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedIndexName, {index->idName});
    seen.push_back(std::move(lower));
    index->idNumber = i;
    index->CheckValid(aForBuild);
  }
}

bool TmvBaseIndicesDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvBaseIndicesDescriptor*>(aItem);
  if (!other || IndexCount() != other->IndexCount() || !SameClassName(bidIndicesEngine, other->bidIndicesEngine))
    return false;
  for (int32_t i = 0; i < IndexCount(); ++i)
    if (!bidIndexes[size_t(i)]->IsEqual(other->bidIndexes[size_t(i)])) return false;
  return true;
}

// Index list, in the body below and in the old dictionary layout:
//   integer  index count
//   per index: string class name of the index, string class name of its
//   key, string name, integer file number, the index's own part
void TmvBaseIndicesDescriptor::WriteIndexes(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteInteger(IndexCount());
  for (TmvIndexDescriptor* index : bidIndexes) {
    aWriter.WriteString(index->ClassName());
    aWriter.WriteString(index->idKeyDescriptor->ClassName());
    aWriter.WriteString(index->idName);
    aWriter.WriteInteger(index->idFileNumber);
    index->SaveToWriter(aWriter, aClientVersion);
  }
}

void TmvBaseIndicesDescriptor::ReadIndexes(TmvReader& aReader) {
  DropIndexes();
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    const auto& cls = mvReadItemClass(aReader, TmvIndexDescriptor::StaticClass, u"IndexDescriptor");
    const auto& keyClass = mvReadItemClass(aReader, TmvBaseKeyDescriptor::StaticClass, u"KeyDescriptor");
    const String name = aReader.ReadString();
    const int32_t fileNumber = aReader.ReadInteger();
    if (!cls.CreateIndex) mvRaiseUnsupportedClass(u"IndexDescriptor", cls.Name());
    bidIndexes.reserve(bidIndexes.size() + 1);
    TmvIndexDescriptor* index = cls.CreateIndex(this, name, fileNumber, &keyClass);
    index->idNumber = i;
    bidIndexes.push_back(index);
    index->LoadFromReader(aReader);
  }
}

// Body, after the item header (peers from 20000 on):
//   integer  1
//   string   bidIndicesEngine
//   the index list (above)
void TmvBaseIndicesDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteString(bidIndicesEngine);
  WriteIndexes(aWriter, aClientVersion);
}

void TmvBaseIndicesDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  bidIndicesEngine = aReader.ReadString();
  ReadIndexes(aReader);
}

// ---------------------------------------------------------------------------
// TmvMainIndicesDescriptor

void TmvMainIndicesDescriptor::SetDefaultIndex(int32_t aValue) {
  CheckReadOnly();
  if (IndexCount() == 0) {
    midDefaultIndex = -1;
  } else if (aValue < 0) {
    midDefaultIndex = 0;
  } else if (aValue >= IndexCount()) {
    throw EmvIndicesDescriptorException(MVERR_INVALIDDESCNO, u"Invalid default index number: %d", {aValue});
  } else {
    midDefaultIndex = aValue;
  }
}

void TmvMainIndicesDescriptor::bidIndexChangeNotification(bool aCheckOnly, int32_t aOldNumber, int32_t aNewNumber) {
  TmvBaseIndicesDescriptor::bidIndexChangeNotification(aCheckOnly, aOldNumber, aNewNumber);
  if (aCheckOnly) return;
  midDefaultIndex = mvRenumberAfterChange(midDefaultIndex, aOldNumber, aNewNumber);
  if (IndexCount() > 0 && midDefaultIndex < 0) midDefaultIndex = 0;
}

void TmvMainIndicesDescriptor::Clear(bool aNotify) {
  TmvBaseIndicesDescriptor::Clear(aNotify);
  SetDefaultIndex(-1);
}

void TmvMainIndicesDescriptor::CheckValid(bool aForBuild) {
  TmvBaseIndicesDescriptor::CheckValid(aForBuild);
  if (IndexCount() == 0) {
    midDefaultIndex = -1;
  } else if (midDefaultIndex < 0) {
    midDefaultIndex = 0;
  } else if (midDefaultIndex >= IndexCount()) {
    throw EmvIndicesDescriptorException(MVERR_INVALIDDESCNO, u"Invalid default index number: %d", {midDefaultIndex});
  }
}

bool TmvMainIndicesDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseIndicesDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvMainIndicesDescriptor*>(aItem);
  return other && midDefaultIndex == other->midDefaultIndex;
}

// The base body, then integer 1 and integer midDefaultIndex.
void TmvMainIndicesDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(midDefaultIndex);
}

void TmvMainIndicesDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseIndicesDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  SetDefaultIndex(aReader.ReadInteger());
}

// ---------------------------------------------------------------------------
// TmvInternalIndicesDescriptor

// The base body, then integer 1; peers from 47005 on.
void TmvInternalIndicesDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionInternalIndices);
  TmvBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvInternalIndicesDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseIndicesDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

// ---------------------------------------------------------------------------
// The dictionary item's subscription to index changes: defined here, beside what it
// subscribes to, so that the item's own unit needs no descendant.

void TmvDictionaryItem::RegisterIndexChangeNotification() {
  if (auto* indices = FindRelatedDescriptor<TmvMainIndicesDescriptor>()) indices->AddIndexChangeNotify(this);
}
void TmvDictionaryItem::UnregisterIndexChangeNotification() {
  if (auto* indices = FindRelatedDescriptor<TmvMainIndicesDescriptor>()) indices->RemoveIndexChangeNotify(this);
}
