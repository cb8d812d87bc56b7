// The locator's side of the wire, written from the frame and packet formats and
// independent of the link's own codec: little-endian packet building, framing
// with a bitwise FCS-16, and unframing of replies.
//
//   LocatorPacket p;                // 152 zero bytes, address/control/protocol set
//   p.U8(4, 1).U32(24, AdditionalData(2, ...)).I32(52, 1);
//   pty.Write(FrameBytes(p.Bytes()));
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

// FCS-16 of RFC 1662 computed bit by bit (reflected 0x8408), not by table.
inline uint16_t BitwiseFcs16(const std::string& bytes)
{
    uint16_t fcs = 0xFFFF;
    for (unsigned char c : bytes) {
        fcs ^= c;
        for (int i = 0; i < 8; ++i)
            fcs = (fcs & 1) ? static_cast<uint16_t>((fcs >> 1) ^ 0x8408) : static_cast<uint16_t>(fcs >> 1);
    }
    return fcs;
}

inline void AppendEscaped(std::string& out, unsigned char c)
{
    if (c == 0x7E || c == 0x7D) {
        out += '\x7D';
        out += static_cast<char>(c ^ 0x20);
    } else {
        out += static_cast<char>(c);
    }
}

// 7E, escaped payload, escaped complemented FCS (low byte first), 7E.
inline std::string FrameBytes(const std::string& payload)
{
    std::string out(1, '\x7E');
    for (unsigned char c : payload)
        AppendEscaped(out, c);
    const uint16_t fcs = static_cast<uint16_t>(~BitwiseFcs16(payload));
    AppendEscaped(out, static_cast<unsigned char>(fcs & 0xFF));
    AppendEscaped(out, static_cast<unsigned char>(fcs >> 8));
    out += '\x7E';
    return out;
}

// Payload of one whole frame (7E ... 7E) with a good FCS; "" otherwise.
inline std::string Unframe(const std::string& frame)
{
    if (frame.size() < 4 || frame.front() != '\x7E' || frame.back() != '\x7E')
        return "";
    std::string raw;
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
        if (frame[i] == '\x7D' && i + 2 < frame.size())
            raw += static_cast<char>(frame[++i] ^ 0x20);
        else
            raw += frame[i];
    }
    if (raw.size() < 2 || BitwiseFcs16(raw) != 0xF0B8)
        return "";
    return raw.substr(0, raw.size() - 2);
}

// The packed additional-data word.
struct AdditionalFields {
    uint32_t protocolId = 0, compass = 0, arrows = 0, antennaMode = 0, accessoryType = 0;
    uint32_t sondeLine = 0, battery = 0, volume = 0, overload = 0;
};
inline uint32_t AdditionalData(const AdditionalFields& f)
{
    return (f.protocolId << 29) | (f.compass << 20) | (f.arrows << 16) | (f.antennaMode << 12) |
           (f.accessoryType << 8) | (f.sondeLine << 7) | (f.battery << 4) | (f.volume << 2) | (f.overload << 1);
}

class LocatorPacket {
public:
    explicit LocatorPacket(size_t size = 152) : m_bytes(size, '\0')
    {
        U8(0, 0xFF).U8(1, 0x03).U8(2, 0x00).U8(3, 0x21);
    }
    LocatorPacket& U8(size_t at, uint8_t v)
    {
        m_bytes[at] = static_cast<char>(v);
        return *this;
    }
    LocatorPacket& U32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return *this;
    }
    LocatorPacket& I32(size_t at, int32_t v) { return U32(at, static_cast<uint32_t>(v)); }
    LocatorPacket& F32(size_t at, float v) { return U32(at, std::bit_cast<uint32_t>(v)); }
    LocatorPacket& F64(size_t at, double v)
    {
        const uint64_t bits = std::bit_cast<uint64_t>(v);
        U32(at, static_cast<uint32_t>(bits));
        return U32(at + 4, static_cast<uint32_t>(bits >> 32));
    }
    uint32_t GetU32(size_t at) const
    {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(m_bytes[at + i]);
        return v;
    }
    // Sum of the 35 words at bytes 8-147 into bytes 148-151.
    LocatorPacket& SealChecksum()
    {
        uint32_t sum = 0;
        for (size_t at = 8; at < 148; at += 4)
            sum += GetU32(at);
        return U32(148, sum);
    }
    const std::string& Bytes() const { return m_bytes; }
    std::string Frame() const { return FrameBytes(m_bytes); }

private:
    std::string m_bytes;
};

// Reads little-endian values out of a reply payload.
inline uint32_t ReplyU32(const std::string& s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
inline float ReplyF32(const std::string& s, size_t at) { return std::bit_cast<float>(ReplyU32(s, at)); }
inline double ReplyF64(const std::string& s, size_t at)
{
    return std::bit_cast<double>(static_cast<uint64_t>(ReplyU32(s, at)) |
                                 (static_cast<uint64_t>(ReplyU32(s, at + 4)) << 32));
}
