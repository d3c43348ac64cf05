#include "link/socket_error.h"

#include "link/socket_ops.h"

ESocketError SocketApiError(int code, const std::string& api) {
  return ESocketError("Windows socket error: " + std::string(socket_ops::ErrorText(code)) + " (" +
                      std::to_string(code) + "), on API '" + api + "'");
}

ESocketError AsyncSocketError(int code) {
  return ESocketError("Asynchronous socket error " + std::to_string(code));
}

EListError ListIndexError(int index) {
  return EListError("List index out of bounds (" + std::to_string(index) + ")");
}
