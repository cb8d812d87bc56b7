#include "point/Heights.h"

#include <cmath>

#include "point/GeoidModel.h"

namespace {

// GGA altitude (field 9, "M" in field 10): the antenna above the receiver's
// geoid. A fix without quality, or an empty field, has none.
std::optional<double> Altitude(const GPS_FIX& fix)
{
    if (fix.nGpsFix == 0 || fix.nAltUnits != UNITS_METRES || !std::isfinite(fix.dfAltVal))
        return std::nullopt;
    return fix.dfAltVal;
}

// GGA geoid separation (fields 11 and 12): the receiver's geoid above the
// ellipsoid. Receivers without a geoid model leave the field empty.
std::optional<double> Separation(const GPS_FIX& fix)
{
    if (fix.nGpsFix == 0 || fix.nGeoidUnits != UNITS_METRES || !std::isfinite(fix.dfGeoidVal))
        return std::nullopt;
    return fix.dfGeoidVal;
}

bool HasPosition(const GPS_FIX& fix)
{
    return std::isfinite(fix.dfLatAng) && std::isfinite(fix.dfLongAng) && std::fabs(SignedLatitude(fix)) <= 90.0 &&
           std::fabs(SignedLongitude(fix)) <= 180.0;
}

} // namespace

double SignedLatitude(const GPS_FIX& fix)
{
    return fix.nLatDir == DIR_SOUTH && fix.dfLatAng > 0.0 ? -fix.dfLatAng : fix.dfLatAng;
}

double SignedLongitude(const GPS_FIX& fix)
{
    return fix.nLongDir == DIR_WEST && fix.dfLongAng > 0.0 ? -fix.dfLongAng : fix.dfLongAng;
}

std::optional<double> PointDepthMetres(const SURVEY_POINT& point)
{
    const LOCATE_DATA& ld = point.LocateData;
    if (!std::isfinite(ld.fDepth))
        return std::nullopt;
    // Centimetres arrive as the single-precision product of the wire's metres
    // and 100; the division is done in double so 125.0 gives 1.25 exactly.
    const double depth = static_cast<double>(ld.fDepth);
    return ld.nProtocolId == 2 || ld.nProtocolId == 3 ? depth / 100.0 : depth;
}

std::optional<double> EllipsoidHeight(const SURVEY_POINT& point)
{
    const auto altitude = Altitude(point.GpsFix);
    const auto separation = Separation(point.GpsFix);
    if (!altitude || !separation)
        return std::nullopt;
    return *altitude + *separation;
}

std::optional<double> GroundElevation(const SURVEY_POINT& point, double antennaHeight, const IGeoidModel* geoid)
{
    if (!std::isfinite(antennaHeight))
        return std::nullopt;
    if (geoid == nullptr) {
        const auto altitude = Altitude(point.GpsFix);
        if (!altitude)
            return std::nullopt;
        return *altitude - antennaHeight;
    }
    const auto ellipsoid = EllipsoidHeight(point);
    double undulation = 0.0;
    if (!ellipsoid || !HasPosition(point.GpsFix) ||
        !geoid->Undulation(SignedLatitude(point.GpsFix), SignedLongitude(point.GpsFix), undulation) ||
        !std::isfinite(undulation))
        return std::nullopt;
    return *ellipsoid - undulation - antennaHeight;
}

std::optional<double> UtilityElevation(const SURVEY_POINT& point, double antennaHeight, const IGeoidModel* geoid)
{
    const auto ground = GroundElevation(point, antennaHeight, geoid);
    const auto depth = PointDepthMetres(point);
    if (!ground || !depth)
        return std::nullopt;
    return *ground - *depth;
}

POINT_HEIGHTS PointHeights(const SURVEY_POINT& point, double antennaHeight, const IGeoidModel* geoid)
{
    POINT_HEIGHTS heights;
    heights.EllipsoidHeight = EllipsoidHeight(point);
    heights.GroundElevation = GroundElevation(point, antennaHeight, geoid);
    heights.Depth = PointDepthMetres(point);
    if (heights.GroundElevation && heights.Depth)
        heights.UtilityElevation = *heights.GroundElevation - *heights.Depth;
    return heights;
}
