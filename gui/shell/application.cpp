#include "gui/shell/application.h"

#include <QCoreApplication>
#include <QSessionManager>
#include <thread>

#include "gui/events/event_queue.h"
#include "gui/events/kz_application.h"
#include "gui/shell/termination_signals.h"
#include "runtime/program_arguments.h"

namespace {

// QApplication keeps a reference to the count for its whole life.
int ApplicationArgumentCount = 0;
char* FallbackArgumentVector[] = {const_cast<char*>("brevik"), nullptr};

void ConnectSessionManager(KzApplication* app) {
  // Logging out asks the session manager's question; the answer is always "not yet",
  // and the main loop ends the program through the quit event instead.
  QObject::connect(app, &QGuiApplication::commitDataRequest, app, [](QSessionManager& manager) {
    manager.cancel();
    RequestTermination();
  });
}

}  // namespace

void StartApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  // The per-user default that hides the touch bar's function row and the autorelease
  // pool have no counterpart here; Qt's deferred deletion takes the pool's place.
  char** argv = ProgramArgumentVector;
  ApplicationArgumentCount = ProgramArgumentCount;
  if (argv == nullptr || ApplicationArgumentCount < 1) {
    argv = FallbackArgumentVector;
    ApplicationArgumentCount = 1;
  }
  auto* app = new KzApplication(ApplicationArgumentCount, argv);
  ConnectSessionManager(app);
  InstallTerminationSignals();
  // The application menu and its delegate are added with the window system.
  if (ThreadSafeMode != 0) std::thread([] {}).detach();
}
