// Data dictionary: the base of every schema descriptor.
//
// A table's schema is a tree of dictionary items: files, fields, keys,
// indexes, locales, default values, validations, storage engines, nested
// tables and the data dictionary at the root. `TmvDictionaryItem` gives each
// of them the same skeleton: a parent and the children created under it,
// name=value custom strings, an item ID handed out by the data dictionary at
// the root, an optional constraint name, a cache mode, the item header that
// opens its stream form, validation (`CheckValid`), structural comparison
// (`IsEqual`), copying through a stream (`Assign`), and the two-pass change
// notifications that keep references by number valid when a numbered list
// changes. `TmvLocalizedDictionaryItem` adds an own locale descriptor that
// the items below it inherit.
//
// Layer: above the foundation; calls the foundation and the platform only.
// The data dictionary and the table descriptor live in units above this one;
// items reach them through the two small interfaces below, which those
// classes implement.
//
// Threading: a tree is built and changed by one thread. Once cached
// (`ActivateCache`) it is read by many threads without locks and must not
// change. The assign depth and the missing-information flag are per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllLists.h"
#include "foundation/mvllRegistry.h"
#include "foundation/mvllStreams.h"
#include "foundation/mvllUtils.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Classes.h"

class TmvDictionaryItem;
class TmvLocaleDescriptor;

// ---------------------------------------------------------------------------
// Exceptions of the dictionary family. No class fixes its own code.

MV_DECLARE_EXCEPTION(EmvDictionaryItemException, EmvBaseRegisterableDescriptorException)
MV_DECLARE_EXCEPTION(EmvLocalizedDictionaryItemException, EmvDictionaryItemException)

// ---------------------------------------------------------------------------
// Shared vocabulary

// Where a default value or a validation is applied; a set is a bit mask with
// bit n for ordinal n (mvSetOf).
enum TmvApplyAt : uint8_t { aaServer, aaClient };
using TmvApplyAtSet = uint8_t;

// A file's block size code (TmvBlockSize): foundation/types/mvsdTypes.h.

enum TmvIteratorResult : uint8_t { irContinue, irStop };
// Called for each child that refers to the item being iterated for.
using TmvDictionaryItemIterator = std::function<TmvIteratorResult(TmvDictionaryItem* aItem, void* aCookie)>;

// The process-wide switch "Disable30900LocaleFixes": set at the dictionary's
// start-up from the command line; read by the locale and dictionary code.
extern bool mvDisable30900LocaleFixes;

// ---------------------------------------------------------------------------
// Per-thread state of dictionary streaming

// Set while a data dictionary is written for an old peer and information had
// to be dropped; the data dictionary resets it before it writes.
bool mvGetMissingInformation();
void mvSetMissingInformation(bool aValue);
// Above 0 while `Assign` reloads an item: item headers then keep the IDs the
// items were constructed with.
int32_t mvGetAssignDepth();

// Readers of trees that nest (nested tables, nested mappers) recurse once per
// level. Real trees go a few levels deep; a stream nested deeper than
// mvMaxStreamNesting is damaged or hostile and would run the thread out of
// stack, so a reader holds one TmvStreamNestingLevel<E> per level and the
// level past the limit raises E with 15498 (incompatible stream).
inline constexpr int32_t mvMaxStreamNesting = 1000;
int32_t& mvStreamNesting();

template <typename E>
class TmvStreamNestingLevel {
 public:
  TmvStreamNestingLevel() {
    if (mvStreamNesting() >= mvMaxStreamNesting) throw E(MVERR_INCOMPATIBLESTREAM, String());
    ++mvStreamNesting();
  }
  ~TmvStreamNestingLevel() { --mvStreamNesting(); }
  TmvStreamNestingLevel(const TmvStreamNestingLevel&) = delete;
  TmvStreamNestingLevel& operator=(const TmvStreamNestingLevel&) = delete;
};

// ---------------------------------------------------------------------------
// What items ask of the tree around them

// The data dictionary at the root of a tree. An item finds the nearest one
// among its parents; an item created while its root is still being
// constructed does not see it yet (the root then is not yet a root).
class ImvDictionaryRoot {
 public:
  // The next item ID (the last one handed out, plus one).
  virtual int32_t GetNextID() = 0;
  // True once the dictionary was made read-only; every setter then raises 15500.
  virtual bool GetReadOnly() const = 0;
  // The dictionary version (1 to 5); version 1 records are not 4-aligned.
  virtual int32_t GetDictionaryVersion() const = 0;
  // The bytes of a block of that size that the table's engines may use.
  virtual int32_t UsableBlockSize(TmvBlockSize aBlockSize) = 0;
  // Whether WideChar and WideString key fields without a locale compare by
  // UTF-16 unit order (else by the default locale's collation). A root that
  // stores no choice answers as a new dictionary does.
  virtual bool GetUseByteOrderForWideString() const { return !mvDisable30900LocaleFixes; }

