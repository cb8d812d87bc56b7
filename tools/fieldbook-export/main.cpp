// fieldbook-export [-f FORMAT] -o OUTPUT LOG...: survey logs as GIS data.
// fieldbook-export [--unit NAME] [--watch DIR] -o PG:...: into the office database.
#include <cstdio>

#include "gis/PgExport.h"
#include "gis/SurveyExport.h"

int main(int argc, char** argv)
{
    // The office database takes options of its own (--watch, --unit).
    if (IsDatabaseCommandLine(argc, argv))
        return RunDatabaseExport(argc, argv, stdout, stderr);
    EXPORT_REQUEST request;
    const int status = ParseExportCommandLine(argc, argv, request, stdout, stderr);
    if (status == 0 && !request.bVersion)
        std::fputs(DatabaseUsageText(), stdout); // --help: the database's part too
    if (status >= 0)
        return status;
    return RunExport(request, stderr);
}
