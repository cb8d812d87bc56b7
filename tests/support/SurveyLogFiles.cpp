#include "support/SurveyLogFiles.h"

#include <cstdio>

#include "surveylog/Companion.h"
#include "surveylog/LogFormat.h"

SURVEY_POINT SamplePoint(int n)
{
    SURVEY_POINT p;
    p.nLocatorMode = 51; // 8440
    p.LocateData.u32EepromFileIndex = static_cast<uint32_t>(1000 + n);
    p.LocateData.fDepth = 120.5f + static_cast<float>(n % 10);
    p.LocateData.fStrength = 0.5f;
    p.RtcDate = RTC_DATE::Make(7, 12, 2026);
    p.RtcTime = RTC_TIME::Make(14, static_cast<uint32_t>(n / 60 % 60), static_cast<uint32_t>(n % 60));
    p.ZdaData.nDay = 7;
    p.ZdaData.nMonth = 12;
    p.ZdaData.nYear = 2026;
    GPS_FIX& fix = p.GpsFix;
    fix.dfUTC = 140000.0 + n % 60;
    fix.nTimeInd = 1;
    if (n % 7 != 3) {
        fix.nGpsFix = 1;
        fix.nNoSats = 9;
        fix.dfLatAng = -33.8 - n * 0.00001;
        fix.nLatDir = DIR_SOUTH;
        fix.dfLongAng = -70.6 - n * 0.00002;
        fix.nLongDir = DIR_WEST;
        fix.dfAltVal = 100.0 + n / 10.0;
        fix.nAltUnits = UNITS_METRES;
    }
    return p;
}

std::vector<SURVEY_POINT> SamplePoints(int first, int count)
{
    std::vector<SURVEY_POINT> points;
    for (int n = first; n < first + count; ++n)
        points.push_back(SamplePoint(n));
    return points;
}

bool WriteSurveyLog(const std::string& path, const std::vector<SURVEY_POINT>& points)
{
    const size_t slash = path.rfind('/');
    const std::string temporary = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
        return false;
    std::fputs(kLogHeaderLine, file);
    std::fputs(kLogUnitsLine, file);
    CTrackDistance distance;
    char line[kLogLineSize];
    for (const SURVEY_POINT& point : points) {
        const size_t length = FormatLogLine(point, distance.Next(point), line, sizeof line);
        std::fwrite(line, 1, length, file);
    }
    const bool ok = std::fclose(file) == 0;
    return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool WriteCompanionRecord(const std::string& logPath, const std::vector<SURVEY_POINT>& points,
                          const std::string& survey)
{
    std::string text;
    AppendCompanionHeader(text, survey, logPath.substr(logPath.rfind('/') + 1));
    for (size_t i = 0; i < points.size(); ++i) {
        SURVEY_POINT point = points[i];
        POINT_HEIGHTS heights;
        if (point.GpsFix.nGpsFix != 0) {
            heights.EllipsoidHeight = point.GpsFix.dfAltVal + 20.0;
            point.Quality.u32Present = QUALITY_FIX_TYPE | QUALITY_H_ACCURACY;
            point.Quality.nFixType = FIX_RTK_FIXED;
            point.Quality.dfHAccuracy = 0.02;
        }
        AppendCompanionPoint(text, i, point, heights, POINT_RECORD{});
    }
    std::FILE* file = std::fopen(CompanionPathForLog(logPath).c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return (std::fclose(file) == 0) && written;
}
