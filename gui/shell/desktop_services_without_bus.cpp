// Started by desktop_services_test in an environment without a session bus: asks for every
// desktop service once. Whatever the module says shows in this program's output, and so
// does the folder opened in place of the file manager, which the test expects alone.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QUrl>
#include <cstdio>

#include "gui/shell/desktop_services.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (QDBusConnection::sessionBus().isConnected()) {
    std::fputs("a session bus was found\n", stderr);
    return 1;
  }
  OpenFolderUrl = [](const QUrl& folder) {
    std::fprintf(stderr, "opened %s\n", qPrintable(folder.toString()));
    return true;
  };
  ShowInFolder(u"/tmp/disk.iso");
  NotifyJobEnded(u"ISO image created", u"/tmp/disk.iso", u"/tmp/disk.iso");
  ShowTaskbarProgress(0.5);
  HideTaskbarProgress();
  AlertWindow(0);
  // Whatever a call left for the event loop runs before the end.
  QCoreApplication::processEvents();
  return 0;
}
