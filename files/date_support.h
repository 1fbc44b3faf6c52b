// Date support kept from start to end: the system time zone and a Gregorian calendar, and
// the conversion of local wall-clock seconds to an absolute date.
#pragma once

#include <QDateTime>
#include <cstdint>

class QCalendar;
class QTimeZone;

// Keeps the system time zone and the Gregorian calendar. Called again, it takes the time
// zone afresh.
void InitDateSupport();
// Releases both; conversions then give no date.
void FreeDateSupport();

// Null while date support is not started.
const QTimeZone* DateSupportTimeZone();
const QCalendar* DateSupportCalendar();

// The absolute date (in UTC) whose wall-clock time in the kept time zone is the given
// number of seconds since 1970. An invalid QDateTime stands for "no date": for -1, and
// while date support is not started.
QDateTime LocalSecondsToDate(int64_t seconds);
