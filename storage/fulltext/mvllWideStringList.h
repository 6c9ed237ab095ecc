// Storage (full text): string lists over UTF-16 strings with pluggable
// order and normalisation (unit mvllWideStringList).
//
// Every list holds one comparer (the order of Sort, Find and IndexOf) and
// one transformer, applied to every string before it is stored or searched
// for: a list can keep upper-cased, precomposed or truncated forms of what
// it is given, and finds them again from the untransformed text. The
// full-text engines collect the distinct tokens of a record in a sorted list
// that ignores duplicates and build their token filters from the
// transformers; the SQL layer's case functions use the case transformers.
//
// Comparers and transformers are reference-counted and immutable once made,
// so lists may share them (also across threads). A list belongs to one
// thread at a time.
//
// Errors: index and order errors raise the platform's EStringListError with
// its texts; a failing NLS call (unknown locale, unsupported flags) raises
// the engine's OS-error exception (11047) naming the step. Calls the
// foundation and the platform.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllComponents.h"
#include "foundation/types/mvllWideString.h"
#include "platform/Classes.h"
#include "platform/Interfaces.h"

class TmvWideStrings;

MV_DECLARE_EXCEPTION(EmvWideStringLocaleMappingTransformerException, EmvBaseException)

// ---------------------------------------------------------------------------
// Interfaces

// Negative when a sorts before b, 0 when equal, positive after.
class ImvWideStringComparer : public IInterface {
 public:
  virtual int8_t Compare(const TmvWideString& a, const TmvWideString& b) = 0;

 protected:
  ~ImvWideStringComparer() = default;
};
inline constexpr TGUID IID_ImvWideStringComparer{
    0x6C1D7E52, 0x3A94, 0x4F0B, {0x8E, 0x27, 0x51, 0xC9, 0x0A, 0x6D, 0xB3, 0x41}};

class ImvWideStringTransformer : public IInterface {
 public:
  virtual void Transform(const TmvWideString& aSource, TmvWideString& aResult) = 0;

 protected:
  ~ImvWideStringTransformer() = default;
};
inline constexpr TGUID IID_ImvWideStringTransformer{
    0x6C1D7E52, 0x3A94, 0x4F0B, {0x8E, 0x27, 0x51, 0xC9, 0x0A, 0x6D, 0xB3, 0x42}};

using TmvWideStringComparerRef = TInterfacePtr<ImvWideStringComparer>;
using TmvWideStringTransformerRef = TInterfacePtr<ImvWideStringTransformer>;
using TmvWideStringTransformers = std::vector<TmvWideStringTransformerRef>;

// A new reference-counted object of class T as a counted reference to I.
template <typename I, typename T, typename... Args>
TInterfacePtr<I> mvCreateInterfaced(Args&&... aArgs) {
  return TInterfacePtr<I>(static_cast<I*>(TmvInterfacedObject::Create<T>(std::forward<Args>(aArgs)...)));
}

// What comparers and transformers share: one count for the object,
// whichever interface is asked for.
template <typename I, const TGUID& IID>
class TmvWideStringInterfaced : public TmvInterfacedObject, public I {
 public:
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override {
    if (iid != IID) return TmvInterfacedObject::GetInterface(iid, obj);
    *obj = static_cast<I*>(this);
    _AddRef();
    return true;
  }
};

// ---------------------------------------------------------------------------
// Comparers

using TmvWideStringComparerBase = TmvWideStringInterfaced<ImvWideStringComparer, IID_ImvWideStringComparer>;

// The little-endian bytes of the units in memory order (so U+0100 sorts
// before U+00FF); on equal common bytes the shorter string first.
class TmvWideStringByteComparer : public TmvWideStringComparerBase {
 public:
  int8_t Compare(const TmvWideString& a, const TmvWideString& b) override;
};

// The order of the platform's locale-aware compare for a locale and its
// compare flags.
class TmvBaseWideStringCompareStringComparer : public TmvWideStringComparerBase {
 public:
  TmvBaseWideStringCompareStringComparer(LCID aLocale, uint32_t aFlags)
      : bwscscLocale(aLocale), bwscscFlags(aFlags) {}

 protected:
  LCID bwscscLocale;
  uint32_t bwscscFlags;
};

