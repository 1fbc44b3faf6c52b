#include "gui/gadgets/combo_box_gadget.h"

#include <QStandardItemModel>

#include "gui/gadgets/gadgets.h"
#include "runtime/qstring_bridge.h"

namespace {

// The model's item at index, null when there is none. A QComboBox keeps its items in a
// QStandardItemModel unless it is given another model, which these never are.
QStandardItem* ItemOf(const QComboBox* box, int32_t index) {
  auto* model = qobject_cast<QStandardItemModel*>(box->model());
  if (model == nullptr || index < 0 || index >= box->count()) return nullptr;
  return model->item(index);
}

}  // namespace

KzComboBoxView::KzComboBoxView(const QRect& frame) {
  setGeometry(frame);
}

void KzComboBoxView::setStringValue(const QString& value) {
  const int index = findText(value);
  if (index >= 0) setCurrentIndex(index);
}

void KzComboBoxView::setIntValue(int32_t value) {
  setCurrentIndex(value >= -1 && value < count() ? value : -1);
}

void KzComboBoxView::setTarget(KzGadgetFunctions* target) {
  disconnect(action_);
  // activated, unlike currentIndexChanged, comes only from the user.
  action_ = connect(this, &QComboBox::activated, target, &KzGadgetFunctions::EventHandler);
}

void KzComboBoxGadgetFunctions::EventHandler() {
  SendEvent(SubtypeChange);
}

QComboBox* KzComboBoxGadgetFunctions::Box() const {
  return gadget() == nullptr ? nullptr : qobject_cast<QComboBox*>(gadget()->view);
}

int64_t KzComboBoxGadgetFunctions::AddGadgetItem(int32_t position, const QString& text,
                                                 const QImage*, int32_t) {
  QComboBox* box = Box();
  if (box == nullptr) return -1;
  const int index = position < 0 || position > box->count() ? box->count() : position;
  box->insertItem(index, text);
  return index;
}

void KzComboBoxGadgetFunctions::RemoveGadgetItem(int32_t item) {
  if (QComboBox* box = Box()) box->removeItem(item);
}

void KzComboBoxGadgetFunctions::ClearGadgetItems() {
  if (QComboBox* box = Box()) box->clear();
}

int64_t KzComboBoxGadgetFunctions::CountGadgetItems() {
  const QComboBox* box = Box();
  return box == nullptr ? 0 : box->count();
}

QString KzComboBoxGadgetFunctions::GetGadgetItemText(int32_t item, int32_t) {
  const QComboBox* box = Box();
  return box == nullptr ? QString() : box->itemText(item);
}

void KzComboBoxGadgetFunctions::SetGadgetItemAttribute(int32_t item, int32_t attribute,
                                                       int64_t value, int32_t) {
  QStandardItem* entry = ItemOf(Box(), item);
  if (entry == nullptr || attribute != ComboItemAttributeDisabled) return;
  entry->setEnabled(value == 0);
}

int64_t KzComboBoxGadgetFunctions::GetGadgetItemAttribute(int32_t item, int32_t attribute,
                                                          int32_t) {
  const QStandardItem* entry = ItemOf(Box(), item);
  if (entry == nullptr || attribute != ComboItemAttributeDisabled) return 0;
  return entry->isEnabled() ? 0 : 1;
}

int64_t CreateComboBoxGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                             int32_t flags) {
  auto* view = new KzComboBoxView(QRect(x, y, width, height));
  auto* functions = new KzComboBoxGadgetFunctions;
  GadgetRecord* record = functions->setup(number, GadgetTypeComboBox, view, view, flags);
  if (record == nullptr) return AbandonCreation(view, functions);
  AddToCurrentView(view);
  return CreationResult(number, record);
}

void SetGadgetItemToolTip(int64_t gadget, int32_t item, const char16_t* text) {
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr || record->type != GadgetTypeComboBox) return;
  if (QStandardItem* entry = ItemOf(static_cast<QComboBox*>(record->view), item)) {
    entry->setToolTip(StringToQString(text));
  }
}
