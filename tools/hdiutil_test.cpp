// The built tool, run as the application runs it, on scratch folders.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/byte_size.h"
#include "tools/command_line.h"
#include "tools/hdiutil_protocol.h"
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
  // When not 0, caps the size of the files the tool writes, as "ulimit -f" does.
  rlim_t file_size_limit = 0;
  // Run as "nobody" when the tests run as root, who reads files whatever their permissions.
  bool unprivileged = false;
  // Make the tool fall back to a named temporary file, as on a file system without unnamed
  // files.
  bool without_unnamed_files = false;
  // Make fsync and fdatasync fail with EIO, as when the device cannot store the data.
  bool failing_flushes = false;
  // Trace the tool, so that it stops as it calls rename (see StopAtRename).
  bool stopping_at_rename = false;
  // When not null, the folder the tool runs in.
  const char* working_folder = nullptr;
};

constexpr uid_t Nobody = 65534;

// Installs a seccomp filter for this process and the tool it executes, which is built for
// this architecture. False when the kernel takes no filter.
template <size_t Size>
bool InstallFilter(sock_filter (&instructions)[Size]) {
  sock_fprog program{Size, instructions};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Makes openat with O_TMPFILE (glibc's open makes that call too) fail with EOPNOTSUPP, as on
// a file system without unnamed files.
bool DenyUnnamedFiles() {
  constexpr unsigned FlagsLowWord =
      offsetof(seccomp_data, args[2]) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
  static sock_filter instructions[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, FlagsLowWord),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 020000000, 0, 1),  // O_TMPFILE less O_DIRECTORY
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  return InstallFilter(instructions);
}

bool FailFlushes() {
  static sock_filter instructions[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fdatasync, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fsync, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  return InstallFilter(instructions);
}

// Makes the rename calls stop the process for its tracer, which it must have.
bool TraceRenames() {
#ifdef __NR_rename
  constexpr unsigned OldestRename = __NR_rename;
#else
  constexpr unsigned OldestRename = __NR_renameat;  // the architecture has only the newer calls
#endif
  static sock_filter instructions[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, OldestRename, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  return InstallFilter(instructions);
}

pid_t StartTool(const std::vector<std::string>& arguments, const RunOptions& options, int out,
                int err) {
  std::vector<char*> argv{const_cast<char*>(HDIUTIL_EXECUTABLE)};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls after fork, and no gtest reporting.
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  // Default actions, unblocked, whatever the test inherited: shells start background jobs
  // ignoring SIGINT, and a run of the image maker in the test leaves them blocked.
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP})
    signal(signal_number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.working_folder != nullptr && chdir(options.working_folder) != 0) _exit(126);
  if (options.file_size_limit != 0) {
    rlimit limit{options.file_size_limit, options.file_size_limit};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.without_unnamed_files && !DenyUnnamedFiles()) _exit(126);
  if (options.failing_flushes && !FailFlushes()) _exit(126);
  if (options.stopping_at_rename &&
      (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || !TraceRenames())) {
    _exit(126);
  }
  if (options.unprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0)) {
    _exit(126);
  }
  execv(argv[0], argv.data());
  _exit(127);
}

