// Reply latency of the running link over a pseudo-terminal: from the last byte of
// a frame written by the locator side to the last byte of the reply read back,
// for a short frame (6-byte reply) and a full measurement frame (72-byte reply);
// packets per second when the locator sends them back to back; and a long run of
// full frames paced at the line rate, every one of which must be answered.
// For scale: a 152-byte measurement frame takes about 14 ms on the air at
// 115200 baud, its 72-byte long ACK about 7 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/LocatorLink.h"
#include "platform/Folders.h"
#include "support/LocatorPackets.h"
#include "support/NmeaStream.h"
#include "support/Pty.h"
#include "support/RecordingOwner.h"
#include "support/ScratchDir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Protocol 2, handheld GPS with its fix sent back: the longest reply.
std::string MeasurementFrame()
{
    AdditionalFields f;
    f.protocolId = 2;
    f.compass = 123;
    f.battery = 5;
    LocatorPacket p;
    p.U8(4, 1).U32(8, 42).I32(12, 1).F32(16, 8440.0f).U32(24, AdditionalData(f)).F32(28, 1.5f).F32(36, 0.25f);
    p.I32(52, 1);
    return p.SealChecksum().Frame();
}

// Address, control and protocol and a packet of one byte: answered with the
// 6-byte reply.
std::string ShortFrame() { return FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)); }

// The link running on two pseudo-terminals with a GPS fix, and a consumer that
// keeps the queue short as the survey log's timer would.
class Bench {
public:
    explicit Bench(std::string frame = MeasurementFrame()) : m_frame(std::move(frame))
    {
        SetDocumentsFolder(m_docs.Path());
        SetPortsFolder(m_ports.Path());
        m_owner.bluetoothPort = 5;
        m_owner.gpsPort = 6;
        m_link.SetPortCloseWait(5ms);
        m_link.Initialise();
        m_link.StartThreads();
        m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN);
        m_gps.Write(NmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                    NmeaSentence("GPZDA,201530.00,04,07,2002,00,00"));
        m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN);
        m_consumer = std::thread([this] {
            while (m_running.load()) {
                while (m_link.PeekLocateRecord() != nullptr)
                    m_link.PopLocateRecord();
                std::this_thread::sleep_for(25ms);
            }
        });
        // One exchange tells the reply's length on the wire.
        m_locator.Write(m_frame);
        std::string reply;
        while (reply.size() < 2 || reply.back() != '\x7E') {
            const std::string b = m_locator.Read(1, 2s);
            if (b.empty())
                break;
            reply += b;
        }
        m_replySize = reply.size();
    }
    ~Bench()
    {
        m_running = false;
        m_consumer.join();
        m_link.Shutdown();
        SetPortsFolder("");
        SetDocumentsFolder("");
    }

    ScratchDir m_docs;
    ScratchDir m_ports;
    Pty m_locator{m_ports.Path(), 5};
    Pty m_gps{m_ports.Path(), 6};
    RecordingOwner m_owner;
    CLocatorLink m_link{m_owner};
    std::atomic<bool> m_running{true};
    std::thread m_consumer;
    const std::string m_frame;
    size_t m_replySize = 0;
};

double Percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

void BM_ReplyLatency(benchmark::State& state)
{
    Bench bench(state.range(0) == 0 ? ShortFrame() : MeasurementFrame());
    std::vector<double> samplesMs;
    for (auto _ : state) {
        if (!bench.m_locator.Write(bench.m_frame)) {
            state.SkipWithError("frame not written");
            break;
        }
        const auto written = Clock::now();
        const std::string reply = bench.m_locator.Read(bench.m_replySize, 2s);
        const auto answered = Clock::now();
        if (reply.size() != bench.m_replySize || reply.back() != '\x7E') {
            state.SkipWithError("no whole reply");
            break;
        }
        const double seconds = std::chrono::duration<double>(answered - written).count();
        state.SetIterationTime(seconds);
        samplesMs.push_back(seconds * 1000.0);
    }
    if (!samplesMs.empty()) {
        state.counters["median_ms"] = Percentile(samplesMs, 0.5);
        state.counters["p99_ms"] = Percentile(samplesMs, 0.99);
        state.counters["max_ms"] = Percentile(samplesMs, 1.0);
    }
    state.counters["frame_bytes"] = static_cast<double>(bench.m_frame.size());
    state.counters["reply_bytes"] = static_cast<double>(bench.m_replySize);
}
BENCHMARK(BM_ReplyLatency)
    ->ArgName("full")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The locator sends packets back to back without waiting for replies.
void BM_BackToBack(benchmark::State& state)
{
    Bench bench;
    const size_t batch = static_cast<size_t>(state.range(0));
    std::string stream;
    for (size_t i = 0; i < batch; ++i)
        stream += bench.m_frame;
    size_t packets = 0;
    for (auto _ : state) {
        std::thread writer([&] { bench.m_locator.Write(stream, 10s); });
        const std::string replies = bench.m_locator.Read(batch * bench.m_replySize, 10s);
        writer.join();
        if (replies.size() != batch * bench.m_replySize) {
            state.SkipWithError("replies missing");
            break;
        }
        packets += batch;
    }
    state.counters["packets_per_s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BackToBack)->Arg(100)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// Full frames back to back at 115200 baud 8N1 (10 bits a byte) for range(0)
// seconds: each is written when it would have finished arriving on the air.
// Every frame must be answered; lost counts the ones that were not.
void BM_LineRate(benchmark::State& state)
{
    Bench bench;
    const auto frameTime = std::chrono::duration<double>(static_cast<double>(bench.m_frame.size()) * 10.0 / 115200.0);
    const auto runTime = std::chrono::seconds(state.range(0));
    size_t sent = 0;
    size_t answered = 0;
    for (auto _ : state) {
        std::atomic<size_t> written{0};
        std::atomic<bool> writing{true};
        std::thread writer([&] {
            const auto start = Clock::now();
            for (size_t k = 1; Clock::now() - start < runTime; ++k) {
                std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(frameTime * k));
                if (!bench.m_locator.Write(bench.m_frame, 2s))
                    break;
                written = k;
            }
            writing = false;
        });
        size_t bytes = 0;
        auto lastByte = Clock::now();
        while (writing.load() || (bytes < written.load() * bench.m_replySize && Clock::now() - lastByte < 5s)) {
            const size_t got = bench.m_locator.Read(4096, 100ms).size();
            if (got > 0)
                lastByte = Clock::now();
            bytes += got;
        }
        writer.join();
        sent += written.load();
        answered += bytes / bench.m_replySize;
    }
    state.counters["frames"] = static_cast<double>(sent);
    state.counters["answered"] = static_cast<double>(answered);
    state.counters["lost"] = static_cast<double>(sent - std::min(sent, answered));
    state.counters["bad_fcs"] = static_cast<double>(bench.m_link.BadFcsCount());
}
BENCHMARK(BM_LineRate)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
