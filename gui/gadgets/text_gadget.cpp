#include "gui/gadgets/text_gadget.h"

#include <QApplication>
#include <QPalette>
#include <algorithm>

#include "gui/gadgets/gadgets.h"
#include "runtime/qstring_bridge.h"

namespace {

// The surface that labels take as their background. The window's colour, not the button
// face: on the desktop styles the face is a shade darker and would box every label in.
QColor ControlColor() {
  return QApplication::palette().color(QPalette::Window);
}

QColor ControlTextColor() {
  return QApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

QColor GreyedTextColor() {
  return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

// A line may break after a slash: a path too long for a line would otherwise run past the
// label's edge, since lines break only at blanks.
QString WithPathBreaks(QString text) {
  constexpr QChar kZeroWidthSpace(0x200B);
  for (qsizetype i = text.size() - 1; i >= 0; --i) {
    if (text[i] == u'/') text.insert(i + 1, kZeroWidthSpace);
  }
  return text;
}

// Lines shown one at a time: a line feed would push the rest out of sight.
QString OnOneLine(QString text) {
  text.replace(u'\n', u' ');
  return text;
}

}  // namespace

Kz_NSTextField::Kz_NSTextField(const QRect& frame) {
  setGeometry(frame);
  setTextFormat(Qt::PlainText);
  // A label's text starts at its top; QLabel would centre it.
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void Kz_NSTextField::setStringValue(const QString& value) {
  // A status line changes while the focus is elsewhere; only an event makes a screen reader
  // notice. Setting the name raises it, and QLabel, seeing a name, raises none of its own.
  // The name is the whole text, also where the label shows it shortened.
  if (value != text_) setAccessibleName(value);
  text_ = value;
  fitText();
}

void Kz_NSTextField::setBuddyView(QWidget* view) {
  setBuddy(view);
  fitText();
}

void Kz_NSTextField::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  fitText();
}

void Kz_NSTextField::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange) fitText();
}

void Kz_NSTextField::fitText() {
  const QFontMetrics metrics = fontMetrics();
  const bool one_line = contentsRect().height() < 2 * metrics.lineSpacing();
  setWordWrap(!one_line);
  const QString shown =
      one_line ? metrics.elidedText(OnOneLine(text_), Qt::ElideMiddle, contentsRect().width())
               : WithPathBreaks(text_);
  // A label that names another widget reads "&" as a mnemonic marker.
  setText(buddy() != nullptr ? EscapeMnemonics(shown) : shown);
  const bool shortened = one_line && shown != text_;
  setToolTip(shortened || text_as_tool_tip_ ? text_ : QString());
}

int Kz_NSTextField::heightForText(int width) const {
  const QFontMetrics metrics = fontMetrics();
  const QSize frame = size() - contentsRect().size();
  const int room = width - frame.width();
  if (metrics.horizontalAdvance(OnOneLine(text_)) <= room) return metrics.height() + frame.height();
  const QRect wrapped = metrics.boundingRect(QRect(0, 0, room, QWIDGETSIZE_MAX), Qt::TextWordWrap,
                                             WithPathBreaks(text_));
  // The room of two lines at least, where the label begins to wrap.
  return std::max(wrapped.height(), 2 * metrics.lineSpacing()) + frame.height();
}

QLabel* KzTextGadgetFunctions::Label() const {
  return static_cast<QLabel*>(Gadget->view);
}

void KzTextGadgetFunctions::SetGadgetColor(int32_t type, const QColor& color) {
  if (type == ColorTypeBack) {
    // Only a colour of its own is drawn; otherwise the parent's background shows through.
    SetPaletteColor(Label(), QPalette::Window, color.isValid() ? color : defaultBackgroundColor);
    Label()->setAutoFillBackground(color.isValid());
    return;
  }
  if (type != ColorTypeFront) return;
  // Going back to the default forgets the colour set before, or enabling the label later
  // would bring that colour back.
  FrontColor = color;
  SetPaletteColor(Label(), QPalette::WindowText, color.isValid() ? color : defaultFrontColor);
}

QColor KzTextGadgetFunctions::GetGadgetColor(int32_t type) {
  if (type == ColorTypeBack) return Label()->palette().color(QPalette::Window);
  if (type == ColorTypeFront) return Label()->palette().color(QPalette::WindowText);
  return QColor();
}

void KzTextGadgetFunctions::DisableGadget(int32_t disable) {
  if (disable != 0) {
    SetPaletteColor(Label(), QPalette::WindowText, GreyedTextColor());
    return;
  }
  SetPaletteColor(Label(), QPalette::WindowText,
                  FrontColor.isValid() ? FrontColor : ControlTextColor());
}

void KzTextGadgetFunctions::takeDefaultColors() {
  defaultBackgroundColor = Label()->palette().color(QPalette::Window);
  defaultFrontColor = Label()->palette().color(QPalette::WindowText);
}

int64_t CreateTextGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                         const char16_t* text, int32_t flags) {
  auto* view = new Kz_NSTextField(QRect(x, y, width, height));
  auto* functions = new KzTextGadgetFunctions;
  GadgetRecord* record = functions->setup(number, GadgetTypeText, view, view, flags);
  if (record == nullptr) return AbandonCreation(view, functions);
  view->setTextAsToolTip((flags & TextFlagToolTip) != 0);
  functions->SetGadgetText(StringToQString(text));
  view->setTextInteractionFlags(Qt::NoTextInteraction);
  SetPaletteColor(view, QPalette::Window, ControlColor());
  functions->takeDefaultColors();
  if ((flags & TextFlagBorder) != 0) view->setFrameStyle(QFrame::Box | QFrame::Plain);
  if ((flags & TextFlagRight) != 0) {
    view->setAlignment(Qt::AlignRight | Qt::AlignTop);
  } else if ((flags & TextFlagCenter) != 0) {
    view->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  }
  AddToCurrentView(view);
  return CreationResult(number, record);
}

int32_t TextHeightAtWidth(int64_t gadget, int32_t width) {
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr || record->type != GadgetTypeText) return 0;
  return static_cast<Kz_NSTextField*>(record->view)->heightForText(width);
}

void NameGadgetByLabel(int64_t gadget, int64_t label) {
  const GadgetRecord* named = GadgetExists(gadget);
  const GadgetRecord* naming = GadgetExists(label);
  if (named == nullptr || naming == nullptr) return;
  // Qt names a widget by the label in its parent whose buddy it is.
  if (auto* text_field = dynamic_cast<Kz_NSTextField*>(naming->view)) {
    text_field->setBuddyView(named->view);
  }
}
