#include "app/UtilityCodes.h"

#include <strings.h>

#include "app/ConfigFile.h"

namespace {
constexpr UTILITY_CODE kApwa[] = {
    {"electric", "Electric", "red"},
    {"gas", "Gas / oil / steam", "yellow"},
    {"communications", "Communications", "orange"},
    {"water", "Potable water", "blue"},
    {"reclaimed", "Reclaimed water", "purple"},
    {"sewer", "Sewer / drain", "green"},
    {"survey", "Temporary survey", "pink"},
    {"excavation", "Proposed excavation", "white"},
};

// The UK's street-works colours: low-voltage electricity black, street
// lighting orange, gas yellow, water blue, telecommunications grey, cable
// television green, sewers and drains brown.
constexpr UTILITY_CODE kUk[] = {
    {"electric", "Electricity", "black"},
    {"lighting", "Street lighting", "orange"},
    {"gas", "Gas", "yellow"},
    {"water", "Water", "blue"},
    {"communications", "Telecoms", "grey"},
    {"cabletv", "Cable TV", "green"},
    {"sewer", "Sewer / drain", "brown"},
};

constexpr COLOUR_TABLE kTables[] = {
    {"APWA", kApwa},
    {"UK", kUk},
};

constexpr LOCATE_METHOD kMethods[] = {
    {"active", "active"},
    {"passive-power", "passive power"},
    {"passive-radio", "passive radio"},
    {"sonde", "sonde"},
    {"radar", "radar"},
    {"exposed", "exposed"},
};

bool SameWord(std::string_view a, const char* b)
{
    const size_t n = std::char_traits<char>::length(b);
    return a.size() == n && ::strncasecmp(a.data(), b, n) == 0;
}
} // namespace

const COLOUR_TABLE* FindColourTable(std::string_view name)
{
    for (const COLOUR_TABLE& table : kTables)
        if (SameWord(name, table.name))
            return &table;
    return nullptr;
}

const COLOUR_TABLE& CurrentColourTable()
{
    const COLOUR_TABLE* table = FindColourTable(GetConfig().m_strColours);
    return table != nullptr ? *table : kTables[0];
}

const UTILITY_CODE* FindUtilityCode(const COLOUR_TABLE& table, std::string_view type)
{
    for (const UTILITY_CODE& code : table.codes)
        if (SameWord(type, code.type))
            return &code;
    return nullptr;
}

std::string UtilityTypeList(const COLOUR_TABLE& table)
{
    std::string list;
    for (const UTILITY_CODE& code : table.codes)
        list += (list.empty() ? "" : ", ") + std::string(code.type);
    return list;
}

std::span<const LOCATE_METHOD> LocateMethods() { return kMethods; }

const LOCATE_METHOD* FindLocateMethod(std::string_view word)
{
    for (const LOCATE_METHOD& method : kMethods)
        if (SameWord(word, method.word) || SameWord(word, method.stored))
            return &method;
    return nullptr;
}

std::string LocateMethodList()
{
    std::string list;
    for (const LOCATE_METHOD& method : kMethods)
        list += (list.empty() ? "" : ", ") + std::string(method.word);
    return list;
}

const char* QualityLevelOf(std::string_view storedMethod)
{
    return storedMethod == "exposed" ? "A" : "B";
}

bool IsQualityLevel(std::string_view level)
{
    return level.size() == 1 && level[0] >= 'A' && level[0] <= 'D';
}
