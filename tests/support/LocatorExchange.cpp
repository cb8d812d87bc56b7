#include "support/LocatorExchange.h"

#include <algorithm>

#include "support/LocatorPackets.h"

using namespace std::chrono_literals;

std::string Measurement(uint32_t index)
{
    AdditionalFields f;
    f.protocolId = 2;
    f.battery = 5;
    LocatorPacket p;
    p.U8(4, 1).U32(8, index).I32(12, 1).F32(16, 8440.0f).U32(24, AdditionalData(f)).I32(52, 1);
    return p.SealChecksum().Frame();
}

std::string ReadReply(Pty& locator, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string frame;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const std::string byte = locator.Read(1, std::max(left, 1ms));
        if (byte.empty())
            continue;
        if (frame.empty() && byte[0] != '\x7E')
            continue;
        frame += byte;
        if (frame.size() > 1 && byte[0] == '\x7E') {
            if (frame.size() > 2)
                return frame;
            frame = "\x7E"; // two flags in a row: the second opens the frame
        }
    }
    return "";
}

long SendAndReadFixQuality(Pty& locator, uint32_t index)
{
    if (!locator.Write(Measurement(index)))
        return -1;
    const std::string payload = Unframe(ReadReply(locator, 10s));
    if (payload.size() != 72 || payload[5] != '\x02')
        return -1;
    return static_cast<long>(ReplyU32(payload, kAckFixQuality));
}

