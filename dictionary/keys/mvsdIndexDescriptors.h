// Data dictionary: index descriptors and indices descriptors.
//
// A `TmvIndexDescriptor` describes one index of a table: its name, the
// index engine that maintains it, the file that holds its blocks, its key
// descriptor (mvsdKeyDescriptors.h) and which duplicate keys it allows. It
// can also stand alone, without a table, carrying its own number; the
// engine uses that form to pass a single index definition around.
//
// An indices descriptor is the ordered list of a table's index descriptors
// with the name of the indices engine that manages them; index numbers are
// positions in the list. A table has up to two: the main indices descriptor
// (`TmvMainIndicesDescriptor`: the user-visible indexes and the default
// index) and the internal indices descriptor (`TmvInternalIndicesDescriptor`:
// engine-internal indexes of cache tables). Items that refer to an index by
// number register with the main indices descriptor and are told of every
// insertion, removal and move, in a check pass (they may refuse with 15502)
// and an apply pass (mvsdDictionaryItem.h).
//
// Ownership: an indices descriptor owns its indexes, an index its key. An
// index holds its file by number and registers with the related files
// descriptor, so that it follows renumbering and refuses the removal of its
// file.
//
// Layer: data dictionary; calls the dictionary item base and the file,
// fields and key descriptors. Threading: as every dictionary item. Every
// list operation checks before it changes anything: a refused or failed
// call leaves the list, the numbering and the registered items as they were.
#pragma once

#include <vector>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"

class TmvBaseIndicesDescriptor;
class TmvFileDescriptor;
class TmvIndexDescriptor;

MV_DECLARE_EXCEPTION(EmvIndexDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvIndicesDescriptorException, EmvDictionaryItemException)

// Which duplicate keys an index allows: none (unique keys), only among keys
// that contain a null, or all.
enum TmvIndexDups : uint8_t { idNone, idNull, idAll };
// A set of them: bit n for ordinal n (mvSetOf).
using TmvIndexDupsSet = uint32_t;

// The engine name every new index and indices descriptor starts with.
inline constexpr char16_t mvDefaultIndexEngine[] = u"mv1xDefault";
// The index over the record references that every new table gets.
inline constexpr char16_t mvSequentialAccessIndexName[] = u"Sequential Access Index";

// ---------------------------------------------------------------------------
// TmvIndexDescriptor

// The family record: the virtual constructor Create (aParent, aName,
// aFileNumber, aKeyClass).
struct TmvIndexDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvIndexDescriptor* (*CreateIndex)(TPersistent* aParent, const String& aName, int32_t aFileNumber,
                                     const TmvDictionaryItemClassRef* aKeyClass);
};

class TmvIndexDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvIndexDescriptorClassRef)
  friend class TmvBaseIndicesDescriptor;

 public:
  // Checks the name (10022 "Invalid index name."), registers for file-change
  // notifications and creates the key of aKeyClass (nil:
  // TmvCompKeyDescriptor) under this index; engine "mv1xDefault", idNone.
  TmvIndexDescriptor(TPersistent* aParent, const String& aName, int32_t aFileNumber,
                     const TmvDictionaryItemClassRef* aKeyClass);
  ~TmvIndexDescriptor() override;

  // An index of aClass (nil: TmvIndexDescriptor) without parent, numbered
  // aNumber. The caller owns it.
  static TmvIndexDescriptor* CreateStandalone(int32_t aNumber, const String& aName, int32_t aFileNumber,
                                              const TmvDictionaryItemClassRef* aKeyClass,
                                              const TmvIndexDescriptorClassRef* aClass = nullptr);

  // Whether its file lies in the table's files (8712 when the table has
  // none related) and its key is valid there.
  virtual bool IsValidFor(TmvDictionaryItem* aTableDescriptor);
  // For a cache table: the index "Sequential Access Index" (any case)
  // becomes unique on a no-null key over the table's RefNr field, engine
  // "mv1xDefault"; every other index allows all duplicates, engine
  // "CacheKeylessBStarTree".
  virtual void SetupForCacheTable();
  // CheckReadOnly; the key becomes a new TmvNoNullCompKeyDescriptor with one
  // key field on aFieldNumber. A failure keeps the old key.
  void ReplaceWithNoNullKey(int32_t aFieldNumber);

  // The file descriptor at the file number in the related files
  // descriptor; nil when none is related or the number lies outside it.
  TmvFileDescriptor* IndexFile();

  const String& GetName() const { return idName; }
  const String& GetIndexEngine() const { return idIndexEngine; }
  const String& GetDesc() const { return idDesc; }
  int32_t GetFileNumber() const { return idFileNumber; }
  TmvBaseKeyDescriptor* GetKeyDescriptor() const { return idKeyDescriptor; }
  TmvIndexDups GetDups() const { return idDups; }
  // The position in its indices descriptor, or the standalone number.
  int32_t GetNumber() const { return idNumber; }
  // Each: CheckReadOnly, then store.
  void SetIndexEngine(const String& aValue);
  void SetDesc(const String& aValue);
  void SetDups(TmvIndexDups aValue);

  // Follows the renumbering of its file; refuses its removal with 15502
  // "Cannot remove file %d because it is still referenced by an index".
  void FileChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) override;
  // 10022 for the name, 9999 "Invalid file number: %d", then the key's.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // The index's own part; the indices descriptor (or the standalone form)
  // writes class names, number, name and file number before it.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  // The form of a single index outside a table.
  void SaveStandalone(TmvWriter& aWriter, int32_t aVersion);
  // The caller owns the result; a failed read frees it. Unknown classes
  // raise 15499 ("IndexDescriptor", "KeyDescriptor").
  static TmvIndexDescriptor* CreateStandaloneFromReader(TmvReader& aReader);

  static TmvClassRegistry* Registry();

 protected:
  String idName;
  String idIndexEngine;
  String idDesc;
  int32_t idFileNumber;
  TmvBaseKeyDescriptor* idKeyDescriptor = nullptr;  // owned
  TmvIndexDups idDups = idNone;
  int32_t idNumber = 0;
};

