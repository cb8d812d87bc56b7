// Georeferenced rasters made with GDAL for the map's tests and benchmark: four
// quadrants of known colours about a place, in any CRS, as RGB, paletted or
// grey, with overviews when asked. Header only: the programs that include it
// link GDAL themselves (the shared test helpers do not).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gdal_priv.h>
#include <ogr_spatialref.h>

enum class RasterColours { Rgb, Paletted, Grey };

struct TEST_RASTER {
    std::string crs = "EPSG:4326"; // empty: a raster without a CRS
    double dfCentreLat = 52.5;      // its middle, WGS 84 degrees
    double dfCentreLong = 13.4;
    double dfHalfMetres = 500.0; // half its width and height on the ground
    int nSize = 400;             // pixels each way
    RasterColours colours = RasterColours::Rgb;
    bool bOverviews = false;
    bool bGridLines = false; // dark lines every 100 pixels, for a busier picture
};

// Quadrant colours 0xRRGGBB: north-west, north-east, south-west, south-east.
inline constexpr uint32_t kQuadrantColour[4] = {0xd04040, 0x40a040, 0x4060d0, 0xe0c020};
// The grey raster's values of the same quadrants.
inline constexpr uint8_t kQuadrantGrey[4] = {40, 100, 160, 220};

// Writes a tiled GeoTIFF at path; false with GDAL's message when it cannot.
inline bool WriteTestRaster(const std::string& path, const TEST_RASTER& spec, std::string& error)
{
    GDALAllRegister();
    constexpr double kMetresPerDegree = 111195.0;
    const double dLat = spec.dfHalfMetres / kMetresPerDegree;
    const double dLong = spec.dfHalfMetres / (kMetresPerDegree * std::cos(spec.dfCentreLat * M_PI / 180.0));
    double xs[4] = {spec.dfCentreLong - dLong, spec.dfCentreLong + dLong, spec.dfCentreLong, spec.dfCentreLong};
    double ys[4] = {spec.dfCentreLat, spec.dfCentreLat, spec.dfCentreLat - dLat, spec.dfCentreLat + dLat};
    OGRSpatialReference crs;
    if (!spec.crs.empty()) {
        OGRSpatialReference wgs84;
        wgs84.SetWellKnownGeogCS("WGS84");
        wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        if (crs.SetFromUserInput(spec.crs.c_str()) != OGRERR_NONE) {
            error = "unknown CRS " + spec.crs;
            return false;
        }
        crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        OGRCoordinateTransformation* ct = OGRCreateCoordinateTransformation(&wgs84, &crs);
        if (ct == nullptr || !ct->Transform(4, xs, ys)) {
            error = "cannot transform into " + spec.crs;
            OGRCoordinateTransformation::DestroyCT(ct);
            return false;
        }
        OGRCoordinateTransformation::DestroyCT(ct);
    }
    const double west = xs[0], east = xs[1], south = ys[2], north = ys[3];
    const int n = spec.nSize;
    const int bands = spec.colours == RasterColours::Rgb ? 3 : 1;
    GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    const char* options[] = {"TILED=YES", "COMPRESS=LZW", "BIGTIFF=IF_SAFER", nullptr};
    GDALDatasetUniquePtr ds(gtiff->Create(path.c_str(), n, n, bands, GDT_Byte, const_cast<char**>(options)));
    if (!ds) {
        error = "cannot create " + path;
        return false;
    }
    double transform[6] = {west, (east - west) / n, 0.0, north, 0.0, -(north - south) / n};
    ds->SetGeoTransform(transform);
    if (!spec.crs.empty())
        ds->SetSpatialRef(&crs);
    if (spec.colours == RasterColours::Paletted) {
        GDALColorTable table;
        for (int i = 0; i < 4; ++i) {
            const GDALColorEntry entry{static_cast<short>(kQuadrantColour[i] >> 16),
                                       static_cast<short>((kQuadrantColour[i] >> 8) & 0xff),
                                       static_cast<short>(kQuadrantColour[i] & 0xff), 255};
            table.SetColorEntry(i, &entry);
        }
        const GDALColorEntry black{0, 0, 0, 255};
        table.SetColorEntry(4, &black);
        ds->GetRasterBand(1)->SetColorTable(&table);
        ds->GetRasterBand(1)->SetColorInterpretation(GCI_PaletteIndex);
    }
    constexpr int kStrip = 256;
    std::vector<uint8_t> strip(static_cast<size_t>(n) * kStrip * static_cast<size_t>(bands));
    for (int top = 0; top < n; top += kStrip) {
        const int rows = std::min(kStrip, n - top);
        for (int r = 0; r < rows; ++r) {
            const int row = top + r;
            for (int col = 0; col < n; ++col) {
                const int quadrant = (row < n / 2 ? 0 : 2) + (col < n / 2 ? 0 : 1);
                const bool line = spec.bGridLines && (row % 100 == 0 || col % 100 == 0);
                for (int b = 0; b < bands; ++b) {
                    uint8_t value = 0;
                    if (spec.colours == RasterColours::Rgb)
                        value = line ? 0x20 : static_cast<uint8_t>(kQuadrantColour[quadrant] >> (8 * (2 - b)));
                    else if (spec.colours == RasterColours::Grey)
                        value = line ? 0 : kQuadrantGrey[quadrant];
                    else
                        value = static_cast<uint8_t>(line ? 4 : quadrant);
                    strip[(static_cast<size_t>(b) * rows + r) * n + col] = value;
                }
            }
        }
        if (ds->RasterIO(GF_Write, 0, top, n, rows, strip.data(), n, rows, GDT_Byte, bands, nullptr, 0, 0, 0,
                         nullptr) != CE_None) {
            error = "cannot write " + path;
            return false;
        }
    }
    if (spec.bOverviews) {
        std::vector<int> levels;
        for (int factor = 2; n / factor >= 128; factor *= 2)
            levels.push_back(factor);
        if (ds->BuildOverviews("AVERAGE", static_cast<int>(levels.size()), levels.data(), 0, nullptr, nullptr,
                               nullptr) != CE_None) {
            error = "cannot build the overviews of " + path;
            return false;
        }
    }
    return true;
}
