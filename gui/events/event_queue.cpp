#include "gui/events/event_queue.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "gui/events/event_binding.h"
#include "runtime/element_pool.h"

EventQueueState EventQueue = {nullptr, nullptr, nullptr};
CurrentEventRecord CurrentEvent = {0, 0, 0, 0, nullptr, nullptr};
int32_t EventSuppressDepth = 0;
int32_t ThreadSafeMode = 0;

namespace {

// Never destroyed: a thread in thread-safe mode may still post while static destructors
// run at exit.
std::recursive_mutex& EventQueueLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

// Takes EventQueueLock for its scope when thread-safe mode is on; Unlock() lets go early
// so that callbacks never run under the lock.
class QueueGuard {
 public:
  QueueGuard() : locked_(ThreadSafeMode != 0) {
    if (locked_) EventQueueLock().lock();
  }
  ~QueueGuard() { Unlock(); }
  QueueGuard(const QueueGuard&) = delete;
  QueueGuard& operator=(const QueueGuard&) = delete;
  void Unlock() {
    if (!locked_) return;
    locked_ = false;
    EventQueueLock().unlock();
  }

 private:
  bool locked_;
};

// The four keys an event's callbacks are looked up under, most specific first.
void DispatchBoundCallbacks(int32_t kind, int64_t window, int64_t object, int64_t subtype) {
  RunBoundCallbacks(kind, window, object, subtype);
  RunBoundCallbacks(kind, window, -1, -1);
  RunBoundCallbacks(kind, -1, -1, -1);
  RunBoundCallbacks(kind, -1, object, subtype);
}

// The payloads of the events whose callbacks are running, innermost last. A release asked
// for meanwhile (a callback purged the event, or took it and then the next one) waits until
// that dispatch is over, so that every callback of the event reads a live payload.
struct PinnedPayload {
  void* payload;
  PayloadRelease release;
  bool release_due;
};

std::vector<PinnedPayload>& Pins() {
  static auto* pins = new std::vector<PinnedPayload>;
  return *pins;
}

void ReleasePayload(void* payload, PayloadRelease release) {
  if (payload == nullptr || release == nullptr) return;
  {
    QueueGuard guard;
    for (PinnedPayload& pin : Pins()) {
      if (pin.payload != payload) continue;
      pin.release_due = true;
      pin.release = release;
      return;
    }
  }
  release(payload);
}

// Keeps the payload alive while the callbacks of its event run; a release that came due
// meanwhile is carried out as the dispatch ends. A payload already pinned by an outer
// dispatch of the same event stays with that one.
class PayloadPin {
 public:
  explicit PayloadPin(void* payload) : payload_(payload) {
    if (payload_ == nullptr) return;
    QueueGuard guard;
    for (const PinnedPayload& pin : Pins()) {
      if (pin.payload == payload_) return;
    }
    Pins().push_back({payload_, nullptr, false});
    pinned_ = true;
  }
  ~PayloadPin() {
    if (!pinned_) return;
    PinnedPayload pin;
    {
      QueueGuard guard;
      std::vector<PinnedPayload>& pins = Pins();
      auto found = std::find_if(pins.begin(), pins.end(),
                                [this](const PinnedPayload& p) { return p.payload == payload_; });
      pin = *found;
      pins.erase(found);
    }
    if (pin.release_due) pin.release(pin.payload);
  }
  PayloadPin(const PayloadPin&) = delete;
  PayloadPin& operator=(const PayloadPin&) = delete;

