// The UTC instant of a logged point, whatever the tablet's time zone. The log
// keeps a date (GPSDate) and a time of day (GPS_UTC); where the receiver sent
// no ZDA, the date is the handheld clock's local date, and where there was no
// fix, the time of day is the clock's local time too. TimeInd says which:
//   fix, TimeInd 1   date and time from the GPS: UTC as they stand
//   fix, TimeInd 0   time from the GGA (UTC), date from the clock (local):
//                    the UTC date is the one whose instant falls on that
//                    local date
//   no fix           date and time from the clock: local, converted
// The local zone is this machine's (TZ), the tablet's own when the export
// runs on it.
#pragma once

#include "link/SurveyPoint.h"

struct POINT_UTC {
    int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0;
    double dfSecond = 0.0;
};

// False when the point has no date.
bool PointUtcTime(const SURVEY_POINT& point, POINT_UTC& utc);
