#include "runtime/string_stack.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "runtime/runtime_test_support.h"

namespace {

class StringStackTest : public FreshStringStackTest {
 protected:
  static std::u16string At(uint64_t offset) {
    return std::u16string(reinterpret_cast<const char16_t*>(StringStackBuffer + offset));
  }
};

using StringStackDeathTest = StringStackTest;

TEST_F(StringStackTest, FreshStackGrowsOnceTheTopReachesTwelveBytes) {
  EXPECT_EQ(StringStackCapacity, 16);
  ReserveStringUnits(5, 0);
  EXPECT_EQ(StringStackCapacity, 16);
  EXPECT_EQ(StringStackPosition, 10u);
  // The current top (10), not p, enters the test: 10 + 2 >= 16 - 4.
  char16_t* result = ReserveStringUnits(1, 0);
  EXPECT_EQ(StringStackCapacity, 12 + 16384);
  EXPECT_EQ(StringStackPosition, 2u);
  EXPECT_EQ(result, reinterpret_cast<char16_t*>(StringStackBuffer));

  FreeStringStack();
  InitStringStack();
  ReserveStringUnits(6, 0);
  EXPECT_EQ(StringStackCapacity, 12 + 16384);
}

TEST_F(StringStackTest, ShrinksToOneMebibyteAfterAHugeStringWasDropped) {
  const int64_t units = 1024 * 1024;  // 2 MiB of text
  char16_t* text = ReserveStringUnits(units, 0);
  text[0] = u'A';
  text[units - 1] = u'Z';
  EXPECT_EQ(StringStackCapacity, 2 * units + 16384);
  DropStringUnits(units);
  EXPECT_EQ(StringStackPosition, 0u);

  ReserveStringUnits(4, 0);
  EXPECT_EQ(StringStackCapacity, 1048576);
  ReserveStringUnits(4, 8);
  EXPECT_EQ(StringStackCapacity, 1048576);
}

TEST_F(StringStackTest, AppendConcatenatesAndNullOnlyTerminates) {
  AppendString(u"Finished... ");
  AppendString(u"");
  AppendString(u"ISO");
  EXPECT_EQ(At(0), u"Finished... ISO");
  EXPECT_EQ(StringStackPosition, 2u * 15);

  auto* top = reinterpret_cast<char16_t*>(StringStackBuffer + StringStackPosition);
  *top = u'X';
  AppendString(nullptr);
  EXPECT_EQ(*top, u'\0');
  EXPECT_EQ(StringStackPosition, 2u * 15);

  EXPECT_EQ(StringStackOffsetOf(StringStackBuffer + 30), 31u);
  EXPECT_EQ(StringStackOffsetOf(StringStackBuffer + 32), 0u);
  EXPECT_EQ(StringStackOffsetOf(u"ISO"), 0u);
  EXPECT_EQ(StringStackAddressAt(25), reinterpret_cast<char16_t*>(StringStackBuffer + 24));
}

TEST_F(StringStackTest, MarksSaveAndRestoreTheTop) {
  AppendString(u"ab");
  PushStringMark();
  AppendString(u"cd");
  PushStringMark();
  EXPECT_EQ(PeekStringMark(), 8u);
  AppendString(u"ef");
  EXPECT_EQ(PopStringMarkPosition(), 8u);
  EXPECT_EQ(StringStackPosition, 12u);
  EXPECT_EQ(std::u16string(PopStringMarkPointer()), u"cdef");

  PushStringMark();
  AppendString(u"gh");
  EXPECT_EQ(PopStringMarkRestore(), 12u);
  EXPECT_EQ(StringStackPosition, 12u);
  EXPECT_EQ(StringMarkDepth, 0);
  PushStringMark();
  AppendString(u"ij");
  EXPECT_EQ(PopStringMarkRestorePointer(), reinterpret_cast<char16_t*>(StringStackBuffer + 12));
  EXPECT_EQ(StringStackPosition, 12u);

  EXPECT_EQ(std::u16string(SetEmptyStringResult(4)), u"");
  EXPECT_EQ(StringStackPosition, 4u);
  EXPECT_EQ(At(0), u"ab");
}

TEST_F(StringStackDeathTest, MarkStackMisuseAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int i = 0; i < StringMarkLimit; ++i)
    PushStringMark();
  EXPECT_EQ(StringMarkDepth, StringMarkLimit);
  EXPECT_DEATH(PushStringMark(), "more than 100 string marks");
  StringMarkDepth = 0;
  EXPECT_DEATH(PopStringMarkPosition(), "no string mark");
  EXPECT_DEATH(PopStringMarkRestore(), "no string mark");
  EXPECT_DEATH(PeekStringMark(), "no string mark");
}

