// The event queue: every platform callback becomes a numbered event.
//
// Platform callbacks post with NotifyEvent; callbacks bound to a matching pattern run at
// once, and the event is also queued for the main loop, which takes it through
// WaitForEvent (event_loop.h). Events the application posts itself with PostUserEvent run
// their bound callbacks only when the main loop takes them.
#pragma once

#include <cstdint>

struct ElementPool;

// Event kinds. The values are part of the application interface.
inline constexpr int32_t EvNone = 0;           // WaitForEvent's time-out expired
inline constexpr int32_t EvPlatformOnly = -1;  // only platform activity happened
inline constexpr int32_t EvMenuItem = 1;
inline constexpr int32_t EvCloseRequest = 2;
inline constexpr int32_t EvGadgetNotify = 3;
inline constexpr int32_t EvRedraw = 4;
inline constexpr int32_t EvMoved = 5;
inline constexpr int32_t EvResized = 6;
inline constexpr int32_t EvBecameKey = 7;
inline constexpr int32_t EvResignedKey = 8;
inline constexpr int32_t EvDropOnWindow = 10;
inline constexpr int32_t EvDropOnGadget = 11;
inline constexpr int32_t EvMiniaturized = 12;
inline constexpr int32_t EvZoomed = 13;
inline constexpr int32_t EvUnzoomed = 14;
inline constexpr int32_t EvSecondaryClick = 16;
inline constexpr int32_t EvClick = 17;
inline constexpr int32_t EvDoubleClick = 18;
inline constexpr int32_t EvCustomBase = 0x10000;  // kinds the application posts itself

// Menu item numbers of the application menu.
inline constexpr int64_t PreferencesMenuItem = -2;
inline constexpr int64_t AboutMenuItem = -3;
inline constexpr int64_t QuitMenuItem = -4;

// Post flags.
inline constexpr uint32_t PostEvenWhenSuppressed = 1;
inline constexpr uint32_t PostDispatchOnDequeue = 2;
inline constexpr uint32_t PostAlwaysWake = 4;

using PayloadRelease = void (*)(void* payload);

// One queued event; nodes come from the queue's element pool.
struct EventNode {
  EventNode* next;  // younger event, null at the tail
  int32_t kind;
  uint32_t postFlags;
  int64_t object;
  int64_t window;
  int64_t subtype;
  void* payload;
  PayloadRelease payloadRelease;
};
static_assert(sizeof(EventNode) == 56, "the node pool is made for 56-byte elements");

struct EventQueueState {
  EventNode* head;
  EventNode* tail;
  ElementPool* pool;
};

// The event last taken from the queue or, while post-time callbacks run, the event being
// posted.
struct CurrentEventRecord {
  int32_t kind;
  int64_t window;
  int64_t object;
  int64_t subtype;
  void* payload;
  PayloadRelease payloadRelease;
};

extern EventQueueState EventQueue;
extern CurrentEventRecord CurrentEvent;
extern int32_t EventSuppressDepth;
// When non-zero, EventQueueLock guards the queue and CurrentEvent. This application
// never sets it.
extern int32_t ThreadSafeMode;

// Creates the node pool (and the binding map); start-up only.
void InitEvents();

// What a post calls to wake the main loop's wait; called from whichever thread posts. The
// event loop installs its wake-up when the application object is made; before that there is
// no loop to wake, and posts only queue. Returns the hook it replaces.
using EventWakeHook = void (*)();
EventWakeHook SetEventWakeHook(EventWakeHook hook);

// The one posting operation.
void EnqueueEvent(int32_t kind, int64_t object, int64_t window, int64_t subtype, void* payload,
                  PayloadRelease release, uint32_t flags);
// Platform callbacks post this way (flags 0).
void NotifyEvent(int32_t kind, int64_t object, int64_t window, int64_t subtype);
void NotifyEventWithPayload(int32_t kind, int64_t object, int64_t window, int64_t subtype,
                            void* payload, PayloadRelease release);

// Application posts (flags 7). Note the order: window before object. Always 1.
int32_t PostUserEvent(int32_t kind, int64_t window, int64_t object, int64_t subtype, void* payload);
int32_t PostUserEvent(int32_t kind, int64_t window, int64_t object, int64_t subtype);
int32_t PostUserEvent(int32_t kind, int64_t window, int64_t object);
int32_t PostUserEvent(int32_t kind);

// Takes the head into CurrentEvent; 0 when the queue is empty. Releases the payload of
// the event taken before.
int32_t NextQueuedEvent();

int64_t CurrentEventKind();
int64_t CurrentEventObject();
int64_t CurrentEventWindow();
int64_t CurrentEventSubtype();
void* CurrentEventPayload();

// Kind of the queue head, 0 when empty; nothing is removed.
int32_t PeekEventKind();
// As PeekEventKind, and copies the head's fields (left untouched when the queue is empty).
int32_t PeekEvent(int64_t* object, int64_t* window, int64_t* subtype);

// -1 in any argument matches anything.
void PurgeEvents(int32_t kind, int64_t object, int64_t window, int64_t subtype);
void PurgeWindowEvents(int64_t window);

void SuppressEvents();
void ResumeEvents();