 private:
  void* payload_;
  bool pinned_ = false;
};

// Whether CurrentEvent owns its payload: it does for an event taken from the queue, not
// while it shows an event being posted, whose queued node owns the payload.
bool CurrentPayloadOwned = false;

// The payload of the event taken last while a post-time dispatch shows another event in
// CurrentEvent: the next take releases it, as it would have released CurrentEvent's own.
struct DisplacedPayloadRecord {
  void* payload;
  PayloadRelease release;
};
DisplacedPayloadRecord DisplacedPayload = {nullptr, nullptr};

// Set whenever NextQueuedEvent takes an event: a post-time dispatch whose callbacks took
// events leaves CurrentEvent to the last one taken rather than restoring what it replaced.
uint64_t TakeCount = 0;

// Set once at start-up, read by posts from any thread.
std::atomic<EventWakeHook> WakeHook{nullptr};

// A redraw is posted from inside the platform's own drawing, where the loop is awake. Every
// other post wakes it: Qt cannot tell whether its queue already holds an event, and the
// loop's wake-up itself skips the post while an earlier wake-up is still pending.
bool ShouldWake(int32_t kind) {
  return kind != EvRedraw;
}

// Unlinks node (whose predecessor is previous, or null at the head) and returns the
// node that follows it.
EventNode* UnlinkNode(EventNode* previous, EventNode* node) {
  EventNode* next = node->next;
  if (previous == nullptr) {
    EventQueue.head = next;
  } else {
    previous->next = next;
  }
  if (EventQueue.tail == node) EventQueue.tail = previous;
  return next;
}

template <typename Matches>
void PurgeMatching(Matches matches) {
  QueueGuard guard;
  EventNode* previous = nullptr;
  EventNode* node = EventQueue.head;
  while (node != nullptr) {
    if (!matches(*node)) {
      previous = node;
      node = node->next;
      continue;
    }
    EventNode* next = UnlinkNode(previous, node);
    // A purged event never reaches the loop, so its payload would otherwise leak.
    ReleasePayload(node->payload, node->payloadRelease);
    FreeElement(EventQueue.pool, node);
    node = next;
  }
}

}  // namespace

void InitEvents() {
  if (EventQueue.pool != nullptr) return;
  EventQueue.pool = NewElementPool(sizeof(EventNode), 16, 256, PoolUnlocked);
  // One node is taken for good so that the pool's first block exists from start-up on
  // and is never given back while the queue empties and fills.
  if (EventQueue.pool != nullptr) AllocateElement(EventQueue.pool);
  InitEventBinding();
}

EventWakeHook SetEventWakeHook(EventWakeHook hook) {
  return WakeHook.exchange(hook, std::memory_order_acq_rel);
}

void EnqueueEvent(int32_t kind, int64_t object, int64_t window, int64_t subtype, void* payload,
                  PayloadRelease release, uint32_t flags) {
  QueueGuard guard;
  if (!(flags & PostEvenWhenSuppressed) && EventSuppressDepth != 0) {
    // The event is dropped whole; nothing will ever release its payload but this.
    guard.Unlock();
    ReleasePayload(payload, release);
    return;
  }
  if (ShouldWake(kind)) {
    if (EventWakeHook wake = WakeHook.load(std::memory_order_acquire)) wake();
  }

  const EventNode* tail = EventQueue.tail;
  // An event with a payload is never folded into its twin: the payload would be lost.
  bool coalesce = (flags & (PostDispatchOnDequeue | PostAlwaysWake)) == 0 && kind < EvCustomBase &&
                  payload == nullptr && tail != nullptr && tail->kind == kind &&
                  tail->object == object && tail->window == window && tail->subtype == subtype &&
                  tail->payload == nullptr;
  bool queued = false;
  if (!coalesce) {
    auto* node = static_cast<EventNode*>(AllocateElement(EventQueue.pool));
    if (node != nullptr) {
      *node = EventNode{nullptr, kind, flags, object, window, subtype, payload, release};
      if (EventQueue.tail == nullptr) {
        EventQueue.head = node;
      } else {
        EventQueue.tail->next = node;
      }
      EventQueue.tail = node;
      queued = true;
      if (flags & PostDispatchOnDequeue) return;
    } else if (flags & PostDispatchOnDequeue) {
      // No node: the event is lost; at least its payload is not.
      guard.Unlock();
      ReleasePayload(payload, release);
      return;
    }
  }

  guard.Unlock();
  CurrentEventRecord saved = CurrentEvent;
  const bool saved_owned = CurrentPayloadOwned;
  if (saved_owned) DisplacedPayload = {saved.payload, saved.payloadRelease};
  // The queued node, not CurrentEvent, owns the payload while the callbacks run: a take
  // from inside them must not release it as the event it replaces.
  CurrentEvent = CurrentEventRecord{kind, window, object, subtype, payload, release};
  CurrentPayloadOwned = false;
  const uint64_t takes_before = TakeCount;
  {
    PayloadPin pin(payload);
    DispatchBoundCallbacks(kind, window, object, subtype);
    if (TakeCount == takes_before) {
      CurrentEvent = saved;
      CurrentPayloadOwned = saved_owned;
      if (saved_owned) DisplacedPayload = {nullptr, nullptr};
    }
  }
  // A payload that was not queued (a folded event carries none) has been seen by its
  // callbacks and is done with.
  if (!queued) ReleasePayload(payload, release);
}

