#include "gis/PgTarget.h"

#include <charconv>
#include <cstdio>

#include <cpl_conv.h>
#include <ogr_spatialref.h>

#include "gis/GdalErrors.h"
#include "gis/GisFormats.h"

namespace {

// The log prints Log with "%d": the same 32 bits, as a signed number.
int LogNumber(const GIS_POINT& point) { return static_cast<int>(point.Point.LocateData.u32EepromFileIndex); }

// Every wait on the database bounded: a connection attempt gives up after 10 s,
// and a connection whose peer went silent (network gone) is declared dead
// within about half a minute instead of the kernel's quarter of an hour.
const char kLinkLimits[] = " connect_timeout=10 keepalives=1 keepalives_idle=10 keepalives_interval=5"
                           " keepalives_count=3 tcp_user_timeout=30000";

// Held while layers and keys are made, so two units starting on an empty
// database at the same time do not both create the tables.
const char kLayersLock[] = "SELECT pg_advisory_lock(7216354901)";
const char kLayersUnlock[] = "SELECT pg_advisory_unlock(7216354901)";

bool MentionsRefusal(const std::string& text)
{
    for (const char* sign : {"password authentication failed", "no password supplied", "authentication failed",
                             "does not exist", "permission denied", "must be owner"}) {
        if (text.find(sign) != std::string::npos)
            return true;
    }
    return false;
}

// GDAL's message for a failed connection starts with the name of the libpq
// call; libpq's own text (which server, why) is the reason.
std::string Reason(std::string text)
{
    for (const char* noise : {"PQconnectdb failed.\n", "PQconnectdb failed: "}) {
        if (text.compare(0, std::char_traits<char>::length(noise), noise) == 0)
            text.erase(0, std::char_traits<char>::length(noise));
    }
    // libpq's messages run over several lines with tabs and double blanks: one line here.
    std::string line;
    for (char c : text) {
        const bool blank = c == '\n' || c == '\t' || c == ' ';
        if (!blank)
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

// What GDAL said last on this thread, as one line; what when it said nothing.
std::string Why(const CGdalMessages& messages, const std::string& what)
{
    const std::string said = messages.LastError("-");
    return said == "-" ? what : what + ": " + Reason(said.substr(3));
}

// Shortest text that reads back as the same double: full precision, and far
// cheaper than printf for the hundred thousand vertices of a long track.
void AppendCoordinate(std::string& wkt, double x, double y, double z)
{
    char buffer[3 * 32];
    char* at = buffer;
    for (double v : {x, y, z}) {
        if (at != buffer)
            *at++ = ' ';
        at = std::to_chars(at, buffer + sizeof buffer, v).ptr;
    }
    if (wkt.back() != '(')
        wkt += ',';
    wkt.append(buffer, at);
}

} // namespace

bool IsDatabaseOutput(const std::string& output) { return FindFormatByPath(output) == &DatabaseFormat(); }

CPgTarget::CPgTarget(std::string connection, std::string unit)
    : m_connection(IsDatabaseOutput(connection) ? connection.substr(3) : std::move(connection)),
      m_unit(std::move(unit))
{
}

CPgTarget::~CPgTarget() { Disconnect(); }

void CPgTarget::Disconnect()
{
    m_points = nullptr;
    m_dataset.reset();
    m_logs.clear();
}

bool CPgTarget::Fail(const std::string& what)
{
    m_problem = what;
    m_bRefused = MentionsRefusal(what);
    Disconnect();
    return false;
}

// An escape-string constant reads the same whatever the server's
// standard_conforming_strings: quotes and backslashes doubled.
std::string CPgTarget::Literal(const std::string& text) const
{
    std::string quoted = "E'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            quoted += c;
        quoted += c;
    }
    return quoted + "'";
}

bool CPgTarget::Exec(const std::string& sql)
{
    CGdalMessages messages;
    OGRLayer* result = m_dataset->ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result != nullptr)
        m_dataset->ReleaseResultSet(result);
    const std::string problem = Why(messages, "");
    if (!problem.empty()) {
        m_problem = problem.substr(2);
        return false;
    }
    return true;
}

bool CPgTarget::Connect()
{
    if (m_dataset)
        return true;
    GisInit();
    CGdalMessages messages;
    std::string name = "PG:" + m_connection;
    if (m_connection.compare(0, 8, "postgres") != 0)
        name += kLinkLimits;
    // COPY rather than one INSERT per point, also into tables that exist.
    CPLSetThreadLocalConfigOption("PG_USE_COPY", "YES");
    const char* const drivers[] = {"PostgreSQL", nullptr};
    m_dataset.reset(GDALDataset::Open(name.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers, nullptr, nullptr));
    if (!m_dataset)
        return Fail(Why(messages, "cannot connect"));
    m_bRefused = false;
    if (!EnsureLayers()) {
        const std::string problem = m_problem;
        return Fail(problem);
    }
    return true;
}

