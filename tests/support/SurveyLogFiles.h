// Survey logs for the GIS tests, written as fieldbook writes them: the whole
// file to ".<name>.tmp" beside it, then renamed over the log.
#pragma once

#include <string>
#include <vector>

#include "link/SurveyPoint.h"

// Point n of a walk south-east of the equator and west of Greenwich: Log 1000 + n,
// latitude -33.8 - n * 0.00001, longitude -70.6 - n * 0.00002 (both exact in the
// log's six decimals), altitude 100 + n / 10; every seventh point (n % 7 == 3)
// has no fix.
SURVEY_POINT SamplePoint(int n);
// Points first .. first + count - 1.
std::vector<SURVEY_POINT> SamplePoints(int first, int count);
bool WriteSurveyLog(const std::string& path, const std::vector<SURVEY_POINT>& points);
// The companion record of such a log, written whole: survey's first line, then
// a record per point whose EllipsoidHeight is its altitude + 20 m (none
// without a fix) and whose quality says RTK fixed at 0.02 m.
bool WriteCompanionRecord(const std::string& logPath, const std::vector<SURVEY_POINT>& points,
                          const std::string& survey);
