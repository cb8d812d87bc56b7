#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "SamplePoints.h"
#include "gps/GeoDistance.h"
#include "platform/Clock.h"
#include "platform/Folders.h"
#include "support/NoFileOverride.h"
#include "support/ScratchDir.h"
#include "surveylog/SurveyLog.h"

namespace {

const std::string kHeadings =
    "Log,Mode,Distance,Depth,Locate,Phase,Signal,Strength,Gain,Frequency,Protocol,Compass,Arrows,Antenna,"
    "Accessory,Sonde/Line,Battery,Volume,Overload,GPSMode,MarkerType,MarkerDepth,MarkerSignal,MarkerGain,"
    "RTCDate,RTC_UTC,RTCUpdated,GPSDate,GPS_UTC,LatAng,LatDir,LongAng,LongDir,GpsFix,NoSats,HorizDil,AltVal,"
    "AltUnits,GeoidVal,GeoidUnits,DgpsTime,DgpsId,TimeInd\n"
    ",,(m),(cm),(mA),(degrees),(dBuV),(Percent),(dB),Hz,,(degrees),,,,,,,,,,(m),(dB),,(DD/MM/YYYY),"
    "(hh:mm:ss),,(DD/MM/YYYY),(hhmmss.ss),(degrees),,(degrees),,,,,,,,,(seconds),,\n";

// A data line with a chosen EEPROM index (column 1), everything else zero.
std::string ZeroLine(int index)
{
    return std::to_string(index) +
           ",-1,0.0,0.00,0.00,0.00,0.00,0.00,0.00,0.000000,0,0,0,0,0,0,0,0,0,0,0,0.000000,"
           "0.000000,0.000000,0/0/0,0:0:0,0,0/0/0,0.00,0.000000,0,0.000000,0,0,0,0.000000,"
           "0.000000,0,0.000000,0,0,0,0\n";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ','))
        fields.push_back(field);
    if (!line.empty() && line.back() == ',')
        fields.push_back("");
    return fields;
}

std::vector<std::string> FolderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

SURVEY_POINT Indexed(uint32_t index)
{
    SURVEY_POINT p = FixAt(51.5 + index * 1e-5, -0.12);
    p.LocateData.u32EepromFileIndex = index;
    return p;
}

class SurveyLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CSurveyLog::DestroyInstance();
        log = CSurveyLog::GetInstance();
        log->SetNewFileWait(std::chrono::milliseconds(0));
        SetLogFolder(dir.Path());
        const LOCAL_TIME fixed{2023, 12, 6, 14, 30, 5};
        SetLocalTimeForTest(&fixed);
    }
    void TearDown() override
    {
        CSurveyLog::DestroyInstance();
        SetLogFolder("");
        SetLocalTimeForTest(nullptr);
    }
    void UseFile(const std::string& name)
    {
        log->SetFolder(dir.Path());
        log->SetFileName(name);
    }

    ScratchDir dir;
    CSurveyLog* log = nullptr;
};

TEST_F(SurveyLogTest, SaveWritesHeadingsAndOneLinePerPointAndLeavesNothingElse)
{
    UseFile("log.txt");
    for (int i = 1; i <= 3; ++i) {
        SURVEY_POINT p;
        p.LocateData.u32EepromFileIndex = static_cast<uint32_t>(i);
        ASSERT_TRUE(log->Add(p));
        ASSERT_TRUE(log->Save());
    }
    EXPECT_EQ(ReadWholeFile(dir.File("log.txt")), kHeadings + ZeroLine(1) + ZeroLine(2) + ZeroLine(3));
    EXPECT_EQ(FolderEntries(dir.Path()), (std::vector<std::string>{"log.jsonl", "log.txt"}));
    EXPECT_EQ(LogPaneText(*log), "log.txt (3)");
}

TEST_F(SurveyLogTest, EmptyLogSavesNothing)
{
    UseFile("log.txt");
    EXPECT_TRUE(log->Save());
    EXPECT_TRUE(FolderEntries(dir.Path()).empty());
}

