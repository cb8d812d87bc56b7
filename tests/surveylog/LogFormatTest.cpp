#include <gtest/gtest.h>

#include <string>

#include "SamplePoints.h"
#include "support/CommaLocale.h"
#include "surveylog/LogFormat.h"

namespace {

const std::string kNorthEastLine =
    "17,8440,0.0,123.46,45.50,-12.25,87.30,75.60,30.00,8440.000000,2,271,5,1,0,1,6,2,0,"
    "1,3,1.500000,42.250000,0.500000,5/3/2016,9:5:0,1,6/12/2023,143005.50,52.205337,"
    "NORTH,0.119000,EAST,1,8,0.900000,12.400000,METERS,45.100000,METERS,0,0,1\n";

std::string Format(const SURVEY_POINT& point, float distance)
{
    char line[kLogLineSize];
    const size_t length = FormatLogLine(point, distance, line, sizeof line);
    return std::string(line, length);
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

int CountFields(const std::string& line)
{
    int fields = 1;
    for (char c : line)
        fields += (c == ',');
    return fields;
}

struct LineCase {
    const char* name;
    SURVEY_POINT point;
    float distance;
    std::string line;
};

SURVEY_POINT SouthWest()
{
    SURVEY_POINT p = NorthEastPoint();
    p.nLocatorMode = 56; // "83.0K", not "83K"
    p.GpsFix.dfLatAng = -33.8688;
    p.GpsFix.nLatDir = DIR_SOUTH;
    p.GpsFix.dfLongAng = -151.2093;
    p.GpsFix.nLongDir = DIR_WEST;
    p.GpsFix.nGpsFix = 2;
    p.GpsFix.nNoSats = 11;
    p.GpsFix.nAltUnits = 0;
    p.GpsFix.nDgpsTime = 3;
    p.GpsFix.nDgpsId = 117;
    return p;
}

SURVEY_POINT WithoutFix()
{
    SURVEY_POINT p = NorthEastPoint(); // the position it carries must not show
    p.GpsFix.nGpsFix = 0;
    p.GpsFix.dfUTC = 123456.0;
    p.GpsFix.nTimeInd = 1;
    return p;
}

SURVEY_POINT WithMode(int code)
{
    SURVEY_POINT p;
    p.nLocatorMode = code;
    return p;
}

// A packet without additional data: frequency -1, bit fields -1, no GPS block;
// the EEPROM index beyond 2^31 prints through "%d" as stored logs always did.
SURVEY_POINT Extremes()
{
    SURVEY_POINT p;
    p.nLocatorMode = 1;
    LOCATE_DATA& ld = p.LocateData;
    ld.u32EepromFileIndex = 3000000000u;
    ld.fFrequency = -1.0f;
    ld.nCompass = ld.nArrows = ld.nAntennaMode = ld.nAccessoryType = -1;
    ld.nSondeLine = ld.nBattery = ld.nVolume = ld.nOverload = -1;
    p.nGpsMode = -1;
    p.RtcDate = RTC_DATE::Make(31, 12, 65535);
    p.RtcTime = RTC_TIME::Make(23, 59, 59);
    p.GpsFix.nGpsFix = 1;
    p.GpsFix.dfLatAng = 0.5;
    p.GpsFix.dfLongAng = 0.25;
    p.GpsFix.nAltUnits = 2;
    p.GpsFix.dfUTC = 0.004;
    return p;
}

const std::string kEmptyLine = "0,-1,0.0,0.00,0.00,0.00,0.00,0.00,0.00,0.000000,0,0,0,0,0,0,0,0,0,0,0,0.000000,"
                               "0.000000,0.000000,0/0/0,0:0:0,0,0/0/0,0.00,0.000000,0,0.000000,0,0,0,0.000000,"
                               "0.000000,0,0.000000,0,0,0,0\n";

class LogLineTable : public ::testing::TestWithParam<LineCase> {};

TEST_P(LogLineTable, PrintsByteForByte)
{
    const LineCase& c = GetParam();
    ASSERT_EQ(CountFields(c.line), kLogColumns); // the golden line itself
    EXPECT_EQ(Format(c.point, c.distance), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Golden, LogLineTable,
    ::testing::Values(
        LineCase{"north_east", NorthEastPoint(), 0.0f, kNorthEastLine},
        LineCase{"south_west", SouthWest(), 1234.56f,
                 "17,83.0K,1234.6,123.46,45.50,-12.25,87.30,75.60,30.00,8440.000000,2,271,5,1,0,1,6,2,0,"
                 "1,3,1.500000,42.250000,0.500000,5/3/2016,9:5:0,1,6/12/2023,143005.50,-33.868800,"
                 "SOUTH,-151.209300,WEST,2,11,0.900000,12.400000,0,45.100000,METERS,3,117,1\n"},
        LineCase{"no_fix", WithoutFix(), 0.0f,
                 "17,8440,0.0,123.46,45.50,-12.25,87.30,75.60,30.00,8440.000000,2,271,5,1,0,1,6,2,0,"
                 "1,3,1.500000,42.250000,0.500000,5/3/2016,9:5:0,1,6/12/2023,"
                 "123456.00,0.000000,0,0.000000,0,0,0,0.000000,0.000000,0,0.000000,0,0,0,1\n"},
        LineCase{"mode_11", WithMode(11), 0.0f, kEmptyLine},
        LineCase{"mode_0", WithMode(0), 0.0f, kEmptyLine},
        LineCase{"mode_73", WithMode(73), 0.0f, kEmptyLine},
        LineCase{"extremes", Extremes(), 0.0f,
                 "-1294967296,POWER,0.0,0.00,0.00,0.00,0.00,0.00,0.00,-1.000000,0,-1,-1,-1,-1,-1,-1,-1,-1,"
                 "-1,0,0.000000,0.000000,0.000000,31/12/65535,23:59:59,0,0/0/0,0.00,0.500000,0,0.250000,0,"
                 "1,0,0.000000,0.000000,0,0.000000,0,0,0,0\n"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(LogLine, ShortBufferIsCutAndTerminated)
{
    char line[16];
    const size_t length = FormatLogLine(NorthEastPoint(), 0.0f, line, sizeof line);
    EXPECT_EQ(length, sizeof line - 1);
    EXPECT_EQ(std::string(line), kNorthEastLine.substr(0, 15));
}

TEST(LogLine, ReadsBackEveryCarriedColumn)
{
    SURVEY_POINT read;
    ASSERT_TRUE(ReadLogLine(kNorthEastLine.c_str(), read));

    SURVEY_POINT expected = NorthEastPoint();
    // No column carries these.
    expected.u32AppIdentifier = 0;
    expected.LocateData.nLogMode = 0;
    expected.LocateData.u32LogId = 0;
    expected.ZdaData.dfUTC = 0.0;
    // Printed with two decimals.
    expected.LocateData.fDepth = 123.46f;
    EXPECT_NEAR(read.LocateData.fStrength, 0.756f, 1e-7f);
    read.LocateData.fStrength = expected.LocateData.fStrength;
    EXPECT_EQ(read, expected);
}

TEST(LogLine, WordsAndCodesWithoutARowReadAsZero)
{
    SURVEY_POINT read;
    ASSERT_TRUE(ReadLogLine(kEmptyLine.c_str(), read));
    EXPECT_EQ(read.nLocatorMode, 0); // "-1"
    EXPECT_EQ(read.GpsFix.nLatDir, 0);
    EXPECT_EQ(read.GpsFix.nAltUnits, 0);
    EXPECT_EQ(Format(read, 0.0f), kEmptyLine);
}

struct ReadCase {
    const char* name;
    std::string line;
    bool yields;
};

class ReadLineTable : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadLineTable, YieldsAPointOnlyWith43Tokens)
{
    SURVEY_POINT read = NorthEastPoint();
    EXPECT_EQ(ReadLogLine(GetParam().line.c_str(), read), GetParam().yields);
    if (!GetParam().yields) {
        EXPECT_EQ(read, NorthEastPoint()) << "a dropped line leaves the point alone";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, ReadLineTable,
    ::testing::Values(ReadCase{"empty", "", false}, ReadCase{"separators_only", ",,,\n,,\n", false},
                      ReadCase{"units_line", kLogUnitsLine, false},
                      ReadCase{"42_fields", kNorthEastLine.substr(0, kNorthEastLine.rfind(',')) + "\n", false},
                      ReadCase{"empty_field_shifts_into_42", Replace(kNorthEastLine, ",3,1.500000,", ",3,,"), false},
                      ReadCase{"crlf", Replace(kNorthEastLine, "\n", "\r\n"), true},
                      ReadCase{"more_than_43", Replace(kNorthEastLine, "\n", ",77,junk\n"), true},
                      ReadCase{"no_line_feed", Replace(kNorthEastLine, "\n", ""), true}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(LogLine, EmptyFieldShiftsTheLaterColumnsLeft)
{
    // Column 22 empty, one token more at the end: columns 22 on take the next token.
    const std::string line = Replace(Replace(kNorthEastLine, ",3,1.500000,", ",3,,"), "\n", ",9\n");
    SURVEY_POINT read;
    ASSERT_TRUE(ReadLogLine(line.c_str(), read));
    EXPECT_FLOAT_EQ(read.fMarkerDepth, 42.25f);
    EXPECT_FLOAT_EQ(read.fMarkerSignal, 0.5f);
    EXPECT_FLOAT_EQ(read.fMarkerGain, 5.0f); // "5/3/2016" read as a number
    EXPECT_EQ(read.GpsFix.nTimeInd, 9u);
}

TEST(LogLine, CarriageReturnAndExtraTokensDoNotChangeTheLastColumn)
{
    for (const std::string& line : {Replace(kNorthEastLine, "\n", "\r\n"), Replace(kNorthEastLine, "\n", ",77\n")}) {
        SURVEY_POINT read;
        ASSERT_TRUE(ReadLogLine(line.c_str(), read));
        EXPECT_EQ(read.GpsFix.nTimeInd, 1u);
        EXPECT_EQ(read.GpsFix.nDgpsId, 0u);
    }
}

TEST(LogLine, UnsignedColumnsPrintedNegativeReadBackTheSameBits)
{
    SURVEY_POINT read;
    const std::string line = Replace(kNorthEastLine, "17,8440,", "-1294967296,8440,");
    ASSERT_TRUE(ReadLogLine(line.c_str(), read));
    EXPECT_EQ(read.LocateData.u32EepromFileIndex, 3000000000u);
}

// With the user's locale in force a number may print "1,5": inside a CSV line
// that adds a column. The log must not follow the locale.
TEST(LogLine, DecimalCommaLocaleDoesNotReachTheFile)
{
    CommaLocale comma;
    std::string why;
    if (!comma.Enter(why))
        GTEST_SKIP() << why;
    const std::string line = Format(NorthEastPoint(), 0.0f);
    SURVEY_POINT read;
    const bool yields = ReadLogLine(kNorthEastLine.c_str(), read);
    comma.Leave();
    EXPECT_EQ(line, kNorthEastLine);
    ASSERT_TRUE(yields);
    EXPECT_DOUBLE_EQ(read.GpsFix.dfLatAng, 52.205337);
}

} // namespace
