#include "gui/gadgets/splitter_gadget.h"

#include <QMouseEvent>
#include <algorithm>

#include "gui/gadgets/gadgets.h"
#include "gui/windows/window_views.h"

namespace {

// The gadget in a half is the half's first child; an empty half has none.
QWidget* FirstSubview(QWidget* half) {
  return half->findChild<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
}

// Reparenting hides a widget: one that the program did not hide is shown again, unless it
// is left without a parent and would show up as a window of its own.
void MoveInto(QWidget* view, QWidget* parent) {
  const bool hidden_by_program =
      view->testAttribute(Qt::WA_WState_ExplicitShowHide) && view->isHidden();
  view->setParent(parent);
  if (parent != nullptr && !hidden_by_program) view->show();
}

int Along(Qt::Orientation orientation, QSize size) {
  return orientation == Qt::Horizontal ? size.width() : size.height();
}

}  // namespace

KzSplitterView::KzSplitterView(const QRect& frame) {
  setGeometry(frame);
  // Halves never collapse, and they follow the divider while it is dragged.
  setChildrenCollapsible(false);
  setOpaqueResize(true);
}

void KzSplitterView::setGadgetFrame(const QRect& frame) {
  KzSplitterGadgetFunctions* functions = this->functions();
  if (functions == nullptr) {
    setGeometry(frame);
    return;
  }
  const int64_t position = functions->GetGadgetState();
  const int64_t second = functions->secondHalfExtent();
  const int32_t flags = functions->gadget()->flags;
  setGeometry(frame);
  adjustSubviews();
  // The action's callbacks may have freed the splitter or closed its window.
  if (!functions->splitViewDidResizeSubviews()) return;
  if ((flags & SplitterFlagKeepFirst) != 0) {
    functions->SetGadgetState(static_cast<int32_t>(position));
  } else if ((flags & SplitterFlagKeepSecond) != 0) {
    const int64_t total = Along(orientation(), size());
    functions->SetGadgetState(static_cast<int32_t>(total - dividerThickness() - second));
  }
  update();
}

QSplitterHandle* KzSplitterView::createHandle() {
  return new KzSplitterHandle(orientation(), this);
}

KzSplitterHandle::KzSplitterHandle(Qt::Orientation orientation, KzSplitterView* splitter)
    : QSplitterHandle(orientation, splitter) {}

int KzSplitterHandle::Pick(const QPoint& point) const {
  return orientation() == Qt::Horizontal ? point.x() : point.y();
}

void KzSplitterHandle::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) press_offset_ = Pick(event->position().toPoint());
  QSplitterHandle::mousePressEvent(event);
}

// QSplitterHandle's own move, with the halves' minimum sizes applied before the move.
void KzSplitterHandle::mouseMoveEvent(QMouseEvent* event) {
  if ((event->buttons() & Qt::LeftButton) == 0) return;
  auto* view = static_cast<KzSplitterView*>(splitter());
  int position = Pick(view->mapFromGlobal(event->globalPosition().toPoint())) - press_offset_;
  if (const KzSplitterGadgetFunctions* functions = view->functions()) {
    // When the minimums leave no room, the first half's minimum wins.
    position = std::max(std::min(position, functions->constrainMaxCoordinate()),
                        functions->constrainMinCoordinate());
  }
  moveSplitter(position);
}

void KzSplitterGadgetFunctions::attach(KzSplitterView* splitter, QWidget* first_view,
                                       QWidget* second_view) {
  Splitter = splitter;
  FirstView = first_view;
  SecondView = second_view;
}

bool KzSplitterGadgetFunctions::placeGadget(int64_t gadget, bool first) {
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return false;
  QWidget* container = record->container;
  if (container == Splitter || container->isAncestorOf(Splitter)) return false;
  QWidget* half = first ? FirstView : SecondView;
  QWidget* current = FirstSubview(half);
  if (current != container) {
    if (current != nullptr) MoveInto(current, Splitter->parentWidget());
    MoveInto(container, half);
  }
  // A gadget taken from the other half leaves that half empty.
  int64_t& other = first ? SecondGadgetID : FirstGadgetID;
  if (other == gadget) other = 0;
  (first ? FirstGadgetID : SecondGadgetID) = gadget;
  return true;
}

