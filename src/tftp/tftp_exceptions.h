// The TFTP failures: each class stands for one error code of the protocol,
// and its message is the text of the error packet that answers it.
#pragma once

#include <exception>

#include "tftp/net_exceptions.h"

class ENetTFTPException : public ENetException {
 public:
  using ENetException::ENetException;
};

#define DC_TFTP_EXCEPTION(Name)               \
  class Name : public ENetTFTPException {     \
   public:                                    \
    using ENetTFTPException::ENetTFTPException; \
  };

DC_TFTP_EXCEPTION(ENetTFTPFileNotFound)             // code 1
DC_TFTP_EXCEPTION(ENetTFTPAccessViolation)          // code 2
DC_TFTP_EXCEPTION(ENetTFTPAllocationExceeded)       // code 3
DC_TFTP_EXCEPTION(ENetTFTPIllegalOperation)         // code 4
DC_TFTP_EXCEPTION(ENetTFTPUnknownTransferID)        // code 5
DC_TFTP_EXCEPTION(ENetTFTPFileAlreadyExists)        // code 6
DC_TFTP_EXCEPTION(ENetTFTPNoSuchUser)               // code 7
DC_TFTP_EXCEPTION(ENetTFTPOptionNegotiationFailed)  // code 8

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

// The error code that answers a failure: by its class, 0 for any other class.
int TftpErrorCodeFor(const std::exception& failure);
