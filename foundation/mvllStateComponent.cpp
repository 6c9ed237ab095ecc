// Foundation: state components. The state machine's tables, the steps that
// run the work of each transition, and the following of dependencies.
#include "foundation/mvllStateComponent.h"

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllConfigSettings.h"
#include "foundation/mvllStreams.h"
#include "platform/DateUtils.h"

namespace {

// Next state, by current state (rows) and target (columns). Inactive reaches
// started through stopped, started returns to inactive through stopped, and
// an unsupported component never leaves its state.
constexpr TmvState kNextState[4][4] = {
    /* Inactive    */ {mvsInactive, mvsUnsupported, mvsStopped, mvsStopped},
    /* Unsupported */ {mvsUnsupported, mvsUnsupported, mvsUnsupported, mvsUnsupported},
    /* Stopped     */ {mvsInactive, mvsInactive, mvsStopped, mvsStarted},
    /* Started     */ {mvsStopped, mvsStopped, mvsStopped, mvsStarted},
};

// Transition of one step, by the state left (rows) and the state entered.
constexpr TmvStateTransition kTransition[4][4] = {
    /* Inactive    */ {mvstNone, mvstNone, mvstInitializing, mvstInvalid},
    /* Unsupported */ {mvstInvalid, mvstNone, mvstInvalid, mvstInvalid},
    /* Stopped     */ {mvstDeactivating, mvstInvalid, mvstNone, mvstStarting},
    /* Started     */ {mvstInvalid, mvstInvalid, mvstStopping, mvstNone},
};

constexpr const char16_t* kStateNames[] = {u"Inactive", u"Unsupported", u"Stopped", u"Started"};
constexpr const char16_t* kTransitionNames[] = {u"None",     u"Initializing", u"Deactivating",
                                                u"Starting", u"Stopping",     u"Invalid"};

}  // namespace

TmvState mvNextState(TmvState current, TmvState target) { return kNextState[current][target]; }

TmvStateTransition mvStateTransition(TmvState from, TmvState to) { return kTransition[from][to]; }

String mvStateName(TmvState s) { return kStateNames[s]; }

String mvStateTransitionName(TmvStateTransition t) { return kTransitionNames[t]; }

// ---------------------------------------------------------------------------
// TmvStateComponent


MV_COMPONENT_EXCEPTION_CLASSREF(EmvStateComponentException, &EmvLoggableComponentExceptionClass);

constinit const TmvComponentClassRef TmvStateComponent::StaticClass{
    {{u"TmvStateComponent", &TmvLoggableComponent::StaticClass}, &ComponentFactory<TmvStateComponent>},
    &EmvStateComponentExceptionClass};

TmvStateComponent::TmvStateComponent(TComponent* owner) : TmvLoggableComponent(owner) {}

TmvStateComponent::~TmvStateComponent() {
  // Normally closed already by BeforeDestruction; this covers objects that
  // never went through delete.
  CloseForDestruction();
}

void TmvStateComponent::BeforeDestruction() {
  CloseForDestruction();
  TmvLoggableComponent::BeforeDestruction();
}

// Closing fails only on an assertion, which no destruction can raise: it is
// logged as fatal instead.
void TmvStateComponent::CloseForDestruction() {
  try {
    Close();
  } catch (...) {
    LogFailure(u"Closing before destruction", lpFatal);
  }
}

namespace {
// The class name and message of the failure being handled.
void DescribeFailure(String& className, String& message) {
  try {
    throw;
  } catch (const std::exception& e) {
    className = ExceptionClassNameOf(e);
    message = ExceptionMessageOf(e);
  } catch (...) {
    className = u"(not an exception object)";
  }
}
}  // namespace

void TmvStateComponent::LogFailure(const char16_t* where, TmvLogPriority priority) {
  String className, message;
  DescribeFailure(className, message);
  lcLog(Format(u"%s: %s: %s", {where, className, message}), 0, priority, mvLogDefaultCategory, mvLogNoTime,
        mvLogNoTimeBias);
}

void TmvStateComponent::LetFailurePass(const char16_t* where) {
  try {
    throw;
  } catch (const EAssertionFailed&) {
    throw;  // never let pass
  } catch (...) {
    LogFailure(where, lpError);
  }
}

