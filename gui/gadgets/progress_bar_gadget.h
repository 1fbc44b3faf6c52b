// Progress bar gadgets: a bar that shows how far a piece of work has come. Its state is the
// value, kept within the bar's range; the range is set at creation and through the
// attributes below. A range of 0 to 0 shows a busy bar that moves without a value. A
// progress bar posts no events.
#pragma once

#include <QProgressBar>
#include <QString>
#include <cstdint>

#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"

inline constexpr int32_t GadgetTypeProgressBar = 8;

// Gadget attributes of progress bars.
inline constexpr int32_t ProgressBarMinimum = 1;
inline constexpr int32_t ProgressBarMaximum = 2;

// The bar draws no text of its own: the window says in words what the bar shows.
class KzProgressIndicator final : public KzGadgetViewOf<QProgressBar>, public KzControl {
 public:
  explicit KzProgressIndicator(const QRect& frame);

  // A bar has no text; its integer value is the value shown.
  QString stringValue() const override { return QString(); }
  void setStringValue(const QString&) override {}
  int32_t intValue() const override { return value(); }
  // A value outside the range is moved to its nearer end, where QProgressBar would ignore it.
  void setIntValue(int32_t value) override;
  void setTarget(KzGadgetFunctions*) override {}
};

class KzProgressBarGadgetFunctions final : public KzGadgetFunctions {
 public:
  // A minimum above the maximum moves the other end along; the value is kept within the
  // new range.
  void SetGadgetAttribute(int32_t attribute, int64_t value) override;
  int64_t GetGadgetAttribute(int32_t attribute) override;

 private:
  KzProgressIndicator* Bar() const;
};

// Returns the handle for AnyObject, else the view's address; 0 on failure. The value
// starts at the minimum. Flags are kept for the record; none is defined.
int64_t CreateProgressBarGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                                int32_t minimum, int32_t maximum, int32_t flags = 0);
