#include "app/MapBackdrop.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {
MapBackdropFactory g_factory;
} // namespace

bool MAP_VIEW::Covers(const MAP_VIEW& other) const
{
    // Half a pixel of slack: the edges are sums of the same doubles.
    const double slack = 0.5 / other.dfScale;
    return SamePlane(other) && nWidth > 0 && nHeight > 0 &&
           std::fabs(dfScale - other.dfScale) <= 1e-9 * other.dfScale && West() <= other.West() + slack &&
           East() >= other.East() - slack && South() <= other.South() + slack && North() >= other.North() - slack;
}

void SetMapBackdropFactory(MapBackdropFactory factory)
{
    g_factory = std::move(factory);
}

std::unique_ptr<IMapBackdrop> OpenMapBackdrop(const std::string& path, std::string& error)
{
    error.clear();
    if (!g_factory) {
        error = "this build cannot draw maps";
        return nullptr;
    }
    std::unique_ptr<IMapBackdrop> map = g_factory(path, error);
    if (!map && error.empty())
        error = "the map " + path + " cannot be drawn";
    return map;
}

CMapWorker::CMapWorker(std::unique_ptr<IMapBackdrop> map, std::function<void()> ready)
    : m_map(std::move(map)), m_path(m_map ? m_map->Path() : std::string()), m_ready(std::move(ready))
{
    m_thread = std::thread([this] { Run(); });
}

CMapWorker::~CMapWorker()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop.store(true);
    }
    m_wake.notify_one();
    m_thread.join();
}

void CMapWorker::Request(const MAP_VIEW& view)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_request = view;
        m_pending = true;
    }
    m_wake.notify_one();
}

bool CMapWorker::Take(MAP_IMAGE& image)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_haveResult)
        return false;
    m_haveResult = false;
    std::swap(image, m_result);
    // The picture the window let go of becomes the next one's buffer.
    m_spare = std::move(m_result.pixels);
    return true;
}

void CMapWorker::Run()
{
    std::vector<uint32_t> pixels;
    for (;;) {
        MAP_VIEW view;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_pending || m_stop.load(); });
            if (m_stop.load())
                return;
            view = m_request;
            m_pending = false;
            if (pixels.empty() && !m_spare.empty())
                pixels = std::move(m_spare);
        }
        const size_t count = static_cast<size_t>(std::max(view.nWidth, 0)) * static_cast<size_t>(std::max(view.nHeight, 0));
        pixels.assign(count, 0u);
        std::string error;
        MapRender result = MapRender::Failed;
        if (m_map == nullptr)
            error = "no map";
        else if (count == 0 || !(view.dfScale > 0.0))
            result = MapRender::Drawn;
        else
            result = m_map->Render(view, pixels.data(), m_stop, error);
        if (result == MapRender::Stopped)
            continue;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_result.view = view;
            m_result.result = result;
            m_result.error = std::move(error);
            std::swap(m_result.pixels, pixels);
            m_haveResult = true;
        }
        pixels.clear();
        if (m_ready)
            m_ready();
    }
}
