#include "gps/GpsRecords.h"

#include <cstring>

namespace {
const char* const kDirectionWords[] = {"0", "NORTH", "SOUTH", "WEST", "EAST"};
} // namespace

void DirectionToText(int code, char* text)
{
    const char* word = (code >= DIR_NORTH && code <= DIR_EAST) ? kDirectionWords[code] : "0";
    std::strcpy(text, word);
}

void UnitsToText(int code, char* text)
{
    std::strcpy(text, code == UNITS_METRES ? "METERS" : "0");
}

int TextToDirection(const char* text)
{
    if (text == nullptr)
        return DIR_NONE;
    for (int code = DIR_NORTH; code <= DIR_EAST; ++code) {
        if (std::strcmp(text, kDirectionWords[code]) == 0)
            return code;
    }
    return DIR_NONE;
}

int TextToUnits(const char* text)
{
    return (text != nullptr && std::strcmp(text, "METERS") == 0) ? UNITS_METRES : UNITS_NONE;
}
