#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gps/GpsDecoder.h"
#include "support/NmeaStream.h"
#include "support/ScratchDir.h"

namespace {

std::string CapturePath(const std::string& name) { return std::string(FIELDBOOK_TEST_DATA) + "/nmea/" + name; }

// The capture without its '#' note lines; receiver lines stay byte for byte.
std::string ReceiverBytes(const std::string& name)
{
    const std::string file = ReadWholeFile(CapturePath(name));
    std::string bytes;
    for (size_t start = 0; start < file.size();) {
        size_t end = file.find('\n', start);
        end = end == std::string::npos ? file.size() : end + 1;
        if (file[start] != '#')
            bytes.append(file, start, end - start);
        start = end;
    }
    return bytes;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Counted line by line, without the decoder: sentences of one identifier whose
// checksum is absent or right, and sentences of any kind whose checksum is wrong.
struct LineCount {
    int good = 0;
    int badChecksum = 0;
};

LineCount CountLines(const std::string& bytes, const std::string& identifier)
{
    LineCount count;
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] != '$')
            continue;
        const size_t star = line.find('*');
        bool good = true;
        // "*" right before the line end carries no checksum at all.
        if (star != std::string::npos && star + 1 < line.size()) {
            int sum = 0;
            for (size_t i = 1; i < star; ++i)
                sum ^= static_cast<unsigned char>(line[i]);
            good = line.size() == star + 3 && HexValue(line[star + 1]) * 16 + HexValue(line[star + 2]) == sum;
        }
        if (!good)
            ++count.badChecksum;
        else if (line.compare(1, identifier.size() + 1, identifier + ",") == 0)
            ++count.good;
    }
    return count;
}

struct CaptureCase {
    const char* file;
    int gga;       // sentences in the file (the captures' own table)
    int zda;
    int ggaDecoded; // what the decoder must make of them
    int zdaDecoded;
};

class Captures : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(Captures, DecodeTheSentencesTheyCarry)
{
    const CaptureCase& c = GetParam();
    const std::string bytes = ReceiverBytes(c.file);
    ASSERT_FALSE(bytes.empty()) << c.file;

    const LineCount gga = CountLines(bytes, "GPGGA");
    const LineCount zda = CountLines(bytes, "GPZDA");
    const int ggaExpected = gga.good;
    const int zdaExpected = zda.good;
    EXPECT_EQ(ggaExpected, c.ggaDecoded);
    EXPECT_EQ(zdaExpected, c.zdaDecoded);

