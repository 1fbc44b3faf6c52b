// The set-up of the process tests, with a bound on their waits: a fault in the pipes or in
// the runner shows as a read or a wait that never ends, which the watchdog turns into a
// failure of the one test.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "process/program_launch.h"
#include "runtime/memory.h"
#include "runtime/runtime_test_support.h"

// From /proc/<pid>/stat, the fields after the command name; a state of 0 when the process
// is gone.
struct ProcessStatus {
  char state = 0;
  pid_t parent = 0;
};

inline ProcessStatus StatusOf(pid_t pid) {
  std::string line;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
  ProcessStatus status;
  const size_t name_end = line.rfind(')');
  if (name_end != std::string::npos) {
    std::sscanf(line.c_str() + name_end + 1, " %c %d", &status.state, &status.parent);
  }
  return status;
}

// A zombie has ended; only its reaper has yet to collect it.
inline bool ProcessRuns(pid_t pid) {
  const char state = StatusOf(pid).state;
  return state != 0 && state != 'Z';
}

// The processes below this one (children, and their children in turn).
inline std::set<pid_t> DescendantProcesses() {
  std::set<pid_t> found = {getpid()};
  for (size_t before = 0; before != found.size();) {
    before = found.size();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) break;
    while (dirent* entry = readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
      if (pid > 0 && found.count(StatusOf(pid).parent) != 0) found.insert(pid);
    }
    closedir(proc);
  }
  found.erase(getpid());
  return found;
}

inline void KillDescendantProcesses() {
  for (pid_t pid : DescendantProcesses())
    kill(pid, SIGKILL);
}

// While it lives, a test may wait for its programs for at most `limit`. Past that it fails
// the test and kills every program below this process, so that a blocked read sees the end
// of its pipe and a wait sees the end of its program; loops that wait on anything else ask
// Fired(). When it goes, at the end of the test, it kills what still runs, so that no test
// leaves a program behind, not even one that stopped at a failed assertion.
class ProgramWatchdog {
 public:
  explicit ProgramWatchdog(std::chrono::seconds limit = std::chrono::seconds(30))
      : thread_([this, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (ended_.wait_for(lock, limit, [this] { return done_; })) return;
          fired_ = true;
          lock.unlock();
          ADD_FAILURE() << "the test waited " << limit.count()
                        << " s for its programs; they were killed";
          KillDescendantProcesses();
        }) {}
  ~ProgramWatchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    ended_.notify_one();
    thread_.join();
    KillDescendantProcesses();
  }
  ProgramWatchdog(const ProgramWatchdog&) = delete;
  ProgramWatchdog& operator=(const ProgramWatchdog&) = delete;

  bool Fired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

// The set-up of every test that starts programs: a fresh StringStack, the runner ready, and
// a watchdog over the test's waits.
class ProgramRunnerTest : public FreshStringStackTest {
 protected:
  void SetUp() override {
    FreshStringStackTest::SetUp();
    InitLocale();
    InitProgramRunner();
  }

  ProgramWatchdog watchdog_;
};
