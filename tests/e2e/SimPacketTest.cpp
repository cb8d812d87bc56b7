// The simulator's pieces: packet layout, framing, the reply rules it checks
// fieldbook against, its NMEA sentences and its script lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NmeaSentences.h"
#include "PacketBuilder.h"
#include "PacketScript.h"
#include "ReplyRules.h"
#include "WalkTrack.h"
#include "link/FrameCodec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 7 December 2026, 08:15:48 UTC, a fix in the south-west quadrant.
GPS_SAMPLE SouthWestFix()
{
    GPS_SAMPLE s;
    s.nYear = 2026;
    s.nMonth = 12;
    s.nDay = 7;
    s.dfUTC = 81548.0;
    s.bFix = true;
    s.nQuality = 1;
    s.nSatellites = 8;
    s.dfHdop = 0.5;
    s.dfAltitude = 512.5;
    s.dfGeoid = 47.5;
    s.dfLat = -33.5;
    s.dfLon = -70.25;
    return s;
}

PACKET_SPEC QuietSpec(int command, int protocol, int gpsMode)
{
    PACKET_SPEC spec;
    spec.nCommand = command;
    spec.nProtocol = protocol;
    spec.nGpsMode = gpsMode;
    spec.fFrequency = 0.0f;
    spec.fDepth = spec.fSignal = spec.fCurrent = spec.fPhase = spec.fStrength = spec.fGain = 0.0f;
    spec.nBattery = spec.nVolume = 0;
    spec.u32EepromFileIndex = 1;
    spec.u32LogId = 2;
    return spec;
}

Bytes Build(const PACKET_SPEC& spec, const GPS_SAMPLE& fix = SouthWestFix())
{
    uint8_t packet[kMaxPacket];
    const uint32_t length = BuildPacket(spec, fix, packet);
    return Bytes(packet, packet + length);
}

Bytes Slice(const Bytes& b, size_t at, size_t n)
{
    return at + n <= b.size() ? Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n)) : Bytes{};
}

} // namespace

TEST(SimPacket, FieldsLandAtTheirOffsets)
{
    PACKET_SPEC spec = QuietSpec(1, 2, 1);
    spec.fFrequency = 8440.0f;
    spec.fDepth = 1.25f;
    spec.fCurrent = 0.5f;
    spec.u32EepromFileIndex = 7;
    spec.u32LogId = 0x1234;
    spec.nCompass = 90;
    spec.nArrows = 3;
    spec.nAntennaMode = 1;
    spec.nAccessoryType = 2;
    spec.nSondeLine = 1;
    spec.nBattery = 5;
    spec.nVolume = 2;
    spec.nOverload = 1;
    const Bytes p = Build(spec);

    struct FIELD {
        size_t offset;
        Bytes bytes;
    } const fields[] = {
        {0, {0xFF, 0x03, 0x00, 0x21, 0x01}},
        {8, {0x07, 0x00, 0x00, 0x00}},  // EEPROM file index
        {12, {0x01, 0x00, 0x00, 0x00}}, // log mode
        {16, {0x00, 0xE0, 0x03, 0x46}}, // 8440.0f
        {20, {0x34, 0x12, 0x00, 0x00}}, // log id
        {24, {0xDA, 0x12, 0xA3, 0x45}}, // protocol 2, compass 90, arrows 3 ... overload 1
        {28, {0x00, 0x00, 0xA0, 0x3F}}, // depth 1.25 m
        {36, {0x00, 0x00, 0x00, 0x3F}}, // current 0.5 A
        {52, {0x01, 0x00, 0x00, 0x00}}, // GPS mode 1
        {72, {0xEA, 0x07, 0x0C, 0x07}}, // RTC date 7.12.2026
        {76, {0x08, 0x0F, 0x30, 0x00}}, // RTC time 08:15:48
    };
    ASSERT_EQ(p.size(), 152u);
    for (const FIELD& f : fields)
        EXPECT_EQ(Slice(p, f.offset, f.bytes.size()), f.bytes) << "offset " << f.offset;
    // GPS mode 1 with command 1: the locator sends no fix of its own.
    EXPECT_EQ(Slice(p, 84, 64), Bytes(64, 0));
}

