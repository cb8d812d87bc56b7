#include "gis/SurveyExport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <cpl_conv.h>

#include "gis/GdalErrors.h"
#include "gis/GeoidGrid.h"
#include "gis/GisFormats.h"
#include "gis/MapGrid.h"
#include "surveylog/LogTail.h"
#include "gis/StagedOutput.h"
#include "gis/SurveyDataset.h"
#include "surveylog/LogFormat.h"

namespace {

// Inputs this large get progress lines.
constexpr size_t kProgressFrom = 10000;
// Points of a survey log read and written at a time: few enough that a
// chunk in memory is small beside the libraries, enough to keep the writer busy.
constexpr size_t kStreamPoints = 2000;

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first bytes of every SQLite file, GeoPackages included.
bool IsSqliteFile(const char* head, size_t length)
{
    static const char kMagic[] = "SQLite format 3";
    return length >= sizeof kMagic && std::memcmp(head, kMagic, sizeof kMagic) == 0;
}

// The survey log's own reading rules (the headings skipped, every later line
// read with the log's buffer size through its line reader, a line that yields
// no point dropped), through the one reader of survey logs.
bool ReadCsvLog(const std::string& path, std::vector<SURVEY_INPUT>& inputs, std::string& error)
{
    SURVEY_INPUT input;
    input.log.logFile = BaseName(path);
    CLogTail reader;
    size_t first = 0;
    if (!reader.ReadNew(path, input.points, first, true)) {
        error = "cannot read " + path + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    input.log.survey = reader.Survey();
    input.log.job = reader.Job();
    inputs.push_back(std::move(input));
    return true;
}

// A GeoPackage written by fieldbook, open on its layer of survey points.
struct GEOPACKAGE_INPUT {
    GDALDatasetUniquePtr dataset;
    OGRLayer* layer = nullptr;
    SURVEY_FIELD_MAP map{};
};

bool OpenGeoPackage(const std::string& path, GEOPACKAGE_INPUT& input, std::string& error)
{
    CGdalMessages messages;
    const char* const drivers[] = {"GPKG", nullptr};
    input.dataset.reset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers));
    // A writer killed in a transaction leaves a journal that only a writer
    // may roll back: the file then opens for update, as a GIS program opens it.
    if (!input.dataset) {
        input.dataset.reset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers));
        if (input.dataset)
            messages.Forget();
    }
    input.layer = input.dataset ? input.dataset->GetLayerByName(kPointLayer) : nullptr;
    if (input.layer == nullptr) {
        error = messages.LastError(path + " is not a GeoPackage with a layer " + kPointLayer);
        return false;
    }
    input.map = MapSurveyFields(*input.layer);
    if (input.map.anIndex[kLogFileField] < 0) {
        error = path + ": the layer " + kPointLayer + " has no LogFile field";
        return false;
    }
    return true;
}

// Every point of a GeoPackage in file order, each with its survey: as it
// holds it, or for points written before Survey existed, fingerprinted from
// the first point of their file as its CSV would be. False when reading failed.
bool ForEachGeoPackagePoint(const std::string& path, const std::function<bool(const LOG_ID&, const GIS_POINT&)>& take,
                            std::string& error)
{
    GEOPACKAGE_INPUT input;
    if (!OpenGeoPackage(path, input, error))
        return false;
    CGdalMessages messages;
    std::map<LOG_ID, LOG_ID> named; // as held -> as delivered
    for (auto& feature : *input.layer) {
        GIS_POINT point;
        LOG_ID log;
        ReadSurveyFields(*feature, input.map, point, log);
        const auto [entry, added] = named.try_emplace(log, log);
        if (added && log.survey.empty())
            entry->second.survey = SurveyFingerprint(point.Point);
        if (added)
            ReadJobMetadata(*input.layer, entry->second);
        if (!take(entry->second, point))
            return false;
    }
    if (messages.HadError()) {
        error = messages.LastError("cannot read " + path);
        return false;
    }
    return true;
}

bool ReadGeoPackage(const std::string& path, std::vector<SURVEY_INPUT>& inputs, std::string& error)
{
    const size_t first = inputs.size();
    return ForEachGeoPackagePoint(
        path,
        [&](const LOG_ID& log, const GIS_POINT& point) {
            auto input = std::find_if(inputs.begin() + static_cast<std::ptrdiff_t>(first), inputs.end(),
                                      [&](const SURVEY_INPUT& one) { return one.log == log; });
            if (input == inputs.end())
                input = inputs.insert(inputs.end(), SURVEY_INPUT{log, {}});
            input->points.push_back(point);
            return true;
        },
        error);
}

