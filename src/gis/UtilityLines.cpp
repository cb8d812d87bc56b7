#include "gis/UtilityLines.h"

#include <algorithm>
#include <cmath>
#include <geodesic.h>
#include <map>
#include <tuple>

#include "point/Heights.h"

std::vector<UTILITY_LINE> BuildUtilityLines(const LOGGED_POINT* points, size_t count)
{
    // GRS 80 / WGS 84 (the difference in f is far below a millimetre here).
    geod_geodesic geodesic{};
    geod_init(&geodesic, 6378137.0, 1.0 / 298.257223563);
    std::vector<UTILITY_LINE> lines;
    std::map<std::tuple<std::string, std::string, int32_t>, size_t> byKey;
    for (size_t i = 0; i < count; ++i) {
        const LOGGED_POINT& p = points[i];
        const UTILITY_TAG& u = p.Record.Utility;
        if (!u.IsSet() || p.Record.bVoid || p.Point.GpsFix.nGpsFix == 0)
            continue;
        const double lat = SignedLatitude(p.Point.GpsFix);
        const double lon = SignedLongitude(p.Point.GpsFix);
        if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90.0 || std::fabs(lon) > 180.0)
            continue;
        const auto key = std::make_tuple(u.type, u.id, u.segment);
        auto [it, bNew] = byKey.emplace(key, lines.size());
        if (bNew) {
            lines.emplace_back();
            lines.back().Utility = u;
            lines.back().u32FirstLog = p.Point.LocateData.u32EepromFileIndex;
        }
        UTILITY_LINE& line = lines[it->second];
        if (!line.lat.empty()) {
            double s12 = 0.0;
            geod_inverse(&geodesic, line.lat.back(), line.lon.back(), lat, lon, &s12, nullptr, nullptr);
            line.dfLength += s12;
        }
        line.points.push_back(i);
        line.lat.push_back(lat);
        line.lon.push_back(lon);
        line.elevation.push_back(p.Heights.UtilityElevation.value_or(std::nan("")));
        line.u32LastLog = p.Point.LocateData.u32EepromFileIndex;
        if (const auto depth = PointDepthMetres(p.Point)) {
            line.MinDepth = line.MinDepth ? std::min(*line.MinDepth, *depth) : *depth;
            line.MaxDepth = line.MaxDepth ? std::max(*line.MaxDepth, *depth) : *depth;
        }
    }
    return lines;
}
