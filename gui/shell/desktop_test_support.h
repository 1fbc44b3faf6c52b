// Shared by the tests that play the desktop on a session bus of their own: waiting for what
// reaches it, and objects that keep the calls they get.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <vector>

// The loop of the running WaitUntil; whatever reaches the test's desktop wakes it.
inline QEventLoop* Waiting = nullptr;

inline void WakeWaiting() {
  if (Waiting != nullptr) Waiting->quit();
}

// Runs the event loop until done() holds. A message that never comes fails the wait after a
// long while, instead of stopping the suite.
inline bool WaitUntil(const std::function<bool()>& done) {
  QEventLoop loop;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
  guard.start(30000);
  Waiting = &loop;
  while (!done() && guard.isActive())
    loop.exec();
  Waiting = nullptr;
  return done();
}

// An object of the test's desktop: it keeps the calls it gets and answers each with the
// arguments that answer gives.
class FakeObject : public QDBusVirtualObject {
 public:
  explicit FakeObject(std::function<QVariantList(const QDBusMessage&)> answer)
      : answer_(std::move(answer)) {}

  bool handleMessage(const QDBusMessage& call, const QDBusConnection& connection) override {
    calls.push_back(call);
    connection.send(call.createReply(answer_(call)));
    WakeWaiting();
    return true;
  }
  QString introspect(const QString&) const override { return QString(); }

  std::vector<QDBusMessage> calls;

 private:
  std::function<QVariantList(const QDBusMessage&)> answer_;
};