// The Distance column against distances worked out here leg by leg.
struct DistanceCase {
    const char* name;
    std::vector<SURVEY_POINT> points;
    // Expected column 3 per line, as (from, to) legs summed; an empty list is 0.0.
    std::vector<std::vector<std::pair<int, int>>> legs;
};

class DistanceTable : public SurveyLogTest, public ::testing::WithParamInterface<DistanceCase> {};

TEST_P(DistanceTable, SummedLegByLegBetweenFixedPoints)
{
    const DistanceCase& c = GetParam();
    UseFile("track.txt");
    for (const SURVEY_POINT& p : c.points)
        log->Add(p);
    ASSERT_TRUE(log->Save());
    const std::vector<std::string> lines = Lines(ReadWholeFile(dir.File("track.txt")));
    ASSERT_EQ(lines.size(), c.points.size() + 2);

    const CGeoDistance geo;
    for (size_t i = 0; i < c.points.size(); ++i) {
        double expected = 0.0;
        for (const auto& [from, to] : c.legs[i]) {
            const GPS_FIX& a = c.points[from].GpsFix;
            const GPS_FIX& b = c.points[to].GpsFix;
            expected += geo.VincentyDistance(a.dfLatAng, b.dfLatAng, a.dfLongAng, b.dfLongAng, 6378137.0, 6356752.5);
        }
        const std::string printed = Fields(lines[i + 2]).at(2);
        EXPECT_NEAR(std::stod(printed), expected, 0.05) << "line " << i + 1;
        EXPECT_EQ(printed.size() - printed.find('.'), 2u) << printed; // one decimal
    }
}

const SURVEY_POINT P1 = FixAt(52.0, 1.0);
const SURVEY_POINT P2 = FixAt(52.01, 1.0);
const SURVEY_POINT P3 = FixAt(52.01, 1.02);
const SURVEY_POINT P4 = FixAt(-33.9, 151.2);

INSTANTIATE_TEST_SUITE_P(
    Legs, DistanceTable,
    ::testing::Values(
        DistanceCase{"all_fixed", {P1, P2, P3}, {{}, {{0, 1}}, {{0, 1}, {1, 2}}}},
        DistanceCase{"second_without_fix", {P1, NoFix(), P3}, {{}, {}, {{0, 2}}}},
        DistanceCase{"first_without_fix", {NoFix(), P2, P3, P1}, {{}, {}, {}, {}}},
        // A gap restarts the sum at 0.0; the next leg runs from the last fixed point.
        DistanceCase{"gap_restarts_sum", {P1, P2, NoFix(), P3, P1}, {{}, {{0, 1}}, {}, {{1, 3}}, {{1, 3}, {3, 4}}}},
        DistanceCase{"southern_hemisphere", {P4, FixAt(-33.91, 151.21)}, {{}, {{0, 1}}}}),
    [](const ::testing::TestParamInfo<DistanceCase>& info) { return std::string(info.param.name); });

TEST_F(SurveyLogTest, RunningDistanceIsCarriedInSinglePrecision)
{
    // Past 8388608 m a float cannot hold a 0.3 m step: the stored logs' sum
    // stands still where a double would creep on by 0.3 m a line.
    UseFile("far.txt");
    log->Add(FixAt(0.0, 0.0));
    log->Add(FixAt(0.0, 90.0));
    for (int i = 1; i <= 10; ++i)
        log->Add(FixAt(0.0, 90.0 + i * 0.0000027)); // about 0.3 m east each
    ASSERT_TRUE(log->Save());
    const std::vector<std::string> lines = Lines(ReadWholeFile(dir.File("far.txt")));
    ASSERT_EQ(lines.size(), 14u);
    const std::string far = Fields(lines[3]).at(2);
    EXPECT_GT(std::stod(far), 8388608.0);
    for (size_t i = 4; i < lines.size(); ++i)
        EXPECT_EQ(Fields(lines[i]).at(2), far) << "line " << i - 1;
}

