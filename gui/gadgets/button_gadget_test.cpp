#include "gui/gadgets/button_gadget.h"

#include <gtest/gtest.h>

#include <QTest>
#include <vector>

#include "gui/gadgets/gadget_test_support.h"
#include "gui/gadgets/string_gadget.h"

namespace {

using ButtonGadgetTest = GadgetTest;
using Bezel = KzButtonGadgetView::BezelStyle;

const std::vector<int64_t> OneAction = {SubtypeAction};

TEST_F(ButtonGadgetTest, ReturnPressesTheDefaultButtonOnlyAtHeight25) {
  CreateButtonGadget(1, 10, 10, 100, 25, u"Default", ButtonFlagDefault);
  CreateButtonGadget(2, 10, 50, 100, 30, u"Tall", ButtonFlagDefault);
  CreateStringGadget(3, 10, 100, 100, 25, u"");
  RecordGadget(1);
  RecordGadget(2);
  RecordGadget(3);
  ActivateGadget(3);
  TakeGadgetEvents();
  RecordedEvents().clear();

  // The field has the focus, as when the user types a value and confirms it with Return.
  QTest::keyClick(ViewOf<QWidget>(3), Qt::Key_Return);

  EXPECT_EQ(RecordedEvents(), (std::vector<GadgetEvent>{{1, 0, SubtypeAction}}));
  EXPECT_EQ(ViewOf<KzButtonGadgetView>(1)->bezelStyle(), Bezel::Rounded);
  EXPECT_EQ(ViewOf<KzButtonGadgetView>(2)->bezelStyle(), Bezel::RegularSquare);
}

TEST_F(ButtonGadgetTest, ReturnDoesNotPressTheDefaultButtonOfABlockedWindow) {
  CreateButtonGadget(1, 10, 10, 100, 25, u"Default", ButtonFlagDefault);
  RecordGadget(1);
  BlockWindowInput(0, 1);

  QTest::keyClick(Window(), Qt::Key_Return);

  EXPECT_TRUE(RecordedEvents().empty());
}

TEST_F(ButtonGadgetTest, AButtonResizedAwayFrom25StaysSquareButKeepsItsReturnKey) {
  CreateButtonGadget(1, 10, 10, 100, 25, u"Default", ButtonFlagDefault);
  RecordGadget(1);
  auto* view = ViewOf<KzButtonGadgetView>(1);

  ResizeGadget(1, KeepValue, KeepValue, KeepValue, 40);
  ResizeGadget(1, KeepValue, KeepValue, KeepValue, 25);
  QTest::keyClick(Window(), Qt::Key_Return);

  EXPECT_EQ(view->bezelStyle(), Bezel::RegularSquare);
  EXPECT_FALSE(view->isDefault());
  EXPECT_EQ(RecordedSubtypes(1), OneAction);
}

TEST_F(ButtonGadgetTest, LeftAlignmentWinsOverRight) {
  CreateButtonGadget(1, 0, 0, 80, 25, u"Both", ButtonFlagLeft | ButtonFlagRight);
  CreateButtonGadget(2, 0, 30, 80, 25, u"Right", ButtonFlagRight);
  CreateButtonGadget(3, 0, 60, 80, 25, u"Neither");

  EXPECT_EQ(ViewOf<KzButtonGadgetView>(1)->titleAlignment(), Qt::AlignLeft);
  EXPECT_EQ(ViewOf<KzButtonGadgetView>(2)->titleAlignment(), Qt::AlignRight);
  EXPECT_EQ(ViewOf<KzButtonGadgetView>(3)->titleAlignment(), Qt::AlignHCenter);
}

TEST_F(ButtonGadgetTest, AToggleAlternatesItsStateAndTheProgramSetsItSilently) {
  CreateButtonGadget(1, 0, 0, 80, 25, u"Toggle", ButtonFlagToggle);
  RecordGadget(1);
  auto* view = ViewOf<KzButtonGadgetView>(1);

  QTest::mouseClick(view, Qt::LeftButton);
  EXPECT_EQ(GetGadgetState(1), 1);
  QTest::mouseClick(view, Qt::LeftButton);
  EXPECT_EQ(GetGadgetState(1), 0);
  SetGadgetState(1, 1);

  EXPECT_TRUE(view->isChecked());
  EXPECT_EQ(RecordedSubtypes(1), (std::vector<int64_t>{SubtypeAction, SubtypeAction}));
}

TEST_F(ButtonGadgetTest, APushButtonKeepsTheStateTheProgramSets) {
  CreateButtonGadget(1, 0, 0, 80, 25, u"Push");

  SetGadgetState(1, 7);

  EXPECT_EQ(GetGadgetState(1), 1);
}

TEST_F(ButtonGadgetTest, TheTitleIsShownAndReturnedAsGiven) {
  CreateButtonGadget(1, 0, 0, 120, 25, u"Save & Exit");

  EXPECT_EQ(GadgetText(1), u"Save & Exit");
  SetGadgetText(1, u"&Quit");
  EXPECT_EQ(GadgetText(1), u"&Quit");
  // Shown with the "&", so it gives the button no Alt shortcut either.
  EXPECT_EQ(ViewOf<KzButtonGadgetView>(1)->text(), QStringLiteral("&&Quit"));
}

TEST_F(ButtonGadgetTest, ClickingAButtonLeavesTheFieldBeingEdited) {
  CreateButtonGadget(1, 10, 10, 100, 25, u"Press");
  CreateStringGadget(2, 10, 50, 100, 25, u"");
  RecordGadget(2);
  ActivateGadget(2);
  TakeGadgetEvents();

  ClickInWindow(CentreInWindow(ViewOf<QWidget>(1)));

  EXPECT_EQ(RecordedSubtypes(2), std::vector<int64_t>{SubtypeFocus});
  EXPECT_TRUE(ViewOf<QWidget>(2)->hasFocus());
}

TEST_F(ButtonGadgetTest, ADisabledButtonPostsNothing) {
  CreateButtonGadget(1, 0, 0, 80, 25, u"Off", ButtonFlagDefault);
  RecordGadget(1);

  DisableGadget(1, 1);
  QTest::mouseClick(ViewOf<QWidget>(1), Qt::LeftButton);
  QTest::keyClick(Window(), Qt::Key_Return);
  DisableGadget(1, 0);
  QTest::mouseClick(ViewOf<QWidget>(1), Qt::LeftButton);

  EXPECT_EQ(RecordedSubtypes(1), OneAction);
}

}  // namespace
