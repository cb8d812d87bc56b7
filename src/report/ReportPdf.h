// The report laid out on paper: Qt's own PDF writer and painter, no widgets.
// Needs a QGuiApplication (the offscreen platform will do) for its fonts.
#pragma once

#include <string>

#include "report/ReportModel.h"

struct REPORT_PAPER {
    bool bLetter = false;   // US Letter, else A4
    std::string mapRaster;  // drawn under the map sheets; empty: none
    std::string version;    // fieldbook's, for the title block
};

// Writes the whole report into path (which is created or replaced). False
// with the reason in error.
bool WriteReportPdf(const REPORT_MODEL& model, const REPORT_PAPER& paper, const std::string& path,
                    std::string& error);
