#include "support/NmeaStream.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <numbers>
#include <random>

#include "gps/GpsDecoder.h"

std::string NmeaSentence(std::string_view body)
{
    unsigned sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    std::string sentence = "$";
    sentence.append(body);
    sentence += tail;
    return sentence;
}

std::vector<int> DecodeAll(CGpsDecoder& decoder, std::string_view bytes, size_t chunkSize,
                           const std::function<void(int)>& onResult)
{
    std::vector<int> results;
    if (chunkSize == 0)
        chunkSize = bytes.size();
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t offset = 0; offset < bytes.size();) {
        const size_t chunk = std::min(chunkSize, bytes.size() - offset);
        for (size_t used = 0; used < chunk;) {
            const int result = decoder.Decode(data + offset + used, static_cast<uint32_t>(chunk - used));
            const uint32_t consumed = decoder.GetConsumed();
            if (result != GPS_MORE_DATA) {
                results.push_back(result);
                if (onResult)
                    onResult(result);
            }
            if (consumed == 0)
                return results;
            used += consumed;
        }
        offset += chunk;
    }
    return results;
}

namespace {

// Metres per degree of latitude on the 6371 km sphere; plenty for a track.
constexpr double kMetresPerDegree = 111194.9;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

struct UtcClock {
    int year = 2023, month = 12, day = 31, hour = 23, minute = 30, second = 0;

    static int DaysInMonth(int y, int m)
    {
        static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        return (m == 2 && leap) ? 29 : days[m - 1];
    }
    void Tick()
    {
        if (++second < 60)
            return;
        second = 0;
        if (++minute < 60)
            return;
        minute = 0;
        if (++hour < 24)
            return;
        hour = 0;
        if (++day <= DaysInMonth(year, month))
            return;
        day = 1;
        if (++month <= 12)
            return;
        month = 1;
        ++year;
    }
    std::string TimeText() const { return Format("%02d%02d%02d.00", hour, minute, second); }
    double Utc() const { return hour * 10000.0 + minute * 100.0 + second; }
};

// A coordinate as the receiver prints it: whole degrees and minutes to four
// decimals, kept as integers so the expected value is exact.
struct Coordinate {
    int degrees;
    int minuteUnits; // 1/10000 minute
    bool negative;

    static Coordinate From(double value)
    {
        const long long units = std::llround(std::fabs(value) * 600000.0);
        return Coordinate{static_cast<int>(units / 600000), static_cast<int>(units % 600000), value < 0.0};
    }
    std::string Text(int degreeDigits) const
    {
        return Format("%0*d%02d.%04d", degreeDigits, degrees, minuteUnits / 10000, minuteUnits % 10000);
    }
    double Degrees() const { return degrees + minuteUnits / 600000.0; }
};

enum class Kind { Gga, Zda, Gsa, Other };

// The decoder reads GSA of the GP talker and of the multi-constellation
// solution (GN) under its default talker rule.
Kind GsaKind(const char* talker) { return talker[1] == 'P' || talker[1] == 'N' ? Kind::Gsa : Kind::Other; }

class Generator {
public:
    explicit Generator(const NmeaStreamOptions& options) : m_random(options.nSeed), m_damage(options.bDamage) {}

    NmeaStream Run(uint32_t seconds)
    {
        OpenMidSentence();
        for (uint32_t t = 0; t < seconds; ++t) {
            Second(t);
            Move();
            m_clock.Tick();
        }
        return std::move(m_stream);
    }

private:
    double Uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(m_random); }
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    void Expect(int result)
    {
        NmeaEvent event;
        event.nResult = result;
        m_stream.events.push_back(event);
    }

    // The port was opened while the receiver was half-way through a line.
    void OpenMidSentence()
    {
        const std::string whole = NmeaSentence("GPGSV,3,3,11,29,12,310,28,31,45,072,40,32,05,201,");
        m_stream.bytes += whole.substr(whole.size() / 2);
        Expect(GPS_ERR_NO_START);
    }

    void Move()
    {
        // Wanders, but keeps heading roughly east so the zero meridian is crossed.
        m_heading += std::normal_distribution<double>(0.0, 0.05)(m_random) - 0.01 * (m_heading - kCourse);
        const double speed = 1.4 + std::normal_distribution<double>(0.0, 0.1)(m_random);
        m_lat += speed * std::cos(m_heading) / kMetresPerDegree;
        m_lon += speed * std::sin(m_heading) / (kMetresPerDegree * std::cos(m_lat * std::numbers::pi / 180.0));
        m_altTenths = std::clamp(m_altTenths + Between(-3, 3), 300, 1500);
        if (Between(0, 29) == 0)
            m_sats = std::clamp(m_sats + Between(-1, 1), 5, 12);
        if (Between(0, 9) == 0)
            m_hdopTenths = std::clamp(m_hdopTenths + Between(-1, 1), 6, 25);
    }