void TmvStateComponent::SetEnabled(bool value) {
  if (value == scEnabled) return;
  if (!value) SetActive(false);
  scEnabled = value;
}

void TmvStateComponent::SetActive(bool value) {
  if (value)
    SetState(mvsStarted);
  else if (scState != mvsUnsupported)
    SetState(mvsInactive);
}

void TmvStateComponent::SetActiveDesigntime(bool value) {
  scActiveDesigntime = value;
  if (!InDesigner() || HasState(csLoading)) return;
  try {
    SetActive(value);
  } catch (...) {
    scActiveDesigntime = GetActive();
    throw;
  }
  scActiveDesigntime = GetActive();
}

void TmvStateComponent::SetActiveRuntime(bool value) {
  scActiveRuntime = value;
  if (InDesigner() || HasState(csLoading)) return;
  try {
    SetActive(value);
  } catch (...) {
    scActiveRuntime = GetActive();
    throw;
  }
  scActiveRuntime = GetActive();
}

void TmvStateComponent::SetState(TmvState target) {
  if (target == mvsStarted && scState != target) scLastStartError.clear();
  TmvState old = scState, next = scState;
  try {
    while (scState != target) {
      old = scState;
      next = mvNextState(old, target);
      if (!Step(target)) return;
    }
  } catch (...) {
    // Going inactive lets every failure pass but an assertion, which goes on
    // as it is: a second way down would only meet it again.
    if (target == mvsInactive) throw;
    ReportFailedChange(target, old, next);
    SetState(mvsInactive);
    throw;
  }
}

void TmvStateComponent::ReportFailedChange(TmvState target, TmvState old, TmvState next) {
  String className, message;
  DescribeFailure(className, message);
  if (target == mvsStarted) scLastStartError = message;
  const uint32_t code = mvConvertCurrentException(nullptr, this, 0);
  lcLog(Format(u"Error while changing state (%s -> %s): %s: %s",
               {mvStateName(old), mvStateName(next), className, message}),
        code, lpError, mvLogDefaultCategory, mvLogNoTime, mvLogNoTimeBias);
}

bool TmvStateComponent::Step(TmvState target) {
  const bool goingInactive = target == mvsInactive;
  const TmvState old = scState;
  const TmvState next = mvNextState(old, target);
  const TmvStateTransition remembered = scStateTransition;
  scStateTransition = mvStateTransition(old, next);
  try {
    DoStateTransitionChanged(scStateTransition);
    if (next == old || !DoStateChanging(old, next)) {
      EndStep(remembered, goingInactive);
      return false;
    }
    // A step never starts inside another step.
    MV_ASSERT(remembered == mvstNone);
    RunTransitionWork();
    scState = next;
    DoStateChanged(old, next);
    if (next == mvsStopped) DoAfterStopped();
    if (next == mvsStarted) DoAfterStarted();
  } catch (...) {
    // The component is out of the step before anything else runs, whatever
    // failed (the transition's handler too), so that it never stays inside one.
    EndStep(remembered, true);
    if (!goingInactive) throw;
    LetFailurePass(u"Going inactive");
    scState = next;  // going inactive always completes
    return true;
  }
  EndStep(remembered, goingInactive);
  return true;
}

void TmvStateComponent::EndStep(TmvStateTransition remembered, bool letFailurePass) {
  scStateTransition = remembered;
  if (!letFailurePass) return DoStateTransitionChanged(scStateTransition);
  try {
    DoStateTransitionChanged(scStateTransition);
  } catch (...) {
    LetFailurePass(u"Announcing the end of a state transition");
  }
}

void TmvStateComponent::RunTransitionWork() {
  switch (scStateTransition) {
    case mvstNone:
      break;
    case mvstDeactivating:
      DoDeactivate();
      break;
    case mvstStopping:
      DoStop();
      break;
    case mvstInvalid:
      RaiseComponentError(String(u"Invalid state transition."));
      break;
    case mvstInitializing:
    case mvstStarting:
      if (!scEnabled) RaiseComponentError(String(u"The Component is disabled."));
      // A failed piece of work is undone by its counterpart; the first
      // failure is the one that continues.
      if (scStateTransition == mvstInitializing) {
        try {
          DoInitialize();
        } catch (...) {
          Undo(&TmvStateComponent::DoDeactivate, u"Deactivating after a failed initialization");
          throw;
        }
      } else {
        try {
          DoStart();
        } catch (...) {
          Undo(&TmvStateComponent::DoStop, u"Stopping after a failed start");
          throw;
        }
      }
      break;
  }
}

