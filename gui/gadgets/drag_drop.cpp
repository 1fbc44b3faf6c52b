#include "gui/gadgets/drag_drop.h"

#include <QDragMoveEvent>
#include <QDropEvent>

namespace {

Qt::DropAction Refuse(QDropEvent* event) {
  event->setDropAction(Qt::IgnoreAction);
  event->ignore();
  return Qt::IgnoreAction;
}

}  // namespace

Qt::DropAction KzDragDrop::draggingEntered(QWidget*, QDragMoveEvent* sender) {
  return Refuse(sender);
}

Qt::DropAction KzDragDrop::draggingUpdated(QWidget*, QDragMoveEvent* sender) {
  return Refuse(sender);
}

bool KzDragDrop::prepareForDragOperation(QWidget*, QDropEvent*) {
  return true;
}

bool KzDragDrop::performDragOperation(QWidget*, QDropEvent* sender, int64_t, int64_t) {
  Refuse(sender);
  return false;
}
