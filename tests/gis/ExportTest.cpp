#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "gis/GisFormats.h"
#include "gis/StagedOutput.h"
#include "gis/SurveyExport.h"
#include "gis/GdalReadBack.h"
#include "support/ChildProcess.h"
#include "support/ProjTools.h"
#include "support/ScratchDir.h"
#include "support/SurveyRun.h"
#include "surveylog/SamplePoints.h"
#include "surveylog/SurveyLog.h"

namespace {

// Four logged points: a fix in the north-east, one without a fix, a fix in the
// south-west (signed, as the log holds it) and a second point with Log 17.
std::vector<SURVEY_POINT> SurveyPoints()
{
    SURVEY_POINT northEast = NorthEastPoint(); // Log 17 at 52.205337, 0.119000, 12.4 m
    SURVEY_POINT noFix = northEast;
    noFix.LocateData.u32EepromFileIndex = 18;
    noFix.GpsFix = GPS_FIX{};
    noFix.GpsFix.dfUTC = 143006.0;
    SURVEY_POINT southWest = northEast;
    southWest.LocateData.u32EepromFileIndex = 19;
    southWest.GpsFix.dfLatAng = -33.856785;
    southWest.GpsFix.nLatDir = DIR_SOUTH;
    southWest.GpsFix.dfLongAng = -151.215297;
    southWest.GpsFix.nLongDir = DIR_WEST;
    SURVEY_POINT again = northEast;
    again.GpsFix.dfLatAng = 52.2054;
    return {northEast, noFix, southWest, again};
}

std::string WriteLog(const ScratchDir& dir, const std::string& name, const std::vector<SURVEY_POINT>& points)
{
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->Clear();
    for (const SURVEY_POINT& point : points)
        log->Add(point);
    const std::string path = dir.File(name);
    EXPECT_TRUE(log->WriteFile(path));
    log->Clear();
    return path;
}

// As Export, with what the export says on stderr in said.
int Export(const std::vector<std::string>& args, std::string& said);

int Export(const std::vector<std::string>& args)
{
    std::string said;
    return Export(args, said);
}

int Export(const std::vector<std::string>& args, std::string& said)
{
    std::vector<std::string> all{"fieldbook-export"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(arg.data());
    EXPORT_REQUEST request;
    std::FILE* sink = std::fopen("/dev/null", "w");
    int status = ParseExportCommandLine(static_cast<int>(argv.size()), argv.data(), request, sink, sink);
    std::FILE* err = std::tmpfile();
    if (status < 0)
        status = RunExport(request, err);
    std::rewind(err);
    char text[4096] = {};
    said.assign(text, std::fread(text, 1, sizeof text - 1, err));
    std::fclose(err);
    std::fclose(sink);
    std::fputs(said.c_str(), stderr);
    return status;
}

struct FormatCase {
    const char* name;
    const char* driver;
    const char* file;       // output file name
    const char* pointLayer;
    int points;             // point features (no geometry: GPX, DXF and FlatGeobuf have none)
    const char* trackFile;  // nullptr: in the same dataset
    const char* trackLayer;
    bool typed;             // carries the log's columns with their types
    std::vector<const char*> openOptions;
    const char* utilityLayer = nullptr; // its layer, or DXF drawing layer; nullptr: the format has none
};

std::vector<FormatCase> FormatCases()
{
    const std::vector<const char*> csvXyz{"X_POSSIBLE_NAMES=X", "Y_POSSIBLE_NAMES=Y", "Z_POSSIBLE_NAMES=Z"};
    return {
        {"GeoPackage", "GPKG", "out.gpkg", "survey_points", 4, nullptr, "survey_track", true, {}, "utility_points"},
        {"GeoJSON", "GeoJSON", "out.geojson", "survey_points", 4, "out_track.geojson", "survey_track", true, {}},
        {"KML", "KML", "out.kml", "survey_points", 4, nullptr, "survey_track", false, {}},
        {"GPX", "GPX", "out.gpx", "waypoints", 3, nullptr, "tracks", false, {}},
        {"Shapefile", "ESRI Shapefile", "out.shp", "out", 4, "out_track.shp", "out_track", true, {}},
        {"DXF", "DXF", "out.dxf", "entities", 3, nullptr, "entities", false, {}, "utility_points"},
        {"FlatGeobuf", "FlatGeobuf", "out.fgb", "survey_points", 3, "out_track.fgb", "survey_track", true, {}},
        {"CSV", "CSV", "out.csv", "out", 4, "out_track.csv", "out_track", true, csvXyz},
    };
}

class ExportFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ExportFormats, PointsAttributesAndTrackReadBackByGdal)
{
    const FormatCase& c = GetParam();
    ScratchDir dir;
    const std::string log = WriteLog(dir, "0612143005.txt", SurveyPoints());
    ASSERT_EQ(Export({"-f", c.driver, "-o", dir.File(c.file), log}), 0);