// Values on the grid the formats print, so that one write, read and write loses
// nothing and the two texts must be identical.
SURVEY_POINT RandomPoint(std::mt19937& rng)
{
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto hundredths = [&](int range) { return static_cast<float>(pick(-range, range) / 100.0); };
    auto thousandths = [&](int range) { return static_cast<float>(pick(-range, range) / 1000.0); };
    auto millionths = [&](double range) {
        const int limit = static_cast<int>(range * 1e6);
        return pick(-limit, limit) / 1e6;
    };
    SURVEY_POINT p;
    p.nLocatorMode = pick(0, 72);
    if (p.nLocatorMode == 11)
        p.nLocatorMode = 0; // no name: reads back as 0
    LOCATE_DATA& ld = p.LocateData;
    ld.u32EepromFileIndex = static_cast<uint32_t>(rng());
    ld.fDepth = hundredths(1000000);
    ld.fCurrent = hundredths(1000000);
    ld.fPhase = hundredths(18000);
    ld.fSignal = hundredths(20000);
    ld.fStrength = static_cast<float>(pick(0, 10000) / 10000.0);
    ld.fGain = hundredths(10000);
    ld.fFrequency = thousandths(10000000);
    ld.nProtocolId = pick(0, 7);
    ld.nCompass = pick(-1, 511);
    ld.nArrows = pick(-1, 15);
    ld.nAntennaMode = pick(-1, 15);
    ld.nAccessoryType = pick(-1, 15);
    ld.nSondeLine = pick(-1, 1);
    ld.nBattery = static_cast<int32_t>(rng());
    ld.nVolume = pick(-1, 3);
    ld.nOverload = pick(-1, 1);
    p.nGpsMode = pick(-1, 2);
    p.nMarkerType = static_cast<int32_t>(rng());
    p.fMarkerDepth = thousandths(1000000);
    p.fMarkerSignal = thousandths(1000000);
    p.fMarkerGain = thousandths(1000000);
    p.RtcDate = RTC_DATE::Make(static_cast<uint32_t>(pick(0, 255)), static_cast<uint32_t>(pick(0, 255)),
                               static_cast<uint32_t>(pick(0, 65535)));
    p.RtcTime = RTC_TIME::Make(static_cast<uint32_t>(pick(0, 255)), static_cast<uint32_t>(pick(0, 255)),
                               static_cast<uint32_t>(pick(0, 255)));
    p.nRtcUpdated = static_cast<int32_t>(rng());
    p.ZdaData.nDay = pick(-31, 31);
    p.ZdaData.nMonth = pick(0, 12);
    p.ZdaData.nYear = static_cast<int32_t>(rng());
    GPS_FIX& fix = p.GpsFix;
    fix.dfUTC = pick(0, 23595999) / 100.0;
    fix.nTimeInd = static_cast<uint32_t>(pick(0, 1));
    const int quality = pick(0, 3);
    if (quality == 0)
        return p; // as record processing leaves a point without a fix
    fix.nGpsFix = quality == 3 ? static_cast<uint32_t>(rng()) | 1u : static_cast<uint32_t>(quality);
    fix.dfLatAng = millionths(90.0);
    fix.nLatDir = pick(0, 4);
    fix.dfLongAng = millionths(180.0);
    fix.nLongDir = pick(0, 4);
    fix.nNoSats = static_cast<uint32_t>(rng());
    fix.dfHorizDil = millionths(99.0);
    fix.dfAltVal = millionths(2000.0);
    fix.nAltUnits = pick(0, 1);
    fix.dfGeoidVal = millionths(200.0);
    fix.nGeoidUnits = pick(0, 1);
    fix.nDgpsTime = static_cast<uint32_t>(rng());
    fix.nDgpsId = static_cast<uint32_t>(rng());
    return p;
}

