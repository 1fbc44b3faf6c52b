// Callbacks bound to event patterns (kind, window, object, subtype).
//
// Bindings live in one process-wide string-keyed map: the key text "kind:window:object"
// (-1 for any window or object) leads to a slot with the key's callbacks, newest first,
// each with the subtype it wants (-1 = any). The event queue runs the matching callbacks of
// four keys per event: exact window and object, the window alone, the kind alone, the
// object with any window. Main thread only.
#pragma once

#include <cstdint>

struct Map;

// A bound routine takes no arguments; its result is ignored (handlers return 0). During its
// run CurrentEventKind and CurrentEventObject describe the event that triggered it.
using EventCallback = int64_t (*)();

// One binding, a sized block.
struct EventBinding {
  EventBinding* next;  // older binding under the same key
  EventCallback callback;
  int64_t subtype;  // -1 = any subtype
};

// The value of a key in the binding map.
struct BindingSlot {
  EventBinding* first;  // newest first
  int64_t window;       // the key's window number, -1 for keys without a window
};

// Room for the longest key (53 units: three minimal numbers and two colons) with margin.
inline constexpr int BindingKeyUnits = 128;

// Value size 16, type code 7, 1024 buckets, no descriptor. Null before InitEventBinding.
extern Map* EventBindingMap;

// Creates the binding map once; later calls keep the existing map and its bindings.
void InitEventBinding();

// Writes the key text exactly as FormatString with "%d:%lld:%lld" would, terminator
// included, into dest (room for BindingKeyUnits); returns the units without the terminator.
int32_t FormatBindingKey(char16_t* dest, int32_t kind, int64_t window, int64_t object);

// 1 when bound; 0 for a duplicate (same callback and subtype under the key), a null
// callback, no memory or no binding map.
uint64_t BindObjectHandler(int32_t kind, EventCallback callback, int64_t window, int64_t object,
                           int64_t subtype);
uint64_t BindObjectHandlerAnySubtype(int32_t kind, EventCallback callback, int64_t window,
                                     int64_t object);
uint64_t BindEventHandler(int32_t kind, EventCallback callback, int64_t window);
uint64_t BindGlobalHandler(int32_t kind, EventCallback callback);

// Removes the newest binding of callback under the key whose subtype equals subtype (any
// subtype when -1) and returns 1; 0 when there is none. A null callback removes every
// binding under the key and returns 0.
uint64_t UnbindObjectHandler(int32_t kind, EventCallback callback, int64_t window, int64_t object,
                             int64_t subtype);
uint64_t UnbindObjectHandlerAnySubtype(int32_t kind, EventCallback callback, int64_t window,
                                       int64_t object);
uint64_t UnbindEventHandler(int32_t kind, EventCallback callback, int64_t window);
uint64_t UnbindGlobalHandler(int32_t kind, EventCallback callback);
// Removes every key whose window is window, gadget keys of the window included.
void UnbindWindowHandlers(int64_t window);

// Runs the callbacks bound under the key (kind, window, object) whose subtype equals
// subtype or is -1, newest first. They may bind and unbind, even themselves, while they run.
void RunBoundCallbacks(int32_t kind, int64_t window, int64_t object, int64_t subtype);
