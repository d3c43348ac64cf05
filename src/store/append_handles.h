// Files kept open for appending between log records. Every Append hands its
// bytes to the operating system (write(2)) before it returns, so nothing
// waits in a buffer. A handle is used only while the path still names the
// file it was opened on (same device and inode); a file that was renamed
// over, replaced or deleted is opened anew. Before the first append after a
// file is opened, and after a write to it failed, a last line without its
// end (cut by a crash) gets CR LF, so no record is glued onto it. Closes
// everything on destruction. Main thread only.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_map>

class AppendHandles {
 public:
  AppendHandles() = default;
  ~AppendHandles();
  AppendHandles(const AppendHandles&) = delete;
  AppendHandles& operator=(const AppendHandles&) = delete;

  // Appends bytes to the existing file hostPath, whose current identity
  // (from stat) is device/inode. Raises EInOutError when opening or writing
  // fails; none of the bytes are then left in the file.
  void Append(const std::string& hostPath, dev_t device, ino_t inode, std::string_view bytes);

  void CloseAll();
  std::size_t OpenCount() const { return handles_.size(); }

 private:
  struct Handle {
    int fd;
    dev_t device;
    ino_t inode;
    bool lineEnded;  // its last line was seen ended, and no write failed since
  };
  static constexpr std::size_t kMaxOpen = 128;

  Handle& HandleFor(const std::string& hostPath, dev_t device, ino_t inode);

  std::unordered_map<std::string, Handle> handles_;
};

// Writes all of bytes to fd, retrying interrupted and partial writes; raises
// EInOutError on failure.
void WriteAll(int fd, std::string_view bytes);
// As WriteAll for a file opened for appending by its only writer, but a
// failed write leaves no part behind: what was written is cut off again, so
// a record that did not fit (full disk) never joins the next one.
void AppendWhole(int fd, std::string_view bytes);
// Appends CR LF to the file fd (open for reading and appending, size bytes
// long) when its last byte is not LF (only LF after a lone CR). Raises EInOutError.
void EndTornLine(int fd, off_t size);
// For tests: every AppendWhole fails with errorNumber (ENOSPC, EROFS, ...)
// until it is set back to 0. Main thread only.
void FailAppendsForTests(int errorNumber);
// Opens hostPath for appending, ends a torn last line (EndTornLine), appends
// bytes as AppendWhole does and closes it again. Raises EInOutError (a
// missing file included).
void AppendToFile(const std::string& hostPath, std::string_view bytes);
