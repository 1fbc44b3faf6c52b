// Combo box gadgets: a closed list from which the user picks one item. The state is the
// chosen item's index (-1 for none) and the text its title. A choice the user makes posts
// SubtypeChange; a state the program sets posts nothing.
#pragma once

#include <QComboBox>
#include <QString>
#include <cstdint>

#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"

inline constexpr int32_t GadgetTypeComboBox = 9;

// Item attribute of combo boxes: nonzero greys the item out, and the user cannot choose it.
inline constexpr int32_t ComboItemAttributeDisabled = 1;

class KzComboBoxView final : public KzGadgetViewOf<QComboBox>, public KzControl {
 public:
  explicit KzComboBoxView(const QRect& frame);

  QString stringValue() const override { return currentText(); }
  // Chooses the first item of that title; nothing for a title no item has.
  void setStringValue(const QString& value) override;
  int32_t intValue() const override { return currentIndex(); }
  void setIntValue(int32_t value) override;
  // The action is the user's choice.
  void setTarget(KzGadgetFunctions* target) override;

 private:
  QMetaObject::Connection action_;
};

class KzComboBoxGadgetFunctions final : public KzGadgetFunctions {
 public:
  // SubtypeChange.
  void EventHandler() override;
  // Position -1 appends; the result is the new item's index, -1 when it could not be added.
  int64_t AddGadgetItem(int32_t position, const QString& text, const QImage* image,
                        int32_t flags) override;
  void RemoveGadgetItem(int32_t item) override;
  void ClearGadgetItems() override;
  int64_t CountGadgetItems() override;
  QString GetGadgetItemText(int32_t item, int32_t column) override;
  void SetGadgetItemAttribute(int32_t item, int32_t attribute, int64_t value,
                              int32_t column) override;
  int64_t GetGadgetItemAttribute(int32_t item, int32_t attribute, int32_t column) override;

 private:
  QComboBox* Box() const;
};

// Returns the handle for AnyObject, else the view's address; 0 on failure.
int64_t CreateComboBoxGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                             int32_t flags = 0);

// The tooltip of one item, which says, say, why it cannot be chosen. Nothing for an unknown
// gadget or item.
void SetGadgetItemToolTip(int64_t gadget, int32_t item, const char16_t* text);
