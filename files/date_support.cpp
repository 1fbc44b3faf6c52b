#include "files/date_support.h"

#include <QCalendar>
#include <QTimeZone>

namespace {

struct DateSupport {
  QTimeZone zone = QTimeZone::systemTimeZone();
  QCalendar calendar{QCalendar::System::Gregorian};
};

// Allocated by InitDateSupport and deleted by FreeDateSupport rather than a static object,
// so that its lifetime is the start and end sequence's, not the C++ runtime's.
DateSupport* Support = nullptr;

}  // namespace

void InitDateSupport() {
  delete Support;
  Support = new DateSupport;
}

void FreeDateSupport() {
  delete Support;
  Support = nullptr;
}

const QTimeZone* DateSupportTimeZone() {
  return Support == nullptr ? nullptr : &Support->zone;
}

const QCalendar* DateSupportCalendar() {
  return Support == nullptr ? nullptr : &Support->calendar;
}

QDateTime LocalSecondsToDate(int64_t seconds) {
  if (seconds == -1 || Support == nullptr) return QDateTime();
  QDateTime wall_clock_as_utc = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
  // The offset is the one in force at the wall-clock figure read as UTC, not at the
  // resulting instant; the two differ only within hours of a change of offset.
  int offset = Support->zone.offsetFromUtc(wall_clock_as_utc);
  return wall_clock_as_utc.addSecs(-offset);
}
