#include "gui/events/kz_application.h"

#include <QKeyEvent>
#include <QMetaObject>
#include <QWidget>

#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"

namespace {

// Invokes a no-argument slot of the focus widget when it has one; that is how an editing
// action finds its responder.
bool SendEditingAction(const char* slot_signature, const char* slot_name) {
  QWidget* focus = QApplication::focusWidget();
  if (focus == nullptr || focus->metaObject()->indexOfMethod(slot_signature) < 0) return false;
  return QMetaObject::invokeMethod(focus, slot_name);
}

// Ctrl+X, C, V, A, Z and Ctrl+Shift+Z with no other modifier. Returns true when the
// action was handled and the key event is finished.
bool HandleEditingKey(const QKeyEvent* key) {
  const Qt::KeyboardModifiers modifiers = key->modifiers();
  if (modifiers == Qt::ControlModifier) {
    switch (key->key()) {
      case Qt::Key_X:
        return SendEditingAction("cut()", "cut");
      case Qt::Key_C:
        return SendEditingAction("copy()", "copy");
      case Qt::Key_V:
        return SendEditingAction("paste()", "paste");
      case Qt::Key_A:
        return SendEditingAction("selectAll()", "selectAll");
      case Qt::Key_Z:
        // Qt's text widgets undo on this key themselves; passing the event on after an
        // undo would undo twice.
        return SendEditingAction("undo()", "undo");
      default:
        return false;
    }
  }
  if (modifiers == (Qt::ControlModifier | Qt::ShiftModifier) && key->key() == Qt::Key_Z) {
    return SendEditingAction("redo()", "redo");
  }
  return false;
}

}  // namespace

KzApplication::KzApplication(int& argc, char** argv) : QApplication(argc, argv) {
  // Closing the last window must not end the program behind the main loop's back.
  setQuitOnLastWindowClosed(false);
  // From here on there is a loop for posts to wake.
  SetEventWakeHook(&WakeEventLoop);
}

bool KzApplication::notify(QObject* receiver, QEvent* event) {
  if (PreDispatchPlatformEvent(receiver, event)) return true;
  if (event->type() == QEvent::KeyPress && receiver->isWidgetType() &&
      HandleEditingKey(static_cast<QKeyEvent*>(event))) {
    return true;
  }
  return QApplication::notify(receiver, event);
}

bool KzApplication::event(QEvent* event) {
  if (event->type() == QEvent::Quit) {
    RequestTermination();
    return true;
  }
  return QApplication::event(event);
}

void RequestTermination() {
  NotifyEvent(EvMenuItem, QuitMenuItem, -1, 0);
}
