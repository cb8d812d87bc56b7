// RTCM 3 framing and the reference station of 1005/1006, against the real
// recordings in tests/data/rtcm (their frame census is in its README) and
// frames damaged by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "corrections/Rtcm.h"
#include "corrections/RtcmRelay.h"

namespace {

std::string ReadData(const std::string& name)
{
    std::ifstream in(std::string(FIELDBOOK_TEST_DATA) + "/rtcm/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Census : IRtcmFrameSink {
    std::map<uint16_t, int> types;
    std::vector<std::string> frames;
    int bad = 0;
    void OnRtcmFrame(const uint8_t* frame, size_t size) override
    {
        ++types[RtcmMessageType(frame, size)];
        frames.emplace_back(reinterpret_cast<const char*>(frame), size);
    }
    void OnRtcmBadCrc() override { ++bad; }
};

Census Frame(const std::string& bytes, size_t piece = 4096)
{
    Census census;
    CRtcmFramer framer;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        const std::string part = bytes.substr(at, piece);
        framer.Feed(reinterpret_cast<const uint8_t*>(part.data()), part.size(), census);
    }
    return census;
}

// The first frames of testglo.rtcm3, after its 58 bytes of text.
std::string FirstFrames(size_t count)
{
    const std::string all = ReadData("testglo.rtcm3");
    size_t at = 58;
    for (size_t i = 0; i < count; ++i)
        at += 6 + ((static_cast<uint8_t>(all[at + 1]) & 3) << 8) + static_cast<uint8_t>(all[at + 2]);
    return all.substr(58, at - 58);
}

} // namespace

TEST(Rtcm, Crc24qCheckValue)
{
    const std::string text = "123456789";
    EXPECT_EQ(Crc24q(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0xCDE703u);
}

TEST(Rtcm, RecordingsGiveTheirCensus)
{
    struct Row {
        const char* file;
        std::map<uint16_t, int> types;
    } rows[] = {
        {"GMSD7_20121014.rtcm3",
         {{1077, 257}, {1087, 257}, {1117, 257}, {1127, 257}, {1007, 28}, {1008, 28}, {1033, 28}, {1019, 15}, {1020, 16}}},
        {"testglo.rtcm3", {{1004, 186}, {1012, 186}, {1005, 19}, {1019, 19}, {1020, 19}}},
    };
    for (const Row& row : rows) {
        const std::string bytes = ReadData(row.file);
        ASSERT_FALSE(bytes.empty()) << row.file;
        for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
            const Census census = Frame(bytes, piece);
            EXPECT_EQ(census.types, row.types) << row.file << " in reads of " << piece;
            EXPECT_EQ(census.bad, 0) << row.file;
        }
    }
}

TEST(Rtcm, DamageCostsOnlyTheDamagedFrame)
{
    const std::string two = FirstFrames(2);
    const size_t firstSize = 6 + static_cast<uint8_t>(two[2]);
    const std::string first = two.substr(0, firstSize);
    const std::string second = two.substr(firstSize);
    std::string flipped = first;
    flipped[10] ^= 0x40;
    struct Row {
        const char* name;
        std::string bytes;
        std::vector<std::string> frames;
        int bad;
    } rows[] = {
        {"two frames", two, {first, second}, 0},
        {"text before", "fieldbook\xD3\x55 \r\n" + two, {first, second}, 0},
        {"a bit flipped", flipped + second, {second}, 1},
        {"first cut short", first.substr(0, 9) + second, {second}, 1},
        {"preamble inside the damage", first.substr(0, 5) + "\xD3" + second, {second}, 1},
        {"reserved bits set", std::string("\xD3\xFC\x00", 3) + two, {first, second}, 0},
        {"ends inside a frame", two.substr(0, two.size() - 1), {first}, 0},
    };
    for (const Row& row : rows) {
        for (size_t piece : {size_t{1}, size_t{4096}}) {
            const Census census = Frame(row.bytes, piece);
            EXPECT_EQ(census.frames, row.frames) << row.name << " in reads of " << piece;
            EXPECT_EQ(census.bad, row.bad) << row.name;
        }
    }
}

// Bits written most significant first, as RTCM lays out its fields.
struct BitWriter {
    std::vector<uint8_t> bytes;
    size_t bits = 0;
    void Put(int64_t value, unsigned length)
    {
        for (unsigned i = length; i-- > 0; ++bits) {
            if (bits % 8 == 0)
                bytes.push_back(0);
            if ((static_cast<uint64_t>(value) >> i) & 1u)
                bytes.back() |= static_cast<uint8_t>(0x80 >> (bits % 8));
        }
    }
};

