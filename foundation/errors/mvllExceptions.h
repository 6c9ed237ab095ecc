// Foundation: engine exceptions and the per-thread last converted exception.
//
// Every failure that engine code raises is an EmvBaseException or one of its
// descendants. It carries the error code (mvllErrors.h), the specific text the
// raiser gave (with the custom-info tags taken out of it), name=value details
// (CustomInfos), an optional operating-system error number, and an optional
// tree of exception data, and it builds its platform message in one fixed
// format: "MorvaDB: <text> [$<hex code>/<decimal code>]".
//
// No exception class fixes its own code: the raiser always passes it.
// Functions that answer an error code instead of raising record the specific
// text of that code in a per-thread slot, the last converted exception
// (`return EmvBaseException::mvSetMessage(code, text);`); an exception later
// created from that code alone on the same thread picks the text up.
//
// Texts can carry details inside them, so that a code and one text can cross
// a boundary: the code-text marker stands for the standard text of the code,
// and custom-info tags "<[--!name=value!--]>" become CustomInfos. Peers of a
// protocol version below 41200 use older forms of both; the forms written
// follow the calling thread's peer version (mvsdPeerVersion.h).
//
// Exceptions are confined to the thread that raised them; the slot is
// thread-local and needs no lock.
#pragma once

#include <concepts>
#include <optional>
#include <vector>

#include "platform/Classes.h"
#include "platform/Interfaces.h"
#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// Markers and tags

// The code-text marker and the custom-info tag delimiters, in the newer form
// and in the form for peers below protocol version 41200 (U+00FE is thorn).
inline constexpr char16_t SmvOrgMsgMarker[] = u"<[!Org!]>";
inline constexpr char16_t SmvOrgMsgMarkerOld[] = u"<[!\u00FEOrg\u00FE!>";
inline constexpr char16_t SmvCustomInfoOpen[] = u"<[--!";
inline constexpr char16_t SmvCustomInfoClose[] = u"!--]>";
inline constexpr char16_t SmvCustomInfoOpenOld[] = u"<[--!\u00FE";
inline constexpr char16_t SmvCustomInfoCloseOld[] = u"\u00FE!--]>";
// The peer protocol version from which the newer forms are used.
inline constexpr int32_t mvNewMarkerPeerVersion = 41200;

// "<[--!" + name + "=" + value + "!--]>" in the form the thread's peer
// version selects.
String mvMakeCustomInfoTag(const String& aName, const String& aValue);
// The code-text marker in the form the thread's peer version selects.
String mvOriginalMessageMarker();

// The custom-info names that the exception itself reads.
inline constexpr char16_t SmvCustomInfoOSError[] = u"OSError";
inline constexpr char16_t SmvCustomInfoAction[] = u"Action";
inline constexpr char16_t SmvCustomInfoModule[] = u"Module";
inline constexpr char16_t SmvCustomInfoExceptionData[] = u"$ExceptionData$";
// Says why a "$ExceptionData$" entry that came with a text could not be
// decoded; the exception keeps its code and text without that data.
inline constexpr char16_t SmvCustomInfoExceptionDataError[] = u"ExceptionDataError";

// ---------------------------------------------------------------------------
// Custom infos

// ---------------------------------------------------------------------------
// Exception data seam
//
// The exception-data tree lives in its own unit, which installs these hooks at
// its start-up. The exception only holds a counted reference to its container
// (an IInterface that the tree's unit knows how to view); until the hooks are
// installed, no container is created and a "$ExceptionData$" custom info is
// kept as text.
struct TmvExceptionDataHooks {
  // A new, empty container with the given name; returns a new reference.
  IInterface* (*CreateContainer)(const String& aName) = nullptr;
  // The tree encoded in the text, or nullptr when its root is not a container;
  // returns a new reference. Raises on malformed text.
  IInterface* (*DecodeContainer)(const String& aEncoded) = nullptr;
};
// Installs (or, with empty hooks, removes) the hooks. Called at unit start-up
// and shutdown only, never while exceptions are being built.
void mvSetExceptionDataHooks(const TmvExceptionDataHooks& aHooks);

// ---------------------------------------------------------------------------
// Interfaces of the engine exception. Reference counting is switched off:
// _AddRef and _Release do nothing and answer -1.

class ImvBaseException : public IInterface {
 public:
  virtual uint32_t GetErrorCode() const = 0;

 protected:
  ~ImvBaseException() = default;
};

