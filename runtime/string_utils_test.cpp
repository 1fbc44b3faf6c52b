#include "runtime/string_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <string>

#include "runtime/memory.h"
#include "runtime/runtime_test_support.h"
#include "runtime/text_conversion.h"

namespace {

using StringUtilsTest = FreshStringStackTest;

TEST(StringLength, CountsAtEveryAlignmentIgnoringZerosBeforeTheString) {
  alignas(16) char16_t units[64];
  for (int start = 0; start < 9; ++start) {
    for (int length = 0; length < 40; ++length) {
      std::fill(std::begin(units), std::end(units), u'z');
      std::fill(units, units + start, u'\0');
      units[start + length] = u'\0';
      EXPECT_EQ(StringLength(units + start), length) << "start " << start;
    }
  }
}

TEST(StringCompare, UnitsCompareUnsignedAndATerminatorTakesPart) {
  EXPECT_EQ(NullSafeStringLength(nullptr), 0);
  EXPECT_EQ(CompareString(u"abc", u"abc"), 0);
  EXPECT_LT(CompareString(u"ab", u"abc"), 0);
  EXPECT_GT(CompareString(u"abd", u"abc"), 0);
  EXPECT_GT(CompareString(u"\uFFFF", u"a"), 0);
  EXPECT_EQ(StringsEqual(nullptr, u""), 1);
  EXPECT_EQ(StringsEqual(u"a", nullptr), 0);
}

TEST(StringCompare, NoCaseFoldsLettersBeyondAscii) {
  InitLocale();
  EXPECT_EQ(CompareStringNoCase(u"\u00C9cole", u"\u00E9COLE"), 0);
  EXPECT_LT(CompareStringNoCase(u"a", u"B"), 0);
  EXPECT_LT(CompareStringNoCase(u"Disk", u"disks"), 0);
  EXPECT_NE(CompareStringNoCase(u"\u00C9", u"E"), 0);
}

TEST(StringPrefix, SkipsAWholePrefixOnly) {
  const char16_t* text = u"dd: error";
  EXPECT_EQ(SkipPrefix(text, u"dd: "), text + 4);
  EXPECT_EQ(SkipPrefix(text, u""), text);
  EXPECT_EQ(SkipPrefix(text, u"dd: error!"), nullptr);
  EXPECT_EQ(SkipPrefix(text, u"hd"), nullptr);
}

TEST(StringCopy, CopiesUnitsAndTerminates) {
  char16_t dest[8];
  std::fill(std::begin(dest), std::end(dest), u'#');
  // An odd count may touch dest[n] but must leave nothing beyond the terminator.
  CopyStringUnits(dest, u"abcdef", 3);
  EXPECT_EQ(std::u16string(dest), u"abc");
  EXPECT_EQ(dest[4], u'#');
  CopyString(dest, u"xyz");
  EXPECT_EQ(std::u16string(dest), u"xyz");
}

TEST_F(StringUtilsTest, IntegerToStringCoversTheWholeRange) {
  AppendString(u"n=");
  StringResultPosition p = StringStackPosition;
  EXPECT_EQ(std::u16string(IntegerToString(INT64_MIN, p)), u"-9223372036854775808");
  EXPECT_EQ(StringStackPosition, p + 2 * 20);
  EXPECT_EQ(std::u16string(IntegerToString(INT64_MAX, p)), u"9223372036854775807");
  EXPECT_EQ(std::u16string(IntegerToString(0, p)), u"0");
  EXPECT_EQ(StringStackPosition, p + 2);

  char16_t text[21];
  EXPECT_EQ(WriteUnsignedDecimal(text, UINT64_MAX), 20);
  EXPECT_EQ(std::u16string(text), u"18446744073709551615");
}

TEST_F(StringUtilsTest, TrimRemovesRunsOfTheFirstCharacter) {
  EXPECT_EQ(std::u16string(TrimSpaces(u"  a b  ", 0)), u"a b");
  EXPECT_EQ(StringStackPosition, 6u);
  EXPECT_EQ(std::u16string(TrimSpaces(u"    ", 0)), u"");
  EXPECT_EQ(StringStackPosition, 0u);
  EXPECT_EQ(std::u16string(TrimString(u"xxAxx", u"x", 0)), u"A");
  EXPECT_EQ(std::u16string(TrimString(u" A ", u"", 0)), u" A ");
  EXPECT_EQ(std::u16string(TrimString(nullptr, u"x", 0)), u"");
}

TEST_F(StringUtilsTest, TrimInPlaceSurvivesTheBufferMoving) {
  // A fresh stack holding "  a  " (top 10 of 16) has to grow for the trim's own
  // reservation, so the argument must be found again after the buffer moved.
  PushStringMark();
  PushStringMark();
  Latin1ToStringStack("  a  ", PeekStringMark());
  ASSERT_EQ(StringStackCapacity, 16);
  const char16_t* argument = PopStringMarkPointer();
  StringResultPosition p = PopStringMarkPosition();
  ASSERT_EQ(p, 0u);
  char16_t* result = TrimSpaces(argument, p);
  EXPECT_GT(StringStackCapacity, 16);
  EXPECT_EQ(std::u16string(result), u"a");
  EXPECT_EQ(StringStackPosition, p + 2);
}

TEST(FormatString, FormatsIntoUtf16AndCountsUtf8Bytes) {
  char16_t text[160];
  EXPECT_EQ(FormatString(text, u"%d:%lld:%lld", 3, -1LL, -1LL), 7);
  EXPECT_EQ(std::u16string(text), u"3:-1:-1");
  EXPECT_EQ(FormatString(nullptr, u"%d:%lld:%lld", 3, -1LL, -1LL), 7);

  const char* folder = StringToUtf8Copy(u"M\u00FCsic");
  EXPECT_EQ(FormatString(nullptr, u"\u00C9 %s", folder), 9);
  EXPECT_EQ(FormatString(text, u"\u00C9 %s", folder), 7);
  EXPECT_EQ(std::u16string(text), u"\u00C9 M\u00FCsic");
  FreeConvertedCopy(const_cast<char*>(folder));
}

}  // namespace
