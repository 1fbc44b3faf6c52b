#include "gui/windows/windows.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <memory>

#include "gui/windows/gadget_list.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/window_test_support.h"
#include "gui/windows/window_views.h"
#include "runtime/object_table.h"

namespace {

constexpr Qt::WindowFlags TitleBarButtons =
    Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint;

int BoundCalls = 0;
int64_t CountCall() {
  ++BoundCalls;
  return 0;
}

int64_t CloseCurrentEventWindow() {
  CloseWindow(CurrentEventWindow());
  return 0;
}

class KeyShortcut : public KzWindowShortcut {
 public:
  KeyShortcut(int key, int32_t item, bool* deleted = nullptr)
      : key_(key), item_(item), deleted_(deleted) {}
  ~KeyShortcut() override {
    if (deleted_ != nullptr) *deleted_ = true;
  }

  bool isEventMatch(const QKeyEvent* event, int32_t* item) const override {
    if (event->key() != key_) return false;
    *item = item_;
    return true;
  }

 private:
  int key_;
  int32_t item_;
  bool* deleted_;
};

class WindowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartWindowSystem(false); }
  void SetUp() override { TakeEvents(); }
  void TearDown() override {
    CloseWindow(AnyObject);
    WindowModuleHooks = {};
    RenewAutoreleasePool();
    TakeEvents();
  }

  // Opens a window and lets Qt show and activate it.
  static KzWindow* Open(int64_t number, int32_t x, int32_t y, int32_t flags = WinClosable,
                        QWidget* parent = nullptr) {
    OpenWindow(number, x, y, 200, 100, nullptr, flags, parent);
    TakeEvents();
    return NativeWindow(number);
  }
};

TEST_F(WindowsTest, DefaultPositionCentresTheFrameOnTheScreen) {
  for (const QPoint& position : {QPoint(DefaultPosition, 10), QPoint(10, DefaultPosition)}) {
    const int64_t result =
        OpenWindow(0, position.x(), position.y(), 600, 230, u"Brevik V1.2.5", 68);
    KzWindow* window = NativeWindow(0);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(result, reinterpret_cast<int64_t>(window));
    TakeEvents();
    const QRect screen = window->screen()->geometry();
    const QSize frame = window->frameGeometry().size();
    EXPECT_EQ(window->frameGeometry().topLeft(),
              QPoint((screen.width() - frame.width()) / 2, (screen.height() - frame.height()) / 2));
    EXPECT_EQ(window->size(), QSize(600, 230));
    EXPECT_EQ(window->contentView()->geometry(), QRect(0, 0, 600, 230));
    EXPECT_EQ(window->windowTitle(), "Brevik V1.2.5");
  }
}

TEST_F(WindowsTest, CoordinatesPlaceTheFrameCornerAndNoTitleReadsEmpty) {
  KzWindow* window = Open(1, 30, 40);
  EXPECT_EQ(window->frameGeometry().topLeft(), QPoint(30, 40));
  EXPECT_EQ(window->size(), QSize(200, 100));
  EXPECT_EQ(window->windowTitle(), "");
}

