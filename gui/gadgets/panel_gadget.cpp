#include "gui/gadgets/panel_gadget.h"

#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>
#include <QVariant>

#include "gui/gadgets/gadgets.h"
#include "gui/windows/gadget_list.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/window_views.h"

namespace {

// The overlay's size: larger than any panel it has to cover.
constexpr int OverlayExtent = 4096;

// The page may be removed from inside a signal of a gadget on it, so it is deleted later;
// the gadgets on it are released now.
void DiscardPage(QWidget* page) {
  KzGadgetList::forgetView(page);
  page->hide();
  ReleaseGadgetsWithin(page);
  page->deleteLater();
}

}  // namespace

KzTabView::KzTabView(const QRect& frame) {
  setGeometry(frame);
}

void KzTabView::setGadgetFrame(const QRect& frame) {
  setGeometry(frame);
  if (!alreadyDestroyed() && Functions != nullptr) Functions->SendEvent(SubtypeResize);
}

QRect KzTabView::contentRect() const {
  QStyleOptionTabWidgetFrame option;
  initStyleOption(&option);
  return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this);
}

QTabWidget* KzPanelGadgetFunctions::Tabs() const {
  return static_cast<QTabWidget*>(Gadget->view);
}

bool KzPanelGadgetFunctions::IsItem(int32_t item) const {
  return item >= 0 && item < Tabs()->count();
}

void KzPanelGadgetFunctions::didSelectTabViewItem(int index) {
  if (index >= 0) SendEvent(SubtypeChange);
}

void KzPanelGadgetFunctions::DisableGadget(int32_t disable) {
  if (disable == 0) {
    // The overlay's handlers never call out, so it cannot be inside one of them now.
    delete DisabledView;
    DisabledView = nullptr;
    return;
  }
  if (DisabledView != nullptr) return;
  DisabledView = new KzDisabledView(Tabs());
  DisabledView->setGeometry(0, 0, OverlayExtent, OverlayExtent);
  DisabledView->raise();
  DisabledView->show();
}

int64_t KzPanelGadgetFunctions::AddGadgetItem(int32_t position, const QString& text, const QImage*,
                                              int32_t) {
  auto* page = new Kz_NSFlippedView;
  if (IsItem(position)) {
    Tabs()->insertTab(position, page, EscapeMnemonics(text));
  } else {
    Tabs()->addTab(page, EscapeMnemonics(text));
  }
  // The first item is selected as it comes, and the callbacks of that change may have freed
  // the panel: its page, about to go with it, must not take the gadgets that follow.
  if (Gadget == nullptr) return 0;
  if (KzGadgetList* list = KzGadgetList::currentList()) list->set(page);
  return reinterpret_cast<int64_t>(page);
}

void KzPanelGadgetFunctions::RemoveGadgetItem(int32_t item) {
  if (!IsItem(item)) return;
  QWidget* page = Tabs()->widget(item);
  Tabs()->removeTab(item);
  DiscardPage(page);
}

void KzPanelGadgetFunctions::ClearGadgetItems() {
  while (Tabs()->count() > 0)
    RemoveGadgetItem(0);
}

int64_t KzPanelGadgetFunctions::CountGadgetItems() {
  return Tabs()->count();
}

void KzPanelGadgetFunctions::SetGadgetState(int32_t item) {
  if (Tabs()->count() == 0) return;
  if (item < 0) {
    Tabs()->setCurrentIndex(0);
    return;
  }
  if (IsItem(item)) Tabs()->setCurrentIndex(item);
}

int64_t KzPanelGadgetFunctions::GetGadgetState() {
  return Tabs()->currentIndex();
}

void KzPanelGadgetFunctions::SetGadgetItemText(int32_t item, const QString& text, int32_t) {
  if (IsItem(item)) Tabs()->setTabText(item, EscapeMnemonics(text));
}

QString KzPanelGadgetFunctions::GetGadgetItemText(int32_t item, int32_t) {
  if (!IsItem(item)) return QString();
  return UnescapeMnemonics(Tabs()->tabText(item));
}

int64_t KzPanelGadgetFunctions::GetGadgetAttribute(int32_t attribute) {
  // Qt lays every page over the whole item area, so the selected page's frame and the item
  // area are one rectangle, with or without a selection.
  const QRect area = static_cast<KzTabView*>(Gadget->view)->contentRect();
  switch (attribute) {
    case PanelAttributeItemWidth:
      return area.width();
    case PanelAttributeItemHeight:
      return area.height();
    case PanelAttributeItemY:
      return area.y();
    default:
      return 0;
  }
}

void KzPanelGadgetFunctions::SetGadgetItemAttribute(int32_t item, int32_t attribute, int64_t value,
                                                    int32_t) {
  if (attribute == PanelItemAttributeDisabled && IsItem(item)) {
    Tabs()->setTabEnabled(item, value == 0);
  }
}

int64_t KzPanelGadgetFunctions::GetGadgetItemAttribute(int32_t item, int32_t attribute, int32_t) {
  if (attribute != PanelItemAttributeDisabled || !IsItem(item)) return 0;
  return Tabs()->isTabEnabled(item) ? 0 : 1;
}

void KzPanelGadgetFunctions::SetGadgetItemData(int32_t item, int64_t value) {
  if (IsItem(item)) Tabs()->tabBar()->setTabData(item, QVariant::fromValue<qint64>(value));
}

int64_t KzPanelGadgetFunctions::GetGadgetItemData(int32_t item) {
  if (!IsItem(item)) return 0;
  return Tabs()->tabBar()->tabData(item).toLongLong();
}

void KzPanelGadgetFunctions::OpenGadgetList(int32_t item) {
  KzGadgetList* list = KzGadgetList::currentList();
  if (list == nullptr) return;
  if (IsItem(item)) {
    list->push(Tabs()->widget(item));
    return;
  }
  list->pushNoView();
}

std::optional<QFont> KzPanelGadgetFunctions::GetGadgetFont() {
  return Tabs()->tabBar()->font();
}

void KzPanelGadgetFunctions::SetGadgetFont(const QFont& font) {
  Tabs()->tabBar()->setFont(font);
}

void KzPanelGadgetFunctions::FreeGadget() {
  QTabWidget* tabs = Tabs();
  for (int i = 0; i < tabs->count(); ++i)
    KzGadgetList::forgetView(tabs->widget(i));
  // The overlay is the panel's child and goes with it.
  DisabledView = nullptr;
}

int64_t CreatePanelGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height) {
  auto* view = new KzTabView(QRect(x, y, width, height));
  auto* functions = new KzPanelGadgetFunctions;
  GadgetRecord* record = functions->setup(number, GadgetTypePanel, view, view, 0);
  if (record == nullptr) return AbandonCreation(view, functions);
  view->setFunctions(functions);
  // Labels that do not fit are shortened.
  view->setElideMode(Qt::ElideRight);
  QObject::connect(view, &QTabWidget::currentChanged, functions,
                   &KzPanelGadgetFunctions::didSelectTabViewItem);
  AddToCurrentView(view);
  if (KzGadgetList* list = KzGadgetList::currentList()) list->pushNoView();
  return CreationResult(number, record);
}