    CGpsDecoder decoder;
    ASSERT_EQ(decoder.Init(), 0);
    const std::vector<int> results = DecodeAll(decoder, bytes);
    EXPECT_EQ(std::count(results.begin(), results.end(), GPS_GGA_DECODED), ggaExpected);
    EXPECT_EQ(std::count(results.begin(), results.end(), GPS_ZDA_DECODED), zdaExpected);
    EXPECT_EQ(std::count(results.begin(), results.end(), GPS_ERR_CHECKSUM), gga.badChecksum);
    // Only the port opened at a line start gives no 146 at all.
    EXPECT_EQ(std::count(results.begin(), results.end(), GPS_ERR_NO_START), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Receivers, Captures,
    ::testing::Values(CaptureCase{"bundg_zeus_9.log", 138, 154, 138, 154},
                      CaptureCase{"quectel-L70.log", 16, 15, 16, 15},
                      CaptureCase{"mt3339.log", 30, 30, 30, 30},
                      // Every GGA of this receiver carries a wrong checksum.
                      CaptureCase{"firefly-II.log", 23, 23, 0, 23},
                      // LF alone ends its lines; its last sentence counts too.
                      CaptureCase{"hemi.log", 215, 108, 215, 108},
                      CaptureCase{"skytraq-dgps.log", 96, 96, 96, 96},
                      CaptureCase{"bu353-glonass.log", 18, 19, 18, 19},
                      CaptureCase{"ublox-lea-4h.log", 14, 14, 14, 14},
                      CaptureCase{"gp-320fw-2019-04-06-overflow.log", 20, 2, 20, 2}),
    [](const ::testing::TestParamInfo<CaptureCase>& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST(Captures, HoldTheirFixes)
{
    CGpsDecoder decoder;
    ASSERT_EQ(decoder.Init(), 0);
    ASSERT_FALSE(DecodeAll(decoder, ReceiverBytes("mt3339.log")).empty());
    GPS_FIX fix;
    ASSERT_EQ(decoder.CopyGgaData(&fix), 0);
    // The capture's site: 44.04 N, 121.18 W, about 1100 m up, differential fix.
    EXPECT_NEAR(fix.dfLatAng, 44.07, 0.05);
    EXPECT_EQ(fix.nLatDir, DIR_NORTH);
    EXPECT_NEAR(fix.dfLongAng, 121.31, 0.05);
    EXPECT_EQ(fix.nLongDir, DIR_WEST);
    EXPECT_NEAR(fix.dfAltVal, 1127.0, 30.0);
    EXPECT_EQ(fix.nGpsFix, 2u);
    ZDA_DATA zda;
    ASSERT_EQ(decoder.CopyZdaData(&zda), 0);
    EXPECT_EQ(zda.nYear, 2015);
    EXPECT_EQ(zda.nMonth, 4);
}

// Every capture, fed in the chunk sizes a port gives, yields only results the
// decoder defines and leaves it able to decode a good sentence.
TEST(Captures, NeverUpsetTheDecoder)
{
    const char* const files[] = {"bundg_zeus_9.log", "quectel-L70.log", "mt3339.log",      "firefly-II.log",
                                 "hemi.log",         "saab-r4.log",     "nmea-fuzzy-cases.log",
                                 "skytraq-dgps.log", "bu353-glonass.log", "ublox-lea-4h.log",
                                 "gp-320fw-2019-04-06-overflow.log"};
    const std::vector<int> allowed = {GPS_GGA_DECODED, GPS_ZDA_DECODED, GPS_GST_DECODED, GPS_GSA_DECODED,
                                      GPS_SENTENCE_IGNORED, GPS_ERR_TOO_LONG,
                                      GPS_ERR_OVERFLOW, GPS_ERR_NO_START, GPS_ERR_DOUBLE_STAR,
                                      GPS_ERR_CHECKSUM_DIGITS, GPS_ERR_CHECKSUM};
    for (const char* file : files) {
        const std::string bytes = ReceiverBytes(file);
        ASSERT_FALSE(bytes.empty()) << file;
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{128}}) {
            CGpsDecoder decoder;
            ASSERT_EQ(decoder.Init(), 0);
            for (int result : DecodeAll(decoder, bytes, chunk))
                EXPECT_NE(std::find(allowed.begin(), allowed.end(), result), allowed.end()) << file << ": " << result;
            const std::string good = "\r\n$GPZDA,201530.00,04,07,2002,00,00*60\r\n";
            const std::vector<int> after = DecodeAll(decoder, good);
            ASSERT_FALSE(after.empty()) << file;
            EXPECT_EQ(after.back(), GPS_ZDA_DECODED) << file << " chunk " << chunk;
        }
    }
}

// The fix's quality record after a capture (up to the start of GGA epoch
// epochs + 1; 0 the whole file) or after hand-made sentences. Absent values
// must stay absent: every presence bit is compared.
struct QualityCase {
    const char* name;
    const char* file;      // a capture, or nullptr for the bodies
    const char* bodies;    // hand-made sentence bodies, one a line
    bool anyTalker;
    int epochs;
    uint32_t present;
    int32_t fixType;
    double hAccuracy, vAccuracy, pdop, vdop, correctionAge;
    uint32_t station;
};

constexpr uint32_t kGga = QUALITY_FIX_TYPE;
constexpr uint32_t kGst = QUALITY_H_ACCURACY | QUALITY_V_ACCURACY;
constexpr uint32_t kGsa = QUALITY_PDOP | QUALITY_VDOP | QUALITY_FIX_MODE;
constexpr uint32_t kDiff = QUALITY_CORRECTION_AGE | QUALITY_STATION;

std::string Epochs(const std::string& bytes, int epochs)
{
    if (epochs <= 0)
        return bytes;
    size_t at = 0;
    for (int i = 0; i <= epochs && at != std::string::npos; ++i)
        at = bytes.find("$GPGGA", at + 1);
    return bytes.substr(0, at);
}

class CaptureQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(CaptureQuality, KeepsWhatTheReceiverSaid)
{
    const QualityCase& c = GetParam();
    std::string bytes;
    if (c.file != nullptr) {
        bytes = Epochs(ReceiverBytes(c.file), c.epochs);
    } else {
        std::string lines = c.bodies;
        for (size_t start = 0; start < lines.size();) {
            const size_t end = std::min(lines.find('\n', start), lines.size());
            bytes += NmeaSentence(lines.substr(start, end - start));
            start = end + 1;
        }
    }
    CGpsDecoder decoder;
    ASSERT_EQ(decoder.Init(), 0);
    decoder.SetAnyTalker(c.anyTalker);
    decoder.SetPositionSource(SOURCE_GPSD);
    DecodeAll(decoder, bytes, 7);

