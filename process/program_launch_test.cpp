#include "process/program_launch.h"
#include "process/kept_programs.h"
#include "process/pipe_reader.h"
#include "process/runner_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process/process_test_support.h"
#include "process/program_output.h"
#include "runtime/memory.h"
#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"
#include "runtime/text_conversion.h"

namespace {

namespace fs = std::filesystem;

class ProgramLaunchTest : public ProgramRunnerTest {
 protected:
  void SetUp() override {
    ProgramRunnerTest::SetUp();
    char pattern[] = "/tmp/brevik-launch-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    fs::remove_all(folder_);
    ProgramRunnerTest::TearDown();
  }

  static ProgramRecord* Keep(const char16_t* name, const char16_t* parameters, uint32_t flags) {
    return reinterpret_cast<ProgramRecord*>(LaunchProgram(name, parameters, u"", flags));
  }

  static std::u16string ReadLine(ProgramRecord* record) {
    StringMark mark;
    return ReadProgramOutputLine(record, mark.Offset());
  }

  // An executable file with the given content.
  std::string WriteProgram(const std::string& name, const std::string& content) const {
    std::string path = folder_ + "/" + name;
    std::ofstream(path) << content;
    chmod(path.c_str(), 0755);
    return path;
  }

  // Runtime strings keep spare room after their terminator, and StringLength reads the
  // whole aligned 16-byte block that holds it; these test strings get the same room.
  static std::u16string Utf16(const std::string& ascii) {
    std::u16string text;
    text.reserve(ascii.size() + 8);
    text.assign(ascii.begin(), ascii.end());
    return text;
  }

  std::string folder_;
};

std::vector<std::string> Split(const std::string& text, int slot_count = 16) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  std::vector<char*> slots(static_cast<size_t>(slot_count), nullptr);
  int count = SplitParameters(copy.data(), slots.data(), slot_count);
  EXPECT_GE(count, 0);
  if (count < 0) return {};
  EXPECT_EQ(slots[static_cast<size_t>(count)], nullptr);
  return std::vector<std::string>(slots.begin(), slots.begin() + count);
}

using Arguments = std::vector<std::string>;

TEST(SplitParametersTest, BlanksTabsAndLineFeedsSeparateWithoutEmptyArguments) {
  EXPECT_EQ(Split("-a  b"), (Arguments{"-a", "b"}));
  EXPECT_EQ(Split("makehybrid -o "), (Arguments{"makehybrid", "-o"}));
  EXPECT_EQ(Split(" \t\n a\tb\nc "), (Arguments{"a", "b", "c"}));
  EXPECT_EQ(Split(""), Arguments{});
  EXPECT_EQ(Split(" \t "), Arguments{});
}

TEST(SplitParametersTest, QuotesKeepBlanksInOneArgument) {
  EXPECT_EQ(Split("say \"hello world\""), (Arguments{"say", "hello world"}));
  EXPECT_EQ(Split("/Users/a b/x"), (Arguments{"/Users/a", "b/x"}));
  EXPECT_EQ(Split("\"/Users/a b/x\" -iso"), (Arguments{"/Users/a b/x", "-iso"}));
  // The character after the closing quote starts the next argument at once.
  EXPECT_EQ(Split("\"ab\"cd"), (Arguments{"ab", "cd"}));
  EXPECT_EQ(Split("\"\""), (Arguments{""}));
  EXPECT_EQ(Split("x \"\" y"), (Arguments{"x", "", "y"}));
  // An unclosed quote runs to the end.
  EXPECT_EQ(Split("a \"b c"), (Arguments{"a", "b c"}));
  // A line feed does not end a quoted argument.
  EXPECT_EQ(Split("\"a\nb\" c"), (Arguments{"a\nb", "c"}));
}

TEST(SplitParametersTest, QuotesInsidePlainArgumentsAndCarriageReturnsAreOrdinary) {
  EXPECT_EQ(Split("a\"b c\""), (Arguments{"a\"b", "c\""}));
  EXPECT_EQ(Split("a\rb"), (Arguments{"a\rb"}));
}

