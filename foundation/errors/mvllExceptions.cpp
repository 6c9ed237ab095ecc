// Foundation: engine exceptions, their message format, the per-thread last
// converted exception, custom-info tags and OS-error exceptions.
#include "foundation/errors/mvllExceptions.h"

#include "foundation/errors/mvllErrors.h"
#include "foundation/types/mvsdPeerVersion.h"

namespace {

struct LastConvertedException {
  uint32_t code = 0;
  String text;
};
thread_local LastConvertedException tLastConverted;

TmvExceptionDataHooks gExceptionDataHooks;

constexpr char16_t kExceptionDataName[] = u"ExceptionData";
constexpr TGUID kIID_IInterface{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool usesNewForms() { return mvThreadPeerVersionCapped() >= mvNewMarkerPeerVersion; }

bool isBlank(char16_t c) { return c <= u' '; }

String trimText(const String& s) {
  size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The platform's lenient integer read: optional sign and decimal digits in
// the 32-bit range, else the default.
int64_t strToIntDef(const String& s, int64_t def) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) negative = s[i++] == u'-';
  if (i == s.size()) return def;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < u'0' || s[i] > u'9') return def;
    v = v * 10 + (s[i] - u'0');
    if (v > 0x80000000LL) return def;
  }
  v = negative ? -v : v;
  return v > INT32_MAX ? def : v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Markers and tags

String mvMakeCustomInfoTag(const String& aName, const String& aValue) {
  if (usesNewForms()) return SmvCustomInfoOpen + aName + u"=" + aValue + SmvCustomInfoClose;
  return SmvCustomInfoOpenOld + aName + u"=" + aValue + SmvCustomInfoCloseOld;
}

String mvOriginalMessageMarker() { return usesNewForms() ? SmvOrgMsgMarker : SmvOrgMsgMarkerOld; }

void mvSetExceptionDataHooks(const TmvExceptionDataHooks& aHooks) { gExceptionDataHooks = aHooks; }

// ---------------------------------------------------------------------------
// EmvBaseException

EmvBaseException::EmvBaseException(Deferred) : Exception(String()) {}

EmvBaseException::EmvBaseException(int64_t aErrorCode) : Exception(String()) {
  InitFromCode(aErrorCode);
  SetBaseMessage();
  // The text is used up only by the exception that took it over: a text
  // recorded for another code waits for its own exception.
  if (beExtendedMsg) tLastConverted.text.clear();
}

EmvBaseException::EmvBaseException(int64_t aErrorCode, const String& aAltMsg) : Exception(String()) {
  InitWithText(aErrorCode, aAltMsg);
  SetBaseMessage();
  tLastConverted.text.clear();  // its code stays
}

EmvBaseException::EmvBaseException(int64_t aErrorCode, std::u16string_view aAltMsg,
                                   std::initializer_list<TVarRec> aArgs)
    : EmvBaseException(aErrorCode, Format(aAltMsg, aArgs)) {}

EmvBaseException::EmvBaseException(int64_t aErrorCode, const TResStringRec& aAltMsgRes)
    : EmvBaseException(aErrorCode, LoadResString(aAltMsgRes)) {}

EmvBaseException::EmvBaseException(int64_t aErrorCode, const TResStringRec& aAltMsgRes,
                                   std::initializer_list<TVarRec> aArgs)
    : EmvBaseException(aErrorCode, Format(aAltMsgRes.Text, aArgs)) {}

EmvBaseException::EmvBaseException(const String& aMsg) : EmvBaseException(int64_t{0}, aMsg) {}

EmvBaseException::EmvBaseException(std::u16string_view aMsg, std::initializer_list<TVarRec> aArgs)
    : EmvBaseException(int64_t{0}, Format(aMsg, aArgs)) {}

EmvBaseException::EmvBaseException(const TResStringRec& aMsgRes)
    : EmvBaseException(int64_t{0}, LoadResString(aMsgRes)) {}

EmvBaseException::EmvBaseException(const TResStringRec& aMsgRes, std::initializer_list<TVarRec> aArgs)
    : EmvBaseException(int64_t{0}, Format(aMsgRes.Text, aArgs)) {}