bool NeedsValue(int i, int argc, const char* option, std::FILE* err)
{
    if (i + 1 < argc)
        return true;
    std::fprintf(err, "fieldbook-export: %s needs a value (see --help)\n", option);
    return false;
}

InputKind KindOf(const std::string& path, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return InputKind::None;
    }
    char head[sizeof kLogHeaderLine] = {};
    const size_t length = std::fread(head, 1, sizeof head - 1, file);
    std::fclose(file);
    if (IsSqliteFile(head, length))
        return InputKind::GeoPackage;
    // Every survey log, of any age, opens with the same header line.
    if (std::strncmp(head, kLogHeaderLine, std::strlen("Log,Mode,Distance,")) != 0) {
        error = path + " is neither a survey log nor a GeoPackage";
        return InputKind::None;
    }
    return InputKind::SurveyLog;
}

} // namespace

InputKind CheckSurveyInput(const std::string& path, std::string& error)
{
    const InputKind kind = KindOf(path, error);
    GEOPACKAGE_INPUT look;
    if (kind == InputKind::GeoPackage && !OpenGeoPackage(path, look, error))
        return InputKind::None;
    return kind;
}

bool ReadSurveyInput(const std::string& path, std::vector<SURVEY_INPUT>& inputs, std::string& error)
{
    switch (KindOf(path, error)) {
    case InputKind::GeoPackage:
        return ReadGeoPackage(path, inputs, error);
    case InputKind::SurveyLog:
        return ReadCsvLog(path, inputs, error);
    case InputKind::None:
        break;
    }
    return false;
}

namespace {

// A line on stderr each time a log's points handed on pass a multiple of
// kProgressFrom (first of them before this chunk, done after it).
void TellProgress(std::FILE* err, const std::string& logFile, size_t first, size_t done)
{
    if (done / kProgressFrom > first / kProgressFrom)
        std::fprintf(err, "fieldbook-export: %s: %zu points\n", logFile.c_str(), done);
}

// Whether the survey log at path has its companion record.
bool HasRecord(const std::string& path)
{
    CLogTail reader;
    std::vector<LOGGED_POINT> first;
    size_t at = 0;
    return reader.ReadNew(path, first, at, true, 1) && reader.HasCompanion();
}

// Says on err that a log has no companion record, or that lines of it could
// not be read.
void TellRecordState(std::FILE* err, const std::string& logFile, const CLogTail& reader)
{
    if (err == nullptr)
        return;
    if (!reader.HasCompanion())
        std::fprintf(err, "%s\n", NoCompanionText(logFile).c_str());
    if (reader.BadRecords() > 0)
        std::fprintf(err, "%s\n", BadRecordsText(logFile, reader).c_str());
}

// A survey log streamed into output a chunk at a time, so that the memory an
// export takes does not grow with the log.
// The heights of a point read from a survey log, and the antenna height that
// made them.
struct LOG_HEIGHTS {
    std::function<POINT_HEIGHTS(const SURVEY_POINT&)> of;
    double dfAntennaHeight = 0.0;
};
using HeightsOf = LOG_HEIGHTS;

bool StreamSurveyLog(const std::string& path, CSurveyDataset& output, const HeightsOf& heights, std::FILE* err,
                     size_t& skipped, std::string& error)
{
    LOG_ID log{BaseName(path), ""};
    CLogTail reader;
    std::vector<GIS_POINT> chunk;
    chunk.reserve(kStreamPoints);
    for (;;) {
        size_t first = 0;
        if (!reader.ReadNew(path, chunk, first, true, kStreamPoints)) {
            error = "cannot read " + path;
            return false;
        }
        for (const SKIPPED_LINE& line : reader.Skipped()) {
            std::fprintf(err, "fieldbook-export: %s\n", SkippedText(log.logFile, line).c_str());
            ++skipped;
        }
        if (chunk.empty())
            return true;
        if (log.survey.empty()) {
            log.survey = reader.Survey();
            log.job = reader.Job();
            TellRecordState(err, log.logFile, reader);
        }
        // A point with its record keeps the heights it was logged with, and
        // the antenna height that made them.
        for (GIS_POINT& point : chunk) {
            if (!point.bRecord) {
                point.Heights = heights.of(point.Point);
                point.Record.AntennaHeight = heights.dfAntennaHeight;
            }
        }
        if (!output.AppendPoints(log, chunk.data(), chunk.size(), first, error))
            return false;
        reader.Commit();
        if (chunk.size() == kStreamPoints)
            TellProgress(err, log.logFile, first, first + chunk.size());
    }
}

// A GeoPackage streamed into output a chunk at a time, each chunk of one
// survey. The points of a survey may lie between another's (files merged):
// each survey goes on from where its last chunk ended.
bool StreamGeoPackage(const std::string& path, CSurveyDataset& output, std::FILE* err, std::string& error)
{
    std::map<LOG_ID, size_t> sent;
    std::vector<GIS_POINT> chunk;
    chunk.reserve(kStreamPoints);
    LOG_ID current;
    auto flush = [&] {
        if (chunk.empty())
            return true;
        size_t& first = sent[current];
        if (!output.AppendPoints(current, chunk.data(), chunk.size(), first, error))
            return false;
        TellProgress(err, current.logFile, first, first + chunk.size());
        first += chunk.size();
        chunk.clear();
        return true;
    };
    const bool read = ForEachGeoPackagePoint(
        path,
        [&](const LOG_ID& log, const GIS_POINT& point) {
            if ((log != current || chunk.size() == kStreamPoints) && !flush())
                return false;
            current = log;
            chunk.push_back(point);
            return true;
        },
        error);
    return read && flush();
}

} // namespace

