// Data dictionary: the base of every schema descriptor. See mvsdDictionaryItem.h.
#include "dictionary/items/mvsdDictionaryItem.h"

#include <algorithm>
#include <vector>

#include "dictionary/mvsdDictionaryVersions.h"

bool mvDisable30900LocaleFixes = false;

namespace {

thread_local bool tMissingInformation = false;
thread_local int32_t tAssignDepth = 0;

constexpr char16_t SMissingInformationName[] = u"$MissingInformation";
constexpr char16_t SMissingInformationLine[] = u"$MissingInformation=True";
constexpr char16_t SNoParentOfType[] = u"No Parent of type %s could be found";
constexpr char16_t SNoRelatedDescriptor[] = u"No related Descriptor of type %s could be found";
constexpr char16_t SClassNotSupported[] = u"%s class is not supported: %s";

// The next object up the owner chain: an item's parent, a component's owner.
TPersistent* OwnerOf(TPersistent* aObject) {
  if (TmvDictionaryItem* item = mvAsDictionaryItem(aObject)) return item->GetParent();
  if (auto* component = dynamic_cast<TComponent*>(aObject)) return component->GetOwner();
  return nullptr;
}

template <typename I>
I* FindUpFrom(TPersistent* aStart) {
  for (TPersistent* p = aStart; p; p = OwnerOf(p))
    if (I* found = dynamic_cast<I*>(p)) return found;
  return nullptr;
}

[[noreturn]] void RaiseNoParent(std::u16string_view aClassName) {
  throw EmvDictionaryItemException(MVERR_OBJNOTFOUND, SNoParentOfType, {String(aClassName)});
}

}  // namespace

bool mvGetMissingInformation() { return tMissingInformation; }
void mvSetMissingInformation(bool aValue) { tMissingInformation = aValue; }
int32_t mvGetAssignDepth() { return tAssignDepth; }

int32_t& mvStreamNesting() {
  thread_local int32_t nesting = 0;
  return nesting;
}

TmvDictionaryItem* mvAsDictionaryItem(TPersistent* aObject) { return dynamic_cast<TmvDictionaryItem*>(aObject); }

// ---------------------------------------------------------------------------
// Stream and notification helpers

void mvRaiseUnsupportedClass(std::u16string_view aFamilyWord, const String& aClassName) {
  throw EmvDictionaryItemException(MVERR_UNSUPPORTEDDESCRIPTOR, SClassNotSupported,
                                   {String(aFamilyWord), aClassName});
}

TmvDictionaryItem* mvCreateItemOfClass(const TmvDictionaryItemClassRef& aClass, TPersistent* aParent,
                                       std::u16string_view aFamilyWord) {
  if (!aClass.CreateItem) mvRaiseUnsupportedClass(aFamilyWord, aClass.Name());
  return aClass.CreateItem(aParent);
}

int32_t mvReadStreamVersion(TmvReader& aReader, int32_t aMin, int32_t aMax) {
  int32_t version = aReader.ReadInteger();
  if (version < aMin || version > aMax) mvRaiseCode<EmvDictionaryItemException>(MVERR_INCOMPATIBLESTREAM);
  return version;
}

void mvCheckClientVersion(int32_t aClientVersion, int32_t aRequired) {
  if (aClientVersion < aRequired) mvRaiseCode<EmvDictionaryItemException>(MVERR_INCOMPATIBLEVERSION);
}

void mvWriteOptionalItem(TmvWriter& aWriter, TmvDictionaryItem* aItem, int32_t aClientVersion) {
  aWriter.WriteBoolean(aItem != nullptr);
  if (!aItem) return;
  aWriter.WriteString(aItem->ClassName());
  aItem->SaveToWriter(aWriter, aClientVersion);
}

bool mvOptionalItemsEqual(TmvDictionaryItem* a, TmvDictionaryItem* b) {
  if (!a || !b) return a == b;
  return a->IsEqual(b);
}

int32_t mvRenumberAfterChange(int32_t aNumber, int32_t aOldNumber, int32_t aNewNumber) {
  if (aOldNumber == aNumber) return aNewNumber;
  if (aOldNumber >= 0 && aOldNumber < aNumber && (aNewNumber < 0 || aNewNumber >= aNumber)) return aNumber - 1;
  if ((aOldNumber < 0 || aOldNumber > aNumber) && aNewNumber >= 0 && aNewNumber <= aNumber) return aNumber + 1;
  return aNumber;
}

