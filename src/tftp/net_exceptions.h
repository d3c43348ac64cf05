// The exceptions of the UDP socket layer, each with its fixed message text.
// Socket calls report failures by return code inside the layer; the layer
// turns them into these exceptions at its public operations.
#pragma once

#include <string>

#include "base/exceptions.h"

class ENetException : public Exception {
 public:
  using Exception::Exception;
};

class ENetSilentException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetConnClosedGracefully : public ENetSilentException {
 public:
  ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

// "Socket Error # <code>\r\n<text>"; the text comes from the socket error table.
class ENetSocketError : public ENetException {
 public:
  explicit ENetSocketError(int code);
  int SocketErrorCode() const noexcept { return code_; }

 private:
  int code_;
};

class ENetInvalidSocket : public ENetException {
 public:
  ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

class ENetStackError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetStackInitializationFailed : public ENetStackError {
 public:
  ENetStackInitializationFailed() : ENetStackError("Winsock Initialization Error.") {}
};

class ENetStackSetSizeExceeded : public ENetStackError {
 public:
  ENetStackSetSizeExceeded() : ENetStackError("Set Size Exceeded.") {}
};

class ENetStackCanNotLoadWinsock : public ENetException {
 public:
  explicit ENetStackCanNotLoadWinsock(const std::string& library)
      : ENetException(library + " could not be loaded.") {}
};

class ENetSocketHandleError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetPackageSizeTooBig : public ENetSocketHandleError {
 public:
  ENetPackageSizeTooBig() : ENetSocketHandleError("Package Size Too Big.") {}
};

class ENetNotAllBytesSent : public ENetSocketHandleError {
 public:
  ENetNotAllBytesSent() : ENetSocketHandleError("Not all bytes sent.") {}
};

class ENetCouldNotBindSocket : public ENetSocketHandleError {
 public:
  ENetCouldNotBindSocket()
      : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class ENetUDPException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetUDPReceiveErrorZeroBytes : public ENetUDPException {
 public:
  ENetUDPReceiveErrorZeroBytes() : ENetUDPException("UDP Receive Error = 0.") {}
};

class ENetUDPServerException : public ENetUDPException {
 public:
  using ENetUDPException::ENetUDPException;
};

class ENetNoBindingsSpecified : public ENetUDPServerException {
 public:
  ENetNoBindingsSpecified() : ENetUDPServerException("No bindings specified.") {}
};
