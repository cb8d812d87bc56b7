// Survey points with every column set to something recognisable, for the log
// format tests. The golden lines beside them are written out by hand.
#pragma once

#include "link/SurveyPoint.h"

// A locate with a fix in the north-east; its line, with Distance 0.0:
// "17,8440,0.0,123.46,45.50,-12.25,87.30,75.60,30.00,8440.000000,2,271,5,1,0,1,6,2,0,"
// "1,3,1.500000,42.250000,0.500000,5/3/2016,9:5:0,1,6/12/2023,143005.50,52.205337,"
// "NORTH,0.119000,EAST,1,8,0.900000,12.400000,METERS,45.100000,METERS,0,0,1\n"
inline SURVEY_POINT NorthEastPoint()
{
    SURVEY_POINT p;
    p.nLocatorMode = 51; // "8440"
    p.u32AppIdentifier = 4;
    LOCATE_DATA& ld = p.LocateData;
    ld.nLogMode = 7;
    ld.fFrequency = 8440.0f;
    ld.u32LogId = 0xBEEF;
    ld.u32EepromFileIndex = 17;
    ld.fDepth = 123.456f;
    ld.fSignal = 87.3f;
    ld.fCurrent = 45.5f;
    ld.fPhase = -12.25f;
    ld.fStrength = 0.756f;
    ld.fGain = 30.0f;
    ld.nCompass = 271;
    ld.nArrows = 5;
    ld.nAntennaMode = 1;
    ld.nAccessoryType = 0;
    ld.nSondeLine = 1;
    ld.nBattery = 6;
    ld.nVolume = 2;
    ld.nProtocolId = 2;
    ld.nOverload = 0;
    p.nGpsMode = 1;
    p.nMarkerType = 3;
    p.fMarkerDepth = 1.5f;
    p.fMarkerSignal = 42.25f;
    p.fMarkerGain = 0.5f;
    p.RtcDate = RTC_DATE::Make(5, 3, 2016);
    p.RtcTime = RTC_TIME::Make(9, 5, 0);
    p.nRtcUpdated = 1;
    GPS_FIX& fix = p.GpsFix;
    fix.dfUTC = 143005.5;
    fix.dfLatAng = 52.205337;
    fix.nLatDir = DIR_NORTH;
    fix.dfLongAng = 0.119;
    fix.nLongDir = DIR_EAST;
    fix.nGpsFix = 1;
    fix.nNoSats = 8;
    fix.dfHorizDil = 0.9;
    fix.dfAltVal = 12.4;
    fix.nAltUnits = UNITS_METRES;
    fix.dfGeoidVal = 45.1;
    fix.nGeoidUnits = UNITS_METRES;
    fix.nTimeInd = 1;
    p.ZdaData.dfUTC = 143005.5;
    p.ZdaData.nDay = 6;
    p.ZdaData.nMonth = 12;
    p.ZdaData.nYear = 2023;
    return p;
}

// A fix with a given signed position (what record processing hands the log).
inline SURVEY_POINT FixAt(double lat, double lon)
{
    SURVEY_POINT p;
    p.GpsFix.nGpsFix = 1;
    p.GpsFix.dfLatAng = lat;
    p.GpsFix.nLatDir = lat < 0 ? DIR_SOUTH : DIR_NORTH;
    p.GpsFix.dfLongAng = lon;
    p.GpsFix.nLongDir = lon < 0 ? DIR_WEST : DIR_EAST;
    return p;
}

inline SURVEY_POINT NoFix()
{
    SURVEY_POINT p;
    p.GpsFix.dfUTC = 120000.0;
    return p;
}
