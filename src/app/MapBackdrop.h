// The map under the track view (MAP#RASTER#<path>): a raster the crew or the
// office supplies, drawn behind the survey. The GIS room renders it (GDAL and
// PROJ); the window knows it only by this interface and never waits for it:
// CMapWorker renders on a thread of its own, the newest view wins, and the
// window paints the last finished image meanwhile.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A rectangle of the track view's plane (CTrackModel: metres east and north of
// its origin, an equirectangular projection on a sphere of radius
// CGeoDistance::kEarthRadius) sampled at nWidth x nHeight pixels.
struct MAP_VIEW {
    double dfOriginLat = 0.0;  // the plane's origin, signed degrees
    double dfOriginLong = 0.0;
    double dfCentreEast = 0.0; // plane point at the picture's centre, metres
    double dfCentreNorth = 0.0;
    double dfScale = 1.0; // pixels per metre
    int nWidth = 0;
    int nHeight = 0;

    bool operator==(const MAP_VIEW&) const = default;
    bool SamePlane(const MAP_VIEW& other) const
    {
        return dfOriginLat == other.dfOriginLat && dfOriginLong == other.dfOriginLong;
    }
    // Edges in the plane, metres.
    double West() const { return dfCentreEast - nWidth / 2.0 / dfScale; }
    double East() const { return dfCentreEast + nWidth / 2.0 / dfScale; }
    double South() const { return dfCentreNorth - nHeight / 2.0 / dfScale; }
    double North() const { return dfCentreNorth + nHeight / 2.0 / dfScale; }
    // True when this picture shows all of other's rectangle at other's scale.
    bool Covers(const MAP_VIEW& other) const;
};

enum class MapRender {
    Drawn,   // the pixels hold the map (transparent where it has none)
    Stopped, // given up because a newer view or the end was asked for
    Failed,  // the error says why; the pixels are transparent
};

class IMapBackdrop {
public:
    virtual ~IMapBackdrop() = default;
    // Fills pixels (nWidth * nHeight, row after row from the top) with the map
    // over view's rectangle: each pixel 0xAARRGGBB with the colour premultiplied
    // by its alpha, transparent where the raster has nothing. Gives up soon
    // after stop turns true. Called from one thread at a time.
    virtual MapRender Render(const MAP_VIEW& view, uint32_t* pixels, const std::atomic<bool>& stop,
                             std::string& error) = 0;
    // The raster's file as the settings name it.
    virtual const std::string& Path() const = 0;
};

// Opens a raster; null with the reason, in words a crew reads, when it cannot
// be drawn. The program installs the GIS room's factory.
using MapBackdropFactory = std::function<std::unique_ptr<IMapBackdrop>(const std::string& path, std::string& error)>;
void SetMapBackdropFactory(MapBackdropFactory factory);
std::unique_ptr<IMapBackdrop> OpenMapBackdrop(const std::string& path, std::string& error);

// A finished picture of the map.
struct MAP_IMAGE {
    MAP_VIEW view;
    std::vector<uint32_t> pixels;
    MapRender result = MapRender::Failed;
    std::string error;
};

// Renders a map on a thread of its own. Request only notes the view (a
// render under way finishes, then the newest view asked for is drawn; views
// asked for in between are skipped); ready() is called on the worker thread
// after each finished picture and must only post. The destructor stops a
// render under way and joins the thread.
class CMapWorker {
public:
    CMapWorker(std::unique_ptr<IMapBackdrop> map, std::function<void()> ready);
    ~CMapWorker();
    CMapWorker(const CMapWorker&) = delete;
    CMapWorker& operator=(const CMapWorker&) = delete;

    void Request(const MAP_VIEW& view);
    // Moves the newest finished picture into image; false when none came
    // since the last take. The buffers of image are reused for the next one.
    bool Take(MAP_IMAGE& image);
    const std::string& Path() const { return m_path; }

private:
    void Run();

    std::unique_ptr<IMapBackdrop> m_map;
    std::string m_path;
    std::function<void()> m_ready;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_pending = false;
    MAP_VIEW m_request;
    bool m_haveResult = false;
    MAP_IMAGE m_result;
    std::vector<uint32_t> m_spare; // the last taken picture's buffer, reused
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