// Through syscall: the C library's declarations of these lack C linkage in some versions.
int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void KillByPidfd(int pidfd) {
  syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

// A run here takes a second or two; one that has not ended by then is killed, so that no wait
// for it outlasts this, however it fails.
constexpr std::chrono::seconds ToolDeadline(30);

// A run of the tool, with its standard output and error on out and err. It is killed at its
// deadline, and when the test ends first: a case that fails halfway must not leave it writing
// on beside the cases that follow.
class RunningTool {
 public:
  RunningTool(const std::vector<std::string>& arguments, const RunOptions& options, int out,
              int err)
      : pid_(StartTool(arguments, options, out, err)), pidfd_(pid_ > 0 ? OpenPidfd(pid_) : -1) {
    if (pidfd_ >= 0) watchdog_ = std::thread([this] { KillAtDeadline(); });
  }
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;
  ~RunningTool() {
    if (pidfd_ >= 0 && !waited_) {
      KillByPidfd(pidfd_);
      Wait();
    }
    if (watchdog_.joinable()) watchdog_.join();
    if (pidfd_ >= 0) close(pidfd_);
  }

  pid_t pid() const { return pid_; }
  // Whether the deadline passed and the tool was killed.
  bool overdue() const { return overdue_; }

  // Waits for the tool to end, or to stop while it is traced, and returns the wait status;
  // -1 when it could not be started.
  int Wait() {
    int status = -1;
    if (pidfd_ < 0) return status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    waited_ = WIFEXITED(status) || WIFSIGNALED(status);
    return status;
  }

 private:
  // The descriptor becomes readable when the tool ends.
  void KillAtDeadline() {
    auto deadline = std::chrono::steady_clock::now() + ToolDeadline;
    pollfd ended{pidfd_, POLLIN, 0};
    int ready = 0;
    do {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ready = poll(&ended, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    } while (ready < 0 && errno == EINTR);
    if (ready != 0) return;
    overdue_ = true;
    KillByPidfd(pidfd_);
  }

  pid_t pid_;
  int pidfd_;
  bool waited_ = false;
  std::atomic<bool> overdue_{false};
  std::thread watchdog_;
};

// Follows a tool started stopping_at_rename until it calls rename, passing the signals it
// gets on, and leaves it stopped there. False when it does not get there.
bool StopAtRename(RunningTool& tool) {
  int status = tool.Wait();  // at the start of the program it executes
  if (!WIFSTOPPED(status)) return false;
  long options = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
  if (ptrace(PTRACE_SETOPTIONS, tool.pid(), nullptr, options) != 0) return false;
  int signal_number = 0;
  for (;;) {
    if (ptrace(PTRACE_CONT, tool.pid(), nullptr, signal_number) != 0) return false;
    status = tool.Wait();
    if (!WIFSTOPPED(status)) return false;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8))) return true;
    // Other events (the program executing itself again) carry no signal.
    signal_number = status >> 16 == 0 ? WSTOPSIG(status) : 0;
  }
}

RunResult RunTool(const std::vector<std::string>& arguments, RunOptions options = {}) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  RunResult result;
  {
    RunningTool tool(arguments, options, fileno(out), fileno(err));
    int status = tool.Wait();
    if (WIFEXITED(status) && !tool.overdue()) result.status = WEXITSTATUS(status);
  }
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  return result;
}

// Runs the tool as RunTool does, stopping it as it calls rename to do at_rename there; the
// rename goes on after that. nullopt when the tool cannot be stopped there.
std::optional<RunResult> RunStoppingAtRename(const std::vector<std::string>& arguments,
                                             RunOptions options,
                                             const std::function<void(pid_t)>& at_rename) {
  options.stopping_at_rename = true;
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  RunResult result;
  bool stopped = false;
  {
    RunningTool tool(arguments, options, fileno(out), fileno(err));
    stopped = StopAtRename(tool);
    if (stopped) {
      at_rename(tool.pid());
      ptrace(PTRACE_DETACH, tool.pid(), nullptr, 0);
      int status = tool.Wait();
      if (WIFEXITED(status) && !tool.overdue()) result.status = WEXITSTATUS(status);
    }
  }
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  if (!stopped) return std::nullopt;
  return result;
}

constexpr RunOptions Named{.without_unnamed_files = true};

bool CanDenyUnnamedFiles() {
  return RunTool({}, Named).status == 2;
}

// Relative path -> contents of a folder with the names and shapes that have broken images
// before: blanks, a long name with a character outside the BMP (two UTF-16 units), nesting
// deeper than ISO 9660's eight levels, an empty file and folder, a file whose size is not
// a multiple of the 2048-byte block, and a symbolic link.
TreeContents SampleTree() {
  return {
      {"name with blanks.txt", "blanks"},
      {"Ünïcødé long name \U0001F600 " + std::string(70, 'x') + ".txt", "unicode"},
      {"a/b/c/d/e/f/g/h/i/deep.txt", "deep"},
      {"empty", ""},
      {"empty folder/", ""},
      {"link to blanks", "-> name with blanks.txt"},
      {"sub/odd.bin", RandomBytes(3'000'001, 1)},
  };
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The run's output split into lines.
std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream stream(out);
  std::string line;
  while (std::getline(stream, line))
    lines.push_back(line);
  return lines;
}