// An empty string against another compares their lengths; otherwise
// CompareStringW. A failing call (an unknown locale, flags the platform
// refuses) raises the OS-error exception: a sorted list or an index walk
// cannot take a result outside -1..1.
class TmvWideStringCompareStringWComparer : public TmvBaseWideStringCompareStringComparer {
 public:
  using TmvBaseWideStringCompareStringComparer::TmvBaseWideStringCompareStringComparer;
  int8_t Compare(const TmvWideString& a, const TmvWideString& b) override;
};

// -1, 0 or 1 from CompareStringW's answer for two non-empty texts; a failing
// call raises the OS-error exception naming aAction. Shared with the token
// key engines, whose keys sort by the same rule.
int8_t mvCompareStringWOrRaise(LCID aLocale, uint32_t aFlags, const char16_t* a, int32_t aLen, const char16_t* b,
                               int32_t bLen, const char16_t* aAction);

// ---------------------------------------------------------------------------
// Transformers

using TmvWideStringTransformerBase = TmvWideStringInterfaced<ImvWideStringTransformer, IID_ImvWideStringTransformer>;

// The result is the source.
class TmvWideStringNullTransformer : public TmvWideStringTransformerBase {
 public:
  void Transform(const TmvWideString& aSource, TmvWideString& aResult) override;
};

// The platform's FoldStringW with the map flags (MAP_...).
class TmvWideStringFoldStringTransformer : public TmvWideStringTransformerBase {
 public:
  explicit TmvWideStringFoldStringTransformer(uint32_t aFlags) : wsfstFlags(aFlags) {}
  void Transform(const TmvWideString& aSource, TmvWideString& aResult) override;

 protected:
  uint32_t wsfstFlags;
};

// Precomposed forms (NFC): e U+0301 becomes U+00E9.
class TmvWideStringPreComposeTransformer : public TmvWideStringFoldStringTransformer {
 public:
  TmvWideStringPreComposeTransformer() : TmvWideStringFoldStringTransformer(MAP_PRECOMPOSED) {}
};

// The locale mapping (LCMAP_...) of a locale. A sort key is no string: the
// constructor refuses LCMAP_SORTKEY with 12289.
class TmvWideStringLocaleMappingTransformer : public TmvWideStringTransformerBase {
 public:
  TmvWideStringLocaleMappingTransformer(LCID aLocale, uint32_t aFlags);
  void Transform(const TmvWideString& aSource, TmvWideString& aResult) override;

 protected:
  LCID wslmtLocale;
  uint32_t wslmtFlags;
};

inline constexpr uint32_t LCMAP_SORTKEY = 0x00000400;

class TmvWideStringLowerCaseTransformer : public TmvWideStringLocaleMappingTransformer {
 public:
  explicit TmvWideStringLowerCaseTransformer(LCID aLocale)
      : TmvWideStringLocaleMappingTransformer(aLocale, LCMAP_LOWERCASE) {}
};

class TmvWideStringUpperCaseTransformer : public TmvWideStringLocaleMappingTransformer {
 public:
  explicit TmvWideStringUpperCaseTransformer(LCID aLocale)
      : TmvWideStringLocaleMappingTransformer(aLocale, LCMAP_UPPERCASE) {}
};

// Cuts to at most wsttMaxLength units, one fewer when the last unit kept
// would be a high surrogate, so that no surrogate pair is split.
class TmvWideStringTruncateTransformer : public TmvWideStringTransformerBase {
 public:
  explicit TmvWideStringTruncateTransformer(int32_t aMaxLength) : wsttMaxLength(aMaxLength) {}
  void Transform(const TmvWideString& aSource, TmvWideString& aResult) override;

 protected:
  int32_t wsttMaxLength;
};

// The transformers in order, each applied to the previous result; an empty
// hub returns the source.
class TmvWideStringTransformerHub : public TmvWideStringTransformerBase {
 public:
  explicit TmvWideStringTransformerHub(const TmvWideStringTransformers& aTransformers)
      : wsthTransformers(aTransformers) {}
  void Transform(const TmvWideString& aSource, TmvWideString& aResult) override;

 protected:
  TmvWideStringTransformers wsthTransformers;
};

// ---------------------------------------------------------------------------
// TmvWideStrings

// The abstract list. Name/value entries are "name=value": an entry's name
// is its text up to its first "=" (empty without one). Single-byte
// overloads convert with aCodePage first (-1: the engine's default code
// page).
class TmvWideStrings : public TmvPersistent {
 public:
  // Nil comparer: a byte comparer; nil transformer: a null transformer.
  explicit TmvWideStrings(TmvWideStringComparerRef aComparer = nullptr,
                          TmvWideStringTransformerRef aTransformer = nullptr);
  ~TmvWideStrings() override;

