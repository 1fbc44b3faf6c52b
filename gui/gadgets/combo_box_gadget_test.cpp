#include "gui/gadgets/combo_box_gadget.h"

#include <gtest/gtest.h>

#include "gui/gadgets/gadget_test_support.h"
#include "gui/gadgets/progress_bar_gadget.h"

namespace {

using ComboBoxGadgetTest = GadgetTest;

TEST_F(ComboBoxGadgetTest, OnlyTheUsersChoicePostsAndTheStateIsTheChosenItem) {
  ASSERT_NE(CreateComboBoxGadget(1, 10, 10, 150, 25), 0);
  EXPECT_EQ(AddGadgetItem(1, -1, u"720 KB"), 0);
  EXPECT_EQ(AddGadgetItem(1, -1, u"2.88 MB"), 1);
  EXPECT_EQ(AddGadgetItem(1, 0, u"1.44 MB"), 0);
  EXPECT_EQ(CountGadgetItems(1), 3);
  RecordGadget(1);
  SetGadgetState(1, 2);
  EXPECT_EQ(GetGadgetState(1), 2);
  StringMark mark;
  EXPECT_EQ(std::u16string(GetGadgetText(1, mark.Offset())), u"2.88 MB");
  EXPECT_TRUE(RecordedEvents().empty());

  // As the user picks an item: the list's Up key.
  QTest::keyClick(ViewOf<QComboBox>(1), Qt::Key_Up);
  EXPECT_EQ(GetGadgetState(1), 1);
  EXPECT_EQ(RecordedEvents(), (std::vector<GadgetEvent>{{1, 0, SubtypeChange}}));
}

TEST_F(ComboBoxGadgetTest, ADisabledItemCannotBeChosenAndSaysWhy) {
  CreateComboBoxGadget(1, 10, 10, 150, 25);
  AddGadgetItem(1, -1, u"Unformatted (blank)");
  AddGadgetItem(1, -1, u"FAT12 (DOS)");
  SetGadgetItemAttribute(1, 1, ComboItemAttributeDisabled, 1);
  SetGadgetItemToolTip(1, 1, u"not installed");
  EXPECT_EQ(GetGadgetItemAttribute(1, 1, ComboItemAttributeDisabled), 1);
  SetGadgetState(1, 0);
  QTest::keyClick(ViewOf<QComboBox>(1), Qt::Key_Down);
  EXPECT_EQ(GetGadgetState(1), 0);
  EXPECT_EQ(ViewOf<QComboBox>(1)->itemData(1, Qt::ToolTipRole).toString(), "not installed");
}

// Each kind of gadget has a type code of its own: a progress bar taken for a choice box would
// be handled as one.
TEST_F(ComboBoxGadgetTest, ItsTypeIsNoOtherGadgetsType) {
  CreateComboBoxGadget(1, 10, 10, 150, 25);
  CreateProgressBarGadget(2, 10, 40, 150, 16, 0, 100);
  EXPECT_NE(GadgetExists(1)->type, GadgetExists(2)->type);
}

}  // namespace
