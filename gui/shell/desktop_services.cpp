#include "gui/shell/desktop_services.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <algorithm>

#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/qstring_bridge.h"

bool (*OpenFolderUrl)(const QUrl& folder) = &QDesktopServices::openUrl;

namespace {

QString NotificationsName() {
  return QStringLiteral("org.freedesktop.Notifications");
}

QString NotificationsPath() {
  return QStringLiteral("/org/freedesktop/Notifications");
}

QString FileManagerName() {
  return QStringLiteral("org.freedesktop.FileManager1");
}

// The body of a notification may hold markup: a path's <, > and & must read as themselves.
QString EscapedMarkup(QString text) {
  text.replace(u'&', QStringLiteral("&amp;"));
  text.replace(u'<', QStringLiteral("&lt;"));
  text.replace(u'>', QStringLiteral("&gt;"));
  return text;
}

void ShowFileInFolder(const QString& path) {
  if (path.isEmpty()) return;
  const QFileInfo file(path);
  const QUrl folder = QUrl::fromLocalFile(file.absolutePath());
  QDBusConnection bus = QDBusConnection::sessionBus();
  // The desktop's handler for folders needs no bus.
  if (!bus.isConnected()) {
    OpenFolderUrl(folder);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      FileManagerName(), QStringLiteral("/org/freedesktop/FileManager1"), FileManagerName(),
      QStringLiteral("ShowItems"));
  // No startup id to pass on: Qt keeps none for Brevik, so the window manager decides whether
  // the file manager's window comes to the front.
  call << QStringList(QString::fromUtf8(QUrl::fromLocalFile(file.absoluteFilePath()).toEncoded()))
       << QString();
  // Asynchronous: a file manager that is slow to start must not hold up the window. The
  // bus answers at once when no file manager is there.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [folder](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     if (finished->isError()) OpenFolderUrl(folder);
                   });
}

// The latest notification and the image its button shows. A button press reaches every
// program on the bus, so only a press on this notification is Brevik's.
class NotificationButtons : public QObject {
  Q_OBJECT

 public:
  uint latest_id = 0;
  QString latest_image;  // empty when the latest notification has no button

 public Q_SLOTS:
  void actionInvoked(uint id, const QString& action) {
    if (id == 0 || id != latest_id || action != QStringLiteral("show")) return;
    if (!latest_image.isEmpty()) ShowFileInFolder(latest_image);
  }
};

NotificationButtons* Buttons = nullptr;

// Made on the first notification; listens for its buttons from then on.
NotificationButtons* ListeningButtons(QDBusConnection& bus) {
  if (Buttons != nullptr) return Buttons;
  Buttons = new NotificationButtons;
  Buttons->setParent(QCoreApplication::instance());
  bus.connect(NotificationsName(), NotificationsPath(), NotificationsName(),
              QStringLiteral("ActionInvoked"), Buttons, SLOT(actionInvoked(uint, QString)));
  return Buttons;
}

// The whole percent on the launcher's icon, -1 while no progress is shown.
int LauncherPercent = -1;

void SendLauncherEntry(const QVariantMap& properties) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  // A broadcast, which docks match by the desktop entry it names; the path is Brevik's own.
  QDBusMessage update = QDBusMessage::createSignal(
      QStringLiteral("/org/brevik/Brevik/LauncherEntry"),
      QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
  update << QStringLiteral("application://") + QString::fromUtf16(ApplicationId) +
                QStringLiteral(".desktop")
         << properties;
  bus.send(update);
}

}  // namespace

bool HasSessionBus() {
  return QDBusConnection::sessionBus().isConnected();
}

void ShowInFolder(const char16_t* path) {
  ShowFileInFolder(StringToQString(path));
}

void NotifyJobEnded(const char16_t* summary, const char16_t* body, const char16_t* image_path) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  NotificationButtons* buttons = ListeningButtons(bus);
  const QString image = StringToQString(image_path);
  const QString application_id = QString::fromUtf16(ApplicationId);
  QStringList actions;
  // No "default" action: a click on the notification itself then brings Brevik forward
  // (the desktop entry hint names it), where the job's outcome is.
  if (!image.isEmpty()) actions = {QStringLiteral("show"), QStringLiteral("Show in folder")};
  const QVariantMap hints{{QStringLiteral("desktop-entry"), application_id}};
  QDBusMessage call = QDBusMessage::createMethodCall(NotificationsName(), NotificationsPath(),
                                                     NotificationsName(), QStringLiteral("Notify"));
  call << QStringLiteral("Brevik") << buttons->latest_id << application_id
       << StringToQString(summary) << EscapedMarkup(StringToQString(body)) << actions << hints
       << int32_t{-1};
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), buttons);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, buttons,
                   [buttons, image](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     const QDBusPendingReply<uint> reply = *finished;
                     if (reply.isError()) return;
                     buttons->latest_id = reply.value();
                     buttons->latest_image = image;
                   });
}

void AlertWindow(int64_t number) {
  KzWindow* window = NativeWindow(number);
  if (window != nullptr) QApplication::alert(window);
}

void ShowTaskbarProgress(double fraction) {
  // NaN is not above 0: it reads as nothing done.
  const double progress = fraction > 0 ? std::min(fraction, 1.0) : 0.0;
  const int percent = static_cast<int>(progress * 100);
  if (percent == LauncherPercent) return;
  LauncherPercent = percent;
  SendLauncherEntry(
      {{QStringLiteral("progress"), progress}, {QStringLiteral("progress-visible"), true}});
}

void HideTaskbarProgress() {
  if (LauncherPercent == -1) return;
  LauncherPercent = -1;
  SendLauncherEntry({{QStringLiteral("progress-visible"), false}});
}

#include "desktop_services.moc"