void TmvStateComponent::Undo(void (TmvStateComponent::*counterpart)(), const char16_t* what) {
  try {
    (this->*counterpart)();
  } catch (...) {
    LetFailurePass(what);  // the first failure is the one that continues
  }
}

bool TmvStateComponent::DoStateChanging(TmvState oldState, TmvState newState) {
  TmvStateChangeParam param{oldState, newState};
  try {
    NotifyDependents(mvnoStateChanging, &param, nullptr);
  } catch (const EmvAbortStateChange&) {
    return false;
  }
  return true;
}

void TmvStateComponent::DoStateChanged(TmvState oldState, TmvState newState) {
  if (InDesigner())
    scActiveDesigntime = newState == mvsStarted;
  else
    scActiveRuntime = newState == mvsStarted;
  TmvStateChangeParam param{oldState, newState};
  NotifyDependents(mvnoStateChanged, &param, nullptr);
  if (OnStateChanged) OnStateChanged(this);
  scStartTime = (newState == mvsStarted && newState != oldState) ? Now() : 0;
}

void TmvStateComponent::DoStateTransitionChanged(TmvStateTransition) {
  if (OnStateTransChanged) OnStateTransChanged(this);
}

void TmvStateComponent::DependencyStateChange(TmvStateComponent* sender, bool changing, TmvState oldState,
                                              TmvState newState) {
  // A component inside a step ignores the news: that is what stops two
  // linked components from bouncing a change back and forth.
  if (scStateTransition != mvstNone) return;
  TmvStateTransition c = mvStateTransition(oldState, newState);
  if (c == mvstNone || c == mvstInvalid) return;
  if (FollowDependency(sender, changing, c, newState)) SetState(newState);
}

bool TmvStateComponent::FollowDependency(TmvStateComponent* sender, bool changing, TmvStateTransition senderTransition,
                                         TmvState newState) {
  if (!changing) return false;
  TmvStateTransition t = mvStateTransition(scState, mvNextState(scState, newState));
  if (mvTransitionGoesUp(senderTransition)) return mvTransitionGoesUp(t) && sender->DependsOn(this);
  return !mvTransitionGoesUp(t) && DependsOn(sender);
}

void TmvStateComponent::CheckInactive() {
  if (scState <= mvsUnsupported) return;
  if (DesigningOrUpdating())
    SetActive(false);
  else
    RaiseComponentError(String(u"This component must be inactive when performing this operation."));
}

void TmvStateComponent::CheckInactiveOrStopped() {
  if (scState != mvsStarted) return;
  if (DesigningOrUpdating())
    SetState(mvsStopped);
  else
    RaiseComponentError(String(u"This component must be inactive or stopped when performing this operation."));
}

void TmvStateComponent::CheckStarted() {
  if (scState == mvsStarted) return;
  if (DesigningOrUpdating()) {
    try {
      SetActive(true);
    } catch (...) {
      LetFailurePass(u"Starting for a check in the designer");  // the check below raises its own error
    }
  }
  if (scState != mvsStarted)
    RaiseComponentError(String(u"This component must be started when performing this operation."));
}

void TmvStateComponent::SwitchToSavedActive() {
  if (scSavedActive != 0) SetActive(true);
  scSavedActive = 0;
}

void TmvStateComponent::Loaded() {
  TmvLoggableComponent::Loaded();
  if (GetActive()) return;
  if (InDesigner()) {
    try {
      SetActive(scActiveDesigntime);
    } catch (...) {
      LetFailurePass(u"Applying the designer's activity after loading");
    }
  } else {
    SetActive(scActiveRuntime);
  }
}

void TmvStateComponent::HandleNotification(TmvComponent* sender, TmvNotifyOp operation, void* param) {
  TmvLoggableComponent::HandleNotification(sender, operation, param);
  if (operation != mvnoStateChanging && operation != mvnoStateChanged) return;
  auto* stateSender = dynamic_cast<TmvStateComponent*>(sender);
  auto* change = static_cast<TmvStateChangeParam*>(param);
  if (stateSender && change)
    DependencyStateChange(stateSender, operation == mvnoStateChanging, change->OldState, change->NewState);
}

