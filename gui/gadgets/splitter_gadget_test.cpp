#include "gui/gadgets/splitter_gadget.h"

#include <gtest/gtest.h>

#include <QTest>
#include <vector>

#include "gui/gadgets/button_gadget.h"
#include "gui/gadgets/gadget_test_support.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/text_gadget.h"

namespace {

class SplitterGadgetTest : public GadgetTest {
 protected:
  // Splitter 3 at (10, 10), 400 x 200, over text gadgets 1 and 2.
  static KzSplitterView* Splitter(int32_t flags) {
    CreateTextGadget(1, 0, 0, 10, 10, u"First");
    CreateTextGadget(2, 0, 0, 10, 10, u"Second");
    CreateSplitterGadget(3, 10, 10, 400, 200, 1, 2, flags);
    return ViewOf<KzSplitterView>(3);
  }

  // Drags the divider by the point where it is grabbed, as far as the pointer goes along.
  static void DragDivider(KzSplitterView* splitter, int along) {
    QWidget* handle = splitter->handle(1);
    const QPoint grab = CentreInWindow(handle);
    const bool vertical = splitter->orientation() == Qt::Horizontal;
    const QPoint to = grab + (vertical ? QPoint(along, 0) : QPoint(0, along));
    QWindow* window = Window()->windowHandle();
    QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, grab);
    QTest::mouseMove(window, to);
    QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, to);
  }
};

TEST_F(SplitterGadgetTest, EachGadgetFillsItsHalfAndCreationPostsAnAction) {
  KzSplitterView* splitter = Splitter(SplitterFlagVertical);

  const QWidget* first = splitter->widget(0);
  EXPECT_EQ(ViewOf<QWidget>(1)->parentWidget(), first);
  EXPECT_EQ(ViewOf<QWidget>(1)->geometry(), QRect(QPoint(), first->size()));
  EXPECT_EQ(ViewOf<QWidget>(2)->geometry(), QRect(QPoint(), splitter->widget(1)->size()));
  EXPECT_EQ(GetGadgetState(3), first->width());
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeFirstGadget), 1);
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeSecondGadget), 2);
  EXPECT_EQ(TakeGadgetEvents(), (std::vector<GadgetEvent>{{3, 0, SubtypeAction}}));
}

TEST_F(SplitterGadgetTest, TheDividerStopsAtTheMinimumSizesOfTheHalves) {
  KzSplitterView* splitter = Splitter(SplitterFlagVertical);
  SetGadgetAttribute(3, SplitterAttributeFirstMinimum, 50);
  SetGadgetAttribute(3, SplitterAttributeSecondMinimum, 80);
  RecordGadget(3);

  DragDivider(splitter, -400);
  EXPECT_EQ(GetGadgetState(3), 50);
  DragDivider(splitter, 400);
  EXPECT_EQ(GetGadgetState(3), 400 - splitter->dividerThickness() - 80);

  EXPECT_EQ(GadgetWidth(2), 80);
  EXPECT_FALSE(RecordedSubtypes(3).empty());
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeFirstMinimum), 50);
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeSecondMinimum), 80);
}

TEST_F(SplitterGadgetTest, KeepFirstKeepsTheFirstHalfWhenTheSplitterGrows) {
  Splitter(SplitterFlagVertical | SplitterFlagKeepFirst | SplitterFlagKeepSecond);
  SetGadgetState(3, 120);

  ResizeGadget(3, KeepValue, KeepValue, 500, KeepValue);

  EXPECT_EQ(GetGadgetState(3), 120);
  EXPECT_EQ(GadgetWidth(1), 120);
}

TEST_F(SplitterGadgetTest, KeepSecondKeepsTheSecondHalfWhenTheSplitterGrows) {
  KzSplitterView* splitter = Splitter(SplitterFlagVertical | SplitterFlagKeepSecond);
  SetGadgetState(3, 120);
  const int64_t second = GadgetWidth(2);

  ResizeGadget(3, KeepValue, KeepValue, 560, KeepValue);

  EXPECT_EQ(GadgetWidth(2), second);
  EXPECT_EQ(GetGadgetState(3), 560 - splitter->dividerThickness() - second);
}

TEST_F(SplitterGadgetTest, HalvesOneAboveTheOtherKeepTheirHeights) {
  Splitter(SplitterFlagKeepSecond);
  SetGadgetState(3, 60);
  const int64_t second = GadgetHeight(2);

  ResizeGadget(3, KeepValue, KeepValue, KeepValue, 300);

  EXPECT_EQ(GadgetHeight(2), second);
  EXPECT_EQ(GadgetWidth(1), 400);
}

TEST_F(SplitterGadgetTest, SetGadgetStateMovesTheDividerAndPostsAnAction) {
  Splitter(0);
  RecordGadget(3);

  SetGadgetState(3, 70);
  SetGadgetState(3, 70);

  EXPECT_EQ(GetGadgetState(3), 70);
  EXPECT_EQ(GadgetHeight(1), 70);
  EXPECT_EQ(RecordedSubtypes(3), std::vector<int64_t>{SubtypeAction});
}