void KzSplitterGadgetFunctions::resizeView(QWidget* half) {
  QWidget* content = FirstSubview(half);
  if (content == nullptr) return;
  // A panel fills its half like any gadget: Qt's tab widget draws its frame right up to its
  // edges, so it needs no room around it.
  const QRect frame(QPoint(), half->size());
  if (KzGadgetView* view = AsGadgetView(content)) {
    view->setGadgetFrame(frame);
  } else {
    content->setGeometry(frame);
  }
}

int KzSplitterGadgetFunctions::Extent() const {
  return Along(Splitter->orientation(), Splitter->size());
}

int64_t KzSplitterGadgetFunctions::GetGadgetState() {
  return Along(Splitter->orientation(), FirstView->size());
}

int64_t KzSplitterGadgetFunctions::secondHalfExtent() const {
  return Along(Splitter->orientation(), SecondView->size());
}

void KzSplitterGadgetFunctions::SetGadgetState(int32_t position) {
  if (position != GetGadgetState()) Splitter->setDividerPosition(position);
}

void KzSplitterGadgetFunctions::SetGadgetAttribute(int32_t attribute, int64_t value) {
  switch (attribute) {
    case SplitterAttributeFirstMinimum:
      FirstMinimumSize = value;
      return;
    case SplitterAttributeSecondMinimum:
      SecondMinimumSize = value;
      return;
    case SplitterAttributeFirstGadget:
      if (placeGadget(value, true)) resizeView(FirstView);
      return;
    case SplitterAttributeSecondGadget:
      if (placeGadget(value, false)) resizeView(SecondView);
      return;
    default:
      return;
  }
}

int64_t KzSplitterGadgetFunctions::GetGadgetAttribute(int32_t attribute) {
  switch (attribute) {
    case SplitterAttributeFirstMinimum:
      return FirstMinimumSize;
    case SplitterAttributeSecondMinimum:
      return SecondMinimumSize;
    case SplitterAttributeFirstGadget:
      return FirstGadgetID;
    case SplitterAttributeSecondGadget:
      return SecondGadgetID;
    default:
      return 0;
  }
}

int KzSplitterGadgetFunctions::constrainMinCoordinate() const {
  return static_cast<int>(FirstMinimumSize);
}

int KzSplitterGadgetFunctions::constrainMaxCoordinate() const {
  return static_cast<int>(Extent() - Splitter->dividerThickness() - SecondMinimumSize);
}

bool KzSplitterGadgetFunctions::splitViewDidResizeSubviews() {
  resizeView(FirstView);
  resizeView(SecondView);
  return SendEvent(SubtypeAction);
}

int64_t CreateSplitterGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                             int64_t first, int64_t second, int32_t flags) {
  auto* view = new KzSplitterView(QRect(x, y, width, height));
  auto* functions = new KzSplitterGadgetFunctions;
  GadgetRecord* record = functions->setup(number, GadgetTypeSplitter, view, view, flags);
  if (record == nullptr) return AbandonCreation(view, functions);
  view->setFunctions(functions);
  QObject::connect(view, &QSplitter::splitterMoved, functions,
                   &KzSplitterGadgetFunctions::splitViewDidResizeSubviews);
  view->setOrientation((flags & SplitterFlagVertical) != 0 ? Qt::Horizontal : Qt::Vertical);
  auto* first_view = new Kz_NSFlippedView;
  auto* second_view = new Kz_NSFlippedView;
  view->addWidget(first_view);
  view->addWidget(second_view);
  functions->attach(view, first_view, second_view);
  functions->placeGadget(first, true);
  functions->placeGadget(second, false);
  AddToCurrentView(view);
  view->adjustSubviews();
  // Taken before the creation's action, whose callbacks may free the gadget and its record.
  const int64_t result = CreationResult(number, record);
  functions->splitViewDidResizeSubviews();
  return result;
}
