#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "surveylog/ModeNames.h"

namespace {

std::string NameOf(int code)
{
    char buffer[kModeNameSize + 6];
    std::memset(buffer, '#', sizeof buffer);
    ModeNameFromCode(code, buffer);
    // The name and its NUL stay inside the caller's ten characters.
    EXPECT_LT(std::strlen(buffer), static_cast<size_t>(kModeNameSize));
    for (size_t i = kModeNameSize; i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], '#') << "code " << code << " wrote past the name buffer";
    return buffer;
}

TEST(ModeNames, CodeToNameGolden)
{
    const struct {
        int code;
        const char* name;
    } rows[] = {
        {1, "POWER"},   {2, "RADIO"},      {10, "208"},       {12, "220CD"},    {22, "460"},
        {23, "460CD"},  {28, "560"},       {34, "680CDI"},    {45, "1168CDI"},  {51, "8440"},
        {52, "9K8"},    {56, "83.0K"},     {57, "83K"},       {60, "MARKER"},   {61, "CUSTOM"},
        {62, "POWER 50"}, {64, "POWER 150"}, {71, "POWER 540"}, {72, "CUSTOM CD"},
        // No row: the log shows "-1".
        {0, "-1"},      {11, "-1"},        {73, "-1"},        {-1, "-1"},       {255, "-1"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(NameOf(row.code), row.name) << "code " << row.code;
}

TEST(ModeNames, NameToCode)
{
    const struct {
        const char* text;
        int code;
    } rows[] = {
        {"POWER", 1},      {"POWER 50", 62},  {"83.0K", 56}, {"83K", 57},  {"460", 22},
        {"460CD", 23},     {"CUSTOM CD", 72}, {"CUSTOM", 61},
        // Whole text, case-sensitive.
        {"power", 0},      {"POWER ", 0},     {" POWER", 0}, {"", 0},      {"POWER 5", 0},
        {"83.0", 0},       {"-1", 0},         {"11", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ModeCodeFromName(row.text), row.code) << '"' << row.text << '"';
    EXPECT_EQ(ModeCodeFromName(nullptr), 0);
}

TEST(ModeNames, EveryNameRoundTrips)
{
    int named = 0;
    for (int code = -2; code <= 80; ++code) {
        const std::string name = NameOf(code);
        if (name == "-1") {
            EXPECT_EQ(ModeCodeFromName(name.c_str()), 0);
            continue;
        }
        ++named;
        EXPECT_EQ(ModeCodeFromName(name.c_str()), code) << '"' << name << '"';
    }
    EXPECT_EQ(named, 71);
}

} // namespace
