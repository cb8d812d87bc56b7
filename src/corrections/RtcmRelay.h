// The way from the caster's socket to the GPS receiver's serial port: whole
// RTCM frames queue here (a fixed ring) and a writer thread of its own writes
// them into the port, so neither the NTRIP client nor the GPS reader ever waits
// for a slow port. When the port falls behind, the oldest whole frames waiting
// are dropped and counted: a receiver can use a later frame, never a cut one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "corrections/Rtcm.h"

// Where the relay writes: the GPS port, shared with its reader.
class IRtcmPort {
public:
    virtual ~IRtcmPort() = default;
    // Writes some of the bytes within timeoutMs; *put says how many. 0, or an
    // errno value when the port is not open or failed (the frame is then lost).
    virtual int WriteSome(const uint8_t* data, size_t size, int timeoutMs, size_t* put) = 0;
};

class CRtcmRelay {
public:
    // Eight seconds of a 9600-baud port: corrections that waited longer are
    // worth less to the receiver than the ones behind them. It also takes the
    // burst a caster may send on connecting.
    static constexpr size_t kQueueBytes = 8192;

    explicit CRtcmRelay(IRtcmPort& port);
    ~CRtcmRelay();
    CRtcmRelay(const CRtcmRelay&) = delete;
    CRtcmRelay& operator=(const CRtcmRelay&) = delete;

    void Start();
    // Bounded: the writer gives up a write within one write slice (50 ms).
    void Stop();
    // Any thread; never waits for the port.
    void Push(const uint8_t* frame, size_t size);

    uint64_t FramesWritten() const { return m_written.load(); }
    uint64_t FramesDropped() const { return m_dropped.load(); }
    uint64_t BytesWritten() const { return m_bytesWritten.load(); }
    // Called on the writer thread when a frame's last byte is in the port
    // (the benchmark's clock); nullptr for none. Set before Start.
    void SetOnWritten(void (*onWritten)(void*), void* context)
    {
        m_onWritten = onWritten;
        m_onWrittenContext = context;
    }

private:
    void Run();
    // Under m_mutex: the oldest frame out of the ring into frame; its size.
    size_t PopLocked(uint8_t* frame);
    void DropOldestLocked();

    IRtcmPort& m_port;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    // Frames as a 2-byte length and the bytes, wrapping around.
    uint8_t m_ring[kQueueBytes];
    size_t m_head = 0; // oldest byte
    size_t m_used = 0;
    bool m_bStop = false;
    std::thread m_thread;
    std::atomic<uint64_t> m_written{0};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_bytesWritten{0};
    void (*m_onWritten)(void*) = nullptr;
    void* m_onWrittenContext = nullptr;
};

// Watches the GPS receiver's bytes for the latest GGA with a fix, kept as it
// was received (the caster of a virtual reference station wants the
// receiver's own sentence). Fed by the GPS reader, read by the NTRIP client.
// A GGA without a fix forgets it: a position the receiver no longer has is
// not sent upstream.
class CGgaTap {
public:
    static constexpr size_t kMaxSentence = 96; // NMEA says 82; some receivers send more
    void Feed(const uint8_t* data, size_t size);
    // The sentence with its CR LF; false when no GGA with a fix came, or the
    // last came more than maxAge ago (0: any age).
    bool Latest(char (&sentence)[kMaxSentence + 1], size_t& length,
                std::chrono::milliseconds maxAge = std::chrono::milliseconds(0)) const;
    void Clear();

private:
    void Complete();

    char m_line[kMaxSentence];
    size_t m_length = 0;
    bool m_bInLine = false;
    mutable std::mutex m_mutex;
    char m_latest[kMaxSentence + 1] = {};
    size_t m_latestLength = 0; // under m_mutex
    std::chrono::steady_clock::time_point m_latestAt; // under m_mutex
};

// A GGA for a set position (degrees, ellipsoidal height in metres) at UTC
// second utcSeconds: quality 1, 8 satellites, geoid separation 0, so the
// height field is the ellipsoidal one. With CR LF; its length.
size_t PositionGga(double latDeg, double lonDeg, double height, long long utcSeconds,
                   char (&sentence)[CGgaTap::kMaxSentence + 1]);
