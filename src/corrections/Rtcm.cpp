#include "corrections/Rtcm.h"

#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t kCrc24qPoly = 0x1864CFB;

struct CRC_TABLE {
    uint32_t entry[256];
    constexpr CRC_TABLE() : entry{}
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i << 16;
            for (int bit = 0; bit < 8; ++bit) {
                crc <<= 1;
                if (crc & 0x1000000)
                    crc ^= kCrc24qPoly;
            }
            entry[i] = crc & 0xFFFFFF;
        }
    }
};
constexpr CRC_TABLE kCrcTable;

// Bits [pos, pos+len) of a big-endian bit string, len at most 64.
uint64_t Bits(const uint8_t* data, size_t pos, unsigned len)
{
    uint64_t value = 0;
    for (unsigned i = 0; i < len; ++i, ++pos)
        value = (value << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1u);
    return value;
}

int64_t SignedBits(const uint8_t* data, size_t pos, unsigned len)
{
    const uint64_t raw = Bits(data, pos, len);
    const uint64_t sign = uint64_t{1} << (len - 1);
    return static_cast<int64_t>(raw ^ sign) - static_cast<int64_t>(sign);
}

constexpr double kWgs84A = 6378137.0;
constexpr double kWgs84F = 1.0 / 298.257223563;
constexpr double kWgs84E2 = kWgs84F * (2.0 - kWgs84F);
constexpr double kPi = 3.14159265358979323846;

} // namespace

uint32_t Crc24q(const uint8_t* data, size_t size)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i)
        crc = ((crc << 8) & 0xFFFFFF) ^ kCrcTable.entry[((crc >> 16) ^ data[i]) & 0xFF];
    return crc;
}

uint16_t RtcmMessageType(const uint8_t* frame, size_t size)
{
    if (size < 3 + 2 + 3)
        return 0;
    return static_cast<uint16_t>((frame[3] << 4) | (frame[4] >> 4));
}

void CRtcmFramer::Feed(const uint8_t* data, size_t size, IRtcmFrameSink& sink)
{
    for (size_t i = 0; i < size; ++i) {
        Step(data[i], sink);
        while (m_replayAt < m_replayEnd)
            Step(m_replay[m_replayAt++], sink);
    }
}

void CRtcmFramer::Step(uint8_t byte, IRtcmFrameSink& sink)
{
    if (m_length == 0 && byte != kRtcmPreamble) {
        ++m_skipped;
        return;
    }
    m_frame[m_length++] = byte;
    // The six bits after the preamble are reserved and zero in RTCM 3: anything
    // else is a 0xD3 inside other bytes, not a frame.
    if (m_length == 2 && (byte & 0xFC) != 0) {
        Rehunt();
        return;
    }
    if (m_length < 3)
        return;
    const size_t message = (static_cast<size_t>(m_frame[1] & 0x03) << 8) | m_frame[2];
    if (m_length < 3 + message + 3)
        return;
    const uint32_t crc = (static_cast<uint32_t>(m_frame[3 + message]) << 16) |
                         (static_cast<uint32_t>(m_frame[4 + message]) << 8) | m_frame[5 + message];
    if (Crc24q(m_frame, 3 + message) == crc) {
        const size_t length = m_length;
        m_length = 0;
        sink.OnRtcmFrame(m_frame, length);
        return;
    }
    sink.OnRtcmBadCrc();
    Rehunt();
}

void CRtcmFramer::Rehunt()
{
    // Each pass drops the preamble, so the hunt through a buffer ends; the bytes
    // of the frame buffer came out of the replay queue (or are all new), so the
    // two together fit one frame.
    const size_t taken = m_length - 1;
    const size_t waiting = m_replayEnd - m_replayAt;
    std::memmove(m_replay + taken, m_replay + m_replayAt, waiting);
    std::memcpy(m_replay, m_frame + 1, taken);
    m_replayAt = 0;
    m_replayEnd = taken + waiting;
    m_length = 0;
    ++m_skipped;
}

bool DecodeStationPosition(const uint8_t* message, size_t size, RTCM_STATION& station)
{
    if (size < 19)
        return false;
    const uint64_t type = Bits(message, 0, 12);
    if (type != 1005 && !(type == 1006 && size >= 21))
        return false;
    // DF002 type 12, DF003 station 12, DF021 ITRF year 6, DF022-DF024 GNSS flags 3,
    // DF141 reference station 1, DF025 X 38, DF142 oscillator 1, reserved 1,
    // DF026 Y 38, DF364 quarter cycle 2, DF027 Z 38; 1006 then DF028 height 16.
    station.nStationId = static_cast<uint16_t>(Bits(message, 12, 12));
    station.dfX = static_cast<double>(SignedBits(message, 34, 38)) * 0.0001;
    station.dfY = static_cast<double>(SignedBits(message, 74, 38)) * 0.0001;
    station.dfZ = static_cast<double>(SignedBits(message, 114, 38)) * 0.0001;
    station.dfAntennaHeight = type == 1006 ? static_cast<double>(Bits(message, 152, 16)) * 0.0001 : 0.0;
    return true;
}

void GeodeticToEcef(double latDeg, double lonDeg, double height, double& x, double& y, double& z)
{
    const double lat = latDeg * kPi / 180.0;
    const double lon = lonDeg * kPi / 180.0;
    const double n = kWgs84A / std::sqrt(1.0 - kWgs84E2 * std::sin(lat) * std::sin(lat));
    x = (n + height) * std::cos(lat) * std::cos(lon);
    y = (n + height) * std::cos(lat) * std::sin(lon);
    z = (n * (1.0 - kWgs84E2) + height) * std::sin(lat);
}

void EcefToGeodetic(double x, double y, double z, double& latDeg, double& lonDeg)
{
    // Fixed-point iteration on latitude: five passes bring a point on the
    // Earth's surface below a micrometre.
    const double p = std::sqrt(x * x + y * y);
    double lat = std::atan2(z, p * (1.0 - kWgs84E2));
    for (int i = 0; i < 5; ++i) {
        const double n = kWgs84A / std::sqrt(1.0 - kWgs84E2 * std::sin(lat) * std::sin(lat));
        const double h = p / std::cos(lat) - n;
        lat = std::atan2(z, p * (1.0 - kWgs84E2 * n / (n + h)));
    }
    latDeg = lat * 180.0 / kPi;
    lonDeg = std::atan2(y, x) * 180.0 / kPi;
}
