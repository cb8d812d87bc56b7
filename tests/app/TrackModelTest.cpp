#include "app/TrackModel.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

namespace {

// Metres per degree of latitude on the 6371 km sphere: 6371000 * pi / 180.
constexpr double kMetresPerDegree = 111194.92664;

struct FIX {
    double lat, lon;
    bool fix;
};

SURVEY_POINT Point(const FIX& f)
{
    SURVEY_POINT p;
    p.GpsFix.nGpsFix = f.fix ? 1 : 0;
    p.GpsFix.dfLatAng = f.fix ? f.lat : 0.0;
    p.GpsFix.dfLongAng = f.fix ? f.lon : 0.0;
    return p;
}

struct SURVEY {
    const char* name;
    std::vector<FIX> points;
    size_t drawn;
    size_t withoutFix;
    double spanEast, spanNorth; // metres, worked out by hand
};

class TrackSurveys : public ::testing::TestWithParam<SURVEY> {};

TEST_P(TrackSurveys, ProjectedOnceAndFittedWhole)
{
    const SURVEY& s = GetParam();
    CTrackModel model;
    for (size_t i = 0; i < s.points.size(); ++i)
        model.Add(Point(s.points[i]), static_cast<uint32_t>(i));
    ASSERT_EQ(model.Size(), s.drawn);
    EXPECT_EQ(model.WithoutFix(), s.withoutFix);
    const TRACK_BOUNDS& b = model.Bounds();
    ASSERT_EQ(b.bValid, s.drawn > 0);
    if (b.bValid) {
        // A centimetre over a kilometre: the plane keeps distances.
        EXPECT_NEAR(b.dfMaxEast - b.dfMinEast, s.spanEast, 1e-5 * s.spanEast + 1e-6);
        EXPECT_NEAR(b.dfMaxNorth - b.dfMinNorth, s.spanNorth, 1e-5 * s.spanNorth + 1e-6);
    }

    const int width = 800, height = 600, margin = 20;
    const TRACK_VIEWPORT v = FitViewport(b, width, height, margin);
    for (size_t i = 0; i < model.Size(); ++i) {
        double x = 0.0, y = 0.0;
        v.ToScreen(model.At(i).dfEast, model.At(i).dfNorth, x, y);
        EXPECT_GE(x, margin - 1e-6);
        EXPECT_LE(x, width - margin + 1e-6);
        EXPECT_GE(y, margin - 1e-6);
        EXPECT_LE(y, height - margin + 1e-6);
    }
    // Tight: the survey (at least the smallest span shown) fills the room one way.
    const double east = std::max(s.spanEast, kFitMinimumSpan);
    const double north = std::max(s.spanNorth, kFitMinimumSpan);
    EXPECT_NEAR(std::max(east * v.dfScale / (width - 2 * margin), north * v.dfScale / (height - 2 * margin)), 1.0,
                1e-9);
}

const double kCos52_5 = 0.6087614290;
const double kCos17 = 0.9563047560;

INSTANTIATE_TEST_SUITE_P(
    Surveys, TrackSurveys,
    ::testing::Values(
        SURVEY{"FewMetres",
               {{52.5, 13.4, true}, {52.50001, 13.4, true}, {52.50001, 13.40002, true}},
               3, 0, 0.00002 * kMetresPerDegree * kCos52_5, 0.00001 * kMetresPerDegree},
        SURVEY{"Kilometres",
               {{52.5, 13.4, true}, {0, 0, false}, {52.52, 13.43, true}},
               2, 1, 0.03 * kMetresPerDegree * kCos52_5, 0.02 * kMetresPerDegree},
        SURVEY{"AcrossTheAntimeridian",
               {{-17.0, 179.999, true}, {-17.0, -179.999, true}, {-17.0, 179.9995, true}},
               3, 0, 0.002 * kMetresPerDegree * kCos17, 0.0},
        SURVEY{"AcrossTheEquator",
               {{-0.001, 30.0, true}, {0.001, 30.001, true}},
               2, 0, 0.001 * kMetresPerDegree * 0.9999999998, 0.002 * kMetresPerDegree},
        SURVEY{"AllWithoutFix", {{52.5, 13.4, false}, {52.6, 13.4, false}, {0, 0, false}}, 0, 3, 0.0, 0.0},
        SURVEY{"OnePoint", {{48.1173, 11.5167, true}}, 1, 0, 0.0, 0.0}),
    [](const ::testing::TestParamInfo<SURVEY>& info) { return std::string(info.param.name); });

// Points laid out in metres about an origin on the equator, where a degree is
// as long either way.
FIX At(double east, double north)
{
    return {north / kMetresPerDegree, east / kMetresPerDegree, true};
}

TEST(TrackHitTest, NearestWithinTheRadiusLaterOnTies)
{
    CTrackModel model;
    const FIX points[] = {At(0, 0), At(1, 0), At(1, 0), At(5, 5)};
    for (uint32_t i = 0; i < 4; ++i)
        model.Add(Point(points[i]), i);
    TRACK_VIEWPORT v; // the origin at (100, 100), 10 pixels a metre
    v.nWidth = 200;
    v.nHeight = 200;
    v.dfScale = 10.0;
    struct CLICK {
        double x, y;
        long expected;
    };
    const CLICK clicks[] = {
        {100, 100, 0}, {103, 100, 0}, {109, 101, 2}, {150, 52, 3}, {180, 180, -1}, {100, 107, -1},
    };
    for (const CLICK& c : clicks)
        EXPECT_EQ(HitTest(model, v, c.x, c.y, 6.0), c.expected) << c.x << "," << c.y;

    // Zooming keeps the point under the cursor; panning moves everything along.
    v.ZoomAt(150, 50, 2.0);
    EXPECT_EQ(HitTest(model, v, 150, 50, 0.5), 3);
    EXPECT_DOUBLE_EQ(v.dfScale, 20.0);
    v.PanBy(10, -20);
    EXPECT_EQ(HitTest(model, v, 160, 30, 0.5), 3);
}

TEST(TrackPointFields, ValuesInMetresMilliamperesAndNames)
{
    SURVEY_POINT cm; // protocol 2: centimetres and milliamperes
    cm.LocateData.nProtocolId = 2;
    cm.LocateData.fDepth = 123.0f;
    cm.LocateData.fCurrent = 45.5f;
    cm.LocateData.fSignal = 60.3f;
    cm.LocateData.fFrequency = 8192.0f;
    cm.nLocatorMode = 1;
    cm.RtcTime = RTC_TIME::Make(14, 30, 5);
    cm.GpsFix.nGpsFix = 1;
    cm.GpsFix.nNoSats = 8;

    SURVEY_POINT m; // protocol 0: metres and amperes, no fix, no frequency
    m.LocateData.fDepth = 1.5f;
    m.LocateData.fCurrent = 0.25f;
    m.LocateData.fFrequency = -1.0f;
    m.nLocatorMode = 11;
    m.RtcTime = RTC_TIME::Make(9, 5, 0);

    SURVEY_POINT rtk = cm;
    rtk.GpsFix.nGpsFix = 4;
    rtk.GpsFix.nNoSats = 12;
    SURVEY_POINT odd = cm;
    odd.GpsFix.nGpsFix = 9;
    odd.GpsFix.nNoSats = 5;

    using FIELDS = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(PointFields(cm, 12), (FIELDS{{"Point", "12"},
                                           {"Depth", "1.23 m"},
                                           {"Current", "45.5 mA"},
                                           {"Signal", "60.3 dBuV"},
                                           {"Frequency", "8192 Hz"},
                                           {"Mode", "POWER"},
                                           {"Time", "14:30:05"},
                                           {"Fix", "GPS, 8 satellites"},
                                           {"Accuracy", "unknown"}}));
    EXPECT_EQ(PointFields(m, 1), (FIELDS{{"Point", "1"},
                                         {"Depth", "1.50 m"},
                                         {"Current", "250.0 mA"},
                                         {"Signal", "0.0 dBuV"},
                                         {"Frequency", "none"},
                                         {"Mode", "none"},
                                         {"Time", "9:05:00"},
                                         {"Fix", "no fix"},
                                         {"Accuracy", "unknown"}}));
    rtk.Quality.u32Present = QUALITY_FIX_TYPE | QUALITY_H_ACCURACY;
    rtk.Quality.dfHAccuracy = 0.0149;
    const FIELDS rtkFields = PointFields(rtk, 1);
    EXPECT_EQ(rtkFields[rtkFields.size() - 2].second, "RTK fixed, 12 satellites");
    EXPECT_EQ(rtkFields.back().second, "0.01 m");
    EXPECT_EQ(PointFields(odd, 1)[rtkFields.size() - 2].second, "quality 9, 5 satellites");
}

} // namespace

