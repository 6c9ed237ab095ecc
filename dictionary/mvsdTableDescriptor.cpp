// Data dictionary: table descriptors and the list of nested tables. See
// mvsdTableDescriptor.h.
#include "dictionary/mvsdTableDescriptor.h"

#include <algorithm>

#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"

const std::u16string_view mvTableCachingStateNames[3] = {u"tcsNone", u"tcsCacheable", u"tcsIsCache"};

namespace {

constexpr char16_t SIndexOutOfBounds[] = u"Index out of bounds: %d";
constexpr char16_t SConstraintInUse[] = u"Constraint name already in use: \"%s\"";
constexpr char16_t SNoFields[] = u"FieldsDescriptor requires a minimum of one field";
constexpr char16_t SRecordRequired[] = u"A record descriptor is required";
constexpr char16_t SDuplicatedTableName[] = u"Duplicated table name: %s";
constexpr char16_t SDuplicatedTableDescName[] = u"Duplicated table descriptor name: %s";
constexpr char16_t SCachingStateName[] = u"$CachingState";
constexpr char16_t STableFamily[] = u"TableDescriptor";

template <typename T>
TmvNestedTableDescriptor* mvCreateTable(TPersistent* aParent, const String& aName) {
  return new T(aParent, aName);
}

// The parent, once the name has passed: a bad name must not cost the
// dictionary an item ID nor enter the parent's child list.
TPersistent* ParentForTableName(TPersistent* aParent, const String& aName) {
  mvCheckIdentifier<EmvNestedTableDescriptorException>(aName, MVERR_INVALIDTABLENAME, false);
  return aParent;
}

[[noreturn]] void RaiseIncompatibleStream() { mvRaiseCode<EmvBaseTableDescriptorException>(MVERR_INCOMPATIBLESTREAM); }

// The slot's descriptor when it is of class aType, else nil.
TmvDictionaryItem* SlotOfType(TmvDictionaryItem* aSlot, const ClassRef& aType) {
  return aSlot && aSlot->InheritsFrom(aType) ? aSlot : nullptr;
}

template <typename T>
void FreeIndices(T*& aSlot, bool aNotify) {
  if (aSlot && aNotify) aSlot->Clear(true);
  mvFreeAndNil(aSlot);
}

template <typename T>
T* ReplaceIndices(TmvDictionaryItem& aOwner, T*& aSlot, const TmvIndicesDescriptorClassRef& aClass,
                  const AnsiString& aSection) {
  aOwner.CheckReadOnly();
  mvCheckItemFamily(aClass, T::StaticClass, u"IndicesDescriptor");
  if (!aClass.CreateIndices) mvRaiseUnsupportedClass(u"IndicesDescriptor", aClass.Name());
  if (aSlot) aSlot->Clear(true);  // a registered item may refuse: nothing changed yet
  T* made = static_cast<T*>(aClass.CreateIndices(&aOwner, aSection));
  mvFreeAndNil(aSlot);
  aSlot = made;
  return made;
}

}  // namespace

// ---------------------------------------------------------------------------
// Stream helpers of the table and dictionary bodies

void mvWritePart(TmvWriter& aWriter, std::u16string_view aIdent, TmvDictionaryItem* aItem, int32_t aClientVersion) {
  aWriter.WriteIdent(aIdent);
  mvWriteOptionalItem(aWriter, aItem, aClientVersion);
}

void mvReadSection(TmvReader& aReader, std::u16string_view aIdent) {
  if (aReader.ReadIdent() != aIdent) RaiseIncompatibleStream();
}

void mvReadFixedPart(TmvReader& aReader, TmvDictionaryItem& aItem, std::u16string_view aFamilyWord) {
  if (!aReader.ReadBoolean()) RaiseIncompatibleStream();
  const auto& family = static_cast<const TmvDictionaryItemClassRef&>(aItem.ClassType());
  if (&mvReadItemClass(aReader, family, aFamilyWord) != &family) RaiseIncompatibleStream();
  aItem.LoadFromReader(aReader);
}

// ---------------------------------------------------------------------------
// TmvBaseTableDescriptor

TmvClassRegistry* TmvBaseTableDescriptor::Registry() { return mvFamilyRegistry<TmvBaseTableDescriptor>(); }

