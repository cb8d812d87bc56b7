#include <gtest/gtest.h>

#include <cstring>

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
