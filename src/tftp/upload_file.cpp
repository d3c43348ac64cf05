#include "tftp/upload_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "store/directory_scan.h"
#include "tftp/tftp_exceptions.h"

namespace {

// The pattern's six X replaced by letters and digits.
std::string TemporaryNameIn(const std::string& directory) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string name = directory_scan::kTemporaryPattern;
  for (char& c : name) {
    if (c == 'X') c = kAlphabet[pick(random)];
  }
  return directory + "/" + name;
}

// The target's permissions, or the usual ones for a new file; false when
// something other than a regular file has the target's name.
bool TargetMode(const std::string& target, mode_t& mode) {
  struct stat info {};
  if (::stat(target.c_str(), &info) != 0) {
    mode = 0644;
    return errno == ENOENT;
  }
  mode = info.st_mode & 07777;
  return S_ISREG(info.st_mode);
}

}  // namespace

// The temporary name is marked before the file exists, so the sweep never
// sees it unmarked; a name taken by another file is tried again.
std::unique_ptr<UploadFile> UploadFile::Create(const std::string& hostPath) {
  constexpr int kNameTries = 16;
  mode_t mode = 0;
  if (!TargetMode(hostPath, mode)) return nullptr;
  const std::string directory = hostPath.substr(0, hostPath.rfind('/'));
  for (int i = 0; i < kNameTries; ++i) {
    std::string temporary = TemporaryNameIn(directory);
    BusyFiles::Mark mark = BusyFiles::Instance().TryMark(temporary, BusyFiles::Mode::kWrite);
    if (!mark) continue;
    std::unique_ptr<FileStream> file = FileStream::CreateNew(temporary, mode);
    if (file) {
      return std::unique_ptr<UploadFile>(
          new UploadFile(hostPath, std::move(temporary), std::move(mark), std::move(file)));
    }
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

UploadFile::UploadFile(std::string target, std::string temporary, BusyFiles::Mark mark,
                       std::unique_ptr<FileStream> file)
    : target_(std::move(target)),
      temporary_(std::move(temporary)),
      mark_(std::move(mark)),
      file_(std::move(file)) {}

// A file that cannot be removed now stays a leftover that no listing shows
// and no transfer serves; the retention sweep removes those below log/.
UploadFile::~UploadFile() {
  file_.reset();
  if (!renamed_) ::unlink(temporary_.c_str());
}

// Flushed before the rename: a power loss leaves the old file or the whole new one.
void UploadFile::Finish() {
  if (!file_->Flush() || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    throw EWriteError("Write error");
  }
  renamed_ = true;
}
