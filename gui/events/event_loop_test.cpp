#include "gui/events/event_loop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <thread>

#include <unistd.h>

#include "gui/events/event_queue.h"
#include "gui/events/kz_application.h"

namespace {

class EventLoopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "events_test";
    static char* argv[] = {name, nullptr};
    new KzApplication(argc, argv);
    InitEvents();
  }

  void SetUp() override {
    // Nothing left over from an earlier test: no queued event, no pending platform work.
    while (WaitForEvent(0) != EvNone) {
    }
  }
};

TEST_F(EventLoopTest, PollAnswersNoneWhenNothingIsPending) {
  EXPECT_EQ(WaitForEvent(0), EvNone);
  WakeEventLoop();
  EXPECT_EQ(WaitForEvent(0), EvPlatformOnly);
  EXPECT_EQ(WaitForEvent(0), EvNone);
}

TEST_F(EventLoopTest, QueuedEventComesBeforeAnyPlatformEvent) {
  int platform_events = 0;
  QTimer::singleShot(0, QCoreApplication::instance(), [&] { ++platform_events; });
  NotifyEvent(EvMoved, 3, 3, 0);
  EXPECT_EQ(WaitForEvent(-1), EvMoved);
  EXPECT_EQ(CurrentEventObject(), 3);
  EXPECT_EQ(platform_events, 0);
}

TEST_F(EventLoopTest, EventPostedByPlatformWorkIsReturned) {
  QTimer::singleShot(0, QCoreApplication::instance(), [] { NotifyEvent(EvClick, 7, 7, 0); });
  int64_t kind = EvPlatformOnly;
  while (kind == EvPlatformOnly)
    kind = WaitForEvent(-1);
  EXPECT_EQ(kind, EvClick);
  EXPECT_EQ(CurrentEventWindow(), 7);
}

TEST_F(EventLoopTest, TimeOutExpiresWithNone) {
  EXPECT_EQ(WaitForEvent(20), EvNone);
}

TEST_F(EventLoopTest, PostFromAnotherThreadEndsABlockedWait) {
  ThreadSafeMode = 1;
  std::thread poster([] { PostUserEvent(EvCustomBase + 1); });
  int64_t kind = EvPlatformOnly;
  while (kind == EvPlatformOnly)
    kind = WaitForEvent(-1);
  poster.join();
  ThreadSafeMode = 0;
  EXPECT_EQ(kind, EvCustomBase + 1);
}

TEST_F(EventLoopTest, DescriptorWaitServesQtUntilAPipeIsReadableOrAWakeUp) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // The timer stands for the window system's work during the wait; its write ends it.
  bool served = false;
  QTimer::singleShot(5, [&] {
    served = true;
    ASSERT_EQ(write(fds[1], "x", 1), 1);
  });
  EXPECT_EQ(WaitForDescriptors(fds, 1, -1), 1);
  EXPECT_TRUE(served);

  // The byte is still unread: a wait on another descriptor ends by the wake-up alone.
  QTimer::singleShot(5, [] { WakeEventLoop(); });
  EXPECT_EQ(WaitForDescriptors(fds + 1, 0, -1), 0);
  EXPECT_EQ(WaitForDescriptors(fds + 1, 0, 10), 0);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(EventLoopTest, QuitEventBecomesTheQuitMenuItem) {
  QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
  int64_t kind = EvPlatformOnly;
  while (kind == EvPlatformOnly)
    kind = WaitForEvent(-1);
  EXPECT_EQ(kind, EvMenuItem);
  EXPECT_EQ(CurrentEventObject(), QuitMenuItem);
  EXPECT_EQ(CurrentEventWindow(), -1);
}

int CountingFilter(QObject*, QEvent* event, void* context) {
  if (event->type() == QEvent::KeyPress) ++*static_cast<int*>(context);
  return 0;
}

int ConsumingFilter(QObject*, QEvent* event, void*) {
  return event->type() == QEvent::KeyPress;
}

TEST_F(EventLoopTest, FiltersAllSeeAnEventAndAnyCanConsumeIt) {
  QLineEdit edit;
  edit.show();
  edit.setFocus();
  int seen = 0;
  EventFilterNode* counting = AddEventFilter(&CountingFilter, &seen);
  EventFilterNode* consuming = AddEventFilter(&ConsumingFilter, nullptr);
  QTest::keyClick(&edit, Qt::Key_A);
  EXPECT_GE(seen, 1);
  EXPECT_EQ(edit.text(), "");
  RemoveEventFilter(consuming);
  QTest::keyClick(&edit, Qt::Key_B);
  EXPECT_EQ(edit.text(), "b");
  RemoveEventFilter(counting);
}

bool F5Shortcut(QObject* receiver, const QKeyEvent* event, int64_t* window, int32_t* item) {
  if (event->key() != Qt::Key_F5) return false;
  *window = receiver->isWidgetType() ? 9 : -1;
  *item = 42;
  return true;
}

TEST_F(EventLoopTest, FiltersStayOutOfModalLoops) {
  QDialog dialog;
  auto* edit = new QLineEdit(&dialog);
  int seen = 0;
  EventFilterNode* counting = AddEventFilter(&CountingFilter, &seen);
  QTimer::singleShot(0, [&] {
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A);
    dialog.accept();
  });
  dialog.exec();
  EXPECT_EQ(edit->text(), "a");
  EXPECT_EQ(seen, 0);
  RemoveEventFilter(counting);
}

TEST_F(EventLoopTest, WindowShortcutPostsItsMenuItemAndTakesTheKey) {
  QLineEdit edit;
  edit.show();
  edit.setFocus();
  SetKeyboardShortcutHook(&F5Shortcut);
  QTest::keyClick(&edit, Qt::Key_F5);
  SetKeyboardShortcutHook(nullptr);
  ASSERT_EQ(NextQueuedEvent(), EvMenuItem);
  EXPECT_EQ(CurrentEventObject(), 42);
  EXPECT_EQ(CurrentEventWindow(), 9);
  // Asked once per key press, not once more for Qt's window object.
  EXPECT_EQ(NextQueuedEvent(), 0);
}

TEST_F(EventLoopTest, EditingKeysReachTheFocusWidget) {
  QLineEdit edit;
  edit.show();
  edit.setFocus();
  QTest::keyClicks(&edit, "brevik");
  QTest::keyClick(&edit, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(edit.selectedText(), "brevik");
  QTest::keyClick(&edit, Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(edit.text(), "");
  // One undo per key press: the cut comes back, the typing stays.
  QTest::keyClick(&edit, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(edit.text(), "brevik");
  QTest::keyClick(&edit, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(edit.text(), "");
  // With another modifier down no editing action runs.
  QTest::keyClick(&edit, Qt::Key_Z, Qt::ControlModifier);
  edit.deselect();
  QTest::keyClick(&edit, Qt::Key_A, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_EQ(edit.selectedText(), "");
}

}  // namespace