TEST_F(SurveyLogTest, WriteReadWriteGivesTheSameTextAndPoints)
{
    std::mt19937 rng(20231206);
    std::vector<SURVEY_POINT> points;
    for (int i = 0; i < 3000; ++i)
        points.push_back(RandomPoint(rng));

    for (const SURVEY_POINT& p : points)
        log->Add(p);
    ASSERT_TRUE(log->WriteFile(dir.File("first.txt")));
    log->Clear();
    log->ReadFile(dir.File("first.txt"));
    ASSERT_EQ(log->GetCount(), points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        SURVEY_POINT read = log->GetAt(i);
        EXPECT_NEAR(read.LocateData.fStrength, points[i].LocateData.fStrength, 1e-6f) << i;
        read.LocateData.fStrength = points[i].LocateData.fStrength;
        ASSERT_EQ(read, points[i]) << "point " << i;
    }
    ASSERT_TRUE(log->WriteFile(dir.File("second.txt")));
    const std::string first = ReadWholeFile(dir.File("first.txt"));
    EXPECT_EQ(ReadWholeFile(dir.File("second.txt")), first);
    EXPECT_EQ(Lines(first).size(), points.size() + 2);
}

TEST_F(SurveyLogTest, StartNewFileNamesFromTheClockAndWritesNothingForAnEmptyLog)
{
    EXPECT_TRUE(log->StartNewFile());
    EXPECT_EQ(log->GetFileName(), "0612143005.txt");
    EXPECT_EQ(log->GetFolder(), dir.Path());
    EXPECT_EQ(LogPaneText(*log), "0612143005.txt (0)");

    const LOCAL_TIME later{2024, 1, 2, 3, 4, 5};
    SetLocalTimeForTest(&later);
    EXPECT_TRUE(log->StartNewFile());
    EXPECT_EQ(log->GetFileName(), "0201030405.txt");
    EXPECT_TRUE(FolderEntries(dir.Path()).empty()) << "no file until its first point";
}

TEST_F(SurveyLogTest, StartNewFileSavesTheOldSurveyAndEmptiesTheList)
{
    ASSERT_TRUE(log->StartNewFile());
    log->Add(Indexed(1));
    const LOCAL_TIME later{2023, 12, 6, 14, 31, 0};
    SetLocalTimeForTest(&later);
    ASSERT_TRUE(log->StartNewFile());
    EXPECT_EQ(log->GetCount(), 0u);
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("0612143005.txt"))).size(), 3u);
    EXPECT_EQ(FolderEntries(dir.Path()), (std::vector<std::string>{"0612143005.jsonl", "0612143005.txt"}));
}

TEST_F(SurveyLogTest, ExistingFileOfTheNewNameIsTakenOverAndExtended)
{
    // Same day and time in another year.
    ASSERT_TRUE(WriteWholeFile(dir.File("0612143005.txt"), kHeadings + ZeroLine(7) + ZeroLine(8)));
    ASSERT_TRUE(log->StartNewFile());
    EXPECT_EQ(LogPaneText(*log), "0612143005.txt (2)");
    SURVEY_POINT p;
    p.LocateData.u32EepromFileIndex = 9;
    log->Add(p);
    ASSERT_TRUE(log->Save());
    EXPECT_EQ(ReadWholeFile(dir.File("0612143005.txt")), kHeadings + ZeroLine(7) + ZeroLine(8) + ZeroLine(9));
}

TEST_F(SurveyLogTest, TwoStartsOneAfterTheOtherGetTwoNames)
{
    SetLocalTimeForTest(nullptr);
    log->SetNewFileWait(std::chrono::milliseconds(1000));
    ASSERT_TRUE(log->StartNewFile());
    const std::string first = log->GetFileName();
    ASSERT_TRUE(log->StartNewFile());
    EXPECT_NE(log->GetFileName(), first);
}

TEST_F(SurveyLogTest, PointsAddedBeforeTheFirstFileGoIntoIt)
{
    log->Add(Indexed(1));
    ASSERT_TRUE(log->StartNewFile());
    EXPECT_EQ(log->GetCount(), 1u);
    ASSERT_TRUE(log->Save());
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("0612143005.txt"))).size(), 3u);
}

