// The files an image is made from: where each is, and its state when the folder was scanned,
// compared once the image is written so that a file that vanished or changed meanwhile fails
// the run instead of leaving the image with data the folder never held at once.
//
// Kept compact, as an image may hold millions of files: a file is its folder's number, its
// name in a shared store and the numbers of its state, 64 bytes and the name.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What identifies a file's contents: the same inode, size, modification time and change
// time. The change time finds a file rewritten in place whose modification time was then put
// back (touch -r, programs that preserve timestamps): no program can set it.
struct FileState {
  dev_t device;
  ino_t inode;
  off_t size;
  // The times' seconds and nanoseconds apart, so that the nanoseconds share eight bytes.
  time_t modified_seconds;
  time_t changed_seconds;
  uint32_t modified_nanoseconds;
  uint32_t changed_nanoseconds;

  static FileState Of(const struct stat& info) {
    return {info.st_dev,
            info.st_ino,
            info.st_size,
            info.st_mtim.tv_sec,
            info.st_ctim.tv_sec,
            static_cast<uint32_t>(info.st_mtim.tv_nsec),
            static_cast<uint32_t>(info.st_ctim.tv_nsec)};
  }
  // Whether now still describes this file.
  bool Matches(const struct stat& now) const;
};

std::string VanishedReason(const std::string& path);
std::string ChangedReason(const std::string& path);
// What failed (what, e.g. "cannot read") with the file at path, for a system call's
// error_number: a file that is not there any more vanished.
std::string SystemFailure(const std::string& what, const std::string& path, int error_number);

class SourceSnapshot {
 public:
  struct File {
    const char* name;  // in the snapshot's store, 0-terminated
    uint32_t folder;
    FileState state;
  };

  SourceSnapshot() = default;
  SourceSnapshot(const SourceSnapshot&) = delete;
  SourceSnapshot& operator=(const SourceSnapshot&) = delete;

  // Starts a folder (an absolute path without a trailing slash) whose files follow.
  void AddFolder(std::string path);
  // Records a file of the folder added last. The reference stays valid while the snapshot
  // lives. REQUIRES: a folder was added.
  const File& AddFile(std::string_view name, const struct stat& scanned);

  const std::deque<File>& files() const { return files_; }
  const std::string& FolderPath(uint32_t folder) const { return folders_[folder]; }
  std::string PathOf(const File& file) const;

  // Returns "" when every recorded file is unchanged, else the reason for the first that
  // vanished, was replaced, or changed size, modification time or change time. checked, if
  // given, is told every CheckedStep files how many have been examined.
  static constexpr size_t CheckedStep = 1024;
  std::string FindChange(const std::function<void(size_t)>& checked = {}) const;

 private:
  // Names in blocks that never move, so that a file keeps a plain pointer to its own.
  char* StoreName(std::string_view name);

  std::vector<std::string> folders_;
  std::deque<File> files_;  // grows without moving its elements or doubling its memory
  std::vector<std::unique_ptr<char[]>> name_blocks_;
  size_t name_block_used_ = 0;
  size_t name_block_size_ = 0;
};
