// Delivery into a real PostGIS database, read back with SQL (the database's own
// view of what arrived, not our writer's).
#include <cmath>
#include <cstdlib>
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <string>
#include <vector>

#include "gis/GdalErrors.h"
#include "gis/LayerStyles.h"
#include "surveylog/LogTail.h"
#include "gis/PgTarget.h"
#include "support/PostgresServer.h"
#include "support/QgisRun.h"
#include "support/ScratchDir.h"
#include "support/SurveyLogFiles.h"

namespace {

struct PgTargetTest : ::testing::Test {
    static void SetUpTestSuite() { ASSERT_TRUE(SharedPostgres().Start()) << SharedPostgres().Problem(); }
    void SetUp() override
    {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        db = "t_" + std::to_string(std::hash<std::string>{}(name) % 1000000);
        ASSERT_TRUE(SharedPostgres().CreateDatabase(db)) << SharedPostgres().Problem();
    }
    std::string Conn(const char* password = PostgresServer::Password()) const
    {
        return "PG:" + SharedPostgres().ConnInfo(db) + " password=" + password;
    }
    std::vector<std::string> Rows(const std::string& sql)
    {
        std::vector<std::string> rows;
        EXPECT_TRUE(SharedPostgres().Query(db, sql, &rows)) << SharedPostgres().Problem();
        return rows;
    }
    std::string db;
    ScratchDir dir;
};

// Points from..from+count-1 of the sample walk as a log is read back; with
// repeatedLog every point carries the same Log number.
std::vector<GIS_POINT> ReadBack(ScratchDir& dir, int from, int count, bool repeatedLog)
{
    std::vector<SURVEY_POINT> points = SamplePoints(from, count);
    for (SURVEY_POINT& p : points)
        p.LocateData.nProtocolId = 2; // Depth in centimetres in the log
    if (repeatedLog) {
        for (SURVEY_POINT& p : points)
            p.LocateData.u32EepromFileIndex = 7;
    }
    const std::string path = dir.File("0712140000.txt");
    EXPECT_TRUE(WriteSurveyLog(path, points));
    CLogTail tail;
    std::vector<GIS_POINT> read;
    size_t first = 99;
    EXPECT_TRUE(tail.ReadNew(path, read, first));
    EXPECT_EQ(first, 0u);
    return read;
}

std::string Literal(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

struct STEP {
    const char* unit;
    const char* file;
    int count;         // points 0..count-1 of the walk, handed over whole
    size_t added;      // expected new rows
};

struct CASE {
    const char* name;
    bool repeatedLog;
    std::vector<STEP> steps; // each in a run of its own (a new connection)
};

} // namespace

TEST_F(PgTargetTest, EachPointArrivesOnceInLogOrder)
{
    const CASE cases[] = {
        {"fresh log", false, {{"van-1", "0712140000.txt", 10, 10}}},
        {"same log again", false, {{"van-1", "a.txt", 10, 10}, {"van-1", "a.txt", 10, 0}}},
        {"grown log", false, {{"van-1", "b.txt", 10, 10}, {"van-1", "b.txt", 25, 15}}},
        {"two units, one name", false, {{"van-1", "c.txt", 10, 10}, {"van-2", "c.txt", 12, 12}}},
        {"one Log number for all", true, {{"van-1", "d.txt", 6, 6}, {"van-1", "d.txt", 6, 0}}},
        {"unit with a quote", false, {{"O'Neill's van", "e.txt", 5, 5}, {"O'Neill's van", "e.txt", 5, 0}}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::pair<std::string, std::string>, int> expected;
        for (const STEP& step : c.steps) {
            const std::vector<GIS_POINT> points = ReadBack(dir, 0, step.count, c.repeatedLog);
            CPgTarget target(Conn(), step.unit);
            size_t added = 99;
            ASSERT_TRUE(target.Deliver(LOG_ID{step.file, ""}, points.data(), points.size(), 0, added)) << target.Problem();
            EXPECT_EQ(added, step.added);
            expected[{step.unit, step.file}] = step.count;
        }
        for (const auto& [key, count] : expected) {
            const auto& [unit, file] = key;
            const std::string where = "\"Unit\" = " + Literal(unit) + " AND \"LogFile\" = " + Literal(file);
            const std::vector<std::string> rows = Rows(
                "SELECT \"Log\", \"LogRepeat\", coalesce(ST_Y(geom)::text, '-'), coalesce(ST_X(geom)::text, '-'), "
                "coalesce(ST_Z(geom)::text, '-') FROM survey_points WHERE " + where + " ORDER BY fid");
            ASSERT_EQ(rows.size(), static_cast<size_t>(count));
            int fixes = 0;
            for (int n = 0; n < count; ++n) {
                double lat = 0, lon = 0, alt = 0;
                int log = 0, repeat = 0;
                char latText[64] = "", lonText[64] = "", altText[64] = "";
                ASSERT_EQ(std::sscanf(rows[n].c_str(), "%d|%d|%63[^|]|%63[^|]|%63s", &log, &repeat, latText, lonText,
                                      altText), 5) << rows[n];
                EXPECT_EQ(log, c.repeatedLog ? 7 : 1000 + n);
                EXPECT_EQ(repeat, c.repeatedLog ? n : 0);
                if (n % 7 == 3) {
                    EXPECT_STREQ(latText, "-") << "a point without a fix has no position";
                    continue;
                }
                ++fixes;
                lat = std::atof(latText);
                lon = std::atof(lonText);
                alt = std::atof(altText);
                EXPECT_NEAR(lat, -33.8 - n * 0.00001, 1e-9);
                EXPECT_NEAR(lon, -70.6 - n * 0.00002, 1e-9);
                EXPECT_NEAR(alt, 100.0 + n / 10.0, 1e-6);
            }
            const std::vector<std::string> track =
                Rows("SELECT ST_NPoints(geom), ST_Z(ST_EndPoint(geom)) FROM survey_track WHERE " + where);
            ASSERT_EQ(track.size(), 1u);
            EXPECT_EQ(std::atoi(track[0].c_str()), fixes);
        }
    }
    // The layers as an office GIS sees them.
    EXPECT_EQ(Rows("SELECT f_table_name, type, coord_dimension, srid FROM geometry_columns ORDER BY f_table_name"),
              (std::vector<std::string>{"survey_points|POINT|3|4326", "survey_track|LINESTRING|3|4326",
                                        "utility_lines|LINESTRING|3|4326", "utility_points|POINT|3|4326"}));
    EXPECT_EQ(Rows("SELECT column_name || ' ' || data_type FROM information_schema.columns WHERE table_name = "
                   "'survey_points' AND column_name IN ('Log', 'Depth', 'RTCDate', 'GPS_UTC', 'Sonde/Line', 'Unit') "
                   "ORDER BY column_name"),
              (std::vector<std::string>{"Depth double precision", "GPS_UTC character varying", "Log integer",
                                        "RTCDate date", "Sonde/Line integer", "Unit character varying"}));
    // Depth in metres (the log has 120.5 cm).
    EXPECT_EQ(Rows("SELECT DISTINCT \"Depth\" FROM survey_points WHERE \"Log\" = 1000"),
              std::vector<std::string>{"1.205"});
}

TEST_F(PgTargetTest, WrongPasswordIsARefusalWithTheServersReason)
{
    CPgTarget target(Conn("not-the-password"), "van-1");
    EXPECT_FALSE(target.Connect());
    EXPECT_TRUE(target.Refused());
    EXPECT_EQ(target.Error().sqlState, "28P01");
    EXPECT_NE(target.Problem().find("password authentication failed"), std::string::npos) << target.Problem();
}

// The README's advice, sslmode=verify-full with the office's CA: a server
// whose certificate the CA signed is taken, one that shows any other is
// refused with libpq's reason.
TEST_F(PgTargetTest, VerifyFullTakesOnlyTheServerTheOfficesCaSigned)
{
    const std::string make =
        "cd '" + dir.Path() + "' && exec >openssl.log 2>&1 && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=office-ca "
        "-keyout ca.key -out ca.crt && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost "
        "-keyout signed.key -out signed.csr && "
        "printf 'subjectAltName=DNS:localhost\\n' >san && "
        "openssl x509 -req -days 2 -in signed.csr -CA ca.crt -CAkey ca.key -CAcreateserial -extfile san -out signed.crt && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost "
        "-addext subjectAltName=DNS:localhost -keyout self.key -out self.crt && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=elsewhere "
        "-keyout elsewhere.key -out elsewhere.csr && printf 'subjectAltName=DNS:elsewhere\\n' >san2 && "
        "openssl x509 -req -days 2 -in elsewhere.csr -CA ca.crt -CAkey ca.key -CAcreateserial -extfile san2 "
        "-out elsewhere.crt";
    ASSERT_EQ(std::system(make.c_str()), 0) << ReadWholeFile(dir.File("openssl.log"));
    const struct {
        const char* server; // the certificate the server shows
        bool connects;
        const char* reason;
    } cases[] = {
        {"signed", true, ""},
        {"self", false, "certificate verify failed"},
        {"elsewhere", false, "does not match host name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        ASSERT_TRUE(SharedPostgres().ServeTls(dir.File(std::string(c.server) + ".crt"),
                                              dir.File(std::string(c.server) + ".key")))
            << SharedPostgres().Problem();
        CPgTarget target("PG:" + SharedPostgres().TlsConnInfo(db) + " password=" + PostgresServer::Password() +
                             " sslmode=verify-full sslrootcert=" + dir.File("ca.crt"),
                         "van-1");
        EXPECT_EQ(target.Connect(), c.connects) << target.Problem();
        EXPECT_NE(target.Problem().find(c.reason), std::string::npos) << target.Problem();
    }
}

// The office set-up of the README: a crew's role adds and reads only rows
// of its own unit (the unit is the role), whatever it asks for.
TEST_F(PgTargetTest, CrewRoleAddsAndReadsOnlyItsOwnUnitsRows)
{
    std::vector<GIS_POINT> points = ReadBack(dir, 0, 8, false);
    for (size_t i = 0; i < points.size(); ++i) {
        points[i].Heights.UtilityElevation = 90.0;
        points[i].Record.Utility = UTILITY_TAG{i < 4 ? "electric" : "gas", i < 4 ? "F12" : "M3", i < 4 ? "red" : "yellow",
                                               "", "", "", "active", "B", 1};
        points[i].Record.bVoid = i == 4;
    }
    size_t added = 0;
    CPgTarget owner(Conn(), "office");
    ASSERT_TRUE(owner.Deliver(LOG_ID{"a.txt", "s", {"T-9", "", "", ""}}, points.data(), points.size(), 0, added))
        << owner.Problem();
    ASSERT_TRUE(SharedPostgres().Query(
        db, "DROP ROLE IF EXISTS crew7; DROP ROLE IF EXISTS crews; CREATE ROLE crews NOLOGIN; "
            "GRANT SELECT, INSERT ON survey_points TO crews; GRANT UPDATE (\"Survey\") ON survey_points TO crews; "
            "GRANT SELECT, INSERT, UPDATE ON survey_track TO crews; GRANT SELECT ON utility_points TO crews; "
            "GRANT SELECT ON utility_lines TO crews; "
            "GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO crews; "
            "ALTER TABLE survey_points ENABLE ROW LEVEL SECURITY; ALTER TABLE survey_track ENABLE ROW LEVEL SECURITY; "
            "CREATE POLICY own_unit ON survey_points TO crews USING (\"Unit\" = current_user) "
            "WITH CHECK (\"Unit\" = current_user); "
            "CREATE POLICY own_unit ON survey_track TO crews USING (\"Unit\" = current_user) "
            "WITH CHECK (\"Unit\" = current_user); "
            "CREATE ROLE crew7 LOGIN PASSWORD 'crew7-pw' IN ROLE crews"))
        << SharedPostgres().Problem();
    std::string crew = Conn("crew7-pw");
    crew.replace(crew.find("user=fieldunit"), 14, "user=crew7");
    CPgTarget target(crew, "crew7");
    ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s", {"T-9", "", "", ""}}, points.data(), points.size(), 0, added))
        << target.Problem();
    EXPECT_EQ(added, points.size());
    for (const REJECTED_ROW& row : target.TakeRejected())
        ADD_FAILURE() << row.reason;
    // Another unit's name: every row refused by the database, none added.
    CPgTarget posing(crew, "office");
    ASSERT_TRUE(posing.Deliver(LOG_ID{"b.txt", "s"}, points.data(), 2, 0, added)) << posing.Problem();
    EXPECT_EQ(added, 0u);
    const std::vector<REJECTED_ROW> rejected = posing.TakeRejected();
    ASSERT_EQ(rejected.size(), 2u);
    EXPECT_NE(rejected[0].reason.find("row-level security"), std::string::npos) << rejected[0].reason;
    EXPECT_EQ(Rows("SELECT \"Unit\", count(*) FROM survey_points GROUP BY 1 ORDER BY 1"),
              (std::vector<std::string>{"crew7|8", "office|8"}));
    // What the crew's role sees of the table: its own rows.
    PGconn* conn = PQconnectdb(crew.substr(3).c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    PGresult* result = PQexec(conn, "SELECT count(*) FROM survey_points");
    ASSERT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << PQerrorMessage(conn);
    EXPECT_STREQ(PQgetvalue(result, 0, 0), "8");
    PQclear(result);
    // The utility view too (the fourth point has no fix).
    result = PQexec(conn, "SELECT count(*) FROM utility_points");
    ASSERT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << PQerrorMessage(conn);
    EXPECT_STREQ(PQgetvalue(result, 0, 0), "7");
    PQclear(result);
    // And the utility lines: its own two (the electric line without the
    // point that has no fix, the gas line without its void point).
    result = PQexec(conn, "SELECT \"UtilityType\" || '|' || \"Points\" || '|' || \"Ticket\" || '|' || \"FirstLog\" "
                          "|| '|' || ST_NPoints(geom) || '|' || ST_Z(ST_StartPoint(geom)) FROM utility_lines ORDER BY 1");
    ASSERT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << PQerrorMessage(conn);
    ASSERT_EQ(PQntuples(result), 2);
    EXPECT_STREQ(PQgetvalue(result, 0, 0), "electric|3|T-9|1000|3|90");
    EXPECT_STREQ(PQgetvalue(result, 1, 0), "gas|3|T-9|1005|3|90");
    PQclear(result);
    PQfinish(conn);
}

// QGIS's PostgreSQL provider applies a layer's default style only when the
// row names the layer's geometry type: QGIS itself, as the README's read-only
// office role, opens the three layers with their graduated styles.
TEST_F(PgTargetTest, LayerStylesGoToQgisOwnTableAsTheLayersDefaults)
{
    std::vector<GIS_POINT> points = ReadBack(dir, 0, 20, false);
    for (size_t i = 0; i < points.size(); ++i)
        points[i].Heights.UtilityElevation = 90.0 + static_cast<double>(i);
    // Two connections: the second writes the styles again, still one default per layer.
    for (const char* file : {"0712140000.txt", "0712150000.txt"}) {
        CPgTarget target(Conn(), "van-1");
        size_t added = 0;
        ASSERT_TRUE(target.Deliver(LOG_ID{file, "s"}, points.data(), points.size(), 0, added)) << target.Problem();
    }
    EXPECT_EQ(Rows("SELECT f_table_catalog = current_database(), f_table_schema, f_table_name, f_geometry_column, "
                   "stylename, useasdefault, type, array_length(xpath('//ranges/range | //rules/rule', styleqml), 1) "
                   "FROM layer_styles ORDER BY f_table_name"),
              // survey_points: eight depth classes and the gate's rule.
              (std::vector<std::string>{"t|public|survey_points|geom|fieldbook|t|Point|9",
                                        "t|public|survey_track|geom|fieldbook|t|Line|",
                                        "t|public|utility_lines|geom|fieldbook|t|Line|",
                                        "t|public|utility_points|geom|fieldbook|t|Point|8"}));
    // The utility under each fixed point, at its elevation (every seventh point from the fourth has no fix).
    EXPECT_EQ(Rows("SELECT count(*), min(ST_Z(geom)), max(ST_Z(geom)) FROM utility_points WHERE \"LogFile\" = "
                   "'0712140000.txt'"),
              (std::vector<std::string>{"17|90|109"}));

    // The README's office role, with its grants.
    const std::string role = "office_" + db;
    ASSERT_TRUE(SharedPostgres().Query(
        db, "DROP ROLE IF EXISTS " + role + "; CREATE ROLE " + role + " LOGIN PASSWORD 'office-pw'; GRANT SELECT ON "
            "survey_points, survey_track, utility_points, layer_styles TO " + role))
        << SharedPostgres().Problem();
    std::string office = SharedPostgres().ConnInfo(db) + " password=office-pw";
    office.replace(office.find("user=fieldunit"), 14, "user=" + role);
    const QGIS_RESULT qgis =
        QgisOpenAndRender(office, {"survey_track", "utility_points", "survey_points"}, dir.File("office.png"), 800,
                          600, "postgres");
    EXPECT_TRUE(qgis.bRan) << qgis.error;
    const struct {
        const char* layer;
        const char* renderer;
        const char* attribute;
        int classes;
        long features;
    } expected[] = {
        {"survey_points", "RuleRenderer", "", 9, 40}, // eight depth classes and the gate's rule
        {"utility_points", "graduatedSymbol", "UtilityElevation", 8, 34},
        {"survey_track", "singleSymbol", "", 0, 2},
    };
    for (const auto& e : expected) {
        const QGIS_LAYER* layer = qgis.Find(e.layer);
        ASSERT_NE(layer, nullptr) << e.layer << ": " << qgis.error;
        EXPECT_TRUE(layer->bValid) << e.layer << ": " << qgis.error;
        EXPECT_EQ(layer->renderer, e.renderer) << e.layer;
        EXPECT_EQ(layer->attribute, e.attribute) << e.layer;
        EXPECT_EQ(layer->nClasses, e.classes) << e.layer;
        EXPECT_EQ(layer->nFeatures, e.features) << e.layer;
    }
    const QGIS_LAYER* points_ = qgis.Find("survey_points");
    ASSERT_NE(points_, nullptr);
    EXPECT_EQ(points_->labelField, "Log");
    EXPECT_EQ(qgis.Find("survey_track")->firstColour, "#ff707078"); // the track view's grey
    ASSERT_TRUE(SharedPostgres().Query(db, "DROP OWNED BY " + role + "; DROP ROLE " + role))
        << SharedPostgres().Problem();
}

// The accuracies at 95 % beside the receiver's figures, and what each is,
// where psql's \\d+ and QGIS show the columns' comments.
TEST_F(PgTargetTest, AccuraciesAt95PercentAndWhatEachIs)
{
    std::vector<GIS_POINT> points = ReadBack(dir, 0, 2, false);
    points[0].Point.Quality.u32Present = QUALITY_H_ACCURACY | QUALITY_V_ACCURACY;
    points[0].Point.Quality.dfHAccuracy = 0.02;
    points[0].Point.Quality.dfVAccuracy = 0.03;
    CPgTarget target(Conn(), "van-1");
    size_t added = 0;
    ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added)) << target.Problem();
    // NSSDA: 1.7308 x DRMS; 1.96 x sigma. A point without GST has neither.
    EXPECT_EQ(Rows("SELECT round(\"HAccuracy95\"::numeric, 6), round(\"VAccuracy95\"::numeric, 6) "
                   "FROM survey_points ORDER BY fid"),
              (std::vector<std::string>{"0.034616|0.058800", "|"}));
    EXPECT_EQ(Rows("SELECT attname, col_description(attrelid, attnum) FROM pg_attribute WHERE attrelid = "
                   "'survey_points'::regclass AND attname LIKE '_Accuracy%' ORDER BY attname"),
              (std::vector<std::string>{"HAccuracy|HAccuracy (m, DRMS)", "HAccuracy95|HAccuracy95 (m, 95 %, NSSDA)",
                                        "VAccuracy|VAccuracy (m, 1 sigma)", "VAccuracy95|VAccuracy95 (m, 95 %)"}));
}

