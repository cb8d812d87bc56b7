#include "gis/PgTarget.h"

#include <charconv>
#include <chrono>
#include <thread>
#include <cstdio>

#include <cpl_conv.h>
#include <ogr_spatialref.h>

#include "gis/GdalErrors.h"
#include "gis/GisFormats.h"
#include "gis/LayerStyles.h"

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
const char kLayersTryLock[] = "SELECT pg_try_advisory_lock(7216354901)::int";
// How long a unit waits for that lock, or for any lock a statement needs.
constexpr int kLockWaitMs = 5000;
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

// What GDAL said first on this thread, as one line; what when it said nothing.
// The first message is the cause; the later ones of the same transaction are
// its consequences ("current transaction is aborted").
std::string Why(const CGdalMessages& messages, const std::string& what)
{
    const std::string said = messages.FirstError("-");
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
    m_bRefused = m_bRefused || MentionsRefusal(what);
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
    m_bRefused = false;
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
    // The server takes no COPY into a table whose rows a policy guards (a
    // crew's role under the office's row-level security): INSERTs then.
    bool guarded = false;
    if (!AskTrue("SELECT row_security_active('survey_points')::int", guarded)) {
        const std::string problem = m_problem;
        return Fail(problem);
    }
    CPLSetThreadLocalConfigOption("PG_USE_COPY", guarded ? "NO" : "YES");
    return true;
}

// Whether query's first column of its first row is a true value.
bool CPgTarget::AskTrue(const std::string& query, bool& answer)
{
    CGdalMessages messages;
    OGRLayer* rows = m_dataset->ExecuteSQL(query.c_str(), nullptr, nullptr);
    if (rows == nullptr) {
        m_problem = Why(messages, "cannot ask the database");
        return false;
    }
    OGRFeatureUniquePtr row(rows->GetNextFeature());
    answer = row && row->GetFieldAsInteger(0) != 0;
    m_dataset->ReleaseResultSet(rows);
    return true;
}

