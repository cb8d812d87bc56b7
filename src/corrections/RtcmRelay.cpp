#include "corrections/RtcmRelay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
constexpr int kWriteSliceMs = 50;
}

CRtcmRelay::CRtcmRelay(IRtcmPort& port) : m_port(port) {}

CRtcmRelay::~CRtcmRelay() { Stop(); }

void CRtcmRelay::Start()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_thread.joinable())
        return;
    m_bStop = false;
    m_head = m_used = 0;
    m_thread = std::thread(&CRtcmRelay::Run, this);
}

void CRtcmRelay::Stop()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CRtcmRelay::DropOldestLocked()
{
    const size_t size = (static_cast<size_t>(m_ring[m_head]) << 8) | m_ring[(m_head + 1) % kQueueBytes];
    m_head = (m_head + 2 + size) % kQueueBytes;
    m_used -= 2 + size;
    ++m_dropped;
}

void CRtcmRelay::Push(const uint8_t* frame, size_t size)
{
    if (size == 0 || size + 2 > kQueueBytes) {
        m_dropped += size != 0;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        while (kQueueBytes - m_used < size + 2)
            DropOldestLocked();
        size_t tail = (m_head + m_used) % kQueueBytes;
        const uint8_t length[2] = {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
        for (uint8_t b : length) {
            m_ring[tail] = b;
            tail = (tail + 1) % kQueueBytes;
        }
        const size_t first = std::min(size, kQueueBytes - tail);
        std::memcpy(m_ring + tail, frame, first);
        std::memcpy(m_ring, frame + first, size - first);
        m_used += 2 + size;
    }
    m_cv.notify_one();
}

size_t CRtcmRelay::PopLocked(uint8_t* frame)
{
    const size_t size = (static_cast<size_t>(m_ring[m_head]) << 8) | m_ring[(m_head + 1) % kQueueBytes];
    const size_t at = (m_head + 2) % kQueueBytes;
    const size_t first = std::min(size, kQueueBytes - at);
    std::memcpy(frame, m_ring + at, first);
    std::memcpy(frame + first, m_ring, size - first);
    m_head = (at + size) % kQueueBytes;
    m_used -= 2 + size;
    return size;
}

void CRtcmRelay::Run()
{
    uint8_t frame[kQueueBytes];
    for (;;) {
        size_t size = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait_for(lock, std::chrono::seconds(1), [this] { return m_bStop || m_used > 0; });
            if (m_bStop)
                return;
            if (m_used == 0)
                continue;
            size = PopLocked(frame);
        }
        // Written in slices so that a stop, or the reader closing the port,
        // waits at most one slice for this thread.
        size_t done = 0;
        bool lost = false;
        while (done < size && !lost) {
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                if (m_bStop)
                    return;
            }
            size_t put = 0;
            const int error = m_port.WriteSome(frame + done, size - done, kWriteSliceMs, &put);
            done += put;
            lost = error != 0;
        }
        if (lost) {
            ++m_dropped;
            continue;
        }
        ++m_written;
        m_bytesWritten += size;
        if (m_onWritten != nullptr)
            m_onWritten(m_onWrittenContext);
    }
}

void CGgaTap::Feed(const uint8_t* data, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '$') {
            m_bInLine = true;
            m_length = 0;
        }
        if (!m_bInLine)
            continue;
        if (c == '\r' || c == '\n') {
            Complete();
            m_bInLine = false;
            continue;
        }
        if (m_length == kMaxSentence - 2) {
            m_bInLine = false;
            continue;
        }
        m_line[m_length++] = c;
    }
}

void CGgaTap::Complete()
{
    // $xxGGA,time,lat,N,lon,E,quality,...*hh with a good checksum and quality not 0.
    const std::string_view line(m_line, m_length);
    if (line.size() < 10 || line.substr(3, 4) != "GGA,")
        return;
    const size_t star = line.rfind('*');
    if (star == std::string_view::npos || star + 3 != line.size())
        return;
    uint8_t sum = 0;
    for (size_t i = 1; i < star; ++i)
        sum ^= static_cast<uint8_t>(line[i]);
    char hex[3];
    static const char kHex[] = "0123456789ABCDEF";
    hex[0] = kHex[sum >> 4];
    hex[1] = kHex[sum & 15];
    hex[2] = '\0';
    auto upper = [](char c) { return (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c; };
    if (upper(line[star + 1]) != hex[0] || upper(line[star + 2]) != hex[1])
        return;
    size_t field = 0;
    size_t at = 0;
    for (; at < star && field < 6; ++at)
        field += line[at] == ',';
    if (field < 6)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (at >= star || line[at] == ',' || line[at] == '0') {
        m_latestLength = 0;
        return;
    }
    m_latestAt = std::chrono::steady_clock::now();
    std::memcpy(m_latest, m_line, m_length);
    m_latest[m_length] = '\r';
    m_latest[m_length + 1] = '\n';
    m_latestLength = m_length + 2;
}

bool CGgaTap::Latest(char (&sentence)[kMaxSentence + 1], size_t& length, std::chrono::milliseconds maxAge) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_latestLength == 0)
        return false;
    if (maxAge.count() > 0 && std::chrono::steady_clock::now() - m_latestAt > maxAge)
        return false;
    std::memcpy(sentence, m_latest, m_latestLength);
    length = m_latestLength;
    return true;
}

void CGgaTap::Clear()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_latestLength = 0;
}

size_t PositionGga(double latDeg, double lonDeg, double height, long long utcSeconds,
                   char (&sentence)[CGgaTap::kMaxSentence + 1])
{
    const long long day = ((utcSeconds % 86400) + 86400) % 86400;
    // Minutes to 4 decimals: 35.99999999 is 3600.0000, never 3560.0000.
    const double lat = std::round(std::fabs(latDeg) * 600000.0) / 600000.0;
    const double lon = std::round(std::fabs(lonDeg) * 600000.0) / 600000.0;
    const int latDegrees = static_cast<int>(lat + 1e-12);
    const int lonDegrees = static_cast<int>(lon + 1e-12);
    char body[CGgaTap::kMaxSentence];
    const int n = std::snprintf(body, sizeof body, "GPGGA,%02lld%02lld%02lld.00,%02d%07.4f,%c,%03d%07.4f,%c,1,08,1.0,%.1f,M,0.0,M,,",
                                day / 3600, day / 60 % 60, day % 60, latDegrees, std::max(0.0, (lat - latDegrees) * 60.0),
                                latDeg < 0 ? 'S' : 'N', lonDegrees, std::max(0.0, (lon - lonDegrees) * 60.0), lonDeg < 0 ? 'W' : 'E',
                                height);
    if (n <= 0 || static_cast<size_t>(n) + 6 > CGgaTap::kMaxSentence)
        return 0;
    uint8_t sum = 0;
    for (int i = 0; i < n; ++i)
        sum ^= static_cast<uint8_t>(body[i]);
    const int length = std::snprintf(sentence, sizeof sentence, "$%s*%02X\r\n", body, sum);
    return length > 0 ? static_cast<size_t>(length) : 0;
}
