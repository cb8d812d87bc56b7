// fieldbook-export against a real PostGIS server, as the field uses it: a survey
// log growing in a folder while --watch runs (fieldbook itself against the
// simulator, or its saves imitated), and the faults of the field (the database
// going away, the watcher killed, two units at once, a wrong password).
#include <cstdio>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "gis/GisFormats.h"
#include "gis/LogWatch.h"
#include "gis/SurveyDataset.h"
#include "support/ChildProcess.h"
#include "support/PostgresServer.h"
#include "support/ScratchDir.h"
#include "support/SurveyLogFiles.h"
#include "support/SurveyRun.h"

namespace {

using namespace std::chrono_literals;

std::string ExportTool() { return std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-export/fieldbook-export"; }

const char kLog[] = "0712140000.txt";

struct WatchTest : ::testing::Test {
    static void SetUpTestSuite() { ASSERT_TRUE(SharedPostgres().Start()) << SharedPostgres().Problem(); }
    void SetUp() override
    {
        ASSERT_TRUE(SharedPostgres().Start()) << SharedPostgres().Problem();
        // Tests run one by one in one process too: each gets an empty office.
        ASSERT_TRUE(SharedPostgres().Query("postgres", "DROP DATABASE IF EXISTS office WITH (FORCE)"));
        ASSERT_TRUE(SharedPostgres().CreateDatabase("office")) << SharedPostgres().Problem();
        // The password in a password file, as the README tells a field unit.
        ASSERT_TRUE(WriteWholeFile(dir.File("pgpass"), std::string("*:*:*:fieldunit:") + PostgresServer::Password() + "\n"));
        ::chmod(dir.File("pgpass").c_str(), 0600);
        ::mkdir(dir.File("logs").c_str(), 0755);
        ::mkdir(dir.File("logs2").c_str(), 0755);
    }
    std::string Output() const { return "PG:" + SharedPostgres().ConnInfo("office"); }
    bool Start(ChildProcess& p, const std::string& name, std::vector<std::string> args)
    {
        args.insert(args.begin(), ExportTool());
        return p.Start(args, {"PGPASSFILE=" + dir.File("pgpass")}, dir.File(name + ".out"), dir.File(name + ".err"));
    }
    bool Watch(ChildProcess& p, const std::string& name, const std::string& folder, const std::string& unit)
    {
        return Start(p, name, {"--watch", dir.File(folder), "-o", Output(), "--unit", unit}) &&
               WaitForFileText(dir.File(name + ".out"), "Watching", 20s);
    }
    std::string Out(const std::string& name) const { return ReadWholeFile(dir.File(name + ".out")); }
    // The Log numbers of unit's rows of the log, in the order they arrived.
    std::vector<int> Logs(const std::string& unit, const std::string& log = kLog)
    {
        std::vector<std::string> rows;
        if (!SharedPostgres().Query("office",
                                    "SELECT \"Log\" FROM survey_points WHERE \"Unit\" = '" + unit +
                                        "' AND \"LogFile\" = '" + log + "' ORDER BY fid",
                                    &rows))
            return {};
        std::vector<int> logs;
        for (const std::string& row : rows)
            logs.push_back(std::atoi(row.c_str()));
        return logs;
    }
    // Depth of every row, in Log order.
    std::vector<double> Depths()
    {
        std::vector<std::string> rows;
        EXPECT_TRUE(SharedPostgres().Query("office", "SELECT \"Depth\" FROM survey_points ORDER BY \"Log\"", &rows));
        std::vector<double> depths;
        for (const std::string& row : rows)
            depths.push_back(std::strtod(row.c_str(), nullptr));
        return depths;
    }
    bool WaitForRows(const std::string& unit, size_t count, const std::string& log = kLog)
    {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (Logs(unit, log).size() < count) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }
    // fieldbook's saves: the whole log, rewritten and renamed into place, one
    // more point each time.
    void Survey(const std::string& folder, int from, int to)
    {
        for (int n = from; n <= to; ++n) {
            ASSERT_TRUE(WriteSurveyLog(dir.File(folder + "/" + kLog), SamplePoints(0, n)));
            std::this_thread::sleep_for(20ms);
        }
    }
    static std::vector<int> Expected(int count)
    {
        std::vector<int> logs;
        for (int n = 0; n < count; ++n)
            logs.push_back(1000 + n);
        return logs;
    }
    ScratchDir dir;
};

} // namespace

TEST_F(WatchTest, SimulatedSurveyArrivesWholeThroughADatabaseRestart)
{
    // fieldbook against the simulator at a point a second, an RTK receiver
    // sending GST, the watcher on its log folder: every row arrives whole,
    // quality and heights included, however the saves and the reads fall.
    SurveyRun run;
    ChildProcess sim, fieldbook, watch;
    ASSERT_TRUE(run.StartSim(sim, {"--count", "18", "--interval", "1", "--quality-plan", "fixed", "--log",
                                   run.File("packets.txt")}));
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(Start(watch, "watch", {"--watch", run.Logs(), "-o", Output(), "--unit", "van-1"}));
    ASSERT_TRUE(run.WaitForPoints(5, 30s)) << run.Out() << run.Err();
    ASSERT_TRUE(WaitForRows("van-1", 5, LastLogName(run.Out()))) << Out("watch");

    ASSERT_TRUE(SharedPostgres().Stop());
    ASSERT_TRUE(WaitForFileText(dir.File("watch.out"), "Database unreachable", 20s)) << Out("watch");
    ASSERT_TRUE(run.WaitForPoints(LastLogCount(run.Out()) + 4, 30s)) << run.Out();
    ASSERT_TRUE(SharedPostgres().Start()) << SharedPostgres().Problem();

    const SurveyRun::END end = run.Finish(sim, fieldbook, 60s);
    ASSERT_EQ(end.files.size(), 1u);
    ASSERT_EQ(end.logged.size(), 18u);
    ASSERT_TRUE(WaitForRows("van-1", end.logged.size(), end.files[0])) << Out("watch");
    const std::vector<int> logs = Logs("van-1", end.files[0]);
    EXPECT_EQ(std::vector<uint32_t>(logs.begin(), logs.end()), end.logged);
    std::vector<std::string> partial;
    ASSERT_TRUE(SharedPostgres().Query("office",
                                       "SELECT \"Log\"::text FROM survey_points WHERE \"FixType\" IS NULL OR "
                                       "\"HAccuracy\" IS NULL OR \"EllipsoidHeight\" IS NULL OR "
                                       "\"UtilityElevation\" IS NULL",
                                       &partial));
    EXPECT_TRUE(partial.empty()) << partial.size() << " rows without their whole record, first Log " << partial[0];

    EXPECT_EQ(StopProcess(watch), 0);
    const std::string out = Out("watch");
    EXPECT_EQ(CountOf(out, "Database unreachable"), 1) << out;
    EXPECT_EQ(CountOf(out, "Database back"), 1) << out;
    EXPECT_NE(out.find("Stopped"), std::string::npos) << out;
}

TEST_F(WatchTest, KilledWatcherRestartsWithoutGapsOrDoubles)
{
    ChildProcess first;
    ASSERT_TRUE(Watch(first, "first", "logs", "van-1"));
    std::thread survey([this] { Survey("logs", 1, 40); });
    ASSERT_TRUE(WaitForRows("van-1", 5));
    first.Signal(SIGKILL);
    survey.join();
    ChildProcess second;
    ASSERT_TRUE(Watch(second, "second", "logs", "van-1"));
    ASSERT_TRUE(WaitForRows("van-1", 40)) << Out("second");
    EXPECT_EQ(Logs("van-1"), Expected(40));
    EXPECT_EQ(StopProcess(second), 0);
}

TEST_F(WatchTest, TwoUnitsWithTheSameLogNamesAtOnce)
{
    ChildProcess a, b;
    ASSERT_TRUE(Watch(a, "a", "logs", "van-1"));
    ASSERT_TRUE(Watch(b, "b", "logs2", "van-2"));
    std::thread other([this] { Survey("logs2", 1, 30); });
    Survey("logs", 1, 30);
    other.join();
    ASSERT_TRUE(WaitForRows("van-1", 30)) << Out("a");
    ASSERT_TRUE(WaitForRows("van-2", 30)) << Out("b");
    EXPECT_EQ(Logs("van-1"), Expected(30));
    EXPECT_EQ(Logs("van-2"), Expected(30));
    EXPECT_EQ(StopProcess(a), 0);
    EXPECT_EQ(StopProcess(b), 0);

    // Two one-shot exports of the same unit and log at the same moment, the
    // log grown to a size that reports progress: still every point once.
    Survey("logs", 10000, 10000);
    ChildProcess x, y;
    const std::vector<std::string> args = {"-o", Output(), "--unit", "van-1", dir.File(std::string("logs/") + kLog)};
    ASSERT_TRUE(Start(x, "x", args));
    ASSERT_TRUE(Start(y, "y", args));
    int sx = -1, sy = -1;
    ASSERT_TRUE(x.Wait(60s, &sx));
    ASSERT_TRUE(y.Wait(60s, &sy));
    EXPECT_EQ(sx, 0) << ReadWholeFile(dir.File("x.err"));
    EXPECT_EQ(sy, 0) << ReadWholeFile(dir.File("y.err"));
    EXPECT_EQ(Logs("van-1"), Expected(10000));
    EXPECT_NE(ReadWholeFile(dir.File("x.err")).find(std::string(kLog) + ": 10000 points"), std::string::npos);
}

TEST_F(WatchTest, WrongPasswordFailsAnExportAndIsRetriedByTheWatcher)
{
    Survey("logs", 1, 12);
    ASSERT_TRUE(SharedPostgres().Query("postgres", "ALTER ROLE fieldunit PASSWORD 'changed-in-the-office'"));

    ChildProcess once;
    ASSERT_TRUE(Start(once, "once", {"-o", Output(), "--unit", "van-1", dir.File(std::string("logs/") + kLog)}));
    int status = -1;
    ASSERT_TRUE(once.Wait(60s, &status));
    EXPECT_EQ(status, 2);
    EXPECT_NE(ReadWholeFile(dir.File("once.err")).find("password authentication failed"), std::string::npos)
        << ReadWholeFile(dir.File("once.err"));

    ChildProcess watch;
    ASSERT_TRUE(Watch(watch, "watch", "logs", "van-1"));
    ASSERT_TRUE(WaitForFileText(dir.File("watch.out"), "Database refused us", 20s)) << Out("watch");
    // The office puts the password back: the next retry gets in.
    ASSERT_TRUE(SharedPostgres().Query(
        "postgres", std::string("ALTER ROLE fieldunit PASSWORD '") + PostgresServer::Password() + "'"));
    ASSERT_TRUE(WaitForRows("van-1", 12)) << Out("watch");
    EXPECT_EQ(Logs("van-1"), Expected(12));
    EXPECT_EQ(StopProcess(watch), 0);
    EXPECT_EQ(CountOf(Out("watch"), "Database refused us"), 1) << Out("watch");
}

// The watcher as an office meets it: the companion record beside the log (its
// full precision and quality win over the CSV's six decimals; a GeoPackage
// beside it, which a crew may have edited, is never read), a row the database
// refuses (set aside, named once, the rest goes on), and another survey
// renamed over the log without its record (delivered as its own).
TEST_F(WatchTest, CompanionRecordRefusedRowAndReplacedLog)
{
    const std::string log = dir.File(std::string("logs/") + kLog);
    std::vector<SURVEY_POINT> points = SamplePoints(0, 4);
    ASSERT_TRUE(WriteSurveyLog(log, points));
    const LOG_ID id{kLog, "5d1f0c2b9a8e7d6c5b4a39281706f5e4"};
    std::vector<SURVEY_POINT> precise = SamplePoints(0, 5);
    for (SURVEY_POINT& point : precise)
        point.GpsFix.dfLatAng -= 3e-8; // beyond the CSV's six decimals
    // A point ahead of the log: the record is written before the CSV.
    ASSERT_TRUE(WriteCompanionRecord(log, precise, id.survey));
    {
        std::vector<GIS_POINT> edited(1);
        edited[0].Point = precise[0];
        edited[0].Point.GpsFix.dfLatAng += 1.0;
        std::string error;
        auto gpkg = CSurveyDataset::Open(GeoPackageFormat(), dir.File("logs/0712140000.gpkg"), error);
        ASSERT_TRUE(gpkg) << error;
        ASSERT_TRUE(gpkg->AppendPoints(id, edited.data(), edited.size(), 0, error) && gpkg->Commit(error) &&
                    gpkg->Close(error))
            << error;
    }
    ChildProcess watch;
    ASSERT_TRUE(Watch(watch, "watch", "logs", "van-1"));
    ASSERT_TRUE(WaitForRows("van-1", 4)) << Out("watch");
    std::vector<std::string> lat;
    ASSERT_TRUE(SharedPostgres().Query("office", "SELECT ST_Y(geom)::text FROM survey_points ORDER BY fid LIMIT 1", &lat));
    ASSERT_EQ(lat.size(), 1u);
    EXPECT_NEAR(std::strtod(lat[0].c_str(), nullptr), precise[0].GpsFix.dfLatAng, 1e-11);
    std::vector<std::string> record;
    ASSERT_TRUE(SharedPostgres().Query(
        "office", "SELECT concat_ws(' ', \"Survey\", \"FixType\", \"EllipsoidHeight\") FROM survey_points ORDER BY fid LIMIT 1",
        &record));
    EXPECT_EQ(record, std::vector<std::string>{id.survey + " RTK fixed 120"});

    // The crew voids the second point, delivered already, and notes it: the
    // row follows with the next save.
    {
        std::FILE* companion = std::fopen(dir.File("logs/0712140000.jsonl").c_str(), "a");
        ASSERT_NE(companion, nullptr);
        std::fputs("{\"amend\":1,\"void\":true,\"note\":\"wrong press\"}\n", companion);
        std::fclose(companion);
    }
    ASSERT_TRUE(SharedPostgres().Query("office", "ALTER TABLE survey_points ADD CONSTRAINT no_1005 CHECK (\"Log\" <> 1005)"));
    // Four points more in one save, the record holding only the first of
    // them: the others come from the CSV alone, all four delivered.
    Survey("logs", 8, 8);
    ASSERT_TRUE(WaitForRows("van-1", 7)) << Out("watch");
    std::vector<std::string> marks;
    ASSERT_TRUE(SharedPostgres().Query(
        "office", "SELECT concat_ws(' ', \"Log\", coalesce(\"Void\", false), \"Note\") FROM survey_points ORDER BY fid LIMIT 3",
        &marks));
    EXPECT_EQ(marks, (std::vector<std::string>{"1000 f", "1001 t wrong press", "1002 f"}));
    // A mark past the refused row lands on its own point, not one row on.
    {
        std::FILE* companion = std::fopen(dir.File("logs/0712140000.jsonl").c_str(), "a");
        ASSERT_NE(companion, nullptr);
        std::fputs("{\"amend\":6,\"void\":true}\n", companion);
        std::fclose(companion);
    }
    Survey("logs", 9, 9);
    ASSERT_TRUE(WaitForRows("van-1", 8)) << Out("watch");
    ASSERT_TRUE(SharedPostgres().Query(
        "office", "SELECT concat_ws(' ', \"Log\", coalesce(\"Void\", false)) FROM survey_points WHERE \"Log\" > 1005 ORDER BY fid",
        &marks));
    EXPECT_EQ(marks, (std::vector<std::string>{"1006 t", "1007 f", "1008 f"}));

    std::vector<SURVEY_POINT> other = SamplePoints(0, 3);
    for (SURVEY_POINT& point : other)
        point.GpsFix.dfLongAng += 0.01;
    ASSERT_TRUE(WriteSurveyLog(log, other));
    ASSERT_TRUE(WaitForRows("van-1", 11)) << Out("watch");
    EXPECT_EQ(StopProcess(watch), 0);
    const std::string out = Out("watch");
    EXPECT_EQ(CountOf(out, "Rejected: 0712140000.txt Log 1005"), 1) << out;
    EXPECT_NE(out.find("no_1005"), std::string::npos) << out;
    EXPECT_EQ(CountOf(out, "Replaced: 0712140000.txt"), 1) << out;
    EXPECT_EQ(CountOf(out, "Database"), 0) << out;
}

namespace {

// The log's text with its line n (1 is the header) cut to its first columns.
std::string CutLine(const std::string& text, int n, int columns)
{
    size_t start = 0;
    for (int line = 1; line < n; ++line)
        start = text.find('\n', start) + 1;
    const size_t end = text.find('\n', start);
    size_t cut = start;
    for (int column = 0; column < columns; ++column)
        cut = text.find(',', cut) + 1;
    return text.substr(0, cut - 1) + text.substr(end);
}

} // namespace

// What an office does under a running watcher: takes INSERT away (the batch
// is held whole, said once, and goes in in Log order once given back),
// rewords the Depth column's comment (the units stay metres), and corrects a
// line already delivered (its row updated in place, never a second one).
TEST_F(WatchTest, OfficeRefusesTheTableRewordsAColumnAndCorrectsALine)
{
    // Logs as fieldbook writes them, the companion record first: its survey
    // id keys the log, whatever line the office corrects.
    const std::string log = dir.File(std::string("logs/") + kLog);
    auto survey = [&log](int from, int to) {
        for (int n = from; n <= to; ++n) {
            ASSERT_TRUE(WriteCompanionRecord(log, SamplePoints(0, n), "7a1c9e3b5d2f4a6c8e0b1d3f5a7c9e2b"));
            ASSERT_TRUE(WriteSurveyLog(log, SamplePoints(0, n)));
            std::this_thread::sleep_for(20ms);
        }
    };
    ChildProcess watch;
    ASSERT_TRUE(Watch(watch, "watch", "logs", "van-1"));
    survey(1, 5);
    ASSERT_TRUE(WaitForRows("van-1", 5)) << Out("watch");
    ASSERT_TRUE(SharedPostgres().Query("office", "REVOKE INSERT ON survey_points FROM fieldunit; COMMENT ON COLUMN "
                                                 "survey_points.\"Depth\" IS 'Depth (m) below ground, checked by office'"));
    survey(6, 10);
    ASSERT_TRUE(WaitForFileText(dir.File("watch.out"), "holding", 20s)) << Out("watch");
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(SharedPostgres().Query("office", "GRANT INSERT ON survey_points TO fieldunit"));
    ASSERT_TRUE(WaitForRows("van-1", 10)) << Out("watch");
    EXPECT_EQ(Logs("van-1"), Expected(10));

    // The first point's Depth corrected in the log, as an editor saves it.
    const std::vector<double> before = Depths();
    std::vector<SURVEY_POINT> points = SamplePoints(0, 10);
    points[0].LocateData.fDepth += 0.5f;
    ASSERT_TRUE(WriteSurveyLog(log, points));
    ASSERT_TRUE(WaitForFileText(dir.File("watch.out"), "Updated: 0712140000.txt Log 1000", 20s)) << Out("watch");
    EXPECT_EQ(StopProcess(watch), 0);
    // A restart reads the log again: nothing more to do.
    ChildProcess again;
    ASSERT_TRUE(Watch(again, "again", "logs", "van-1"));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(StopProcess(again), 0);

    // Depth in one unit before the refusal and after it, and the corrected
    // value in place (ratios, whatever the protocol's unit).
    const std::vector<double> after = Depths();
    const std::vector<SURVEY_POINT> logged = SamplePoints(0, 10);
    ASSERT_EQ(after.size(), 10u);
    EXPECT_NEAR(after[8] / after[1], logged[8].LocateData.fDepth / logged[1].LocateData.fDepth, 1e-3);
    EXPECT_NEAR(after[0] / before[0], points[0].LocateData.fDepth / logged[0].LocateData.fDepth, 1e-3);
    EXPECT_EQ(after[3], before[3]);
    std::vector<std::string> rows;
    ASSERT_TRUE(SharedPostgres().Query(
        "office", "SELECT count(*), bool_and(ST_AsText(geom) = (SELECT ST_AsText(ST_MakeLine(geom ORDER BY \"Log\")) "
                  "FROM survey_points WHERE NOT ST_IsEmpty(geom))) FROM survey_track", &rows));
    EXPECT_EQ(rows, std::vector<std::string>{"1|t"});
    const std::string out = Out("watch");
    EXPECT_EQ(CountOf(out, "Database refuses every point of 0712140000.txt: permission denied for table "
                           "survey_points (SQLSTATE 42501); holding"), 1) << out;
    EXPECT_EQ(CountOf(out, "Rejected"), 0) << out;
    EXPECT_EQ(CountOf(out, "Replaced"), 0) << out;
    EXPECT_EQ(CountOf(out, "Updated"), 1) << out;
    EXPECT_EQ(CountOf(Out("again"), "Updated") + CountOf(Out("again"), "Sent"), 0) << Out("again");
}

// The one-shot export takes survey logs and fieldbook's GeoPackages only,
// checked before the database is touched, and names a line that is no point.
TEST_F(WatchTest, OneShotChecksItsInputsAndNamesABadLine)
{
    Survey("logs", 20, 20);
    const std::string log = dir.File(std::string("logs/") + kLog);
    ASSERT_TRUE(WriteWholeFile(log, CutLine(ReadWholeFile(log), 13, 41)));
    ASSERT_TRUE(WriteWholeFile(dir.File("x.gpkg.bak"), "SQLite format 3 and then some text that is none\n"));
    const struct {
        const char* name;
        std::string input;
        int status;
        const char* said; // on the output or the errors
    } cases[] = {
        {"not a log", "/etc/passwd", 2, "/etc/passwd is neither a survey log nor a GeoPackage"},
        {"a damaged GeoPackage", dir.File("x.gpkg.bak"), 2, "x.gpkg.bak"},
        {"a bad line", log, 3, "Skipped: 0712140000.txt line 13: 41 columns\nSent: 0712140000.txt +19 (19)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess once;
        ASSERT_TRUE(Start(once, "once", {"-o", Output(), "--unit", "van-1", c.input}));
        int status = -1;
        ASSERT_TRUE(once.Wait(60s, &status));
        EXPECT_EQ(status, c.status);
        const std::string said = Out("once") + ReadWholeFile(dir.File("once.err"));
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
    EXPECT_EQ(Logs("van-1").size(), 19u);
}

// A log that waited for the database goes in as transactions of at most the
// batch size, each whole and in order.
TEST_F(WatchTest, WaitingLogGoesInBatches)
{
    Survey("logs", 10, 10);
    // A file under a log's name that is none: said once, left alone.
    ASSERT_TRUE(WriteWholeFile(dir.File("logs/0712150000.txt"), std::string(400, 'x') + "\n"));
    CPgTarget target(Output() + " password=" + PostgresServer::Password(), "van-9");
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    WATCH_OPTIONS options;
    options.folder = dir.File("logs");
    options.stopFd = stop[0];
    options.batchPoints = 4;
    options.out = std::fopen(dir.File("batches.out").c_str(), "w");
    ASSERT_NE(options.out, nullptr);
    int status = -1;
    std::thread watcher([&] { status = CLogWatch(target, options).Run(); });
    EXPECT_TRUE(WaitForRows("van-9", 10));
    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    watcher.join();
    std::fclose(options.out);
    ::close(stop[0]);
    ::close(stop[1]);
    EXPECT_EQ(status, 0);
    const std::string out = Out("batches");
    EXPECT_NE(out.find("Sent: 0712140000.txt +4 (4)\nSent: 0712140000.txt +4 (8)\nSent: 0712140000.txt +2 (10)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Logs("van-9"), Expected(10));
    EXPECT_EQ(CountOf(out, "Not a survey log: 0712150000.txt"), 1) << out;
    EXPECT_EQ(Logs("van-9", "0712150000.txt").size(), 0u);
}
