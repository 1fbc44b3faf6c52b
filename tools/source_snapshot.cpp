#include "tools/source_snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t NameBlockSize = size_t{64} << 10;

static_assert(sizeof(SourceSnapshot::File) <= 64, "a file's record grew");

}  // namespace

bool FileState::Matches(const struct stat& now) const {
  return device == now.st_dev && inode == now.st_ino && size == now.st_size &&
         modified_seconds == now.st_mtim.tv_sec && modified_nanoseconds == now.st_mtim.tv_nsec &&
         changed_seconds == now.st_ctim.tv_sec && changed_nanoseconds == now.st_ctim.tv_nsec;
}

std::string SystemFailure(const std::string& what, const std::string& path, int error_number) {
  if (error_number == ENOENT) return VanishedReason(path);
  return what + " " + path + ": " + std::strerror(error_number);
}

std::string VanishedReason(const std::string& path) {
  return path + " vanished while the image was being made";
}

std::string ChangedReason(const std::string& path) {
  return path + " changed while the image was being made";
}

void SourceSnapshot::AddFolder(std::string path) {
  folders_.push_back(std::move(path));
}

const SourceSnapshot::File& SourceSnapshot::AddFile(std::string_view name,
                                                    const struct stat& scanned) {
  files_.push_back(
      {StoreName(name), static_cast<uint32_t>(folders_.size() - 1), FileState::Of(scanned)});
  return files_.back();
}

char* SourceSnapshot::StoreName(std::string_view name) {
  if (name_blocks_.empty() || name_block_size_ - name_block_used_ < name.size() + 1) {
    name_block_size_ = std::max(NameBlockSize, name.size() + 1);
    name_blocks_.emplace_back(new char[name_block_size_]);
    name_block_used_ = 0;
  }
  char* stored = name_blocks_.back().get() + name_block_used_;
  std::memcpy(stored, name.data(), name.size());
  stored[name.size()] = '\0';
  name_block_used_ += name.size() + 1;
  return stored;
}

std::string SourceSnapshot::PathOf(const File& file) const {
  return folders_[file.folder] + "/" + file.name;
}

// The files of a folder were recorded one after the other, so each folder is opened once and
// its files are examined by name, without walking the whole path again for each.
std::string SourceSnapshot::FindChange(const std::function<void(size_t)>& checked) const {
  int folder_fd = -1;
  uint32_t open_folder = 0;
  std::string failure;
  size_t count = 0;
  for (const File& file : files_) {
    if (checked && count % CheckedStep == 0 && count > 0) checked(count);
    ++count;
    if (folder_fd < 0 || file.folder != open_folder) {
      if (folder_fd >= 0) close(folder_fd);
      open_folder = file.folder;
      folder_fd = open(folders_[file.folder].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (folder_fd < 0) {
        failure = SystemFailure("cannot examine", PathOf(file), errno);
        break;
      }
    }
    struct stat now;
    if (fstatat(folder_fd, file.name, &now, AT_SYMLINK_NOFOLLOW) != 0) {
      failure = SystemFailure("cannot examine", PathOf(file), errno);
      break;
    }
    if (!file.state.Matches(now)) {
      failure = ChangedReason(PathOf(file));
      break;
    }
  }
  if (folder_fd >= 0) close(folder_fd);
  return failure;
}
