#include "tools/test_support.h"

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string_view>

#include "tools/libisofs_api.h"

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
  std::string pattern = (fs::temp_directory_path() / "hdiutil_test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(generator());
  return bytes;
}

void WriteTree(const std::string& folder, const TreeContents& tree) {
  for (const auto& [path, contents] : tree) {
    std::string full = folder + "/" + path;
    if (path.ends_with('/')) {
      fs::create_directories(full);
    } else if (contents.starts_with("-> ")) {
      fs::create_directories(fs::path(full).parent_path());
      fs::create_symlink(contents.substr(3), full);
    } else {
      WriteFile(full, contents);
    }
  }
}

bool HasProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    std::string_view folder = rest.substr(0, rest.find(':'));
    rest.remove_prefix(std::min(rest.size(), folder.size() + 1));
    if (access((std::string(folder) + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

int RunProgram(const std::vector<std::string>& arguments, std::string& output) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  FILE* out = std::tmpfile();
  if (out == nullptr) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(out), STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  bool exited = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
  std::rewind(out);
  output.clear();
  char buffer[4096];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, out)) > 0)
    output.append(buffer, count);
  std::fclose(out);
  return exited ? WEXITSTATUS(status) : -1;
}

TreeContents ReadFolderTree(const std::string& folder) {
  TreeContents tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    std::string relative = entry.path().lexically_relative(folder).string();
    if (entry.is_symlink()) {
      tree[relative] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      tree[relative + "/"] = "";
    } else if (entry.is_regular_file()) {
      tree[relative] = ReadFile(entry.path().string());
    } else {
      throw std::runtime_error("unexpected file type: " + relative);
    }
  }
  return tree;
}

void PrintTo(DataPath path, std::ostream* out) {
  *out << (path == DataPath::Placed ? "Placed" : "Streamed");
}

::testing::AssertionResult Succeeded(const Result& result) {
  if (result.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the run failed: " << result.failure();
}

::testing::AssertionResult SameTree(const TreeContents& actual, const TreeContents& expected) {
  std::string missing;
  std::string extra;
  for (const auto& entry : expected) {
    if (!actual.contains(entry.first)) missing += " \"" + entry.first + "\"";
  }
  for (const auto& entry : actual) {
    if (!expected.contains(entry.first)) extra += " \"" + entry.first + "\"";
  }
  if (!missing.empty() || !extra.empty()) {
    return ::testing::AssertionFailure() << "missing:" << missing << "; extra:" << extra;
  }
  for (const auto& [path, contents] : expected) {
    const std::string& found = actual.at(path);
    if (found == contents) continue;
    return ::testing::AssertionFailure() << "\"" << path << "\" differs: " << found.size()
                                         << " bytes, " << contents.size() << " expected";
  }
  return ::testing::AssertionSuccess();
}

namespace {

// Holds libisofs initialised, with file names taken as UTF-8, for one read.
class LibisofsUse {
 public:
  LibisofsUse() {
    iso_init_with_flag(1);
    iso_set_local_charset(const_cast<char*>("UTF-8"), 0);
  }
  ~LibisofsUse() { iso_finish(); }
};

std::optional<std::string> ReadStream(IsoStream* stream) {
  if (iso_stream_open(stream) < 0) return std::nullopt;
  std::string contents;
  char buffer[65536];
  int count = 0;
  while ((count = iso_stream_read(stream, buffer, sizeof buffer)) > 0) {
    contents.append(buffer, static_cast<size_t>(count));
  }
  iso_stream_close(stream);
  if (count < 0) return std::nullopt;
  return contents;
}

bool ReadDir(IsoDir* dir, const std::string& prefix, IsoImageContents& into) {
  TreeContents& tree = into.tree;
  IsoDirIter* children = nullptr;
  if (iso_dir_get_children(dir, &children) < 0) return false;
  bool ok = true;
  IsoNode* node = nullptr;
  while (ok && iso_dir_iter_next(children, &node) == 1) {
    std::string path = prefix + iso_node_get_name(node);
    into.modified[path] = iso_node_get_mtime(node);
    if (IsoDir* subdir = ISO_DIR(node)) {
      tree[path + "/"] = "";
      ok = ReadDir(subdir, path + "/", into);
    } else if (IsoFile* file = ISO_FILE(node)) {
      std::optional<std::string> contents = ReadStream(iso_file_get_stream(file));
      ok = contents.has_value();
      if (ok) tree[path] = std::move(*contents);
    } else if (IsoSymlink* link = ISO_SYMLINK(node)) {
      tree[path] = std::string("-> ") + iso_symlink_get_dest(link);
    } else {
      ok = false;
    }
  }
  iso_dir_iter_free(children);
  return ok;
}

}  // namespace

std::optional<IsoImageContents> ReadIsoImage(const std::string& image, IsoTreeKind kind) {
  LibisofsUse library;
  IsoDataSource* source = nullptr;
  if (iso_data_source_new_from_file(image.c_str(), &source) < 0) return std::nullopt;
  IsoReadOpts* options = nullptr;
  iso_read_opts_new(&options, 0);
  bool joliet = kind == IsoTreeKind::Joliet;
  iso_read_opts_set_no_rockridge(options, kind != IsoTreeKind::RockRidge);
  iso_read_opts_set_no_joliet(options, kind == IsoTreeKind::Iso9660);
  iso_read_opts_set_preferjoliet(options, joliet);
  IsoImage* read = nullptr;
  iso_image_new("read", &read);
  IsoReadImageFeatures* features = nullptr;
  int result = iso_image_import(read, source, options, &features);
  iso_read_opts_free(options);
  iso_data_source_unref(source);

  std::optional<IsoImageContents> contents;
  bool has_tree = result >= 0;
  if (has_tree && kind == IsoTreeKind::Joliet) {
    has_tree = iso_read_image_features_has_joliet(features);
  } else if (has_tree && kind == IsoTreeKind::RockRidge) {
    has_tree = iso_read_image_features_has_rockridge(features);
  }
  if (has_tree) {
    contents.emplace();
    contents->volume_id = iso_image_get_volume_id(read);
    if (!ReadDir(iso_image_get_root(read), "", *contents)) contents.reset();
  }
  if (result >= 0) iso_read_image_features_destroy(features);
  iso_image_unref(read);
  return contents;
}

SmallFileSystem::SmallFileSystem(const std::string& folder, const std::string& size)
    : folder_(folder) {
  mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

SmallFileSystem::~SmallFileSystem() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
}
