// The one builder of utility lines, a row per rule: which points make which
// line, in what order, and what a line says of its points.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "../surveylog/SamplePoints.h"
#include "gis/UtilityLines.h"

namespace {

// A point as a row writes it: its Log number, the utility "type id segment"
// ("" none), void, fix, depth (metres, protocol 0), utility elevation.
struct P {
    uint32_t log;
    const char* type;
    const char* id;
    int segment;
    bool bVoid = false;
    bool bFix = true;
    float depth = 1.0f;
    double elevation = NAN;
};

struct WANT {
    const char* type;
    int segment;
    std::vector<uint32_t> logs; // of its vertices
    double minDepth, maxDepth;
    bool bZ; // every vertex has an elevation
};

struct LinesCase {
    const char* name;
    std::vector<P> points;
    std::vector<WANT> lines;
};

std::vector<LOGGED_POINT> Points(const std::vector<P>& rows)
{
    std::vector<LOGGED_POINT> points;
    for (const P& row : rows) {
        LOGGED_POINT p;
        p.Point = NorthEastPoint();
        p.Point.LocateData.u32EepromFileIndex = row.log;
        p.Point.LocateData.nProtocolId = 0;
        p.Point.LocateData.fDepth = row.depth;
        p.Point.GpsFix.dfLatAng += row.log * 1e-5; // about 1.1 m a point, northwards
        if (!row.bFix)
            p.Point.GpsFix.nGpsFix = 0;
        p.Record.Utility.type = row.type;
        p.Record.Utility.id = row.id;
        p.Record.Utility.segment = row.segment;
        p.Record.bVoid = row.bVoid;
        if (!std::isnan(row.elevation))
            p.Heights.UtilityElevation = row.elevation;
        points.push_back(p);
    }
    return points;
}

class UtilityLines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(UtilityLines, BuildsOneLinePerSegment)
{
    const LinesCase& c = GetParam();
    const std::vector<LOGGED_POINT> points = Points(c.points);
    const std::vector<UTILITY_LINE> lines = BuildUtilityLines(points.data(), points.size());
    ASSERT_EQ(lines.size(), c.lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const UTILITY_LINE& got = lines[i];
        const WANT& want = c.lines[i];
        EXPECT_EQ(got.Utility.type, want.type) << i;
        EXPECT_EQ(got.Utility.segment, want.segment) << i;
        std::vector<uint32_t> logs;
        for (const size_t index : got.points)
            logs.push_back(points[index].Point.LocateData.u32EepromFileIndex);
        EXPECT_EQ(logs, want.logs) << i;
        EXPECT_EQ(got.u32FirstLog, want.logs.front()) << i;
        EXPECT_EQ(got.u32LastLog, want.logs.back()) << i;
        ASSERT_TRUE(got.MinDepth && got.MaxDepth) << i;
        EXPECT_DOUBLE_EQ(*got.MinDepth, want.minDepth) << i;
        EXPECT_DOUBLE_EQ(*got.MaxDepth, want.maxDepth) << i;
        bool bZ = true;
        for (const double z : got.elevation)
            bZ = bZ && std::isfinite(z);
        EXPECT_EQ(bZ, want.bZ) << i;
        // Along a meridian: the length is the span of the vertices' latitudes.
        const double span = (want.logs.back() - want.logs.front()) * 1e-5 * 111'250.0;
        EXPECT_NEAR(got.dfLength, span, span * 0.01 + 1e-9) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, UtilityLines,
    ::testing::Values(
        LinesCase{"VoidPointLeftOut",
                  {{1, "electric", "F12", 1}, {2, "electric", "F12", 1, true, true, 9.0f}, {3, "electric", "F12", 1}},
                  {{"electric", 1, {1, 3}, 1.0, 1.0, false}}},
        LinesCase{"NewSegmentBreaksTheLine",
                  {{1, "gas", "M3", 1}, {2, "gas", "M3", 1, false, true, 1.5f}, {3, "gas", "M3", 2},
                   {4, "gas", "M3", 2, false, true, 0.5f}},
                  {{"gas", 1, {1, 2}, 1.0, 1.5, false}, {"gas", 2, {3, 4}, 0.5, 1.0, false}}},
        LinesCase{"TwoUtilitiesInterleaved",
                  {{1, "electric", "F12", 1}, {2, "water", "S1", 1, false, true, 2.0f}, {3, "electric", "F12", 1},
                   {4, "water", "S1", 1, false, true, 2.5f}},
                  {{"electric", 1, {1, 3}, 1.0, 1.0, false}, {"water", 1, {2, 4}, 2.0, 2.5, false}}},
        LinesCase{"NoFixNoUtilityAddNothing",
                  {{1, "sewer", "", 1, false, true, 1.0f, 10.0}, {2, "sewer", "", 1, false, false},
                   {3, "", "", 0}, {4, "sewer", "", 1, false, true, 1.0f, 9.5}},
                  {{"sewer", 1, {1, 4}, 1.0, 1.0, true}}}),
    [](const ::testing::TestParamInfo<LinesCase>& info) { return info.param.name; });

} // namespace
