#include "gui/events/event_queue.h"

#include <gtest/gtest.h>

#include "gui/events/event_binding.h"

#include <vector>

namespace {

struct Posted {
  int32_t kind;
  int64_t object, window, subtype;
};

class EventQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEvents();
    Drain();
    EventSuppressDepth = 0;
    released.clear();
  }
  void TearDown() override { Drain(); }

  static void Drain() {
    while (NextQueuedEvent() != 0) {
    }
  }

  static std::vector<Posted> TakeAll() {
    std::vector<Posted> taken;
    while (NextQueuedEvent() != 0) {
      taken.push_back(
          {CurrentEvent.kind, CurrentEvent.object, CurrentEvent.window, CurrentEvent.subtype});
    }
    return taken;
  }

  static void Release(void* payload) { released.push_back(payload); }
  static inline std::vector<void*> released;
};

TEST_F(EventQueueTest, TakesEventsInPostingOrderAndAnswersAccessors) {
  NotifyEvent(EvMoved, 1, 1, 0);
  NotifyEvent(EvGadgetNotify, 4, 0, 768);
  PostUserEvent(EvCustomBase + 2, 9, 8, 7);

  int64_t object = 0, window = 0, subtype = 0;
  EXPECT_EQ(PeekEvent(&object, &window, &subtype), EvMoved);
  EXPECT_EQ(PeekEventKind(), EvMoved);

  ASSERT_EQ(NextQueuedEvent(), EvMoved);
  ASSERT_EQ(NextQueuedEvent(), EvGadgetNotify);
  EXPECT_EQ(CurrentEventObject(), 4);
  EXPECT_EQ(CurrentEventWindow(), 0);
  EXPECT_EQ(CurrentEventSubtype(), 768);
  // PostUserEvent takes the window before the object.
  ASSERT_EQ(NextQueuedEvent(), EvCustomBase + 2);
  EXPECT_EQ(CurrentEventWindow(), 9);
  EXPECT_EQ(CurrentEventObject(), 8);
  EXPECT_EQ(CurrentEventSubtype(), 7);

  EXPECT_EQ(NextQueuedEvent(), 0);
  EXPECT_EQ(CurrentEventKind(), 0);
  EXPECT_EQ(CurrentEventSubtype(), -1);
  // An empty queue leaves the other fields as they were.
  EXPECT_EQ(CurrentEventObject(), 8);
  EXPECT_EQ(PeekEventKind(), 0);
  object = 55;
  EXPECT_EQ(PeekEvent(&object, &window, &subtype), 0);
  EXPECT_EQ(object, 55);
}

TEST_F(EventQueueTest, CoalescesOnlyAgainstTheTail) {
  NotifyEvent(EvMoved, 1, 1, 0);
  NotifyEvent(EvMoved, 1, 1, 0);  // twin of the tail: folded
  NotifyEvent(EvMoved, 2, 2, 0);
  NotifyEvent(EvMoved, 1, 1, 0);  // twin of an older event, not of the tail: queued
  NotifyEvent(EvMoved, 1, 1, 1);  // other subtype: queued
  auto taken = TakeAll();
  ASSERT_EQ(taken.size(), 4u);
  EXPECT_EQ(taken[0].object, 1);
  EXPECT_EQ(taken[1].object, 2);
  EXPECT_EQ(taken[2].object, 1);
  EXPECT_EQ(taken[3].subtype, 1);
}

TEST_F(EventQueueTest, ApplicationEventsAreNeverCoalesced) {
  PostUserEvent(EvMoved, 1, 1);
  PostUserEvent(EvMoved, 1, 1);
  NotifyEvent(EvCustomBase, 0, 0, 0);
  NotifyEvent(EvCustomBase, 0, 0, 0);
  EXPECT_EQ(TakeAll().size(), 4u);
}

TEST_F(EventQueueTest, SuppressionDropsAllButForcedPosts) {
  SuppressEvents();
  SuppressEvents();
  NotifyEvent(EvZoomed, 1, 1, 0);
  ResumeEvents();
  NotifyEvent(EvMiniaturized, 1, 1, 0);
  PostUserEvent(EvCustomBase);  // carries PostEvenWhenSuppressed
  ResumeEvents();
  NotifyEvent(EvResized, 1, 1, 0);
  auto taken = TakeAll();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].kind, EvCustomBase);
  EXPECT_EQ(taken[1].kind, EvResized);
}