class ImvExceptionForCallback : public ImvBaseException {
 public:
  virtual const String& GetErrorString() const = 0;
  virtual bool GetExtendedMsg() const = 0;
  virtual uint32_t GetOSError() const = 0;
  virtual TStringList& GetCustomInfos() const = 0;
  // The exception data container, created empty ("ExceptionData") on first
  // read; nullptr while the exception-data unit is not installed.
  virtual IInterface* GetExceptionData() const = 0;

 protected:
  ~ImvExceptionForCallback() = default;
};

class ImvException : public ImvExceptionForCallback {
 public:
  virtual String GetProcessedErrorString() const = 0;

 protected:
  ~ImvException() = default;
};

inline constexpr TGUID IID_ImvBaseException{0x78D7D99E, 0x8368, 0x4573, {0xA3, 0x65, 0x5E, 0x02, 0x2E, 0x15, 0x89, 0x86}};
inline constexpr TGUID IID_ImvExceptionForCallback{0x631B4FEC, 0x95E3, 0x407E, {0x8E, 0x00, 0xD8, 0xB8, 0x77, 0xBA, 0x38, 0x4E}};
inline constexpr TGUID IID_ImvException{0x0C57C2D0, 0x8898, 0x4002, {0xAE, 0x87, 0x3F, 0x88, 0xFA, 0x0E, 0xDC, 0x8B}};

// ---------------------------------------------------------------------------
// EmvBaseException

// The platform-message formats (two localisable halves joined before use).
inline constexpr char16_t SmvMessagePrefix[] = u"MorvaDB: ";
inline constexpr char16_t SmvMessageWithCode[] = u"%s [$%x/%d]";
inline constexpr char16_t SmvMessageNoCode[] = u"%s [no error code]";
inline constexpr char16_t SmvComponentMessageWithCode[] = u"%s: %s [$%x/%d]";
inline constexpr char16_t SmvComponentMessageNoCode[] = u"%s: %s [no error code]";

class EmvBaseException : public Exception, public ImvException {
 public:
  // The constructors are the engine's mvCreate overloads. A code argument is
  // 64-bit of which only the low 32 bits count; code 0 means "no code".

  // From a code alone: the thread's last converted text when it was recorded
  // for this code, else the code's standard text.
  explicit EmvBaseException(int64_t aErrorCode);
  EmvBaseException(int64_t aErrorCode, const String& aAltMsg);
  EmvBaseException(int64_t aErrorCode, std::u16string_view aAltMsg, std::initializer_list<TVarRec> aArgs);
  EmvBaseException(int64_t aErrorCode, const TResStringRec& aAltMsgRes);
  EmvBaseException(int64_t aErrorCode, const TResStringRec& aAltMsgRes, std::initializer_list<TVarRec> aArgs);
  // Without a code.
  explicit EmvBaseException(const String& aMsg);
  EmvBaseException(std::u16string_view aMsg, std::initializer_list<TVarRec> aArgs);
  explicit EmvBaseException(const TResStringRec& aMsgRes);
  EmvBaseException(const TResStringRec& aMsgRes, std::initializer_list<TVarRec> aArgs);

  EmvBaseException(const EmvBaseException&) = default;
  EmvBaseException& operator=(const EmvBaseException&) = default;
  ~EmvBaseException() override;

  MV_EXCEPTION_CLASS_NAME(EmvBaseException)

  uint32_t ErrorCode() const { return beErrorCode; }
  const String& ErrorString() const { return beErrorString; }
  bool ExtendedMsg() const { return beExtendedMsg; }
  uint32_t OSError() const { return beOSError; }
  // Created on first access; owned by the exception.
  TStringList& CustomInfos() const;
  bool HasCustomInfos() const { return beCustomInfos.has_value(); }
  // The specific text with the code-text marker (or an empty text) replaced
  // by the code's standard text; computed on each read.
  String ProcessedErrorString() const;
  // The standard text of a code; mvGetErrorString at this level.
  virtual String GetErrorCodeText(uint32_t aErrorCode) const;

  // Replaces the exception-data container (a counted reference to the
  // exception-data unit's container object).
  void SetExceptionData(TInterfacePtr<IInterface> aData) { beExceptionData = std::move(aData); }

