#include "tftp/transfer_counters.h"

TransferCounters& TransferCounters::Process() {
  static TransferCounters counters;
  return counters;
}

void TransferCounters::Count(bool write, bool completed, std::uint64_t bytes) {
  if (write) {
    ++(completed ? writesCompleted_ : writesFailed_);
    bytesWritten_ += bytes;
  } else {
    ++(completed ? readsCompleted_ : readsFailed_);
    bytesRead_ += bytes;
  }
}

TransferCounters::Values TransferCounters::Read() const {
  return {readsCompleted_, readsFailed_, writesCompleted_,
          writesFailed_,   bytesRead_,   bytesWritten_};
}