namespace {

// A database that lacks PostGIS is refused before anything is made in it; once
// it has PostGIS, and with a table set half made, the delivery completes it.
TEST_F(PgTargetTest, MissingPostgisIsRefusedAndHalfMadeTablesAreCompleted)
{
    const std::vector<GIS_POINT> points = ReadBack(dir, 0, 5, false);
    ASSERT_TRUE(SharedPostgres().Query(db, "DROP EXTENSION postgis")) << SharedPostgres().Problem();
    size_t added = 0;
    {
        CPgTarget target(Conn(), "van-1");
        EXPECT_FALSE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added));
        EXPECT_NE(target.Problem().find("CREATE EXTENSION postgis"), std::string::npos) << target.Problem();
        EXPECT_TRUE(target.Refused());
    }
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_tables WHERE tablename LIKE 'survey%'"), std::vector<std::string>{"0"});
    ASSERT_TRUE(SharedPostgres().Query(db, "CREATE EXTENSION postgis")) << SharedPostgres().Problem();
    // A one-shot export makes the spatial indexes after its rows; one cut
    // off before that leaves them to the next connection.
    for (const char* cut : {"DROP TABLE survey_track", "DROP INDEX survey_points_survey_key",
                            "DROP INDEX survey_points_geom_geom_idx"}) {
        CPgTarget target(Conn(), "van-1");
        target.DeferSpatialIndexes();
        ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added)) << target.Problem();
        ASSERT_TRUE(target.Finish()) << target.Problem();
        target.Disconnect();
        ASSERT_TRUE(SharedPostgres().Query(db, cut)) << SharedPostgres().Problem();
    }
    CPgTarget target(Conn(), "van-1");
    ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added)) << target.Problem();
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_indexes WHERE indexname LIKE 'survey_%_survey_key'"),
              std::vector<std::string>{"2"});
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_indexes WHERE indexdef LIKE '%USING gist%'"),
              std::vector<std::string>{"2"});
    EXPECT_EQ(Rows("SELECT count(*) FROM survey_points"), std::vector<std::string>{"5"});
}

