// Heights of a survey point, from what the receiver and the locator sent:
//
//   EllipsoidHeight  the antenna's height above the WGS 84 ellipsoid: GGA
//                    altitude + the receiver's geoid separation; the altitude
//                    alone when the separation is empty or 0 (the receiver
//                    applies no geoid, its altitude is ellipsoidal)
//   GroundElevation  the orthometric height of the ground under the antenna:
//                    the antenna's orthometric height minus the antenna
//                    height (GPS#ANTENNA). The antenna's orthometric height is
//                    the GGA altitude (the receiver's geoid; absent when the
//                    receiver applies none), or, with a geoid grid,
//                    EllipsoidHeight minus the grid's undulation there,
//                    whatever the receiver's separation
//   UtilityElevation GroundElevation minus the locator's depth in metres
//
// All in metres. A height whose inputs are missing (no fix, an epoch without
// altitude, no depth, outside the grid) is absent, never 0 and never an
// earlier epoch's: the GIS outputs write it as NULL.
#pragma once

#include <optional>

#include "link/SurveyPoint.h"

class IGeoidModel;

// Antenna heights GPS#ANTENNA and fieldbook-export --antenna take, metres: a
// pole or a vehicle roof.
inline constexpr double kMaxAntennaHeight = 100.0;

struct POINT_HEIGHTS {
    std::optional<double> EllipsoidHeight;
    std::optional<double> GroundElevation;
    std::optional<double> UtilityElevation;
    std::optional<double> Depth; // metres, whatever the locator's protocol
};

// Signed degrees of the fix (south and west negative), whether the fix holds
// them signed already (read back from a survey log) or as the decoder gives
// them (non-negative with a hemisphere code).
double SignedLatitude(const GPS_FIX& fix);
double SignedLongitude(const GPS_FIX& fix);

// The locator's depth in metres: protocol ids 2 and 3 carry centimetres, 0 and
// 1 metres. Absent when the value is not a finite number.
std::optional<double> PointDepthMetres(const SURVEY_POINT& point);
// The point has an altitude but its receiver applies no geoid (separation
// empty or 0): under the receiver's own geoid it has no orthometric height,
// and the crew needs a geoid grid.
bool ReceiverAppliesNoGeoid(const SURVEY_POINT& point);
std::optional<double> EllipsoidHeight(const SURVEY_POINT& point);
// geoid null: the receiver's own geoid (the GGA altitude as it is).
std::optional<double> GroundElevation(const SURVEY_POINT& point, double antennaHeight, const IGeoidModel* geoid);
std::optional<double> UtilityElevation(const SURVEY_POINT& point, double antennaHeight, const IGeoidModel* geoid);
// The four at once.
POINT_HEIGHTS PointHeights(const SURVEY_POINT& point, double antennaHeight, const IGeoidModel* geoid);
