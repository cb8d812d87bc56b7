#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/Application.h"
#include "gis/GeoPackageKeeper.h"
#include "gis/GdalReadBack.h"
#include "gis/SurveyExport.h"
#include "gps/GpsDecoder.h"
#include "link/RecordSource.h"
#include "platform/Clock.h"
#include "platform/Folders.h"
#include "support/NmeaStream.h"
#include "support/ScratchDir.h"
#include "support/SurveyRun.h"
#include "surveylog/RecordProcessing.h"
#include "surveylog/SamplePoints.h"
#include "surveylog/SurveyLog.h"

using namespace std::chrono_literals;

namespace {

// An RTK receiver's sentences, with more decimals of a minute than the log's
// six decimals of a degree can carry.
const char* const kNorthEast = "GPGGA,143005.50,5212.32022222,N,00007.14012345,E,4,12,0.7,12.4,M,45.1,M,1,0001";
const char* const kNoFix = "GPGGA,143006.00,,,,,0,00,,,M,,M,,";
const char* const kSouthWest = "GPGGA,143007.00,3351.40712345,S,15112.91782345,W,2,09,0.9,3.5,M,20.1,M,,";
// The same positions in signed degrees, worked out by hand from the sentences.
constexpr double kNorthEastLat = 52.0 + 12.32022222 / 60.0;
constexpr double kNorthEastLong = 7.14012345 / 60.0;
constexpr double kSouthWestLat = -(33.0 + 51.40712345 / 60.0);
constexpr double kSouthWestLong = -(151.0 + 12.91782345 / 60.0);

// The locator's queue as the record processing sees it.
class QueuedPoints : public IRecordSource {
public:
    SURVEY_POINT* PeekLocateRecord() override { return m_points.empty() ? nullptr : &m_points.front(); }
    void PopLocateRecord() override { m_points.pop_front(); }
    std::deque<SURVEY_POINT> m_points;
};

// A survey point whose fix came from a GGA sentence through the decoder.
SURVEY_POINT PointFromSentence(const char* body, uint32_t log)
{
    CGpsDecoder decoder;
    EXPECT_EQ(decoder.Init(), 0);
    const std::string bytes = NmeaSentence(body);
    EXPECT_EQ(decoder.Decode(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size())),
              GPS_GGA_DECODED);
    SURVEY_POINT point = NorthEastPoint();
    point.LocateData.u32EepromFileIndex = log;
    EXPECT_EQ(decoder.CopyGgaData(&point.GpsFix, &point.Quality), 0);
    return point;
}

SURVEY_POINT Numbered(uint32_t log)
{
    SURVEY_POINT point = NorthEastPoint();
    point.LocateData.u32EepromFileIndex = log;
    point.GpsFix.dfLatAng += log * 1e-7;
    point.Quality.u32Present |= QUALITY_FIX_TYPE | QUALITY_H_ACCURACY;
    point.Quality.nFixType = FIX_RTK_FIXED;
    point.Quality.dfHAccuracy = 0.014;
    return point;
}

class KeeperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_log = CSurveyLog::GetInstance();
        m_log->Clear();
        m_log->SetFolder(m_dir.Path());
        m_log->SetFileName("0712124705.txt");
        m_log->SetNewFileWait(0ms);
        m_log->SetObserver(&m_keeper);
        m_log->SetAnnotator(AnnotatePoint);
    }
    void TearDown() override
    {
        m_log->SetObserver(nullptr);
        m_log->SetAnnotator({});
        m_log->Clear();
        m_log->SetFileName("");
    }

    void Process(std::initializer_list<SURVEY_POINT> points)
    {
        QueuedPoints queue;
        queue.m_points.assign(points);
        double prevLat = 0.0, prevLong = 0.0;
        ProcessQueuedRecords(&queue, nullptr, prevLat, prevLong);
    }

    std::string Gpkg() const { return m_dir.File("0712124705.gpkg"); }
    GIntBig PointCount()
    {
        GDALDatasetUniquePtr gpkg = OpenForReading(Gpkg());
        OGRLayer* layer = gpkg ? gpkg->GetLayerByName("survey_points") : nullptr;
        return layer ? layer->GetFeatureCount() : -1;
    }

    ScratchDir m_dir;
    std::vector<std::string> m_notices;
    CGeoPackageKeeper m_keeper{[this](const std::string& text) { m_notices.push_back(text); }};
    CSurveyLog* m_log = nullptr;
};

