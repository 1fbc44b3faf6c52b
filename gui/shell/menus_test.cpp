#include "gui/shell/menus.h"

#include <gtest/gtest.h>

#include <QMenu>
#include <QPointer>
#include <QTest>

#include "gui/shell/application.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/window_test_support.h"
#include "runtime/object_table.h"

namespace {

using Events = std::vector<TakenEvent>;

class MenusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartWindowSystem(true); }
  void SetUp() override { TakeEvents(); }
  void TearDown() override {
    ReleaseMenu(AnyObject);
    CloseWindow(AnyObject);
    RenewAutoreleasePool();
    TakeEvents();
  }

  // What a maker of window menus would do: a record whose first owned object is the
  // represented object of the menu's items.
  static MenuRecord* AddMenu(int64_t number, uint32_t kind, QWidget* window) {
    auto* record = static_cast<MenuRecord*>(GetOrCreateObject(MenuTable, number));
    record->owned[0] = new KzMenuObject(record);
    record->kind = kind;
    record->window = window;
    record->menu = new QMenu;
    return record;
  }

  static KzWindow* Open(int64_t number, int32_t x) {
    OpenWindow(number, x, 10, 200, 100, nullptr);
    TakeEvents();
    return NativeWindow(number);
  }
};

TEST_F(MenusTest, WithoutWindowMenuBarsTheDefaultStaysInstalled) {
  KzWindow* first = Open(0, 10);
  Open(1, 300);
  first->activateWindow();
  TakeEvents();
  EXPECT_EQ(MainMenuBar(), DefaultMenuBar);
  EXPECT_EQ(MenuDelegate->windowID(), -1);
}

TEST_F(MenusTest, TheKeyWindowInstallsItsOwnMenuBar) {
  Open(0, 10);
  KzWindow* window = Open(1, 300);
  AddMenu(0, 1, window);
  MenuRecord* menu_bar = AddMenu(1, MenuKindMenuBar, window);
  NativeWindow(0)->activateWindow();
  TakeEvents();
  window->activateWindow();
  TakeEvents();
  EXPECT_EQ(MainMenuBar(), menu_bar->menu);
  EXPECT_EQ(menu_bar->menu->actions().value(0), ApplicationMenuItem);
  EXPECT_TRUE(DefaultMenuBar->actions().isEmpty());
  EXPECT_EQ(MenuDelegate->windowID(), 1);
  QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(Contains(TakeEvents(), {EvMenuItem, QuitMenuItem, 1}));

  QPointer<QObject> owned = menu_bar->owned[0];
  ReleaseMenu(1);
  EXPECT_EQ(MainMenuBar(), DefaultMenuBar);
  EXPECT_EQ(DefaultMenuBar->actions().value(0), ApplicationMenuItem);
  EXPECT_EQ(MenuDelegate->windowID(), -1);
  EXPECT_EQ(LookupObject(MenuTable, 1), nullptr);
  RenewAutoreleasePool();
  EXPECT_TRUE(owned.isNull());
}

TEST_F(MenusTest, ClosingAWindowReleasesItsFirstMenu) {
  KzWindow* window = Open(2, 10);
  AddMenu(0, 1, window);
  AddMenu(1, MenuKindMenuBar, window);
  CloseWindow(2);
  EXPECT_EQ(LookupObject(MenuTable, 0), nullptr);
  EXPECT_NE(LookupObject(MenuTable, 1), nullptr);
}

TEST_F(MenusTest, AWindowMenuItemPostsItsTagUnlessTheWindowIsBlocked) {
  KzWindow* window = Open(3, 10);
  MenuRecord* record = AddMenu(0, MenuKindMenuBar, window);
  KzMenuItem item(QStringLiteral("Open"), 12, static_cast<KzMenuObject*>(record->owned[0]));
  item.trigger();
  EXPECT_EQ(TakeEvents(), (Events{{EvMenuItem, 12, 3}}));
  BlockWindowInput(3, 1);
  item.trigger();
  EXPECT_EQ(TakeEvents(), Events());

  MenuRecord* windowless = AddMenu(1, 1, nullptr);
  KzMenuItem other(QStringLiteral("New"), 13, static_cast<KzMenuObject*>(windowless->owned[0]));
  other.trigger();
  EXPECT_EQ(TakeEvents(), (Events{{EvMenuItem, 13, 0}}));
}

}  // namespace

namespace {

// A window's own Ctrl+Q.
class CtrlQShortcut : public KzWindowShortcut {
 public:
  bool isEventMatch(const QKeyEvent* event, int32_t* item) const override {
    if (event->key() != Qt::Key_Q || event->modifiers() != Qt::ControlModifier) return false;
    *item = 77;
    return true;
  }
};

TEST_F(MenusTest, AWindowShortcutWinsOverTheApplicationMenu) {
  KzWindow* window = Open(4, 10);
  ASSERT_TRUE(AddWindowShortcut(4, std::make_unique<CtrlQShortcut>()));
  QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
  Events events = TakeEvents();
  EXPECT_TRUE(Contains(events, {EvMenuItem, 77, 4}));
  EXPECT_FALSE(Contains(events, {EvMenuItem, QuitMenuItem, -1}));
}

}  // namespace