void mvClearAnnounced(int32_t aCount, bool aNotify, const std::function<void(bool, int32_t, int32_t)>& aAnnounce,
                      const std::function<void()>& aClear) {
  if (aNotify)
    for (int32_t i = aCount - 1; i >= 0; --i) aAnnounce(true, i, -1);
  aClear();
  if (aNotify)
    for (int32_t i = aCount - 1; i >= 0; --i) aAnnounce(false, i, -1);
}

void mvAddChangeNotify(TmvSortedList*& aList, TmvDictionaryItem* aItem) {
  if (!aList) aList = new TmvSortedList();
  aList->Add(aItem);
}

void mvRemoveChangeNotify(TmvSortedList*& aList, TmvDictionaryItem* aItem) {
  if (!aList) return;
  aList->Remove(aItem);
  if (aList->Count() == 0) mvFreeAndNil(aList);
}

void mvSendChangeNotification(TmvSortedList* aList, TmvChangeNotification aNotification, bool aBefore,
                              int32_t aOldNumber, int32_t aNewNumber) {
  if (!aList) return;
  // A holder may unregister while it is notified; walk a copy.
  std::vector<TmvDictionaryItem*> items;
  items.reserve(size_t(aList->Count()));
  for (int32_t i = 0; i < aList->Count(); ++i) items.push_back(static_cast<TmvDictionaryItem*>(aList->blGet(i)));
  for (TmvDictionaryItem* item : items) (item->*aNotification)(aBefore, aOldNumber, aNewNumber);
}

// ---------------------------------------------------------------------------
// TmvDictionaryItem

constinit const TmvDictionaryItemClassRef TmvDictionaryItem::StaticClass{
    {{u"TmvDictionaryItem", &TmvBaseRegisterableDescriptor::StaticClass}, &mvNoRegistry, nullptr}, nullptr};

TmvDictionaryItem::TmvDictionaryItem(TPersistent* aParent) : diParent(aParent) {
  if (ImvDictionaryRoot* root = FindUpFrom<ImvDictionaryRoot>(aParent)) diID = root->GetNextID();
  if (TmvDictionaryItem* parent = mvAsDictionaryItem(aParent)) parent->AddChild(this);
}

TmvDictionaryItem::~TmvDictionaryItem() {
  // Children that their owner did not free must not keep a dangling parent.
  if (diChilds) {
    for (int32_t i = 0; i < diChilds->Count(); ++i) Child(i)->diParent = nullptr;
    mvFreeAndNil(diChilds);
  }
  if (TmvDictionaryItem* parent = mvAsDictionaryItem(diParent)) {
    parent->RemoveChild(this);
    if (!diConstraintName.empty()) parent->RemoveConstraintName(this, diConstraintName);
  }
}

void TmvDictionaryItem::CheckReadOnly() {
  ImvDictionaryRoot* root = dynamic_cast<ImvDictionaryRoot*>(this);
  if (!root) root = FindDictionaryRoot();
  if (root && root->GetReadOnly()) mvRaiseCode<EmvDictionaryItemException>(MVERR_DICTIONARYREADONLY);
}

void TmvDictionaryItem::ActivateCache() {
  if (diCacheActive) return;
  diCacheActive = true;
  for (int32_t i = 0; i < ChildCount(); ++i) Child(i)->ActivateCache();
}

void TmvDictionaryItem::DeactivateCache() {
  if (!diCacheActive) return;
  diCacheActive = false;
  for (int32_t i = 0; i < ChildCount(); ++i) Child(i)->DeactivateCache();
}

void TmvDictionaryItem::AddChild(TmvDictionaryItem* aItem) {
  if (!diChilds) diChilds = new TmvSortedList();
  diChilds->Add(aItem);
}

void TmvDictionaryItem::RemoveChild(TmvDictionaryItem* aItem) {
  if (!diChilds) return;
  diChilds->Remove(aItem);
  if (diChilds->Count() == 0) mvFreeAndNil(diChilds);
}

void TmvDictionaryItem::AddConstraintName(TmvDictionaryItem* aItem, const String& aName) {
  if (TmvDictionaryItem* parent = mvAsDictionaryItem(diParent)) parent->AddConstraintName(aItem, aName);
}