TEST(SplitParametersTest, RefusesMoreArgumentsThanSlotsWithoutWritingPastThem) {
  std::string text;
  for (int i = 0; i < ProgramArgumentLimit; ++i)
    text += "x ";
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  const int slot_count = ProgramArgumentLimit + 1;
  std::vector<char*> slots(slot_count + 1, nullptr);
  char canary = 0;
  slots[slot_count] = &canary;
  EXPECT_EQ(SplitParameters(copy.data(), slots.data(), slot_count), ProgramArgumentLimit);
  EXPECT_EQ(slots[ProgramArgumentLimit], nullptr);

  text += "one-too-many";
  copy.assign(text.begin(), text.end());
  copy.push_back('\0');
  EXPECT_EQ(SplitParameters(copy.data(), slots.data(), slot_count), -1);
  EXPECT_EQ(slots[slot_count - 1], nullptr);
  EXPECT_EQ(slots[slot_count], &canary);
}

TEST_F(ProgramLaunchTest, KeepAndWaitReturnWithTheExitCodeSet) {
  ProgramRecord* record = Keep(u"sh", u"-c \"exit 7\"", LaunchKeep | LaunchWait);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ProgramExitCode(record), 7);
  EXPECT_EQ(record->output, nullptr);
  ReleaseProgram(record);

  // A program ended by a signal gives 1.
  record = Keep(u"sh", u"-c \"kill -KILL $$\"", LaunchKeep | LaunchWait);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ProgramExitCode(record), 1);
  ReleaseProgram(record);
}

// With SIGCHLD ignored the system reaps the children itself, and their status is lost: the
// record must still end, as a failure, whether its launch or its waiter collects the end.
TEST_F(ProgramLaunchTest, EndWhoseStatusIsLostReadsAsFailure) {
  struct sigaction saved_child;
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved_child);
  ProgramRecord* waited = Keep(u"sh", u"-c \"exit 0\"", LaunchKeep | LaunchWait);
  ProgramRecord* watched = Keep(u"sh", u"-c \"exit 0\"", LaunchKeep);
  const int32_t watched_end = watched == nullptr ? 0 : WaitProgramEnd(watched, -1);
  sigaction(SIGCHLD, &saved_child, nullptr);
  ASSERT_NE(waited, nullptr);
  ASSERT_NE(watched, nullptr);
  EXPECT_EQ(ProgramExitCode(waited), 1);
  EXPECT_EQ(watched_end, 1);
  EXPECT_EQ(ProgramExitCode(watched), 1);
  ReleaseProgram(waited);
  ReleaseProgram(watched);
}

TEST_F(ProgramLaunchTest, ApplicationFlagsGiveOutputAndErrorReadersWhileRunning) {
  ProgramRecord* record = Keep(u"sleep", u"5", LaunchKeep | LaunchReadOutput | LaunchReadError);
  ASSERT_NE(record, nullptr);
  EXPECT_GT(record->pid, 0);
  EXPECT_EQ(record->flags, 44u);
  EXPECT_EQ(ProgramExitCode(record), -1);
  EXPECT_NE(record->output, nullptr);
  EXPECT_NE(record->error, nullptr);
  EXPECT_EQ(record->input, nullptr);
  kill(record->pid, SIGKILL);
  EXPECT_EQ(WaitProgramEnd(record, -1), 1);
  EXPECT_EQ(ProgramExitCode(record), 1);
  ReleaseProgram(record);
}

