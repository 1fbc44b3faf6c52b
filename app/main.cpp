#include <QGuiApplication>

#include "app/lifecycle.h"

int main(int argc, char** argv) {
  // The desktop entry, icon and metainfo are installed under this id; the desktop matches
  // the running window to them by it.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.brevik.Brevik"));
  ProgramEntry(argc, argv);
}
