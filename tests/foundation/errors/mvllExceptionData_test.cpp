// Tests of exception data: the tree, its "EDV" encoding, Base64, the display
// text and the conversion of exceptions into codes and texts.
#include "foundation/errors/mvllExceptionData.h"

#include <gtest/gtest.h>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllComponents.h"
#include "support/mvTestLog.h"

namespace {

std::string Bytes(std::initializer_list<int> head, std::string tail = {}) {
  std::string s;
  for (int b : head) s += static_cast<char>(b);
  return s + tail;
}

String Decoded64(const String& text) {
  std::string narrow(text.begin(), text.end());
  std::string raw = mvBase64ToStr(narrow);
  return String(raw.begin(), raw.end());
}

}  // namespace

TEST(ExceptionData, GoldenEncodingAndRoundTrip) {
  auto root = mvCreateExceptionDataContainer(u"ExceptionData", nullptr);
  root->AddString(u"ClassName", u"TmvDatabase");
  String encoded = root->ToEncodedString(47501);
  std::string want = Bytes({0x07, 0x03}, "EDV") + Bytes({0x04, 0x8D, 0xB9, 0x00, 0x00, 0x02, 0x05, 0x06, 0x0D}) +
                     "ExceptionData" + Bytes({0x01, 0x02, 0x00, 0x06, 0x09}) + "ClassName" + Bytes({0x06, 0x0B}) +
                     "TmvDatabase" + Bytes({0x00});
  EXPECT_EQ(Decoded64(encoded), String(want.begin(), want.end()));

  auto back = mvExceptionDataFromString(encoded);
  ASSERT_EQ(back->GetValueType(), edvtContainer);
  EXPECT_EQ(back->ToString(), root->ToString());
  EXPECT_EQ(back->ToString(), u"ExceptionData:\r\n  ClassName: TmvDatabase\r\n");
}

TEST(ExceptionData, ValuesAreEngineInterfacedObjects) {
  TInterfacePtr<ImvExceptionDataContainer> root = mvCreateExceptionDataContainer(u"Root", nullptr, {});
  ImvExceptionDataContainer* child = root->AddContainer(u"Child");
  child->AddString(u"Name", u"x");
  auto* counted = dynamic_cast<TmvInterfacedObject*>(child);
  ASSERT_NE(counted, nullptr);
  EXPECT_EQ(counted->RefCount(), 1);  // the parent's reference
  void* asRoot = nullptr;
  ASSERT_EQ(child->QueryInterface(IID_IInterface, &asRoot), S_OK);
  EXPECT_EQ(counted->RefCount(), 2);
  TInterfacePtr<IInterface> held = TInterfacePtr<IInterface>::Adopt(static_cast<IInterface*>(asRoot));
  root = nullptr;  // the child outlives its parent while held, and forgets it
  EXPECT_EQ(counted->RefCount(), 1);
  EXPECT_EQ(child->GetValue(0)->AsString(), u"x");
}

TEST(ExceptionData, EveryKindRoundTripsAndDisplays) {
  auto root = mvCreateExceptionDataContainer(u"R", nullptr);
  root->AddInteger(u"I", 255);
  root->AddInteger(u"Big", int64_t(0x100000002));
  root->AddBoolean(u"B", true);
  root->AddFloat(u"F", 1.5);
  root->AddVariant(u"V", Variant(String(u"it's")));
  root->AddVariant(u"N", Variant::Null());
  root->AddUnsigned(u"U", 4000000000u);
  root->AddContainer(u"Sub")->AddString(u"Lines", u"a\r\nb");
  String want =
      u"R:\r\n  I: 255 ($000000FF)\r\n  Big: 4294967298 ($0000000100000002, 1:2)\r\n  B: True\r\n  F: 1.5\r\n"
      u"  V: 'it''s'\r\n  N: NULL\r\n  U: 4000000000 ($EE6B2800)\r\n  Sub:\r\n    Lines:\r\n      a\r\n      b\r\n";
  EXPECT_EQ(root->ToString(), want);
  EXPECT_EQ(mvExceptionDataFromString(root->ToEncodedString(47501))->ToString(), want);
  EXPECT_THROW(root->GetValue(9), EListError);
  try {
    root->GetValue(0)->AsContainer();
    ADD_FAILURE();
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 12289u);
    EXPECT_EQ(e.ErrorString(), u"AsContainer not supported for TmvExceptionDataBaseValue");
  }
}