TEST_F(ProgramLaunchTest, NamesThatAreNotFoundStartNothing) {
  EXPECT_EQ(LaunchProgram(u"brevik-no-such-program", u"", u"", 0), 0);
  EXPECT_EQ(LaunchProgram(u"./brevik-no-such-program", u"", u"", LaunchKeep), 0);
  EXPECT_EQ(LaunchProgram(u"/no/such/program", u"", u"", LaunchKeep), 0);
  EXPECT_EQ(LaunchProgram(u"", u"", u"", LaunchKeep), 0);
  EXPECT_EQ(LaunchProgram(nullptr, nullptr, nullptr, LaunchKeep), 0);
  // Folders, empty files and files without execute permission are not programs.
  EXPECT_EQ(LaunchProgram(Utf16(folder_).c_str(), u"", u"", LaunchKeep), 0);
  std::string empty = WriteProgram("empty", "");
  EXPECT_EQ(LaunchProgram(Utf16(empty).c_str(), u"", u"", LaunchKeep), 0);
  std::string plain = WriteProgram("plain", "#!/bin/sh\nexit 0\n");
  chmod(plain.c_str(), 0644);
  EXPECT_EQ(LaunchProgram(Utf16(plain).c_str(), u"", u"", LaunchKeep), 0);
}

TEST_F(ProgramLaunchTest, DotSlashNamesAreCheckedInTheCurrentFolderOnly) {
  WriteProgram("tool", "#!/bin/sh\nexit 6\n");
  std::string plain = WriteProgram("plain", "#!/bin/sh\nexit 0\n");
  chmod(plain.c_str(), 0644);
  fs::create_directory(folder_ + "/elsewhere");
  fs::path before = fs::current_path();
  EnvironmentChange path("PATH", folder_.c_str());

  // Not found through PATH, although PATH holds a "tool".
  fs::current_path(folder_ + "/elsewhere");
  EXPECT_EQ(LaunchProgram(u"./tool", u"", u"", LaunchKeep | LaunchWait), 0);
  fs::current_path(folder_);
  EXPECT_EQ(LaunchProgram(u"./plain", u"", u"", LaunchKeep | LaunchWait), 0);
  ProgramRecord* record = Keep(u"./tool", u"", LaunchKeep | LaunchWait);
  fs::current_path(before);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ProgramExitCode(record), 6);
  ReleaseProgram(record);
}

TEST_F(ProgramLaunchTest, AbsolutePathsNeedNoPath) {
  EnvironmentChange path("PATH", nullptr);
  EXPECT_EQ(LaunchProgram(u"sh", u"-c true", u"", LaunchKeep | LaunchWait), 0);
  ProgramRecord* record = Keep(u"/bin/sh", u"-c \"exit 3\"", LaunchKeep | LaunchWait);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ProgramExitCode(record), 3);
  ReleaseProgram(record);
}

TEST_F(ProgramLaunchTest, PathEntriesAreSearchedAndEmptyOnesSkipped) {
  WriteProgram("brevik-probe", "#!/bin/sh\nexit 5\n");
  for (const std::string& entries : {"::" + folder_, "/no/such:" + folder_ + "/"}) {
    EnvironmentChange path("PATH", entries.c_str());
    ProgramRecord* record = Keep(u"brevik-probe", u"", LaunchKeep | LaunchWait);
    ASSERT_NE(record, nullptr) << entries;
    EXPECT_EQ(ProgramExitCode(record), 5);
    ReleaseProgram(record);
  }
  // A trailing empty entry does not stand for the current folder.
  fs::path before = fs::current_path();
  fs::current_path(folder_);
  EnvironmentChange path("PATH", "/no/such:");
  EXPECT_EQ(LaunchProgram(u"brevik-probe", u"", u"", LaunchKeep | LaunchWait), 0);
  fs::current_path(before);
}

TEST_F(ProgramLaunchTest, WorkingDirectoryIsEnteredWhenItExists) {
  auto* record = reinterpret_cast<ProgramRecord*>(LaunchProgram(
      u"pwd", u"", Utf16(folder_).c_str(), LaunchKeep | LaunchWait | LaunchReadOutput));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ReadLine(record), Utf16(folder_));
  ReleaseProgram(record);

  record = reinterpret_cast<ProgramRecord*>(
      LaunchProgram(u"pwd", u"", u"/no/such/folder", LaunchKeep | LaunchWait | LaunchReadOutput));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ReadLine(record), Utf16(fs::current_path().string()));
  ReleaseProgram(record);
}

