// fieldbook --headless when the field lets it down: the locator's Bluetooth link
// drops again and again, the GPS receiver is unplugged and plugged back, the log
// folder turns read-only for a while, the documents folder is missing, and the
// program is killed in the middle of saving. The built programs, as a surveyor
// runs them; the locator is the simulator or, where the test must know exactly
// when each packet goes, a pseudo-terminal driven from here.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/ChildProcess.h"
#include "support/LocatorExchange.h"
#include "support/LocatorPackets.h"
#include "support/Pty.h"
#include "support/SurveyRun.h"

namespace {

using namespace std::chrono_literals;

// Root passes every permission check. The folder tests run fieldbook without
// that power (its bounding set loses it before exec), so a read-only folder is
// read-only to it; an ordinary user needs nothing.
std::vector<std::string> WithoutFileOverride()
{
    if (::geteuid() != 0)
        return {};
    return {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"};
}

bool CanDropFileOverride()
{
    return ::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) == 0;
}

size_t RowsOnDisk(const SurveyRun& run)
{
    const std::vector<std::string> files = run.LogFiles();
    return files.empty() ? 0 : LogRows(ReadWholeFile(run.Logs() + files.back())).size();
}

} // namespace

TEST(Faults, BluetoothDeviceVanishesTenTimesAndEveryPacketSentWhileUpIsLogged)
{
    SurveyRun run;
    ChildProcess sim;
    // Each return waits for fieldbook to reopen the port, after its close wait.
    ASSERT_TRUE(run.StartSim(sim, {"--count", "100", "--interval", "0.1", "--drop-bluetooth", "0.6", "--drop-pause",
                                   "0.5", "--drop-times", "10", "--open-timeout", "20", "--log", run.File("packets.txt")}));
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));

    const SurveyRun::END end = run.Finish(sim, fieldbook, 240s);
    EXPECT_EQ(end.simStatus, 0) << run.Out("sim") << run.Err("sim");
    EXPECT_NE(run.Out("sim").find("Bluetooth drops:    10\n"), std::string::npos) << run.Out("sim");
    EXPECT_EQ(end.fieldbookStatus, 0);
    EXPECT_EQ(end.expected.size(), 100u);
    EXPECT_EQ(end.files.size(), 1u);
    EXPECT_EQ(end.logged, end.expected);
    // The link came back every time.
    EXPECT_EQ(CountOf(run.Out(), "Bluetooth link up\n"), 11) << run.Out();
}

TEST(Faults, GpsReceiverUnpluggedStopsTheFixAtOnceAndTheNextGgaRestoresIt)
{
    SurveyRun run;
    Pty locator(run.Ports(), 5);
    ChildProcess receiver;
    ASSERT_TRUE(run.StartSim(receiver, {"--no-locator", "--rate", "10"}, "gps1"));
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(run.WaitForOutput("Bluetooth link up\n")) << run.Out();
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n")) << run.Out();

    EXPECT_GT(SendAndReadFixQuality(locator, 1), 0);
    EXPECT_GT(SendAndReadFixQuality(locator, 2), 0);

    // Unplugged. Well inside the port's close wait (2.5 s) the fix must be gone.
    const int idleBefore = CountOf(run.Out(), "GPS no fix\n");
    EXPECT_EQ(StopProcess(receiver), 0);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(SendAndReadFixQuality(locator, 3), 0);
    EXPECT_TRUE(run.WaitForOutput("GPS no fix\n", idleBefore + 1, 5s)) << run.Out();
    EXPECT_EQ(SendAndReadFixQuality(locator, 4), 0);

    // Plugged back in: its first GGA with a fix counts again.
    ChildProcess again;
    ASSERT_TRUE(run.StartSim(again, {"--no-locator", "--rate", "10"}, "gps2"));
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n", 2, 20s)) << run.Out();
    EXPECT_GT(SendAndReadFixQuality(locator, 5), 0);
    EXPECT_GT(SendAndReadFixQuality(locator, 6), 0);

    ASSERT_TRUE(run.WaitForPoints(6, 10s)) << run.Out();
    EXPECT_EQ(StopProcess(fieldbook), 0);
    EXPECT_EQ(StopProcess(again), 0);

    const std::vector<std::string> files = run.LogFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::vector<std::vector<std::string>> rows = LogRows(ReadWholeFile(run.Logs() + files[0]));
    ASSERT_EQ(rows.size(), 6u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const bool receiverGone = i == 2 || i == 3;
        EXPECT_EQ(rows[i][COL_LOG], std::to_string(i + 1));
        EXPECT_EQ(rows[i][COL_GPS_FIX] == "0", receiverGone) << "row " << i + 1 << ": " << rows[i][COL_GPS_FIX];
        EXPECT_EQ(rows[i][COL_LAT] == "0.000000" && rows[i][COL_LONG] == "0.000000" && rows[i][COL_LAT_DIR] == "0",
                  receiverGone)
            << "row " << i + 1 << ": " << rows[i][COL_LAT] << " " << rows[i][COL_LONG];
    }
}