// One row the database refuses is set aside with the database's own reason;
// the rows after it, and the next log, still go in.
TEST_F(PgTargetTest, RefusedRowIsSetAsideAndTheRestGoesIn)
{
    const std::vector<GIS_POINT> points = ReadBack(dir, 0, 6, false);
    size_t added = 0;
    CPgTarget target(Conn(), "van-1");
    ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), 1, 0, added)) << target.Problem();
    const int refused = static_cast<int>(points[3].Point.LocateData.u32EepromFileIndex);
    ASSERT_TRUE(SharedPostgres().Query(db, "ALTER TABLE survey_points ADD CONSTRAINT no_row CHECK (\"Log\" <> " +
                                               std::to_string(refused) + ")"));
    ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data() + 1, points.size() - 1, 1, added))
        << target.Problem();
    EXPECT_EQ(added, points.size() - 2);
    const std::vector<REJECTED_ROW> rejected = target.TakeRejected();
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0].log, refused);
    EXPECT_NE(rejected[0].reason.find("no_row"), std::string::npos) << rejected[0].reason;
    EXPECT_NE(rejected[0].reason.find("SQLSTATE 23514"), std::string::npos) << rejected[0].reason;
    EXPECT_EQ(rejected[0].reason.find("aborted"), std::string::npos) << rejected[0].reason;
    // Handed over again (a restart): the refused row is not tried, nor told, twice.
    ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added)) << target.Problem();
    EXPECT_EQ(added, 0u);
    ASSERT_TRUE(target.Deliver(LOG_ID{"b.txt", "t"}, points.data(), 2, 0, added)) << target.Problem();
    EXPECT_EQ(Rows("SELECT count(*) FROM survey_points"), std::vector<std::string>{std::to_string(points.size() + 1)});
    EXPECT_TRUE(target.TakeRejected().empty());
}