TEST(SimPacket, EepromChecksumSumsTheWordsFrom8To147)
{
    struct CASE {
        bool bad;
        Bytes checksum;
    } const cases[] = {
        // 1 + 1 + 2 + 0x40000000 + 1 + 0x070C07EA + 0x00300F08 + 1
        {false, {0xF8, 0x16, 0x3C, 0x47}},
        {true, {0xF9, 0x16, 0x3C, 0x47}},
    };
    for (const CASE& c : cases) {
        PACKET_SPEC spec = QuietSpec(1, 2, 1);
        spec.bBadChecksum = c.bad;
        EXPECT_EQ(Slice(Build(spec), 148, 4), c.checksum) << "bad " << c.bad;
    }
}

TEST(SimPacket, LocatorGpsBlockForGpsModeZeroAndCommandTwo)
{
    const Bytes block = {
        0xEA, 0x07, 0x0C, 0x07, // date word
        0x00, 0x46, 0x9F, 0x47, // 81548.0f
        0x00, 0x00, 0x00, 0x3F, // HDOP 0.5
        0x00, 0x20, 0x00, 0x44, // altitude 512.5
        0x00, 0x00, 0x3E, 0x42, // geoid 47.5
        0, 0, 0, 0, 0, 0, 0, 0, // DGPS age, id
        0x01, 0, 0, 0,          // geoid units: metres
        0x01, 0, 0, 0,          // quality
        0x08, 0, 0, 0,          // satellites
        0x01, 0, 0, 0,          // altitude units: metres
        0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x40, 0xC0, // -33.5
        0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x51, 0xC0, // -70.25
        0x01, 0, 0, 0,          // time from the GPS
    };
    struct CASE {
        int command, protocol, gpsMode;
        bool filled;
    } const cases[] = {{1, 2, 0, true}, {2, 3, 1, true}, {1, 3, 2, false}};
    for (const CASE& c : cases) {
        const Bytes p = Build(QuietSpec(c.command, c.protocol, c.gpsMode));
        EXPECT_EQ(Slice(p, 84, 64), c.filled ? block : Bytes(64, 0)) << c.command << "/" << c.protocol;
    }
}

TEST(SimPacket, ShortProtocolsStopAtByte52)
{
    for (int protocol : {0, 1, 4, 7}) {
        const Bytes p = Build(QuietSpec(1, protocol, 1));
        EXPECT_EQ(p.size(), 52u) << protocol;
        EXPECT_EQ(p[27] >> 5, protocol);
    }
}

TEST(SimPacket, Framing)
{
    struct CASE {
        Bytes payload;
        bool badFcs;
        Bytes frame;
    } const cases[] = {
        {{0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}, false, {0x7E, 0xFF, 0x03, 0x00, 0x21, 0x01, 0x02, 0x44, 0x74, 0x7E}},
        {{0x7E, 0x7D, 0x01, 0x02, 0x03}, false, {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x01, 0x02, 0x03, 0x01, 0x31, 0x7E}},
        // Corrupted: the high FCS byte goes out with bit 0 flipped, escaped as needed.
        {{0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}, true, {0x7E, 0xFF, 0x03, 0x00, 0x21, 0x01, 0x02, 0x44, 0x75, 0x7E}},
        {{0xFF, 0x03, 0x00, 0x21, 0x01, 0x8A}, true, {0x7E, 0xFF, 0x03, 0x00, 0x21, 0x01, 0x8A, 0x04, 0x7D, 0x5D, 0x7E}},
        {{0xFF, 0x03, 0x00, 0x21, 0x01, 0xA8}, true, {0x7E, 0xFF, 0x03, 0x00, 0x21, 0x01, 0xA8, 0x14, 0x7F, 0x7E}},
    };
    for (const CASE& c : cases) {
        uint8_t frame[kMaxFrame];
        const uint32_t n = FramePacket(c.payload.data(), static_cast<uint32_t>(c.payload.size()), c.badFcs, frame);
        EXPECT_EQ(Bytes(frame, frame + n), c.frame);
        CFrameCodec codec;
        EXPECT_EQ(codec.DecodeFrame(frame, n, true), c.badFcs ? FRAME_BAD_FCS : FRAME_COMPLETE);
    }
}