TEST(Rtcm, StationPosition)
{
    // testglo.rtcm3's 1005, station 0, ECEF read off its bits by hand.
    const std::string all = ReadData("testglo.rtcm3");
    Census census = Frame(all);
    const std::string* station = nullptr;
    for (const std::string& f : census.frames) {
        if (RtcmMessageType(reinterpret_cast<const uint8_t*>(f.data()), f.size()) == 1005) {
            station = &f;
            break;
        }
    }
    ASSERT_NE(station, nullptr);

    BitWriter m1006;
    m1006.Put(1006, 12), m1006.Put(2003, 12), m1006.Put(0, 6), m1006.Put(7, 3), m1006.Put(0, 1);
    m1006.Put(-123456789012, 38), m1006.Put(0, 2), m1006.Put(9876543210, 38), m1006.Put(0, 2);
    m1006.Put(-1, 38), m1006.Put(15000, 16);
    const std::string made(m1006.bytes.begin(), m1006.bytes.end());

    struct Row {
        const char* name;
        std::string message;
        bool ok;
        RTCM_STATION want;
    } rows[] = {
        {"testglo 1005", station->substr(3, station->size() - 6), true,
         {0, -3869297.5138, 3436571.3345, 3717369.3757, 0.0}},
        {"1006 with height", made, true, {2003, -12345678.9012, 987654.3210, -0.0001, 1.5}},
        {"1006 without its height", made.substr(0, 19), false, {}},
        {"1004", std::string("\x3E\xC0", 2) + std::string(19, '\0'), false, {}},
    };
    for (const Row& row : rows) {
        RTCM_STATION got;
        const bool ok = DecodeStationPosition(reinterpret_cast<const uint8_t*>(row.message.data()),
                                              row.message.size(), got);
        ASSERT_EQ(ok, row.ok) << row.name;
        if (!ok)
            continue;
        EXPECT_EQ(got.nStationId, row.want.nStationId) << row.name;
        EXPECT_NEAR(got.dfX, row.want.dfX, 1e-6) << row.name;
        EXPECT_NEAR(got.dfY, row.want.dfY, 1e-6) << row.name;
        EXPECT_NEAR(got.dfZ, row.want.dfZ, 1e-6) << row.name;
        EXPECT_NEAR(got.dfAntennaHeight, row.want.dfAntennaHeight, 1e-6) << row.name;
    }
}

TEST(Rtcm, GeodeticAndEcef)
{
    // testglo's station: 35.872988846 N, 138.389665471 E, 1003.860 m above the ellipsoid.
    double lat = 0, lon = 0, x = 0, y = 0, z = 0;
    EcefToGeodetic(-3869297.5138, 3436571.3345, 3717369.3757, lat, lon);
    EXPECT_NEAR(lat, 35.872988846, 1e-8);
    EXPECT_NEAR(lon, 138.389665471, 1e-8);
    GeodeticToEcef(35.872988846366624, 138.3896654706443, 1003.859919260256, x, y, z);
    EXPECT_NEAR(std::hypot(x + 3869297.5138, y - 3436571.3345, z - 3717369.3757), 0.0, 1e-3);
}

// The GGA a caster gets: the receiver's own while it has a fix and it is fresh,
// else the set position's.
TEST(Rtcm, GgaUpstream)
{
    const struct {
        double lat, lon, height;
        long long utc;
        std::string want;
    } rows[] = {
        {45.5, -7.5, 250.0, 14 * 3600 + 7 * 60 + 9,
         "$GPGGA,140709.00,4530.0000,N,00730.0000,W,1,08,1.0,250.0,M,0.0,M,,*4D\r\n"},
        // Minutes that round up carry into the degrees.
        {-35.99999999, 179.99999999, -12.34, 2 * 86400 - 1,
         "$GPGGA,235959.00,3600.0000,S,18000.0000,E,1,08,1.0,-12.3,M,0.0,M,,*58\r\n"},
    };
    for (const auto& row : rows) {
        char sentence[CGgaTap::kMaxSentence + 1];
        const size_t length = PositionGga(row.lat, row.lon, row.height, row.utc, sentence);
        EXPECT_EQ(std::string(sentence, length), row.want);
    }

    const std::string fix = "$GPGGA,140709.00,3548.0000,N,13818.0000,E,4,12,0.7,100.0,M,40.0,M,1.0,0000*45\r\n";
    const std::string lost = "$GPGGA,140710.00,,,,,0,00,99.9,,M,,M,,*5C\r\n";
    CGgaTap tap;
    char sentence[CGgaTap::kMaxSentence + 1];
    size_t length = 0;
    tap.Feed(reinterpret_cast<const uint8_t*>(fix.data()), fix.size());
    ASSERT_TRUE(tap.Latest(sentence, length, std::chrono::seconds(5)));
    EXPECT_EQ(std::string(sentence, length), fix);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(tap.Latest(sentence, length, std::chrono::milliseconds(10))); // older than the maximum age
    tap.Feed(reinterpret_cast<const uint8_t*>(lost.data()), lost.size());
    EXPECT_FALSE(tap.Latest(sentence, length)); // the fix is gone: nothing stale goes upstream
}
