// The utility map of a survey: one line per utility segment, built from the
// log's whole points by this one function for every target (the GeoPackage,
// every export format, PostGIS, the report). A point belongs to the line of
// its utility type, id and segment; points are taken in Log order; a void
// point, a point without a fix and a point without a utility add nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "surveylog/PointRecord.h"

struct UTILITY_LINE {
    UTILITY_TAG Utility;      // type, id, colour, level, segment of its points
    std::vector<size_t> points; // indexes into the points given, in log order
    // Vertices: signed degrees and the utility's elevation in metres (NaN
    // where a point has none; a target writes such a line without Z or
    // with the elevations it has, never a NaN coordinate).
    std::vector<double> lon, lat, elevation;
    double dfLength = 0.0;    // metres along the WGS 84 ellipsoid (geodesics)
    std::optional<double> MinDepth, MaxDepth; // metres
    uint32_t u32FirstLog = 0, u32LastLog = 0;
};

// The lines of points[0, count), in the order each line's first point comes.
std::vector<UTILITY_LINE> BuildUtilityLines(const LOGGED_POINT* points, size_t count);
