#include "gis/GisSchema.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "gps/GpsRecords.h"
#include "point/Accuracy.h"
#include "gis/PointTime.h"
#include "surveylog/LogFormat.h"
#include "surveylog/ModeNames.h"

const SURVEY_FIELD kSurveyFields[kSurveyFieldCount] = {
    {"Log", OFTInteger},         {"Mode", OFTString},        {"Distance", OFTReal},
    {"Depth", OFTReal},          {"Locate", OFTReal},        {"Phase", OFTReal},
    {"Signal", OFTReal},         {"Strength", OFTReal},      {"Gain", OFTReal},
    {"Frequency", OFTReal},      {"Protocol", OFTInteger},   {"Compass", OFTInteger},
    {"Arrows", OFTInteger},      {"Antenna", OFTInteger},    {"Accessory", OFTInteger},
    {"Sonde/Line", OFTInteger},  {"Battery", OFTInteger},    {"Volume", OFTInteger},
    {"Overload", OFTInteger},    {"GPSMode", OFTInteger},    {"MarkerType", OFTInteger},
    {"MarkerDepth", OFTReal},    {"MarkerSignal", OFTReal},  {"MarkerGain", OFTReal},
    {"RTCDate", OFTDate},        {"RTC_UTC", OFTString},     {"RTCUpdated", OFTInteger},
    {"GPSDate", OFTDate},        {"GPS_UTC", OFTString},     {"LatAng", OFTReal},
    {"LatDir", OFTString},       {"LongAng", OFTReal},       {"LongDir", OFTString},
    {"GpsFix", OFTInteger},      {"NoSats", OFTInteger},     {"HorizDil", OFTReal},
    {"AltVal", OFTReal},         {"AltUnits", OFTString},    {"GeoidVal", OFTReal},
    {"GeoidUnits", OFTString},   {"DgpsTime", OFTInteger},   {"DgpsId", OFTInteger},
    {"TimeInd", OFTInteger},     {"LogFile", OFTString},     {"Survey", OFTString},
    {"FixType", OFTString},
    {"HAccuracy", OFTReal, OFSTNone, "HAccuracy (m, DRMS)"},
    {"VAccuracy", OFTReal, OFSTNone, "VAccuracy (m, 1 sigma)"},
    {"PDOP", OFTReal},           {"VDOP", OFTReal},          {"CorrectionAge", OFTReal},
    {"Station", OFTString},      {"PositionSource", OFTString},
    {"QualityOK", OFTInteger, OFSTBoolean},
    {"EllipsoidHeight", OFTReal}, {"GroundElevation", OFTReal}, {"UtilityElevation", OFTReal},
    {"HAccuracy95", OFTReal, OFSTNone, "HAccuracy95 (m, 95 %, NSSDA)"},
    {"VAccuracy95", OFTReal, OFSTNone, "VAccuracy95 (m, 95 %)"},
    {"UTC", OFTDateTime},
    {"UtilityType", OFTString},  {"UtilityId", OFTString},   {"Colour", OFTString},
    {"Owner", OFTString},        {"Size", OFTString},        {"Material", OFTString},
    {"Method", OFTString},       {"QualityLevel", OFTString}, {"Segment", OFTInteger},
    {"Void", OFTInteger, OFSTBoolean}, {"Note", OFTString},  {"Ticket", OFTString},
};