    GDALDatasetUniquePtr points = OpenForReading(dir.File(c.file), c.openOptions);
    ASSERT_TRUE(points) << c.file;
    OGRLayer* layer = points->GetLayerByName(c.pointLayer);
    ASSERT_NE(layer, nullptr) << c.pointLayer;
    std::vector<OGRFeatureUniquePtr> features = Features(*layer);
    int pointCount = 0;
    const OGRFeature* first = nullptr;
    // A utility point lies under each fixed point with a depth, 1.2346 m under
    // the 12.4 m of the antenna (no antenna height given).
    OGRLayer* utilityLayer = c.utilityLayer ? points->GetLayerByName(c.utilityLayer) : nullptr;
    auto isUtility = [&c](const OGRFeature& feature) {
        return c.utilityLayer && feature.GetFieldIndex("Layer") >= 0 &&
               std::string(feature.GetFieldAsString("Layer")) == c.utilityLayer;
    };
    int utilities = 0;
    for (const auto& feature : utilityLayer != nullptr ? Features(*utilityLayer) : std::vector<OGRFeatureUniquePtr>{}) {
        ++utilities;
        EXPECT_NEAR(feature->GetGeometryRef()->toPoint()->getZ(), 12.4 - 1.2346, 1e-6);
    }
    for (const auto& feature : features) {
        if (isUtility(*feature)) {
            ++utilities;
            EXPECT_NEAR(feature->GetGeometryRef()->toPoint()->getZ(), 12.4 - 1.2346, 1e-6);
            continue;
        }
        if (IsPoint(feature->GetGeometryRef()) || feature->GetGeometryRef() == nullptr ||
            feature->GetGeometryRef()->IsEmpty()) {
            ++pointCount;
            if (first == nullptr && IsPoint(feature->GetGeometryRef()))
                first = feature.get();
        }
    }
    // The units line is never a feature.
    EXPECT_EQ(pointCount, c.points);
    EXPECT_EQ(utilities, c.utilityLayer ? 3 : 0);
    ASSERT_NE(first, nullptr);
    const OGRPoint* position = first->GetGeometryRef()->toPoint();
    EXPECT_NEAR(position->getX(), 0.119, 1e-9);
    EXPECT_NEAR(position->getY(), 52.205337, 1e-9);
    if (position->Is3D()) {
        EXPECT_NEAR(position->getZ(), 12.4, 1e-9);
    }

    if (c.typed) {
        const int log = first->GetFieldIndex("Log");
        const int depth = first->GetFieldIndex("Depth");
        ASSERT_GE(log, 0);
        ASSERT_GE(depth, 0);
        EXPECT_TRUE(first->GetFieldDefnRef(log)->GetType() == OFTInteger ||
                    first->GetFieldDefnRef(log)->GetType() == OFTInteger64);
        EXPECT_EQ(first->GetFieldAsInteger(log), 17);
        EXPECT_EQ(first->GetFieldDefnRef(depth)->GetType(), OFTReal);
        EXPECT_DOUBLE_EQ(first->GetFieldAsDouble(depth), 1.2346); // metres; the log has 123.46 cm
        EXPECT_STREQ(first->GetFieldAsString("LogFile"), "0612143005.txt");
    }