void TmvDictionaryItem::RemoveConstraintName(TmvDictionaryItem* aItem, const String& aName) {
  if (TmvDictionaryItem* parent = mvAsDictionaryItem(diParent)) parent->RemoveConstraintName(aItem, aName);
}

void TmvDictionaryItem::FieldChangeNotification(bool, int32_t, int32_t) {}
void TmvDictionaryItem::FileChangeNotification(bool, int32_t, int32_t) {}
void TmvDictionaryItem::IndexChangeNotification(bool, int32_t, int32_t) {}

bool TmvDictionaryItem::IsSameClass(const TmvDictionaryItem* aItem) const {
  return aItem && &aItem->ClassType() == &ClassType();
}

bool TmvDictionaryItem::ItemRequiresPack() { return false; }

void TmvDictionaryItem::Clear(bool) {
  CheckReadOnly();
  diCustomStrings.reset();
}

bool TmvDictionaryItem::FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                                    TmvDictionaryItem* aFrom) {
  if (InheritsFrom(aType)) {
    aDescriptor = this;
    return true;
  }
  for (TPersistent* p = diParent; p; p = OwnerOf(p))
    if (TmvDictionaryItem* item = mvAsDictionaryItem(p))
      return item->FindRelatedDescriptorOfType(aType, aDescriptor, aFrom ? aFrom : this);
  aDescriptor = nullptr;
  return false;
}

void TmvDictionaryItem::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  WriteItemHeader(aWriter, aClientVersion);
}

void TmvDictionaryItem::LoadFromReader(TmvReader& aReader) { ReadItemHeader(aReader); }

// Item header (value-stream encoding):
//   integer  header version: 1 for peers below 20000, else 3 (2 is read only)
//   list     the custom-string lines, each a string; the data dictionary adds
//            "$MissingInformation=True" when information was dropped
//   integer  item ID                  (version 2 and above)
//   string   constraint name          (version 3)
void TmvDictionaryItem::WriteItemHeader(TmvWriter& aWriter, int32_t aClientVersion) {
  const int32_t version = aClientVersion < mvPeerVersionItemIDs ? 1 : 3;
  aWriter.WriteInteger(version);
  aWriter.WriteListBegin();
  if (diCustomStrings)
    for (int32_t i = 0; i < diCustomStrings->Count(); ++i) aWriter.WriteString(diCustomStrings->Get(i));
  if (dynamic_cast<ImvDictionaryRoot*>(this) && mvGetMissingInformation() &&
      (!diCustomStrings || diCustomStrings->Values(SMissingInformationName).empty()))
    aWriter.WriteString(SMissingInformationLine);
  aWriter.WriteListEnd();
  if (version < 3) return;
  aWriter.WriteInteger(diID);
  aWriter.WriteString(diConstraintName);
}

void TmvDictionaryItem::ReadItemHeader(TmvReader& aReader) {
  const int32_t version = mvReadStreamVersion(aReader, 1, 3);
  auto lines = std::make_unique<TStringList>();
  aReader.ReadStrings(*lines);
  diCustomStrings = lines->Count() > 0 ? std::move(lines) : nullptr;
  if (version >= 2) {
    int32_t id = aReader.ReadInteger();
    if (mvGetAssignDepth() == 0) diID = id;
  }
  if (version >= 3) SetConstraintName(aReader.ReadString());
}

void TmvDictionaryItem::CheckValid(bool aForBuild) {
  if (aForBuild && diCustomStrings && diCustomStrings->Count() >= 2) RemoveDuplicateCustomStrings();
}

// From the last line to the first: a name seen further down (ignoring case)
// loses its line, and so does a line without name that is blank.
void TmvDictionaryItem::RemoveDuplicateCustomStrings() {
  TStringList seen;
  seen.SetSorted(true);
  for (int32_t i = diCustomStrings->Count() - 1; i >= 0; --i) {
    String line = diCustomStrings->Get(i);
    size_t eq = line.find(u'=');
    if (eq == String::npos) {
      if (std::all_of(line.begin(), line.end(), [](char16_t c) { return c <= u' '; }))
        diCustomStrings->Delete(i);
      continue;
    }
    String name = line.substr(0, eq);
    int32_t index;
    if (seen.Find(name, index))
      diCustomStrings->Delete(i);
    else
      seen.Add(name);
  }
}

bool TmvDictionaryItem::IsEqual(TmvDictionaryItem* aItem) {
  return aItem && (IsSameClass(aItem) || aItem->IsSameClass(this));
}