// The family root of the table descriptors, whose registry holds the
// nested table classes. It cannot be made on its own.
constinit const TmvTableDescriptorClassRef TmvBaseTableDescriptor::StaticClass{
    {{{u"TmvBaseTableDescriptor", &TmvLocalizedDictionaryItem::StaticClass},
      &TmvBaseTableDescriptor::Registry,
      nullptr},
     nullptr},
    nullptr};

void TmvBaseTableDescriptor::CreateParts() {
  tdFieldsDescriptor = new TmvFieldsDescriptor(this);
  tdCustomDescsDescriptor = new TmvCustomDescsDescriptor(this);
  tdTablesDescriptor = new TmvTablesDescriptor(this);
}

TmvBaseTableDescriptor::~TmvBaseTableDescriptor() { FreeParts(); }

void TmvBaseTableDescriptor::FreeParts() {
  mvFreeAndNil(tdCustomDescsDescriptor);
  mvFreeAndNil(tdTablesDescriptor);
  mvFreeAndNil(tdIndicesDescriptor);
  mvFreeAndNil(tdInternalIndicesDescriptor);
  mvFreeAndNil(tdRecordDescriptor);
  mvFreeAndNil(tdBlobDescriptor);
  mvFreeAndNil(tdAutoIncDescriptor);
  FreeLocaleDescriptor();
  mvFreeAndNil(tdFieldsDescriptor);
}

// In this order: the custom descriptors and the indexes refer to fields and
// indexes by number and may refuse their removal (with aNotify), so they go
// before the fields. The internal indexes stay.
void TmvBaseTableDescriptor::ClearDescriptors(bool, bool aNotify) {
  CheckReadOnly();
  tdCustomDescsDescriptor->Clear(aNotify);
  FreeIndices(tdIndicesDescriptor, aNotify);
  tdFieldsDescriptor->Clear(aNotify);
  RemoveRecordDescriptor();
  RemoveBlobDescriptor();
  RemoveLocaleDescriptor();
  RemoveAutoIncDescriptor();
  tdTablesDescriptor->Clear(aNotify);
}

