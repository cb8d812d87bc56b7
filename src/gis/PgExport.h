// fieldbook-export into the office database: the one-shot export of logs and
// the --watch mode, on top of CPgTarget. Messages go to out (events) and err
// (failures), each one line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gis/GisSchema.h"

struct PG_EXPORT_LOG {
    std::string logFile;           // the name the rows carry in LogFile
    std::vector<GIS_POINT> points; // in log order
};

// Sends the points of every log the database lacks for unit. 0 when all are
// in; 2 when the database cannot be reached or refuses us (the reason on err),
// or keeps refusing the points (after a few tries: another export of the same
// unit may be adding the same points at the same moment).
int ExportToDatabase(const std::string& output, const std::string& unit, const std::vector<PG_EXPORT_LOG>& logs,
                     std::FILE* out, std::FILE* err);

// Runs --watch on folder until SIGINT or SIGTERM (0), or 2 when the folder
// cannot be watched. The caller has blocked SIGINT and SIGTERM in every thread
// (they are taken from a signalfd).
int WatchIntoDatabase(const std::string& folder, const std::string& output, const std::string& unit,
                      std::FILE* out);

// The default unit name: the host name.
std::string DefaultUnitName();

// Reads a CSV survey log as the log reader does; false when it cannot be read.
bool ReadSurveyLogPoints(const std::string& path, std::vector<GIS_POINT>& points);
