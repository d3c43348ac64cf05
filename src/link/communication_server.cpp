#include "link/communication_server.h"

#include <QTimer>
#include <cstring>
#include <utility>
#include <vector>

#include "base/exceptions.h"
#include "base/failure_report.h"
#include "base/helptools.h"
#include "link/unit_protocol.h"

namespace up = unit_protocol;

namespace {

// Views the next non-empty message at or behind start and moves start past
// its terminator; false when no complete message is left. Empty messages are
// skipped.
bool NextMessage(const std::string& pending, std::size_t& start, std::string_view& message) {
  for (;;) {
    const void* found =
        std::memchr(pending.data() + start, up::kTerminator, pending.size() - start);
    if (found == nullptr) return false;
    auto end = static_cast<std::size_t>(static_cast<const char*>(found) - pending.data());
    std::size_t begin = start;
    start = end + 1;
    if (end == begin) continue;
    message = std::string_view(pending).substr(begin, end - begin);
    return true;
  }
}

}  // namespace

TCommunicationServer::TCommunicationServer(QObject* Owner) : QObject(Owner) {
  server_.SetPort(up::kDefaultPort);
  server_.OnClientConnect = [this](TServerSocket* s, ServerConnection* c) {
    HandleClientConnect(s, c);
  };
  server_.OnClientDisconnect = [this](TServerSocket* s, ServerConnection* c) {
    HandleClientDisconnect(s, c);
  };
  server_.OnClientRead = [this](TServerSocket* s, ServerConnection* c) { HandleClientRead(s, c); };
}

TCommunicationServer::~TCommunicationServer() { server_.CloseListener(); }

void TCommunicationServer::StartServers() {
  server_.CloseListener();
  server_.OpenListener();
}

void TCommunicationServer::TakeEverythingReceived() {
  pausing_ = false;
  std::vector<std::shared_ptr<ServerConnection>> connections = std::exchange(held_, {});
  for (int i = 0; i < server_.ConnectionCount(); ++i)
    connections.push_back(server_.ConnectionAt(i)->shared_from_this());
  std::weak_ptr<char> alive = alive_;
  for (const std::shared_ptr<ServerConnection>& connection : connections) {
    if (!RunHeld(*connection)) return;
    ReceiveState& input = connection->Input();
    std::size_t taken = 0;
    for (std::string more; taken < kMaxTakenBytes; taken += more.size()) {
      more.clear();  // a failed read leaves it empty
      RunGuarded([&] { more = connection->ReadAvailableText(); });
      if (more.empty() || alive.expired()) break;
      input.Pending += more;
    }
    if (alive.expired()) return;
    for (bool done = false; !done && !alive.expired();) {
      done = true;
      RunGuarded([&] {
        done = false;
        RunReceivePass(connection.get(), input);
        done = true;
      });
    }
  }
}

std::string TCommunicationServer::NameOf(const ServerConnection* Socket) const {
  int index = names_.FindOrigin(Socket);
  return index >= 0 ? names_.NameAt(index) : std::string();
}

void TCommunicationServer::SendTextTo(const std::string& Name, const std::string& Text) {
  if (Name.empty() || names_.Count() == 0) return;
  std::shared_ptr<ServerConnection> target = names_.ConnectionOf(Name);
  if (!target) return;
  std::string message;
  message.reserve(up::kTextReply.size() + Text.size() + 1);
  message.append(up::kTextReply).append(Text).push_back(up::kTerminator);
  target->WriteText(message);
}

// The new connection itself is told the slot to register under.
void TCommunicationServer::HandleClientConnect(TServerSocket*, ServerConnection* Socket) {
  CloseUnlessRegisteredLater(Socket);
  Socket->WriteText(std::string(up::kAddNameReply) + std::to_string(names_.Count()) +
                    up::kTerminator);
}

// The goodbye goes out while the connection can still send; its names leave the table.
void TCommunicationServer::HandleClientDisconnect(TServerSocket*, ServerConnection* Socket) {
  std::weak_ptr<char> alive = alive_;
  try {
    Socket->WriteText(std::string(up::kRemoveNameNotice));
  } catch (...) {
    if (!alive.expired()) RemoveNamesOf(Socket);
    throw;
  }
  if (!alive.expired()) RemoveNamesOf(Socket);
}

// A paused connection is read again when its pause ends: the unit waits meanwhile.
void TCommunicationServer::HandleClientRead(TServerSocket*, ServerConnection* Socket) {
  if (!Socket->Input().Held) ReadAndCarryOut(Socket);
}

void TCommunicationServer::ReadAndCarryOut(ServerConnection* Connection) {
  std::shared_ptr<ServerConnection> held = Connection->shared_from_this();
  held->Input().Pending += held->ReadAvailableText();
  RunReceivePass(held.get(), held->Input());
}

// What waits is carried out before more is read: a unit that pauses again
// and again holds at most what one read left behind its pause.
void TCommunicationServer::ContinueReading(ServerConnection* Connection) {
  std::shared_ptr<ServerConnection> held = Connection->shared_from_this();
  std::weak_ptr<char> alive = alive_;
  RunReceivePass(held.get(), held->Input());
  if (!alive.expired() && !held->Input().Held) ReadAndCarryOut(held.get());
}