TEST(SimReplyRules, WhatEachPacketEarns)
{
    struct CASE {
        const char* name;
        Bytes payload;
        bool badFcs;
        const char* expect;
        bool handheldFix;
    };
    auto built = [](int command, int protocol, int gpsMode) { return Build(QuietSpec(command, protocol, gpsMode)); };
    const CASE cases[] = {
        {"c1p0", built(1, 0, 1), false, "ACK6", false},
        {"c1p1", built(1, 1, 1), false, "ACK6", false},
        {"c1p2g0", built(1, 2, 0), false, "ACK6", false},
        {"c1p2g1", built(1, 2, 1), false, "ACK72", true},
        {"c1p2g2", built(1, 2, 2), false, "ACK6", false},
        {"c1p3g5", built(1, 3, 5), false, "NAK6", false},
        {"c1p5", built(1, 5, 1), false, "none", false},
        {"c2p2g1", built(2, 2, 1), false, "ACK72", false},
        {"c2p3g5", built(2, 3, 5), false, "ACK6", false},
        {"c2p6", built(2, 6, 1), false, "none", false},
        {"c3p1", built(3, 1, 1), false, "none", false},
        {"c1p1 bad FCS", built(1, 1, 1), true, "none", false},
        // Five bytes: the additional-data word lies past the end and reads as 0.
        {"FF03002101", {0xFF, 0x03, 0x00, 0x21, 0x01}, false, "ACK6", false},
        {"two bytes", {0xFF, 0x03}, false, "none", false},
        // 152 flag bytes need 308 bytes on the wire: the handheld drops the frame.
        {"too long", Bytes(152, 0x7E), false, "none", false},
    };
    for (const CASE& c : cases) {
        uint8_t frame[kMaxFrame];
        const uint32_t n = FramePacket(c.payload.data(), static_cast<uint32_t>(c.payload.size()), c.badFcs, frame);
        const REPLY_EXPECT e = ExpectReply(c.payload.data(), static_cast<uint32_t>(c.payload.size()), n, c.badFcs);
        EXPECT_EQ(ExpectName(e), c.expect) << c.name;
        EXPECT_EQ(e.bHandheldFix, c.handheldFix) << c.name;
    }
}

namespace {

Bytes LongAck(uint8_t command, const Bytes& block)
{
    const uint8_t head[8] = {0xFF, 0x03, 0x00, 0x21, command, 0x02, 0x40, 0x00};
    Bytes reply(8 + block.size());
    std::memcpy(reply.data(), head, 8);
    std::memcpy(reply.data() + 8, block.data(), block.size());
    return reply;
}

// The handheld's block: the fix decoded from a GGA sentence (or none).
Bytes HandheldBlock(bool fix, double lat, double lon, float utc)
{
    Bytes block(64, 0);
    PutU32(&block[0], 0x070C07EA);
    PutF32(&block[4], utc);
    if (fix) {
        PutU32(&block[32], 1);
        PutU32(&block[36], 8);
        PutF64(&block[44], lat);
        PutF64(&block[52], lon);
    }
    PutU32(&block[60], fix ? 1 : 0);
    return block;
}

} // namespace