    void Second(uint32_t t)
    {
        const bool noFix = t % 900 >= 600 && t % 900 < 645;
        const int quality = noFix ? 0 : (t % 600 < 200 ? 2 : 1);
        const char* talker = (t % 1200 >= 300 && t % 1200 < 360) ? "GN" : "GP";
        const std::string time = m_clock.TimeText();
        const Coordinate lat = Coordinate::From(m_lat);
        const Coordinate lon = Coordinate::From(m_lon);
        const char latLetter = lat.negative ? 'S' : 'N';
        const char lonLetter = lon.negative ? 'W' : 'E';

        GPS_FIX fix = m_fix;
        std::string body;
        if (quality == 0) {
            body = Format("%sGGA,%s,,,,,0,00,99.9,,M,,M,,", talker, time.c_str());
            fix.dfUTC = m_clock.Utc();
            fix.nGpsFix = 0;
            fix.nNoSats = 0;
            fix.dfHorizDil = 99.9;
            fix.nAltUnits = UNITS_METRES;
            fix.nGeoidUnits = UNITS_METRES;
            fix.u32Missing = FIX_NO_ALTITUDE | FIX_NO_SEPARATION;
        } else {
            const int ageTenths = Between(10, 99);
            const std::string dgps = quality == 2 ? Format("%d.%d,0133", ageTenths / 10, ageTenths % 10) : ",";
            body = Format("%sGGA,%s,%s,%c,%s,%c,%d,%02d,%d.%d,%d.%d,M,47.0,M,%s", talker, time.c_str(),
                          lat.Text(2).c_str(), latLetter, lon.Text(3).c_str(), lonLetter, quality, m_sats,
                          m_hdopTenths / 10, m_hdopTenths % 10, m_altTenths / 10, m_altTenths % 10, dgps.c_str());
            fix.dfUTC = m_clock.Utc();
            fix.dfLatAng = lat.Degrees();
            fix.nLatDir = lat.negative ? DIR_SOUTH : DIR_NORTH;
            fix.dfLongAng = lon.Degrees();
            fix.nLongDir = lon.negative ? DIR_WEST : DIR_EAST;
            fix.nGpsFix = static_cast<uint32_t>(quality);
            fix.nNoSats = static_cast<uint32_t>(m_sats);
            fix.dfHorizDil = m_hdopTenths / 10.0;
            fix.dfAltVal = m_altTenths / 10.0;
            fix.nAltUnits = UNITS_METRES;
            fix.dfGeoidVal = 47.0;
            fix.nGeoidUnits = UNITS_METRES;
            fix.u32Missing = 0;
            if (quality == 2) {
                fix.nDgpsTime = static_cast<uint32_t>(ageTenths / 10);
                fix.nDgpsId = 133;
            }
        }
        if (talker[1] == 'P')
            Emit(body, Kind::Gga, &fix, nullptr);
        else
            Emit(body, Kind::Other, nullptr, nullptr);

        if (quality == 0)
            Emit(Format("%sGSA,A,1,,,,,,,,,,,,,,,", talker), GsaKind(talker), nullptr, nullptr);
        else
            Emit(Format("%sGSA,A,3,04,05,09,12,17,%02d,,,,,,,1.8,%d.%d,1.5", talker, 20 + m_sats, m_hdopTenths / 10,
                        m_hdopTenths % 10),
                 GsaKind(talker), nullptr, nullptr);

        if (t % 5 == 0) {
            Emit("GPGSV,3,1,11,04,79,048,42,05,12,310,28,09,45,072,40,12,05,201,", Kind::Other, nullptr, nullptr);
            Emit("GPGSV,3,2,11,17,33,140,35,20,61,262,44,23,08,015,,25,19,098,31", Kind::Other, nullptr, nullptr);
            Emit(Format("GPGSV,3,3,11,29,12,310,%02d,31,45,072,40,32,05,201,", Between(20, 45)), Kind::Other, nullptr,
                 nullptr);
        }

        const int knotsTenths = Between(20, 35);
        if (quality == 0)
            Emit(Format("%sRMC,%s,V,,,,,,,%02d%02d%02d,,,N", talker, time.c_str(), m_clock.day, m_clock.month,
                        m_clock.year % 100),
                 Kind::Other, nullptr, nullptr);
        else
            Emit(Format("%sRMC,%s,A,%s,%c,%s,%c,%d.%d,%03d.%d,%02d%02d%02d,,,%c", talker, time.c_str(),
                        lat.Text(2).c_str(), latLetter, lon.Text(3).c_str(), lonLetter, knotsTenths / 10,
                        knotsTenths % 10, Between(0, 359), Between(0, 9), m_clock.day, m_clock.month,
                        m_clock.year % 100, quality == 2 ? 'D' : 'A'),
                 Kind::Other, nullptr, nullptr);

        ZDA_DATA zda;
        zda.dfUTC = m_clock.Utc();
        zda.nHour = m_clock.hour;
        zda.nMinute = m_clock.minute;
        zda.nSecond = m_clock.second;
        zda.nDay = m_clock.day;
        zda.nMonth = m_clock.month;
        zda.nYear = m_clock.year;
        Emit(Format("GPZDA,%s,%02d,%02d,%04d,00,00", time.c_str(), m_clock.day, m_clock.month, m_clock.year),
             Kind::Zda, nullptr, &zda);
    }

