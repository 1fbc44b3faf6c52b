#include "gui/shell/application.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <vector>

#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/events/kz_application.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/window_test_support.h"

namespace {

class ApplicationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartWindowSystem(true); }
  void SetUp() override {
    while (WaitForEvent(0) != EvNone) {
    }
  }
  void TearDown() override {
    CloseWindow(AnyObject);
    RenewAutoreleasePool();
    TakeEvents();
  }

  // Waits until the next runtime event; platform-only wake-ups are skipped.
  static int64_t NextEvent() {
    int64_t kind = EvPlatformOnly;
    while (kind == EvPlatformOnly)
      kind = WaitForEvent(-1);
    return kind;
  }

  static QAction* Item(int position) { return ApplicationMenu->actions().at(position - 1); }
};

TEST_F(ApplicationTest, MakesOneKzApplication) {
  auto* app = dynamic_cast<KzApplication*>(QCoreApplication::instance());
  ASSERT_NE(app, nullptr);
  QMenu* menu = ApplicationMenu;
  StartApplication();
  EXPECT_EQ(QCoreApplication::instance(), app);
  EXPECT_EQ(ApplicationMenu, menu);
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

TEST_F(ApplicationTest, TheApplicationMenuIsNamedAfterTheExecutable) {
  ASSERT_EQ(ApplicationMenu->actions().size(), 11);
  for (int separator : {2, 4, 6, 10})
    EXPECT_TRUE(Item(separator)->isSeparator()) << separator;
  EXPECT_EQ(Item(1)->text(), "About shell_test");
  EXPECT_EQ(Item(3)->text(), QString::fromUtf8("Preferences\u2026"));
  EXPECT_EQ(Item(3)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
  EXPECT_EQ(Item(5)->text(), "Services");
  ASSERT_NE(Item(5)->menu(), nullptr);
  EXPECT_TRUE(Item(5)->menu()->isEmpty());
  EXPECT_EQ(Item(7)->text(), "Hide shell_test");
  EXPECT_EQ(Item(7)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_H));
  EXPECT_EQ(Item(8)->text(), "Hide Others");
  EXPECT_EQ(Item(8)->shortcut(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_H));
  EXPECT_EQ(Item(9)->text(), "Show All");
  EXPECT_EQ(Item(11)->text(), "Quit shell_test");
  EXPECT_EQ(Item(11)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  // Nothing answers About and Preferences.
  EXPECT_FALSE(Item(1)->isEnabled());
  EXPECT_FALSE(Item(3)->isEnabled());
  EXPECT_TRUE(Item(11)->isEnabled());

  EXPECT_EQ(ApplicationMenuItem->text(), "Apple");
  EXPECT_EQ(ApplicationMenuItem->menu(), ApplicationMenu);
  EXPECT_EQ(MainMenuBar(), DefaultMenuBar);
  EXPECT_EQ(DefaultMenuBar->actions(), QList<QAction*>{ApplicationMenuItem});
  EXPECT_EQ(MenuDelegate->windowID(), -1);
}

TEST_F(ApplicationTest, CtrlQInAnyWindowPostsTheQuitItem) {
  OpenWindow(0, 10, 10, 300, 200, u"first");
  OpenWindow(1, 350, 10, 300, 200, u"second");
  auto* field = new QLineEdit(NativeWindow(1)->contentView());
  field->show();
  field->setFocus();
  TakeEvents();
  QTest::keyClick(field, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(Contains(TakeEvents(), {EvMenuItem, QuitMenuItem, -1}));
  EXPECT_TRUE(NativeWindow(1)->isVisible());

  Item(11)->trigger();
  EXPECT_EQ(TakeEvents(), (std::vector<TakenEvent>{{EvMenuItem, QuitMenuItem, -1}}));
}

// The subtypes of the quit events that are queued or that Qt has pending, oldest first.
std::vector<int64_t> TakeQuitSubtypes() {
  std::vector<int64_t> subtypes;
  for (int64_t kind = WaitForEvent(0); kind != EvNone; kind = WaitForEvent(0)) {
    if (kind == EvMenuItem && CurrentEventObject() == QuitMenuItem) {
      subtypes.push_back(CurrentEventSubtype());
    }
  }
  return subtypes;
}

// The user's quit may be questioned and the system's may not, so each must say which it is.
TEST_F(ApplicationTest, OnlyTheUsersQuitIsMarkedAsTheUsers) {
  OpenWindow(0, 10, 10, 300, 200, u"window");
  auto* field = new QLineEdit(NativeWindow(0)->contentView());
  field->show();
  field->setFocus();
  TakeEvents();
  QTest::keyClick(field, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(TakeQuitSubtypes(), std::vector<int64_t>{QuitByUser}) << "Ctrl+Q";
  Item(11)->trigger();
  EXPECT_EQ(TakeQuitSubtypes(), std::vector<int64_t>{QuitByUser}) << "the Quit item";

  ASSERT_EQ(raise(SIGTERM), 0);
  const std::vector<int64_t> after_signal = TakeQuitSubtypes();
  ASSERT_EQ(after_signal.size(), 1u);
  EXPECT_NE(after_signal[0], QuitByUser) << "SIGTERM";
  QEvent quit(QEvent::Quit);
  QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
  const std::vector<int64_t> after_quit_event = TakeQuitSubtypes();
  ASSERT_EQ(after_quit_event.size(), 1u);
  EXPECT_NE(after_quit_event[0], QuitByUser) << "QEvent::Quit";
}

TEST_F(ApplicationTest, HideMinimisesTheWindowsAndShowAllBringsThemBack) {
  OpenWindow(0, 10, 10, 200, 100, nullptr);
  OpenWindow(1, 300, 10, 200, 100, nullptr);
  KzWindow* shown = NativeWindow(0);
  KzWindow* minimised = NativeWindow(1);
  minimised->showMinimized();
  TakeEvents();
  Item(7)->trigger();
  EXPECT_TRUE(shown->isMinimized());
  Item(9)->trigger();
  EXPECT_FALSE(shown->isMinimized());
  EXPECT_TRUE(minimised->isMinimized());
  EXPECT_FALSE(Item(8)->isEnabled());
}

TEST_F(ApplicationTest, SystemVersionCodes) {
  // Linux has no detailed version in the sense of the table.
  EXPECT_EQ(SystemVersionCode(), 10090);
  EXPECT_EQ(SystemVersionCode(), 10090);
  EXPECT_EQ(SystemVersionCodeFor(10, 9), 10090);
  EXPECT_EQ(SystemVersionCodeFor(10, 10), 10100);
  EXPECT_EQ(SystemVersionCodeFor(10, 15), 10150);
  EXPECT_EQ(SystemVersionCodeFor(10, 16), 10090);
  EXPECT_EQ(SystemVersionCodeFor(12, 6), 12000);
  EXPECT_EQ(SystemVersionCodeFor(15, 1), 15000);
  EXPECT_EQ(SystemVersionCodeFor(16, 0), 99999);
}

}  // namespace