TEST(SimReplyRules, CheckReply)
{
    const REPLY_EXPECT ack6{REPLY_KIND::Ack, false, false, 1};
    const REPLY_EXPECT nak6{REPLY_KIND::Nak, false, false, 1};
    const REPLY_EXPECT ack72Fix{REPLY_KIND::Ack, true, true, 1};
    const REPLY_EXPECT ack72Zero{REPLY_KIND::Ack, true, false, 2};
    const REPLY_EXPECT none{};

    GPS_SAMPLE sent = SouthWestFix();
    sent.dfLat = 52.1;
    sent.dfLon = -1.5;
    const FIX_CANDIDATES withFix{{sent}};
    const FIX_CANDIDATES noFix{{GPS_SAMPLE{}}};
    Bytes nonZero(64, 0);
    nonZero[33] = 1;

    struct CASE {
        const char* name;
        REPLY_EXPECT expect;
        Bytes reply;
        FIX_CANDIDATES candidates;
        bool ok;
    } const cases[] = {
        {"short ACK", ack6, {0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}, {}, true},
        {"NAK for ACK", ack6, {0xFF, 0x03, 0x00, 0x21, 0x01, 0x03}, {}, false},
        {"NAK", nak6, {0xFF, 0x03, 0x00, 0x21, 0x01, 0x03}, {}, true},
        {"command not echoed", ack6, {0xFF, 0x03, 0x00, 0x21, 0x02, 0x02}, {}, false},
        {"bad header", ack6, {0xFF, 0x03, 0x00, 0x20, 0x01, 0x02}, {}, false},
        {"long for short", ack6, LongAck(1, Bytes(64, 0)), {}, false},
        {"short for long", ack72Fix, {0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}, withFix, false},
        {"odd length", ack6, {0xFF, 0x03, 0x00, 0x21, 0x01, 0x02, 0x00}, {}, false},
        {"reply where none due", none, {0xFF, 0x03, 0x00, 0x21, 0x03, 0x03}, {}, false},
        {"fix signed", ack72Fix, LongAck(1, HandheldBlock(true, 52.1, -1.5, 81548.0f)), withFix, true},
        {"fix sign lost", ack72Fix, LongAck(1, HandheldBlock(true, 52.1, 1.5, 81548.0f)), withFix, false},
        {"fix 1 m away", ack72Fix, LongAck(1, HandheldBlock(true, 52.10001, -1.5, 81548.0f)), withFix, false},
        {"fix from another time", ack72Fix, LongAck(1, HandheldBlock(true, 52.1, -1.5, 81550.0f)), withFix, false},
        {"zero position while fixed", ack72Fix, LongAck(1, HandheldBlock(false, 0, 0, 81548.0f)), withFix, false},
        {"zero position, no fix sent", ack72Fix, LongAck(1, HandheldBlock(false, 0, 0, 81548.0f)), noFix, true},
        {"fix, none sent", ack72Fix, LongAck(1, HandheldBlock(true, 52.1, -1.5, 81548.0f)), noFix, false},
        {"no fix but data", ack72Fix, LongAck(1, [] {
             Bytes b = HandheldBlock(false, 0, 0, 81548.0f);
             b[44] = 1;
             return b;
         }()), noFix, false},
        {"command 2 zero block", ack72Zero, LongAck(2, Bytes(64, 0)), withFix, true},
        {"command 2 block not zero", ack72Zero, LongAck(2, nonZero), withFix, false},
    };
    for (const CASE& c : cases) {
        const std::string verdict =
            CheckReply(c.expect, c.reply.data(), static_cast<uint32_t>(c.reply.size()), c.candidates);
        EXPECT_EQ(verdict.empty(), c.ok) << c.name << ": " << verdict;
    }
}

TEST(SimNmea, Sentences)
{
    // The textbook GGA sentence and its checksum.
    EXPECT_EQ(NmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"),
              "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");

    GPS_SAMPLE north = SouthWestFix();
    north.dfUTC = 81548.12;
    north.dfHdop = 0.9;
    north.dfAltitude = 545.4;
    north.dfGeoid = 46.9;
    north.dfLat = 48.1173;
    north.dfLon = 11.516666666666667;
    GPS_SAMPLE south = north;
    south.dfLat = -33.5;
    south.dfLon = -70.25;
    GPS_SAMPLE lost = north;
    lost.bFix = false;

    struct CASE {
        std::string body, expected;
    } const cases[] = {
        {GgaBody("GP", north), "GPGGA,081548.12,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,"},
        {GgaBody("GP", south), "GPGGA,081548.12,3330.0000,S,07015.0000,W,1,08,0.9,545.4,M,46.9,M,,"},
        {GgaBody("GN", lost), "GNGGA,081548.12,,,,,0,00,99.9,,M,,M,,"},
        {ZdaBody("GP", north), "GPZDA,081548.12,07,12,2026,00,00"},
        {RmcBody("GP", lost), "GPRMC,081548.12,V,,,,,,,071226,,,N"},
    };
    for (const CASE& c : cases)
        EXPECT_EQ(c.body, c.expected);
}

