// Geoid grids and map grids through PROJ, checked against PROJ's own cs2cs on
// this machine (same library, same grids), and the refusals of missing grids.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/GeoidModel.h"
#include "gis/GeoidGrid.h"
#include "gis/MapGrid.h"
#include "support/ProjTools.h"
#include "support/ScratchDir.h"

namespace {

using Point3 = std::array<double, 3>;

// Places spread over the EGM96 grid: both hemispheres, its largest highs and
// lows (New Guinea, the Indian Ocean), the date line and near a pole.
const std::vector<Point3> kPlaces = {
    {52.52, 13.40, 0.0}, {-33.92, 18.42, 0.0}, {21.31, -157.86, 0.0}, {-5.0, 145.0, 0.0},
    {5.0, 78.0, 0.0},    {-54.80, -68.30, 0.0}, {0.0, 180.0, 0.0},     {89.5, 10.0, 0.0},
};

TEST(GeoidGrid, Egm96UndulationsAsCs2csGivesThem)
{
    std::string error;
    auto grid = CGeoidGrid::Open("egm96_15.gtx", error);
    ASSERT_TRUE(grid) << error;
    // From ellipsoidal height 0 to EGM96 height: H = 0 - N.
    const auto reference = Cs2cs("EPSG:4979", "EPSG:4326+5773", kPlaces);
    ASSERT_EQ(reference.size(), kPlaces.size());
    for (size_t i = 0; i < kPlaces.size(); ++i) {
        double n = 0.0;
        ASSERT_TRUE(grid->Undulation(kPlaces[i][0], kPlaces[i][1], n)) << i;
        EXPECT_NEAR(n, -reference[i][2], 0.001) << kPlaces[i][0] << " " << kPlaces[i][1];
    }
    double n = 0.0;
    EXPECT_FALSE(grid->Undulation(91.0, 0.0, n));
    // A grid file the office supplies, by its path.
    auto byPath = CGeoidGrid::Open("/usr/share/proj/egm96_15.gtx", error);
    ASSERT_TRUE(byPath) << error;
    ASSERT_TRUE(byPath->Undulation(kPlaces[0][0], kPlaces[0][1], n));
    EXPECT_NEAR(n, -reference[0][2], 0.001);
}

TEST(GeoidGrid, MissingOrUnusableGridRefusedByName)
{
    std::string error;
    EXPECT_FALSE(CGeoidGrid::Open("no_such_geoid.gtx", error));
    EXPECT_NE(error.find("no_such_geoid.gtx"), std::string::npos) << error;
    // '@' would make PROJ skip a missing grid without a word.
    EXPECT_FALSE(CGeoidGrid::Open("@no_such_geoid.gtx", error));

    SetGeoidModelFactory(OpenGeoidGrid);
    std::string message;
    ASSERT_TRUE(LoadGeoidModel("egm96_15.gtx", message)) << message;
    ASSERT_NE(GetGeoidModel(), nullptr);
    EXPECT_FALSE(LoadGeoidModel("office_geoid_2031.gtx", message));
    EXPECT_NE(message.find("geoid grid office_geoid_2031.gtx"), std::string::npos) << message;
    EXPECT_EQ(GetGeoidModel()->Name(), "egm96_15.gtx"); // the model in force stays
    EXPECT_TRUE(LoadGeoidModel("", message));
    EXPECT_EQ(GetGeoidModel(), nullptr);
    SetGeoidModelFactory(nullptr);
}

struct GridCase {
    const char* name;
    const char* crs;
    const char* source; // as cs2cs takes the points: latitude, longitude[, ellipsoidal height]
    std::vector<Point3> points;
    // Metres per unit of the heights we give: a CRS without a vertical part
    // gives the stated height in its own unit, where cs2cs passes it through.
    double zUnit = 1.0;
    bool bDrawing = false; // z in the horizontal axes' unit
};

constexpr double kUsFoot = 1200.0 / 3937.0; // metres

const GridCase kGrids[] = {
    {"Utm33North", "EPSG:32633", "EPSG:4326", {{52.52, 13.40, 0.0}, {48.0, 16.0, 0.0}, {-1.0, 14.5, 0.0}}},
    // NAD83(2011) New York Long Island, US survey feet.
    {"StatePlaneUsFeet", "EPSG:6539", "EPSG:4326", {{40.75, -73.50, 12.5}, {40.70, -74.00, -3.0}}, kUsFoot},
    {"ColoradoUsFeet", "EPSG:6428", "EPSG:4326", {{39.74, -104.99, 1609.3}}, kUsFoot},
    // UTM with EGM96 heights: the height goes through the geoid grid.
    {"CompoundWithGeoid", "EPSG:32633+5773", "EPSG:4979", {{52.52, 13.40, 140.0}, {46.5, 15.0, 400.0}}},
    // US feet across, EGM96 metres up: heights stay metres, but a drawing
    // has them in feet.
    {"CompoundFeetAcrossMetresUp", "EPSG:6539+5773", "EPSG:4979", {{40.75, -73.50, -20.0}, {40.70, -74.00, 5.0}}},
    {"CompoundForADrawing", "EPSG:6539+5773", "EPSG:4979", {{40.75, -73.50, -20.0}}, kUsFoot, true},
};

class MapGridTest : public ::testing::TestWithParam<GridCase> {};

TEST_P(MapGridTest, AsCs2csToAMillimetre)
{
    const GridCase& c = GetParam();
    std::string error;
    auto grid = CMapGrid::Create(c.crs, error, std::nullopt, nullptr, c.bDrawing);
    ASSERT_TRUE(grid) << error;
    EXPECT_STREQ(grid->SourceCrs(), c.source);
    EXPECT_EQ(grid->ZUnitName(), c.zUnit == 1.0 ? "metre" : "US survey foot");
    const auto reference = Cs2cs(c.source, c.crs, c.points);
    ASSERT_EQ(reference.size(), c.points.size());
    for (size_t i = 0; i < c.points.size(); ++i) {
        double x = 0, y = 0, z = 0;
        ASSERT_TRUE(grid->Transform(c.points[i][0], c.points[i][1], c.points[i][2], x, y, z));
        // 1 mm is 0.0033 US survey feet: the tolerance holds in either unit.
        EXPECT_NEAR(x, reference[i][0], 0.001) << i;
        EXPECT_NEAR(y, reference[i][1], 0.001) << i;
        EXPECT_NEAR(z, reference[i][2] / c.zUnit, 0.001) << i;
    }
    EXPECT_TRUE(grid->InAreaOfUse(c.points[0][0], c.points[0][1]));
    // The South Atlantic lies in none of these CRSs' areas of use.
    EXPECT_FALSE(grid->InAreaOfUse(-52.2, 0.12));
    // A point without a height keeps its position; its height stays absent.
    double x = 0, y = 0, z = 0;
    ASSERT_TRUE(grid->Transform(c.points[0][0], c.points[0][1], NAN, x, y, z));
    EXPECT_NEAR(x, reference[0][0], 0.001);
    EXPECT_NEAR(y, reference[0][1], 0.001);
    EXPECT_TRUE(std::isnan(z));
}

INSTANTIATE_TEST_SUITE_P(Crs, MapGridTest, ::testing::ValuesIn(kGrids),
                         [](const ::testing::TestParamInfo<GridCase>& info) { return info.param.name; });

TEST(MapGrid, BestTransformationNeedingAMissingGridIsRefusedByName)
{
    struct Refusal {
        const char* crs;
        const char* grid; // the grid the best transformation needs, not in proj-data
    };
    const Refusal refusals[] = {
        {"EPSG:32633+3855", "us_nga_egm08_25.tif"}, // EGM2008 heights
        {"EPSG:2263", "us_noaa_nyhpgn.tif"},        // NAD83 New York Long Island, through the HARN grid
    };
    for (const Refusal& r : refusals) {
        std::string error;
        std::vector<std::string> missing;
        EXPECT_FALSE(CMapGrid::Create(r.crs, error, std::nullopt, &missing)) << r.crs;
        EXPECT_NE(error.find(r.grid), std::string::npos) << error;
        EXPECT_NE(std::find(missing.begin(), missing.end(), r.grid), missing.end()) << r.crs;

        std::vector<CRS_GRID> grids;
        ASSERT_TRUE(ListCrsGrids(r.crs, grids, error)) << error;
        const auto it = std::find_if(grids.begin(), grids.end(), [&](const CRS_GRID& g) { return g.name == r.grid; });
        ASSERT_NE(it, grids.end()) << r.crs;
        EXPECT_FALSE(it->bAvailable);
    }
    std::string error;
    std::vector<CRS_GRID> grids;
    ASSERT_TRUE(ListCrsGrids("EPSG:32633+5773", grids, error)) << error;
    ASSERT_FALSE(grids.empty());
    EXPECT_TRUE(grids.front().bAvailable) << grids.front().name;
    EXPECT_FALSE(CMapGrid::Create("EPSG:999999", error));
    EXPECT_NE(error.find("EPSG:999999"), std::string::npos) << error;
}

} // namespace

