#include "link/FrameCodec.h"

#include <array>
#include <cstring>

namespace {

// The 256-entry table of RFC 1662 (first entries 0x0000, 0x1189, 0x2312, 0x329B).
constexpr std::array<uint16_t, 256> MakeFcsTable()
{
    std::array<uint16_t, 256> table{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t v = b;
        for (int i = 0; i < 8; ++i)
            v = (v & 1u) ? (v >> 1) ^ 0x8408u : v >> 1;
        table[b] = static_cast<uint16_t>(v);
    }
    return table;
}
constexpr std::array<uint16_t, 256> kFcsTable = MakeFcsTable();
static_assert(kFcsTable[1] == 0x1189 && kFcsTable[2] == 0x2312 && kFcsTable[3] == 0x329B);

inline uint16_t FcsStep(uint16_t fcs, uint8_t byte)
{
    return static_cast<uint16_t>((fcs >> 8) ^ kFcsTable[(fcs ^ byte) & 0xFF]);
}

} // namespace

uint16_t Fcs16(uint16_t fcs, const uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        fcs = FcsStep(fcs, data[i]);
    return fcs;
}

CFrameCodec::CFrameCodec()
{
    std::memset(m_rx, 0, sizeof m_rx);
    std::memset(m_tx, 0, sizeof m_tx);
    std::memset(m_escapeMap, 0, sizeof m_escapeMap);
    SetEscaped(FRAME_ESCAPE, true);
    SetEscaped(FRAME_FLAG, true);
}

void CFrameCodec::SetEscaped(uint8_t value, bool escaped)
{
    const uint32_t bit = 1u << (value & 31);
    if (escaped)
        m_escapeMap[value >> 5] |= bit;
    else
        m_escapeMap[value >> 5] &= ~bit;
}

int CFrameCodec::EncodeFrame(const uint8_t* payload, uint32_t length)
{
    if (payload == nullptr || length == 0)
        return FRAME_NO_DATA;
    if (length > kMaxInput)
        return FRAME_TOO_LONG;

    std::memset(m_tx, 0, sizeof m_tx);
    uint32_t pos = 0;
    m_tx[pos++] = FRAME_FLAG;
    uint16_t fcs = FCS16_INIT;
    int result = FRAME_ENCODED;

    for (uint32_t i = 0; i < length; ++i) {
        if (pos + 2 > kTxSize) {
            result = FRAME_TX_OVERFLOW;
            break;
        }
        const uint8_t byte = payload[i];
        fcs = FcsStep(fcs, byte);
        if (IsEscaped(byte)) {
            m_tx[pos++] = FRAME_ESCAPE;
            m_tx[pos++] = byte ^ 0x20;
        } else {
            m_tx[pos++] = byte;
        }
    }
    if (pos + 5 > kTxSize) {
        m_txLength = pos;
        return FRAME_TX_OVERFLOW;
    }
    fcs = static_cast<uint16_t>(~fcs);
    const uint8_t fcsBytes[2] = {static_cast<uint8_t>(fcs & 0xFF), static_cast<uint8_t>(fcs >> 8)};
    for (uint8_t byte : fcsBytes) {
        if (IsEscaped(byte)) {
            m_tx[pos++] = FRAME_ESCAPE;
            m_tx[pos++] = byte ^ 0x20;
        } else {
            m_tx[pos++] = byte;
        }
    }
    m_tx[pos++] = FRAME_FLAG;
    m_txLength = pos;
    return result;
}

int CFrameCodec::DecodeFrame(uint8_t* bytes, uint32_t length, bool reset)
{
    if (bytes == nullptr || length == 0)
        return FRAME_NO_DATA;
    if (length > kMaxInput)
        return FRAME_TOO_LONG;
    if (reset) {
        std::memset(m_rx, 0, sizeof m_rx);
        m_rxLength = 0;
    }

    uint16_t fcs = FCS16_INIT;
    bool escapePending = false;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t byte = bytes[i];
        if (byte == FRAME_FLAG) {
            if (i == 0)
                continue; // opening flag
            if (m_rxLength == 0)
                return FRAME_EMPTY;
            if (fcs != FCS16_GOOD)
                return FRAME_BAD_FCS;
            if (m_rxLength < 4)
                return FRAME_TOO_SHORT;
            return FRAME_COMPLETE;
        }
        if (byte == FRAME_ESCAPE) {
            escapePending = true;
            continue;
        }
        if (escapePending) {
            byte ^= 0x20;
            bytes[i] = byte;
            escapePending = false;
        }
        if (m_rxLength >= kRxSize)
            return FRAME_RX_OVERFLOW;
        m_rx[m_rxLength++] = byte;
        fcs = FcsStep(fcs, byte);
    }
    return FRAME_MORE;
}

void CFrameAssembler::Reset()
{
    std::memset(m_stream, 0, sizeof m_stream);
    m_writeIndex = 0;
    m_frameStart = 0;
    m_openingSeen = false;
    m_closingSeen = false;
}

int CFrameAssembler::AssembleFrames(CFrameCodec& codec, IFrameSink& sink, const uint8_t* bytes, uint32_t count)
{
    if (bytes == nullptr)
        return 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        // Bytes before an opening flag can never be decoded; keeping them would
        // only use up the stream buffer, so that line noise ahead of a frame could
        // push a good measurement out of it.
        if (!m_openingSeen && byte != FRAME_FLAG)
            continue;
        m_stream[m_writeIndex] = byte;
        if (byte == FRAME_FLAG) {
            if (!m_openingSeen) {
                m_frameStart = m_writeIndex;
                m_openingSeen = true;
            } else {
                m_closingSeen = true;
            }
        }
        ++m_writeIndex;

        if (m_closingSeen) {
            // The byte after the closing flag (always 0 here) goes to the decoder
            // too and counts against its 192-byte limit: the longest frame taken,
            // flags and escapes included, is 191 bytes.
            const uint32_t length = static_cast<uint32_t>(m_writeIndex - m_frameStart + 1);
            const int result = codec.DecodeFrame(&m_stream[m_frameStart], length, true);
            if (result == FRAME_COMPLETE)
                sink.OnGoodFrame(codec);
            else if (result == FRAME_BAD_FCS)
                sink.OnBadFcs();
            else if (result != FRAME_MORE)
                sink.OnFrameError(result);
            Reset();
            if (result == FRAME_EMPTY) {
                // Two flags in a row: the second one opens the next frame. Were it
                // taken as a closing flag's successor instead, a single lost or extra
                // flag would pair every later frame's closing flag with the next
                // one's opening flag, and every measurement after it would be lost.
                m_stream[0] = FRAME_FLAG;
                m_writeIndex = 1;
                m_openingSeen = true;
            }
        } else if (m_writeIndex >= static_cast<int32_t>(kStreamSize)) {
            // 396 bytes and no frame end: nothing in them can still become a frame
            // the decoder accepts. Drop them and hunt for the next opening flag.
            Reset();
        }
    }
    return 0;
}