// The advisory lock, taken without queueing behind a unit whose link died
// while holding it: tried every 100 ms for at most kLockWaitMs, giving up
// early when the program is asked to stop.
bool CPgTarget::TakeLayersLock()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
    for (;;) {
        bool taken = false;
        if (!AskTrue(kLayersTryLock, taken))
            return false;
        if (taken)
            return true;
        if ((m_stop && m_stop()) || std::chrono::steady_clock::now() >= deadline) {
            m_problem = "another unit is making the tables; tried again later";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool CPgTarget::EnsureLayers()
{
    // Every lock a statement waits for here is bounded too.
    if (!Exec("SET lock_timeout = '" + std::to_string(kLockWaitMs) + "ms'"))
        return false;
    bool postgis = false;
    if (!AskTrue("SELECT count(*) FROM pg_extension WHERE extname = 'postgis'", postgis))
        return false;
    if (!postgis) {
        // Tables made now would get a bytea column and stay wrong for good.
        m_problem = "the database lacks PostGIS: run CREATE EXTENSION postgis in it (as its owner), then try again";
        m_bRefused = true;
        return false;
    }
    m_points = m_dataset->GetLayerByName(kPointLayer);
    OGRLayer* track = m_dataset->GetLayerByName(kTrackLayer);
    bool ok = true;
    // The lock only when something must be made: a crew's daily start finds
    // everything there and waits for nobody.
    if (m_points == nullptr || track == nullptr || !KeysExist() || m_dataset->GetLayerByName(kUtilityLayer) == nullptr) {
        if (!TakeLayersLock())
            return false;
        std::string error;
        OGRSpatialReference wgs84;
        wgs84.importFromEPSG(4326);
        wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        CGdalMessages messages;
        // Each table on its own: a set half made by a unit cut off while making
        // it is completed.
        m_points = m_dataset->GetLayerByName(kPointLayer);
        if (m_points == nullptr) {
            m_points = m_dataset->CreateLayer(DatabaseFormat().pszPointLayer, &wgs84, wkbPoint25D,
                                              const_cast<char**>(DatabaseFormat().papszPointOptions));
            OGRFieldDefn unit(kUnitField, OFTString);
            OGRFieldDefn repeat(kLogRepeatField, OFTInteger);
            ok = m_points != nullptr && CreateSurveyFields(*m_points, m_fields, error) &&
                 m_points->CreateField(&unit) == OGRERR_NONE && m_points->CreateField(&repeat) == OGRERR_NONE &&
                 m_points->SyncToDisk() == OGRERR_NONE;
            // The units, where psql's \\d+ and a GIS's layer properties show them.
            ok = ok && Exec("COMMENT ON COLUMN survey_points.\"Depth\" IS '" + std::string(kDepthAlias) + "'") &&
                 Exec("COMMENT ON COLUMN survey_points.\"Locate\" IS '" + std::string(kLocateAlias) + "'");
            if (!ok)
                m_problem = Why(messages, "cannot create survey_points" + (error.empty() ? "" : " (" + error + ")"));
        }
        track = ok ? m_dataset->GetLayerByName(kTrackLayer) : nullptr;
        if (ok && track == nullptr) {
            track = m_dataset->CreateLayer(DatabaseFormat().pszTrackLayer, &wgs84, wkbLineString25D,
                                           const_cast<char**>(DatabaseFormat().papszTrackOptions));
            OGRFieldDefn trackUnit(kUnitField, OFTString);
            OGRFieldDefn logFile(kSurveyFields[kLogFileField].pszName, OFTString);
            OGRFieldDefn survey(kSurveyFields[kSurveyField].pszName, OFTString);
            if (track == nullptr || track->CreateField(&trackUnit) != OGRERR_NONE ||
                track->CreateField(&logFile) != OGRERR_NONE || track->CreateField(&survey) != OGRERR_NONE ||
                track->SyncToDisk() != OGRERR_NONE) {
                ok = false;
                m_problem = Why(messages, "cannot create survey_track");
            }
        }
        // Tables made by an older fieldbook get the columns they lack.
        if (ok) {
            std::string fieldError;
            SURVEY_FIELD_MAP map{};
            ok = AddMissingSurveyFields(*m_points, map, fieldError) &&
                 (track->GetLayerDefn()->GetFieldIndex(kSurveyFields[kSurveyField].pszName) >= 0 ||
                  Exec("ALTER TABLE survey_track ADD COLUMN IF NOT EXISTS \"Survey\" varchar"));
            if (!ok && m_problem.empty())
                m_problem = Why(messages, "cannot add " + fieldError);
        }
        // The keys: the database itself refuses a second copy of a point or
        // track. Only the tables' owner may make them; a crew's role that may
        // only add rows finds them made. Keys of an older fieldbook (without
        // Survey) would refuse a second survey under one file name.
        ok = ok && (KeysExist() ||
                    (Exec("CREATE UNIQUE INDEX IF NOT EXISTS survey_points_survey_key ON survey_points "
                          "(\"Unit\", \"LogFile\", \"Survey\", \"Log\", \"LogRepeat\")") &&
                     Exec("CREATE UNIQUE INDEX IF NOT EXISTS survey_track_survey_key ON survey_track "
                          "(\"Unit\", \"LogFile\", \"Survey\")") &&
                     Exec("DROP INDEX IF EXISTS survey_points_unit_key") &&
                     Exec("DROP INDEX IF EXISTS survey_track_unit_key")));
        // The utility under each point with a UtilityElevation, as a view of
        // survey_points: always in step with it, and nothing more to write.
        // Only the owner may make it; a crew's role that may not still logs.
        if (ok && m_dataset->GetLayerByName(kUtilityLayer) == nullptr &&
            !Exec(std::string("CREATE OR REPLACE VIEW ") + kUtilityLayer +
                         " AS SELECT fid, \"Unit\", \"LogFile\", \"Survey\", \"Log\", \"Depth\", "
                         "\"UtilityElevation\", ST_SetSRID(ST_MakePoint(ST_X(geom), ST_Y(geom), "
                         "\"UtilityElevation\"), 4326)::geometry(PointZ, 4326) AS geom FROM survey_points "
                         "WHERE \"UtilityElevation\" IS NOT NULL AND NOT ST_IsEmpty(geom)"))
            m_problem.clear();
        const std::string problem = m_problem;
        Exec(kLayersUnlock);
        m_problem = problem;
        if (!ok)
            return false;
    }
    m_fields = MapSurveyFields(*m_points->GetLayerDefn());
    // Tables made before Depth was metres keep the protocol's units.
    if (!AskTrue("SELECT (coalesce(col_description('survey_points'::regclass, attnum), '') = '" +
                     std::string(kDepthAlias) + "')::int FROM pg_attribute WHERE attrelid = "
                     "'survey_points'::regclass AND attname = 'Depth'",
                 m_fields.bMetric))
        return false;
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
                                           "('survey_points_survey_key', 'survey_track_survey_key')",
                                           nullptr, nullptr);
    if (rows == nullptr)
        return false;
    OGRFeatureUniquePtr count(rows->GetNextFeature());
    const bool both = count && count->GetFieldAsInteger64(0) == 2;
    m_dataset->ReleaseResultSet(rows);
    return both;
}

std::string CPgTarget::Where(const LOG_ID& log) const
{
    return "\"Unit\" = " + Literal(m_unit) + " AND \"LogFile\" = " + Literal(log.logFile) + " AND \"Survey\" = " +
           Literal(log.survey);
}

bool CPgTarget::LoadLog(const LOG_ID& log, LOG_STATE& state)
{
    CGdalMessages messages;
    // Rows of an older fieldbook carry no Survey: the first survey delivered
    // under their file name is theirs.
    const std::string older = "\"Unit\" = " + Literal(m_unit) + " AND \"LogFile\" = " + Literal(log.logFile) +
                              " AND \"Survey\" IS NULL";
    bool legacy = false;
    if (!AskTrue("SELECT count(*) FROM survey_points WHERE " + older, legacy))
        return false;
    if (legacy && !(Exec("UPDATE survey_points SET \"Survey\" = " + Literal(log.survey) + " WHERE " + older) &&
                    Exec("UPDATE survey_track SET \"Survey\" = " + Literal(log.survey) + " WHERE " + older)))
        return false;
    const std::string where = Where(log);
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
    LOG_STATE& state = m_logs[log];
    if (!state.bLoaded && !LoadLog(log, state))
        return Fail(m_problem);
    if (first != state.handed) {
        // The caller starts the log again from the top: count repeats afresh.
        state.handed = 0;
        state.occurrences.clear();
        if (first != 0)
            return Fail("points of " + logFile + " handed over out of order");
    }

    std::map<int, int> occurrences = state.occurrences;
    const std::set<std::pair<int, int>>& setAside = m_rejectedKeys[log];
    std::vector<std::pair<size_t, int>> fresh; // index into points, LogRepeat
    for (size_t i = 0; i < count; ++i) {
        const int log = LogNumber(points[i]);
        const int repeat = occurrences[log]++;
        if (state.delivered.find({log, repeat}) == state.delivered.end() && !setAside.count({log, repeat}))
            fresh.emplace_back(i, repeat);
    }
    if (fresh.empty()) {
        state.occurrences = std::move(occurrences);
        state.handed = first + count;
        return true;
    }

    std::string reason;
    size_t written = 0;
    if (WriteBatch(log, state, points, fresh, reason, written)) {
        added = written;
        // QGIS's default styles, once a connection has delivered points, so
        // that the graduated classes span the values there are. A role that
        // may not write layer_styles delivers all the same.
        if (!m_bStyled && written > 0) {
            m_bStyled = true;
            CGdalMessages quiet;
            std::string ignored;
            WriteLayerStyles(*m_dataset, StyleRangesOf(*m_dataset), ignored);
        }
    } else {
        // The connection still answers: the database refused a row, it is not
        // out of reach. Each point then goes in on its own, and the ones it
        // refuses are set aside, so that one row never holds back the others.
        bool alive = false;
        if (!m_dataset || !AskTrue("SELECT 1", alive) || !alive)
            return Fail(reason);
        // Another export of this unit may have added some of them meanwhile:
        // the key refused those, and they are in.
        auto present = [&](const std::pair<size_t, int>& one) {
            return state.delivered.count({LogNumber(points[one.first]), one.second}) != 0;
        };
        if (!LoadLog(log, state))
            return Fail(m_problem);
        for (const auto& one : fresh) {
            if (present(one))
                continue;
            const std::vector<std::pair<size_t, int>> single{one};
            std::string why;
            if (WriteBatch(log, state, points, single, why, written)) {
                added += written;
                continue;
            }
            if (!AskTrue("SELECT 1", alive) || !alive || !LoadLog(log, state))
                return Fail(why);
            if (present(one))
                continue;
            const int number = LogNumber(points[one.first]);
            m_rejectedKeys[log].emplace(number, one.second);
            m_rejected.push_back(REJECTED_ROW{log.logFile, number, why});
        }
    }
    state.occurrences = std::move(occurrences);
    state.handed = first + count;
    return true;
}

bool CPgTarget::WriteBatch(const LOG_ID& log, LOG_STATE& state, const GIS_POINT* points,
                           const std::vector<std::pair<size_t, int>>& fresh, std::string& reason, size_t& written)
{
    written = 0;
    const std::string& logFile = log.logFile;
    CGdalMessages messages;
    auto fail = [&](const std::string& what) {
        // The first message is the database's reason; what follows it in the
        // same transaction is only "current transaction is aborted".
        const std::string first = messages.FirstError("-");
        reason = first == "-" ? (m_problem.empty() ? what : what + ": " + m_problem) : what + ": " + Reason(first.substr(3));
        if (m_dataset)
            m_dataset->RollbackTransaction();
        return false;
    };
    if (m_dataset->StartTransaction(FALSE) != OGRERR_NONE)
        return fail("cannot start a transaction");
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
        if (m_points->CreateFeature(feature.get()) != OGRERR_NONE)
            return fail("cannot add " + logFile + " Log " + std::to_string(LogNumber(point)));
        if (!geometry.IsEmpty()) {
            AppendCoordinate(wkt, geometry.getX(), geometry.getY(), geometry.getZ());
            ++newFixes;
        }
    }
    wkt += ")";

    // The track: extended by the new fixed points, or made from every fixed
    // point of the log once there are two (a line needs two vertices).
    const std::string where = Where(log);
    m_problem.clear();
    bool ok = true;
    if (newFixes > 0 && state.bTrack) {
        const std::string tail = (newFixes == 1 ? "POINT Z " : "LINESTRING Z ") + wkt;
        ok = Exec("UPDATE survey_track SET geom = ST_MakeLine(geom, ST_GeomFromText('" + tail + "', 4326)) WHERE " +
                  where);
    } else if (state.fixes == 0 && newFixes >= 2) {
        // Every fixed point of the log is in this batch: the line is its vertices.
        ok = Exec("INSERT INTO survey_track (\"Unit\", \"LogFile\", \"Survey\", geom) VALUES (" + Literal(m_unit) +
                  ", " + Literal(logFile) + ", " + Literal(log.survey) + ", ST_GeomFromText('LINESTRING Z " + wkt + "', 4326))");
    } else if (newFixes > 0 && state.fixes + newFixes >= 2) {
        ok = Exec("INSERT INTO survey_track (\"Unit\", \"LogFile\", \"Survey\", geom) SELECT " + Literal(m_unit) +
                  ", " + Literal(logFile) + ", " + Literal(log.survey) + ", ST_MakeLine(geom ORDER BY fid) FROM survey_points WHERE " + where +
                  " AND NOT ST_IsEmpty(geom)");
    }
    if (!ok)
        return fail("cannot extend the track of " + logFile);
    if (m_dataset->CommitTransaction() != OGRERR_NONE)
        return fail("the database did not take the points of " + logFile);

    for (const auto& [index, repeat] : fresh)
        state.delivered.emplace(LogNumber(points[index]), repeat);
    state.fixes += newFixes;
    state.bTrack = state.bTrack || state.fixes >= 2;
    written = fresh.size();
    return true;
}
