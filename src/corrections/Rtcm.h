// RTCM 3 transport framing as a caster sends it, and the reference station
// position of messages 1005/1006. A frame is
//   0xD3 | 6 reserved bits (zero) | 10-bit length n | n bytes of message | CRC-24Q
// (3 + n + 3 bytes, n at most 1023); the CRC covers the header and the message.
// The first 12 bits of the message are its type. Everything here is a pure
// function or a byte-at-a-time state machine with a fixed buffer: whatever a
// caster sends, the framer hunts for the next preamble and trusts only a frame
// whose CRC holds.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t kRtcmPreamble = 0xD3;
inline constexpr size_t kRtcmMaxMessage = 1023;
inline constexpr size_t kRtcmMaxFrame = 3 + kRtcmMaxMessage + 3;

// CRC-24Q (polynomial 0x1864CFB, initial value 0) of size bytes.
uint32_t Crc24q(const uint8_t* data, size_t size);

// Message type of a frame (its bytes 3 and 4, high 12 bits); 0 for a frame
// too short to carry one.
uint16_t RtcmMessageType(const uint8_t* frame, size_t size);

class IRtcmFrameSink {
public:
    virtual ~IRtcmFrameSink() = default;
    // One whole frame, preamble to CRC, good CRC. The bytes stay valid for the call only.
    virtual void OnRtcmFrame(const uint8_t* frame, size_t size) = 0;
    // A frame whose length fitted but whose CRC failed: its first byte is skipped
    // and the hunt goes on inside it.
    virtual void OnRtcmBadCrc() {}
};

class CRtcmFramer {
public:
    // Takes every byte given; good frames go to the sink as they complete.
    void Feed(const uint8_t* data, size_t size, IRtcmFrameSink& sink);
    // Forgets a half-read frame (the connection it came on is gone).
    void Reset() { m_length = m_replayAt = m_replayEnd = 0; }
    // Bytes skipped while hunting (text before the stream, damaged frames).
    uint64_t SkippedBytes() const { return m_skipped; }

private:
    // One byte into the frame buffer; a frame is handed on when its last byte is in.
    void Step(uint8_t byte, IRtcmFrameSink& sink);
    // A preamble that led to no frame: the bytes after it are hunted through
    // again (queued in front of those still waiting to be replayed).
    void Rehunt();

    uint8_t m_frame[kRtcmMaxFrame];
    size_t m_length = 0;
    // Bytes taken back from a failed frame, replayed before the next new byte.
    // Never more than one frame's worth: they all came out of one frame buffer.
    uint8_t m_replay[kRtcmMaxFrame];
    size_t m_replayAt = 0;
    size_t m_replayEnd = 0;
    uint64_t m_skipped = 0;
};

// Reference station of 1005 (19-byte message) or 1006 (21 bytes, with the
// antenna height): the antenna reference point in ECEF metres (ITRF), station id.
struct RTCM_STATION {
    uint16_t nStationId = 0;
    double dfX = 0.0; // metres, resolution 0.0001 m
    double dfY = 0.0;
    double dfZ = 0.0;
    double dfAntennaHeight = 0.0; // metres, 1006 only
};

// False when the message is no 1005/1006 or is too short for it.
bool DecodeStationPosition(const uint8_t* message, size_t size, RTCM_STATION& station);

// WGS-84 geodetic position (degrees, ellipsoidal height in metres) to ECEF metres.
void GeodeticToEcef(double latDeg, double lonDeg, double height, double& x, double& y, double& z);
// ECEF metres to WGS-84 latitude and longitude in degrees (height dropped).
void EcefToGeodetic(double x, double y, double z, double& latDeg, double& lonDeg);
