// Reading a survey log while fieldbook rewrites it: only the new points, and
// from the top again when the file under the part already read changed.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "surveylog/LogTail.h"
#include "surveylog/SurveyLog.h"
#include "support/ScratchDir.h"
#include "support/SurveyLogFiles.h"

TEST(LogTail, ReadsOnlyNewPointsAndStartsAgainOnAnotherFile)
{
    struct STEP {
        const char* what;
        int from, count;   // the log now holds sample points from .. from + count - 1
        const char* tail;  // text appended after the whole lines ("" for none)
        bool commit;       // the points read were delivered
        size_t first;      // expected: points before those read
        int firstLog;      // expected Log of the first point read (-1: none read)
        size_t read;
        int edited = -1;   // the point whose Depth the office corrected (-1: none)
        int cutLine = 0;   // the line (1: header) cut to 41 columns (0: none)
    };
    const STEP steps[] = {
        {"first save", 0, 3, "", true, 0, 1000, 3},
        {"grown by two", 0, 5, "", true, 3, 1003, 2},
        {"not delivered", 0, 7, "", false, 5, 1005, 2},
        {"read again after a failed delivery", 0, 7, "", true, 5, 1005, 2},
        {"a last line without its line feed waits", 0, 7, "1007,POWER,0.0", true, 7, -1, 0},
        {"a line before the last corrected", 0, 7, "", true, 0, 1000, 7, 1},
        {"grown after it", 0, 9, "", true, 7, 1007, 2, 1},
        {"a line that is no point", 0, 11, "", true, 9, 1009, 1, 1, 13},
        {"another survey under the same name", 50, 4, "", true, 0, 1050, 4},
    };
    ScratchDir dir;
    const std::string path = dir.File("0712140000.txt");
    CLogTail tail;
    for (const STEP& s : steps) {
        SCOPED_TRACE(s.what);
        std::vector<SURVEY_POINT> logged = SamplePoints(s.from, s.count);
        if (s.edited >= 0)
            logged[static_cast<size_t>(s.edited)].LocateData.fDepth += 0.5f;
        ASSERT_TRUE(WriteSurveyLog(path, logged));
        if (s.cutLine > 0) {
            std::string text = ReadWholeFile(path);
            size_t start = 0;
            for (int line = 1; line < s.cutLine; ++line)
                start = text.find('\n', start) + 1;
            size_t cut = start;
            for (int column = 0; column < 41; ++column)
                cut = text.find(',', cut) + 1;
            ASSERT_TRUE(WriteWholeFile(path, text.erase(cut - 1, text.find('\n', start) - cut + 1)));
        }
        if (*s.tail != '\0') {
            ASSERT_TRUE(WriteWholeFile(path, ReadWholeFile(path) + s.tail));
        }
        std::vector<LOGGED_POINT> points;
        size_t first = 99;
        ASSERT_TRUE(tail.ReadNew(path, points, first));
        EXPECT_EQ(first, s.first);
        ASSERT_EQ(points.size(), s.read);
        if (s.cutLine > 0) {
            ASSERT_EQ(tail.Skipped().size(), 1u);
            EXPECT_EQ(tail.Skipped()[0].line, static_cast<size_t>(s.cutLine));
            EXPECT_EQ(tail.Skipped()[0].columns, 41);
        } else {
            EXPECT_TRUE(tail.Skipped().empty());
        }
        if (s.read > 0) {
            EXPECT_EQ(points[0].Point.LocateData.u32EepromFileIndex, static_cast<uint32_t>(s.firstLog));
        }
        // The Distance column carries on from the points read before, as a
        // reading of the whole file gives it.
        CLogTail whole;
        std::vector<LOGGED_POINT> all;
        size_t none = 0;
        ASSERT_TRUE(whole.ReadNew(path, all, none));
        for (size_t i = 0; i < points.size(); ++i)
            EXPECT_EQ(points[i].fDistance, all[first + i].fDistance) << i;
        if (s.commit)
            tail.Commit();
    }
    std::vector<LOGGED_POINT> points;
    size_t first = 0;
    EXPECT_FALSE(tail.ReadNew(dir.File("missing.txt"), points, first));
}