void TmvBaseTableDescriptor::AssignOnlyFields(TmvBaseTableDescriptor* aSource) {
  CheckReadOnly();
  ClearDescriptors(false, false);
  if (TmvLocaleDescriptor* locale = aSource->GetLocaleDescriptor())
    AddLocaleDescriptor(&static_cast<const TmvDictionaryItemClassRef&>(locale->ClassType()))->Assign(locale);
  TmvFieldsDescriptor* fields = aSource->tdFieldsDescriptor;
  for (int32_t i = 0; i < fields->FieldCount(); ++i) {
    TmvFieldDescriptor* source = fields->FieldDescriptor(i);
    TmvFieldDescriptor* field = tdFieldsDescriptor->AddField(
        source->Name(), source->GetDesc(), source->FieldType(), source->Units(), source->DecPl(), false,
        &static_cast<const TmvFieldDescriptorClassRef&>(source->ClassType()));
    if (TmvLocaleDescriptor* locale = source->GetLocaleDescriptor())
      field->AddLocaleDescriptor(&static_cast<const TmvDictionaryItemClassRef&>(locale->ClassType()))->Assign(locale);
  }
  TmvTablesDescriptor* tables = aSource->tdTablesDescriptor;
  for (int32_t i = 0; i < tables->TableCount(); ++i) {
    TmvNestedTableDescriptor* source = tables->TableDescriptor(i);
    tdTablesDescriptor
        ->AddTable(source->GetName(), &static_cast<const TmvTableDescriptorClassRef&>(source->ClassType()))
        ->AssignOnlyFields(source);
  }
  auto* record = static_cast<TmvHeapRecordDescriptor*>(AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
}

bool TmvBaseTableDescriptor::ConstraintRegistered(TmvDictionaryItem* aItem) const {
  const String& name = aItem->GetConstraintName();
  return !name.empty() && GetConstraintByName(name);
}

bool TmvBaseTableDescriptor::IsIndexDescValid(TmvIndexDescriptor* aIndexDesc) {
  return !ConstraintRegistered(aIndexDesc) && aIndexDesc->IsValidFor(this);
}

bool TmvBaseTableDescriptor::IsFieldDescValid(TmvFieldDescriptor* aFieldDesc) {
  return !ConstraintRegistered(aFieldDesc) && aFieldDesc->IsValidFor(this);
}

// ---------------------------------------------------------------------------
// Optional sub-descriptors

TmvBaseRecordDescriptor* TmvBaseTableDescriptor::AddRecordDescriptor(const TmvStorageDescriptorClassRef* aClass) {
  return mvReplaceStorageDescriptor(*this, tdRecordDescriptor, aClass ? *aClass : TmvBaseRecordDescriptor::StaticClass,
                                    "Record", u"RecordDescriptor");
}

TmvBaseBlobDescriptor* TmvBaseTableDescriptor::AddBlobDescriptor(const TmvStorageDescriptorClassRef* aClass) {
  return mvReplaceStorageDescriptor(*this, tdBlobDescriptor, aClass ? *aClass : TmvHeapBlobDescriptor::StaticClass,
                                    "Blob", u"BlobDescriptor");
}

TmvBaseAutoIncDescriptor* TmvBaseTableDescriptor::AddAutoIncDescriptor(const TmvStorageDescriptorClassRef* aClass) {
  return mvReplaceStorageDescriptor(*this, tdAutoIncDescriptor,
                                    aClass ? *aClass : TmvBaseAutoIncDescriptor::StaticClass, "AutoInc",
                                    u"AutoIncDescriptor");
}

TmvMainIndicesDescriptor* TmvBaseTableDescriptor::AddIndicesDescriptor(const TmvIndicesDescriptorClassRef* aClass) {
  return ReplaceIndices(*this, tdIndicesDescriptor, aClass ? *aClass : TmvMainIndicesDescriptor::StaticClass,
                        "Indices");
}

TmvInternalIndicesDescriptor* TmvBaseTableDescriptor::AddInternalIndicesDescriptor(
    const TmvIndicesDescriptorClassRef* aClass) {
  return ReplaceIndices(*this, tdInternalIndicesDescriptor,
                        aClass ? *aClass : TmvInternalIndicesDescriptor::StaticClass, "InternalIndices");
}

void TmvBaseTableDescriptor::RemoveRecordDescriptor() { RemoveSubItem(tdRecordDescriptor); }
void TmvBaseTableDescriptor::RemoveBlobDescriptor() { RemoveSubItem(tdBlobDescriptor); }
void TmvBaseTableDescriptor::RemoveAutoIncDescriptor() { RemoveSubItem(tdAutoIncDescriptor); }

void TmvBaseTableDescriptor::RemoveIndicesDescriptor() {
  CheckReadOnly();
  FreeIndices(tdIndicesDescriptor, true);
}

void TmvBaseTableDescriptor::RemoveInternalIndicesDescriptor() {
  CheckReadOnly();
  FreeIndices(tdInternalIndicesDescriptor, true);
}

TmvMainIndicesDescriptor* TmvBaseTableDescriptor::EnsureIndicesDescriptor() {
  return tdIndicesDescriptor ? tdIndicesDescriptor : AddIndicesDescriptor();
}

TmvInternalIndicesDescriptor* TmvBaseTableDescriptor::EnsureInternalIndicesDescriptor() {
  return tdInternalIndicesDescriptor ? tdInternalIndicesDescriptor : AddInternalIndicesDescriptor();
}

void TmvBaseTableDescriptor::EnsureAutoIncDescriptor() {
  if (!tdAutoIncDescriptor) AddAutoIncDescriptor();
}

void TmvBaseTableDescriptor::EnsureBlobDescriptor() {
  if (!tdBlobDescriptor) AddBlobDescriptor();
}

// ---------------------------------------------------------------------------
// Lookups

int32_t TmvBaseTableDescriptor::GetFieldFromName(const String& aFieldName) {
  return tdFieldsDescriptor ? tdFieldsDescriptor->GetFieldFromName(aFieldName) : -1;
}

int32_t TmvBaseTableDescriptor::GetIndexFromName(const String& aIndexName) {
  return tdIndicesDescriptor ? tdIndicesDescriptor->GetIndexFromName(aIndexName) : -1;
}

// A loop, not a recursion: the path is the caller's text and may be long.
TmvBaseTableDescriptor* TmvBaseTableDescriptor::GetChild(const String& aChildName) {
  TmvBaseTableDescriptor* table = this;
  std::u16string_view rest = aChildName;
  while (!rest.empty()) {
    const size_t colon = rest.find(u':');
    const std::u16string_view head = rest.substr(0, colon);
    rest = colon == std::u16string_view::npos ? std::u16string_view() : rest.substr(colon + 1);
    if (head == u".") continue;
    if (head == u"..") {
      TPersistent* parent;
      if (!table->FindParentOfType(StaticClass, parent))
        mvRaiseCode<EmvBaseTableDescriptorException>(MVERR_NOSUCHTABLE);
      table = static_cast<TmvBaseTableDescriptor*>(parent);
      continue;
    }
    table = table->tdTablesDescriptor->GetTableDescriptorFromName(String(head));
  }
  return table;
}

TmvDictionaryItem* TmvBaseTableDescriptor::GetConstraintByName(const String& aName) const {
  int32_t index;
  if (!tdConstraints || !tdConstraints->Find(aName, index)) return nullptr;
  return static_cast<TmvDictionaryItem*>(tdConstraints->Objects(index));
}

void TmvBaseTableDescriptor::GetConstraints(TStrings& aStrings) const {
  aStrings.BeginUpdate();
  aStrings.Clear();
  if (tdConstraints)
    for (int32_t i = 0; i < tdConstraints->Count(); ++i)
      aStrings.AddObject(tdConstraints->Get(i), tdConstraints->Objects(i));
  aStrings.EndUpdate();
}

bool TmvBaseTableDescriptor::HasAnyRefNrField() {
  int32_t field;
  return tdFieldsDescriptor->HasRefNrField(field) || tdTablesDescriptor->HasAnyRefNrField();
}

bool TmvBaseTableDescriptor::HasCachingSupport(TmvTableCachingState aState) {
  if (tdCachingState != tcsNone && (aState == tcsNone || aState == tdCachingState)) return true;
  return tdTablesDescriptor->HasCachingSupport(aState);
}

// ---------------------------------------------------------------------------
// Key lengths

void TmvBaseTableDescriptor::CheckMainIndex(int32_t aInx) {
  if (!tdIndicesDescriptor || aInx < 0 || aInx >= tdIndicesDescriptor->IndexCount())
    throw EmvBaseTableDescriptorException(MVERR_INVALIDDESCNO, SIndexOutOfBounds, {aInx});
}

int32_t TmvBaseTableDescriptor::BookmarkSize(int32_t aInx) {
  if (!tdIndicesDescriptor) return 24;
  return 24 + KeyLen(aInx);
}

int32_t TmvBaseTableDescriptor::KeyLen(int32_t aInx) {
  CheckMainIndex(aInx);
  return tdIndicesDescriptor->IndexDescriptor(aInx)->GetKeyDescriptor()->GetKeyLen();
}

uint32_t TmvBaseTableDescriptor::ComputeMaxKeyLen() {
  uint32_t result = 0;
  if (tdIndicesDescriptor)
    for (int32_t i = 0; i < tdIndicesDescriptor->IndexCount(); ++i)
      result = std::max(result, uint32_t(std::max(0, KeyLen(i))));
  return result;
}

uint32_t TmvBaseTableDescriptor::MaxKeyLen() { return diCacheActive ? tdMaxKeyLen : ComputeMaxKeyLen(); }

void TmvBaseTableDescriptor::SetCachingState(TmvTableCachingState aValue) {
  CheckReadOnly();
  tdCachingState = aValue;
}

// ---------------------------------------------------------------------------
// Overrides of the item

void TmvBaseTableDescriptor::ActivateCache() {
  if (!diCacheActive) tdMaxKeyLen = ComputeMaxKeyLen();
  TmvLocalizedDictionaryItem::ActivateCache();
}

void TmvBaseTableDescriptor::AddConstraintName(TmvDictionaryItem* aItem, const String& aName) {
  int32_t index;
  if (tdConstraints && tdConstraints->Find(aName, index))
    throw EmvBaseTableDescriptorException(MVERR_NAMENOTUNIQUE, SConstraintInUse, {aName});
  if (!tdConstraints) {
    tdConstraints = std::make_unique<TStringList>();
    tdConstraints->SetSorted(true);
    tdConstraints->SetDuplicates(dupError);
  }
  tdConstraints->AddObject(aName, aItem);
}

void TmvBaseTableDescriptor::RemoveConstraintName(TmvDictionaryItem*, const String& aName) {
  int32_t index;
  if (!tdConstraints || !tdConstraints->Find(aName, index)) return;
  tdConstraints->Delete(index);
  if (tdConstraints->Count() == 0) tdConstraints.reset();
}

void TmvBaseTableDescriptor::Clear(bool aNotify) {
  TmvDictionaryItem::Clear(aNotify);
  ClearDescriptors(false, aNotify);
}

bool TmvBaseTableDescriptor::FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                                         TmvDictionaryItem* aFrom) {
  const struct {
    const ClassRef& family;
    TmvDictionaryItem* slot;
  } slots[] = {{TmvTablesDescriptor::StaticClass, tdTablesDescriptor},
               {TmvCustomDescsDescriptor::StaticClass, tdCustomDescsDescriptor},
               {TmvFieldsDescriptor::StaticClass, tdFieldsDescriptor},
               {TmvMainIndicesDescriptor::StaticClass, tdIndicesDescriptor},
               {TmvInternalIndicesDescriptor::StaticClass, tdInternalIndicesDescriptor},
               {TmvBaseBlobDescriptor::StaticClass, tdBlobDescriptor},
               {TmvBaseRecordDescriptor::StaticClass, tdRecordDescriptor},
               {TmvBaseAutoIncDescriptor::StaticClass, tdAutoIncDescriptor}};
  for (const auto& s : slots) {
    if (aType.InheritsFrom(&s.family)) {
      aDescriptor = SlotOfType(s.slot, aType);
      return true;
    }
  }
  return TmvLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

// ---------------------------------------------------------------------------
// Table body

// Changes the custom strings only when the value differs, so that writing a
// frozen tree (whose values MakeReadOnly stored) changes nothing.
void TmvBaseTableDescriptor::StoreCachingState(bool aNested) {
  const String state(mvTableCachingStateNames[tdCachingState]);
  if (!diCustomStrings || diCustomStrings->Values(SCachingStateName) != state)
    GetCustomStrings().SetValue(SCachingStateName, state);
  if (aNested)
    for (int32_t i = 0; i < tdTablesDescriptor->TableCount(); ++i)
      tdTablesDescriptor->TableDescriptor(i)->StoreCachingState(true);
}

void TmvBaseTableDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  StoreCachingState(false);
  TmvLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const bool internal = tdInternalIndicesDescriptor && tdInternalIndicesDescriptor->IndexCount() > 0;
  const int32_t version = internal && aClientVersion >= mvPeerVersionInternalIndices ? 2 : 1;
  if (internal && version < 2) mvSetMissingInformation(true);
  aWriter.WriteInteger(version);
  aWriter.WriteIdent(u"LocaleDescriptor");
  SaveLocaleToWriter(aWriter, aClientVersion);
  mvWritePart(aWriter, u"RecordDescriptor", tdRecordDescriptor, aClientVersion);
  mvWritePart(aWriter, u"BlobDescriptor", tdBlobDescriptor, aClientVersion);
  mvWritePart(aWriter, u"FieldsDescriptor", tdFieldsDescriptor, aClientVersion);
  mvWritePart(aWriter, u"IndicesDescriptor", tdIndicesDescriptor, aClientVersion);
  if (version == 2) mvWritePart(aWriter, u"InternalIndicesDescriptor", tdInternalIndicesDescriptor, aClientVersion);
  mvWritePart(aWriter, u"AutoIncDescriptor", tdAutoIncDescriptor, aClientVersion);
  mvWritePart(aWriter, u"CustomDescsDescriptor", tdCustomDescsDescriptor, aClientVersion);
  mvWritePart(aWriter, u"TablesDescriptor", tdTablesDescriptor, aClientVersion);
}

