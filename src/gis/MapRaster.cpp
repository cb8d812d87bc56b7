#include "gis/MapRaster.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gdal_utils.h>
#include <ogr_spatialref.h>
#include <unistd.h>
#include <vector>

#include "gis/GdalErrors.h"
#include "gps/GeoDistance.h"
#include "platform/RegularFile.h"

namespace {

// Argument lists for GDAL's utilities, which take them as a C string array.
class CArgs {
public:
    CArgs(std::initializer_list<std::string> args) : m_args(args) {}
    void Add(const std::string& arg) { m_args.push_back(arg); }
    char** Get()
    {
        m_pointers.clear();
        for (std::string& arg : m_args)
            m_pointers.push_back(arg.data());
        m_pointers.push_back(nullptr);
        return m_pointers.data();
    }

private:
    std::vector<std::string> m_args;
    std::vector<char*> m_pointers;
};

bool IsAlpha(GDALDataset& dataset, int band)
{
    return band <= dataset.GetRasterCount() && dataset.GetRasterBand(band)->GetColorInterpretation() == GCI_AlphaBand;
}

// gdal_translate's band choice that turns the raster into red, green, blue
// and maybe alpha; empty when the warper can take the file as it is.
std::vector<std::string> ColourBands(GDALDataset& file)
{
    const int count = file.GetRasterCount();
    GDALRasterBand* first = file.GetRasterBand(1);
    if (count == 1 && first->GetColorTable() != nullptr)
        return {"-expand", "rgba"};
    if (count == 1 || (count == 2 && !IsAlpha(file, 2)))
        return {"-b", "1", "-b", "1", "-b", "1"};
    if (count == 2)
        return {"-b", "1", "-b", "1", "-b", "1", "-b", "2", "-colorinterp", "red,green,blue,alpha"};
    if (count == 3 || (count == 4 && IsAlpha(file, 4)))
        return {};
    if (IsAlpha(file, 4))
        return {"-b", "1", "-b", "2", "-b", "3", "-b", "4"};
    return {"-b", "1", "-b", "2", "-b", "3"};
}

int CPL_STDCALL StopWhenAsked(double, const char*, void* stop)
{
    return static_cast<const std::atomic<bool>*>(stop)->load() ? FALSE : TRUE;
}

// The track view's plane as PROJ gives it: equirectangular about the origin,
// true to scale along its parallel, on CTrackModel's sphere. PROJ's eqc is the
// spherical formula on the semi-major axis a; counted in units of a / R metres
// it gives the plane's metres exactly. The datum stays WGS 84: on a sphere of
// its own PROJ would find no datum step from a raster on another datum
// (OSGB 36, ETRS 89 by grid) and leave out the shift of up to 100 m.
std::string PlaneDefinition(const MAP_VIEW& view)
{
    constexpr double kWgs84SemiMajor = 6378137.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "+proj=eqc +lat_ts=%.12g +lat_0=%.12g +lon_0=%.12g +x_0=0 +y_0=0 +datum=WGS84 +to_meter=%.17g "
                  "+no_defs +type=crs",
                  view.dfOriginLat, view.dfOriginLat, view.dfOriginLong, kWgs84SemiMajor / CGeoDistance::kEarthRadius);
    return text;
}

} // namespace

std::unique_ptr<CMapRaster> CMapRaster::Open(const std::string& path, std::string& error)
{
    const std::string shown = EscapeControlBytes(path);
    if (path.empty()) {
        error = "no map file is set";
        return nullptr;
    }
    const FileKind kind = KindOfFile(path);
    if (kind == FileKind::Missing) {
        error = "the map " + shown + " does not exist";
        return nullptr;
    }
    if (kind != FileKind::Regular && kind != FileKind::Folder) {
        error = "the map " + shown + " is " + FileKindText(kind) + ", not a map file";
        return nullptr;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        error = "the map " + shown + " cannot be read: " + std::strerror(errno);
        return nullptr;
    }
    CGdalMessages messages;
    std::unique_ptr<CMapRaster> map(new CMapRaster());
    map->m_path = path;
    map->m_file.reset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!map->m_file || map->m_file->GetRasterCount() == 0) {
        error = "the map " + shown + " is not a picture fieldbook can draw (a GeoTIFF, MBTiles or a GeoPackage "
                "with tiles)";
        return nullptr;
    }
    const OGRSpatialReference* crs = map->m_file->GetSpatialRef();
    if (crs == nullptr || crs->IsEmpty()) {
        error = "the map " + shown + " does not say where on earth it lies (it has no coordinate reference system)";
        return nullptr;
    }
    double transform[6];
    if (map->m_file->GetGeoTransform(transform) != CE_None) {
        error = "the map " + shown + " does not say where on earth it lies (it is not georeferenced)";
        return nullptr;
    }
    OGRSpatialReference wgs84;
    wgs84.SetWellKnownGeogCS("WGS84");
    std::unique_ptr<OGRCoordinateTransformation> toWgs84(OGRCreateCoordinateTransformation(crs, &wgs84));
    if (!toWgs84) {
        error = "the map " + shown + " is in a coordinate reference system fieldbook cannot place (" +
                messages.LastError("PROJ knows no way to WGS 84") + ")";
        return nullptr;
    }
    std::vector<std::string> bands = ColourBands(*map->m_file);
    if (!bands.empty()) {
        CArgs args{"-of", "VRT"};
        for (const std::string& arg : bands)
            args.Add(arg);
        GDALTranslateOptions* options = GDALTranslateOptionsNew(args.Get(), nullptr);
        int usageError = FALSE;
        map->m_colours.reset(GDALDataset::FromHandle(
            GDALTranslate("", GDALDataset::ToHandle(map->m_file.get()), options, &usageError)));
        GDALTranslateOptionsFree(options);
        if (!map->m_colours) {
            error = "the map " + shown + " has colours fieldbook cannot read (" +
                    messages.LastError("GDAL cannot make them red, green and blue") + ")";
            return nullptr;
        }
    }
    return map;
}

