#include "tftp/upload_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "base/retry_on_interrupt.h"
#include "store/directory_scan.h"
#include "tftp/tftp_exceptions.h"

namespace {

// The pattern's six X replaced by letters and digits.
std::string TemporaryName() {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string name = directory_scan::kTemporaryPattern;
  for (char& c : name) {
    if (c == 'X') c = kAlphabet[pick(random)];
  }
  return name;
}

// The target's permissions, or the usual ones for a new file; false when
// something other than a regular file has the target's name.
bool TargetMode(int directory, const std::string& target, mode_t& mode) {
  struct stat info {};
  if (::fstatat(directory, target.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    mode = 0644;
    return errno == ENOENT;
  }
  mode = info.st_mode & 07777;
  return S_ISREG(info.st_mode);
}

}  // namespace

// The temporary name is marked before the file exists, so the sweep never
// sees it unmarked; a name taken by another file is tried again.
std::unique_ptr<UploadFile> UploadFile::Create(FileDescriptor directory,
                                               const std::string& hostPath) {
  constexpr int kNameTries = 16;
  const size_t slash = hostPath.rfind('/');
  const std::string hostDirectory = hostPath.substr(0, slash);
  const std::string target = hostPath.substr(slash + 1);
  mode_t mode = 0;
  if (!directory.Valid() || !TargetMode(directory.Get(), target, mode)) return nullptr;
  for (int i = 0; i < kNameTries; ++i) {
    std::string temporary = TemporaryName();
    BusyFiles::Mark mark =
        BusyFiles::Instance().TryMark(hostDirectory + "/" + temporary, BusyFiles::Mode::kWrite);
    if (!mark) continue;
    std::unique_ptr<FileStream> file = FileStream::Create(FileDescriptor(RetryOnInterrupt([&] {
      return ::openat(directory.Get(), temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    })));
    if (file) {
      return std::unique_ptr<UploadFile>(new UploadFile(std::move(directory), target,
                                                        std::move(temporary), std::move(mark),
                                                        std::move(file)));
    }
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

UploadFile::UploadFile(FileDescriptor directory, std::string target, std::string temporary,
                       BusyFiles::Mark mark, std::unique_ptr<FileStream> file)
    : directory_(std::move(directory)),
      target_(std::move(target)),
      temporary_(std::move(temporary)),
      mark_(std::move(mark)),
      file_(std::move(file)) {}

// A file that cannot be removed now stays a leftover that no listing shows
// and no transfer serves; the retention sweep removes those below log/.
UploadFile::~UploadFile() {
  file_.reset();
  if (!renamed_) ::unlinkat(directory_.Get(), temporary_.c_str(), 0);
}

// Flushed before the rename: a power loss leaves the old file or the whole new one.
void UploadFile::Finish() {
  if (!file_->Flush() ||
      ::renameat(directory_.Get(), temporary_.c_str(), directory_.Get(), target_.c_str()) != 0) {
    throw EWriteError("Write error");
  }
  renamed_ = true;
}
