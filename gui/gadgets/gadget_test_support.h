// Shared by the gadget tests: the start-up of the window system with gadgets, once per test
// process; a fixture with an open, active window 0; and the reading of gadget events, both
// as bound callbacks see them (every post) and as the main loop takes them (coalesced).
#pragma once

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QTest>
#include <QWidget>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"
#include "gui/shell/application.h"
#include "gui/shell/menus.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/window_test_support.h"
#include "gui/windows/windows.h"
#include "runtime/memory.h"
#include "runtime/object_table.h"
#include "runtime/string_stack.h"

// The start routines in the program's order.
inline void StartGadgetSystem() {
  StartWindowSystemFor(&InitGadgets);
}

struct GadgetEvent {
  int64_t object;
  int64_t window;
  int64_t subtype;

  bool operator==(const GadgetEvent&) const = default;
};

inline void PrintTo(const GadgetEvent& event, std::ostream* out) {
  *out << "{gadget " << event.object << ", window " << event.window << ", subtype " << event.subtype
       << "}";
}

// The gadget events that bound callbacks saw, in posting order.
inline std::vector<GadgetEvent>& RecordedEvents() {
  static std::vector<GadgetEvent> events;
  return events;
}

inline int64_t RecordEvent() {
  RecordedEvents().push_back({CurrentEventObject(), CurrentEventWindow(), CurrentEventSubtype()});
  return 0;
}

// Binds the recorder to every event of the gadget.
inline void RecordGadget(int64_t gadget) {
  BindGadgetHandler(gadget, &RecordEvent);
}

inline std::vector<int64_t> RecordedSubtypes(int64_t gadget) {
  std::vector<int64_t> subtypes;
  for (const GadgetEvent& event : RecordedEvents()) {
    if (event.object == gadget) subtypes.push_back(event.subtype);
  }
  return subtypes;
}

// Lets Qt deliver what is pending and takes every queued event; returns the gadget events.
inline std::vector<GadgetEvent> TakeGadgetEvents() {
  std::vector<GadgetEvent> events;
  for (int64_t kind = WaitForEvent(0); kind != EvNone; kind = WaitForEvent(0)) {
    if (kind != EvGadgetNotify) continue;
    events.push_back({CurrentEventObject(), CurrentEventWindow(), CurrentEventSubtype()});
  }
  return events;
}

// A gadget's text as the runtime returns it.
inline std::u16string GadgetText(int64_t gadget) {
  StringMark mark;
  return std::u16string(GetGadgetText(gadget, mark.Offset()));
}

template <class View>
View* ViewOf(int64_t gadget) {
  const GadgetRecord* record = GadgetExists(gadget);
  return record != nullptr ? dynamic_cast<View*>(record->view) : nullptr;
}

// What a screen reader says a gadget is.
inline QString AccessibleName(int64_t gadget) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(ViewOf<QWidget>(gadget));
  return accessible != nullptr ? accessible->text(QAccessible::Name) : QString();
}

class GadgetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartGadgetSystem(); }

  void SetUp() override {
    TakeGadgetEvents();
    RecordedEvents().clear();
    OpenWindow(0, 100, 100, 600, 400, u"Gadgets");
    TakeGadgetEvents();
  }

  void TearDown() override {
    FreeGadget(AnyObject);
    CloseWindow(AnyObject);
    RenewAutoreleasePool();
    TakeGadgetEvents();
    RecordedEvents().clear();
  }

  static KzWindow* Window() { return NativeWindow(0); }
  // The point of the widget's centre in its window, for clicks that Qt delivers as the
  // window system would: to whatever lies on top there.
  static QPoint CentreInWindow(const QWidget* widget) {
    return widget->mapTo(widget->window(), widget->rect().center());
  }
  static void ClickInWindow(const QPoint& point) {
    QTest::mouseClick(Window()->windowHandle(), Qt::LeftButton, Qt::NoModifier, point);
  }
};
