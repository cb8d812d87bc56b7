// Survey points and a scratch folder shared by the benchmarks that save logs.
#pragma once

#include <string>

#include "link/SurveyPoint.h"

// A folder of its own under /tmp for this benchmark program, ending in '/'
// (made on the first call; "./" when it cannot be made).
std::string BenchFolder();
// Point i of a walk to the north-east: every field of the log varies with i,
// every fiftieth point has no fix.
SURVEY_POINT BenchPoint(int i);
