// A receiver whose solution changes while the crew walks: a list of steps,
// each a fix type held for some seconds with the horizontal accuracy (1 sigma)
// its GST reports. Corrected steps (DGPS, RTK float, RTK fixed) carry a
// correction age that counts up from 1 s when the step begins.
//   autonomous:5,float:5:0.3,fixed
// The last step lasts to the end; a step without accuracy takes its type's
// usual one (autonomous 3 m, DGPS 0.8 m, float 0.3 m, fixed 0.02 m).
#pragma once

#include <string>
#include <vector>

#include "WalkTrack.h"

struct QUALITY_STEP {
    int nQuality = 1;          // GGA fix quality
    double dfSeconds = 0.0;    // 0: to the end
    double dfHAccuracy = 0.0;  // metres, 1 sigma
};

using QUALITY_PLAN = std::vector<QUALITY_STEP>;

// Steps of TYPE[:SECONDS[:METRES]] with TYPE autonomous, dgps, float or fixed;
// false for anything else (error then says why).
bool ParseQualityPlan(const std::string& text, QUALITY_PLAN& plan, std::string& error);

// Puts the step in force elapsed seconds after start-up into a sample with a
// fix: its fix quality, accuracy, correction age and station.
void ApplyQualityPlan(const QUALITY_PLAN& plan, double elapsed, GPS_SAMPLE& sample);
