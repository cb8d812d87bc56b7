// fieldbook-report as the office runs it: a simulated utility survey's log
// and companion record into a PDF, read back with poppler's pdftotext and
// rendered with pdftoppm.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/ScratchDir.h"
#include "support/UtilitySurvey.h"
#include "surveylog/LogTail.h"

namespace {

std::string ReportProgram() { return std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-report/fieldbook-report"; }

struct RUN {
    int status = -1;
    std::string out, err;
};

RUN RunProgram(const ScratchDir& dir, const std::vector<std::string>& argv, std::chrono::seconds limit = std::chrono::seconds(120))
{
    RUN run;
    ChildProcess child;
    const std::string out = dir.File("run.out"), err = dir.File("run.err");
    // Under AddressSanitizer, what Qt and fontconfig keep for the whole
    // process is no leak of ours.
    const std::string suppressions = std::string(FIELDBOOK_TEST_DATA) + "/../gui/lsan.supp";
    if (!child.Start(argv, {"LSAN_OPTIONS=suppressions=" + suppressions}, out, err) || !child.Wait(limit, &run.status))
        return run;
    run.out = ReadWholeFile(out);
    run.err = ReadWholeFile(err);
    return run;
}

std::string PdfText(const ScratchDir& dir, const std::string& pdf)
{
    const RUN run = RunProgram(dir, {"/usr/bin/pdftotext", "-layout", pdf, "-"});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
}

std::vector<std::string> Pages(const std::string& text)
{
    std::vector<std::string> pages;
    std::istringstream in(text);
    for (std::string page; std::getline(in, page, '\f');)
        pages.push_back(page);
    return pages;
}

// A binary PPM (P6) as pdftoppm writes it.
struct PIXMAP {
    int width = 0, height = 0;
    std::string rgb;
    const unsigned char* At(int x, int y) const
    {
        return reinterpret_cast<const unsigned char*>(rgb.data()) + (static_cast<size_t>(y) * width + x) * 3;
    }
};

PIXMAP ReadPpm(const std::string& path)
{
    PIXMAP map;
    const std::string data = ReadWholeFile(path);
    std::istringstream in(data);
    std::string magic;
    int maxValue = 0;
    in >> magic >> map.width >> map.height >> maxValue;
    if (magic != "P6" || maxValue != 255)
        return PIXMAP{};
    const size_t start = static_cast<size_t>(in.tellg()) + 1;
    map.rgb = data.substr(start);
    if (map.rgb.size() < static_cast<size_t>(map.width) * map.height * 3)
        return PIXMAP{};
    return map;
}

TEST(Report, SimulatedSurveyHoldsTheJobEveryPointUtilitiesAndTheStatement)
{
    ScratchDir dir;
    UTILITY_SURVEY survey;
    constexpr size_t kPoints = 40;
    ASSERT_TRUE(WriteUtilitySurvey(dir.Path(), kPoints, survey));
    const std::string pdf = dir.File("report.pdf");
    const RUN run = RunProgram(dir, {ReportProgram(), "-o", pdf, survey.log});
    ASSERT_EQ(run.status, 0) << run.err;

    const std::string text = PdfText(dir, pdf);
    for (const char* expected :
         {kSurveyTicket, kSurveyClient, kSurveySite, kSurveyCrew, kElectricId, kWaterId, "0712140000.txt",
          "Quality and method statement", "depths are the locator's estimates at the time of the survey",
          "RTK fixed 38", "RTK float 1", "reference station 1001", "egm96_15.gtx", "1.800 m", "EPSG:32719",
          // 95 %: 1.7308 x 0.012 m and x 0.2 m (the point below the gate);
          // 1.96 x 0.02 m. The void point counts in neither.
          "Horizontal accuracy at 95 %: median 0.021 m, worst 0.346 m (39 points",
          "Vertical accuracy at 95 %: median 0.039 m, worst 0.039 m (39 points", "1 void point",
          "Quality level A:", "Quality level B:", "valve box", "RTK float, below gate", "void"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    std::istringstream words(text);
    std::vector<bool> seen(kPoints, false);
    for (std::string word; words >> word;) {
        char* end = nullptr;
        const long n = std::strtol(word.c_str(), &end, 10);
        if (*end == '\0' && n >= survey.firstLog && n < static_cast<long>(survey.firstLog + kPoints))
            seen[static_cast<size_t>(n - survey.firstLog)] = true;
    }
    for (size_t i = 0; i < kPoints; ++i)
        EXPECT_TRUE(seen[i]) << "Log " << survey.firstLog + i;

    // The map is the second page: the red line runs west of the blue one,
    // both 42 m long (84 mm at 1:500).
    const RUN render = RunProgram(dir, {"/usr/bin/pdftoppm", "-f", "2", "-l", "2", "-r", "60", "-singlefile", pdf,
                                 dir.File("map")});
    ASSERT_EQ(render.status, 0) << render.err;
    const PIXMAP map = ReadPpm(dir.File("map.ppm"));
    ASSERT_GT(map.width, 0);
    struct HUE {
        const char* name;
        bool (*is)(const unsigned char*);
        long count = 0;
        double sumX = 0.0;
        int top = 1 << 30, bottom = -1;
    } hues[] = {
        {"red", [](const unsigned char* p) { return p[0] > 180 && p[1] < 70 && p[2] < 70; }},
        {"blue", [](const unsigned char* p) { return p[2] > 180 && p[0] < 60 && p[1] < 130; }},
    };
    // Above the legend, which shows both colours too.
    for (int y = 0; y < map.height * 65 / 100; ++y) {
        for (int x = 0; x < map.width; ++x) {
            for (HUE& hue : hues) {
                if (hue.is(map.At(x, y))) {
                    ++hue.count, hue.sumX += x;
                    hue.top = std::min(hue.top, y), hue.bottom = std::max(hue.bottom, y);
                }
            }
        }
    }
    for (const HUE& hue : hues) {
        EXPECT_GT(hue.count, 50) << hue.name;
        EXPECT_GT(hue.bottom - hue.top, map.height / 5) << hue.name;
    }
    EXPECT_LT(hues[0].sumX / hues[0].count + map.width / 20.0, hues[1].sumX / hues[1].count);
}

TEST(Report, TenThousandPointsPaginateWithRepeatedHeadings)
{
    ScratchDir dir;
    UTILITY_SURVEY survey;
    constexpr size_t kPoints = 10000;
    ASSERT_TRUE(WriteUtilitySurvey(dir.Path(), kPoints, survey));
    const std::string pdf = dir.File("report.pdf");
    const RUN run = RunProgram(dir, {ReportProgram(), "--paper", "letter", "-o", pdf, survey.log});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> pages = Pages(PdfText(dir, pdf));
    size_t tablePages = 0, sheets = 0;
    bool index = false;
    for (const std::string& page : pages) {
        if (page.find("Map, sheet ") != std::string::npos)
            ++sheets;
        index = index || page.find("Map: index of sheets") != std::string::npos;
        if (page.find("Points of 0712140000.txt") == std::string::npos)
            continue;
        ++tablePages;
        for (const char* heading : {"Log", "Time UTC", "HAccuracy95", "Correction", "Note"})
            EXPECT_NE(page.find(heading), std::string::npos) << heading << " missing on a page of the table";
    }
    EXPECT_GT(tablePages, kPoints / 80);
    // The walk is 11 km long: too large for one sheet.
    EXPECT_TRUE(index);
    EXPECT_GT(sheets, 1u);
    EXPECT_NE(pages.back().find(std::to_string(survey.firstLog + kPoints - 1)), std::string::npos);
}

TEST(Report, BadInputsExitTwoAndLeaveNoReport)
{
    ScratchDir dir;
    UTILITY_SURVEY survey;
    ASSERT_TRUE(WriteUtilitySurvey(dir.Path(), 20, survey));
    const std::string notes = dir.File("notes.txt");
    ASSERT_TRUE(WriteWholeFile(notes, "Log of the day: nothing found\n"));
    const std::string headingsOnly = dir.File("0712150000.txt");
    const std::string whole = ReadWholeFile(survey.log);
    ASSERT_TRUE(WriteWholeFile(headingsOnly, whole.substr(0, whole.find('\n', whole.find('\n') + 1) + 1)));
    const std::string notRaster = dir.File("map.tif");
    ASSERT_TRUE(WriteWholeFile(notRaster, "not a raster"));
    struct ROW {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    } const rows[] = {
        {"a file that is no survey", {notes}, "is neither a survey log nor a GeoPackage"},
        {"a survey log that is missing", {dir.File("0101000000.txt")}, "cannot read"},
        {"a log with no points", {headingsOnly}, "holds no survey points"},
        {"a missing map raster", {"--map", dir.File("missing.tif"), survey.log}, "missing.tif"},
        {"a map raster that is none", {"--map", notRaster, survey.log}, "map.tif"},
        {"an unknown CRS", {"--crs", "EPSG:999999", survey.log}, "EPSG:999999"},
        {"a CRS without a grid", {"--crs", "EPSG:4326", survey.log}, "not a projected CRS"},
        {"an unknown paper", {"--paper", "a3", survey.log}, "a4 or letter"},
        {"the log as the report", {"-o", survey.log, survey.log}, "would replace its input"},
    };
    const std::string pdf = dir.File("report.pdf");
    for (const bool bEarlier : {false, true}) {
        for (const ROW& row : rows) {
            SCOPED_TRACE(std::string(row.what) + (bEarlier ? ", over an earlier report" : ""));
            std::remove(pdf.c_str());
            if (bEarlier) {
                ASSERT_TRUE(WriteWholeFile(pdf, "an earlier report"));
            }
            std::vector<std::string> argv = {ReportProgram()};
            if (row.args.front() != "-o")
                argv.insert(argv.end(), {"-o", pdf});
            argv.insert(argv.end(), row.args.begin(), row.args.end());
            const std::string before = ReadWholeFile(survey.log);
            const RUN run = RunProgram(dir, argv);
            EXPECT_EQ(run.status, 2);
            EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
            EXPECT_EQ(ReadWholeFile(survey.log), before);
            EXPECT_EQ(FileExists(pdf), bEarlier);
            if (bEarlier) {
                EXPECT_EQ(ReadWholeFile(pdf), "an earlier report");
            }
            for (const std::string& name : FolderEntries(dir.Path()))
                EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        }
    }
}

} // namespace

namespace {

// A map raster in WGS 84 degrees (an Arc/Info ASCII grid and its .prj)
// covering the simulated survey and more, every cell 200: drawn grey under
// the map, resampled into the survey's UTM zone.
TEST(Report, MapRasterLiesUnderTheMap)
{
    ScratchDir dir;
    UTILITY_SURVEY survey;
    ASSERT_TRUE(WriteUtilitySurvey(dir.Path(), 40, survey));
    std::string grid = "ncols 200\nnrows 200\nxllcorner -70.602\nyllcorner -33.802\ncellsize 0.00002\n";
    for (int row = 0; row < 200; ++row) {
        for (int column = 0; column < 200; ++column)
            grid += "200 ";
        grid += '\n';
    }
    ASSERT_TRUE(WriteWholeFile(dir.File("ortho.asc"), grid));
    ASSERT_TRUE(WriteWholeFile(dir.File("ortho.prj"),
                               "GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563]],"
                               "PRIMEM[\"Greenwich\",0],UNIT[\"degree\",0.0174532925199433]]"));
    const std::string pdf = dir.File("report.pdf");
    const RUN run = RunProgram(dir, {ReportProgram(), "--map", dir.File("ortho.asc"), "-o", pdf, survey.log});
    ASSERT_EQ(run.status, 0) << run.err;
    const RUN render = RunProgram(dir, {"/usr/bin/pdftoppm", "-f", "2", "-l", "2", "-r", "40", "-singlefile", pdf,
                                        dir.File("map")});
    ASSERT_EQ(render.status, 0) << render.err;
    const PIXMAP map = ReadPpm(dir.File("map.ppm"));
    ASSERT_GT(map.width, 0);
    // The frame's middle, away from the lines and the corners' marks.
    long grey = 0, all = 0;
    for (int y = map.height * 15 / 100; y < map.height * 60 / 100; ++y) {
        for (int x = map.width * 15 / 100; x < map.width * 85 / 100; ++x, ++all) {
            const unsigned char* p = map.At(x, y);
            grey += p[0] > 185 && p[0] < 215 && p[1] > 185 && p[1] < 215 && p[2] > 185 && p[2] < 215;
        }
    }
    EXPECT_GT(grey, all * 7 / 10);
}

// A GeoPackage that fieldbook-export wrote is an input as the log is.
TEST(Report, GeoPackageInputGivesTheSamePoints)
{
    ScratchDir dir;
    UTILITY_SURVEY survey;
    constexpr size_t kPoints = 12;
    ASSERT_TRUE(WriteUtilitySurvey(dir.Path(), kPoints, survey));
    const std::string gpkg = dir.File("survey.gpkg");
    const RUN exported = RunProgram(
        dir, {std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-export/fieldbook-export", "-o", gpkg, survey.log});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const std::string pdf = dir.File("report.pdf");
    const RUN run = RunProgram(dir, {ReportProgram(), "-o", pdf, gpkg});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string text = PdfText(dir, pdf);
    EXPECT_NE(text.find("0712140000.txt (12 points)"), std::string::npos);
    for (const char* job : {kSurveyTicket, kSurveyClient, kSurveySite, kSurveyCrew}) // from the file's metadata
        EXPECT_NE(text.find(job), std::string::npos) << job;
    for (size_t i = 0; i < kPoints; ++i)
        EXPECT_NE(text.find(" " + std::to_string(survey.firstLog + i) + " "), std::string::npos) << i;
}

} // namespace
