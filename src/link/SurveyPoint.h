// The unit of work handed from the locator link to the survey log: one
// measurement (LOCATE_DATA and the fields after it) joined with a GPS fix and a
// date. A plain value: no pointers, every field fixed-width; copying copies every
// field and a fresh record is all zero.
#pragma once

#include <cstdint>

#include "gps/GpsQuality.h"
#include "gps/GpsRecords.h"

struct LOCATE_DATA {
    int32_t nLogMode = 0;            // frequency class sent by the locator
    float fFrequency = 0.0f;         // Hz; -1.0 when the additional-data word is 0
    uint32_t u32LogId = 0;           // shown in hexadecimal
    uint32_t u32EepromFileIndex = 0;
    float fDepth = 0.0f;             // cm for protocol ids 2 and 3, metres otherwise
    float fSignal = 0.0f;            // dBuV
    float fCurrent = 0.0f;           // mA for protocol ids 2 and 3, amperes otherwise
    float fPhase = 0.0f;             // degrees
    float fStrength = 0.0f;          // 0 to 1.0
    float fGain = 0.0f;              // dB
    int32_t nCompass = 0;            // degrees, 9 bits
    int32_t nArrows = 0;             // 4 bits
    int32_t nAntennaMode = 0;        // 4 bits
    int32_t nAccessoryType = 0;      // 4 bits
    int32_t nSondeLine = 0;          // 1 bit
    int32_t nBattery = 0;            // 3 bits
    int32_t nVolume = 0;             // 2 bits
    int32_t nProtocolId = 0;         // 3 bits
    int32_t nOverload = 0;           // 1 bit

    void Clear() { *this = LOCATE_DATA{}; }
    bool operator==(const LOCATE_DATA&) const = default;
};
static_assert(sizeof(LOCATE_DATA) == 19 * 4, "LOCATE_DATA is 19 words");

// Locator clock words. Date: day bits 31-24, month 23-16, year 15-0.
// Time: hours bits 7-0, minutes 15-8, seconds 23-16.
struct RTC_DATE {
    uint32_t u32Word = 0;
    uint32_t Day() const { return (u32Word >> 24) & 0xFFu; }
    uint32_t Month() const { return (u32Word >> 16) & 0xFFu; }
    uint32_t Year() const { return u32Word & 0xFFFFu; }
    static RTC_DATE Make(uint32_t day, uint32_t month, uint32_t year)
    {
        return RTC_DATE{((day & 0xFFu) << 24) | ((month & 0xFFu) << 16) | (year & 0xFFFFu)};
    }
    bool operator==(const RTC_DATE&) const = default;
};
struct RTC_TIME {
    uint32_t u32Word = 0;
    uint32_t Hours() const { return u32Word & 0xFFu; }
    uint32_t Minutes() const { return (u32Word >> 8) & 0xFFu; }
    uint32_t Seconds() const { return (u32Word >> 16) & 0xFFu; }
    static RTC_TIME Make(uint32_t hours, uint32_t minutes, uint32_t seconds)
    {
        return RTC_TIME{(hours & 0xFFu) | ((minutes & 0xFFu) << 8) | ((seconds & 0xFFu) << 16)};
    }
    bool operator==(const RTC_TIME&) const = default;
};

struct SURVEY_POINT {
    int32_t nLocatorMode = 0;       // mode index 0-72, shown by name in the log
    uint32_t u32AppIdentifier = 0;  // running packet number given by the link
    LOCATE_DATA LocateData;
    int32_t nGpsMode = 0;           // 0 locator GPS, 1/2 handheld GPS, -1 none in the packet
    int32_t nMarkerType = 0;
    float fMarkerDepth = 0.0f;      // metres
    float fMarkerSignal = 0.0f;     // dB
    float fMarkerGain = 0.0f;
    RTC_DATE RtcDate;
    RTC_TIME RtcTime;
    GPS_FIX GpsFix;
    ZDA_DATA ZdaData;
    int32_t nRtcUpdated = 0;
    // Not in the CSV log: for the GIS outputs and the window. A point read back
    // from a log file has it all absent.
    GPS_QUALITY Quality;

    void Clear() { *this = SURVEY_POINT{}; }
    bool operator==(const SURVEY_POINT&) const = default;
};
