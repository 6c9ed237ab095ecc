// Foundation: session notifications. See mvllSessionNotify.h.
#include "foundation/sync/mvllSessionNotify.h"

#include <atomic>

#include "platform/SyncObjs.h"

namespace {
// Ids of lists: unique for the life of the process (never 0), so that a
// handle of one list is never mistaken for one of another.
uint32_t NewListId() {
  static std::atomic<uint32_t> next{0};
  uint32_t id;
  do id = next.fetch_add(1, std::memory_order_relaxed) + 1;
  while (id == 0);
  return id;
}

uint32_t CheckWord(const TmvSessionNotifierHandle& h) { return h.Words[0] ^ h.Words[1] ^ h.Words[2]; }
}  // namespace

TmvSessionNotifications::TmvSessionNotifications(IInterface* controller)
    : controller_(controller), snId(NewListId()) {}

TmvSessionNotifications::~TmvSessionNotifications() {
  Disconnected();
  mvFreeAndNil(snPadlock);
}

int32_t TmvSessionNotifications::QueryInterface(const TGUID& iid, void** obj) {
  if (controller_) return controller_->QueryInterface(iid, obj);
  if (iid == IID_ImvSessionNotifications) {
    *obj = static_cast<ImvSessionNotifications*>(this);
    return S_OK;
  }
  *obj = nullptr;
  return E_NOINTERFACE;
}

void TmvSessionNotifications::AddNotifier(ImvSessionNotifier* notifier, TmvSessionNotifierHandle& handle) {
  handle = TmvSessionNotifierHandle{};
  if (!notifier) return;
  auto* item = new TmvSessionNotifierItem();
  item->sniParent = this;
  item->sniNotifier = TInterfacePtr<ImvSessionNotifier>(notifier);
  // 0 marks a registration being removed; a tick count that wraps to 0 is
  // taken as 1.
  item->sniTickCount = static_cast<uint32_t>(GetTickCount64());
  if (item->sniTickCount == 0) item->sniTickCount = 1;
  Lock();
  do item->sniId = ++snNextItemId;
  while (item->sniId == 0 || snItems.count(item->sniId));
  item->sniPrev = snTail;
  if (snTail)
    snTail->sniNext = item;
  else
    snHead = item;
  snTail = item;
  snItems.emplace(item->sniId, item);
  handle.Words[0] = snId;
  handle.Words[1] = item->sniId;
  handle.Words[2] = item->sniTickCount;
  handle.Words[3] = CheckWord(handle);
  Unlock();
}

void TmvSessionNotifications::RemoveNotifier(const TmvSessionNotifierHandle& handle) {
  if (handle.Words[0] != snId || handle.Words[3] != CheckWord(handle)) return;
  TmvSessionNotifierItem* item = nullptr;
  Lock();
  auto it = snItems.find(handle.Words[1]);
  if (it != snItems.end() && it->second->sniTickCount == handle.Words[2]) {
    item = it->second;
    item->sniTickCount = 0;  // claimed: Disconnected and other removers leave it alone
  }
  Unlock();
  if (item) FreeItem(item);
}

void TmvSessionNotifications::FreeItem(TmvSessionNotifierItem* item) {
  Lock();
  if (item->sniPrev)
    item->sniPrev->sniNext = item->sniNext;
  else
    snHead = item->sniNext;
  if (item->sniNext)
    item->sniNext->sniPrev = item->sniPrev;
  else
    snTail = item->sniPrev;
  snItems.erase(item->sniId);
  Unlock();
  try {
    item->sniNotifier.reset();
  } catch (...) {
  }
  delete item;
}

void TmvSessionNotifications::Disconnected() {
  for (;;) {
    Lock();
    // Skip registrations that a concurrent RemoveNotifier has claimed.
    TmvSessionNotifierItem* item = snHead;
    while (item && item->sniTickCount == 0) item = item->sniNext;
    if (item) item->sniTickCount = 0;
    Unlock();
    if (!item) return;
    try {
      item->sniNotifier->SessionDisconnected();
    } catch (...) {
    }
    FreeItem(item);
  }
}

int32_t TmvSessionNotifications::Count() {
  Lock();
  auto n = static_cast<int32_t>(snItems.size());
  Unlock();
  return n;
}