TEST(ExceptionData, DecodingRefusesBadInput) {
  try {
    mvExceptionDataFromString(u"abcdef");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Base64ToStr: illegal input length!");
  }
  std::string xyz = Bytes({0x07, 0x03}, "XYZ") + Bytes({0x02, 0x01});
  std::string b64 = mvStrToBase64(xyz);
  try {
    mvExceptionDataFromString(String(b64.begin(), b64.end()));
    ADD_FAILURE();
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 15498u);
  }
  // A kind outside 0..5, and nesting deeper than any real tree.
  std::string badKind = Bytes({0x07, 0x03}, "EDV") + Bytes({0x02, 0x01, 0x02, 0x09, 0x06, 0x00});
  b64 = mvStrToBase64(badKind);
  EXPECT_THROW(mvExceptionDataFromString(String(b64.begin(), b64.end())), EmvBaseException);
  std::string deep = Bytes({0x07, 0x03}, "EDV") + Bytes({0x02, 0x01});
  for (int i = 0; i < 300; ++i) deep += Bytes({0x02, 0x05, 0x06, 0x00, 0x01});
  b64 = mvStrToBase64(deep);
  EXPECT_THROW(mvExceptionDataFromString(String(b64.begin(), b64.end())), EmvBaseException);
  EXPECT_THROW(mvBase64ToStr("ab*="), Exception);
}

TEST(ExceptionData, AddObjectCyclesExclusionsAndLists) {
  TmvPersistent p, q;
  auto root = mvCreateExceptionDataContainer(u"Root", mvObjectIdentity<TPersistent>(&p), {mvObjectIdentity<TPersistent>(&q)});
  ImvExceptionDataContainer* mid = root->AddContainer(u"Mid");
  ImvExceptionDataContainer* leaf = mid->AddContainer(u"Leaf");
  leaf->AddObject(u"P", static_cast<TPersistent*>(&p), false);
  leaf->AddObject(u"Q", static_cast<TPersistent*>(&q), false);
  leaf->AddObject(u"None", static_cast<TPersistent*>(nullptr), false);
  EXPECT_EQ(leaf->Count(), 2);
  EXPECT_EQ(leaf->GetValue(0)->AsString(), u"[Omitted to prevent cycle. Object already present 2 step up in history.]");
  EXPECT_EQ(leaf->GetValue(1)->AsString(), u"[Excluded]");
  mid->AddObject(u"Q", static_cast<TPersistent*>(&q), false);  // the root's exclusions hold at every level
  EXPECT_EQ(mid->GetValue(1)->AsString(), u"[Excluded]");
  TmvPersistent r;
  mid->AddObject(u"R", static_cast<TPersistent*>(&r), false);
  ImvExceptionDataContainer* rc = mid->GetValue(2)->AsContainer();
  EXPECT_EQ(rc->GetValue(1)->AsString(), u"TmvPersistent");

  TStringList list;
  list.Add(u"a=1");
  list.Add(u"=x");
  list.Add(u"plain");
  root->AddObject(u"L", &list, false);
  ImvExceptionDataContainer* lc = root->GetValue(1)->AsContainer();
  EXPECT_EQ(lc->GetValue(0)->GetName(), u"a");
  EXPECT_EQ(lc->GetValue(0)->AsString(), u"1");
  EXPECT_EQ(lc->GetValue(1)->GetName(), u"[1]");
  EXPECT_EQ(lc->GetValue(1)->AsString(), u"x");
  EXPECT_EQ(lc->GetValue(2)->GetName(), u"[2]");
}

TEST(ExceptionData, ConvertByKind) {
  uint32_t code;
  String text;
  struct Case {
    std::function<void()> raise;
    uint32_t code;
    String text;
  } cases[] = {
      {[] { throw EOutOfMemory(String(SOutOfMemory)); }, 9473, u""},
      {[] { throw std::bad_alloc(); }, 9473, u""},
      {[] { throw EmvBaseException(8706); }, 8706, u""},
      {[] { throw EmvBaseException(String(u"plain")); }, 15520, u""},
      {[] { throw EmvBaseException(10024, String(u"gone<[--!k=v!--]>")); }, 10024, u"gone<[--!k=v!--]>"},
      {[] { throw EConvertError(String(u"bad")); }, 15521,
       u"Unexpected exception object raised: [EConvertError] bad<[--!Exception.Class=EConvertError!--]>"
       u"<[--!Exception.Message=bad!--]>"},
  };
  for (Case& c : cases) {
    try {
      c.raise();
    } catch (...) {
      EXPECT_EQ(mvConvertCurrentException(nullptr, nullptr), c.code);
    }
    EmvBaseException::GetLastConvertedException(code, text);
    EXPECT_EQ(code, c.code);
    if (c.code != 15520) {
      EXPECT_EQ(text, c.text);
    }
  }
  // An old peer gets the old tag form.
  EConvertError e(String(u"bad"));
  mvConvertException(e, nullptr, nullptr, 30000);
  EmvBaseException::GetLastConvertedException(code, text);
  EXPECT_NE(text.find(u"<[--!\u00FEException.Class=EConvertError\u00FE!--]>"), String::npos);
}