EmvBaseException::EmvBaseException(const OSErrorArgs& a) : Exception(String()) {
  // Custom infos first, so that tags taken out of the text can add to them.
  beOSError = a.osError;
  String action = a.action;
  ExtractCustomInfos(action);  // the action's own tags join the custom infos
  CustomInfos().SetValue(SmvCustomInfoOSError, IntToStr(a.osError));
  CustomInfos().SetValue(SmvCustomInfoAction, action);
  String text;
  if (a.osError != 0) {
    if (!a.moduleName.empty()) CustomInfos().SetValue(SmvCustomInfoModule, a.moduleName);
    // Linux has no per-module message tables: the text is the C library's.
    text = Format(SmvOSErrorIn, {action, SysErrorMessage(a.osError), a.osError, a.osError});
  } else {
    text = Format(SmvOSFunctionFailedIn, {action});
  }
  InitWithText(a.errorCode == 0 ? MVERR_OSUNKNOWN : a.errorCode, text);
  SetBaseMessage();
  tLastConverted.text.clear();
}

EmvBaseException::~EmvBaseException() = default;

void EmvBaseException::InitWithText(int64_t aErrorCode, String aText) {
  beErrorCode = static_cast<uint32_t>(aErrorCode);
  ExtractCustomInfos(aText);
  beErrorString = std::move(aText);
  beExtendedMsg = true;
}

void EmvBaseException::InitFromCode(int64_t aErrorCode) {
  uint32_t code = static_cast<uint32_t>(aErrorCode);
  if (tLastConverted.code == code && !tLastConverted.text.empty()) {
    InitWithText(code, tLastConverted.text);
    return;
  }
  beErrorCode = code;
  beErrorString.clear();
  beExtendedMsg = false;
}

void EmvBaseException::SetBaseMessage() {
  String tidied = mvTidyMessageText(ProcessedErrorString());
  if (beErrorCode != 0) {
    SetMessage(Format(String(SmvMessagePrefix) + SmvMessageWithCode, {tidied, beErrorCode, beErrorCode}));
  } else {
    SetMessage(Format(String(SmvMessagePrefix) + SmvMessageNoCode, {tidied}));
  }
}

void EmvBaseException::ExtractCustomInfos(String& aText) {
  struct TagForm {
    const char16_t* open;
    const char16_t* close;
  };
  // The older form first: its opening marker begins with the newer one.
  const TagForm forms[] = {{SmvCustomInfoOpenOld, SmvCustomInfoCloseOld}, {SmvCustomInfoOpen, SmvCustomInfoClose}};
  for (const TagForm& form : forms) {
    const std::u16string_view open = form.open, close = form.close;
    size_t start;
    while ((start = aText.find(open)) != String::npos) {
      size_t contentStart = start + open.size();
      size_t end = aText.find(close, contentStart);
      String content;
      if (end == String::npos) {
        content = aText.substr(contentStart);
        aText.erase(start);
      } else {
        content = aText.substr(contentStart, end - contentStart);
        aText.erase(start, end + close.size() - start);
      }
      size_t eq = content.find(u'=');
      if (eq == String::npos) continue;
      String name = content.substr(0, eq), value = content.substr(eq + 1);
      if (!name.empty() && !value.empty()) CustomInfos().SetValue(name, value);
    }
  }
  if (!beCustomInfos) return;
  String osError = beCustomInfos->Values(SmvCustomInfoOSError);
  if (!osError.empty()) beOSError = static_cast<uint32_t>(strToIntDef(osError, 0));
  int32_t dataIndex = beCustomInfos->IndexOfName(SmvCustomInfoExceptionData);
  if (dataIndex >= 0 && gExceptionDataHooks.DecodeContainer) TakeExceptionData(dataIndex);
}

void EmvBaseException::TakeExceptionData(int32_t aIndex) {
  const String encoded = beCustomInfos->ValueFromIndex(aIndex);
  beCustomInfos->Delete(aIndex);
  try {
    if (IInterface* data = gExceptionDataHooks.DecodeContainer(encoded))
      beExceptionData = TInterfacePtr<IInterface>::Adopt(data);
  } catch (const EAssertionFailed&) {
    throw;
  } catch (const std::exception& e) {
    beCustomInfos->SetValue(SmvCustomInfoExceptionDataError,
                            ExceptionClassNameOf(e) + u": " + ExceptionMessageOf(e));
  }
}