TEST_F(StringStackTest, AssignFromStackMovesTheTextAndReleasesIt) {
  AppendString(u"home/");
  StringResultPosition p = StringStackPosition;
  AppendString(u"Desktop");
  char16_t* variable = nullptr;
  AssignStringFromStack(&variable, p);
  ASSERT_NE(variable, nullptr);
  EXPECT_EQ(std::u16string(variable), u"Desktop");
  EXPECT_EQ(StringStackPosition, p);

  // p at the top stores an empty string, not null; the old block is reused.
  AssignStringFromStack(&variable, StringStackPosition);
  ASSERT_NE(variable, nullptr);
  EXPECT_EQ(std::u16string(variable), u"");
  FreeString(variable);
}

TEST_F(StringStackTest, AssignAndDuplicateHandleNullAndAliasing) {
  char16_t* variable = nullptr;
  EXPECT_EQ(AssignString(&variable, u"output.iso"), 22);
  EXPECT_EQ(std::u16string(variable), u"output.iso");
  // The source lies inside the variable's own block.
  EXPECT_EQ(AssignString(&variable, variable + 7), 8);
  EXPECT_EQ(std::u16string(variable), u"iso");
  AssignString(&variable, nullptr);
  EXPECT_EQ(variable, nullptr);

  char16_t* copy = nullptr;
  DuplicateString(&copy, nullptr);
  EXPECT_EQ(copy, nullptr);
  char16_t text[] = u"dd";
  DuplicateString(&copy, text);
  text[0] = u'x';
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"dd");
  FreeString(copy);
  FreeString(nullptr);
}

TEST_F(StringStackTest, StringMarkFinishesOrAssignsAndRestoresTheTop) {
  AppendString(u"below");
  const uint64_t top = StringStackPosition;
  {
    StringMark mark;
    EXPECT_EQ(mark.Offset(), top);
    AppendString(u"Folder ");
    AppendString(u"x");
    const char16_t* finished = mark.Finish();
    EXPECT_EQ(StringStackPosition, top + 2 * 8 + 2);
    // The receiver's own results cannot overwrite the finished string's terminator.
    AppendString(u"receiver");
    EXPECT_EQ(std::u16string(StringStackAddressAt(mark.Offset() + 1)), u"Folder x");
    EXPECT_EQ(finished, StringStackAddressAt(mark.Offset() + 1));
  }
  EXPECT_EQ(StringStackPosition, top);
  EXPECT_EQ(StringMarkDepth, 0);

  char16_t* variable = nullptr;
  {
    StringMark mark;
    AppendString(u"home/");
    AppendString(u"Desktop");
    mark.AssignTo(&variable);
    EXPECT_EQ(StringMarkDepth, 0);
  }
  EXPECT_EQ(StringStackPosition, top);
  EXPECT_EQ(StringMarkDepth, 0);
  ASSERT_NE(variable, nullptr);
  EXPECT_EQ(std::u16string(variable), u"home/Desktop");
  FreeString(variable);

  StringVariable kept = [] {
    StringMark mark;
    AppendStrings({u"home/", u"Documents"});
    return std::move(mark).Keep();
  }();
  EXPECT_EQ(std::u16string(kept.Get()), u"home/Documents");
  EXPECT_EQ(StringStackPosition, top);
  EXPECT_EQ(StringMarkDepth, 0);
}

TEST_F(StringStackDeathTest, AnExpressionEndsOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        StringMark mark;
        mark.Finish();
        std::move(mark).Keep();
      },
      "finished_");
}

TEST_F(StringStackTest, StringVariableOwnsItsBlock) {
  StringVariable empty;
  EXPECT_EQ(std::u16string(empty.Get()), u"");

  StringVariable path(u"/home/user");
  StringVariable copy(path);
  path = u"/tmp";
  EXPECT_EQ(std::u16string(copy.Get()), u"/home/user");
  StringVariable& alias = copy;
  copy = alias;
  EXPECT_EQ(std::u16string(copy.Get()), u"/home/user");
  copy = empty;
  EXPECT_TRUE(copy.IsNull());

  copy = std::move(path);
  EXPECT_TRUE(path.IsNull());
  EXPECT_EQ(std::u16string(copy.Get()), u"/tmp");
}

}  // namespace