  // From another TmvWideStrings or a platform TStrings: cleared, then every
  // string and object copied.
  void Assign(const TPersistent* aSource) override;
  void Assign(const TStrings& aSource);
  // Fills a platform list (cleared first) with every string and object.
  void AssignTo(TStrings& aDest) const;

  // The list's stream property "WideStrings": whether it is written given
  // the filer's ancestor (nil: none), and its value, GetText as one wide
  // string. Reading takes a string, long string, UTF-8 or wide string value.
  bool ShouldWriteWideStrings(const TPersistent* aAncestor) const;
  void WriteWideStrings(TWriter& aWriter) const;
  void ReadWideStrings(TReader& aReader);

  virtual void SetUpdateState(bool aUpdating);
  virtual int32_t GetCapacity() const { return GetCount(); }
  virtual void SetCapacity(int32_t aCapacity);
  virtual int32_t GetCount() const = 0;
  virtual TmvWideString wsGetString(int32_t aIndex) const = 0;
  virtual void wsPutString(int32_t aIndex, const TmvWideString& aString) = 0;
  virtual void* wsGetObject(int32_t aIndex) const;
  virtual void wsPutObject(int32_t aIndex, void* aObject) = 0;
  // The strings joined with U+2028 (LINE SEPARATOR).
  virtual TmvWideString GetText() const;
  // Clears, then adds the lines of aValue, broken at NUL, LF, VT, FF, CR,
  // U+2028 and U+2029 (CR LF is one break; a final break adds no line).
  virtual void SetText(const TmvWideString& aValue);
  virtual int8_t CompareStrings(const TmvWideString& a, const TmvWideString& b) const;
  virtual void TransformString(const TmvWideString& aSource, TmvWideString& aResult) const;
  virtual void Clear() = 0;
  virtual int32_t Add(const TmvWideString& aString);
  virtual int32_t AddObject(const TmvWideString& aString, void* aObject);
  virtual void Insert(int32_t aIndex, const TmvWideString& aString) = 0;
  virtual void Delete(int32_t aIndex) = 0;
  // From a platform list: its UTF-16 text unit by unit (aCodePage unused).
  virtual void AddStrings(const TStrings& aStrings, int32_t aCodePage = -1);
  virtual void AddStrings(const TmvWideStrings& aStrings);
  virtual void Exchange(int32_t aIndex1, int32_t aIndex2);
  virtual void Move(int32_t aCurIndex, int32_t aNewIndex);
  virtual TmvWideString GetSeparatedText(const TmvWideString& aSeparators) const;
  // The first index whose stored string compares equal to the transformed
  // aString; -1 when none does.
  virtual int32_t IndexOf(const TmvWideString& aString) const;
  // A byte-order mark (FF FE or FE FF) means UTF-16 of that order; without
  // one, aForceUnicode reads little-endian UTF-16 and otherwise the bytes are
  // single-byte text in aCodePage. A trailing odd byte is ignored.
  virtual void LoadFromFile(const String& aFileName, bool aForceUnicode, int32_t aCodePage = -1);
  virtual void LoadFromStream(TStream& aStream, bool aForceUnicode, int32_t aCodePage = -1);
  virtual void SaveToFile(const String& aFileName, bool aUnicode, bool aWithBOM, int32_t aCodePage = -1);
  virtual void SaveToStream(TStream& aStream, bool aUnicode, bool aWithBOM, int32_t aCodePage = -1);

  void BeginUpdate();
  void EndUpdate();
  bool Equals(const TmvWideStrings& aStrings) const;
  TmvWideString GetSeparatedText(char16_t aSeparator) const { return GetSeparatedText(TmvWideString(1, aSeparator)); }
  // The first entry whose name compares equal to the transformed aName.
  int32_t IndexOfName(const TmvWideString& aName) const;
  int32_t IndexOfObject(void* aObject) const;
  TmvWideString wsGetName(int32_t aIndex) const;
  TmvWideString wsGetValue(const TmvWideString& aName) const;
  // A non-empty value puts name=value at the name's entry (appended when
  // absent); an empty one deletes the entry.
  void wsSetValue(const TmvWideString& aName, const TmvWideString& aValue);

