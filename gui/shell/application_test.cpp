#include "gui/shell/application.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>

#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/events/kz_application.h"

namespace {

class ApplicationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartApplication();
    InitEvents();
  }
  void SetUp() override {
    while (WaitForEvent(0) != EvNone) {
    }
  }

  // Waits until the next runtime event; platform-only wake-ups are skipped.
  static int64_t NextEvent() {
    int64_t kind = EvPlatformOnly;
    while (kind == EvPlatformOnly) kind = WaitForEvent(-1);
    return kind;
  }
};

TEST_F(ApplicationTest, MakesOneKzApplication) {
  auto* app = dynamic_cast<KzApplication*>(QCoreApplication::instance());
  ASSERT_NE(app, nullptr);
  StartApplication();
  EXPECT_EQ(QCoreApplication::instance(), app);
  EXPECT_FALSE(app->quitOnLastWindowClosed());
}

TEST_F(ApplicationTest, TerminationSignalsBecomeTheQuitMenuItem) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    ASSERT_EQ(raise(signal_number), 0);  // the process must survive it
    EXPECT_EQ(NextEvent(), EvMenuItem);
    EXPECT_EQ(CurrentEventObject(), QuitMenuItem);
    EXPECT_EQ(CurrentEventWindow(), -1);
  }
}

TEST_F(ApplicationTest, SignalsInQuickSuccessionAskOnce) {
  raise(SIGTERM);
  raise(SIGTERM);
  EXPECT_EQ(NextEvent(), EvMenuItem);
  for (int64_t kind = WaitForEvent(0); kind != EvNone; kind = WaitForEvent(0)) {
    EXPECT_NE(kind, EvMenuItem);
  }
}

}  // namespace