// ---------------------------------------------------------------------------
// Indices descriptors

// The family record: the virtual constructor Create (aParent,
// aHeaderSection).
struct TmvIndicesDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvBaseIndicesDescriptor* (*CreateIndices)(TPersistent* aParent, const AnsiString& aHeaderSection);
};

class TmvBaseIndicesDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvIndicesDescriptorClassRef)
 public:
  // aHeaderSection names the indices engine's section of the file header
  // ("Indices", "InternalIndices"); it is not streamed.
  TmvBaseIndicesDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection);
  ~TmvBaseIndicesDescriptor() override;

  // The classes used when AddIndex is given none.
  virtual const TmvDictionaryItemClassRef& GetDefaultKeyDescriptorClass();
  virtual const TmvIndexDescriptorClassRef& GetDefaultIndexDescriptorClass();
  // Calls IndexChangeNotification of every registered item in list order.
  virtual void bidIndexChangeNotification(bool aCheckOnly, int32_t aOldNumber, int32_t aNewNumber);
  // SetupForCacheTable of every index in order.
  virtual void SetupForCacheTable();

  // Appends an index: 10022 for a bad name, 10027 "Duplicated index name:
  // %s" for a name present (ASCII case ignored), 9999 "Invalid file number:
  // %d" for a file outside the related files. Registered items are told of
  // the insertion (apply pass only).
  TmvIndexDescriptor* AddIndex(const String& aName, int32_t aFileNumber, TmvIndexDups aDups, const String& aDesc,
                               const TmvDictionaryItemClassRef* aKeyClass = nullptr,
                               const TmvIndexDescriptorClassRef* aIndexClass = nullptr);
  // The same with idAll for true and idNone for false.
  TmvIndexDescriptor* AddIndex(const String& aName, int32_t aFileNumber, bool aAllowDups, const String& aDesc,
                               const TmvDictionaryItemClassRef* aKeyClass = nullptr,
                               const TmvIndexDescriptorClassRef* aIndexClass = nullptr);
  // Appends a copy of aIndexDescriptor (of its classes) that keeps an ID of
  // its own; a failed copy removes it again. aIndexDescriptor is not
  // changed.
  TmvIndexDescriptor* AddIndex(TmvIndexDescriptor* aIndexDescriptor);
  // Inserts at aInx (0..IndexCount, else 9999 "Index out of bounds: %d").
  TmvIndexDescriptor* InsertIndexAt(int32_t aInx, const String& aName, int32_t aFileNumber, TmvIndexDups aDups,
                                    const String& aDesc, const TmvDictionaryItemClassRef* aKeyClass = nullptr,
                                    const TmvIndexDescriptorClassRef* aIndexClass = nullptr);
  TmvIndexDescriptor* InsertIndexAt(int32_t aInx, const String& aName, int32_t aFileNumber, bool aAllowDups,
                                    const String& aDesc, const TmvDictionaryItemClassRef* aKeyClass = nullptr,
                                    const TmvIndexDescriptorClassRef* aIndexClass = nullptr);
  // Both in 0..IndexCount-1 (9999 naming the first bad one); equal ones do
  // nothing.
  void MoveIndex(int32_t aFrom, int32_t aTo);
  // Outside the list nothing happens; a registered item may refuse (15502).
  void RemoveIndex(int32_t aInx);
  // The first index of that name (ASCII case ignored); none: nothing.
  void RemoveIndex(const String& aName);
  // -1 / nil when there is no index of that name (ASCII case ignored).
  int32_t GetIndexFromName(const String& aIndexName) const;
  TmvIndexDescriptor* GetDescriptorFromName(const String& aIndexName) const;
  // The first index whose dups lie in aDups and whose key is a composite
  // key without filter over exactly aFields (field numbers, in order).
  bool HasIndex(const std::vector<int32_t>& aFields, int32_t& aIndex, TmvIndexDupsSet aDups) const;

  // The index list as the descriptor's body holds it and as the old
  // dictionary layout writes it directly: integer IndexCount, then per index
  // the class names of the index and its key, its name, its file number and
  // its stream form. Any peer version.
  void WriteIndexes(TmvWriter& aWriter, int32_t aClientVersion);
  // Reads that part into the list, dropping the indexes present without
  // notice; unknown classes raise 15499 ("IndexDescriptor", "KeyDescriptor").
  void ReadIndexes(TmvReader& aReader);

  void AddIndexChangeNotify(TmvDictionaryItem* aItem) { mvAddChangeNotify(bidIndexChangeNotifies, aItem); }
  void RemoveIndexChangeNotify(TmvDictionaryItem* aItem) { mvRemoveChangeNotify(bidIndexChangeNotifies, aItem); }

  int32_t IndexCount() const { return int32_t(bidIndexes.size()); }
  // Requires: 0 <= aIndex < IndexCount.
  TmvIndexDescriptor* IndexDescriptor(int32_t aIndex) const { return bidIndexes[size_t(aIndex)]; }
  const AnsiString& GetHeaderSection() const { return bidHeaderSection; }
  const String& GetIndicesEngine() const { return bidIndicesEngine; }
  void SetIndicesEngine(const String& aValue);

  // With aNotify every index's removal is announced, last first; the engine
  // name goes back to "mv1xDefault".
  void Clear(bool aNotify) override;
  // 10005 without indexes, 9487 above 256, 10009 "Duplicated index name:
  // %s"; renumbers, then each index checks itself.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

 private:
  TmvIndexDescriptor* NewIndex(const String& aName, int32_t aFileNumber, TmvIndexDups aDups, const String& aDesc,
                               const TmvDictionaryItemClassRef* aKeyClass,
                               const TmvIndexDescriptorClassRef* aIndexClass);
  void CheckPosition(int32_t aInx, int32_t aHigh) const;
  void RenumberFrom(int32_t aFrom);
  void DropIndexes();

  AnsiString bidHeaderSection;
  TmvSortedList* bidIndexChangeNotifies = nullptr;
  std::vector<TmvIndexDescriptor*> bidIndexes;  // owned, position = number
  String bidIndicesEngine = mvDefaultIndexEngine;
};