bool TmvDictionaryItem::References(TmvDictionaryItem*) { return false; }

void TmvDictionaryItem::Assign(const TPersistent* aSource) {
  auto* source = mvAsDictionaryItem(const_cast<TPersistent*>(aSource));
  if (!source || &source->ClassType() != &ClassType()) {
    TPersistent::Assign(aSource);
    return;
  }
  TmvMemoryStream stream;
  {
    TmvWriter writer(stream);
    source->SaveToWriter(writer, mvPeerVersionOwn);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  ++tAssignDepth;
  try {
    Clear(true);
    TmvReader reader(stream);
    LoadFromReader(reader);
  } catch (...) {
    --tAssignDepth;
    throw;
  }
  --tAssignDepth;
}

TStringList& TmvDictionaryItem::GetCustomStrings() {
  if (!diCustomStrings) diCustomStrings = std::make_unique<TStringList>();
  return *diCustomStrings;
}

void TmvDictionaryItem::SetCustomStrings(const TStrings* aValue) {
  CheckReadOnly();
  if (!aValue) {
    diCustomStrings.reset();
    return;
  }
  GetCustomStrings().Assign(*aValue);
}

void TmvDictionaryItem::SetConstraintName(const String& aValue) {
  CheckReadOnly();
  mvCheckIdentifier<EmvDictionaryItemException>(aValue, MVERR_INVALIDNAME, true);
  if (aValue == diConstraintName) return;
  if (!aValue.empty()) AddConstraintName(this, aValue);
  if (!diConstraintName.empty()) {
    try {
      RemoveConstraintName(this, diConstraintName);
    } catch (...) {
      if (!aValue.empty()) RemoveConstraintName(this, aValue);
      throw;
    }
  }
  diConstraintName = aValue;
}

bool TmvDictionaryItem::FindParentOfType(const ClassRef& aType, TPersistent*& aParent) const {
  for (TPersistent* p = diParent; p; p = OwnerOf(p)) {
    if (p->InheritsFrom(aType)) {
      aParent = p;
      return true;
    }
  }
  aParent = nullptr;
  return false;
}

TPersistent* TmvDictionaryItem::GetParentOfType(const ClassRef& aType) const {
  TPersistent* parent;
  if (!FindParentOfType(aType, parent)) RaiseNoParent(aType.ClassName);
  return parent;
}

TmvDictionaryItem* TmvDictionaryItem::GetRelatedDescriptorOfType(const ClassRef& aType) {
  TmvDictionaryItem* descriptor;
  if (!FindRelatedDescriptorOfType(aType, descriptor))
    throw EmvDictionaryItemException(MVERR_OBJNOTFOUND, SNoRelatedDescriptor, {aType.Name()});
  return descriptor;
}

ImvDictionaryRoot* TmvDictionaryItem::FindDictionaryRoot() const { return FindUpFrom<ImvDictionaryRoot>(diParent); }

ImvDictionaryRoot& TmvDictionaryItem::GetDictionaryRoot() const {
  ImvDictionaryRoot* root = FindDictionaryRoot();
  if (!root) RaiseNoParent(u"TmvDataDictionary");
  return *root;
}

ImvTableDescriptor& TmvDictionaryItem::GetTableDescriptor() const {
  ImvTableDescriptor* table = FindUpFrom<ImvTableDescriptor>(diParent);
  if (!table) RaiseNoParent(u"TmvBaseTableDescriptor");
  return *table;
}

TmvIteratorResult TmvDictionaryItem::IterateReferencing(const TmvDictionaryItemIterator& aIterator, void* aCookie,
                                                        TmvDictionaryItem* aItem, bool aRecursive) {
  TmvIteratorResult result = irContinue;
  for (int32_t i = 0; i < ChildCount(); ++i) {
    TmvDictionaryItem* child = Child(i);
    if (child->References(aItem)) {
      result = aIterator(child, aCookie);
      if (result == irStop) return result;
    }
    if (aRecursive && child->IterateReferencing(aIterator, aCookie, aItem, true) == irStop) return irStop;
  }
  return result;
}

bool TmvDictionaryItem::RequiresPack() {
  if (ItemRequiresPack()) return true;
  for (int32_t i = 0; i < ChildCount(); ++i)
    if (Child(i)->RequiresPack()) return true;
  return false;
}
