#include "surveylog/LogFormat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ClassicNumbers.h"
#include "surveylog/ModeNames.h"

namespace {

// Stored logs print unsigned fields with "%d"; what they hold reads back through
// the same 32 bits.
int AsPrinted(uint32_t value) { return static_cast<int>(value); }

// Decimal text to integer: leading blanks and a sign, then digits, 0 if none.
// Out-of-range text keeps the low 32 bits rather than being undefined.
long long TokenInteger(const char* token) { return std::strtoll(token, nullptr, 10); }
int32_t TokenInt32(const char* token) { return static_cast<int32_t>(TokenInteger(token)); }
uint32_t TokenUInt32(const char* token) { return static_cast<uint32_t>(TokenInteger(token)); }
double TokenDouble(const char* token) { return std::strtod(token, nullptr); }
float TokenFloat(const char* token) { return static_cast<float>(TokenDouble(token)); }

// "d/m/y" or "h:m:s": three decimal numbers, 0 for any part that is missing.
void TokenTriple(const char* token, char separator, long long parts[3])
{
    const char* p = token;
    for (int i = 0; i < 3; ++i) {
        parts[i] = (p != nullptr) ? TokenInteger(p) : 0;
        if (p != nullptr) {
            p = std::strchr(p, separator);
            if (p != nullptr)
                ++p;
        }
    }
}

} // namespace

void CTrackDistance::Reset() { *this = CTrackDistance{}; }

float CTrackDistance::Next(const SURVEY_POINT& point)
{
    const GPS_FIX& fix = point.GpsFix;
    if (!m_bStarted) {
        m_bStarted = true;
        m_bRefFix = fix.nGpsFix != 0;
        m_dfRefLat = fix.dfLatAng;
        m_dfRefLong = fix.dfLongAng;
        m_fRunning = 0.0f;
    }
    double dfDistance = 0.0;
    if (m_bRefFix && fix.nGpsFix != 0) {
        dfDistance = m_geo.VincentyDistance(m_dfRefLat, fix.dfLatAng, m_dfRefLong, fix.dfLongAng,
                                            CGeoDistance::kSemiMajor, CGeoDistance::kSemiMinor) +
                     static_cast<double>(m_fRunning);
        m_dfRefLat = fix.dfLatAng;
        m_dfRefLong = fix.dfLongAng;
    }
    m_fRunning = static_cast<float>(dfDistance);
    return m_fRunning;
}

size_t FormatLogLine(const SURVEY_POINT& point, float fDistance, char* line, size_t size)
{
    if (line == nullptr || size == 0)
        return 0;
    CClassicNumbers numbers;
    const LOCATE_DATA& ld = point.LocateData;
    const GPS_FIX& fix = point.GpsFix;
    const ZDA_DATA& zda = point.ZdaData;

    char mode[kModeNameSize];
    ModeNameFromCode(point.nLocatorMode, mode);
    // Single precision, as the stored logs were printed.
    const float fStrengthPercent = ld.fStrength * 100.0f;

    int n = std::snprintf(line, size,
                          "%d,%s,%.1f,%.2f,%.2f,%.2f,%.2f,%.2f,%.2f,"
                          "%f,%d,%d,%d,%d,%d,%d,%d,%d,%d,"
                          "%d,"
                          "%d,%f,%f,%f,"
                          "%d/%d/%d,%d:%d:%d,"
                          "%d,"
                          "%d/%d/%d,",
                          AsPrinted(ld.u32EepromFileIndex), mode, static_cast<double>(fDistance),
                          static_cast<double>(ld.fDepth), static_cast<double>(ld.fCurrent),
                          static_cast<double>(ld.fPhase), static_cast<double>(ld.fSignal),
                          static_cast<double>(fStrengthPercent), static_cast<double>(ld.fGain),
                          static_cast<double>(ld.fFrequency), ld.nProtocolId, ld.nCompass, ld.nArrows,
                          ld.nAntennaMode, ld.nAccessoryType, ld.nSondeLine, ld.nBattery, ld.nVolume, ld.nOverload,
                          point.nGpsMode,
                          point.nMarkerType, static_cast<double>(point.fMarkerDepth),
                          static_cast<double>(point.fMarkerSignal), static_cast<double>(point.fMarkerGain),
                          AsPrinted(point.RtcDate.Day()), AsPrinted(point.RtcDate.Month()),
                          AsPrinted(point.RtcDate.Year()), AsPrinted(point.RtcTime.Hours()),
                          AsPrinted(point.RtcTime.Minutes()), AsPrinted(point.RtcTime.Seconds()),
                          point.nRtcUpdated,
                          zda.nDay, zda.nMonth, zda.nYear);
    if (n < 0)
        n = 0;
    size_t length = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;

    char* gps = line + length;
    const size_t room = size - length;
    if (fix.nGpsFix != 0) {
        char latDir[8], longDir[8], altUnits[8], geoidUnits[8];
        DirectionToText(fix.nLatDir, latDir);
        DirectionToText(fix.nLongDir, longDir);
        UnitsToText(fix.nAltUnits, altUnits);
        UnitsToText(fix.nGeoidUnits, geoidUnits);
        n = std::snprintf(gps, room, "%.2f,%f,%s,%f,%s,%d,%d,%f,%f,%s,%f,%s,%d,%d,%d\n", fix.dfUTC, fix.dfLatAng,
                          latDir, fix.dfLongAng, longDir, AsPrinted(fix.nGpsFix), AsPrinted(fix.nNoSats),
                          fix.dfHorizDil, fix.dfAltVal, altUnits, fix.dfGeoidVal, geoidUnits,
                          AsPrinted(fix.nDgpsTime), AsPrinted(fix.nDgpsId), AsPrinted(fix.nTimeInd));
    } else {
        // Without a fix only the time and its source are kept; no words are
        // looked up, every other column prints zero.
        n = std::snprintf(gps, room, "%.2f,%f,%d,%f,%d,%d,%d,%f,%f,%d,%f,%d,%d,%d,%d\n", fix.dfUTC, 0.0, 0, 0.0, 0,
                          0, 0, 0.0, 0.0, 0, 0.0, 0, 0, 0, AsPrinted(fix.nTimeInd));
    }
    if (n < 0)
        n = 0;
    length += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
    return length;
}