TEST(Faults, ReadOnlyLogFolderLosesNoPointOnceWritableAgain)
{
    if (!CanDropFileOverride())
        GTEST_SKIP() << "no setpriv to run fieldbook without root's file override";
    SurveyRun run;
    ChildProcess sim;
    ASSERT_TRUE(run.StartSim(sim, {"--count", "14", "--interval", "0.3", "--log", run.File("packets.txt")}));
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook, "fieldbook", WithoutFileOverride()));
    ASSERT_TRUE(run.WaitForPoints(3, 30s)) << run.Out() << run.Err();

    ASSERT_EQ(::chmod(run.Logs().c_str(), 0555), 0);
    std::this_thread::sleep_for(500ms); // a save already under way ends
    const size_t onDisk = RowsOnDisk(run);
    const long counted = LastLogCount(run.Out());
    // Each failed save says so with the points that wait in memory, and no
    // point is counted as logged that is not on disk.
    ASSERT_TRUE(WaitForFileText(run.File("fieldbook.err"), "; 3 points held in memory\n", 30s)) << run.Err();
    EXPECT_NE(run.Err().find("Log: cannot save " + run.Logs() + LastLogName(run.Out()) + ": Permission denied; 3 points held in memory\n"),
              std::string::npos)
        << run.Err();
    EXPECT_EQ(LastLogCount(run.Out()), counted);
    EXPECT_EQ(RowsOnDisk(run), onDisk); // nothing reached the disk...
    // The GeoPackage beside it cannot take them either, and says so once.
    EXPECT_TRUE(run.WaitForOutput("GeoPackage not written: ")) << run.Out();
    ASSERT_EQ(::chmod(run.Logs().c_str(), 0755), 0);

    // ...and the first save that could write wrote every point, in order.
    const SurveyRun::END end = run.Finish(sim, fieldbook, 60s);
    EXPECT_EQ(end.simStatus, 0) << run.Out("sim");
    EXPECT_EQ(end.fieldbookStatus, 0);
    EXPECT_EQ(end.expected.size(), 14u);
    ASSERT_EQ(end.files.size(), 1u);
    EXPECT_EQ(WholeLogProblem(end.log), "");
    EXPECT_EQ(end.logged, end.expected);
    EXPECT_FALSE(FileExists(run.Logs() + "." + end.files[0] + ".tmp"));
    EXPECT_NE(run.Out().find("Log: saved " + run.Logs() + end.files[0] + "; every point is on disk again\n"),
              std::string::npos)
        << run.Out();
    EXPECT_EQ(CountOf(run.Out(), "GeoPackage not written: "), 1) << run.Out();
}

struct MissingDocumentsCase {
    const char* name;
    bool removedWhileRunning; // else missing from the start
};

class MissingDocuments : public ::testing::TestWithParam<MissingDocumentsCase> {};