TEST_F(WindowsTest, FlagsChooseTitleBarButtonsAndResizing) {
  struct Case {
    int32_t flags;
    Qt::WindowFlags present;
    Qt::WindowFlags absent;
    bool resizable;
  };
  const Case cases[] = {
      {WinCentreOnScreen | WinClosable, Qt::WindowTitleHint | Qt::WindowCloseButtonHint,
       Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint, false},
      {WinBorderless | WinResizable, Qt::FramelessWindowHint,
       Qt::WindowTitleHint | Qt::WindowCloseButtonHint, true},
      {WinZoomButton, Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint,
       Qt::WindowMinimizeButtonHint, true},
      {WinMiniaturizeButton, Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint,
       Qt::WindowMaximizeButtonHint, false},
      {0, Qt::WindowTitleHint, Qt::WindowCloseButtonHint, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    KzWindow* window = Open(0, 10, 10, c.flags);
    EXPECT_EQ(window->windowFlags() & c.present, c.present);
    EXPECT_EQ(window->windowFlags() & c.absent, Qt::WindowFlags());
    EXPECT_EQ(window->minimumSize() != window->maximumSize(), c.resizable);
  }
}

// A window whose content grows keeps its corner, and one that the user cannot resize stays so.
TEST_F(WindowsTest, SizingKeepsTheCornerAndAFixedSize) {
  KzWindow* window = Open(1, 30, 40, WinClosable);
  SizeWindow(1, 260, 150);
  EXPECT_EQ(window->frameGeometry().topLeft(), QPoint(30, 40));
  EXPECT_EQ(window->size(), QSize(260, 150));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  SizeWindow(99, 10, 10);
}

TEST_F(WindowsTest, OpeningZoomedOrMiniaturizedPostsNoStateEvents) {
  KzWindow* zoomed = Open(0, 10, 10, WinOpenZoomed);
  EXPECT_TRUE(zoomed->isMaximized());
  EXPECT_NE(zoomed->minimumSize(), zoomed->maximumSize());

  OpenWindow(1, 10, 10, 200, 100, nullptr, WinOpenMiniaturized | WinOpenZoomed);
  const std::vector<TakenEvent> events = TakeEvents();
  KzWindow* miniaturized = NativeWindow(1);
  EXPECT_TRUE(miniaturized->isMinimized());
  EXPECT_TRUE(miniaturized->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_EQ(KindsAmong(events, {EvMiniaturized, EvZoomed, EvUnzoomed}), std::vector<int64_t>());
}

// What opening does to a window (its size, place, zoom) is not news to the program.
TEST_F(WindowsTest, OpeningPostsNoResizeOrMove) {
  TakeEvents();
  OpenWindow(0, 10, 10, 200, 100, nullptr, WinClosable);
  OpenWindow(1, 10, 10, 200, 100, nullptr, WinOpenZoomed);
  EXPECT_EQ(KindsAmong(TakeEvents(), {EvResized, EvMoved, EvZoomed}), std::vector<int64_t>());
  NativeWindow(0)->move(40, 40);
  EXPECT_EQ(KindsAmong(TakeEvents(), {EvResized, EvMoved}), std::vector<int64_t>{EvMoved});
}

TEST_F(WindowsTest, AHiddenChildRecordsItsParentWithoutAttaching) {
  KzWindow* parent = Open(0, 10, 10);
  KzWindow* hidden = Open(1, 10, 10, WinClosable | WinHidden, parent);
  EXPECT_FALSE(hidden->isVisible());
  EXPECT_EQ(WindowExists(1)->parent, parent);
  EXPECT_TRUE(hidden->windowHandle() == nullptr ||
              hidden->windowHandle()->transientParent() == nullptr);

  KzWindow* child = Open(2, 10, 10, WinClosable, parent);
  EXPECT_EQ(child->windowHandle()->transientParent(), parent->windowHandle());
  // A child window is not owned by its parent: closing the parent leaves it open.
  CloseWindow(0);
  RenewAutoreleasePool();
  EXPECT_EQ(NativeWindow(2), child);
  EXPECT_TRUE(child->isVisible());
}

TEST_F(WindowsTest, CentreOnParentFallsBackToTheKeyWindow) {
  OpenWindow(0, 100, 120, 400, 300, nullptr);
  TakeEvents();
  const QRect parent = NativeWindow(0)->frameGeometry();
  const QSize frame =
      Open(1, 0, 0, WinClosable | WinCentreOnParent, NativeWindow(0))->frameGeometry().size();
  const QPoint centred(parent.x() + (parent.width() - frame.width()) / 2,
                       parent.y() + (parent.height() - frame.height()) / 2);
  EXPECT_EQ(NativeWindow(1)->pos(), centred);
  NativeWindow(0)->activateWindow();
  TakeEvents();
  EXPECT_EQ(Open(2, 0, 0, WinClosable | WinCentreOnParent)->pos(), centred);
}

TEST_F(WindowsTest, AnyObjectOpensAWindowKnownByItsHandle) {
  const int64_t handle = OpenWindow(AnyObject, 0, 0, 100, 100, nullptr);
  WindowRecord* record = WindowExists(handle);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(reinterpret_cast<int64_t>(record), handle);
  EXPECT_EQ(WindowNumberOf(record->window), handle);
  CloseWindow(handle);
  EXPECT_EQ(WindowExists(handle), nullptr);
}

TEST_F(WindowsTest, ReopeningANumberClosesItsWindowFirst) {
  QPointer<KzWindow> old = Open(4, 10, 10);
  WindowRecord* record = WindowExists(4);
  OpenWindow(4, 10, 10, 200, 100, nullptr);
  KzWindow* replacement = NativeWindow(4);
  EXPECT_EQ(WindowExists(4), record);
  EXPECT_NE(replacement, old.data());
  ASSERT_FALSE(old.isNull());
  EXPECT_FALSE(old->isVisible());
  RenewAutoreleasePool();
  EXPECT_TRUE(old.isNull());
}

TEST_F(WindowsTest, UnknownWindowsAreNothing) {
  QWidget plain;
  EXPECT_EQ(WindowExists(7), nullptr);
  EXPECT_EQ(WindowExists(reinterpret_cast<int64_t>(&plain)), nullptr);
  EXPECT_EQ(NativeWindow(7), nullptr);
  EXPECT_EQ(WindowNumberOf(&plain), -1);
  EXPECT_EQ(WindowNumberOf(nullptr), -1);
  CloseWindow(7);
  BlockWindowInput(7, 1);
  EXPECT_EQ(WindowDrawingContext(nullptr, 4, 4), nullptr);
}

TEST_F(WindowsTest, TheNewestWindowTakesTheGadgetListUnlessAskedToKeepIt) {
  KzWindow* first = Open(0, 10, 10);
  EXPECT_EQ(KzGadgetList::currentWindow(), first);
  EXPECT_EQ(KzGadgetList::currentView(), first->contentView());
  Open(1, 10, 10, WinClosable | WinKeepGadgetList);
  EXPECT_EQ(KzGadgetList::currentWindow(), first);
  CloseWindow(0);
  EXPECT_EQ(KzGadgetList::currentList(), nullptr);
}

TEST_F(WindowsTest, ClosingReleasesBindingsGadgetsMenuAndQueuedEvents) {
  static int64_t gadgets_window = 0;
  static QWidget* menu_window = nullptr;
  WindowModuleHooks.free_window_gadgets = [](int64_t window) { gadgets_window = window; };
  WindowModuleHooks.release_window_menu = [](QWidget* window) { menu_window = window; };
  KzWindow* closing = Open(5, 10, 10);
  Open(6, 10, 10);
  BoundCalls = 0;
  BindEventHandler(EvCloseRequest, &CountCall, 5);
  PostUserEvent(EvCustomBase, 5, 5);
  PostUserEvent(EvCustomBase, 6, 6);

  CloseWindow(5);
  EXPECT_EQ(gadgets_window, 5);
  EXPECT_EQ(menu_window, closing);
  EXPECT_EQ(WindowExists(5), nullptr);
  NotifyEvent(EvCloseRequest, 5, 5, 0);
  EXPECT_EQ(BoundCalls, 0);
  const std::vector<TakenEvent> events = TakeEvents();
  EXPECT_TRUE(Contains(events, {EvCustomBase, 6, 6}));
  EXPECT_FALSE(Contains(events, {EvCustomBase, 5, 5}));
}

TEST_F(WindowsTest, TimersAndShortcutsGoWithTheirWindow) {
  Open(0, 10, 10);
  QPointer<QTimer> timer = new QTimer;
  timer->start(60000);
  bool shortcut_deleted = false;
  ASSERT_TRUE(AddWindowTimer(0, timer));
  ASSERT_TRUE(AddWindowShortcut(0, std::make_unique<KeyShortcut>(Qt::Key_X, 1, &shortcut_deleted)));
  CloseWindow(0);
  EXPECT_TRUE(timer.isNull());
  EXPECT_TRUE(shortcut_deleted);

  bool refused_deleted = false;
  EXPECT_FALSE(AddWindowShortcut(0, std::make_unique<KeyShortcut>(Qt::Key_X, 1, &refused_deleted)));
  EXPECT_TRUE(refused_deleted);
  QTimer refused;
  EXPECT_FALSE(AddWindowTimer(0, &refused));
}

TEST_F(WindowsTest, ABlockedWindowsShortcutsDoNotFire) {
  KzWindow* window = Open(0, 10, 10);
  ASSERT_TRUE(AddWindowShortcut(0, std::make_unique<KeyShortcut>(Qt::Key_X, 5)));
  TakeEvents();
  BlockWindowInput(0, 1);
  QTest::keyClick(window, Qt::Key_X);
  EXPECT_FALSE(Contains(TakeEvents(), {EvMenuItem, 5, 0}));
  BlockWindowInput(0, 0);
  QTest::keyClick(window, Qt::Key_X);
  EXPECT_TRUE(Contains(TakeEvents(), {EvMenuItem, 5, 0}));
}

TEST_F(WindowsTest, CloseAllClosesNumberedAndHandleWindows) {
  Open(0, 10, 10);
  Open(3, 10, 10);
  const int64_t handle = OpenWindow(AnyObject, 10, 10, 50, 50, nullptr);
  CloseWindow(AnyObject);
  EXPECT_EQ(WindowExists(0), nullptr);
  EXPECT_EQ(WindowExists(3), nullptr);
  EXPECT_EQ(WindowExists(handle), nullptr);
}

TEST_F(WindowsTest, ACloseRequestCallbackMayCloseItsWindow) {
  QPointer<KzWindow> window = Open(0, 10, 10);
  BindEventHandler(EvCloseRequest, &CloseCurrentEventWindow, 0);
  window->windowHandle()->close();
  EXPECT_EQ(WindowExists(0), nullptr);
  ASSERT_FALSE(window.isNull());
  EXPECT_FALSE(window->isVisible());
  RenewAutoreleasePool();
  EXPECT_TRUE(window.isNull());
}

TEST_F(WindowsTest, ClosingTheKeyWindowMakesThePreviousKeyWindowKey) {
  Open(0, 10, 10);
  Open(1, 300, 10);
  KzWindow* third = Open(2, 10, 300);
  ASSERT_TRUE(third->isActiveWindow());
  CloseWindow(2);
  TakeEvents();
  // Window 0 comes first in the table; the window that was key when 2 opened wins.
  EXPECT_TRUE(NativeWindow(1)->isActiveWindow());
}

TEST_F(WindowsTest, WithThePreviousKeyWindowGoneTheFirstVisibleWindowBecomesKey) {
  Open(0, 10, 10, WinClosable | WinOpenMiniaturized);
  Open(1, 300, 10);
  Open(2, 10, 300);
  Open(3, 300, 300);
  CloseWindow(2);
  TakeEvents();
  ASSERT_TRUE(NativeWindow(3)->isActiveWindow());
  CloseWindow(3);
  TakeEvents();
  // Window 0 comes first in the table but is minimised.
  EXPECT_TRUE(NativeWindow(1)->isActiveWindow());
}

int64_t CloseWindowZero() {
  CloseWindow(0);
  return 0;
}

// A window closed by a callback of one of its events posts nothing more: its number may
// already belong to another window.
TEST_F(WindowsTest, AWindowClosedByItsZoomPostsNoResize) {
  KzWindow* window = Open(0, 10, 10, WinZoomButton);
  TakeEvents();
  BindEventHandler(EvZoomed, &CloseWindowZero, 0);
  window->showMaximized();
  const std::vector<TakenEvent> events = TakeEvents();
  EXPECT_EQ(KindsAmong(events, {EvResized}), std::vector<int64_t>());
  EXPECT_EQ(WindowExists(0), nullptr);
}

TEST_F(WindowsTest, BlockingIsNotCounted) {
  KzWindow* window = Open(0, 10, 10, WinMiniaturizeButton | WinZoomButton);
  ASSERT_EQ(window->windowFlags() & TitleBarButtons, TitleBarButtons);
  BlockWindowInput(0, 1);
  EXPECT_EQ(window->windowFlags() & TitleBarButtons, Qt::WindowFlags());
  EXPECT_EQ(window->windowHandle()->flags() & TitleBarButtons, Qt::WindowFlags());
  BlockWindowInput(0, 1);
  BlockWindowInput(0, 0);
  EXPECT_EQ(WindowExists(0)->blocker, nullptr);
  EXPECT_EQ(window->windowFlags() & TitleBarButtons, TitleBarButtons);
  EXPECT_TRUE(window->isVisible());

  // Only the buttons that were enabled come back.
  KzWindow* plain = Open(1, 10, 10, WinClosable);
  BlockWindowInput(1, 1);
  BlockWindowInput(1, 0);
  EXPECT_EQ(plain->windowFlags() & TitleBarButtons, Qt::WindowFlags(Qt::WindowCloseButtonHint));
}

TEST_F(WindowsTest, ABlockedWindowSwallowsClicksAndCloseRequests) {
  KzWindow* window = Open(0, 10, 10);
  auto* field = new QLineEdit(window->contentView());
  field->setGeometry(0, 0, 100, 20);
  field->show();
  QWindow* handle = window->windowHandle();
  BlockWindowInput(0, 1);
  QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(50, 50));
  QTest::mouseClick(handle, Qt::RightButton, {}, QPoint(50, 50));
  QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(10, 10));
  handle->close();
  EXPECT_EQ(TakeEvents(), std::vector<TakenEvent>());
  EXPECT_FALSE(field->hasFocus());

  BlockWindowInput(0, 0);
  QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(50, 50));
  EXPECT_EQ(TakeEvents(), (std::vector<TakenEvent>{{EvClick, 0, 0}}));
}

