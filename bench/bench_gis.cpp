// The GIS outputs' costs.
//
// GeoPackage/UpkeepPerSave: one point more, then what the GeoPackage beside
// the log costs for it: the copy on the log's thread (log_thread_us) and the
// worker's append in one transaction, waited for, so the time is the whole
// upkeep. Csv/SaveAddOne beside it is the CSV save of the same survey size.
//
// Export/*: a 10 000- and a 100 000-point survey log to a GeoPackage, each as
// a program started from here: wall time and peak resident memory (peak_MB).
// fieldbook-export reads the CSV log and writes every layer; its peers are
// Export/UtilityMap is the 100 000-point survey as 500 utility segments: its
// time beside Export/FieldbookExport's is what the utility map costs.
// ogr2ogr -f GPKG copying the log's own GeoPackage (the same typed 3D layers,
// spatial indexes and styles: the same work) and ogr2ogr reading the CSV as
// text into one layer of points (less work).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gis/GeoPackageKeeper.h"
#include "link/SurveyPoint.h"
#include "support/BenchSurvey.h"
#include "surveylog/SurveyLog.h"

namespace {

// The shared walk with an RTK receiver's fix: quality 4, and steps finer than
// the log's six decimals of a degree carry.
SURVEY_POINT Point(int i)
{
    SURVEY_POINT p = BenchPoint(i);
    GPS_FIX& fix = p.GpsFix;
    if (fix.nGpsFix != 0) {
        fix.nGpsFix = 4;
        fix.dfLatAng = 52.2 + i * 1e-7;
        fix.dfLongAng = 0.12 + i * 7e-8;
        fix.nNoSats = 14;
        fix.dfHorizDil = 0.6;
    }
    return p;
}

CSurveyLog* LogOf(const std::string& name, int points)
{
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->SetObserver(nullptr);
    log->Clear();
    log->SetFolder(BenchFolder());
    log->SetFileName(name);
    for (int i = 0; i < points; ++i)
        log->Add(Point(i));
    return log;
}

void GeoPackage_UpkeepPerSave(benchmark::State& state)
{
    const int points = static_cast<int>(state.range(0));
    CSurveyLog* log = LogOf("upkeep" + std::to_string(points) + ".txt", points);
    CGeoPackageKeeper keeper({});
    keeper.OnLogSaved(*log); // the survey so far, before the clock runs
    if (!keeper.WaitIdle(std::chrono::minutes(5)))
        state.SkipWithError("catching up took too long");
    int next = points;
    std::chrono::nanoseconds onThread{0};
    for (auto _ : state) {
        log->Add(Point(next++));
        const auto start = std::chrono::steady_clock::now();
        keeper.OnLogSaved(*log);
        onThread += std::chrono::steady_clock::now() - start;
        if (!keeper.WaitIdle(std::chrono::minutes(1)))
            state.SkipWithError("upkeep took too long");
    }
    state.counters["log_thread_us"] =
        std::chrono::duration<double, std::micro>(onThread).count() / static_cast<double>(state.iterations());
    log->Clear();
}

void Csv_SaveAddOne(benchmark::State& state)
{
    const int points = static_cast<int>(state.range(0));
    CSurveyLog* log = LogOf("csv" + std::to_string(points) + ".txt", points);
    log->Save();
    int next = points;
    for (auto _ : state) {
        log->Add(Point(next++));
        if (!log->Save())
            state.SkipWithError("save failed");
    }
    log->Clear();
}

// A log of points points, made once per size.
std::string LogWith(int points)
{
    static std::map<int, std::string> made;
    std::string& path = made[points];
    if (path.empty()) {
        const std::string name = "07121430" + std::to_string(10 + made.size()) + ".txt";
        CSurveyLog* log = LogOf(name.c_str(), points);
        log->Save();
        log->Clear();
        path = BenchFolder() + name;
        // The log's GeoPackage, as the logger keeps it beside the log.
        const std::string gpkg = path.substr(0, path.size() - 4) + ".gpkg";
        const std::string command = std::string(FIELDBOOK_EXPORT) + " -o " + gpkg + " " + path + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            path.clear();
    }
    return path;
}

// Runs command as a program of its own, timed by the benchmark; peak_MB is
// its peak resident memory (the largest of the iterations).
void RunCommand(benchmark::State& state, const std::string& command)
{
    long peakKb = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(BenchFolder() + "out.gpkg");
        state.ResumeTiming();
        const std::string line = "exec " + command + " >/dev/null 2>&1";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = -1;
        rusage usage{};
        if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError(command.c_str());
        peakKb = std::max(peakKb, static_cast<long>(usage.ru_maxrss));
    }
    state.counters["peak_MB"] = static_cast<double>(peakKb) / 1024.0;
}

