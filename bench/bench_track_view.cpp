// Paint time of the track view on Qt's offscreen platform, the survey fitted
// into a 1024 x 480 view: 1 000, 10 000 and 100 000 points of a walked line,
// one in twenty without a fix; and zoomed 50 times closer, most of the track
// off screen. Each repaint is timed on its own; the counter
// median_ms is the median over the run's repaints.
#include <QApplication>
#include <QImage>
#include <QWheelEvent>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "gui/TrackView.h"
#include "surveylog/SurveyLog.h"

namespace {

// A crew walking a service line: half a metre a step, turning slowly.
void FillLog(CSurveyLog& log, int points)
{
    log.Clear();
    double lat = 52.5;
    double lon = 13.4;
    double heading = 0.3;
    for (int i = 0; i < points; ++i) {
        SURVEY_POINT p;
        p.LocateData.nProtocolId = 2;
        p.LocateData.fDepth = static_cast<float>(80.0 + 60.0 * std::sin(i * 0.01));
        if (i % 20 != 7) {
            p.GpsFix.nGpsFix = 1;
            p.GpsFix.dfLatAng = lat;
            p.GpsFix.dfLongAng = lon;
        }
        heading += 0.02 * std::sin(i * 0.003);
        lat += 0.5 / 111195.0 * std::cos(heading);
        lon += 0.5 / (111195.0 * 0.6088) * std::sin(heading);
        log.Add(p);
    }
}

// zoom: 1 the whole survey fitted; above 1 that much closer about the middle,
// most of the track then off screen.
void PaintRun(benchmark::State& state, double zoom)
{
    CSurveyLog& log = *CSurveyLog::GetInstance();
    log.SetFileName("bench.txt");
    FillLog(log, static_cast<int>(state.range(0)));
    CTrackView view;
    view.resize(1024, 480);
    view.SyncWithLog(log);
    if (zoom > 1.0) {
        // The view zooms by 1.0015 per eighth of a degree of wheel turn.
        const int turn = static_cast<int>(std::log(zoom) / std::log(1.0015));
        QWheelEvent wheel(QPointF(512, 240), QPointF(512, 240), {}, {0, turn}, Qt::NoButton, {}, Qt::NoScrollPhase,
                          false);
        QApplication::sendEvent(&view, &wheel);
    }
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    view.render(&image); // the drawing buffers grow once
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        view.render(&image);
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        benchmark::ClobberMemory();
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times.empty() ? 0.0 : times[times.size() / 2];
    view.DetachLog();
    log.Clear();
}
void BM_TrackViewPaint(benchmark::State& state)
{
    PaintRun(state, 1.0);
}
BENCHMARK(BM_TrackViewPaint)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TrackViewPaintZoomed50(benchmark::State& state)
{
    PaintRun(state, 50.0);
}
BENCHMARK(BM_TrackViewPaintZoomed50)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CSurveyLog::DestroyInstance();
    return 0;
}
