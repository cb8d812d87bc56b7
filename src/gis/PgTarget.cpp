#include "gis/PgTarget.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <thread>

#include "gis/GdalErrors.h"
#include "gis/GisFormats.h"
#include "gis/LayerStyles.h"
#include "surveylog/LogFormat.h"

namespace {

// The log prints Log with "%d": the same 32 bits, as a signed number.
int LogNumber(const GIS_POINT& point) { return static_cast<int>(point.Point.LocateData.u32EepromFileIndex); }

// Every wait on the database bounded: a connection attempt gives up after 10 s,
// and a connection whose peer went silent (network gone) is declared dead
// within about half a minute instead of the kernel's quarter of an hour. The
// connection string comes last, so what it says wins over these.
const char* const kLinkKeys[] = {"keepalives",      "keepalives_idle", "keepalives_interval", "keepalives_count",
                                 "tcp_user_timeout", "client_encoding", "application_name",    "dbname",
                                 nullptr};
const char* const kLinkValues[] = {"1", "10", "5", "3", "30000", "UTF8", "fieldbook-export"};
constexpr auto kConnectWait = std::chrono::seconds(10);

// Held while layers and keys are made, so two units starting on an empty
// database at the same time do not both create the tables.
const char kLayersTryLock[] = "SELECT pg_try_advisory_lock(7216354901)::int";
// How long a unit waits for that lock, or for any lock a statement needs.
constexpr int kLockWaitMs = 5000;
const char kLayersUnlock[] = "SELECT pg_advisory_unlock(7216354901)";

// Bytes of COPY data handed to libpq at a time.
constexpr size_t kCopyChunk = 256 * 1024;

// libpq's messages run over several lines with tabs and double blanks: one line here.
std::string OneLine(const char* text)
{
    std::string line;
    for (; text != nullptr && *text != '\0'; ++text) {
        const char c = *text;
        if (c != '\n' && c != '\t' && c != ' ')
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

bool IsStateChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

// A failed connection has no result to ask for its fields. With the verbose
// error layout, libpq writes what the server sent at start-up as
// "SEVERITY:  SQLSTATE: message" (the protocol's fields in a fixed order,
// whatever the server's language); a failure on libpq's side (no route, TLS)
// has none and is taken whole.
PG_ERROR ConnectionError(const char* text)
{
    const std::string all = text != nullptr ? text : "";
    for (size_t at = all.find(":  "); at != std::string::npos; at = all.find(":  ", at + 1)) {
        const size_t code = at + 3;
        if (code + 7 <= all.size() && std::all_of(all.begin() + code, all.begin() + code + 5, IsStateChar) &&
            all.compare(code + 5, 2, ": ") == 0) {
            const size_t end = all.find('\n', code);
            return PG_ERROR{all.substr(code, 5), OneLine(all.substr(code + 7, end - code - 7).c_str())};
        }
    }
    return PG_ERROR{"", OneLine(all.c_str())};
}

PG_ERROR ResultError(PGconn* conn, const PGresult* result)
{
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    // A connection lost mid-statement: libpq's own words, no SQLSTATE.
    if (PQstatus(conn) == CONNECTION_BAD)
        state = nullptr;
    return PG_ERROR{state != nullptr ? state : "", OneLine(primary != nullptr ? primary : PQerrorMessage(conn))};
}

std::string Said(const PG_ERROR& error)
{
    return error.sqlState.empty() ? error.message : error.message + " (SQLSTATE " + error.sqlState + ")";
}

// The column type GDAL's own PostgreSQL driver gives each field type, so that
// tables made by either read the same.
const char* SqlType(OGRFieldType type)
{
    switch (type) {
    case OFTInteger: return "integer";
    case OFTInteger64: return "bigint";
    case OFTReal: return "double precision";
    case OFTDate: return "date";
    case OFTTime: return "time";
    case OFTDateTime: return "timestamp with time zone";
    default: return "character varying";
    }
}

std::string Quoted(const char* name)
{
    std::string quoted = "\"";
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c == '"')
            quoted += '"';
        quoted += *c;
    }
    return quoted + "\"";
}

// One field of a row as the text PostgreSQL reads for its type; false for NULL.
bool FieldText(const OGRFeature& feature, int index, std::string& text)
{
    text.clear();
    if (!feature.IsFieldSetAndNotNull(index))
        return false;
    char buffer[64];
    char* end = buffer;
    switch (feature.GetFieldDefnRef(index)->GetType()) {
    case OFTInteger:
        end = std::to_chars(buffer, buffer + sizeof buffer, feature.GetFieldAsInteger(index)).ptr;
        break;
    case OFTInteger64:
        end = std::to_chars(buffer, buffer + sizeof buffer, feature.GetFieldAsInteger64(index)).ptr;
        break;
    case OFTReal:
        // Shortest text that reads back as the same double.
        end = std::to_chars(buffer, buffer + sizeof buffer, feature.GetFieldAsDouble(index)).ptr;
        break;
    case OFTDate:
    case OFTDateTime: {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, zone = 0;
        float second = 0;
        feature.GetFieldAsDateTime(index, &year, &month, &day, &hour, &minute, &second, &zone);
        const int n = feature.GetFieldDefnRef(index)->GetType() == OFTDate
                          ? std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", year, month, day)
                          : std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%06.3f+00", year, month,
                                          day, hour, minute, static_cast<double>(second));
        end = buffer + std::max(0, std::min(n, static_cast<int>(sizeof buffer) - 1));
        break;
    }
    default:
        text = feature.GetFieldAsString(index);
        return true;
    }
    text.assign(buffer, end);
    return true;
}

// COPY's text format: backslash, tab and line ends escaped; \N is NULL.
void AppendCopyValue(std::string& row, const std::string& value, bool present)
{
    if (!present) {
        row += "\\N";
        return;
    }
    for (char c : value) {
        switch (c) {
        case '\\': row += "\\\\"; break;
        case '\t': row += "\\t"; break;
        case '\n': row += "\\n"; break;
        case '\r': row += "\\r"; break;
        default: row += c;
        }
    }
}

