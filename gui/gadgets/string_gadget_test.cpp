#include "gui/gadgets/string_gadget.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>
#include <string>
#include <vector>

#include "gui/gadgets/gadget_test_support.h"

namespace {

class StringGadgetTest : public GadgetTest {
 protected:
  // A field with the focus, and its recorder bound, its focus event forgotten.
  static QLineEdit* FocusedField(int64_t gadget, int32_t flags = 0) {
    CreateStringGadget(gadget, 10, 10 + 40 * static_cast<int32_t>(gadget), 200, 25, u"", flags);
    RecordGadget(gadget);
    ActivateGadget(gadget);
    TakeGadgetEvents();
    RecordedEvents().clear();
    return ViewOf<QLineEdit>(gadget);
  }
};

std::vector<int64_t> Changes(size_t count) {
  return std::vector<int64_t>(count, SubtypeChange);
}

TEST_F(StringGadgetTest, EveryEditPostsOneChangeAndSetGadgetTextNone) {
  QLineEdit* field = FocusedField(1);

  QTest::keyClicks(field, "abc");
  QTest::keyClick(field, Qt::Key_Backspace);
  SetGadgetText(1, u"set");

  EXPECT_EQ(RecordedSubtypes(1), Changes(4));
  EXPECT_EQ(GadgetText(1), u"set");
}

TEST_F(StringGadgetTest, ReturnKeepsTheFocusAndPostsNothing) {
  QLineEdit* field = FocusedField(1);

  QTest::keyClick(field, Qt::Key_Return);
  TakeGadgetEvents();

  EXPECT_TRUE(RecordedEvents().empty());
  EXPECT_TRUE(field->hasFocus());
}

TEST_F(StringGadgetTest, TabbingOnPostsLostFocusAndTheNextFieldsFocus) {
  QLineEdit* first = FocusedField(1);
  CreateStringGadget(2, 10, 200, 100, 25, u"");
  RecordGadget(2);

  QTest::keyClick(first, Qt::Key_Tab);

  EXPECT_EQ(RecordedEvents(),
            (std::vector<GadgetEvent>{{1, 0, SubtypeLostFocus}, {2, 0, SubtypeFocus}}));
}

TEST_F(StringGadgetTest, AnotherWindowTakingTheKeysLeavesTheFieldBeingEdited) {
  QLineEdit* field = FocusedField(1);

  OpenWindow(1, 300, 300, 200, 100, u"Other");
  TakeGadgetEvents();
  NativeWindow(0)->activateWindow();
  TakeGadgetEvents();

  EXPECT_TRUE(field->hasFocus());
  EXPECT_TRUE(RecordedEvents().empty());
}

TEST_F(StringGadgetTest, APasswordFieldPostsChangesButNoFocusEvents) {
  QLineEdit* field = FocusedField(1, StringFlagPassword);
  CreateStringGadget(2, 10, 200, 100, 25, u"");

  QTest::keyClicks(field, "pw");
  QTest::keyClick(field, Qt::Key_Tab);
  ActivateGadget(1);

  EXPECT_EQ(field->echoMode(), QLineEdit::Password);
  EXPECT_EQ(RecordedSubtypes(1), Changes(2));
  EXPECT_EQ(GadgetText(1), u"pw");
}

TEST_F(StringGadgetTest, TheNumericFormatterTakesDigitsOnlyAndKeepsLeadingZeros) {
  QLineEdit* field = FocusedField(1, StringFlagNumeric);

  QTest::keyClicks(field, "00-7. 1+e");

  EXPECT_EQ(GadgetText(1), u"0071");
  EXPECT_EQ(RecordedSubtypes(1), Changes(4));
}

TEST_F(StringGadgetTest, MaximumLengthThreeRefusesTheFourthCharacter) {
  QLineEdit* field = FocusedField(1);
  SetGadgetAttribute(1, StringAttributeMaximumLength, 3);

  QTest::keyClicks(field, "abcd");

  EXPECT_EQ(GadgetText(1), u"abc");
  EXPECT_EQ(GetGadgetAttribute(1, StringAttributeMaximumLength), 3);
}

TEST_F(StringGadgetTest, ANegativeMaximumLengthIsNoLimit) {
  QLineEdit* field = FocusedField(1);
  SetGadgetAttribute(1, StringAttributeMaximumLength, -1);
  const std::u16string long_text(40000, u'x');

  SetGadgetText(1, long_text.c_str());
  QTest::keyClick(field, Qt::Key_X);

  EXPECT_EQ(GadgetText(1).size(), long_text.size() + 1);
  EXPECT_EQ(GetGadgetAttribute(1, StringAttributeMaximumLength), -1);
}

TEST_F(StringGadgetTest, AnUpperCaseFieldShowsTypedLowerCaseInUpperCase) {
  QLineEdit* field = FocusedField(1, StringFlagUpperCase);

  QTest::keyClicks(field, "abC");

  EXPECT_EQ(GadgetText(1), u"ABC");
  EXPECT_EQ(RecordedSubtypes(1), Changes(3));
}

TEST_F(StringGadgetTest, SetGadgetTextPrefersLowerCaseWhileTypingPrefersUpperCase) {
  QLineEdit* field = FocusedField(1, StringFlagUpperCase | StringFlagLowerCase);

  SetGadgetText(1, u"MiXeD");
  EXPECT_EQ(GadgetText(1), u"mixed");

  field->end(false);
  QTest::keyClick(field, Qt::Key_Z);
  EXPECT_EQ(GadgetText(1), u"MIXEDZ");
}

TEST_F(StringGadgetTest, TheInitialTextTakesTheCaseFlags) {
  CreateStringGadget(1, 10, 10, 100, 25, u"Start", StringFlagLowerCase);

  EXPECT_EQ(GadgetText(1), u"start");
}

TEST_F(StringGadgetTest, AReadOnlyFieldRefusesTypingButItsTextCanBeSelected) {
  QLineEdit* field = FocusedField(1, StringFlagReadOnly);
  SetGadgetText(1, u"fixed");

  QTest::keyClicks(field, "x");
  field->selectAll();

  EXPECT_EQ(GadgetText(1), u"fixed");
  EXPECT_EQ(field->selectedText(), QStringLiteral("fixed"));
  EXPECT_EQ(RecordedSubtypes(1), std::vector<int64_t>{});
}

TEST_F(StringGadgetTest, ColoursGoBackToTheFieldsOwnWithoutAColour) {
  CreateStringGadget(1, 10, 10, 100, 25, u"", StringFlagBorderless);
  const QColor background = GetGadgetColor(1, ColorTypeBack);
  const QColor text = GetGadgetColor(1, ColorTypeFront);

  SetGadgetColor(1, ColorTypeBack, Qt::yellow);
  SetGadgetColor(1, ColorTypeFront, Qt::blue);
  EXPECT_EQ(GetGadgetColor(1, ColorTypeBack), QColor(Qt::yellow));
  EXPECT_EQ(GetGadgetColor(1, ColorTypeFront), QColor(Qt::blue));
  EXPECT_FALSE(GetGadgetColor(1, 3).isValid());

  SetGadgetColor(1, ColorTypeBack, QColor());
  SetGadgetColor(1, ColorTypeFront, QColor());
  EXPECT_EQ(GetGadgetColor(1, ColorTypeBack), background);
  EXPECT_EQ(GetGadgetColor(1, ColorTypeFront), text);
  EXPECT_FALSE(ViewOf<QLineEdit>(1)->hasFrame());
}

TEST_F(StringGadgetTest, TheStateIsTheTextAsANumber) {
  CreateStringGadget(1, 10, 10, 100, 25, u"  -42 apples");

  EXPECT_EQ(GetGadgetState(1), -42);
  SetGadgetState(1, 2147483647);
  EXPECT_EQ(GadgetText(1), u"2147483647");
  SetGadgetText(1, u"99999999999");
  EXPECT_EQ(GetGadgetState(1), 2147483647);
}

}  // namespace