// The survey log saves its companion record beside the CSV; the reader joins
// them, and copes with what a power cut, an editor or a copied CSV leaves.
TEST(LogTail, JoinsTheCompanionRecordAndSkipsWhatDoesNotBelong)
{
    struct ROW {
        const char* what;
        void (*damage)(const std::string& companion, const std::string& log);
        std::vector<bool> joined;   // per point
        size_t badRecords;
        size_t firstBadLine;
        bool surveyIsId;            // else the fingerprint of the first line
    };
    const ROW rows[] = {
        {"whole", [](const std::string&, const std::string&) {}, {true, true, true}, 0, 0, true},
        {"last record torn by a power cut",
         [](const std::string& c, const std::string&) {
             const std::string text = ReadWholeFile(c);
             WriteWholeFile(c, text.substr(0, text.size() - 25));
         },
         {true, true, false}, 1, 4, true},
        {"a record edited by hand",
         [](const std::string& c, const std::string&) {
             std::string text = ReadWholeFile(c);
             const size_t line3 = text.find("\n{\"n\":1,") + 1;
             text.replace(line3, 8, "{\"n\":1;\"");
             WriteWholeFile(c, text);
         },
         {true, false, true}, 1, 3, true},
        {"no companion", [](const std::string& c, const std::string&) { std::remove(c.c_str()); },
         {false, false, false}, 0, 0, false},
        {"another survey's CSV copied over the log",
         [](const std::string&, const std::string& log) {
             std::vector<SURVEY_POINT> other = SamplePoints(0, 3);
             for (SURVEY_POINT& p : other)
                 p.GpsFix.dfLongAng += 0.01;
             WriteSurveyLog(log, other);
         },
         {false, false, false}, 0, 0, false},
    };
    ScratchDir dir;
    CSurveyLog* log = CSurveyLog::GetInstance();
    for (const ROW& row : rows) {
        SCOPED_TRACE(row.what);
        log->Clear();
        log->SetFolder(dir.Path());
        log->SetFileName("0712140000.txt");
        log->SetAnnotator([](const SURVEY_POINT& p, POINT_HEIGHTS& h, POINT_RECORD& r) {
            h.EllipsoidHeight = p.GpsFix.dfAltVal + 20.0;
            r.AntennaHeight = 1.85;
            r.Geoid = "egm96_15.gtx";
            r.Utility.type = "gas";
            r.Note = "valve \"7\"\nbox";
        });
        for (SURVEY_POINT point : SamplePoints(0, 3)) {
            point.GpsFix.dfLatAng -= 4.4e-9; // beyond the CSV's six decimals
            point.Quality.u32Present = QUALITY_FIX_TYPE | QUALITY_V_ACCURACY;
            point.Quality.nFixType = FIX_RTK_FLOAT;
            point.Quality.dfVAccuracy = 0.031;
            log->Add(point);
        }
        ASSERT_TRUE(log->Save());
        const std::string path = log->GetFullPath();
        const std::string companion = dir.File("0712140000.jsonl");
        // The format's first line, written out by hand.
        EXPECT_EQ(ReadWholeFile(companion).substr(0, ReadWholeFile(companion).find('\n') + 1),
                  "{\"fieldbook\":\"survey record\",\"version\":1,\"survey\":\"" + log->GetSurveyId() +
                      "\",\"log\":\"0712140000.txt\"}\n");
        row.damage(companion, path);

        CLogTail tail;
        std::vector<LOGGED_POINT> points;
        size_t first = 0;
        ASSERT_TRUE(tail.ReadNew(path, points, first, true));
        ASSERT_EQ(points.size(), row.joined.size());
        EXPECT_EQ(tail.BadRecords(), row.badRecords);
        EXPECT_EQ(tail.FirstBadRecord(), row.firstBadLine);
        EXPECT_EQ(tail.Survey() == log->GetSurveyId(), row.surveyIsId) << tail.Survey();
        for (size_t i = 0; i < points.size(); ++i) {
            const LOGGED_POINT& p = points[i];
            ASSERT_EQ(p.bRecord, row.joined[i]) << i;
            if (!p.bRecord) {
                EXPECT_FALSE(p.Heights.EllipsoidHeight.has_value());
                EXPECT_EQ(p.Point.Quality, GPS_QUALITY{});
                continue;
            }
            EXPECT_EQ(p.Point.GpsFix.dfLatAng, log->GetAt(i).GpsFix.dfLatAng) << i;
            EXPECT_EQ(p.Point.Quality, log->GetAt(i).Quality) << i;
            EXPECT_EQ(p.Heights.EllipsoidHeight, log->GetHeights(i).EllipsoidHeight) << i;
            EXPECT_EQ(p.Record.AntennaHeight, 1.85);
            EXPECT_EQ(p.Record.Geoid, "egm96_15.gtx");
            EXPECT_EQ(p.Record.Utility.type, "gas");
            EXPECT_EQ(p.Record.Note, "valve \"7\"\nbox");
        }
    }
    log->SetAnnotator({});
    log->Clear();
    log->SetFileName("");
}

// A companion that cannot be written fails the save: the CSV stays as it was,
// the points stay in memory, and the next save that works writes them whole.
TEST(LogTail, UnwritableCompanionFailsTheSaveAndLosesNothing)
{
    ScratchDir dir;
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->Clear();
    log->SetFolder(dir.Path());
    log->SetFileName("0712140000.txt");
    log->Add(SamplePoint(0));
    ASSERT_TRUE(log->Save());
    const std::string before = ReadWholeFile(dir.File("0712140000.txt"));
    const std::string companion = dir.File("0712140000.jsonl");
    const std::string record = ReadWholeFile(companion);
    ASSERT_EQ(std::rename(companion.c_str(), dir.File("aside").c_str()), 0);
    ASSERT_EQ(::mkdir(companion.c_str(), 0700), 0);
    log->Add(SamplePoint(1));
    EXPECT_FALSE(log->Save());
    EXPECT_EQ(log->GetUnsavedCount(), 1u);
    EXPECT_EQ(ReadWholeFile(dir.File("0712140000.txt")), before);
    ASSERT_EQ(::rmdir(companion.c_str()), 0);
    ASSERT_EQ(std::rename(dir.File("aside").c_str(), companion.c_str()), 0);
    ASSERT_TRUE(log->Save());

    // Taken over by a new start under the same name: same survey, both points
    // with their records, the next point appended after them.
    log->Clear();
    log->ReadFile(dir.File("0712140000.txt"));
    log->Add(SamplePoint(2));
    ASSERT_TRUE(log->Save());
    CLogTail tail;
    std::vector<LOGGED_POINT> points;
    size_t first = 0;
    ASSERT_TRUE(tail.ReadNew(dir.File("0712140000.txt"), points, first, true));
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(tail.Survey(), record.substr(record.find("\"survey\":\"") + 10, 32));
    EXPECT_EQ(tail.BadRecords(), 0u);
    for (const LOGGED_POINT& p : points)
        EXPECT_TRUE(p.bRecord);
    log->Clear();
    log->SetFileName("");
}
