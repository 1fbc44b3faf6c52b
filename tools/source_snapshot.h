// The files an image is made from: where each is, and its state when the folder was scanned,
// compared once the image is written so that a file that vanished or changed meanwhile fails
// the run instead of leaving the image with data the folder never held at once.
//
// Kept compact, as an image may hold millions of files: a file is its folder's number, its
// name in a shared store and the five numbers of its state, 56 bytes and the name.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What identifies a file's contents: the same inode, size and modification time.
struct FileState {
  dev_t device;
  ino_t inode;
  off_t size;
  timespec modified;

  static FileState Of(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
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
  // vanished, was replaced, or changed size or modification time.
  std::string FindChange() const;

 private:
  // Names in blocks that never move, so that a file keeps a plain pointer to its own.
  char* StoreName(std::string_view name);

  std::vector<std::string> folders_;
  std::deque<File> files_;  // grows without moving its elements or doubling its memory
  std::vector<std::unique_ptr<char[]>> name_blocks_;
  size_t name_block_used_ = 0;
  size_t name_block_size_ = 0;
};