TEST_F(SurveyLogTest, FolderWithLettersBeyondAsciiIsUsedAsItIs)
{
    const std::string folder = dir.Path() + "Vermessung Ölgraben 測量/";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    SetLogFolder(folder);
    ASSERT_TRUE(log->StartNewFile());
    log->Add(Indexed(1));
    ASSERT_TRUE(log->Save());
    EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"0612143005.jsonl", "0612143005.txt"}));
}

// While it lives the folder refuses new files, even to root.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::string folder) : m_folder(std::move(folder))
    {
        m_bActive = m_asUser.Active() && ::chmod(m_folder.c_str(), 0555) == 0;
    }
    ~ReadOnlyFolder() { ::chmod(m_folder.c_str(), 0755); }
    bool Active() const { return m_bActive; }

private:
    ScopedNoFileOverride m_asUser;
    std::string m_folder;
    bool m_bActive = false;
};

TEST_F(SurveyLogTest, ReadOnlyFolderKeepsThePointsAndThePreviousFile)
{
    UseFile("log.txt");
    log->Add(Indexed(0));
    ASSERT_TRUE(log->Save());
    const std::string before = ReadWholeFile(dir.File("log.txt"));
    {
        ReadOnlyFolder readOnly(dir.Path());
        ASSERT_TRUE(readOnly.Active());
        log->Add(Indexed(1));
        log->Add(Indexed(2));
        EXPECT_FALSE(log->Save());
        EXPECT_EQ(log->GetCount(), 3u);
        EXPECT_EQ(ReadWholeFile(dir.File("log.txt")), before);
        EXPECT_EQ(FolderEntries(dir.Path()), (std::vector<std::string>{"log.jsonl", "log.txt"}));
    }
    log->Add(Indexed(3));
    EXPECT_TRUE(log->Save());
    const std::vector<std::string> lines = Lines(ReadWholeFile(dir.File("log.txt")));
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Fields(lines[static_cast<size_t>(i) + 2]).at(0), std::to_string(i));
}

TEST_F(SurveyLogTest, NewFileIsNotStartedWhileTheOldSurveyCannotBeSaved)
{
    ASSERT_TRUE(log->StartNewFile());
    log->Add(Indexed(1));
    const LOCAL_TIME later{2023, 12, 6, 15, 0, 0};
    SetLocalTimeForTest(&later);
    {
        ReadOnlyFolder readOnly(dir.Path());
        ASSERT_TRUE(readOnly.Active());
        EXPECT_FALSE(log->StartNewFile());
        EXPECT_EQ(log->GetCount(), 1u);
        EXPECT_EQ(log->GetFileName(), "0612143005.txt");
    }
    EXPECT_TRUE(log->StartNewFile());
    EXPECT_EQ(log->GetFileName(), "0612150000.txt");
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("0612143005.txt"))).size(), 3u);
}

TEST_F(SurveyLogTest, DestroyingTheLogRetriesAFailedSave)
{
    UseFile("log.txt");
    {
        ReadOnlyFolder readOnly(dir.Path());
        ASSERT_TRUE(readOnly.Active());
        log->Add(Indexed(1));
        EXPECT_FALSE(log->Save());
    }
    CSurveyLog::DestroyInstance();
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("log.txt"))).size(), 3u);
}

// Lines are read 1999 characters at a time; the rest of a longer line is a line
// of its own. Column 43 is padded with zeros to reach each length.
struct LongLineCase {
    const char* name;
    size_t length;           // of the data line without its line feed; 0 as it is
    std::string prefix;      // text before the data line, on the same line
    size_t points;           // read from the file (a normal line follows)
    uint32_t timeInd;        // of the first point read
};

class LongLineTable : public SurveyLogTest, public ::testing::WithParamInterface<LongLineCase> {};

TEST_P(LongLineTable, LongLinesAreCutAt1999Characters)
{
    const LongLineCase& c = GetParam();
    std::string line = ZeroLine(5);
    line.pop_back();
    line.back() = '1'; // TimeInd
    const size_t last = line.rfind(',') + 1;
    if (c.length > line.size())
        line.insert(last, c.length - line.size(), '0');
    ASSERT_TRUE(c.length == 0 || line.size() == c.length);
    ASSERT_TRUE(WriteWholeFile(dir.File("long.txt"), kHeadings + c.prefix + line + "\n" + ZeroLine(6)));

    log->ReadFile(dir.File("long.txt"));
    ASSERT_EQ(log->GetCount(), c.points);
    EXPECT_EQ(log->GetAt(0).GpsFix.nTimeInd, c.timeInd);
    EXPECT_EQ(log->GetAt(c.points - 1).LocateData.u32EepromFileIndex, 6u);
}

