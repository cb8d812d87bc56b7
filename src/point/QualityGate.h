// The quality gate: the least a point's position must be for the survey to
// trust it. Off by default. A point below the gate is still answered and
// logged as every other (the locator knows nothing of it); its quality record
// says QualityOK false, the view counts it and announces it at once.
//   GPS#REQUIRE#<RTK | FLOAT | DGPS | ANY | NONE>
//   GPS#MAXHACC#<metres>   (0: no limit), compared with the point's
//                          HAccuracy, a DRMS (see point/Accuracy.h)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "gps/GpsQuality.h"

// Fix types a gate requires, weakest first.
enum : int32_t { REQUIRE_NONE = 0, REQUIRE_ANY = 1, REQUIRE_DGPS = 2, REQUIRE_FLOAT = 3, REQUIRE_RTK = 4 };

struct QUALITY_GATE {
    int32_t nRequire = REQUIRE_NONE;
    double dfMaxHAccuracy = 0.0; // metres; 0 no limit

    bool IsSet() const { return nRequire != REQUIRE_NONE || dfMaxHAccuracy > 0.0; }
    bool operator==(const QUALITY_GATE&) const = default;
};

// Whether a point with this quality passes the gate (always, without one).
// A fix type the gate does not require: ANY takes autonomous to RTK float
// and SBAS (not estimated, manual or simulated, which are no measurement),
// DGPS takes DGPS, SBAS, PPS and both RTK, FLOAT both RTK, RTK only RTK
// fixed. A limit on the
// horizontal accuracy fails a point without one: nothing proves it.
bool MeetsGate(const GPS_QUALITY& quality, const QUALITY_GATE& gate);

// The point was checked against a gate and found below it.
inline bool BelowGate(const GPS_QUALITY& quality)
{
    return quality.Has(QUALITY_CHECKED) && !quality.bQualityOK;
}

// Marks the point's record with the gate's verdict (QUALITY_CHECKED and
// bQualityOK); without a gate the record is left unchecked. Returns the verdict.
bool ApplyGate(GPS_QUALITY& quality, const QUALITY_GATE& gate);

// "GPS: point 17 below RTK fixed (RTK float, 0.21 m DRMS)"; the accuracy is
// left out when the point has none ("no accuracy").
std::string GateWarning(size_t pointNumber, const GPS_QUALITY& quality, const QUALITY_GATE& gate);

// What the gate asks for in words: "RTK fixed", "RTK float", "DGPS", "a fix",
// with " and 0.05 m DRMS" for a limit on the accuracy; "" without a gate.
std::string GateText(const QUALITY_GATE& gate);

// Configuration words: "RTK", "FLOAT", "DGPS", "ANY", "NONE".
const char* RequireToText(int32_t require);
// Any letter case; false for anything else.
bool TextToRequire(std::string_view text, int32_t& require);
// Metres as the C locale writes them, 0 to 1000; false for anything else.
bool TextToMaxHAccuracy(std::string_view text, double& metres);
// Shortest text that reads back as the same value.
std::string MaxHAccuracyToText(double metres);

// The GPS lamp's text for the receiver's latest fix: its short name, the
// horizontal accuracy and the correction age when the fix has them:
// "RTK fixed 0.02 m, age 3 s", "GPS 4.10 m", "DGPS, age 12 s", "no fix".
std::string LampText(const GPS_QUALITY& quality);
// The lamp is amber while a gate is set and the latest fix does not meet it.
bool LampAmber(const GPS_QUALITY& quality, const QUALITY_GATE& gate);
