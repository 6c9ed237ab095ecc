// Test support of the data dictionary tests: the dictionary started once per
// test suite, stand-ins for the descriptors of the units above (the data
// dictionary with its table, an item that holds a field, a file and an index
// number, validation lists, a cursor), a log that keeps its lines, and
// stream helpers.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dictionary/filters/mvsdFilterDescriptor.h"
#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/items/mvsdDictionaryItem.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/mvsdDictionaryCursor.h"
#include "dictionary/mvsdLog.h"
#include "dictionary/mvsdUnits.h"
#include "foundation/mvllStreams.h"
#include "support/mvTestLog.h"

namespace mvtest {

// Every dictionary test suite runs with the dictionary started.
class DictionaryTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() { mvDictionaryInit(); }
  static void TearDownTestSuite() { mvDictionaryFini(); }
};

// The data dictionary and its table, as far as the items below ask: item
// IDs, the read-only switch, the layout version, usable block sizes, the
// storage descriptors that AutoInc and BLOB fields need, the table's
// constraint names, the fields and files descriptors it owns, and a main
// indices descriptor made on request. The indexes go first, as a table
// frees them: their key fields and indexes leave the fields and files
// descriptors' notification lists.
class TTestDictionary : public TmvDictionaryItem, public ImvDictionaryRoot, public ImvTableDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  TTestDictionary() : TmvDictionaryItem(nullptr) {
    Fields = new TmvFieldsDescriptor(this);
    Files = new TmvFilesDescriptor(this);
  }
  ~TTestDictionary() override {
    delete Indices;
    delete Fields;
    delete Files;
  }
  TmvMainIndicesDescriptor& EnsureIndices() {
    if (!Indices) Indices = new TmvMainIndicesDescriptor(this, "Indices");
    return *Indices;
  }

  int32_t GetNextID() override { return ++CurrentID; }
  bool GetReadOnly() const override { return ReadOnly; }
  int32_t GetDictionaryVersion() const override { return Version; }
  int32_t UsableBlockSize(TmvBlockSize aBlockSize) override { return mvBlockSizeBytes(aBlockSize) - 64; }
  void EnsureAutoIncDescriptor() override { ++AutoIncEnsured; }
  void EnsureBlobDescriptor() override { ++BlobEnsured; }

  bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                   TmvDictionaryItem* aFrom = nullptr) override {
    if (aType.InheritsFrom(&TmvFieldsDescriptor::StaticClass)) {
      aDescriptor = Fields;
      return true;
    }
    if (aType.InheritsFrom(&TmvFilesDescriptor::StaticClass)) {
      aDescriptor = Files;
      return true;
    }
    if (aType.InheritsFrom(&TmvMainIndicesDescriptor::StaticClass)) {
      aDescriptor = Indices;
      return true;
    }
    return TmvDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }
  void AddConstraintName(TmvDictionaryItem*, const String& aName) override {
    for (const String& n : Constraints)
      if (SameClassName(n, aName)) throw EmvDictionaryItemException(MVERR_NAMENOTUNIQUE, String(u"in use"));
    Constraints.push_back(aName);
    ++ConstraintCalls;
  }
  void RemoveConstraintName(TmvDictionaryItem*, const String& aName) override {
    std::erase(Constraints, aName);
    ++ConstraintCalls;
  }

  TmvFieldsDescriptor* Fields;
  TmvFilesDescriptor* Files;
  TmvMainIndicesDescriptor* Indices = nullptr;
  int32_t CurrentID = 0;
  bool ReadOnly = false;
  int32_t Version = 3;
  int AutoIncEnsured = 0;
  int BlobEnsured = 0;
  std::vector<String> Constraints;
  int ConstraintCalls = 0;
};
inline constinit const TmvDictionaryItemClassRef TTestDictionary::StaticClass{
    {{u"TTestDictionary", &TmvDictionaryItem::StaticClass}, &mvNoRegistry, nullptr}, nullptr};