// Another unit's session holds the lock for making the tables (its link died
// meanwhile): a stop request ends the wait, and once the tables exist no unit
// waits for that lock at all.
TEST_F(PgTargetTest, TablesLockIsTakenOnlyToMakeThemAndEndsOnStop)
{
    const std::vector<GIS_POINT> points = ReadBack(dir, 0, 3, false);
    PGconn* holder = PQconnectdb(Conn().substr(3).c_str());
    ASSERT_EQ(PQstatus(holder), CONNECTION_OK) << PQerrorMessage(holder);
    auto run = [holder](const char* sql) { PQclear(PQexec(holder, sql)); };
    run("SELECT pg_advisory_lock(7216354901)");
    size_t added = 0;
    CPgTarget stopped(Conn(), "van-1");
    int asked = 0;
    stopped.SetStopCheck([&asked] {
        ++asked;
        return true;
    });
    EXPECT_FALSE(stopped.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added));
    EXPECT_NE(stopped.Problem().find("another unit"), std::string::npos) << stopped.Problem();
    EXPECT_EQ(asked, 1); // the stop request ended the wait, not its time limit

    run("SELECT pg_advisory_unlock(7216354901)");
    CPgTarget owner(Conn(), "office");
    ASSERT_TRUE(owner.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added)) << owner.Problem();
    run("SELECT pg_advisory_lock(7216354901)");
    CPgTarget unit(Conn(), "van-2");
    unit.SetStopCheck([] { return true; });
    EXPECT_TRUE(unit.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added)) << unit.Problem();
    EXPECT_EQ(added, points.size());

    // A session holding the table itself (until the server ends it, 15 s
    // idle): any other lock wait is bounded too, and passes.
    run("SET idle_in_transaction_session_timeout = '15s'");
    run("BEGIN");
    run("LOCK TABLE survey_points IN ACCESS EXCLUSIVE MODE");
    CPgTarget blocked(Conn(), "van-3");
    EXPECT_FALSE(blocked.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added));
    EXPECT_EQ(blocked.Error().sqlState, "55P03") << blocked.Problem();
    PQfinish(holder);
}

} // namespace

