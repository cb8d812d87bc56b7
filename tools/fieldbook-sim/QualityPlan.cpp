#include "QualityPlan.h"

#include <cmath>
#include <sstream>

#include "PacketScript.h"

namespace {

struct STEP_TYPE {
    const char* name;
    int nQuality;
    double dfHAccuracy;
};
constexpr STEP_TYPE kStepTypes[] = {
    {"autonomous", 1, 3.0},
    {"dgps", 2, 0.8},
    {"float", 5, 0.3},
    {"fixed", 4, 0.02},
};

// The reference station a corrected step names in GGA.
constexpr int kStation = 42;

} // namespace

bool ParseQualityPlan(const std::string& text, QUALITY_PLAN& plan, std::string& error)
{
    plan.clear();
    std::istringstream steps(text);
    std::string step;
    while (std::getline(steps, step, ',')) {
        std::istringstream parts(step);
        std::string type, seconds, metres;
        std::getline(parts, type, ':');
        std::getline(parts, seconds, ':');
        std::getline(parts, metres, ':');
        QUALITY_STEP s;
        bool known = false;
        for (const STEP_TYPE& t : kStepTypes) {
            if (type == t.name) {
                s.nQuality = t.nQuality;
                s.dfHAccuracy = t.dfHAccuracy;
                known = true;
            }
        }
        if (!known) {
            error = "unknown fix type in --quality-plan: " + type;
            return false;
        }
        if ((!seconds.empty() && (!ParseDouble(seconds, s.dfSeconds) || s.dfSeconds <= 0.0)) ||
            (!metres.empty() && (!ParseDouble(metres, s.dfHAccuracy) || s.dfHAccuracy <= 0.0))) {
            error = "bad step in --quality-plan: " + step;
            return false;
        }
        plan.push_back(s);
    }
    if (plan.empty())
        error = "empty --quality-plan";
    return !plan.empty();
}

void ApplyQualityPlan(const QUALITY_PLAN& plan, double elapsed, GPS_SAMPLE& sample)
{
    if (plan.empty() || !sample.bFix)
        return;
    double begin = 0.0;
    const QUALITY_STEP* step = &plan.back();
    for (const QUALITY_STEP& s : plan) {
        if (s.dfSeconds <= 0.0 || elapsed < begin + s.dfSeconds) {
            step = &s;
            break;
        }
        begin += s.dfSeconds;
    }
    sample.nQuality = step->nQuality;
    sample.dfHAccuracy = step->dfHAccuracy;
    if (step->nQuality != 1) {
        sample.dfCorrectionAge = 1.0 + std::floor(std::max(0.0, elapsed - begin));
        sample.nStation = kStation;
    }
}