INSTANTIATE_TEST_SUITE_P(
    ReadBuffer, LongLineTable,
    ::testing::Values(
        LongLineCase{"fits_with_its_line_feed", 1998, "", 2, 1},
        LongLineCase{"line_feed_read_alone", 1999, "", 2, 1},
        // The last digit, "1", is cut off and read as a line of one token.
        LongLineCase{"last_digit_cut_off", 2000, "", 2, 0},
        // 1999 characters of junk, then a whole line: the second part is a point.
        LongLineCase{"rest_is_a_line_of_its_own", 0, std::string(1999, 'x'), 2, 1}),
    [](const ::testing::TestParamInfo<LongLineCase>& info) { return std::string(info.param.name); });

// A FIFO of the log's name would block start-up until a writer came, a device
// would never end: only a regular file (or a link to one) is read.
TEST_F(SurveyLogTest, MissingFileOrOneThatIsNoFileReadsAsNothing)
{
    log->Add(Indexed(1));
    ASSERT_EQ(::mkfifo(dir.File("fifo.txt").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.File("zero.txt").c_str()), 0);
    ASSERT_EQ(::symlink(dir.File("fifo.txt").c_str(), dir.File("link.txt").c_str()), 0);
    for (const std::string& path : {dir.File("absent.txt"), dir.Path(), dir.File("fifo.txt"), dir.File("zero.txt"),
                                    dir.File("link.txt")})
        log->ReadFile(path);
    EXPECT_EQ(log->GetCount(), 1u);
}

// A child saves in a loop and is killed at random moments. After every kill the
// log must be a whole file: both headings, 43 fields on every line, the points
// in order, at least as many as the last save that reported success.
TEST_F(SurveyLogTest, KilledWhileSavingLeavesAWholeLog)
{
    const std::string path = dir.File("kill.txt");
    std::mt19937 rng(4300);
    size_t reported = 0;
    for (int round = 0; round < 25; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            CSurveyLog* saver = CSurveyLog::GetInstance();
            saver->Clear();
            saver->SetFolder(dir.Path());
            saver->SetFileName("kill.txt");
            saver->ReadFile(path);
            for (int i = 0; i < 100000; ++i) {
                saver->Add(Indexed(static_cast<uint32_t>(saver->GetCount())));
                if (saver->Save()) {
                    const uint64_t count = saver->GetCount();
                    if (::write(fds[1], &count, sizeof count) != sizeof count)
                        ::_exit(3);
                }
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        ::usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(2000, 40000)(rng)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        uint64_t count = 0;
        while (::read(fds[0], &count, sizeof count) == sizeof count)
            reported = count;
        ::close(fds[0]);

        const std::string text = ReadWholeFile(path);
        if (reported == 0 && text.empty())
            continue; // killed before the first save
        ASSERT_EQ(text.compare(0, kHeadings.size(), kHeadings), 0) << "round " << round;
        ASSERT_EQ(text.back(), '\n') << "round " << round;
        const std::vector<std::string> lines = Lines(text);
        const size_t points = lines.size() - 2;
        ASSERT_GE(points, reported) << "round " << round;
        ASSERT_LE(points, reported + 1) << "round " << round;
        for (size_t i = 2; i < lines.size(); ++i) {
            const std::vector<std::string> fields = Fields(lines[i]);
            ASSERT_EQ(fields.size(), 43u) << "round " << round << " line " << i;
            ASSERT_EQ(fields[0], std::to_string(i - 2)) << "round " << round;
        }
        reported = points;
    }
    EXPECT_GT(reported, 0u);
}

} // namespace
