// fieldbook-export [-f FORMAT] -o OUTPUT LOG...: survey logs as GIS data.
#include <cstdio>

#include "gis/SurveyExport.h"

int main(int argc, char** argv)
{
    EXPORT_REQUEST request;
    const int status = ParseExportCommandLine(argc, argv, request, stdout, stderr);
    if (status >= 0)
        return status;
    return RunExport(request, stderr);
}
