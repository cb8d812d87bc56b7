// NMEA decoder throughput on an hour of realistic receiver output (GGA, GSA,
// GSV, RMC, ZDA at 1 Hz with damage). The GPS reader polls every 10 ms, so at
// a given line rate it hands the decoder chunks of what 10 ms bring (at most
// 128 bytes). "cpu_share" is the part of one core the decoder would need to
// keep up with that line; "allocs_per_byte" must stay 0.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>

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

} // namespace

BENCHMARK_MAIN();
