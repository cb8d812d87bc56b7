#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "SamplePoints.h"
#include "gps/GeoDistance.h"
#include "platform/DebugFile.h"
#include "support/ScratchDir.h"
#include "surveylog/RecordProcessing.h"
#include "surveylog/SurveyLog.h"

namespace {

size_t LineCount(const std::string& text)
{
    size_t lines = 0;
    for (char c : text)
        lines += (c == '\n');
    return lines;
}

// The link's queue as record processing sees it. A pop can be told to give up,
// as the link's does when it cannot take the queue's lock in time.
class FakeQueue : public IRecordSource {
public:
    explicit FakeQueue(std::string logPath) : m_logPath(std::move(logPath)) {}

    SURVEY_POINT* PeekLocateRecord() override { return points.empty() ? nullptr : &points.front(); }
    void PopLocateRecord() override
    {
        // What the log file held when the point left the queue.
        linesAtPop.push_back(LineCount(ReadWholeFile(m_logPath)));
        if (failingPops > 0) {
            --failingPops;
            return;
        }
        if (!points.empty())
            points.pop_front();
    }

    std::deque<SURVEY_POINT> points;
    int failingPops = 0;
    std::vector<size_t> linesAtPop;

private:
    std::string m_logPath;
};

class RecordProcessingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CSurveyLog::DestroyInstance();
        log = CSurveyLog::GetInstance();
        log->SetFolder(dir.Path());
        log->SetFileName("log.txt");
    }
    void TearDown() override { CSurveyLog::DestroyInstance(); }

    std::string LogText() const { return ReadWholeFile(dir.File("log.txt")); }

    ScratchDir dir;
    CSurveyLog* log = nullptr;
    FakeQueue queue{dir.File("log.txt")};
    double prevLat = 0.0;
    double prevLong = 0.0;
};

SURVEY_POINT Numbered(uint32_t index, SURVEY_POINT p)
{
    p.LocateData.u32EepromFileIndex = index;
    return p;
}

SURVEY_POINT SouthWest(double lat, double lon)
{
    SURVEY_POINT p = FixAt(lat, lon);
    p.GpsFix.nLatDir = DIR_SOUTH;
    p.GpsFix.nLongDir = DIR_WEST;
    return p;
}

TEST_F(RecordProcessingTest, QueuedPointsAreLoggedInOrderWithASaveEach)
{
    queue.points.push_back(Numbered(1, FixAt(52.0, 1.0)));
    queue.points.push_back(Numbered(2, FixAt(52.1, 1.0)));
    ProcessQueuedRecords(&queue, nullptr, prevLat, prevLong);

    EXPECT_TRUE(queue.points.empty());
    ASSERT_EQ(log->GetCount(), 2u);
    EXPECT_EQ(log->GetAt(0).LocateData.u32EepromFileIndex, 1u);
    EXPECT_EQ(log->GetAt(1).LocateData.u32EepromFileIndex, 2u);
    // Headings and one line, then headings and two: the file was written before each pop.
    EXPECT_EQ(queue.linesAtPop, (std::vector<size_t>{3, 4}));
    EXPECT_EQ(prevLat, 0.0) << "the previous position moves only while the dump is on";
}

// The check above the log (the quality gate) marks each point before the log
// takes it and hears its number after; the mark reaches GetAt, never the CSV.
TEST_F(RecordProcessingTest, PointCheckMarksWhatTheLogKeepsButNotItsFile)
{
    struct Marker : IPointCheck {
        void Check(SURVEY_POINT& point) override
        {
            point.Quality.u32Present |= QUALITY_CHECKED;
            point.Quality.bQualityOK = point.LocateData.u32EepromFileIndex != 2;
        }
        void OnLogged(const SURVEY_POINT& point, size_t number) override
        {
            logged.push_back(number * 10 + (point.Quality.bQualityOK ? 1 : 0));
        }
        std::vector<size_t> logged;
    } marker;
    queue.points.push_back(Numbered(1, FixAt(52.0, 1.0)));
    queue.points.push_back(Numbered(2, FixAt(52.1, 1.0)));
    ProcessQueuedRecords(&queue, nullptr, prevLat, prevLong, &marker);
    const std::string marked = LogText();
    EXPECT_EQ(marker.logged, (std::vector<size_t>{11, 20}));
    ASSERT_EQ(log->GetCount(), 2u);
    EXPECT_TRUE(log->GetAt(0).Quality.bQualityOK);
    EXPECT_FALSE(log->GetAt(1).Quality.bQualityOK);

    log->Clear();
    queue.points.push_back(Numbered(1, FixAt(52.0, 1.0)));
    queue.points.push_back(Numbered(2, FixAt(52.1, 1.0)));
    ProcessQueuedRecords(&queue, nullptr, prevLat, prevLong);
    EXPECT_EQ(LogText(), marked);
}

