// Stands for the handheld's local clock (its current local time broken into
// calendar fields). Tests can set the time the program sees.
#pragma once

struct LOCAL_TIME {
    int nYear = 0;   // four digits
    int nMonth = 0;  // 1-12
    int nDay = 0;    // 1-31
    int nHour = 0;   // 0-23
    int nMinute = 0; // 0-59
    int nSecond = 0; // 0-59 (60 on a leap second)
};

// The local time now (localtime_r), or the time set for tests.
LOCAL_TIME GetLocalTime();

// Fixes the time GetLocalTime gives; nullptr goes back to the real clock.
void SetLocalTimeForTest(const LOCAL_TIME* fixed);