TEST_F(KeeperTest, SentencesReachTheGeoPackageAtFullPrecisionWithTypedColumnsAndTrack)
{
    SURVEY_POINT gated = PointFromSentence(kNorthEast, 1);
    gated.Quality.u32Present |= QUALITY_H_ACCURACY | QUALITY_CHECKED;
    gated.Quality.dfHAccuracy = 0.021;
    gated.Quality.bQualityOK = true;
    Process({gated, PointFromSentence(kNoFix, 2)});
    ASSERT_TRUE(m_keeper.WaitIdle(20s));
    Process({PointFromSentence(kSouthWest, 3)});
    ASSERT_TRUE(m_keeper.WaitIdle(20s));
    EXPECT_TRUE(m_notices.empty());

    GDALDatasetUniquePtr gpkg = OpenForReading(Gpkg());
    ASSERT_TRUE(gpkg);
    OGRLayer* layer = gpkg->GetLayerByName("survey_points");
    ASSERT_NE(layer, nullptr);
    const std::vector<OGRFeatureUniquePtr> points = Features(*layer);
    ASSERT_EQ(points.size(), LogRows(ReadWholeFile(m_dir.File("0712124705.txt"))).size());
    ASSERT_EQ(points.size(), 3u);

    const struct {
        const char* name;
        OGRFieldType type;
    } columns[] = {{"Log", OFTInteger},     {"Mode", OFTString},   {"Distance", OFTReal}, {"Strength", OFTReal},
                   {"RTCDate", OFTDate},   {"RTC_UTC", OFTString}, {"GPSDate", OFTDate}, {"GPS_UTC", OFTString},
                   {"LatAng", OFTReal},    {"LatDir", OFTString},  {"NoSats", OFTInteger}, {"LogFile", OFTString},
                   {"FixType", OFTString}, {"HAccuracy", OFTReal}, {"Station", OFTString}, {"QualityOK", OFTInteger},
                   {"EllipsoidHeight", OFTReal}, {"UtilityElevation", OFTReal}, {"HAccuracy95", OFTReal},
                   {"VAccuracy95", OFTReal}};
    OGRFeatureDefn* defn = layer->GetLayerDefn();
    // The log's 43 columns, LogFile, Survey, 9 of quality, 3 heights, 2 accuracies at 95 %, UTC, the crew's 12.
    EXPECT_EQ(defn->GetFieldCount(), kSurveyFieldCount);
    for (const auto& column : columns) {
        const int index = defn->GetFieldIndex(column.name);
        ASSERT_GE(index, 0) << column.name;
        EXPECT_EQ(defn->GetFieldDefn(index)->GetType(), column.type) << column.name;
    }
    // A boolean, so that QGIS offers true/false in its filters.
    EXPECT_EQ(defn->GetFieldDefn(defn->GetFieldIndex("QualityOK"))->GetSubType(), OFSTBoolean);
    const OGRFeature& first = *points[0];
    EXPECT_EQ(first.GetFieldAsInteger("Log"), 1);
    EXPECT_STREQ(first.GetFieldAsString("Mode"), "8440");
    EXPECT_DOUBLE_EQ(first.GetFieldAsDouble("Strength"), 75.6);
    EXPECT_STREQ(first.GetFieldAsString("RTCDate"), "2016/03/05");
    EXPECT_STREQ(first.GetFieldAsString("RTC_UTC"), "9:5:0");
    EXPECT_STREQ(first.GetFieldAsString("GPS_UTC"), "143005.50");
    EXPECT_EQ(first.GetFieldAsInteger("NoSats"), 12);
    EXPECT_STREQ(first.GetFieldAsString("LogFile"), "0712124705.txt");
    EXPECT_STREQ(points[2]->GetFieldAsString("LongDir"), "WEST");
    // Quality as the decoder and the gate gave it; what the point lacks is NULL.
    EXPECT_STREQ(first.GetFieldAsString("FixType"), "RTK fixed");
    EXPECT_DOUBLE_EQ(first.GetFieldAsDouble("HAccuracy"), 0.021);
    EXPECT_STREQ(first.GetFieldAsString("Station"), "0001");
    EXPECT_EQ(first.GetFieldAsInteger("QualityOK"), 1);
    EXPECT_TRUE(first.IsFieldNull(first.GetFieldIndex("VAccuracy")));
    EXPECT_NEAR(first.GetFieldAsDouble("HAccuracy95"), 0.0363468, 1e-9); // NSSDA: 1.7308 x DRMS
    EXPECT_TRUE(first.IsFieldNull(first.GetFieldIndex("VAccuracy95")));
    EXPECT_TRUE(points[2]->IsFieldNull(points[2]->GetFieldIndex("QualityOK"))); // no gate: neither true nor false
    // 12.4 m altitude + 45.1 m separation; the depth of 1.2345 m under the
    // ground at the antenna (no antenna height set here).
    EXPECT_NEAR(first.GetFieldAsDouble("EllipsoidHeight"), 57.5, 1e-9);
    EXPECT_NEAR(first.GetFieldAsDouble("GroundElevation"), 12.4, 1e-9);
    EXPECT_TRUE(points[1]->IsFieldNull(points[1]->GetFieldIndex("EllipsoidHeight"))); // no fix
    // The utility under each fixed point, and QGIS's default style of each layer.
    OGRLayer* utilities = gpkg->GetLayerByName("utility_points");
    ASSERT_NE(utilities, nullptr);
    EXPECT_EQ(utilities->GetFeatureCount(), 2);
    OGRLayer* styles = gpkg->GetLayerByName("layer_styles");
    ASSERT_NE(styles, nullptr);
    EXPECT_EQ(styles->GetFeatureCount(), 3);

    const OGRPoint* northEast = first.GetGeometryRef()->toPoint();
    EXPECT_NEAR(northEast->getY(), kNorthEastLat, 1e-9);
    EXPECT_NEAR(northEast->getX(), kNorthEastLong, 1e-9);
    EXPECT_NEAR(northEast->getZ(), 12.4, 1e-9);
    EXPECT_TRUE(points[1]->GetGeometryRef() != nullptr && points[1]->GetGeometryRef()->IsEmpty());
    const OGRPoint* southWest = points[2]->GetGeometryRef()->toPoint();
    EXPECT_NEAR(southWest->getY(), kSouthWestLat, 1e-9);
    EXPECT_NEAR(southWest->getX(), kSouthWestLong, 1e-9);
    EXPECT_GT(points[2]->GetFieldAsDouble("Distance"), 1e7); // half way round the world, as the log sums it

    const std::vector<OGRFeatureUniquePtr> track = Features(*gpkg->GetLayerByName("survey_track"));
    ASSERT_EQ(track.size(), 1u);
    EXPECT_EQ(VertexCount(track[0]->GetGeometryRef()), 2);

    // Exported from the GeoPackage, the position keeps every decimal.
    const std::string geojson = m_dir.File("survey.geojson");
    ASSERT_EQ(RunExport(EXPORT_REQUEST{.output = geojson, .logs = {Gpkg()}}, stderr), 0);
    GDALDatasetUniquePtr exported = OpenForReading(geojson);
    ASSERT_TRUE(exported);
    const std::vector<OGRFeatureUniquePtr> again = Features(*exported->GetLayer(0));
    ASSERT_EQ(again.size(), 3u);
    EXPECT_NEAR(again[2]->GetGeometryRef()->toPoint()->getY(), kSouthWestLat, 1e-9);
    EXPECT_NEAR(again[2]->GetGeometryRef()->toPoint()->getX(), kSouthWestLong, 1e-9);
    // The catch-up of the log folder leaves the log of this run to its saves,
    // however the folder is spelt: a point the log holds before its save is
    // told reaches the GeoPackage once.
    m_log->SetObserver(nullptr);
    m_log->Add(Numbered(4));
    ASSERT_TRUE(m_log->Save());
    m_log->SetObserver(&m_keeper);
    for (const std::string& folder : {m_dir.Path(), m_dir.Path() + "/"}) {
        m_keeper.CatchUpFolder(folder, 0ms);
        ASSERT_TRUE(m_keeper.WaitIdle(20s));
    }
    Process({Numbered(5)});
    ASSERT_TRUE(m_keeper.WaitIdle(20s));
    EXPECT_EQ(PointCount(), 5);
}