namespace {

// The log prints its unsigned fields with "%d"; the same 32 bits read back.
int AsPrinted(uint32_t value) { return static_cast<int>(value); }

void SetReal(OGRFeature& f, int index, double value)
{
    if (index >= 0)
        f.SetField(index, value);
}
void SetInt(OGRFeature& f, int index, int value)
{
    if (index >= 0)
        f.SetField(index, value);
}
void SetText(OGRFeature& f, int index, const char* value)
{
    if (index >= 0)
        f.SetField(index, value);
}

void SetOptional(OGRFeature& f, int index, bool bPresent, double value)
{
    if (index < 0)
        return;
    if (bPresent)
        f.SetField(index, value);
    else
        f.SetFieldNull(index);
}
void SetOptional(OGRFeature& f, int index, const std::optional<double>& value)
{
    SetOptional(f, index, value.has_value(), value.value_or(0.0));
}
void SetOptionalText(OGRFeature& f, int index, const char* value)
{
    if (index < 0)
        return;
    if (value != nullptr)
        f.SetField(index, value);
    else
        f.SetFieldNull(index);
}
bool Present(const OGRFeature& f, int index) { return index >= 0 && f.IsFieldSetAndNotNull(index); }
std::optional<double> Optional(const OGRFeature& f, int index)
{
    return Present(f, index) ? std::optional<double>(f.GetFieldAsDouble(index)) : std::nullopt;
}

// The fix type and position source as the outputs name them, back to their codes.
int32_t FixTypeFromText(const char* text)
{
    for (int32_t code = FIX_NONE; code <= FIX_SBAS; ++code) {
        if (std::strcmp(FixTypeText(code), text) == 0)
            return code;
    }
    return -1;
}
int32_t SourceFromText(const char* text)
{
    for (int32_t code = SOURCE_LOCATOR; code <= SOURCE_GPSD; ++code) {
        if (std::strcmp(PositionSourceText(code), text) == 0)
            return code;
    }
    return SOURCE_NONE;
}

// A date the log would print as 0/0/0 (no clock, no ZDA yet) is left null.
void SetDate(OGRFeature& f, int index, int day, int month, int year)
{
    if (index < 0)
        return;
    if (IsCalendarDate(day, month, year))
        f.SetField(index, year, month, day);
    else
        f.SetFieldNull(index);
}

bool GetDate(const OGRFeature& f, int index, int& day, int& month, int& year)
{
    day = month = year = 0;
    if (index < 0 || !f.IsFieldSetAndNotNull(index))
        return false;
    int hour, minute, tz;
    float second;
    return f.GetFieldAsDateTime(index, &year, &month, &day, &hour, &minute, &second, &tz) != 0;
}

double Real(const OGRFeature& f, int index) { return index >= 0 ? f.GetFieldAsDouble(index) : 0.0; }
int Int(const OGRFeature& f, int index) { return index >= 0 ? f.GetFieldAsInteger(index) : 0; }
const char* Text(const OGRFeature& f, int index) { return index >= 0 ? f.GetFieldAsString(index) : ""; }

// "h:m:s" or "d/m/y": three decimal numbers, 0 for any part that is missing.
void Triple(const char* text, char separator, long parts[3])
{
    for (int i = 0; i < 3; ++i) {
        parts[i] = (text != nullptr) ? std::strtol(text, nullptr, 10) : 0;
        if (text != nullptr) {
            text = std::strchr(text, separator);
            if (text != nullptr)
                ++text;
        }
    }
}

// "9:5:0": hours, minutes, seconds without leading zeros, as the log prints them.
const char* Clock(char (&text)[32], RTC_TIME time)
{
    char* p = text;
    for (const uint32_t part : {time.Hours(), time.Minutes(), time.Seconds()}) {
        if (p != text)
            *p++ = ':';
        p = std::to_chars(p, text + sizeof text, AsPrinted(part)).ptr;
    }
    *p = '\0';
    return text;
}

// A value exactly as the log prints it (Strength "%.2f" of the single-precision
// percentage, Distance "%.1f"): a log read back from its CSV and the points it
// was written from give the same value, 18.34 and not 18.339998.
double AsPrinted(float value, int decimals)
{
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(value));
    double parsed = static_cast<double>(value);
    if (n > 0 && n < static_cast<int>(sizeof text))
        std::from_chars(text, text + n, parsed);
    return parsed;
}

