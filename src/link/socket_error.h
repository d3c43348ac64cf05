// The failures the TCP server reports itself, with the system's exact texts,
// and the kinds of socket errors its error event names.
#pragma once

#include <string>

#include "base/exceptions.h"

// Every failure of the TCP server's sockets.
class ESocketError : public Exception {
 public:
  using Exception::Exception;
};

// A position outside a list: "List index out of bounds (%d)".
class EListError : public Exception {
 public:
  using Exception::Exception;
};

// What was going on when a socket error occurred (values as the units' peers know them).
enum class TErrorEvent {
  ekGeneral,
  ekSend,
  ekReceive,
  ekConnect,
  ekDisconnect,
  ekAccept,
  ekLookup
};

// "Windows socket error: %s (%d), on API '%s'" with the operating system's
// text for code, the code and the operation ("bind", "listen", "send", ...).
ESocketError SocketApiError(int code, const std::string& api);

// "Asynchronous socket error %d": a notification carried code.
ESocketError AsyncSocketError(int code);

// "List index out of bounds (%d)".
EListError ListIndexError(int index);

// The remaining fixed messages.
inline constexpr const char* kCantCreateSocket = "Can't create new socket";
inline constexpr const char* kCantChangeWhileActive = "Can't change value while socket is active";
