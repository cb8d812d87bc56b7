// The survey as GIS features. survey_points: one feature per logged point, its
// attributes named as the log's 43 headings and typed (integers as integers,
// measurements as reals, the two dates as dates, the two times as text in the
// log's own form, since GeoPackage has no time type), then LogFile, the name of
// the log file it came from. The geometry is a Point Z in EPSG:4326 at the
// decoder's full double precision (longitude, latitude, altitude), empty for a
// point without a fix. survey_track: one LineString Z per log through its fixed
// points in order.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include <ogrsf_frmts.h>

#include "link/SurveyPoint.h"
#include "point/Heights.h"
#include "surveylog/LogTail.h"
#include "surveylog/PointRecord.h"

// One logged point as the survey log's reader gives it (PointRecord.h): a GIS
// output holds its heights as the crew's settings gave them when it was
// logged, whatever the settings are when it is written. Depth in Heights is
// unused here (the Depth field has its own rule).
using GIS_POINT = LOGGED_POINT;

// Which survey a point belongs to, the same in every output: the log's file
// name and Survey: the survey id of its companion record, or for a log
// without one a fingerprint of its first data line. Two surveys
// under one file name (two units, a log replaced by another survey) differ in
// Survey; a point is then told by its Log number and how many points of the
// survey carried that number before it.
struct LOG_ID;
// The job of a log as metadata items of a layer: FIELDBOOK_TICKET_<log file>,
// and likewise _CLIENT_, _SITE_, _CREW_. Empty parts are not written; Read
// fills only what the log does not carry yet.
void WriteJobMetadata(OGRLayer& layer, const LOG_ID& log);
void ReadJobMetadata(OGRLayer& layer, LOG_ID& log);

struct LOG_ID {
    LOG_ID() = default;
    LOG_ID(std::string file, std::string id, JOB_INFO work = {})
        : logFile(std::move(file)), survey(std::move(id)), job(std::move(work))
    {
    }
    std::string logFile;
    std::string survey;
    // The job: its ticket goes into every feature of the survey, the whole
    // job into the output's metadata; not part of which survey it is.
    JOB_INFO job;
    auto operator<=>(const LOG_ID& other) const
    {
        if (const auto order = logFile <=> other.logFile; order != 0)
            return order;
        return survey <=> other.survey;
    }
    bool operator==(const LOG_ID& other) const { return logFile == other.logFile && survey == other.survey; }
};

// The crew's marks on a point an output holds already: the point is the
// occurrence-th (from 0) of its survey with Log number key.
struct POINT_AMEND {
    int key = 0;
    int occurrence = 0;
    bool bVoid = false;
    std::string note;
};

struct SURVEY_FIELD {
    const char* pszName;
    OGRFieldType eType;
    OGRFieldSubType eSubType = OFSTNone;
    // What a GIS user sees beside the name (field alias, PostgreSQL column
    // comment): the figure's kind where the name alone would mislead.
    const char* pszAlias = nullptr;
};

// The log's 43 columns, then the fields every GIS output adds: LogFile and
// Survey, the point's position quality (GPS_QUALITY: FixType, HAccuracy,
// VAccuracy, PDOP, VDOP, CorrectionAge, Station, PositionSource, QualityOK)
// and its heights (EllipsoidHeight, GroundElevation, UtilityElevation, in
// metres), then the accuracies at 95 % (HAccuracy95, VAccuracy95: see
// point/Accuracy.h; HAccuracy itself is a DRMS, VAccuracy 1 sigma). A value
// the point lacks is NULL, never 0. QualityOK is a boolean
// (GeoPackage BOOLEAN, PostgreSQL boolean, where the format has one), NULL
// when no quality gate was set. A field added here reaches layers written
// before it: an existing layer that lacks one gets it when opened for writing
// (NULL in its old rows).
constexpr int kSurveyFieldCount = 72;
constexpr int kLogColumnCount = 43;
constexpr int kLogField = 0;      // Log, the locator's file index
constexpr int kDepthField = 3;
constexpr int kLocateField = 4;
constexpr int kLogFileField = 43; // LogFile
constexpr int kSurveyField = 44;  // Survey (see LOG_ID)
constexpr int kFixTypeField = 45;
constexpr int kUtcField = 59;     // UTC: the point's instant (see PointTime.h)
constexpr int kQualityOKField = 53;
constexpr int kEllipsoidHeightField = 54;
constexpr int kUtilityElevationField = 56;
constexpr int kHAccuracy95Field = 57;
constexpr int kVAccuracy95Field = 58;
// The crew's record of the point (POINT_RECORD): UtilityType, UtilityId,
// Colour, Owner, Size, Material, Method, QualityLevel (text), Segment, Void
// (boolean), Note, and the job's Ticket.
constexpr int kUtilityTypeField = 60;
constexpr int kSegmentField = 68;
constexpr int kVoidField = 69;
constexpr int kNoteField = 70;
constexpr int kTicketField = 71;
extern const SURVEY_FIELD kSurveyFields[kSurveyFieldCount];

