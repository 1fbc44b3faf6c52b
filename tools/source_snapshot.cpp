#include "tools/source_snapshot.h"

#include <cerrno>
#include <cstring>

bool SameFileState(const struct stat& scanned, const struct stat& now) {
  return scanned.st_dev == now.st_dev && scanned.st_ino == now.st_ino &&
         scanned.st_size == now.st_size && scanned.st_mtim.tv_sec == now.st_mtim.tv_sec &&
         scanned.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
}

std::string VanishedReason(const std::string& path) {
  return path + " vanished while the image was being made";
}

std::string ChangedReason(const std::string& path) {
  return path + " changed while the image was being made";
}

void SourceSnapshot::Add(std::string path, const struct stat& scanned) {
  entries_.push_back({std::move(path), scanned});
}

std::string SourceSnapshot::FindChange() const {
  for (const Entry& entry : entries_) {
    struct stat now;
    if (lstat(entry.path.c_str(), &now) != 0) {
      if (errno == ENOENT) return VanishedReason(entry.path);
      return "cannot examine " + entry.path + ": " + std::strerror(errno);
    }
    if (!SameFileState(entry.scanned, now)) return ChangedReason(entry.path);
  }
  return {};
}
