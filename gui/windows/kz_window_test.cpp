#include "gui/windows/kz_window.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include "gui/windows/window_test_support.h"

namespace {

using Events = std::vector<TakenEvent>;
using Kinds = std::vector<int64_t>;

// Window 0, resizable with every title-bar button, shown and key.
class KzWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartWindowSystem(false); }
  void SetUp() override {
    OpenWindow(0, 50, 50, 300, 200, u"events", WinMiniaturizeButton | WinZoomButton);
    window_ = NativeWindow(0);
    TakeEvents();
  }
  void TearDown() override {
    CloseWindow(AnyObject);
    WindowModuleHooks = {};
    RenewAutoreleasePool();
    TakeEvents();
  }

  static Kinds SizeKinds() { return KindsAmong(TakeEvents(), {EvZoomed, EvUnzoomed, EvResized}); }

  KzWindow* window_ = nullptr;
};

TEST_F(KzWindowTest, TheCloseButtonAsksAndTheWindowStays) {
  EXPECT_FALSE(window_->windowHandle()->close());
  EXPECT_EQ(TakeEvents(), (Events{{EvCloseRequest, 0, 0}}));
  EXPECT_TRUE(window_->isVisible());
  EXPECT_NE(WindowExists(0), nullptr);
}

TEST_F(KzWindowTest, ZoomPostsZoomedBeforeResizedAndUnzoomReverses) {
  window_->showMaximized();
  EXPECT_EQ(SizeKinds(), (Kinds{EvZoomed, EvResized}));
  window_->showNormal();
  EXPECT_EQ(SizeKinds(), (Kinds{EvUnzoomed, EvResized}));
  EXPECT_EQ(window_->size(), QSize(300, 200));
  EXPECT_EQ(window_->contentView()->size(), QSize(300, 200));
}

TEST_F(KzWindowTest, MiniaturizingAndComingBackZoomedOrNot) {
  window_->showMinimized();
  EXPECT_EQ(KindsAmong(TakeEvents(), {EvMiniaturized}), Kinds{EvMiniaturized});
  window_->showNormal();
  EXPECT_EQ(SizeKinds(), Kinds{EvUnzoomed});

  window_->showMaximized();
  TakeEvents();
  window_->showMinimized();
  TakeEvents();
  window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
  EXPECT_EQ(SizeKinds(), Kinds{EvZoomed});
}

TEST_F(KzWindowTest, ResizingKeepsOnlyTheNewestResizeQueued) {
  window_->resize(320, 220);
  window_->move(80, 90);
  // Qt delivers the move later, when the window system confirms it.
  QCoreApplication::processEvents();
  window_->resize(340, 240);
  EXPECT_EQ(TakeEvents(), (Events{{EvMoved, 0, 0}, {EvResized, 0, 0}}));
  EXPECT_EQ(window_->contentView()->size(), QSize(340, 240));
}

TEST_F(KzWindowTest, TheOldKeyWindowResignsBeforeTheNewOneBecomesKey) {
  OpenWindow(1, 400, 50, 200, 100, nullptr);
  EXPECT_EQ(KindsAmong(TakeEvents(), {EvBecameKey, EvResignedKey}),
            (Kinds{EvResignedKey, EvBecameKey}));
  window_->activateWindow();
  EXPECT_EQ(TakeEvents(), (Events{{EvResignedKey, 1, 1}, {EvBecameKey, 0, 0}}));
}

TEST_F(KzWindowTest, BackgroundClicksBecomeClickEvents) {
  QWindow* handle = window_->windowHandle();
  QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(100, 100));
  EXPECT_EQ(TakeEvents(), (Events{{EvClick, 0, 0}}));
  QTest::mouseDClick(handle, Qt::LeftButton, {}, QPoint(100, 100));
  EXPECT_EQ(KindsAmong(TakeEvents(), {EvClick, EvDoubleClick}), (Kinds{EvClick, EvDoubleClick}));
  QTest::mouseClick(handle, Qt::RightButton, {}, QPoint(100, 100));
  EXPECT_EQ(TakeEvents(), (Events{{EvSecondaryClick, 0, 0}}));
  QTest::mouseDClick(handle, Qt::RightButton, {}, QPoint(100, 100));
  EXPECT_EQ(TakeEvents(), (Events{{EvSecondaryClick, 0, 0}}));
  QTest::mouseClick(handle, Qt::MiddleButton, {}, QPoint(100, 100));
  EXPECT_EQ(TakeEvents(), Events());
}

TEST_F(KzWindowTest, AClickOnAGadgetIsNoBackgroundClick) {
  auto* button = new QPushButton(QStringLiteral("OK"), window_->contentView());
  button->setGeometry(10, 10, 80, 30);
  button->show();
  QTest::mouseClick(window_->windowHandle(), Qt::LeftButton, {}, QPoint(40, 20));
  EXPECT_EQ(TakeEvents(), Events());
}

TEST_F(KzWindowTest, RepaintingTheContentPostsRedraw) {
  window_->contentView()->repaint();
  EXPECT_TRUE(Contains(TakeEvents(true), {EvRedraw, 0, 0}));
}

TEST_F(KzWindowTest, DragsOverTheBackgroundGoToTheDragHooks) {
  static QWidget* entered_view = nullptr;
  static int64_t gadget = 0;
  static int64_t window = 0;
  // What the drag-and-drop module does when a view registers for drops.
  window_->contentView()->setAcceptDrops(true);
  QMimeData data;
  QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
  QCoreApplication::sendEvent(window_->contentView(), &refused);
  EXPECT_FALSE(refused.isAccepted());

  WindowModuleHooks.drag_entered = [](QWidget* view, QDragMoveEvent* event) {
    entered_view = view;
    event->acceptProposedAction();
  };
  WindowModuleHooks.drop = [](QWidget*, QDropEvent* event, int64_t g, int64_t w) {
    gadget = g;
    window = w;
    event->acceptProposedAction();
  };
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
  QCoreApplication::sendEvent(window_->contentView(), &enter);
  EXPECT_EQ(entered_view, window_->contentView());
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
  QCoreApplication::sendEvent(window_->contentView(), &drop);
  EXPECT_TRUE(drop.isAccepted());
  EXPECT_EQ(gadget, -1);
  EXPECT_EQ(window, 0);
}

}  // namespace
