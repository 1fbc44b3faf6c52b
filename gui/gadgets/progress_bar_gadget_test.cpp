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

// Counts the paints of a widget.
class PaintCounter final : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
  int paints = 0;
};

// QProgressBar repaints a bar without text only once its value has moved by a whole chunk,
// so that a bar beside a percent in words trailed it by several points.
TEST_F(ProgressBarGadgetTest, EveryNewValueIsPainted) {
  CreateProgressBarGadget(1, 0, 0, 170, 16, 0, 100);
  auto* bar = ViewOf<QProgressBar>(1);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(bar->window()));
  PaintCounter counter;
  bar->installEventFilter(&counter);
  for (int32_t percent = 1; percent <= 3; ++percent) {
    const int before = counter.paints;
    SetGadgetState(1, percent);
    QApplication::processEvents();
    EXPECT_GT(counter.paints, before) << percent;
  }
}

}  // namespace
