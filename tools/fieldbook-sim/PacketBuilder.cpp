#include "PacketBuilder.h"

#include <cstring>
#include <ctime>

#include "link/FrameCodec.h"

void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void PutF32(uint8_t* p, float v)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &v, 4);
    PutU32(p, bits);
}

void PutF64(uint8_t* p, double v)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    PutU32(p, static_cast<uint32_t>(bits));
    PutU32(p + 4, static_cast<uint32_t>(bits >> 32));
}

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

float GetF32(const uint8_t* p)
{
    const uint32_t bits = GetU32(p);
    float v = 0.0f;
    std::memcpy(&v, &bits, 4);
    return v;
}

double GetF64(const uint8_t* p)
{
    const uint64_t bits = GetU32(p) | static_cast<uint64_t>(GetU32(p + 4)) << 32;
    double v = 0.0;
    std::memcpy(&v, &bits, 8);
    return v;
}

void RandomizeMeasurement(PACKET_SPEC& spec, std::mt19937& random)
{
    auto uniform = [&random](double lo, double hi) {
        return static_cast<float>(std::uniform_real_distribution<double>(lo, hi)(random));
    };
    auto pick = [&random](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    spec.fDepth = uniform(0.3, 3.0);
    spec.fCurrent = uniform(0.02, 2.5);
    spec.fSignal = uniform(35.0, 95.0);
    spec.fPhase = uniform(-180.0, 180.0);
    spec.fStrength = uniform(0.05, 1.0);
    spec.fGain = uniform(10.0, 80.0);
    spec.nCompass = pick(0, 359);
    spec.nArrows = pick(0, 15);
    spec.nAntennaMode = pick(0, 3);
    spec.nAccessoryType = pick(0, 2);
    spec.nSondeLine = pick(0, 1);
    spec.nBattery = pick(2, 7);
    spec.nVolume = pick(0, 3);
    spec.nOverload = pick(0, 19) == 0 ? 1 : 0;
    spec.nMarkerType = pick(0, 3);
    spec.fMarkerDepth = spec.nMarkerType ? uniform(0.2, 1.5) : 0.0f;
    spec.fMarkerSignal = spec.nMarkerType ? uniform(20.0, 60.0) : 0.0f;
    spec.fMarkerGain = spec.nMarkerType ? uniform(10.0, 50.0) : 0.0f;
}

std::vector<PACKET_SPEC> MixKinds()
{
    struct KIND {
        int command, protocol, gpsMode;
    };
    // Every reply the handheld can give: short and long ACKs, the long ACK with
    // an empty block (command 2), the NAK for an unknown GPS mode, and the three
    // kinds that earn no reply at all.
    static const KIND kKinds[] = {
        {1, 0, -1}, {1, 1, -1}, {1, 2, 0}, {1, 2, 1}, {1, 2, 2}, {1, 3, 1}, {2, 2, 1},
        {2, 3, 0},  {2, 1, -1}, {1, 3, 5}, {3, 1, -1}, {1, 5, -1}, {2, 6, -1},
    };
    std::vector<PACKET_SPEC> kinds;
    for (const KIND& k : kKinds) {
        PACKET_SPEC spec;
        spec.nCommand = k.command;
        spec.nProtocol = k.protocol;
        spec.nGpsMode = k.gpsMode;
        kinds.push_back(spec);
    }
    return kinds;
}

std::string KindName(const PACKET_SPEC& spec)
{
    std::string name;
    if (!spec.raw.empty()) {
        name = "hex";
    } else {
        name = "c" + std::to_string(spec.nCommand) + "p" + std::to_string(spec.nProtocol);
        if (spec.nProtocol == 2 || spec.nProtocol == 3)
            name += "g" + std::to_string(spec.nGpsMode);
        if (spec.bBadChecksum)
            name += "/badsum";
    }
    if (spec.bBadFcs)
        name += "/badfcs";
    return name;
}

uint32_t AdditionalWord(const PACKET_SPEC& spec)
{
    if (spec.bRawAdditional)
        return spec.u32Additional;
    auto field = [](int value, uint32_t mask, int shift) { return (static_cast<uint32_t>(value) & mask) << shift; };
    return field(spec.nProtocol, 0x7, 29) | field(spec.nCompass, 0x1FF, 20) | field(spec.nArrows, 0xF, 16) |
           field(spec.nAntennaMode, 0xF, 12) | field(spec.nAccessoryType, 0xF, 8) | field(spec.nSondeLine, 0x1, 7) |
           field(spec.nBattery, 0x7, 4) | field(spec.nVolume, 0x3, 2) | field(spec.nOverload, 0x1, 1);
}

uint32_t EepromChecksum(const uint8_t* packet)
{
    uint32_t sum = 0;
    for (uint32_t offset = 8; offset < kChecksumOffset; offset += 4)
        sum += GetU32(packet + offset);
    return sum;
}

void WriteGpsBlock(uint8_t* block, const GPS_SAMPLE& fix)
{
    std::memset(block, 0, kGpsBlockSize);
    const uint32_t date = (static_cast<uint32_t>(fix.nDay) & 0xFF) << 24 |
                          (static_cast<uint32_t>(fix.nMonth) & 0xFF) << 16 | (static_cast<uint32_t>(fix.nYear) & 0xFFFF);
    PutU32(block + 0, date);
    PutF32(block + 4, static_cast<float>(fix.dfUTC));
    PutU32(block + 60, fix.nYear != 0 ? 1u : 0u);
    if (!fix.bFix)
        return;
    PutF32(block + 8, static_cast<float>(fix.dfHdop));
    PutF32(block + 12, static_cast<float>(fix.dfAltitude));
    PutF32(block + 16, static_cast<float>(fix.dfGeoid));
    PutU32(block + 28, 1); // geoid separation in metres
    PutU32(block + 32, static_cast<uint32_t>(fix.nQuality));
    PutU32(block + 36, static_cast<uint32_t>(fix.nSatellites));
    PutU32(block + 40, 1); // altitude in metres
    PutF64(block + 44, fix.dfLat);
    PutF64(block + 52, fix.dfLon);
}

uint32_t BuildPacket(const PACKET_SPEC& spec, const GPS_SAMPLE& fix, uint8_t* packet)
{
    std::memset(packet, 0, kMaxPacket);
    if (!spec.raw.empty()) {
        const uint32_t length = spec.raw.size() > kMaxPacket ? kMaxPacket : static_cast<uint32_t>(spec.raw.size());
        std::memcpy(packet, spec.raw.data(), length);
        return length;
    }
    packet[0] = 0xFF;
    packet[1] = 0x03;
    packet[2] = 0x00;
    packet[3] = 0x21;
    packet[4] = static_cast<uint8_t>(spec.nCommand);
    PutU32(packet + 8, spec.u32EepromFileIndex);
    PutU32(packet + 12, static_cast<uint32_t>(spec.nLogMode));
    PutF32(packet + 16, spec.fFrequency);
    PutU32(packet + 20, spec.u32LogId);
    PutU32(packet + 24, AdditionalWord(spec));
    PutF32(packet + 28, spec.fDepth);
    PutF32(packet + 32, spec.fSignal);
    PutF32(packet + 36, spec.fCurrent);
    PutF32(packet + 40, spec.fPhase);
    PutF32(packet + 44, spec.fStrength);
    PutF32(packet + 48, spec.fGain);
    if (spec.nProtocol != 2 && spec.nProtocol != 3)
        return kShortPacketSize;

    PutU32(packet + 52, static_cast<uint32_t>(spec.nGpsMode));
    PutU32(packet + 56, static_cast<uint32_t>(spec.nMarkerType));
    PutF32(packet + 60, spec.fMarkerDepth);
    PutF32(packet + 64, spec.fMarkerSignal);
    PutF32(packet + 68, spec.fMarkerGain);
    // The locator's clock runs on UTC from its own receiver.
    const int utc = static_cast<int>(fix.dfUTC);
    PutU32(packet + 72, (static_cast<uint32_t>(fix.nDay) & 0xFF) << 24 | (static_cast<uint32_t>(fix.nMonth) & 0xFF) << 16 |
                            (static_cast<uint32_t>(fix.nYear) & 0xFFFF));
    PutU32(packet + 76, static_cast<uint32_t>(utc / 10000) | static_cast<uint32_t>(utc / 100 % 100) << 8 |
                            static_cast<uint32_t>(utc % 100) << 16);
    PutU32(packet + 80, static_cast<uint32_t>(spec.nRtcUpdated));
    if (spec.nGpsMode == 0 || spec.nCommand == 2)
        WriteGpsBlock(packet + kGpsBlockOffset, fix);
    PutU32(packet + kChecksumOffset, EepromChecksum(packet) + (spec.bBadChecksum ? 1u : 0u));
    return kLongPacketSize;
}

uint32_t FramePacket(const uint8_t* payload, uint32_t length, bool badFcs, uint8_t* frame)
{
    CFrameCodec codec;
    if (codec.EncodeFrame(payload, length) != FRAME_ENCODED)
        return 0;
    uint32_t n = codec.TxLength();
    std::memcpy(frame, codec.TxBuffer(), n);
    if (!badFcs)
        return n;

    // The high FCS byte sits just before the closing flag, escaped or not (an
    // escape byte never stands for itself, so 0x7D there is always an escape).
    // Flip its lowest bit and escape the new value if it needs it.
    const bool wasEscaped = frame[n - 3] == FRAME_ESCAPE;
    const uint32_t at = wasEscaped ? n - 3 : n - 2;
    const uint8_t value = static_cast<uint8_t>((wasEscaped ? frame[n - 2] ^ 0x20 : frame[n - 2]) ^ 0x01);
    n = at;
    if (value == FRAME_FLAG || value == FRAME_ESCAPE) {
        frame[n++] = FRAME_ESCAPE;
        frame[n++] = value ^ 0x20;
    } else {
        frame[n++] = value;
    }
    frame[n++] = FRAME_FLAG;
    return n;
}
