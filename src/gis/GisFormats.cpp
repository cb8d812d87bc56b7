#include "gis/GisFormats.h"

#include <iterator>
#include <strings.h>

#include "gis/LayerStyles.h"

namespace {

// Spatial index and a file that other programs may read while we append.
const char* const kGpkgPoints[] = {"SPATIAL_INDEX=YES", "FID=fid", nullptr};
// The measured values go into each placemark's description balloon.
// Heights above the ellipsoid or geoid, never flattened onto a viewer's terrain.
const char* const kKmlDataset[] = {"NameField=Name", "DescriptionField=Description", "AltitudeMode=absolute", nullptr};
// GPX wants EPSG:4326 and its own element names; our columns would be foreign
// elements that many receivers refuse.
const char* const kGpxTrack[] = {"FORCE_GPX_TRACK=YES", nullptr};
const char* const kCsvLayer[] = {"GEOMETRY=AS_XYZ", "CREATE_CSVT=YES", nullptr};
const char* const kCsvTrack[] = {"GEOMETRY=AS_WKT", "CREATE_CSVT=YES", nullptr};
const char* const kGeoJsonLayer[] = {"COORDINATE_PRECISION=10", "RFC7946=NO", nullptr};

// The office database: a serial fid keeps the log order, names stay exactly
// as in the GeoPackage ("Sonde/Line" too), Point Z / LineString Z.
const char* const kPgLayer[] = {"GEOMETRY_NAME=geom", "FID=fid", "LAUNDER=NO", "SPATIAL_INDEX=GIST", "DIM=XYZ",
                                nullptr};

const GIS_FORMAT kFormats[] = {
    {"GPKG", ".gpkg", kPointLayer, kTrackLayer, nullptr, kGpkgPoints, nullptr, TrackLayout::SameDataset,
     PointAttributes::Survey, true, true, kUtilityLayer, true, true},
    {"GeoJSON", ".geojson", kPointLayer, kTrackLayer, nullptr, kGeoJsonLayer, kGeoJsonLayer,
     TrackLayout::SiblingFile, PointAttributes::Survey, false, false, nullptr, false, true},
    {"KML", ".kml", kPointLayer, kTrackLayer, kKmlDataset, nullptr, nullptr, TrackLayout::SameDataset,
     PointAttributes::SurveyNamed, false, false, nullptr, false, true},
    {"GPX", ".gpx", "waypoints", "tracks", nullptr, nullptr, kGpxTrack, TrackLayout::SameDataset,
     PointAttributes::GpxWaypoint, false, false, nullptr, false, true},
    {"ESRI Shapefile", ".shp", kPointLayer, kTrackLayer, nullptr, nullptr, nullptr, TrackLayout::SiblingFile,
     PointAttributes::Survey, false, false, nullptr, false},
    {"DXF", ".dxf", "entities", "entities", nullptr, nullptr, nullptr, TrackLayout::SameDataset,
     PointAttributes::CadEntity, false, false, "entities", false, true},
    {"FlatGeobuf", ".fgb", kPointLayer, kTrackLayer, nullptr, nullptr, nullptr, TrackLayout::SiblingFile,
     PointAttributes::Survey, false, false, nullptr, false},
    {"CSV", ".csv", kPointLayer, kTrackLayer, nullptr, kCsvLayer, kCsvTrack, TrackLayout::SiblingFile,
     PointAttributes::Survey, false, false, nullptr, false},
    // Named by its "PG:" prefix rather than an extension; kept last so no
    // file name is ever taken for it. Its utility_points is a view and its
    // styles are written by the database target (PgTarget.h).
    {"PostgreSQL", "PG:", kPointLayer, kTrackLayer, nullptr, kPgLayer, kPgLayer, TrackLayout::SameDataset,
     PointAttributes::Survey, true, true, nullptr, false},
};

bool EndsWithNoCase(const std::string& text, const char* suffix)
{
    const size_t n = std::char_traits<char>::length(suffix);
    return text.size() > n && ::strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

} // namespace

const GIS_FORMAT* FindFormatByDriver(const std::string& driver)
{
    for (const GIS_FORMAT& format : kFormats) {
        if (::strcasecmp(format.pszDriver, driver.c_str()) == 0)
            return &format;
    }
    return nullptr;
}

const GIS_FORMAT* FindFormatByPath(const std::string& path)
{
    for (const GIS_FORMAT& format : kFormats) {
        if (&format == &DatabaseFormat() ? path.compare(0, 3, format.pszExtension) == 0
                                         : EndsWithNoCase(path, format.pszExtension))
            return &format;
    }
    if (EndsWithNoCase(path, ".json"))
        return FindFormatByDriver("GeoJSON");
    return nullptr;
}

const GIS_FORMAT& GeoPackageFormat() { return kFormats[0]; }

const GIS_FORMAT& DatabaseFormat() { return kFormats[std::size(kFormats) - 1]; }

std::string FormatNames()
{
    std::string names;
    for (const GIS_FORMAT& format : kFormats) {
        if (!names.empty())
            names += ", ";
        names += format.pszDriver;
    }
    return names;
}