bool CPgTarget::EnsureLayers()
{
    if (!Exec(kLayersLock))
        return false;
    std::string error;
    bool ok = true;
    m_points = m_dataset->GetLayerByName(kPointLayer);
    if (m_points == nullptr) {
        OGRSpatialReference wgs84;
        wgs84.importFromEPSG(4326);
        wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        CGdalMessages messages;
        m_points = m_dataset->CreateLayer(DatabaseFormat().pszPointLayer, &wgs84, wkbPoint25D, const_cast<char**>(DatabaseFormat().papszPointOptions));
        OGRFieldDefn unit(kUnitField, OFTString);
        OGRFieldDefn repeat(kLogRepeatField, OFTInteger);
        ok = m_points != nullptr && CreateSurveyFields(*m_points, m_fields, error) &&
             m_points->CreateField(&unit) == OGRERR_NONE && m_points->CreateField(&repeat) == OGRERR_NONE &&
             m_points->SyncToDisk() == OGRERR_NONE;
        if (!ok)
            m_problem = Why(messages, "cannot create survey_points" + (error.empty() ? "" : " (" + error + ")"));
        OGRLayer* track = ok ? m_dataset->CreateLayer(DatabaseFormat().pszTrackLayer, &wgs84, wkbLineString25D,
                                                      const_cast<char**>(DatabaseFormat().papszTrackOptions))
                             : nullptr;
        OGRFieldDefn trackUnit(kUnitField, OFTString);
        OGRFieldDefn logFile(kSurveyFields[kLogFileField].pszName, OFTString);
        if (ok && (track == nullptr || track->CreateField(&trackUnit) != OGRERR_NONE ||
                   track->CreateField(&logFile) != OGRERR_NONE || track->SyncToDisk() != OGRERR_NONE)) {
            ok = false;
            m_problem = Why(messages, "cannot create survey_track");
        }
    }
    // The keys: the database itself refuses a second copy of a point or track.
    // Only the tables' owner may make them; a crew's role that may only add
    // rows finds them made.
    ok = ok && (KeysExist() ||
                (Exec("CREATE UNIQUE INDEX IF NOT EXISTS survey_points_unit_key ON survey_points "
                      "(\"Unit\", \"LogFile\", \"Log\", \"LogRepeat\")") &&
                 Exec("CREATE UNIQUE INDEX IF NOT EXISTS survey_track_unit_key ON survey_track "
                      "(\"Unit\", \"LogFile\")")));
    const std::string problem = m_problem;
    Exec(kLayersUnlock);
    m_problem = problem;
    if (!ok)
        return false;
    m_fields = MapSurveyFields(*m_points->GetLayerDefn());
    m_unitField = m_points->GetLayerDefn()->GetFieldIndex(kUnitField);
    m_repeatField = m_points->GetLayerDefn()->GetFieldIndex(kLogRepeatField);
    if (m_unitField < 0 || m_repeatField < 0 || m_fields.anIndex[kLogField] < 0 ||
        m_fields.anIndex[kLogFileField] < 0) {
        m_problem = "survey_points in this database lacks the Unit, LogRepeat, Log or LogFile column";
        return false;
    }
    return true;
}

bool CPgTarget::KeysExist()
{
    OGRLayer* rows = m_dataset->ExecuteSQL("SELECT count(*) FROM pg_indexes WHERE indexname IN "
                                           "('survey_points_unit_key', 'survey_track_unit_key')",
                                           nullptr, nullptr);
    if (rows == nullptr)
        return false;
    OGRFeatureUniquePtr count(rows->GetNextFeature());
    const bool both = count && count->GetFieldAsInteger64(0) == 2;
    m_dataset->ReleaseResultSet(rows);
    return both;
}

bool CPgTarget::LoadLog(const std::string& logFile, LOG_STATE& state)
{
    CGdalMessages messages;
    const std::string where = "\"Unit\" = " + Literal(m_unit) + " AND \"LogFile\" = " + Literal(logFile);
    OGRLayer* rows = m_dataset->ExecuteSQL(
        ("SELECT \"Log\", \"LogRepeat\", NOT ST_IsEmpty(geom) FROM survey_points WHERE " + where).c_str(), nullptr,
        nullptr);
    if (rows == nullptr) {
        m_problem = Why(messages, "cannot read survey_points");
        return false;
    }
    state = LOG_STATE{};
    for (auto& row : *rows) {
        state.delivered.emplace(row->GetFieldAsInteger(0), row->GetFieldAsInteger(1));
        if (row->GetFieldAsInteger(2) != 0)
            ++state.fixes;
    }
    m_dataset->ReleaseResultSet(rows);
    rows = m_dataset->ExecuteSQL(("SELECT count(*) FROM survey_track WHERE " + where).c_str(), nullptr, nullptr);
    if (rows == nullptr) {
        m_problem = Why(messages, "cannot read survey_track");
        return false;
    }
    OGRFeatureUniquePtr count(rows->GetNextFeature());
    state.bTrack = count && count->GetFieldAsInteger64(0) > 0;
    m_dataset->ReleaseResultSet(rows);
    state.bLoaded = true;
    return true;
}

