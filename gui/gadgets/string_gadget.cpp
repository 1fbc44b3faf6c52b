#include "gui/gadgets/string_gadget.h"

#include <QFocusEvent>
#include <limits>

#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/string_formatters.h"
#include "gui/windows/windows.h"
#include "runtime/qstring_bridge.h"

namespace {

// Focus that goes to another window or into a popup comes back to the same field.
bool IsPassingFocusChange(Qt::FocusReason reason) {
  return reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason;
}

// The first flag in this order wins: numeric, upper case, lower case.
KzMaximumLengthFormatter* NewFormatter(int32_t flags, QObject* parent) {
  if ((flags & StringFlagNumeric) != 0) return new KzNumericFormatter(parent);
  if ((flags & StringFlagUpperCase) != 0) return new KzUpperCaseFormatter(parent);
  if ((flags & StringFlagLowerCase) != 0) return new KzLowerCaseFormatter(parent);
  return new KzMaximumLengthFormatter(parent);
}

}  // namespace

KzLineEditGadget::KzLineEditGadget(const QRect& frame) {
  setGeometry(frame);
  // Qt cuts a line edit's text at 32767 units by default; here the formatter is the limit.
  setMaxLength(std::numeric_limits<int>::max());
}

void KzLineEditGadget::setFormatter(KzMaximumLengthFormatter* formatter) {
  formatter_ = formatter;
  setValidator(formatter);
}

void KzLineEditGadget::setStringValue(const QString& value) {
  // QLineEdit runs its validator over a text set by the program too, and a case formatter
  // would rewrite it.
  setValidator(nullptr);
  setText(value);
  setValidator(formatter_);
}

void KzLineEditGadget::setTarget(KzGadgetFunctions* target) {
  disconnect(action_);
  action_ = connect(this, &QLineEdit::returnPressed, target, &KzGadgetFunctions::EventHandler);
}

void KzStringGadgetTextField::Post(int64_t subtype) {
  if (alreadyDestroyed()) return;
  NotifyEvent(EvGadgetNotify, tag(), WindowNumberOf(window()), subtype);
}

void KzStringGadgetTextField::focusInEvent(QFocusEvent* event) {
  const bool had_focus = first_responder_;
  first_responder_ = true;
  if (!had_focus || !IsPassingFocusChange(event->reason())) Post(SubtypeFocus);
  KzLineEditGadget::focusInEvent(event);
}

void KzStringGadgetTextField::focusOutEvent(QFocusEvent* event) {
  if (!IsPassingFocusChange(event->reason())) {
    first_responder_ = false;
    Post(SubtypeLostFocus);
  }
  KzLineEditGadget::focusOutEvent(event);
}

KzSecureTextField::KzSecureTextField(const QRect& frame) : KzLineEditGadget(frame) {
  setEchoMode(QLineEdit::Password);
}

KzLineEditGadget* KzStringGadgetFunctions::Field() const {
  return static_cast<KzLineEditGadget*>(Gadget->view);
}

void KzStringGadgetFunctions::EventHandler() {}

void KzStringGadgetFunctions::SetGadgetColor(int32_t type, const QColor& color) {
  if (type == ColorTypeBack) {
    SetPaletteColor(Field(), QPalette::Base, color.isValid() ? color : defaultBackgroundColor);
  } else if (type == ColorTypeFront) {
    SetPaletteColor(Field(), QPalette::Text, color.isValid() ? color : defaultFrontColor);
  }
}

QColor KzStringGadgetFunctions::GetGadgetColor(int32_t type) {
  if (type == ColorTypeBack) return Field()->palette().color(QPalette::Base);
  if (type == ColorTypeFront) return Field()->palette().color(QPalette::Text);
  return QColor();
}

void KzStringGadgetFunctions::SetGadgetText(const QString& text) {
  const int32_t flags = Gadget->flags;
  if ((flags & StringFlagLowerCase) != 0) {
    Field()->setStringValue(text.toLower());
  } else if ((flags & StringFlagUpperCase) != 0) {
    Field()->setStringValue(text.toUpper());
  } else {
    Field()->setStringValue(text);
  }
}

void KzStringGadgetFunctions::SetGadgetAttribute(int32_t attribute, int64_t value) {
  if (attribute != StringAttributeMaximumLength) return;
  Field()->formatter()->setMaximumLength(static_cast<int32_t>(value));
}

int64_t KzStringGadgetFunctions::GetGadgetAttribute(int32_t attribute) {
  if (attribute != StringAttributeMaximumLength) return 0;
  return Field()->formatter()->maximumLength();
}

void KzStringGadgetFunctions::controlTextDidChange() {
  SendEvent(SubtypeChange);
}

void KzStringGadgetFunctions::takeDefaultColors() {
  defaultBackgroundColor = Field()->palette().color(QPalette::Base);
  defaultFrontColor = Field()->palette().color(QPalette::Text);
}

int64_t CreateStringGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                           const char16_t* text, int32_t flags) {
  const QRect frame(x, y, width, height);
  KzLineEditGadget* view = nullptr;
  if ((flags & StringFlagPassword) != 0) {
    view = new KzSecureTextField(frame);
  } else {
    view = new KzStringGadgetTextField(frame);
  }
  auto* functions = new KzStringGadgetFunctions;
  GadgetRecord* record = functions->setup(number, GadgetTypeString, view, view, flags);
  if (record == nullptr) return AbandonCreation(view, functions);
  view->setReadOnly((flags & StringFlagReadOnly) != 0);
  view->setFrame((flags & StringFlagBorderless) == 0);
  view->setFormatter(NewFormatter(flags, view));
  functions->takeDefaultColors();
  functions->SetGadgetText(StringToQString(text));
  QObject::connect(view, &QLineEdit::textEdited, functions,
                   &KzStringGadgetFunctions::controlTextDidChange);
  AddToCurrentView(view);
  return CreationResult(number, record);
}

void SetGadgetPlaceholder(int64_t gadget, const char16_t* text) {
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr || record->type != GadgetTypeString) return;
  if (auto* field = qobject_cast<QLineEdit*>(record->view)) {
    field->setPlaceholderText(StringToQString(text));
  }
}
