// Foundation: state components, the engine's components with a life cycle.
//
// A state component is inactive, unsupported, stopped or started, and moves
// between these states only through table-driven steps, each running one
// piece of work (initialise, deactivate, start, stop). Linked state
// components follow each other: starting one first starts what it depends
// on, stopping one first stops what depends on it.
#pragma once

#include <cstdint>

#include "foundation/errors/mvllLog.h"

enum TmvState : uint8_t { mvsInactive, mvsUnsupported, mvsStopped, mvsStarted };

enum TmvStateTransition : uint8_t {
  mvstNone,
  mvstInitializing,
  mvstDeactivating,
  mvstStarting,
  mvstStopping,
  mvstInvalid,
};

// The state to move to next on the way from `current` to `target`; equal to
// `current` when there is no way forward.
TmvState mvNextState(TmvState current, TmvState target);
// The transition of one step that leaves `from` and enters `to`.
TmvStateTransition mvStateTransition(TmvState from, TmvState to);
// Initialising and starting go up; every other transition goes down.
inline bool mvTransitionGoesUp(TmvStateTransition t) { return t == mvstInitializing || t == mvstStarting; }

// Display names ("Inactive", "Initializing", ...).
String mvStateName(TmvState s);
String mvStateTransitionName(TmvStateTransition t);

// The parameter of the notifications "state changing" and "state changed":
// the old and the new state of the sender.
struct TmvStateChangeParam {
  TmvState OldState;
  TmvState NewState;
};

extern const TmvComponentExceptionClassRef EmvStateComponentExceptionClass;

class TmvStateComponent : public TmvLoggableComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  explicit TmvStateComponent(TComponent* owner);
  ~TmvStateComponent() override;
  // Closes first, while the whole object (and its overrides) still exists.
  void BeforeDestruction() override;

  TmvState GetState() const { return scState; }
  TmvStateTransition GetStateTransition() const { return scStateTransition; }
  bool GetEnabled() const { return scEnabled; }
  virtual void SetEnabled(bool value);
  virtual bool GetActive() const { return scState == mvsStopped || scState == mvsStarted; }
  bool GetConnected() const { return GetActive(); }
  virtual void SetActive(bool value);
  bool GetActiveDesigntime() const { return scActiveDesigntime; }
  virtual void SetActiveDesigntime(bool value);
  bool GetActiveRuntime() const { return scActiveRuntime; }
  virtual void SetActiveRuntime(bool value);
  uint8_t GetSavedActive() const { return scSavedActive; }
  TDateTime GetStartTime() const { return scStartTime; }
  const String& GetLastStartError() const { return scLastStartError; }
  void SetLastStartError(const String&) {}

  // The state machine: steps towards the target one state at a time.
  virtual void SetState(TmvState target);
  void Open() { SetActive(true); }
  void Connect() { SetActive(true); }
  void Close() { SetActive(false); }

  virtual void DependencyStateChange(TmvStateComponent* sender, bool changing, TmvState oldState, TmvState newState);
  virtual bool FollowDependency(TmvStateComponent* sender, bool changing, TmvStateTransition senderTransition,
                                TmvState newState);
  // Whether this component depends on the other; the engine's components
  // say which way their links point.
  virtual bool DependsOn(TmvComponent* component) { (void)component; return false; }

  virtual void CheckInactive();
  virtual void CheckInactiveOrStopped();
  virtual void CheckStarted();
  virtual void SwitchToSavedActive();
  virtual bool UIStateVisible() const { return true; }

  TNotifyEvent OnStateChanged;
  TNotifyEvent OnStateTransChanged;

  // Overrides of the component.
  void Loaded() override;
  void HandleNotification(TmvComponent* sender, TmvNotifyOp operation, void* param) override;
  void WriteComponentInfo(ImvExceptionDataContainer* container) override;
  void GetStatsCaptions(std::vector<String>& captions) const override;
  void GetStatsValues(std::vector<String>& values) const override;
  void GetConfigSettings(TmvBaseSettings* settings) override;
  void LoadConfig(TmvBaseComponentConfiguration* config) override;
  void SaveConfig(TmvBaseComponentConfiguration* config) override;
  void LoadSettingsFromStream(TmvReader* reader) override;
  void SaveSettingsToStream(TmvWriter* writer) override;

 protected:
  // The work of the four transitions; nothing at this level.
  virtual void DoInitialize() {}
  virtual void DoDeactivate() {}
  virtual void DoStart() {}
  virtual void DoStop() {}
  virtual void DoAfterStarted() {}
  virtual void DoAfterStopped() {}
  // Asks the dependents; false when one of them vetoed.
  virtual bool DoStateChanging(TmvState oldState, TmvState newState);
  virtual void DoStateChanged(TmvState oldState, TmvState newState);
  virtual void DoStateTransitionChanged(TmvStateTransition transition);
  virtual bool ShowsUptimeStat() const { return false; }
  virtual bool ShowsLastStartErrorStat() const { return false; }
  TInterfacePtr<IInterface> CreateComponentInfo() override;

 private:
  // One step from the current state towards the target; false when there
  // is no way forward or the step was vetoed.
  bool Step(TmvState target);
  // Leaves the step: the remembered transition back, then announced; a
  // failing announcement is let pass (logged) when asked.
  void EndStep(TmvStateTransition remembered, bool letFailurePass);
  void RunTransitionWork();
  // Runs the counterpart of a failed piece of work; its own failure is let pass.
  void Undo(void (TmvStateComponent::*counterpart)(), const char16_t* what);
  // For the failure being handled on the way to `target`: the last start
  // error, the conversion with this component as context, and the log line.
  void ReportFailedChange(TmvState target, TmvState old, TmvState next);
  // The failure being handled is not raised further: it is logged, with
  // `where`. An assertion is never let pass: it is raised again.
  void LetFailurePass(const char16_t* where);
  // Logs the failure being handled with its class and message.
  void LogFailure(const char16_t* where, TmvLogPriority priority);
  void CloseForDestruction();
  bool InDesigner() const { return HasState(csDesigning); }
  bool DesigningOrUpdating() const { return HasState(csDesigning) || HasState(csUpdating); }

  TDateTime scStartTime = 0;
  uint8_t scSavedActive = 0;
  bool scEnabled = true;
  bool scActiveRuntime = false;
  bool scActiveDesigntime = false;
  TmvState scState = mvsInactive;
  TmvStateTransition scStateTransition = mvstNone;
  String scLastStartError;
};

class ImvStateComponentInfo31000 : public IInterface {
 public:
  virtual TmvState GetState() = 0;
};
inline constexpr TGUID IID_ImvStateComponentInfo31000{
    0x5D4C2A10, 0x7F31, 0x4B8E, {0x9A, 0x61, 0x2C, 0x0D, 0x3E, 0x84, 0x51, 0x04}};

class TmvStateComponentInfo : public TmvLoggableComponentInfo, public ImvStateComponentInfo31000 {
 public:
  using TmvLoggableComponentInfo::TmvLoggableComponentInfo;
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvComponentInfo::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvComponentInfo::_AddRef(); }
  int32_t _Release() override { return TmvComponentInfo::_Release(); }
  TmvState GetState() override;

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;
};
