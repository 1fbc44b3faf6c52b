#include "gui/gadgets/panel_gadget.h"

#include <gtest/gtest.h>

#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <string>
#include <vector>

#include "gui/gadgets/button_gadget.h"
#include "gui/gadgets/gadget_test_support.h"
#include "gui/gadgets/string_gadget.h"
#include "gui/windows/gadget_list.h"

namespace {

class PanelGadgetTest : public GadgetTest {
 protected:
  // Panel 1 with the given items, its gadget list ended.
  static KzTabView* Panel(std::initializer_list<const char16_t*> items) {
    CreatePanelGadget(1, 10, 10, 400, 250);
    for (const char16_t* item : items)
      AddGadgetItem(1, -1, item);
    EndGadgetList();
    return ViewOf<KzTabView>(1);
  }

  static std::u16string ItemText(int32_t item) {
    StringMark mark;
    return std::u16string(GetGadgetItemText(1, item, 0, mark.Offset()));
  }
};

TEST_F(PanelGadgetTest, StateIsMinusOneWithoutSelectionAndMinusOneSelectsTheFirst) {
  Panel({});
  EXPECT_EQ(GetGadgetState(1), -1);

  AddGadgetItem(1, -1, u"A");
  AddGadgetItem(1, -1, u"B");
  AddGadgetItem(1, -1, u"C");
  EndGadgetList();
  SetGadgetState(1, 2);
  EXPECT_EQ(GetGadgetState(1), 2);
  SetGadgetState(1, 7);
  EXPECT_EQ(GetGadgetState(1), 2);
  SetGadgetState(1, -1);
  EXPECT_EQ(GetGadgetState(1), 0);
}

TEST_F(PanelGadgetTest, PositionZeroInsertsInFrontAndOthersOutsideAppend) {
  Panel({u"B"});
  AddGadgetItem(1, 0, u"A");
  AddGadgetItem(1, 9, u"C");
  AddGadgetItem(1, -1, u"D");
  EndGadgetList();

  EXPECT_EQ(CountGadgetItems(1), 4);
  EXPECT_EQ(ItemText(0), u"A");
  EXPECT_EQ(ItemText(1), u"B");
  EXPECT_EQ(ItemText(2), u"C");
  EXPECT_EQ(ItemText(3), u"D");
}

TEST_F(PanelGadgetTest, GadgetsGoToTheLatestItemUntilEndGadgetList) {
  CreatePanelGadget(1, 10, 10, 400, 250);
  CreateButtonGadget(2, 0, 0, 80, 25, u"Before any item");
  const int64_t first = AddGadgetItem(1, -1, u"One");
  CreateButtonGadget(3, 0, 0, 80, 25, u"In one");
  const int64_t second = AddGadgetItem(1, -1, u"Two");
  CreateButtonGadget(4, 0, 0, 80, 25, u"In two");
  EndGadgetList();
  CreateButtonGadget(5, 0, 0, 80, 25, u"In the window");

  EXPECT_EQ(ViewOf<QWidget>(2)->parentWidget(), nullptr);
  EXPECT_EQ(reinterpret_cast<int64_t>(ViewOf<QWidget>(3)->parentWidget()), first);
  EXPECT_EQ(reinterpret_cast<int64_t>(ViewOf<QWidget>(4)->parentWidget()), second);
  EXPECT_EQ(ViewOf<QWidget>(5)->parentWidget(), Window()->contentView());
}

TEST_F(PanelGadgetTest, OpenGadgetListAddsToAnItemAndStaysBalanced) {
  KzTabView* panel = Panel({u"One", u"Two"});

  OpenGadgetList(1, 1);
  CreateButtonGadget(2, 0, 0, 80, 25, u"Later in two");
  EndGadgetList();
  OpenGadgetList(1, 5);
  CreateButtonGadget(3, 0, 0, 80, 25, u"Nowhere");
  EndGadgetList();
  CreateButtonGadget(4, 0, 0, 80, 25, u"In the window");

  EXPECT_EQ(ViewOf<QWidget>(2)->parentWidget(), panel->widget(1));
  EXPECT_EQ(ViewOf<QWidget>(3)->parentWidget(), nullptr);
  EXPECT_EQ(ViewOf<QWidget>(4)->parentWidget(), Window()->contentView());
}

TEST_F(PanelGadgetTest, SelectingATabPostsChangeAndSettingTheFramePostsResize) {
  KzTabView* panel = Panel({u"One", u"Two"});
  RecordGadget(1);

  QTest::mouseClick(panel->tabBar(), Qt::LeftButton, Qt::NoModifier,
                    panel->tabBar()->tabRect(1).center());
  SetGadgetState(1, 1);
  ResizeGadget(1, KeepValue, KeepValue, 300, KeepValue);

  EXPECT_EQ(GetGadgetState(1), 1);
  EXPECT_EQ(RecordedSubtypes(1), (std::vector<int64_t>{SubtypeChange, SubtypeResize}));
}

TEST_F(PanelGadgetTest, ADisabledPanelSwallowsClicksOnTheGadgetsInIt) {
  CreatePanelGadget(1, 10, 10, 400, 250);
  AddGadgetItem(1, -1, u"One");
  CreateButtonGadget(2, 20, 20, 100, 30, u"Inside");
  EndGadgetList();
  RecordGadget(2);
  TakeGadgetEvents();
  const QPoint button = CentreInWindow(ViewOf<QWidget>(2));

  DisableGadget(1, 1);
  DisableGadget(1, 1);
  ClickInWindow(button);
  EXPECT_TRUE(RecordedEvents().empty());

  DisableGadget(1, 0);
  ClickInWindow(button);
  EXPECT_EQ(RecordedSubtypes(2), std::vector<int64_t>{SubtypeAction});
}

TEST_F(PanelGadgetTest, ADisabledItemCannotBeSelectedWhileTheCurrentOneWorks) {
  KzTabView* panel = Panel({u"One", u"Two"});
  RecordGadget(1);
  SetGadgetItemAttribute(1, 1, PanelItemAttributeDisabled, 1);
  SetGadgetItemAttribute(1, 5, PanelItemAttributeDisabled, 1);
  EXPECT_EQ(GetGadgetItemAttribute(1, 1, PanelItemAttributeDisabled), 1);
  EXPECT_EQ(GetGadgetItemAttribute(1, 0, PanelItemAttributeDisabled), 0);

  QTest::mouseClick(panel->tabBar(), Qt::LeftButton, Qt::NoModifier,
                    panel->tabBar()->tabRect(1).center());
  EXPECT_EQ(GetGadgetState(1), 0);
  EXPECT_TRUE(RecordedEvents().empty());
  EXPECT_TRUE(panel->widget(0)->isEnabled());

  SetGadgetItemAttribute(1, 1, PanelItemAttributeDisabled, 0);
  QTest::mouseClick(panel->tabBar(), Qt::LeftButton, Qt::NoModifier,
                    panel->tabBar()->tabRect(1).center());
  EXPECT_EQ(GetGadgetState(1), 1);
}

int64_t FreeThePanel() {
  FreeGadget(1);
  return 0;
}

TEST_F(PanelGadgetTest, APanelFreedByTheChangeOfItsFirstItemGivesNoPage) {
  CreatePanelGadget(1, 10, 10, 400, 250);
  BindGadgetHandler(1, &FreeThePanel, SubtypeChange);
  EXPECT_EQ(AddGadgetItem(1, -1, u"One"), 0);
  EXPECT_EQ(GadgetExists(1), nullptr);
  EndGadgetList();
}

TEST_F(PanelGadgetTest, RemovingAnItemReleasesTheGadgetsOnIt) {
  CreatePanelGadget(1, 10, 10, 400, 250);
  AddGadgetItem(1, -1, u"One");
  AddGadgetItem(1, -1, u"Two");
  CreateStringGadget(2, 0, 0, 80, 25, u"On two");
  QPointer<QWidget> page = ViewOf<KzTabView>(1)->widget(1);

  // The page is still the current gadget view when it goes.
  RemoveGadgetItem(1, 1);
  CreateButtonGadget(3, 0, 0, 80, 25, u"Placed nowhere");
  RenewAutoreleasePool();
  EndGadgetList();

  EXPECT_EQ(GadgetExists(2), nullptr);
  EXPECT_TRUE(page.isNull());
  EXPECT_EQ(ViewOf<QWidget>(3)->parentWidget(), nullptr);
  EXPECT_EQ(CountGadgetItems(1), 1);

  ClearGadgetItems(1);
  EXPECT_EQ(CountGadgetItems(1), 0);
  EXPECT_EQ(GetGadgetState(1), -1);
}

TEST_F(PanelGadgetTest, ItemTextsAndDataBelongToExistingItemsOnly) {
  Panel({u"One", u"Two"});

  SetGadgetItemText(1, 1, u"Fish & Chips");
  SetGadgetItemData(1, 1, int64_t{1} << 40);
  SetGadgetItemText(1, -1, u"None");
  SetGadgetItemData(1, 2, 5);

  EXPECT_EQ(ItemText(1), u"Fish & Chips");
  EXPECT_EQ(ItemText(-1), u"");
  EXPECT_EQ(ItemText(2), u"");
  EXPECT_EQ(GetGadgetItemData(1, 1), int64_t{1} << 40);
  EXPECT_EQ(GetGadgetItemData(1, 0), 0);
  EXPECT_EQ(GetGadgetItemData(1, -1), 0);
}

TEST_F(PanelGadgetTest, TheItemAreaLiesBelowTheTabsInsideThePanel) {
  Panel({u"One"});

  const int64_t width = GetGadgetAttribute(1, PanelAttributeItemWidth);
  const int64_t height = GetGadgetAttribute(1, PanelAttributeItemHeight);
  const int64_t top = GetGadgetAttribute(1, PanelAttributeItemY);

  EXPECT_GT(width, 300);
  EXPECT_LE(width, 400);
  EXPECT_GT(top, 10);
  EXPECT_LE(top + height, 250);
  EXPECT_EQ(GetGadgetAttribute(1, 4), 0);
}

TEST_F(PanelGadgetTest, TheFontIsTheTabsFontOnly) {
  KzTabView* panel = Panel({u"One"});
  OpenGadgetList(1, 0);
  CreateButtonGadget(2, 0, 0, 80, 25, u"Own font");
  EndGadgetList();
  QFont big = panel->font();
  big.setPointSize(big.pointSize() + 6);

  SetGadgetFont(1, big);

  EXPECT_EQ(GetGadgetFont(1), big);
  EXPECT_NE(GetGadgetFont(2), big);
}

}  // namespace
