// Tests of engine exceptions: message format, the last converted exception,
// custom-info tags, component exceptions and OS-error exceptions.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/types/mvsdTypes.h"

namespace {

// Each test starts and ends with an empty slot on its thread.
class ExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override { mvFinalizeExceptions(); }
  void TearDown() override {
    mvFinalizeExceptions();
    mvSetThreadPeerVersion(0);
  }
  static String slotText() {
    uint32_t code;
    String text;
    EmvBaseException::GetLastConvertedException(code, text);
    return text;
  }
};

TEST_F(ExceptionTest, MessageFormatFromCodeAndFromText) {
  EmvBaseException bof(MVERR_BOF);
  EXPECT_EQ(bof.ErrorCode(), 8705u);
  EXPECT_EQ(bof.ErrorString(), u"");
  EXPECT_FALSE(bof.ExtendedMsg());
  EXPECT_EQ(bof.Message(), u"MorvaDB: At beginning of table. [$2201/8705]");
  EXPECT_STREQ(bof.what(), "MorvaDB: At beginning of table. [$2201/8705]");

  EXPECT_EQ(EmvBaseException(String()).Message(), u"MorvaDB: Success [no error code]");
  EmvBaseException text(u"  plain text  ");
  EXPECT_EQ(text.ErrorCode(), 0u);
  EXPECT_TRUE(text.ExtendedMsg());
  EXPECT_EQ(text.Message(), u"MorvaDB: plain text [no error code]");
  EXPECT_EQ(EmvBaseException(u"%s class is not supported: %s", {u"Engine", u"X"}).Message(),
            u"MorvaDB: Engine class is not supported: X [no error code]");
  EXPECT_EQ(EmvBaseException(15499, TResStringRec{u"%s class is not supported: %s"}, {u"Engine", u"X"}).Message(),
            u"MorvaDB: Engine class is not supported: X [$3C8B/15499]");
  // Only the low 32 bits of the code count.
  EXPECT_EQ(EmvBaseException(int64_t{0x100002201}).ErrorCode(), 0x2201u);
}

TEST_F(ExceptionTest, MultiLineTextIsTidied) {
  // Two lines and an empty line: each line ends with CR LF, then one more.
  EmvBaseException e(MVERR_KEYVIOL, u"line one\nline two\r\n\r\n");
  EXPECT_EQ(e.Message(), u"MorvaDB: line one\r\nline two\r\n\r\n [$2601/9729]");
  EXPECT_EQ(mvTidyMessageText(u"one  \r\n \t\r\n"), u"one");
  EXPECT_EQ(mvTidyMessageText(u"a\rb \r\n"), u"a\r\nb \r\n\r\n");
  EXPECT_EQ(mvTidyMessageText(u" \r\n"), u"");
}

TEST_F(ExceptionTest, LastConvertedExceptionIsPerThreadAndUsedOnce) {
  EXPECT_EQ(EmvBaseException::mvSetMessage(MVERR_NOSUCHTABLE, u"Table \"%s\" does not exist", {u"T1"}),
            10024u);
  // Another code ignores the slot and leaves it filled.
  EmvBaseException other(MVERR_BOF);
  EXPECT_FALSE(other.ExtendedMsg());
  EXPECT_EQ(slotText(), u"Table \"T1\" does not exist");
  std::thread([] {
    EmvBaseException onOther(MVERR_NOSUCHTABLE);
    EXPECT_FALSE(onOther.ExtendedMsg());
    EXPECT_EQ(onOther.Message(), u"MorvaDB: Table does not exist. [$2728/10024]");
  }).join();
  EmvBaseException same(MVERR_NOSUCHTABLE);
  EXPECT_TRUE(same.ExtendedMsg());
  EXPECT_EQ(same.ErrorString(), u"Table \"T1\" does not exist");
  EXPECT_EQ(same.Message(), u"MorvaDB: Table \"T1\" does not exist [$2728/10024]");
  uint32_t code;
  String text;
  EmvBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, 10024u);  // the code stays, the text is used up
  EXPECT_EQ(text, u"");
  EXPECT_FALSE(EmvBaseException(MVERR_NOSUCHTABLE).ExtendedMsg());
  // An exception with an explicit text uses up whatever text the slot held.
  EmvBaseException::mvSetMessage(MVERR_BOF, u"pending");
  EmvBaseException(MVERR_EOF, u"explicit");
  EXPECT_EQ(slotText(), u"");
}

TEST_F(ExceptionTest, ComponentExceptionTakesTheTextButLeavesTheSlot) {
  // A component exception leaves the slot untouched, whatever its code.
  struct Named {
    String GetName() const { return u"db"; }
    String ClassName() const { return u"TmvDatabase"; }
  } db;
  EmvBaseException::mvSetMessage(MVERR_NOSUCHTABLE, u"kept");
  EmvComponentException c(&db, MVERR_NOSUCHTABLE);
  EXPECT_EQ(c.ErrorString(), u"kept");
  EXPECT_EQ(slotText(), u"kept");
}

