// fieldbook --headless with the GPS receivers crews carry: multi-constellation
// talkers, LF line ends, a set line speed, a receiver that falls silent with its
// port open, and positions through a real gpsd that is stopped and started
// again under a running survey. The test plays the locator on a
// pseudo-terminal, so it knows which fix each point must have.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "gis/GdalReadBack.h"
#include "support/GpsdServer.h"
#include "support/GpsdStandIn.h"
#include "support/LocatorExchange.h"
#include "support/Pty.h"
#include "support/SurveyRun.h"

namespace {

using namespace std::chrono_literals;

const std::string kDefaultConfig = "PORT#GPS#PORTNUMBER#4\n"
                                   "PORT#GPS#ENABLED#TRUE\n"
                                   "PORT#BLUETOOTH#PORTNUMBER#5\n"
                                   "PORT#BLUETOOTH#ENABLED#TRUE\n"
                                   "SCREEN#RESOLUTION#QUARTER\n"
                                   "DEBUG#LEVEL#0x00000000\n";

void WriteConfig(const SurveyRun& run, const std::string& extra)
{
    ASSERT_TRUE(WriteWholeFile(run.Docs() + "KV4300TraceProofIni+.txt", kDefaultConfig + extra));
}

// Fix quality column of every logged point, in order.
std::vector<std::string> LoggedFixes(const SurveyRun& run)
{
    std::vector<std::string> fixes;
    const std::vector<std::string> files = run.LogFiles();
    if (files.size() == 1) {
        for (const auto& row : LogRows(ReadWholeFile(run.Logs() + files[0])))
            fixes.push_back(row[COL_GPS_FIX]);
    }
    return fixes;
}

struct ReceiverCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::string config;  // beyond the six default lines
    bool fix;            // points are logged with the receiver's fix
    int notices;         // talker notice lines printed
    speed_t speed;       // the GPS port's speed afterwards (B0: not checked)
};

class GnssReceivers : public ::testing::TestWithParam<ReceiverCase> {};

