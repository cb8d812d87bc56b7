// The locator's measurement packets, built the way the locator lays them out,
// and their framing. All multi-byte values little-endian; floats IEEE-754 single,
// the GPS block's coordinates double.
//
//   0-3    FF 03 00 21           address, control, protocol
//   4      command               1 or 2 (anything else is refused)
//   8      EEPROM file index     u32
//   12     log mode              i32
//   16     frequency             float, Hz
//   20     log id                u32
//   24     additional data       u32: protocol id in bits 31-29, compass 28-20,
//                                arrows 19-16, antenna 15-12, accessory 11-8,
//                                sonde/line 7, battery 6-4, volume 3-2, overload 1
//   28..48 depth (m), signal (dBuV), current (A), phase (deg), strength, gain (dB)
//   -- protocol ids 2 and 3 only (152 bytes in all; the others stop at 52) --
//   52     GPS mode              i32: 0 the locator's own GPS, 1/2 the handheld's
//   56..68 marker type, depth, signal, gain
//   72     RTC date word         day 31-24, month 23-16, year 15-0
//   76     RTC time word         hours 7-0, minutes 15-8, seconds 23-16
//   80     RTC updated           i32
//   84     GPS block             64 bytes, layout at WriteGpsBlock
//   148    EEPROM checksum       sum of the 35 words at bytes 8-147
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "WalkTrack.h"

constexpr uint32_t kMaxPacket = 192;        // the frame codec takes no more
constexpr uint32_t kShortPacketSize = 52;   // protocol ids 0, 1 and 4-7
constexpr uint32_t kLongPacketSize = 152;   // protocol ids 2 and 3
constexpr uint32_t kGpsBlockOffset = 84;
constexpr uint32_t kGpsBlockSize = 64;
constexpr uint32_t kChecksumOffset = 148;
// Longest frame, flags and escapes included, that the handheld's assembler decodes.
constexpr uint32_t kMaxFrameOnWire = 191;
// Two flags, every byte escaped, two FCS bytes escaped.
constexpr uint32_t kMaxFrame = 2 + 2 * (kMaxPacket + 2);

// One packet to send, as written in a script line or chosen by the sim.
struct PACKET_SPEC {
    int nCommand = 1;
    int nProtocol = 2;    // 0-7
    int nGpsMode = 1;
    int nLogMode = 1;
    float fFrequency = 8440.0f;
    uint32_t u32EepromFileIndex = 0;
    uint32_t u32LogId = 0;
    float fDepth = 1.25f;   // metres
    float fSignal = 62.0f;  // dBuV
    float fCurrent = 0.5f;  // amperes
    float fPhase = 12.0f;   // degrees
    float fStrength = 0.8f; // 0-1
    float fGain = 40.0f;    // dB
    int nCompass = 0, nArrows = 0, nAntennaMode = 0, nAccessoryType = 0;
    int nSondeLine = 0, nBattery = 5, nVolume = 2, nOverload = 0;
    bool bRawAdditional = false; // u32Additional below replaces the packed fields
    uint32_t u32Additional = 0;
    int nMarkerType = 0;
    float fMarkerDepth = 0.0f, fMarkerSignal = 0.0f, fMarkerGain = 0.0f;
    int nRtcUpdated = 1;
    bool bBadChecksum = false;     // EEPROM checksum off by one
    bool bBadFcs = false;          // frame check sequence corrupted
    std::vector<uint8_t> raw;      // when not empty: sent as it is, fields ignored
    double dfDelay = -1.0;         // seconds to wait before this packet; < 0: the interval
};

// Sets the measured values to something a locator could report, varying with
// the random source: depth, current, signal, phase, strength, gain, compass,
// arrows, battery, log id and the rest stay as they are.
void RandomizeMeasurement(PACKET_SPEC& spec, std::mt19937& random);

// The packet kinds --mix cycles through, in order.
std::vector<PACKET_SPEC> MixKinds();

// Short name of what a spec sends: "c1p2g1", "c2p0", "hex", with "/badfcs".
std::string KindName(const PACKET_SPEC& spec);

// The additional-data word of spec.
uint32_t AdditionalWord(const PACKET_SPEC& spec);
// Sum modulo 2^32 of the 35 little-endian words at bytes 8-147.
uint32_t EepromChecksum(const uint8_t* packet);

// The 64-byte GPS block: date word, UTC (float hhmmss.ss), HDOP, altitude, geoid
// separation (floats), DGPS age, DGPS id, geoid units, quality, satellites,
// altitude units (i32), latitude and longitude (double, south/west negative),
// time indicator (i32, 1 = time from the GPS). Without a fix only the date, the
// time and the indicator are set.
void WriteGpsBlock(uint8_t* block, const GPS_SAMPLE& fix);

// Builds the payload of spec into packet (kMaxPacket bytes); the locator's own
// GPS block is filled from fix for GPS mode 0 and for command 2. utc gives the
// locator's clock. Returns the length.
uint32_t BuildPacket(const PACKET_SPEC& spec, const GPS_SAMPLE& fix, uint8_t* packet);

// Frames payload (flag, escaped contents, escaped FCS, flag) into frame, which
// holds kMaxFrame bytes. With badFcs the FCS goes out with one bit flipped.
// Returns the frame length, 0 when the payload is empty or too long.
uint32_t FramePacket(const uint8_t* payload, uint32_t length, bool badFcs, uint8_t* frame);

void PutU32(uint8_t* p, uint32_t v);
void PutF32(uint8_t* p, float v);
void PutF64(uint8_t* p, double v);
uint32_t GetU32(const uint8_t* p);
float GetF32(const uint8_t* p);
double GetF64(const uint8_t* p);
