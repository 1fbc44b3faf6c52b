#include "gui/gadgets/gadgets.h"

#include <QApplication>
#include <QWidget>
#include <vector>

#include "gui/events/event_queue.h"
#include "gui/gadgets/drag_drop.h"
#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"
#include "gui/windows/gadget_list.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"
#include "runtime/qstring_bridge.h"

namespace {

KzGadgetFunctions* FunctionsOf(int64_t gadget) {
  GadgetRecord* record = GadgetExists(gadget);
  return record != nullptr ? record->functions : nullptr;
}

}  // namespace

void InitGadgets() {
  if (GadgetTable != nullptr) return;
  GadgetTable = NewObjectTable(sizeof(GadgetRecord), 16, &FreeGadget);
  WindowModuleHooks.free_window_gadgets = &FreeWindowGadgets;
  InitDragDrop();
}

void ReleaseGadgetsWithin(QWidget* root) {
  for (QWidget* widget : root->findChildren<QWidget*>()) {
    KzGadgetView* view = AsGadgetView(widget);
    if (view == nullptr || view->alreadyDestroyed()) continue;
    const GadgetRecord* record = GadgetExists(view->tag());
    if (record != nullptr && record->view == widget) ReleaseGadget(view->tag());
  }
}

void FreeWindowGadgets(int64_t window) {
  if (GadgetTable == nullptr) return;
  std::vector<int64_t> gadgets;
  int64_t gadget = 0;
  ResetObjectEnumeration(GadgetTable);
  while (auto* record = static_cast<GadgetRecord*>(NextObject(GadgetTable, &gadget))) {
    if (record->window == window) gadgets.push_back(gadget);
  }
  for (int64_t number : gadgets) {
    const GadgetRecord* record = GadgetExists(number);
    if (record == nullptr) continue;
    QWidget* container = record->container;
    ReleaseGadget(number);
    // Only a view placed nowhere does not go with the window.
    if (container->parentWidget() == nullptr) container->deleteLater();
  }
}

void FreeGadget(int64_t gadget) {
  if (GadgetTable == nullptr) return;
  if (gadget == AnyObject) {
    FreeAllObjects(GadgetTable);
    return;
  }
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return;
  QWidget* container = record->container;
  // Deleting now is unsafe: the release may come from inside the view's own signal. Hidden,
  // the view is out of its window at once.
  container->hide();
  container->deleteLater();
  ReleaseGadgetsWithin(container);
  // Hiding a focused field posts its lost focus, whose callbacks may have freed the gadget
  // and even reused its number.
  record = GadgetExists(gadget);
  if (record != nullptr && record->container == container) ReleaseGadget(gadget);
}

void ActivateGadget(int64_t gadget) {
  if (gadget == AnyObject) {
    QWidget* window = QApplication::activeWindow();
    QWidget* focus = window != nullptr ? window->focusWidget() : nullptr;
    if (focus != nullptr) focus->clearFocus();
    return;
  }
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return;
  const WindowRecord* window = WindowExists(record->window);
  if (window == nullptr || window->blocker != nullptr) return;
  record->functions->ActivateGadget();
}

void BindGadgetHandler(int64_t gadget, EventCallback callback, int64_t subtype) {
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return;
  BindObjectHandler(EvGadgetNotify, callback, record->window, gadget, subtype);
}

void UnbindGadgetHandler(int64_t gadget, EventCallback callback, int64_t subtype) {
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return;
  UnbindObjectHandler(EvGadgetNotify, callback, record->window, gadget, subtype);
}

void EndGadgetList() {
  if (KzGadgetList* list = KzGadgetList::currentList()) list->pop();
}

void GadgetToolTip(int64_t gadget, const char16_t* text) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->GadgetToolTip(StringToQString(text));
  }
}

void GadgetAccessibleName(int64_t gadget, const char16_t* text) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->GadgetAccessibleName(StringToQString(text));
  }
}

void HideGadget(int64_t gadget, int32_t hide) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->HideGadget(hide);
}

void DisableGadget(int64_t gadget, int32_t disable) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->DisableGadget(disable);
}

int64_t GadgetX(int64_t gadget, int32_t mode) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GadgetX(mode) : 0;
}

int64_t GadgetY(int64_t gadget, int32_t mode) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GadgetY(mode) : 0;
}

