#include "gui/gadgets/button_gadget.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QShortcut>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "gui/gadgets/gadgets.h"
#include "gui/windows/kz_window.h"
#include "runtime/qstring_bridge.h"

namespace {

constexpr int RoundedBezelHeight = 25;

// A blocked window keeps its default button from being pressed by Return, as it keeps its
// gadgets from being clicked.
bool AcceptsInput(const QWidget* window) {
  const auto* kz_window = dynamic_cast<const KzWindow*>(window);
  return kz_window == nullptr || kz_window->canBecomeKeyWindow();
}

bool IsReturnKey(const QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  return (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
         modifiers == Qt::NoModifier;
}

}  // namespace

KzButtonGadgetView::KzButtonGadgetView(const QRect& frame) {
  setGeometry(frame);
  // A click leaves the keyboard focus where it is, so that a field being edited does not
  // end its editing because a button was pressed; Tab still reaches the button.
  setFocusPolicy(Qt::TabFocus);
}

void KzButtonGadgetView::setTitle(const QString& title) {
  title_ = title;
  setText(EscapeMnemonics(title));
}

void KzButtonGadgetView::setTitleAlignment(Qt::Alignment alignment) {
  title_alignment_ = alignment;
  update();
}

void KzButtonGadgetView::setBezelStyle(BezelStyle style) {
  bezel_style_ = style;
  if (style == BezelStyle::RegularSquare) setDefault(false);
}

void KzButtonGadgetView::setReturnKeyEquivalent() {
  if (bezel_style_ == BezelStyle::Rounded) setDefault(true);
  // A shortcut, unlike QPushButton's own default handling, works outside dialogs and while
  // another widget has the focus; Qt turns it off while the button is hidden or disabled.
  auto* shortcut = new QShortcut(QKeySequence(Qt::Key_Return), this);
  connect(shortcut, &QShortcut::activated, this, [this] {
    if (AcceptsInput(window())) click();
  });
}

void KzButtonGadgetView::setGadgetFrame(const QRect& frame) {
  if (frame.height() != RoundedBezelHeight && bezel_style_ == BezelStyle::Rounded) {
    setBezelStyle(BezelStyle::RegularSquare);
  }
  setGeometry(frame);
}

int32_t KzButtonGadgetView::intValue() const {
  if (isCheckable()) return isChecked() ? 1 : 0;
  return state_;
}

void KzButtonGadgetView::setIntValue(int32_t value) {
  if (isCheckable()) {
    setChecked(value != 0);
    return;
  }
  state_ = value != 0 ? 1 : 0;
}

void KzButtonGadgetView::setTarget(KzGadgetFunctions* target) {
  disconnect(action_);
  action_ = connect(this, &QPushButton::clicked, target, &KzGadgetFunctions::EventHandler);
}

bool KzButtonGadgetView::event(QEvent* event) {
  // The focused button takes Return before a default button's key equivalent does.
  if (event->type() == QEvent::ShortcutOverride && IsReturnKey(static_cast<QKeyEvent*>(event))) {
    event->accept();
    return true;
  }
  return QPushButton::event(event);
}

void KzButtonGadgetView::keyPressEvent(QKeyEvent* event) {
  // QPushButton takes Return only as the default button of a dialog.
  if (!IsReturnKey(event) || event->isAutoRepeat()) {
    QPushButton::keyPressEvent(event);
    return;
  }
  if (AcceptsInput(window())) click();
}

void KzButtonGadgetView::paintEvent(QPaintEvent* event) {
  if (title_alignment_ == Qt::AlignHCenter) {
    QPushButton::paintEvent(event);
    return;
  }
  // QPushButton always centres its text: the bevel is drawn without it and the title on top.
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text.clear();
  painter.drawControl(QStyle::CE_PushButton, option);
  const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this) / 2;
  const QRect contents = style()
                             ->subElementRect(QStyle::SE_PushButtonContents, &option, this)
                             .adjusted(margin, 0, -margin, 0);
  painter.drawItemText(contents, static_cast<int>(title_alignment_ | Qt::AlignVCenter), palette(),
                       isEnabled(), title_, QPalette::ButtonText);
}

int64_t CreateButtonGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                           const char16_t* text, int32_t flags) {
  auto* view = new KzButtonGadgetView(QRect(x, y, width, height));
  auto* functions = new KzButtonGadgetFunctions;
  GadgetRecord* record = functions->setup(number, GadgetTypeButton, view, view, flags);
  if (record == nullptr) return AbandonCreation(view, functions);
  view->setTitle(StringToQString(text));
  view->setCheckable((flags & ButtonFlagToggle) != 0);
  if ((flags & ButtonFlagLeft) != 0) {
    view->setTitleAlignment(Qt::AlignLeft);
  } else if ((flags & ButtonFlagRight) != 0) {
    view->setTitleAlignment(Qt::AlignRight);
  }
  if (height == RoundedBezelHeight) {
    view->setBezelStyle(KzButtonGadgetView::BezelStyle::Rounded);
    if ((flags & ButtonFlagDefault) != 0) view->setReturnKeyEquivalent();
  }
  AddToCurrentView(view);
  return CreationResult(number, record);
}
