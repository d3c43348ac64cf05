// The data unit's end of the unit link. It has a TCP server (a TServerSocket
// on port 10079) whose connections' bytes it frames into "#"-terminated
// messages; it carries out the unit commands (CS_ADD_NAME, CS_REMOVE_NAME,
// CS_TEXT, CS_FILE), keeps the table of registered names and sends texts to
// units by name. A connection that registers no name within the registration
// limit is closed; a unit's pause holds that unit's connection only. Events
// are raised only while assigned, with this server as Sender. Main thread only.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/limit_notice.h"
#include "link/name_table.h"
#include "link/server_socket.h"

class TCommunicationServer : public QObject {
 public:
  using TNotifyEvent = std::function<void(TCommunicationServer* Sender)>;
  using TReadTextEvent =
      std::function<void(TCommunicationServer* Sender, std::string Text, std::string ClientName)>;
  using TReadFileEvent = std::function<void(TCommunicationServer* Sender, std::string Filename,
                                            std::string ClientName)>;

  // Port 10079, not listening, every name slot empty. Owner, when given,
  // destroys the server with itself.
  explicit TCommunicationServer(QObject* Owner = nullptr);
  // Closes the listener: connections are dropped without disconnect events.
  ~TCommunicationServer() override;

  // Closes and reopens the listener on Port; an opening failure (for example
  // the port is taken) goes to the caller.
  void StartServers();
  void CloseListener() { server_.CloseListener(); }
  // Reads every connection's received bytes (what its receive buffer holds,
  // at most kMaxTakenBytes each) and carries out their complete messages, as
  // a restart or exit does before closing the listener. A failing message is
  // reported and the ones behind it are still carried out. From here on there
  // are no pauses: held commands and everything behind them run at once.
  void TakeEverythingReceived();
  static constexpr std::size_t kMaxTakenBytes = std::size_t{16} << 20;

  // The TCP server the units connect to: its connections, their output
  // limits and OnClientError, the event for an error on any connection.
  TServerSocket& Listener() { return server_; }
  const TServerSocket& Listener() const { return server_; }
  int Port() const { return server_.Port(); }
  // Raises "Can't change value while socket is active" for a new value while open.
  void SetPort(int Value) { server_.SetPort(Value); }
  int BoundPort() const { return server_.BoundPort(); }
  bool Active() const { return server_.Active(); }

  // Sends "CC_TEXT " + Text + "#" on the connection that registered the first
  // slot holding Name; nothing when Name is empty, unregistered or its
  // connection is gone.
  void SendTextTo(const std::string& Name, const std::string& Text);
  // Pauses the unit whose message is being carried out (call it from an
  // event): Then runs Span from now, and that connection's later messages
  // wait for it (nothing more is read from it meanwhile); other connections
  // go on. Outside a message Then just waits; in the ending it runs at once.
  void HoldSender(std::chrono::milliseconds Span, std::function<void()> Then);

  // A connection that has registered no name this long after it was accepted is closed.
  static constexpr std::chrono::seconds kRegistrationLimit{10};
  void SetRegistrationLimit(std::chrono::milliseconds Limit) { registration_limit_ = Limit; }

  // True once Socket has registered a name, also after the name has left the
  // table: an error on such a connection is a unit's error, any other a stray peer's.
  static bool IsUnitConnection(ServerConnection& Socket) { return Socket.Input().Registered; }
  bool IsValidIndex(int Index) const { return names_.IsValidIndex(Index); }
  std::string NameAt(int Index) const { return names_.NameAt(Index); }
  int Connection_count() const { return names_.Count(); }
  // The first name Socket registered that the table still holds, or empty.
  std::string NameOf(const ServerConnection* Socket) const;

  TNotifyEvent OnClientConnectCount;  // after every registration and removal
  TReadTextEvent OnClientReadText;    // every "CS_TEXT" message
  TReadFileEvent OnClientReadFile;    // every "CS_FILE" message

  // Carries out the complete messages in State.Pending, in order, leaving an
  // incomplete one there; the loop behind every read notification. Origin is
  // the connection the bytes came from (null: none, for measuring the loop).
  // Messages already received are carried out even when Origin closes or the
  // listener is closed (a restart) meanwhile; their replies are then dropped.
  // When a message's handler throws, the messages behind it are carried out
  // on a posted continuation and the exception goes on to the caller.
  void RunReceivePass(ServerConnection* Origin, ReceiveState& State);

 private:
  void HandleClientConnect(TServerSocket* Sender, ServerConnection* Socket);
  void HandleClientDisconnect(TServerSocket* Sender, ServerConnection* Socket);
  void HandleClientRead(TServerSocket* Sender, ServerConnection* Socket);

  // Message is cut up in place; it is not used once an event has been raised.
  void ExecuteMessage(ServerConnection* Origin, std::string_view Message);
  void AddName(ServerConnection* Origin, std::string_view Rest);
  void RemoveName(ServerConnection* Origin, const std::string& Name);
  void RemoveNamesOf(ServerConnection* Origin);
  void PostContinuation(ServerConnection* Origin);
  // Reads what has arrived on Connection and carries out its messages.
  void ReadAndCarryOut(ServerConnection* Connection);
  // Carries out the messages waiting on Connection, then reads on unless paused again.
  void ContinueReading(ServerConnection* Connection);
  void CloseUnlessRegisteredLater(ServerConnection* Socket);
  // Runs the held rest of a paused command; false when this server is gone.
  bool RunHeld(ServerConnection& Connection);
  void ReleaseHeld(const std::shared_ptr<ServerConnection>& Connection);
  void RaiseConnectCount();

  TServerSocket server_;
  NameTable names_;
  std::chrono::milliseconds registration_limit_ = kRegistrationLimit;
  LimitNotice registration_notice_;
  // The connection whose message is being carried out (null: none).
  ServerConnection* carrying_ = nullptr;
  // Paused connections, kept until their pause ends (also when they close meanwhile).
  std::vector<std::shared_ptr<ServerConnection>> held_;
  bool pausing_ = true;  // false once the ending has begun
  // Expires with this server: code that raised an event checks it before going on.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};
