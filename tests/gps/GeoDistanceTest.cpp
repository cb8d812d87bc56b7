#include <gtest/gtest.h>

#include <cmath>

#include "gps/GeoDistance.h"

namespace {
constexpr double a = CGeoDistance::kSemiMajor;
constexpr double b = CGeoDistance::kSemiMinor;
constexpr double R = CGeoDistance::kEarthRadius;
} // namespace

// Reference distances to 0.1 mm; the antipodal haversine to 1 m.
struct GeoCase {
    const char* name;
    double lat1, lat2, lon1, lon2;
    double haversine, vincenty, tolerance;
};

class GeoDistanceTable : public ::testing::TestWithParam<GeoCase> {};

TEST_P(GeoDistanceTable, BothMethodsBothDirections)
{
    const GeoCase& c = GetParam();
    CGeoDistance geo;
    EXPECT_NEAR(geo.HaversineDistance(c.lat1, c.lat2, c.lon1, c.lon2, R), c.haversine, c.tolerance);
    EXPECT_NEAR(geo.VincentyDistance(c.lat1, c.lat2, c.lon1, c.lon2, a, b), c.vincenty, c.tolerance);
    EXPECT_NEAR(geo.HaversineDistance(c.lat2, c.lat1, c.lon2, c.lon1, R), c.haversine, c.tolerance);
    EXPECT_NEAR(geo.VincentyDistance(c.lat2, c.lat1, c.lon2, c.lon1, a, b), c.vincenty, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Reference, GeoDistanceTable,
    ::testing::Values(GeoCase{"identical", 52.0, 52.0, 1.0, 1.0, 0.0, 0.0, 1e-9},
                      GeoCase{"north_step", 52.0, 52.0001, 1.0, 1.0, 11.1195, 11.1267, 1e-4},
                      GeoCase{"east_step", 52.0, 52.0, 1.0, 1.0001, 6.8458, 6.8678, 1e-4},
                      // Nearly antipodal: Vincenty gives up and reports 0.
                      GeoCase{"antipodal", 0.0, 0.5, 0.0, 179.7, 19950250.0, 0.0, 1.0}),
    [](const ::testing::TestParamInfo<GeoCase>& info) { return std::string(info.param.name); });

// Rounding used to push the haversine term past 1 here and make the distance NaN.
TEST(GeoDistance, HaversineAtTheAntipodeIsHalfACircumference)
{
    const struct {
        double lat1, lat2, lon1, lon2;
    } rows[] = {
        {88.173677643054987, -88.173677676878583, -17.700078148156894, 162.29992264047843},
        {-79.946214220471774, 79.946213986903743, 124.28186085983789, 304.28186026597797},
        {0.0, 0.0, 0.0, 180.0},
        {90.0, -90.0, 0.0, 0.0},
    };
    CGeoDistance geo;
    for (const auto& r : rows) {
        // pi * R = 20015086.8 m; none of the pairs is more than a metre or two short of antipodal.
        EXPECT_NEAR(geo.HaversineDistance(r.lat1, r.lat2, r.lon1, r.lon2, R), 20015086.8, 2.0)
            << r.lat1 << ' ' << r.lat2 << ' ' << r.lon1 << ' ' << r.lon2;
    }
}

TEST(GeoDistance, FullTurnOfLongitudeRunsNoPassAndGivesZero)
{
    CGeoDistance geo;
    EXPECT_EQ(geo.VincentyDistance(52.0, 52.0, 1.0, 361.0, a, b), 0.0);
}

TEST(GeoDistance, StepAlongTheEquatorIsFiniteAndTheSameBothWays)
{
    CGeoDistance geo;
    const double east = geo.VincentyDistance(0.0, 0.0, 10.0, 10.001, a, b);
    const double west = geo.VincentyDistance(0.0, 0.0, 10.001, 10.0, a, b);
    ASSERT_TRUE(std::isfinite(east));
    // 0.001 degree of the equator: a * 0.001 * D, to the loop limit of 1e-12 rad (6 um).
    EXPECT_NEAR(east, a * 0.001 * CGeoDistance::kDegree, 1e-5);
    EXPECT_DOUBLE_EQ(east, west);
}

TEST(GeoDistance, LatitudesComeBeforeLongitudes)
{
    CGeoDistance geo;
    const double right = geo.VincentyDistance(52.0, 52.0001, 1.0, 1.0, a, b);
    const double swapped = geo.VincentyDistance(52.0, 1.0, 52.0001, 1.0, a, b);
    EXPECT_GT(std::fabs(right - swapped), 1000.0);
}
