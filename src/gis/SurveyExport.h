// fieldbook-export's work: survey logs (CSV, any age, or the GeoPackage kept
// beside one) into one GIS output of any format of the table.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gis/GisSchema.h"
#include "surveylog/LogTail.h"

// The points of one survey log, in log order, with their Distance column.
struct SURVEY_INPUT {
    LOG_ID log; // the CSV file's name and the survey's fingerprint
    std::vector<GIS_POINT> points;
};

// What an input is, by its content: a survey log, a GeoPackage fieldbook
// wrote (its layer of survey points with LogFile), or neither (error says why).
enum class InputKind { None, SurveyLog, GeoPackage };
InputKind CheckSurveyInput(const std::string& path, std::string& error);

// The exit status of an export that wrote every point but skipped lines of a
// log that are no point; and the line that names each.
inline constexpr int kExitSkippedLines = 3;
std::string SkippedText(const std::string& logFile, const SKIPPED_LINE& line);

// Reads a CSV survey log (with the log's own reader, the Distance column
// worked out as the log writes it) or a GeoPackage written by fieldbook (full
// precision; one input per LogFile in it). Appends to inputs; false with the
// reason in error when path is neither or cannot be read.
bool ReadSurveyInput(const std::string& path, std::vector<SURVEY_INPUT>& inputs, std::string& error);

struct EXPORT_REQUEST {
    std::string format{}; // GDAL driver name; empty: guessed from output's extension
    std::string output{};
    std::vector<std::string> logs{};
    bool bOverwrite = false; // an existing output other than a GeoPackage is replaced
    bool bVersion = false;   // --version was answered
    // Heights of points read from a survey log, which holds none of its own:
    // --antenna METRES (antenna above the ground) and --geoid GRID (empty:
    // the receiver's own geoid). A GeoPackage's points keep the heights it
    // holds.
    // Either given for a GeoPackage input is refused (it holds its heights).
    double dfAntennaHeight = 0.0;
    bool bAntenna = false; // --antenna was given
    std::string geoid{};
    // --crs: every layer reprojected into this CRS (empty: WGS 84), every Z
    // in its unit (see MapGrid.h).
    std::string crs{};
    // --list-crs-grids CRS was asked: the grids are listed, nothing exported.
    std::string listGridsOf{};
};

// Parses "fieldbook-export [-f FORMAT] [--overwrite] -o OUTPUT LOG...". Returns
// -1 to run, else the exit status after printing help or the version (0) or a
// usage error (2) to out/err.
int ParseExportCommandLine(int argc, char** argv, EXPORT_REQUEST& request, std::FILE* out, std::FILE* err);
std::string ExportUsageText();

// Runs the export; progress and errors go to err. Exit status: 0, or 2 on any
// error (unknown format, unreadable log, output not writable).
int RunExport(const EXPORT_REQUEST& request, std::FILE* err);
