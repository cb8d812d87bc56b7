// The crew's utility map through fieldbook-ctl: a survey of two utilities,
// a new segment, a void point, a note and a job, driven against a running
// fieldbook --headless, comes out as attributes and three lines in the kept
// GeoPackage and a DXF export, while the CSV keeps its 43 columns; and the
// control's bad inputs get their exit status and a clear error.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sys/stat.h>
#include <string>
#include <thread>
#include <vector>

#include "gis/GdalReadBack.h"
#include "support/LocatorExchange.h"
#include "support/Pty.h"
#include "support/SurveyRun.h"

namespace {

using namespace std::chrono_literals;

const std::string kConfig = "PORT#GPS#PORTNUMBER#4\nPORT#GPS#ENABLED#TRUE\nPORT#BLUETOOTH#PORTNUMBER#5\n"
                            "PORT#BLUETOOTH#ENABLED#TRUE\nSCREEN#RESOLUTION#QUARTER\nDEBUG#LEVEL#0x00000000\n";

struct CTL_RESULT {
    int status = -1;
    std::string out, err;
};

CTL_RESULT Ctl(const SurveyRun& run, const std::string& docs, const std::vector<std::string>& words)
{
    static int n = 0;
    const std::string name = "ctl" + std::to_string(++n);
    std::vector<std::string> argv{std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-ctl/fieldbook-ctl", "--documents",
                                  docs};
    argv.insert(argv.end(), words.begin(), words.end());
    ChildProcess child;
    CTL_RESULT result;
    if (!child.Start(argv, {}, run.File(name + ".out"), run.File(name + ".err")) ||
        !child.Wait(std::chrono::seconds(10), &result.status))
        return result;
    result.out = ReadWholeFile(run.File(name + ".out"));
    result.err = ReadWholeFile(run.File(name + ".err"));
    return result;
}

// The running fieldbook answers once its main loop runs.
bool WaitForControl(const SurveyRun& run)
{
    for (int i = 0; i < 100; ++i) {
        if (Ctl(run, run.Docs(), {"status"}).status == 0)
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

std::string Field(const OGRFeature& f, const char* name)
{
    const int index = f.GetFieldIndex(name);
    return index >= 0 && f.IsFieldSetAndNotNull(index) ? f.GetFieldAsString(index) : "<null>";
}

TEST(UtilityMap, SurveyThroughTheControlMakesAttributesAndLines)
{
    SurveyRun run;
    ASSERT_TRUE(WriteWholeFile(run.Docs() + "KV4300TraceProofIni+.txt", kConfig));
    Pty locator(run.Ports(), 5);
    ChildProcess receiver;
    ASSERT_TRUE(run.StartSim(receiver, {"--no-locator", "--rate", "10"}, "gps"));
    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(run.WaitForOutput("GPS fix\n")) << run.Out();
    ASSERT_TRUE(WaitForControl(run)) << run.Out() << run.Err();

    auto ok = [&](const std::vector<std::string>& words) {
        const CTL_RESULT r = Ctl(run, run.Docs(), words);
        EXPECT_EQ(r.status, 0) << words[0] << ": " << r.err;
        return r.out;
    };
    uint32_t index = 0;
    auto log = [&](int points) {
        for (int i = 0; i < points; ++i)
            EXPECT_GT(SendAndReadFixQuality(locator, ++index), 0);
        EXPECT_TRUE(run.WaitForPoints(index, 10s)) << run.Out();
    };
    ok({"job", "--ticket", "T-2041", "--client", "City Works", "--site", "Elm St", "--crew", "K7"});
    ok({"utility", "electric", "--id", "Feeder 12", "--owner", "Grid Co", "--size", "100mm"});
    log(3);
    ok({"utility", "gas", "--id", "Main 3", "--method", "exposed"});
    log(3);
    EXPECT_EQ(ok({"void"}), "void: point 6\n");
    ok({"note", "kerb box, checked twice"});
    ok({"segment"});
    log(3);
    const std::string status = ok({"status"});
    EXPECT_NE(status.find("utility: gas\n"), std::string::npos) << status;
    EXPECT_NE(status.find("segment: 2\n"), std::string::npos) << status;
    EXPECT_NE(status.find("ticket: T-2041\n"), std::string::npos) << status;
    EXPECT_NE(status.find("gps: fix\n"), std::string::npos) << status;
    EXPECT_EQ(StopProcess(fieldbook), 0);
    EXPECT_EQ(StopProcess(receiver), 0);

    // The CSV: nine whole lines of 43 columns, nothing of the crew's in them.
    const std::vector<std::string> logs = run.LogFiles();
    ASSERT_EQ(logs.size(), 1u);
    const std::string csv = ReadWholeFile(run.Logs() + logs[0]);
    EXPECT_EQ(WholeLogProblem(csv), "");
    EXPECT_EQ(LogRows(csv).size(), 9u);
    EXPECT_EQ(csv.find("Feeder"), std::string::npos);

    const std::string stem = logs[0].substr(0, logs[0].size() - 4);
    GDALDatasetUniquePtr gpkg = OpenForReading(run.Logs() + stem + ".gpkg");
    ASSERT_TRUE(gpkg);
    OGRLayer* points = gpkg->GetLayerByName("survey_points");
    ASSERT_NE(points, nullptr);
    for (const auto& [item, want] : {std::pair{"TICKET", "T-2041"}, {"CLIENT", "City Works"}, {"SITE", "Elm St"},
                                     {"CREW", "K7"}}) {
        const char* held = points->GetMetadataItem(("FIELDBOOK_" + std::string(item) + "_" + logs[0]).c_str());
        EXPECT_STREQ(held != nullptr ? held : "<none>", want) << item;
    }
    std::vector<OGRFeatureUniquePtr> rows = Features(*points);
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(Field(*rows[0], "UtilityType"), "electric");
    EXPECT_EQ(Field(*rows[0], "UtilityId"), "Feeder 12");
    EXPECT_EQ(Field(*rows[0], "Colour"), "red");
    EXPECT_EQ(Field(*rows[0], "Owner"), "Grid Co");
    EXPECT_EQ(Field(*rows[0], "Size"), "100mm");
    EXPECT_EQ(Field(*rows[0], "Method"), "active");
    EXPECT_EQ(Field(*rows[0], "QualityLevel"), "B");
    EXPECT_EQ(Field(*rows[0], "Ticket"), "T-2041");
    EXPECT_EQ(Field(*rows[0], "Void"), "0");
    EXPECT_EQ(Field(*rows[3], "Colour"), "yellow");
    EXPECT_EQ(Field(*rows[3], "Method"), "exposed");
    EXPECT_EQ(Field(*rows[3], "QualityLevel"), "A");
    EXPECT_EQ(Field(*rows[5], "Void"), "1");
    EXPECT_EQ(Field(*rows[5], "Note"), "kerb box, checked twice");
    EXPECT_EQ(Field(*rows[6], "Segment"), "2");

    // Three lines: the electric feeder, the gas main without its void point,
    // and the gas main's second segment.
    auto checkLines = [](OGRLayer& layer, const char* typeField) {
        std::map<std::string, int> vertices;
        for (const auto& f : Features(layer)) {
            const OGRGeometry* g = f->GetGeometryRef();
            if (g == nullptr || wkbFlatten(g->getGeometryType()) != wkbLineString)
                continue;
            const std::string type = Field(*f, typeField);
            if (type != "electric" && type != "gas")
                continue;
            vertices[type + " " + (f->GetFieldIndex("Segment") >= 0 ? Field(*f, "Segment") : "") +
                     std::to_string(VertexCount(g))]++;
        }
        return vertices;
    };
    OGRLayer* lines = gpkg->GetLayerByName("utility_lines");
    ASSERT_NE(lines, nullptr);
    EXPECT_EQ(checkLines(*lines, "UtilityType"),
              (std::map<std::string, int>{{"electric 13", 1}, {"gas 12", 1}, {"gas 23", 1}}));
    for (const auto& f : Features(*lines)) {
        EXPECT_EQ(Field(*f, "Ticket"), "T-2041");
        if (Field(*f, "UtilityType") == "gas" && Field(*f, "Segment") == "1") {
            EXPECT_EQ(Field(*f, "Points"), "2");
            EXPECT_EQ(Field(*f, "QualityLevel"), "A");
            EXPECT_EQ(Field(*f, "FirstLog"), "4");
            EXPECT_EQ(Field(*f, "LastLog"), "5");
            EXPECT_NE(Field(*f, "Length"), "<null>");
        }
    }

    // QGIS's default style of the lines: categorised by type in the colours.
    OGRLayer* styles = gpkg->GetLayerByName("layer_styles");
    ASSERT_NE(styles, nullptr);
    std::string linesQml;
    for (const auto& f : Features(*styles))
        if (Field(*f, "f_table_name") == "utility_lines")
            linesQml = Field(*f, "styleQML");
    EXPECT_NE(linesQml.find("type=\"categorizedSymbol\" attr=\"UtilityType\""), std::string::npos) << linesQml;
    EXPECT_NE(linesQml.find("<category value=\"electric\""), std::string::npos) << linesQml;
    EXPECT_NE(linesQml.find("\"228,26,28,255\""), std::string::npos) << linesQml;   // red
    EXPECT_NE(linesQml.find("\"242,197,0,255\""), std::string::npos) << linesQml;   // yellow

    // The log exported to output; its exit status.
    auto exportTo = [&](const std::string& output) {
        ChildProcess exporter;
        int status = -1;
        if (!exporter.Start({std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-export/fieldbook-export", "-o",
                             output, run.Logs() + logs[0]},
                            {}, run.File("export.out"), run.File("export.err")) ||
            !exporter.Wait(60s, &status))
            return -1;
        return status;
    };

    // The DXF export: the lines on a drawing layer per utility type.
    const std::string dxf = run.File("map.dxf");
    ASSERT_EQ(exportTo(dxf), 0) << ReadWholeFile(run.File("export.err"));
    GDALDatasetUniquePtr drawing = OpenForReading(dxf);
    ASSERT_TRUE(drawing);
    EXPECT_EQ(checkLines(*drawing->GetLayer(0), "Layer"),
              (std::map<std::string, int>{{"electric 3", 1}, {"gas 2", 1}, {"gas 3", 1}}));

    // GPX: the job in the survey track's description.
    const std::string gpx = run.File("map.gpx");
    ASSERT_EQ(exportTo(gpx), 0) << ReadWholeFile(run.File("export.err"));
    EXPECT_NE(ReadWholeFile(gpx).find("<desc>Job: ticket T-2041; client City Works; site Elm St; crew K7</desc>"),
              std::string::npos);
}

struct BAD_INPUT {
    std::vector<std::string> words;
    int status;
    const char* error; // in stderr
};

TEST(UtilityMap, ControlRefusesBadInputs)
{
    SurveyRun run;
    ASSERT_TRUE(WriteWholeFile(run.Docs() + "KV4300TraceProofIni+.txt", kConfig));
    // No fieldbook yet: exit 1 saying so.
    const CTL_RESULT none = Ctl(run, run.Docs(), {"status"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no fieldbook is running with the documents folder"), std::string::npos) << none.err;

    ChildProcess fieldbook;
    ASSERT_TRUE(run.StartFieldbook(fieldbook));
    ASSERT_TRUE(WaitForControl(run)) << run.Out() << run.Err();
    const BAD_INPUT cases[] = {
        {{}, 2, "no command given"},
        {{"dig"}, 2, "unknown command 'dig'"},
        {{"utility"}, 2, "utility needs a TYPE"},
        {{"utility", "plasma"}, 2, "unknown utility type 'plasma' (electric, gas, communications, water"},
        {{"utility", "gas", "--colour", "red"}, 2, "unknown word '--colour' for utility"},
        {{"utility", "gas", "--id"}, 2, "--id needs a value"},
        {{"utility", "gas", "--method", "dowsing"}, 2, "unknown locate method 'dowsing'"},
        {{"utility", "gas", "--level", "E"}, 2, "bad quality level 'E' (A, B, C or D)"},
        {{"utility", "gas", "--id", "a\nb"}, 2, "--id holds a control character"},
        {{"segment", "now"}, 2, "unknown word 'now' for segment"},
        {{"note"}, 2, "note needs a text"},
        {{"note", "a", "b"}, 2, "note takes one text (quote it)"},
        {{"job", "--client", "x"}, 2, "job needs --ticket"},
        {{"void"}, 1, "no point logged yet in this log"},
        {{"segment"}, 1, "no utility set"},
    };
    for (const BAD_INPUT& c : cases) {
        const CTL_RESULT r = Ctl(run, run.Docs(), c.words);
        const std::string what = c.words.empty() ? "(none)" : c.words[0];
        EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(r.out, "") << what;
    }
    // The socket is the owner's only.
    struct stat st{};
    ASSERT_EQ(::stat((run.Docs() + "fieldbook-ctl.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(StopProcess(fieldbook), 0);
}

} // namespace
