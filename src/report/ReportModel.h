// The content of the client's report, worked out before anything is drawn:
// the job, the points in the map grid, the utility lines, the tables' texts
// and the quality and method statement. No drawing here; ReportPdf lays it
// out on pages.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gis/ReportSources.h"
#include "gis/UtilityLines.h"

class CMapGrid;

// One point as the report shows it.
struct REPORT_POINT {
    const LOGGED_POINT* pLogged = nullptr;
    size_t survey = 0;          // index into REPORT_MODEL::surveys
    bool bFix = false;          // has a position, and it is in the grid
    double x = 0.0, y = 0.0;    // map grid, metres east and north (units converted)
    bool bBelowGate = false;
    std::string utility;        // "electric Feeder 12", empty without one
};

// One utility line segment in the map grid, metres.
struct REPORT_LINE {
    UTILITY_LINE line;
    std::vector<double> x, y;
};

// A utility as the utilities table lists it: its segments summed.
struct REPORT_UTILITY {
    UTILITY_TAG tag;          // of its first point (segment ignored)
    size_t points = 0;
    size_t segments = 0;
    double dfLength = 0.0;    // metres
    std::optional<double> MinDepth, MaxDepth;
    std::vector<std::string> methods; // each method its points were located by
};

struct REPORT_STATEMENT {
    std::vector<std::pair<std::string, size_t>> fixCounts; // fix type text, points
    size_t measured = 0;      // points that are not void
    size_t voids = 0;
    size_t belowGate = 0;
    size_t noFix = 0;
    std::optional<double> H95Median, H95Worst, V95Median, V95Worst;
    size_t h95Count = 0, v95Count = 0;
    std::vector<std::string> stations;  // differential reference station ids
    std::vector<std::string> sources;   // where the positions came from
    std::optional<double> CorrectionAgeWorst;
    std::vector<std::string> geoids;    // geoid model(s) in force
    std::vector<std::string> antennas;  // antenna height(s) in force
};

struct REPORT_MODEL {
    std::vector<REPORT_SURVEY> surveys;
    std::vector<REPORT_POINT> points;   // every point of every survey, in order
    std::vector<REPORT_LINE> lines;
    std::vector<REPORT_UTILITY> utilities;
    REPORT_STATEMENT statement;
    JOB_INFO job;                       // the jobs of the inputs, joined
    std::string firstDate, lastDate;    // "2026-06-12"
    std::string crs;                    // "EPSG:32633"
    std::string crsName;                // "WGS 84 / UTM zone 33N"
    bool bCrsChosen = false;            // the map grid was asked for (--crs)
    double dfMetresPerUnit = 1.0;       // of the grid's own coordinates
    double minX = 0.0, minY = 0.0, maxX = 0.0, maxY = 0.0; // extent of fixed points, metres
    bool bExtent = false;
    double dfConvergence = 0.0;         // radians: true north's angle from grid north, clockwise
    std::shared_ptr<CMapGrid> grid;
};

// Builds the model: every point projected into crs (empty: the UTM zone of
// the first fixed point). False with the reason for a CRS that cannot be used.
bool BuildReportModel(std::vector<REPORT_SURVEY> surveys, const std::string& crs, REPORT_MODEL& model,
                      std::string& error);

// Texts of the tables and the statement.
std::string MetresText(const std::optional<double>& metres, int decimals = 2); // "1.23 m", "" when absent
std::string DecimalText(const std::optional<double>& value, int decimals);      // "1.23", "" when absent
std::string UtcTimeText(const LOGGED_POINT& point); // "14:30:05"
std::string FixText(const LOGGED_POINT& point);     // "RTK fixed", "no fix"
// What a quality level of the utility-mapping standards means, in their words.
const char* QualityLevelMeaning(const std::string& level);
