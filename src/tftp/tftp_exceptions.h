// The failures that end a request or a session with one error packet: each
// ENetTFTP class stands for one error code of the protocol, and every message
// is the text of the packet that answers it.
#pragma once

#include <exception>

#include "base/exceptions.h"

class ENetTFTPException : public Exception {
 public:
  using Exception::Exception;
};

#define DC_TFTP_EXCEPTION(Name)                 \
  class Name : public ENetTFTPException {       \
   public:                                      \
    using ENetTFTPException::ENetTFTPException; \
  };

DC_TFTP_EXCEPTION(ENetTFTPFileNotFound)        // code 1
DC_TFTP_EXCEPTION(ENetTFTPAccessViolation)     // code 2
DC_TFTP_EXCEPTION(ENetTFTPAllocationExceeded)  // code 3
DC_TFTP_EXCEPTION(ENetTFTPIllegalOperation)    // code 4

#undef DC_TFTP_EXCEPTION

// A file did not take all the bytes of a block (a full disk, for one).
class EWriteError : public Exception {
 public:
  using Exception::Exception;
};

// A datagram ended before the field being read.
class EReadError : public Exception {
 public:
  EReadError() : Exception("Stream read error") {}
};

// An empty datagram arrived at a session's port.
class ENetUDPReceiveErrorZeroBytes : public Exception {
 public:
  ENetUDPReceiveErrorZeroBytes() : Exception("UDP Receive Error = 0.") {}
};

// The error code that answers a failure: by its class, 0 for any other class.
int TftpErrorCodeFor(const std::exception& failure);