bool ReadLogLine(const char* line, SURVEY_POINT& point)
{
    if (line == nullptr)
        return false;
    // Cut in a copy: each token must end in a NUL of its own, or the number
    // conversions, which skip leading white space, would run on across a line
    // feed into the next token.
    std::string text(line);
    char* tokens[kLogColumns];
    int count = 0;
    char* p = text.data();
    while (count < kLogColumns) {
        while (*p == ',' || *p == '\n')
            ++p;
        if (*p == '\0')
            break;
        tokens[count++] = p;
        while (*p != '\0' && *p != ',' && *p != '\n')
            ++p;
        if (*p != '\0')
            *p++ = '\0';
    }
    if (count < kLogColumns)
        return false;

    CClassicNumbers numbers;
    SURVEY_POINT read;
    LOCATE_DATA& ld = read.LocateData;
    GPS_FIX& fix = read.GpsFix;
    auto t = [&tokens](int column) { return tokens[column - 1]; };

    ld.u32EepromFileIndex = TokenUInt32(t(1));
    read.nLocatorMode = ModeCodeFromName(t(2));
    // Column 3, the Distance, is worked out again whenever the file is written.
    ld.fDepth = TokenFloat(t(4));
    ld.fCurrent = TokenFloat(t(5));
    ld.fPhase = TokenFloat(t(6));
    ld.fSignal = TokenFloat(t(7));
    ld.fStrength = TokenFloat(t(8)) * 0.01f; // printed as a percentage
    ld.fGain = TokenFloat(t(9));
    ld.fFrequency = TokenFloat(t(10));
    ld.nProtocolId = TokenInt32(t(11));
    ld.nCompass = TokenInt32(t(12));
    ld.nArrows = TokenInt32(t(13));
    ld.nAntennaMode = TokenInt32(t(14));
    ld.nAccessoryType = TokenInt32(t(15));
    ld.nSondeLine = TokenInt32(t(16));
    ld.nBattery = TokenInt32(t(17));
    ld.nVolume = TokenInt32(t(18));
    ld.nOverload = TokenInt32(t(19));
    read.nGpsMode = TokenInt32(t(20));
    read.nMarkerType = TokenInt32(t(21));
    read.fMarkerDepth = TokenFloat(t(22));
    read.fMarkerSignal = TokenFloat(t(23));
    read.fMarkerGain = TokenFloat(t(24));

    long long parts[3];
    TokenTriple(t(25), '/', parts);
    read.RtcDate = RTC_DATE::Make(static_cast<uint32_t>(parts[0]), static_cast<uint32_t>(parts[1]),
                                  static_cast<uint32_t>(parts[2]));
    TokenTriple(t(26), ':', parts);
    read.RtcTime = RTC_TIME::Make(static_cast<uint32_t>(parts[0]), static_cast<uint32_t>(parts[1]),
                                  static_cast<uint32_t>(parts[2]));
    read.nRtcUpdated = TokenInt32(t(27));
    TokenTriple(t(28), '/', parts);
    read.ZdaData.nDay = static_cast<int32_t>(parts[0]);
    read.ZdaData.nMonth = static_cast<int32_t>(parts[1]);
    read.ZdaData.nYear = static_cast<int32_t>(parts[2]);

    fix.dfUTC = TokenDouble(t(29));
    fix.dfLatAng = TokenDouble(t(30));
    fix.nLatDir = TextToDirection(t(31));
    fix.dfLongAng = TokenDouble(t(32));
    fix.nLongDir = TextToDirection(t(33));
    fix.nGpsFix = TokenUInt32(t(34));
    fix.nNoSats = TokenUInt32(t(35));
    fix.dfHorizDil = TokenDouble(t(36));
    fix.dfAltVal = TokenDouble(t(37));
    fix.nAltUnits = TextToUnits(t(38));
    fix.dfGeoidVal = TokenDouble(t(39));
    fix.nGeoidUnits = TextToUnits(t(40));
    fix.nDgpsTime = TokenUInt32(t(41));
    fix.nDgpsId = TokenUInt32(t(42));
    fix.nTimeInd = TokenUInt32(t(43)); // a trailing carriage return stops the digits

    point = read;
    return true;
}
