// The metrics in the Prometheus text format (version 0.0.4): what the store,
// the unit link and file transfer have counted, the data tree's free space,
// and each sensor's newest value and its time (by the plots' rule), with the
// sensors past the limit counted. Label values are the units' 8-bit names,
// each byte as its Latin-1 character in UTF-8, escaped as the format asks. Thread safe (it reads
// only what it is handed and the process-wide counters).
#pragma once

#include <QByteArray>
#include <string>
#include <vector>

#include "store/path_resolver.h"
#include "web/sensor_pages.h"
#include "web/web_state.h"

// Why records cannot be written now: the file and reason of the last pass of
// writes that lost something, or the tree's file system mounted read-only;
// empty while the tree takes writes.
std::string TreeWriteFailure(const PathResolver& tree);

QByteArray MetricsText(const OverviewState& state, const NewestRecords& sensors,
                       const PathResolver& tree);