TEST_F(ProgramLaunchTest, WaitWithoutKeepReturnsOneAfterTheEnd) {
  std::string mark = folder_ + "/done";
  std::u16string parameters = Utf16("-c \"echo > " + mark + "\"");
  EXPECT_EQ(LaunchProgram(u"sh", parameters.c_str(), u"", LaunchWait), 1);
  EXPECT_TRUE(fs::exists(mark));
}

void Pause() {
  timespec pause = {0, 1'000'000};
  nanosleep(&pause, nullptr);
}

// The started program must not be a child of this process, so that it can never become a
// zombie here.
TEST_F(ProgramLaunchTest, DetachedProgramIsNotAChildOfThisProcess) {
  std::string pid_file = folder_ + "/pid";
  std::string go_file = folder_ + "/go";
  std::u16string parameters =
      Utf16("-c \"echo $$ > " + pid_file + ".tmp; mv " + pid_file + ".tmp " + pid_file +
            "; while [ ! -e " + go_file + " ]; do sleep 0.01; done\"");
  EXPECT_EQ(LaunchProgramDetached(u"sh", parameters.c_str(), u""), 1);
  // The program is not below this process, so the watchdog cannot end it: whatever happens
  // next, the go file does.
  struct LetItEnd {
    std::string go_file;
    ~LetItEnd() { std::ofstream(go_file) << ""; }
  } let_it_end{go_file};
  while (!fs::exists(pid_file) && !watchdog_.Fired())
    Pause();
  pid_t pid = 0;
  std::ifstream(pid_file) >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_NE(StatusOf(pid).parent, getpid());
  int status;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  std::ofstream(go_file) << "";
  while (ProcessRuns(pid) && !watchdog_.Fired())
    Pause();
}

TEST_F(ProgramLaunchTest, ByNameFindsTheProgramOnPathAndRunsItWithoutArguments) {
  const std::string mark = folder_ + "/ran";
  WriteProgram("brevik-by-name", "#!/bin/sh\necho \"$#\" > '" + mark + ".tmp'; mv '" + mark +
                                     ".tmp' '" + mark + "'\n");
  EnvironmentChange path("PATH", (folder_ + ":/usr/bin:/bin").c_str());
  EXPECT_EQ(LaunchProgramByName(u"brevik-by-name"), 1);
  while (!fs::exists(mark) && !watchdog_.Fired())
    Pause();
  std::string argument_count;
  std::getline(std::ifstream(mark), argument_count);
  EXPECT_EQ(argument_count, "0");
}

TEST_F(ProgramLaunchTest, TooManyArgumentsFailTheLaunch) {
  std::string parameters = "-c \"echo $#\" sh";
  // The name, "-c", the script and $0 take four of the 511 places; 507 remain for $#.
  for (int i = 0; i < ProgramArgumentLimit - 3; ++i)
    parameters += " a";
  ProgramRecord* record =
      Keep(u"sh", Utf16(parameters).c_str(), LaunchKeep | LaunchWait | LaunchReadOutput);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ReadLine(record), u"507");
  ReleaseProgram(record);

  parameters += " a";
  EXPECT_EQ(LaunchProgram(u"sh", Utf16(parameters).c_str(), u"", LaunchKeep | LaunchWait), 0);
  EXPECT_EQ(LaunchProgram(u"sh", Utf16(parameters).c_str(), u"", 0), 0);
}