// The image's size as the run announced it: on one line of its own, "size: N bytes", once,
// after "Creating hybrid image..." and before the first percent. nullopt, with the reason
// in a failure of the test, when the run said it otherwise or not at all.
std::optional<uint64_t> AnnouncedSize(const std::string& out) {
  static const std::regex SizeLine("size: ([0-9]+) bytes");
  std::vector<std::string> lines = Lines(out);
  std::optional<uint64_t> size;
  std::smatch match;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].ends_with("%") && !size) {
      ADD_FAILURE() << "a percent before the size:\n" << out;
      return std::nullopt;
    }
    if (!std::regex_match(lines[i], match, SizeLine)) continue;
    if (size || i == 0 || lines[0] != "Creating hybrid image...") {
      ADD_FAILURE() << "a size line out of place:\n" << out;
      return std::nullopt;
    }
    size = std::stoull(match[1]);
  }
  if (!size) ADD_FAILURE() << "no size line:\n" << out;
  return size;
}

// The room an unprivileged user has left in folder's file system.
uint64_t FreeBytes(const std::string& folder) {
  struct statvfs room;
  if (statvfs(folder.c_str(), &room) != 0) return 0;
  return uint64_t{room.f_bavail} * room.f_frsize;
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
  // The size first; then, most of this image's 256 KiB chunks spanning several percents,
  // still a line for each.
  std::string percents;
  for (int percent = 1; percent <= 100; ++percent)
    percents += std::to_string(percent) + "%\n";
  EXPECT_TRUE(run.out.starts_with("Creating hybrid image...\nsize: " +
                                  std::to_string(fs::file_size(output_)) + " bytes\n" + percents))
      << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"output.iso"});

  // The link holds what it leads to, in both trees.
  TreeContents folder = ReadFolderTree(source_);
  folder["link to blanks"] = folder["name with blanks.txt"];
  std::optional<IsoImageContents> joliet = ReadIsoImage(output_, IsoTreeKind::Joliet);
  ASSERT_TRUE(joliet.has_value());
  EXPECT_TRUE(SameTree(joliet->tree, folder));

  // Rock Ridge readers also see where the folders too deep for ISO 9660 were moved.
  folder[".rr_moved/"] = "";
  std::optional<IsoImageContents> rock_ridge = ReadIsoImage(output_, IsoTreeKind::RockRidge);
  ASSERT_TRUE(rock_ridge.has_value());
  EXPECT_TRUE(SameTree(rock_ridge->tree, folder));
  EXPECT_EQ(rock_ridge->volume_id, "MY_FOLDER");
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

// A folder of many small files, in many folders.
TreeContents ManyFiles() {
  TreeContents tree;
  for (int i = 0; i < 2000; ++i) {
    tree["folder " + std::to_string(i % 50) + "/file " + std::to_string(i)] =
        RandomBytes(static_cast<size_t>(i * 7919 % 5000), i);
  }
  return tree;
}

// The size comes as soon as the image is laid out, before any of it is written, and is the
// finished image's size: for a small folder, for many files, and for a file of megabytes.
TEST_F(HdiutilTest, TheSizeLineGivesTheImagesSizeBeforeTheFirstPercent) {
  const std::vector<std::pair<std::string, TreeContents>> trees{
      {"small", {{"kept.txt", "kept"}}},
      {"many files", ManyFiles()},
      {"a large file", {{"large.bin", RandomBytes(6'000'001, 2)}, {"note.txt", "note"}}},
  };
  for (const auto& [name, tree] : trees) {
    SCOPED_TRACE(name);
    fs::remove_all(source_);
    WriteTree(source_, tree);
    RunResult run = RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet", "-ov"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::optional<uint64_t> size = AnnouncedSize(run.out);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(*size, fs::file_size(output_));
    EXPECT_EQ(Lines(run.out)[1], "size: " + std::to_string(*size) + " bytes");
  }
}