// Every part is replaced without change notifications: the stream holds the
// whole table. The internal indexes go also when the stream has none, so
// that the table is what the stream says.
void TmvBaseTableDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  RemoveLocaleDescriptor();
  mvReadSection(aReader, u"LocaleDescriptor");
  LoadLocaleFromReader(aReader);
  RemoveRecordDescriptor();
  mvReadPart(aReader, u"RecordDescriptor", TmvBaseRecordDescriptor::StaticClass,
             [this](auto* aClass) { return AddRecordDescriptor(aClass); });
  RemoveBlobDescriptor();
  mvReadPart(aReader, u"BlobDescriptor", TmvBaseBlobDescriptor::StaticClass,
             [this](auto* aClass) { return AddBlobDescriptor(aClass); });
  mvReadSection(aReader, u"FieldsDescriptor");
  mvReadFixedPart(aReader, *tdFieldsDescriptor, u"FieldsDescriptor");
  FreeIndices(tdIndicesDescriptor, false);
  mvReadPart(aReader, u"IndicesDescriptor", TmvMainIndicesDescriptor::StaticClass,
             [this](auto* aClass) { return AddIndicesDescriptor(aClass); });
  FreeIndices(tdInternalIndicesDescriptor, false);
  if (version > 1)
    mvReadPart(aReader, u"InternalIndicesDescriptor", TmvInternalIndicesDescriptor::StaticClass,
               [this](auto* aClass) { return AddInternalIndicesDescriptor(aClass); });
  RemoveAutoIncDescriptor();
  mvReadPart(aReader, u"AutoIncDescriptor", TmvBaseAutoIncDescriptor::StaticClass,
             [this](auto* aClass) { return AddAutoIncDescriptor(aClass); });
  mvReadSection(aReader, u"CustomDescsDescriptor");
  mvReadFixedPart(aReader, *tdCustomDescsDescriptor, u"CustomDescsDescriptor");
  mvReadSection(aReader, u"TablesDescriptor");
  mvReadFixedPart(aReader, *tdTablesDescriptor, u"TablesDescriptor");
  ReadCachingState();
}

