// fieldbook-export into the office database: the one-shot export of logs and
// the --watch mode, on top of CPgTarget. Events go to out, one line each;
// failures to err.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gis/SurveyExport.h"

// Whether the command line is for the database: -o PG:..., -f PostgreSQL,
// --watch or --unit.
bool IsDatabaseCommandLine(int argc, char** argv);
// "fieldbook-export [--unit NAME] -o PG:CONNECTION LOG..." or
// "fieldbook-export [--unit NAME] --watch DIR -o PG:CONNECTION". Exit status 0,
// or 2 on a usage error, an unreadable log or a database that cannot be
// reached or refuses us (one-shot); --watch runs until SIGINT or SIGTERM.
int RunDatabaseExport(int argc, char** argv, std::FILE* out, std::FILE* err);
// The database's part of --help.
const char* DatabaseUsageText();

// Sends the points of every log the database lacks for unit. 0 when all are
// in; 2 when the database cannot be reached or refuses us (the reason on err),
// or keeps refusing the points (after a few tries: another export of the same
// unit may be adding the same points at the same moment).
// Survey logs are streamed a batch at a time; a GeoPackage is read whole.
int ExportToDatabase(const std::string& output, const std::string& unit, const std::vector<std::string>& logs,
                     std::FILE* out, std::FILE* err);

// Runs --watch on folder until SIGINT or SIGTERM (0), or 2 when the folder
// cannot be watched. SIGINT and SIGTERM are blocked here and taken from a
// signalfd, so call it before any other thread starts.
int WatchIntoDatabase(const std::string& folder, const std::string& output, const std::string& unit,
                      std::FILE* out);

// The default unit name: the host name.
std::string DefaultUnitName();
