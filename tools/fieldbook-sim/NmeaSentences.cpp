#include "NmeaSentences.h"

#include <cmath>
#include <cstdio>

namespace {

// ddmm.mmmm (latitude, 2 degree digits) or dddmm.mmmm (longitude, 3), and the
// hemisphere letter. The minutes go out with four decimals, 0.2 m at most.
std::string Coordinate(double value, int degreeDigits, char positive, char negative)
{
    int whole = 0;
    double minutes = 0.0;
    SplitNmeaDegrees(std::fabs(value), whole, minutes);
    char text[32];
    std::snprintf(text, sizeof text, "%0*d%07.4f,%c", degreeDigits, whole, minutes,
                  value < 0.0 ? negative : positive);
    return text;
}

std::string Utc(const GPS_SAMPLE& s)
{
    char text[16];
    std::snprintf(text, sizeof text, "%09.2f", s.dfUTC);
    return text;
}

// Satellites of the simulated sky: PRN, elevation, azimuth, signal to noise.
struct SKY_SAT {
    int prn, elevation, azimuth, snr;
};
constexpr SKY_SAT kSky[] = {
    {2, 61, 54, 44},  {5, 38, 118, 41}, {9, 17, 201, 33}, {12, 72, 290, 46},
    {17, 25, 330, 37}, {19, 44, 12, 42}, {24, 9, 160, 28}, {28, 52, 245, 43},
};
constexpr int kSkySize = static_cast<int>(sizeof kSky / sizeof kSky[0]);

} // namespace

uint8_t NmeaChecksum(const std::string& body)
{
    uint8_t sum = 0;
    for (char c : body)
        sum ^= static_cast<uint8_t>(c);
    return sum;
}

std::string NmeaSentence(const std::string& body)
{
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body));
    return "$" + body + tail;
}

std::string GgaBody(const std::string& talker, const GPS_SAMPLE& s)
{
    std::string body = talker + "GGA," + Utc(s) + ",";
    if (!s.bFix)
        return body + ",,,,0,00,99.9,,M,,M,,";
    char tail[128];
    if (s.dfCorrectionAge >= 0.0)
        std::snprintf(tail, sizeof tail, ",%d,%02d,%.1f,%.1f,M,%.1f,M,%.1f,%04d", s.nQuality, s.nSatellites,
                      s.dfHdop, s.dfAltitude, s.dfGeoid, s.dfCorrectionAge, s.nStation);
    else
        std::snprintf(tail, sizeof tail, ",%d,%02d,%.1f,%.1f,M,%.1f,M,,", s.nQuality, s.nSatellites, s.dfHdop,
                      s.dfAltitude, s.dfGeoid);
    return body + Coordinate(s.dfLat, 2, 'N', 'S') + "," + Coordinate(s.dfLon, 3, 'E', 'W') + tail;
}

std::string ZdaBody(const std::string& talker, const GPS_SAMPLE& s)
{
    char tail[48];
    std::snprintf(tail, sizeof tail, ",%02d,%02d,%04d,00,00", s.nDay, s.nMonth, s.nYear);
    return talker + "ZDA," + Utc(s) + tail;
}

std::string RmcBody(const std::string& talker, const GPS_SAMPLE& s)
{
    char date[16];
    std::snprintf(date, sizeof date, "%02d%02d%02d", s.nDay, s.nMonth, s.nYear % 100);
    if (!s.bFix)
        return talker + "RMC," + Utc(s) + ",V,,,,,,," + date + ",,,N";
    char motion[48];
    std::snprintf(motion, sizeof motion, ",%.1f,%.1f,", s.dfSpeedMps * 3600.0 / 1852.0, s.dfCourse);
    return talker + "RMC," + Utc(s) + ",A," + Coordinate(s.dfLat, 2, 'N', 'S') + "," +
           Coordinate(s.dfLon, 3, 'E', 'W') + motion + date + ",,,A";
}

std::string GstBody(const std::string& talker, const GPS_SAMPLE& s)
{
    const double axis = s.dfHAccuracy / std::sqrt(2.0);
    char tail[128];
    std::snprintf(tail, sizeof tail, ",%.3f,%.4f,%.4f,0.0,%.4f,%.4f,%.4f", s.dfHAccuracy, axis, axis, axis, axis,
                  1.5 * s.dfHAccuracy);
    return talker + "GST," + Utc(s) + tail;
}

std::string GsaBody(const std::string& talker, const GPS_SAMPLE& s)
{
    std::string body = talker + "GSA,A," + (s.bFix ? "3" : "1");
    char field[16];
    for (int i = 0; i < 12; ++i) {
        if (s.bFix && i < s.nSatellites && i < kSkySize) {
            std::snprintf(field, sizeof field, ",%02d", kSky[i].prn);
            body += field;
        } else {
            body += ",";
        }
    }
    if (!s.bFix)
        return body + ",,,";
    char dops[48];
    std::snprintf(dops, sizeof dops, ",%.1f,%.1f,%.1f", s.dfHdop * 1.6, s.dfHdop, s.dfHdop * 1.3);
    return body + dops;
}

std::string GsvBody(const std::string& talker, const GPS_SAMPLE& s, int index, int count)
{
    char head[32];
    std::snprintf(head, sizeof head, "GSV,%d,%d,%02d", count, index, kSkySize);
    std::string body = talker + head;
    char field[32];
    for (int i = (index - 1) * 4; i < index * 4 && i < kSkySize; ++i) {
        const SKY_SAT& sat = kSky[i];
        // Without a fix the receiver still sees the satellites, only too weakly.
        const int snr = s.bFix ? sat.snr : sat.snr / 3;
        std::snprintf(field, sizeof field, ",%02d,%02d,%03d,%02d", sat.prn, sat.elevation, sat.azimuth, snr);
        body += field;
    }
    return body;
}

std::string EpochText(const std::string& talker, const GPS_SAMPLE& s, uint32_t sentences, bool wholeSecond)
{
    std::string text;
    if (sentences & NMEA_GGA)
        text += NmeaSentence(GgaBody(talker, s));
    if ((sentences & NMEA_GST) && s.bFix && s.dfHAccuracy > 0.0)
        text += NmeaSentence(GstBody(talker, s));
    if (sentences & NMEA_RMC)
        text += NmeaSentence(RmcBody(talker, s));
    if (wholeSecond && (sentences & NMEA_GSA))
        text += NmeaSentence(GsaBody(talker, s));
    if (wholeSecond && (sentences & NMEA_GSV)) {
        for (int i = 1; i <= kGsvSentences; ++i)
            text += NmeaSentence(GsvBody(talker, s, i, kGsvSentences));
    }
    if (sentences & NMEA_ZDA)
        text += NmeaSentence(ZdaBody(talker, s));
    return text;
}
