// Locator framing: asynchronous HDLC-like frames as in RFC 1662. A flag 0x7E
// opens and closes each frame, 0x7D escapes the next byte (sent XOR 0x20), and the
// contents end with the FCS-16 of RFC 1662, ones' complement, low byte first.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
    FRAME_MORE = 0,         // input ended before a closing flag
    FRAME_ENCODED = 1,      // encoder: frame built
    FRAME_TX_OVERFLOW = 2,  // encoder: frame does not fit the transmit buffer
    FRAME_COMPLETE = 5,     // decoder: good frame in the receive buffer
    FRAME_RX_OVERFLOW = 6,  // decoder: more than 198 unescaped bytes
    FRAME_EMPTY = 7,        // decoder: closing flag right after the opening flag
    FRAME_TOO_SHORT = 8,    // decoder: FCS good but fewer than 4 bytes stored
    FRAME_BAD_FCS = 9,      // decoder: FCS check failed
    FRAME_NO_DATA = 16,     // no data given
    FRAME_TOO_LONG = 18,    // more than 192 input bytes given
};

constexpr uint8_t FRAME_FLAG = 0x7E;
constexpr uint8_t FRAME_ESCAPE = 0x7D;

// FCS-16 of RFC 1662: reflected CRC, generator x^16 + x^12 + x^5 + 1.
constexpr uint16_t FCS16_INIT = 0xFFFF;
constexpr uint16_t FCS16_GOOD = 0xF0B8; // over contents + received FCS of a good frame
uint16_t Fcs16(uint16_t fcs, const uint8_t* data, size_t length);

class CFrameCodec {
public:
    static constexpr uint32_t kRxSize = 198;
    static constexpr uint32_t kTxSize = 396;
    static constexpr uint32_t kMaxInput = 192;

    // Both buffers cleared; the escape map holds exactly 0x7D and 0x7E.
    CFrameCodec();

    // Frames payload into the transmit buffer: FRAME_ENCODED, FRAME_TX_OVERFLOW,
    // FRAME_NO_DATA or FRAME_TOO_LONG.
    int EncodeFrame(const uint8_t* payload, uint32_t length);

    // Unescapes and checks one frame, flag to flag, into the receive buffer (the
    // two FCS bytes included). Escaped bytes are written back over the input.
    int DecodeFrame(uint8_t* bytes, uint32_t length, bool reset);

    const uint8_t* RxBuffer() const { return m_rx; }
    uint32_t RxLength() const { return m_rxLength; }
    const uint8_t* TxBuffer() const { return m_tx; }
    uint32_t TxLength() const { return m_txLength; }

    bool IsEscaped(uint8_t value) const { return (m_escapeMap[value >> 5] >> (value & 31)) & 1u; }
    void SetEscaped(uint8_t value, bool escaped);

private:
    uint8_t m_rx[kRxSize];
    uint8_t m_tx[kTxSize];
    uint32_t m_rxLength = 0;
    uint32_t m_txLength = 0;
    uint32_t m_escapeMap[8]; // bit b of word b/32 stands for byte value b
};

// Whoever owns the assembler: runs the packet handler on a good frame, counts bad
// FCS frames and reports the other decoder results.
class IFrameSink {
public:
    virtual ~IFrameSink() = default;
    virtual void OnGoodFrame(const CFrameCodec& codec) = 0;
    virtual void OnBadFcs() = 0;
    virtual void OnFrameError(int code) = 0; // any non-zero result but 5 and 9
};

// Cuts frames out of the locator's byte stream. One per Bluetooth reader.
class CFrameAssembler {
public:
    static constexpr uint32_t kStreamSize = 396;

    CFrameAssembler() { Reset(); }

    // Feeds one chunk read from the port. Every complete frame is decoded with
    // codec and reported to sink before the next byte is looked at. Returns 0.
    int AssembleFrames(CFrameCodec& codec, IFrameSink& sink, const uint8_t* bytes, uint32_t count);

    void Reset();
    uint32_t Pending() const { return static_cast<uint32_t>(m_writeIndex); }

private:
    // One spare byte past the stream buffer stays 0: the decoder is always given
    // the byte after the closing flag, also when that flag is the buffer's last.
    uint8_t m_stream[kStreamSize + 1];
    int32_t m_writeIndex = 0;
    int32_t m_frameStart = 0;
    bool m_openingSeen = false;
    bool m_closingSeen = false;
};