TEST_F(KeeperTest, UnwritableGeoPackageIsReportedOnceAndCaughtUpByTheNextSave)
{
    enum class Block { FolderInItsPlace, LockedByAnotherProgram };
    for (const Block block : {Block::FolderInItsPlace, Block::LockedByAnotherProgram}) {
        SCOPED_TRACE(block == Block::FolderInItsPlace ? "folder in its place" : "locked by another program");
        m_notices.clear();
        m_log->Clear();
        m_log->SetFileName(block == Block::FolderInItsPlace ? "0712124705.txt" : "0712124706.txt");
        const std::string gpkgPath = CGeoPackageKeeper::PathForLog(m_log->GetFullPath());
        GDALDatasetUniquePtr holder;
        if (block == Block::FolderInItsPlace) {
            // The GeoPackage can be neither opened nor created.
            ASSERT_EQ(::mkdir(gpkgPath.c_str(), 0755), 0);
        } else {
            // Another program in the middle of writing (a GIS editing the
            // file): it opens, but every write finds it locked.
            Process({Numbered(1)});
            ASSERT_TRUE(m_keeper.WaitIdle(60s));
            holder = OpenForReading(gpkgPath, {}, true);
            ASSERT_TRUE(holder);
            ASSERT_EQ(holder->StartTransaction(), OGRERR_NONE);
            holder->ExecuteSQL("CREATE TABLE other_program (a INTEGER)", nullptr, nullptr);
            m_log->Clear(); // the same four points as with the folder
        }
        Process({Numbered(1), Numbered(2)});
        ASSERT_TRUE(m_keeper.WaitIdle(60s));
        Process({Numbered(3)});
        ASSERT_TRUE(m_keeper.WaitIdle(60s));
        ASSERT_EQ(m_notices.size(), 1u);
        EXPECT_EQ(m_notices[0].rfind("GeoPackage not written: ", 0), 0u) << m_notices[0];
        EXPECT_EQ(LogRows(ReadWholeFile(m_log->GetFullPath())).size(), 3u); // the log lost nothing

        if (block == Block::FolderInItsPlace) {
            ASSERT_EQ(::rmdir(gpkgPath.c_str()), 0);
        } else {
            holder->RollbackTransaction();
            holder.reset();
        }
        Process({Numbered(4)});
        ASSERT_TRUE(m_keeper.WaitIdle(60s));
        GDALDatasetUniquePtr gpkg = OpenForReading(gpkgPath);
        ASSERT_TRUE(gpkg);
        EXPECT_EQ(gpkg->GetLayerByName("survey_points")->GetFeatureCount(), 4);
        ASSERT_EQ(m_notices.size(), 2u);
        EXPECT_EQ(m_notices[1], "GeoPackage written again: " + gpkgPath);
    }
}

