#include "support/UtilitySurvey.h"

#include "surveylog/SurveyLog.h"

bool WriteUtilitySurvey(const std::string& folder, size_t points, UTILITY_SURVEY& survey)
{
    const size_t half = points / 2;
    survey.belowGateIndex = half + 2;
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->Clear();
    log->SetFolder(folder);
    log->SetFileName("0712140000.txt");
    const uint32_t firstLog = survey.firstLog;
    log->SetAnnotator([half, firstLog](const SURVEY_POINT& p, POINT_HEIGHTS& h, POINT_RECORD& r) {
        const size_t n = p.LocateData.u32EepromFileIndex - firstLog;
        const double depth = p.LocateData.fDepth / 100.0;
        h.EllipsoidHeight = p.GpsFix.dfAltVal + 20.0;
        h.GroundElevation = p.GpsFix.dfAltVal - 1.8;
        h.UtilityElevation = p.GpsFix.dfAltVal - 1.8 - depth;
        h.Depth = depth;
        r.AntennaHeight = 1.8;
        r.Geoid = "egm96_15.gtx";
        if (n < half)
            r.Utility = {"electric", kElectricId, "red", "City Power", "", "", "active", "B", 0};
        else
            r.Utility = {"potable water", kWaterId, "blue", "Harbour Water", "150 mm", "ductile iron", "exposed", "A", 0};
    });
    for (size_t n = 0; n < points; ++n) {
        const size_t k = n < half ? n : n - half;
        SURVEY_POINT p;
        p.nLocatorMode = 51;
        p.LocateData.nProtocolId = 2; // depth in centimetres
        p.LocateData.u32EepromFileIndex = static_cast<uint32_t>(firstLog + n);
        p.LocateData.fDepth = 80.0f + static_cast<float>(n % 9) * 5.0f;
        p.RtcDate = RTC_DATE::Make(7, 12, 2026);
        p.RtcTime = RTC_TIME::Make(14, static_cast<uint32_t>(n / 60 % 60), static_cast<uint32_t>(n % 60));
        GPS_FIX& fix = p.GpsFix;
        fix.dfUTC = 140000.0 + static_cast<double>(n / 60 % 60 * 100 + n % 60);
        fix.nTimeInd = 1;
        fix.nGpsFix = 4;
        fix.nNoSats = 14;
        fix.dfLatAng = -(33.8 - static_cast<double>(k) * 0.00002); // north about 2.2 m a point
        fix.nLatDir = DIR_SOUTH;
        fix.dfLongAng = -(70.6 - (n < half ? 0.0 : 0.0003));
        fix.nLongDir = DIR_WEST;
        fix.dfAltVal = 100.0;
        fix.nAltUnits = UNITS_METRES;
        GPS_QUALITY& q = p.Quality;
        q.u32Present = QUALITY_FIX_TYPE | QUALITY_H_ACCURACY | QUALITY_V_ACCURACY | QUALITY_CORRECTION_AGE |
                       QUALITY_STATION | QUALITY_CHECKED;
        q.nFixType = FIX_RTK_FIXED;
        q.dfHAccuracy = 0.012;
        q.dfVAccuracy = 0.02;
        q.dfCorrectionAge = 1.0;
        q.u32Station = 1001;
        q.nSource = SOURCE_RECEIVER;
        q.bQualityOK = true;
        if (n == survey.belowGateIndex) {
            fix.nGpsFix = 5;
            q.nFixType = FIX_RTK_FLOAT;
            q.dfHAccuracy = 0.2;
            q.bQualityOK = false;
        }
        if (!log->Add(p))
            return false;
    }
    log->SetVoid(survey.voidIndex, true);
    log->SetNote(5, "valve box");
    log->SetJob({kSurveyTicket, kSurveyClient, kSurveySite, kSurveyCrew});
    const bool saved = log->Save();
    survey.log = log->GetFullPath();
    log->SetAnnotator({});
    log->Clear();
    log->SetFileName("");
    return saved;
}