    // Sends one sentence, damaged now and then, and notes what the decoder
    // must report for it.
    void Emit(const std::string& body, Kind kind, const GPS_FIX* fix, const ZDA_DATA* zda)
    {
        ++m_stream.nSentences;
        std::string sentence = NmeaSentence(body);

        // The "$" of this sentence ended the stored text before it, so the
        // sentence itself is collected without a start mark and refused.
        if (m_startLost) {
            m_startLost = false;
            m_stream.bytes += sentence;
            Expect(GPS_ERR_NO_START);
            return;
        }
        if (m_damage && Uniform() < 0.015 && Damage(body, kind, sentence))
            return;

        m_stream.bytes += sentence;
        NmeaEvent event;
        if (kind == Kind::Gga) {
            m_fix = *fix;
            event.nResult = GPS_GGA_DECODED;
            ++m_stream.nGga;
        } else if (kind == Kind::Zda) {
            m_zda = *zda;
            event.nResult = GPS_ZDA_DECODED;
            ++m_stream.nZda;
        } else if (kind == Kind::Gsa) {
            event.nResult = GPS_GSA_DECODED;
        } else {
            event.nResult = GPS_SENTENCE_IGNORED;
        }
        event.fix = m_fix;
        event.zda = m_zda;
        m_stream.events.push_back(event);
    }

    bool Damage(const std::string& body, Kind kind, std::string& sentence)
    {
        const size_t first = 1;                  // body starts after "$"
        const size_t star = sentence.find('*'); // body ends here
        switch (Between(0, 4)) {
        case 0: { // a byte changed on the line: the checksum catches it
            const size_t at = static_cast<size_t>(Between(static_cast<int>(first), static_cast<int>(star) - 1));
            char replacement;
            do
                replacement = static_cast<char>(Between(0x20, 0x7E));
            while (replacement == sentence[at] || replacement == '$' || replacement == '*');
            sentence[at] = replacement;
            m_stream.bytes += sentence;
            Expect(GPS_ERR_CHECKSUM);
            break;
        }
        case 1: { // bytes lost by an overrun; lost bytes that cancel out would pass
            const size_t at = static_cast<size_t>(Between(static_cast<int>(first), static_cast<int>(star) - 1));
            const size_t count = std::min<size_t>(static_cast<size_t>(Between(1, 8)), star - at);
            unsigned lostSum = 0;
            for (size_t i = at; i < at + count; ++i)
                lostSum ^= static_cast<unsigned char>(sentence[i]);
            if (lostSum == 0)
                return false;
            sentence.erase(at, count);
            m_stream.bytes += sentence;
            Expect(GPS_ERR_CHECKSUM);
            break;
        }
        case 2: // the second checksum digit lost: CR is read in its place
            m_stream.bytes += sentence.substr(0, star + 2) + "\r\n";
            Expect(GPS_ERR_CHECKSUM);
            break;
        case 3: { // the receiver broke off a line and started the next one
            if (kind != Kind::Other)
                return false;
            const size_t keep = static_cast<size_t>(Between(1, static_cast<int>(body.size()) - 1));
            m_stream.bytes += "$" + body.substr(0, keep);
            Expect(GPS_SENTENCE_IGNORED);
            m_startLost = true;
            break;
        }
        default: { // line noise before the sentence: stored, then ended by its "$"
            const int count = Between(1, 5);
            for (int i = 0; i < count; ++i)
                m_stream.bytes += static_cast<char>(Between(0x80, 0xFF));
            m_stream.bytes += sentence;
            Expect(GPS_SENTENCE_IGNORED);
            Expect(GPS_ERR_NO_START);
            break;
        }
        }
        ++m_stream.nDamaged;
        return true;
    }

    std::mt19937 m_random;
    bool m_damage;
    bool m_startLost = false;
    NmeaStream m_stream;
    UtcClock m_clock;
    GPS_FIX m_fix;
    ZDA_DATA m_zda;
    double m_lat = 51.4769;
    double m_lon = -0.0050;
    static constexpr double kCourse = 1.4; // radians from north
    double m_heading = kCourse;
    int m_altTenths = 460;
    int m_sats = 9;
    int m_hdopTenths = 9;
};

} // namespace

NmeaStream MakeNmeaStream(const NmeaStreamOptions& options)
{
    Generator generator(options);
    return generator.Run(options.nSeconds);
}