// A redraw comes from inside the platform's drawing, where the loop is awake; an event that
// suppression drops gives the loop nothing to take.
TEST_F(EventQueueTest, EveryQueuedPostButARedrawWakesTheLoop) {
  static int wakes;
  wakes = 0;
  const EventWakeHook previous = SetEventWakeHook([] { ++wakes; });
  NotifyEvent(EvRedraw, 1, 1, 0);
  NotifyEvent(EvMoved, 1, 1, 0);
  NotifyEvent(EvMoved, 1, 1, 0);  // folded into the tail, and still a wake-up
  PostUserEvent(EvCustomBase);
  SuppressEvents();
  NotifyEvent(EvZoomed, 1, 1, 0);
  ResumeEvents();
  SetEventWakeHook(previous);
  EXPECT_EQ(wakes, 3);
}

TEST_F(EventQueueTest, PurgeKeepsOrderAndTail) {
  NotifyEvent(EvGadgetNotify, 1, 0, 0);
  NotifyEvent(EvGadgetNotify, 2, 0, 0);
  NotifyEvent(EvResized, 0, 0, 0);
  NotifyEvent(EvGadgetNotify, 2, 0, 256);
  PurgeEvents(EvGadgetNotify, 2, -1, -1);  // removes the middle and the tail
  NotifyEvent(EvGadgetNotify, 2, 0, 256);  // must land after the last remaining node
  auto taken = TakeAll();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0].object, 1);
  EXPECT_EQ(taken[1].kind, EvResized);
  EXPECT_EQ(taken[2].subtype, 256);

  NotifyEvent(EvMoved, 3, 3, 0);
  NotifyEvent(EvMoved, 4, 4, 0);
  PurgeWindowEvents(4);
  PurgeWindowEvents(3);  // empties the queue: the tail must be null again
  NotifyEvent(EvClick, 5, 5, 0);
  taken = TakeAll();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].kind, EvClick);
}

TEST_F(EventQueueTest, PayloadLivesUntilTheNextTake) {
  int first = 1, second = 2;
  NotifyEventWithPayload(EvDropOnGadget, 4, 0, 0, &first, &Release);
  NotifyEventWithPayload(EvDropOnGadget, 4, 0, 0, &second, &Release);
  ASSERT_EQ(NextQueuedEvent(), EvDropOnGadget);
  EXPECT_EQ(CurrentEventPayload(), &first);
  EXPECT_TRUE(released.empty());
  // Two identical drops in a row are not folded: each payload reaches the loop.
  ASSERT_EQ(NextQueuedEvent(), EvDropOnGadget);
  EXPECT_EQ(CurrentEventPayload(), &second);
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0], &first);
  EXPECT_EQ(NextQueuedEvent(), 0);
  EXPECT_EQ(released.size(), 2u);
  EXPECT_EQ(CurrentEventPayload(), nullptr);
}

TEST_F(EventQueueTest, SuppressedPayloadsAreReleased) {
  int payload = 0;
  SuppressEvents();
  NotifyEventWithPayload(EvDropOnGadget, 1, 1, 0, &payload, &Release);
  ResumeEvents();
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0], &payload);
  EXPECT_EQ(NextQueuedEvent(), 0);
}

TEST_F(EventQueueTest, PurgedPayloadsAreReleased) {
  int payload = 0;
  NotifyEventWithPayload(EvDropOnWindow, 1, 1, 0, &payload, &Release);
  PurgeWindowEvents(1);
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0], &payload);
}

// Each payload is a counter of its own releases.
void CountRelease(void* payload) {
  ++*static_cast<int*>(payload);
}

