#pragma once
// Conversions between property-list dates and UTC calendar fields (internal). Proleptic
// Gregorian calendar, no leap seconds.

#include <cstdint>

namespace plist::calendar {

struct CivilTime {
  std::int64_t year = 2001;
  int month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// Days since 2001-01-01 of a valid civil date.
std::int64_t daysSinceReferenceDate(std::int64_t year, int month, int day);
int daysInMonth(std::int64_t year, int month);

// Seconds since 2001-01-01 00:00:00 UTC, rounded down to the second, as calendar fields.
// seconds must be finite and within +/- 1e15.
CivilTime civilFromSeconds(double seconds);

}  // namespace plist::calendar
