// The data a session moves: the file the server opened, or a stream that an
// OnReadFile/OnWriteFile handler supplied. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

class TransferStream {
 public:
  virtual ~TransferStream() = default;
  // Up to size bytes from the current position; fewer only at the end or on
  // a failed read (which gives 0).
  virtual size_t Read(char* buffer, size_t size) = 0;
  // Appends at the current position; returns the bytes taken (all, or fewer
  // when the medium is full or failing).
  virtual size_t Write(const char* data, size_t size) = 0;
  virtual int64_t Position() const = 0;
  // Bytes from the current position to the end, or -1 when unknown.
  virtual int64_t Remaining() const { return -1; }
  // The last block of an upload is written: the data becomes the file
  // (a store replaces its target here). Raises EWriteError when it cannot.
  virtual void Finish() {}
};