MapRender CMapRaster::Render(const MAP_VIEW& view, uint32_t* pixels, const std::atomic<bool>& stop,
                             std::string& error)
{
    CGdalMessages messages;
    const int width = view.nWidth;
    const int height = view.nHeight;
    if (!m_target || m_target->GetRasterXSize() != width || m_target->GetRasterYSize() != height) {
        m_target.reset();
        GDALDriver* memory = GetGDALDriverManager()->GetDriverByName("MEM");
        if (memory != nullptr)
            m_target.reset(memory->Create("", width, height, 4, GDT_Byte, nullptr));
        if (!m_target) {
            error = messages.LastError("no memory for the map's picture");
            return MapRender::Failed;
        }
        m_target->GetRasterBand(4)->SetColorInterpretation(GCI_AlphaBand);
    }
    for (int band = 1; band <= 4; ++band)
        m_target->GetRasterBand(band)->Fill(0.0);
    double transform[6] = {view.West(), 1.0 / view.dfScale, 0.0, view.North(), 0.0, -1.0 / view.dfScale};
    m_target->SetGeoTransform(transform);
    OGRSpatialReference plane;
    if (plane.SetFromUserInput(PlaneDefinition(view).c_str()) != OGRERR_NONE) {
        error = messages.LastError("PROJ cannot describe the track view's plane");
        return MapRender::Failed;
    }
    m_target->SetSpatialRef(&plane);

    // Bilinear from the overview nearest the scale (gdalwarp's default -ovr
    // AUTO); INIT_DEST=0: the picture was cleared above, and is kept
    // transparent where the raster has nothing.
    CArgs args{"-r", "bilinear", "-dstalpha", "-wo", "INIT_DEST=0"};
    if (Source()->GetRasterCount() == 4)
        args.Add("-srcalpha");
    GDALWarpAppOptions* options = GDALWarpAppOptionsNew(args.Get(), nullptr);
    GDALWarpAppOptionsSetProgress(options, StopWhenAsked, const_cast<std::atomic<bool>*>(&stop));
    GDALDatasetH source = GDALDataset::ToHandle(Source());
    int usageError = FALSE;
    GDALDatasetH done = GDALWarp(nullptr, GDALDataset::ToHandle(m_target.get()), 1, &source, options, &usageError);
    GDALWarpAppOptionsFree(options);
    if (stop.load())
        return MapRender::Stopped;
    if (done == nullptr) {
        error = messages.LastError("the map could not be warped into the view");
        return MapRender::Failed;
    }
    // 0xAARRGGBB in memory: blue, green, red, alpha from the lowest byte up
    // on a little-endian machine.
    int bandMap[4] = {3, 2, 1, 4};
    if constexpr (std::endian::native == std::endian::big) {
        bandMap[0] = 4;
        bandMap[1] = 1;
        bandMap[2] = 2;
        bandMap[3] = 3;
    }
    if (m_target->RasterIO(GF_Read, 0, 0, width, height, pixels, width, height, GDT_Byte, 4, bandMap, 4,
                           static_cast<GSpacing>(width) * 4, 1, nullptr) != CE_None) {
        error = messages.LastError("the map's picture could not be read back");
        return MapRender::Failed;
    }
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t p = pixels[i];
        const uint32_t alpha = p >> 24;
        if (alpha == 0xff)
            continue;
        if (alpha == 0) {
            pixels[i] = 0;
            continue;
        }
        // Premultiplied, as the window's painter draws it fastest.
        auto scale = [alpha](uint32_t channel) { return (channel * alpha + 127) / 255; };
        pixels[i] = (alpha << 24) | (scale((p >> 16) & 0xff) << 16) | (scale((p >> 8) & 0xff) << 8) | scale(p & 0xff);
    }
    return MapRender::Drawn;
}

std::unique_ptr<IMapBackdrop> OpenMapRaster(const std::string& path, std::string& error)
{
    return CMapRaster::Open(path, error);
}