// value times 10^exponent, from the shortest decimal of the float: 2.99 m,
// not 2.9900000095367432.
double ScaledDecimal(float value, int exponent)
{
    char text[48];
    auto printed = std::to_chars(text, text + 32, value);
    if (printed.ec != std::errc())
        return static_cast<double>(value);
    *printed.ptr++ = 'e';
    printed = std::to_chars(printed.ptr, text + sizeof text, exponent);
    double scaled = static_cast<double>(value);
    std::from_chars(text, printed.ptr, scaled);
    return scaled;
}

// Protocols 0 and 1 send metres and amperes, 2 and 3 centimetres and
// milliamperes.
bool SendsCentimetres(int protocol) { return protocol == 2 || protocol == 3; }
bool SendsAmperes(int protocol) { return protocol == 0 || protocol == 1; }

} // namespace

double DepthMetres(const LOCATE_DATA& ld)
{
    return SendsCentimetres(ld.nProtocolId) ? ScaledDecimal(ld.fDepth, -2) : FloatAsDecimal(ld.fDepth);
}

double LocateMilliamperes(const LOCATE_DATA& ld)
{
    return SendsAmperes(ld.nProtocolId) ? ScaledDecimal(ld.fCurrent, 3) : FloatAsDecimal(ld.fCurrent);
}

bool IsCalendarDate(int day, int month, int year)
{
    if (month < 1 || month > 12 || year < 1 || year > 9999 || day < 1)
        return false;
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && bLeap ? 1 : 0);
}

double FloatAsDecimal(float value)
{
    char text[32];
    const auto printed = std::to_chars(text, text + sizeof text, value);
    double decimal = static_cast<double>(value);
    if (printed.ec == std::errc())
        std::from_chars(text, printed.ptr, decimal); // leaves decimal alone for inf and nan
    return decimal;
}


bool CreateSurveyFields(OGRLayer& layer, SURVEY_FIELD_MAP& map, std::string& error)
{
    map.bMetric = true;
    for (int i = 0; i < kSurveyFieldCount; ++i) {
        OGRFieldDefn field(kSurveyFields[i].pszName, kSurveyFields[i].eType);
        field.SetSubType(kSurveyFields[i].eSubType);
        if (i == kDepthField)
            field.SetAlternativeName(kDepthAlias);
        else if (i == kLocateField)
            field.SetAlternativeName(kLocateAlias);
        else if (kSurveyFields[i].pszAlias != nullptr)
            field.SetAlternativeName(kSurveyFields[i].pszAlias);
        if (layer.CreateField(&field) != OGRERR_NONE) {
            error = std::string("cannot add the field ") + kSurveyFields[i].pszName;
            return false;
        }
        map.anIndex[i] = layer.GetLayerDefn()->GetFieldCount() - 1;
    }
    return true;
}

SURVEY_FIELD_MAP MapSurveyFields(OGRFeatureDefn& defn)
{
    SURVEY_FIELD_MAP map;
    for (int i = 0; i < kSurveyFieldCount; ++i)
        map.anIndex[i] = defn.GetFieldIndex(kSurveyFields[i].pszName);
    const int depth = map.anIndex[kDepthField];
    map.bMetric = depth < 0 || std::strcmp(defn.GetFieldDefn(depth)->GetAlternativeNameRef(), kDepthAlias) == 0;
    return map;
}

namespace {
const char kUnitsItem[] = "FIELDBOOK_UNITS";
const char kUnitsValue[] = "Depth=m;Locate=mA";
} // namespace

SURVEY_FIELD_MAP MapSurveyFields(OGRLayer& layer)
{
    SURVEY_FIELD_MAP map = MapSurveyFields(*layer.GetLayerDefn());
    const char* units = layer.GetMetadataItem(kUnitsItem);
    map.bMetric = map.bMetric || (units != nullptr && std::strcmp(units, kUnitsValue) == 0);
    return map;
}

