// Tests of custom descriptors and their list: names and their refusals,
// removal, comparison, the stream form with subclasses and unknown classes,
// checks of what a stream brought, clearing, copying and damaged streams.
#include "dictionary/mvsdCustomDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

// A custom descriptor with a body of its own (one integer) that counts the
// clears it sees.
class TTestCustom : public TmvBaseCustomDescriptor {
  MV_DECLARE_CLASSREF(TmvCustomDescriptorClassRef)
 public:
  using TmvBaseCustomDescriptor::TmvBaseCustomDescriptor;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override {
    TmvBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
    aWriter.WriteInteger(Value);
  }
  void LoadFromReader(TmvReader& aReader) override {
    TmvBaseCustomDescriptor::LoadFromReader(aReader);
    Value = aReader.ReadInteger();
  }
  bool IsEqual(TmvDictionaryItem* aItem) override {
    auto* other = dynamic_cast<TTestCustom*>(aItem);
    return TmvBaseCustomDescriptor::IsEqual(aItem) && other && other->Value == Value;
  }
  void Clear(bool aNotify) override {
    TmvBaseCustomDescriptor::Clear(aNotify);
    ++Clears;
  }
  int32_t Value = 0;
  static inline int Clears = 0;
};
constinit const TmvCustomDescriptorClassRef TTestCustom::StaticClass{
    {{{u"TTestCustom", &TmvBaseCustomDescriptor::StaticClass}, &TmvBaseCustomDescriptor::Registry, nullptr}, nullptr},
    &mvCreateCustom<TTestCustom>};

class CustomDescriptors : public DictionaryTest {
 protected:
  void SetUp() override { TmvBaseRegisterableDescriptor::RegisterDescriptor(TTestCustom::StaticClass); }
  void TearDown() override { TmvBaseRegisterableDescriptor::UnregisterDescriptor(TTestCustom::StaticClass); }
};

std::vector<String> Names(const TmvCustomDescsDescriptor& aList) {
  std::vector<String> names;
  for (int32_t i = 0; i < aList.CustomCount(); ++i) names.push_back(aList.CustomDescriptor(i)->GetName());
  return names;
}

