#include "files/date_support.h"

#include <gtest/gtest.h>

#include <QCalendar>
#include <QTimeZone>
#include <cstdlib>
#include <string>

namespace {

// Sets TZ for a test and starts date support under it; restores both afterwards.
class DateSupportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    FreeDateSupport();
    if (had_zone_) {
      setenv("TZ", old_zone_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
  }

  void StartIn(const char* zone) {
    setenv("TZ", zone, 1);
    InitDateSupport();
  }

  static int64_t Absolute(int64_t local_seconds) {
    return LocalSecondsToDate(local_seconds).toSecsSinceEpoch();
  }

 private:
  const char* saved_ = getenv("TZ");
  bool had_zone_ = saved_ != nullptr;
  std::string old_zone_ = had_zone_ ? saved_ : "";
};

// 2024-07-01 12:00 and 2024-01-15 12:00 as wall-clock seconds.
constexpr int64_t kSummerNoon = 1719835200;
constexpr int64_t kWinterNoon = 1705320000;

TEST_F(DateSupportTest, KeepsTheSystemTimeZoneAndAGregorianCalendar) {
  EXPECT_EQ(DateSupportTimeZone(), nullptr);
  StartIn("Europe/Berlin");
  ASSERT_NE(DateSupportTimeZone(), nullptr);
  EXPECT_EQ(DateSupportTimeZone()->id(), "Europe/Berlin");
  ASSERT_NE(DateSupportCalendar(), nullptr);
  EXPECT_TRUE(DateSupportCalendar()->isGregorian());
  FreeDateSupport();
  EXPECT_EQ(DateSupportTimeZone(), nullptr);
  EXPECT_EQ(DateSupportCalendar(), nullptr);
}

TEST_F(DateSupportTest, LocalSecondsBecomeTheMatchingAbsoluteDate) {
  StartIn("Europe/Berlin");
  EXPECT_EQ(Absolute(kSummerNoon), kSummerNoon - 2 * 3600);
  EXPECT_EQ(Absolute(kWinterNoon), kWinterNoon - 3600);
  EXPECT_EQ(LocalSecondsToDate(kWinterNoon).timeSpec(), Qt::UTC);

  StartIn("America/New_York");
  EXPECT_EQ(Absolute(kSummerNoon), kSummerNoon + 4 * 3600);

  StartIn("UTC");
  EXPECT_EQ(Absolute(0), 0);
}

TEST_F(DateSupportTest, NoDateForMinusOneOrWithoutDateSupport) {
  EXPECT_FALSE(LocalSecondsToDate(kSummerNoon).isValid());
  StartIn("UTC");
  EXPECT_FALSE(LocalSecondsToDate(-1).isValid());
  EXPECT_TRUE(LocalSecondsToDate(-2).isValid());
  FreeDateSupport();
  EXPECT_FALSE(LocalSecondsToDate(kSummerNoon).isValid());
}

}  // namespace