// The state named by "$CachingState", tcsNone without one; a name that is
// no state raises 15498.
void TmvBaseTableDescriptor::ReadCachingState() {
  tdCachingState = tcsNone;
  if (!diCustomStrings || diCustomStrings->IndexOfName(SCachingStateName) < 0) return;
  const String name = diCustomStrings->Values(SCachingStateName);
  for (size_t i = 0; i < std::size(mvTableCachingStateNames); ++i) {
    if (SameClassName(name, mvTableCachingStateNames[i])) {
      tdCachingState = TmvTableCachingState(i);
      return;
    }
  }
  RaiseIncompatibleStream();
}

void TmvBaseTableDescriptor::CheckValid(bool aForBuild) {
  TmvLocalizedDictionaryItem::CheckValid(aForBuild);
  if (!tdFieldsDescriptor) throw EmvBaseTableDescriptorException(MVERR_INVALIDRECSTRUCT, String(SNoFields));
  if (!tdRecordDescriptor) throw EmvBaseTableDescriptorException(MVERR_INVALIDDESC, String(SRecordRequired));
  // Each slot is read when its turn comes: the fields' check may add the
  // BLOB and auto-increment descriptors, which are then checked as well.
  const auto check = [aForBuild](TmvDictionaryItem* aPart) {
    if (aPart) aPart->CheckValid(aForBuild);
  };
  check(tdFieldsDescriptor);
  check(tdRecordDescriptor);
  check(tdBlobDescriptor);
  check(tdIndicesDescriptor);
  check(tdInternalIndicesDescriptor);
  check(tdAutoIncDescriptor);
  check(tdCustomDescsDescriptor);
  check(tdTablesDescriptor);
}

