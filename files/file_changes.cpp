#include "files/file_changes.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

#include "runtime/text_conversion.h"

namespace {

constexpr int kNameAttempts = 16;
// "." + name + "." + eight digits + ".part" must still be a legal name.
constexpr size_t kLongestName = NAME_MAX;
constexpr size_t kAddedBytes = 1 + 1 + 8 + 5;

std::string Utf8(const char16_t* text) {
  char* copy = StringToUtf8Copy(text);
  std::string bytes = copy == nullptr ? std::string() : std::string(copy);
  FreeConvertedCopy(copy);
  return bytes;
}

// A name cut short must not end inside a multi-byte character.
std::string Shortened(std::string name, size_t room) {
  if (name.size() <= room) return name;
  size_t cut = room;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
    --cut;
  return name.substr(0, cut);
}

std::string TemporaryName(const std::string& path, uint32_t serial) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x.part", serial);
  return folder + "." + Shortened(name, kLongestName - kAddedBytes) + suffix;
}

}  // namespace

char16_t* CreateTemporaryFileBeside(const char16_t* path, StringResultPosition p) {
  const std::string target = Utf8(path);
  if (target.empty()) return SetEmptyStringResult(p);
  static std::mt19937 generator{std::random_device{}()};
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string candidate = TemporaryName(target, static_cast<uint32_t>(generator()));
    int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      return Utf8ToStringStack(candidate.c_str(), p);
    }
    if (errno != EEXIST) break;
  }
  return SetEmptyStringResult(p);
}

namespace {

// Waits until the data written to path has reached the disk. True on success, else errno
// says why.
bool FlushData(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = fdatasync(fd) == 0;
  const int error = errno;
  close(fd);
  errno = error;
  return flushed;
}

// The folder that holds path: a rename is durable only once that folder is flushed. Best
// effort: the rename has happened whatever this says.
void FlushFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool ReplaceFile(const char16_t* from, const char16_t* to) {
  const std::string source = Utf8(from);
  const std::string target = Utf8(to);
  if (!FlushData(source) || rename(source.c_str(), target.c_str()) != 0) return false;
  FlushFolderOf(target);
  return true;
}

bool RemoveFile(const char16_t* path) {
  return unlink(Utf8(path).c_str()) == 0;
}