void MarkUnits(OGRLayer& layer)
{
    layer.SetMetadataItem(kUnitsItem, kUnitsValue);
    layer.SetMetadataItem("DESCRIPTION", "fieldbook survey points: Depth in metres, Locate in milliamperes, "
                                         "whatever the locator's protocol; HAccuracy a DRMS, VAccuracy 1 sigma, "
                                         "HAccuracy95 and VAccuracy95 at 95 %");
}

bool AddMissingSurveyFields(OGRLayer& layer, SURVEY_FIELD_MAP& map, std::string& error)
{
    map = MapSurveyFields(layer);
    for (int i = kLogColumnCount; i < kSurveyFieldCount; ++i) {
        if (map.anIndex[i] >= 0)
            continue;
        OGRFieldDefn field(kSurveyFields[i].pszName, kSurveyFields[i].eType);
        field.SetSubType(kSurveyFields[i].eSubType);
        if (kSurveyFields[i].pszAlias != nullptr)
            field.SetAlternativeName(kSurveyFields[i].pszAlias);
        if (layer.CreateField(&field) != OGRERR_NONE) {
            error = std::string("cannot add the field ") + kSurveyFields[i].pszName;
            return false;
        }
        map.anIndex[i] = layer.GetLayerDefn()->GetFieldIndex(kSurveyFields[i].pszName);
    }
    return true;
}

OGRPoint PointGeometry(const SURVEY_POINT& point)
{
    const GPS_FIX& fix = point.GpsFix;
    if (fix.nGpsFix == 0) {
        OGRPoint empty;
        empty.set3D(TRUE);
        return empty;
    }
    return OGRPoint(fix.dfLongAng, fix.dfLatAng, fix.dfAltVal);
}

bool AddTrackVertex(OGRLineString& track, const SURVEY_POINT& point)
{
    const GPS_FIX& fix = point.GpsFix;
    if (fix.nGpsFix == 0)
        return false;
    track.addPoint(fix.dfLongAng, fix.dfLatAng, fix.dfAltVal);
    return true;
}