    GDALDatasetUniquePtr trackFile = c.trackFile ? OpenForReading(dir.File(c.trackFile), {}) : nullptr;
    GDALDataset* trackSet = c.trackFile ? trackFile.get() : points.get();
    ASSERT_NE(trackSet, nullptr);
    OGRLayer* track = trackSet->GetLayerByName(c.trackLayer);
    ASSERT_NE(track, nullptr);
    int lines = 0;
    for (const auto& feature : Features(*track)) {
        const int vertices = VertexCount(feature->GetGeometryRef());
        if (vertices >= 0) {
            ++lines;
            EXPECT_EQ(vertices, 3);
        }
    }
    EXPECT_EQ(lines, 1);
    if (std::string(c.driver) == "KML") {
        // Absolute heights: a viewer would clamp them to its terrain otherwise.
        const std::string kml = ReadWholeFile(dir.File(c.file));
        EXPECT_EQ(CountOf(kml, "<altitudeMode>absolute</altitudeMode>"), 4) << kml;
        // Each point's instant, the one without a fix too (its clock time).
        EXPECT_EQ(CountOf(kml, "<TimeStamp><when>"), 4) << kml;
        EXPECT_NE(kml.find("<TimeStamp><when>2023-12-06T14:30:05Z</when></TimeStamp>"), std::string::npos) << kml;
    }
}

// Whatever the map grid and the point, no coordinate is NaN or infinite: a
// point without an altitude has no ellipsoidal height, so no height in a
// vertical datum; it keeps its place and is told.
TEST_P(ExportFormats, NoCoordinateIsEverNaN)
{
    const FormatCase& c = GetParam();
    ScratchDir dir;
    SURVEY_POINT noSeparation = NorthEastPoint();
    noSeparation.LocateData.u32EepromFileIndex = 20;
    noSeparation.GpsFix.dfLatAng = 52.2056;
    noSeparation.GpsFix.nAltUnits = 0;
    const std::string log = WriteLog(dir, "0612143005.txt", {NorthEastPoint(), noSeparation});
    // KML and GPX hold WGS 84 only.
    const bool grid = c.typed || c.utilityLayer != nullptr;
    std::vector<std::string> args{"--antenna", "1.5", "-f", c.driver, "-o", dir.File(c.file), log};
    if (grid)
        args.insert(args.begin(), {"--crs", "EPSG:32631+5773"});
    std::string said;
    ASSERT_EQ(Export(args, said), 0);
    if (grid) {
        // Without an altitude the point has no utility elevation either, so
        // no utility point.
        const std::string told = "1 points and 0 utility points have no height in EPSG:32631+5773";
        EXPECT_NE(said.find(told), std::string::npos) << said;
    }

    int placed = 0;
    for (const char* file : {c.file, c.trackFile}) {
        if (file == nullptr)
            continue;
        GDALDatasetUniquePtr read = OpenForReading(dir.File(file), c.openOptions);
        ASSERT_TRUE(read) << file;
        for (OGRLayer* layer : read->GetLayers()) {
            for (const auto& feature : Features(*layer)) {
                const OGRGeometry* geometry = feature->GetGeometryRef();
                if (geometry == nullptr)
                    continue;
                std::string wkt = geometry->exportToWkt(OGRWktOptions(), nullptr);
                for (char& ch : wkt)
                    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                EXPECT_EQ(wkt.find("nan"), std::string::npos) << layer->GetName() << " " << wkt;
                EXPECT_EQ(wkt.find("inf"), std::string::npos) << layer->GetName() << " " << wkt;
                const std::string name = layer->GetName();
                placed += IsPoint(geometry) && (name == c.pointLayer || (c.utilityLayer && name == c.utilityLayer));
            }
        }
    }
    // Both points and both utilities keep their place (GPX and KML have no utility).
    EXPECT_EQ(placed, c.utilityLayer != nullptr ? 3 : 2);
}

INSTANTIATE_TEST_SUITE_P(Formats, ExportFormats, ::testing::ValuesIn(FormatCases()),
                         [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST(Export, GeoPackageTakesOnlyThePointsItLacks)
{
    ScratchDir dir;
    std::vector<SURVEY_POINT> points = SurveyPoints();
    const std::string log = WriteLog(dir, "0612143005.txt", points);
    const std::string gpkg = dir.File("survey.gpkg");
    ASSERT_EQ(Export({"-o", gpkg, log}), 0);

    // The log grew by one point; both logs go in again, one of them twice,
    // the other first: its point lies between the two surveys' points.
    SURVEY_POINT fifth = points[0];
    fifth.LocateData.u32EepromFileIndex = 20;
    fifth.GpsFix.dfLatAng = 52.20541234567891;
    fifth.GpsFix.dfLongAng = 0.11912345678912;
    points.push_back(fifth);
    WriteLog(dir, "0612143005.txt", points);
    const std::string other = WriteLog(dir, "0712080000.txt", {points[0]});
    ASSERT_EQ(Export({"-o", gpkg, other, log, log}), 0);

    GDALDatasetUniquePtr output = OpenForReading(gpkg);
    ASSERT_TRUE(output);
    OGRLayer* layer = output->GetLayerByName("survey_points");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetFeatureCount(), 6);
    // No line of one vertex: the second log has one fix.
    std::vector<OGRFeatureUniquePtr> track = Features(*output->GetLayerByName("survey_track"));
    ASSERT_EQ(track.size(), 1u);
    EXPECT_EQ(VertexCount(track[0]->GetGeometryRef()), 4); // extended by the fifth point

    // A GeoPackage is an input too, every log in it told apart by LogFile,
    // each survey going on after the other's point.
    const std::string geojson = dir.File("again.geojson");
    ASSERT_EQ(Export({"-o", geojson, gpkg}), 0);
    GDALDatasetUniquePtr again = OpenForReading(geojson);
    ASSERT_TRUE(again);
    std::vector<OGRFeatureUniquePtr> read = Features(*again->GetLayer(0));
    ASSERT_EQ(read.size(), 6u);
    EXPECT_STREQ(read[4]->GetFieldAsString("LogFile"), "0712080000.txt");
    EXPECT_EQ(read[5]->GetFieldAsInteger("Log"), 20);
    EXPECT_NEAR(read[5]->GetGeometryRef()->toPoint()->getY(), 52.205412, 1e-9);
    GDALDatasetUniquePtr againTrack = OpenForReading(dir.File("again_track.geojson"));
    ASSERT_TRUE(againTrack);
    track = Features(*againTrack->GetLayer(0));
    ASSERT_EQ(track.size(), 1u);
    EXPECT_EQ(VertexCount(track[0]->GetGeometryRef()), 4);
}

TEST(Export, LogsOfOneNameFromTwoUnitsAreBothKept)
{
    ScratchDir dir;
    ::mkdir(dir.File("unitA").c_str(), 0755);
    ::mkdir(dir.File("unitB").c_str(), 0755);
    std::vector<SURVEY_POINT> points = SurveyPoints();
    const std::string a = WriteLog(dir, "unitA/0712152302.txt", points);
    for (SURVEY_POINT& point : points)
        point.GpsFix.dfLongAng += 0.5;
    const std::string b = WriteLog(dir, "unitB/0712152302.txt", points);
    for (const char* output : {"both.gpkg", "both.json"}) {
        ASSERT_EQ(Export({"-o", dir.File(output), a, b}), 0) << output;
        // Once more: nothing is doubled.
        if (std::string(output) == "both.gpkg") {
            ASSERT_EQ(Export({"-o", dir.File(output), b, a}), 0);
        }
        GDALDatasetUniquePtr read = OpenForReading(dir.File(output));
        ASSERT_TRUE(read);
        EXPECT_EQ(read->GetLayer(0)->GetFeatureCount(), 8) << output;
    }
    // The track of a .json output is a .json too.
    EXPECT_TRUE(FileExists(dir.File("both_track.json")));
}

TEST(Export, ValuesAsTheLogPrintsThem)
{
    ScratchDir dir;
    std::vector<SURVEY_POINT> points = SurveyPoints();
    points[0].LocateData.fStrength = 0.1834f;
    points[0].RtcDate = RTC_DATE::Make(31, 2, 2026);
    // Depth and Locate in the protocol's units in the log, metres and mA here.
    points[1].LocateData.nProtocolId = 0;
    points[1].LocateData.fDepth = 2.99f;
    points[1].LocateData.fCurrent = 0.25f;
    points[2].LocateData.fDepth = 232.0f;
    const std::string log = WriteLog(dir, "0612143005.txt", points);
    ASSERT_EQ(Export({"--antenna", "1.5", "-o", dir.File("out.gpkg"), log}), 0);
    // From the GeoPackage the heights are as stored.
    ASSERT_EQ(Export({"-o", dir.File("again.gpkg"), dir.File("out.gpkg")}), 0);
    for (const char* name : {"out.gpkg", "again.gpkg"}) {
        GDALDatasetUniquePtr read = OpenForReading(dir.File(name));
        ASSERT_TRUE(read);
        std::vector<OGRFeatureUniquePtr> features = Features(*read->GetLayerByName("survey_points"));
        ASSERT_EQ(features.size(), 4u);
        // 12.4 m altitude + 45.1 m separation; ground 1.5 m under the antenna;
        // the utility 123.46 cm under the ground. A CSV holds no quality.
        EXPECT_NEAR(features[0]->GetFieldAsDouble("EllipsoidHeight"), 57.5, 1e-9) << name;
        EXPECT_NEAR(features[0]->GetFieldAsDouble("GroundElevation"), 10.9, 1e-9) << name;
        EXPECT_NEAR(features[0]->GetFieldAsDouble("UtilityElevation"), 10.9 - 1.2346, 1e-6) << name;
        EXPECT_TRUE(features[1]->IsFieldNull(features[1]->GetFieldIndex("GroundElevation"))) << name;
        for (const char* field : {"FixType", "HAccuracy", "QualityOK"})
            EXPECT_TRUE(features[0]->IsFieldNull(features[0]->GetFieldIndex(field))) << name << " " << field;
    }
    GDALDatasetUniquePtr read = OpenForReading(dir.File("out.gpkg"));
    ASSERT_TRUE(read);
    std::vector<OGRFeatureUniquePtr> features = Features(*read->GetLayerByName("survey_points"));
    ASSERT_EQ(features.size(), 4u);
    EXPECT_EQ(features[0]->GetFieldAsDouble("Strength"), 18.34);
    EXPECT_TRUE(features[0]->IsFieldNull(features[0]->GetFieldIndex("RTCDate")));
    EXPECT_EQ(features[1]->GetFieldAsDouble("Depth"), 2.99);
    EXPECT_EQ(features[1]->GetFieldAsDouble("Locate"), 250.0);
    EXPECT_EQ(features[2]->GetFieldAsDouble("Depth"), 2.32);
    EXPECT_EQ(features[2]->GetFieldAsDouble("Locate"), 45.5);
    // The units where QGIS shows them, and known to the next writer.
    const std::string description = read->GetLayerByName("survey_points")->GetMetadataItem("DESCRIPTION");
    EXPECT_NE(description.find("metres"), std::string::npos);
    EXPECT_NE(description.find("HAccuracy a DRMS"), std::string::npos) << description;
}

// --crs: every layer's positions and heights as PROJ's own cs2cs gives them.
// Into a vertical datum the antenna goes in at its ellipsoidal height and the
// utility at its own (the antenna's less pole and depth), whatever geoid made
// the elevations; into a CRS without one the stated heights stay, in the
// CRS's unit; a drawing has one unit for all three axes. A CRS whose best
// transformation needs a grid that is not installed is refused, naming it.
TEST(Export, CrsReprojectsEveryLayerAsCs2csDoes)
{
    ScratchDir dir;
    const std::string log = WriteLog(dir, "0612143005.txt", SurveyPoints());
    constexpr double kUsFoot = 1200.0 / 3937.0; // metres
    // 12.4 m altitude + 45.1 m separation; pole 1.5 m, depth 1.2346 m.
    const double antenna = 57.5, utility = 57.5 - 1.5 - 1.2346;
    const struct {
        const char* name;
        std::vector<std::string> options;
        const char* driver;
        const char* file;
        const char* crs;
        const char* from;     // the source cs2cs takes: ellipsoidal heights or the stated ones
        double antennaIn, utilityIn;
        double zUnit;         // metres per unit of the output's Z
        bool outside;         // the points lie outside the CRS's area of use
    } cases[] = {
        {"compound", {}, "GPKG", "utm.gpkg", "EPSG:32631+5773", "EPSG:4979", antenna, utility, 1.0, false},
        // Elevations against EGM96: the utility still goes in at its
        // ellipsoidal height, not at the receiver's geoid's.
        {"compound, elevations on a grid", {"--geoid", "egm96_15.gtx"}, "GPKG", "grid.gpkg", "EPSG:32631+5773",
         "EPSG:4979", antenna, utility, 1.0, false},
        {"State Plane in US feet, drawing", {}, "DXF", "feet.dxf", "EPSG:6428", "EPSG:4326", 12.4, 12.4 - 1.5 - 1.2346,
         kUsFoot, true},
        {"feet across, metres up, drawing", {}, "DXF", "mixed.dxf", "EPSG:6539+5773", "EPSG:4979", antenna, utility,
         kUsFoot, true},
        {"feet across, metres up", {}, "GPKG", "mixed.gpkg", "EPSG:6539+5773", "EPSG:4979", antenna, utility, 1.0,
         true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--crs", c.crs, "--antenna", "1.5", "-f", c.driver, "-o", dir.File(c.file), log});
        std::string said;
        ASSERT_EQ(Export(args, said), 0) << c.name;
        EXPECT_EQ(said.find("3 points lie outside the area of use of ") != std::string::npos, c.outside)
            << c.name << ": " << said;
        const auto reference = Cs2cs(c.from, c.crs, {{52.205337, 0.119, c.antennaIn}, {52.205337, 0.119, c.utilityIn}});
        ASSERT_EQ(reference.size(), 2u);
        GDALDatasetUniquePtr read = OpenForReading(dir.File(c.file));
        ASSERT_TRUE(read) << c.name;
        const bool drawing = std::string(c.driver) == "DXF";
        for (const auto& [name, expected] : {std::pair{"survey_points", reference[0]},
                                             std::pair{"utility_points", reference[1]},
                                             std::pair{"survey_track", reference[0]}}) {
            OGRLayer* layer = read->GetLayerByName(drawing ? "entities" : name);
            ASSERT_NE(layer, nullptr) << c.name << " " << name;
            const OGRGeometry* geometry = nullptr;
            std::vector<OGRFeatureUniquePtr> features = Features(*layer);
            for (const auto& feature : features) {
                if (!drawing || std::string(feature->GetFieldAsString("Layer")) == name) {
                    geometry = feature->GetGeometryRef();
                    break;
                }
            }
            ASSERT_NE(geometry, nullptr) << c.name << " " << name;
            if (!drawing) {
                EXPECT_TRUE(layer->GetSpatialRef() && layer->GetSpatialRef()->IsProjected()) << c.name;
            }
            const OGRPoint first = wkbFlatten(geometry->getGeometryType()) == wkbPoint
                                       ? *geometry->toPoint()
                                       : [&] { OGRPoint p; geometry->toLineString()->getPoint(0, &p); return p; }();
            EXPECT_NEAR(first.getX(), expected[0], 0.001) << c.name << " " << name;
            EXPECT_NEAR(first.getY(), expected[1], 0.001) << c.name << " " << name;
            EXPECT_NEAR(first.getZ(), expected[2] / c.zUnit, 0.001) << c.name << " " << name;
        }
    }

    std::FILE* err = std::tmpfile();
    EXPORT_REQUEST request{.output = dir.File("egm08.gpkg"), .logs = {log}, .crs = "EPSG:32633+3855"};
    EXPECT_EQ(RunExport(request, err), 2);
    std::rewind(err);
    char text[1024] = {};
    EXPECT_GT(std::fread(text, 1, sizeof text - 1, err), 0u);
    std::fclose(err);
    EXPECT_NE(std::string(text).find("us_nga_egm08_25.tif"), std::string::npos) << text;
    EXPECT_FALSE(FileExists(dir.File("egm08.gpkg")));
}

// What an export finds standing where it writes: it replaces only what it
// wrote itself, and never a log.
TEST(Export, OutputNeverRemovesWhatIsNotItsOwn)
{
    ScratchDir dir;
    const std::string log = WriteLog(dir, "0612143005.txt", SurveyPoints());
    const std::string logText = ReadWholeFile(log);
    ::mkdir(dir.File("office").c_str(), 0755);
    ASSERT_TRUE(WriteWholeFile(dir.File("office/notes.txt"), "notes\n"));
    ASSERT_TRUE(WriteWholeFile(dir.File("old.geojson"), "old\n"));
    ASSERT_TRUE(Export({"-o", dir.File("kept.gpkg"), log}) == 0);
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* written; // a file the export must have made
    } cases[] = {
        {"the log as output", {"-f", "CSV", "-o", log, log}, 2, nullptr},
        {"the log's folder", {"-f", "CSV", "-o", dir.File("."), log}, 2, nullptr},
        {"the log's folder by name", {"-f", "CSV", "-o", dir.Path() + "/", log}, 2, nullptr},
        {"the log, even with --overwrite", {"--overwrite", "-f", "GeoJSON", "-o", log, log}, 2, nullptr},
        {"a GeoPackage into itself", {"-o", dir.File("kept.gpkg"), dir.File("kept.gpkg")}, 2, nullptr},
        {"an existing file", {"-o", dir.File("old.geojson"), log}, 2, nullptr},
        {"a folder for a one-file format", {"-f", "GeoJSON", "-o", dir.File("office"), log}, 2, nullptr},
        {"a folder of CSV files", {"-f", "CSV", "-o", dir.File("office"), log}, 0, "office/survey_track.csv"},
        {"a new folder of shapefiles", {"-f", "ESRI Shapefile", "-o", dir.File("shapes"), log}, 0,
         "shapes/survey_track.shp"},
        {"the same again", {"-f", "CSV", "-o", dir.File("office"), log}, 2, nullptr},
        {"replaced when asked", {"--overwrite", "-f", "CSV", "-o", dir.File("office"), log}, 0, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Export(c.args), c.status) << c.name;
        if (c.written != nullptr) {
            EXPECT_TRUE(FileExists(dir.File(c.written))) << c.name;
        }
        EXPECT_EQ(ReadWholeFile(log), logText) << c.name;
        EXPECT_EQ(ReadWholeFile(dir.File("office/notes.txt")), "notes\n") << c.name;
        EXPECT_EQ(ReadWholeFile(dir.File("old.geojson")), "old\n") << c.name;
    }
    EXPECT_EQ(Export({"--overwrite", "-o", dir.File("old.geojson"), log}), 0);
    EXPECT_TRUE(OpenForReading(dir.File("old.geojson")));

    // Another format's set under the same name: its files are never ours,
    // asked to overwrite or not, and nothing of the new set is put in.
    ASSERT_EQ(Export({"--crs", "EPSG:32633", "-o", dir.File("a.shp"), log}), 0);
    const std::string prj = ReadWholeFile(dir.File("a.prj"));
    ASSERT_NE(prj.find("UTM"), std::string::npos) << prj;
    EXPECT_EQ(Export({"--overwrite", "-o", dir.File("a.csv"), log}), 2);
    EXPECT_EQ(Export({"-o", dir.File("a.csv"), log}), 2);
    EXPECT_EQ(ReadWholeFile(dir.File("a.prj")), prj);
    EXPECT_FALSE(FileExists(dir.File("a.csv")));
    EXPECT_FALSE(FileExists(dir.File("a_track.csv")));
}

// Publishing: a file that appeared under the output's name while the export
// ran (another export to the same new name won) is never replaced, and the
// set is put in whole or not at all; a staging folder a crash left is gone
// after the next export into the folder, and one cut off among its renames
// is completed from its journal.
TEST(Export, PublishingReplacesNothingThatAppearedAndLeavesNoStaging)
{
    ScratchDir dir;
    const std::string log = WriteLog(dir, "0612143005.txt", SurveyPoints());
    const GIS_FORMAT& csv = *FindFormatByDriver("CSV");
    auto stage = [&](CStagedOutput& place, const std::string& output) {
        std::string error;
        ASSERT_TRUE(place.Plan(csv, output, false, {log}, error)) << error;
        ASSERT_TRUE(place.Stage(error)) << error;
        ASSERT_TRUE(WriteWholeFile(place.PointPath(), "mine\n"));
        ASSERT_TRUE(WriteWholeFile(place.TrackPath(), "my track\n"));
    };
    {
        CStagedOutput place;
        stage(place, dir.File("b.csv"));
        ASSERT_TRUE(WriteWholeFile(dir.File("b_track.csv"), "theirs\n")); // the other export's, just now
        std::string error;
        EXPECT_FALSE(place.Publish(error));
        EXPECT_NE(error.find("b_track.csv appeared"), std::string::npos) << error;
        EXPECT_FALSE(FileExists(dir.File("b.csv")));
        EXPECT_EQ(ReadWholeFile(dir.File("b_track.csv")), "theirs\n");
    }
    // A crash before publishing, and one among the renames (journal kept,
    // one file of two put in): no lock holds either any more.
    const std::string early = dir.File(".fieldbook-export-early1");
    const std::string cut = dir.File(".fieldbook-export-cut123");
    ::mkdir(early.c_str(), 0700);
    ::mkdir(cut.c_str(), 0700);
    ASSERT_TRUE(WriteWholeFile(early + "/c.csv", "half\n"));
    ASSERT_TRUE(WriteWholeFile(cut + "/d_track.csv", "new track\n"));
    ASSERT_TRUE(WriteWholeFile(dir.File("d.csv"), "new points\n"));
    struct stat points{}, track{};
    ASSERT_EQ(::stat(dir.File("d.csv").c_str(), &points), 0);
    ASSERT_EQ(::stat((cut + "/d_track.csv").c_str(), &track), 0);
    ASSERT_TRUE(WriteWholeFile(cut + "/.publish", "d.csv " + std::to_string(points.st_ino) + "\nd_track.csv " +
                                                    std::to_string(track.st_ino) + "\n"));
    ASSERT_EQ(Export({"-f", "CSV", "-o", dir.File("e.csv"), log}), 0);
    EXPECT_FALSE(FileExists(early));
    EXPECT_FALSE(FileExists(cut));
    EXPECT_EQ(ReadWholeFile(dir.File("d_track.csv")), "new track\n");
    EXPECT_FALSE(FileExists(dir.File("c.csv")));
}

// A disk that fills up mid-export (a file size limit stands in for it): every
// format fails with status 2 and leaves nothing under the asked names.
TEST(Export, FullDiskFailsEveryFormatAndLeavesNoHalfFile)
{
    ScratchDir dir;
    std::vector<SURVEY_POINT> points;
    for (int i = 0; i < 300; ++i) {
        SURVEY_POINT point = NorthEastPoint();
        point.LocateData.u32EepromFileIndex = static_cast<uint32_t>(i);
        point.GpsFix.dfLatAng += i * 1e-5;
        points.push_back(point);
    }
    const std::string log = WriteLog(dir, "0612143005.txt", points);
    const std::string tool = std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-export/fieldbook-export";
    // No file may grow past blocks of 512 bytes; the exit status.
    auto exportTo = [&](const std::string& name, const char* driver, const std::string& output, off_t blocks) {
        ChildProcess child;
        int status = -1;
        EXPECT_TRUE(child.Start({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f " + std::to_string(blocks) +
                                     "; exec \"$0\" \"$@\"", tool, "-f", driver, "-o", output, log},
                                {}, "", dir.File(name + ".err")));
        EXPECT_TRUE(child.Wait(std::chrono::seconds(60), &status)) << name;
        return status;
    };
    for (const FormatCase& c : FormatCases()) {
        ::mkdir(dir.File(c.name).c_str(), 0755);
        const std::string output = dir.File(std::string(c.name) + "/" + c.file);
        EXPECT_EQ(exportTo(c.name, c.driver, output, 40), 2) << c.name;
        EXPECT_FALSE(FileExists(output)) << c.name;
        if (c.trackFile != nullptr) {
            EXPECT_FALSE(FileExists(dir.File(std::string(c.name) + "/" + c.trackFile))) << c.name;
        }
        EXPECT_EQ(ReadWholeFile(dir.File(std::string(c.name) + ".err")).find("cannot replace"), std::string::npos);
    }
    // An existing GeoPackage whose new pages do not fit (its journal does):
    // the commit fails, and the file keeps what it held.
    const std::string kept = dir.File("kept.gpkg");
    ASSERT_EQ(Export({"-o", kept, WriteLog(dir, "0712080000.txt", {points[0]})}), 0);
    struct stat st{};
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(exportTo("kept", "GPKG", kept, st.st_size / 512 + 100), 2);
    {
        GDALDatasetUniquePtr read = OpenForReading(kept);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->GetLayerByName("survey_points")->GetFeatureCount(), 1);
    }
    // Room for part of a long log only: the file holds exactly what it held,
    // its counts true; once there is room, the log follows in Log order.
    std::vector<SURVEY_POINT> more;
    for (int i = 0; i < 3000; ++i) {
        SURVEY_POINT point = NorthEastPoint();
        point.LocateData.u32EepromFileIndex = static_cast<uint32_t>(1000 + i);
        point.GpsFix.dfLatAng += i * 1e-5;
        more.push_back(point);
    }
    const std::string longLog = WriteLog(dir, "0712090000.txt", more);
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(exportTo("part", "GPKG", kept, st.st_size / 512 + 120), 2);
    auto held = [&] {
        std::vector<std::string> rows;
        GDALDatasetUniquePtr read = OpenForReading(kept);
        EXPECT_TRUE(read);
        if (!read)
            return rows;
        for (const char* sql : {"SELECT count(*) FROM survey_points", "SELECT feature_count FROM gpkg_ogr_contents "
                                                                        "WHERE table_name = 'survey_points'",
                                "SELECT count(*) FROM survey_points a JOIN survey_points b ON b.fid = a.fid + 1 "
                                "WHERE b.Log < a.Log"}) {
            OGRLayer* result = read->ExecuteSQL(sql, nullptr, "SQLITE");
            OGRFeatureUniquePtr first(result != nullptr ? result->GetNextFeature() : nullptr);
            rows.push_back(first ? first->GetFieldAsString(0) : "-");
            read->ReleaseResultSet(result);
        }
        return rows;
    };
    EXPECT_EQ(held(), (std::vector<std::string>{"1", "1", "0"}));
    EXPECT_EQ(Export({"-o", kept, longLog}), 0);
    EXPECT_EQ(held(), (std::vector<std::string>{"3001", "3001", "0"}));

    // A disk truly full (a 1 MB file system, a few tens of KB left, where the
    // commit fails at one page or another): each time the file's own feature
    // count still says what it holds.
    const std::string script =
        "set -e; mkdir -p tm; mount -t tmpfs -o size=1M tmpfs tm; for left in 40 60 80 100 120 140 160; do "
        "\"$0\" -o tm/k.gpkg \"$1\" >/dev/null; free=$(df -k tm | tail -1 | awk '{print $4}'); "
        "dd if=/dev/zero of=tm/fill bs=1k count=$((free - left)) 2>/dev/null; set +e; "
        "\"$0\" -o tm/k.gpkg \"$2\" 2>/dev/null; echo $? >>status; set -e; cp tm/k.gpkg kept-$left.gpkg; "
        "rm tm/*; done; umount tm";
    ChildProcess full;
    int status = -1;
    ASSERT_TRUE(full.Start({"/bin/sh", "-c", "cd '" + dir.Path() + "' && exec unshare -m --propagation private sh -c \"$0\" \"$@\"",
                            script, tool, WriteLog(dir, "0712100000.txt", {points.begin(), points.begin() + 60}), longLog},
                           {}, "", dir.File("full.err")));
    ASSERT_TRUE(full.Wait(std::chrono::seconds(120), &status));
    if (status != 0)
        GTEST_SKIP() << "no file system of our own here: " << ReadWholeFile(dir.File("full.err"));
    EXPECT_EQ(ReadWholeFile(dir.File("status")), "2\n2\n2\n2\n2\n2\n2\n");
    for (int left = 40; left <= 160; left += 20) {
        GDALDatasetUniquePtr read = OpenForReading(dir.File("kept-" + std::to_string(left) + ".gpkg"));
        ASSERT_TRUE(read);
        OGRLayer* result = read->ExecuteSQL("SELECT (SELECT count(*) FROM survey_points) || '/' || feature_count FROM "
                                            "gpkg_ogr_contents WHERE table_name = 'survey_points'", nullptr, "SQLITE");
        ASSERT_NE(result, nullptr);
        OGRFeatureUniquePtr counts(result->GetNextFeature());
        ASSERT_TRUE(counts);
        EXPECT_STREQ(counts->GetFieldAsString(0), "60/60") << left << " KB left";
        read->ReleaseResultSet(result);
    }
}

TEST(Export, ClearErrorsEndWithStatusTwoAndSkippedLinesWithThree)
{
    ScratchDir dir;
    const std::string log = WriteLog(dir, "0612143005.txt", SurveyPoints());
    ASSERT_TRUE(WriteWholeFile(dir.File("notes.txt"), "a shopping list\n"));
    // The third point's line cut to two columns.
    std::string text = ReadWholeFile(log);
    size_t third = 0;
    for (int line = 1; line < 5; ++line)
        third = text.find('\n', third) + 1;
    const size_t second = text.find(',', text.find(',', third) + 1);
    ASSERT_TRUE(WriteWholeFile(dir.File("0612143006.txt"), text.erase(second, text.find('\n', third) - second)));
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {"help", {"--help"}, 0},
        {"no output", {log}, 2},
        {"no log", {"-o", dir.File("x.gpkg")}, 2},
        {"unknown option", {"-x", "-o", dir.File("x.gpkg"), log}, 2},
        {"unknown format", {"-f", "Parquetish", "-o", dir.File("x.out"), log}, 2},
        {"extension tells nothing", {"-o", dir.File("x.out"), log}, 2},
        {"missing log", {"-o", dir.File("x.gpkg"), dir.File("none.txt")}, 2},
        {"not a survey log", {"-o", dir.File("x.gpkg"), dir.File("notes.txt")}, 2},
        {"output not writable", {"-o", dir.File("no/such/folder/x.gpkg"), log}, 2},
        {"antenna not a height", {"--antenna", "-1", "-o", dir.File("x.gpkg"), log}, 2},
        {"geoid grid missing", {"--geoid", "no_such_geoid.gtx", "-o", dir.File("x.gpkg"), log}, 2},
        // A GeoPackage holds its heights: an antenna or geoid for it would be ignored.
        {"antenna for a GeoPackage", {"--antenna", "1.5", "-o", dir.File("x.gpkg"), dir.File("kept.gpkg")}, 2},
        {"geoid for a GeoPackage", {"--geoid", "egm96_15.gtx", "-o", dir.File("x.gpkg"), log, dir.File("kept.gpkg")}, 2},
        {"a line that is no point", {"-o", dir.File("cut.gpkg"), dir.File("0612143006.txt")}, kExitSkippedLines},
    };
    ASSERT_EQ(Export({"-o", dir.File("kept.gpkg"), log}), 0);
    for (const auto& c : cases)
        EXPECT_EQ(Export(c.args), c.status) << c.name;
    EXPECT_FALSE(FileExists(dir.File("x.gpkg")));
}

} // namespace
