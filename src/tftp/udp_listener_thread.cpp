#include "tftp/udp_listener_thread.h"

#include <string>

#include "base/main_thread_call.h"
#include "tftp/net_stack.h"
#include "tftp/net_udp_server.h"

namespace {
// Read failures that one datagram can cause; the datagram is dropped.
constexpr std::initializer_list<int> kDatagramFailures = {10035, 10040, 10054, 10061};
}  // namespace

TNetUDPListenerThread::TNetUDPListenerThread(int bufferSize, TNetUDPServer& owner)
    : PacketBuffer(static_cast<size_t>(bufferSize > 0 ? bufferSize : 1)),
      OwnerServer(owner),
      guard_(std::make_shared<Guard>()) {}

TNetUDPListenerThread::~TNetUDPListenerThread() {
  Retire();
  StopAndWait();
}

void TNetUDPListenerThread::Retire() {
  RequestStop();
  std::lock_guard<std::mutex> lock(guard_->mutex);
  guard_->serverAlive = false;
}

void TNetUDPListenerThread::Step() {
  TNetSocketHandles& bindings = OwnerServer.Bindings();
  std::vector<int> sockets;
  for (size_t i = 0; i < bindings.Count(); ++i) sockets.push_back(bindings.At(i).SocketId);
  if (SharedStack().Select(sockets, SelectTimeout) == 0) return;
  for (int socket : sockets) {
    if (Stopped()) return;
    ReadOne(socket);
  }
}

void TNetUDPListenerThread::ReadOne(int socket) {
  ArrivalBinding = OwnerServer.Bindings().FindBySocket(socket);
  if (ArrivalBinding == nullptr) return;
  uint32_t address = 0;
  uint16_t port = 0;
  ssize_t size = ArrivalBinding->ReceiveFrom(PacketBuffer.data(), PacketBuffer.size(), address, port);
  if (SharedStack().CheckResult(size, kDatagramFailures)) return;
  if (size == 0 || static_cast<size_t>(size) > PacketBuffer.size()) return;
  ArrivalBinding->RecordPeer(TNetStack::AddressText(address), port);
  Dispatch(static_cast<size_t>(size), *ArrivalBinding);
}

void TNetUDPListenerThread::Dispatch(size_t size, TNetSocketHandle& binding) {
  if (OwnerServer.ThreadedEvent) {
    OwnerServer.DispatchFromListener(std::string_view(PacketBuffer.data(), size), binding);
    return;
  }
  std::string copy(PacketBuffer.data(), size);
  auto call = [guard = guard_, server = &OwnerServer, copy, binding = &binding] {
    std::lock_guard<std::mutex> lock(guard->mutex);
    if (guard->serverAlive) server->DispatchFromListener(copy, *binding);
  };
  if (!MainThreadAvailable()) {
    call();  // no application object: no main thread loop to hand it to
    return;
  }
  RunOnMainThreadAndWait(call, [this] { return Stopped(); });
}