TEST_F(WindowsTest, ABlockedWindowDoesNotBecomeKey) {
  KzWindow* blocked = Open(0, 10, 10);
  Open(1, 300, 10);
  BlockWindowInput(0, 1);
  blocked->activateWindow();
  std::vector<TakenEvent> events = TakeEvents();
  EXPECT_TRUE(Contains(events, {EvResignedKey, 1, 1}));
  EXPECT_FALSE(Contains(events, {EvBecameKey, 0, 0}));
  NativeWindow(1)->activateWindow();
  events = TakeEvents();
  EXPECT_TRUE(Contains(events, {EvBecameKey, 1, 1}));
  EXPECT_FALSE(Contains(events, {EvResignedKey, 0, 0}));
}

TEST_F(WindowsTest, TheDrawingContextPaintsIntoAClearedBitmapAboveTheContent) {
  KzWindow* window = Open(0, 10, 10);
  WindowRecord* record = WindowExists(0);
  std::unique_ptr<QPainter> painter = WindowDrawingContext(record, 4, 2);
  ASSERT_NE(painter, nullptr);
  painter->fillRect(0, 0, 4, 2, QColor(255, 0, 0));
  painter.reset();
  ASSERT_NE(record->output_pixels, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(record->output_pixels, record->output_pixels + 4),
            (std::vector<uint8_t>{255, 0, 0, 255}));
  KzWindowOutputView* view = record->output_view;
  EXPECT_EQ(view->parentWidget(), window->contentView());
  EXPECT_EQ(view->geometry(), QRect(0, 0, 4, 2));

  ASSERT_NE(WindowDrawingContext(record, 4, 2), nullptr);
  EXPECT_EQ(record->output_view, view);
  EXPECT_EQ(std::vector<uint8_t>(record->output_pixels, record->output_pixels + 32),
            std::vector<uint8_t>(32, 0));

  QPointer<KzWindowOutputView> replaced = view;
  ASSERT_NE(WindowDrawingContext(record, 8, 8), nullptr);
  EXPECT_TRUE(replaced.isNull());
  EXPECT_EQ(record->output_view->size(), QSize(8, 8));

  FreeWindowOutput(record);
  EXPECT_EQ(record->output_view, nullptr);
  EXPECT_EQ(record->output_pixels, nullptr);
  EXPECT_EQ(WindowDrawingContext(record, 0, 5), nullptr);
}

