#include "tools/folder_scan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::string SystemFailure(const std::string& what, const std::string& path, int error_number) {
  if (error_number == ENOENT) return VanishedReason(path);
  return what + " " + path + ": " + std::strerror(error_number);
}

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

// The names are read before any is added so that only one folder is open at a time, however
// deep the tree.
std::string ReadNames(const std::string& folder, std::vector<std::string>& names) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return SystemFailure("cannot read folder", folder, errno);
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return SystemFailure("cannot read folder", folder, errno);
  return {};
}

std::string AddEntry(const FolderScan& scan, IsoDir* parent, const std::string& path,
                     const std::string& name);

std::string AddChildren(const FolderScan& scan, IsoDir* dir, const std::string& folder) {
  std::vector<std::string> names;
  std::string failure = ReadNames(folder, names);
  for (size_t i = 0; failure.empty() && i < names.size(); ++i) {
    failure = AddEntry(scan, dir, folder + "/" + names[i], names[i]);
  }
  return failure;
}

std::string AddFile(const FolderScan& scan, IsoDir* parent, const std::string& path,
                    const std::string& name, const struct stat& info, IsoNode*& node) {
  // Unreadable files are refused now rather than after the image's first gigabytes.
  if (access(path.c_str(), R_OK) != 0) return SystemFailure("cannot read", path, errno);
  IsoStream* stream = NewFileStream(path, info, *scan.failure);
  if (stream == nullptr) return AddFailure(path, ISO_OUT_OF_MEM);
  IsoFile* file = nullptr;
  int result = iso_image_add_new_file(scan.image, parent, name.c_str(), stream, &file);
  if (result < 0) {
    iso_stream_unref(stream);  // not taken over when the file could not be added
    return AddFailure(path, result);
  }
  scan.snapshot->Add(path, info);
  node = ISO_NODE(file);
  return {};
}

std::string AddSymlink(const FolderScan& scan, IsoDir* parent, const std::string& path,
                       const std::string& name, const struct stat& info, IsoNode*& node) {
  std::string target(static_cast<size_t>(info.st_size) + 1, '\0');
  ssize_t length = readlink(path.c_str(), target.data(), target.size());
  if (length < 0) return SystemFailure("cannot read", path, errno);
  // A link that grew since lstat would come back cut short.
  if (static_cast<size_t>(length) == target.size()) return ChangedReason(path);
  target.resize(static_cast<size_t>(length));
  IsoSymlink* link = nullptr;
  int result = iso_image_add_new_symlink(scan.image, parent, name.c_str(), target.c_str(), &link);
  if (result < 0) return AddFailure(path, result);
  node = ISO_NODE(link);
  return {};
}

std::string AddSpecial(const FolderScan& scan, IsoDir* parent, const std::string& path,
                       const std::string& name, const struct stat& info, IsoNode*& node) {
  IsoSpecial* special = nullptr;
  int result = iso_image_add_new_special(scan.image, parent, name.c_str(), info.st_mode,
                                         info.st_rdev, &special);
  if (result < 0) return AddFailure(path, result);
  node = ISO_NODE(special);
  return {};
}

std::string AddFolder(const FolderScan& scan, IsoDir* parent, const std::string& path,
                      const std::string& name, const struct stat& info) {
  IsoDir* dir = nullptr;
  int result = iso_image_add_new_dir(scan.image, parent, name.c_str(), &dir);
  if (result < 0) return AddFailure(path, result);
  SetAttributes(ISO_NODE(dir), info);
  return AddChildren(scan, dir, path);
}

std::string AddEntry(const FolderScan& scan, IsoDir* parent, const std::string& path,
                     const std::string& name) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return SystemFailure("cannot examine", path, errno);
  if (std::ranges::find(scan.excluded, FileId{info.st_dev, info.st_ino}) != scan.excluded.end()) {
    return {};
  }
  if (S_ISDIR(info.st_mode)) return AddFolder(scan, parent, path, name, info);
  IsoNode* node = nullptr;
  std::string failure = S_ISREG(info.st_mode)   ? AddFile(scan, parent, path, name, info, node)
                        : S_ISLNK(info.st_mode) ? AddSymlink(scan, parent, path, name, info, node)
                                                : AddSpecial(scan, parent, path, name, info, node);
  if (!failure.empty()) return failure;
  SetAttributes(node, info);
  return {};
}

}  // namespace

std::string AddFolderContents(const FolderScan& scan, const std::string& folder) {
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return SystemFailure("cannot examine", folder, errno);
  IsoDir* root = iso_image_get_root(scan.image);
  SetAttributes(ISO_NODE(root), info);
  return AddChildren(scan, root, folder);
}
