// How good one position is: the quality record that travels with each fix from
// the receiver (GGA, GST, GSA) or the locator's GPS block to the survey log's
// point. A plain value like the rest of SURVEY_POINT: every value has a
// presence bit, and a value whose bit is clear is absent (NULL in the GIS
// outputs), never 0 and never guessed from another value (HDOP says nothing
// in metres). A fresh record is all zero: everything absent.
#pragma once

#include <cstdint>

// Presence bits of GPS_QUALITY::u32Present.
enum : uint32_t {
    QUALITY_FIX_TYPE = 0x001,
    QUALITY_H_ACCURACY = 0x002,
    QUALITY_V_ACCURACY = 0x004,
    QUALITY_PDOP = 0x008,
    QUALITY_VDOP = 0x010,
    QUALITY_CORRECTION_AGE = 0x020,
    QUALITY_STATION = 0x040,
    QUALITY_FIX_MODE = 0x080,
    QUALITY_CHECKED = 0x100, // a gate looked at the point; bQualityOK holds its verdict
};

// GGA fix quality codes (NMEA 0183 4.x, field 6; 9 is the SBAS fix several
// receivers send beyond the standard's eight).
enum : int32_t {
    FIX_NONE = 0,
    FIX_AUTONOMOUS = 1,
    FIX_DGPS = 2,
    FIX_PPS = 3,
    FIX_RTK_FIXED = 4,
    FIX_RTK_FLOAT = 5,
    FIX_ESTIMATED = 6,
    FIX_MANUAL = 7,
    FIX_SIMULATED = 8,
    FIX_SBAS = 9,
};

// Where the point's position came from.
enum : int32_t { SOURCE_NONE = 0, SOURCE_LOCATOR = 1, SOURCE_RECEIVER = 2, SOURCE_GPSD = 3 };

struct GPS_QUALITY {
    uint32_t u32Present = 0;
    int32_t nFixType = 0;          // GGA quality 0-9
    int32_t nFixMode = 0;          // GSA: 1 no fix, 2 2D, 3 3D
    // Metres, DRMS (about 63-68 % of positions): root of the sum of the GST
    // latitude and longitude variances. HAccuracy95 (point/Accuracy.h) gives 95 %.
    double dfHAccuracy = 0.0;
    double dfVAccuracy = 0.0;      // metres, 1 sigma: the GST height error
    double dfPdop = 0.0;
    double dfVdop = 0.0;
    double dfCorrectionAge = 0.0;  // seconds since the last differential correction
    uint32_t u32Station = 0;       // differential reference station id, 0-1023
    int32_t nSource = SOURCE_NONE; // SOURCE_*
    bool bQualityOK = false;       // meaningful only with QUALITY_CHECKED

    bool Has(uint32_t bit) const { return (u32Present & bit) != 0; }
    void Clear() { *this = GPS_QUALITY{}; }
    bool operator==(const GPS_QUALITY&) const = default;
};

// "no fix", "autonomous", "DGPS", "PPS", "RTK fixed", "RTK float", "estimated",
// "manual", "simulated", "SBAS"; nullptr for any other code.
const char* FixTypeText(int32_t fixType);
// "locator", "receiver", "gpsd"; nullptr for SOURCE_NONE or anything else.
const char* PositionSourceText(int32_t source);
// The GPS lamp's short name of a fix type: "RTK fixed", "RTK float", "DGPS",
// "SBAS", "GPS" (any other fix), "no fix".
const char* FixTypeShortText(int32_t fixType);

// What the locator's own GPS block tells about its position: the fix type, and
// for a differential fix the correction age and station. It carries no
// accuracy and no DOPs beyond HDOP, so those stay absent.
GPS_QUALITY QualityFromLocatorBlock(uint32_t fixQuality, uint32_t correctionAge, uint32_t station);
