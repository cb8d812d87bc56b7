#include "gis/ReportSources.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>

#include "gis/GdalErrors.h"
#include "gis/MapGrid.h"
#include "platform/ClassicNumbers.h"

namespace {

struct DatasetCloser {
    void operator()(GDALDatasetH dataset) const { GDALClose(dataset); }
};
using DatasetPtr = std::unique_ptr<void, DatasetCloser>;

} // namespace

bool ReadReportSurveys(const std::vector<std::string>& paths, std::vector<REPORT_SURVEY>& surveys,
                       std::string& error)
{
    GisInit();
    for (const std::string& path : paths) {
        std::vector<SURVEY_INPUT> inputs;
        if (!ReadSurveyInput(path, inputs, error))
            return false;
        size_t count = 0;
        for (SURVEY_INPUT& input : inputs) {
            count += input.points.size();
            // The job as the input keeps it: a log's companion record, a
            // GeoPackage's metadata.
            if (!input.points.empty())
                surveys.push_back({input.log, input.log.job, std::move(input.points)});
        }
        if (count == 0) {
            error = path + " holds no survey points";
            return false;
        }
    }
    return true;
}

std::string UtmCrsFor(double latitude, double longitude)
{
    int zone = static_cast<int>(std::floor((longitude + 180.0) / 6.0)) + 1;
    zone = zone < 1 ? 1 : (zone > 60 ? 60 : zone);
    return "EPSG:" + std::to_string((latitude < 0.0 ? 32700 : 32600) + zone);
}

bool DescribeMapGrid(const CMapGrid& grid, std::string& name, double& metresPerUnit, std::string& error)
{
    GisInit();
    OGRSpatialReference srs;
    if (srs.importFromWkt(grid.TargetWkt().c_str()) != OGRERR_NONE) {
        error = grid.TargetCrs() + " cannot be read as a CRS";
        return false;
    }
    if (!srs.IsProjected()) {
        error = grid.TargetCrs() + " is not a projected CRS: a map sheet needs a grid in metres or feet";
        return false;
    }
    const char* own = srs.GetName();
    name = own != nullptr ? own : grid.TargetCrs();
    metresPerUnit = srs.GetLinearUnits(nullptr);
    if (!(metresPerUnit > 0.0))
        metresPerUnit = 1.0;
    return true;
}

bool CheckMapRaster(const std::string& path, std::string& error)
{
    GisInit();
    CGdalMessages messages;
    DatasetPtr dataset(GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!dataset) {
        error = messages.LastError("the map raster " + path + " cannot be opened");
        if (error.find(path) == std::string::npos)
            error = "the map raster " + path + " cannot be opened: " + error;
        return false;
    }
    const char* wkt = GDALGetProjectionRef(dataset.get());
    if (wkt == nullptr || *wkt == '\0') {
        error = "the map raster " + path + " has no spatial reference";
        return false;
    }
    if (GDALGetRasterCount(dataset.get()) < 1) {
        error = "the map raster " + path + " has no band";
        return false;
    }
    return true;
}

bool RenderMapRaster(const std::string& path, const CMapGrid& grid, double minX, double minY, double maxX,
                     double maxY, int width, int height, std::vector<uint32_t>& argb, std::string& error)
{
    GisInit();
    CGdalMessages messages;
    DatasetPtr source(GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!source) {
        error = messages.LastError("the map raster " + path + " cannot be opened");
        return false;
    }
    // The horizontal part alone: a compound grid's vertical datum means
    // nothing to a picture.
    OGRSpatialReference srs;
    srs.importFromWkt(grid.TargetWkt().c_str());
    if (srs.IsCompound())
        srs.StripVertical();
    char* target = nullptr;
    srs.exportToWkt(&target);
    const std::string targetWkt = target != nullptr ? target : "";
    CPLFree(target);
    CClassicNumbers classic;
    auto number = [](double value) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", value);
        return std::string(text);
    };
    const std::vector<std::string> words = {"-of", "MEM", "-t_srs", targetWkt, "-te", number(minX), number(minY),
                                            number(maxX), number(maxY), "-ts", std::to_string(width),
                                            std::to_string(height), "-r", "bilinear", "-dstalpha"};
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    GDALWarpAppOptions* options = GDALWarpAppOptionsNew(argv.data(), nullptr);
    GDALDatasetH sources[] = {source.get()};
    int usageError = 0;
    DatasetPtr warped(GDALWarp("", nullptr, 1, sources, options, &usageError));
    GDALWarpAppOptionsFree(options);
    if (!warped) {
        error = messages.LastError("the map raster " + path + " cannot be resampled into " + grid.TargetCrs());
        return false;
    }
    const int bands = GDALGetRasterCount(warped.get());
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (bands < 2 || bands > 5) {
        error = "the map raster " + path + " has " + std::to_string(bands - 1) + " bands; 1, 3 or 4 are drawn";
        return false;
    }
    std::vector<uint8_t> plane[5];
    for (int b = 0; b < bands; ++b) {
        plane[b].resize(pixels);
        if (GDALRasterIO(GDALGetRasterBand(warped.get(), b + 1), GF_Read, 0, 0, width, height, plane[b].data(),
                         width, height, GDT_Byte, 0, 0) != CE_None) {
            error = messages.LastError("the map raster " + path + " cannot be read");
            return false;
        }
    }
    // The last band is the alpha -dstalpha added.
    const int colours = bands - 1;
    GDALColorTableH palette = colours == 1 ? GDALGetRasterColorTable(GDALGetRasterBand(warped.get(), 1)) : nullptr;
    argb.assign(pixels, 0u);
    for (size_t i = 0; i < pixels; ++i) {
        const uint32_t alpha = plane[bands - 1][i];
        uint32_t r = 0, g = 0, b = 0;
        if (palette != nullptr) {
            const GDALColorEntry* entry = GDALGetColorEntry(palette, plane[0][i]);
            if (entry != nullptr)
                r = static_cast<uint32_t>(entry->c1), g = static_cast<uint32_t>(entry->c2),
                b = static_cast<uint32_t>(entry->c3);
        } else if (colours >= 3) {
            r = plane[0][i], g = plane[1][i], b = plane[2][i];
        } else {
            r = g = b = plane[0][i];
        }
        argb[i] = (alpha << 24) | (r << 16) | (g << 8) | b;
    }
    return true;
}
