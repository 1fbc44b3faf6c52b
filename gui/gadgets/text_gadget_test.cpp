#include "gui/gadgets/text_gadget.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>

#include "gui/gadgets/gadget_test_support.h"

namespace {

using TextGadgetTest = GadgetTest;

QColor Greyed() {
  return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

QColor StandardText() {
  return QApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

TEST_F(TextGadgetTest, RightAlignmentWinsOverCentred) {
  CreateTextGadget(1, 0, 0, 80, 25, u"Both", TextFlagRight | TextFlagCenter);
  CreateTextGadget(2, 0, 30, 80, 25, u"Centre", TextFlagCenter);
  CreateTextGadget(3, 0, 60, 80, 25, u"Neither");

  EXPECT_EQ(ViewOf<QLabel>(1)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
  EXPECT_EQ(ViewOf<QLabel>(2)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  EXPECT_EQ(ViewOf<QLabel>(3)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
}

TEST_F(TextGadgetTest, DisablingGreysTheTextAndEnablingShowsTheColourSetLast) {
  CreateTextGadget(1, 0, 0, 80, 25, u"Label");
  SetGadgetColor(1, ColorTypeFront, Qt::red);

  DisableGadget(1, 1);
  EXPECT_EQ(GetGadgetColor(1, ColorTypeFront), Greyed());
  EXPECT_TRUE(ViewOf<QLabel>(1)->isEnabled());

  DisableGadget(1, 0);
  EXPECT_EQ(GetGadgetColor(1, ColorTypeFront), QColor(Qt::red));
}

TEST_F(TextGadgetTest, EnablingALabelWithoutItsOwnColourShowsTheStandardTextColour) {
  CreateTextGadget(1, 0, 0, 80, 25, u"Plain");
  CreateTextGadget(2, 0, 30, 80, 25, u"Reset");
  SetGadgetColor(2, ColorTypeFront, Qt::red);
  SetGadgetColor(2, ColorTypeFront, QColor());

  for (int64_t gadget : {1, 2}) {
    DisableGadget(gadget, 1);
    DisableGadget(gadget, 0);
    EXPECT_EQ(GetGadgetColor(gadget, ColorTypeFront), StandardText());
  }
}

TEST_F(TextGadgetTest, TheBackgroundIsTheWindowColourUntilSet) {
  CreateTextGadget(1, 0, 0, 80, 25, u"Label", TextFlagBorder);
  const QColor control = QApplication::palette().color(QPalette::Window);
  ASSERT_EQ(GetGadgetColor(1, ColorTypeBack), control);

  SetGadgetColor(1, ColorTypeBack, Qt::green);
  EXPECT_EQ(GetGadgetColor(1, ColorTypeBack), QColor(Qt::green));
  SetGadgetColor(1, ColorTypeBack, QColor());
  EXPECT_EQ(GetGadgetColor(1, ColorTypeBack), control);
  EXPECT_EQ(ViewOf<QLabel>(1)->frameShape(), QFrame::Box);
}

TEST_F(TextGadgetTest, ALabelShowsMarkupAsTextAndHasNoState) {
  CreateTextGadget(1, 0, 0, 80, 25, u"<b>7</b>");

  SetGadgetState(1, 3);

  EXPECT_EQ(ViewOf<QLabel>(1)->textFormat(), Qt::PlainText);
  EXPECT_EQ(GadgetText(1), u"<b>7</b>");
  EXPECT_EQ(GetGadgetState(1), 0);
}

}  // namespace