bool TmvBaseTableDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvLocalizedDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvBaseTableDescriptor*>(aItem);
  return other && tdCachingState == other->tdCachingState &&
         mvOptionalItemsEqual(tdFieldsDescriptor, other->tdFieldsDescriptor) &&
         mvOptionalItemsEqual(tdRecordDescriptor, other->tdRecordDescriptor) &&
         mvOptionalItemsEqual(tdBlobDescriptor, other->tdBlobDescriptor) &&
         mvOptionalItemsEqual(tdAutoIncDescriptor, other->tdAutoIncDescriptor) &&
         mvOptionalItemsEqual(tdIndicesDescriptor, other->tdIndicesDescriptor) &&
         mvOptionalItemsEqual(tdInternalIndicesDescriptor, other->tdInternalIndicesDescriptor) &&
         mvOptionalItemsEqual(tdCustomDescsDescriptor, other->tdCustomDescsDescriptor) &&
         mvOptionalItemsEqual(tdTablesDescriptor, other->tdTablesDescriptor);
}

// ---------------------------------------------------------------------------
// TmvNestedTableDescriptor

constinit const TmvTableDescriptorClassRef TmvNestedTableDescriptor::StaticClass{
    {{{u"TmvNestedTableDescriptor", &TmvBaseTableDescriptor::StaticClass}, &TmvBaseTableDescriptor::Registry, nullptr},
     nullptr},
    &mvCreateTable<TmvNestedTableDescriptor>};

