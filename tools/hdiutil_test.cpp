// The built tool, run as the application runs it, on scratch folders.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "tools/command_line.h"
#include "tools/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* FailurePrefix = "hdiutil: makehybrid failed - ";

struct RunResult {
  int status = -1;  // the exit status, or -1 after a signal
  std::string out;
  std::string err;
};

std::string ReadAll(FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, count);
  }
  std::fclose(file);
  return text;
}

struct RunOptions {
  // When not 0, caps the size of the files the tool writes; writing past it fails with EFBIG
  // instead of raising SIGXFSZ.
  rlim_t file_size_limit = 0;
  // Run as "nobody" when the tests run as root, who reads files whatever their permissions.
  bool unprivileged = false;
};

constexpr uid_t Nobody = 65534;

RunResult RunTool(const std::vector<std::string>& arguments, RunOptions options = {}) {
  std::vector<char*> argv{const_cast<char*>(HDIUTIL_EXECUTABLE)};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls after fork, and no gtest reporting.
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    if (options.file_size_limit != 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{options.file_size_limit, options.file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0)) {
      _exit(126);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  return result;
}

std::string RandomBytes(size_t size) {
  std::mt19937 generator(size);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(generator());
  }
  return bytes;
}

// Relative path -> contents of a folder with the names and shapes that have broken images
// before: blanks, a long name with a character outside the BMP (two UTF-16 units), nesting
// deeper than ISO 9660's eight levels, an empty file and folder, a file whose size is not
// a multiple of the 2048-byte block, and a symbolic link, which only Rock Ridge can hold.
TreeContents SampleTree() {
  return {
      {"name with blanks.txt", "blanks"},
      {"Ünïcødé long name \U0001F600 " + std::string(70, 'x') + ".txt", "unicode"},
      {"a/b/c/d/e/f/g/h/i/deep.txt", "deep"},
      {"empty", ""},
      {"empty folder/", ""},
      {"link to blanks", "-> name with blanks.txt"},
      {"sub/odd.bin", RandomBytes(3'000'001)},
  };
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class HdiutilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = scratch_.path() + "/My Folder";
    out_folder_ = scratch_.path() + "/out";
    output_ = out_folder_ + "/output.iso";
    fs::create_directories(source_);
    fs::create_directories(out_folder_);
  }

  ScratchFolder scratch_;
  std::string source_;
  std::string out_folder_;
  std::string output_;
};

TEST_F(HdiutilTest, RockRidgeAndJolietTreesHoldTheFolder) {
  WriteTree(source_, SampleTree());
  RunResult run = RunTool({"makehybrid", "-o", output_, source_ + "/", "-iso", "-joliet", "-ov"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("Creating hybrid image...\n")) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"output.iso"});

  TreeContents folder = ReadFolderTree(source_);
  std::optional<IsoImageContents> rock_ridge = ReadIsoImage(output_, IsoTreeKind::RockRidge);
  ASSERT_TRUE(rock_ridge.has_value());
  EXPECT_TRUE(SameTree(rock_ridge->tree, folder));
  EXPECT_EQ(rock_ridge->volume_id, "MY_FOLDER");

  std::optional<IsoImageContents> joliet = ReadIsoImage(output_, IsoTreeKind::Joliet);
  ASSERT_TRUE(joliet.has_value());
  folder.erase("link to blanks");
  EXPECT_TRUE(SameTree(joliet->tree, folder));
}

TEST_F(HdiutilTest, ReplacesAnExistingImageOnlyWithOv) {
  // The earlier image lies in the folder itself, as when the Desktop is the source; the new
  // image must not contain it.
  WriteTree(source_, {{"kept.txt", "kept"}});
  std::string inner_output = source_ + "/output.iso";
  WriteFile(inner_output, "old image");

  RunResult refused = RunTool({"makehybrid", "-o", inner_output, source_, "-iso", "-joliet"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, std::string(FailurePrefix) + "file exists\n");
  EXPECT_EQ(ReadFile(inner_output), "old image");

  RunResult replaced = RunTool({"makehybrid", "-o", inner_output, source_, "-joliet", "-ov"});
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  std::optional<IsoImageContents> image = ReadIsoImage(inner_output, IsoTreeKind::Joliet);
  ASSERT_TRUE(image.has_value());
  TreeContents folder = ReadFolderTree(source_);
  folder.erase("output.iso");
  // Also shows that no temporary file was left beside the image.
  EXPECT_TRUE(SameTree(image->tree, folder));
}

TEST_F(HdiutilTest, FailedWriteKeepsTheOldImageAndLeavesNoTemporaryFile) {
  WriteTree(source_, {{"big.bin", RandomBytes(3'000'000)}});
  WriteFile(output_, "old image");
  RunResult run =
      RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet", "-ov"}, {1 << 20});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with(FailurePrefix)) << run.err;
  EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  EXPECT_EQ(ReadFile(output_), "old image");
  EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"output.iso"});
}

