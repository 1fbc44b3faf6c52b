#include "gui/windows/kz_window.h"

#include <QCloseEvent>
#include <QEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include "gui/events/event_queue.h"
#include "gui/windows/gadget_list.h"
#include "gui/windows/window_views.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"

namespace {

// The window whose EvBecameKey was posted last and not yet followed by EvResignedKey. Qt
// activates the new window before it deactivates the old one; this puts the old window's
// EvResignedKey first. A blocked window that Qt activated anyway never gets here, so it
// does not resign a key status it never had.
KzWindow* PostedKeyWindow = nullptr;

void ReleaseRecordContents(WindowRecord* record) {
  FreeWindowOutput(record);
  if (record->timers != nullptr) {
    // A deleted timer never fires again.
    for (QTimer* timer : *record->timers)
      delete timer;
    delete record->timers;
  }
  if (record->shortcuts != nullptr) {
    for (KzWindowShortcut* shortcut : *record->shortcuts)
      delete shortcut;
    delete record->shortcuts;
  }
}

}  // namespace

KzWindow::KzWindow() : QWidget(nullptr, Qt::Window) {}

KzWindow::~KzWindow() {
  if (PostedKeyWindow == this) PostedKeyWindow = nullptr;
  // A window destroyed without CloseWindow (by Qt, or by a parent it was given) must not
  // leave a record that points at it.
  if (delegate_ != nullptr) delegate_->windowWillClose();
}

void KzWindow::setContentView(QWidget* view) {
  if (content_view_ != nullptr) content_view_->deleteLater();
  content_view_ = view;
  view->setParent(this);
  view->setGeometry(rect());
  view->show();
}

bool KzWindow::canBecomeKeyWindow() const {
  return record_ != nullptr && record_->blocker == nullptr;
}

void KzWindow::setResizable(bool resizable) {
  resizable_ = resizable;
  if (resizable) {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    return;
  }
  setFixedSize(size());
}

void KzWindow::replaceTitleBarFlags(Qt::WindowFlags flags) {
  overrideWindowFlags(flags);
  if (QWindow* handle = windowHandle()) handle->setFlags(flags);
}

void KzWindow::closeWindow() {
  // A closed window resigns silently: its delegate is gone before Qt deactivates it.
  if (PostedKeyWindow == this) PostedKeyWindow = nullptr;
  if (delegate_ != nullptr) delegate_->windowWillClose();
  hide();
  deleteLater();
}

void KzWindow::BecomeKey() {
  if (delegate_ == nullptr || !canBecomeKeyWindow() || PostedKeyWindow == this) return;
  if (PostedKeyWindow != nullptr) PostedKeyWindow->ResignKey();
  PostedKeyWindow = this;
  delegate_->windowDidBecomeKey();
}

void KzWindow::ResignKey() {
  if (PostedKeyWindow != this) return;
  PostedKeyWindow = nullptr;
  if (delegate_ != nullptr) delegate_->windowDidResignKey();
}

bool KzWindow::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) BecomeKey();
  if (event->type() == QEvent::WindowDeactivate) ResignKey();
  return QWidget::event(event);
}

void KzWindow::closeEvent(QCloseEvent* event) {
  // Every close event is a request: only CloseWindow closes, and it does not come here. A
  // window without an enabled close button (borderless, or blocked) cannot be asked.
  event->ignore();
  if (delegate_ != nullptr && windowFlags().testFlag(Qt::WindowCloseButtonHint)) {
    delegate_->windowShouldClose();
  }
}

void KzWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (delegate_ != nullptr) delegate_->windowDidMove();
}

void KzWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (content_view_ != nullptr) content_view_->setGeometry(rect());
  if (delegate_ != nullptr) delegate_->windowDidResize();
}

void KzWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || delegate_ == nullptr) return;
  const Qt::WindowStates before = static_cast<QWindowStateChangeEvent*>(event)->oldState();
  delegate_->windowDidChangeState(before, windowState());
}

bool KzWindow::focusNextPrevChild(bool next) {
  // Tab must not carry the keyboard past the overlay of a blocked window.
  if (record_ != nullptr && record_->blocker != nullptr) return true;
  return QWidget::focusNextPrevChild(next);
}

KzWindowEvents::KzWindowEvents(KzWindow* window) : QObject(window) {}

void KzWindowEvents::connectWithID(KzWindow* window, int64_t id) {
  window_instance_ = window;
  window_id_ = id;
  zoom_event_ = 0;
  window->setDelegate(this);
}

