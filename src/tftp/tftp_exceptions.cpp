#include "tftp/tftp_exceptions.h"

#include "tftp/tftp_protocol.h"

int TftpErrorCodeFor(const std::exception& failure) {
  if (dynamic_cast<const ENetTFTPFileNotFound*>(&failure)) return tftp::kFileNotFound;
  if (dynamic_cast<const ENetTFTPAccessViolation*>(&failure)) return tftp::kAccessViolation;
  if (dynamic_cast<const ENetTFTPAllocationExceeded*>(&failure)) return tftp::kAllocationExceeded;
  if (dynamic_cast<const ENetTFTPIllegalOperation*>(&failure)) return tftp::kIllegalOperation;
  return tftp::kNotDefined;
}
