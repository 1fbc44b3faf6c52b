#include "app/lifecycle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/app_test_support.h"
#include "gui/events/event_queue.h"

extern char** environ;

namespace {

class MainLoopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RunStartRoutines(); }
};

TEST_F(MainLoopTest, EndRequestEndsTheLoopWhateverItCarries) {
  PostUserEvent(EvMenuItem, -1, AboutMenuItem);
  PostUserEvent(EvMenuItem, -1, PreferencesMenuItem);
  PostUserEvent(EvCloseRequest, 0, 0);
  PostUserEvent(EndRequestEvent, 12, 34, 56);
  PostUserEvent(EvMenuItem, -1, QuitMenuItem);
  RunMainLoop();
  EXPECT_EQ(LastEvent, EndRequestEvent);
  EXPECT_EQ(CurrentEventObject(), 34);
  // The quit item behind it is still queued and ends the next loop.
  RunMainLoop();
  EXPECT_EQ(LastEvent, EvMenuItem);
  EXPECT_EQ(CurrentEventObject(), QuitMenuItem);
}

TEST_F(MainLoopTest, EndProgramExitsWithStatusZero) {
  EXPECT_EXIT(EndProgram(), ::testing::ExitedWithCode(0), "");
}

TEST(ProgramTest, SigtermEndsTheProgramWithStatusZero) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  char program[] = BREVIK_EXECUTABLE;
  char* argv[] = {program, nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program, nullptr, nullptr, argv, environ), 0);

  // Wait (sleeping, bounded) until start-up has installed the handler.
  bool ready = false;
  for (int i = 0; i < 600 && !ready; ++i) {
    ready = CatchesSigterm(pid);
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(ready) << "brevik did not start";
  ASSERT_EQ(kill(pid, SIGTERM), 0);

  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
