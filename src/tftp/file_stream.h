// A file of the data tree opened for a transfer. Owns its descriptor and
// closes it when destroyed. Used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>

#include "base/file_descriptor.h"
#include "tftp/transfer_stream.h"

class FileStream : public TransferStream {
 public:
  // fd, opened for reading, read from its start; null unless a regular file.
  static std::unique_ptr<FileStream> OpenRead(FileDescriptor fd);
  // fd, opened for writing; null when invalid.
  static std::unique_ptr<FileStream> Create(FileDescriptor fd);
  // Whether the file system of hostPath can take size more bytes (the file
  // there, if any, stays until the new one replaces it). Unknown free space
  // counts as room.
  static bool HasRoomFor(const std::string& hostPath, int64_t size);

  ~FileStream() override = default;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  size_t Read(char* buffer, size_t size) override;
  size_t Write(const char* data, size_t size) override;
  int64_t Position() const override { return position_; }
  int64_t Remaining() const override;
  // Hands what was written to the disk (fsync); false, errno set, when it failed.
  bool Flush();
  // Ends the stream at the file's present length: what is appended later is
  // not read.
  void EndAtPresentLength();

 private:
  explicit FileStream(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;
  int64_t position_ = 0;
  int64_t end_ = -1;  // the length read up to; -1: to the end of the file
};
