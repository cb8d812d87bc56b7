// The map under the track view: rasters in several CRSs warped into the track
// view's plane land where the track model puts their places; a view beside the
// raster is transparent; files that cannot be drawn are refused in words.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <cpl_error.h>
#include <gtest/gtest.h>

#include "app/TrackModel.h"
#include "gis/MapRaster.h"
#include "support/ScratchDir.h"
#include "support/TestRaster.h"

namespace {

struct RenderRow {
    const char* name;
    TEST_RASTER raster;
    int bands;                 // as the warper gets them
    const char* format = nullptr; // the GeoTIFF copied into this GDAL format
};

// A copy of the raster in another format, as gdal_translate makes it.
bool CopyInto(const std::string& from, const std::string& to, const char* format, std::string& error)
{
    GDALDatasetUniquePtr source(GDALDataset::Open(from.c_str(), GDAL_OF_RASTER));
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(format);
    if (!source || driver == nullptr) {
        error = std::string("no ") + format;
        return false;
    }
    // PNG tiles: the default would be JPEG where a tile is opaque, whose
    // colours are near the raster's only.
    const char* options[] = {"TILE_FORMAT=PNG", nullptr};
    GDALDatasetUniquePtr copy(driver->CreateCopy(to.c_str(), source.get(), FALSE, const_cast<char**>(options),
                                                 nullptr, nullptr));
    if (!copy)
        error = std::string("cannot copy into ") + format + ": " + CPLGetLastErrorMsg();
    return copy != nullptr;
}

uint32_t Opaque(uint32_t rgb)
{
    return 0xff000000u | rgb;
}

uint32_t Expected(const TEST_RASTER& raster, int quadrant)
{
    if (raster.colours != RasterColours::Grey)
        return Opaque(kQuadrantColour[quadrant]);
    const uint32_t g = kQuadrantGrey[quadrant];
    return Opaque(g << 16 | g << 8 | g);
}

// Each channel within 2: bilinear sampling rounds.
::testing::AssertionResult NearColour(uint32_t got, uint32_t want)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const int a = static_cast<int>((got >> shift) & 0xff);
        const int b = static_cast<int>((want >> shift) & 0xff);
        if (std::abs(a - b) > 2) {
            char text[64];
            std::snprintf(text, sizeof text, "%08x, not %08x", got, want);
            return ::testing::AssertionFailure() << text;
        }
    }
    return ::testing::AssertionSuccess();
}

class MapRasterRender : public ::testing::TestWithParam<RenderRow> {};

