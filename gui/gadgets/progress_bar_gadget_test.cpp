#include "gui/gadgets/progress_bar_gadget.h"

#include <gtest/gtest.h>

#include "gui/gadgets/gadget_test_support.h"

namespace {

using ProgressBarGadgetTest = GadgetTest;

TEST_F(ProgressBarGadgetTest, TheValueStaysWithinTheRangeAsTheRangeChanges) {
  ASSERT_NE(CreateProgressBarGadget(1, 0, 0, 100, 20, 0, 100), 0);
  EXPECT_EQ(GetGadgetState(1), 0);
  SetGadgetState(1, 42);
  EXPECT_EQ(GetGadgetState(1), 42);
  EXPECT_EQ(ViewOf<QProgressBar>(1)->value(), 42);
  SetGadgetState(1, 250);
  EXPECT_EQ(GetGadgetState(1), 100);
  SetGadgetState(1, -5);
  EXPECT_EQ(GetGadgetState(1), 0);

  SetGadgetState(1, 80);
  SetGadgetAttribute(1, ProgressBarMaximum, 50);
  EXPECT_EQ(GetGadgetAttribute(1, ProgressBarMaximum), 50);
  EXPECT_EQ(GetGadgetState(1), 50);
  SetGadgetAttribute(1, ProgressBarMinimum, 60);
  EXPECT_EQ(GetGadgetAttribute(1, ProgressBarMaximum), 60);
  EXPECT_EQ(GetGadgetState(1), 60);
}

TEST_F(ProgressBarGadgetTest, ARangeOfNothingIsABusyBarAndTextIsIgnored) {
  CreateProgressBarGadget(1, 0, 0, 100, 20, 0, 0);
  EXPECT_EQ(ViewOf<QProgressBar>(1)->maximum(), 0);
  SetGadgetText(1, u"75");
  EXPECT_EQ(GetGadgetState(1), 0);
  // A maximum below the minimum given at creation is taken as the minimum.
  CreateProgressBarGadget(2, 0, 30, 100, 20, 10, 5);
  EXPECT_EQ(GetGadgetAttribute(2, ProgressBarMaximum), 10);
  EXPECT_EQ(GetGadgetAttribute(2, ProgressBarMinimum), 10);
}

}  // namespace
