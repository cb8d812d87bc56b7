// The map under the track view: a raster the crew or the office supplies
// (GeoTIFF, MBTiles, a GeoPackage's tiles; any CRS GDAL and PROJ read), warped
// into the track view's plane. The plane is CTrackModel's equirectangular
// projection about its origin on a sphere, fed with WGS 84 degrees; PROJ
// knows it as eqc on WGS 84 in units that turn its semi-major axis into the
// sphere's radius, so a raster on another datum gets its datum step. GDAL's warper picks the overview that suits the scale, so a large
// raster with overviews costs about what its picture on screen costs.
#pragma once

#include <memory>
#include <string>

#include <gdal_priv.h>

#include "app/MapBackdrop.h"

class CMapRaster final : public IMapBackdrop {
public:
    // Null with the reason when the file is missing, is no raster GDAL reads,
    // has no CRS or no georeferencing, or its CRS cannot be taken to WGS 84.
    static std::unique_ptr<CMapRaster> Open(const std::string& path, std::string& error);

    MapRender Render(const MAP_VIEW& view, uint32_t* pixels, const std::atomic<bool>& stop,
                     std::string& error) override;
    const std::string& Path() const override { return m_path; }
    // Bands as the warper gets them: 3 (red, green, blue) or 4 (with alpha).
    int Bands() const { return Source()->GetRasterCount(); }

private:
    CMapRaster() = default;
    // The file itself, or the virtual dataset over it.
    GDALDataset* Source() const { return m_colours ? m_colours.get() : m_file.get(); }

    std::string m_path;
    GDALDatasetUniquePtr m_file;
    // A virtual dataset over the file that gives red, green, blue (and alpha)
    // from a grey or paletted raster; null when the file has them.
    GDALDatasetUniquePtr m_colours;
    GDALDatasetUniquePtr m_target; // kept between renders of one size
};

// The factory the program installs (SetMapBackdropFactory).
std::unique_ptr<IMapBackdrop> OpenMapRaster(const std::string& path, std::string& error);
