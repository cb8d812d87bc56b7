#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "gps/GpsDecoder.h"
#include "support/NmeaStream.h"

namespace {

const NmeaStream& HourStream()
{
    static const NmeaStream stream = MakeNmeaStream();
    return stream;
}

TEST(NmeaStream, IsAnHourOfReceiverOutputWithDamage)
{
    const NmeaStream& stream = HourStream();
    EXPECT_GT(stream.bytes.size(), 900000u);
    EXPECT_GT(stream.nGga, 3000u);
    EXPECT_GT(stream.nZda, 3400u);
    EXPECT_GT(stream.nDamaged, 100u);
    for (int result : {GPS_ERR_NO_START, GPS_ERR_CHECKSUM, GPS_SENTENCE_IGNORED}) {
        EXPECT_TRUE(std::any_of(stream.events.begin(), stream.events.end(),
                                [result](const NmeaEvent& e) { return e.nResult == result; }))
            << result;
    }
    // The track crosses the zero meridian and the year's end.
    EXPECT_NE(stream.bytes.find(",W,"), std::string::npos);
    EXPECT_NE(stream.bytes.find(",E,"), std::string::npos);
    EXPECT_NE(stream.bytes.find(",01,01,2024,"), std::string::npos);
    EXPECT_EQ(MakeNmeaStream().bytes, stream.bytes);
}

class StreamInChunks : public ::testing::TestWithParam<size_t> {};

// Every result in order, and after each decoded sentence the whole record.
TEST_P(StreamInChunks, DecodesToTheExpectedRecords)
{
    const NmeaStream& stream = HourStream();
    CGpsDecoder decoder;
    ASSERT_EQ(decoder.Init(), 0);
    size_t index = 0;
    size_t mismatches = 0;
    DecodeAll(decoder, stream.bytes, GetParam(), [&](int result) {
        if (index >= stream.events.size()) {
            ADD_FAILURE() << "more results than expected: " << result;
            return;
        }
        const NmeaEvent& expected = stream.events[index++];
        if (result != expected.nResult && ++mismatches <= 5)
            ADD_FAILURE() << "event " << index - 1 << ": " << result << " instead of " << expected.nResult;
        if (result == GPS_GGA_DECODED) {
            GPS_FIX fix;
            ASSERT_EQ(decoder.CopyGgaData(&fix), 0);
            const GPS_FIX& e = expected.fix;
            const bool same = std::abs(fix.dfUTC - e.dfUTC) < 1e-9 && std::abs(fix.dfLatAng - e.dfLatAng) < 1e-9 &&
                              fix.nLatDir == e.nLatDir && std::abs(fix.dfLongAng - e.dfLongAng) < 1e-9 &&
                              fix.nLongDir == e.nLongDir && fix.nGpsFix == e.nGpsFix && fix.nNoSats == e.nNoSats &&
                              std::abs(fix.dfHorizDil - e.dfHorizDil) < 1e-9 &&
                              std::abs(fix.dfAltVal - e.dfAltVal) < 1e-9 && fix.nAltUnits == e.nAltUnits &&
                              std::abs(fix.dfGeoidVal - e.dfGeoidVal) < 1e-9 && fix.nGeoidUnits == e.nGeoidUnits &&
                              fix.nDgpsTime == e.nDgpsTime && fix.nDgpsId == e.nDgpsId && fix.nTimeInd == 0;
            if (!same && ++mismatches <= 5)
                ADD_FAILURE() << "fix of event " << index - 1 << " at " << fix.dfUTC << " differs";
        }
        if (result == GPS_ZDA_DECODED) {
            ZDA_DATA zda;
            ASSERT_EQ(decoder.CopyZdaData(&zda), 0);
            if (!(zda == expected.zda) && ++mismatches <= 5)
                ADD_FAILURE() << "date of event " << index - 1 << " at " << zda.dfUTC << " differs";
        }
    });
    EXPECT_EQ(index, stream.events.size());
    EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Chunks, StreamInChunks, ::testing::Values(1, 13, 128, 0),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return info.param == 0 ? std::string("whole") : "of_" + std::to_string(info.param);
                         });

// A fix whose fields all derive from one number, so a copy taken halfway
// through an update would show.
std::string NumberedFix(int n)
{
    char body[120];
    std::snprintf(body, sizeof body, "GPGGA,%d,4807.038,N,01131.000,E,1,%d,0.9,%d,M,46.9,M,%d,%d", n, n % 100, n,
                  n, n);
    return NmeaSentence(body);
}

std::string NumberedDate(int n)
{
    char body[80];
    std::snprintf(body, sizeof body, "GPZDA,%d,%d,%d,%d,%d,%d", n, n % 28 + 1, n % 12 + 1, 2000 + n, n % 13, n % 60);
    return NmeaSentence(body);
}

TEST(GpsDecoderThreads, CopiesTakenWhileDecodingAreWholeRecords)
{
    constexpr int kSentences = 3000;
    std::string stream;
    for (int n = 1; n <= kSentences; ++n)
        stream += NumberedFix(n) + NumberedDate(n);

    CGpsDecoder decoder;
    ASSERT_EQ(decoder.Init(), 0);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> copies{0};

    auto reader = [&] {
        do {
            GPS_FIX fix;
            ZDA_DATA zda;
            if (decoder.CopyGgaData(&fix) == 0) {
                const auto n = static_cast<uint32_t>(fix.dfUTC);
                if (fix.dfAltVal != fix.dfUTC || fix.nDgpsTime != n || fix.nDgpsId != n || fix.nNoSats != n % 100)
                    ++torn;
                ++copies;
            }
            if (decoder.CopyZdaData(&zda) == 0) {
                const auto n = static_cast<int>(zda.dfUTC);
                if (n != 0 && (zda.nYear != 2000 + n || zda.nLocalZoneMinute != n % 60 || zda.nDay != n % 28 + 1))
                    ++torn;
            }
        } while (!done.load());
    };
    std::thread packetHandler(reader);
    std::thread portWatcher([&] {
        while (!done.load()) {
            decoder.InvalidateFix();
            std::this_thread::yield();
        }
    });

    int ggaCount = 0;
    int zdaCount = 0;
    DecodeAll(decoder, stream, 128, [&](int result) {
        ggaCount += result == GPS_GGA_DECODED;
        zdaCount += result == GPS_ZDA_DECODED;
    });
    // A 250 ms wait can run out on a loaded machine and lose a sentence; the
    // records must stay whole either way.
    EXPECT_GT(ggaCount, kSentences * 9 / 10);
    EXPECT_GT(zdaCount, kSentences * 9 / 10);
    done = true;
    packetHandler.join();
    portWatcher.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(copies.load(), 0);
}

} // namespace
