// What one save of the survey log costs as the survey grows, beside the floor:
// the same bytes put in a file with a single write(), and that write made
// durable the way a save makes it (fsync, rename, folder fsync).
//
// Save/AddOne is the record timer's case: one point more, then a save.
// Save/AddOneCsvOnly is the same without the companion record (the CSV alone,
// as a save wrote it before the record existed): the difference is what the
// record adds to a save.
// Save/FormatAll formats every line again, as a save did before the text of
// earlier lines was kept; it is also the cost of the first save after a file
// with many points has been read back.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "link/SurveyPoint.h"
#include "support/BenchSurvey.h"
#include "surveylog/SurveyLog.h"

namespace {

CSurveyLog* LogOf(int points)
{
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->Clear();
    log->SetFolder(BenchFolder());
    log->SetFileName("bench.txt");
    // A record as the program writes it: heights and the settings that made them.
    log->SetAnnotator([](const SURVEY_POINT& point, POINT_HEIGHTS& heights, POINT_RECORD& record) {
        heights.EllipsoidHeight = point.GpsFix.dfAltVal + point.GpsFix.dfGeoidVal;
        heights.GroundElevation = point.GpsFix.dfAltVal - 1.85;
        heights.UtilityElevation = point.GpsFix.dfAltVal - 3.1;
        record.AntennaHeight = 1.85;
    });
    for (int i = 0; i < points; ++i)
        log->Add(BenchPoint(i));
    return log;
}

void Save_AddOne(benchmark::State& state)
{
    const int points = static_cast<int>(state.range(0));
    CSurveyLog* log = LogOf(points);
    log->Save();
    int next = points;
    for (auto _ : state) {
        log->Add(BenchPoint(next++));
        if (!log->Save())
            state.SkipWithError("save failed");
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(log->GetFullPath()));
    log->Clear();
}

void Save_AddOneCsvOnly(benchmark::State& state)
{
    const int points = static_cast<int>(state.range(0));
    CSurveyLog* log = LogOf(points);
    log->Save();
    int next = points;
    for (auto _ : state) {
        log->Add(BenchPoint(next++));
        if (!log->WriteFile(log->GetFullPath()))
            state.SkipWithError("save failed");
    }
    log->Clear();
}

void Save_FormatAll(benchmark::State& state)
{
    const int points = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        CSurveyLog* log = LogOf(points);
        state.ResumeTiming();
        if (!log->Save())
            state.SkipWithError("save failed");
    }
    CSurveyLog::GetInstance()->Clear();
}

std::string FileBytes(int points)
{
    CSurveyLog* log = LogOf(points);
    log->Save();
    std::string bytes;
    const int fd = ::open(log->GetFullPath().c_str(), O_RDONLY);
    char buffer[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    log->Clear();
    return bytes;
}

void Floor_SingleWrite(benchmark::State& state)
{
    const std::string bytes = FileBytes(static_cast<int>(state.range(0)));
    const std::string path = BenchFolder() + "floor.txt";
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            state.SkipWithError("write failed");
        ::close(fd);
    }
}

void Floor_DurableWrite(benchmark::State& state)
{
    const std::string bytes = FileBytes(static_cast<int>(state.range(0)));
    const std::string path = BenchFolder() + "floor.txt";
    const std::string temporary = BenchFolder() + ".floor.txt.tmp";
    for (auto _ : state) {
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            state.SkipWithError("write failed");
        ::fsync(fd);
        ::close(fd);
        ::rename(temporary.c_str(), path.c_str());
        const int folder = ::open(BenchFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(folder);
        ::close(folder);
    }
}

} // namespace

// A fixed number of rounds, so that the survey grows by little beside its size.
void Sizes(benchmark::internal::Benchmark* b)
{
    for (int points : {1000, 10000, 25000, 50000, 100000})
        b->Arg(points);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(Save_AddOne)->Apply(Sizes)->Iterations(30);
BENCHMARK(Save_AddOneCsvOnly)->Apply(Sizes)->Iterations(30);
BENCHMARK(Save_FormatAll)->Apply(Sizes)->Iterations(3);
BENCHMARK(Floor_SingleWrite)->Apply(Sizes)->Iterations(30);
BENCHMARK(Floor_DurableWrite)->Apply(Sizes)->Iterations(30);

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
