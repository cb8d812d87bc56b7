#include "point/Heights.h"

#include <cmath>

#include "point/GeoidModel.h"

namespace {

// GGA altitude (field 9, "M" in field 10): the antenna above the receiver's
// geoid. A fix without quality, or an epoch whose field was empty (the record
// then holds an earlier epoch's), has none.
std::optional<double> Altitude(const GPS_FIX& fix)
{
    if (fix.nGpsFix == 0 || (fix.u32Missing & FIX_NO_ALTITUDE) != 0 || fix.nAltUnits != UNITS_METRES ||
        !std::isfinite(fix.dfAltVal))
        return std::nullopt;
    return fix.dfAltVal;
}

// GGA geoid separation (fields 11 and 12): the receiver's geoid above the
// ellipsoid. Receivers without a geoid model leave the field empty or send 0
// (no geoid lies on the ellipsoid anywhere: the undulation runs from about
// -107 m to +85 m, and where it crosses 0 a receiver sends centimetres).
// Either way their altitude is the ellipsoidal height; absent then.
std::optional<double> Separation(const GPS_FIX& fix)
{
    if (fix.nGpsFix == 0 || (fix.u32Missing & FIX_NO_SEPARATION) != 0 || fix.nGeoidUnits != UNITS_METRES ||
        !std::isfinite(fix.dfGeoidVal) || fix.dfGeoidVal == 0.0)
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

bool ReceiverAppliesNoGeoid(const SURVEY_POINT& point)
{
    return Altitude(point.GpsFix).has_value() && !Separation(point.GpsFix).has_value();
}

std::optional<double> EllipsoidHeight(const SURVEY_POINT& point)
{
    const auto altitude = Altitude(point.GpsFix);
    if (!altitude)
        return std::nullopt;
    return *altitude + Separation(point.GpsFix).value_or(0.0);
}

std::optional<double> GroundElevation(const SURVEY_POINT& point, double antennaHeight, const IGeoidModel* geoid)
{
    if (!std::isfinite(antennaHeight))
        return std::nullopt;
    // The receiver's geoid: its altitude is orthometric only when it applies one.
    if (geoid == nullptr) {
        const auto altitude = Altitude(point.GpsFix);
        if (!altitude || !Separation(point.GpsFix))
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
