#include "forward/forward_counters.h"

ForwardCounters& ForwardCounters::Process() {
  static ForwardCounters counters;
  return counters;
}
