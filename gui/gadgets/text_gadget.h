// Text gadgets: labels. A label is neither selectable nor editable and posts no events.
// A label too low for two lines keeps its text on one line, shortened in the middle when it
// does not fit, with the whole text as its tooltip; a taller one wraps, breaking a path
// too long for a line after one of its slashes. A label shows its
// parent's background until a background colour is set for it. Disabling it only greys
// its text. Assistive technology hears a label's whole text, however it is shown, and hears
// of each change of it; a label paired with another gadget names that gadget.
#pragma once

#include <QColor>
#include <QLabel>
#include <QString>
#include <cstdint>

#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"

inline constexpr int32_t TextFlagRight = 1;    // right-aligned; wins over TextFlagCenter
inline constexpr int32_t TextFlagCenter = 2;   // centred
inline constexpr int32_t TextFlagBorder = 4;   // a thin border around the label
inline constexpr int32_t TextFlagToolTip = 8;  // the whole text is its tooltip, however shown

// The text is plain text: QLabel would otherwise take markup for rich text.
class Kz_NSTextField final : public KzGadgetViewOf<QLabel>, public KzControl {
 public:
  explicit Kz_NSTextField(const QRect& frame);

  // The whole text, whatever part of it shows.
  QString stringValue() const override { return text_; }
  void setStringValue(const QString& value) override;
  // A label has no action.
  void setTarget(KzGadgetFunctions*) override {}
  // Makes this label the one that names view.
  void setBuddyView(QWidget* view);
  // The height its text needs at width, as TextHeightAtWidth says.
  int heightForText(int width) const;
  // The whole text is the tooltip also when all of it shows.
  void setTextAsToolTip(bool always) { text_as_tool_tip_ = always; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // Shows the text as the label's height and width allow.
  void fitText();

  QString text_;
  bool text_as_tool_tip_ = false;
};

class KzTextGadgetFunctions final : public KzGadgetFunctions {
 public:
  // ColorTypeBack is the background, ColorTypeFront the text; QColor() restores the colour
  // the label had when it was created. A text colour set here is also the one that
  // enabling the label shows again.
  void SetGadgetColor(int32_t type, const QColor& color) override;
  QColor GetGadgetColor(int32_t type) override;
  // Nonzero greys the text; zero shows the colour set last, else the standard text colour.
  void DisableGadget(int32_t disable) override;
  // A label has no state.
  void SetGadgetState(int32_t) override {}
  int64_t GetGadgetState() override { return 0; }

  // Remembers the label's present colours as its defaults.
  void takeDefaultColors();

 private:
  QLabel* Label() const;

  QColor FrontColor;  // the text colour the program set last; invalid for none
  QColor defaultBackgroundColor;
  QColor defaultFrontColor;
};

// Returns the handle for AnyObject, else the view's address; 0 on failure.
int64_t CreateTextGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                         const char16_t* text, int32_t flags = 0);

// The height the label's text needs at width: a line when it fits on one, else its wrapped
// lines. 0 for anything that is not a text gadget.
int32_t TextHeightAtWidth(int64_t gadget, int32_t width);

// The label's text becomes the name by which assistive technology knows the gadget, and
// follows the text's changes. The label must lie in the same view as the gadget, where Qt
// looks for it; a label that is not a text gadget names nothing.
void NameGadgetByLabel(int64_t gadget, int64_t label);