// A Desktop on a small file system, nearly full with an earlier image. The earlier image
// keeps its room until the new one replaces it, so the new image, which would fit in the
// place of the earlier one, does not fit: the run refuses once it knows the size, before it
// writes anything (no percent), and leaves the earlier image and no temporary file. Once the
// earlier image is gone, the same image is made.
TEST_F(HdiutilTest, RefusesAnImageTheFreeSpaceCannotHoldBeforeWritingAny) {
  SmallFileSystem small(out_folder_, "2m");
  if (!small.mounted()) GTEST_SKIP() << "mounting a small tmpfs is not allowed here";
  const std::string earlier = RandomBytes(1'500'000);
  WriteTree(source_, {{"large.bin", RandomBytes(1'000'000)}, {"note.txt", "note"}});
  for (const RunOptions& options : {RunOptions{}, Named}) {
    if (options.without_unnamed_files && !CanDenyUnnamedFiles()) continue;
    SCOPED_TRACE(options.without_unnamed_files ? "named" : "unnamed");
    WriteFile(output_, earlier);
    const uint64_t free_bytes = FreeBytes(out_folder_);
    RunResult run =
        RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet", "-ov"}, options);
    EXPECT_EQ(run.status, 1);
    std::optional<uint64_t> size = AnnouncedSize(run.out);
    ASSERT_TRUE(size.has_value());
    // What the case is about: the image needs more than is free, less than the earlier
    // image would leave.
    ASSERT_GT(*size, free_bytes);
    ASSERT_LE(*size, free_bytes + earlier.size());
    EXPECT_EQ(run.err, std::string(FailurePrefix) + "not enough space in " + out_folder_ +
                           ": the image needs " + ByteSizeText(*size) + ", " +
                           ByteSizeText(free_bytes) + " is free\n");
    EXPECT_EQ(run.out.find("%\n"), std::string::npos) << run.out;
    EXPECT_TRUE(ReadFile(output_) == earlier) << "the earlier image was changed";
    EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"output.iso"});
  }

  fs::remove(output_);
  RunResult run = RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::optional<uint64_t> size = AnnouncedSize(run.out);
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(*size, fs::file_size(output_));
}

// A relative output names its folder in full in the refusal, and a link as the output the
// folder of the file it leads to, whose file system must hold the image.
TEST_F(HdiutilTest, TheRefusalNamesTheFolderThatLacksTheSpace) {
  const std::string small_folder = scratch_.path() + "/small";
  fs::create_directories(small_folder);
  SmallFileSystem small(small_folder, "1m");
  if (!small.mounted()) GTEST_SKIP() << "mounting a small tmpfs is not allowed here";
  WriteTree(source_, {{"large.bin", RandomBytes(2'000'000)}});
  fs::create_symlink(small_folder + "/real.iso", output_);
  const std::string free_text = ByteSizeText(FreeBytes(small_folder));

  RunResult linked = RunTool({"makehybrid", "-o", output_, source_, "-ov"});
  EXPECT_EQ(linked.status, 1);
  std::optional<uint64_t> size = AnnouncedSize(linked.out);
  ASSERT_TRUE(size.has_value());
  const std::string refusal = std::string(FailurePrefix) + "not enough space in " + small_folder +
                              ": the image needs " + ByteSizeText(*size) + ", " + free_text +
                              " is free\n";
  EXPECT_EQ(linked.err, refusal);

  RunResult relative = RunTool({"makehybrid", "-o", "relative.iso", source_},
                               {.working_folder = small_folder.c_str()});
  EXPECT_EQ(relative.status, 1);
  EXPECT_EQ(relative.err, refusal);
  EXPECT_TRUE(fs::is_empty(small_folder));
}

struct WriteFailureCase {
  const char* name;
  RunOptions options;
  const char* error;  // the system's text for the failure
};

void PrintTo(const WriteFailureCase& failure, std::ostream* out) {
  *out << failure.name;
}

