// The output formats of the survey as GIS data: each is one row of a table
// (GDAL driver name, file extension, creation options, how it lays out the
// points and the track), so a new format is a new row, not a new branch.
#pragma once

#include <string>

enum class TrackLayout {
    SameDataset, // both layers in one dataset (GeoPackage, KML, GPX, DXF, a database)
    SiblingFile, // one layer per file: the track goes to "<stem>_track<ext>" beside the points
};

// Which attributes a format carries on its point features.
enum class PointAttributes {
    Survey,      // the 43 log columns and LogFile, typed
    SurveyNamed, // the same, plus Name ("<LogFile>:<Log>") and Description (the measured values)
    GpxWaypoint, // GPX: name, desc, time (the fix's date and time); elevation from Z
    CadEntity,   // DXF: the drawing layer name only (survey_points, survey_track, utility_points)
};

struct GIS_FORMAT {
    const char* pszDriver;     // GDAL vector driver name
    const char* pszExtension;  // with its dot; also how the format is guessed from a name
    const char* pszPointLayer; // layer names as the format wants them
    const char* pszTrackLayer;
    const char* const* papszDatasetOptions; // NULL-terminated, may be nullptr
    const char* const* papszPointOptions;
    const char* const* papszTrackOptions;
    TrackLayout eTrack;
    PointAttributes eAttributes;
    bool bAppendable;     // an existing output can take more points (keyed LogFile + Log)
    bool bEmptyGeometry;  // a point without a fix gets an empty Point Z (else no geometry)
    // Where a point's utility goes (a Point Z at its UtilityElevation, for
    // each point with one): a layer of its own, the point layer itself for
    // DXF (a 3D point on its own drawing layer), or nullptr for none.
    const char* pszUtilityLayer;
    // QGIS reads default styles from the dataset's layer_styles table.
    bool bLayerStyles;
    // A Point Z layer takes a point without a height (2D) beside the others;
    // else every point needs one (Shapefile, FlatGeobuf, CSV's Z column).
    bool bPointWithoutZ = false;
};

// The row of a GDAL driver name (letter case ignored), or nullptr.
const GIS_FORMAT* FindFormatByDriver(const std::string& driver);
// The row whose extension ends path (letter case ignored), or nullptr.
const GIS_FORMAT* FindFormatByPath(const std::string& path);
// The GeoPackage row: the file kept beside each survey log.
const GIS_FORMAT& GeoPackageFormat();
// The PostgreSQL row: the office database, "PG:<connection>" (see PgTarget.h).
const GIS_FORMAT& DatabaseFormat();
// Driver names of every row, comma-separated, for messages and --help.
std::string FormatNames();

// Layer names of the GeoPackage and of every format without conventions of its own.
inline constexpr char kPointLayer[] = "survey_points";
inline constexpr char kTrackLayer[] = "survey_track";
