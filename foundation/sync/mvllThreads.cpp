// Foundation: the engine's thread classes. See mvllThreads.h.
#include "foundation/sync/mvllThreads.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "foundation/sync/mvllTimeoutHooks.h"

namespace {

// The exact name of the object's class, for threads created without a name.
String classNameOf(const std::type_info& t) {
  int status = 0;
  char* name = abi::__cxa_demangle(t.name(), nullptr, nullptr, &status);
  String r = AsciiToString(status == 0 && name ? name : t.name());
  std::free(name);
  return r;
}

template <typename E>
[[noreturn]] void raiseWithCode(uint32_t aErrorCode, const String& aMsg) {
  throw E(static_cast<int64_t>(aErrorCode), aMsg);
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvThread

TmvThread::TmvThread(bool aCreateSuspended, int32_t aThreadPriority, const String& aName)
    : TThread(aCreateSuspended), mvtName(aName) {
  SetPriority(aThreadPriority);
}

TmvThread::~TmvThread() { EndThread(); }

void TmvThread::AfterConstruction() {
  if (mvtName.empty()) mvtName = classNameOf(typeid(*this));
  TThread::AfterConstruction();
}

void TmvThread::RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const {
  raiseWithCode<EmvThread>(aErrorCode, aMsg);
}

void TmvThread::EndThread() { TerminateAndJoin(); }

void TmvThread::Execute() {
  // A thread of the engine starts with no deadline rather than with the
  // "never set" state that fails the first check.
  mvHookSetOperationDeadline(0, true);
  struct ClearLastException {
    ~ClearLastException() { EmvBaseException::SetLastConvertedException(0, String()); }
  } clearAtEnd;
  try {
    mvExecute();
  } catch (Exception& e) {
    HandleException(e);
  }
}

// ---------------------------------------------------------------------------
// TmvInternalInitThread

TmvInternalInitThread::TmvInternalInitThread(int32_t aThreadPriority, const String& aName)
    : TmvThread(false, aThreadPriority, aName), itInitSemaphore(new TOSSemaphore(0, 1)) {}

TmvInternalInitThread::~TmvInternalInitThread() {
  EndThread();
  delete mvInterlockedExchangePointer(itInitSemaphore, static_cast<TOSSemaphore*>(nullptr));
}

void TmvInternalInitThread::RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const {
  raiseWithCode<EmvInternalInitThread>(aErrorCode, aMsg);
}

void TmvInternalInitThread::AfterConstruction() {
  TmvThread::AfterConstruction();
  itInitSemaphore->WaitFor(INFINITE);
  delete mvInterlockedExchangePointer(itInitSemaphore, static_cast<TOSSemaphore*>(nullptr));
  if (itInitException) {
    std::exception_ptr e = std::exchange(itInitException, nullptr);
    std::rethrow_exception(e);
  }
}

void TmvInternalInitThread::mvExecute() {
  try {
    DoBeforeExecute();
  } catch (...) {
    Terminate();
    itInitException = std::current_exception();
  }
  bool initialised = !itInitException;
  // After this release the creator owns itInitException and may delete the
  // semaphore: neither is touched again here.
  itInitSemaphore->Release();
  if (!initialised) return;
  try {
    InnerExecute();
  } catch (...) {
    DoAfterExecute();
    throw;
  }
  DoAfterExecute();
}

// ---------------------------------------------------------------------------
// TmvInternalWaitThread and TmvInitThread

TmvInternalWaitThread::TmvInternalWaitThread(int32_t aThreadPriority, const String& aName)
    : TmvInternalInitThread(aThreadPriority, aName) {}

TmvInternalWaitThread::~TmvInternalWaitThread() {
  ReleaseWait();
  EndThread();
}

void TmvInternalWaitThread::RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const {
  raiseWithCode<EmvInternalWaitThread>(aErrorCode, aMsg);
}

void TmvInternalWaitThread::DoAfterExecute() {
  wtWaiting.store(true, std::memory_order_release);
  wtWaitSemaphore.WaitFor(INFINITE);
}

void TmvInitThread::RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const {
  raiseWithCode<EmvInitThread>(aErrorCode, aMsg);
}

void TmvInitThread::AfterConstruction() {
  // Nobody collects this thread's results: it ends when its work ends.
  ReleaseWait();
  TmvInternalWaitThread::AfterConstruction();
}

// ---------------------------------------------------------------------------
// Timer threads

TmvTimerThread::TmvTimerThread(uint32_t aInterval, int32_t aThreadPriority, const String& aName)
    : TmvInitThread(aThreadPriority, aName), ttTimerInterval(aInterval), ttTimerEvent(new TmvEvent()) {}

TmvTimerThread::~TmvTimerThread() {
  StopTimer();
  mvFreeAndNil(ttTimerEvent);
}

void TmvTimerThread::StopTimer() {
  Terminate();
  ttTimerEvent->SignalEvent();
  EndThread();
}

void TmvTimerThread::InnerExecute() {
  while (!Terminated()) {
    ttTimerEvent->WaitForQuietly(ttTimerInterval);
    if (Terminated()) break;
    try {
      TimerWork();
    } catch (Exception& e) {
      HandleException(e);
    }
  }
}

TmvSimpleTimerThread::TmvSimpleTimerThread(uint32_t aInterval, int32_t aThreadPriority, TmvTimerCallback aCallback,
                                           void* aObject, const String& aName)
    : TmvTimerThread(aInterval, aThreadPriority, aName), sttCallback(aCallback), sttObject(aObject) {}

TmvSimpleTimerThread::~TmvSimpleTimerThread() { StopTimer(); }

void TmvSimpleTimerThread::TimerWork() {
  if (sttCallback) sttCallback(sttObject, this);
}

// ---------------------------------------------------------------------------
// Priority names

namespace {
struct PriorityName {
  int32_t value;
  const char16_t* name;
};
constexpr PriorityName kPriorityNames[] = {
    {THREAD_PRIORITY_IDLE, u"IDLE"},         {THREAD_PRIORITY_LOWEST, u"LOWEST"},
    {THREAD_PRIORITY_BELOW_NORMAL, u"BELOW_NORMAL"}, {THREAD_PRIORITY_NORMAL, u"NORMAL"},
    {THREAD_PRIORITY_ABOVE_NORMAL, u"ABOVE_NORMAL"}, {THREAD_PRIORITY_HIGHEST, u"HIGHEST"},
};
bool sameIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}
}  // namespace

bool mvThreadPriorityToIdent(int32_t aPriority, String& aIdent) {
  for (const auto& p : kPriorityNames) {
    if (p.value == aPriority) {
      aIdent = p.name;
      return true;
    }
  }
  return false;
}

bool mvIdentToThreadPriority(std::u16string_view aIdent, int32_t& aPriority) {
  for (const auto& p : kPriorityNames) {
    if (sameIgnoringAsciiCase(aIdent, p.name)) {
      aPriority = p.value;
      return true;
    }
  }
  return false;
}