class HdiutilWriteFailureTest : public HdiutilTest,
                                public ::testing::WithParamInterface<WriteFailureCase> {};

// Writing the image fails, or flushing it to the device before it gets its name; with an
// unnamed temporary file or with a named one, which must not be left behind.
TEST_P(HdiutilWriteFailureTest, KeepsTheOldImageAndLeavesNoTemporaryFile) {
  const WriteFailureCase& param = GetParam();
  bool filtered = param.options.without_unnamed_files || param.options.failing_flushes;
  if (filtered && !CanDenyUnnamedFiles()) GTEST_SKIP() << "no seccomp filters";
  WriteTree(source_, {{"big.bin", RandomBytes(3'000'000)}});
  WriteFile(output_, "old image");
  RunResult run =
      RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet", "-ov"}, param.options);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with(FailurePrefix)) << run.err;
  EXPECT_NE(run.err.find(param.error), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  EXPECT_TRUE(ReadFile(output_) == "old image") << "the old image was replaced";
  EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"output.iso"});
}

// The file size limit as a shell sets it, with SIGXFSZ at its default action; a device that
// fails the flush.
INSTANTIATE_TEST_SUITE_P(
    Failures, HdiutilWriteFailureTest,
    ::testing::Values(WriteFailureCase{"TooLarge", {.file_size_limit = 1 << 20}, "File too large"},
                      WriteFailureCase{"TooLargeNamed",
                                       {.file_size_limit = 1 << 20, .without_unnamed_files = true},
                                       "File too large"},
                      WriteFailureCase{
                          "FlushFails", {.failing_flushes = true}, "Input/output error"},
                      WriteFailureCase{"FlushFailsNamed",
                                       {.without_unnamed_files = true, .failing_flushes = true},
                                       "Input/output error"}),
    [](const ::testing::TestParamInfo<WriteFailureCase>& info) {
      return std::string(info.param.name);
    });

// A name in a warning cannot start a line of its own that a caller would take for progress
// or for another warning.
TEST_F(HdiutilTest, AWarningStaysOneLineWhateverTheNameHolds) {
  fs::create_symlink("nowhere", source_ + "/odd\n100%\nwarning: forged");
  RunResult run = RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("warning: " + source_ + "/odd\\n100%\\nwarning: forged was left out"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("\nwarning: forged"), std::string::npos);
}

TEST_F(HdiutilTest, AcceptsAnOutputNameOf250Bytes) {
  WriteTree(source_, {{"kept.txt", "kept"}});
  std::string name = std::string(246, 'n') + ".iso";
  RunResult run = RunTool({"makehybrid", "-o", out_folder_ + "/" + name, source_, "-joliet"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{name});
}

// A name too long for any folder, and a link to nothing without -ov, could never take the
// image: the run fails before it makes any of it.
TEST_F(HdiutilTest, RefusesAnUnusableDestinationBeforeMakingTheImage) {
  WriteTree(source_, {{"kept.txt", "kept"}});
  const std::string too_long = out_folder_ + "/" + std::string(252, 'n') + ".iso";
  const std::string dangling = out_folder_ + "/dangling.iso";
  fs::create_symlink("missing.iso", dangling);
  for (const auto& [output, reason] :
       {std::pair{too_long, "cannot create " + too_long + ": File name too long"},
        std::pair{dangling, std::string("file exists")}}) {
    RunResult run = RunTool({"makehybrid", "-o", output, source_, "-joliet"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, FailurePrefix + reason + "\n");
    EXPECT_EQ(run.out, "Creating hybrid image...\n");
  }
  EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"dangling.iso"});
}

