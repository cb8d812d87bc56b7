#include "gis/PointTime.h"

#include <cmath>
#include <ctime>
#include <initializer_list>

namespace {

// Whole seconds since 1970 of a UTC calendar time; timegm normalises a day
// of 0 or 32 into the month before or after.
time_t UtcSeconds(int year, int month, int day, int secondOfDay)
{
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_sec = secondOfDay;
    return ::timegm(&parts);
}

} // namespace

bool PointUtcTime(const SURVEY_POINT& point, POINT_UTC& utc)
{
    const ZDA_DATA& zda = point.ZdaData;
    const GPS_FIX& fix = point.GpsFix;
    if (zda.nYear <= 0 || zda.nMonth < 1 || zda.nMonth > 12 || zda.nDay < 1 || zda.nDay > 31 || fix.dfUTC < 0.0)
        return false;
    // GPS_UTC is hhmmss.ss.
    const int hhmmss = static_cast<int>(fix.dfUTC);
    const double fraction = fix.dfUTC - hhmmss;
    const int secondOfDay = hhmmss / 10000 * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100;
    time_t instant = 0;
    if (fix.nGpsFix == 0) {
        std::tm local{};
        local.tm_year = zda.nYear - 1900;
        local.tm_mon = zda.nMonth - 1;
        local.tm_mday = zda.nDay;
        local.tm_sec = secondOfDay;
        local.tm_isdst = -1; // the zone's rules say whether summer time held
        instant = std::mktime(&local);
    } else if (fix.nTimeInd != 0) {
        instant = UtcSeconds(zda.nYear, zda.nMonth, zda.nDay, secondOfDay);
    } else {
        // The day before, the same or the day after: the one whose instant
        // the clock showed on the local date logged (zones lie within a day).
        instant = UtcSeconds(zda.nYear, zda.nMonth, zda.nDay, secondOfDay);
        for (int shift : {0, -1, 1}) {
            const time_t candidate = UtcSeconds(zda.nYear, zda.nMonth, zda.nDay + shift, secondOfDay);
            std::tm local{};
            if (::localtime_r(&candidate, &local) != nullptr && local.tm_year == zda.nYear - 1900 &&
                local.tm_mon == zda.nMonth - 1 && local.tm_mday == zda.nDay) {
                instant = candidate;
                break;
            }
        }
    }
    std::tm parts{};
    if (instant == static_cast<time_t>(-1) || ::gmtime_r(&instant, &parts) == nullptr)
        return false;
    utc.nYear = parts.tm_year + 1900;
    utc.nMonth = parts.tm_mon + 1;
    utc.nDay = parts.tm_mday;
    utc.nHour = parts.tm_hour;
    utc.nMinute = parts.tm_min;
    utc.dfSecond = parts.tm_sec + fraction;
    return true;
}