TEST_F(KeeperTest, LogTakenOverFromAnExistingFileBringsItsGeoPackageInStep)
{
    const struct {
        const char* name;
        std::vector<uint32_t> inGeoPackage; // Log numbers the GeoPackage holds before
    } cases[] = {
        {"no GeoPackage yet", {}},
        {"GeoPackage behind the log", {1}},
        {"GeoPackage of another survey under that name", {101, 102, 103, 104, 105}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        m_log->SetObserver(nullptr);
        m_log->Clear();
        m_log->SetFolder(dir.Path());
        m_log->SetFileName("0712124705.txt");
        if (!c.inGeoPackage.empty()) {
            for (const uint32_t log : c.inGeoPackage)
                m_log->Add(Numbered(log));
            ASSERT_TRUE(m_log->Save());
            ASSERT_EQ(RunExport(EXPORT_REQUEST{.output = dir.File("0712124705.gpkg"), .logs = {m_log->GetFullPath()}}, stderr), 0);
            m_log->Clear();
        }
        for (uint32_t i = 1; i <= 3; ++i)
            m_log->Add(Numbered(i));
        ASSERT_TRUE(m_log->Save());
        m_log->Clear();
        m_log->SetFileName("");
        m_log->SetObserver(&m_keeper);

        const LOCAL_TIME now{2026, 12, 7, 12, 47, 5};
        SetLocalTimeForTest(&now);
        SetLogFolder(dir.Path());
        ASSERT_TRUE(m_log->StartNewFile());
        SetLocalTimeForTest(nullptr);
        SetLogFolder("");
        ASSERT_EQ(m_log->GetFileName(), "0712124705.txt");
        ASSERT_EQ(m_log->GetCount(), 3u);
        ASSERT_TRUE(m_keeper.WaitIdle(20s));

        GDALDatasetUniquePtr gpkg = OpenForReading(dir.File("0712124705.gpkg"));
        ASSERT_TRUE(gpkg);
        const std::vector<OGRFeatureUniquePtr> points = Features(*gpkg->GetLayerByName("survey_points"));
        ASSERT_EQ(points.size(), 3u);
        for (size_t i = 0; i < points.size(); ++i)
            EXPECT_EQ(points[i]->GetFieldAsInteger("Log"), static_cast<int>(i + 1));
        const std::vector<OGRFeatureUniquePtr> track = Features(*gpkg->GetLayerByName("survey_track"));
        ASSERT_EQ(track.size(), 1u);
        EXPECT_EQ(VertexCount(track[0]->GetGeometryRef()), 3);
        EXPECT_TRUE(m_notices.empty());
    }
}

// Not a KeeperTest: the fork comes before this process has any thread.
TEST(KeeperKill, KillDuringWritesLeavesAPrefixThatTheNextRunCompletes)
{
    constexpr uint32_t kPoints = 20000;
    ScratchDir dir;
    const std::string gpkgPath = dir.File("0712124705.gpkg");
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->Clear();
    log->SetFolder(dir.Path());
    log->SetFileName("0712124705.txt");
    log->SetAnnotator(AnnotatePoint);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Saves as fast as points could come; the worker commits batch after batch.
        CGeoPackageKeeper keeper({});
        for (uint32_t i = 1; i <= kPoints; ++i) {
            log->Add(Numbered(i));
            keeper.OnLogSaved(*log);
        }
        keeper.WaitIdle(600s);
        ::_exit(0);
    }
    struct stat st{};
    for (int i = 0; i < 2000 && (::stat(gpkgPath.c_str(), &st) != 0 || st.st_size < 1000000); ++i)
        std::this_thread::sleep_for(5ms);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    {
        // As a GIS program opens it: a transaction cut short is rolled back
        // from its journal, which takes write access.
        GDALDatasetUniquePtr gpkg = OpenForReading(gpkgPath, {}, true);
        ASSERT_TRUE(gpkg) << "the GeoPackage no longer opens";
        // Killed before the layer was made, the file holds no point: a prefix too.
        OGRLayer* layer = gpkg->GetLayerByName("survey_points");
        const std::vector<OGRFeatureUniquePtr> points =
            layer != nullptr ? Features(*layer) : std::vector<OGRFeatureUniquePtr>{};
        EXPECT_LE(points.size(), kPoints);
        for (size_t i = 0; i < points.size(); ++i)
            ASSERT_EQ(points[i]->GetFieldAsInteger("Log"), static_cast<int>(i + 1)) << "not a prefix at " << i;
        std::printf("killed after %zu of %u points\n", points.size(), kPoints);
    }

    std::vector<std::string> notices;
    {
        // The log on disk is whole; the next run starts a log of its own and
        // catches the short GeoPackage up.
        for (uint32_t i = 1; i <= kPoints; ++i)
            log->Add(Numbered(i));
        ASSERT_TRUE(log->Save());
        CGeoPackageKeeper keeper([&notices](const std::string& text) { notices.push_back(text); });
        keeper.CatchUpFolder(dir.Path(), 0ms);
        ASSERT_TRUE(keeper.WaitIdle(120s));
    }
    log->Clear();
    log->SetFileName("");
    log->SetAnnotator({});
    for (const std::string& notice : notices)
        EXPECT_EQ(notice.rfind("GeoPackage caught up: ", 0), 0u) << notice;
    GDALDatasetUniquePtr gpkg = OpenForReading(gpkgPath);
    ASSERT_TRUE(gpkg);
    EXPECT_EQ(gpkg->GetLayerByName("survey_points")->GetFeatureCount(), kPoints);
    // The points caught up come whole from the companion record: quality,
    // heights, full precision.
    OGRFeatureUniquePtr last(gpkg->GetLayerByName("survey_points")->GetFeature(kPoints));
    ASSERT_TRUE(last);
    EXPECT_STREQ(last->GetFieldAsString("FixType"), "RTK fixed");
    EXPECT_DOUBLE_EQ(last->GetFieldAsDouble("HAccuracy"), 0.014);
    EXPECT_TRUE(last->IsFieldSetAndNotNull(last->GetFieldIndex("EllipsoidHeight")));
    EXPECT_DOUBLE_EQ(last->GetGeometryRef()->toPoint()->getY(), Numbered(kPoints).GpsFix.dfLatAng);
    ASSERT_NE(gpkg->GetLayerByName("survey_track"), nullptr);
    const std::vector<OGRFeatureUniquePtr> track = Features(*gpkg->GetLayerByName("survey_track"));
    ASSERT_EQ(track.size(), 1u);
    EXPECT_EQ(VertexCount(track[0]->GetGeometryRef()), static_cast<int>(kPoints));
}