TmvNestedTableDescriptor::TmvNestedTableDescriptor(TPersistent* aParent, const String& aName)
    : TmvBaseTableDescriptor(ParentForTableName(aParent, aName)), ntdName(aName) {
  CreateParts();
}

String TmvNestedTableDescriptor::btdFullName() {
  TPersistent* parent;
  if (!FindParentOfType(TmvBaseTableDescriptor::StaticClass, parent)) return ntdName;
  return static_cast<TmvBaseTableDescriptor*>(parent)->btdFullName() + u":" + ntdName;
}

bool TmvNestedTableDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseTableDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvNestedTableDescriptor*>(aItem);
  return other && SameClassName(ntdName, other->ntdName);
}

// ---------------------------------------------------------------------------
// TmvTablesDescriptor

TmvClassRegistry* TmvTablesDescriptor::Registry() { return mvFamilyRegistry<TmvTablesDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvTablesDescriptor::StaticClass{
    {{u"TmvTablesDescriptor", &TmvDictionaryItem::StaticClass},
     &TmvTablesDescriptor::Registry,
     &mvCreateFreeItem<TmvTablesDescriptor>},
    &mvCreateItem<TmvTablesDescriptor>};

TmvTablesDescriptor::~TmvTablesDescriptor() { DropAll(); }

void TmvTablesDescriptor::DropAll() {
  while (!tdTables.empty()) {
    TmvNestedTableDescriptor* table = tdTables.back();
    tdTables.pop_back();
    delete table;
  }
}

TmvNestedTableDescriptor* TmvTablesDescriptor::Append(const TmvTableDescriptorClassRef& aClass, const String& aName) {
  mvCheckItemFamily(aClass, TmvNestedTableDescriptor::StaticClass, STableFamily);
  if (!aClass.CreateTable) mvRaiseUnsupportedClass(STableFamily, aClass.Name());
  tdTables.reserve(tdTables.size() + 1);
  TmvNestedTableDescriptor* table = aClass.CreateTable(this, aName);
  tdTables.push_back(table);
  return table;
}

TmvNestedTableDescriptor* TmvTablesDescriptor::AddTable(const String& aName, const TmvTableDescriptorClassRef* aClass) {
  CheckReadOnly();
  mvCheckIdentifier<EmvTablesDescriptorException>(aName, MVERR_INVALIDTABLENAME, false);
  if (GetTableIndexFromName(aName) >= 0)
    throw EmvTablesDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedTableName, {aName});
  return Append(aClass ? *aClass : TmvNestedTableDescriptor::StaticClass, aName);
}

int32_t TmvTablesDescriptor::GetTableIndexFromName(const String& aName) const {
  for (int32_t i = 0; i < TableCount(); ++i)
    if (SameClassName(tdTables[size_t(i)]->ntdName, aName)) return i;
  return -1;
}

TmvNestedTableDescriptor* TmvTablesDescriptor::GetTableDescriptorFromName(const String& aName) const {
  const int32_t index = GetTableIndexFromName(aName);
  if (index < 0) mvRaiseCode<EmvTablesDescriptorException>(MVERR_NOSUCHTABLE);
  return tdTables[size_t(index)];
}

