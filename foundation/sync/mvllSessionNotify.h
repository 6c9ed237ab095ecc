// Foundation: session notifications.
//
// An engine session tells the objects that use it (the client-side session
// component, for one) that it has gone away. Each such object implements
// `ImvSessionNotifier` and registers with the session's
// `ImvSessionNotifications`, receiving a 16-byte handle by which it can later
// unregister. A handle is never trusted: it carries ids, not addresses, and
// is looked up in the list's id map, so a stale or forged handle cannot
// reach freed memory.
//
// Handle: four 32-bit words: the list's id, the registration's id, the tick
// count at registration, and the check word (xor of the first three). The
// all-zero handle stands for no registration.
//
// Thread-safety: every operation may be called from any thread; the list's
// padlock guards linking and unlinking, and notifiers are called without it.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/sync/mvllSync.h"
#include "platform/Interfaces.h"

struct TmvSessionNotifierHandle {
  uint32_t Words[4] = {0, 0, 0, 0};
  bool IsNull() const { return (Words[0] | Words[1] | Words[2] | Words[3]) == 0; }
};

class ImvSessionNotifier : public IInterface {
 public:
  virtual void SessionDisconnected() = 0;
};

class ImvSessionNotifications : public IInterface {
 public:
  virtual void AddNotifier(ImvSessionNotifier* notifier, TmvSessionNotifierHandle& handle) = 0;
  virtual void RemoveNotifier(const TmvSessionNotifierHandle& handle) = 0;
};

inline constexpr TGUID IID_ImvSessionNotifications{
    0x2B7E5C40, 0x1D93, 0x4F0A, {0xA6, 0x28, 0x5E, 0x71, 0x0C, 0x39, 0xB4, 0x01}};

class TmvSessionNotifications;

// One registration.
class TmvSessionNotifierItem : public TmvObject {
 public:
  uint32_t sniId = 0;         // the registration's id within its list
  uint32_t sniTickCount = 0;  // tick count at registration; 0 once being removed
  TmvSessionNotifications* sniParent = nullptr;
  TmvSessionNotifierItem* sniNext = nullptr;
  TmvSessionNotifierItem* sniPrev = nullptr;
  TInterfacePtr<ImvSessionNotifier> sniNotifier;
};

// The registrations of one session. Aggregated: its reference counting is
// that of the session (`controller`) that contains it.
class TmvSessionNotifications : public TmvObject, public ImvSessionNotifications {
 public:
  explicit TmvSessionNotifications(IInterface* controller = nullptr);
  // Tells everyone registered, then frees the padlock.
  ~TmvSessionNotifications() override;

  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return controller_ ? controller_->_AddRef() : -1; }
  int32_t _Release() override { return controller_ ? controller_->_Release() : -1; }

  void AddNotifier(ImvSessionNotifier* notifier, TmvSessionNotifierHandle& handle) override;
  void RemoveNotifier(const TmvSessionNotifierHandle& handle) override;

  // Calls every registered notifier once, in registration order, and empties
  // the list; a notifier that fails does not stop the others.
  void Disconnected();
  // The same, for a list that may not exist.
  static void Disconnected(TmvSessionNotifications* list) {
    if (list) list->Disconnected();
  }
  int32_t Count();

 private:
  void Lock() { TmvPadlock::CreateAndLock(snPadlock); }
  void Unlock() { TmvPadlock::Published(snPadlock)->Unlock(); }
  // Unlinks the registration and releases its notifier (failures ignored).
  void FreeItem(TmvSessionNotifierItem* item);

  IInterface* controller_;
  const uint32_t snId;
  uint32_t snNextItemId = 0;
  TmvPadlock* snPadlock = nullptr;
  TmvSessionNotifierItem* snHead = nullptr;
  TmvSessionNotifierItem* snTail = nullptr;
  std::unordered_map<uint32_t, TmvSessionNotifierItem*> snItems;  // by registration id
};
