// KzGadgetList: the stack of container views of one window into which new gadgets go.
//
// Gadget creation adds each new view to KzGadgetList::currentView() and takes the gadget's
// window number from WindowNumberOf(KzGadgetList::currentWindow()). The current list follows
// the most recently opened window (unless it opened with WinKeepGadgetList); a panel pushes
// its pages while it is filled and pops back at the end. Views on the stack are not owned.
// Main thread only.
#pragma once

#include <cstdint>

class KzWindow;
class QWidget;

class KzGadgetList {
 public:
  // The window's content view is the first top view; a window without one gets a new
  // Kz_NSFlippedView as its content view.
  explicit KzGadgetList(KzWindow* window);
  ~KzGadgetList();
  KzGadgetList(const KzGadgetList&) = delete;
  KzGadgetList& operator=(const KzGadgetList&) = delete;

  KzWindow* window() const { return top_window_; }
  QWidget* top() const { return top_view_; }
  int32_t stackIndex() const { return stack_index_; }
  // Room for saved views; grows by 10 when a push finds it full.
  int32_t stackSize() const { return stack_size_; }

  // Saves the top view and makes view (null allowed) the top. When the room cannot grow,
  // nothing changes.
  void push(QWidget* view);
  void pushNoView() { push(nullptr); }
  // Replaces the top view without saving it.
  void set(QWidget* view) { top_view_ = view; }
  // Restores the last saved view; with nothing saved, the window's content view.
  void pop();

  static KzGadgetList* currentList();
  // The current list's top view and window; null without a current list.
  static QWidget* currentView();
  static KzWindow* currentWindow();
  static KzGadgetList* listFromWindow(const KzWindow* window);
  // Makes window's list (a new one if it has none) current and returns the window of the
  // list that was current before. A null window changes nothing.
  static KzWindow* setWindow(KzWindow* window);
  // Drops window's list; no list is current afterwards if it was.
  static void removeWindow(const KzWindow* window);
  // A view that goes away leaves every list, as the top and among the saved views: a list
  // that would place gadgets there places them nowhere instead.
  static void forgetView(const QWidget* view);

 private:
  KzWindow* top_window_;
  QWidget* top_view_;
  QWidget** views_;  // sized block of stack_size_ entries
  int32_t stack_size_;
  int32_t stack_index_;
};

// Creates the gadget-list state (no current list, no lists). Called by InitWindows.
void InitGadgetLists();
