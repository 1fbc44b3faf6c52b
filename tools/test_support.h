// Helpers for the hdiutil tests: scratch folders, and folders and images read back into
// the same form so that they can be compared.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/hybrid_image.h"

// Relative path -> contents for files, "-> " + target for symbolic links; relative path + "/"
// -> "" for folders.
using TreeContents = std::map<std::string, std::string>;

// A new, empty folder under the system's temporary folder; removed when the object goes.
class ScratchFolder {
 public:
  ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes contents to path, creating the folders above it.
void WriteFile(const std::string& path, const std::string& contents);
// Makes the files, links and folders of tree in folder.
void WriteTree(const std::string& folder, const TreeContents& tree);
std::string ReadFile(const std::string& path);
// size bytes that compress poorly, the same for the same size and seed.
std::string RandomBytes(size_t size, unsigned seed = 1);

// Whether an executable of that name is on the PATH.
bool HasProgram(const std::string& name);
// Runs a program found through the PATH and returns its exit status, or -1; its standard
// output and error go to output.
int RunProgram(const std::vector<std::string>& arguments, std::string& output);

// Special files are not expected in test folders and fail the read.
TreeContents ReadFolderTree(const std::string& folder);

// Names the missing and extra paths, or the first file whose contents differ, rather than
// printing megabytes of file data.
::testing::AssertionResult SameTree(const TreeContents& actual, const TreeContents& expected);

// The path's name in a test's failure.
void PrintTo(DataPath path, std::ostream* out);

// Success, or a failure that gives the run's reason.
::testing::AssertionResult Succeeded(const Result& result);

// Iso9660: the plain tree, with the names and times of its directory records.
enum class IsoTreeKind { RockRidge, Joliet, Iso9660 };

// Takes a run's progress without showing it, and keeps its warnings.
class RecordingSink : public ProgressSink {
 public:
  void Started(uint64_t) override {}
  void Advanced(uint64_t, uint64_t) override {}
  void Warned(std::string_view text) override { warnings.emplace_back(text); }
  std::vector<std::string> warnings;
};

struct IsoImageContents {
  TreeContents tree;
  std::string volume_id;
  std::map<std::string, time_t> modified;  // by the tree's paths
};

// Reads one tree of the image with libisofs; nullopt when the image, or the tree asked for,
// cannot be read.
std::optional<IsoImageContents> ReadIsoImage(const std::string& image, IsoTreeKind kind);

// A tmpfs of the given size (as mount's "size=" takes it) mounted on folder while this lives;
// mounted() is false where mounting is not allowed.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& folder, const std::string& size);
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  ~SmallFileSystem();
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};
