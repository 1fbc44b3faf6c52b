// Builds an image's tree from a local folder: folders, files (read through FileStream) and
// special files, with their permissions, owners and times for Rock Ridge. Symbolic links are
// followed, so that the image holds what a file manager shows, or kept as links.
// It replaces libisofs's own recursive add, which stats each file several times and probes
// its extended attributes, and whose streams read 2048 bytes per system call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/file_stream.h"
#include "tools/libisofs_api.h"
#include "tools/source_snapshot.h"

// A file by identity rather than by path, which links can spell in many ways.
struct FileId {
  dev_t device;
  ino_t inode;
  bool operator==(const FileId&) const = default;
};

// The image that the new one replaces, where it lies: should it lie in the folder, it is left
// out of the tree there, and so is every other name it has.
struct ReplacedImage {
  FileId file;
  FileId folder;  // the folder that holds it under name
  std::string name;
  std::string path;  // as the user gave it
};

struct FolderScan {
  IsoImage* image;
  // Entries left out of the tree: the image being replaced and the one being written.
  std::vector<FileId> excluded;
  std::optional<ReplacedImage> replaced;
  StreamContext* streams;  // for the files' streams
  // Receives every file's scanned state; the streams' context's own.
  SourceSnapshot* snapshot;
  // Receives every file's node, in the snapshot's order.
  std::vector<IsoFile*>* files;
  // Whose access to the files counts: the real user, as for access(2).
  uid_t user;
  // Whether symbolic links are followed and what they lead to is stored, or stored as links,
  // which only Rock Ridge can hold.
  bool follow_links;
  // Told, in words for the user, of each entry left out that the user may miss: a link that
  // leads nowhere the image can follow, another name of the image being replaced.
  std::function<void(const std::string&)> warn;
  // Receives the depth of the deepest folder, the folder's own subfolders at 1.
  size_t* deepest;
};

// Adds the contents of folder (an absolute path without a trailing slash) to the image's
// root and gives the root the folder's attributes. Returns "" or the reason for the first
// entry that could not be examined, read or added; nothing is left out silently.
//
// A followed link leads to a file or a folder, which is stored under the link's name with its
// own attributes; a folder reached twice is stored twice, as a copy would be, and the data of
// its files once, as for hard links. A link back into a folder that contains it, one that
// leads nowhere and one that leads to anything else is left out with a warning.
std::string AddFolderContents(const FolderScan& scan, const std::string& folder);