TEST_F(SplitterGadgetTest, APanelInAHalfIsAsWideAsTheHalf) {
  CreatePanelGadget(1, 0, 0, 10, 10);
  AddGadgetItem(1, -1, u"Tab");
  EndGadgetList();
  CreateTextGadget(2, 0, 0, 10, 10, u"Beside");
  CreateSplitterGadget(3, 10, 10, 400, 200, 1, 2, SplitterFlagVertical);
  const QWidget* half = ViewOf<KzSplitterView>(3)->widget(0);
  RecordGadget(1);

  EXPECT_EQ(GadgetWidth(1), half->width());
  EXPECT_EQ(GadgetHeight(1), half->height());

  SetGadgetState(3, 150);
  EXPECT_EQ(GadgetWidth(1), 150);
  EXPECT_EQ(RecordedSubtypes(1), std::vector<int64_t>{SubtypeResize});
}

TEST_F(SplitterGadgetTest, ReplacingAHalfsGadgetMovesTheOldOneToTheSplittersParent) {
  KzSplitterView* splitter = Splitter(SplitterFlagVertical);
  CreateButtonGadget(4, 0, 0, 10, 10, u"New");
  const QWidget* first = splitter->widget(0);

  SetGadgetAttribute(3, SplitterAttributeFirstGadget, 4);

  EXPECT_EQ(ViewOf<QWidget>(4)->parentWidget(), first);
  EXPECT_EQ(ViewOf<QWidget>(4)->size(), first->size());
  EXPECT_EQ(ViewOf<QWidget>(1)->parentWidget(), Window()->contentView());
  EXPECT_NE(GadgetExists(1), nullptr);
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeFirstGadget), 4);
}

TEST_F(SplitterGadgetTest, AHalfTakesNoGadgetThatIsMissingOrHoldsTheSplitter) {
  KzSplitterView* splitter = Splitter(SplitterFlagVertical);

  SetGadgetAttribute(3, SplitterAttributeSecondGadget, 99);
  SetGadgetAttribute(3, SplitterAttributeSecondGadget, 3);

  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeSecondGadget), 2);
  EXPECT_EQ(ViewOf<QWidget>(2)->parentWidget(), splitter->widget(1));
}

TEST_F(SplitterGadgetTest, AHalfWithoutAGadgetStaysEmptyUntilOneIsPlaced) {
  CreateTextGadget(1, 0, 0, 10, 10, u"First");
  CreateSplitterGadget(3, 10, 10, 400, 200, 1, 42, SplitterFlagVertical);
  KzSplitterView* splitter = ViewOf<KzSplitterView>(3);
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeSecondGadget), 0);

  SetGadgetState(3, 100);
  CreateTextGadget(2, 0, 0, 10, 10, u"Late");
  SetGadgetAttribute(3, SplitterAttributeSecondGadget, 2);

  EXPECT_EQ(ViewOf<QWidget>(2)->parentWidget(), splitter->widget(1));
  EXPECT_EQ(ViewOf<QWidget>(2)->size(), splitter->widget(1)->size());
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeSecondGadget), 2);
}

TEST_F(SplitterGadgetTest, MovingTheOtherHalfsGadgetEmptiesThatHalf) {
  Splitter(SplitterFlagVertical);

  SetGadgetAttribute(3, SplitterAttributeFirstGadget, 2);

  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeFirstGadget), 2);
  EXPECT_EQ(GetGadgetAttribute(3, SplitterAttributeSecondGadget), 0);
}

int64_t CloseTheWindow() {
  CloseWindow(0);
  return 0;
}
int64_t FreeTheSplitter() {
  FreeGadget(3);
  return 0;
}

// A callback that frees the splitter, or closes its window, while the splitter is still
// inside the operation that posted the event.
TEST_F(SplitterGadgetTest, AGadgetFreedByItsOwnEventIsNotUsedAfterwards) {
  Splitter(SplitterFlagKeepFirst);
  BindGadgetHandler(3, &CloseTheWindow);
  ResizeGadget(3, KeepValue, KeepValue, 300, KeepValue);
  EXPECT_EQ(GadgetExists(3), nullptr);

  OpenWindow(0, 100, 100, 600, 400, u"Gadgets");
  // Bound before the gadget exists, so that its creation's action finds the callback.
  BindObjectHandlerAnySubtype(EvGadgetNotify, &FreeTheSplitter, 0, 3);
  CreateTextGadget(1, 0, 0, 10, 10, u"First");
  CreateTextGadget(2, 0, 0, 10, 10, u"Second");
  EXPECT_NE(CreateSplitterGadget(3, 10, 10, 400, 200, 1, 2, 0), 0);
  EXPECT_EQ(GadgetExists(3), nullptr);
}

}  // namespace
