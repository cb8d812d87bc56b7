// A position's accuracy at 95 %, the figure a crew and its client compare.
//
// The receiver's GST gives a standard deviation per axis. HAccuracy, the root
// of the sum of the latitude and longitude variances, is a DRMS: a circle
// holding some 63 to 68 % of the positions, depending on how elliptical the
// errors are. The US National Standard for Spatial Data Accuracy (NSSDA,
// FGDC-STD-007.3-1998) takes 1.7308 x that root as the horizontal accuracy at
// 95 % (exact for circular errors, the usual assumption when the axes are
// alike), and 1.96 x the vertical standard deviation as the vertical one.
#pragma once

#include <optional>

#include "gps/GpsQuality.h"

inline constexpr double kNssdaHorizontal95 = 1.7308;
inline constexpr double kNormal95 = 1.96;

// Metres at 95 %; absent when the point has no GST accuracy.
inline std::optional<double> HAccuracy95(const GPS_QUALITY& quality)
{
    if (!quality.Has(QUALITY_H_ACCURACY))
        return std::nullopt;
    return kNssdaHorizontal95 * quality.dfHAccuracy;
}

inline std::optional<double> VAccuracy95(const GPS_QUALITY& quality)
{
    if (!quality.Has(QUALITY_V_ACCURACY))
        return std::nullopt;
    return kNormal95 * quality.dfVAccuracy;
}
