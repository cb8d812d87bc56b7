// The colours of the utility colour codes by name, as every drawing of the
// survey paints them: the window's track view, the GIS outputs' styles, DXF
// layers, KML line styles. A point's record keeps the colour's name only, so
// an output needs no colour-code table to draw it.
#pragma once

#include <cstdint>
#include <string_view>

struct NAMED_COLOUR {
    const char* name;
    uint32_t rgb;   // 0xRRGGBB
    int aci;        // the nearest AutoCAD colour index, for DXF layers
};

// The colour of name ("red"); nullptr for a name no table uses.
const NAMED_COLOUR* FindNamedColour(std::string_view name);
// "#rrggbb" of name; grey for an unknown or empty name.
uint32_t ColourRgb(std::string_view name);
