#include "point/ColourNames.h"

#include <iterator>

namespace {
// White is drawn a light grey where a white background would hide it; the
// outputs still name it white.
constexpr NAMED_COLOUR kColours[] = {
    {"red", 0xE41A1C, 1},    {"yellow", 0xF2C500, 2}, {"orange", 0xFF7F00, 30},
    {"blue", 0x1F5FD0, 5},   {"purple", 0x8E44AD, 200}, {"green", 0x2E9E3E, 3},
    {"pink", 0xF07EC0, 221}, {"white", 0xD9D9D9, 7},  {"black", 0x202020, 250},
    {"grey", 0x808080, 8},   {"brown", 0x8B5A2B, 34},
};
constexpr uint32_t kUnknownRgb = 0x808080;
} // namespace

const NAMED_COLOUR* FindNamedColour(std::string_view name)
{
    for (const NAMED_COLOUR& colour : kColours)
        if (name == colour.name)
            return &colour;
    return nullptr;
}

uint32_t ColourRgb(std::string_view name)
{
    const NAMED_COLOUR* colour = FindNamedColour(name);
    return colour != nullptr ? colour->rgb : kUnknownRgb;
}