TEST_F(HdiutilTest, UnreadableFileFailsTheRun) {
  fs::permissions(scratch_.path(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  fs::permissions(out_folder_, fs::perms::others_all, fs::perm_options::add);
  RunResult probe = RunTool({}, {.unprivileged = true});
  if (probe.status != 2) GTEST_SKIP() << "the tool cannot run unprivileged here: " << probe.err;

  WriteTree(source_, {{"readable.txt", "yes"}, {"secret.txt", "no"}});
  fs::permissions(source_ + "/secret.txt", fs::perms::none);
  RunResult run = RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet", "-ov"},
                          {.unprivileged = true});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, std::string(FailurePrefix) + "cannot read " + source_ +
                         "/secret.txt: Permission denied\n");
  EXPECT_TRUE(FolderEntries(out_folder_).empty());
}

struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;  // "OUT", "SRC" and "FILE" stand for the test's paths
};

void PrintTo(const UsageCase& usage, std::ostream* out) {
  *out << usage.name;
}

class HdiutilUsageTest : public HdiutilTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(HdiutilUsageTest, PrintsUsageAndWritesNothing) {
  WriteFile(scratch_.path() + "/file", "not a folder");
  auto resolve = [this](const std::string& word) -> std::string {
    if (word == "OUT") return output_;
    if (word == "SRC") return source_;
    if (word == "FILE") return scratch_.path() + "/file";
    return word;
  };
  std::vector<std::string> arguments;
  for (const std::string& word : GetParam().arguments)
    arguments.push_back(resolve(word));
  RunResult run = RunTool(arguments);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with("hdiutil: ")) << run.err;
  EXPECT_NE(run.err.find("usage: hdiutil makehybrid -o OUT SOURCE"), std::string::npos);
  EXPECT_TRUE(FolderEntries(out_folder_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, HdiutilUsageTest,
    ::testing::Values(UsageCase{"NoCommand", {}},
                      UsageCase{"UnknownCommand", {"create", "-o", "OUT", "SRC"}},
                      UsageCase{"UnknownOption", {"makehybrid", "-o", "OUT", "SRC", "-hfs"}},
                      UsageCase{"NoOutput", {"makehybrid", "SRC", "-iso"}},
                      UsageCase{"OutputWithoutValue", {"makehybrid", "SRC", "-o"}},
                      UsageCase{"NoSource", {"makehybrid", "-o", "OUT", "-joliet"}},
                      UsageCase{"TwoSources", {"makehybrid", "-o", "OUT", "SRC", "SRC"}},
                      UsageCase{"SourceIsAFile", {"makehybrid", "-o", "OUT", "FILE"}},
                      UsageCase{"SourceMissing", {"makehybrid", "-o", "OUT", "/nonexistent"}}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

TEST(CommandLineTest, OptionsComeInAnyOrder) {
  const char* argv[] = {"hdiutil", "makehybrid", "-ov",    "-default-volume-name", "-o", "src",
                        "-joliet", "-o",         "out.iso"};
  ParsedCommandLine command = ParseCommandLine(std::size(argv), argv);
  ASSERT_TRUE(command.options.has_value()) << command.error;
  EXPECT_EQ(command.options->volume_name, "-o");
  EXPECT_EQ(command.options->source, "src");
  EXPECT_EQ(command.options->output, "out.iso");
  EXPECT_TRUE(command.options->joliet);
  EXPECT_TRUE(command.options->overwrite);
}

TEST(CommandLineTest, DefaultVolumeNameIsTheFoldersName) {
  EXPECT_EQ(DefaultVolumeName("/Users/me/My Folder/"), "My Folder");
  EXPECT_EQ(DefaultVolumeName("/Users/me/My Folder/."), "My Folder");
  EXPECT_EQ(DefaultVolumeName("."), fs::current_path().filename().string());
}

TEST(CommandLineTest, FailureLineKeepsAReasonOnOneLine) {
  EXPECT_EQ(FailureLine("a\nb\tc"), std::string(FailurePrefix) + "a\\x0Ab\\x09c\n");
}

}  // namespace
