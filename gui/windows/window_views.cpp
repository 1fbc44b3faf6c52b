#include "gui/windows/window_views.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include "gui/events/event_queue.h"
#include "gui/windows/windows.h"

Kz_NSFlippedView::Kz_NSFlippedView(QWidget* parent) : QWidget(parent) {}

KzFlippedWindowView::KzFlippedWindowView(int64_t window_id, QWidget* parent)
    : Kz_NSFlippedView(parent), window_id_(window_id) {}

void KzFlippedWindowView::Post(int32_t kind) {
  NotifyEvent(kind, window_id_, window_id_, 0);
}

void KzFlippedWindowView::paintEvent(QPaintEvent* event) {
  Kz_NSFlippedView::paintEvent(event);
  Post(EvRedraw);
}

void KzFlippedWindowView::mousePressEvent(QMouseEvent* event) {
  click_count_ = 1;
  event->accept();
}

void KzFlippedWindowView::mouseDoubleClickEvent(QMouseEvent* event) {
  click_count_ = 2;
  event->accept();
}

void KzFlippedWindowView::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  const int count = click_count_;
  click_count_ = 0;
  if (event->button() == Qt::LeftButton) {
    if (count == 1) Post(EvClick);
    if (count == 2) Post(EvDoubleClick);
    return;
  }
  if (event->button() == Qt::RightButton && count == 1) Post(EvSecondaryClick);
}

void KzFlippedWindowView::dragEnterEvent(QDragEnterEvent* event) {
  if (WindowModuleHooks.drag_entered == nullptr) {
    event->ignore();
    return;
  }
  WindowModuleHooks.drag_entered(this, event);
}

void KzFlippedWindowView::dragMoveEvent(QDragMoveEvent* event) {
  if (WindowModuleHooks.drag_updated == nullptr) {
    event->ignore();
    return;
  }
  WindowModuleHooks.drag_updated(this, event);
}

void KzFlippedWindowView::dropEvent(QDropEvent* event) {
  if (WindowModuleHooks.drop == nullptr) {
    event->ignore();
    return;
  }
  WindowModuleHooks.drop(this, event, -1, window_id_);
}

KzDisabledView::KzDisabledView(QWidget* parent) : QWidget(parent) {
  // Nothing is painted: the content stays visible through the overlay.
  setAttribute(Qt::WA_NoSystemBackground);
}

// A mouse event a widget ignores travels on to its parent, the content view, which would
// report a background click: accepting is what swallows it.
void KzDisabledView::mousePressEvent(QMouseEvent* event) {
  event->accept();
}
void KzDisabledView::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
}
void KzDisabledView::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
}
void KzDisabledView::contextMenuEvent(QContextMenuEvent* event) {
  event->accept();
}

KzWindowOutputView::KzWindowOutputView(QWidget* parent) : QWidget(parent) {}

void KzWindowOutputView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.drawImage(event->rect(), bitmap_, event->rect());
}