  // ImvException
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }
  uint32_t GetErrorCode() const override { return beErrorCode; }
  const String& GetErrorString() const override { return beErrorString; }
  bool GetExtendedMsg() const override { return beExtendedMsg; }
  uint32_t GetOSError() const override { return beOSError; }
  TStringList& GetCustomInfos() const override { return CustomInfos(); }
  IInterface* GetExceptionData() const override;
  String GetProcessedErrorString() const override { return ProcessedErrorString(); }

  // The thread's last converted exception. mvSetMessage sets code and text
  // (formatted, or loaded and formatted) and returns the code.
  static uint32_t mvSetMessage(int64_t aErrorCode, const String& aAltMsg);
  static uint32_t mvSetMessage(int64_t aErrorCode, std::u16string_view aAltMsg, std::initializer_list<TVarRec> aArgs);
  static uint32_t mvSetMessage(int64_t aErrorCode, const TResStringRec& aAltMsgRes);
  static uint32_t mvSetMessage(int64_t aErrorCode, const TResStringRec& aAltMsgRes,
                               std::initializer_list<TVarRec> aArgs);
  static void SetLastConvertedException(uint32_t aErrorCode, const String& aCustomMessage);
  static void GetLastConvertedException(uint32_t& aErrorCode, String& aCustomMessage);

  // Builds the exception for the calling thread's last OS error; see
  // mvCreateOSException below, which is the way to call it.
  struct OSErrorArgs {
    uint32_t osError;
    int64_t errorCode;
    const String& moduleName;
    const String& action;
  };
  explicit EmvBaseException(const OSErrorArgs& aArgs);

 protected:
  // For subclasses that build their own message: an empty exception.
  struct Deferred {};
  explicit EmvBaseException(Deferred);

  // Steps shared by the constructors: set the code and the specific text
  // (custom-info tags taken out), or the code alone with the slot rule.
  void InitWithText(int64_t aErrorCode, String aText);
  void InitFromCode(int64_t aErrorCode);
  // The platform message in the base format, from the tidied processed text.
  void SetBaseMessage();
  // Takes the custom-info tags (both forms) out of aText into CustomInfos,
  // then applies the "OSError" and "$ExceptionData$" entries.
  void ExtractCustomInfos(String& aText);
  // Decodes the "$ExceptionData$" entry into the container and removes it.
  // Damaged data must not replace the failure being reported: it is dropped,
  // and "ExceptionDataError" says why.
  void TakeExceptionData(int32_t aIndex);

 private:
  uint32_t beErrorCode = 0;
  String beErrorString;
  bool beExtendedMsg = false;
  mutable std::optional<TStringList> beCustomInfos;
  uint32_t beOSError = 0;
  mutable TInterfacePtr<IInterface> beExceptionData;
};

// Splits a text into lines, drops trailing blank lines, and gives one line
// without trailing blanks, nothing, or the lines each ended by CR LF followed
// by one more CR LF. The base message uses it on the processed text.
String mvTidyMessageText(const String& aText);

// Raises EmvBaseException created from the code alone when it is not 0.
void mvCheckErrorCode(int64_t aErrorCode);


// Clears the calling thread's last converted exception (unit shutdown).
void mvFinalizeExceptions();

// ---------------------------------------------------------------------------
// OS-error exceptions

inline constexpr char16_t SmvOSErrorIn[] = u"Operating system error in %s: %s ($%x/%d)";
inline constexpr char16_t SmvOSFunctionFailedIn[] = u"A call to an OS function failed in %s";

// Creates, but does not raise, an exception of class E for the calling
// thread's last operating-system error (errno), naming the failed action.
// CustomInfos get "OSError" and "Action" (and "Module" when given); code 0
// stands for 11047. Read errno before anything else can change it: the
// error is taken on entry.
template <std::derived_from<EmvBaseException> E = EmvBaseException>
E mvCreateOSException(int64_t aErrorCode, const String& aModuleName, const String& aAction) {
  uint32_t osError = GetLastOSError();
  return E(EmvBaseException::OSErrorArgs{osError, aErrorCode, aModuleName, aAction});
}
template <std::derived_from<EmvBaseException> E = EmvBaseException>
E mvCreateOSExceptionText(int64_t aErrorCode, const String& aAction) {
  return mvCreateOSException<E>(aErrorCode, String(), aAction);
}
template <std::derived_from<EmvBaseException> E = EmvBaseException>
E mvCreateOSExceptionFmt(int64_t aErrorCode, std::u16string_view aAction, std::initializer_list<TVarRec> aArgs) {
  uint32_t osError = GetLastOSError();
  String action = Format(aAction, aArgs);
  return E(EmvBaseException::OSErrorArgs{osError, aErrorCode, String(), action});
}
template <std::derived_from<EmvBaseException> E = EmvBaseException>
E mvCreateOSExceptionRes(int64_t aErrorCode, const TResStringRec& aAction) {
  return mvCreateOSException<E>(aErrorCode, String(), LoadResString(aAction));
}
template <std::derived_from<EmvBaseException> E = EmvBaseException>
E mvCreateOSExceptionFmtRes(int64_t aErrorCode, const TResStringRec& aAction, std::initializer_list<TVarRec> aArgs) {
  return mvCreateOSExceptionFmt<E>(aErrorCode, aAction.Text, aArgs);
}

