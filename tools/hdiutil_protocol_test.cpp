#include "tools/hdiutil_protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

// The window reads the tool's lines in UTF-16.
std::u16string Utf16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// Every line the tool writes reads back as what it said, across the whole range the window
// accepts.
TEST(HdiutilProtocolTest, TheWindowReadsWhatTheToolWrites) {
  for (int percent = 0; percent <= 100; ++percent)
    EXPECT_EQ(PercentOfLine(Utf16(PercentLine(percent)).c_str()), percent);
  for (uint64_t size : {uint64_t{0}, uint64_t{3'210'987'654}, uint64_t{9'999'999'999'999'999'999u}})
    EXPECT_EQ(ImageSizeOfLine(Utf16(SizeLine(size)).c_str()), std::optional<uint64_t>(size));
  EXPECT_EQ(std::u16string(WarningOfLine(Utf16(WarningLine("odd\nname\r")).c_str())),
            u"odd\\nname\\r");
  // The window takes "hdiutil: " off, and the line feed ends the line.
  std::string failure = FailureLine("no room");
  ASSERT_TRUE(failure.starts_with("hdiutil: ") && failure.ends_with("\n"));
  failure = failure.substr(9, failure.size() - 10);
  EXPECT_EQ(std::u16string(FailureReasonOfLine(Utf16(failure).c_str())), u"no room");
}

// A line is a percent or a size only whole: a warning that ends in "%" or a longer number must
// not move the bar. A UTF-16 unit whose low byte is ASCII is not that character.
TEST(HdiutilProtocolTest, OnlyWholeLinesArePercentsAndSizes) {
  for (const char16_t* line : {u"101%", u"42% ", u"%", u"0042%", u"-1%", u"42\u0125"})
    EXPECT_EQ(PercentOfLine(line), -1) << ::testing::PrintToString(std::u16string(line));
  for (const char16_t* line : {u"size: bytes", u"size: 12 bytes ", u"size:  12 bytes",
                               u"size: 12345678901234567890 bytes", u"\u0173ize: 12 bytes"})
    EXPECT_EQ(ImageSizeOfLine(line), std::nullopt)
        << ::testing::PrintToString(std::u16string(line));
  EXPECT_EQ(WarningOfLine(u"warning:x"), nullptr);
}

}  // namespace