void Export_FieldbookExport(benchmark::State& state)
{
    const std::string log = LogWith(static_cast<int>(state.range(0)));
    RunCommand(state, std::string(FIELDBOOK_EXPORT) + " -o " + BenchFolder() + "out.gpkg " + log);
}

// The same walk as a crew's utility map: segments utility segments of equal
// length, four utility types taking turns, one point in fifty void, the job
// set; the export then also writes the utility attributes and a line per
// segment.
std::string UtilityLogWith(int points, int segments)
{
    const std::string name = "0812143" + std::to_string(segments % 1000 + 100) + ".txt";
    const char* const types[][2] = {{"electric", "red"}, {"gas", "yellow"}, {"water", "blue"}, {"sewer", "green"}};
    const int perSegment = std::max(1, points / segments);
    int index = 0;
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->SetAnnotator([&](const SURVEY_POINT&, POINT_HEIGHTS&, POINT_RECORD& record) {
        const int segment = index / perSegment;
        record.Utility.type = types[segment % 4][0];
        record.Utility.colour = types[segment % 4][1];
        record.Utility.id = "Line " + std::to_string(segment % 4);
        record.Utility.method = "active";
        record.Utility.qualityLevel = "B";
        record.Utility.segment = segment / 4 + 1;
        record.bVoid = index % 50 == 49;
        ++index;
    });
    log->SetJob(JOB_INFO{"T-2041", "City Works", "Elm St", "K7"});
    LogOf(name, points);
    log->Save();
    log->Clear();
    log->SetAnnotator({});
    return BenchFolder() + name;
}

void Export_UtilityMap(benchmark::State& state)
{
    static std::map<std::pair<int, int>, std::string> made;
    const auto key = std::make_pair(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::string& log = made[key];
    if (log.empty())
        log = UtilityLogWith(key.first, key.second);
    RunCommand(state, std::string(FIELDBOOK_EXPORT) + " -o " + BenchFolder() + "out.gpkg " + log);
}

void Export_Ogr2ogrSameWork(benchmark::State& state)
{
    const std::string log = LogWith(static_cast<int>(state.range(0)));
    RunCommand(state, "ogr2ogr -f GPKG " + BenchFolder() + "out.gpkg " + log.substr(0, log.size() - 4) + ".gpkg");
}

void Export_Ogr2ogrCsvPoints(benchmark::State& state)
{
    const std::string log = LogWith(static_cast<int>(state.range(0)));
    // As GDAL reads the log by itself: CSV text, the position taken as a point.
    RunCommand(state, "ogr2ogr -f GPKG " + BenchFolder() + "out.gpkg CSV:" + log +
                          " -oo X_POSSIBLE_NAMES=LongAng -oo Y_POSSIBLE_NAMES=LatAng");
}

void Sizes(benchmark::internal::Benchmark* b)
{
    for (int points : {1000, 10000, 100000})
        b->Arg(points);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

} // namespace

BENCHMARK(GeoPackage_UpkeepPerSave)->Apply(Sizes)->Iterations(30);
BENCHMARK(Csv_SaveAddOne)->Apply(Sizes)->Iterations(30);
BENCHMARK(Export_FieldbookExport)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(Export_UtilityMap)->Args({100000, 500})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(Export_Ogr2ogrSameWork)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(Export_Ogr2ogrCsvPoints)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CSurveyLog::DestroyInstance();
    std::error_code ec;
    std::filesystem::remove_all(BenchFolder(), ec);
    return 0;
}
