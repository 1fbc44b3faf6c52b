// Waiting for events: the main loop's pump over Qt's event dispatcher, the wake-up of a
// blocked wait, platform event filters and the keyboard-shortcut hook.
#pragma once

#include <cstdint>

class QObject;
class QEvent;
class QKeyEvent;

// Returns a queued event's kind if there is one; otherwise waits for platform activity
// (time-out in ms: -1 without limit, 0 a poll), lets Qt dispatch it and returns the
// oldest event that produced, EvPlatformOnly (-1) when none, EvNone (0) when the time-out
// expired with nothing happening.
int64_t WaitForEvent(int32_t timeout = -1);

// Makes a blocked WaitForEvent or WaitForDescriptors return; safe from any thread.
// KzApplication installs it as the queue's wake hook, so that posts call it too.
void WakeEventLoop();

// Serves the windows while a handler waits for something outside them: lets Qt paint and
// deliver input, timers and the handlers they run, until one of the descriptors is readable,
// WakeEventLoop is called or the time-out (ms, -1 without limit) passes. One wait, in Qt's
// dispatcher, for the descriptors and the window system together. 1 when a descriptor is
// readable, else 0. Events this posts stay queued for WaitForEvent.
int32_t WaitForDescriptors(const int* descriptors, int32_t count, int32_t timeout);

// Paints what is waiting to be painted, at once and without taking any input, so that a
// handler that goes on working shows its latest texts first.
void PaintPendingUpdates();

// Delivers the objects whose deletion was deferred (deleteLater) since the last wait.
void RenewAutoreleasePool();

// A filter sees every spontaneous (window-system) event before it is dispatched and
// returns non-zero to consume it.
using PlatformEventFilter = int (*)(QObject* receiver, QEvent* event, void* context);
struct EventFilterNode;
EventFilterNode* AddEventFilter(PlatformEventFilter filter, void* context);
void RemoveEventFilter(EventFilterNode* node);

// Finds the window shortcut that a key event from the window system matches: true with
// the window's number and the shortcut's menu item set. Installed by the window module.
// A match takes the key before Qt's own shortcuts and before normal dispatch, and posts
// EvMenuItem with that item and window.
using KeyboardShortcutHook = bool (*)(QObject* receiver, const QKeyEvent* event, int64_t* window,
                                      int32_t* item);
void SetKeyboardShortcutHook(KeyboardShortcutHook hook);

// Called by KzApplication for every event it delivers. Counts activity for WaitForEvent,
// runs the filters and the shortcut hook; true when the event is consumed.
bool PreDispatchPlatformEvent(QObject* receiver, QEvent* event);
