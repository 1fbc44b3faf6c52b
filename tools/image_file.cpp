#include "tools/image_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>
#include <system_error>
#include <utility>

#include "tools/byte_size.h"

namespace {

// Attempts at a fresh temporary name, and interrupted calls retried in a row, before giving up.
constexpr int NameAttempts = 16;
constexpr int InterruptRetries = 100;
// Links followed in a row, as many as the kernel follows.
constexpr int MostLinks = 40;

constexpr int CleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The named temporary file, for the signal handler to remove. Changed only with the cleanup
// signals blocked on the one thread that takes them, so the handler never meets it half
// written; the flag is raised only after the file exists and lowered once it is gone.
char pending_path[PATH_MAX];
volatile sig_atomic_t has_pending_path = 0;

void SetPendingPath(const std::string& path) {
  // Longer paths never name a file: open and link refuse them.
  if (path.size() >= sizeof pending_path) return;
  std::memcpy(pending_path, path.c_str(), path.size() + 1);
  has_pending_path = 1;
}

void RemovePendingFileAndReraise(int signal_number) {
  if (has_pending_path) unlink(pending_path);
  // SA_RESETHAND has restored the default action; the signal, blocked while the handler
  // runs, ends the process as it returns, so that the parent sees how the run ended.
  raise(signal_number);
}

// "." before the destination's name, "." and eight hex digits and ".part" after it.
constexpr size_t NameOverhead = 15;

// A hidden name beside the destination, within NAME_MAX however long the destination's name:
// of a long name only the first bytes are kept, cut before a UTF-8 continuation byte so
// that the name stays readable.
std::string TemporaryName(const std::string& destination) {
  size_t slash = destination.rfind('/');
  size_t base_start = slash == std::string::npos ? 0 : slash + 1;
  std::string_view base = std::string_view(destination).substr(base_start);
  size_t keep = std::min(base.size(), size_t{NAME_MAX} - NameOverhead);
  while (keep > 0 && keep < base.size() && (base[keep] & 0xC0) == 0x80)
    --keep;
  static std::mt19937 generator{std::random_device{}()};
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(generator()));
  return destination.substr(0, base_start) + "." + std::string(base.substr(0, keep)) + suffix +
         ".part";
}

std::string FolderOf(const std::string& destination) {
  size_t slash = destination.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : destination.substr(0, slash);
}

// Makes the folder's entries durable, the image's new name among them. Best effort: the
// rename has been done whatever this finds.
void FlushFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
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

// Writes all bytes at offset, or at the file's position when offset is negative, resuming
// after interruptions and short writes. Returns 0 or the errno of the failure.
int WriteAll(int fd, const unsigned char* data, size_t size, off_t offset) {
  int interruptions = 0;
  while (size > 0) {
    ssize_t written = offset < 0 ? write(fd, data, size) : pwrite(fd, data, size, offset);
    if (written < 0 && errno == EINTR && ++interruptions < InterruptRetries) continue;
    if (written < 0) return errno;
    // A write that makes no progress would loop forever; it means the device is full.
    if (written == 0) return ENOSPC;
    data += written;
    size -= static_cast<size_t>(written);
    if (offset >= 0) offset += written;
    interruptions = 0;
  }
  return 0;
}

}  // namespace

std::string FollowLinks(const std::string& destination, std::string& target) {
  target = destination;
  int error_number = ELOOP;
  for (int followed = 0; followed <= MostLinks; ++followed) {
    struct stat info;
    if (lstat(target.c_str(), &info) != 0) {
      if (errno == ENOENT) return {};
      error_number = errno;
      break;
    }
    if (!S_ISLNK(info.st_mode)) return {};
    std::error_code error;
    std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error) {
      error_number = error.value();
      break;
    }
    // A relative link leads on from its own folder.
    target = link.is_absolute() ? link.string() : FolderOf(target) + "/" + link.string();
  }
  return "cannot create " + destination + ": " + std::strerror(error_number);
}