// A table with its base file, fields added on request, and composite keys
// made as the keys of new indexes of its main indices descriptor.
struct TTestTable {
  TTestDictionary dd;
  TTestTable() { dd.Files->AddFile(u"", mvbs4k, u"Data"); }
  TmvFieldDescriptor* Field(const String& aName, TmvFieldType aType, int32_t aUnits = 0, bool aRequired = false) {
    return dd.Fields->AddField(aName, u"", aType, aUnits, 0, aRequired);
  }
  TmvMainIndicesDescriptor& Indices() { return dd.EnsureIndices(); }
  // A key of class aClass (a composite key class) on the given fields.
  TmvCompKeyDescriptor& Key(std::initializer_list<int32_t> aFields,
                            const TmvDictionaryItemClassRef* aClass = &TmvCompKeyDescriptor::StaticClass) {
    TmvIndexDescriptor* index =
        Indices().AddIndex(u"Index" + mvIntToStr(Indices().IndexCount()), 0, idNone, u"", aClass);
    auto& key = static_cast<TmvCompKeyDescriptor&>(*index->GetKeyDescriptor());
    for (int32_t f : aFields) key.Add(f);
    return key;
  }
};

// What a holder of numbers does (as a key field holds a field, an index a
// file and a full-text descriptor an index): hold a field, a file and an
// index number, follow renumbering and refuse the removal of what it uses.
class TTestHolder : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  TTestHolder(TPersistent* aParent, int32_t aField, int32_t aFile, int32_t aIndex = -1)
      : TmvDictionaryItem(aParent), FieldNumber(aField), FileNumber(aFile), IndexNumber(aIndex) {
    RegisterFieldChangeNotification();
    RegisterFileChangeNotification();
    RegisterIndexChangeNotification();
  }
  ~TTestHolder() override {
    UnregisterFieldChangeNotification();
    UnregisterFileChangeNotification();
    UnregisterIndexChangeNotification();
  }
  void FieldChangeNotification(bool aBefore, int32_t aOld, int32_t aNew) override {
    Calls.push_back({aBefore, aOld, aNew});
    Follow(FieldNumber, u"Cannot remove field %d because it is still referenced", aBefore, aOld, aNew);
  }
  void FileChangeNotification(bool aBefore, int32_t aOld, int32_t aNew) override {
    Follow(FileNumber, u"Cannot remove file %d because it is still referenced by an index", aBefore, aOld, aNew);
  }
  void IndexChangeNotification(bool aBefore, int32_t aOld, int32_t aNew) override {
    IndexCalls.push_back({aBefore, aOld, aNew});
    Follow(IndexNumber, u"Cannot remove index %d because it is still referenced", aBefore, aOld, aNew);
  }

  struct Call {
    bool before;
    int32_t oldNumber, newNumber;
    bool operator==(const Call&) const = default;
  };
  int32_t FieldNumber;
  int32_t FileNumber;
  int32_t IndexNumber;
  std::vector<Call> Calls;
  std::vector<Call> IndexCalls;

 private:
  static void Follow(int32_t& aNumber, const char16_t* aRefusal, bool aBefore, int32_t aOld, int32_t aNew) {
    if (aBefore && mvChangeRemoves(aNumber, aOld, aNew))
      throw EmvDictionaryItemException(MVERR_OBJECTINUSE, aRefusal, {aNumber});
    if (!aBefore) aNumber = mvRenumberAfterChange(aNumber, aOld, aNew);
  }
};
inline constinit const TmvDictionaryItemClassRef TTestHolder::StaticClass{
    {{u"TTestHolder", &TmvDictionaryItem::StaticClass}, &mvNoRegistry, nullptr}, nullptr};

// Validation lists of classes of their own, which no engine serves.
class TTestValidations : public TmvFieldValidationsDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvFieldValidationsDescriptor::TmvFieldValidationsDescriptor;
};
inline constinit const TmvDictionaryItemClassRef TTestValidations::StaticClass{
    {{u"TTestValidations", &TmvFieldValidationsDescriptor::StaticClass}, &TmvFieldValidationsDescriptor::Registry,
     &mvCreateFreeItem<TTestValidations>},
    &mvCreateItem<TTestValidations>};