void TmvStateComponent::WriteComponentInfo(ImvExceptionDataContainer* container) {
  TmvLoggableComponent::WriteComponentInfo(container);
  container->AddString(u"State", mvStateName(scState));
  container->AddString(u"StateTransition", mvStateTransitionName(scStateTransition));
}

void TmvStateComponent::GetStatsCaptions(std::vector<String>& captions) const {
  if (ShowsUptimeStat()) captions.push_back(u"Uptime");
  if (ShowsLastStartErrorStat()) captions.push_back(u"Last Start Error");
  TmvLoggableComponent::GetStatsCaptions(captions);
}

void TmvStateComponent::GetStatsValues(std::vector<String>& values) const {
  if (ShowsUptimeStat()) {
    String uptime;
    if (scStartTime != 0) {
      TDateTime span = Now() - scStartTime;
      int64_t days = static_cast<int64_t>(span);
      int64_t seconds = static_cast<int64_t>((span - static_cast<double>(days)) * 86400.0);
      uptime = Format(u"%d.%.2d:%.2d:%.2d", {days, seconds / 3600, seconds / 60 % 60, seconds % 60});
    }
    values.push_back(uptime);
  }
  if (ShowsLastStartErrorStat()) values.push_back(scLastStartError);
  TmvLoggableComponent::GetStatsValues(values);
}

void TmvStateComponent::GetConfigSettings(TmvBaseSettings* settings) {
  TmvLoggableComponent::GetConfigSettings(settings);
  for (const char16_t* name : {u"Active", u"EventLogEnabled"}) {
    TmvBaseSetting* s = settings->AddSetting();
    s->fName = name;
    s->fPropertyName = name;
    s->fSettingType = mvstBoolean;
    s->fDefaultValue = Variant(String(u"false"));
  }
}

void TmvStateComponent::LoadConfig(TmvBaseComponentConfiguration* config) {
  TmvLoggableComponent::LoadConfig(config);
  SetEventLogEnabled(config->GetValue(u"EventLogEnabled", Variant(GetEventLogEnabled())).AsBoolean());
  scSavedActive = config->GetValue(u"Active", Variant(scSavedActive != 0)).AsBoolean() ? 1 : 0;
}

void TmvStateComponent::SaveConfig(TmvBaseComponentConfiguration* config) {
  TmvLoggableComponent::SaveConfig(config);
  config->SetValue(u"EventLogEnabled", Variant(GetEventLogEnabled()));
  config->SetValue(u"Active", Variant(GetActive()));
}

// Settings stream, after the component header:
//   integer 1, Boolean EventLogEnabled, Boolean activity
void TmvStateComponent::SaveSettingsToStream(TmvWriter* writer) {
  TmvLoggableComponent::SaveSettingsToStream(writer);
  writer->WriteInteger(1);
  writer->WriteBoolean(GetEventLogEnabled());
  writer->WriteBoolean(GetActive());
}

void TmvStateComponent::LoadSettingsFromStream(TmvReader* reader) {
  TmvLoggableComponent::LoadSettingsFromStream(reader);
  if (reader->ReadInteger() != 1) EmvComponentExceptionClass.RaiseCode(this, 15498);
  SetEventLogEnabled(reader->ReadBoolean());
  scSavedActive = reader->ReadBoolean() ? 1 : 0;
}

TInterfacePtr<IInterface> TmvStateComponent::CreateComponentInfo() {
  return TInterfacePtr<IInterface>(static_cast<ImvComponentInfo31000*>(TmvInterfacedObject::Create<TmvStateComponentInfo>(this)));
}

bool TmvStateComponentInfo::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvStateComponentInfo31000) {
    *obj = static_cast<ImvStateComponentInfo31000*>(this);
    _AddRef();
    return true;
  }
  return TmvLoggableComponentInfo::GetInterface(iid, obj);
}

TmvState TmvStateComponentInfo::GetState() {
  auto* c = static_cast<TmvStateComponent*>(Component());
  return c ? c->GetState() : mvsInactive;
}
