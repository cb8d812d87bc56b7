// Heights of a point from the GGA altitude and separation, the antenna height,
// the locator's depth and a geoid; hand-worked values.
#include <cmath>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/GeoidModel.h"
#include "point/Heights.h"

namespace {

// N = 40 m + latitude / 10 + longitude / 100, so a sign lost on the way shows;
// no value south of 60 S (a grid's edge).
class SlopedGeoid : public IGeoidModel {
public:
    bool Undulation(double latitude, double longitude, double& metres) const override
    {
        if (latitude < -60.0)
            return false;
        metres = 40.0 + latitude / 10.0 + longitude / 100.0;
        return true;
    }
    const std::string& Name() const override { return m_name; }

private:
    std::string m_name = "sloped";
};

struct HeightCase {
    const char* name;
    double lat, lon;     // degrees as decoded: non-negative, hemisphere codes below
    int32_t latDir, lonDir;
    uint32_t fixQuality;
    int32_t altUnits, geoidUnits;
    double altitude, separation;
    int32_t protocol;
    float depth;         // as the locator's record holds it
    double antenna;
    bool grid;           // the sloped geoid, else the receiver's
    std::optional<double> ellipsoid, ground, utility, depthMetres;
    uint32_t missing = 0;  // GPS_FIX::u32Missing: the epoch's field was empty
    bool noGeoid = false;  // ReceiverAppliesNoGeoid
};

constexpr int32_t M = UNITS_METRES;
constexpr double kNaN = NAN;

const HeightCase kCases[] = {
    // 100 m above the receiver's geoid, which lies 47.5 m above the ellipsoid.
    {"ReceiverGeoidMetresProtocol", 52.0, 13.0, DIR_NORTH, DIR_EAST, 1, M, M, 100.0, 47.5, 1, 1.2f, 0.0, false,
     147.5, 100.0, 98.8, 1.2},
    {"AntennaOnPoleCentimetresProtocol", 52.0, 13.0, DIR_NORTH, DIR_EAST, 4, M, M, 100.0, 47.5, 2, 125.0f, 2.0, false,
     147.5, 98.0, 96.75, 1.25},
    // Grid: N = 40 + 5.2 + 0.13 = 45.33; 147.5 - 45.33 - 1.8 = 100.37.
    {"ReceiverGeoidAntennaProtocol3", 52.0, 13.0, DIR_NORTH, DIR_EAST, 4, M, M, 100.0, 47.5, 3, 50.0f, 1.8, false, 147.5, 98.2, 97.7, 0.5},
    {"GridGeoidReplacesReceiversAltitude", 52.0, 13.0, DIR_NORTH, DIR_EAST, 4, M, M, 100.0, 47.5, 3, 50.0f, 1.8, true,
     147.5, 100.37, 99.87, 0.5},
    // South and west reach the grid signed: N = 40 - 3.39 - 1.2 = 35.41.
    {"SouthWestSigned", 33.9, 120.0, DIR_SOUTH, DIR_WEST, 1, M, M, 12.0, 30.0, 0, 2.0f, 0.0, true, 42.0, 6.59, 4.59,
     2.0},
    {"AlreadySignedAsTheLogKeepsThem", -33.9, -120.0, DIR_SOUTH, DIR_WEST, 1, M, M, 12.0, 30.0, 0, 2.0f, 0.0, true,
     42.0, 6.59, 4.59, 2.0},
    // No separation in the GGA, or 0: the receiver applies no geoid, its
    // altitude is the ellipsoidal height; only a grid gives an elevation.
    // Grid: N = 45.33; 100 - 45.33 - 1.5 = 53.17.
    {"NoSeparationReceiverGeoid", 52.0, 13.0, DIR_NORTH, DIR_EAST, 1, M, 0, 100.0, 0.0, 1, 1.0f, 1.5, false,
     100.0, std::nullopt, std::nullopt, 1.0, 0, true},
    {"NoSeparationGridGeoid", 52.0, 13.0, DIR_NORTH, DIR_EAST, 1, M, 0, 100.0, 0.0, 1, 1.0f, 1.5, true, 100.0,
     53.17, 52.17, 1.0, 0, true},
    {"SeparationZeroReceiverGeoid", 52.0, 13.0, DIR_NORTH, DIR_EAST, 2, M, M, 100.0, 0.0, 1, 1.0f, 1.5, false,
     100.0, std::nullopt, std::nullopt, 1.0, 0, true},
    {"SeparationZeroGridGeoid", 52.0, 13.0, DIR_NORTH, DIR_EAST, 2, M, M, 100.0, 0.0, 1, 1.0f, 1.5, true, 100.0,
     53.17, 52.17, 1.0, 0, true},
    // The record holds an earlier epoch's 47.5, which this epoch did not send.
    {"EpochWithoutSeparation", 52.0, 13.0, DIR_NORTH, DIR_EAST, 2, M, M, 100.0, 47.5, 1, 1.0f, 1.5, false, 100.0,
     std::nullopt, std::nullopt, 1.0, FIX_NO_SEPARATION, true},
    // ... or an earlier epoch's altitude: no height at all, never the last one.
    {"EpochWithoutAltitude", 52.0, 13.0, DIR_NORTH, DIR_EAST, 2, M, M, 100.0, 47.5, 1, 1.0f, 1.5, false,
     std::nullopt, std::nullopt, std::nullopt, 1.0, FIX_NO_ALTITUDE | FIX_NO_SEPARATION},
    {"EpochWithoutAltitudeGridGeoid", 52.0, 13.0, DIR_NORTH, DIR_EAST, 2, M, M, 100.0, 47.5, 1, 1.0f, 1.5, true,
     std::nullopt, std::nullopt, std::nullopt, 1.0, FIX_NO_ALTITUDE},
    // A negative separation is a geoid like any other (the Indian Ocean low).
    {"NegativeSeparationGridGeoid", 5.0, 78.0, DIR_NORTH, DIR_EAST, 1, M, M, 10.0, -100.0, 0, 0.0f, 0.0, true,
     -90.0, -131.28, -131.28, 0.0},
    {"NoAltitude", 52.0, 13.0, DIR_NORTH, DIR_EAST, 1, 0, M, 0.0, 47.5, 1, 1.0f, 0.0, false, std::nullopt,
     std::nullopt, std::nullopt, 1.0},
    {"NoFix", 52.0, 13.0, DIR_NORTH, DIR_EAST, 0, M, M, 100.0, 47.5, 1, 1.0f, 0.0, false, std::nullopt, std::nullopt,
     std::nullopt, 1.0},
    {"OutsideTheGrid", 70.0, 0.0, DIR_SOUTH, DIR_EAST, 1, M, M, 10.0, 20.0, 1, 1.0f, 0.0, true, 30.0, std::nullopt,
     std::nullopt, 1.0},
    {"DepthNotANumber", 52.0, 13.0, DIR_NORTH, DIR_EAST, 1, M, M, 100.0, 47.5, 2, static_cast<float>(kNaN), 0.0,
     false, 147.5, 100.0, std::nullopt, std::nullopt},
    // A depth of 0 is a measurement, not a missing one.
    {"ZeroDepthIsADepth", 52.0, 13.0, DIR_NORTH, DIR_EAST, 1, M, M, 100.0, 47.5, 0, 0.0f, 0.0, false, 147.5, 100.0,
     100.0, 0.0},
};

void ExpectHeight(const char* what, const std::optional<double>& got, const std::optional<double>& want)
{
    ASSERT_EQ(got.has_value(), want.has_value()) << what;
    if (want) {
        EXPECT_NEAR(*got, *want, 1e-6) << what; // depth passes through a float: 1.2f is 1.2 to 5e-8
    }
}

class HeightsTest : public ::testing::TestWithParam<HeightCase> {};

TEST_P(HeightsTest, FromAltitudeSeparationAntennaDepthAndGeoid)
{
    const HeightCase& c = GetParam();
    SURVEY_POINT point;
    point.GpsFix = {.dfLatAng = c.lat, .nLatDir = c.latDir, .dfLongAng = c.lon, .nLongDir = c.lonDir,
                    .nGpsFix = c.fixQuality, .dfAltVal = c.altitude, .nAltUnits = c.altUnits,
                    .dfGeoidVal = c.separation, .nGeoidUnits = c.geoidUnits, .u32Missing = c.missing};
    point.LocateData.nProtocolId = c.protocol;
    point.LocateData.fDepth = c.depth;
    const SlopedGeoid sloped;
    const IGeoidModel* geoid = c.grid ? &sloped : nullptr;

    const POINT_HEIGHTS h = PointHeights(point, c.antenna, geoid);
    ExpectHeight("ellipsoid", h.EllipsoidHeight, c.ellipsoid);
    ExpectHeight("ground", h.GroundElevation, c.ground);
    ExpectHeight("utility", h.UtilityElevation, c.utility);
    ExpectHeight("depth", h.Depth, c.depthMetres);
    // The single functions agree with the record.
    ExpectHeight("utility alone", UtilityElevation(point, c.antenna, geoid), c.utility);
    EXPECT_EQ(ReceiverAppliesNoGeoid(point), c.noGeoid);
}

INSTANTIATE_TEST_SUITE_P(Points, HeightsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HeightCase>& info) { return info.param.name; });

} // namespace
