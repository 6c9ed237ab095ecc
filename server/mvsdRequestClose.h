// Server engine: the request-close handlers (unit mvsdRequestClose).
//
// The SQL layer's result-set cursors can be asked to close by the engine
// (when a table they read is to be freed). The cursor keeps the request as a
// counted `ImvRequestCloseHandler`; the usual one wraps a method, and can be
// disconnected so that a request that comes after its receiver went is
// ignored. Thread-safe: the flag is atomic. Calls the foundation only.
#pragma once

#include <atomic>
#include <functional>

#include "foundation/memory/mvllMemoryManager.h"

inline constexpr TGUID IID_ImvRequestCloseHandler{
    0x3D51A7C2, 0x9E04, 0x4B6A, {0x8F, 0x21, 0x6C, 0x3B, 0x90, 0x5E, 0x47, 0xD8}};

class ImvRequestCloseHandler : public IInterface {
 public:
  virtual void RequestClose() = 0;
  virtual void Disconnect() = 0;

 protected:
  ~ImvRequestCloseHandler() = default;
};

// The method a handler calls.
using TmvRequestCloseEvent = std::function<void()>;

class TmvRequestCloseHandlerEvent : public TmvInterfacedObject, public ImvRequestCloseHandler {
 public:
  // Without a method the handler starts disconnected.
  explicit TmvRequestCloseHandlerEvent(TmvRequestCloseEvent aEvent);

  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

  // Calls the method unless disconnected.
  void RequestClose() override;
  void Disconnect() override { rcheDisconnected.store(true, std::memory_order_release); }
  bool Disconnected() const { return rcheDisconnected.load(std::memory_order_acquire); }

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;

 private:
  TmvRequestCloseEvent rcheEvent;
  std::atomic<bool> rcheDisconnected;
};

// Wraps the method into a new handler (one reference, held by aHandler).
void mvCreateRequestCloseHandler(TInterfacePtr<ImvRequestCloseHandler>& aHandler, TmvRequestCloseEvent aEvent);
