#include "gui/shell/desktop_services.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <functional>
#include <vector>

#include "gui/shell/desktop_test_support.h"
#include "gui/windows/window_test_support.h"

namespace {

const QString NotificationsName = QStringLiteral("org.freedesktop.Notifications");
const QString FileManagerName = QStringLiteral("org.freedesktop.FileManager1");

// The dock's side: every launcher entry update on the bus.
class LauncherWatcher : public QObject {
  Q_OBJECT

 public:
  std::vector<QDBusMessage> updates;

 public Q_SLOTS:
  void record(const QDBusMessage& update) {
    updates.push_back(update);
    WakeWaiting();
  }
};

// The notification server, file manager and dock, on a connection of their own as they would
// be in processes of their own.
struct FakeDesktop {
  FakeDesktop() {
    bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &notifications);
    bus.registerService(NotificationsName);
    bus.registerVirtualObject(QStringLiteral("/org/freedesktop/FileManager1"), &file_manager);
    bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                QStringLiteral("Update"), &launcher, SLOT(record(QDBusMessage)));
  }

  void InvokeAction(uint id, const QString& key) {
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                   NotificationsName, QStringLiteral("ActionInvoked"));
    signal << id << key;
    bus.send(signal);
  }

  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "desktop");
  std::vector<uint> ids_given;
  FakeObject notifications{[this](const QDBusMessage& call) {
    // As a server must: a notification that replaces another keeps its id.
    const uint replaces = call.arguments().value(1).toUInt();
    ids_given.push_back(replaces != 0 ? replaces : 100 + uint(ids_given.size()));
    return QVariantList{ids_given.back()};
  }};
  FakeObject file_manager{[](const QDBusMessage&) { return QVariantList(); }};
  LauncherWatcher launcher;
};

FakeDesktop* Desktop = nullptr;
std::vector<QUrl> OpenedFolders;

bool RecordFolder(const QUrl& folder) {
  OpenedFolders.push_back(folder);
  WakeWaiting();
  return true;
}

// Why the desktop cannot be played here: without a session bus there is nothing to reach,
// and on a desktop's own bus the calls would reach its real notification server and file
// manager.
QString WhyNoTestBus() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return QStringLiteral("no session bus");
  if (Desktop != nullptr) return QString();
  QDBusConnectionInterface* daemon = bus.interface();
  const QStringList activatable = daemon->activatableServiceNames();
  for (const QString& name : {NotificationsName, FileManagerName}) {
    if (daemon->isServiceRegistered(name) || activatable.contains(name))
      return QStringLiteral("the session bus is a desktop's");
  }
  return QString();
}

QVariantMap LauncherProperties(const QDBusMessage& update) {
  return qdbus_cast<QVariantMap>(update.arguments().value(1));
}

class DesktopServicesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartWindowSystem(true); }
  void SetUp() override {
    const QString reason = WhyNoTestBus();
    if (!reason.isEmpty()) GTEST_SKIP() << reason.toStdString();
    if (Desktop == nullptr) Desktop = new FakeDesktop;
    Desktop->bus.registerService(FileManagerName);
    Desktop->notifications.calls.clear();
    Desktop->file_manager.calls.clear();
    Desktop->launcher.updates.clear();
    OpenedFolders.clear();
    OpenFolderUrl = &RecordFolder;
  }

  static bool Notified(size_t count) {
    return WaitUntil([count] { return Desktop->notifications.calls.size() == count; });
  }
};

TEST_F(DesktopServicesTest, TheNotificationTellsTheJobAndOffersShowInFolder) {
  NotifyJobEnded(u"ISO image created", u"/tmp/Disk #1 <A&B>.iso", u"/tmp/Disk #1 <A&B>.iso");
  ASSERT_TRUE(Notified(1));
  const QDBusMessage& call = Desktop->notifications.calls[0];
  EXPECT_EQ(call.member(), "Notify");
  ASSERT_EQ(call.signature(), "susssasa{sv}i");
  const QVariantList arguments = call.arguments();
  EXPECT_EQ(arguments[0].toString(), "Brevik");
  EXPECT_EQ(arguments[2].toString(), "org.brevik.Brevik");
  EXPECT_EQ(arguments[3].toString(), "ISO image created");
  EXPECT_EQ(arguments[4].toString(), "/tmp/Disk #1 &lt;A&amp;B&gt;.iso");
  EXPECT_EQ(arguments[5].toStringList(), QStringList({"show", "Show in folder"}));
  EXPECT_EQ(qdbus_cast<QVariantMap>(arguments[6]).value("desktop-entry"), "org.brevik.Brevik");
  EXPECT_EQ(arguments[7].toInt(), -1);
}

TEST_F(DesktopServicesTest, AJobWithoutAnImageOffersNoButton) {
  NotifyJobEnded(u"ISO image not created", u"The folder is empty.", nullptr);
  ASSERT_TRUE(Notified(1));
  EXPECT_EQ(Desktop->notifications.calls[0].arguments()[5].toStringList(), QStringList());
}

