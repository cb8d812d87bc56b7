// A point's accuracy at 95 % confidence, as a client's deliverable states it.
// The receiver's GST gives one-sigma errors: horizontally the root of the sum
// of the latitude and longitude variances (DRMS), vertically the height's.
// For a circular error 2 DRMS is about 98 %; 95 % is 1.7308 DRMS (the
// factor of the US national standard for spatial data accuracy), and a
// one-dimensional 95 % is 1.96 sigma. Absent where the receiver sent none.
#pragma once

#include <optional>

#include "gps/GpsQuality.h"

inline std::optional<double> HAccuracy95(const GPS_QUALITY& quality)
{
    if (!quality.Has(QUALITY_H_ACCURACY))
        return std::nullopt;
    return 1.7308 * quality.dfHAccuracy;
}

inline std::optional<double> VAccuracy95(const GPS_QUALITY& quality)
{
    if (!quality.Has(QUALITY_V_ACCURACY))
        return std::nullopt;
    return 1.96 * quality.dfVAccuracy;
}
