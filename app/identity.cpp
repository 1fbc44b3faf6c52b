#include "app/identity.h"

#include <QApplication>
#include <QIcon>
#include <QString>

#include "gui/shell/desktop_services.h"

void SetProgramIdentity() {
  QGuiApplication::setDesktopFileName(QString::fromUtf16(ApplicationId));
  // Qt would take the name from the command's name, which a link or a wrapper may change.
  QCoreApplication::setApplicationName(QStringLiteral("brevik"));
}

void SetApplicationIcon() {
  // An installed theme may draw the icon for its own look; the SVG in the resources needs
  // Qt's SVG icon engine, as the theme's scalable icon does.
  const QIcon built_in(QStringLiteral(":/icons/org.brevik.Brevik.svg"));
  QApplication::setWindowIcon(QIcon::fromTheme(QString::fromUtf16(ApplicationId), built_in));
}
