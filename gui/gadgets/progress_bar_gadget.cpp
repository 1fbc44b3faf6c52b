#include "gui/gadgets/progress_bar_gadget.h"

#include <algorithm>

#include "gui/gadgets/gadgets.h"

namespace {

int32_t Clamped(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

KzProgressIndicator::KzProgressIndicator(const QRect& frame) {
  setGeometry(frame);
  setTextVisible(false);
}

void KzProgressIndicator::setIntValue(int32_t value) {
  const int32_t kept = std::clamp(value, minimum(), maximum());
  if (kept == this->value()) return;
  setValue(kept);
  // QProgressBar repaints a bar without text only once the value has moved by a whole
  // chunk of the style; the words beside the bar would run ahead of it.
  update();
}

KzProgressIndicator* KzProgressBarGadgetFunctions::Bar() const {
  return static_cast<KzProgressIndicator*>(Gadget->view);
}

void KzProgressBarGadgetFunctions::SetGadgetAttribute(int32_t attribute, int64_t value) {
  KzProgressIndicator* bar = Bar();
  const int32_t kept = bar->value();
  if (attribute == ProgressBarMinimum) {
    bar->setMinimum(Clamped(value));
  } else if (attribute == ProgressBarMaximum) {
    bar->setMaximum(Clamped(value));
  } else {
    return;
  }
  bar->setIntValue(kept);
}

int64_t KzProgressBarGadgetFunctions::GetGadgetAttribute(int32_t attribute) {
  if (attribute == ProgressBarMinimum) return Bar()->minimum();
  if (attribute == ProgressBarMaximum) return Bar()->maximum();
  return 0;
}

int64_t CreateProgressBarGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                                int32_t minimum, int32_t maximum, int32_t flags) {
  auto* view = new KzProgressIndicator(QRect(x, y, width, height));
  auto* functions = new KzProgressBarGadgetFunctions;
  GadgetRecord* record = functions->setup(number, GadgetTypeProgressBar, view, view, flags);
  if (record == nullptr) return AbandonCreation(view, functions);
  view->setRange(minimum, std::max(minimum, maximum));
  view->setValue(view->minimum());
  AddToCurrentView(view);
  return CreationResult(number, record);
}
