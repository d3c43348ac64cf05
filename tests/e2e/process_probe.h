// What end-to-end tests and the soak read about a running process from
// /proc: its open descriptors, its threads and its peak resident memory; and
// a file size limit set on it from outside (prlimit), which makes its writes
// fail as on a full disk. Each returns -1 (or false) when the process is gone.
#pragma once

#include <sys/types.h>

#include <cstdint>

int OpenDescriptorCount(pid_t pid);
int ThreadCount(pid_t pid);
// VmHWM in KiB: the most resident memory the process has had so far.
std::int64_t PeakResidentKiB(pid_t pid);
// Sets the soft RLIMIT_FSIZE of pid (at most its hard limit); RLIM_INFINITY
// lifts it again.
bool SetFileSizeLimit(pid_t pid, std::uint64_t bytes);
