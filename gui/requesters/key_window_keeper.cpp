#include "gui/requesters/key_window_keeper.h"

#include <QApplication>
#include <QWidget>

KeyWindowKeeper::KeyWindowKeeper() : window_(QApplication::activeWindow()) {}

KeyWindowKeeper::~KeyWindowKeeper() {
  // A callback run during the modal loop may have closed the window; CloseWindow only
  // hides it and defers its deletion, so the pointer alone does not tell.
  if (window_.isNull() || !window_->isVisible()) return;
  window_->activateWindow();
}