std::string ExportUsageText()
{
    return "Usage: fieldbook-export [-f FORMAT] [--overwrite] [--antenna METRES] [--geoid GRID]\n"
           "                        [--crs CRS] -o OUTPUT LOG...\n"
           "       fieldbook-export --list-crs-grids CRS\n"
           "       fieldbook-export --help | --version\n"
           "\n"
           "Writes survey logs as GIS data: a point per logged measurement (Point Z,\n"
           "WGS 84, full precision, every log column as a typed attribute plus LogFile)\n"
           "and a track line per log through its fixed points.\n"
           "\n"
           "  LOG          a survey log DDMMhhmmss.txt, or the GeoPackage kept beside one\n"
           "  -o OUTPUT    the file to write. An existing GeoPackage gets only the points\n"
           "               it lacks (LogFile + Survey + Log is the key). One-layer formats\n"
           "               put the track beside the points, in OUTPUT's name with _track\n"
           "               before the extension; Shapefile and CSV also take a folder\n"
           "               (survey_points and survey_track in it). An output that is or\n"
           "               holds one of the LOGs is refused\n"
           "  -f FORMAT    GDAL driver: " +
           FormatNames() +
           "\n"
           "               (else guessed from OUTPUT's extension)\n"
           "  --overwrite  replace an existing output (other than a GeoPackage): only\n"
           "               the files the format writes; without it, it is refused\n"
           "  --antenna METRES\n"
           "               the antenna's height above the ground, for the heights of\n"
           "               points read from a survey log (default 0); refused for a\n"
           "               GeoPackage, which holds its points' heights\n"
           "  --geoid GRID a PROJ geoid grid (egm96_15.gtx, or a file) for those heights\n"
           "               (default: the receiver's own altitude); refused when missing,\n"
           "               and for a GeoPackage\n"
           "  --crs CRS    reproject every layer into CRS (EPSG:32633, or compound\n"
           "               EPSG:32633+5773), every Z in its unit (from the ellipsoidal\n"
           "               height into a vertical datum); refused, naming the grid,\n"
           "               when its best transformation needs a grid that is not\n"
           "               installed\n"
           "  --list-crs-grids CRS\n"
           "               the grids the transformations into CRS use, and whether\n"
           "               each is installed\n"
           "  --help       this text\n"
           "  --version    the version\n"
           "\n"
           "Exit status 0 when every log was written (or the grids were listed), 2 on\n"
           "any error, 3 when everything was written but lines of a log that are no\n"
           "point were skipped (each named: \"Skipped: LOG line N: C columns\").\n";
}

namespace {

// Where an option that takes a text, kept as given, keeps it; nullptr for
// any other argument.
std::string* TextOption(EXPORT_REQUEST& request, const std::string& arg)
{
    const std::pair<const char*, std::string EXPORT_REQUEST::*> options[] = {
        {"--geoid", &EXPORT_REQUEST::geoid}, {"--crs", &EXPORT_REQUEST::crs},
        {"--list-crs-grids", &EXPORT_REQUEST::listGridsOf}, {"-f", &EXPORT_REQUEST::format},
        {"-o", &EXPORT_REQUEST::output}};
    for (const auto& [name, member] : options) {
        if (arg == name)
            return &(request.*member);
    }
    return nullptr;
}

} // namespace