bool KzWindowEvents::Post(int32_t kind) {
  NotifyEvent(kind, window_id_, window_id_, 0);
  // A callback may have closed the window; its number may already be another window's.
  return window_instance_->delegate() == this;
}

void KzWindowEvents::windowShouldClose() {
  Post(EvCloseRequest);
}

void KzWindowEvents::windowWillClose() {
  auto* record = WindowExists(window_id_);
  if (record != nullptr && record->window == window_instance_) {
    ReleaseRecordContents(record);
    ReleaseObjectSlot(WindowTable, window_id_);
  }
  KzGadgetList::removeWindow(window_instance_);
  window_instance_->setRecord(nullptr);
  window_instance_->setDelegate(nullptr);
  PurgeWindowEvents(window_id_);
  deleteLater();
}

void KzWindowEvents::finishOpening(bool zoomed) {
  opening_ = false;
  known_position_ = window_instance_->pos();
  known_size_ = window_instance_->size();
  opening_zoom_ = zoomed;
  zoom_event_ = 0;
}

bool KzWindowEvents::kzHandleResizeEvent() {
  if (QWidget* content = window_instance_->contentView()) content->update();
  const QSize size = window_instance_->size();
  if (opening_ || (size == known_size_ && zoom_event_ == 0)) return true;
  known_size_ = size;
  if (opening_zoom_ && window_instance_->isMaximized()) {
    // The zoom moves the window to the corner of its screen's free area as well, and Qt
    // may report that move only after this resize; it is part of the zoom.
    const QScreen* screen = window_instance_->screen();
    known_position_ =
        screen != nullptr ? screen->availableGeometry().topLeft() : window_instance_->pos();
    opening_zoom_ = false;
    zoom_event_ = 0;
    return true;
  }
  const int32_t zoom_event = zoom_event_;
  zoom_event_ = 0;
  if (zoom_event != 0 && !Post(zoom_event)) return false;
  PurgeEvents(EvResized, window_id_, window_id_, 0);
  return Post(EvResized);
}

void KzWindowEvents::windowDidResize() {
  kzHandleResizeEvent();
}

void KzWindowEvents::windowDidEnterFullScreen() {
  if (kzHandleResizeEvent()) Post(EvZoomed);
}

void KzWindowEvents::windowDidExitFullScreen() {
  if (kzHandleResizeEvent()) Post(EvUnzoomed);
}

void KzWindowEvents::windowDidMove() {
  const QPoint position = window_instance_->pos();
  if (opening_ || position == known_position_) return;
  known_position_ = position;
  // The zoom of the opening moves the window too.
  if (opening_zoom_) return;
  Post(EvMoved);
}

void KzWindowEvents::windowDidBecomeKey() {
  if (WindowModuleHooks.install_window_menu_bar != nullptr) {
    WindowModuleHooks.install_window_menu_bar(window_instance_);
  }
  Post(EvBecameKey);
}

void KzWindowEvents::windowDidResignKey() {
  Post(EvResignedKey);
}

void KzWindowEvents::windowDidMiniaturize() {
  Post(EvMiniaturized);
}

void KzWindowEvents::windowDidDeminiaturize() {
  const bool zoomed = window_instance_->isResizable() && window_instance_->isMaximized();
  Post(zoomed ? EvZoomed : EvUnzoomed);
}

void KzWindowEvents::windowShouldZoom(bool enlarging) {
  zoom_event_ = enlarging ? EvZoomed : EvUnzoomed;
}

void KzWindowEvents::windowDidChangeState(Qt::WindowStates before, Qt::WindowStates after) {
  const auto gained = [&](Qt::WindowState state) {
    return !before.testFlag(state) && after.testFlag(state);
  };
  const auto lost = [&](Qt::WindowState state) {
    return before.testFlag(state) && !after.testFlag(state);
  };
  if (gained(Qt::WindowMinimized)) return windowDidMiniaturize();
  if (lost(Qt::WindowMinimized)) return windowDidDeminiaturize();
  // A maximised or full-screen flag that changes while minimised shows only on restoring.
  if (after.testFlag(Qt::WindowMinimized)) return;
  if (gained(Qt::WindowFullScreen)) return windowDidEnterFullScreen();
  if (lost(Qt::WindowFullScreen)) return windowDidExitFullScreen();
  if (gained(Qt::WindowMaximized)) return windowShouldZoom(true);
  if (lost(Qt::WindowMaximized)) windowShouldZoom(false);
}