// A Point Z in EPSG:4326 as hex EWKB (little-endian, Z and SRID flags), the
// form PostGIS reads fastest; an empty point as EWKT, since WKB has no empty
// point but NaN coordinates.
void PointText(const OGRPoint& point, std::string& text)
{
    if (point.IsEmpty()) {
        text = "SRID=4326;POINT Z EMPTY";
        return;
    }
    unsigned char wkb[1 + 4 + 4 + 24];
    wkb[0] = 1;
    const uint32_t type = 0x80000000u | 0x20000000u | 1u;
    const uint32_t srid = 4326;
    std::memcpy(wkb + 1, &type, 4);
    std::memcpy(wkb + 5, &srid, 4);
    const double xyz[3] = {point.getX(), point.getY(), point.getZ()};
    std::memcpy(wkb + 9, xyz, sizeof xyz);
    static const char hex[] = "0123456789ABCDEF";
    text.resize(2 * sizeof wkb);
    for (size_t i = 0; i < sizeof wkb; ++i) {
        text[2 * i] = hex[wkb[i] >> 4];
        text[2 * i + 1] = hex[wkb[i] & 15];
    }
}

// A geometry as ISO WKB in hex, for ST_GeomFromWKB(decode(..., 'hex')):
// full precision, and far cheaper than WKT for the vertices of a long track.
std::string HexWkb(const OGRGeometry& geometry)
{
    std::vector<unsigned char> wkb(geometry.WkbSize());
    geometry.exportToWkb(wkbNDR, wkb.data(), wkbVariantIso);
    static const char hex[] = "0123456789ABCDEF";
    std::string text(2 * wkb.size(), '0');
    for (size_t i = 0; i < wkb.size(); ++i) {
        text[2 * i] = hex[wkb[i] >> 4];
        text[2 * i + 1] = hex[wkb[i] & 15];
    }
    return "ST_GeomFromWKB(decode('" + text + "', 'hex'), 4326)";
}

void DropNotice(void*, const char*) {}

} // namespace

// GDAL's driver opens a connection of its own for the styles: the same
// bounded waits as ours, the connection's own words after them so that they
// win. A URI takes no words before it: as it is.
std::string StylesConnection(const std::string& connection)
{
    if (connection.rfind("postgres", 0) == 0)
        return connection;
    std::string text = "connect_timeout=" + std::to_string(kConnectWait.count()) + " ";
    for (size_t i = 0; kLinkKeys[i] != nullptr && std::strcmp(kLinkKeys[i], "dbname") != 0; ++i)
        text += std::string(kLinkKeys[i]) + "=" + kLinkValues[i] + " ";
    return text + connection;
}

int64_t LineDigest(const GIS_POINT& point)
{
    char line[kLogLineSize];
    const size_t length = FormatLogLine(point.Point, point.fDistance, line, sizeof line);
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(line[i]);
        hash *= 1099511628211ull;
    }
    return static_cast<int64_t>(hash);
}

bool IsLoopbackHost(const std::string& host)
{
    return host.empty() || host[0] == '/' || host[0] == '@' || host == "localhost" || host == "::1" ||
           host.rfind("127.", 0) == 0;
}

PgFailure ClassifyPgError(const PG_ERROR& error)
{
    const std::string& state = error.sqlState;
    if (state == "42501") // insufficient privilege: a row-level policy refusing this row
        return PgFailure::Row;
    const std::string cls = state.substr(0, 2);
    if (state.empty() || cls == "08" || cls == "53" || cls == "57" || cls == "58" || cls == "40" ||
        state == "55P03")
        return PgFailure::Unreachable; // no link, an outage, or a conflict that passes
    if (cls == "22" || cls == "23")
        return PgFailure::Row;
    return PgFailure::Refused; // 28, 3D (login), 42 (statement), and what we cannot mend by waiting
}

std::string CPgTarget::Reason() const { return Said(m_error); }

bool IsDatabaseOutput(const std::string& output) { return FindFormatByPath(output) == &DatabaseFormat(); }

CPgTarget::CPgTarget(std::string connection, std::string unit)
    : m_connection(IsDatabaseOutput(connection) ? connection.substr(3) : std::move(connection)),
      m_unit(std::move(unit)), m_defn(new OGRFeatureDefn("survey_points"))
{
    m_defn->Reference();
    m_defn->SetGeomType(wkbNone);
    for (int i = 0; i < kSurveyFieldCount; ++i) {
        OGRFieldDefn field(kSurveyFields[i].pszName, kSurveyFields[i].eType);
        m_defn->AddFieldDefn(&field);
        m_fields.anIndex[i] = i;
        m_columns += Quoted(kSurveyFields[i].pszName) + ", ";
    }
    m_columns += Quoted(kUnitField) + ", " + Quoted(kLogRepeatField) + ", " + Quoted(kLineDigestField) + ", geom";
}

CPgTarget::~CPgTarget()
{
    Disconnect();
    m_defn->Release();
}

void CPgTarget::Disconnect()
{
    if (m_conn != nullptr)
        PQfinish(m_conn);
    m_conn = nullptr;
    m_logs.clear();
}

bool CPgTarget::Fail(const std::string& what)
{
    m_problem = what;
    m_bRefused = m_bRefused || ClassifyPgError(m_error) == PgFailure::Refused;
    Disconnect();
    return false;
}

