// NMEA decoder throughput on an hour of realistic receiver output (GGA, GSA,
// GSV, RMC, ZDA at 1 Hz with damage). The GPS reader polls every 10 ms, so at
// a given line rate it hands the decoder chunks of what 10 ms bring (at most
// 128 bytes). "cpu_share" is the part of one core the decoder would need to
// keep up with that line; "allocs_per_byte" must stay 0.
//
// BM_DecodeEpochs compares the two kinds of receiver a crew carries, an hour at
// 1 Hz without damage: GGA and ZDA alone (argument 0), and an RTK rover that
// adds GST and a GSA for each of two constellations (argument 1), read with
// GPS#TALKER#ANY. "epochs/s" is the rate of whole epochs, each with a copy of
// the fix and its quality record, as a point would take them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "gps/GpsDecoder.h"
#include "support/AllocationCounter.h"
#include "support/NmeaStream.h"


namespace {

// CPU time of this thread: a loaded machine must not make the decoder look slow.
double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

const NmeaStream& HourStream()
{
    static const NmeaStream stream = MakeNmeaStream();
    return stream;
}

// Argument: line rate in baud, 8N1 (10 bits a byte).
void BM_DecodeAtLineRate(benchmark::State& state)
{
    const NmeaStream& stream = HourStream();
    const auto baud = static_cast<uint32_t>(state.range(0));
    const uint32_t lineBytesPerSecond = baud / 10;
    const size_t chunk = std::clamp<size_t>(lineBytesPerSecond / 100, 1, 128);
    const auto* data = reinterpret_cast<const uint8_t*>(stream.bytes.data());
    const size_t size = stream.bytes.size();

    CGpsDecoder decoder;
    if (decoder.Init() != 0) {
        state.SkipWithError("Init failed");
        return;
    }
    uint64_t decoded = 0;
    const uint64_t allocationsBefore = AllocationCount();
    const double start = ThreadSeconds();
    for (auto _ : state) {
        for (size_t offset = 0; offset < size; offset += chunk) {
            const size_t length = std::min(chunk, size - offset);
            for (size_t used = 0; used < length; used += decoder.GetConsumed()) {
                const int result = decoder.Decode(data + offset + used, static_cast<uint32_t>(length - used));
                decoded += result == GPS_GGA_DECODED || result == GPS_ZDA_DECODED;
            }
        }
    }
    const double seconds = ThreadSeconds() - start;
    const uint64_t allocations = AllocationCount() - allocationsBefore;
    benchmark::DoNotOptimize(decoded);

    const double bytes = static_cast<double>(size) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["sentences/s"] =
        benchmark::Counter(static_cast<double>(stream.nSentences) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["chunk"] = static_cast<double>(chunk);
    state.counters["line_B/s"] = lineBytesPerSecond;
    state.counters["cpu_share"] = seconds > 0.0 ? lineBytesPerSecond / (bytes / seconds) : 0.0;
    state.counters["allocs_per_byte"] = static_cast<double>(allocations) / bytes;
}
BENCHMARK(BM_DecodeAtLineRate)->Arg(4800)->Arg(9600)->Arg(19200)->Arg(38400)->Arg(57600)->Arg(115200)
    ->Unit(benchmark::kMillisecond);

// The whole stream in one call sequence: the decoder's own ceiling.
void BM_DecodeWholeStream(benchmark::State& state)
{
    const NmeaStream& stream = HourStream();
    const auto* data = reinterpret_cast<const uint8_t*>(stream.bytes.data());
    const size_t size = stream.bytes.size();
    CGpsDecoder decoder;
    if (decoder.Init() != 0) {
        state.SkipWithError("Init failed");
        return;
    }
    const uint64_t allocationsBefore = AllocationCount();
    for (auto _ : state) {
        for (size_t offset = 0; offset < size; offset += decoder.GetConsumed())
            benchmark::DoNotOptimize(decoder.Decode(data + offset, static_cast<uint32_t>(size - offset)));
    }
    const uint64_t allocations = AllocationCount() - allocationsBefore;
    const double bytes = static_cast<double>(size) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["sentences/s"] =
        benchmark::Counter(static_cast<double>(stream.nSentences) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["allocs_per_byte"] = static_cast<double>(allocations) / bytes;
}
BENCHMARK(BM_DecodeWholeStream)->Unit(benchmark::kMillisecond);

std::string EpochStream(bool quality)
{
    std::string bytes;
    char body[128];
    for (int t = 0; t < 3600; ++t) {
        const int hh = 10 + t / 3600, mm = (t / 60) % 60, ss = t % 60;
        std::snprintf(body, sizeof body, "GPGGA,%02d%02d%02d.00,5130.%04d,N,00007.%04d,W,%d,14,0.7,35.%d,M,45.6,M,%s",
                      hh, mm, ss, t % 10000, (3 * t) % 10000, quality ? 4 : 1, t % 10, quality ? "1.0,0042" : ",");
        bytes += NmeaSentence(body);
        if (quality) {
            std::snprintf(body, sizeof body, "GPGST,%02d%02d%02d.00,0.02,0.015,0.011,35.0,0.012,0.0%02d,0.025", hh,
                          mm, ss, 10 + t % 20);
            bytes += NmeaSentence(body);
            bytes += NmeaSentence("GNGSA,A,3,02,05,07,13,15,18,20,24,,,,,1.4,0.7,1.2");
            bytes += NmeaSentence("GNGSA,A,3,65,71,72,80,,,,,,,,,1.4,0.7,1.2");
        }
        std::snprintf(body, sizeof body, "GPZDA,%02d%02d%02d.00,07,12,2026,00,00", hh, mm, ss);
        bytes += NmeaSentence(body);
    }
    return bytes;
}

void BM_DecodeEpochs(benchmark::State& state)
{
    const bool quality = state.range(0) != 0;
    const std::string stream = EpochStream(quality);
    const auto* data = reinterpret_cast<const uint8_t*>(stream.data());
    const size_t size = stream.size();
    CGpsDecoder decoder;
    if (decoder.Init() != 0) {
        state.SkipWithError("Init failed");
        return;
    }
    decoder.SetAnyTalker(true);
    GPS_FIX fix;
    GPS_QUALITY record;
    uint64_t epochs = 0;
    const uint64_t allocationsBefore = AllocationCount();
    for (auto _ : state) {
        for (size_t offset = 0; offset < size; offset += 128) {
            const size_t length = std::min<size_t>(128, size - offset);
            for (size_t used = 0; used < length; used += decoder.GetConsumed()) {
                if (decoder.Decode(data + offset + used, static_cast<uint32_t>(length - used)) == GPS_ZDA_DECODED) {
                    epochs += decoder.CopyCurrentGga(&fix, &record) == 0;
                }
            }
        }
    }
    const uint64_t allocations = AllocationCount() - allocationsBefore;
    benchmark::DoNotOptimize(record);
    const double bytes = static_cast<double>(size) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["epochs/s"] = benchmark::Counter(static_cast<double>(epochs), benchmark::Counter::kIsRate);
    state.counters["bytes/epoch"] = static_cast<double>(size) / 3600.0;
    state.counters["allocs_per_byte"] = static_cast<double>(allocations) / bytes;
}
BENCHMARK(BM_DecodeEpochs)->ArgName("gst_gsa")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