TEST_F(EventQueueTest, EveryPayloadIsReleasedExactlyOnce) {
  int taken = 0, purged = 0, window_purged = 0, suppressed = 0, last = 0;
  NotifyEventWithPayload(EvDropOnGadget, 1, 1, 0, &taken, &CountRelease);
  NotifyEventWithPayload(EvDropOnGadget, 2, 1, 0, &purged, &CountRelease);
  NotifyEventWithPayload(EvDropOnWindow, 3, 3, 0, &window_purged, &CountRelease);
  SuppressEvents();
  NotifyEventWithPayload(EvDropOnGadget, 4, 1, 0, &suppressed, &CountRelease);
  ResumeEvents();
  PurgeEvents(EvDropOnGadget, 2, -1, -1);
  PurgeWindowEvents(3);
  ASSERT_EQ(NextQueuedEvent(), EvDropOnGadget);
  EXPECT_EQ(taken, 0);
  NotifyEventWithPayload(EvDropOnGadget, 5, 1, 0, &last, &CountRelease);
  ASSERT_EQ(NextQueuedEvent(), EvDropOnGadget);
  // Takes from the empty queue find nothing left to release.
  EXPECT_EQ(NextQueuedEvent(), 0);
  EXPECT_EQ(NextQueuedEvent(), 0);
  EXPECT_EQ(taken, 1);
  EXPECT_EQ(purged, 1);
  EXPECT_EQ(window_purged, 1);
  EXPECT_EQ(suppressed, 1);
  EXPECT_EQ(last, 1);
}

// What the bound callbacks saw: the event each one ran for, as CurrentEvent described it.
std::vector<Posted> seen;

int64_t RecordEvent() {
  seen.push_back({static_cast<int32_t>(CurrentEventKind()), CurrentEventObject(),
                  CurrentEvent.window, CurrentEvent.subtype});
  return 0;
}

int64_t PostEndRequest() {
  PostUserEvent(EvCustomBase, 0, 99);
  return 0;
}

class EventDispatchTest : public EventQueueTest {
 protected:
  void SetUp() override {
    EventQueueTest::SetUp();
    seen.clear();
  }
  void TearDown() override {
    UnbindGlobalHandler(EvMoved, nullptr);
    UnbindGlobalHandler(EvClick, nullptr);
    UnbindGlobalHandler(EvCustomBase, nullptr);
    EventQueueTest::TearDown();
  }
};

TEST_F(EventDispatchTest, AFoldedPostStillRunsItsCallbacks) {
  ASSERT_EQ(BindGlobalHandler(EvMoved, &RecordEvent), 1u);
  NotifyEvent(EvMoved, 1, 1, 0);
  NotifyEvent(EvMoved, 1, 1, 0);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(TakeAll().size(), 1u);
  // Taking a platform event runs nothing more: its callbacks ran when it was posted.
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(EventDispatchTest, CallbacksSeeTheirEventAndTheCurrentEventIsRestored) {
  ASSERT_EQ(BindGlobalHandler(EvClick, &RecordEvent), 1u);
  PostUserEvent(EvCustomBase + 5, 1, 2, 3);
  ASSERT_EQ(NextQueuedEvent(), EvCustomBase + 5);
  NotifyEvent(EvClick, 7, 8, 0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].kind, EvClick);
  EXPECT_EQ(seen[0].object, 7);
  EXPECT_EQ(seen[0].window, 8);
  EXPECT_EQ(CurrentEventKind(), EvCustomBase + 5);
  EXPECT_EQ(CurrentEventObject(), 2);
  EXPECT_EQ(CurrentEventWindow(), 1);
  EXPECT_EQ(CurrentEventSubtype(), 3);
}

TEST_F(EventDispatchTest, SuppressedPostsRunNoCallbacks) {
  ASSERT_EQ(BindGlobalHandler(EvMoved, &RecordEvent), 1u);
  SuppressEvents();
  NotifyEvent(EvMoved, 1, 1, 0);
  ResumeEvents();
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(NextQueuedEvent(), 0);
}

TEST_F(EventDispatchTest, UserEventPostedFromACallbackQueuesBehindItsTrigger) {
  ASSERT_EQ(BindGlobalHandler(EvClick, &PostEndRequest), 1u);
  ASSERT_EQ(BindGlobalHandler(EvCustomBase, &RecordEvent), 1u);
  NotifyEvent(EvClick, 0, 0, 0);
  EXPECT_TRUE(seen.empty());  // not yet: user events run when taken
  ASSERT_EQ(NextQueuedEvent(), EvClick);
  EXPECT_TRUE(seen.empty());
  ASSERT_EQ(NextQueuedEvent(), EvCustomBase);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].object, 99);
}

