#include "gui/gadgets/gadget_functions.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QWidget>

#include "gui/events/event_queue.h"
#include "gui/gadgets/gadget_view.h"
#include "gui/gadgets/gadgets.h"
#include "gui/windows/gadget_list.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"

namespace {

// The container's top-left corner within its window's content. The content view fills its
// window from the window's origin, so mapping to the window is mapping to the content.
QPoint OriginInWindow(const QWidget* container) {
  return container->mapTo(container->window(), QPoint());
}

// The top-left corner on the screen, counted from the primary screen's top-left corner as
// window positions are; null without a primary screen.
std::optional<QPoint> OriginOnScreen(const QWidget* container) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return std::nullopt;
  return container->mapToGlobal(QPoint()) - screen->geometry().topLeft();
}

}  // namespace

GadgetRecord* KzGadgetFunctions::setup(int64_t number, int32_t type, QWidget* view,
                                       QWidget* container, int32_t flags) {
  KzGadgetView* gadget_view = AsGadgetView(view);
  if (GadgetTable == nullptr || gadget_view == nullptr) return nullptr;
  auto* record = static_cast<GadgetRecord*>(GetOrCreateObject(GadgetTable, number));
  if (record == nullptr) return nullptr;
  GadgetID = number == AnyObject ? reinterpret_cast<int64_t>(record) : number;
  Gadget = record;
  control_ = AsControl(view);
  record->view = view;
  record->container = container;
  record->functions = this;
  record->type = type;
  record->flags = flags;
  record->window = WindowNumberOf(KzGadgetList::currentWindow());
  gadget_view->setTag(GadgetID);
  if (control_ != nullptr) control_->setTarget(this);
  return record;
}

void KzGadgetFunctions::reuse(GadgetRecord* record, int32_t type) {
  KzGadgetFunctions* previous = record->functions;
  if (previous != nullptr && previous != this) {
    previous->detach();
    previous->deleteLater();
  }
  Gadget = record;
  record->functions = this;
  record->type = type;
  GadgetID = AsGadgetView(record->view)->tag();
  control_ = AsControl(record->view);
  if (control_ != nullptr) control_->setTarget(this);
}

void KzGadgetFunctions::detach() {
  if (Gadget == nullptr) return;
  QObject::disconnect(Gadget->view, nullptr, this, nullptr);
  Gadget = nullptr;
  control_ = nullptr;
}

bool KzGadgetFunctions::SendEvent(int64_t subtype) {
  if (Gadget == nullptr) return false;
  // A callback that frees the gadget detaches this object and defers its deletion; one that
  // then waits (WaitForEvent, a modal loop) carries the deletion out before it returns here.
  const QPointer<KzGadgetFunctions> alive(this);
  NotifyEvent(EvGadgetNotify, GadgetID, Gadget->window, subtype);
  return alive != nullptr && Gadget != nullptr;
}

void KzGadgetFunctions::EventHandler() {
  SendEvent(SubtypeAction);
}

void KzGadgetFunctions::FreeGadget() {}

void KzGadgetFunctions::ActivateGadget() {
  KzWindow* window = NativeWindow(Gadget->window);
  if (window == nullptr) return;
  window->activateWindow();
  Gadget->view->setFocus(Qt::OtherFocusReason);
}

void KzGadgetFunctions::GadgetToolTip(const QString& text) {
  Gadget->view->setToolTip(text);
}

void KzGadgetFunctions::GadgetAccessibleName(const QString& text) {
  Gadget->view->setAccessibleName(text);
}

void KzGadgetFunctions::HideGadget(int32_t hide) {
  QWidget* container = Gadget->container;
  if (hide != 0) {
    container->hide();
    return;
  }
  // A gadget placed nowhere would show up as a window of its own.
  if (container->parentWidget() != nullptr) container->show();
}

void KzGadgetFunctions::DisableGadget(int32_t disable) {
  // Qt commits every edit as it is typed, so there is no pending text to validate first.
  if (isControl()) Gadget->view->setEnabled(disable == 0);
}

int64_t KzGadgetFunctions::GadgetX(int32_t mode) {
  const QWidget* container = Gadget->container;
  if (mode == 2) return OriginInWindow(container).x();
  if (mode == 1) {
    const std::optional<QPoint> origin = OriginOnScreen(container);
    return origin ? origin->x() : container->mapToGlobal(QPoint()).x();
  }
  return container->x();
}

