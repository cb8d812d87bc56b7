// fieldbook-report's work, and the window's Report command:
//   fieldbook-report [--crs EPSG:n] [--paper a4|letter] [--map RASTER] -o REPORT.pdf INPUT...
// Every input is read and checked before a page is drawn, the PDF goes to a
// temporary file beside REPORT.pdf and is renamed over it only when whole,
// so a refused input or a failure leaves no partial report (and an earlier
// report of that name as it was).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct REPORT_REQUEST {
    std::string output;
    std::vector<std::string> inputs;
    std::string crs;          // empty: the UTM zone of the survey
    bool bLetter = false;     // --paper letter
    std::string mapRaster;    // --map
};

// Returns -1 to run, else the exit status after --help or --version (0) or a
// usage error (2), printed to out/err.
int ParseReportCommandLine(int argc, char** argv, REPORT_REQUEST& request, std::FILE* out, std::FILE* err);
std::string ReportUsageText();

// Makes the report. False with a one-line reason in error; nothing is left
// at request.output then. Needs a QGuiApplication.
bool MakeReport(const REPORT_REQUEST& request, std::string& error);

// fieldbook-report's own run: a QGuiApplication on the offscreen platform
// when none exists, then MakeReport. Exit status 0, or 2 with the reason on err.
int RunReportCommand(int argc, char** argv, std::FILE* out, std::FILE* err);
