// Reading a survey log while fieldbook rewrites it: only the new points, and
// from the top again when the file under the part already read changed.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "gis/LogTail.h"
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
        std::vector<GIS_POINT> points;
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
        std::vector<GIS_POINT> all;
        size_t none = 0;
        ASSERT_TRUE(whole.ReadNew(path, all, none));
        for (size_t i = 0; i < points.size(); ++i)
            EXPECT_EQ(points[i].fDistance, all[first + i].fDistance) << i;
        if (s.commit)
            tail.Commit();
    }
    std::vector<GIS_POINT> points;
    size_t first = 0;
    EXPECT_FALSE(tail.ReadNew(dir.File("missing.txt"), points, first));
}