void FillSurveyFields(OGRFeature& f, const SURVEY_FIELD_MAP& map, const GIS_POINT& gp, const LOG_ID& log)
{
    const int* x = map.anIndex;
    const SURVEY_POINT& p = gp.Point;
    const LOCATE_DATA& ld = p.LocateData;
    const GPS_FIX& fix = p.GpsFix;
    const bool bFix = fix.nGpsFix != 0;
    char text[32];

    SetInt(f, x[0], AsPrinted(ld.u32EepromFileIndex));
    ModeNameFromCode(p.nLocatorMode, text);
    SetText(f, x[1], text);
    SetReal(f, x[2], AsPrinted(gp.fDistance, 1));
    SetReal(f, x[3], map.bMetric ? DepthMetres(ld) : FloatAsDecimal(ld.fDepth));
    SetReal(f, x[4], map.bMetric ? LocateMilliamperes(ld) : FloatAsDecimal(ld.fCurrent));
    SetReal(f, x[5], FloatAsDecimal(ld.fPhase));
    SetReal(f, x[6], FloatAsDecimal(ld.fSignal));
    SetReal(f, x[7], AsPrinted(ld.fStrength * 100.0f, 2));
    SetReal(f, x[8], FloatAsDecimal(ld.fGain));
    SetReal(f, x[9], FloatAsDecimal(ld.fFrequency));
    SetInt(f, x[10], ld.nProtocolId);
    SetInt(f, x[11], ld.nCompass);
    SetInt(f, x[12], ld.nArrows);
    SetInt(f, x[13], ld.nAntennaMode);
    SetInt(f, x[14], ld.nAccessoryType);
    SetInt(f, x[15], ld.nSondeLine);
    SetInt(f, x[16], ld.nBattery);
    SetInt(f, x[17], ld.nVolume);
    SetInt(f, x[18], ld.nOverload);
    SetInt(f, x[19], p.nGpsMode);
    SetInt(f, x[20], p.nMarkerType);
    SetReal(f, x[21], FloatAsDecimal(p.fMarkerDepth));
    SetReal(f, x[22], FloatAsDecimal(p.fMarkerSignal));
    SetReal(f, x[23], FloatAsDecimal(p.fMarkerGain));
    SetDate(f, x[24], AsPrinted(p.RtcDate.Day()), AsPrinted(p.RtcDate.Month()), AsPrinted(p.RtcDate.Year()));
    SetText(f, x[25], Clock(text, p.RtcTime));
    SetInt(f, x[26], p.nRtcUpdated);
    SetDate(f, x[27], p.ZdaData.nDay, p.ZdaData.nMonth, p.ZdaData.nYear);
    // The log's own form of the time, hhmmss.ss, whatever the locale.
    const auto utc = std::to_chars(text, text + sizeof text - 1, fix.dfUTC, std::chars_format::fixed, 2);
    *(utc.ec == std::errc() ? utc.ptr : text) = '\0';
    SetText(f, x[28], text);
    // Without a fix the log prints zero in every column but the time and its
    // source; the attributes say the same.
    SetReal(f, x[29], bFix ? fix.dfLatAng : 0.0);
    DirectionToText(bFix ? fix.nLatDir : 0, text);
    SetText(f, x[30], text);
    SetReal(f, x[31], bFix ? fix.dfLongAng : 0.0);
    DirectionToText(bFix ? fix.nLongDir : 0, text);
    SetText(f, x[32], text);
    SetInt(f, x[33], AsPrinted(fix.nGpsFix));
    SetInt(f, x[34], bFix ? AsPrinted(fix.nNoSats) : 0);
    SetReal(f, x[35], bFix ? fix.dfHorizDil : 0.0);
    SetReal(f, x[36], bFix ? fix.dfAltVal : 0.0);
    UnitsToText(bFix ? fix.nAltUnits : 0, text);
    SetText(f, x[37], text);
    SetReal(f, x[38], bFix ? fix.dfGeoidVal : 0.0);
    UnitsToText(bFix ? fix.nGeoidUnits : 0, text);
    SetText(f, x[39], text);
    SetInt(f, x[40], bFix ? AsPrinted(fix.nDgpsTime) : 0);
    SetInt(f, x[41], bFix ? AsPrinted(fix.nDgpsId) : 0);
    SetInt(f, x[42], AsPrinted(fix.nTimeInd));
    SetText(f, x[43], log.logFile.c_str());
    SetText(f, x[44], log.survey.c_str());

    const GPS_QUALITY& q = p.Quality;
    SetOptionalText(f, x[45], q.Has(QUALITY_FIX_TYPE) ? FixTypeText(q.nFixType) : nullptr);
    SetOptional(f, x[46], q.Has(QUALITY_H_ACCURACY), q.dfHAccuracy);
    SetOptional(f, x[47], q.Has(QUALITY_V_ACCURACY), q.dfVAccuracy);
    SetOptional(f, x[48], q.Has(QUALITY_PDOP), q.dfPdop);
    SetOptional(f, x[49], q.Has(QUALITY_VDOP), q.dfVdop);
    SetOptional(f, x[50], q.Has(QUALITY_CORRECTION_AGE), q.dfCorrectionAge);
    // Four digits, as the GGA and the locator print a station id ("0000"):
    // text, so that no reader takes it for a number.
    std::snprintf(text, sizeof text, "%04u", static_cast<unsigned>(q.u32Station));
    SetOptionalText(f, x[51], q.Has(QUALITY_STATION) ? text : nullptr);
    SetOptionalText(f, x[52], PositionSourceText(q.nSource));
    if (x[53] >= 0) {
        if (q.Has(QUALITY_CHECKED))
            f.SetField(x[53], q.bQualityOK ? 1 : 0);
        else
            f.SetFieldNull(x[53]);
    }
    SetOptional(f, x[54], gp.Heights.EllipsoidHeight);
    SetOptional(f, x[55], gp.Heights.GroundElevation);
    SetOptional(f, x[56], gp.Heights.UtilityElevation);
    SetOptional(f, x[kHAccuracy95Field], HAccuracy95(q));
    SetOptional(f, x[kVAccuracy95Field], VAccuracy95(q));
    // The point's instant in UTC, whatever zone the tablet's clock kept.
    POINT_UTC instant;
    if (x[kUtcField] >= 0 && PointUtcTime(p, instant))
        f.SetField(x[kUtcField], instant.nYear, instant.nMonth, instant.nDay, instant.nHour, instant.nMinute,
                   static_cast<float>(instant.dfSecond), 100);
    else if (x[kUtcField] >= 0)
        f.SetFieldNull(x[kUtcField]);

    // The crew's utility and marks; NULL where the crew set none.
    const POINT_RECORD& r = gp.Record;
    const UTILITY_TAG& u = r.Utility;
    auto optionalText = [&f](int index, const std::string& value) {
        SetOptionalText(f, index, value.empty() ? nullptr : value.c_str());
    };
    optionalText(x[kUtilityTypeField], u.type);
    optionalText(x[kUtilityTypeField + 1], u.id);
    optionalText(x[kUtilityTypeField + 2], u.colour);
    optionalText(x[kUtilityTypeField + 3], u.owner);
    optionalText(x[kUtilityTypeField + 4], u.size);
    optionalText(x[kUtilityTypeField + 5], u.material);
    optionalText(x[kUtilityTypeField + 6], u.method);
    optionalText(x[kUtilityTypeField + 7], u.qualityLevel);
    if (x[kSegmentField] >= 0) {
        if (u.IsSet())
            f.SetField(x[kSegmentField], u.segment);
        else
            f.SetFieldNull(x[kSegmentField]);
    }
    if (x[kVoidField] >= 0)
        f.SetField(x[kVoidField], r.bVoid ? 1 : 0);
    optionalText(x[kNoteField], r.Note);
    optionalText(x[kTicketField], log.job.ticket);
}

