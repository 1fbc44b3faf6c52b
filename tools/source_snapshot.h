// The state of the files an image is made from, recorded when the folder is scanned and
// compared once the image is written, so that a file that vanished or changed meanwhile
// fails the run instead of leaving the image with data the folder never held at once.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

// Whether now still describes the file recorded in scanned: the same inode, size and
// modification time.
bool SameFileState(const struct stat& scanned, const struct stat& now);

std::string VanishedReason(const std::string& path);
std::string ChangedReason(const std::string& path);

class SourceSnapshot {
 public:
  void Add(std::string path, const struct stat& scanned);

  // Returns "" when every recorded file is unchanged, else the reason for the first that
  // vanished, was replaced, or changed size or modification time.
  std::string FindChange() const;

 private:
  struct Entry {
    std::string path;
    struct stat scanned;
  };
  std::vector<Entry> entries_;
};
