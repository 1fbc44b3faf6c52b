#include "tools/image_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace {

// Attempts at a fresh temporary name, and interrupted calls retried in a row, before giving up.
constexpr int NameAttempts = 16;
constexpr int InterruptRetries = 100;

std::string TemporaryName(const std::string& destination) {
  size_t slash = destination.rfind('/');
  std::string folder = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? destination : destination.substr(slash + 1);
  static std::mt19937 generator{std::random_device{}()};
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(generator()));
  return folder + "." + base + suffix + ".part";
}

// Moves from to the vacant name to; fails with EEXIST when to exists. Falls back to a hard
// link where the file system has no exclusive rename.
int RenameExclusive(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (link(from, to) != 0) return -1;
  unlink(from);
  return 0;
}

}  // namespace

ImageFile::~ImageFile() {
  Discard();
}

std::string ImageFile::Create() {
  for (int attempt = 0; attempt < NameAttempts; ++attempt) {
    temporary_ = TemporaryName(destination_);
    // 0666 rather than mkstemp's 0600, so that the image gets the umask's permissions like
    // any other new file.
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) return {};
    if (errno != EEXIST) break;
  }
  std::string reason = Failure("cannot create a file beside", errno);
  temporary_.clear();
  return reason;
}

std::string ImageFile::Write(const unsigned char* data, size_t size) {
  int interruptions = 0;
  while (size > 0) {
    ssize_t written = write(fd_, data, size);
    if (written < 0 && errno == EINTR && ++interruptions < InterruptRetries) continue;
    if (written < 0) return Failure("cannot write", errno);
    // A write that makes no progress would loop forever; it means the device is full.
    if (written == 0) return Failure("cannot write", ENOSPC);
    data += written;
    size -= static_cast<size_t>(written);
    interruptions = 0;
  }
  return {};
}

std::string ImageFile::Commit(size_t expected_size, bool replace) {
  struct stat info;
  if (fstat(fd_, &info) != 0) return Failure("cannot examine", errno);
  if (static_cast<size_t>(info.st_size) != expected_size) {
    return "the image holds " + std::to_string(info.st_size) + " of " +
           std::to_string(expected_size) + " bytes";
  }
  // Closing reports write errors that the file system deferred (NFS, quotas).
  int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) return Failure("cannot write", errno);
  int renamed = replace ? rename(temporary_.c_str(), destination_.c_str())
                        : RenameExclusive(temporary_.c_str(), destination_.c_str());
  if (renamed != 0) return errno == EEXIST ? "file exists" : Failure("cannot replace", errno);
  temporary_.clear();
  return {};
}

std::string ImageFile::Failure(const std::string& what, int error_number) const {
  return what + " " + destination_ + ": " + std::strerror(error_number);
}

void ImageFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
}