TEST_F(RecordProcessingTest, SouthAndWestAreLoggedNegativeWithTheirWords)
{
    queue.points.push_back(SouthWest(33.8688, 151.2093));
    ProcessQueuedRecords(&queue, nullptr, prevLat, prevLong);
    ASSERT_EQ(log->GetCount(), 1u);
    EXPECT_DOUBLE_EQ(log->GetAt(0).GpsFix.dfLatAng, -33.8688);
    EXPECT_DOUBLE_EQ(log->GetAt(0).GpsFix.dfLongAng, -151.2093);
    EXPECT_NE(LogText().find(",-33.868800,SOUTH,-151.209300,WEST,"), std::string::npos);
}

TEST_F(RecordProcessingTest, PointWithoutAFixKeepsOnlyItsTimeAndDate)
{
    SURVEY_POINT p = NorthEastPoint();
    p.GpsFix.nGpsFix = 0;
    p.GpsFix.dfUTC = 123456.0;
    p.GpsFix.nTimeInd = 1;
    p.GpsFix.nDgpsTime = 4;
    p.GpsFix.nDgpsId = 9;
    queue.points.push_back(p);
    ProcessQueuedRecords(&queue, nullptr, prevLat, prevLong);

    ASSERT_EQ(log->GetCount(), 1u);
    GPS_FIX expectedFix;
    expectedFix.dfUTC = 123456.0;
    expectedFix.nTimeInd = 1;
    EXPECT_EQ(log->GetAt(0).GpsFix, expectedFix);
    EXPECT_EQ(log->GetAt(0).ZdaData, p.ZdaData);
    EXPECT_EQ(log->GetAt(0).LocateData, p.LocateData);
}

TEST_F(RecordProcessingTest, NoLinkNoWork)
{
    ProcessQueuedRecords(nullptr, nullptr, prevLat, prevLong);
    EXPECT_EQ(log->GetCount(), 0u);
    EXPECT_FALSE(FileExists(dir.File("log.txt")));
}

// A pop that gives up leaves the logged point at the head of the queue; it must
// not be logged again (nor its position signed a second time).
struct PopCase {
    const char* name;
    int failingPops;
    int ticks;
};

class FailingPopTable : public RecordProcessingTest, public ::testing::WithParamInterface<PopCase> {};

TEST_P(FailingPopTable, PointIsLoggedOnce)
{
    queue.points.push_back(Numbered(1, SouthWest(10.0, 20.0)));
    queue.points.push_back(Numbered(2, SouthWest(11.0, 21.0)));
    queue.failingPops = GetParam().failingPops;
    for (int tick = 0; tick < GetParam().ticks; ++tick)
        ProcessQueuedRecords(&queue, nullptr, prevLat, prevLong);

    EXPECT_TRUE(queue.points.empty());
    ASSERT_EQ(log->GetCount(), 2u);
    EXPECT_EQ(log->GetAt(0).LocateData.u32EepromFileIndex, 1u);
    EXPECT_DOUBLE_EQ(log->GetAt(0).GpsFix.dfLatAng, -10.0);
    EXPECT_EQ(log->GetAt(1).LocateData.u32EepromFileIndex, 2u);
    EXPECT_DOUBLE_EQ(log->GetAt(1).GpsFix.dfLongAng, -21.0);
}

INSTANTIATE_TEST_SUITE_P(
    Queue, FailingPopTable,
    ::testing::Values(PopCase{"retried_in_the_same_tick", 1, 1},
                      PopCase{"still_stuck_then_next_tick", 2, 2},
                      PopCase{"stuck_for_several_ticks", 5, 6}),
    [](const ::testing::TestParamInfo<PopCase>& info) { return std::string(info.param.name); });