void ReadSurveyFields(const OGRFeature& f, const SURVEY_FIELD_MAP& map, GIS_POINT& gp, LOG_ID& log)
{
    const int* x = map.anIndex;
    gp = GIS_POINT{};
    SURVEY_POINT& p = gp.Point;
    LOCATE_DATA& ld = p.LocateData;
    GPS_FIX& fix = p.GpsFix;
    auto single = [&f](int index) { return static_cast<float>(Real(f, index)); };

    ld.u32EepromFileIndex = static_cast<uint32_t>(Int(f, x[0]));
    p.nLocatorMode = ModeCodeFromName(Text(f, x[1]));
    gp.fDistance = single(x[2]);
    ld.fDepth = single(x[3]);
    ld.fCurrent = single(x[4]);
    ld.fPhase = single(x[5]);
    ld.fSignal = single(x[6]);
    ld.fStrength = single(x[7]) * 0.01f;
    ld.fGain = single(x[8]);
    ld.fFrequency = single(x[9]);
    ld.nProtocolId = Int(f, x[10]);
    if (map.bMetric) {
        // Back to the units the protocol sent, as the log holds them.
        if (SendsCentimetres(ld.nProtocolId))
            ld.fDepth = static_cast<float>(Real(f, x[3]) * 100.0);
        if (SendsAmperes(ld.nProtocolId))
            ld.fCurrent = static_cast<float>(Real(f, x[4]) / 1000.0);
    }
    ld.nCompass = Int(f, x[11]);
    ld.nArrows = Int(f, x[12]);
    ld.nAntennaMode = Int(f, x[13]);
    ld.nAccessoryType = Int(f, x[14]);
    ld.nSondeLine = Int(f, x[15]);
    ld.nBattery = Int(f, x[16]);
    ld.nVolume = Int(f, x[17]);
    ld.nOverload = Int(f, x[18]);
    p.nGpsMode = Int(f, x[19]);
    p.nMarkerType = Int(f, x[20]);
    p.fMarkerDepth = single(x[21]);
    p.fMarkerSignal = single(x[22]);
    p.fMarkerGain = single(x[23]);
    int day, month, year;
    GetDate(f, x[24], day, month, year);
    p.RtcDate = RTC_DATE::Make(static_cast<uint32_t>(day), static_cast<uint32_t>(month), static_cast<uint32_t>(year));
    long parts[3];
    Triple(Text(f, x[25]), ':', parts);
    p.RtcTime = RTC_TIME::Make(static_cast<uint32_t>(parts[0]), static_cast<uint32_t>(parts[1]),
                               static_cast<uint32_t>(parts[2]));
    p.nRtcUpdated = Int(f, x[26]);
    GetDate(f, x[27], p.ZdaData.nDay, p.ZdaData.nMonth, p.ZdaData.nYear);
    fix.dfUTC = std::strtod(Text(f, x[28]), nullptr);
    fix.dfLatAng = Real(f, x[29]);
    fix.nLatDir = TextToDirection(Text(f, x[30]));
    fix.dfLongAng = Real(f, x[31]);
    fix.nLongDir = TextToDirection(Text(f, x[32]));
    fix.nGpsFix = static_cast<uint32_t>(Int(f, x[33]));
    fix.nNoSats = static_cast<uint32_t>(Int(f, x[34]));
    fix.dfHorizDil = Real(f, x[35]);
    fix.dfAltVal = Real(f, x[36]);
    fix.nAltUnits = TextToUnits(Text(f, x[37]));
    fix.dfGeoidVal = Real(f, x[38]);
    fix.nGeoidUnits = TextToUnits(Text(f, x[39]));
    fix.nDgpsTime = static_cast<uint32_t>(Int(f, x[40]));
    fix.nDgpsId = static_cast<uint32_t>(Int(f, x[41]));
    fix.nTimeInd = static_cast<uint32_t>(Int(f, x[42]));
    log.logFile = Text(f, x[43]);
    log.survey = x[44] >= 0 && f.IsFieldSetAndNotNull(x[44]) ? Text(f, x[44]) : "";

    GPS_QUALITY& q = p.Quality;
    if (Present(f, x[45])) {
        q.nFixType = FixTypeFromText(Text(f, x[45]));
        if (q.nFixType >= 0)
            q.u32Present |= QUALITY_FIX_TYPE;
        else
            q.nFixType = 0;
    }
    const struct {
        int field;
        uint32_t bit;
        double& value;
    } reals[] = {{x[46], QUALITY_H_ACCURACY, q.dfHAccuracy}, {x[47], QUALITY_V_ACCURACY, q.dfVAccuracy},
                 {x[48], QUALITY_PDOP, q.dfPdop},            {x[49], QUALITY_VDOP, q.dfVdop},
                 {x[50], QUALITY_CORRECTION_AGE, q.dfCorrectionAge}};
    for (const auto& real : reals) {
        if (Present(f, real.field)) {
            real.value = Real(f, real.field);
            q.u32Present |= real.bit;
        }
    }
    if (Present(f, x[51])) {
        q.u32Station = static_cast<uint32_t>(std::strtoul(Text(f, x[51]), nullptr, 10));
        q.u32Present |= QUALITY_STATION;
    }
    if (Present(f, x[52]))
        q.nSource = SourceFromText(Text(f, x[52]));
    if (Present(f, x[53])) {
        q.bQualityOK = Int(f, x[53]) != 0;
        q.u32Present |= QUALITY_CHECKED;
    }
    gp.Heights.EllipsoidHeight = Optional(f, x[54]);
    gp.Heights.GroundElevation = Optional(f, x[55]);
    gp.Heights.UtilityElevation = Optional(f, x[56]);

    POINT_RECORD& r = gp.Record;
    UTILITY_TAG& u = r.Utility;
    std::string* const texts[] = {&u.type, &u.id, &u.colour, &u.owner, &u.size, &u.material, &u.method,
                                  &u.qualityLevel};
    for (int i = 0; i < 8; ++i)
        if (Present(f, x[kUtilityTypeField + i]))
            *texts[i] = Text(f, x[kUtilityTypeField + i]);
    u.segment = Present(f, x[kSegmentField]) ? Int(f, x[kSegmentField]) : 0;
    r.bVoid = Present(f, x[kVoidField]) && Int(f, x[kVoidField]) != 0;
    if (Present(f, x[kNoteField]))
        r.Note = Text(f, x[kNoteField]);
    if (Present(f, x[kTicketField]))
        log.job.ticket = Text(f, x[kTicketField]);

    // The geometry holds the position as the decoder had it, beyond what any
    // text column could carry.
    const OGRGeometry* geometry = f.GetGeometryRef();
    if (fix.nGpsFix != 0 && geometry != nullptr && !geometry->IsEmpty() &&
        wkbFlatten(geometry->getGeometryType()) == wkbPoint) {
        const OGRPoint* position = geometry->toPoint();
        fix.dfLongAng = position->getX();
        fix.dfLatAng = position->getY();
        if (position->Is3D())
            fix.dfAltVal = position->getZ();
    }
}

