// The office database: survey points of many field units in one PostGIS
// database, through libpq (COPY for the points; the server's SQLSTATE tells
// what went wrong, which GDAL's driver does not pass on). The layers are those of the
// GeoPackage (survey_points, survey_track, same attribute names and types,
// EPSG:4326, Point Z), plus Unit, the field unit the rows came from, and
// LogRepeat, which tells apart points of one log that carry the same Log number
// (0 for the first, 1 for the next, ...). The key is Unit + LogFile + Survey +
// Log + LogRepeat, a unique index in the database: a batch that would double a point
// is refused by the database itself, whoever else writes at the same time.
//
// Each batch of new points is one transaction: in the database whole, with its
// track extended, or not at all. What a unit has delivered is asked of the
// database, never remembered elsewhere, so a restart after any crash neither
// resends nor skips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <libpq-fe.h>

#include "gis/GisSchema.h"

// The layout of the tables, as fieldbook_layers records it beside their units.
inline constexpr int kLayersSchemaVersion = 1;

// Column names beside the survey fields.
inline constexpr char kUnitField[] = "Unit";
inline constexpr char kLogRepeatField[] = "LogRepeat";
// The line a row was made from, as a digest (FNV-1a of the line the log
// prints for the point): a line changed since is told from one merely read
// again, whatever precision the point came at.
inline constexpr char kLineDigestField[] = "LineDigest";
// The columns of a row: the survey fields, Unit, LogRepeat, LineDigest, geom.
inline constexpr int kRowColumns = kSurveyFieldCount + 4;

// A row the database refused (a constraint, a value it cannot take): set
// aside, reported once, never holding back the rows after it.
struct REJECTED_ROW {
    std::string logFile;
    int log = 0;        // the Log number
    std::string reason; // the database's first message
};

// What the database (or libpq, for a connection) said first: the SQLSTATE
// (empty where libpq failed on its own side: no route, TLS, a dropped link)
// and its primary message.
struct PG_ERROR {
    std::string sqlState;
    std::string message;
};

// What a failure means, by SQLSTATE class: 08, 53, 57, 58 and libpq's own
// failures are the database out of reach (tried again later); 28 and 3D a
// refused login; 22, 23 and 42 a refused statement or row; the rest refused.
enum class PgFailure { Unreachable, Refused, Row };
PgFailure ClassifyPgError(const PG_ERROR& error);

class CPgTarget {
public:
    // connection: a libpq connection string, with or without the "PG:" prefix
    // (host, dbname, user, service=..., a password file rather than a password).
    CPgTarget(std::string connection, std::string unit);
    ~CPgTarget();
    CPgTarget(const CPgTarget&) = delete;
    CPgTarget& operator=(const CPgTarget&) = delete;

    // Connects and creates the layers and keys when missing. False with
    // Problem() set when the database cannot be reached, refuses us, or lacks
    // PostGIS.
    bool Connect();
    bool Connected() const { return m_conn != nullptr; }
    void Disconnect();

    // points are the points of logFile from index first on, in log order (the
    // points before first were handed over by earlier calls on this object).
    // Adds those the database lacks for this unit, in one transaction, and
    // extends the log's track; added tells how many. Connects first when
    // needed. On failure nothing of this batch is in the database, the
    // connection is dropped, and the next call starts from what the database
    // holds, so the caller hands over the whole log again (first 0).
    bool Deliver(const LOG_ID& log, const GIS_POINT* points, size_t count, size_t first, size_t& added);
    // The crew's marks (void, note) on the index-th point of log, handed
    // over before: its row is found by its Log number and repeat, so a row
    // refused or set aside earlier shifts nothing. True when there is no
    // such row (yet).
    bool Amend(const LOG_ID& log, size_t index, const POINT_RECORD& record);

    // A one-shot export: spatial indexes missing when the tables are found
    // (new tables) are made by Finish, after the rows, rather than grown
    // row by row. Call before Connect.
    void DeferSpatialIndexes() { m_bDeferIndex = true; }
    // Makes what DeferSpatialIndexes left out; false with Problem() set.
    bool Finish();

