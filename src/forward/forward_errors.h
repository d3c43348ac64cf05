// The exception of the broker forwarder: one message text, for the operator.
#pragma once

#include "base/exceptions.h"

class EForwardError : public Exception {
 public:
  using Exception::Exception;
};