class TTestFieldsValidations : public TmvFieldsValidationsDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvFieldsValidationsDescriptor::TmvFieldsValidationsDescriptor;
};
inline constinit const TmvDictionaryItemClassRef TTestFieldsValidations::StaticClass{
    {{u"TTestFieldsValidations", &TmvFieldsValidationsDescriptor::StaticClass},
     &TmvFieldValidationsDescriptor::Registry, &mvCreateFreeItem<TTestFieldsValidations>},
    &mvCreateItem<TTestFieldsValidations>};

// A filter descriptor whose own data is a payload of bytes up to the end of
// its stream; it refuses to be written while Refuse is set.
class TTestFilter : public TmvBaseFilterDescriptor {
  MV_DECLARE_CLASSREF(TmvFilterDescriptorClassRef)
 public:
  explicit TTestFilter(std::string aPayload = {}) : Payload(std::move(aPayload)) {}
  uint32_t WriteToStream(TStream& aStream, int32_t aVersion) override {
    if (Refuse) return EmvBaseException::mvSetMessage(12289, u"refused for %d", {aVersion});
    mvWriteFilterClassName(aStream, StaticClass);
    aStream.WriteBuffer(Payload.data(), int64_t(Payload.size()));
    return 0;
  }
  static TmvBaseFilterDescriptor* FromStream(TStream& aStream) {
    std::string payload(size_t(aStream.GetSize() - aStream.GetPosition()), '\0');
    aStream.ReadBuffer(payload.data(), int64_t(payload.size()));
    if (payload == "fail") throw EmvBaseFilterDescriptorException(10004, String(u"bad payload"));
    return new TTestFilter(payload);
  }
  std::string Payload;
  bool Refuse = false;
};
inline constinit const TmvFilterDescriptorClassRef TTestFilter::StaticClass{
    {{u"TTestFilterDescriptor", &TmvBaseFilterDescriptor::StaticClass}, &TmvBaseFilterDescriptor::Registry, nullptr},
    &TTestFilter::FromStream};

// A field whose type and units a test can change in place, as a restructure
// does to the field that a default value belongs to.
class TReshapableField : public TmvFieldDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldDescriptorClassRef)
 public:
  using TmvFieldDescriptor::TmvFieldDescriptor;
  void Reshape(TmvFieldType aType, int32_t aUnits) {
    fdType = aType;
    fdUnits = aUnits;
    fdDecPl = 0;
    UpdateSetup();
  }
};
inline constinit const TmvFieldDescriptorClassRef TReshapableField::StaticClass{
    {{{u"TReshapableField", &TmvFieldDescriptor::StaticClass}, &TmvFieldDescriptor::Registry, nullptr}, nullptr},
    &mvCreateField<TReshapableField>,
    &TmvFieldDescriptor::SetupField};

// The cursor that default-value and validation engines are made for: a
// session user name, a counter of log sequence numbers, which can refuse,
// and BLOB contents by BLOB number (an unknown number is refused with 8708).
class TTestCursor : public ImvDictionaryCursor {
 public:
  String GetSessionUserName() override { return UserName; }
  bool GetNextLSN(TmvLSN& aLSN) override {
    ++LSNCalls;
    if (!GivesLSN) return false;
    aLSN = NextLSN++;
    return true;
  }
  uint32_t ReadBlob(int32_t aFieldNo, TmvBlobNr aBlobNr, std::vector<uint8_t>& aContent) override {
    BlobReads.push_back({aFieldNo, aBlobNr});
    auto found = Blobs.find(aBlobNr);
    if (found == Blobs.end()) return EmvBaseException::mvSetMessage(8708, u"No BLOB %d", {int32_t(aBlobNr)});
    aContent = found->second;
    return 0;
  }
  String UserName = u"alice";
  bool GivesLSN = true;
  TmvLSN NextLSN = 0x0102030405060708;
  int LSNCalls = 0;
  std::map<TmvBlobNr, std::vector<uint8_t>> Blobs;
  std::vector<std::pair<int32_t, TmvBlobNr>> BlobReads;
};

// The shared test log, installed as the dictionary's log while it lives.
using TLinesLog = TmvInstalledTestLog<mvSetDictionaryLog>;

