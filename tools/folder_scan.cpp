#include "tools/folder_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

namespace {

std::string AddFailure(const std::string& path, int result) {
  return "cannot add " + path + " to the image: " + iso_error_to_msg(result);
}

void SetAttributes(IsoNode* node, const struct stat& info) {
  iso_node_set_permissions(node, info.st_mode & 07777);
  iso_node_set_uid(node, info.st_uid);
  iso_node_set_gid(node, info.st_gid);
  iso_node_set_atime(node, info.st_atime);
  iso_node_set_mtime(node, info.st_mtime);
  iso_node_set_ctime(node, info.st_ctime);
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A folder of the tree whose entries are still to be added.
struct PendingFolder {
  IsoDir* dir;
  std::string path;
};

// One folder's entries, examined by name relative to the open folder rather than by path.
// Its subfolders are only collected, to be scanned after it is closed, so that one folder is
// open at a time however deep the tree.
class FolderReader {
 public:
  FolderReader(const FolderScan& scan, IsoDir* dir, const std::string& path, DirPtr folder)
      : scan_(scan),
        dir_(dir),
        path_(path),
        folder_(std::move(folder)),
        fd_(dirfd(folder_.get())) {}

  std::string AddEntries(std::vector<PendingFolder>& subfolders) {
    std::vector<std::string> names;
    std::string failure = ReadNames(names);
    if (!failure.empty()) return failure;
    // libisofs keeps a folder's children in a list sorted by name and looks for each new
    // one's place from the front: added from the last name to the first, every one goes to
    // the front at once.
    std::sort(names.begin(), names.end(), std::greater<>());
    scan_.snapshot->AddFolder(path_);
    for (const std::string& name : names) {
      failure = AddEntry(name, subfolders);
      if (!failure.empty()) return failure;
    }
    return {};
  }

 private:
  std::string PathOf(const std::string& name) const { return path_ + "/" + name; }

  std::string ReadNames(std::vector<std::string>& names) {
    for (;;) {
      errno = 0;
      dirent* entry = readdir(folder_.get());
      if (entry == nullptr) break;
      std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return SystemFailure("cannot read folder", path_, errno);
    return {};
  }

  std::string AddEntry(const std::string& name, std::vector<PendingFolder>& subfolders) {
    struct stat info;
    if (fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return SystemFailure("cannot examine", PathOf(name), errno);
    }
    if (std::ranges::find(scan_.excluded, FileId{info.st_dev, info.st_ino}) !=
        scan_.excluded.end()) {
      return {};
    }
    IsoNode* node = nullptr;
    std::string failure = S_ISDIR(info.st_mode)   ? AddFolder(name, info, node, subfolders)
                          : S_ISREG(info.st_mode) ? AddFile(name, info, node)
                          : S_ISLNK(info.st_mode) ? AddSymlink(name, info, node)
                                                  : AddSpecial(name, info, node);
    if (!failure.empty()) return failure;
    SetAttributes(node, info);
    return {};
  }

  std::string AddFolder(const std::string& name, const struct stat&, IsoNode*& node,
                        std::vector<PendingFolder>& subfolders) {
    IsoDir* dir = nullptr;
    int result = iso_image_add_new_dir(scan_.image, dir_, name.c_str(), &dir);
    if (result < 0) return AddFailure(PathOf(name), result);
    subfolders.push_back({dir, PathOf(name)});
    node = ISO_NODE(dir);
    return {};
  }

  std::string AddFile(const std::string& name, const struct stat& info, IsoNode*& node) {
    // Unreadable files are refused now rather than after the image's first gigabytes. Only
    // the permission bits decide whether a file's owner may read it (access control lists
    // and capabilities may grant more, never less), so for the owner's own files they are
    // enough.
    bool owner_may_read = info.st_uid == scan_.user && (info.st_mode & S_IRUSR) != 0;
    if (!owner_may_read && faccessat(fd_, name.c_str(), R_OK, 0) != 0) {
      return SystemFailure("cannot read", PathOf(name), errno);
    }
    const SourceSnapshot::File& recorded = scan_.snapshot->AddFile(name, info);
    IsoStream* stream = NewFileStream(*scan_.streams, recorded);
    if (stream == nullptr) return AddFailure(PathOf(name), ISO_OUT_OF_MEM);
    IsoFile* file = nullptr;
    int result = iso_image_add_new_file(scan_.image, dir_, name.c_str(), stream, &file);
    if (result < 0) {
      iso_stream_unref(stream);  // not taken over when the file could not be added
      return AddFailure(PathOf(name), result);
    }
    scan_.files->push_back(file);
    node = ISO_NODE(file);
    return {};
  }

  std::string AddSymlink(const std::string& name, const struct stat& info, IsoNode*& node) {
    std::string target(static_cast<size_t>(info.st_size) + 1, '\0');
    ssize_t length = readlinkat(fd_, name.c_str(), target.data(), target.size());
    if (length < 0) return SystemFailure("cannot read", PathOf(name), errno);
    // A link that grew since lstat would come back cut short.
    if (static_cast<size_t>(length) == target.size()) return ChangedReason(PathOf(name));
    target.resize(static_cast<size_t>(length));
    IsoSymlink* link = nullptr;
    int result = iso_image_add_new_symlink(scan_.image, dir_, name.c_str(), target.c_str(), &link);
    if (result < 0) return AddFailure(PathOf(name), result);
    node = ISO_NODE(link);
    return {};
  }

  std::string AddSpecial(const std::string& name, const struct stat& info, IsoNode*& node) {
    IsoSpecial* special = nullptr;
    int result = iso_image_add_new_special(scan_.image, dir_, name.c_str(), info.st_mode,
                                           info.st_rdev, &special);
    if (result < 0) return AddFailure(PathOf(name), result);
    node = ISO_NODE(special);
    return {};
  }

  const FolderScan& scan_;
  IsoDir* dir_;
  const std::string& path_;
  DirPtr folder_;
  int fd_;
};

std::string OpenFolder(const std::string& path, DirPtr& folder) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return SystemFailure("cannot read folder", path, errno);
  folder.reset(fdopendir(fd));
  if (!folder) {
    int error_number = errno;
    close(fd);
    return SystemFailure("cannot read folder", path, error_number);
  }
  return {};
}

}  // namespace

std::string AddFolderContents(const FolderScan& scan, const std::string& folder) {
  IsoDir* root = iso_image_get_root(scan.image);
  std::vector<PendingFolder> pending{{root, folder}};
  bool is_root = true;
  while (!pending.empty()) {
    PendingFolder next = std::move(pending.back());
    pending.pop_back();
    DirPtr opened;
    std::string failure = OpenFolder(next.path, opened);
    if (!failure.empty()) return failure;
    if (is_root) {
      struct stat info;
      if (fstat(dirfd(opened.get()), &info) != 0) {
        return SystemFailure("cannot examine", folder, errno);
      }
      SetAttributes(ISO_NODE(root), info);
      is_root = false;
    }
    failure = FolderReader(scan, next.dir, next.path, std::move(opened)).AddEntries(pending);
    if (!failure.empty()) return failure;
  }
  return {};
}
