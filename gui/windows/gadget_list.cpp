#include "gui/windows/gadget_list.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "gui/windows/kz_window.h"
#include "gui/windows/window_views.h"
#include "runtime/memory.h"
#include "runtime/object_table.h"

namespace {

constexpr int32_t StackGrowth = 10;

struct GadgetListState {
  KzGadgetList* current;
  std::vector<std::unique_ptr<KzGadgetList>>* lists;  // every list, oldest first
};

void* GadgetListGlobals = nullptr;

void InitGadgetListState(void* globals) {
  auto* state = static_cast<GadgetListState*>(globals);
  state->lists = new std::vector<std::unique_ptr<KzGadgetList>>;
  state->lists->reserve(5);
}

GadgetListState* State() {
  return static_cast<GadgetListState*>(ModuleGlobals(GadgetListGlobals));
}

}  // namespace

void InitGadgetLists() {
  if (GadgetListGlobals != nullptr) return;
  GadgetListGlobals = AllocateModuleGlobals(sizeof(GadgetListState), &InitGadgetListState);
}

KzGadgetList::KzGadgetList(KzWindow* window)
    : top_window_(window),
      top_view_(window->contentView()),
      views_(static_cast<QWidget**>(AllocateBlock(StackGrowth * sizeof(QWidget*)))),
      stack_size_(views_ != nullptr ? StackGrowth : 0),
      stack_index_(0) {
  if (top_view_ != nullptr) return;
  top_view_ = new Kz_NSFlippedView;
  window->setContentView(top_view_);
}

KzGadgetList::~KzGadgetList() {
  FreeBlock(views_);
}

void KzGadgetList::push(QWidget* view) {
  if (stack_index_ >= stack_size_) {
    const int32_t grown_size = stack_size_ + StackGrowth;
    void* grown = ResizeBlock(views_, static_cast<uint64_t>(grown_size) * sizeof(QWidget*));
    if (grown == nullptr) return;
    views_ = static_cast<QWidget**>(grown);
    stack_size_ = grown_size;
  }
  views_[stack_index_++] = top_view_;
  top_view_ = view;
}

void KzGadgetList::pop() {
  if (stack_index_ < 1) {
    stack_index_ = 0;
    top_view_ = top_window_->contentView();
    return;
  }
  --stack_index_;
  top_view_ = views_[stack_index_];
  views_[stack_index_] = nullptr;
}

KzGadgetList* KzGadgetList::currentList() {
  GadgetListState* state = State();
  return state != nullptr ? state->current : nullptr;
}

QWidget* KzGadgetList::currentView() {
  KzGadgetList* list = currentList();
  return list != nullptr ? list->top() : nullptr;
}

KzWindow* KzGadgetList::currentWindow() {
  KzGadgetList* list = currentList();
  return list != nullptr ? list->window() : nullptr;
}

KzGadgetList* KzGadgetList::listFromWindow(const KzWindow* window) {
  GadgetListState* state = State();
  if (state == nullptr) return nullptr;
  for (const auto& list : *state->lists) {
    if (list->window() == window) return list.get();
  }
  return nullptr;
}

KzWindow* KzGadgetList::setWindow(KzWindow* window) {
  GadgetListState* state = State();
  if (state == nullptr) return nullptr;
  KzWindow* before = currentWindow();
  if (window == nullptr) return before;
  KzGadgetList* list = listFromWindow(window);
  if (list == nullptr) {
    state->lists->push_back(std::make_unique<KzGadgetList>(window));
    list = state->lists->back().get();
  }
  state->current = list;
  return before;
}

void KzGadgetList::removeWindow(const KzWindow* window) {
  GadgetListState* state = State();
  if (state == nullptr) return;
  auto found = std::find_if(state->lists->begin(), state->lists->end(),
                            [window](const auto& list) { return list->window() == window; });
  if (found == state->lists->end()) return;
  if (state->current == found->get()) state->current = nullptr;
  state->lists->erase(found);
}

void KzGadgetList::forgetView(const QWidget* view) {
  GadgetListState* state = State();
  if (state == nullptr || view == nullptr) return;
  for (const auto& list : *state->lists) {
    if (list->top_view_ == view) list->top_view_ = nullptr;
    for (int32_t i = 0; i < list->stack_index_; ++i) {
      if (list->views_[i] == view) list->views_[i] = nullptr;
    }
  }
}