// The list form: the program gets each argument exactly as given.
class ProgramArgumentsTest : public ProgramLaunchTest {
 protected:
  void SetUp() override {
    ProgramLaunchTest::SetUp();
    record_ = folder_ + "/arguments";
    // Writes its arguments, each ended by a zero byte, to the record.
    WriteProgram(
        "record-arguments",
        "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + record_ + "'\n");
  }

  std::string Recorder() const { return folder_ + "/record-arguments"; }

  // Launches the recorder with the arguments and waits for it; nullopt when the launch failed.
  std::optional<Arguments> Record(const Arguments& arguments) {
    std::vector<std::unique_ptr<char16_t, decltype(&free)>> wide;
    std::vector<const char16_t*> pointers;
    for (const std::string& argument : arguments) {
      wide.emplace_back(Utf8ToStringCopy(argument.c_str()), &free);
      pointers.push_back(wide.back().get());
    }
    fs::remove(record_);
    auto* record = reinterpret_cast<ProgramRecord*>(LaunchProgramArguments(
        Utf16(Recorder()).c_str(), pointers.data(), static_cast<int32_t>(pointers.size()), u"",
        LaunchKeep | LaunchWait));
    if (record == nullptr) return std::nullopt;
    EXPECT_EQ(ProgramExitCode(record), 0);
    ReleaseProgram(record);
    return Recorded();
  }

  // What the recorder wrote, one entry per argument.
  Arguments Recorded() const {
    std::ifstream file(record_, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Arguments received;
    for (size_t start = 0; start < all.size();) {
      const size_t end = all.find('\0', start);
      received.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    return received;
  }

  std::string record_;
};

TEST_F(ProgramArgumentsTest, EachArgumentReachesTheProgramUnchanged) {
  const Arguments arguments = {
      "My \"best\" photos", "tab\there",         "line\nfeed",       "-leading dash", "",    "\"",
      "\"quoted\"",         "  blanks around  ", "carriage\rreturn", "ünïcødé 😀",     "last"};
  EXPECT_EQ(Record(arguments), arguments);
}

TEST_F(ProgramArgumentsTest, NoArgumentsRunTheProgramByItsNameAlone) {
  EXPECT_EQ(Record({}), Arguments{});
  EXPECT_EQ(Record({""}), Arguments{""});
  // A null list of no arguments, and a null argument, which reads as empty.
  const std::u16string recorder = Utf16(Recorder());
  fs::remove(record_);
  auto* record = reinterpret_cast<ProgramRecord*>(
      LaunchProgramArguments(recorder.c_str(), nullptr, 0, u"", LaunchKeep | LaunchWait));
  ASSERT_NE(record, nullptr);
  ReleaseProgram(record);
  EXPECT_TRUE(fs::exists(record_));
  EXPECT_EQ(Recorded(), Arguments{});
  const char16_t* with_null[] = {u"a", nullptr, u"b"};
  record = reinterpret_cast<ProgramRecord*>(
      LaunchProgramArguments(recorder.c_str(), with_null, 3, u"", LaunchKeep | LaunchWait));
  ASSERT_NE(record, nullptr);
  ReleaseProgram(record);
  EXPECT_EQ(Recorded(), (Arguments{"a", "", "b"}));
}

TEST_F(ProgramArgumentsTest, AtMostTheArgumentLimitIsAccepted) {
  const Arguments most(ProgramArgumentLimit, "x");
  EXPECT_EQ(Record(most), most);
  Arguments too_many = most;
  too_many.push_back("x");
  fs::remove(record_);
  EXPECT_EQ(Record(too_many), std::nullopt);
  EXPECT_FALSE(fs::exists(record_));
  EXPECT_EQ(
      LaunchProgramArguments(Utf16(Recorder()).c_str(), nullptr, -1, u"", LaunchKeep | LaunchWait),
      0);
  EXPECT_FALSE(fs::exists(record_));
}

// Only the arguments' source differs from the text form: the program is found and started,
// its streams piped and its record kept the same way.
TEST_F(ProgramArgumentsTest, TheLaunchIsTheTextFormsLaunch) {
  const char16_t* arguments[] = {u"-c", u"pwd; echo \"$1\" >&2; exit 3", u"sh", u"a  b"};
  EXPECT_EQ(LaunchProgramArguments(u"brevik-no-such-program", arguments, 4, u"", LaunchKeep), 0);
  EXPECT_EQ(LaunchProgramArguments(Utf16(folder_).c_str(), arguments, 4, u"", LaunchKeep), 0);

  auto* record = reinterpret_cast<ProgramRecord*>(
      LaunchProgramArguments(u"sh", arguments, 4, Utf16(folder_).c_str(),
                             LaunchKeep | LaunchReadOutput | LaunchReadError));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->flags, 44u);
  EXPECT_NE(record->output, nullptr);
  EXPECT_NE(record->error, nullptr);
  EXPECT_EQ(record->input, nullptr);
  EXPECT_EQ(WaitProgramEnd(record, -1), 1);
  EXPECT_EQ(ProgramExitCode(record), 3);
  EXPECT_EQ(ReadLine(record), Utf16(folder_));
  StringMark mark;
  EXPECT_EQ(std::u16string(ReadProgramErrorLine(record, mark.Offset())), u"a  b");
  ReleaseProgram(record);

  // Without LaunchKeep: 1, and the program detached.
  const std::string mark_file = folder_ + "/detached";
  const std::u16string script = Utf16("echo > '" + mark_file + "'");
  const char16_t* detached[] = {u"-c", script.c_str()};
  EXPECT_EQ(LaunchProgramArguments(u"sh", detached, 2, u"", 0), 1);
  while (!fs::exists(mark_file) && !watchdog_.Fired())
    Pause();
  EXPECT_TRUE(fs::exists(mark_file));
}

// The typed form is the list form's kept launch whatever flags it is given: without it, a
// launch lacking LaunchKeep would hand back the detached launch's 1 as a record.
TEST_F(ProgramLaunchTest, KeptLaunchGivesARecordEvenWithoutTheKeepFlag) {
  const char16_t* arguments[] = {u"kept  line"};
  ProgramRecord* record = LaunchKeptProgram(u"echo", arguments, 1, u"", LaunchReadOutput);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ReadLine(record), u"kept  line");
  EXPECT_EQ(WaitProgramEnd(record, -1), 1);
  EXPECT_EQ(ProgramExitCode(record), 0);
  ReleaseProgram(record);
  EXPECT_EQ(LaunchKeptProgram(u"brevik-no-such-program", arguments, 1, u"", LaunchReadOutput),
            nullptr);
}

// exit() in the child would flush the copy of this process's stdio buffers it inherited.
TEST_F(ProgramLaunchTest, FailedExecEndsWithStatusOneAndFlushesNothing) {
  std::string broken = WriteProgram("broken", "#!/no/such/interpreter\n");
  std::string log_path = folder_ + "/log";
  FILE* log = fopen(log_path.c_str(), "w");
  ASSERT_NE(log, nullptr);
  setvbuf(log, nullptr, _IOFBF, 4096);
  fputs("buffered\n", log);
  auto* record = reinterpret_cast<ProgramRecord*>(
      LaunchProgram(Utf16(broken).c_str(), u"", u"", LaunchKeep | LaunchWait | LaunchReadOutput));
  fclose(log);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ProgramExitCode(record), 1);
  EXPECT_EQ(ReadLine(record), u"");
  ReleaseProgram(record);
  std::ifstream logged(log_path);
  std::string content((std::istreambuf_iterator<char>(logged)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "buffered\n");
}

std::string PipeIdentity(int fd) {
  std::error_code error;
  return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

bool ProcessHoldsPipe(pid_t pid, const std::string& identity) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    if (fs::read_symlink(entry.path(), error).string() == identity) return true;
  }
  return false;
}

