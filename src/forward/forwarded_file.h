// One file the broker forwarder follows (a unit's combined log or an alarm
// file): read from the ledger's position in bounded chunks of whole lines,
// with the lines published and not yet acknowledged in order, so that the
// position only moves over lines the broker acknowledged. A file replaced
// under its name (the sweep, a file transfer) is taken up again where the
// ledger says. Used on the forwarder's thread only; raises EInOutError.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_descriptor.h"

class ForwardLedger;

class ForwardedFile {
 public:
  enum class Kind { kRecords, kAlarms };
  struct Line {
    std::string text;  // without its line end
    long long end;     // the offset after its line end
  };

  ForwardedFile(std::string hostPath, Kind kind, std::string name, ForwardLedger& ledger);

  Kind FileKind() const { return kind_; }
  const std::string& Name() const { return name_; }  // the unit, or the alarm file's name
  const std::string& HostPath() const { return hostPath_; }
  // Reopens the file when its name leads to another one now; false when it is gone.
  bool Follow();
  // Whole lines from the read position, at most maxLines and about maxBytes
  // (a longer line is cut at kMaxLine); each is pending until Acknowledge.
  std::vector<Line> Read(std::size_t maxBytes, std::size_t maxLines);
  int Generation() const { return generation_; }
  void Acknowledge(long long end);
  // Keeps the acknowledged position in the ledger when it moved, at most
  // every interval unless nothing is pending any more.
  void Commit(std::chrono::milliseconds interval);
  // The connection was lost: the unacknowledged lines are read again.
  void Rewind();
  long long BacklogBytes() const { return size_ > acked_ ? size_ - acked_ : 0; }
  // Counts the lines not yet forwarded, reading at most maxBytes more of them.
  long long BacklogLines(std::size_t maxBytes);
  std::size_t Pending() const { return pending_.size(); }
  // When the oldest line not yet acknowledged was first seen; nothing when none waits.
  std::optional<std::chrono::steady_clock::time_point> OldestWaiting() const;

  static constexpr std::size_t kMaxLine = 1 << 20;

 private:
  void Open();
  void NoteGrowth(long long size);
  struct Sent {
    long long end;
    bool acked;
  };

  std::string hostPath_;
  Kind kind_;
  std::string name_;
  ForwardLedger& ledger_;
  FileDescriptor fd_;
  ino_t inode_ = 0;
  long long size_ = 0;
  long long read_ = 0;       // next byte to publish
  long long acked_ = 0;      // the broker has every line before it
  long long committed_ = 0;  // what the ledger keeps
  std::chrono::steady_clock::time_point lastCommit_;
  std::deque<Sent> pending_;
  int generation_ = 0;
  // Up to which offset the file had grown at which moment, past acked_;
  // at most kMaxSeen, the oldest ones merged (so ages are never understated).
  std::deque<std::pair<long long, std::chrono::steady_clock::time_point>> seen_;
  static constexpr std::size_t kMaxSeen = 1024;
  long long countedTo_ = 0;  // lines of [acked_, countedTo_) are counted in counted_
  long long counted_ = 0;
};
