// The standard process metrics of the Prometheus exposition format
// (process_cpu_seconds_total, process_resident_memory_bytes, process_open_fds,
// process_start_time_seconds and their neighbours) read from /proc, and
// datacontroller_build_info{version}. Stateless; any thread; a value that
// cannot be read is left out, never raised.
#pragma once

#include <QByteArray>

namespace process_metrics {

QByteArray Text();

}  // namespace process_metrics