// Until its exec the child still holds every descriptor of this process.
void WaitForExec(pid_t pid, const std::string& command) {
  std::string comm_file = "/proc/" + std::to_string(pid) + "/comm";
  for (std::string name; name != command && ProcessRuns(pid);) {
    Pause();
    std::getline(std::ifstream(comm_file), name);
  }
}

TEST_F(ProgramLaunchTest, LaterProgramsDoNotInheritEarlierPipes) {
  ProgramRecord* first = Keep(u"cat", u"", LaunchKeep | LaunchReadOutput | LaunchWriteInput);
  ASSERT_NE(first, nullptr);
  ProgramRecord* second = Keep(u"sleep", u"5", LaunchKeep | LaunchReadOutput | LaunchReadError);
  ASSERT_NE(second, nullptr);
  WaitForExec(second->pid, "sleep");

  std::string input_pipe = PipeIdentity(fileno(first->input));
  std::string output_pipe = PipeIdentity(fileno(first->output->stream));
  EXPECT_FALSE(input_pipe.empty());
  EXPECT_FALSE(ProcessHoldsPipe(second->pid, input_pipe));
  EXPECT_FALSE(ProcessHoldsPipe(second->pid, output_pipe));

  // cat ends when the only writer of its input closes it, though the second program runs.
  fputs("last\n", first->input);
  fclose(first->input);
  first->input = nullptr;
  EXPECT_EQ(ReadLine(first), u"last");
  EXPECT_EQ(ReadLine(first), u"");
  EXPECT_EQ(ProgramIsRunning(first), 0);
  EXPECT_EQ(ProgramExitCode(first), 0);
  EXPECT_EQ(WaitProgramEnd(second, 0), 0);
  ReleaseProgram(first);

  kill(second->pid, SIGKILL);
  EXPECT_EQ(WaitProgramEnd(second, -1), 1);
  ReleaseProgram(second);
}

