// fieldbook-report [--crs EPSG:n] [--paper a4|letter] [--map RASTER] -o REPORT.pdf INPUT...:
// the client's report of a utility survey as a PDF.
#include <cstdio>

#include "report/ReportCommand.h"

int main(int argc, char** argv)
{
    return RunReportCommand(argc, argv, stdout, stderr);
}