// A payload on the heap, so that a read after its release is caught.
int released_payloads = 0;
void FreeHeapPayload(void* payload) {
  ++released_payloads;
  delete static_cast<int*>(payload);
}

std::vector<int> payloads_read;
int64_t ReadPayload() {
  // Callbacks of a posted event see its payload with its release, as those of a taken one.
  auto* payload = static_cast<int*>(CurrentEventPayload());
  if (payload != nullptr) {
    EXPECT_EQ(CurrentEvent.payloadRelease, &FreeHeapPayload);
  }
  payloads_read.push_back(payload == nullptr ? -1 : *payload);
  return 0;
}
int64_t PurgeEverything() {
  PurgeEvents(-1, -1, -1, -1);
  return 0;
}
int64_t TakeNextEvent() {
  NextQueuedEvent();
  return 0;
}
int64_t TakeTwoEvents() {
  NextQueuedEvent();
  NextQueuedEvent();
  return 0;
}

// Callbacks run newest first: the one bound last acts before the reader sees the payload.
class PayloadDuringDispatchTest : public EventDispatchTest {
 protected:
  void SetUp() override {
    EventDispatchTest::SetUp();
    released_payloads = 0;
    payloads_read.clear();
    BindGlobalHandler(EvDropOnWindow, &ReadPayload);
  }
  void TearDown() override {
    UnbindGlobalHandler(EvDropOnWindow, nullptr);
    EventDispatchTest::TearDown();
  }
};

TEST_F(PayloadDuringDispatchTest, OutlivesAPurgeByAnEarlierCallback) {
  BindGlobalHandler(EvDropOnWindow, &PurgeEverything);
  NotifyEventWithPayload(EvDropOnWindow, 1, 1, 0, new int(7), &FreeHeapPayload);
  EXPECT_EQ(payloads_read, std::vector<int>{7});
  EXPECT_EQ(released_payloads, 1);
  EXPECT_EQ(NextQueuedEvent(), 0);
  EXPECT_EQ(released_payloads, 1);
}

TEST_F(PayloadDuringDispatchTest, OutlivesItsOwnEventBeingTakenByACallback) {
  BindGlobalHandler(EvDropOnWindow, &TakeNextEvent);
  NotifyEventWithPayload(EvDropOnWindow, 1, 1, 0, new int(7), &FreeHeapPayload);
  EXPECT_EQ(payloads_read, std::vector<int>{7});
  Drain();
  EXPECT_EQ(released_payloads, 1);

  UnbindGlobalHandler(EvDropOnWindow, &TakeNextEvent);
  BindGlobalHandler(EvDropOnWindow, &TakeTwoEvents);
  NotifyEventWithPayload(EvDropOnWindow, 1, 1, 0, new int(8), &FreeHeapPayload);
  EXPECT_EQ(released_payloads, 2);
  Drain();
  EXPECT_EQ(released_payloads, 2);
}

// The event the loop took last is done with once a post-time callback takes the next one.
TEST_F(EventDispatchTest, ATakeInsideAPostTimeCallbackReleasesThePayloadTakenBefore) {
  int payload = 0;
  NotifyEventWithPayload(EvDropOnGadget, 1, 1, 0, &payload, &CountRelease);
  ASSERT_EQ(NextQueuedEvent(), EvDropOnGadget);
  BindGlobalHandler(EvClick, &TakeNextEvent);
  NotifyEvent(EvClick, 0, 0, 0);
  EXPECT_EQ(payload, 1);
  Drain();
  EXPECT_EQ(payload, 1);
}

TEST_F(EventQueueTest, ManyEventsRecycleNodes) {
  // More events than one block of nodes holds, taken and posted in waves.
  for (int wave = 0; wave < 3; ++wave) {
    for (int i = 0; i < 1000; ++i)
      NotifyEvent(EvGadgetNotify, i, 0, 0);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(NextQueuedEvent(), EvGadgetNotify);
      ASSERT_EQ(CurrentEventObject(), i);
    }
    EXPECT_EQ(NextQueuedEvent(), 0);
  }
}

}  // namespace
