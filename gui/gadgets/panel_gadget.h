// Panel gadgets: tab panels whose items each hold gadgets. Creating a panel makes "no view"
// the current gadget view; each AddGadgetItem makes the new item's page the place where the
// following gadgets go, and EndGadgetList returns to the view current before the panel.
// Selecting a tab posts SubtypeChange; setting the panel's frame posts SubtypeResize.
#pragma once

#include <QRect>
#include <QString>
#include <QTabWidget>
#include <cstdint>

#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"

class KzDisabledView;
class KzPanelGadgetFunctions;

// Gadget attributes of panels: the item area's width, height and top (the room the tabs take).
inline constexpr int32_t PanelAttributeItemWidth = 1;
inline constexpr int32_t PanelAttributeItemHeight = 2;
inline constexpr int32_t PanelAttributeItemY = 3;
// Gadget item attribute of panels: non-zero disables the item, its tab and its page; a
// disabled item cannot be selected, so the panel stays on its other items.
inline constexpr int32_t PanelItemAttributeDisabled = 1;

// OpenGadgetList's item that opens an empty entry: gadgets go nowhere until EndGadgetList.
inline constexpr int32_t PanelNoItem = -2;

class KzTabView final : public KzGadgetViewOf<QTabWidget> {
 public:
  explicit KzTabView(const QRect& frame);

  void setFunctions(KzPanelGadgetFunctions* functions) { Functions = functions; }
  // Posts SubtypeResize after the frame is set.
  void setGadgetFrame(const QRect& frame) override;
  // The area the item pages fill, within the panel. Taken from the style, so that it is right
  // also before the panel is first shown, while Qt has not laid it out yet.
  QRect contentRect() const;

 private:
  KzPanelGadgetFunctions* Functions = nullptr;
};

// Item indexes count from 0. Operations on an index outside the items do nothing and read
// as 0 or the empty string.
class KzPanelGadgetFunctions final : public KzGadgetFunctions {
 public:
  // A selection posts SubtypeChange; a panel left without items has none to report.
  void didSelectTabViewItem(int index);

  // A tab panel is no control: disabling lays a transparent overlay over it that swallows
  // every click on it and on the gadgets in it. Twice keeps one overlay.
  void DisableGadget(int32_t disable) override;
  // Inserts at position when that is an existing index, else appends; the new page becomes
  // the current gadget view. Image and flags are ignored. Returns the page's address.
  int64_t AddGadgetItem(int32_t position, const QString& text, const QImage* image,
                        int32_t flags) override;
  // The page and the gadgets in it go away.
  void RemoveGadgetItem(int32_t item) override;
  void ClearGadgetItems() override;
  int64_t CountGadgetItems() override;
  // A negative item selects the first one.
  void SetGadgetState(int32_t item) override;
  // The selected item, -1 for none.
  int64_t GetGadgetState() override;
  void SetGadgetItemText(int32_t item, const QString& text, int32_t column) override;
  QString GetGadgetItemText(int32_t item, int32_t column) override;
  int64_t GetGadgetAttribute(int32_t attribute) override;
  void SetGadgetItemAttribute(int32_t item, int32_t attribute, int64_t value,
                              int32_t column) override;
  int64_t GetGadgetItemAttribute(int32_t item, int32_t attribute, int32_t column) override;
  void SetGadgetItemData(int32_t item, int64_t value) override;
  int64_t GetGadgetItemData(int32_t item) override;
  // Pushes the item's page as the current gadget view; PanelNoItem, and an index without an
  // item, push an empty entry, so that the EndGadgetList that follows stays balanced.
  void OpenGadgetList(int32_t item) override;
  // The tab labels' font; the gadgets on the pages keep theirs.
  std::optional<QFont> GetGadgetFont() override;
  void SetGadgetFont(const QFont& font) override;
  // The pages leave the gadget lists, which must not place gadgets on them once they are gone.
  void FreeGadget() override;

 private:
  // Also used while Qt destroys the view, when only its QTabWidget part is left.
  QTabWidget* Tabs() const;
  bool IsItem(int32_t item) const;

  KzDisabledView* DisabledView = nullptr;
};

// Returns the handle for AnyObject, else the view's address; 0 on failure.
int64_t CreatePanelGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height);