TEST_P(GnssReceivers, LogPointsWithTheirFix)
{
    const ReceiverCase& c = GetParam();
    SurveyRun run;
    WriteConfig(run, c.config);
    Pty locator(run.Ports(), 5);
    ChildProcess receiver;
    std::vector<std::string> simArgs{"--no-locator", "--rate", "10"};
    simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
    ASSERT_TRUE(run.StartSim(receiver, simArgs, "gps"));
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(run.WaitForOutput("Bluetooth link up\n")) << run.Out();
    if (c.fix)
        ASSERT_TRUE(run.WaitForOutput("GPS fix\n")) << run.Out();
    else
        ASSERT_TRUE(run.WaitForOutput("GPS: the receiver sends")) << run.Out();

    for (uint32_t i = 1; i <= 3; ++i) {
        const long quality = SendAndReadFixQuality(locator, i);
        EXPECT_EQ(quality > 0, c.fix) << "point " << i << ": " << quality;
        std::this_thread::sleep_for(300ms); // more GGA sentences: still one notice
    }
    if (c.speed != B0) {
        // What the port's termios holds while fieldbook has it open.
        const int fd = ::open((run.Ports() + "COM4").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios tio{};
        EXPECT_EQ(::tcgetattr(fd, &tio), 0);
        EXPECT_EQ(::cfgetospeed(&tio), c.speed);
        ::close(fd);
    }
    ASSERT_TRUE(run.WaitForPoints(3, 10s)) << run.Out();
    EXPECT_EQ(StopProcess(fieldbook), 0);
    EXPECT_EQ(StopProcess(receiver), 0);

    const std::string notice = "GPS: the receiver sends GNGGA, which is ignored; set GPS#TALKER#ANY in " + run.Docs() +
                               "KV4300TraceProofIni+.txt to use it\n";
    EXPECT_EQ(CountOf(run.Out(), notice), c.notices) << run.Out();
    for (const std::string& quality : LoggedFixes(run))
        EXPECT_EQ(quality != "0", c.fix) << quality;
    EXPECT_EQ(LoggedFixes(run).size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Talkers, GnssReceivers,
    ::testing::Values(ReceiverCase{"gn_default", {"--talker", "GN"}, "", false, 1, B0},
                      ReceiverCase{"gn_any_talker", {"--talker", "GN", "--any-talker"}, "GPS#TALKER#ANY\n", true, 0, B0},
                      ReceiverCase{"gp_lf_line_ends_4800", {"--line-end", "lf"}, "PORT#GPS#SPEED#4800\n", true, 0, B4800}),
    [](const ::testing::TestParamInfo<ReceiverCase>& info) { return std::string(info.param.name); });

// A receiver that goes autonomous -> RTK float -> RTK fixed under a gate of
// RTK: every point is answered and logged, and exactly the points whose fix
// is not RTK fixed get a warning line, with the fix type and GST accuracy.
TEST(GnssSources, QualityGateWarnsOfExactlyThePointsBelowIt)
{
    SurveyRun run;
    WriteConfig(run, "GPS#REQUIRE#RTK\n");
    Pty locator(run.Ports(), 5);
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(run.WaitForOutput("Bluetooth link up\n")) << run.Out();
    // Started after fieldbook, so that the plan's steps begin with the survey.
    ChildProcess receiver;
    ASSERT_TRUE(run.StartSim(receiver, {"--no-locator", "--rate", "10", "--quality-plan", "autonomous:3,float:3,fixed"},
                             "gps"));
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n")) << run.Out();

    std::vector<long> answered;
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (std::count(answered.begin(), answered.end(), 4) < 3 && std::chrono::steady_clock::now() < until) {
        answered.push_back(SendAndReadFixQuality(locator, static_cast<uint32_t>(answered.size() + 1)));
        std::this_thread::sleep_for(250ms);
    }
    ASSERT_TRUE(run.WaitForPoints(static_cast<long>(answered.size()), 10s)) << run.Out();
    EXPECT_EQ(StopProcess(fieldbook), 0);
    EXPECT_EQ(StopProcess(receiver), 0);

    const std::vector<std::string> fixes = LoggedFixes(run);
    ASSERT_EQ(fixes.size(), answered.size());
    std::string expected;
    for (size_t i = 0; i < fixes.size(); ++i) {
        EXPECT_EQ(fixes[i], std::to_string(answered[i])) << "point " << i + 1;
        if (fixes[i] == "1")
            expected += "GPS: point " + std::to_string(i + 1) + " below RTK fixed (autonomous, 3.00 m DRMS)\n";
        else if (fixes[i] == "5")
            expected += "GPS: point " + std::to_string(i + 1) + " below RTK fixed (RTK float, 0.30 m DRMS)\n";
    }
    for (const char* step : {"1", "5", "4"})
        EXPECT_NE(std::find(fixes.begin(), fixes.end(), step), fixes.end()) << step;
    EXPECT_EQ(run.Err(), expected);
    EXPECT_NE(run.Out().find("GPS: " + std::to_string(CountOf(expected, "\n")) +
                             " points of this run below RTK fixed\n"),
              std::string::npos)
        << run.Out();

    // The GeoPackage beside the log holds each point's quality and verdict.
    const struct {
        const char* fix;
        const char* fixType;
        double hAccuracy;
        int qualityOK;
    } kSteps[] = {{"1", "autonomous", 3.0, 0}, {"5", "RTK float", 0.3, 0}, {"4", "RTK fixed", 0.02, 1}};
    const std::vector<std::string> logs = run.LogFiles();
    ASSERT_EQ(logs.size(), 1u);
    GDALDatasetUniquePtr gpkg = OpenForReading(run.Logs() + logs[0].substr(0, logs[0].size() - 4) + ".gpkg");
    ASSERT_TRUE(gpkg);
    OGRLayer* layer = gpkg->GetLayerByName("survey_points");
    ASSERT_NE(layer, nullptr);
    const std::vector<OGRFeatureUniquePtr> points = Features(*layer);
    ASSERT_EQ(points.size(), fixes.size()) << run.Out() << run.Err();
    for (size_t i = 0; i < points.size(); ++i) {
        for (const auto& step : kSteps) {
            if (fixes[i] != step.fix)
                continue;
            EXPECT_STREQ(points[i]->GetFieldAsString("FixType"), step.fixType) << "point " << i + 1;
            EXPECT_NEAR(points[i]->GetFieldAsDouble("HAccuracy"), step.hAccuracy, 0.005) << "point " << i + 1;
            ASSERT_FALSE(points[i]->IsFieldNull(points[i]->GetFieldIndex("QualityOK"))) << "point " << i + 1;
            EXPECT_EQ(points[i]->GetFieldAsInteger("QualityOK"), step.qualityOK) << "point " << i + 1;
        }
    }
}

TEST(GnssSources, SilentReceiverStopsCountingAsAFixAfterTheMaximumAge)
{
    SurveyRun run;
    WriteConfig(run, "GPS#MAXAGE#1\n");
    Pty locator(run.Ports(), 5);
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(run.WaitForOutput("Bluetooth link up\n")) << run.Out();
    // Started after fieldbook, which opens it within a turn: it talks for 3 s,
    // then hangs with its port open.
    ChildProcess receiver;
    ASSERT_TRUE(run.StartSim(receiver, {"--no-locator", "--rate", "10", "--silent-after", "3"}, "gps"));
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n")) << run.Out();
    EXPECT_GT(SendAndReadFixQuality(locator, 1), 0);

    const int noFixBefore = CountOf(run.Out(), "GPS no fix\n");
    ASSERT_TRUE(run.WaitForOutput("GPS no fix\n", noFixBefore + 1, 15s)) << run.Out();
    EXPECT_EQ(SendAndReadFixQuality(locator, 2), 0);

    ASSERT_TRUE(run.WaitForPoints(2, 10s)) << run.Out();
    EXPECT_EQ(StopProcess(fieldbook), 0);
    EXPECT_EQ(StopProcess(receiver), 0);
    EXPECT_EQ(LoggedFixes(run), (std::vector<std::string>{"1", "0"}));
}

TEST(GnssSources, GpsdFeedsTheSurveyAndIsRejoinedAfterARestart)
{
    if (!GpsdServer::Available())
        GTEST_SKIP() << "gpsd is not installed";
    SurveyRun run;
    Pty locator(run.Ports(), 5);
    ChildProcess receiver;
    ASSERT_TRUE(run.StartSim(receiver, {"--no-locator", "--rate", "10"}, "gps"));
    for (int i = 0; i < 100 && !FileExists(run.Ports() + "COM4"); ++i)
        std::this_thread::sleep_for(50ms);
    GpsdServer gpsd(run.File(""));
    ASSERT_TRUE(gpsd.Start(run.Ports() + "COM4")) << ReadWholeFile(run.File("gpsd.err"));
    WriteConfig(run, "PORT#GPS#GPSD#127.0.0.1:" + std::to_string(gpsd.Port()) + "\n");

    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(run.WaitForOutput("Bluetooth link up\n")) << run.Out();
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n")) << run.Out();
    EXPECT_GT(SendAndReadFixQuality(locator, 1), 0);

    // gpsd goes away: the fix is retired at once, and points go on being logged.
    const int noFixBefore = CountOf(run.Out(), "GPS no fix\n");
    gpsd.Stop();
    ASSERT_TRUE(run.WaitForOutput("GPS no fix\n", noFixBefore + 1, 5s)) << run.Out();
    EXPECT_EQ(SendAndReadFixQuality(locator, 2), 0);

    // Back again: fieldbook rejoins it by itself.
    ASSERT_TRUE(gpsd.Start(run.Ports() + "COM4")) << ReadWholeFile(run.File("gpsd.err"));
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n", 2, 20s)) << run.Out();
    EXPECT_GT(SendAndReadFixQuality(locator, 3), 0);

    ASSERT_TRUE(run.WaitForPoints(3, 10s)) << run.Out();
    EXPECT_EQ(StopProcess(fieldbook), 0);
    gpsd.Stop();
    EXPECT_EQ(StopProcess(receiver), 0);
    EXPECT_EQ(LoggedFixes(run), (std::vector<std::string>{"1", "0", "1"}));
    EXPECT_NE(run.Out().find("GPS port: gpsd 127.0.0.1:"), std::string::npos) << run.Out();
}

// A gpsd that goes silent with its socket open is dropped after the silence
// limit (3 x 5 s) and joined again; one that refuses leaves its attempts in the
// trace after the drop before them; one that floods lines that are no NMEA
// costs little and does not hold up SIGTERM.
TEST(GnssSources, GpsdThatFallsSilentRefusesOrFloodsIsDroppedAndRejoined)
{
    SurveyRun run;
    Pty locator(run.Ports(), 5);
    GpsdStandIn gpsd;
    ASSERT_GT(gpsd.Port(), 0);
    const std::string address = "127.0.0.1:" + std::to_string(gpsd.Port());
    WriteConfig(run, "PORT#GPS#GPSD#" + address + "\nGPS#MAXAGE#1\nDEBUG#LEVEL#0x00000010\n");
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n")) << run.Out();

    gpsd.SetMode(GpsdStandIn::Mode::Silent);
    ASSERT_TRUE(run.WaitForOutput("GPS: gpsd at " + address + " silent for 15 s, reconnecting\n", 1, 30s)) << run.Out();
    gpsd.SetMode(GpsdStandIn::Mode::Talk);
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n", 2, 10s)) << run.Out();
    EXPECT_EQ(gpsd.Connections(), 2);

    gpsd.SetMode(GpsdStandIn::Mode::Refuse);
    const std::string trace = run.Docs() + "Comm4.txt";
    ASSERT_TRUE(WaitForFileText(trace, "connect failed: Connection refused", 10s)) << ReadWholeFile(trace);
    const std::string story = ReadWholeFile(trace);
    EXPECT_LT(story.find("dropped: silent for 15 s"), story.find("connect failed")) << story;
    EXPECT_EQ(CountOf(story, "connected, NMEA asked for\n"), 2) << story;

    gpsd.SetMode(GpsdStandIn::Mode::Flood);
    for (int i = 0; i < 400 && gpsd.Connections() < 3; ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(gpsd.Connections(), 3);
    const pid_t pid = fieldbook.Pid();
    const long long ticks = ProcCpuTicks(pid);
    std::this_thread::sleep_for(5s);
    const double share = static_cast<double>(ProcCpuTicks(pid) - ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / 5.0;
    EXPECT_LT(share, 0.2);
    EXPECT_EQ(StopProcess(fieldbook, 10s), 0);
    EXPECT_NE(ReadWholeFile(trace).find("without an NMEA sentence"), std::string::npos);
}

} // namespace