bool CPgTarget::Deliver(const LOG_ID& log, const GIS_POINT* points, size_t count, size_t first, size_t& added)
{
    const std::string& logFile = log.logFile;
    added = 0;
    if (!Connect())
        return false;
    LOG_STATE& state = m_logs[logFile];
    if (!state.bLoaded && !LoadLog(logFile, state))
        return Fail(m_problem);
    if (first != state.handed) {
        // The caller starts the log again from the top: count repeats afresh.
        state.handed = 0;
        state.occurrences.clear();
        if (first != 0)
            return Fail("points of " + logFile + " handed over out of order");
    }

    std::map<int, int> occurrences = state.occurrences;
    std::vector<std::pair<size_t, int>> fresh; // index into points, LogRepeat
    for (size_t i = 0; i < count; ++i) {
        const int log = LogNumber(points[i]);
        const int repeat = occurrences[log]++;
        if (state.delivered.find({log, repeat}) == state.delivered.end())
            fresh.emplace_back(i, repeat);
    }
    if (fresh.empty()) {
        state.occurrences = std::move(occurrences);
        state.handed = first + count;
        return true;
    }

    CGdalMessages messages;
    if (m_dataset->StartTransaction(FALSE) != OGRERR_NONE)
        return Fail(Why(messages, "cannot start a transaction"));
    OGRFeatureUniquePtr feature(OGRFeature::CreateFeature(m_points->GetLayerDefn()));
    std::string wkt = "(";
    size_t newFixes = 0;
    for (const auto& [index, repeat] : fresh) {
        const GIS_POINT& point = points[index];
        feature->SetFID(OGRNullFID);
        FillSurveyFields(*feature, m_fields, point, log);
        feature->SetField(m_unitField, m_unit.c_str());
        feature->SetField(m_repeatField, repeat);
        OGRPoint geometry = PointGeometry(point.Point);
        feature->SetGeometry(&geometry);
        if (m_points->CreateFeature(feature.get()) != OGRERR_NONE) {
            m_dataset->RollbackTransaction();
            return Fail(Why(messages, "cannot add a point"));
        }
        if (!geometry.IsEmpty()) {
            AppendCoordinate(wkt, geometry.getX(), geometry.getY(), geometry.getZ());
            ++newFixes;
        }
    }
    wkt += ")";

    // The track: extended by the new fixed points, or made from every fixed
    // point of the log once there are two (a line needs two vertices).
    const std::string where = "\"Unit\" = " + Literal(m_unit) + " AND \"LogFile\" = " + Literal(logFile);
    bool ok = true;
    if (newFixes > 0 && state.bTrack) {
        const std::string tail = (newFixes == 1 ? "POINT Z " : "LINESTRING Z ") + wkt;
        ok = Exec("UPDATE survey_track SET geom = ST_MakeLine(geom, ST_GeomFromText('" + tail + "', 4326)) WHERE " +
                  where);
    } else if (state.fixes == 0 && newFixes >= 2) {
        // Every fixed point of the log is in this batch: the line is its vertices.
        ok = Exec("INSERT INTO survey_track (\"Unit\", \"LogFile\", geom) VALUES (" + Literal(m_unit) + ", " +
                  Literal(logFile) + ", ST_GeomFromText('LINESTRING Z " + wkt + "', 4326))");
    } else if (newFixes > 0 && state.fixes + newFixes >= 2) {
        ok = Exec("INSERT INTO survey_track (\"Unit\", \"LogFile\", geom) SELECT " + Literal(m_unit) + ", " +
                  Literal(logFile) + ", ST_MakeLine(geom ORDER BY fid) FROM survey_points WHERE " + where +
                  " AND NOT ST_IsEmpty(geom)");
    }
    if (!ok) {
        m_dataset->RollbackTransaction();
        return Fail(m_problem);
    }
    if (m_dataset->CommitTransaction() != OGRERR_NONE)
        return Fail(Why(messages, "the database did not take the points"));

    for (const auto& [index, repeat] : fresh)
        state.delivered.emplace(LogNumber(points[index]), repeat);
    state.fixes += newFixes;
    state.bTrack = state.bTrack || state.fixes >= 2;
    state.occurrences = std::move(occurrences);
    state.handed = first + count;
    added = fresh.size();
    return true;
}