int ParseExportCommandLine(int argc, char** argv, EXPORT_REQUEST& request, std::FILE* out, std::FILE* err)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(ExportUsageText().c_str(), out);
            return 0;
        }
        if (arg == "--version") {
            std::fprintf(out, "fieldbook-export %s\n", FIELDBOOK_VERSION);
            request.bVersion = true;
            return 0;
        }
        if (arg == "--overwrite") {
            request.bOverwrite = true;
        } else if (arg == "--antenna") {
            if (!NeedsValue(i, argc, "--antenna", err))
                return 2;
            char* end = nullptr;
            request.bAntenna = true;
            request.dfAntennaHeight = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !std::isfinite(request.dfAntennaHeight) ||
                request.dfAntennaHeight < 0.0 || request.dfAntennaHeight > kMaxAntennaHeight) {
                std::fprintf(err, "fieldbook-export: --antenna takes metres from 0 to %g, not '%s'\n",
                             kMaxAntennaHeight, argv[i]);
                return 2;
            }
        } else if (std::string* text = TextOption(request, arg)) {
            if (!NeedsValue(i, argc, arg.c_str(), err))
                return 2;
            *text = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(err, "fieldbook-export: unknown option '%s' (see --help)\n", arg.c_str());
            return 2;
        } else {
            request.logs.push_back(arg);
        }
    }
    if (!request.listGridsOf.empty())
        return -1;
    if (request.output.empty() || request.logs.empty()) {
        std::fprintf(err, "fieldbook-export: needs -o OUTPUT and at least one LOG (see --help)\n");
        return 2;
    }
    return -1;
}

namespace {

// --list-crs-grids: one line per grid, best transformation's first.
int ListGrids(const std::string& crs, std::FILE* out, std::FILE* err)
{
    std::vector<CRS_GRID> grids;
    std::string error;
    if (!ListCrsGrids(crs, grids, error)) {
        std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
        return 2;
    }
    if (grids.empty())
        std::fprintf(out, "%s: no grid needed\n", crs.c_str());
    for (const CRS_GRID& grid : grids) {
        std::fprintf(out, "%s\t%s\t%s%s%s\t%s\n", grid.name.c_str(), grid.bAvailable ? "installed" : "missing",
                     grid.package.c_str(), grid.package.empty() || grid.url.empty() ? "" : " ", grid.url.c_str(),
                     grid.operation.c_str());
    }
    return 0;
}

} // namespace

namespace {

// Points delivered at their horizontal position only, told once per export.
void TellHeightsMissing(std::FILE* err, const GIS_FORMAT& format, const CMapGrid* grid, size_t points,
                        size_t utilities)
{
    if (points == 0 && utilities == 0)
        return;
    const std::string where = grid != nullptr ? " in " + grid->TargetCrs() : std::string();
    const std::string how = format.bPointWithoutZ
                                ? std::string("without a Z")
                                : std::string("with Z 0 (") + format.pszDriver + " gives every point a Z)";
    std::fprintf(err,
                 "fieldbook-export: %zu points and %zu utility points have no height%s: delivered at their "
                 "horizontal position %s, left out of the track; their height fields are NULL\n",
                 points, utilities, where.c_str(), how.c_str());
}

} // namespace

