#include "tools/converter_pool.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace {

std::string Convert(iconv_t converter, std::string text) {
  char* in = text.data();
  size_t in_left = text.size();
  std::string out(64, '\0');
  char* out_next = out.data();
  size_t out_left = out.size();
  if (iconv(converter, &in, &in_left, &out_next, &out_left) == static_cast<size_t>(-1)) {
    return "(failed)";
  }
  out.resize(out.size() - out_left);
  return out;
}

// libisofs opens a converter for each name; this program reuses the closed ones. One reused must
// start as a new one would, here after it was left in the middle of a shifted sequence, and one for
// another pair of charsets is another.
TEST(ConverterReuseTest, ReusedConverterStartsAfresh) {
  CloseIdleConverters();
  iconv_t first = iconv_open("ISO-2022-JP", "UTF-8");
  ASSERT_NE(first, reinterpret_cast<iconv_t>(-1));
  // The kanji for "day" shifts the output into JIS X 0208 until the shift back, which comes
  // only with the next ASCII character or the end of the text.
  EXPECT_EQ(Convert(first, "\xE6\x97\xA5"), "\x1B$BF|");
  EXPECT_EQ(iconv_close(first), 0);
  EXPECT_EQ(IdleConverterCount(), 1u);

  iconv_t other = iconv_open("UTF-16BE", "UTF-8");
  EXPECT_NE(other, first);
  EXPECT_EQ(Convert(other, "a"), std::string("\0a", 2));
  iconv_t again = iconv_open("ISO-2022-JP", "UTF-8");
  EXPECT_EQ(again, first);
  EXPECT_EQ(IdleConverterCount(), 0u);
  EXPECT_EQ(Convert(again, "a"), "a");

  EXPECT_EQ(iconv_close(again), 0);
  EXPECT_EQ(iconv_close(other), 0);
  EXPECT_EQ(IdleConverterCount(), 2u);
  CloseIdleConverters();
  EXPECT_EQ(IdleConverterCount(), 0u);
}

}  // namespace
