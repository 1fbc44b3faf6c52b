// The desktop hears of a run that ends while the user is at another window, and of no other;
// played on a session bus of the test's own.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QTest>
#include <QWidget>
#include <string>

#include "app/app_test_support.h"
#include "app/controls.h"
#include "gui/events/event_loop.h"
#include "gui/gadgets/gadgets.h"
#include "gui/shell/desktop_services.h"
#include "gui/shell/desktop_test_support.h"

namespace {

// The notification server, on a connection of its own as in a process of its own.
FakeObject& Server() {
  static FakeObject* server = [] {
    auto* object = new FakeObject([](const QDBusMessage&) { return QVariantList{7u}; });
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "desktop");
    bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), object);
    bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    return object;
  }();
  return *server;
}

TEST(DesktopNotificationTest, ARunEndingWhileTheUserIsElsewhereIsNotifiedAndNoOther) {
  ScratchHome home;
  RebuildMainWindow();
  if (!HasSessionBus()) GTEST_SKIP() << "no session bus";
  Server();
  home.AddStandInScript("hdiutil", "echo 100%\n");
  SetGadgetText(GadgetSourcePath,
                QString::fromStdString(home.home() + "/Documents").toStdU16String().c_str());
  QWidget* window = GadgetWidget(GadgetTabs)->window();

  // In front of the user: the status says it all.
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  QTest::mouseClick(GadgetWidget(GadgetCreateIso), Qt::LeftButton);
  // A notification of the test's own follows any that the run sent.
  NotifyJobEnded(u"marker", u"", u"");
  ASSERT_TRUE(WaitUntil([] { return !Server().calls.empty(); }));
  EXPECT_EQ(Server().calls.front().arguments().value(3).toString(), "marker");

  QWidget elsewhere;
  elsewhere.show();
  elsewhere.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
  QTest::mouseClick(GadgetWidget(GadgetCreateIso), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([] { return Server().calls.size() == 2; }));
  const QVariantList notified = Server().calls.back().arguments();
  EXPECT_EQ(notified.value(3).toString(), "ISO image created");
  EXPECT_EQ(notified.value(4).toString(), QString::fromStdString(home.desktop() + "/output.iso"));
}

}  // namespace