TEST(ExceptionData, ConversionLogsWithThePriorityOfTheCode) {
  auto* log = new TmvTestLog(nullptr);
  const std::pair<uint32_t, TmvLogPriority> cases[] = {
      {0x2801, lpInfo}, {15461, lpInfo}, {0x2301, lpError}, {15521, lpError}, {0x2B01, lpFatal}, {8706, lpWarn}};
  for (const auto& [code, priority] : cases) {
    EXPECT_EQ(mvConvertException(EmvBaseException(code), log, nullptr), code);
    ASSERT_FALSE(log->entries.empty());
    EXPECT_EQ(log->entries.back().Priority, priority) << code;
    EXPECT_EQ(log->entries.back().Number, code);
    EXPECT_EQ(log->entries.back().Message.rfind(u"Exception Cvt: MorvaDB: ", 0), 0u);
  }
  delete log;
}

namespace {

// Describes itself, then fails half-way.
class TFailingContext : public TmvPersistent {
 protected:
  void WriteObjectInfo(ImvExceptionDataContainer* container) override {
    TmvPersistent::WriteObjectInfo(container);
    throw EConvertError(String(u"cannot describe"));
  }
};

}  // namespace

// A context that cannot be described costs the failure neither its code
// nor its text; the conversion says why the data is missing.
TEST(ExceptionData, ConversionSurvivesAContextThatCannotBeDescribed) {
  mvInitExceptionData();
  TFailingContext context;
  auto* log = new TmvTestLog(nullptr);
  const uint32_t code =
      mvConvertException(EmvBaseException(10024, String(u"gone")), log, static_cast<TPersistent*>(&context));
  EXPECT_EQ(code, 10024u);
  uint32_t last;
  String text;
  EmvBaseException::GetLastConvertedException(last, text);
  EXPECT_EQ(last, 10024u);
  EXPECT_EQ(text, u"gone<[--!ExceptionDataError=EConvertError: cannot describe!--]>");
  ASSERT_EQ(log->entries.size(), 1u);
  EXPECT_NE(log->entries[0].Message.find(u"could not be written: EConvertError: cannot describe"), String::npos);
  delete log;

  // The other side keeps the code and learns why the data is missing.
  const EmvBaseException back(10024);
  EXPECT_EQ(back.ErrorString(), u"gone");
  EXPECT_EQ(back.CustomInfos().Values(u"ExceptionDataError"), u"EConvertError: cannot describe");
  mvFinalizeExceptionData();
}

// A damaged "$ExceptionData$" tag must not replace the failure it travels
// with: cut short or changed at any byte, the exception keeps its code and
// text and drops only the data.
TEST(ExceptionData, DamagedDataInAMessageIsDropped) {
  mvInitExceptionData();
  auto root = mvCreateExceptionDataContainer(u"ExceptionData", nullptr);
  root->AddString(u"ClassName", u"TmvDatabase");
  root->AddInteger(u"Count", 3);
  const String encoded = root->ToEncodedString(47501);
  const std::string good = mvBase64ToStr(std::string(encoded.begin(), encoded.end()));
  auto raise = [](const std::string& bytes) {
    const std::string b64 = bytes.empty() ? std::string("x") : mvStrToBase64(bytes);
    return EmvBaseException(10024, u"gone<[--!$ExceptionData$=" + String(b64.begin(), b64.end()) + u"!--]>");
  };
  for (size_t n = 0; n < good.size(); ++n) {
    const EmvBaseException cut = raise(good.substr(0, n));
    EXPECT_EQ(cut.ErrorCode(), 10024u);
    EXPECT_EQ(cut.ErrorString(), u"gone");
    EXPECT_EQ(cut.CustomInfos().IndexOfName(u"$ExceptionData$"), -1);
    std::string flipped = good;
    flipped[n] = static_cast<char>(flipped[n] ^ 0xA5);
    const EmvBaseException changed = raise(flipped);
    EXPECT_EQ(changed.ErrorCode(), 10024u);
    EXPECT_EQ(changed.ErrorString(), u"gone");
  }
  const EmvBaseException damaged = raise(good.substr(0, 5));
  EXPECT_EQ(mvExceptionDataContainerOf(damaged.GetExceptionData())->Count(), 0);  // an empty one, made on request
  EXPECT_FALSE(damaged.CustomInfos().Values(u"ExceptionDataError").empty());
  const EmvBaseException whole = raise(good);
  EXPECT_EQ(mvExceptionDataContainerOf(whole.GetExceptionData())->Count(), 2);
  EXPECT_EQ(whole.CustomInfos().IndexOfName(u"ExceptionDataError"), -1);
  mvFinalizeExceptionData();
}