// The plane's origin 150 m west and 100 m south of the raster's middle, the
// view centred on the origin at 0.4 pixel per metre: the raster (1000 m
// square, 400 pixels) lies inside the view, its middle at about (460, 260).
TEST_P(MapRasterRender, QuadrantsWhereTheTrackModelPutsThem)
{
    const RenderRow& row = GetParam();
    ScratchDir dir;
    std::string path = dir.File("map.tif");
    std::string error;
    ASSERT_TRUE(WriteTestRaster(path, row.raster, error)) << error;
    if (row.format != nullptr) {
        const std::string copy = dir.File(std::string("map.") + row.name);
        ASSERT_TRUE(CopyInto(path, copy, row.format, error)) << error;
        path = copy;
    }
    std::unique_ptr<CMapRaster> map = CMapRaster::Open(path, error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->Bands(), row.bands);

    const double lat = row.raster.dfCentreLat;
    const double lon = row.raster.dfCentreLong;
    CTrackModel model;
    model.SetOriginIfNone(lat - 100.0 / 111195.0, lon - 150.0 / (111195.0 * std::cos(lat * M_PI / 180.0)));
    TRACK_VIEWPORT viewport;
    viewport.dfScale = 0.4;
    viewport.nWidth = 800;
    viewport.nHeight = 600;
    double east = 0.0, north = 0.0, cx = 0.0, cy = 0.0;
    ASSERT_TRUE(model.Project(lat, lon, east, north));
    viewport.ToScreen(east, north, cx, cy);
    ASSERT_NEAR(cx, 460.0, 3.0);
    ASSERT_NEAR(cy, 260.0, 3.0);

    MAP_VIEW view{model.OriginLat(), model.OriginLong(), 0.0, 0.0, 0.4, 800, 600};
    std::vector<uint32_t> pixels(800 * 600, 0x12345678u);
    const std::atomic<bool> stop{false};
    ASSERT_EQ(map->Render(view, pixels.data(), stop, error), MapRender::Drawn) << error;
    auto at = [&](double x, double y) {
        const long col = std::clamp(std::lround(x), 0L, 799L);
        const long line = std::clamp(std::lround(y), 0L, 599L);
        return pixels[static_cast<size_t>(line * 800 + col)];
    };
    // 4 pixels (10 m) either side of the quadrants' meeting point.
    EXPECT_TRUE(NearColour(at(cx - 4, cy - 4), Expected(row.raster, 0))) << "north-west";
    EXPECT_TRUE(NearColour(at(cx + 4, cy - 4), Expected(row.raster, 1))) << "north-east";
    EXPECT_TRUE(NearColour(at(cx - 4, cy + 4), Expected(row.raster, 2))) << "south-west";
    EXPECT_TRUE(NearColour(at(cx + 4, cy + 4), Expected(row.raster, 3))) << "south-east";
    // Its west and north edges 500 m (200 pixels) from its middle.
    EXPECT_EQ(at(cx - 204, cy - 100), 0u) << "beyond the west edge";
    EXPECT_TRUE(NearColour(at(cx - 196, cy - 100), Expected(row.raster, 0))) << "inside the west edge";
    EXPECT_EQ(at(cx + 100, cy - 204), 0u) << "beyond the north edge";
    EXPECT_TRUE(NearColour(at(cx + 100, cy - 196), Expected(row.raster, 1))) << "inside the north edge";
    EXPECT_EQ(at(2, 2), 0u);
    EXPECT_EQ(at(797, 597), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Crs, MapRasterRender,
    ::testing::Values(
        RenderRow{"Wgs84Degrees", {.crs = "EPSG:4326"}, 3},
        RenderRow{"Utm33North", {.crs = "EPSG:32633"}, 3},
        RenderRow{"WebMercator", {.crs = "EPSG:3857"}, 3},
        // Another datum: PROJ's Helmert step to WGS 84 moves it about 100 m.
        RenderRow{"BritishNationalGrid", {.crs = "EPSG:27700", .dfCentreLat = 51.5, .dfCentreLong = -0.12}, 3},
        RenderRow{"Utm19SouthWestOfGreenwich",
                  {.crs = "EPSG:32719", .dfCentreLat = -33.45, .dfCentreLong = -70.66}, 3},
        RenderRow{"Paletted", {.crs = "EPSG:32633", .colours = RasterColours::Paletted}, 4},
        RenderRow{"Grey", {.crs = "EPSG:4326", .colours = RasterColours::Grey}, 3},
        // Tiles: MBTiles holds Web Mercator tiles with alpha, a GeoPackage
        // the raster's own CRS and bands.
        RenderRow{"MBTiles", {.crs = "EPSG:32633"}, 4, "MBTiles"},
        RenderRow{"GeoPackageTiles", {.crs = "EPSG:32633"}, 3, "GPKG"}),
    [](const ::testing::TestParamInfo<RenderRow>& info) { return std::string(info.param.name); });

TEST(MapRaster, ViewBesideTheRasterIsTransparentAndAStopGivesUp)
{
    ScratchDir dir;
    const std::string path = dir.File("map.tif");
    std::string error;
    ASSERT_TRUE(WriteTestRaster(path, {.crs = "EPSG:32633"}, error)) << error;
    std::unique_ptr<CMapRaster> map = CMapRaster::Open(path, error);
    ASSERT_TRUE(map) << error;
    // 50 km north of the raster.
    MAP_VIEW view{52.5, 13.4, 0.0, 50000.0, 0.5, 320, 240};
    std::vector<uint32_t> pixels(320 * 240, 0x12345678u);
    std::atomic<bool> stop{false};
    ASSERT_EQ(map->Render(view, pixels.data(), stop, error), MapRender::Drawn) << error;
    EXPECT_EQ(std::count(pixels.begin(), pixels.end(), 0u), static_cast<long>(pixels.size()));
    // The whole earth in 320 pixels: most of it outside the projection's
    // useful range, still no failure.
    view = {52.5, 13.4, 0.0, 0.0, 320.0 / 4.0e7, 320, 240};
    EXPECT_EQ(map->Render(view, pixels.data(), stop, error), MapRender::Drawn) << error;
    stop = true;
    view = {52.5, 13.4, 0.0, 0.0, 0.5, 320, 240};
    EXPECT_EQ(map->Render(view, pixels.data(), stop, error), MapRender::Stopped);
}

TEST(MapRaster, FilesThatCannotBeDrawnAreRefusedInWords)
{
    ScratchDir dir;
    std::string error;
    ASSERT_TRUE(WriteTestRaster(dir.File("nowhere.tif"), {.crs = ""}, error)) << error;
    ASSERT_TRUE(WriteWholeFile(dir.File("notes.tif"), "not a picture\n"));
    ASSERT_TRUE(WriteWholeFile(dir.File("empty.mbtiles"), ""));
    struct Row {
        std::string path;
        std::string words;
    };
    const Row rows[] = {
        {dir.File("missing.tif"), "the map " + dir.File("missing.tif") + " does not exist"},
        {dir.File("notes.tif"), "the map " + dir.File("notes.tif") + " is not a picture fieldbook can draw"},
        {dir.File("empty.mbtiles"), "is not a picture fieldbook can draw"},
        {dir.Path(), "is not a picture fieldbook can draw"},
        {"", "no map file is set"},
        {dir.File("nowhere.tif"), "does not say where on earth it lies (it has no coordinate reference system)"},
    };
    for (const Row& row : rows) {
        error.clear();
        EXPECT_FALSE(CMapRaster::Open(row.path, error)) << row.path;
        EXPECT_NE(error.find(row.words), std::string::npos) << row.path << ": " << error;
    }
}

} // namespace
