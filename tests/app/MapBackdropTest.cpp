// The map worker: the newest view wins, a render under way is stopped when
// the worker goes, failures come back with their words; and when a picture
// already shows a view.
#include "app/MapBackdrop.h"

#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Renders a view's width as the colour of every pixel; holds each render
// until let go, and fails a view of width 13.
class CFakeMap final : public IMapBackdrop {
public:
    // sawStop, when given, learns that a render was told to stop.
    explicit CFakeMap(std::atomic<bool>* sawStop = nullptr) : m_sawStopOut(sawStop) {}
    MapRender Render(const MAP_VIEW& view, uint32_t* pixels, const std::atomic<bool>& stop,
                     std::string& error) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_started.push_back(view.nWidth);
        m_changed.notify_all();
        // Looks at stop every 10 ms, as GDAL's progress calls do; bounded: a
        // worker that never says stop fails the test, not the run.
        for (int i = 0; i < 1000 && !m_go && !stop.load(); ++i)
            m_changed.wait_for(lock, std::chrono::milliseconds(10));
        if (stop.load()) {
            if (m_sawStopOut != nullptr)
                *m_sawStopOut = true;
            return MapRender::Stopped;
        }
        if (view.nWidth == 13) {
            error = "the map is unlucky";
            return MapRender::Failed;
        }
        for (int i = 0; i < view.nWidth * view.nHeight; ++i)
            pixels[i] = static_cast<uint32_t>(view.nWidth);
        return MapRender::Drawn;
    }
    const std::string& Path() const override { return m_path; }

    void Go()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_go = true;
        m_changed.notify_all();
    }
    bool WaitStarted(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_started.size() >= count; });
    }
    std::vector<int> Started()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_started;
    }

private:
    std::string m_path = "/maps/site.tif";
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_go = false;
    std::atomic<bool>* m_sawStopOut = nullptr;
    std::vector<int> m_started;
};

MAP_VIEW ViewOfWidth(int width)
{
    return MAP_VIEW{52.5, 13.4, 0.0, 0.0, 2.0, width, 2};
}

// Takes the next picture, waiting at most 10 s for it.
bool TakeWithin(CMapWorker& worker, MAP_IMAGE& image)
{
    for (int i = 0; i < 1000; ++i) {
        if (worker.Take(image))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(MapWorker, TheNewestViewWinsAndFailuresComeWithTheirWords)
{
    auto owned = std::make_unique<CFakeMap>();
    CFakeMap& map = *owned;
    std::atomic<int> ready{0};
    CMapWorker worker(std::move(owned), [&ready] { ++ready; });
    EXPECT_EQ(worker.Path(), "/maps/site.tif");
    worker.Request(ViewOfWidth(4));
    ASSERT_TRUE(map.WaitStarted(1));
    // Asked while the first render runs: only the last is drawn.
    worker.Request(ViewOfWidth(5));
    worker.Request(ViewOfWidth(6));
    map.Go();
    ASSERT_TRUE(map.WaitStarted(2));
    MAP_IMAGE image;
    for (int i = 0; i < 2 && image.view.nWidth != 6; ++i)
        ASSERT_TRUE(TakeWithin(worker, image));
    EXPECT_EQ(map.Started(), (std::vector<int>{4, 6}));
    EXPECT_EQ(image.result, MapRender::Drawn);
    EXPECT_EQ(image.pixels, std::vector<uint32_t>(12, 6u));
    EXPECT_FALSE(worker.Take(image));

    worker.Request(ViewOfWidth(13));
    ASSERT_TRUE(TakeWithin(worker, image));
    EXPECT_EQ(image.result, MapRender::Failed);
    EXPECT_EQ(image.error, "the map is unlucky");
    EXPECT_GE(ready.load(), 2);
}

TEST(MapWorker, GoingAwayStopsARenderUnderWay)
{
    // The fake's wait is only let go by the stop the destructor raises.
    std::atomic<bool> sawStop{false};
    auto owned = std::make_unique<CFakeMap>(&sawStop);
    CFakeMap& map = *owned;
    auto worker = std::make_unique<CMapWorker>(std::move(owned), [] {});
    worker->Request(ViewOfWidth(4));
    ASSERT_TRUE(map.WaitStarted(1));
    worker.reset();
    EXPECT_TRUE(sawStop.load());
}

TEST(MapView, PicturesThatShowAView)
{
    const MAP_VIEW view{52.5, 13.4, 100.0, 50.0, 2.0, 200, 100};
    MAP_VIEW widened = view;
    widened.nWidth = 300;
    widened.nHeight = 150;
    struct Row {
        const char* what;
        MAP_VIEW picture;
        bool covers;
    };
    MAP_VIEW panned = widened;
    panned.dfCentreEast += 20.0; // 40 pixels: within the 50-pixel margin
    MAP_VIEW pannedFar = widened;
    pannedFar.dfCentreEast += 30.0; // 60 pixels
    MAP_VIEW zoomed = widened;
    zoomed.dfScale = 2.5;
    MAP_VIEW elsewhere = widened;
    elsewhere.dfOriginLat = 52.6;
    const Row rows[] = {
        {"itself", view, true},
        {"with a margin", widened, true},
        {"panned within the margin", panned, true},
        {"panned beyond the margin", pannedFar, false},
        {"at another scale", zoomed, false},
        {"in another plane", elsewhere, false},
        {"empty", MAP_VIEW{}, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.picture.Covers(view), row.covers) << row.what;
}

} // namespace