// With -ov, a destination that is a link, here to another link, keeps its links: the image
// replaces the file they lead to, as an editor saving through a link does.
TEST_F(HdiutilTest, ReplacesTheFileALinkedDestinationLeadsTo) {
  WriteTree(source_, {{"kept.txt", "kept"}});
  const std::string image = out_folder_ + "/images/real.iso";
  WriteFile(image, "old image");
  fs::create_symlink("images/real.iso", out_folder_ + "/middle.iso");
  fs::create_symlink("middle.iso", output_);

  RunResult run = RunTool({"makehybrid", "-o", output_, source_, "-ov"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(fs::read_symlink(output_), "middle.iso");
  EXPECT_EQ(fs::read_symlink(out_folder_ + "/middle.iso"), "images/real.iso");
  std::optional<IsoImageContents> contents = ReadIsoImage(image, IsoTreeKind::RockRidge);
  ASSERT_TRUE(contents.has_value());
  EXPECT_TRUE(SameTree(contents->tree, {{"kept.txt", "kept"}}));
  EXPECT_EQ(FolderEntries(out_folder_ + "/images"), std::vector<std::string>{"real.iso"});
}

// The destination is spelled through a link to the source folder, so that its path differs
// from the one the scan finds the earlier image at; the named temporary file lies in the
// source folder too.
TEST_F(HdiutilTest, LinkedOutputLeavesEarlierAndTemporaryImagesOut) {
  if (!CanDenyUnnamedFiles()) GTEST_SKIP() << "no seccomp filters";
  WriteTree(source_, {{"kept.txt", "kept"}, {"output.iso", "old image"}});
  std::string linked = scratch_.path() + "/linked";
  fs::create_directory_symlink(source_, linked);

  RunResult run = RunTool({"makehybrid", "-o", linked + "/output.iso", source_, "-ov"}, Named);
  ASSERT_EQ(run.status, 0) << run.err;
  std::optional<IsoImageContents> image =
      ReadIsoImage(source_ + "/output.iso", IsoTreeKind::RockRidge);
  ASSERT_TRUE(image.has_value());
  EXPECT_TRUE(SameTree(image->tree, {{"kept.txt", "kept"}}));
}

struct SignalCase {
  const char* name;
  int signal_number;
  bool named;  // whether the tool must fall back to a named temporary file
};

void PrintTo(const SignalCase& signal_case, std::ostream* out) {
  *out << signal_case.name;
}

class HdiutilSignalTest : public HdiutilTest, public ::testing::WithParamInterface<SignalCase> {};

// The signal comes once the tool has reported the first percent of a 512 MiB image (a sparse
// file, so it costs no disk), long before the end.
TEST_P(HdiutilSignalTest, EndsTheRunLeavingOnlyTheEarlierImage) {
  const SignalCase& param = GetParam();
  if (param.named && !CanDenyUnnamedFiles()) GTEST_SKIP() << "no seccomp filters";
  WriteFile(source_ + "/sparse.bin", "");
  fs::resize_file(source_ + "/sparse.bin", 512 << 20);
  WriteFile(output_, "old image");
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  std::unique_ptr<FILE, int (*)(FILE*)> out(fdopen(pipe_ends[0], "r"), std::fclose);
  RunningTool tool({"makehybrid", "-o", output_, source_, "-ov"},
                   param.named ? Named : RunOptions{}, pipe_ends[1], STDERR_FILENO);
  close(pipe_ends[1]);
  // The output ends, at the latest, when the tool is killed at its deadline.
  char line[64];
  while (std::fgets(line, sizeof line, out.get()) != nullptr &&
         !std::string_view(line).ends_with("%\n")) {
  }
  // A named temporary file is there, hidden; an unnamed one is not there at all.
  EXPECT_EQ(FolderEntries(out_folder_).size(), param.named ? 2u : 1u);
  kill(tool.pid(), param.signal_number);
  int status = tool.Wait();
  ASSERT_FALSE(tool.overdue());

  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == param.signal_number) << status;
  EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"output.iso"});
  EXPECT_EQ(ReadFile(output_), "old image");
}

INSTANTIATE_TEST_SUITE_P(
    Signals, HdiutilSignalTest,
    ::testing::Values(SignalCase{"Term", SIGTERM, false}, SignalCase{"Int", SIGINT, false},
                      SignalCase{"Hup", SIGHUP, false}, SignalCase{"Kill", SIGKILL, false},
                      SignalCase{"TermNamed", SIGTERM, true}, SignalCase{"IntNamed", SIGINT, true},
                      SignalCase{"HupNamed", SIGHUP, true}),
    [](const ::testing::TestParamInfo<SignalCase>& info) { return std::string(info.param.name); });

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

