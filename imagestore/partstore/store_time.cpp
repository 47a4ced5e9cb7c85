#include "imagestore/partstore/store_time.h"

#include <chrono>
#include <ctime>

namespace kw::partstore {

namespace {

constexpr int64_t kUnitsPerSecond = 10'000'000;
// FILETIME of 1970-01-01 00:00:00 and the base of stored times.
constexpr int64_t kUnixEpochUnits = 116'444'736'000'000'000;
constexpr int64_t kBaseUnits = 0x019DB1DED538EF35;

int64_t DaysFromCivil(int32_t year, int32_t month, int32_t day) {
    using namespace std::chrono;
    const sys_days days = std::chrono::year(year) / std::chrono::month(unsigned(month)) /
                          std::chrono::day(unsigned(day));
    return days.time_since_epoch().count();
}

} // namespace

uint32_t StoreTimeFromCalendar(const CalendarTime& time, uint32_t hundredNs) {
    const int64_t seconds = DaysFromCivil(time.year, time.month, time.day) * 86400 +
                            int64_t(time.hour) * 3600 + time.minute * 60 + time.second;
    const int64_t units = kUnixEpochUnits + seconds * kUnitsPerSecond + hundredNs;
    const int64_t difference = units - kBaseUnits;
    if (difference < 0 || difference / kUnitsPerSecond > int64_t(UINT32_MAX)) {
        return 0;
    }
    return uint32_t(difference / kUnitsPerSecond);
}

uint32_t StoreTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const CalendarTime time{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                            local.tm_hour,        local.tm_min,     local.tm_sec};
    return StoreTimeFromCalendar(time, uint32_t(now.tv_nsec / 100));
}

CalendarTime CalendarFromStoreTime(uint32_t value) {
    using namespace std::chrono;
    const int64_t units = int64_t(value) * kUnitsPerSecond + kBaseUnits - kUnixEpochUnits;
    // Round to the nearest second: the base lies a fraction of a second below
    // the epoch, and truncating would read every time back a second early.
    const int64_t seconds = (units + kUnitsPerSecond / 2) / kUnitsPerSecond;
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t inDay = seconds - days * 86400;
    const year_month_day date{sys_days{std::chrono::days{days}}};
    return CalendarTime{int32_t(date.year()),          int32_t(unsigned(date.month())),
                        int32_t(unsigned(date.day())), int32_t(inDay / 3600),
                        int32_t(inDay / 60 % 60),      int32_t(inDay % 60)};
}

void SplitCalendar(const CalendarTime& time, int32_t* year, int32_t* month, int32_t* day,
                   int32_t* hour, int32_t* minute, int32_t* second) {
    const struct {
        int32_t* out;
        int32_t value;
    } parts[] = {{year, time.year}, {month, time.month},   {day, time.day},
                 {hour, time.hour}, {minute, time.minute}, {second, time.second}};
    for (const auto& part : parts) {
        if (part.out != nullptr) {
            *part.out = part.value;
        }
    }
}

} // namespace kw::partstore