namespace {

// A point where the vertical transformation has no value (outside the geoid
// grid) keeps its horizontal position, its height absent: never NaN beside a
// position, never a point lost. A grid of our own covers 52-53 N, 0-1 E.
TEST(MapGrid, OutsideTheGeoidGridThePositionStaysAndTheHeightIsAbsent)
{
    ScratchDir dir;
    // GTX: south-west corner, spacing (degrees), rows and columns, big-endian;
    // then the undulations as floats, row by row from the south.
    std::string gtx;
    auto put = [&gtx](const void* value, size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(value);
        for (size_t i = size; i-- > 0;)
            gtx += static_cast<char>(bytes[i]);
    };
    for (const double d : {52.0, 0.0, 0.5, 0.5})
        put(&d, sizeof d);
    for (const int32_t n : {3, 3})
        put(&n, sizeof n);
    for (int i = 0; i < 9; ++i) {
        const float undulation = 45.0f;
        put(&undulation, sizeof undulation);
    }
    ASSERT_TRUE(WriteWholeFile(dir.File("small.gtx"), gtx));
    std::string error;
    auto grid = CMapGrid::Create("+proj=utm +zone=31 +datum=WGS84 +geoidgrids=" + dir.File("small.gtx") +
                                     " +vunits=m +type=crs",
                                 error);
    ASSERT_TRUE(grid) << error;
    ASSERT_TRUE(grid->HasVertical());
    auto flat = CMapGrid::Create("EPSG:32631", error);
    ASSERT_TRUE(flat) << error;
    const struct {
        double latitude, longitude;
        bool bHeight;
    } places[] = {{52.2, 0.2, true}, {40.2, 0.2, false}};
    for (const auto& p : places) {
        double x = 0, y = 0, z = 0, fx = 0, fy = 0, fz = 0;
        ASSERT_TRUE(grid->Transform(p.latitude, p.longitude, 57.5, x, y, z)) << p.latitude;
        ASSERT_TRUE(flat->Transform(p.latitude, p.longitude, 0.0, fx, fy, fz));
        EXPECT_NEAR(x, fx, 0.001) << p.latitude;
        EXPECT_NEAR(y, fy, 0.001) << p.latitude;
        if (p.bHeight) {
            EXPECT_NEAR(z, 57.5 - 45.0, 0.001);
        } else {
            EXPECT_TRUE(std::isnan(z)) << z;
        }
    }
}

} // namespace
