// String gadgets: one-line text entry fields. Every edit the user makes posts SubtypeChange;
// text set by the program posts nothing. A field other than a password field also posts
// SubtypeFocus when it takes the keyboard focus and SubtypeLostFocus when the focus leaves
// it; Return keeps the focus and posts neither that nor an action.
#pragma once

#include <QColor>
#include <QLineEdit>
#include <QString>
#include <cstdint>

#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"

class KzMaximumLengthFormatter;

inline constexpr int32_t StringFlagPassword = 1;   // characters hidden; no focus events
inline constexpr int32_t StringFlagReadOnly = 2;   // not editable, still selectable
inline constexpr int32_t StringFlagUpperCase = 4;  // typed text shown in upper case
inline constexpr int32_t StringFlagLowerCase = 8;  // ... in lower case
inline constexpr int32_t StringFlagNumeric = 16;   // only the digits 0 to 9
inline constexpr int32_t StringFlagBorderless = 32;

// Gadget attribute of string gadgets: the maximum length in UTF-16 units; negative for none.
inline constexpr int32_t StringAttributeMaximumLength = 1;

// What the two string field views share. Long text scrolls sideways, as QLineEdit does.
class KzLineEditGadget : public KzGadgetViewOf<QLineEdit>, public KzControl {
 public:
  explicit KzLineEditGadget(const QRect& frame);

  // Checks the user's edits; every field has one. The field owns it.
  KzMaximumLengthFormatter* formatter() const { return formatter_; }
  void setFormatter(KzMaximumLengthFormatter* formatter);

  QString stringValue() const override { return text(); }
  // Shown as given, whatever the formatter would make of it.
  void setStringValue(const QString& value) override;
  // The action is Return.
  void setTarget(KzGadgetFunctions* target) override;

 private:
  KzMaximumLengthFormatter* formatter_ = nullptr;
  QMetaObject::Connection action_;
};

class KzStringGadgetTextField final : public KzLineEditGadget {
 public:
  using KzLineEditGadget::KzLineEditGadget;

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void Post(int64_t subtype);

  // Whether the field holds its window's focus. A window that goes inactive, or a popup
  // such as the field's own context menu, takes Qt's focus away for a while without the
  // field ceasing to be the one being edited.
  bool first_responder_ = false;
};

class KzSecureTextField final : public KzLineEditGadget {
 public:
  explicit KzSecureTextField(const QRect& frame);
};

class KzStringGadgetFunctions final : public KzGadgetFunctions {
 public:
  // Return posts nothing.
  void EventHandler() override;
  // ColorTypeBack is the field's background, ColorTypeFront its text; QColor() restores
  // the colour the field had when it was created.
  void SetGadgetColor(int32_t type, const QColor& color) override;
  QColor GetGadgetColor(int32_t type) override;
  // Lower-cased under StringFlagLowerCase, else upper-cased under StringFlagUpperCase.
  void SetGadgetText(const QString& text) override;
  void SetGadgetAttribute(int32_t attribute, int64_t value) override;
  int64_t GetGadgetAttribute(int32_t attribute) override;

  // The field's user edits: SubtypeChange.
  void controlTextDidChange();
  // Remembers the field's present colours as its defaults.
  void takeDefaultColors();

 private:
  KzLineEditGadget* Field() const;

  QColor defaultBackgroundColor;
  QColor defaultFrontColor;
};

// Returns the handle for AnyObject, else the view's address; 0 on failure.
int64_t CreateStringGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                           const char16_t* text, int32_t flags = 0);

// The grey hint that an empty field shows, as what it would stand for. Nothing for a gadget
// that is not a string gadget.
void SetGadgetPlaceholder(int64_t gadget, const char16_t* text);
