// The Files and Alarms pages' data: directory lists and downloads of the
// data tree, opened and listed by the tree's one confined open, as file
// transfer opens (log, config and alarms below the start directory; no "..",
// no other absolute path, no symbolic link that leads out, even one swapped
// in meanwhile), and the newest lines of each alarm file. Names are the bytes
// on disk, as Latin-1 characters. Bounded:
// a list holds at most kMaxEntries, an alarm file gives at most its last
// kAlarmTailBytes. Read only. Web server's thread only; raises nothing.
#pragma once

#include <string>

#include "store/path_resolver.h"
#include "web/http_reply.h"

class TreePages {
 public:
  static constexpr int kMaxEntries = 5000;
  static constexpr int kMaxAlarmFiles = 200;
  static constexpr int kAlarmLines = 20;
  static constexpr qint64 kAlarmTailBytes = 16 * 1024;

  explicit TreePages(const PathResolver& tree) : tree_(tree) {}

  // "" lists the three top directories; a refused path answers 403.
  HttpReply List(const std::string& treePath) const;
  HttpReply Download(const std::string& treePath) const;
  HttpReply Alarms() const;

 private:
  const PathResolver& tree_;
};

// The last complete lines of at most tailBytes at the end of the file fd (CR
// LF or LF removed), at most count of them, oldest first. fd stays open.
std::vector<std::string> LastLines(int fd, qint64 tailBytes, int count);
