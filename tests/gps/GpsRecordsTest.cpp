#include <gtest/gtest.h>

#include <cstring>

#include "gps/GpsQuality.h"
#include "gps/GpsRecords.h"

TEST(GpsRecords, WordsAndCodesRoundTrip)
{
    struct Row { int code; const char* direction; const char* units; };
    const Row rows[] = {{0, "0", "0"},      {1, "NORTH", "METERS"}, {2, "SOUTH", "0"}, {3, "WEST", "0"},
                        {4, "EAST", "0"},   {5, "0", "0"},          {-1, "0", "0"}};
    for (const Row& row : rows) {
        char text[8];
        DirectionToText(row.code, text);
        EXPECT_STREQ(text, row.direction) << row.code;
        UnitsToText(row.code, text);
        EXPECT_STREQ(text, row.units) << row.code;
    }
    for (int code = 1; code <= 4; ++code) {
        char text[8];
        DirectionToText(code, text);
        EXPECT_EQ(TextToDirection(text), code);
    }
    EXPECT_EQ(TextToUnits("METERS"), 1);
}

TEST(GpsRecords, ReverseLookupsAreExactAndCaseSensitive)
{
    const char* const notWords[] = {"north", "NORTH ", "0", "", "METERS", "EASTERN"};
    for (const char* text : notWords)
        EXPECT_EQ(TextToDirection(text), 0) << text;
    EXPECT_EQ(TextToUnits("meters"), 0);
    EXPECT_EQ(TextToUnits("0"), 0);
    EXPECT_EQ(TextToDirection(nullptr), 0);
}

// The locator's GPS block has no empty fields: a differential fix (SBAS one
// of them) carries its age and station, another fix none, an unknown quality
// no fix type at all.
TEST(GpsQuality, FixTypesAndTheLocatorsBlock)
{
    struct Row {
        uint32_t fix;
        const char* text;
        const char* lamp;
        uint32_t present;
    };
    const uint32_t diff = QUALITY_FIX_TYPE | QUALITY_CORRECTION_AGE | QUALITY_STATION;
    const Row rows[] = {{0, "no fix", "no fix", QUALITY_FIX_TYPE},  {1, "autonomous", "GPS", QUALITY_FIX_TYPE},
                        {2, "DGPS", "DGPS", diff},                  {4, "RTK fixed", "RTK fixed", diff},
                        {8, "simulated", "GPS", QUALITY_FIX_TYPE}, {9, "SBAS", "SBAS", diff},
                        {10, nullptr, "GPS", 0}};
    for (const Row& row : rows) {
        const int32_t code = static_cast<int32_t>(row.fix);
        EXPECT_EQ(FixTypeText(code) == nullptr, row.text == nullptr) << row.fix;
        if (row.text != nullptr) {
            EXPECT_STREQ(FixTypeText(code), row.text);
        }
        EXPECT_STREQ(FixTypeShortText(code), row.lamp) << row.fix;
        const GPS_QUALITY q = QualityFromLocatorBlock(row.fix, 7, 133);
        EXPECT_EQ(q.u32Present, row.present) << row.fix;
        EXPECT_EQ(q.nSource, SOURCE_LOCATOR);
    }
}
