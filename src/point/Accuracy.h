// A point's accuracy at the 95 % confidence a crew and its client compare.
//
// The receiver's GST gives 1-sigma errors of latitude, longitude and height.
// GPS_QUALITY::dfHAccuracy is their horizontal DRMS (the root of the sum of the
// two variances), which holds only about 63-68 % of positions, and
// dfVAccuracy the height's sigma (68 %). The 95 % figures follow the NSSDA
// (FGDC-STD-007.3-1998): horizontal 1.7308 x DRMS, taken from a circular
// error with equal sigmas in both axes; vertical 1.96 x sigma, a normal error.
// Absent when the record has no accuracy: an HDOP says nothing in metres.
#pragma once

#include <optional>

#include "gps/GpsQuality.h"

// NSSDA factors.
inline constexpr double kHAccuracy95PerDrms = 1.7308;
inline constexpr double kVAccuracy95PerSigma = 1.96;

// Metres; absent without QUALITY_H_ACCURACY.
std::optional<double> HAccuracy95(const GPS_QUALITY& quality);
// Metres; absent without QUALITY_V_ACCURACY.
std::optional<double> VAccuracy95(const GPS_QUALITY& quality);