    const std::string& Problem() const { return m_problem; }
    // Warnings since the last call (a remote connection without TLS), each once.
    std::vector<std::string> TakeWarnings() { return std::exchange(m_warnings, {}); }
    // Rows set aside since the last call (Deliver still returned true).
    std::vector<REJECTED_ROW> TakeRejected() { return std::exchange(m_rejected, {}); }
    // Points whose line changed after delivery and whose row was rewritten
    // under its key since the last call (reason empty).
    std::vector<REJECTED_ROW> TakeUpdated() { return std::exchange(m_updated, {}); }
    // Whether the last failure was the database refusing us (a wrong
    // password, an unknown role, no PostGIS, a permission) rather than it
    // being out of reach; the error itself.
    bool Refused() const { return m_bRefused; }
    const PG_ERROR& Error() const { return m_error; }
    const std::string& Unit() const { return m_unit; }
    // Points of the last failed Deliver held back because the database
    // refuses every one of them (a privilege, a missing column, a trigger
    // refusing all): none set aside; the caller tries the batch again later,
    // in order. 0 when the failure was anything else. Its reason: Error().
    size_t Held() const { return m_held; }
    // The last failure's reason as the database gave it (with its SQLSTATE).
    std::string Reason() const;
    // Asked now and then while waiting for another unit's lock: true ends
    // the wait (SIGTERM).
    void SetStopCheck(std::function<bool()> stop) { m_stop = std::move(stop); }

private:
    struct LOG_STATE {
        bool bLoaded = false;
        size_t handed = 0;                 // points of the log seen so far
        std::map<int, int> occurrences;    // per Log number: points seen with it
        std::set<std::pair<int, int>> delivered; // (Log, LogRepeat) in the database
        bool bTrack = false;               // the log has its track row
        size_t fixes = 0;                  // fixed points delivered
        std::map<std::pair<int, int>, int64_t> digests; // LineDigest of delivered rows that have one
        std::vector<std::pair<int, int>> keys;          // per point handed over: (Log, LogRepeat)
    };

    bool EnsureLayers();
    bool AskTrue(const std::string& query, bool& answer);
    bool TakeLayersLock();
    bool MakeSpatialIndexes();
    // The aliases of the survey fields as their columns' comments (owner only).
    bool CommentAliasedColumns();
    bool WriteBatch(const LOG_ID& log, LOG_STATE& state, const GIS_POINT* points,
                    const std::vector<std::pair<size_t, int>>& fresh, size_t& written);
    bool SendRows(const LOG_ID& log, const GIS_POINT* points, const std::vector<std::pair<size_t, int>>& fresh);
    bool LoadLog(const LOG_ID& log, LOG_STATE& state);
    bool MayAdd();
    void RowValues(const LOG_ID& log, const GIS_POINT& point, int repeat, OGRFeature& feature, std::string* values,
                   bool* set) const;
    bool UpdateRows(const LOG_ID& log, LOG_STATE& state, const GIS_POINT* points,
                    const std::vector<std::pair<size_t, int>>& changed);
    std::string Where(const LOG_ID& log) const;
    std::string LegacyMetric() const;
    // Runs sql; false with m_error and m_problem set (what: the error's context).
    bool Exec(const std::string& sql, const std::string& what = "");
    PGresult* Query(const std::string& sql, const std::string& what);
    bool Failed(PGresult* result, const std::string& what);
    bool Fail(const std::string& what);
    bool FailWith(const PG_ERROR& error, const std::string& what);
    std::string Literal(const std::string& text) const;

    std::string m_connection;
    std::string m_unit;
    PGconn* m_conn = nullptr;
    // The row a point becomes: the survey fields as GisSchema fills them.
    OGRFeatureDefn* m_defn = nullptr;
    SURVEY_FIELD_MAP m_fields{};
    std::string m_columns;  // the COPY's column list
    bool m_bGuarded = false; // row-level security: INSERTs, never COPY
    bool m_bDeferIndex = false;
    PG_ERROR m_error;
    std::map<LOG_ID, LOG_STATE> m_logs;
    std::string m_problem;
    bool m_bRefused = false;
    size_t m_held = 0;
    bool m_bWarnedClear = false;
    std::vector<std::string> m_warnings;
    bool m_bStyled = false; // this connection wrote the default styles
    std::function<bool()> m_stop;
    // Kept across reconnections: a refused row is reported once.
    std::map<LOG_ID, std::set<std::pair<int, int>>> m_rejectedKeys;
    std::vector<REJECTED_ROW> m_rejected;
    std::vector<REJECTED_ROW> m_updated;
    // Changes the database would not take (Log, LogRepeat, LineDigest): told once.
    std::map<LOG_ID, std::set<std::tuple<int, int, int64_t>>> m_refusedUpdates;
};

// The connection GDAL's driver opens for the layer styles: connection with
// the same keep-alive and time-outs as ours (its own words win).
std::string StylesConnection(const std::string& connection);
// Whether a connection's host (PQhost) is this machine: a socket folder,
// an abstract socket, localhost or a loopback address.
bool IsLoopbackHost(const std::string& host);

// The LineDigest of a point.
int64_t LineDigest(const GIS_POINT& point);

// "PG:..." names a database output.
bool IsDatabaseOutput(const std::string& output);
