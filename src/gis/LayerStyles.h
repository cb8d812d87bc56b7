// Default QGIS styles of the survey layers, so that a crew's GeoPackage (or the
// office database) opens in QGIS looking like the window's track view:
//   survey_points   classed by Depth in the track view's eight colours
//                   (shallow yellow to deep violet, equal intervals, legend
//                   in metres with two decimals), labelled with Log at 1:2500
//                   and closer; a point whose QualityOK is false is drawn
//                   hollow (data-defined fill, so a layer without that column
//                   draws every point filled) inside a triangle, which has
//                   its own legend entry "below the quality gate" (so the
//                   classes are rules, not a graduated renderer)
//   survey_track    a grey line, as the track view draws it
//   utility_points  graduated by UtilityElevation, small diamonds that sit
//                   inside the survey points' rings
//   utility_lines   categorised by UtilityType, each type in its colour code's
//                   colour, labelled with UtilityId and the depth range
// QGIS keeps a layer's default style in a table layer_styles in the same
// GeoPackage or database (one row per style, useAsDefault marking the one it
// applies on opening); the texts are QGIS's own QML.
#pragma once

#include <string>
#include <utility>
#include <vector>

class GDALDataset;

inline constexpr char kUtilityLayer[] = "utility_points";
inline constexpr char kUtilityLinesLayer[] = "utility_lines";
inline constexpr char kStyleTable[] = "layer_styles";
inline constexpr char kStyleName[] = "fieldbook";

// Value ranges the graduated classes span, in the columns' own units (Depth as
// the locator sent it). A range of no width is widened to one unit around it.
struct STYLE_RANGES {
    double dfDepthMin = 0.0, dfDepthMax = 5.0;
    double dfElevationMin = 0.0, dfElevationMax = 100.0;
    // Each UtilityType of utility_lines with its Colour's name, as the
    // categories of that layer's style.
    std::vector<std::pair<std::string, std::string>> utilityTypes;
    bool bDepthMetres = true; // Depth in metres (a legend says so), else as the protocol sent it
};

// The ranges of the dataset's own values (Depth of survey_points,
// UtilityElevation of utility_points); a layer or column that is missing or
// empty keeps the default range.
STYLE_RANGES StyleRangesOf(GDALDataset& dataset);

// The QML of a layer; empty for a layer name without a style.
std::string LayerStyleQml(const std::string& layer, const STYLE_RANGES& ranges);

// Writes the default style of each survey layer the dataset holds into its
// layer_styles table (created in QGIS's layout when missing: GeoPackage, or
// PostgreSQL with schema as the layers' schema), replacing the rows this
// program wrote before. Within the caller's transaction, if one is open.
// False with the reason in error.
bool WriteLayerStyles(GDALDataset& dataset, const STYLE_RANGES& ranges, std::string& error,
                      const std::string& schema = "public");