namespace {

// A crew's role without row-level security: COPY, the office's grants.
constexpr char kHoldCrew[] =
    "DO $$BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'holdcrew') THEN "
    "CREATE ROLE holdcrew LOGIN PASSWORD 'hold-pw'; END IF; END$$; "
    "GRANT SELECT, INSERT ON survey_points TO holdcrew; GRANT SELECT, INSERT, UPDATE ON survey_track TO holdcrew; "
    "GRANT SELECT ON fieldbook_layers TO holdcrew; GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO holdcrew";

// What the office does to the tables while a crew delivers, and how it mends it.
struct OFFICE_CHANGE {
    const char* name;
    const char* change;
    const char* mend;
    const char* reason;  // in the refusal
    size_t held;         // points of the second batch held (0: the delivery goes on)
    int setAside;        // rows set aside instead
};

} // namespace

// Every point of a batch refused alike is held whole, with the reason, none
// set aside; once the office mends it the points go in, and the track follows
// Log order even where a row set aside comes in later.
TEST_F(PgTargetTest, TableWideRefusalHoldsTheBatchAndLatePointsJoinTheTrackInLogOrder)
{
    const OFFICE_CHANGE cases[] = {
        {"insert revoked", "REVOKE INSERT ON survey_points FROM holdcrew", "GRANT INSERT ON survey_points TO holdcrew",
         "permission denied", 5, 0},
        {"schema closed", "REVOKE USAGE ON SCHEMA public FROM PUBLIC", "GRANT USAGE ON SCHEMA public TO PUBLIC",
         "schema", 5, 0},
        {"trigger refusing all",
         "CREATE FUNCTION closed() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN RAISE EXCEPTION 'closed for audit'; "
         "END$$; CREATE TRIGGER closed BEFORE INSERT ON survey_points EXECUTE FUNCTION closed()",
         "DROP TRIGGER closed ON survey_points", "closed for audit", 5, 0},
        {"one row refused", "ALTER TABLE survey_points ADD CONSTRAINT no_row CHECK (\"Log\" <> 1006) NOT VALID",
         "ALTER TABLE survey_points DROP CONSTRAINT no_row", "no_row", 0, 1},
    };
    const std::vector<GIS_POINT> points = ReadBack(dir, 0, 10, false);
    size_t added = 0;
    CPgTarget owner(Conn(), "office");
    ASSERT_TRUE(owner.Deliver(LOG_ID{"setup.txt", "s"}, points.data(), 1, 0, added)) << owner.Problem();
    ASSERT_TRUE(SharedPostgres().Query(db, kHoldCrew)) << SharedPostgres().Problem();
    std::string crew = Conn("hold-pw");
    crew.replace(crew.find("user=fieldunit"), 14, "user=holdcrew");
    for (const OFFICE_CHANGE& c : cases) {
        SCOPED_TRACE(c.name);
        const LOG_ID log{std::string(c.name) + ".txt", "s"};
        CPgTarget target(crew, "crew8");
        ASSERT_TRUE(target.Deliver(log, points.data(), 5, 0, added)) << target.Problem();
        ASSERT_TRUE(SharedPostgres().Query(db, c.change)) << SharedPostgres().Problem();
        const bool going = target.Deliver(log, points.data() + 5, 5, 5, added);
        const std::vector<REJECTED_ROW> rejected = target.TakeRejected();
        EXPECT_EQ(rejected.size(), static_cast<size_t>(c.setAside));
        if (c.setAside == 0) {
            EXPECT_FALSE(going);
            EXPECT_TRUE(target.Refused()) << "not an outage: " << target.Problem();
            EXPECT_EQ(target.Held(), c.held);
            EXPECT_NE((target.Reason() + target.Problem()).find(c.reason), std::string::npos) << target.Problem();
            // A unit starting now: refused with the reason, never "out of reach".
            CPgTarget starting(crew, "crew8");
            EXPECT_FALSE(starting.Deliver(log, points.data(), points.size(), 0, added));
            EXPECT_TRUE(starting.Refused()) << starting.Problem();
            EXPECT_TRUE(target.TakeRejected().empty() && starting.TakeRejected().empty());
        } else {
            EXPECT_TRUE(going) << target.Problem();
            EXPECT_NE(rejected[0].reason.find(c.reason), std::string::npos) << rejected[0].reason;
        }
        ASSERT_TRUE(SharedPostgres().Query(db, c.mend)) << SharedPostgres().Problem();
        // The log handed over again from the top (a restart, or the watcher's retry).
        CPgTarget again(crew, "crew8");
        ASSERT_TRUE(again.Deliver(log, points.data(), points.size(), 0, added)) << again.Problem();
        EXPECT_EQ(added, c.setAside > 0 ? 1u : 5u);
        const std::string where = "\"Unit\" = 'crew8' AND \"LogFile\" = " + Literal(log.logFile);
        EXPECT_EQ(Rows("SELECT count(*) FROM survey_points WHERE " + where), std::vector<std::string>{"10"});
        EXPECT_EQ(Rows("SELECT ST_NPoints(t.geom), ST_AsText(t.geom) = (SELECT ST_AsText(ST_MakeLine(geom ORDER BY "
                       "\"Log\")) FROM survey_points WHERE " + where + " AND NOT ST_IsEmpty(geom)) "
                       "FROM survey_track t WHERE " + where),
                  std::vector<std::string>{"9|t"});
    }
}