void NotifyEvent(int32_t kind, int64_t object, int64_t window, int64_t subtype) {
  EnqueueEvent(kind, object, window, subtype, nullptr, nullptr, 0);
}

void NotifyEventWithPayload(int32_t kind, int64_t object, int64_t window, int64_t subtype,
                            void* payload, PayloadRelease release) {
  EnqueueEvent(kind, object, window, subtype, payload, release, 0);
}

int32_t PostUserEvent(int32_t kind, int64_t window, int64_t object, int64_t subtype,
                      void* payload) {
  EnqueueEvent(kind, object, window, subtype, payload, nullptr,
               PostEvenWhenSuppressed | PostDispatchOnDequeue | PostAlwaysWake);
  return 1;
}

int32_t PostUserEvent(int32_t kind, int64_t window, int64_t object, int64_t subtype) {
  return PostUserEvent(kind, window, object, subtype, nullptr);
}

int32_t PostUserEvent(int32_t kind, int64_t window, int64_t object) {
  return PostUserEvent(kind, window, object, 0, nullptr);
}

int32_t PostUserEvent(int32_t kind) {
  return PostUserEvent(kind, 0, 0, 0, nullptr);
}

int32_t NextQueuedEvent() {
  CurrentEvent.kind = 0;
  QueueGuard guard;
  ++TakeCount;
  if (CurrentEvent.payload != nullptr && CurrentPayloadOwned) {
    ReleasePayload(CurrentEvent.payload, CurrentEvent.payloadRelease);
  }
  ReleasePayload(DisplacedPayload.payload, DisplacedPayload.release);
  DisplacedPayload = {nullptr, nullptr};
  CurrentEvent.payload = nullptr;
  CurrentEvent.payloadRelease = nullptr;
  CurrentPayloadOwned = false;
  CurrentEvent.subtype = -1;

  EventNode* node = EventQueue.head;
  if (node == nullptr) return CurrentEvent.kind;

  CurrentEvent.kind = node->kind;
  CurrentEvent.payload = node->payload;
  CurrentEvent.object = node->object;
  CurrentEvent.window = node->window;
  CurrentEvent.subtype = node->subtype;
  CurrentEvent.payloadRelease = node->payloadRelease;
  CurrentPayloadOwned = true;
  UnlinkNode(nullptr, node);
  const uint32_t flags = node->postFlags;
  FreeElement(EventQueue.pool, node);

  const int32_t kind = CurrentEvent.kind;
  if (flags & PostDispatchOnDequeue) {
    guard.Unlock();
    PayloadPin pin(CurrentEvent.payload);
    DispatchBoundCallbacks(kind, CurrentEvent.window, CurrentEvent.object, CurrentEvent.subtype);
  }
  return kind;
}

int64_t CurrentEventKind() {
  return CurrentEvent.kind;
}
int64_t CurrentEventObject() {
  return CurrentEvent.object;
}
int64_t CurrentEventWindow() {
  return CurrentEvent.window;
}
int64_t CurrentEventSubtype() {
  return CurrentEvent.subtype;
}
void* CurrentEventPayload() {
  return CurrentEvent.payload;
}

int32_t PeekEventKind() {
  QueueGuard guard;
  return EventQueue.head == nullptr ? 0 : EventQueue.head->kind;
}

int32_t PeekEvent(int64_t* object, int64_t* window, int64_t* subtype) {
  QueueGuard guard;
  const EventNode* head = EventQueue.head;
  if (head == nullptr) return 0;
  *object = head->object;
  *window = head->window;
  *subtype = head->subtype;
  return head->kind;
}

void PurgeEvents(int32_t kind, int64_t object, int64_t window, int64_t subtype) {
  PurgeMatching([=](const EventNode& node) {
    return (kind == -1 || node.kind == kind) && (object == -1 || node.object == object) &&
           (window == -1 || node.window == window) && (subtype == -1 || node.subtype == subtype);
  });
}

void PurgeWindowEvents(int64_t window) {
  PurgeMatching([=](const EventNode& node) { return node.window == window; });
}

void SuppressEvents() {
  ++EventSuppressDepth;
}
void ResumeEvents() {
  --EventSuppressDepth;
}
