// Shared by the requester tests: the start-up, once per test process, and the answering of
// a modal box or panel as the user would.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <functional>

#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/requesters/message_requester.h"
#include "gui/shell/application.h"
#include "gui/shell/menus.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/window_test_support.h"
#include "gui/windows/windows.h"
#include "runtime/memory.h"
#include "runtime/object_table.h"
#include "runtime/string_stack.h"

// The start routines the requesters stand on, in the program's order.
inline void StartRequesterSystem() {
  StartWindowSystemFor(&InitRequesters);
}

// Lets Qt deliver what is pending, window activation included; the events are dropped.
inline void SettleEvents() {
  while (WaitForEvent(0) != EvNone) {
  }
}

// Opens window 0 and makes it the key window.
inline void OpenKeyWindow() {
  OpenWindow(0, 10, 10, 200, 100, nullptr);
  SettleEvents();
  ASSERT_EQ(QApplication::activeWindow(), NativeWindow(0));
}

// Runs act on the modal widget once the nested loop that shows it has started.
inline void WhenModal(std::function<void(QWidget*)> act) {
  QTimer::singleShot(0, qApp, [act = std::move(act)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return ADD_FAILURE() << "nothing modal is showing";
    act(modal);
  });
}
