// PROJ's own command-line tools as the reference for our PROJ results: the
// same library and grids on the same machine, driven from outside our code.
#pragma once

#include <array>
#include <string>
#include <vector>

// Runs cs2cs from one CRS to another over the points (in the source CRS's axis
// order, e.g. latitude, longitude, height for EPSG:4979) and gives its output
// points (in the target's axis order), six decimals. Empty when cs2cs failed;
// a point cs2cs cannot transform comes back as infinities.
std::vector<std::array<double, 3>> Cs2cs(const std::string& from, const std::string& to,
                                          const std::vector<std::array<double, 3>>& points);