bool CPgTarget::FailWith(const PG_ERROR& error, const std::string& what)
{
    m_error = error;
    return Fail(what);
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

bool CPgTarget::Failed(PGresult* result, const std::string& what)
{
    m_error = ResultError(m_conn, result);
    m_problem = what.empty() ? Said(m_error) : what + ": " + Said(m_error);
    PQclear(result);
    return false;
}

bool CPgTarget::Exec(const std::string& sql, const std::string& what)
{
    PGresult* result = PQexec(m_conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        return Failed(result, what);
    PQclear(result);
    return true;
}

PGresult* CPgTarget::Query(const std::string& sql, const std::string& what)
{
    PGresult* result = PQexec(m_conn, sql.c_str());
    if (PQresultStatus(result) == PGRES_TUPLES_OK)
        return result;
    Failed(result, what);
    return nullptr;
}

bool CPgTarget::Connect()
{
    if (m_conn != nullptr)
        return true;
    m_bRefused = false;
    m_error = {};
    const char* values[std::size(kLinkKeys)];
    std::copy(std::begin(kLinkValues), std::end(kLinkValues), values);
    values[std::size(kLinkKeys) - 2] = m_connection.c_str();
    values[std::size(kLinkKeys) - 1] = nullptr;
    m_conn = PQconnectStartParams(kLinkKeys, values, 1);
    if (m_conn == nullptr)
        return FailWith(PG_ERROR{"", "out of memory"}, "cannot connect: out of memory");
    PQsetErrorVerbosity(m_conn, PQERRORS_VERBOSE);
    PQsetNoticeProcessor(m_conn, DropNotice, nullptr);
    // libpq's connect_timeout binds only its blocking calls: this loop has its
    // own, and ends early on a stop request.
    const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED && PQstatus(m_conn) != CONNECTION_BAD) {
        pollfd ready{PQsocket(m_conn), static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        const int n = ::poll(&ready, 1, 100);
        if (n > 0 || ready.fd < 0) {
            state = PQconnectPoll(m_conn);
            continue;
        }
        if (m_stop && m_stop())
            return FailWith(PG_ERROR{}, "cannot connect: asked to stop");
        if (std::chrono::steady_clock::now() >= deadline)
            return FailWith(PG_ERROR{"", "timeout expired"}, "cannot connect: timeout expired");
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        const PG_ERROR error = ConnectionError(PQerrorMessage(m_conn));
        return FailWith(error, "cannot connect: " + Said(error));
    }
    PQsetErrorVerbosity(m_conn, PQERRORS_DEFAULT);
    // A crew's password and points crossing a network in the clear: said, not
    // refused, since the office chose the connection.
    const char* host = PQhost(m_conn);
    if (!PQsslInUse(m_conn) && !IsLoopbackHost(host != nullptr ? host : "") && !m_bWarnedClear) {
        m_bWarnedClear = true;
        m_warnings.push_back(std::string("the connection to ") + host +
                             " is not encrypted: add sslmode=verify-full and the office's CA (sslrootcert=...)");
    }
    if (!EnsureLayers()) {
        // Connected, then refused (a schema's or a table's privilege, even
        // where its SQLSTATE is that of a refused row): the reason, not an outage.
        m_bRefused = m_bRefused || ClassifyPgError(m_error) != PgFailure::Unreachable;
        const std::string problem = m_problem;
        return Fail(problem);
    }
    // The server takes no COPY into a table whose rows a policy guards (a
    // crew's role under the office's row-level security): INSERTs then.
    if (!AskTrue("SELECT row_security_active('survey_points')::int", m_bGuarded)) {
        const std::string problem = m_problem;
        return Fail(problem);
    }
    if (m_bGuarded) {
        std::string insert = "INSERT INTO survey_points (" + m_columns + ") VALUES (";
        for (int i = 1; i <= kRowColumns; ++i)
            insert += (i > 1 ? ", $" : "$") + std::to_string(i);
        PGresult* made = PQprepare(m_conn, "fieldbook_point", (insert + ")").c_str(), 0, nullptr);
        if (PQresultStatus(made) != PGRES_COMMAND_OK) {
            Failed(made, "cannot prepare the insert");
            const std::string problem = m_problem;
            return Fail(problem);
        }
        PQclear(made);
    }
    return true;
}

// Whether query's first column of its first row is a true value.
bool CPgTarget::AskTrue(const std::string& query, bool& answer)
{
    PGresult* rows = Query(query, "cannot ask the database");
    if (rows == nullptr)
        return false;
    answer = PQntuples(rows) > 0 && !PQgetisnull(rows, 0, 0) && std::strcmp(PQgetvalue(rows, 0, 0), "0") != 0 &&
             std::strcmp(PQgetvalue(rows, 0, 0), "f") != 0;
    PQclear(rows);
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
            m_error = PG_ERROR{};
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
        m_error = PG_ERROR{};
        m_problem = "the database lacks PostGIS: run CREATE EXTENSION postgis in it (as its owner), then try again";
        m_bRefused = true;
        return false;
    }
    // Names resolve in public (and PostGIS's own schema) whatever the role's
    // or the database's search_path says: a "$user" schema or an office's
    // setting never takes our tables elsewhere, nor shadows them.
    if (!Exec("SELECT pg_catalog.set_config('search_path', 'public' || coalesce((SELECT ', ' || "
              "pg_catalog.quote_ident(n.nspname) FROM pg_catalog.pg_extension e JOIN pg_catalog.pg_namespace n "
              "ON n.oid = e.extnamespace WHERE e.extname = 'postgis' AND n.nspname <> 'public'), ''), false)",
              "cannot set the search path"))
        return false;
    // What stands: the columns of both tables, and the keys. The lock only
    // when something must be made: a crew's daily start finds everything there
    // and waits for nobody.
    PGresult* rows = Query("SELECT c.relname, a.attname FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid "
                           "WHERE c.oid IN (to_regclass('survey_points'), to_regclass('survey_track')) "
                           "AND a.attnum > 0 AND NOT a.attisdropped "
                           "UNION ALL SELECT 'key', indexname FROM pg_indexes WHERE indexname IN "
                           "('survey_points_survey_key', 'survey_track_survey_key') "
                           "UNION ALL SELECT 'gist', t.relname FROM pg_index i JOIN pg_class x ON x.oid = i.indexrelid "
                           "JOIN pg_class t ON t.oid = i.indrelid JOIN pg_am a ON a.oid = x.relam WHERE a.amname = "
                           "'gist' AND t.oid IN (to_regclass('survey_points'), to_regclass('survey_track')) "
                           "UNION ALL SELECT 'view', viewname FROM pg_views WHERE viewname IN "
                           "('utility_points', 'utility_lines') "
                           "UNION ALL SELECT 'meta', relname FROM pg_class WHERE oid = to_regclass('fieldbook_layers')",
                           "cannot read the tables");
    if (rows == nullptr)
        return false;
    std::set<std::string> present;
    for (int i = 0; i < PQntuples(rows); ++i)
        present.insert(std::string(PQgetvalue(rows, i, 0)) + "." + PQgetvalue(rows, i, 1));
    PQclear(rows);
    const bool pointsMade = present.count("survey_points.fid") != 0;
    // Every column of the field table, and ours: a table of an older
    // fieldbook gets those it lacks (NULL in its old rows).
    std::string lacking;
    auto need = [&](const char* name, const char* type) {
        if (!present.count(std::string("survey_points.") + name))
            lacking += std::string(lacking.empty() ? "" : ",") + " ADD COLUMN IF NOT EXISTS " + Quoted(name) + " " + type;
    };
    for (const SURVEY_FIELD& field : kSurveyFields)
        need(field.pszName, field.eSubType == OFSTBoolean ? "boolean" : SqlType(field.eType));
    need(kUnitField, "character varying");
    need(kLogRepeatField, "integer");
    need(kLineDigestField, "bigint");
    const bool trackMade = present.count("survey_track.fid") && present.count("survey_track.Unit") &&
                           present.count("survey_track.LogFile") && present.count("survey_track.Survey");
    const bool keys = present.count("key.survey_points_survey_key") && present.count("key.survey_track_survey_key");
    const bool spatial = present.count("gist.survey_points") && present.count("gist.survey_track");
    const bool view = present.count(std::string("view.") + kUtilityLayer) != 0;
    const bool meta = present.count("meta.fieldbook_layers") != 0;
    if (!lacking.empty() || !trackMade || !keys || (!spatial && !m_bDeferIndex)) {
        if (!TakeLayersLock())
            return false;
        const std::string track = "survey_track (" + Quoted(kUnitField) + ", " +
                                  Quoted(kSurveyFields[kLogFileField].pszName) + ", " +
                                  Quoted(kSurveyFields[kSurveyField].pszName) + ")";
        // Each table on its own: a set half made by a unit cut off while making
        // it is completed. Keys of an older fieldbook (without Survey) would
        // refuse a second survey under one file name. Only the tables' owner
        // may do this; a crew's role that may only add rows finds them made.
        const bool ok =
            Exec("CREATE TABLE IF NOT EXISTS survey_points (fid serial PRIMARY KEY, geom geometry(PointZ, 4326))",
                 "cannot create survey_points") &&
            (lacking.empty() || Exec("ALTER TABLE survey_points" + lacking, "cannot add the missing columns")) &&
            // The units, where psql's \\d+ and a GIS's layer properties show them.
            (pointsMade ||
             (Exec("COMMENT ON COLUMN survey_points.\"Depth\" IS '" + std::string(kDepthAlias) + "'") &&
              Exec("COMMENT ON COLUMN survey_points.\"Locate\" IS '" + std::string(kLocateAlias) + "'"))) &&
            // What each accuracy is (a DRMS, 1 sigma, 95 %), on a new table and
            // on one that gets its missing columns.
            ((pointsMade && lacking.empty()) || CommentAliasedColumns()) &&
            Exec("CREATE TABLE IF NOT EXISTS survey_track (fid serial PRIMARY KEY, geom geometry(LineStringZ, 4326), "
                 "\"Unit\" character varying, \"LogFile\" character varying)",
                 "cannot create survey_track") &&
            Exec("ALTER TABLE survey_track ADD COLUMN IF NOT EXISTS \"Unit\" character varying, "
                 "ADD COLUMN IF NOT EXISTS \"LogFile\" character varying, "
                 "ADD COLUMN IF NOT EXISTS \"Survey\" character varying",
                 "cannot add the missing columns to survey_track") &&
            (m_bDeferIndex || MakeSpatialIndexes()) &&
            (keys || (Exec("CREATE UNIQUE INDEX IF NOT EXISTS survey_points_survey_key ON survey_points "
                           "(\"Unit\", \"LogFile\", \"Survey\", \"Log\", \"LogRepeat\")") &&
                      Exec("CREATE UNIQUE INDEX IF NOT EXISTS survey_track_survey_key ON " + track) &&
                      Exec("DROP INDEX IF EXISTS survey_points_unit_key") &&
                      Exec("DROP INDEX IF EXISTS survey_track_unit_key")));
        const std::string problem = m_problem;
        const PG_ERROR error = m_error;
        Exec(kLayersUnlock);
        m_problem = problem;
        m_error = error;
        if (!ok)
            return false;
    }
    // The utility under each point with a UtilityElevation, as a view of
    // survey_points: always in step with it, and nothing more to write.
    // Only the owner may make it, outside the tables' lock; a crew's role
    // that may not still logs. With the reader's own rights (security_invoker),
    // so that row-level security holds through it too.
    if (!view) {
        const std::string problem = m_problem;
        const PG_ERROR error = m_error;
        if (!Exec(std::string("CREATE OR REPLACE VIEW ") + kUtilityLayer +
                  " WITH (security_invoker = true) AS SELECT fid, \"Unit\", \"LogFile\", \"Survey\", \"Log\", \"Depth\", "
                  "\"UtilityElevation\", ST_SetSRID(ST_MakePoint(ST_X(geom), ST_Y(geom), "
                  "\"UtilityElevation\"), 4326)::geometry(PointZ, 4326) AS geom FROM survey_points "
                  "WHERE \"UtilityElevation\" IS NOT NULL AND NOT ST_IsEmpty(geom)")) {
            m_problem = problem;
            m_error = error;
        }
    }
    // The utility lines likewise: one per utility segment of a survey, its
    // points in log order (fid) without the void ones, at the utility's
    // elevation where every point has one (else at the points' own
    // heights), through the reader's rights, so row-level security holds.
    if (present.count(std::string("view.") + kUtilityLinesLayer) == 0) {
        const std::string problem = m_problem;
        const PG_ERROR error = m_error;
        auto firstOf = [](const char* column) {
            return std::string("(array_agg(\"") + column + "\" ORDER BY fid))[1]";
        };
        if (!Exec(std::string("CREATE OR REPLACE VIEW ") + kUtilityLinesLayer +
                  " WITH (security_invoker = true) AS SELECT min(fid) AS fid, \"Unit\", \"LogFile\", \"Survey\", "
                  "\"UtilityType\", \"UtilityId\", " + firstOf("Colour") + " AS \"Colour\", " +
                  firstOf("QualityLevel") + " AS \"QualityLevel\", \"Segment\", count(*)::integer AS \"Points\", "
                  "ST_Length(ST_MakeLine(geom ORDER BY fid)::geography) AS \"Length\", min(\"Depth\") AS \"MinDepth\", "
                  "max(\"Depth\") AS \"MaxDepth\", " + firstOf("Log") + " AS \"FirstLog\", "
                  "(array_agg(\"Log\" ORDER BY fid DESC))[1] AS \"LastLog\", " + firstOf("Ticket") + " AS \"Ticket\", "
                  "(CASE WHEN bool_and(\"UtilityElevation\" IS NOT NULL) THEN ST_MakeLine(ST_MakePoint(ST_X(geom), "
                  "ST_Y(geom), \"UtilityElevation\") ORDER BY fid) ELSE ST_MakeLine(geom ORDER BY fid) END)"
                  "::geometry(LineStringZ, 4326) AS geom FROM survey_points WHERE \"UtilityType\" IS NOT NULL AND "
                  "NOT coalesce(\"Void\", false) AND NOT ST_IsEmpty(geom) GROUP BY \"Unit\", \"LogFile\", \"Survey\", "
                  "\"UtilityType\", \"UtilityId\", \"Segment\" HAVING count(*) >= 2")) {
            m_problem = problem;
            m_error = error;
        }
    }
    // The units the rows are in, where the office's comments do not
    // reach: a table of an older fieldbook is judged once, by the comment
    // it made then. Only the owner may make the record; a crew's role
    // delivers without it until the owner has connected once. Two owners at
    // once: the record's key keeps one row.
    if (!meta) {
        const std::string problem = m_problem;
        const PG_ERROR error = m_error;
        Exec("CREATE TABLE IF NOT EXISTS fieldbook_layers (layer character varying PRIMARY KEY, "
             "depth_units character varying NOT NULL, locate_units character varying NOT NULL, "
             "schema_version integer NOT NULL); "
             "INSERT INTO fieldbook_layers SELECT 'survey_points', CASE WHEN m THEN 'm' ELSE 'protocol' END, "
             "CASE WHEN m THEN 'mA' ELSE 'protocol' END, " + std::to_string(kLayersSchemaVersion) +
             " FROM (SELECT " + (pointsMade ? LegacyMetric() : std::string("true")) +
             " AS m) units ON CONFLICT DO NOTHING");
        m_problem = problem;
        m_error = error;
    }
    // The units as recorded; a role that may not read the record (an office
    // set up before it) judges by the comment as an older fieldbook did.
    bool readable = false, recorded = false;
    if (!AskTrue("SELECT coalesce(has_table_privilege(to_regclass('fieldbook_layers'), 'SELECT'), false)::int",
                 readable) ||
        (readable &&
         !AskTrue("SELECT count(*) FROM fieldbook_layers WHERE layer = 'survey_points'", recorded)))
        return false;
    if (recorded)
        return AskTrue("SELECT (depth_units = 'm')::int FROM fieldbook_layers WHERE layer = 'survey_points'",
                       m_fields.bMetric);
    return AskTrue("SELECT (" + LegacyMetric() + ")::int", m_fields.bMetric);
}

// Tables made before Depth was metres keep the protocol's units; those made
// after say so in the Depth column's comment.
std::string CPgTarget::LegacyMetric() const
{
    return "coalesce((SELECT col_description('survey_points'::regclass, attnum) = '" + std::string(kDepthAlias) +
           "' FROM pg_attribute WHERE attrelid = 'survey_points'::regclass AND attname = 'Depth'), false)";
}

bool CPgTarget::CommentAliasedColumns()
{
    for (const SURVEY_FIELD& field : kSurveyFields) {
        if (field.pszAlias != nullptr &&
            !Exec("COMMENT ON COLUMN survey_points." + Quoted(field.pszName) + " IS " + Literal(field.pszAlias)))
            return false;
    }
    return true;
}

// Made under the tables' lock by whoever finds them missing: a one-shot export
// into new tables makes them after its rows (built at once, a fraction of the
// cost of growing them row by row), and one cut off before that leaves them to
// the next connection.
bool CPgTarget::MakeSpatialIndexes()
{
    return Exec("CREATE INDEX IF NOT EXISTS survey_points_geom_geom_idx ON survey_points USING gist (geom)",
                "cannot index survey_points") &&
           Exec("CREATE INDEX IF NOT EXISTS survey_track_geom_geom_idx ON survey_track USING gist (geom)",
                "cannot index survey_track");
}

bool CPgTarget::Finish()
{
    if (!m_bDeferIndex)
        return true;
    if (!Connect())
        return false;
    m_bDeferIndex = false;
    bool spatial = false;
    if (!AskTrue("SELECT (count(*) = 2)::int FROM pg_index i JOIN pg_class x ON x.oid = i.indexrelid "
                 "JOIN pg_am a ON a.oid = x.relam WHERE a.amname = 'gist' AND i.indrelid IN "
                 "(to_regclass('survey_points'), to_regclass('survey_track'))",
                 spatial))
        return Fail(m_problem);
    if (spatial)
        return true;
    if (!TakeLayersLock())
        return Fail(m_problem);
    const bool ok = MakeSpatialIndexes();
    const std::string problem = m_problem;
    Exec(kLayersUnlock);
    return ok || Fail(problem);
}

std::string CPgTarget::Where(const LOG_ID& log) const
{
    return "\"Unit\" = " + Literal(m_unit) + " AND \"LogFile\" = " + Literal(log.logFile) + " AND \"Survey\" = " +
           Literal(log.survey);
}

bool CPgTarget::LoadLog(const LOG_ID& log, LOG_STATE& state)
{
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
    PGresult* rows = Query("SELECT \"Log\", \"LogRepeat\", (NOT ST_IsEmpty(geom))::int, \"LineDigest\" FROM "
                           "survey_points WHERE " + where,
                           "cannot read survey_points");
    if (rows == nullptr)
        return false;
    // What the database holds is read afresh; which point is which row is
    // the caller's hand-over, and stays.
    std::vector<std::pair<int, int>> keys = std::move(state.keys);
    state = LOG_STATE{};
    state.keys = std::move(keys);
    for (int i = 0; i < PQntuples(rows); ++i) {
        const std::pair<int, int> key{std::atoi(PQgetvalue(rows, i, 0)), std::atoi(PQgetvalue(rows, i, 1))};
        state.delivered.insert(key);
        // Rows of an older fieldbook have no digest: never taken for changed.
        if (!PQgetisnull(rows, i, 3))
            state.digests[key] = std::strtoll(PQgetvalue(rows, i, 3), nullptr, 10);
        if (std::strcmp(PQgetvalue(rows, i, 2), "1") == 0)
            ++state.fixes;
    }
    PQclear(rows);
    if (!AskTrue("SELECT count(*) FROM survey_track WHERE " + where, state.bTrack))
        return false;
    state.bLoaded = true;
    return true;
}

bool CPgTarget::Deliver(const LOG_ID& log, const GIS_POINT* points, size_t count, size_t first, size_t& added)
{
    const std::string& logFile = log.logFile;
    added = 0;
    m_held = 0;
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
    std::vector<std::pair<size_t, int>> changed;
    const std::set<std::tuple<int, int, int64_t>>& refusedUpdates = m_refusedUpdates[log];
    state.keys.resize(first);
    for (size_t i = 0; i < count; ++i) {
        const int number = LogNumber(points[i]);
        const int repeat = occurrences[number]++;
        state.keys.emplace_back(number, repeat);
        if (state.delivered.find({number, repeat}) == state.delivered.end()) {
            if (!setAside.count({number, repeat}))
                fresh.emplace_back(i, repeat);
            continue;
        }
        const auto digest = state.digests.find({number, repeat});
        if (digest != state.digests.end() && digest->second != LineDigest(points[i]) &&
            !refusedUpdates.count({number, repeat, LineDigest(points[i])}))
            changed.emplace_back(i, repeat);
    }
    if (!changed.empty() && !UpdateRows(log, state, points, changed))
        return Fail(m_problem);
    if (fresh.empty()) {
        state.occurrences = std::move(occurrences);
        state.handed = first + count;
        return true;
    }

    size_t written = 0;
    if (WriteBatch(log, state, points, fresh, written)) {
        added = written;
        // QGIS's default styles, once a connection has delivered points, so
        // that the graduated classes span the values there are. A role that
        // may not write layer_styles delivers all the same.
        if (!m_bStyled && written > 0) {
            m_bStyled = true;
            // Through GDAL's driver, which knows QGIS's table layout; a
            // connection of its own, once per delivering connection.
            CGdalMessages quiet;
            GDALDatasetUniquePtr styles(GDALDataset::Open(("PG:" + StylesConnection(m_connection)).c_str(),
                                                          GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
            std::string ignored;
            if (styles)
                WriteLayerStyles(*styles, StyleRangesOf(*styles), ignored);
        }
    } else {
        // By the SQLSTATE: out of reach or refused as a whole ends here; a
        // refused row (a constraint, a value the database cannot take, a
        // policy) sends each point on its own, and the ones it refuses are set
        // aside, so that one row never holds back the others.
        PgFailure kind = ClassifyPgError(m_error);
        if (kind == PgFailure::Row && m_error.sqlState == "42501" && !MayAdd())
            kind = PgFailure::Refused;
        if (kind != PgFailure::Row) {
            // Every row would meet it: the batch waits whole, in order, for
            // the office to mend it; nothing is set aside.
            if (kind == PgFailure::Refused) {
                m_held = fresh.size();
                m_bRefused = true;
            }
            return Fail(m_problem);
        }
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
            if (WriteBatch(log, state, points, single, written)) {
                added += written;
                continue;
            }
            const PG_ERROR why = m_error;
            if (ClassifyPgError(why) != PgFailure::Row)
                return Fail(m_problem);
            if (!LoadLog(log, state))
                return Fail(m_problem);
            if (present(one))
                continue;
            const int number = LogNumber(points[one.first]);
            m_rejectedKeys[log].emplace(number, one.second);
            m_rejected.push_back(REJECTED_ROW{log.logFile, number, Said(why)});
        }
    }
    state.occurrences = std::move(occurrences);
    state.handed = first + count;
    return true;
}

// Whether this role may add rows at all (a privilege on the tables, their
// schema and the key's sequence); a name it may not even look up: no.
bool CPgTarget::MayAdd()
{
    const PG_ERROR error = m_error;
    const std::string problem = m_problem;
    bool may = false;
    if (!AskTrue("SELECT (has_schema_privilege('public', 'USAGE') AND "
                 "has_any_column_privilege('survey_points', 'INSERT') AND "
                 "has_any_column_privilege('survey_track', 'INSERT') AND "
                 "has_any_column_privilege('survey_track', 'UPDATE') AND "
                 "coalesce(has_sequence_privilege(pg_get_serial_sequence('survey_points', 'fid'), 'USAGE'), true))::int",
                 may))
        may = false;
    m_error = error;
    m_problem = problem;
    return may;
}

// The columns of m_columns for one point, as text; set false for NULL.
void CPgTarget::RowValues(const LOG_ID& log, const GIS_POINT& point, int repeat, OGRFeature& feature,
                          std::string* values, bool* set) const
{
    FillSurveyFields(feature, m_fields, point, log);
    for (int i = 0; i < kSurveyFieldCount; ++i)
        set[i] = FieldText(feature, i, values[i]);
    values[kSurveyFieldCount] = m_unit;
    values[kSurveyFieldCount + 1] = std::to_string(repeat);
    values[kSurveyFieldCount + 2] = std::to_string(LineDigest(point));
    PointText(PointGeometry(point.Point), values[kSurveyFieldCount + 3]);
    std::fill(set + kSurveyFieldCount, set + kRowColumns, true);
}

// Points whose line changed since they were delivered: each row rewritten
// under its key, in a transaction of its own, and the track made again. A
// row the database will not change (a role without UPDATE) is set aside and
// told once, as a refused new row is.
bool CPgTarget::UpdateRows(const LOG_ID& log, LOG_STATE& state, const GIS_POINT* points,
                           const std::vector<std::pair<size_t, int>>& changed)
{
    std::string sql = "UPDATE survey_points SET (";
    for (int i = 0; i < kSurveyFieldCount; ++i)
        sql += Quoted(kSurveyFields[i].pszName) + ", ";
    sql += Quoted(kLineDigestField) + ", geom) = ROW(";
    for (int i = 1; i <= kSurveyFieldCount + 1; ++i)
        sql += "$" + std::to_string(i) + ", ";
    const int unit = kSurveyFieldCount + 3;
    sql += "$" + std::to_string(unit - 1) + "::geometry) WHERE \"Unit\" = $" + std::to_string(unit) +
           " AND \"LogFile\" = $" + std::to_string(unit + 1) + " AND \"Survey\" = $" + std::to_string(unit + 2) +
           " AND \"Log\" = $" + std::to_string(unit + 3) + " AND \"LogRepeat\" = $" + std::to_string(unit + 4);
    OGRFeature feature(m_defn);
    std::string values[kRowColumns];
    bool set[kRowColumns];
    const char* params[kSurveyFieldCount + 7];
    bool any = false;
    for (const auto& [index, repeat] : changed) {
        const GIS_POINT& point = points[index];
        RowValues(log, point, repeat, feature, values, set);
        for (int i = 0; i < kSurveyFieldCount; ++i)
            params[i] = set[i] ? values[i].c_str() : nullptr;
        params[kSurveyFieldCount] = values[kSurveyFieldCount + 2].c_str(); // LineDigest
        params[kSurveyFieldCount + 1] = values[kSurveyFieldCount + 3].c_str(); // geom
        const std::string number = std::to_string(LogNumber(point)), repeatText = std::to_string(repeat);
        params[kSurveyFieldCount + 2] = m_unit.c_str();
        params[kSurveyFieldCount + 3] = log.logFile.c_str();
        params[kSurveyFieldCount + 4] = log.survey.c_str();
        params[kSurveyFieldCount + 5] = number.c_str();
        params[kSurveyFieldCount + 6] = repeatText.c_str();
        PGresult* result = PQexecParams(m_conn, sql.c_str(), kSurveyFieldCount + 7, nullptr, params, nullptr,
                                        nullptr, 0);
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            Failed(result, "cannot update Log " + number + " of " + log.logFile);
            if (ClassifyPgError(m_error) != PgFailure::Row)
                return false;
            if (m_refusedUpdates[log].insert({LogNumber(point), repeat, LineDigest(point)}).second)
                m_rejected.push_back(REJECTED_ROW{log.logFile, LogNumber(point), Said(m_error)});
            continue;
        }
        const bool updated = std::strcmp(PQcmdTuples(result), "0") != 0;
        PQclear(result);
        if (updated) {
            any = true;
            m_updated.push_back(REJECTED_ROW{log.logFile, LogNumber(point), ""});
        }
    }
    if (!any)
        return true;
    const std::string where = Where(log);
    return Exec("UPDATE survey_track SET geom = (SELECT ST_MakeLine(geom ORDER BY \"Log\", \"LogRepeat\", fid) "
                "FROM survey_points WHERE " + where + " AND NOT ST_IsEmpty(geom)) WHERE " + where,
                "cannot make the track of " + log.logFile + " again") &&
           LoadLog(log, state);
}

// The rows of fresh: COPY in the text format, or one prepared INSERT each
// where a policy guards the table.
bool CPgTarget::SendRows(const LOG_ID& log, const GIS_POINT* points, const std::vector<std::pair<size_t, int>>& fresh)
{
    constexpr int kColumns = kRowColumns;
    const std::string failure = "cannot add points of " + log.logFile;
    if (!m_bGuarded) {
        PGresult* copy = PQexec(m_conn, ("COPY survey_points (" + m_columns + ") FROM STDIN").c_str());
        if (PQresultStatus(copy) != PGRES_COPY_IN)
            return Failed(copy, failure);
        PQclear(copy);
    }
    OGRFeature feature(m_defn);
    std::string values[kColumns];
    bool set[kColumns];
    const char* params[kColumns];
    std::string chunk;
    for (const auto& [index, repeat] : fresh) {
        const GIS_POINT& point = points[index];
        RowValues(log, point, repeat, feature, values, set);
        if (m_bGuarded) {
            for (int i = 0; i < kColumns; ++i)
                params[i] = set[i] ? values[i].c_str() : nullptr;
            PGresult* result =
                PQexecPrepared(m_conn, "fieldbook_point", kColumns, params, nullptr, nullptr, 0);
            if (PQresultStatus(result) != PGRES_COMMAND_OK)
                return Failed(result, failure + " Log " + std::to_string(LogNumber(point)));
            PQclear(result);
            continue;
        }
        for (int i = 0; i < kColumns; ++i) {
            if (i > 0)
                chunk += '\t';
            AppendCopyValue(chunk, values[i], set[i]);
        }
        chunk += '\n';
        if (chunk.size() >= kCopyChunk) {
            if (PQputCopyData(m_conn, chunk.data(), static_cast<int>(chunk.size())) != 1)
                break;
            chunk.clear();
        }
    }
    if (m_bGuarded)
        return true;
    if (!chunk.empty())
        PQputCopyData(m_conn, chunk.data(), static_cast<int>(chunk.size()));
    PQputCopyEnd(m_conn, nullptr);
    // The COPY's outcome, then the end of its results.
    bool ok = true;
    while (PGresult* result = PQgetResult(m_conn)) {
        if (ok && PQresultStatus(result) != PGRES_COMMAND_OK) {
            ok = false;
            Failed(result, failure);
        } else {
            PQclear(result);
        }
    }
    return ok;
}

bool CPgTarget::WriteBatch(const LOG_ID& log, LOG_STATE& state, const GIS_POINT* points,
                           const std::vector<std::pair<size_t, int>>& fresh, size_t& written)
{
    written = 0;
    const std::string& logFile = log.logFile;
    auto fail = [&] {
        // The database's reason is the first error; what follows it in the
        // same transaction is only "current transaction is aborted".
        if (PQstatus(m_conn) == CONNECTION_OK)
            PQclear(PQexec(m_conn, "ROLLBACK"));
        return false;
    };
    if (!Exec("BEGIN", "cannot start a transaction") || !SendRows(log, points, fresh))
        return fail();
    OGRLineString added;
    added.set3D(TRUE);
    for (const auto& one : fresh)
        AddTrackVertex(added, points[one.first].Point);
    const size_t newFixes = static_cast<size_t>(added.getNumPoints());
    // Points that come late (held, set aside, another export's) belong
    // where their Log puts them: the track is made again from its points.
    bool inOrder = true;
    std::pair<int, int> last = state.delivered.empty() ? std::pair<int, int>{INT32_MIN, 0} : *state.delivered.rbegin();
    for (const auto& [index, repeat] : fresh) {
        const std::pair<int, int> key{LogNumber(points[index]), repeat};
        inOrder = inOrder && last < key;
        last = key;
    }

    // The track: extended by the new fixed points, or made from every fixed
    // point of the log once there are two (a line needs two vertices).
    const std::string where = Where(log);
    const std::string failure = "cannot extend the track of " + logFile;
    bool ok = true;
    const std::string ordered = "ST_MakeLine(geom ORDER BY \"Log\", \"LogRepeat\", fid)";
    if (newFixes > 0 && state.bTrack && !inOrder) {
        ok = Exec("UPDATE survey_track SET geom = (SELECT " + ordered + " FROM survey_points WHERE " + where +
                      " AND NOT ST_IsEmpty(geom)) WHERE " + where,
                  failure);
    } else if (newFixes > 0 && state.bTrack) {
        // One new vertex goes as a point: PostGIS takes no one-vertex line.
        OGRPoint vertex;
        added.getPoint(0, &vertex);
        const std::string tail = newFixes == 1 ? HexWkb(vertex) : HexWkb(added);
        ok = Exec("UPDATE survey_track SET geom = ST_MakeLine(geom, " + tail + ") WHERE " + where,
                  failure);
    } else if (state.fixes == 0 && newFixes >= 2 && inOrder) {
        // Every fixed point of the log is in this batch: the line is its vertices.
        ok = Exec("INSERT INTO survey_track (\"Unit\", \"LogFile\", \"Survey\", geom) VALUES (" + Literal(m_unit) +
                      ", " + Literal(logFile) + ", " + Literal(log.survey) + ", " + HexWkb(added) + ")",
                  failure);
    } else if (newFixes > 0 && state.fixes + newFixes >= 2) {
        ok = Exec("INSERT INTO survey_track (\"Unit\", \"LogFile\", \"Survey\", geom) SELECT " + Literal(m_unit) +
                      ", " + Literal(logFile) + ", " + Literal(log.survey) +
                      ", " + ordered + " FROM survey_points WHERE " + where + " AND NOT ST_IsEmpty(geom)",
                  failure);
    }
    if (!ok || !Exec("COMMIT", "the database did not take the points of " + logFile))
        return fail();

    for (const auto& [index, repeat] : fresh) {
        state.delivered.emplace(LogNumber(points[index]), repeat);
        state.digests[{LogNumber(points[index]), repeat}] = LineDigest(points[index]);
    }
    state.fixes += newFixes;
    state.bTrack = state.bTrack || state.fixes >= 2;
    written = fresh.size();
    return true;
}

bool CPgTarget::Amend(const LOG_ID& log, size_t index, const POINT_RECORD& record)
{
    // Known only while connected: a dropped connection forgets every log.
    const auto state = m_logs.find(log);
    if (state == m_logs.end() || index >= state->second.keys.size())
        return true;
    const auto [number, repeat] = state->second.keys[index];
    return Exec(std::string("UPDATE survey_points SET \"Void\" = ") + (record.bVoid ? "true" : "false") +
                    ", \"Note\" = " + (record.Note.empty() ? std::string("NULL") : Literal(record.Note)) +
                    " WHERE " + Where(log) + " AND \"Log\" = " + std::to_string(number) +
                    " AND \"LogRepeat\" = " + std::to_string(repeat),
                "cannot mark a point of " + log.logFile);
}
