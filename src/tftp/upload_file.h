// The file a store writes: a temporary file beside its target, named as the
// tree's temporary files are (no listing shows them, no transfer serves them,
// and the retention sweep removes the ones that no transfer holds). Finish
// flushes it to the disk and renames it over the target; destroyed unfinished,
// it is removed and the target stays as it was. Every step names the file
// below its directory's descriptor, so a directory swapped for a link
// meanwhile cannot send it elsewhere. Used by one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "base/file_descriptor.h"
#include "store/busy_files.h"
#include "tftp/file_stream.h"
#include "tftp/transfer_stream.h"

class UploadFile : public TransferStream {
 public:
  // The temporary file for hostPath (whose directory is open as directory,
  // confined), with the permissions of the file there; null when hostPath
  // names no regular file and no free name, or its directory takes no new file.
  static std::unique_ptr<UploadFile> Create(FileDescriptor directory, const std::string& hostPath);

  ~UploadFile() override;
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  size_t Read(char*, size_t) override { return 0; }
  size_t Write(const char* data, size_t size) override { return file_->Write(data, size); }
  int64_t Position() const override { return file_->Position(); }
  // Raises EWriteError when the file cannot be flushed or renamed; the
  // target is then as it was.
  void Finish() override;

 private:
  UploadFile(FileDescriptor directory, std::string target, std::string temporary,
             BusyFiles::Mark mark, std::unique_ptr<FileStream> file);

  FileDescriptor directory_;
  std::string target_;     // names below directory_
  std::string temporary_;
  BusyFiles::Mark mark_;  // on the temporary name, so the sweep leaves it alone
  std::unique_ptr<FileStream> file_;
  bool renamed_ = false;
};