std::string MeasurementSummary(const GIS_POINT& gp)
{
    const SURVEY_POINT& p = gp.Point;
    const LOCATE_DATA& ld = p.LocateData;
    char mode[kModeNameSize];
    ModeNameFromCode(p.nLocatorMode, mode);
    char text[512];
    std::snprintf(text, sizeof text,
                  "Log %d; Mode %s; Distance %.1f m; Depth %.4f m; Locate %.2f mA; Phase %.2f degrees; "
                  "Signal %.2f dBuV; Strength %.2f %%; Gain %.2f dB; Frequency %g Hz; Compass %d degrees",
                  AsPrinted(ld.u32EepromFileIndex), mode, static_cast<double>(gp.fDistance), DepthMetres(ld),
                  LocateMilliamperes(ld), static_cast<double>(ld.fPhase),
                  static_cast<double>(ld.fSignal), static_cast<double>(ld.fStrength * 100.0f),
                  static_cast<double>(ld.fGain), static_cast<double>(ld.fFrequency), ld.nCompass);
    return text;
}

namespace {
struct JOB_PART {
    const char* item;
    std::string JOB_INFO::*part;
};
constexpr JOB_PART kJobParts[] = {{"FIELDBOOK_TICKET_", &JOB_INFO::ticket},
                                  {"FIELDBOOK_CLIENT_", &JOB_INFO::client},
                                  {"FIELDBOOK_SITE_", &JOB_INFO::site},
                                  {"FIELDBOOK_CREW_", &JOB_INFO::crew}};
} // namespace

void WriteJobMetadata(OGRLayer& layer, const LOG_ID& log)
{
    for (const JOB_PART& part : kJobParts) {
        const std::string& value = log.job.*part.part;
        const std::string item = part.item + log.logFile;
        const char* held = layer.GetMetadataItem(item.c_str());
        if (!value.empty() && (held == nullptr || value != held))
            layer.SetMetadataItem(item.c_str(), value.c_str());
    }
}

void ReadJobMetadata(OGRLayer& layer, LOG_ID& log)
{
    for (const JOB_PART& part : kJobParts) {
        const char* held = layer.GetMetadataItem((part.item + log.logFile).c_str());
        if (held != nullptr && (log.job.*part.part).empty())
            log.job.*part.part = held;
    }
}
