// Shared by the window and shell tests: the start-up of the window system, once per test
// process, and the reading of the events that platform work posts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "gui/events/event_binding.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/shell/application.h"
#include "gui/shell/menus.h"
#include "gui/windows/windows.h"
#include "runtime/memory.h"
#include "runtime/object_table.h"
#include "runtime/string_stack.h"

// The start routines in the program's order. The window tests leave out InitMenus, so that
// the window layer's menu hooks stay theirs to set.
inline void StartWindowSystem(bool with_menus) {
  static const bool started = [with_menus] {
    StartApplication();
    InitLocale();
    InitStringStack();
    InitEvents();
    InitEventBinding();
    InitWindows();
    if (with_menus) InitMenus();
    return true;
  }();
  static_cast<void>(started);
}

// The window system with menus, once per test process, and then the start routine of the
// module under test, which does nothing after its first run.
inline void StartWindowSystemFor(void (*module_start)()) {
  StartWindowSystem(true);
  module_start();
}

struct TakenEvent {
  int64_t kind;
  int64_t object;
  int64_t window;

  bool operator==(const TakenEvent&) const = default;
};

inline void PrintTo(const TakenEvent& event, std::ostream* out) {
  *out << "{kind " << event.kind << ", object " << event.object << ", window " << event.window
       << "}";
}

// Lets Qt deliver what is pending and takes every queued event, oldest first. Repaints come
// whenever Qt decides, so EvRedraw is left out unless asked for.
inline std::vector<TakenEvent> TakeEvents(bool with_redraws = false) {
  std::vector<TakenEvent> events;
  for (int64_t kind = WaitForEvent(0); kind != EvNone; kind = WaitForEvent(0)) {
    if (kind == EvPlatformOnly || (kind == EvRedraw && !with_redraws)) continue;
    events.push_back({kind, CurrentEventObject(), CurrentEventWindow()});
  }
  return events;
}

// The kinds of the events that are among kinds, in order.
inline std::vector<int64_t> KindsAmong(const std::vector<TakenEvent>& events,
                                       std::initializer_list<int64_t> kinds) {
  std::vector<int64_t> result;
  for (const TakenEvent& event : events) {
    for (int64_t kind : kinds) {
      if (event.kind == kind) result.push_back(kind);
    }
  }
  return result;
}

inline bool Contains(const std::vector<TakenEvent>& events, const TakenEvent& wanted) {
  return std::find(events.begin(), events.end(), wanted) != events.end();
}
