#include "runtime/text_conversion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"

namespace {

// Decodes through both modes and insists that the count predicts the write.
std::u16string DecodeUtf8(const std::string& bytes) {
  auto length = static_cast<int64_t>(bytes.size());
  int64_t count = DecodeToUtf16(EncodingUtf8, 0, bytes.data(), length, nullptr, 0);
  std::u16string units(static_cast<size_t>(count), u'\0');
  int64_t written = DecodeToUtf16(EncodingUtf8, 0, bytes.data(), length, units.data(), count);
  EXPECT_EQ(written, count) << "counting and writing disagree";
  return units;
}

std::string EncodeUtf8(const std::u16string& units, int64_t capacity) {
  std::string bytes(static_cast<size_t>(capacity), '\0');
  int32_t written = EncodeFromUtf16(EncodingUtf8, 0, units.data(),
                                    static_cast<int64_t>(units.size()), bytes.data(), capacity);
  bytes.resize(static_cast<size_t>(written));
  return bytes;
}

int32_t CountUtf8(const std::u16string& units) {
  return EncodeFromUtf16(EncodingUtf8, 0, units.data(), static_cast<int64_t>(units.size()), nullptr,
                         0);
}

TEST(DecodeUtf8, WellFormedSequences) {
  EXPECT_EQ(DecodeUtf8("\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(DecodeUtf8("\xE2\x82\xAC"), u"\u20AC");
  EXPECT_EQ(DecodeUtf8("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  // A length of -1 takes the zero byte along.
  EXPECT_EQ(DecodeToUtf16(EncodingUtf8, 0, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(DecodeToUtf16(12345, 0, "abc", -1, nullptr, 0), 0);
}

// The last and first code point of each sequence length, through the decoder and back.
TEST(DecodeUtf8, BoundariesBetweenSequenceLengths) {
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"\x7F", u"\u007F"},         {"\xC2\x80", u"\u0080"},
      {"\xDF\xBF", u"\u07FF"},     {"\xE0\xA0\x80", u"\u0800"},
      {"\xEF\xBF\xBF", u"\uFFFF"}, {"\xF0\x90\x80\x80", std::u16string{0xD800, 0xDC00}},
  };
  for (const auto& [bytes, units] : cases) {
    EXPECT_EQ(DecodeUtf8(bytes), units) << "bytes " << bytes.size();
    EXPECT_EQ(EncodeUtf8(units, 8), bytes);
  }
  // A 0xE0 lead with continuation bytes of its own range.
  EXPECT_EQ(DecodeUtf8("\xE0\xBF\xBFz"), u"\u0FFFz");
}

TEST(DecodeUtf8, MalformedInputFollowsTheLenientRules) {
  EXPECT_EQ(DecodeUtf8("a\x80z"), u"a\uFFFDz");
  // The non-continuation byte cuts the sequence and is swallowed with it.
  EXPECT_EQ(DecodeUtf8("\xC3\x41z"), u"\u0003z");
  // A cut sequence ends the conversion before its lead.
  EXPECT_EQ(DecodeUtf8("ab\xE2"), u"ab");
  // 0xF8-0xFF and code points beyond U+10FFFF end it.
  EXPECT_EQ(DecodeUtf8("a\xF8z"), u"a");
  EXPECT_EQ(DecodeUtf8("a\xF4\x90\x80\x80z"), u"a");
  EXPECT_EQ(DecodeUtf8("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));
}

TEST(DecodeUtf8, WritingStopsAtTheCapacityWithoutSplittingAPair) {
  const char* text = "a\xC3\xA9\xF0\x9F\x98\x80z";
  char16_t units[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(DecodeToUtf16(EncodingUtf8, 0, text, 8, units, 3), 2);
  EXPECT_EQ(units[2], u'#');
  EXPECT_EQ(DecodeToUtf16(EncodingUtf8, 0, text, 8, units, 4), 4);
  EXPECT_EQ(units[3], 0xDE00);
  EXPECT_EQ(units[4], u'#');
}

TEST(DecodeLatin1, EveryByteIsOneUnit) {
  const char* text = "\xE9\xFF!";
  EXPECT_EQ(DecodeToUtf16(EncodingLatin1, 0, text, 3, nullptr, 0), 3);
  EXPECT_EQ(DecodeToUtf16(EncodingLatin1, 0, text, -1, nullptr, 0), 4);
  char16_t units[3] = {u'#', u'#', u'#'};
  EXPECT_EQ(DecodeToUtf16(EncodingLatin1, 0, text, 3, units, 2), 2);
  EXPECT_EQ(std::u16string(units, 3), u"\u00E9\u00FF#");
}

TEST(EncodeUtf8, SurrogateRules) {
  const std::u16string pair{0xD83D, 0xDE00};
  EXPECT_EQ(CountUtf8(pair), 4);
  EXPECT_EQ(EncodeUtf8(pair, 4), "\xF0\x9F\x98\x80");
  EXPECT_EQ(DecodeUtf8(EncodeUtf8(pair, 4)), pair);

  // A high surrogate followed by something else: the count stops, the write fails whole.
  const std::u16string broken{u'a', 0xD800, u'b'};
  EXPECT_EQ(CountUtf8(broken), 1);
  EXPECT_EQ(EncodeUtf8(broken, 16), "");
  // As the last unit it only ends the conversion.
  EXPECT_EQ(EncodeUtf8(std::u16string{u'a', 0xD800}, 16), "a");
  // A lone low surrogate is encoded as any other BMP unit.
  EXPECT_EQ(EncodeUtf8(std::u16string{0xDC00}, 16), "\xED\xB0\x80");
}

TEST(EncodeUtf8, CapacityCutsInsideACharacter) {
  EXPECT_EQ(CountUtf8(u"x\u00E9\u20AC"), 6);
  EXPECT_EQ(EncodeUtf8(u"x\u00E9\u20AC", 2), "x\xC3");
  EXPECT_EQ(EncodeUtf8(u"x\u00E9\u20AC", 4), "x\xC3\xA9\xE2");
}

TEST(EncodeLatin1, DropsUnitsAbove255) {
  const std::u16string text = u"\u00E9\u20ACx";
  EXPECT_EQ(EncodeFromUtf16(EncodingLatin1, 0, text.data(), 3, nullptr, 0), 2);
  char bytes[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(EncodeFromUtf16(EncodingLatin1, 0, text.data(), 3, bytes, 4), 2);
  EXPECT_EQ(std::string(bytes, 3), "\xE9x#");
}

TEST(WholeStringCopies, NullAndUnconvertibleGiveEmptyAndRoundTripsHold) {
  char* copy = StringToUtf8Copy(nullptr);
  EXPECT_STREQ(copy, "");
  FreeConvertedCopy(copy);
  const char16_t unpaired[] = {u'a', 0xD800, u'b', 0};
  copy = StringToUtf8Copy(unpaired);
  EXPECT_STREQ(copy, "");
  FreeConvertedCopy(copy);

  const char16_t* text = u"Gr\u00FC\u00DFe \U0001F600/output.iso";
  copy = StringToUtf8Copy(text);
  char16_t* back = Utf8ToStringCopy(copy);
  EXPECT_EQ(std::u16string(back), text);
  FreeConvertedCopy(copy);
  free(back);

  copy = StringToLatin1Copy(u"caf\u00E9");
  EXPECT_STREQ(copy, "caf\xE9");
  FreeConvertedCopy(copy);
  // A unit beyond Latin-1 is left out.
  copy = StringToLatin1Copy(u"5 \u20AC!");
  EXPECT_STREQ(copy, "5 !");
  FreeConvertedCopy(copy);

  back = Latin1ToStringCopy("caf\xE9");
  EXPECT_EQ(std::u16string(back), u"caf\u00E9");
  free(back);
  back = Utf8ToStringCopy(nullptr);
  EXPECT_EQ(std::u16string(back), u"");
  free(back);
  // The zero byte is swallowed by the cut sequence, so the terminator has to be added
  // beyond the counted units.
  back = Utf8ToStringCopy("ab\xC3");
  EXPECT_EQ(std::u16string(back), u"ab\u0003");
  free(back);
}

using TextToStringStack = FreshStringStackTest;

TEST_F(TextToStringStack, ResultsEndAtTheTopWithTheirTerminator) {
  AppendString(u"<");
  StringResultPosition p = StringStackPosition;
  char16_t* result = Utf8ToStringStack("h\xC3\xA9llo \xF0\x9F\x98\x80", p);
  EXPECT_EQ(std::u16string(result), u"h\u00E9llo \U0001F600");
  EXPECT_EQ(StringStackPosition, p + 2 * 8);

  result = Utf8ToStringStack("ab\xE2", p);
  EXPECT_EQ(std::u16string(result), u"ab");
  EXPECT_EQ(StringStackPosition, p + 4);
  result = Utf8ToStringStack("ab\xC3", p);
  EXPECT_EQ(std::u16string(result), u"ab\u0003");
  EXPECT_EQ(StringStackPosition, p + 6);

  result = Latin1ToStringStack("\xC9t\xE9", p);
  EXPECT_EQ(std::u16string(result), u"\u00C9t\u00E9");
  EXPECT_EQ(StringStackPosition, p + 6);

  EXPECT_EQ(std::u16string(Utf8ToStringStack(nullptr, p)), u"");
  EXPECT_EQ(std::u16string(Latin1ToStringStack("", p)), u"");
  EXPECT_EQ(StringStackPosition, p);
}

}  // namespace