// Descriptors that this process left open without close-on-exec (its own, a library's) are
// not the program's business.
TEST_F(ProgramLaunchTest, ProgramHoldsOnlyItsStandardStreams) {
  const int null = open("/dev/null", O_RDONLY);
  int spare[2];
  ASSERT_GE(null, 0);
  ASSERT_EQ(pipe(spare), 0);
  ProgramRecord* record = Keep(u"ls", u"/proc/self/fd", LaunchKeep | LaunchWait | LaunchReadOutput);
  close(null);
  close(spare[0]);
  close(spare[1]);
  ASSERT_NE(record, nullptr);
  std::vector<std::u16string> listed;
  for (std::u16string line = ReadLine(record); !line.empty(); line = ReadLine(record))
    listed.push_back(line);
  // 3 is the folder that ls reads, the lowest number free in the program.
  EXPECT_EQ(listed, (std::vector<std::u16string>{u"0", u"1", u"2", u"3"}));
  ReleaseProgram(record);
}

uint64_t StatusMask(ProgramRecord* record, const std::u16string& field) {
  for (std::u16string line = u"x"; !line.empty();) {
    StringMark mark;
    line = ReadProgramOutputLine(record, mark.Offset());
    if (line.rfind(field, 0) != 0) continue;
    std::string digits(line.begin() + static_cast<std::ptrdiff_t>(field.size()), line.end());
    return std::stoull(digits, nullptr, 16);
  }
  ADD_FAILURE() << "no such status line";
  return ~0ull;
}

void IgnoreSignal(int signal_number, struct sigaction* saved) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(signal_number, &ignore, saved);
}

TEST_F(ProgramLaunchTest, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
  struct sigaction saved_pipe;
  IgnoreSignal(SIGPIPE, &saved_pipe);
  sigset_t blocked;
  sigset_t saved_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask);
  ProgramRecord* record = Keep(u"cat", u"/proc/self/status", LaunchKeep | LaunchReadOutput);
  sigaction(SIGPIPE, &saved_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  ASSERT_NE(record, nullptr);

  // The status file lists the blocked signals before the ignored ones.
  EXPECT_EQ(StatusMask(record, u"SigBlk:\t"), 0u);
  EXPECT_EQ(StatusMask(record, u"SigIgn:\t"), 0u);
  ReleaseProgram(record);
}