TEST_F(WindowsTest, AWindowShortcutPostsItsItemAndTakesTheKey) {
  KzWindow* window = Open(3, 10, 10);
  auto* field = new QLineEdit(window->contentView());
  field->show();
  ASSERT_TRUE(AddWindowShortcut(3, std::make_unique<KeyShortcut>(Qt::Key_X, 7)));
  ASSERT_TRUE(AddWindowShortcut(3, std::make_unique<KeyShortcut>(Qt::Key_X, 8)));
  QTest::keyClick(field, Qt::Key_X);
  QTest::keyClick(field, Qt::Key_Y);
  EXPECT_EQ(field->text(), "y");
  EXPECT_EQ(TakeEvents(), (std::vector<TakenEvent>{{EvMenuItem, 7, 3}}));
}

TEST_F(WindowsTest, OpeningAndClosingInLoopsLeavesNothingBehind) {
  std::vector<QPointer<QObject>> objects;
  for (int round = 0; round < 40; ++round) {
    const int64_t number = round % 2 == 0 ? round % 5 : AnyObject;
    const int64_t result = OpenWindow(number, 10, 10, 120, 80, u"loop", WinResizable);
    const int64_t id = number == AnyObject ? result : number;
    WindowRecord* record = WindowExists(id);
    ASSERT_NE(record, nullptr);
    objects.emplace_back(record->window);
    objects.emplace_back(record->events);
    BlockWindowInput(id, 1);
    objects.emplace_back(record->blocker);
    ASSERT_NE(WindowDrawingContext(record, 16, 16), nullptr);
    AddWindowShortcut(id, std::make_unique<KeyShortcut>(Qt::Key_X, 1));
    AddWindowTimer(id, new QTimer);
    BindEventHandler(EvClick, &CountCall, id);
    if (round % 3 == 0) CloseWindow(id);
    TakeEvents();
  }
  CloseWindow(AnyObject);
  RenewAutoreleasePool();
  for (const QPointer<QObject>& object : objects)
    EXPECT_TRUE(object.isNull());
  EXPECT_EQ(KzGadgetList::currentList(), nullptr);
}

}  // namespace
