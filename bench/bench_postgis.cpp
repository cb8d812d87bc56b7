// PostGIS delivery against a private PostgreSQL server (started here, stopped
// at the end):
//   1. one-shot export of a 100 000-point log with fieldbook-export, beside
//      ogr2ogr -f PostgreSQL of the log's GeoPackage (the same typed 3D work
//      through the same driver), in the same run, each three times, medians;
//   2. --watch catch-up after an outage: the database is stopped while points
//      keep coming, then started again; the time from the start until the last
//      point is in;
//   3. --watch delay from a save of the log to its row in the database, one
//      point a second (median and worst).
// Usage: bench_postgis [POINTS [OUTAGE_SECONDS [OUTAGE_POINTS [DELAY_SAMPLES]]]]
// (OUTAGE_SECONDS 0: the one-shot export only)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <libpq-fe.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/PostgresServer.h"
#include "support/ScratchDir.h"
#include "support/SurveyLogFiles.h"
#include "support/SurveyRun.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string ExportTool() { return std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-export/fieldbook-export"; }

// Runs a program to its end; its run time, or a negative number on failure.
double Timed(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& errPath)
{
    ChildProcess p;
    const auto start = Clock::now();
    int status = -1;
    if (!p.Start(argv, env, "", errPath) || !p.Wait(600s, &status) || status != 0) {
        std::fprintf(stderr, "%s failed (%d): %s\n", argv[0].c_str(), status, ReadWholeFile(errPath).c_str());
        return -1.0;
    }
    return Seconds(Clock::now() - start);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Rows of unit in survey_points, on a connection kept open (reconnects if lost).
struct Counter {
    explicit Counter(std::string conninfo) : info(std::move(conninfo)) {}
    ~Counter() { PQfinish(conn); }
    long Rows(const std::string& unit)
    {
        if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
            PQfinish(conn);
            conn = PQconnectdb(info.c_str());
            if (PQstatus(conn) != CONNECTION_OK)
                return -1;
        }
        const std::string sql = "SELECT count(*) FROM survey_points WHERE \"Unit\" = '" + unit + "'";
        PGresult* r = PQexec(conn, sql.c_str());
        const long n = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atol(PQgetvalue(r, 0, 0)) : -1;
        PQclear(r);
        return n;
    }
    std::string info;
    PGconn* conn = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    const int points = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int outageSeconds = argc > 2 ? std::atoi(argv[2]) : 62;
    const int outagePoints = argc > 3 ? std::atoi(argv[3]) : 600;
    const int delaySamples = argc > 4 ? std::atoi(argv[4]) : 30;

    PostgresServer& pg = SharedPostgres();
    if (!pg.Start() || !pg.CreateDatabase("ours") || !pg.CreateDatabase("theirs") || !pg.CreateDatabase("live")) {
        std::fprintf(stderr, "no server: %s\n", pg.Problem().c_str());
        return 1;
    }
    ScratchDir dir;
    const std::vector<std::string> env = {std::string("PGPASSWORD=") + PostgresServer::Password()};

    // 1. One-shot export.
    const std::string log = dir.File("0712140000.txt");
    // Logs as fieldbook writes them: the companion record, then the CSV.
    const std::string survey = "0b7e5d3c1a2f4e6d8c9b0a1f2e3d4c5b";
    auto save = [&survey](const std::string& path, int count) {
        WriteCompanionRecord(path, SamplePoints(0, count), survey);
        WriteSurveyLog(path, SamplePoints(0, count));
    };
    save(log, points);
    const std::string gpkg = dir.File("0712140000.gpkg");
    Timed({ExportTool(), "-o", gpkg, log}, {}, dir.File("gpkg.err"));
    std::vector<double> ours, theirs;
    for (int round = 0; round < 3; ++round) {
        // CASCADE: the utility_points view stands on survey_points.
        pg.Query("ours", "DROP TABLE IF EXISTS survey_points, survey_track CASCADE");
        pg.Query("theirs", "DROP TABLE IF EXISTS csv_points");
        ours.push_back(Timed({ExportTool(), "-o", "PG:" + pg.ConnInfo("ours"), "--unit", "bench", log}, env,
                             dir.File("ours.err")));
        theirs.push_back(Timed({"/usr/bin/ogr2ogr", "-f", "PostgreSQL", "PG:" + pg.ConnInfo("theirs"), gpkg, "survey_points",
                                "-nln", "csv_points"},
                               env, dir.File("theirs.err")));
    }
    std::printf("one-shot export, %d points: fieldbook-export %.2f s, ogr2ogr %.2f s, ratio %.2f\n", points,
                Median(ours), Median(theirs), Median(ours) / Median(theirs));
    std::fflush(stdout);
    if (outageSeconds <= 0)
        return 0;

    // 2. Catch-up after an outage.
    ::mkdir(dir.File("logs").c_str(), 0755);
    const std::string live = dir.File("logs/0712150000.txt");
    ChildProcess watch;
    watch.Start({ExportTool(), "--watch", dir.File("logs"), "-o", "PG:" + pg.ConnInfo("live"), "--unit", "van"}, env,
                dir.File("watch.out"), dir.File("watch.err"));
    WaitForFileText(dir.File("watch.out"), "Watching", 20s);
    Counter counter(pg.ConnInfo("live") + " password=" + PostgresServer::Password());
    int written = 10;
    save(live, written);
    for (const auto start = Clock::now(); counter.Rows("van") < written && Clock::now() - start < 60s;)
        std::this_thread::sleep_for(10ms);
    pg.Stop();
    const auto outageStart = Clock::now();
    for (int i = 0; i < outagePoints; ++i) {
        ++written;
        save(live, written);
        std::this_thread::sleep_until(outageStart + std::chrono::milliseconds(1000LL * outageSeconds * (i + 1) / outagePoints));
    }
    pg.Start();
    const auto back = Clock::now();
    // The watcher learns that the database is back at its next retry (the
    // back-off, at most 30 s); then the backlog goes in one batch.
    double seenBack = -1.0;
    while (counter.Rows("van") < written && Clock::now() - back < 120s) {
        if (seenBack < 0 && ReadWholeFile(dir.File("watch.out")).find("Database back") != std::string::npos)
            seenBack = Seconds(Clock::now() - back);
        std::this_thread::sleep_for(5ms);
    }
    const double catchUp = Seconds(Clock::now() - back);
    std::printf("catch-up after a %d s outage with %d points waiting: %.2f s from the database's start to the last "
                "row (its retry came after %.2f s)\n",
                outageSeconds, outagePoints, catchUp, seenBack < 0 ? catchUp : seenBack);
    std::fflush(stdout);

    // 3. Save-to-row delay at 1 Hz.
    std::vector<double> delays;
    for (int i = 0; i < delaySamples; ++i) {
        const auto tick = Clock::now();
        ++written;
        save(live, written);
        const auto saved = Clock::now();
        while (counter.Rows("van") < written && Clock::now() - saved < 30s)
            std::this_thread::sleep_for(1ms);
        delays.push_back(Seconds(Clock::now() - saved));
        std::this_thread::sleep_until(tick + 1s);
    }
    std::sort(delays.begin(), delays.end());
    std::printf("save-to-row delay at 1 Hz, %d points after %d: median %.1f ms, worst %.1f ms\n", delaySamples,
                written - delaySamples, 1000 * Median(delays), 1000 * delays.back());
    StopProcess(watch);
    return 0;
}