std::string Fixed6(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

const char kRecordDump[] = "\nNEW RECORD"
                           "\n=========="
                           "\nApp. Identifier   = 42\n\n"
                           "Locate Data : \n"
                           "Eeprom File Index = 17\n"
                           "Locator Mode      = 51\n"
                           "Log Mode          = 7\n"
                           "Frequency         = 8440.000000\n"
                           "Log Id            = 0xBEEF\n"
                           "File Index        = 17\n"
                           "Locate Depth      = 123.456001\n"
                           "Locate Current    = 45.500000\n"
                           "Phase             = -12.250000\n"
                           "Signal Strength   = 0.756000\n"
                           "Gain              = 30.000000\n";

std::string GpsDump(const char* lat, const char* lon, const char* prevLat, const char* prevLong, double haversine,
                    double vincenty)
{
    return std::string("\nGPS GGA Data : "
                       "\ndfUTC            = 101010.500000"
                       "\nNo. Satellites   = 7"
                       "\nLat. Angle       = ") +
           lat + "\nLong. Angle      = " + lon + "\nPrev Lat. Angle  = " + prevLat +
           "\nPrev Long. Angle = " + prevLong + "\nHaversine (m)    = " + Fixed6(haversine) +
           "\nVincenty  (m)    = " + Fixed6(vincenty) +
           "\n"
           "\nGPS ZDA Data : "
           "\ndfUTC            = 101010.500000"
           "\nnHour            = 10"
           "\nnMinute          = 11"
           "\nnSecond          = 12"
           "\nnDay             = 6"
           "\nnMonth           = 12"
           "\nnYear            = 2023"
           "\nnLocalZoneHour   = -1"
           "\nnLocalZoneMinute = 30\n";
}

SURVEY_POINT Dumped(double lat, int latDir, double lon, int longDir, uint32_t fix)
{
    SURVEY_POINT p = NorthEastPoint();
    p.u32AppIdentifier = 42;
    p.GpsFix.dfUTC = 101010.5;
    p.GpsFix.dfLatAng = lat;
    p.GpsFix.nLatDir = latDir;
    p.GpsFix.dfLongAng = lon;
    p.GpsFix.nLongDir = longDir;
    p.GpsFix.nGpsFix = fix;
    p.GpsFix.nNoSats = 7;
    p.ZdaData = ZDA_DATA{101010.5, 10, 11, 12, 6, 12, 2023, -1, 30, 1};
    return p;
}

TEST_F(RecordProcessingTest, SystemLogGetsTheDumpOfEveryPoint)
{
    CDebugFile system;
    ASSERT_TRUE(system.Open(dir.File("system.txt"), CDebugFile::Mode::Truncate));
    queue.points.push_back(Dumped(52.0, DIR_NORTH, 1.0, DIR_WEST, 1));
    queue.points.push_back(Dumped(40.0, DIR_SOUTH, 3.0, DIR_EAST, 0));
    queue.points.push_back(Dumped(52.0001, DIR_NORTH, 1.0, DIR_WEST, 2));
    ProcessQueuedRecords(&queue, &system, prevLat, prevLong);

    // Distances of the dump: from the previous dumped position, worked out here.
    const CGeoDistance geo;
    const double a = 6378137.0, b = 6356752.5, r = 6371000.0;
    const std::string expected =
        kRecordDump +
        GpsDump("52.000000", "-1.000000", "0.000000", "0.000000", geo.HaversineDistance(0.0, 52.0, 0.0, -1.0, r),
                geo.VincentyDistance(0.0, 52.0, 0.0, -1.0, a, b)) +
        kRecordDump + "NO GPS Fix" + kRecordDump +
        GpsDump("52.000100", "-1.000000", "52.000000", "-1.000000", geo.HaversineDistance(52.0, 52.0001, -1.0, -1.0, r),
                geo.VincentyDistance(52.0, 52.0001, -1.0, -1.0, a, b));
    EXPECT_EQ(ReadWholeFile(dir.File("system.txt")), expected);
    EXPECT_DOUBLE_EQ(prevLat, 52.0001);
    EXPECT_DOUBLE_EQ(prevLong, -1.0);
    EXPECT_EQ(log->GetCount(), 3u);
}

TEST_F(RecordProcessingTest, ClosedSystemLogGetsNothing)
{
    CDebugFile system;
    ASSERT_TRUE(system.Open(dir.File("system.txt"), CDebugFile::Mode::Truncate));
    system.Close();
    queue.points.push_back(Dumped(52.0, DIR_NORTH, 1.0, DIR_WEST, 1));
    ProcessQueuedRecords(&queue, &system, prevLat, prevLong);
    EXPECT_EQ(ReadWholeFile(dir.File("system.txt")), "");
    EXPECT_EQ(prevLat, 0.0);
    EXPECT_EQ(log->GetCount(), 1u);
}

TEST(PaneTexts, TransferPaneFollowsTheLink)
{
    EXPECT_STREQ(TransferPaneText(true), "XFER On");
    EXPECT_STREQ(TransferPaneText(false), "XFER Off");
}

} // namespace