void TCommunicationServer::HoldSender(std::chrono::milliseconds Span, std::function<void()> Then) {
  if (!pausing_) return Then();
  if (carrying_ == nullptr) {
    QTimer::singleShot(Span, this, [Then = std::move(Then)] { RunGuarded(Then); });
    return;
  }
  carrying_->Input().Held = std::move(Then);
  held_.push_back(carrying_->shared_from_this());
  std::weak_ptr<ServerConnection> weak = carrying_->weak_from_this();
  QTimer::singleShot(Span, this, [this, weak] {
    if (auto connection = weak.lock()) RunGuarded([&] { ReleaseHeld(connection); });
  });
}

bool TCommunicationServer::RunHeld(ServerConnection& Connection) {
  std::function<void()> then = std::exchange(Connection.Input().Held, nullptr);
  if (!then) return true;
  std::weak_ptr<char> alive = alive_;
  RunGuarded(then);
  return !alive.expired();
}

// The pause is over: the rest of the command, then the messages behind it.
void TCommunicationServer::ReleaseHeld(const std::shared_ptr<ServerConnection>& Connection) {
  std::erase(held_, Connection);
  if (RunHeld(*Connection)) ContinueReading(Connection.get());
}

void TCommunicationServer::CloseUnlessRegisteredLater(ServerConnection* Socket) {
  std::weak_ptr<ServerConnection> weak = Socket->weak_from_this();
  QTimer::singleShot(registration_limit_, this, [this, weak] {
    std::shared_ptr<ServerConnection> connection = weak.lock();
    if (!connection || connection->Input().Registered || !connection->Connected()) return;
    registration_notice_.Count("Closed the connection from " + Ipv4Text(connection->Peer()) +
                               " on the unit link: no name registered within " +
                               std::to_string(registration_limit_.count()) + " ms");
    RunGuarded([&] { connection->Close(); });
  });
}

void TCommunicationServer::RunReceivePass(ServerConnection* Origin, ReceiveState& State) {
  if (State.PassRunning || State.Held) return;  // the pass under way takes the new bytes too
  State.PassRunning = true;
  std::weak_ptr<char> alive = alive_;
  std::size_t start = 0;
  bool oversized = false;
  ServerConnection* outer = carrying_;
  try {
    // The message is a view into Pending: its parts are copied out before
    // any event is raised, and nothing is read from it afterwards.
    std::string_view message;
    while (!State.Held && NextMessage(State.Pending, start, message)) {
      oversized = message.size() > up::kMaxPendingBytes;
      if (oversized) break;
      carrying_ = Origin;
      ExecuteMessage(Origin, message);
      if (alive.expired()) return;
      carrying_ = outer;
    }
  } catch (...) {
    if (!alive.expired()) {
      carrying_ = outer;
      State.Pending.erase(0, start);
      State.PassRunning = false;
      PostContinuation(Origin);
    }
    throw;
  }
  State.Pending.erase(0, start);
  State.PassRunning = false;
  // The bound holds for the message itself, not for what a read left of it.
  oversized = oversized || (!State.Held && State.Pending.size() > up::kMaxPendingBytes);
  if (Origin != nullptr && Origin->Connected() && oversized) {
    State.Pending.clear();
    Origin->Close();
  }
}

void TCommunicationServer::ExecuteMessage(ServerConnection* Origin, std::string_view Message) {
  std::string_view word = CutField(Message, up::kFieldSeparator, 0);
  if (word == up::kText) {
    if (!OnClientReadText) return;
    std::string sender(CutField(Message, up::kFieldSeparator, 0));
    OnClientReadText(this, std::string(Message), std::move(sender));
  } else if (word == up::kFile) {
    if (!OnClientReadFile) return;
    std::string sender(CutField(Message, up::kFieldSeparator, 0));
    OnClientReadFile(this, std::string(Message), std::move(sender));
  } else if (word == up::kAddName) {
    AddName(Origin, Message);
  } else if (word == up::kRemoveName) {
    RemoveName(Origin, std::string(Message));
  }
}

// The slot is checked before anything changes: a refused registration is not
// counted. The table picks the slot actually taken (see NameTable::Register).
void TCommunicationServer::AddName(ServerConnection* Origin, std::string_view Rest) {
  int slot = StrToInt(std::string(CutField(Rest, up::kFieldSeparator, 0)));
  std::weak_ptr<ServerConnection> origin;
  if (Origin != nullptr) origin = Origin->weak_from_this();
  names_.Register(slot, std::string(Rest), std::move(origin));
  if (Origin != nullptr) Origin->Input().Registered = true;
  RaiseConnectCount();
}

// A name held by another live connection stays: no unit unregisters another.
void TCommunicationServer::RemoveName(ServerConnection* Origin, const std::string& Name) {
  int index = names_.FindRemovable(Name, Origin);
  if (index < 0) return;
  names_.RemoveAt(index);
  RaiseConnectCount();
}

void TCommunicationServer::RemoveNamesOf(ServerConnection* Origin) {
  std::weak_ptr<char> alive = alive_;
  for (int index = names_.FindOrigin(Origin); index >= 0; index = names_.FindOrigin(Origin)) {
    names_.RemoveAt(index);
    RaiseConnectCount();
    if (alive.expired()) return;
  }
}

// The continuation holds the connection: its received messages outlive its closing.
void TCommunicationServer::PostContinuation(ServerConnection* Origin) {
  if (Origin == nullptr) return;
  std::shared_ptr<ServerConnection> origin = Origin->shared_from_this();
  QMetaObject::invokeMethod(
      this, [this, origin] { RunGuarded([&] { ContinueReading(origin.get()); }); },
      Qt::QueuedConnection);
}

void TCommunicationServer::RaiseConnectCount() {
  if (OnClientConnectCount) OnClientConnectCount(this);
}