int64_t KzGadgetFunctions::GadgetY(int32_t mode) {
  const QWidget* container = Gadget->container;
  if (mode == 2) return OriginInWindow(container).y();
  if (mode == 1) {
    const std::optional<QPoint> origin = OriginOnScreen(container);
    return origin ? origin->y() : 0;
  }
  return container->y();
}

int64_t KzGadgetFunctions::GadgetWidth() {
  return Gadget->container->width();
}

int64_t KzGadgetFunctions::GadgetHeight() {
  return Gadget->container->height();
}

void KzGadgetFunctions::ResizeGadget(int32_t x, int32_t y, int32_t width, int32_t height) {
  QWidget* container = Gadget->container;
  const QRect current = container->geometry();
  const QRect frame(x == KeepValue ? current.x() : x, y == KeepValue ? current.y() : y,
                    width == KeepValue ? current.width() : width,
                    height == KeepValue ? current.height() : height);
  if (KzGadgetView* view = AsGadgetView(container)) {
    view->setGadgetFrame(frame);
  } else {
    container->setGeometry(frame);
  }
  container->update();
}

void KzGadgetFunctions::SetGadgetFont(const QFont& font) {
  if (isControl()) Gadget->view->setFont(font);
}

std::optional<QFont> KzGadgetFunctions::GetGadgetFont() {
  if (!isControl()) return std::nullopt;
  return Gadget->view->font();
}

int64_t KzGadgetFunctions::AddGadgetItem(int32_t, const QString&, const QImage*, int32_t) {
  return 0;
}

void KzGadgetFunctions::RemoveGadgetItem(int32_t) {}

void KzGadgetFunctions::ClearGadgetItems() {}

int64_t KzGadgetFunctions::CountGadgetItems() {
  return 0;
}

void KzGadgetFunctions::AddGadgetColumn(int32_t, const QString&, int32_t) {}

void KzGadgetFunctions::RemoveGadgetColumn(int32_t) {}

void KzGadgetFunctions::SetGadgetState(int32_t state) {
  if (isControl()) control_->setIntValue(state);
}

int64_t KzGadgetFunctions::GetGadgetState() {
  return isControl() ? control_->intValue() : 0;
}

void KzGadgetFunctions::SetGadgetItemState(int32_t, int32_t) {}

int64_t KzGadgetFunctions::GetGadgetItemState(int32_t) {
  return 0;
}

void KzGadgetFunctions::SetGadgetItemImage(int32_t, const QImage*) {}

void KzGadgetFunctions::SetGadgetText(const QString& text) {
  if (isControl()) control_->setStringValue(text);
}

QString KzGadgetFunctions::GetGadgetText() {
  return isControl() ? control_->stringValue() : QString();
}

void KzGadgetFunctions::SetGadgetItemText(int32_t, const QString&, int32_t) {}

QString KzGadgetFunctions::GetGadgetItemText(int32_t, int32_t) {
  return QString();
}

void KzGadgetFunctions::SetGadgetAttribute(int32_t, int64_t) {}

int64_t KzGadgetFunctions::GetGadgetAttribute(int32_t) {
  return 0;
}

void KzGadgetFunctions::SetGadgetItemAttribute(int32_t, int32_t, int64_t, int32_t) {}

int64_t KzGadgetFunctions::GetGadgetItemAttribute(int32_t, int32_t, int32_t) {
  return 0;
}

void KzGadgetFunctions::SetGadgetColor(int32_t, const QColor&) {}

QColor KzGadgetFunctions::GetGadgetColor(int32_t) {
  return QColor();
}

void KzGadgetFunctions::SetGadgetItemColor(int32_t, int32_t, const QColor&, int32_t) {}

QColor KzGadgetFunctions::GetGadgetItemColor(int32_t, int32_t, int32_t) {
  return QColor();
}

void KzGadgetFunctions::SetGadgetItemData(int32_t, int64_t) {}

int64_t KzGadgetFunctions::GetGadgetItemData(int32_t) {
  return 0;
}

void KzGadgetFunctions::OpenGadgetList(int32_t) {}

int64_t AbandonCreation(QWidget* view, KzGadgetFunctions* functions) {
  delete view;
  delete functions;
  return 0;
}

void AddToCurrentView(QWidget* view) {
  QWidget* parent = KzGadgetList::currentView();
  if (parent == nullptr) return;
  view->setParent(parent);
  view->show();
}

int64_t CreationResult(int64_t number, const GadgetRecord* record) {
  if (number == AnyObject) return record->functions->gadgetID();
  return reinterpret_cast<int64_t>(record->view);
}