TEST_F(ProgramLaunchTest, ChildDiesOfABrokenPipeLikeAnyProgram) {
  struct sigaction saved_pipe;
  IgnoreSignal(SIGPIPE, &saved_pipe);
  ProgramRecord* record = Keep(u"sh", u"-c \"read x; echo late; echo survived >&2\"",
                               LaunchKeep | LaunchReadOutput | LaunchReadError | LaunchWriteInput);
  sigaction(SIGPIPE, &saved_pipe, nullptr);
  ASSERT_NE(record, nullptr);
  PipeReaderClose(record->output);
  record->output = nullptr;
  fputs("go\n", record->input);
  fflush(record->input);
  EXPECT_EQ(WaitProgramEnd(record, -1), 1);
  EXPECT_EQ(ProgramExitCode(record), 1);
  StringMark mark;
  EXPECT_EQ(std::u16string(ReadProgramErrorLine(record, mark.Offset())), u"");
  ReleaseProgram(record);
}

int RefuseThread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
  return EAGAIN;
}

class WaiterRefused {
 public:
  WaiterRefused() : saved_(ProgramWaiterThreadCreate) { ProgramWaiterThreadCreate = RefuseThread; }
  ~WaiterRefused() { ProgramWaiterThreadCreate = saved_; }

 private:
  ThreadCreateFunction saved_;
};

TEST_F(ProgramLaunchTest, WithoutAWaiterTheOwnerCollectsTheEnd) {
  ProgramRecord* record;
  {
    WaiterRefused refused;
    record = Keep(u"sh", u"-c \"exit 4\"", LaunchKeep);
  }
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(WaitProgramEnd(record, -1), 1);
  EXPECT_EQ(ProgramExitCode(record), 4);
  ReleaseProgram(record);
}

TEST_F(ProgramLaunchTest, WithoutAWaiterReleaseReapsTheRunningProgram) {
  ProgramRecord* record;
  {
    WaiterRefused refused;
    record = Keep(u"sh", u"-c \"read x\"", LaunchKeep | LaunchWriteInput);
  }
  ASSERT_NE(record, nullptr);
  pid_t pid = record->pid;
  EXPECT_EQ(WaitProgramEnd(record, 0), 0);
  // Closing the input ends the program; release waits for that and reaps it.
  ReleaseProgram(record);
  int status;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Waits until the process is blocked reading a pipe; false when it ended instead.
bool BlockedInPipeRead(pid_t pid) {
  std::string wait_channel = "/proc/" + std::to_string(pid) + "/wchan";
  while (ProcessRuns(pid)) {
    std::string channel;
    std::getline(std::ifstream(wait_channel), channel);
    if (channel.find("pipe_read") != std::string::npos) return true;
    Pause();
  }
  return false;
}

TEST_F(ProgramLaunchTest, InputFromAnotherProgramWaitsForItsOutput) {
  ProgramRecord* source = Keep(u"sh", u"-c \"read x; echo $x-piped\"",
                               LaunchKeep | LaunchReadOutput | LaunchWriteInput);
  ASSERT_NE(source, nullptr);
  auto* sink = reinterpret_cast<ProgramRecord*>(StartProgram(
      u"cat", u"", u"", LaunchKeep | LaunchReadOutput | LaunchInputFromProgram, source));
  ASSERT_NE(sink, nullptr);
  // cat must wait on the empty pipe, not fail with EAGAIN from the source's non-blocking
  // reader.
  EXPECT_TRUE(BlockedInPipeRead(sink->pid));
  fputs("data\n", source->input);
  fclose(source->input);
  source->input = nullptr;
  EXPECT_EQ(WaitProgramEnd(source, -1), 1);
  EXPECT_EQ(ReadLine(sink), u"data-piped");
  EXPECT_EQ(ReadLine(sink), u"");
  EXPECT_EQ(ProgramIsRunning(sink), 0);
  EXPECT_EQ(ProgramExitCode(sink), 0);
  ReleaseProgram(sink);
  ReleaseProgram(source);
}

}  // namespace