// The office's comment on a column decides no units, and its search_path
// takes no rows elsewhere.
TEST_F(PgTargetTest, OfficeCommentsAndSearchPathMoveNothing)
{
    const std::vector<GIS_POINT> points = ReadBack(dir, 0, 3, false);
    size_t added = 0;
    {
        CPgTarget target(Conn(), "van-1");
        ASSERT_TRUE(target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added)) << target.Problem();
    }
    ASSERT_TRUE(SharedPostgres().Query(
        db, "COMMENT ON COLUMN survey_points.\"Depth\" IS 'Depth (m) below ground, checked by office'; "
            "CREATE SCHEMA elsewhere; ALTER DATABASE " + db + " SET search_path = elsewhere, public"))
        << SharedPostgres().Problem();
    CPgTarget target(Conn(), "van-1");
    ASSERT_TRUE(target.Deliver(LOG_ID{"b.txt", "s"}, points.data(), points.size(), 0, added)) << target.Problem();
    EXPECT_EQ(added, points.size());
    EXPECT_EQ(Rows("SELECT DISTINCT \"Depth\" FROM public.survey_points WHERE \"Log\" = 1000"),
              std::vector<std::string>{"1.205"});
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_tables WHERE schemaname = 'elsewhere'"), std::vector<std::string>{"0"});
    EXPECT_EQ(Rows("SELECT depth_units, schema_version FROM fieldbook_layers"), std::vector<std::string>{"m|1"});
}