// The window cancels a run as it renames the finished image over the earlier one, which on
// some file systems takes long for a large image. The destination holds the new image then:
// the run has succeeded and must say so, not end as though cancelled.
TEST_F(HdiutilTest, SignalDuringTheFinalRenameLeavesTheRunSucceeded) {
  WriteTree(source_, {{"kept.txt", "kept"}});
  WriteFile(output_, "old image");
  std::optional<RunResult> run = RunStoppingAtRename({"makehybrid", "-o", output_, source_, "-ov"},
                                                     {}, [](pid_t tool) { kill(tool, SIGTERM); });
  if (!run) GTEST_SKIP() << "the tool cannot be traced here";
  EXPECT_EQ(run->status, 0);
  EXPECT_EQ(run->err, "");
  EXPECT_TRUE(run->out.ends_with("created: " + output_ + "\n")) << run->out;
  std::optional<IsoImageContents> image = ReadIsoImage(output_, IsoTreeKind::RockRidge);
  ASSERT_TRUE(image.has_value());
  EXPECT_TRUE(SameTree(image->tree, {{"kept.txt", "kept"}}));
}

// Another program makes the destination while the image is written, here just before the
// final rename: without -ov, the run must leave it as it is, and no temporary file.
TEST_F(HdiutilTest, KeepsADestinationThatAppearsDuringTheRun) {
  WriteTree(source_, {{"kept.txt", "kept"}});
  for (const RunOptions& options : {RunOptions{}, Named}) {
    if (options.without_unnamed_files && !CanDenyUnnamedFiles()) continue;
    std::optional<RunResult> run =
        RunStoppingAtRename({"makehybrid", "-o", output_, source_}, options,
                            [this](pid_t) { WriteFile(output_, "another image"); });
    if (!run) GTEST_SKIP() << "the tool cannot be traced here";
    EXPECT_EQ(run->status, 1);
    EXPECT_EQ(run->err, std::string(FailurePrefix) + "file exists\n");
    EXPECT_TRUE(ReadFile(output_) == "another image") << "the image replaced it";
    EXPECT_EQ(FolderEntries(out_folder_), std::vector<std::string>{"output.iso"});
    fs::remove(output_);
  }
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

// As GNOME's file manager words sizes, and rounding half up, so that the window and the tool
// agree on each.
TEST(ByteSizeTextTest, DecimalUnitsWithOneDecimal) {
  const std::vector<std::pair<uint64_t, std::string>> cases{
      {0, "0 bytes"},
      {1, "1 byte"},
      {999, "999 bytes"},
      {1000, "1.0 kB"},
      {1049, "1.0 kB"},
      {1050, "1.1 kB"},
      {999'949, "999.9 kB"},
      {999'950, "1.0 MB"},
      {3'031'040, "3.0 MB"},
      {3'200'000'000, "3.2 GB"},
      {3'249'999'999, "3.2 GB"},
      {3'250'000'000, "3.3 GB"},
      {1'500'000'000'000, "1.5 TB"},
      {UINT64_MAX, "18.4 EB"},
  };
  for (const auto& [bytes, text] : cases)
    EXPECT_EQ(ByteSizeText(bytes), text) << bytes;
}

TEST(CommandLineTest, FailureLineKeepsAReasonOnOneLine) {
  EXPECT_EQ(FailureLine("a\nb\tc"), std::string(FailurePrefix) + "a\\x0Ab\\x09c\n");
}

}  // namespace

// The image read back by the readers that users have: bsdtar (libarchive, which archive
// managers are built on), osirrox, and isoinfo for the Joliet tree that Windows reads.
namespace {

constexpr time_t Dated = 981'173'106;  // 2001-02-03 04:05:06 UTC

// The regular files under folder, and their modification times.
TreeContents FilesIn(const std::string& folder, std::map<std::string, time_t>& modified) {
  TreeContents files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    std::string relative = entry.path().lexically_relative(folder).string();
    files[relative] = ReadFile(entry.path().string());
    struct stat info;
    modified[relative] = lstat(entry.path().c_str(), &info) == 0 ? info.st_mtime : -1;
  }
  return files;
}

// Each file of isoinfo's Joliet listing, by path, with the date it shows ("Feb  3 2001").
std::map<std::string, std::string> JolietFileDates(const std::string& listing) {
  static const std::regex Heading("Directory listing of /(.*)");
  static const std::regex Entry(
      R"(^-\S*\s+\d+\s+\d+\s+\d+\s+\d+ (\w{3} [ \d]\d \d{4}) \[[^\]]*\]  (.*?)(;1)? ?$)");
  std::map<std::string, std::string> dates;
  std::string folder;
  std::istringstream lines(listing);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, match, Heading)) {
      folder = match[1];
    } else if (std::regex_match(line, match, Entry)) {
      dates[folder + match[2].str()] = match[1];
    }
  }
  return dates;
}

TEST_F(HdiutilTest, ReadersGetTheFolderAsAFileManagerShowsIt) {
  for (const char* reader : {"bsdtar", "osirrox", "isoinfo"}) {
    if (!HasProgram(reader)) GTEST_SKIP() << reader << " is not installed";
  }
  const std::string elsewhere = scratch_.path() + "/elsewhere";
  const std::string deep = "1/2/3/4/5/6/7/8/9/10/11/12/deep.txt";
  WriteTree(elsewhere, {{"Projects/report.txt", "important"},
                        {"Projects/plans/2001.txt", RandomBytes(5000)},
                        {"single.txt", "a linked file"}});
  WriteTree(source_, {{"name with a blank.txt", "blank"},
                      {"empty", ""},
                      {deep, "deep"},
                      {"single link.txt", "-> ../elsewhere/single.txt"},
                      {"sub/loop", "-> .."},
                      {"dangling", "-> nowhere"}});
  fs::create_directory_symlink(elsewhere + "/Projects", source_ + "/Projects");
  for (const std::string& folder : {source_, elsewhere}) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
      if (!entry.is_regular_file() || entry.is_symlink()) continue;
      timespec times[2] = {{Dated, 0}, {Dated, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, entry.path().c_str(), times, 0), 0);
    }
  }
  const TreeContents expected{{"Projects/plans/2001.txt", RandomBytes(5000)},
                              {"Projects/report.txt", "important"},
                              {deep, "deep"},
                              {"empty", ""},
                              {"name with a blank.txt", "blank"},
                              {"single link.txt", "a linked file"}};

  RunResult run = RunTool({"makehybrid", "-o", output_, source_, "-iso", "-joliet"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("warning: " + source_ + "/dangling was left out"), std::string::npos);
  EXPECT_NE(run.out.find("warning: " + source_ + "/sub/loop was left out"), std::string::npos);

  const std::vector<std::vector<std::string>> extractions{
      {"bsdtar", "-xf", output_, "-C", "TO"},
      {"osirrox", "-indev", output_, "-extract", "/", "TO"}};
  for (std::vector<std::string> command : extractions) {
    const std::string into = scratch_.path() + "/" + command[0];
    fs::create_directory(into);
    std::replace(command.begin(), command.end(), std::string("TO"), into);
    std::string output;
    EXPECT_EQ(RunProgram(command, output), 0) << command[0] << ": " << output;
    std::map<std::string, time_t> modified;
    EXPECT_TRUE(SameTree(FilesIn(into, modified), expected)) << command[0];
    for (const auto& [path, time] : modified)
      EXPECT_EQ(time, Dated) << command[0] << ": " << path;
  }

  std::string listing;
  ASSERT_EQ(RunProgram({"isoinfo", "-J", "-l", "-i", output_}, listing), 0) << listing;
  std::map<std::string, std::string> joliet_dates;
  for (const auto& [path, contents] : expected)
    joliet_dates[path] = "Feb  3 2001";
  EXPECT_EQ(JolietFileDates(listing), joliet_dates) << listing;
}

}  // namespace
