#include "gui/events/event_loop.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QTimerEvent>
#include <atomic>
#include <memory>
#include <vector>

#include "gui/events/event_queue.h"
#include "runtime/memory.h"

struct EventFilterNode {
  EventFilterNode* next;
  PlatformEventFilter filter;
  void* context;
};

namespace {

// Receives the wake-up events and the time-out timer of WaitForEvent. The wake-up is
// posted here rather than to the application object so that the pending flag is cleared
// whatever the application's class.
class EventLoopWaker : public QObject {
 public:
  static const QEvent::Type WakeType;

  bool event(QEvent* event) override {
    if (event->type() == WakeType) {
      wake_pending.store(false, std::memory_order_release);
      ++wakes;
      return true;
    }
    if (event->type() == QEvent::Timer &&
        static_cast<QTimerEvent*>(event)->timerId() == timeout_timer) {
      timed_out = true;
      return true;
    }
    return QObject::event(event);
  }

  std::atomic<bool> wake_pending{false};
  uint64_t wakes = 0;  // wake-ups delivered, on the main thread
  int timeout_timer = 0;
  bool timed_out = false;
};

const QEvent::Type EventLoopWaker::WakeType =
    static_cast<QEvent::Type>(QEvent::registerEventType());

EventLoopWaker* Waker() {
  // Created on first use on the main thread and kept for the life of the process.
  static EventLoopWaker* waker = [] {
    auto* object = new EventLoopWaker;
    if (QCoreApplication* app = QCoreApplication::instance()) object->moveToThread(app->thread());
    return object;
  }();
  return waker;
}

// Events delivered since WaitForEvent started pumping, not counting its own timer.
uint64_t PlatformActivity = 0;
EventFilterNode* FilterList = nullptr;
KeyboardShortcutHook ShortcutHook = nullptr;

bool IsOwnTimerEvent(QObject* receiver, QEvent* event) {
  return event->type() == QEvent::Timer && receiver == Waker() &&
         static_cast<QTimerEvent*>(event)->timerId() == Waker()->timeout_timer;
}

// A key press reaches Qt's window object first and then the focus widget; the shortcuts
// are asked once, at the widget.
bool MatchesWindowShortcut(QObject* receiver, QEvent* event, int64_t* window = nullptr,
                           int32_t* item = nullptr) {
  if (ShortcutHook == nullptr || !receiver->isWidgetType()) return false;
  int64_t unused_window = 0;
  int32_t unused_item = 0;
  return ShortcutHook(receiver, static_cast<QKeyEvent*>(event), window ? window : &unused_window,
                      item ? item : &unused_item);
}

bool RunFilters(QObject* receiver, QEvent* event) {
  int consumed = 0;
  // Every filter sees the event, even after one has consumed it.
  for (EventFilterNode* node = FilterList; node != nullptr; node = node->next) {
    consumed |= node->filter(receiver, event, node->context);
  }
  return consumed != 0;
}

}  // namespace

void WakeEventLoop() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  EventLoopWaker* waker = Waker();
  // One pending wake-up is enough to end a blocked wait.
  if (waker->wake_pending.exchange(true, std::memory_order_acq_rel)) return;
  QCoreApplication::postEvent(waker, new QEvent(EventLoopWaker::WakeType));
}

void RenewAutoreleasePool() {
  if (QCoreApplication::instance() == nullptr) return;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int64_t WaitForEvent(int32_t timeout) {
  RenewAutoreleasePool();
  int32_t kind = NextQueuedEvent();
  if (kind != 0) return kind;

  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr) return EvNone;
  EventLoopWaker* waker = Waker();
  waker->timed_out = false;
  waker->timeout_timer = timeout > 0 ? waker->startTimer(timeout, Qt::PreciseTimer) : 0;
  PlatformActivity = 0;
  if (timeout == 0) {
    dispatcher->processEvents(QEventLoop::AllEvents);
  } else {
    // The dispatcher may return from a wake-up of its own without delivering anything;
    // such a return is no event, so wait again.
    while (PlatformActivity == 0 && !waker->timed_out) {
      dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
  }
  if (waker->timeout_timer != 0) {
    waker->killTimer(waker->timeout_timer);
    waker->timeout_timer = 0;
  }
  if (PlatformActivity == 0) return EvNone;
  kind = NextQueuedEvent();
  return kind != 0 ? kind : EvPlatformOnly;
}

int32_t WaitForDescriptors(const int* descriptors, int32_t count, int32_t timeout) {
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr) return 0;
  bool readable = false;
  std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
  for (int32_t i = 0; i < count; ++i) {
    auto notifier = std::make_unique<QSocketNotifier>(descriptors[i], QSocketNotifier::Read);
    // Level-triggered: left enabled it would fire again for the same bytes until they are
    // read, and they are read only after this returns.
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                     [&readable, raw = notifier.get()] {
                       readable = true;
                       raw->setEnabled(false);
                     });
    notifiers.push_back(std::move(notifier));
  }
  bool timed_out = false;
  QTimer timer;
  timer.setSingleShot(true);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, [&timed_out] { timed_out = true; });
  if (timeout >= 0) timer.start(timeout);
  EventLoopWaker* waker = Waker();
  const uint64_t wakes_before = waker->wakes;
  while (!readable && !timed_out && waker->wakes == wakes_before) {
    dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return readable ? 1 : 0;
}

void PaintPendingUpdates() {
  if (QCoreApplication::instance() == nullptr) return;
  // Qt collects a widget's updates into one request to its window; sending that request
  // now paints without dispatching anything else.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

EventFilterNode* AddEventFilter(PlatformEventFilter filter, void* context) {
  auto* node = static_cast<EventFilterNode*>(AllocateBlock(sizeof(EventFilterNode)));
  if (node == nullptr) return nullptr;
  node->filter = filter;
  node->context = context;
  // Filters run in the order they were added.
  EventFilterNode** link = &FilterList;
  while (*link != nullptr)
    link = &(*link)->next;
  *link = node;
  return node;
}

void RemoveEventFilter(EventFilterNode* node) {
  for (EventFilterNode** link = &FilterList; *link != nullptr; link = &(*link)->next) {
    if (*link == node) {
      *link = node->next;
      FreeBlock(node);
      return;
    }
  }
}

void SetKeyboardShortcutHook(KeyboardShortcutHook hook) {
  ShortcutHook = hook;
}

bool PreDispatchPlatformEvent(QObject* receiver, QEvent* event) {
  if (!IsOwnTimerEvent(receiver, event)) ++PlatformActivity;
  // A modal loop (a message box, a chooser) dispatches on its own: the filters and the
  // shortcuts belong to the runtime's own waits.
  if (QApplication::activeModalWidget() != nullptr) return false;
  // Qt offers a key to its application-wide shortcuts (the application menu's) before it
  // delivers the key press; a window shortcut must win, so it claims the key here.
  if (event->type() == QEvent::ShortcutOverride && MatchesWindowShortcut(receiver, event)) {
    event->accept();
    return true;
  }
  // Only events from the window system are platform events; Qt's own internal sends
  // (child events, posted meta-calls, ...) pass untouched.
  if (!event->spontaneous()) return false;
  if (FilterList != nullptr && RunFilters(receiver, event)) return true;
  int64_t window = 0;
  int32_t item = 0;
  if (event->type() == QEvent::KeyPress && MatchesWindowShortcut(receiver, event, &window, &item)) {
    NotifyEvent(EvMenuItem, item, window, 0);
    return true;
  }
  return false;
}
