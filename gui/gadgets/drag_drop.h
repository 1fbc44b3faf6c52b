// KzDragDrop: the receiving end of drag and drop for gadget views and window backgrounds.
// Every gadget view forwards its four drag methods here with its gadget number and window
// -1. Until drops are taken in, every drag is refused: nothing is offered, nothing posted.
#pragma once

#include <Qt>
#include <cstdint>

class QDragMoveEvent;
class QDropEvent;
class QWidget;

class KzDragDrop {
 public:
  // The operation offered to a drag that enters or moves over view; it is also set on the
  // event. Qt::IgnoreAction refuses the drag.
  static Qt::DropAction draggingEntered(QWidget* view, QDragMoveEvent* sender);
  static Qt::DropAction draggingUpdated(QWidget* view, QDragMoveEvent* sender);
  // Whether the drop may go ahead; Qt has no step of its own for this, so the view asks it
  // before performDragOperation.
  static bool prepareForDragOperation(QWidget* view, QDropEvent* sender);
  // Posts the drop: EvDropOnWindow for gadget -1, else EvDropOnGadget for the gadget. True
  // when an event was posted.
  static bool performDragOperation(QWidget* view, QDropEvent* sender, int64_t gadget,
                                   int64_t window);
};
