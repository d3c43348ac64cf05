// Follows one sensor log file as it grows. Each Poll reads at most one bounded
// slice of the bytes written since the last poll and turns its complete lines
// into points; a line still being written waits for its line end. A file that
// was replaced (another inode, as the retention sweep's rename leaves it), is
// shorter than what was read, or no longer holds the last bytes read where
// they were (rewritten in place) is read again from its start, and the slice
// says so. Memory stays bounded: a line longer than kMaxLineBytes is skipped.
// Owned by its reader; not thread safe; raises nothing (a file that cannot be
// opened reads as empty).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "store/record_point.h"
#include "store/short_date_format.h"

class RecordFileFollower {
 public:
  static constexpr std::size_t kDefaultSliceBytes = 1 << 18;
  static constexpr std::size_t kMaxLineBytes = 1 << 16;
  // The last bytes read, checked again at each poll.
  static constexpr std::size_t kTailBytes = 64;

  struct Slice {
    bool restarted = false;  // earlier points are void: the file is read anew from here
    std::vector<RecordPoint> points;
    long long skippedLines = 0;  // complete lines that read as no point
    bool more = false;           // the file holds further bytes; poll again soon
    std::size_t bytes = 0;       // bytes read by this poll
  };

  // Opens the file for reading: a descriptor, or -1.
  using Opener = std::function<int()>;

  // The file at hostPath, opened at each poll by open (the tree's confined
  // open for every reader of the tree).
  RecordFileFollower(std::string hostPath, Opener open, ShortDateFormat format,
                     std::size_t sliceBytes = kDefaultSliceBytes);
  // Opened confined to hostPath's own directory.
  RecordFileFollower(std::string hostPath, ShortDateFormat format,
                     std::size_t sliceBytes = kDefaultSliceBytes);
  // The opener of a file confined to its own directory.
  static Opener OpenerBeside(const std::string& hostPath);

  // Reads the next slice, of at most maxBytes when that is not 0 and smaller
  // than the slice size. currentYear places two-digit years.
  Slice Poll(int currentYear, std::size_t maxBytes = 0);

  const std::string& HostPath() const { return path_; }

 private:
  bool SameFile(int fd, dev_t device, ino_t inode, off_t size) const;
  void KeepTail(std::string_view bytes);
  void Restart(dev_t device, ino_t inode, Slice& slice);
  void TakeBytes(std::string_view bytes, int currentYear, Slice& slice);
  void TakeLine(std::string_view line, int currentYear, Slice& slice);

  std::string path_;
  Opener open_;
  ShortDateFormat format_;
  std::size_t sliceBytes_;
  bool known_ = false;  // device_ and inode_ name the file being followed
  dev_t device_ = 0;
  ino_t inode_ = 0;
  off_t offset_ = 0;       // bytes taken so far
  std::string tail_;       // the last bytes read, up to kTailBytes, ending at offset_
  std::string partial_;    // the start of a line whose end has not come yet
  bool overlong_ = false;  // skipping the rest of a line longer than kMaxLineBytes
  record_point::DateCache dates_;
};
