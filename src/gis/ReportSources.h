// What the client's report reads through the GIS room: the surveys of its
// inputs (survey logs with their companion records, or fieldbook
// GeoPackages), the map grid's name and units, and a map raster resampled
// into the map grid for a sheet's extent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gis/SurveyExport.h"
#include "surveylog/PointRecord.h"

class CMapGrid;

// One survey of the report's inputs, its points in log order.
struct REPORT_SURVEY {
    LOG_ID log;
    JOB_INFO job; // the companion record's job; empty where none is known
    std::vector<LOGGED_POINT> points;
};

// Reads every input; false with the reason in error for an input that is
// neither a survey log nor a fieldbook GeoPackage, cannot be read, or holds
// no point.
bool ReadReportSurveys(const std::vector<std::string>& paths, std::vector<REPORT_SURVEY>& surveys,
                       std::string& error);

// The UTM zone of WGS 84 a position lies in ("EPSG:32633"): the report's map
// grid when none is asked for.
std::string UtmCrsFor(double latitude, double longitude);

// The map grid's name ("WGS 84 / UTM zone 33N") and metres per unit of its
// easting and northing (0.3048006096 for US survey feet). False with the
// reason when the CRS is not projected: a map sheet needs a grid.
bool DescribeMapGrid(const CMapGrid& grid, std::string& name, double& metresPerUnit, std::string& error);

// A map raster (any raster GDAL reads that has a spatial reference).
// CheckMapRaster: false with the reason when it cannot be used.
bool CheckMapRaster(const std::string& path, std::string& error);

// The raster resampled into the grid's CRS for the extent [minX, maxX] x
// [minY, maxY] (grid units) at width x height pixels, as 0xAARRGGBB words,
// top row first; where the raster has no data, transparent.
bool RenderMapRaster(const std::string& path, const CMapGrid& grid, double minX, double minY, double maxX,
                     double maxY, int width, int height, std::vector<uint32_t>& argb, std::string& error);