int64_t GadgetWidth(int64_t gadget) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GadgetWidth() : 0;
}

int64_t GadgetHeight(int64_t gadget) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GadgetHeight() : 0;
}

void ResizeGadget(int64_t gadget, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->ResizeGadget(x, y, width, height);
  }
}

void SetGadgetFont(int64_t gadget, const QFont& font) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->SetGadgetFont(font);
}

std::optional<QFont> GetGadgetFont(int64_t gadget) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetFont() : std::nullopt;
}

int64_t AddGadgetItem(int64_t gadget, int32_t position, const char16_t* text, const QImage* image,
                      int32_t flags) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  if (functions == nullptr) return 0;
  return functions->AddGadgetItem(position, StringToQString(text), image, flags);
}

void RemoveGadgetItem(int64_t gadget, int32_t item) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->RemoveGadgetItem(item);
}

void ClearGadgetItems(int64_t gadget) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->ClearGadgetItems();
}

int64_t CountGadgetItems(int64_t gadget) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->CountGadgetItems() : 0;
}

void AddGadgetColumn(int64_t gadget, int32_t position, const char16_t* title, int32_t width) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->AddGadgetColumn(position, StringToQString(title), width);
  }
}

void RemoveGadgetColumn(int64_t gadget, int32_t column) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->RemoveGadgetColumn(column);
}

void SetGadgetState(int64_t gadget, int32_t state) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->SetGadgetState(state);
}

int64_t GetGadgetState(int64_t gadget) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetState() : 0;
}

void SetGadgetItemState(int64_t gadget, int32_t item, int32_t state) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetItemState(item, state);
  }
}

int64_t GetGadgetItemState(int64_t gadget, int32_t item) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetItemState(item) : 0;
}

void SetGadgetItemImage(int64_t gadget, int32_t item, const QImage* image) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetItemImage(item, image);
  }
}

void SetGadgetText(int64_t gadget, const char16_t* text) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetText(StringToQString(text));
  }
}

char16_t* GetGadgetText(int64_t gadget, StringResultPosition p) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  if (functions == nullptr) return SetEmptyStringResult(p);
  return QStringToStringStackResult(functions->GetGadgetText(), p);
}

void SetGadgetItemText(int64_t gadget, int32_t item, const char16_t* text, int32_t column) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetItemText(item, StringToQString(text), column);
  }
}

char16_t* GetGadgetItemText(int64_t gadget, int32_t item, int32_t column, StringResultPosition p) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  if (functions == nullptr) return SetEmptyStringResult(p);
  return QStringToStringStackResult(functions->GetGadgetItemText(item, column), p);
}

void SetGadgetAttribute(int64_t gadget, int32_t attribute, int64_t value) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetAttribute(attribute, value);
  }
}

int64_t GetGadgetAttribute(int64_t gadget, int32_t attribute) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetAttribute(attribute) : 0;
}

void SetGadgetItemAttribute(int64_t gadget, int32_t item, int32_t attribute, int64_t value,
                            int32_t column) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetItemAttribute(item, attribute, value, column);
  }
}

int64_t GetGadgetItemAttribute(int64_t gadget, int32_t item, int32_t attribute, int32_t column) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetItemAttribute(item, attribute, column) : 0;
}

void SetGadgetColor(int64_t gadget, int32_t type, const QColor& color) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->SetGadgetColor(type, color);
}

QColor GetGadgetColor(int64_t gadget, int32_t type) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetColor(type) : QColor();
}

void SetGadgetItemColor(int64_t gadget, int32_t item, int32_t type, const QColor& color,
                        int32_t column) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetItemColor(item, type, color, column);
  }
}

QColor GetGadgetItemColor(int64_t gadget, int32_t item, int32_t type, int32_t column) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetItemColor(item, type, column) : QColor();
}

void SetGadgetItemData(int64_t gadget, int32_t item, int64_t value) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) {
    functions->SetGadgetItemData(item, value);
  }
}

int64_t GetGadgetItemData(int64_t gadget, int32_t item) {
  KzGadgetFunctions* functions = FunctionsOf(gadget);
  return functions != nullptr ? functions->GetGadgetItemData(item) : 0;
}

void OpenGadgetList(int64_t gadget, int32_t item) {
  if (KzGadgetFunctions* functions = FunctionsOf(gadget)) functions->OpenGadgetList(item);
}
