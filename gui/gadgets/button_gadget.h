// Button gadgets: a push button, or a push-on/push-off button, whose press posts
// SubtypeAction. A button of height 25 may be the window's default button, which the Return
// key presses.
#pragma once

#include <QPushButton>
#include <QString>
#include <cstdint>

#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"

inline constexpr int32_t ButtonFlagRight = 1;    // title right-aligned
inline constexpr int32_t ButtonFlagLeft = 2;     // title left-aligned; wins over ButtonFlagRight
inline constexpr int32_t ButtonFlagToggle = 4;   // stays in when pressed; state 1 and 0
inline constexpr int32_t ButtonFlagDefault = 8;  // Return presses it; only at height 25

// The button's title is shown as given: an "&" is a character, not a mnemonic marker.
class KzButtonGadgetView final : public KzGadgetViewOf<QPushButton>, public KzControl {
 public:
  // Rounded is the bezel of the standard height 25, the only one that shows the
  // default-button look; every other height has the square one.
  enum class BezelStyle { Rounded, RegularSquare };

  explicit KzButtonGadgetView(const QRect& frame);

  QString title() const { return title_; }
  void setTitle(const QString& title);
  // Qt::AlignHCenter (the default), Qt::AlignLeft or Qt::AlignRight.
  Qt::Alignment titleAlignment() const { return title_alignment_; }
  void setTitleAlignment(Qt::Alignment alignment);
  BezelStyle bezelStyle() const { return bezel_style_; }
  void setBezelStyle(BezelStyle style);
  // From now on the Return key presses the button while its window is active and its input
  // is not blocked, and the button is shown as the default button.
  void setReturnKeyEquivalent();

  // A button made taller or shorter than 25 takes the square bezel for good.
  void setGadgetFrame(const QRect& frame) override;

  // The string value is the title; the integer value is the state, 1 for on.
  QString stringValue() const override { return title(); }
  void setStringValue(const QString& value) override { setTitle(value); }
  int32_t intValue() const override;
  void setIntValue(int32_t value) override;
  void setTarget(KzGadgetFunctions* target) override;

 protected:
  // Return and Enter press the focused button, as Space does.
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QString title_;
  Qt::Alignment title_alignment_ = Qt::AlignHCenter;
  BezelStyle bezel_style_ = BezelStyle::RegularSquare;
  // The state of a button that is not a toggle: kept, though it shows nowhere.
  int32_t state_ = 0;
  QMetaObject::Connection action_;
};

// A button's string value is its title, so the base operations serve it as they are.
class KzButtonGadgetFunctions final : public KzGadgetFunctions {};

// Returns the handle for AnyObject, else the view's address; 0 on failure.
int64_t CreateButtonGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                           const char16_t* text, int32_t flags = 0);
