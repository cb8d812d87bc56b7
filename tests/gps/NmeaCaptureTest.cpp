#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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
                      CaptureCase{"hemi.log", 215, 108, 215, 108}),
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
                                 "hemi.log",         "saab-r4.log",     "nmea-fuzzy-cases.log"};
    const std::vector<int> allowed = {GPS_GGA_DECODED, GPS_ZDA_DECODED, GPS_SENTENCE_IGNORED, GPS_ERR_TOO_LONG,
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

} // namespace