TEST_P(MissingDocuments, NoDebugFilesAndEverythingElseWorks)
{
    SurveyRun run;
    std::string docs = run.Docs();
    std::vector<std::string> simArgs{"--count", "12", "--interval", "0.2", "--log", run.File("packets.txt")};
    if (GetParam().removedWhileRunning) {
        // Every debug file on; the port's trace file is made anew when the
        // locator's port reopens after the drop, with the folder gone.
        ASSERT_TRUE(WriteWholeFile(docs + "KV4300TraceProofIni+.txt", "DEBUG#LEVEL#0x175\n"));
        for (const char* arg : {"--drop-bluetooth", "1.5", "--drop-pause", "0.3"})
            simArgs.push_back(arg);
    } else {
        docs = run.File("absent/");
    }
    ChildProcess sim;
    ASSERT_TRUE(run.StartSim(sim, simArgs));
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook, "fieldbook", {}, docs));
    ASSERT_TRUE(run.WaitForOutput("Bluetooth link up\n")) << run.Out() << run.Err();
    if (GetParam().removedWhileRunning)
        std::filesystem::remove_all(docs);

    const SurveyRun::END end = run.Finish(sim, fieldbook, 60s);
    EXPECT_EQ(end.simStatus, 0) << run.Out("sim");
    EXPECT_EQ(end.fieldbookStatus, 0);
    EXPECT_EQ(end.expected.size(), 12u);
    EXPECT_EQ(end.files.size(), 1u);
    EXPECT_EQ(end.logged, end.expected);
    struct stat st {};
    EXPECT_NE(::stat(docs.c_str(), &st), 0) << "the documents folder came back";
}

INSTANTIATE_TEST_SUITE_P(Faults, MissingDocuments,
                         ::testing::Values(MissingDocumentsCase{"FromTheStart", false},
                                           MissingDocumentsCase{"RemovedWhileRunning", true}),
                         [](const ::testing::TestParamInfo<MissingDocumentsCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Faults, KilledWhileSavingLeavesEveryLogWhole)
{
    SurveyRun run;
    ChildProcess sim;
    ASSERT_TRUE(run.StartSim(sim, {"--count", "100000", "--interval", "0.01", "--protocol", "1", "--reply-timeout",
                                   "0.5", "--open-timeout", "60", "--tolerate-unanswered"}));
    std::mt19937 random(20240305);
    for (int kill = 0; kill < 6; ++kill) {
        const std::string name = "fieldbook" + std::to_string(kill);
        ChildProcess fieldbook;
        ASSERT_TRUE(run.StartFieldbook(fieldbook, name));
        const long before = 20 + static_cast<long>(random() % 40);
        ASSERT_TRUE(run.WaitForPoints(before, 30s, name)) << run.Out(name) << run.Err(name);
        const std::string file = LastLogName(run.Out(name));

        // The moment a save has its temporary file open, the power goes.
        const std::string temporary = run.Logs() + "." + file + ".tmp";
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        struct stat st {};
        while (::stat(temporary.c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline) {
        }
        const long reported = LastLogCount(run.Out(name));
        ASSERT_TRUE(fieldbook.Signal(SIGKILL));
        int status = -1;
        ASSERT_TRUE(fieldbook.Wait(10s, &status));
        EXPECT_EQ(status, 128 + SIGKILL);

        for (const std::string& log : run.LogFiles())
            EXPECT_EQ(WholeLogProblem(ReadWholeFile(run.Logs() + log)), "") << log << " after kill " << kill;
        // Every point reported as logged was on disk already.
        EXPECT_GE(LogRows(ReadWholeFile(run.Logs() + file)).size(), static_cast<size_t>(reported)) << file;
    }
    StopProcess(sim);
    // Its replies were cut short on purpose, so its verdict is no measure; a
    // sanitizer's report would still be one.
    EXPECT_EQ(run.Err("sim").find("Sanitizer"), std::string::npos) << run.Err("sim");
}