TEST_F(DesktopServicesTest, ShowInFolderAsksTheFileManagerForTheImageSelected) {
  NotifyJobEnded(u"ISO image created", u"", u"/tmp/Disk #1 <A&B>.iso");
  ASSERT_TRUE(Notified(1));
  Desktop->InvokeAction(Desktop->ids_given.back(), QStringLiteral("show"));
  ASSERT_TRUE(WaitUntil([] { return !Desktop->file_manager.calls.empty(); }));
  const QDBusMessage& call = Desktop->file_manager.calls[0];
  EXPECT_EQ(call.member(), "ShowItems");
  ASSERT_EQ(call.signature(), "ass");
  EXPECT_EQ(call.arguments()[0].toStringList(),
            QStringList("file:///tmp/Disk%20%231%20%3CA&B%3E.iso"));
}

TEST_F(DesktopServicesTest, TheButtonOfAnotherNotificationIsIgnored) {
  // The server sends in this order: the first answer, a press of a button Brevik never
  // offered, the second answer, the press of the second notification's button. Were the
  // stray press taken, the first image would be shown before the second.
  NotifyJobEnded(u"ISO image created", u"", u"/tmp/first.iso");
  ASSERT_TRUE(Notified(1));
  Desktop->InvokeAction(9999, QStringLiteral("show"));
  NotifyJobEnded(u"ISO image created", u"", u"/tmp/second.iso");
  ASSERT_TRUE(Notified(2));
  Desktop->InvokeAction(Desktop->ids_given.back(), QStringLiteral("show"));
  ASSERT_TRUE(WaitUntil([] { return !Desktop->file_manager.calls.empty(); }));
  EXPECT_EQ(Desktop->file_manager.calls[0].arguments()[0].toStringList(),
            QStringList("file:///tmp/second.iso"));
}

TEST_F(DesktopServicesTest, WithoutAFileManagerTheFolderOpens) {
  ASSERT_TRUE(Desktop->bus.unregisterService(FileManagerName));
  ShowInFolder(u"/tmp/images/disk.iso");
  ASSERT_TRUE(WaitUntil([] { return !OpenedFolders.empty(); }));
  EXPECT_EQ(OpenedFolders, std::vector<QUrl>{QUrl(QStringLiteral("file:///tmp/images"))});
}

TEST_F(DesktopServicesTest, TheLauncherEntryCarriesBreviksProgress) {
  ShowTaskbarProgress(0.5);
  HideTaskbarProgress();
  ASSERT_TRUE(WaitUntil([] { return Desktop->launcher.updates.size() == 2; }));
  const QDBusMessage& shown = Desktop->launcher.updates[0];
  ASSERT_EQ(shown.signature(), "sa{sv}");
  EXPECT_EQ(shown.arguments()[0].toString(), "application://org.brevik.Brevik.desktop");
  EXPECT_EQ(LauncherProperties(shown).value("progress"), 0.5);
  EXPECT_EQ(LauncherProperties(shown).value("progress-visible"), true);
  EXPECT_EQ(LauncherProperties(Desktop->launcher.updates[1]).value("progress-visible"), false);
}

TEST_F(DesktopServicesTest, AWholePercentIsSentOnce) {
  ShowTaskbarProgress(0.5);
  ShowTaskbarProgress(0.504);
  ShowTaskbarProgress(0.25);
  HideTaskbarProgress();
  ASSERT_TRUE(WaitUntil([] { return Desktop->launcher.updates.size() >= 3; }));
  EXPECT_EQ(LauncherProperties(Desktop->launcher.updates[1]).value("progress"), 0.25);
}

TEST_F(DesktopServicesTest, NaNShowsNothingDone) {
  ShowTaskbarProgress(std::nan(""));
  HideTaskbarProgress();
  ASSERT_TRUE(WaitUntil([] { return Desktop->launcher.updates.size() == 2; }));
  EXPECT_EQ(LauncherProperties(Desktop->launcher.updates[0]).value("progress"), 0.0);
}

// Without a session bus, the calls come back at once and leave no trace in the output, but
// for the folder that "Show in folder" opens through the desktop's handler instead. They
// run in a child whose environment has had no bus from its start: no bus address, no bus
// socket in its runtime folder, no display to start a bus for.
TEST(DesktopServicesWithoutBusTest, CallsSayNothingAndShowInFolderOpensTheFolder) {
  StartWindowSystem(true);
  QTemporaryDir runtime_folder;
  ASSERT_TRUE(runtime_folder.isValid());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"})
    environment.remove(QString::fromLatin1(name));
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_folder.path());
  QProcess child;
  child.setProcessEnvironment(environment);
  child.start(QStringLiteral(DESKTOP_SERVICES_WITHOUT_BUS), QStringList());
  // A call that blocked would keep the child from ending; the test's time limit ends it.
  ASSERT_TRUE(child.waitForFinished(-1));
  EXPECT_EQ(child.readAllStandardOutput().toStdString(), "");
  EXPECT_EQ(child.readAllStandardError().toStdString(), "opened file:///tmp\n");
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0);
}

}  // namespace

#include "desktop_services_test.moc"