int RunExport(const EXPORT_REQUEST& request, std::FILE* err)
{
    if (!request.listGridsOf.empty())
        return ListGrids(request.listGridsOf, stdout, err);
    const GIS_FORMAT* format =
        request.format.empty() ? FindFormatByPath(request.output) : FindFormatByDriver(request.format);
    if (format == nullptr) {
        if (request.format.empty())
            std::fprintf(err, "fieldbook-export: cannot tell the format from '%s'; name one with -f (%s)\n",
                         request.output.c_str(), FormatNames().c_str());
        else
            std::fprintf(err, "fieldbook-export: unknown format '%s' (one of: %s)\n", request.format.c_str(),
                         FormatNames().c_str());
        return 2;
    }
    SetGisMessageHook([err](const std::string& text) { std::fprintf(err, "fieldbook-export: GDAL: %s\n", text.c_str()); });

    // A grid named is used or the export refused: never a height left as the
    // receiver's when the office asked for another geoid.
    std::unique_ptr<CGeoidGrid> geoid;
    if (!request.geoid.empty()) {
        std::string error;
        geoid = CGeoidGrid::Open(request.geoid, error);
        if (!geoid) {
            std::fprintf(err, "fieldbook-export: --geoid %s: %s\n", request.geoid.c_str(), error.c_str());
            return 2;
        }
    }
    // A map grid whose best transformation needs a grid that is not here is
    // refused, naming it: never a ballpark transformation in its place.
    std::unique_ptr<CMapGrid> grid;
    if (!request.crs.empty()) {
        std::string error;
        if (format->eAttributes == PointAttributes::GpxWaypoint || format->eAttributes == PointAttributes::SurveyNamed) {
            std::fprintf(err, "fieldbook-export: %s holds WGS 84 only; --crs takes another format\n", format->pszDriver);
            return 2;
        }
        grid = CMapGrid::Create(request.crs, error, std::nullopt, nullptr,
                                format->eAttributes == PointAttributes::CadEntity);
        if (!grid) {
            std::fprintf(err, "fieldbook-export: --crs %s: %s\n", request.crs.c_str(), error.c_str());
            return 2;
        }
    }
    const HeightsOf heights{[&request, &geoid](const SURVEY_POINT& point) {
                                return PointHeights(point, request.dfAntennaHeight, geoid.get());
                            },
                            request.dfAntennaHeight};

    // Every input is looked at before the output is touched; then each is
    // streamed. Whatever fails later leaves the output as it was: a new one
    // is never renamed into place, an existing GeoPackage has its transaction
    // undone.
    std::vector<std::pair<std::string, InputKind>> order;
    for (const std::string& path : request.logs) {
        std::string error;
        const InputKind kind = CheckSurveyInput(path, error);
        if (kind == InputKind::None) {
            std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
            return 2;
        }
        // A GeoPackage, and a survey log with its companion record, hold the
        // heights their points were logged with: an antenna or geoid given
        // for them would change nothing, and is refused rather than quietly
        // ignored.
        if ((kind == InputKind::GeoPackage || (kind == InputKind::SurveyLog && HasRecord(path))) &&
            (request.bAntenna || !request.geoid.empty())) {
            std::fprintf(err, "fieldbook-export: %s holds its points' heights; %s applies to survey logs only\n",
                         path.c_str(), request.bAntenna ? "--antenna" : "--geoid");
            return 2;
        }
        order.emplace_back(path, kind);
    }

    // The memory an export takes stays flat as the log grows: SQLite keeps
    // its own small page cache (the system's file cache holds the rest), and
    // a GeoPackage's spatial indexes are built from the table at the end, not
    // from a list of every point's box kept in memory for a building thread.
    CPLSetThreadLocalConfigOption("OGR_GPKG_ALLOW_THREADED_RTREE", "NO");
    std::string error;
    CStagedOutput place;
    if (!place.Plan(*format, request.output, request.bOverwrite, request.logs, error) || !place.Stage(error)) {
        std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
        return 2;
    }
    std::unique_ptr<CSurveyDataset> output =
        CSurveyDataset::Open(*format, place.PointPath(), error, -1, place.TrackPath(), grid.get());
    if (!output) {
        std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
        return 2;
    }
    size_t skipped = 0;
    for (const auto& [path, kind] : order) {
        const bool streamed = kind == InputKind::SurveyLog ? StreamSurveyLog(path, *output, heights, err, skipped, error)
                                                           : StreamGeoPackage(path, *output, err, error);
        if (!streamed) {
            std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
            output->Rollback();
            return 2;
        }
    }
    bool ok = output->Commit(error);
    const size_t points = output->PointFeatures();
    const size_t placed = output->PlacedFeatures();
    const size_t tracks = output->TrackFeatures();
    const size_t withoutZ = output->PointsWithoutZ();
    const size_t utilitiesWithoutZ = output->UtilitiesWithoutZ();
    const size_t outside = output->PointsOutsideArea();
    ok = ok && output->Close(error);
    output.reset();
    if (!ok || !place.Verify(points, placed, tracks, error) || !place.Publish(error)) {
        std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
        return 2;
    }
    TellHeightsMissing(err, *format, grid.get(), withoutZ, utilitiesWithoutZ);
    if (outside > 0)
        std::fprintf(err, "fieldbook-export: warning: %zu points lie outside the area of use of %s\n", outside,
                     request.crs.c_str());
    return skipped > 0 ? kExitSkippedLines : 0;
}

std::string SkippedText(const std::string& logFile, const SKIPPED_LINE& line)
{
    return "Skipped: " + logFile + " line " + std::to_string(line.line) + ": " + std::to_string(line.columns) +
           " columns";
}