  // The single-byte overloads.
  int32_t Add(const AnsiString& aString, int32_t aCodePage = -1);
  int32_t AddObject(const AnsiString& aString, void* aObject, int32_t aCodePage = -1);
  void Insert(int32_t aIndex, const AnsiString& aString, int32_t aCodePage = -1);
  void InsertObject(int32_t aIndex, const TmvWideString& aString, void* aObject);
  void InsertObject(int32_t aIndex, const AnsiString& aString, void* aObject, int32_t aCodePage = -1);
  void Append(const TmvWideString& aString) { Add(aString); }
  void Append(const AnsiString& aString, int32_t aCodePage = -1) { Add(aString, aCodePage); }

  // The properties.
  int32_t Count() const { return GetCount(); }
  TmvWideString Strings(int32_t aIndex) const { return wsGetString(aIndex); }
  void* Objects(int32_t aIndex) const { return wsGetObject(aIndex); }
  TmvWideString Names(int32_t aIndex) const { return wsGetName(aIndex); }
  TmvWideString Values(const TmvWideString& aName) const { return wsGetValue(aName); }
  ImvWideStringComparer* Comparer() const { return wsComparer.get(); }
  ImvWideStringTransformer* Transformer() const { return wsTransformer.get(); }

 protected:
  void AssignTo(TPersistent* aDest) const override;
  [[noreturn]] static void ListError(const char16_t* aMessage, int32_t aData);
  // A single-byte string in aCodePage (-1: the default) as UTF-16.
  static TmvWideString Widen(const AnsiString& aString, int32_t aCodePage);
  void AddWideStrings(const TmvWideStrings& aStrings);

  int32_t wsUpdateCount = 0;
  TmvWideStringComparerRef wsComparer;
  TmvWideStringTransformerRef wsTransformer;
};

// ---------------------------------------------------------------------------
// TmvWideStringList

struct TmvWideStringItem {
  TmvWideString wsiString;
  void* wsiObject = nullptr;  // not owned
};
using TmvWideStringItemList = std::vector<TmvWideStringItem>;

// The list itself, sorted or not. A sorted list refuses Insert and
// wsPutString; Find's binary search returns the first match it meets among
// equal strings, not necessarily the first in order.
class TmvWideStringList : public TmvWideStrings {
 public:
  using TmvWideStrings::TmvWideStrings;
  using TmvWideStrings::Add;
  using TmvWideStrings::Insert;
  using TmvWideStrings::Exchange;
  ~TmvWideStringList() override;

  void SetUpdateState(bool aUpdating) override;
  int32_t GetCapacity() const override { return int32_t(wslList.size()); }
  void SetCapacity(int32_t aCapacity) override;
  int32_t GetCount() const override { return wslCount; }
  TmvWideString wsGetString(int32_t aIndex) const override;
  void wsPutString(int32_t aIndex, const TmvWideString& aString) override;
  void* wsGetObject(int32_t aIndex) const override;
  void wsPutObject(int32_t aIndex, void* aObject) override;
  void Clear() override;
  // Sorted: an equal string present is ignored (its index returned),
  // refused (dupError) or accepted beside it.
  int32_t Add(const TmvWideString& aString) override;
  void Insert(int32_t aIndex, const TmvWideString& aString) override;
  void Delete(int32_t aIndex) override;
  void Exchange(int32_t aIndex1, int32_t aIndex2) override;
  int32_t IndexOf(const TmvWideString& aString) const override;

  virtual void Changed();
  virtual void Changing();
  // Binary search for the transformed aString: true and its index, or false
  // and the index where it would be inserted.
  virtual bool Find(const TmvWideString& aString, int32_t& aIndex) const;
  virtual void Sort();

  bool GetSorted() const { return wslSorted; }
  // True sorts first; false only clears the flag.
  void SetSorted(bool aValue);
  TDuplicates GetDuplicates() const { return wslDuplicates; }
  void SetDuplicates(TDuplicates aValue) { wslDuplicates = aValue; }
  void SetOnChange(TNotifyEvent aEvent) { wslOnChange = std::move(aEvent); }
  void SetOnChanging(TNotifyEvent aEvent) { wslOnChanging = std::move(aEvent); }

 private:
  void InsertItem(int32_t aIndex, const TmvWideString& aString);
  void Grow();
  void CheckIndex(int32_t aIndex) const;
  void QuickSort(int32_t aLow, int32_t aHigh);
  void ExchangeItems(int32_t aIndex1, int32_t aIndex2);

  TmvWideStringItemList wslList;
  int32_t wslCount = 0;
  bool wslSorted = false;
  TDuplicates wslDuplicates = dupIgnore;
  TNotifyEvent wslOnChange;
  TNotifyEvent wslOnChanging;
};