// ---------------------------------------------------------------------------
// Component exceptions

// What a component exception reads of its component: its Name and the exact
// class name. The component classes of the platform layer provide both.
template <typename C>
concept mvNamedComponent = requires(const C& c) {
  { c.GetName() } -> std::convertible_to<String>;
  { c.ClassName() } -> std::convertible_to<String>;
};

inline constexpr char16_t SmvUnnamedInstance[] = u"<unnamed %s instance>";
inline constexpr char16_t SmvNilPointer[] = u"<nil pointer>";

// An exception that names the component that raised it:
// "MorvaDB: <component>: <processed text> [$<hex>/<decimal>]". Unlike the
// base class, its constructors leave the thread's last converted exception as
// it was, and the text is not tidied.
class EmvComponentException : public EmvBaseException {
 public:
  using EmvBaseException::EmvBaseException;
  MV_EXCEPTION_CLASS_NAME(EmvComponentException)

  // The component's text for the message: its Name; for an empty name
  // "<unnamed <class> instance>"; for no component "<nil pointer>".
  template <mvNamedComponent C>
  static String GetComponentName(const C* aComponent) {
    if (!aComponent) return SmvNilPointer;
    String name = aComponent->GetName();
    return name.empty() ? Format(SmvUnnamedInstance, {aComponent->ClassName()}) : name;
  }

  // The mvcCreate overloads: the component, then the arguments of the
  // mvCreate overloads (the code here is unsigned 32-bit).
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, uint32_t aErrorCode)
      : EmvBaseException(Deferred{}) {
    InitFromCode(aErrorCode);
    SetComponentMessage(GetComponentName(aComponent));
  }
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, uint32_t aErrorCode, const String& aAltMsg)
      : EmvBaseException(Deferred{}) {
    InitWithText(aErrorCode, aAltMsg);
    SetComponentMessage(GetComponentName(aComponent));
  }
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, uint32_t aErrorCode, std::u16string_view aAltMsg,
                        std::initializer_list<TVarRec> aArgs)
      : EmvComponentException(aComponent, aErrorCode, Format(aAltMsg, aArgs)) {}
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, uint32_t aErrorCode, const TResStringRec& aAltMsgRes)
      : EmvComponentException(aComponent, aErrorCode, LoadResString(aAltMsgRes)) {}
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, uint32_t aErrorCode, const TResStringRec& aAltMsgRes,
                        std::initializer_list<TVarRec> aArgs)
      : EmvComponentException(aComponent, aErrorCode, Format(aAltMsgRes.Text, aArgs)) {}
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, const String& aMsg)
      : EmvComponentException(aComponent, 0u, aMsg) {}
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, std::u16string_view aMsg, std::initializer_list<TVarRec> aArgs)
      : EmvComponentException(aComponent, 0u, Format(aMsg, aArgs)) {}
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, const TResStringRec& aMsgRes)
      : EmvComponentException(aComponent, 0u, LoadResString(aMsgRes)) {}
  template <mvNamedComponent C>
  EmvComponentException(const C* aComponent, const TResStringRec& aMsgRes, std::initializer_list<TVarRec> aArgs)
      : EmvComponentException(aComponent, 0u, Format(aMsgRes.Text, aArgs)) {}

 protected:
  void SetComponentMessage(const String& aComponentText);
};

// The branches of the component families; they add nothing but the branch.
MV_DECLARE_EXCEPTION(EmvRegisterableComponentException, EmvComponentException)
MV_DECLARE_EXCEPTION(EmvBaseLogException, EmvRegisterableComponentException)
MV_DECLARE_EXCEPTION(EmvLoggableComponentException, EmvRegisterableComponentException)
MV_DECLARE_EXCEPTION(EmvStateComponentException, EmvLoggableComponentException)
// Raised by a dependent that vetoes a state change; silent like EAbort.
MV_DECLARE_EXCEPTION(EmvAbortStateChange, EAbort)
// Roots of the exception classes of the engine and descriptor families.
MV_DECLARE_EXCEPTION(EmvBaseRegisterableEngineException, EmvBaseException)
MV_DECLARE_EXCEPTION(EmvBaseRegisterableDescriptorException, EmvBaseException)