 protected:
  ~ImvDictionaryRoot() = default;
};

// The table descriptor that owns a field: a field of an AutoInc or BLOB type
// makes sure its table has the storage descriptor that serves it.
class ImvTableDescriptor {
 public:
  // Add the default auto-increment (BLOB) descriptor when there is none.
  virtual void EnsureAutoIncDescriptor() = 0;
  virtual void EnsureBlobDescriptor() = 0;

 protected:
  ~ImvTableDescriptor() = default;
};

// ---------------------------------------------------------------------------
// Class references

// The family record of dictionary items: the virtual constructor Create
// (aParent). Families whose constructor takes more extend this record; their
// CreateItem is nil, as it is for abstract classes.
struct TmvDictionaryItemClassRef : TmvRegisterableDescriptorClassRef {
  TmvDictionaryItem* (*CreateItem)(TPersistent* aParent);
};

template <typename T>
TmvDictionaryItem* mvCreateItem(TPersistent* aParent) {
  return new T(aParent);
}
template <typename T>
TmvBaseRegisterableDescriptor* mvCreateFreeItem() {
  return new T(nullptr);
}

// The class registered under aName in aFamily's registry, nil when none.
// Every class of one registry uses its family's record type R.
template <typename R>
const R* mvFindItemClass(const R& aFamily, std::u16string_view aName) {
  return static_cast<const R*>(TmvBaseRegisterableDescriptor::FindDescriptorClass(aFamily, aName));
}

// Raises E with the code's standard text. (An exception made from the code
// alone would take a text that the thread recorded earlier for that code.)
template <typename E>
[[noreturn]] void mvRaiseCode(int32_t aCode) {
  throw E(aCode, String());
}

// Checks a name with mvValidateIdentifier (reserved names allowed) and
// raises E with aCode and the rule's message when it fails.
template <typename E>
void mvCheckIdentifier(std::u16string_view aName, int32_t aCode, bool aAllowEmpty) {
  if (uint32_t code = mvValidateIdentifier(aName, uint32_t(aCode), aAllowEmpty, true)) throw E(int64_t(code));
}

// Raises 15499 "%s class is not supported: %s" with the family's word (for
// example "FieldDescriptor") and the class name.
[[noreturn]] void mvRaiseUnsupportedClass(std::u16string_view aFamilyWord, const String& aClassName);

// Reads a class name (a string) and finds it in aFamily's registry; an
// unknown name raises 15499 with aFamilyWord.
template <typename R>
const R& mvReadItemClass(TmvReader& aReader, const R& aFamily, std::u16string_view aFamilyWord) {
  String name = aReader.ReadString();
  const R* cls = mvFindItemClass(aFamily, name);
  if (!cls) mvRaiseUnsupportedClass(aFamilyWord, name);
  return *cls;
}

// An item of a family with the Create (aParent) constructor: the class read
// from the stream is created under aParent; a class without a constructor
// raises 15499 like an unknown one.
TmvDictionaryItem* mvCreateItemOfClass(const TmvDictionaryItemClassRef& aClass, TPersistent* aParent,
                                       std::u16string_view aFamilyWord);

// Reads an integer stream version; outside aMin..aMax raises 15498
// "Incompatible stream".
int32_t mvReadStreamVersion(TmvReader& aReader, int32_t aMin, int32_t aMax);

// Raises 12039 "Server is incompatible version." when aClientVersion is
// below aRequired.
void mvCheckClientVersion(int32_t aClientVersion, int32_t aRequired);

// Writes an optional sub-descriptor: boolean present, then, when present,
// its class name (a string) and its stream form.
void mvWriteOptionalItem(TmvWriter& aWriter, TmvDictionaryItem* aItem, int32_t aClientVersion);

// Both absent, or both present and equal.
bool mvOptionalItemsEqual(TmvDictionaryItem* a, TmvDictionaryItem* b);

// The renumbering rule of a change notification: the number an item holding
// aNumber keeps after a list moved the entry aOldNumber to aNewNumber (an
// insertion has old -1, a removal new -1).
int32_t mvRenumberAfterChange(int32_t aNumber, int32_t aOldNumber, int32_t aNewNumber);
// Whether a change removes the entry aNumber (a check pass refuses that
// with 15502 when the item still uses it).
inline bool mvChangeRemoves(int32_t aNumber, int32_t aOldNumber, int32_t aNewNumber) {
  return aNewNumber < 0 && aOldNumber == aNumber;
}

// Clears a numbered list of aCount entries: with aNotify, the check pass of
// every removal from the last entry to the first, then aClear, then the
// apply passes in the same order. The check runs before anything is
// dropped, so that a refused clear leaves the list whole.
void mvClearAnnounced(int32_t aCount, bool aNotify, const std::function<void(bool, int32_t, int32_t)>& aAnnounce,
                      const std::function<void()>& aClear);