TStringList& EmvBaseException::CustomInfos() const {
  if (!beCustomInfos) beCustomInfos.emplace();
  return *beCustomInfos;
}

String EmvBaseException::ProcessedErrorString() const {
  String s = trimText(beErrorString);
  String marker = mvOriginalMessageMarker();
  size_t pos = s.find(marker);
  if (pos == String::npos && !s.empty()) return s;
  String out = (pos == String::npos ? String() : s.substr(0, pos)) + GetErrorCodeText(beErrorCode);
  if (pos != String::npos) {
    if (out.size() > 1 && out.back() != u'.') out += u'.';
    out += s.substr(pos + marker.size());
  }
  return out;
}

String EmvBaseException::GetErrorCodeText(uint32_t aErrorCode) const {
  return mvGetErrorString(static_cast<int32_t>(aErrorCode));
}

IInterface* EmvBaseException::GetExceptionData() const {
  if (!beExceptionData && gExceptionDataHooks.CreateContainer)
    beExceptionData = TInterfacePtr<IInterface>::Adopt(gExceptionDataHooks.CreateContainer(kExceptionDataName));
  return beExceptionData.get();
}

int32_t EmvBaseException::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvException || iid == IID_ImvExceptionForCallback || iid == IID_ImvBaseException ||
      iid == kIID_IInterface) {
    // One vtable serves all three: each interface extends the one before it.
    *obj = static_cast<ImvException*>(this);
    return S_OK;
  }
  *obj = nullptr;
  return E_NOINTERFACE;
}

uint32_t EmvBaseException::mvSetMessage(int64_t aErrorCode, const String& aAltMsg) {
  SetLastConvertedException(static_cast<uint32_t>(aErrorCode), aAltMsg);
  return static_cast<uint32_t>(aErrorCode);
}

uint32_t EmvBaseException::mvSetMessage(int64_t aErrorCode, std::u16string_view aAltMsg,
                                        std::initializer_list<TVarRec> aArgs) {
  return mvSetMessage(aErrorCode, Format(aAltMsg, aArgs));
}

uint32_t EmvBaseException::mvSetMessage(int64_t aErrorCode, const TResStringRec& aAltMsgRes) {
  return mvSetMessage(aErrorCode, LoadResString(aAltMsgRes));
}

uint32_t EmvBaseException::mvSetMessage(int64_t aErrorCode, const TResStringRec& aAltMsgRes,
                                        std::initializer_list<TVarRec> aArgs) {
  return mvSetMessage(aErrorCode, Format(aAltMsgRes.Text, aArgs));
}

void EmvBaseException::SetLastConvertedException(uint32_t aErrorCode, const String& aCustomMessage) {
  tLastConverted.code = aErrorCode;
  tLastConverted.text = aCustomMessage;
}

void EmvBaseException::GetLastConvertedException(uint32_t& aErrorCode, String& aCustomMessage) {
  aErrorCode = tLastConverted.code;
  aCustomMessage = tLastConverted.text;
}

// ---------------------------------------------------------------------------
// Free routines

String mvTidyMessageText(const String& aText) {
  std::vector<String> lines = SplitTextLines(aText);
  while (!lines.empty() && trimText(lines.back()).empty()) lines.pop_back();
  if (lines.empty()) return String();
  if (lines.size() == 1) {
    String& line = lines.front();
    size_t e = line.size();
    while (e > 0 && isBlank(line[e - 1])) --e;
    return line.substr(0, e);
  }
  String out;
  for (const String& line : lines) out += line + u"\r\n";
  return out + u"\r\n";
}

void mvCheckErrorCode(int64_t aErrorCode) {
  if (aErrorCode != 0) throw EmvBaseException(aErrorCode);
}

void mvFinalizeExceptions() { EmvBaseException::SetLastConvertedException(0, String()); }

// ---------------------------------------------------------------------------
// EmvComponentException

void EmvComponentException::SetComponentMessage(const String& aComponentText) {
  String text = ProcessedErrorString();
  if (ErrorCode() != 0) {
    SetMessage(Format(String(SmvMessagePrefix) + SmvComponentMessageWithCode,
                      {aComponentText, text, ErrorCode(), ErrorCode()}));
  } else {
    SetMessage(Format(String(SmvMessagePrefix) + SmvComponentMessageNoCode, {aComponentText, text}));
  }
}
