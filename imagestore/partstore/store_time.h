// Times inside images: a 32-bit count of seconds made from the local calendar
// time taken as a FILETIME (100 ns units since 1601), counted from a point
// 364,747 units below 1970-01-01 00:00:00.
#pragma once

#include <cstdint>

namespace kw::partstore {

struct CalendarTime {
    int32_t year = 0;  // full year
    int32_t month = 0; // 1..12
    int32_t day = 0;   // 1..31
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
};

// The stored value of a local calendar time plus `hundredNs` (0..9,999,999)
// units of 100 ns; 0 when it lies before the base or too far after it.
uint32_t StoreTimeFromCalendar(const CalendarTime& time, uint32_t hundredNs);

// The stored value of the present local time.
uint32_t StoreTimeNow();

// The calendar time of a stored value, rounded to the nearest second (so a
// value made from a whole second reads back as that second).
CalendarTime CalendarFromStoreTime(uint32_t value);

// Writes the six parts through the pointers that are not null.
void SplitCalendar(const CalendarTime& time, int32_t* year, int32_t* month, int32_t* day,
                   int32_t* hour, int32_t* minute, int32_t* second);

} // namespace kw::partstore
