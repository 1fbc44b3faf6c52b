#include "runtime/qstring_bridge.h"
#include "runtime/runtime_test_support.h"

#include <gtest/gtest.h>

#include <QString>
#include <string>

namespace {

using QStringBridgeTest = FreshStringStackTest;

const char16_t kPath[] = u"/home/\u00E9\U0001F600/output.iso";
constexpr int64_t kPathUnits = 20;

TEST(StringToQString, CopiesUnitsAndReadsNullAsEmpty) {
  EXPECT_TRUE(StringToQString(nullptr).isEmpty());
  QString text = StringToQString(kPath);
  EXPECT_EQ(text.size(), kPathUnits);
  EXPECT_EQ(text, QString::fromUtf8("/home/\xC3\xA9\xF0\x9F\x98\x80/output.iso"));
}

TEST_F(QStringBridgeTest, StackResultHoldsEveryUnitAndEndsAtTheTop) {
  AppendString(u"Finished... ");
  StringResultPosition p = StringStackPosition;
  QString text = QString::fromUtf16(kPath);
  EXPECT_EQ(QStringToStringStack(text, p), kPathUnits);
  EXPECT_EQ(StringStackPosition, p + 2 * kPathUnits);
  EXPECT_EQ(std::u16string(StringStackAddressAt(1)), std::u16string(u"Finished... ") + kPath);

  EXPECT_EQ(QStringToStringStack(QString(), p), 0);
  EXPECT_EQ(StringStackPosition, p);
  EXPECT_EQ(std::u16string(StringStackAddressAt(p + 1)), u"");
}

TEST(QStringToBuffer, TruncatesToTheCapacityWithoutSplittingAPair) {
  QString text = QString::fromUtf16(u"ab\U0001F600c");
  char16_t buffer[8];
  EXPECT_EQ(QStringToBuffer(buffer, text, 8), 5);
  EXPECT_EQ(std::u16string(buffer), u"ab\U0001F600c");
  EXPECT_EQ(QStringToBuffer(buffer, text, 5), 4);
  EXPECT_EQ(std::u16string(buffer), u"ab\U0001F600");
  // Room for three units would end between the halves of the pair.
  EXPECT_EQ(QStringToBuffer(buffer, text, 4), 2);
  EXPECT_EQ(std::u16string(buffer), u"ab");
  EXPECT_EQ(QStringToBuffer(buffer, text, 1), 0);
  EXPECT_EQ(buffer[0], u'\0');
  EXPECT_EQ(QStringToBuffer(buffer, text, 0), 0);
}

}  // namespace