TEST(SimTrack, WalksAndLosesTheFixOnSchedule)
{
    const CWalkTrack track(52.0, 0.0, 0.0, 1.4, 10.0, 3.0);
    struct CASE {
        double t;
        bool lost;
    } const cases[] = {{0.0, false}, {5.0, false}, {10.0, true}, {12.9, true}, {13.1, false}, {20.5, true}};
    for (const CASE& c : cases)
        EXPECT_EQ(track.FixLost(c.t), c.lost) << c.t;

    // 140 m due north: 140 / (6371000 * pi / 180) degrees.
    double lat = 0.0, lon = 0.0;
    track.Position(100.0, lat, lon);
    EXPECT_NEAR(lat, 52.0 + 0.00125905, 1e-7);
    EXPECT_DOUBLE_EQ(lon, 0.0);
    EXPECT_FALSE(track.Sample(12.0, 0.0).bFix);
    EXPECT_EQ(track.Sample(12.0, 0.0).dfLat, 0.0);
}

TEST(SimScript, Lines)
{
    struct CASE {
        const char* line;
        bool ok;
        bool packet;
    } const cases[] = {
        {"cmd=1 proto=2 gpsmode=1 mode=1 freq=8440 depth=1.25 current=0.5", true, true},
        {"  # only a comment", true, false},
        {"", true, false},
        {"hex=FF03002101 fcs=bad", true, true},
        {"cmd=x", false, false},
        {"proto=8", false, false},
        {"bogus=1", false, false},
        {"hex=ABC", false, false},
        {"fcs=maybe", false, false},
        {"cmd", false, false},
        {"delay=-1", false, false},
    };
    for (const CASE& c : cases) {
        PACKET_SPEC spec;
        bool isPacket = false;
        std::string error;
        EXPECT_EQ(ParseScriptLine(c.line, spec, &isPacket, error), c.ok) << c.line;
        if (c.ok)
            EXPECT_EQ(isPacket, c.packet) << c.line;
        else
            EXPECT_FALSE(error.empty()) << c.line;
    }

    PACKET_SPEC spec;
    std::string error;
    ASSERT_TRUE(ParseScriptLine("cmd=2 proto=3 gpsmode=0 mode=6 freq=220 depth=0.75 additional=0x1 checksum=bad # x",
                                spec, nullptr, error));
    EXPECT_EQ(spec.nCommand, 2);
    EXPECT_EQ(spec.nProtocol, 3);
    EXPECT_EQ(spec.nGpsMode, 0);
    EXPECT_EQ(spec.nLogMode, 6);
    EXPECT_FLOAT_EQ(spec.fFrequency, 220.0f);
    EXPECT_FLOAT_EQ(spec.fDepth, 0.75f);
    EXPECT_EQ(AdditionalWord(spec), 1u);
    EXPECT_TRUE(spec.bBadChecksum);
}

TEST(SimReplyRules, FixesTheHandheldMayHold)
{
    // GGA reports written at 1 s steps; the one at 3 s had lost the fix.
    std::vector<GPS_SAMPLE> written;
    for (int t = 1; t <= 6; ++t) {
        GPS_SAMPLE s = SouthWestFix();
        s.dfElapsed = t;
        s.bFix = t != 3;
        s.dfUTC = 81547.0 + t;
        written.push_back(s);
    }
    struct CASE {
        double sentAt, replyAt;
        std::vector<double> times; // 0: "no fix yet"
    } const cases[] = {
        {4.5, 4.6, {2, 3, 4}},    // last before 2.5, then up to the reply
        {0.5, 0.6, {0}},          // nothing written yet
        {2.2, 2.3, {0, 1, 2}},    // nothing before 0.2: maybe no fix yet
        {9.0, 9.1, {6}},          // long after the last report: it still holds
    };
    for (const CASE& c : cases) {
        const FIX_CANDIDATES got = SelectCandidates(written, c.sentAt, c.replyAt, 2.0);
        std::vector<double> times;
        for (const GPS_SAMPLE& s : got.samples)
            times.push_back(s.dfElapsed);
        EXPECT_EQ(times, c.times) << c.sentAt;
    }
}