// The user-visible indexes of a table and its default index.
class TmvMainIndicesDescriptor : public TmvBaseIndicesDescriptor {
  MV_DECLARE_CLASSREF(TmvIndicesDescriptorClassRef)
 public:
  TmvMainIndicesDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection)
      : TmvBaseIndicesDescriptor(aParent, aHeaderSection) {}

  int32_t GetDefaultIndex() const { return midDefaultIndex; }
  // CheckReadOnly; -1 for an empty list, a negative value gives 0, one
  // beyond the last index raises 9999 "Invalid default index number: %d".
  void SetDefaultIndex(int32_t aValue);

  // After the registered items, the default index follows the change like
  // any number held (apply pass); a non-empty list keeps one of 0 or more.
  void bidIndexChangeNotification(bool aCheckOnly, int32_t aOldNumber, int32_t aNewNumber) override;
  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  int32_t midDefaultIndex = -1;
};

// The engine-internal indexes of a cache table; peers below 47005 cannot
// take them (12039).
class TmvInternalIndicesDescriptor : public TmvBaseIndicesDescriptor {
  MV_DECLARE_CLASSREF(TmvIndicesDescriptorClassRef)
 public:
  TmvInternalIndicesDescriptor(TPersistent* aParent, const AnsiString& aHeaderSection)
      : TmvBaseIndicesDescriptor(aParent, aHeaderSection) {}

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};