// The whole program against the simulator, read back with ogrinfo.
std::string Ogrinfo(const std::string& args)
{
    std::string text;
    if (std::FILE* pipe = ::popen(("ogrinfo -ro -so " + args + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            text.append(buffer, n);
        ::pclose(pipe);
    }
    return text;
}

TEST(KeeperSurvey, SimulatedSurveyLeavesAGeoPackageBesideItsLogUnlessSwitchedOff)
{
    // Earlier surveys of five points whose GeoPackages a crash left short:
    // caught up at start-up when they hold the start of their log, left
    // alone when they hold another survey or other points.
    const struct {
        const char* name;
        std::vector<uint32_t> held; // the Log numbers in the GeoPackage
        double shift;               // of their latitude: another survey
        bool caughtUp;
    } earlier[] = {
        {"0101000000", {1, 2, 3}, 0.0, true},
        {"0201000000", {1, 2, 3}, 0.5, false},
        {"0301000000", {1, 2, 9}, 0.0, false},
    };
    for (const bool on : {true, false}) {
        SurveyRun run;
        if (!on) {
            ASSERT_TRUE(WriteWholeFile(run.Docs() + "KV4300TraceProofIni+.txt", "LOG#GEOPACKAGE#FALSE\n"));
        } else {
            CSurveyLog* log = CSurveyLog::GetInstance();
            for (const auto& e : earlier) {
                const std::string path = run.Logs() + e.name;
                log->Clear();
                for (uint32_t n : e.held) {
                    SURVEY_POINT point = Numbered(n);
                    point.GpsFix.dfLatAng += e.shift;
                    log->Add(point);
                }
                ASSERT_TRUE(log->WriteFile(path + ".txt"));
                ASSERT_EQ(RunExport(EXPORT_REQUEST{.output = path + ".gpkg", .logs = {path + ".txt"}}, stderr), 0);
                log->Clear();
                for (uint32_t n = 1; n <= 5; ++n)
                    log->Add(Numbered(n));
                ASSERT_TRUE(log->WriteFile(path + ".txt"));
            }
            log->Clear();
        }
        ChildProcess sim;
        ASSERT_TRUE(run.StartSim(sim, {"--count", "15", "--interval", "0.05", "--rate", "10", "--fix-loss", "1:0.3",
                                       "--log", run.File("packets.txt")}));
        ChildProcess fieldbook;
        ASSERT_TRUE(run.StartFieldbook(fieldbook));
        const SurveyRun::END end = run.Finish(sim, fieldbook, 60s);
        EXPECT_EQ(end.fieldbookStatus, 0) << run.Err();
        ASSERT_EQ(end.files.size(), on ? 4u : 1u);
        const std::string gpkg = CGeoPackageKeeper::PathForLog(run.Logs() + end.files.back());
        if (!on) {
            EXPECT_FALSE(FileExists(gpkg));
            continue;
        }
        const std::string points = Ogrinfo(gpkg + " survey_points");
        EXPECT_NE(points.find("Feature Count: " + std::to_string(LogRows(end.log).size()) + "\n"),
                  std::string::npos)
            << points << run.Out() << run.Err();
        EXPECT_NE(points.find("Geometry: 3D Point"), std::string::npos) << points;
        const std::string track = Ogrinfo(gpkg + " survey_track");
        EXPECT_NE(track.find("Feature Count: 1\n"), std::string::npos) << track;
        for (const auto& e : earlier)
            EXPECT_EQ(run.Out().find(std::string(e.name) + ".gpkg +") != std::string::npos, e.caughtUp) << e.name << run.Out();
    }
}

} // namespace