namespace {

// Screen positions (x right, y down) of a 100 x 100 view at one pixel a metre
// as survey points: x is east, y is 100 - north.
CTrackModel ScreenModel(const std::vector<std::pair<double, double>>& screen)
{
    CTrackModel model;
    model.SetOriginIfNone(0.0, 0.0);
    for (uint32_t i = 0; i < screen.size(); ++i)
        model.Add(Point(At(screen[i].first, 100.0 - screen[i].second)), i);
    return model;
}

TEST(TrackThinning, OneVertexPerPixelAndOffScreenRunsCutToTheirEnds)
{
    TRACK_VIEWPORT v;
    v.nWidth = v.nHeight = 100;
    v.dfScale = 1.0;
    v.dfCentreEast = v.dfCentreNorth = 50.0;
    struct CASE {
        const char* what;
        std::vector<std::pair<double, double>> screen;
        std::vector<uint32_t> line; // indices of the vertices kept
        std::vector<uint32_t> dots;
    };
    const CASE cases[] = {
        {"crowded pixel, then dots a cell apart",
         {{10.1, 10.1}, {10.4, 10.2}, {10.8, 10.9}, {11.5, 10.5}, {13.5, 10.5}},
         {0, 3, 4},
         {0, 4}},
        // Out on the left, round the top-left corner (still beyond the left
        // edge), out along the top and back in: only each run's ends are kept.
        {"runs beyond one edge",
         {{50, 50}, {-10, 50}, {-20, 60}, {-30, 40}, {-10, -10}, {20, -20}, {60, -5}, {60, 30}},
         {0, 1, 4, 5, 6, 7},
         {0, 7}},
        // Beyond the left edge, then beyond the top: the leg between them cuts
        // the view's corner and is kept whole.
        {"leg across a corner",
         {{50, 50}, {-5, 50}, {50, -5}, {50, 20}},
         {0, 1, 2, 3},
         {0, 3}},
    };
    CTrackThinning thinning;
    for (const CASE& c : cases) {
        thinning.Build(ScreenModel(c.screen), v, 0.0, 3);
        std::vector<uint32_t> line;
        std::vector<uint32_t> dots;
        for (const TRACK_SCREEN_POINT& p : thinning.Line())
            line.push_back(p.nIndex);
        for (const TRACK_SCREEN_POINT& p : thinning.Dots())
            dots.push_back(p.nIndex);
        EXPECT_EQ(line, c.line) << c.what;
        EXPECT_EQ(dots, c.dots) << c.what;
    }
}

} // namespace