// Field index in a layer of each survey field, -1 where the layer lacks it.
// bMetric: Depth in metres and Locate in milliamperes whatever the protocol
// (the log keeps centimetres or metres, amperes or milliamperes, as the
// locator's protocol sent them). A layer written before that rule carries the
// protocol's units and is kept so, so that no layer mixes units; its Depth
// has no alias "Depth (m)".
struct SURVEY_FIELD_MAP {
    int anIndex[kSurveyFieldCount];
    bool bMetric = true;
};

// The aliases that state the units where a GIS user sees them.
inline constexpr char kDepthAlias[] = "Depth (m)";
inline constexpr char kLocateAlias[] = "Locate (mA)";

// Adds every survey field to a fresh layer and records where each went (a
// format may shorten the names). False with the reason when one is refused.
bool CreateSurveyFields(OGRLayer& layer, SURVEY_FIELD_MAP& map, std::string& error);
// Finds the survey fields of an existing layer by name.
SURVEY_FIELD_MAP MapSurveyFields(OGRFeatureDefn& defn);
// The same for a layer, its units told by the aliases or, where the format
// keeps no alias (GeoPackage under GDAL 3.6), by the layer's metadata item
// FIELDBOOK_UNITS that MarkUnits wrote.
SURVEY_FIELD_MAP MapSurveyFields(OGRLayer& layer);
// States the units on a fresh layer: the item above and the layer's
// description (a GeoPackage's gpkg_contents.description, which QGIS shows).
void MarkUnits(OGRLayer& layer);
// Adds to an existing layer the survey fields it lacks beyond the log's
// columns (a layer written by an older fieldbook) and maps them all. False
// with the reason when the layer refuses one (a role that may not alter it).
bool AddMissingSurveyFields(OGRLayer& layer, SURVEY_FIELD_MAP& map, std::string& error);

// Sets every mapped survey field of feature from the point.
void FillSurveyFields(OGRFeature& feature, const SURVEY_FIELD_MAP& map, const GIS_POINT& point,
                      const LOG_ID& log);
// Reads a point back from a feature written by FillSurveyFields (position from
// the geometry, at full precision); log gets the LogFile and Survey fields
// (Survey empty in a layer written before it existed).
void ReadSurveyFields(const OGRFeature& feature, const SURVEY_FIELD_MAP& map, GIS_POINT& point, LOG_ID& log);

// Depth in metres and Locate in milliamperes whatever the protocol.
double DepthMetres(const LOCATE_DATA& ld);
double LocateMilliamperes(const LOCATE_DATA& ld);

// A real calendar date (31/2 is not one).
bool IsCalendarDate(int day, int month, int year);

// Point Z (longitude, latitude, altitude) of a point with a fix; empty Point Z
// without one. Signed degrees: negative in the south and west.
OGRPoint PointGeometry(const SURVEY_POINT& point);

// The one track builder: a point with a fix adds its position as the next
// vertex of its log's track, one without adds none; every target's track has
// these vertices, in log order, whatever way it stores them. True when added.
bool AddTrackVertex(OGRLineString& track, const SURVEY_POINT& point);

// A line naming the measured values with their units, for a placemark's
// description: "Mode 8440; Depth 123.46 cm; Locate 45.50 mA; ...".
std::string MeasurementSummary(const GIS_POINT& point);

// The float a locator sent, as the shortest decimal that reads back as that
// float (75.6, not 75.59999847): what a GIS user should see in a real field.
double FloatAsDecimal(float value);
