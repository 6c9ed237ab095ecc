// Foundation: logging components.
//
// `TmvBaseLog` is the abstract log: it receives messages with a number, a
// priority, a category and a time; a concrete log (supplied by the host;
// none is part of the engine) decides where they go. `TmvLoggableComponent`
// is the base of every component that can log: it holds a log and a switch
// and forwards its log calls only when both are set.
#pragma once

#include <atomic>

#include "foundation/mvllComponents.h"

enum TmvLogPriority : uint8_t { lpDebug, lpInfo, lpWarn, lpError, lpFatal };

// What engine code passes when it logs without a time of its own.
inline constexpr TDateTime mvLogNoTime = 0;
inline constexpr int32_t mvLogNoTimeBias = 0x0FFFFFFF;
inline constexpr char16_t mvLogDefaultCategory[] = u"default";

// A log record object handed over as a whole.
class ImvLogData : public IInterface {};

extern const TmvComponentExceptionClassRef EmvBaseLogExceptionClass;
extern const TmvComponentExceptionClassRef EmvLoggableComponentExceptionClass;

// The priority with which a failure converted to this error code is logged:
// info for lock conflicts (category 0x28), 15461 and 15507; error for the
// categories 0x23 and 0x2F and 15520 to 15522; fatal for the category 0x2B;
// warning for everything else.
TmvLogPriority mvLogPriorityForErrorCode(uint32_t aCode);

class TmvBaseLog : public TmvRegisterableComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  // Also lets exception conversion (mvllExceptionData.h) write to logs.
  explicit TmvBaseLog(TComponent* owner);
  // Detaches the log from the process log slot when it sits there.
  void BeforeDestruction() override;

  // Read and written under the dependent list's padlock, so the switch
  // changes atomically with respect to notifications.
  bool GetEnabled() const;
  virtual void SetEnabled(bool value);

  virtual void Clear() {}
  virtual void Flush() {}
  virtual void WriteBlock(const String& s, const void* buf, int32_t bufLen, uint32_t aMsgNumber,
                          TmvLogPriority aPriority, const String& aCategory, TDateTime aWhen, int32_t aWhenBias) = 0;
  virtual void WriteString(const String& aMsg, uint32_t aMsgNumber, TmvLogPriority aPriority,
                           const String& aCategory, TDateTime aWhen, int32_t aWhenBias) = 0;
  virtual void WriteString(const String& aMsg, std::initializer_list<TVarRec> aArgs, uint32_t aMsgNumber,
                           TmvLogPriority aPriority, const String& aCategory, TDateTime aWhen, int32_t aWhenBias) = 0;
  virtual void WriteStrings(const String& msgs, uint32_t aMsgNumber, TmvLogPriority aPriority,
                            const String& aCategory, TDateTime aWhen, int32_t aWhenBias) = 0;
  virtual void WriteLogData(ImvLogData* logData) = 0;

 private:
  bool blEnabled = false;
};

// The process log: where the engine writes what no component of its own can
// log (the memory manager's reports: failed maintenance passes, its thread
// ending, memory still held at its last stop). None until the host attaches
// one; a log that is destroyed detaches itself. Thread-safe; requires: the
// log accepts writes from any thread.
void mvSetProcessLog(TmvBaseLog* aLog);
TmvBaseLog* mvGetProcessLog();
// Writes to the process log when one is attached (category "default", no time).
void mvProcessLog(const String& aMsg, uint32_t aMsgNumber, TmvLogPriority aPriority);

// A layer's error log: where a layer (storage, the dictionary's engines)
// writes the failures it cannot pass on to a caller. The server engine
// installs an engine log (written at priority lpError under the layer's
// category); while none is installed, messages go to the standard error
// stream, so that none is lost. Declare one `constinit` per layer.
// Thread safety: Error may be called from any thread; installing a log is
// not synchronised with messages in flight. Requires: an installed log
// outlives its installation (install nil before freeing it).
class TmvLayerLog {
 public:
  constexpr explicit TmvLayerLog(const char16_t* aCategory) : llCategory(aCategory) {}
  void Set(TmvBaseLog* aLog) { llLog.store(aLog, std::memory_order_release); }
  TmvBaseLog* Get() const { return llLog.load(std::memory_order_acquire); }
  void Error(const String& aMessage) const;

 private:
  const char16_t* llCategory;
  std::atomic<TmvBaseLog*> llLog{nullptr};
};

class TmvLoggableComponent : public TmvRegisterableComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  using TmvRegisterableComponent::TmvRegisterableComponent;

  TmvBaseLog* GetEventLog() const { return lcEventLog; }
  virtual bool GetEventLogEnabled() const { return lcLogEnabled; }
  // Unlinks the old log and links the new one, so that the component hears
  // when its log is destroyed.
  virtual void SetEventLog(TmvBaseLog* log);
  virtual void SetEventLogEnabled(bool value) { lcLogEnabled = value; }

  // Forward to the log when logging is on and a log is attached.
  virtual void lcLog(const String& aMsg, uint32_t aMsgNumber, TmvLogPriority aPriority, const String& aCategory,
                     TDateTime aWhen, int32_t aWhenBias);
  virtual void lcLog(const String& aMsg, std::initializer_list<TVarRec> aArgs, uint32_t aMsgNumber,
                     TmvLogPriority aPriority, const String& aCategory, TDateTime aWhen, int32_t aWhenBias);
  virtual void lcLog(const String& aMsg, const void* aData, int32_t aDataLen, uint32_t aMsgNumber,
                     TmvLogPriority aPriority, const String& aCategory, TDateTime aWhen, int32_t aWhenBias);
  virtual void lcLogs(const String& aMsgs, uint32_t aMsgNumber, TmvLogPriority aPriority, const String& aCategory,
                      TDateTime aWhen, int32_t aWhenBias);

  void HandleNotification(TmvComponent* sender, TmvNotifyOp operation, void* param) override;

 protected:
  TInterfacePtr<IInterface> CreateComponentInfo() override;

 private:
  TmvBaseLog* lcEventLog = nullptr;
  bool lcLogEnabled = false;
};

class ImvLoggableComponentInfo31000 : public IInterface {
 public:
  virtual bool GetLogEnabled() = 0;
  // The component information of the attached log; nil without a log.
  virtual TInterfacePtr<IInterface> GetEventLogInfo() = 0;
};
inline constexpr TGUID IID_ImvLoggableComponentInfo31000{
    0x5D4C2A10, 0x7F31, 0x4B8E, {0x9A, 0x61, 0x2C, 0x0D, 0x3E, 0x84, 0x51, 0x03}};

class TmvLoggableComponentInfo : public TmvComponentInfo, public ImvLoggableComponentInfo31000 {
 public:
  using TmvComponentInfo::TmvComponentInfo;
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvComponentInfo::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvComponentInfo::_AddRef(); }
  int32_t _Release() override { return TmvComponentInfo::_Release(); }
  bool GetLogEnabled() override;
  TInterfacePtr<IInterface> GetEventLogInfo() override;

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;
};