    GPS_FIX fix;
    GPS_QUALITY q;
    ASSERT_EQ(decoder.CopyCurrentGga(&fix, &q), 0);
    EXPECT_EQ(q.u32Present, c.present);
    EXPECT_EQ(q.nFixType, c.fixType);
    EXPECT_EQ(q.nSource, SOURCE_GPSD);
    // Values are compared where present; the presence bits are compared above.
    const auto value = [&q](uint32_t bit, double v, double want) { return q.Has(bit) ? v : want; };
    EXPECT_NEAR(value(QUALITY_H_ACCURACY, q.dfHAccuracy, c.hAccuracy), c.hAccuracy, 5e-4);
    EXPECT_DOUBLE_EQ(value(QUALITY_V_ACCURACY, q.dfVAccuracy, c.vAccuracy), c.vAccuracy);
    EXPECT_DOUBLE_EQ(value(QUALITY_PDOP, q.dfPdop, c.pdop), c.pdop);
    EXPECT_DOUBLE_EQ(value(QUALITY_VDOP, q.dfVdop, c.vdop), c.vdop);
    EXPECT_DOUBLE_EQ(value(QUALITY_CORRECTION_AGE, q.dfCorrectionAge, c.correctionAge), c.correctionAge);
    EXPECT_EQ(q.Has(QUALITY_STATION) ? q.u32Station : c.station, c.station);
}

INSTANTIATE_TEST_SUITE_P(
    Receivers, CaptureQuality,
    ::testing::Values(
        // Latitude and longitude errors 6.1 and 7.0 m: root of 86.21.
        QualityCase{"quectel", "quectel-L70.log", nullptr, false, 0, kGga | kGst | kGsa, FIX_DGPS, 9.2849, 14.0, 1.21,
                    0.76, 0, 0},
        // Station "0000" is a station; the empty age is none.
        QualityCase{"skytraq", "skytraq-dgps.log", nullptr, false, 0, kGga | kGst | kGsa | QUALITY_STATION, FIX_DGPS,
                    0.5831, 1.2, 2.1, 1.7, 0, 0},
        QualityCase{"skytraq_with_beidou", "skytraq-dgps.log", nullptr, true, 0,
                    kGga | kGst | kGsa | QUALITY_STATION, FIX_DGPS, 0.5831, 1.2, 2.1, 1.7, 0, 0},
        // Two GNGSA per epoch; the eighth epoch's DOPs replace the seventh's.
        QualityCase{"bu353_any", "bu353-glonass.log", nullptr, true, 8, kGga | kGsa, FIX_AUTONOMOUS, 0, 0, 13.09,
                    12.28, 0, 0},
        // The GN GSA is the solution's, beside a GP GGA under the default talker rule.
        QualityCase{"bu353_gp_only", "bu353-glonass.log", nullptr, false, 8, kGga | kGsa, FIX_AUTONOMOUS, 0, 0, 13.09,
                    12.28, 0, 0},
        // The fix is lost at the end: nothing but "no fix" is kept.
        QualityCase{"bu353_lost", "bu353-glonass.log", nullptr, true, 0, kGga, FIX_NONE, 0, 0, 0, 0, 0, 0},
        QualityCase{"ublox", "ublox-lea-4h.log", nullptr, false, 0, kGga | kGsa, FIX_AUTONOMOUS, 0, 0, 2.20, 1.89, 0,
                    0},
        QualityCase{"gp320", "gp-320fw-2019-04-06-overflow.log", nullptr, false, 0, kGga | kGsa, FIX_AUTONOMOUS, 0, 0,
                    2.6, 2.2, 0, 0},
        QualityCase{"rtk_float", nullptr,
                    "GPGGA,101500.00,5130.0000,N,00007.0000,W,5,14,0.7,35.2,M,45.6,M,1.4,0042\n"
                    "GPGST,101500.00,0.5,0.31,0.20,35.0,0.24,0.19,0.45\n"
                    "GNGSA,A,3,02,05,07,13,,,,,,,,,1.4,0.7,1.2\n"
                    "GNGSA,A,3,65,71,,,,,,,,,,,,,",
                    true, 0, kGga | kGst | kGsa | kDiff, FIX_RTK_FLOAT, 0.3061, 0.45, 1.4, 1.2, 1.4, 42},
        QualityCase{"rtk_fixed", nullptr,
                    "GPGST,101501.00,0.02,0.03,0.01,12.0,0.012,0.016,0.025\n"
                    "GPGGA,101501.00,5130.0001,N,00007.0000,W,4,14,0.7,35.2,M,45.6,M,2.0,0042",
                    false, 0, kGga | kGst | kDiff, FIX_RTK_FIXED, 0.02, 0.025, 0, 0, 2.0, 42},
        // A GST without latitude and longitude errors has no horizontal accuracy.
        QualityCase{"gst_without_position_errors", nullptr,
                    "GPGGA,101502.00,5130.0001,N,00007.0000,W,1,08,1.1,35.2,M,45.6,M,,\n"
                    "GPGST,101502.00,3.1,,,,,,4.5",
                    false, 0, kGga | QUALITY_V_ACCURACY, FIX_AUTONOMOUS, 0, 4.5, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<QualityCase>& info) { return std::string(info.param.name); });

// Each value carries its epoch: a GST older than the maximum age is absent
// although the GGA after it is current; a stale GGA leaves only "no fix".
TEST(CaptureQuality, StaleValuesAreAbsent)
{
    CGpsDecoder decoder;
    ASSERT_EQ(decoder.Init(), 0);
    decoder.SetMaxFixAge(std::chrono::milliseconds(20));
    DecodeAll(decoder, NmeaSentence("GPGST,101500.00,0.5,0.31,0.20,35.0,0.24,0.19,0.45"));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    DecodeAll(decoder, NmeaSentence("GPGGA,101501.00,5130.0001,N,00007.0000,W,5,14,0.7,35.2,M,45.6,M,1.0,0042"));
    GPS_FIX fix;
    GPS_QUALITY q;
    ASSERT_EQ(decoder.CopyCurrentGga(&fix, &q), 0);
    EXPECT_EQ(q.u32Present, kGga | kDiff);
    EXPECT_EQ(q.nFixType, FIX_RTK_FLOAT);

    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(decoder.CopyCurrentGga(&fix, &q), GPS_ERR_FIX_STALE);
    EXPECT_EQ(q.u32Present, kGga);
    EXPECT_EQ(q.nFixType, FIX_NONE);
}

// Field n (1 the first after the identifier) of a receiver line, "" past the end.
std::string LineField(const std::string& line, size_t n)
{
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        start = line.find(',', start);
        if (start == std::string::npos)
            return "";
        ++start;
    }
    const size_t end = line.find_first_of(",*\r", start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Replayed as a GPS port gives it (10-byte chunks, what 9600 baud brings in
// 10 ms), a point taken after any sentence carries only what its GGA's own
// epoch said. What each epoch said is read from the text alone: the GST with
// the GGA's UTC, and the DOPs of the GP GSAs after that GGA (both receivers
// send their GSAs after the GGA of their burst).
TEST(CaptureQuality, NoPointCarriesAnotherEpochsValues)
{
    for (const char* file : {"quectel-L70.log", "skytraq-dgps.log"}) {
        const std::string bytes = ReceiverBytes(file);
        struct Said {
            double hAccuracy = -1.0;
            std::vector<double> pdops;
        };
        std::map<long long, Said> epochs;
        long long epoch = -1;
        for (size_t start = 0; start < bytes.size();) {
            const size_t end = std::min(bytes.find('\n', start), bytes.size());
            const std::string line = bytes.substr(start, end - start);
            start = end + 1;
            const auto utc = [&line] { return std::llround(std::stod(LineField(line, 1)) * 1000.0); };
            if (line.rfind("$GPGGA,", 0) == 0) {
                epoch = utc();
            } else if (line.rfind("$GPGST,", 0) == 0) {
                const double lat = std::stod(LineField(line, 6));
                const double lon = std::stod(LineField(line, 7));
                epochs[utc()].hAccuracy = std::sqrt(lat * lat + lon * lon);
            } else if (line.rfind("$GPGSA,", 0) == 0 && epoch >= 0) {
                epochs[epoch].pdops.push_back(std::stod(LineField(line, 15)));
            }
        }

        CGpsDecoder decoder;
        ASSERT_EQ(decoder.Init(), 0);
        int points = 0;
        int withAccuracy = 0;
        int withDops = 0;
        int wrong = 0;
        DecodeAll(decoder, bytes, 10, [&](int) {
            GPS_FIX fix;
            GPS_QUALITY q;
            if (decoder.CopyCurrentGga(&fix, &q) != 0 || fix.nGpsFix == 0)
                return;
            ++points;
            const Said& said = epochs[std::llround(fix.dfUTC * 1000.0)];
            if (q.Has(QUALITY_H_ACCURACY)) {
                ++withAccuracy;
                wrong += std::fabs(q.dfHAccuracy - said.hAccuracy) > 1e-9;
            }
            if (q.Has(QUALITY_PDOP)) {
                ++withDops;
                wrong += std::find(said.pdops.begin(), said.pdops.end(), q.dfPdop) == said.pdops.end();
            }
        });
        EXPECT_EQ(wrong, 0) << file;
        // Epoch-true, not empty: the values a burst has brought are there.
        EXPECT_GT(points, 100) << file;
        EXPECT_GT(withAccuracy, points / 10) << file;
        EXPECT_GT(withDops, points / 3) << file;
    }
}

} // namespace