void TmvTablesDescriptor::RemoveTable(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= TableCount()) return;
  TmvNestedTableDescriptor* table = tdTables[size_t(aInx)];
  tdTables.erase(tdTables.begin() + aInx);
  delete table;
}

void TmvTablesDescriptor::RemoveTable(const String& aName) { RemoveTable(GetTableIndexFromName(aName)); }

void TmvTablesDescriptor::RenameTable(const String& aOldName, const String& aNewName) {
  CheckReadOnly();
  if (aOldName == aNewName) return;
  mvCheckIdentifier<EmvTablesDescriptorException>(aNewName, MVERR_INVALIDTABLENAME, false);
  const int32_t existing = GetTableIndexFromName(aNewName);
  const int32_t index = GetTableIndexFromName(aOldName);
  // A change of letter case finds the table itself under the new name.
  if (existing >= 0 && existing != index)
    throw EmvTablesDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedTableName, {aNewName});
  if (index < 0) mvRaiseCode<EmvTablesDescriptorException>(MVERR_NOSUCHTABLE);
  tdTables[size_t(index)]->ntdName = aNewName;
}

void TmvTablesDescriptor::GetTables(TStrings& aStrings) const {
  aStrings.BeginUpdate();
  aStrings.Clear();
  for (TmvNestedTableDescriptor* table : tdTables) aStrings.AddObject(table->ntdName, table);
  aStrings.EndUpdate();
}

bool TmvTablesDescriptor::HasAnyRefNrField() {
  return std::any_of(tdTables.begin(), tdTables.end(), [](auto* t) { return t->HasAnyRefNrField(); });
}

bool TmvTablesDescriptor::HasCachingSupport(TmvTableCachingState aState) {
  return std::any_of(tdTables.begin(), tdTables.end(), [&](auto* t) { return t->HasCachingSupport(aState); });
}

void TmvTablesDescriptor::Clear(bool aNotify) {
  TmvDictionaryItem::Clear(aNotify);
  while (!tdTables.empty()) {
    tdTables.back()->Clear(aNotify);
    TmvNestedTableDescriptor* table = tdTables.back();
    tdTables.pop_back();
    delete table;
  }
}

// Body after the item header (peers from 20000 on):
//   integer  1
//   integer  TableCount
//   per table: string class name, string name, its table body
void TmvTablesDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(TableCount());
  for (TmvNestedTableDescriptor* table : tdTables) {
    aWriter.WriteString(table->ClassName());
    aWriter.WriteString(table->ntdName);
    table->SaveToWriter(aWriter, aClientVersion);
  }
}

// Names are checked as identifiers at once (10039) and for duplicates by
// CheckValid.
void TmvTablesDescriptor::LoadFromReader(TmvReader& aReader) {
  const TmvStreamNestingLevel<EmvTablesDescriptorException> level;
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  DropAll();
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    const auto& cls = mvReadItemClass(aReader, TmvBaseTableDescriptor::StaticClass, STableFamily);
    const String name = aReader.ReadString();
    Append(cls, name)->LoadFromReader(aReader);
  }
}

void TmvTablesDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  for (int32_t i = 0; i < TableCount(); ++i) {
    const String& name = tdTables[size_t(i)]->ntdName;
    if (GetTableIndexFromName(name) < i)
      throw EmvTablesDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedTableDescName, {name});
  }
  for (TmvNestedTableDescriptor* table : tdTables) table->CheckValid(aForBuild);
}

bool TmvTablesDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvTablesDescriptor*>(aItem);
  if (!other || TableCount() != other->TableCount()) return false;
  for (int32_t i = 0; i < TableCount(); ++i)
    if (!tdTables[size_t(i)]->IsEqual(other->tdTables[size_t(i)])) return false;
  return true;
}

TmvBaseCustomDescriptor* mvFindCustomDescriptor(TmvBaseTableDescriptor* aTable, const String& aName) {
  TmvCustomDescsDescriptor* customs = aTable->GetCustomDescsDescriptor();
  const int32_t index = customs->GetCustomDescriptorFromName(aName);
  return index < 0 ? nullptr : customs->CustomDescriptor(index);
}