TEST_F(ExceptionTest, CodeTextMarkerStandsForTheStandardText) {
  struct Case {
    String text;
    String processed;
  } cases[] = {
      {u"<[!Org!]> (table T1)", u"Table does not exist. (table T1)"},
      {u"Opening<[!Org!]>", u"OpeningTable does not exist."},
      {u"  <[!Org!]>  ", u"Table does not exist."},
      {u"", u"Table does not exist."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EmvBaseException(MVERR_NOSUCHTABLE, c.text).ProcessedErrorString(), c.processed)
        << UTF8Encode(c.text);
  }
  // With a marker, a "." joins the prefix and the code's text unless one is there.
  EXPECT_EQ(EmvBaseException(MVERR_ACTIVETRAN + 1000000, u"Busy <[!Org!]> now").ProcessedErrorString(),
            u"Busy Unknown (server exception object has unknown error code). now");
  EXPECT_EQ(EmvBaseException(0, u"").ProcessedErrorString(), u"Success");
}

TEST_F(ExceptionTest, CustomInfoTagsAreTakenOut) {
  EmvBaseException e(MVERR_KEYVIOL, u"Key violation<[--!Index=PK!--]> in T<[--!Empty=!--]>");
  EXPECT_EQ(e.ErrorString(), u"Key violation in T");
  ASSERT_EQ(e.CustomInfos().Count(), 1);
  EXPECT_EQ(e.CustomInfos().Strings(0), u"Index=PK");

  // A closing marker only before the opening one stays; the rest becomes the info.
  EmvBaseException open(MVERR_KEYVIOL, u"a!--]>b<[--!Name=value and more");
  EXPECT_EQ(open.ErrorString(), u"a!--]>b");
  EXPECT_EQ(open.CustomInfos().Values(u"Name"), u"value and more");

  // Old and new forms, names ignoring case (a later value replaces), OSError read.
  EmvBaseException both(MVERR_OSUNKNOWN,
                        u"x<[--!\u00FEosError=5\u00FE!--]>y<[--!OSERROR=13!--]><[--!A=1=2!--]>");
  EXPECT_EQ(both.ErrorString(), u"xy");
  EXPECT_EQ(both.OSError(), 13u);
  EXPECT_EQ(both.CustomInfos().Count(), 2);
  EXPECT_EQ(both.CustomInfos().Values(u"a"), u"1=2");
  EXPECT_EQ(EmvBaseException(1, u"<[--!OSError=abc!--]>").OSError(), 0u);

  // Created on first access only.
  EmvBaseException plain(MVERR_BOF);
  EXPECT_FALSE(plain.HasCustomInfos());
  EXPECT_EQ(plain.CustomInfos().Count(), 0);
}

TEST_F(ExceptionTest, MarkerAndTagFormsFollowThePeerVersion) {
  EXPECT_EQ(mvThreadPeerVersion(), 47501);
  EXPECT_EQ(mvOriginalMessageMarker(), u"<[!Org!]>");
  EXPECT_EQ(mvMakeCustomInfoTag(u"N", u"V"), u"<[--!N=V!--]>");
  mvSetThreadPeerVersion(41199);
  EXPECT_EQ(mvOriginalMessageMarker(), u"<[!\u00FEOrg\u00FE!>");
  EXPECT_EQ(mvMakeCustomInfoTag(u"N", u"V"), u"<[--!\u00FEN=V\u00FE!--]>");
  mvSetThreadPeerVersion(60000);
  EXPECT_EQ(mvThreadPeerVersion(), 60000);
  EXPECT_EQ(mvThreadPeerVersionCapped(), 47501);
}

// Stands for an engine component: what a component exception reads of it.
struct FakeComponent {
  String name;
  String className;
  String GetName() const { return name; }
  String ClassName() const { return className; }
};

TEST_F(ExceptionTest, ComponentExceptionNamesItsComponent) {
  FakeComponent unnamed{u"", u"TmvDatabase"};
  EmvComponentException e(&unnamed, MVERR_TABLEOPEN);
  EXPECT_EQ(e.Message(), u"MorvaDB: <unnamed TmvDatabase instance>: Table is open. [$272F/10031]");
  FakeComponent named{u"Engine1", u"TmvServerEngine"};
  EXPECT_EQ(EmvStateComponentException(&named, u"Failed %d times", {3}).Message(),
            u"MorvaDB: Engine1: Failed 3 times [no error code]");
  EXPECT_EQ(EmvComponentException(static_cast<const FakeComponent*>(nullptr), MVERR_BOF, u"x\r\n").Message(),
            u"MorvaDB: <nil pointer>: x [$2201/8705]");
  // The family's branches.
  EXPECT_THROW(throw EmvStateComponentException(&named, MVERR_BOF), EmvLoggableComponentException);
  EXPECT_THROW(throw EmvBaseLogException(&named, MVERR_BOF), EmvRegisterableComponentException);
  EXPECT_THROW(throw EmvAbortStateChange(u""), EAbort);
  EXPECT_THROW(throw EmvBaseRegisterableEngineException(15503, u"Unknown engine"), EmvBaseException);
}

