#include "tools/folder_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
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

// A folder of the tree and where it lies in it, by which a link back into a folder that
// contains it is known.
struct ScannedFolder {
  FileId id;
  size_t parent;  // NoParent for the root
};
constexpr size_t NoParent = std::numeric_limits<size_t>::max();

// A folder of the tree whose entries are still to be added.
struct PendingFolder {
  IsoDir* dir;
  std::string path;
  size_t scanned;  // its index in the scanned folders
  size_t depth;
};

// The path without links, "." or "..", else "" with errno set.
std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device";
}

// One folder's entries, examined by name relative to the open folder rather than by path.
// Its subfolders are only collected, to be scanned after it is closed, so that one folder is
// open at a time however deep the tree.
class FolderReader {
 public:
  FolderReader(const FolderScan& scan, std::vector<ScannedFolder>& scanned,
               const PendingFolder& folder, DirPtr opened)
      : scan_(scan),
        scanned_(scanned),
        folder_(folder),
        opened_(std::move(opened)),
        fd_(dirfd(opened_.get())) {}

  std::string AddEntries(std::vector<PendingFolder>& subfolders) {
    std::vector<std::string> names;
    std::string failure = ReadNames(names);
    if (!failure.empty()) return failure;
    // libisofs keeps a folder's children in a list sorted by name and looks for each new
    // one's place from the front: added from the last name to the first, every one goes to
    // the front at once ([children order] in libisofs_api.h).
    std::sort(names.begin(), names.end(), std::greater<>());
    scan_.snapshot->AddFolder(folder_.path);
    for (const std::string& name : names) {
      failure = AddEntry(name, subfolders);
      if (!failure.empty()) return failure;
    }
    return {};
  }

 private:
  std::string PathOf(const std::string& name) const { return folder_.path + "/" + name; }

  void Warn(const std::string& name, const std::string& why) const {
    if (scan_.warn) scan_.warn(PathOf(name) + " was left out: " + why);
  }

