#include "support/BenchSurvey.h"

#include <cstdlib>

std::string BenchFolder()
{
    static const std::string folder = [] {
        char pattern[] = "/tmp/fieldbook-bench-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        return made != nullptr ? std::string(made) + "/" : std::string("./");
    }();
    return folder;
}

SURVEY_POINT BenchPoint(int i)
{
    SURVEY_POINT p;
    p.nLocatorMode = 1 + i % 72;
    p.LocateData.u32EepromFileIndex = static_cast<uint32_t>(i);
    p.LocateData.fDepth = 100.0f + static_cast<float>(i % 300) * 0.37f;
    p.LocateData.fCurrent = 12.5f + static_cast<float>(i % 50);
    p.LocateData.fPhase = static_cast<float>(i % 360) - 180.0f;
    p.LocateData.fSignal = 60.0f + static_cast<float>(i % 40) * 0.5f;
    p.LocateData.fStrength = static_cast<float>(i % 100) / 100.0f;
    p.LocateData.fGain = 30.0f;
    p.LocateData.fFrequency = 8440.0f;
    p.LocateData.nCompass = i % 512;
    p.RtcDate = RTC_DATE::Make(6, 12, 2023);
    p.RtcTime = RTC_TIME::Make(14, static_cast<uint32_t>(i / 60 % 60), static_cast<uint32_t>(i % 60));
    p.ZdaData.nDay = 6;
    p.ZdaData.nMonth = 12;
    p.ZdaData.nYear = 2023;
    GPS_FIX& fix = p.GpsFix;
    fix.dfUTC = 143000.0 + i % 6000;
    fix.nGpsFix = (i % 50 == 0) ? 0 : 1;
    if (fix.nGpsFix != 0) {
        fix.dfLatAng = 52.2 + i * 1e-5;
        fix.nLatDir = DIR_NORTH;
        fix.dfLongAng = 0.12 + i * 7e-6;
        fix.nLongDir = DIR_EAST;
        fix.nNoSats = 9;
        fix.dfHorizDil = 0.9;
        fix.dfAltVal = 12.4;
        fix.nAltUnits = UNITS_METRES;
        fix.dfGeoidVal = 45.1;
        fix.nGeoidUnits = UNITS_METRES;
    }
    fix.nTimeInd = 1;
    return p;
}
