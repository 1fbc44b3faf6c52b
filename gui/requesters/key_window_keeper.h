// Keeps the application's key window across a modal requester.
#pragma once

#include <QPointer>

class QWidget;

// Remembers the active window on construction and makes it active again on destruction.
// A window that closed or hid meanwhile is left alone, and with no active window at the
// start none is activated at the end. Not copyable.
class KeyWindowKeeper {
 public:
  KeyWindowKeeper();
  ~KeyWindowKeeper();
  KeyWindowKeeper(const KeyWindowKeeper&) = delete;
  KeyWindowKeeper& operator=(const KeyWindowKeeper&) = delete;

 private:
  QPointer<QWidget> window_;
};
