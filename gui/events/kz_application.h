// KzApplication: the one application object. It delivers every event through the event
// loop's pre-dispatch (activity, filters, window shortcuts), then handles the editing key
// equivalents, then Qt's normal dispatch. A request to quit becomes EvMenuItem with item
// QuitMenuItem and is declined: the main loop decides when the program ends. Making it
// installs the loop's wake-up in the event queue.
#pragma once

#include <QApplication>

class KzApplication : public QApplication {
 public:
  KzApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

 protected:
  bool event(QEvent* event) override;
};

// The termination request every route ends in (window system, signal, session manager):
// posts EvMenuItem with item QuitMenuItem and window -1.
void RequestTermination();