// The host a connection went to, as libpq names it: only this machine's may
// go without TLS unremarked.
TEST(PgConnection, RemoteHostIsThatOfAnotherMachine)
{
    const struct {
        const char* host;
        bool loopback;
    } cases[] = {
        {"/var/run/postgresql", true}, {"localhost", true},   {"127.0.0.1", true},      {"::1", true},
        {"", true},                    {"db.example.com", false}, {"10.0.0.7", false}, {"fe80::1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsLoopbackHost(c.host), c.loopback) << c.host;
    const std::string styles = StylesConnection("host=db dbname=x keepalives_idle=60");
    EXPECT_LT(styles.find("keepalives=1 "), styles.find("host=db")) << styles;
    EXPECT_LT(styles.find("tcp_user_timeout="), styles.find("host=db")) << styles;
    EXPECT_LT(styles.find("connect_timeout="), styles.find("host=db")) << styles;
    EXPECT_EQ(StylesConnection("postgresql://db/x"), "postgresql://db/x");
}

// The point's instant in timestamptz, whatever zone the tablet (this
// process) keeps: a point without a fix, taken at 20:30 on the 7th in New
// York, is 01:30 UTC on the 8th.
TEST_F(PgTargetTest, InstantIsUtcWhateverTheTabletsZone)
{
    const char* old = std::getenv("TZ");
    const std::string kept = old != nullptr ? old : "";
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    std::vector<GIS_POINT> points = ReadBack(dir, 0, 1, false);
    points[0].Point.GpsFix = GPS_FIX{};
    points[0].Point.GpsFix.dfUTC = 203000.0;
    points[0].Point.ZdaData.nYear = 2026;
    points[0].Point.ZdaData.nMonth = 12;
    points[0].Point.ZdaData.nDay = 7;
    CPgTarget target(Conn(), "van-1");
    size_t added = 0;
    const bool delivered = target.Deliver(LOG_ID{"a.txt", "s"}, points.data(), points.size(), 0, added);
    if (old != nullptr)
        ::setenv("TZ", kept.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    ASSERT_TRUE(delivered) << target.Problem();
    EXPECT_EQ(Rows("SELECT to_char(\"UTC\" AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'), pg_typeof(\"UTC\") "
                   "FROM survey_points"),
              std::vector<std::string>{"2026-12-08 01:30:00|timestamp with time zone"});
}