// The items registered for one list's change notifications, kept in a
// sorted list created on the first registration and freed with the last.
void mvAddChangeNotify(TmvSortedList*& aList, TmvDictionaryItem* aItem);
void mvRemoveChangeNotify(TmvSortedList*& aList, TmvDictionaryItem* aItem);
// Calls aNotification on every registered item in list order.
using TmvChangeNotification = void (TmvDictionaryItem::*)(bool aBefore, int32_t aOldNumber, int32_t aNewNumber);
void mvSendChangeNotification(TmvSortedList* aList, TmvChangeNotification aNotification, bool aBefore,
                              int32_t aOldNumber, int32_t aNewNumber);

// ---------------------------------------------------------------------------
// TmvDictionaryItem

// Ownership: an item does not own its children through diChilds; each class
// owns its sub-descriptors in its own fields and frees them. Destroying an
// item takes it out of its parent's child list. The parent must outlive the
// item.
class TmvDictionaryItem : public TmvBaseRegisterableDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  // Takes the next ID from the nearest data dictionary among the parents
  // (else 0) and joins the parent's child list when the parent is an item.
  explicit TmvDictionaryItem(TPersistent* aParent);
  ~TmvDictionaryItem() override;

  // Virtual operations, in the system's slot order.
  // Raises 15500 when the data dictionary at the root is read-only.
  virtual void CheckReadOnly();
  virtual void ActivateCache();
  virtual void DeactivateCache();
  virtual void AddChild(TmvDictionaryItem* aItem);
  virtual void RemoveChild(TmvDictionaryItem* aItem);
  // Passed up to the parent item; the table descriptor keeps the names.
  virtual void AddConstraintName(TmvDictionaryItem* aItem, const String& aName);
  virtual void RemoveConstraintName(TmvDictionaryItem* aItem, const String& aName);
  // Change notifications of the fields, files and main indices lists: a
  // check pass (aBefore true; refuse by raising) and an apply pass.
  virtual void FieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber);
  virtual void FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber);
  virtual void IndexChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber);
  // aItem has exactly the class of this item.
  virtual bool IsSameClass(const TmvDictionaryItem* aItem) const;
  virtual bool ItemRequiresPack();
  // CheckReadOnly, then frees the custom strings; overrides free their
  // sub-descriptors (announcing removals when aNotify).
  virtual void Clear(bool aNotify);
  // This item when it is of class aType; otherwise the nearest item above
  // answers (asked on behalf of aFrom, or this item). The answer may be nil
  // with a true result (a field without default value asked for one).
  virtual bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                           TmvDictionaryItem* aFrom = nullptr);
  // The item header; overrides write the inherited part first.
  virtual void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  virtual void LoadFromReader(TmvReader& aReader);
  // With aForBuild: the custom strings keep the last line of each name and
  // lose blank lines. Overrides check their own fields after this.
  virtual void CheckValid(bool aForBuild);
  // Same class either way; custom strings, ID and constraint name take no part.
  virtual bool IsEqual(TmvDictionaryItem* aItem);
  virtual bool References(TmvDictionaryItem* aItem);

  // Copies an item of exactly this class through its stream form (written
  // for this engine's own version): this item is cleared with notification
  // and reloaded; it keeps its ID and new sub-items get fresh IDs. Any other
  // source raises the platform's assignment error. Writing may normalise
  // the source (a descriptor that matches itself to its field first).
  void Assign(const TPersistent* aSource) override;

  // Custom strings: name=value lines, created on first read.
  TStringList& GetCustomStrings();
  // CheckReadOnly, then copies the lines, or frees the list for nil.
  void SetCustomStrings(const TStrings* aValue);
  bool IsCustomStringsStored() const { return diCustomStrings && diCustomStrings->Count() > 0; }

  const String& GetConstraintName() const { return diConstraintName; }
  // Validates (10068), registers the new name up the tree, then unregisters
  // the old one; a failure leaves the old name registered and set.
  void SetConstraintName(const String& aValue);
  int32_t GetID() const { return diID; }
  TPersistent* GetParent() const { return diParent; }
  bool GetCacheActive() const { return diCacheActive; }
  int32_t ChildCount() const { return diChilds ? diChilds->Count() : 0; }
  TmvDictionaryItem* Child(int32_t aIndex) const { return static_cast<TmvDictionaryItem*>(diChilds->blGet(aIndex)); }

  // The first object up the owner chain (from the parent) of class aType.
  bool FindParentOfType(const ClassRef& aType, TPersistent*& aParent) const;
  // The same; none raises 8712 "No Parent of type %s could be found".
  TPersistent* GetParentOfType(const ClassRef& aType) const;
  template <typename T>
  T* GetParentOfType() const {
    return static_cast<T*>(GetParentOfType(T::StaticClass));
  }
  // FindRelatedDescriptorOfType, else 8712 "No related Descriptor of type %s
  // could be found".
  TmvDictionaryItem* GetRelatedDescriptorOfType(const ClassRef& aType);
  // The related descriptor of class D, nil when none is related.
  template <typename D>
  D* FindRelatedDescriptor() {
    TmvDictionaryItem* found;
    return FindRelatedDescriptorOfType(D::StaticClass, found) ? static_cast<D*>(found) : nullptr;
  }
  // The data dictionary above this item (from the parent up); the Get form
  // raises 8712 naming TmvDataDictionary when there is none.
  ImvDictionaryRoot* FindDictionaryRoot() const;
  ImvDictionaryRoot& GetDictionaryRoot() const;
  // The table descriptor above this item; 8712 naming TmvBaseTableDescriptor.
  ImvTableDescriptor& GetTableDescriptor() const;

  // Calls aIterator for each child that References aItem, in list order,
  // and, when aRecursive, for their children after each; stops at irStop.
  TmvIteratorResult IterateReferencing(const TmvDictionaryItemIterator& aIterator, void* aCookie,
                                       TmvDictionaryItem* aItem, bool aRecursive);
  // ItemRequiresPack of this item or of any item below it.
  bool RequiresPack();

  // An owned optional sub-descriptor: CheckReadOnly, then the one in aSlot
  // is freed and a new one of aClass created under this item (a class
  // without constructor raises 15499 with aFamilyWord).
  template <typename T>
  T* ReplaceSubItem(T*& aSlot, const TmvDictionaryItemClassRef& aClass, std::u16string_view aFamilyWord) {
    CheckReadOnly();
    mvFreeAndNil(aSlot);
    aSlot = static_cast<T*>(mvCreateItemOfClass(aClass, this, aFamilyWord));
    return aSlot;
  }
  template <typename T>
  void RemoveSubItem(T*& aSlot) {
    CheckReadOnly();
    mvFreeAndNil(aSlot);
  }

  // Registration for the change notifications of the related fields, files
  // or main indices descriptor (nothing when none is related).
  void RegisterFieldChangeNotification();
  void UnregisterFieldChangeNotification();
  void RegisterFileChangeNotification();
  void UnregisterFileChangeNotification();
  void RegisterIndexChangeNotification();
  void UnregisterIndexChangeNotification();

 protected:
  TPersistent* diParent;
  TmvSortedList* diChilds = nullptr;
  std::unique_ptr<TStringList> diCustomStrings;
  int32_t diID = 0;
  String diConstraintName;
  bool diCacheActive = false;

 private:
  void WriteItemHeader(TmvWriter& aWriter, int32_t aClientVersion);
  void ReadItemHeader(TmvReader& aReader);
  void RemoveDuplicateCustomStrings();
};

