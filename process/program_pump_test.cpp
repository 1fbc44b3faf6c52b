#include "process/program_pump.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "process/kept_programs.h"
#include "process/process_test_support.h"
#include "process/program_launch.h"
#include "process/program_output.h"
#include "runtime/memory.h"
#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"

namespace {

constexpr uint32_t kReadBoth = LaunchKeep | LaunchReadOutput | LaunchReadError;

// Collects the lines; a wait that finds nothing for ten seconds fails the test and kills
// the program, so that a pump that would hang ends instead.
struct Collected {
  ProgramRecord* record = nullptr;
  std::vector<std::u16string> output;
  std::vector<std::u16string> error;
};

void WaitAtMostTenSeconds(const int* descriptors, int32_t count, void* context) {
  pollfd requests[3];
  for (int32_t i = 0; i < count; ++i)
    requests[i] = {descriptors[i], POLLIN, 0};
  if (poll(requests, static_cast<nfds_t>(count), 10'000) != 0) return;
  ADD_FAILURE() << "the pump waited ten seconds for nothing";
  SignalProgram(static_cast<Collected*>(context)->record, SIGKILL);
}

class ProgramPumpTest : public ProgramRunnerTest {
 protected:
  Collected Pump(const std::string& script) {
    std::u16string parameters = u"-c \"" + std::u16string(script.begin(), script.end()) + u"\"";
    Collected seen;
    seen.record =
        reinterpret_cast<ProgramRecord*>(LaunchProgram(u"sh", parameters.c_str(), u"", kReadBoth));
    if (seen.record == nullptr) return seen;
    ProgramPump pump{
        [](const char16_t* line, void* c) { static_cast<Collected*>(c)->output.push_back(line); },
        [](const char16_t* line, void* c) { static_cast<Collected*>(c)->error.push_back(line); },
        &WaitAtMostTenSeconds, &seen};
    PumpProgramOutput(seen.record, pump);
    return seen;
  }
};

TEST_F(ProgramPumpTest, DeliversTheLinesOfBothStreamsAndALastLineWithoutLineFeed) {
  Collected seen = Pump("echo one; printf 'err\\nlast' >&2; echo two; exit 4");
  ASSERT_NE(seen.record, nullptr);
  EXPECT_EQ(seen.output, (std::vector<std::u16string>{u"one", u"two"}));
  EXPECT_EQ(seen.error, (std::vector<std::u16string>{u"err", u"last"}));
  EXPECT_EQ(ProgramExitCode(seen.record), 4);
  ReleaseProgram(seen.record);
}

TEST_F(ProgramPumpTest, DeliversALastOutputLineWithoutLineFeed) {
  Collected seen = Pump("printf 'a\\nlast'");
  ASSERT_NE(seen.record, nullptr);
  EXPECT_EQ(seen.output, (std::vector<std::u16string>{u"a", u"last"}));
  ReleaseProgram(seen.record);
}

// Standard output at its end and 100 KB on standard error, more than a pipe holds.
TEST_F(ProgramPumpTest, EndsWhenAToolClosesItsOutputAndFloodsItsError) {
  Collected seen = Pump("exec 1>&-; yes 123456789 | head -c 100000 >&2; exit 3");
  ASSERT_NE(seen.record, nullptr);
  EXPECT_EQ(seen.error.size(), 10000u);
  EXPECT_EQ(seen.error.back(), u"123456789");
  EXPECT_EQ(ProgramExitCode(seen.record), 3);
  ReleaseProgram(seen.record);
}

TEST_F(ProgramPumpTest, EndsWithTheToolWhileAGrandchildHoldsItsOutput) {
  Collected seen = Pump("sleep 60 & echo $!");
  ASSERT_NE(seen.record, nullptr);
  ASSERT_EQ(seen.output.size(), 1u);
  const pid_t grandchild = std::stoi(std::string(seen.output[0].begin(), seen.output[0].end()));
  // Still there: the pump did not wait for the pipe it holds open.
  EXPECT_EQ(kill(grandchild, 0), 0);
  kill(grandchild, SIGKILL);
  EXPECT_EQ(ProgramExitCode(seen.record), 0);
  ReleaseProgram(seen.record);
}

TEST_F(ProgramPumpTest, SignalReachesTheProgramOnlyUntilItsEndIsCollected) {
  auto* record = reinterpret_cast<ProgramRecord*>(LaunchProgram(u"sleep", u"60", u"", kReadBoth));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(SignalProgram(record, SIGTERM), 1);
  PumpProgramOutput(record, ProgramPump{});
  EXPECT_EQ(ProgramExitCode(record), 1);
  EXPECT_EQ(SignalProgram(record, SIGTERM), 0);
  ReleaseProgram(record);
}

// What a killed launcher leaves: its kept program's pid (-1 when the launch failed) and the
// first line the program printed, when the launcher was asked to wait for one.
struct Orphan {
  pid_t pid = -1;
  std::string first_line;
};

// Forks a launcher that keeps the program, reads its first output line if asked (so that
// the program can get ready first), reports and waits to be killed; kills it and gives the
// program up to ten seconds to end.
//
// The launcher is a fork of this process, which must have no other thread then: a child of
// a process with threads may start none of its own, and the launcher starts a waiter. So these
// tests go without the fixture's watchdog (their waits are bounded anyway), and they let the
// waiters of earlier tests finish first.
Orphan KillLauncherOf(const char16_t* name, const char16_t* parameters, bool read_first_line) {
  InitLocale();
  InitProgramRunner();
  for (int look = 0; look < 1000 && ProgramWaitersRunning() > 0; ++look)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  struct Report {
    int32_t pid;
    char line[32];
  } report = {-1, {}};
  int ids[2];
  if (pipe(ids) != 0) return {};
  pid_t launcher = fork();
  if (launcher < 0) return {};
  if (launcher == 0) {
    FreeStringStack();
    InitStringStack();
    auto* record =
        reinterpret_cast<ProgramRecord*>(LaunchProgram(name, parameters, u"", kReadBoth));
    if (record != nullptr) report.pid = record->pid;
    if (record != nullptr && read_first_line) {
      StringMark mark;
      const std::u16string line = ReadProgramOutputLine(record, mark.Offset());
      for (size_t i = 0; i < line.size() && i + 1 < sizeof report.line; ++i)
        report.line[i] = static_cast<char>(line[i]);
    }
    [[maybe_unused]] ssize_t sent = write(ids[1], &report, sizeof report);
    pause();
    _exit(0);
  }
  close(ids[1]);
  if (read(ids[0], &report, sizeof report) != static_cast<ssize_t>(sizeof report)) report.pid = -1;
  close(ids[0]);
  kill(launcher, SIGKILL);
  waitpid(launcher, nullptr, 0);
  for (int look = 0; look < 1000 && report.pid > 0 && ProcessRuns(report.pid); ++look)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return {report.pid, report.line};
}

TEST(KeptProgramTest, EndsWhenItsLauncherIsKilled) {
  const Orphan program = KillLauncherOf(u"sleep", u"60", false);
  ASSERT_GT(program.pid, 0);
  EXPECT_FALSE(ProcessRuns(program.pid));
  if (ProcessRuns(program.pid)) kill(program.pid, SIGKILL);
}

// The program traps SIGTERM and writes a mark in the trap, which SIGKILL would not let it
// do. Its first line, once the trap is set, is the pid of the sleep it waits for.
TEST(KeptProgramTest, IsAskedToEndWithSigtermWhenItsLauncherIsKilled) {
  char folder[] = "/tmp/brevik-pump-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string mark = std::string(folder) + "/ended";
  const std::string script =
      "-c \"trap 'echo term > " + mark + "; kill $!; exit 0' TERM; sleep 60 & echo $!; wait\"";
  std::u16string parameters(script.begin(), script.end());
  const Orphan program = KillLauncherOf(u"sh", parameters.c_str(), true);
  std::string ended;
  std::getline(std::ifstream(mark), ended);
  std::filesystem::remove_all(folder);
  const pid_t sleeper = std::atoi(program.first_line.c_str());
  for (pid_t pid : {program.pid, sleeper}) {
    if (pid > 0 && ProcessRuns(pid)) kill(pid, SIGKILL);
  }
  ASSERT_GT(program.pid, 0);
  EXPECT_GT(sleeper, 0);
  EXPECT_EQ(ended, "term");
}

}  // namespace