// Registers the stand-in classes for the life of a test.
struct StandInClasses {
  StandInClasses() {
    for (const auto* cls : kClasses) TmvBaseRegisterableDescriptor::RegisterDescriptor(*cls);
  }
  ~StandInClasses() {
    for (const auto* cls : kClasses) TmvBaseRegisterableDescriptor::UnregisterDescriptor(*cls);
  }
  static constexpr const TmvRegisterableDescriptorClassRef* kClasses[] = {
      &TTestValidations::StaticClass, &TTestFieldsValidations::StaticClass, &TTestFilter::StaticClass};
};

// The bytes an item writes for a client version.
inline std::vector<uint8_t> Written(const std::function<void(TmvWriter&)>& aWrite) {
  TmvMemoryStream stream;
  {
    TmvWriter writer(stream);
    aWrite(writer);
    writer.FlushBuffer();
  }
  const uint8_t* p = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(p, p + stream.GetSize());
}
inline std::vector<uint8_t> Written(TmvDictionaryItem& aItem, int32_t aClientVersion = mvEngineVersion) {
  return Written([&](TmvWriter& w) { aItem.SaveToWriter(w, aClientVersion); });
}

// Reads the bytes with aRead; the reader must consume all of them.
inline void ReadAll(const std::vector<uint8_t>& aBytes, const std::function<void(TmvReader&)>& aRead) {
  TmvMemoryStream stream;
  stream.Write(aBytes.data(), int32_t(aBytes.size()));
  stream.SetPosition(0);
  {
    TmvReader reader(stream);
    aRead(reader);
  }
  EXPECT_EQ(stream.GetPosition(), int64_t(aBytes.size()));
}
inline void ReadAll(const std::vector<uint8_t>& aBytes, TmvDictionaryItem& aItem) {
  ReadAll(aBytes, [&](TmvReader& r) { aItem.LoadFromReader(r); });
}

// Runs aRead on every one-byte change (xor 0x01, 0x80, 0xFF) of aGood and
// on every cut of it. A damaged stream may read (into something that must
// then be sound: aUse runs on it) or fail with an engine or platform error;
// an assertion is a broken invariant, not an answer to damage.
inline void ReadEveryDamage(const std::vector<uint8_t>& aGood, const std::function<void(TmvReader&)>& aRead,
                            const std::function<void()>& aUse) {
  auto attempt = [&](const std::vector<uint8_t>& b) {
    try {
      TmvMemoryStream stream;
      stream.Write(b.data(), int32_t(b.size()));
      stream.SetPosition(0);
      TmvReader reader(stream);
      aRead(reader);
    } catch (const EAssertionFailed& e) {
      ADD_FAILURE() << UTF8Encode(e.Message());
      return;
    } catch (const Exception&) {
      return;
    }
    aUse();
  };
  for (size_t i = 0; i < aGood.size(); ++i) {
    for (uint8_t delta : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
      std::vector<uint8_t> b = aGood;
      b[i] = uint8_t(b[i] ^ delta);
      attempt(b);
    }
    attempt(std::vector<uint8_t>(aGood.begin(), aGood.begin() + ptrdiff_t(i)));
  }
}

// The error code of an engine exception raised by f, 0 when none was raised;
// the message goes to aMessage.
inline uint32_t RaisedCode(const std::function<void()>& f, String* aMessage = nullptr) {
  try {
    f();
  } catch (const EmvBaseException& e) {
    if (aMessage) *aMessage = e.ProcessedErrorString();
    return e.ErrorCode();
  }
  return 0;
}

inline std::string Utf8(const String& s) { return UTF8Encode(s); }

// Gives an item its own locale (storing text in code page aCodePage) the way
// a stream does. Requires: the dictionary's classes are registered.
inline void GiveOwnLocale(TmvLocalizedDictionaryItem& aItem, uint16_t aCodePage) {
  TmvLocaleDescriptor locale(nullptr);
  locale.SetOverrideStorageCodepage(aCodePage);
  ReadAll(Written([&](TmvWriter& w) {
            w.WriteInteger(1);
            mvWriteOptionalItem(w, &locale, mvEngineVersion);
          }),
          [&](TmvReader& r) { aItem.LoadLocaleFromReader(r); });
}

}  // namespace mvtest