  std::string ReadNames(std::vector<std::string>& names) {
    for (;;) {
      errno = 0;
      dirent* entry = readdir(opened_.get());
      if (entry == nullptr) break;
      std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return SystemFailure("cannot read folder", folder_.path, errno);
    return {};
  }

  std::string AddEntry(const std::string& name, std::vector<PendingFolder>& subfolders) {
    struct stat info;
    if (fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return SystemFailure("cannot examine", PathOf(name), errno);
    }
    if (IsExcluded(name, info, false)) return {};
    // Only links are examined again, for what they lead to.
    bool linked = S_ISLNK(info.st_mode) && scan_.follow_links;
    if (linked && (!FollowLink(name, info) || IsExcluded(name, info, true))) return {};
    IsoNode* node = nullptr;
    std::string failure = S_ISDIR(info.st_mode)   ? AddFolder(name, info, node, subfolders)
                          : S_ISREG(info.st_mode) ? AddFile(name, info, linked, node)
                          : S_ISLNK(info.st_mode) ? AddSymlink(name, info, node)
                                                  : AddSpecial(name, info, node);
    if (!failure.empty()) return failure;
    SetAttributes(node, info);
    return {};
  }

  // Whether the entry is one of the files left out; the image being replaced is reported
  // under any name but its own. linked: info is what a link of that name leads to.
  bool IsExcluded(const std::string& name, const struct stat& info, bool linked) const {
    FileId id{info.st_dev, info.st_ino};
    if (std::ranges::find(scan_.excluded, id) == scan_.excluded.end()) return false;
    const std::optional<ReplacedImage>& replaced = scan_.replaced;
    if (!replaced || replaced->file != id) return true;
    if (linked) {
      Warn(name, "it links to " + replaced->path + ", the image being replaced");
    } else if (replaced->folder != scanned_[folder_.scanned].id || replaced->name != name) {
      Warn(name, "it is another name of " + replaced->path + ", the image being replaced");
    }
    return true;
  }

  // Replaces info, a link's, with that of what the link leads to. False when the link is left
  // out, which it reports.
  bool FollowLink(const std::string& name, struct stat& info) const {
    struct stat target;
    if (fstatat(fd_, name.c_str(), &target, 0) != 0) {
      int error_number = errno;
      std::string destination;
      if (!ReadLink(name, info, destination).empty()) destination = "a path";
      Warn(name, error_number == ENOENT
                     ? "it links to " + destination + ", which does not exist"
                     : "it links to " + destination + ", which cannot be reached (" +
                           std::strerror(error_number) + ")");
      return false;
    }
    if (S_ISDIR(target.st_mode) &&
        (LeadsBack(FileId{target.st_dev, target.st_ino}) || HoldsThisFolder(name))) {
      Warn(name, "it links to a folder that contains it");
      return false;
    }
    if (!S_ISDIR(target.st_mode) && !S_ISREG(target.st_mode)) {
      Warn(name,
           std::string("it links to ") + KindOf(target.st_mode) + ", not to a file or folder");
      return false;
    }
    info = target;
    return true;
  }

  // Whether the folder is this one or one that contains it in the image.
  bool LeadsBack(FileId folder) const {
    for (size_t at = folder_.scanned; at != NoParent; at = scanned_[at].parent) {
      if (scanned_[at].id == folder) return true;
    }
    return false;
  }

  // Whether the folder the link leads to holds this one on disk, above the folder scanned:
  // a link to "..", say.
  bool HoldsThisFolder(const std::string& name) const {
    std::string target = RealPath(PathOf(name));
    std::string here = RealPath(folder_.path);
    if (target.empty() || here.empty()) return false;
    return here == target || here.starts_with(target.ends_with('/') ? target : target + "/");
  }

  std::string AddFolder(const std::string& name, const struct stat& info, IsoNode*& node,
                        std::vector<PendingFolder>& subfolders) {
    IsoDir* dir = nullptr;
    int result = iso_image_add_new_dir(scan_.image, folder_.dir, name.c_str(), &dir);
    if (result < 0) return AddFailure(PathOf(name), result);
    scanned_.push_back({{info.st_dev, info.st_ino}, folder_.scanned});
    subfolders.push_back({dir, PathOf(name), scanned_.size() - 1, folder_.depth + 1});
    node = ISO_NODE(dir);
    return {};
  }

  std::string AddFile(const std::string& name, const struct stat& info, bool linked,
                      IsoNode*& node) {
    // Unreadable files are refused now rather than after the image's first gigabytes. Only
    // the permission bits decide whether a file's owner may read it (access control lists
    // and capabilities may grant more, never less), so for the owner's own files they are
    // enough.
    bool owner_may_read = info.st_uid == scan_.user && (info.st_mode & S_IRUSR) != 0;
    if (!owner_may_read && faccessat(fd_, name.c_str(), R_OK, 0) != 0) {
      return SystemFailure("cannot read", PathOf(name), errno);
    }
    const SourceSnapshot::File* recorded =
        linked ? RecordLinkedFile(name, info) : &scan_.snapshot->AddFile(name, info);
    if (recorded == nullptr) return SystemFailure("cannot examine", PathOf(name), errno);
    IsoStream* stream = NewFileStream(*scan_.streams, *recorded);
    if (stream == nullptr) return AddFailure(PathOf(name), ISO_OUT_OF_MEM);
    IsoFile* file = nullptr;
    int result = iso_image_add_new_file(scan_.image, folder_.dir, name.c_str(), stream, &file);
    if (result < 0) {
      iso_stream_unref(stream);  // not taken over when the file could not be added
      return AddFailure(PathOf(name), result);
    }
    scan_.files->push_back(file);
    node = ISO_NODE(file);
    return {};
  }

  // A file reached through a link is recorded where it lies, under its own name: the change
  // check examines the names it records, links and all, without following them. The files
  // after it belong to this folder again. Null, with errno set, when the file cannot be found.
  const SourceSnapshot::File* RecordLinkedFile(const std::string& name, const struct stat& info) {
    std::string real = RealPath(PathOf(name));
    if (real.empty()) return nullptr;
    std::string_view path = real;
    size_t slash = path.rfind('/');
    scan_.snapshot->AddFolder(std::string(slash == 0 ? "/" : path.substr(0, slash)));
    const SourceSnapshot::File& recorded = scan_.snapshot->AddFile(path.substr(slash + 1), info);
    scan_.snapshot->AddFolder(folder_.path);
    return &recorded;
  }

  // Reads the target of the link whose lstat is info.
  std::string ReadLink(const std::string& name, const struct stat& info,
                       std::string& target) const {
    target.assign(static_cast<size_t>(info.st_size) + 1, '\0');
    ssize_t length = readlinkat(fd_, name.c_str(), target.data(), target.size());
    if (length < 0) return SystemFailure("cannot read", PathOf(name), errno);
    // A link that grew since lstat would come back cut short.
    if (static_cast<size_t>(length) == target.size()) return ChangedReason(PathOf(name));
    target.resize(static_cast<size_t>(length));
    return {};
  }

  std::string AddSymlink(const std::string& name, const struct stat& info, IsoNode*& node) {
    std::string target;
    std::string failure = ReadLink(name, info, target);
    if (!failure.empty()) return failure;
    IsoSymlink* link = nullptr;
    int result =
        iso_image_add_new_symlink(scan_.image, folder_.dir, name.c_str(), target.c_str(), &link);
    if (result < 0) return AddFailure(PathOf(name), result);
    node = ISO_NODE(link);
    return {};
  }

  std::string AddSpecial(const std::string& name, const struct stat& info, IsoNode*& node) {
    IsoSpecial* special = nullptr;
    int result = iso_image_add_new_special(scan_.image, folder_.dir, name.c_str(), info.st_mode,
                                           info.st_rdev, &special);
    if (result < 0) return AddFailure(PathOf(name), result);
    node = ISO_NODE(special);
    return {};
  }

  const FolderScan& scan_;
  std::vector<ScannedFolder>& scanned_;
  const PendingFolder& folder_;
  DirPtr opened_;
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
  std::vector<ScannedFolder> scanned;
  std::vector<PendingFolder> pending{{root, folder, 0, 0}};
  *scan.deepest = 0;
  while (!pending.empty()) {
    PendingFolder next = std::move(pending.back());
    pending.pop_back();
    DirPtr opened;
    std::string failure = OpenFolder(next.path, opened);
    if (!failure.empty()) return failure;
    if (scanned.empty()) {
      struct stat info;
      if (fstat(dirfd(opened.get()), &info) != 0) {
        return SystemFailure("cannot examine", folder, errno);
      }
      SetAttributes(ISO_NODE(root), info);
      scanned.push_back({{info.st_dev, info.st_ino}, NoParent});
    }
    *scan.deepest = std::max(*scan.deepest, next.depth);
    failure = FolderReader(scan, scanned, next, std::move(opened)).AddEntries(pending);
    if (!failure.empty()) return failure;
  }
  return {};
}
