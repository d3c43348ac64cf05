// The failures of the web view: the port could not be opened.
#pragma once

#include "base/exceptions.h"

class EWebServerError : public Exception {
 public:
  using Exception::Exception;
};
