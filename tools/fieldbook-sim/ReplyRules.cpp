#include "ReplyRules.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "PacketBuilder.h"
#include "link/FrameCodec.h"

REPLY_EXPECT ExpectReply(const uint8_t* payload, uint32_t length, uint32_t frameLength, bool badFcs)
{
    REPLY_EXPECT expect;
    // Dropped by the handheld's frame reader: nothing answers them.
    if (badFcs || length == 0 || length > kMaxPacket || frameLength > kMaxFrameOnWire)
        return expect;
    // The handheld's receive buffer: contents, FCS (complemented, low byte first),
    // zeros. Fewer than 4 bytes in it is too short a frame; fewer than 5 no packet.
    uint8_t image[CFrameCodec::kRxSize] = {};
    std::memcpy(image, payload, length);
    const uint16_t fcs = static_cast<uint16_t>(~Fcs16(FCS16_INIT, payload, length));
    image[length] = static_cast<uint8_t>(fcs);
    image[length + 1] = static_cast<uint8_t>(fcs >> 8);
    if (length + 2 < 5)
        return expect;

    const uint8_t command = image[4];
    if (command != 1 && command != 2)
        return expect; // the NAK to an unknown command is never sent
    const uint32_t additional = GetU32(image + 24);
    const int protocol = additional != 0 ? static_cast<int>(additional >> 29) : 0;
    const bool withGpsMode = protocol == 2 || protocol == 3;
    const int gpsMode = withGpsMode ? static_cast<int32_t>(GetU32(image + 52)) : -1;
    if (protocol > 3)
        return expect; // command 1: unsupported; command 2: queued but the ACK is refused

    expect.u8Command = command;
    if (command == 1 && withGpsMode && gpsMode != 0 && gpsMode != 1 && gpsMode != 2) {
        expect.kind = REPLY_KIND::Nak;
        return expect;
    }
    expect.kind = REPLY_KIND::Ack;
    expect.bLong = withGpsMode && gpsMode == 1;
    expect.bHandheldFix = expect.bLong && command == 1;
    return expect;
}

std::string ExpectName(const REPLY_EXPECT& expect)
{
    switch (expect.kind) {
    case REPLY_KIND::Ack:
        return expect.bLong ? "ACK72" : "ACK6";
    case REPLY_KIND::Nak:
        return "NAK6";
    default:
        return "none";
    }
}

std::string ReplyName(const uint8_t* reply, uint32_t length)
{
    if (length >= 6 && reply[5] == 2)
        return "ACK" + std::to_string(length);
    if (length >= 6 && reply[5] == 3)
        return "NAK" + std::to_string(length);
    return "len" + std::to_string(length);
}

FIX_CANDIDATES SelectCandidates(const std::vector<GPS_SAMPLE>& written, double sentAt, double replyAt, double slack)
{
    FIX_CANDIDATES candidates;
    const GPS_SAMPLE* before = nullptr;
    for (const GPS_SAMPLE& s : written) {
        if (s.dfElapsed < sentAt - slack)
            before = &s;
        else if (s.dfElapsed <= replyAt)
            candidates.samples.push_back(s);
    }
    candidates.samples.insert(candidates.samples.begin(), before != nullptr ? *before : GPS_SAMPLE{});
    return candidates;
}

namespace {

std::string CheckFixBlock(const uint8_t* block, const FIX_CANDIDATES& candidates)
{
    const int32_t quality = static_cast<int32_t>(GetU32(block + 32));
    if (quality == 0) {
        // No fix: only the date word, the UTC time and the time indicator.
        for (uint32_t i = 8; i < 60; ++i) {
            if (block[i] != 0)
                return "no-fix block has data at offset " + std::to_string(i);
        }
        if (candidates.samples.empty())
            return "";
        for (const GPS_SAMPLE& s : candidates.samples) {
            if (!s.bFix)
                return "";
        }
        return "zero position while a fix was being sent";
    }
    const double lat = GetF64(block + 44);
    const double lon = GetF64(block + 52);
    const float utc = GetF32(block + 4);
    for (const GPS_SAMPLE& s : candidates.samples) {
        // A single-precision hhmmss.ss near the end of the day is good to 1/64 s.
        if (s.bFix && s.nQuality == quality && std::fabs(lat - s.dfLat) <= kPositionTolerance &&
            std::fabs(lon - s.dfLon) <= kPositionTolerance && std::fabs(utc - s.dfUTC) <= 0.02)
            return "";
    }
    char text[96];
    std::snprintf(text, sizeof text, "fix %.7f,%.7f quality %d matches no position sent", lat, lon, quality);
    return text;
}

} // namespace

std::string CheckReply(const REPLY_EXPECT& expect, const uint8_t* reply, uint32_t length,
                       const FIX_CANDIDATES& candidates)
{
    if (expect.kind == REPLY_KIND::None)
        return "reply where none is due";
    if (length != kShortReply && length != kLongReply)
        return "reply of " + std::to_string(length) + " bytes";
    if (reply[0] != 0xFF || reply[1] != 0x03 || reply[2] != 0x00 || reply[3] != 0x21)
        return "bad reply header";
    if (reply[4] != expect.u8Command)
        return "command " + std::to_string(reply[4]) + " echoed for " + std::to_string(expect.u8Command);
    const uint8_t type = expect.kind == REPLY_KIND::Ack ? 2 : 3;
    if (reply[5] != type)
        return ExpectName(expect) + " due, " + ReplyName(reply, length) + " came";
    if ((length == kLongReply) != expect.bLong)
        return ExpectName(expect) + " due, " + ReplyName(reply, length) + " came";
    if (!expect.bLong)
        return "";
    if (reply[6] != 64 || reply[7] != 0)
        return "long reply with data length " + std::to_string(reply[6] | reply[7] << 8);
    const uint8_t* block = reply + 8;
    if (!expect.bHandheldFix) {
        for (uint32_t i = 0; i < kGpsBlockSize; ++i) {
            if (block[i] != 0)
                return "command 2 block not zero at offset " + std::to_string(i);
        }
        return "";
    }
    return CheckFixBlock(block, candidates);
}
