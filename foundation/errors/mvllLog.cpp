// Foundation: logging components; the abstract log and the component that
// forwards to it. See mvllLog.h.
#include "foundation/errors/mvllLog.h"

#include <cstdio>
#include <mutex>

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllPooledMemoryManager.h"

MV_COMPONENT_EXCEPTION_CLASSREF(EmvBaseLogException, &EmvRegisterableComponentExceptionClass);
MV_COMPONENT_EXCEPTION_CLASSREF(EmvLoggableComponentException, &EmvRegisterableComponentExceptionClass);

// ---------------------------------------------------------------------------
// TmvBaseLog

TmvLogPriority mvLogPriorityForErrorCode(uint32_t aCode) {
  const uint32_t category = aCode >> 8;
  if (category == 0x28 || aCode == 15461 || aCode == 15507) return lpInfo;
  if (category == 0x23 || category == 0x2F || (aCode >= 15520 && aCode <= 15522)) return lpError;
  if (category == 0x2B) return lpFatal;
  return lpWarn;
}

namespace {
void WriteConvertedException(TmvBaseLog* log, const String& msg, uint32_t code) {
  log->WriteString(msg, code, mvLogPriorityForErrorCode(code), mvLogDefaultCategory, mvLogNoTime, mvLogNoTimeBias);
}
}  // namespace

TmvBaseLog::TmvBaseLog(TComponent* owner) : TmvRegisterableComponent(owner) {
  mvSetConvertLogWriter(WriteConvertedException);
}

// ---------------------------------------------------------------------------
// The process log

namespace {

constinit std::mutex gProcessLogLock;
TmvBaseLog* gProcessLog = nullptr;

void WriteMemoryReport(const String& message, bool severe) {
  mvProcessLog(message, 0, severe ? lpFatal : lpError);
}

// Requires: gProcessLogLock held.
void SetProcessLogLocked(TmvBaseLog* aLog) {
  gProcessLog = aLog;
  mvSetMemoryReportWriter(aLog ? WriteMemoryReport : nullptr);
}

}  // namespace

void TmvBaseLog::BeforeDestruction() {
  {
    // Under the slot's lock: a write in progress on another thread ends first.
    std::lock_guard<std::mutex> guard(gProcessLogLock);
    if (gProcessLog == this) SetProcessLogLocked(nullptr);
  }
  TmvRegisterableComponent::BeforeDestruction();
}

void mvSetProcessLog(TmvBaseLog* aLog) {
  std::lock_guard<std::mutex> guard(gProcessLogLock);
  SetProcessLogLocked(aLog);
}

TmvBaseLog* mvGetProcessLog() {
  std::lock_guard<std::mutex> guard(gProcessLogLock);
  return gProcessLog;
}

void mvProcessLog(const String& aMsg, uint32_t aMsgNumber, TmvLogPriority aPriority) {
  std::lock_guard<std::mutex> guard(gProcessLogLock);
  if (gProcessLog)
    gProcessLog->WriteString(aMsg, aMsgNumber, aPriority, mvLogDefaultCategory, mvLogNoTime, mvLogNoTimeBias);
}

void TmvLayerLog::Error(const String& aMessage) const {
  if (TmvBaseLog* log = Get()) {
    log->WriteString(aMessage, 0, lpError, llCategory, mvLogNoTime, mvLogNoTimeBias);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", UTF8Encode(llCategory).c_str(), UTF8Encode(aMessage).c_str());
}

constinit const TmvComponentClassRef TmvBaseLog::StaticClass{
    {{u"TmvBaseLog", &TmvRegisterableComponent::StaticClass}, nullptr}, &EmvBaseLogExceptionClass};

bool TmvBaseLog::GetEnabled() const {
  DependentPadlock()->Lock();
  bool value = blEnabled;
  DependentPadlock()->Unlock();
  return value;
}

void TmvBaseLog::SetEnabled(bool value) {
  DependentPadlock()->Lock();
  blEnabled = value;
  DependentPadlock()->Unlock();
}

// ---------------------------------------------------------------------------
// TmvLoggableComponent

constinit const TmvComponentClassRef TmvLoggableComponent::StaticClass{
    {{u"TmvLoggableComponent", &TmvRegisterableComponent::StaticClass}, &ComponentFactory<TmvLoggableComponent>},
    &EmvLoggableComponentExceptionClass};

void TmvLoggableComponent::SetEventLog(TmvBaseLog* log) {
  if (log == lcEventLog) return;
  UnlinkDependent(lcEventLog);
  lcEventLog = log;
  LinkDependent(log);
}

void TmvLoggableComponent::lcLog(const String& aMsg, uint32_t aMsgNumber, TmvLogPriority aPriority,
                                 const String& aCategory, TDateTime aWhen, int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog) lcEventLog->WriteString(aMsg, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TmvLoggableComponent::lcLog(const String& aMsg, std::initializer_list<TVarRec> aArgs, uint32_t aMsgNumber,
                                 TmvLogPriority aPriority, const String& aCategory, TDateTime aWhen,
                                 int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog)
    lcEventLog->WriteString(aMsg, aArgs, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TmvLoggableComponent::lcLog(const String& aMsg, const void* aData, int32_t aDataLen, uint32_t aMsgNumber,
                                 TmvLogPriority aPriority, const String& aCategory, TDateTime aWhen,
                                 int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog)
    lcEventLog->WriteBlock(aMsg, aData, aDataLen, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TmvLoggableComponent::lcLogs(const String& aMsgs, uint32_t aMsgNumber, TmvLogPriority aPriority,
                                  const String& aCategory, TDateTime aWhen, int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog) lcEventLog->WriteStrings(aMsgs, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TmvLoggableComponent::HandleNotification(TmvComponent* sender, TmvNotifyOp operation, void* param) {
  TmvRegisterableComponent::HandleNotification(sender, operation, param);
  if (operation == mvnoDestroying && sender && sender == lcEventLog) lcEventLog = nullptr;
}

TInterfacePtr<IInterface> TmvLoggableComponent::CreateComponentInfo() {
  return TInterfacePtr<IInterface>(static_cast<ImvComponentInfo31000*>(TmvInterfacedObject::Create<TmvLoggableComponentInfo>(this)));
}

// ---------------------------------------------------------------------------
// TmvLoggableComponentInfo

bool TmvLoggableComponentInfo::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvLoggableComponentInfo31000) {
    *obj = static_cast<ImvLoggableComponentInfo31000*>(this);
    _AddRef();
    return true;
  }
  return TmvComponentInfo::GetInterface(iid, obj);
}

bool TmvLoggableComponentInfo::GetLogEnabled() {
  auto* c = static_cast<TmvLoggableComponent*>(Component());
  return c && c->GetEventLogEnabled();
}

TInterfacePtr<IInterface> TmvLoggableComponentInfo::GetEventLogInfo() {
  auto* c = static_cast<TmvLoggableComponent*>(Component());
  if (!c || !c->GetEventLog()) return nullptr;
  void* obj = nullptr;
  c->GetEventLog()->mvcCreateInstance(nullptr, CLSID_mvComponentInfo, nullptr, IID_ImvComponentInfo31000, &obj);
  return TInterfacePtr<IInterface>::Adopt(static_cast<ImvComponentInfo31000*>(obj));
}