TEST_F(ExceptionTest, InterfacesAndCheckErrorCode) {
  EmvBaseException e(MVERR_BOF);
  void* p = nullptr;
  ASSERT_EQ(e.QueryInterface(IID_ImvException, &p), S_OK);
  auto* intf = static_cast<ImvException*>(p);
  EXPECT_EQ(intf->GetErrorCode(), 8705u);
  EXPECT_EQ(intf->GetProcessedErrorString(), u"At beginning of table.");
  EXPECT_EQ(intf->_AddRef(), -1);
  EXPECT_EQ(intf->_Release(), -1);
  EXPECT_EQ(e.QueryInterface(TGUID{1, 2, 3, {}}, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);

  EXPECT_NO_THROW(mvCheckErrorCode(0));
  try {
    mvCheckErrorCode(MVERR_RECLOCKED);
    FAIL();
  } catch (const Exception& ex) {  // reachable as the platform's exception too
    EXPECT_EQ(ex.Message(), u"MorvaDB: Record locked by another user. [$2801/10241]");
  }
}

TEST_F(ExceptionTest, OSErrorException) {
  errno = ENOENT;
  EmvBaseException e = mvCreateOSException(0, u"libfoo.so", u"OpenFile<[--!Path=/x!--]>");
  EXPECT_EQ(e.ErrorCode(), 11047u);
  EXPECT_EQ(e.OSError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(e.CustomInfos().Values(u"OSError"), u"2");
  EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"OpenFile");
  EXPECT_EQ(e.CustomInfos().Values(u"Module"), u"libfoo.so");
  EXPECT_EQ(e.CustomInfos().Values(u"Path"), u"/x");
  EXPECT_EQ(e.ErrorString(), u"Operating system error in OpenFile: " + SysErrorMessage(ENOENT) + u" ($2/2)");

  errno = 0;
  auto z = mvCreateOSExceptionFmt<EmvStateComponentException>(MVERR_FILEDELETE, u"Delete %s", {u"a"});
  EXPECT_EQ(z.ErrorCode(), 15393u);
  EXPECT_EQ(z.OSError(), 0u);
  EXPECT_FALSE(z.CustomInfos().IndexOfName(u"Module") >= 0);
  EXPECT_EQ(z.Message(), u"MorvaDB: A call to an OS function failed in Delete a [$3C21/15393]");
}

// A stand-in for the exception-data unit: counts containers and decodings.
struct FakeData final : IInterface {
  String name;
  int32_t refs = 1;
  explicit FakeData(String n) : name(std::move(n)) {}
  int32_t QueryInterface(const TGUID&, void** obj) override { *obj = nullptr; return E_NOINTERFACE; }
  int32_t _AddRef() override { return ++refs; }
  int32_t _Release() override {
    int32_t r = --refs;
    if (r == 0) delete this;
    return r;
  }
};

TEST_F(ExceptionTest, ExceptionDataSeam) {
  EmvBaseException before(MVERR_BOF, u"t<[--!$ExceptionData$=QUJD!--]>");
  EXPECT_EQ(before.GetExceptionData(), nullptr);  // no unit installed: kept as text
  EXPECT_EQ(before.CustomInfos().Values(u"$ExceptionData$"), u"QUJD");

  mvSetExceptionDataHooks({[](const String& n) -> IInterface* { return new FakeData(n); },
                           [](const String& s) -> IInterface* { return new FakeData(u"decoded:" + s); }});
  EmvBaseException with(MVERR_BOF, u"t<[--!$ExceptionData$=QUJD!--]>");
  EXPECT_EQ(with.CustomInfos().Count(), 0);
  EXPECT_EQ(static_cast<FakeData*>(with.GetExceptionData())->name, u"decoded:QUJD");
  EmvBaseException fresh(MVERR_BOF);
  IInterface* data = fresh.GetExceptionData();
  EXPECT_EQ(static_cast<FakeData*>(data)->name, u"ExceptionData");
  EXPECT_EQ(fresh.GetExceptionData(), data);  // created once, then kept
  EmvBaseException copy = fresh;
  EXPECT_EQ(copy.GetExceptionData(), data);
  mvSetExceptionDataHooks({});
}

}  // namespace
