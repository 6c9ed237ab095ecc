// Server engine: the request-close handlers. See mvsdRequestClose.h.
#include "server/mvsdRequestClose.h"

TmvRequestCloseHandlerEvent::TmvRequestCloseHandlerEvent(TmvRequestCloseEvent aEvent)
    : rcheEvent(std::move(aEvent)), rcheDisconnected(!rcheEvent) {}

void TmvRequestCloseHandlerEvent::RequestClose() {
  if (!Disconnected()) rcheEvent();
}

bool TmvRequestCloseHandlerEvent::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvRequestCloseHandler) {
    *obj = static_cast<ImvRequestCloseHandler*>(this);
    _AddRef();
    return true;
  }
  return TmvInterfacedObject::GetInterface(iid, obj);
}

void mvCreateRequestCloseHandler(TInterfacePtr<ImvRequestCloseHandler>& aHandler, TmvRequestCloseEvent aEvent) {
  aHandler = TInterfacePtr<ImvRequestCloseHandler>(
      static_cast<ImvRequestCloseHandler*>(TmvInterfacedObject::Create<TmvRequestCloseHandlerEvent>(std::move(aEvent))));
}
