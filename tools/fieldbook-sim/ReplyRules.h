// What the handheld answers to a locator packet, and whether a reply it sent
// keeps to that.
//
// Reply payload: FF 03 00 21, the command byte answered, the type (2 ACK, 3 NAK);
// the short form stops there (6 bytes), the long form (72 bytes, an ACK to
// protocol 2/3 with GPS mode 1 only) goes on with the length 64 (u16) and a GPS
// block: the handheld's own fix for command 1, all zero for command 2.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "WalkTrack.h"

enum class REPLY_KIND { None, Ack, Nak };

struct REPLY_EXPECT {
    REPLY_KIND kind = REPLY_KIND::None;
    bool bLong = false;        // 72-byte form
    bool bHandheldFix = false; // long form carrying the handheld's fix (command 1)
    uint8_t u8Command = 0;
};

constexpr uint32_t kShortReply = 6;
constexpr uint32_t kLongReply = 72;

// The reply a packet earns, worked out from its bytes the way the handheld reads
// them: past the end of a short packet it finds the two FCS bytes and then
// zeros. frameLength is the packet's length on the wire (flags and escapes);
// badFcs marks a frame sent with a corrupted FCS.
REPLY_EXPECT ExpectReply(const uint8_t* payload, uint32_t length, uint32_t frameLength, bool badFcs);

// "ACK6", "ACK72", "NAK6", "none".
std::string ExpectName(const REPLY_EXPECT& expect);
// Name of a reply as received: "ACK6", "NAK72", "len13" ...
std::string ReplyName(const uint8_t* reply, uint32_t length);

// What the handheld may have known of its GPS fix when it answered: the GGA
// reports it was sent around that time (empty: it had no fix).
struct FIX_CANDIDATES {
    std::vector<GPS_SAMPLE> samples;
};

// Picks from the GGA reports written so far (oldest first, dfElapsed the time
// each was written) those a listener may hold when it answers at replyAt a packet
// sent at sentAt: the ones written from sentAt - slack on, and the last one
// before that, or "no fix" when there is none before (it may not have had one).
FIX_CANDIDATES SelectCandidates(const std::vector<GPS_SAMPLE>& written, double sentAt, double replyAt, double slack);

// Compares a received reply (payload without FCS) with the expected one.
// Returns "" when it keeps to the rules, else the first rule it breaks.
std::string CheckReply(const REPLY_EXPECT& expect, const uint8_t* reply, uint32_t length,
                       const FIX_CANDIDATES& candidates);

// Largest difference in degrees between a coordinate in the long ACK and the one
// the sim sent in its GGA sentence.
constexpr double kPositionTolerance = 1e-6;