// The item aObject is, or nil.
TmvDictionaryItem* mvAsDictionaryItem(TPersistent* aObject);

// ---------------------------------------------------------------------------
// TmvLocalizedDictionaryItem

// An item that may carry its own locale descriptor (owned); the items below
// it use the nearest one above them when they have none.
class TmvLocalizedDictionaryItem : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvLocalizedDictionaryItem(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvLocalizedDictionaryItem() override;

  // The cached value while the cache is active, else the own locale, else
  // the inherited one (nil when none).
  virtual TmvLocaleDescriptor* GetUsedLocaleDescriptor();
  virtual TmvLocaleDescriptor* GetInheritedLocaleDescriptor();
  // Requires aClientVersion >= 20000 (else 12039): integer 1, boolean
  // has-locale, then the class name and the locale's stream form.
  virtual void SaveLocaleToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  virtual void LoadLocaleFromReader(TmvReader& aReader);

  void ActivateCache() override;
  bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                   TmvDictionaryItem* aFrom = nullptr) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  TmvLocaleDescriptor* GetLocaleDescriptor() const { return ldiLocaleDescriptor; }
  // CheckReadOnly; the own locale descriptor is freed and one of aClass
  // (nil: TmvLocaleDescriptor) created under this item.
  TmvLocaleDescriptor* AddLocaleDescriptor(const TmvDictionaryItemClassRef* aClass = nullptr);
  // CheckReadOnly; frees the own locale descriptor.
  void RemoveLocaleDescriptor();
  // The used locale's storage code page, 0 without locale.
  uint16_t GetUsedStorageCodePage();

 protected:
  // Frees the own locale descriptor; the caller has passed CheckReadOnly.
  void FreeLocaleDescriptor();

  TmvLocaleDescriptor* ldiLocaleDescriptor = nullptr;
  TmvLocaleDescriptor* ldiCachedLocaleDescriptor = nullptr;
  uint16_t ldiCachedStorageCodePage = 0;
};
