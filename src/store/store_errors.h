// The failures the data store raises. Each carries the one message text the
// operator is shown; the texts are fixed by the data tree's protocol.
#pragma once

#include <string>
#include <string_view>

#include "base/exceptions.h"

// A directory could not be entered or created, or a file could not be created
// or was missing ("Can't change into directory …", "Cannot create …", …).
class EDataStoreError : public Exception {
 public:
  using Exception::Exception;
};

// A record or alarm line that could not be written: already counted and
// reported by the store (see WriteFaults), so it only ends the handler.
class ENotStored : public EAbort {
 public:
  using EAbort::EAbort;
};

// A name that a unit supplied would have left its place in the tree.
class EInvalidName : public EDataStoreError {
 public:
  using EDataStoreError::EDataStoreError;
};

// Opening, reading, writing or closing a file failed; the message is the
// runtime's text for the error number ("File not found", "Disk full", …).
class EInOutError : public Exception {
 public:
  explicit EInOutError(int errorNumber);
  int ErrorNumber() const { return errorNumber_; }

 private:
  int errorNumber_;
};

// The runtime's text for an error number of a failed file operation.
std::string InOutErrorText(int errorNumber);

// Raises EInvalidName unless value can stand as one component of a path:
// not empty, not "." or "..", and without "\", "/" or a NUL byte.
// Names that get an extension appended are checked before it is appended.
void RequireComponentName(std::string_view value);
// The same for the base of a file name that gets an extension appended (a
// sensor or alarm name): an empty base is a name, the file ".dat".
void RequireFileBaseName(std::string_view value);