void RemoveTemporaryFileOnSignals() {
  struct sigaction action {};
  action.sa_handler = RemovePendingFileAndReraise;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal_number : CleanupSignals)
    sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : CleanupSignals) {
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) != 0) continue;
    if (previous.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

CleanupSignalsBlocked::CleanupSignalsBlocked() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal_number : CleanupSignals)
    sigaddset(&signals, signal_number);
  pthread_sigmask(SIG_BLOCK, &signals, &previous_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() {
  if (restore_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

ImageFile::~ImageFile() {
  Discard();
}

std::string ImageFile::Create() {
  // 0666 rather than mkstemp's 0600, so that the image gets the umask's permissions like
  // any other new file.
  fd_ = open(FolderOf(destination_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  // A file system without unnamed files answers EOPNOTSUPP, a kernel without them takes the
  // flag for O_DIRECTORY and answers EISDIR, and some answer EINVAL.
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string failure = CreateNamed();
    if (!failure.empty()) return failure;
  }
  if (fd_ < 0) return Failure("cannot create a file beside", errno);
  struct stat info;
  if (fstat(fd_, &info) != 0) return Failure("cannot examine", errno);
  device_ = info.st_dev;
  inode_ = info.st_ino;
  return {};
}

std::string ImageFile::CreateNamed() {
  CleanupSignalsBlocked blocked;
  for (int attempt = 0; attempt < NameAttempts; ++attempt) {
    std::string name = TemporaryName(destination_);
    fd_ = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temporary_ = std::move(name);
      SetPendingPath(temporary_);
      return {};
    }
    if (errno != EEXIST) break;
  }
  return Failure("cannot create a file beside", errno);
}

std::string ImageFile::Write(const unsigned char* data, size_t size) {
  int error_number = WriteAll(fd_, data, size, -1);
  return error_number == 0 ? "" : Failure("cannot write", error_number);
}

std::string ImageFile::WriteAt(const unsigned char* data, size_t size, uint64_t offset) const {
  int error_number = WriteAll(fd_, data, size, static_cast<off_t>(offset));
  return error_number == 0 ? "" : Failure("cannot write", error_number);
}

std::string ImageFile::CheckRoom(uint64_t size) const {
  // The temporary file lies in the destination's folder, on its file system.
  struct statvfs room;
  if (fstatvfs(fd_, &room) != 0) return {};
  const uint64_t free_bytes = uint64_t{room.f_bavail} * room.f_frsize;
  if (size <= free_bytes) return {};
  std::string needed = ByteSizeText(size);
  std::string available = ByteSizeText(free_bytes);
  // Rounded alike, the two would read as though the image fitted.
  if (needed == available) {
    needed = std::to_string(size) + " bytes";
    available = std::to_string(free_bytes) + " bytes";
  }
  std::error_code error;
  std::filesystem::path folder = std::filesystem::absolute(FolderOf(destination_), error);
  std::string folder_text = error ? FolderOf(destination_) : folder.lexically_normal().string();
  if (folder_text.size() > 1 && folder_text.back() == '/') folder_text.pop_back();
  return "not enough space in " + folder_text + ": the image needs " + needed + ", " + available +
         " is free";
}

std::string ImageFile::Resize(uint64_t size) {
  if (ftruncate(fd_, static_cast<off_t>(size)) != 0) return Failure("cannot write", errno);
  return {};
}

// Links the unnamed file into its folder under a temporary name, from which it moves to the
// destination like a named one: linkat cannot replace a file.
std::string ImageFile::GiveName() {
  char descriptor_path[32];
  std::snprintf(descriptor_path, sizeof descriptor_path, "/proc/self/fd/%d", fd_);
  CleanupSignalsBlocked blocked;
  for (int attempt = 0; attempt < NameAttempts; ++attempt) {
    std::string name = TemporaryName(destination_);
    // Through /proc anyone may link a file they opened; AT_EMPTY_PATH needs no /proc but,
    // on older kernels, a privilege.
    int linked = linkat(AT_FDCWD, descriptor_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT) {
      linked = linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
    }
    if (linked == 0) {
      temporary_ = std::move(name);
      SetPendingPath(temporary_);
      return {};
    }
    if (errno != EEXIST) break;
  }
  return Failure("cannot create a file beside", errno);
}

void ImageFile::WriteBack(uint64_t through) {
  // In steps, so that a run of small pieces makes few calls.
  constexpr uint64_t Step = uint64_t{4} << 20;
  if (through < write_back_started_ + Step) return;
  sync_file_range(fd_, static_cast<off_t>(write_back_started_),
                  static_cast<off_t>(through - write_back_started_), SYNC_FILE_RANGE_WRITE);
  write_back_started_ = through;
  if (through < written_back_ + WriteBackLag + Step) return;
  // The device works on the bytes after these meanwhile.
  uint64_t until = through - WriteBackLag;
  sync_file_range(fd_, static_cast<off_t>(written_back_), static_cast<off_t>(until - written_back_),
                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  written_back_ = until;
}

std::string ImageFile::Commit(size_t expected_size, bool replace) {
  struct stat info;
  if (fstat(fd_, &info) != 0) return Failure("cannot examine", errno);
  if (static_cast<size_t>(info.st_size) != expected_size) {
    return "the image holds " + std::to_string(info.st_size) + " of " +
           std::to_string(expected_size) + " bytes";
  }
  // On the device before it gets its name, so that once the run says the image is made, a
  // power cut cannot leave the destination naming a file whose data never reached the disk.
  if (fdatasync(fd_) != 0) return Failure("cannot write", errno);
  // Only the descriptor reaches an unnamed file, so it gets its name before the close.
  if (temporary_.empty()) {
    std::string failure = GiveName();
    if (!failure.empty()) return failure;
  }
  // Closing reports write errors that the file system deferred (NFS, quotas).
  int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) return Failure("cannot write", errno);
  // From here a cleanup signal waits for the rename: should it fail, the signal ends the
  // process as the guard goes, removing the temporary file; once it has succeeded, so has the
  // run, and the signal stays blocked until the process ends.
  CleanupSignalsBlocked blocked;
  int renamed = replace ? rename(temporary_.c_str(), destination_.c_str())
                        : RenameExclusive(temporary_.c_str(), destination_.c_str());
  if (renamed != 0) return errno == EEXIST ? "file exists" : Failure("cannot replace", errno);
  FlushFolder(FolderOf(destination_));
  temporary_.clear();
  has_pending_path = 0;
  std::move(blocked).Keep();
  return {};
}

std::string ImageFile::Failure(const std::string& what, int error_number) const {
  return what + " " + destination_ + ": " + std::strerror(error_number);
}

void ImageFile::Discard() {
  // An unnamed file goes with its descriptor.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (temporary_.empty()) return;
  CleanupSignalsBlocked blocked;
  unlink(temporary_.c_str());
  has_pending_path = 0;
  temporary_.clear();
}
