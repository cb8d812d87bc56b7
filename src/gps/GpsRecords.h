// The two GPS records shared by the decoder, the survey point and the survey log:
// GPS_FIX (from GGA sentences) and ZDA_DATA (from ZDA sentences), and the words
// the survey log writes for their hemisphere and unit codes.
#pragma once

#include <cstdint>

// Hemisphere codes of GPS_FIX::nLatDir / nLongDir.
enum : int32_t { DIR_NONE = 0, DIR_NORTH = 1, DIR_SOUTH = 2, DIR_WEST = 3, DIR_EAST = 4 };
// Units code of GPS_FIX::nAltUnits / nGeoidUnits.
enum : int32_t { UNITS_NONE = 0, UNITS_METRES = 1 };
// Bits of GPS_FIX::u32Missing.
enum : uint32_t {
    FIX_NO_ALTITUDE = 0x1,   // the GGA's altitude field was empty
    FIX_NO_SEPARATION = 0x2, // the GGA's geoid separation field was empty
};

struct GPS_FIX {
    double dfUTC = 0.0;       // hhmmss.ss
    double dfLatAng = 0.0;    // decimal degrees, non-negative as decoded
    int32_t nLatDir = 0;      // 1 north, 2 south, 0 other
    double dfLongAng = 0.0;   // decimal degrees, non-negative as decoded
    int32_t nLongDir = 0;     // 3 west, 4 east, 0 other
    uint32_t nGpsFix = 0;     // fix quality: 0 none, 1 GPS, 2 differential, others as sent
    uint32_t nNoSats = 0;     // satellites in use
    double dfHorizDil = 0.0;  // horizontal dilution of precision
    double dfAltVal = 0.0;    // antenna altitude above mean sea level
    int32_t nAltUnits = 0;    // 1 metres, 0 other
    double dfGeoidVal = 0.0;  // geoid separation
    int32_t nGeoidUnits = 0;  // 1 metres, 0 other
    uint32_t nDgpsTime = 0;   // age of differential data, whole seconds
    uint32_t nDgpsId = 0;     // differential reference station id
    uint32_t nTimeInd = 0;    // 1 time from the GPS, 0 from the handheld's clock
    // Not in the CSV log. The fields above keep an empty GGA field's older
    // value, which the log prints as the handheld did; these bits say the
    // epoch itself had no altitude or separation, so no height is made from
    // what an earlier epoch said. Zero, as in a record read back from a log
    // or built from the locator's GPS block (which has no empty fields),
    // leaves the units codes to say what is there.
    uint32_t u32Missing = 0;  // FIX_NO_*

    void Clear() { *this = GPS_FIX{}; }
    bool operator==(const GPS_FIX&) const = default;
};

struct ZDA_DATA {
    double dfUTC = 0.0; // hhmmss.ss
    int32_t nHour = 0;
    int32_t nMinute = 0;
    int32_t nSecond = 0;
    int32_t nDay = 0;
    int32_t nMonth = 0;
    int32_t nYear = 0;  // four digits
    int32_t nLocalZoneHour = 0;
    int32_t nLocalZoneMinute = 0;
    int32_t nTimeInd = 0; // as GPS_FIX::nTimeInd

    void Clear() { *this = ZDA_DATA{}; }
    bool operator==(const ZDA_DATA&) const = default;
};

// Direction word of a hemisphere code: "NORTH", "SOUTH", "WEST", "EAST", else "0".
// text must hold at least 6 bytes.
void DirectionToText(int code, char* text);
// Units word: "METERS" for 1, else "0". text must hold at least 7 bytes.
void UnitsToText(int code, char* text);
// Exact, case-sensitive reverse lookups; 0 for anything else (or a null text).
int TextToDirection(const char* text);
int TextToUnits(const char* text);
