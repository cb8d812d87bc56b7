#include "surveylog/RecordProcessing.h"

#include "gps/GeoDistance.h"
#include "surveylog/SurveyLog.h"

namespace {

// The point logged last whose removal from the queue has not been seen yet.
// PopLocateRecord gives up silently when it cannot take the queue's lock in
// time; the same point then comes back from the next peek and must not be
// logged twice. Only this timer's thread touches it.
struct LOGGED_POINT {
    bool bValid = false;
    const SURVEY_POINT* pQueued = nullptr;
    SURVEY_POINT Copy; // as it was queued
};
LOGGED_POINT g_lastLogged;

bool IsLastLogged(const SURVEY_POINT* point)
{
    return g_lastLogged.bValid && point == g_lastLogged.pQueued && *point == g_lastLogged.Copy;
}

void WriteRecordDump(CDebugFile& log, const SURVEY_POINT& p)
{
    const LOCATE_DATA& ld = p.LocateData;
    log.Printf("\nNEW RECORD");
    log.Printf("\n==========");
    log.Printf("\nApp. Identifier   = %u\n\n", p.u32AppIdentifier);
    log.Printf("Locate Data : \n");
    log.Printf("Eeprom File Index = %u\n", ld.u32EepromFileIndex);
    log.Printf("Locator Mode      = %u\n", static_cast<unsigned>(p.nLocatorMode));
    log.Printf("Log Mode          = %d\n", ld.nLogMode);
    log.Printf("Frequency         = %f\n", static_cast<double>(ld.fFrequency));
    log.Printf("Log Id            = 0x%X\n", ld.u32LogId);
    log.Printf("File Index        = %u\n", ld.u32EepromFileIndex);
    log.Printf("Locate Depth      = %f\n", static_cast<double>(ld.fDepth));
    log.Printf("Locate Current    = %f\n", static_cast<double>(ld.fCurrent));
    log.Printf("Phase             = %f\n", static_cast<double>(ld.fPhase));
    log.Printf("Signal Strength   = %f\n", static_cast<double>(ld.fStrength));
    log.Printf("Gain              = %f\n", static_cast<double>(ld.fGain));
}

void WriteGpsDump(CDebugFile& log, const SURVEY_POINT& p, double& prevLat, double& prevLong)
{
    const GPS_FIX& fix = p.GpsFix;
    const ZDA_DATA& zda = p.ZdaData;
    const CGeoDistance geo;
    log.Printf("\nGPS GGA Data : ");
    log.Printf("\ndfUTC            = %f", fix.dfUTC);
    log.Printf("\nNo. Satellites   = %u", fix.nNoSats);
    log.Printf("\nLat. Angle       = %f", fix.dfLatAng);
    log.Printf("\nLong. Angle      = %f", fix.dfLongAng);
    log.Printf("\nPrev Lat. Angle  = %f", prevLat);
    log.Printf("\nPrev Long. Angle = %f", prevLong);
    log.Printf("\nHaversine (m)    = %f",
               geo.HaversineDistance(prevLat, fix.dfLatAng, prevLong, fix.dfLongAng, CGeoDistance::kEarthRadius));
    log.Printf("\nVincenty  (m)    = %f\n",
               geo.VincentyDistance(prevLat, fix.dfLatAng, prevLong, fix.dfLongAng, CGeoDistance::kSemiMajor,
                                    CGeoDistance::kSemiMinor));
    prevLat = fix.dfLatAng;
    prevLong = fix.dfLongAng;
    log.Printf("\nGPS ZDA Data : ");
    log.Printf("\ndfUTC            = %f", zda.dfUTC);
    log.Printf("\nnHour            = %d", zda.nHour);
    log.Printf("\nnMinute          = %d", zda.nMinute);
    log.Printf("\nnSecond          = %d", zda.nSecond);
    log.Printf("\nnDay             = %d", zda.nDay);
    log.Printf("\nnMonth           = %d", zda.nMonth);
    log.Printf("\nnYear            = %d", zda.nYear);
    log.Printf("\nnLocalZoneHour   = %d", zda.nLocalZoneHour);
    log.Printf("\nnLocalZoneMinute = %d\n", zda.nLocalZoneMinute);
}

// Signs the position, or clears what a point without a fix cannot vouch for.
// Its time, time source and date stay.
void CompleteGpsPart(SURVEY_POINT& p, CDebugFile* dump, double& prevLat, double& prevLong)
{
    GPS_FIX& fix = p.GpsFix;
    if (fix.nGpsFix != 0) {
        if (fix.nLatDir == DIR_SOUTH)
            fix.dfLatAng *= -1.0;
        if (fix.nLongDir == DIR_WEST)
            fix.dfLongAng *= -1.0;
        if (dump != nullptr)
            WriteGpsDump(*dump, p, prevLat, prevLong);
        return;
    }
    fix.dfLatAng = 0.0;
    fix.nLatDir = 0;
    fix.dfLongAng = 0.0;
    fix.nLongDir = 0;
    fix.nNoSats = 0;
    fix.dfHorizDil = 0.0;
    fix.dfAltVal = 0.0;
    fix.nAltUnits = 0;
    fix.dfGeoidVal = 0.0;
    fix.nGeoidUnits = 0;
    fix.nDgpsTime = 0;
    fix.nDgpsId = 0;
    if (dump != nullptr)
        dump->Printf("NO GPS Fix");
}

} // namespace

void ProcessQueuedRecords(IRecordSource* link, CDebugFile* systemLog, double& prevLat, double& prevLong,
                          IPointCheck* check)
{
    if (link == nullptr)
        return;
    CDebugFile* dump = (systemLog != nullptr && systemLog->IsOpen()) ? systemLog : nullptr;
    CSurveyLog* log = CSurveyLog::GetInstance();

    for (;;) {
        SURVEY_POINT* queued = link->PeekLocateRecord();
        if (queued != nullptr && IsLastLogged(queued)) {
            link->PopLocateRecord();
            queued = link->PeekLocateRecord();
            if (queued != nullptr && IsLastLogged(queued))
                return; // still not removed: try again at the next tick
        }
        g_lastLogged.bValid = false;
        if (queued == nullptr)
            return;

        // The queued point is left as it was queued, so that a point that fails
        // to leave the queue is recognised, and never signed twice.
        SURVEY_POINT point = *queued;
        if (dump != nullptr)
            WriteRecordDump(*dump, point);
        CompleteGpsPart(point, dump, prevLat, prevLong);
        if (check != nullptr)
            check->Check(point);
        if (!log->Add(point))
            return; // out of memory: the point stays queued for the next tick
        if (check != nullptr)
            check->OnLogged(point, log->GetCount());
        // A failed save keeps the point in the log's list; the next save that
        // works writes it.
        log->Save();

        g_lastLogged.bValid = true;
        g_lastLogged.pQueued = queued;
        g_lastLogged.Copy = *queued;
        link->PopLocateRecord();
    }
}

const char* TransferPaneText(bool bRunning) { return bRunning ? "XFER On" : "XFER Off"; }
