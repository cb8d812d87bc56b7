// Paint time of the track view on Qt's offscreen platform, the survey fitted
// into a 1024 x 480 view: 1 000, 10 000 and 100 000 points of a walked line,
// one in twenty without a fix; and zoomed 50 times closer, most of the track
// off screen. Each repaint is timed on its own; the counter
// median_ms is the median over the run's repaints.
//
// The same with a map under the 100 000 points: a 10 000 x 10 000 pixel
// GeoTIFF (RGB, tiled, LZW, overviews) in UTM made here with GDAL, covering
// the walk. Frames over a map picture already rendered; frames while panning
// 8 pixels a frame (each frame handles the events that bring the worker's new
// pictures; the counter pictures says how many came); and the worker's own
// render time for the view and its margin, fitted and 50 times closer.
#include <QApplication>
#include <QImage>
#include <QWheelEvent>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "gis/MapRaster.h"
#include "gui/TrackView.h"
#include "support/TestRaster.h"
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

// The map raster, made once per run in a folder of its own under /tmp.
class CBenchMap {
public:
    ~CBenchMap()
    {
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder);
    }
    // The raster's path; empty (and a message) when it could not be made.
    const std::string& Path()
    {
        if (m_tried)
            return m_path;
        m_tried = true;
        char folder[] = "/tmp/fieldbook-bench-map-XXXXXX";
        if (::mkdtemp(folder) == nullptr)
            return m_path;
        m_folder = folder;
        // 20 km square (2 m a pixel) about the walk's start, which wanders a
        // few kilometres.
        TEST_RASTER spec{.crs = "EPSG:32633", .dfCentreLat = 52.5, .dfCentreLong = 13.4, .dfHalfMetres = 10000.0,
                         .nSize = 10000, .bOverviews = true, .bGridLines = true};
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        if (!WriteTestRaster(m_folder + "/map.tif", spec, error)) {
            std::fprintf(stderr, "bench_track_view: %s\n", error.c_str());
            return m_path;
        }
        std::fprintf(stderr, "bench_track_view: 10000 x 10000 map made in %.1f s\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        m_path = m_folder + "/map.tif";
        return m_path;
    }

private:
    bool m_tried = false;
    std::string m_folder;
    std::string m_path;
};
CBenchMap g_map;

std::unique_ptr<IMapBackdrop> OpenBenchMap(benchmark::State& state)
{
    std::string error;
    std::unique_ptr<IMapBackdrop> map;
    if (!g_map.Path().empty())
        map = OpenMapRaster(g_map.Path(), error);
    if (!map)
        state.SkipWithError(("no map: " + error).c_str());
    return map;
}

void ZoomBy(CTrackView& view, double zoom)
{
    if (zoom <= 1.0)
        return;
    // The view zooms by 1.0015 per eighth of a degree of wheel turn.
    const int turn = static_cast<int>(std::log(zoom) / std::log(1.0015));
    QWheelEvent wheel(QPointF(512, 240), QPointF(512, 240), {}, {0, turn}, Qt::NoButton, {}, Qt::NoScrollPhase,
                      false);
    QApplication::sendEvent(&view, &wheel);
}


// zoom: 1 the whole survey fitted; above 1 that much closer about the middle,
// most of the track then off screen.
void PaintRun(benchmark::State& state, double zoom, bool withMap = false, bool panning = false)
{
    CSurveyLog& log = *CSurveyLog::GetInstance();
    log.SetFileName("bench.txt");
    FillLog(log, static_cast<int>(state.range(0)));
    CTrackView view;
    view.resize(1024, 480);
    view.SyncWithLog(log);
    ZoomBy(view, zoom);
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    if (withMap) {
        std::unique_ptr<IMapBackdrop> map = OpenBenchMap(state);
        if (!map)
            return;
        view.SetMap(std::move(map));
        // The first picture: each render asks for it, the worker's answer
        // comes as a posted event.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!view.MapCurrent() && std::chrono::steady_clock::now() < until) {
            view.render(&image);
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    view.render(&image); // the drawing buffers grow once
    QPointF drag(512, 240);
    if (panning) {
        QMouseEvent press(QEvent::MouseButtonPress, drag, drag, Qt::LeftButton, Qt::LeftButton, {});
        QApplication::sendEvent(&view, &press);
    }
    std::vector<double> times;
    long pictures = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (panning) {
            // Westwards, turning back after 2000 pixels, so that the view stays
            // over the survey and the raster.
            drag += QPointF((times.size() / 250) % 2 == 0 ? -8.0 : 8.0, 0.0);
            QMouseEvent move(QEvent::MouseMove, drag, drag, Qt::NoButton, Qt::LeftButton, {});
            QApplication::sendEvent(&view, &move);
            const bool had = view.MapCurrent();
            QApplication::processEvents();
            pictures += !had && view.MapCurrent() ? 1 : 0;
        }
        view.render(&image);
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        benchmark::ClobberMemory();
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times.empty() ? 0.0 : times[times.size() / 2];
    state.counters["p95_ms"] = times.empty() ? 0.0 : times[times.size() * 95 / 100];
    if (withMap && panning)
        state.counters["pictures"] = static_cast<double>(pictures);
    view.SetMap(nullptr);
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

void BM_TrackViewPaintOverMap(benchmark::State& state)
{
    PaintRun(state, 1.0, true);
}
BENCHMARK(BM_TrackViewPaintOverMap)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TrackViewPaintOverMapZoomed50(benchmark::State& state)
{
    PaintRun(state, 50.0, true);
}
BENCHMARK(BM_TrackViewPaintOverMapZoomed50)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TrackViewPan(benchmark::State& state)
{
    PaintRun(state, 1.0, false, true);
}
BENCHMARK(BM_TrackViewPan)->Arg(100000)->Iterations(1000)->Unit(benchmark::kMillisecond);

void BM_TrackViewPanOverMap(benchmark::State& state)
{
    PaintRun(state, 1.0, true, true);
}
BENCHMARK(BM_TrackViewPanOverMap)->Arg(100000)->Iterations(1000)->Unit(benchmark::kMillisecond);

// The worker's render of the view and its margin (1536 x 720 pixels) at the
// scale of the fitted survey (range(1) 1) or 50 times closer.
void BM_MapRender(benchmark::State& state)
{
    std::unique_ptr<IMapBackdrop> map = OpenBenchMap(state);
    if (!map)
        return;
    CSurveyLog& log = *CSurveyLog::GetInstance();
    FillLog(log, static_cast<int>(state.range(0)));
    CTrackView view;
    view.resize(1024, 480);
    view.SyncWithLog(log);
    ZoomBy(view, static_cast<double>(state.range(1)));
    const TRACK_VIEWPORT& vp = view.Viewport();
    const MAP_VIEW mapView{view.Model().OriginLat(), view.Model().OriginLong(), vp.dfCentreEast, vp.dfCentreNorth,
                           vp.dfScale, 1536, 720};
    std::vector<uint32_t> pixels(1536 * 720);
    const std::atomic<bool> stop{false};
    std::string error;
    for (auto _ : state) {
        if (map->Render(mapView, pixels.data(), stop, error) != MapRender::Drawn) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.counters["metres_per_pixel"] = 1.0 / vp.dfScale;
    view.DetachLog();
    log.Clear();
}
BENCHMARK(BM_MapRender)->Args({100000, 1})->Args({100000, 50})->Unit(benchmark::kMillisecond);

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
