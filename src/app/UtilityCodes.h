// The colour-code tables a crew's utility types come from (a table a row),
// the locate methods, and the quality level a method gives. LOG#COLOURS picks
// the table; APWA is the default, the UK's the second one shipped.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "surveylog/PointRecord.h"

struct UTILITY_CODE {
    const char* type;   // the word the crew types and the outputs carry
    const char* label;  // what the window's button says
    const char* colour; // a name of point/ColourNames.h
};

struct COLOUR_TABLE {
    const char* name;   // LOG#COLOURS value, upper case
    std::span<const UTILITY_CODE> codes;
};

// The table named (any case); nullptr for a name not shipped.
const COLOUR_TABLE* FindColourTable(std::string_view name);
// The table of the settings in force (APWA when the setting names none).
const COLOUR_TABLE& CurrentColourTable();
const UTILITY_CODE* FindUtilityCode(const COLOUR_TABLE& table, std::string_view type);
// "electric, gas, ..." for an error message.
std::string UtilityTypeList(const COLOUR_TABLE& table);

struct LOCATE_METHOD {
    const char* word;   // as the crew types it
    const char* stored; // as the record and the outputs carry it
};
std::span<const LOCATE_METHOD> LocateMethods();
// The method of word, or of its stored text; nullptr for neither.
const LOCATE_METHOD* FindLocateMethod(std::string_view word);
std::string LocateMethodList();

// The quality level a locate method gives: A only for a line exposed and
// surveyed, B for any surface designation; C and D come from records and
// reconnaissance, never from a locate, so the crew sets them by hand.
const char* QualityLevelOf(std::string_view storedMethod);
bool IsQualityLevel(std::string_view level);
