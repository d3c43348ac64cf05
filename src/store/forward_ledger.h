// How far the broker forwarder got in each file it forwards, kept in the tree
// (".datacontroller-forward/" in the start directory, which the retention
// sweep, file transfer and the views never list): one small file per
// forwarded file with its inode and the offset after the last line the broker
// acknowledged, replaced by rename after a flush. The retention sweep tells
// the ledger before it replaces a file, so a position survives the file
// being rewritten shorter; old lines removed before they were forwarded are
// counted as expired. Thread safe: the forwarder's thread and the sweep on
// the main thread. Raises EInOutError when the directory cannot be made.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class ForwardLedger {
 public:
  static constexpr const char* kDirectoryName = ".datacontroller-forward";

  // Loads the positions kept below startDirectory (made when missing).
  explicit ForwardLedger(std::string startDirectory);

  // Where to go on in the file at hostPath whose inode is inode: the kept
  // offset, or 0 when nothing is kept for this inode (a new or replaced file).
  long long Resume(const std::string& hostPath, ino_t inode);
  // Keeps offset (a line end) as forwarded for the file of inode, flushed
  // before the return; false (nothing kept) when the sweep replaced that file
  // since: the forwarder then resumes the new file.
  bool Commit(const std::string& hostPath, ino_t inode, long long offset);
  // For the retention sweep: runs rename (temporaryPath over hostPath, true
  // when it replaced the file) with the kept position moved to the same
  // line of the new content, under the ledger's lock; a rename that did not
  // happen leaves the position as it was. Raises what rename raises.
  bool Replace(const std::string& hostPath, const std::string& temporaryPath,
               const std::function<bool()>& rename);
  // Lines the sweep removed before they were forwarded, since the start.
  long long ExpiredLines() const { return expired_.load(); }

 private:
  struct Entry {
    ino_t inode = 0;
    long long offset = 0;
    ino_t previousInode = 0;  // the file before the sweep's rename, while it may be there
    long long previousOffset = 0;
  };
  std::string Key(const std::string& hostPath) const;
  std::string EntryPath(const std::string& key) const;
  void Load();
  void Write(const std::string& key, const Entry& entry);

  std::string startDirectory_;
  std::string directory_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;  // by path below the start directory; guarded by mutex_
  std::atomic<long long> expired_{0};
};
