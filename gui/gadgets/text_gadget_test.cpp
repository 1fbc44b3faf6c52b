#include "gui/gadgets/text_gadget.h"

#include <gtest/gtest.h>

#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <algorithm>
#include <utility>
#include <vector>

#include "gui/gadgets/gadget_test_support.h"
#include "gui/gadgets/string_gadget.h"

namespace {

using TextGadgetTest = GadgetTest;

QColor Greyed() {
  return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

QColor StandardText() {
  return QApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

// Takes the place of the platform's accessibility bridge while it lives and records the
// events that reach it. Qt passes events on only while assistive technology listens, which
// the platform alone can say.
class AccessibilityEvents {
 public:
  AccessibilityEvents() : previous_(QAccessible::installUpdateHandler(&Record)) {
    Platform()->setActive(true);
    Recorded().clear();
  }
  ~AccessibilityEvents() {
    Platform()->setActive(false);
    QAccessible::installUpdateHandler(previous_);
  }
  AccessibilityEvents(const AccessibilityEvents&) = delete;
  AccessibilityEvents& operator=(const AccessibilityEvents&) = delete;

  static long NameChanges(const QObject* object) {
    return std::count(Recorded().begin(), Recorded().end(),
                      std::pair(object, QAccessible::NameChanged));
  }

 private:
  using Event = std::pair<const QObject*, QAccessible::Event>;
  static std::vector<Event>& Recorded() {
    static std::vector<Event> events;
    return events;
  }
  static QPlatformAccessibility* Platform() {
    return QGuiApplicationPrivate::platformIntegration()->accessibility();
  }
  static void Record(QAccessibleEvent* event) {
    Recorded().emplace_back(event->object(), event->type());
  }

  QAccessible::UpdateHandler previous_;
};

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

  // The parent's background shows through until the label has a colour of its own.
  EXPECT_FALSE(ViewOf<QLabel>(1)->autoFillBackground());
  SetGadgetColor(1, ColorTypeBack, Qt::green);
  EXPECT_EQ(GetGadgetColor(1, ColorTypeBack), QColor(Qt::green));
  EXPECT_TRUE(ViewOf<QLabel>(1)->autoFillBackground());
  SetGadgetColor(1, ColorTypeBack, QColor());
  EXPECT_EQ(GetGadgetColor(1, ColorTypeBack), control);
  EXPECT_FALSE(ViewOf<QLabel>(1)->autoFillBackground());
  EXPECT_EQ(ViewOf<QLabel>(1)->frameShape(), QFrame::Box);
}

TEST_F(TextGadgetTest, AOneLineLabelShortensItsTextInTheMiddleAndATallOneWraps) {
  const std::u16string path =
      u"Finished... ISO saved to /home/somebody/a rather long folder name/Desktop/output.iso";
  CreateTextGadget(1, 0, 0, 150, 25, path.c_str());
  auto* line = ViewOf<QLabel>(1);
  EXPECT_FALSE(line->wordWrap());
  EXPECT_LE(line->fontMetrics().horizontalAdvance(line->text()), 150);
  EXPECT_TRUE(line->text().startsWith("Finished"));
  EXPECT_TRUE(line->text().endsWith("output.iso"));
  EXPECT_EQ(line->toolTip(), QString::fromStdU16String(path));
  StringMark mark;
  EXPECT_EQ(std::u16string(GetGadgetText(1, mark.Offset())), path);

  // Wide enough again: the whole text, and no tooltip.
  ResizeGadget(1, KeepValue, KeepValue, 2000, KeepValue);
  EXPECT_EQ(line->text(), QString::fromStdU16String(path));
  EXPECT_TRUE(line->toolTip().isEmpty());

  // A tall one breaks a path too long for a line after one of its slashes, not past its edge.
  CreateTextGadget(2, 0, 30, 150, 100, path.c_str());
  auto* lines = ViewOf<QLabel>(2);
  EXPECT_TRUE(lines->wordWrap());
  EXPECT_LE(lines->minimumSizeHint().width(), 150);
  EXPECT_EQ(lines->text().remove(QChar(0x200B)), QString::fromStdU16String(path));
  EXPECT_EQ(TextHeightAtWidth(2, 150), lines->heightForWidth(150));
  EXPECT_EQ(TextHeightAtWidth(2, 2000), lines->fontMetrics().height());
}

TEST_F(TextGadgetTest, ALabelAskedToHasItsWholeTextAsTooltipHoweverShown) {
  CreateTextGadget(1, 0, 0, 300, 25, u"Short", TextFlagToolTip);
  EXPECT_EQ(ViewOf<QLabel>(1)->toolTip(), "Short");
  CreateTextGadget(2, 0, 30, 300, 100, u"Tall", TextFlagToolTip);
  EXPECT_EQ(ViewOf<QLabel>(2)->toolTip(), "Tall");
}

TEST_F(TextGadgetTest, ALabelIsSaidWhole) {
  const std::u16string path = u"Finished... ISO saved to /home/somebody/Desktop/output.iso";
  CreateTextGadget(1, 0, 0, 150, 25, path.c_str());

  ASSERT_NE(ViewOf<QLabel>(1)->text(), QString::fromStdU16String(path));
  EXPECT_EQ(AccessibleName(1), QString::fromStdU16String(path));
}

TEST_F(TextGadgetTest, EachChangeOfTheTextIsAnnouncedOnce) {
  CreateTextGadget(1, 0, 0, 380, 25, u"");
  const QLabel* label = ViewOf<QLabel>(1);
  AccessibilityEvents events;

  SetGadgetText(1, u"Starting...");
  EXPECT_EQ(events.NameChanges(label), 1);
  SetGadgetText(1, u"Starting...");
  EXPECT_EQ(events.NameChanges(label), 1);
  SetGadgetText(1, u"Finished");
  EXPECT_EQ(events.NameChanges(label), 2);
}

TEST_F(TextGadgetTest, ALabelNamesTheGadgetItIsPairedWithAmpersandsAndAll) {
  CreateTextGadget(1, 0, 0, 100, 25, u"Rock & Roll:");
  CreateStringGadget(2, 100, 0, 200, 25, u"");

  NameGadgetByLabel(2, 1);

  EXPECT_EQ(AccessibleName(2), "Rock & Roll:");
  // The name follows the label.
  SetGadgetText(1, u"Save as:");
  EXPECT_EQ(AccessibleName(2), "Save as:");
}

TEST_F(TextGadgetTest, ALabelShowsMarkupAsTextAndHasNoState) {
  CreateTextGadget(1, 0, 0, 80, 25, u"<b>7</b>");

  SetGadgetState(1, 3);

  EXPECT_EQ(ViewOf<QLabel>(1)->textFormat(), Qt::PlainText);
  EXPECT_EQ(GadgetText(1), u"<b>7</b>");
  EXPECT_EQ(GetGadgetState(1), 0);
}

}  // namespace
