// Data dictionary: custom descriptors and their list.
//
// Optional extensions of a table's schema that the core dictionary does not
// know in detail (referential integrity, full-text indexing, the audit log)
// are named custom descriptors. `TmvBaseCustomDescriptor` gives one only a
// name; everything else belongs to the subclasses, which register in this
// family's registry at start-up and add their own stream bodies. Every
// table descriptor owns one `TmvCustomDescsDescriptor`, which keeps its
// custom descriptors in order of addition with names unique ignoring ASCII
// case, streams them with their class names so that a reader rebuilds each
// with its own class, and frees them.
//
// Layer: data dictionary; calls the dictionary item base only. Threading:
// as every dictionary item.
#pragma once

#include <vector>

#include "dictionary/items/mvsdDictionaryItem.h"

class TmvBaseCustomDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseCustomDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvCustomDescsDescriptorException, EmvDictionaryItemException)

// The family record: the virtual constructor Create (aParent, aName).
struct TmvCustomDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvBaseCustomDescriptor* (*CreateCustom)(TPersistent* aParent, const String& aName);
};

template <typename T>
TmvBaseCustomDescriptor* mvCreateCustom(TPersistent* aParent, const String& aName) {
  return new T(aParent, aName);
}

class TmvBaseCustomDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvCustomDescriptorClassRef)
 public:
  // aName must be an identifier (reserved words allowed): else 10068
  // "Invalid name.", raised before the item takes an ID or joins its parent.
  TmvBaseCustomDescriptor(TPersistent* aParent, const String& aName);

  const String& GetName() const { return bcdName; }

  // The item check, then the name (10068).
  void CheckValid(bool aForBuild) override;
  // Same class and exactly the same name (letter case counts).
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  String bcdName;
};

// The custom descriptors of one table; owns them.
class TmvCustomDescsDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvCustomDescsDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvCustomDescsDescriptor() override;

  // CheckReadOnly; aName must be an identifier (10068) not yet in the list,
  // ignoring ASCII case (10009 "Duplicated custom descriptor name: %s").
  // Creates one of aClass (nil: TmvBaseCustomDescriptor) under this list,
  // appends and returns it. A failed call adds nothing.
  TmvBaseCustomDescriptor* AddCustom(const String& aName, const TmvCustomDescriptorClassRef* aClass = nullptr);
  // The position of the descriptor of that name (ignoring ASCII case); -1
  // when none.
  int32_t GetCustomDescriptorFromName(const String& aName) const;
  // CheckReadOnly; frees the descriptor and closes the gap. A position
  // outside the list (a name not in it) does nothing.
  void RemoveCustom(int32_t aIndex);
  void RemoveCustom(const String& aName);

  int32_t CustomCount() const { return int32_t(cddCustomDescriptors.size()); }
  // Requires: 0 <= aIndex < CustomCount.
  TmvBaseCustomDescriptor* CustomDescriptor(int32_t aIndex) const { return cddCustomDescriptors[size_t(aIndex)]; }

  // The descriptors as the old dictionary layout writes them directly into
  // the dictionary stream, and as the list's own body holds them: integer
  // CustomCount, then per descriptor its class name, its name and its stream
  // form. Any peer version.
  void WriteCustoms(TmvWriter& aWriter, int32_t aClientVersion);
  // Reads that part and appends its descriptors; an unregistered class
  // raises 15499 naming "CustomDescriptor". Names are checked as
  // identifiers at once (10068) and for duplicates by CheckValid.
  void ReadCustoms(TmvReader& aReader);

  // The item's Clear; then each descriptor, last to first, is cleared and
  // freed.
  void Clear(bool aNotify) override;
  // Peers from 20000 on (else 12039).
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // Replaces the list with the stream's descriptors.
  void LoadFromReader(TmvReader& aReader) override;
  // The item check; a name seen earlier in the list (ignoring case) raises
  // 10009; then each descriptor checks itself, in order.
  void CheckValid(bool aForBuild) override;
  // The same count and pairwise equal descriptors, in order.
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 private:
  // Creates and appends one; a class without constructor raises 15499.
  TmvBaseCustomDescriptor* Append(const TmvCustomDescriptorClassRef& aClass, const String& aName);
  void DropAll();

  std::vector<TmvBaseCustomDescriptor*> cddCustomDescriptors;  // owned, in order of addition
};
