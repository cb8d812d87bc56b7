// The client's report of a long survey: a 10 000-point log with its
// companion record (two utilities, a void point, one below the gate) read,
// laid out (map sheets and about two hundred pages of tables) and written as
// a PDF, in this process on Qt's offscreen platform. CPU time is the figure
// to compare with the 5 s a report may take; real time also counts the wait
// for the disk's sync of the finished PDF.
#include <cstdlib>
#include <string>

#include <QGuiApplication>
#include <benchmark/benchmark.h>

#include "report/ReportCommand.h"
#include "support/BenchSurvey.h"
#include "support/UtilitySurvey.h"
#include "surveylog/SurveyLog.h"

namespace {

void BM_Report(benchmark::State& state)
{
    const std::string folder = BenchFolder();
    UTILITY_SURVEY survey;
    if (!WriteUtilitySurvey(folder, static_cast<size_t>(state.range(0)), survey)) {
        state.SkipWithError("the survey log cannot be written");
        return;
    }
    REPORT_REQUEST request;
    request.output = folder + "report.pdf";
    request.inputs = {survey.log};
    for (auto _ : state) {
        std::string error;
        if (!MakeReport(request, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Report)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CSurveyLog::DestroyInstance();
    return 0;
}