TEST_F(CustomDescriptors, NamesAndRemoval) {
  TTestDictionary dd;
  TmvCustomDescsDescriptor list(&dd);
  TmvBaseCustomDescriptor* fulltext = list.AddCustom(u"FULLTEXT");
  EXPECT_EQ(&fulltext->ClassType(), &TmvBaseCustomDescriptor::StaticClass);
  EXPECT_EQ(fulltext->GetParent(), &list);
  auto* ri = static_cast<TTestCustom*>(list.AddCustom(u"RefIntegrity", &TTestCustom::StaticClass));
  EXPECT_EQ(&ri->ClassType(), &TTestCustom::StaticClass);

  String message;
  const int32_t nextID = dd.CurrentID + 1;
  EXPECT_EQ(RaisedCode([&] { list.AddCustom(u"Fulltext"); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated custom descriptor name: Fulltext");
  for (const char16_t* bad : {u"", u" Audit", u"a/b"})
    EXPECT_EQ(RaisedCode([&] { list.AddCustom(bad); }), 10068u) << Utf8(bad);
  EXPECT_EQ(RaisedCode([&] { TmvBaseCustomDescriptor lone(&list, u"x|y"); }), 10068u);
  EXPECT_EQ(list.CustomCount(), 2);
  EXPECT_EQ(dd.CurrentID + 1, nextID);  // refused names took no item ID

  EXPECT_EQ(list.GetCustomDescriptorFromName(u"refintegrity"), 1);
  EXPECT_EQ(list.GetCustomDescriptorFromName(u"Audit"), -1);
  list.RemoveCustom(5);
  list.RemoveCustom(-1);
  list.RemoveCustom(u"Audit");
  EXPECT_EQ(Names(list), (std::vector<String>{u"FULLTEXT", u"RefIntegrity"}));
  list.RemoveCustom(u"fulltext");
  EXPECT_EQ(Names(list), (std::vector<String>{u"RefIntegrity"}));
  list.RemoveCustom(0);
  EXPECT_EQ(list.CustomCount(), 0);

  dd.ReadOnly = true;
  EXPECT_EQ(RaisedCode([&] { list.AddCustom(u"Audit"); }), 15500u);
  EXPECT_EQ(RaisedCode([&] { list.RemoveCustom(0); }), 15500u);
  EXPECT_EQ(RaisedCode([&] { list.RemoveCustom(u"Audit"); }), 15500u);
}

TEST_F(CustomDescriptors, Equality) {
  TmvCustomDescsDescriptor a(nullptr), b(nullptr);
  a.AddCustom(u"RefIntegrity", &TTestCustom::StaticClass);
  a.AddCustom(u"Fulltext");
  b.AddCustom(u"Fulltext");
  b.AddCustom(u"RefIntegrity", &TTestCustom::StaticClass);
  EXPECT_FALSE(a.IsEqual(&b));  // the same descriptors in another order
  b.RemoveCustom(0);
  b.AddCustom(u"Fulltext");
  EXPECT_TRUE(a.IsEqual(&b));
  static_cast<TTestCustom*>(b.CustomDescriptor(0))->Value = 1;  // the subclass's own part counts
  EXPECT_FALSE(a.IsEqual(&b));

  TmvBaseCustomDescriptor upper(nullptr, u"RefIntegrity"), lower(nullptr, u"refintegrity");
  EXPECT_FALSE(upper.IsEqual(&lower));
  TTestCustom sameNameOtherClass(nullptr, u"RefIntegrity");
  EXPECT_FALSE(upper.IsEqual(&sameNameOtherClass));
  EXPECT_FALSE(sameNameOtherClass.IsEqual(&upper));
}

TEST_F(CustomDescriptors, StreamForm) {
  TmvCustomDescsDescriptor list(nullptr);
  list.AddCustom(u"Audit", &TTestCustom::StaticClass);
  static_cast<TTestCustom*>(list.CustomDescriptor(0))->Value = 7;
  list.AddCustom(u"Fulltext");
  const std::vector<uint8_t> written = Written(list);

  // Header, 1, count 2, then class, name and body of each (free items: ID 0).
  Bytes expected;
  expected.header().integer(1).integer(2);
  expected.str("TTestCustom").str("Audit").header().integer(7);
  expected.str("TmvBaseCustomDescriptor").str("Fulltext").header();
  EXPECT_EQ(written, expected.b);

  TmvCustomDescsDescriptor back(nullptr);
  back.AddCustom(u"Stale");  // replaced by what the stream holds
  ReadAll(written, back);
  EXPECT_TRUE(back.IsEqual(&list));
  EXPECT_EQ(static_cast<TTestCustom*>(back.CustomDescriptor(0))->Value, 7);

  EXPECT_EQ(RaisedCode([&] { Written(list, mvPeerVersionItemIDs - 1); }), 12039u);
  // The old dictionary layout carries the descriptors without the list.
  Bytes old;
  old.integer(2).str("TTestCustom").str("Audit").oldHeader().integer(7);
  old.str("TmvBaseCustomDescriptor").str("Fulltext").oldHeader();
  EXPECT_EQ(Written([&](TmvWriter& w) { list.WriteCustoms(w, mvPeerVersionItemIDs - 1); }), old.b);
  ReadAll(old.b, [&](TmvReader& r) { back.ReadCustoms(r); });
  EXPECT_EQ(Names(back), (std::vector<String>{u"Audit", u"Fulltext", u"Audit", u"Fulltext"}));  // appended
  std::vector<uint8_t> v2 = written;
  v2[12] = 0x02;  // the list's version
  EXPECT_EQ(RaisedCode([&] { ReadAll(v2, back); }), 15498u);

  TmvBaseRegisterableDescriptor::UnregisterDescriptor(TTestCustom::StaticClass);
  String message;
  EXPECT_EQ(RaisedCode([&] { ReadAll(written, back); }, &message), 15499u);
  EXPECT_EQ(message, u"CustomDescriptor class is not supported: TTestCustom");
  TmvBaseRegisterableDescriptor::RegisterDescriptor(TTestCustom::StaticClass);
}

// A stream form of a list of base custom descriptors with these names.
std::vector<uint8_t> ListBytes(const std::vector<std::string>& aNames) {
  Bytes list;
  list.header().integer(1).integer(int8_t(aNames.size()));
  for (const std::string& name : aNames) list.str("TmvBaseCustomDescriptor").str(name).header();
  return list.b;
}

TEST_F(CustomDescriptors, NamesFromAStream) {
  TmvCustomDescsDescriptor list(nullptr);
  ReadAll(ListBytes({"Fulltext", "Fullt"}), list);
  list.CheckValid(true);
  // A name equal to an earlier one but for case reads, and the check refuses it.
  ReadAll(ListBytes({"Fulltext", "Audit", "FULLTEXT"}), list);
  EXPECT_EQ(list.CustomCount(), 3);
  String message;
  EXPECT_EQ(RaisedCode([&] { list.CheckValid(false); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated custom descriptor name: FULLTEXT");
  // A name that is no identifier is refused at once.
  EXPECT_EQ(RaisedCode([&] { ReadAll(ListBytes({"a/b"}), list); }), 10068u);
}

TEST_F(CustomDescriptors, ClearAndAssign) {
  TTestDictionary dd;
  TmvCustomDescsDescriptor list(&dd);
  list.AddCustom(u"A", &TTestCustom::StaticClass);
  list.AddCustom(u"B", &TTestCustom::StaticClass);
  list.GetCustomStrings().Add(u"x=1");
  TTestCustom::Clears = 0;
  list.Clear(true);
  EXPECT_EQ(TTestCustom::Clears, 2);
  EXPECT_EQ(list.CustomCount(), 0);
  EXPECT_FALSE(list.IsCustomStringsStored());

  TmvCustomDescsDescriptor source(&dd);
  source.AddCustom(u"Fulltext");
  static_cast<TTestCustom*>(source.AddCustom(u"Audit", &TTestCustom::StaticClass))->Value = 3;
  list.AddCustom(u"Other");
  list.Assign(&source);
  EXPECT_TRUE(list.IsEqual(&source));
  EXPECT_NE(list.CustomDescriptor(0)->GetID(), source.CustomDescriptor(0)->GetID());  // new items, new IDs
  EXPECT_EQ(list.CustomDescriptor(1)->GetParent(), &list);
}

TEST_F(CustomDescriptors, DamagedStreams) {
  TmvCustomDescsDescriptor source(nullptr);
  source.AddCustom(u"Fulltext");
  static_cast<TTestCustom*>(source.AddCustom(u"Audit", &TTestCustom::StaticClass))->Value = 300;
  std::unique_ptr<TmvCustomDescsDescriptor> list;
  ReadEveryDamage(
      Written(source),
      [&](TmvReader& r) {
        list = std::make_unique<TmvCustomDescsDescriptor>(nullptr);
        list->LoadFromReader(r);
        list->CheckValid(false);
      },
      [&] {
        for (int32_t i = 0; i < list->CustomCount(); ++i) {
          EXPECT_EQ(list->CustomDescriptor(i)->GetParent(), list.get());
          EXPECT_FALSE(list->CustomDescriptor(i)->GetName().empty());
        }
      });
}

}  // namespace
