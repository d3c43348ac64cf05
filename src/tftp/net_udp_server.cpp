#include "tftp/net_udp_server.h"

#include "tftp/net_exceptions.h"
#include "tftp/udp_listener_thread.h"

TNetUDPServer::TNetUDPServer() = default;

TNetUDPServer::~TNetUDPServer() { TNetUDPServer::ReleaseBinding(); }

bool TNetUDPServer::IsActive() const {
  TNetSocketHandle* binding = dispatchBinding_.load();
  return binding != nullptr && binding->Allocated;
}

void TNetUDPServer::ApplyBroadcast() {
  for (size_t i = 0; i < bindings_.Count(); ++i) {
    if (bindings_.At(i).Allocated) bindings_.At(i).ApplyBroadcast(BroadcastEnabled());
  }
}

TNetSocketHandle& TNetUDPServer::AcquireBinding() {
  if (TNetSocketHandle* binding = dispatchBinding_.load()) return *binding;
  if (bindings_.Count() == 0) {
    if (bindings_.DefaultPort < 1) throw ENetNoBindingsSpecified();
    bindings_.Add();
  }
  OpenBindings();
  dispatchBinding_ = &bindings_.At(0);
  listener_ = std::make_unique<TNetUDPListenerThread>(BufferSize, *this);
  listener_->BeginRun();
  ApplyBroadcast();
  return bindings_.At(0);
}

void TNetUDPServer::OpenBindings() {
  for (size_t i = 0; i < bindings_.Count(); ++i) {
    TNetSocketHandle& binding = bindings_.At(i);
    binding.Allocate();
    binding.BindLocal();
  }
}

void TNetUDPServer::ReleaseBinding() {
  if (dispatchBinding_ == nullptr) return;
  listener_->Retire();
  // Waking the sockets lets the listener see the stop at once instead of
  // after its wait; it is awaited before any socket is closed.
  for (size_t i = 0; i < bindings_.Count(); ++i) bindings_.At(i).Interrupt();
  listener_->StopAndWait();
  lastListenerMessage_ = listener_->LastExceptionMessage();
  for (size_t i = 0; i < bindings_.Count(); ++i) bindings_.At(i).Close(true);
  listener_.reset();
  dispatchBinding_ = nullptr;
}

void TNetUDPServer::DispatchDatagram(std::string_view data, TNetSocketHandle& binding) {
  if (OnUDPRead) OnUDPRead(*this, data, binding);
}

void TNetUDPServer::DispatchFromListener(std::string_view data, TNetSocketHandle& binding) {
  dispatchBinding_ = &binding;
  DispatchDatagram(data, binding);
}

bool TNetUDPServer::ListenerRunning() const { return listener_ && listener_->Running(); }

std::string TNetUDPServer::ListenerLastExceptionMessage() const {
  return listener_ ? listener_->LastExceptionMessage() : lastListenerMessage_;
}
