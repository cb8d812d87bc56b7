// Locator byte path (frame assembly and decoding) and the two geodesic distances.
// The line brings at most 11.5 kB/s (115200 baud, 8N1): the byte path has to
// stay far above that and must not touch the heap.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "gps/GeoDistance.h"
#include "support/AllocationCounter.h"
#include "link/FrameCodec.h"


namespace {

void PutU32(uint8_t* at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutF32(uint8_t* at, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    PutU32(at, bits);
}
void PutF64(uint8_t* at, double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    PutU32(at, static_cast<uint32_t>(bits));
    PutU32(at + 4, static_cast<uint32_t>(bits >> 32));
}

// A protocol 2 measurement packet carrying its own GPS block: 152 bytes, the
// EEPROM checksum over bytes 8-147 last. The index varies the contents.
std::vector<uint8_t> MeasurementPacket(uint32_t index)
{
    std::vector<uint8_t> p(152, 0);
    p[0] = 0xFF;
    p[1] = 0x03;
    p[2] = 0x00;
    p[3] = 0x21;
    p[4] = 2;
    PutU32(&p[8], 1000 + index);              // EEPROM file index
    PutU32(&p[12], 3);                        // log mode
    PutF32(&p[16], 33000.0f);                 // frequency
    PutU32(&p[20], 0x7E7D0000u + index);      // log id: bytes that need escapes
    PutU32(&p[24], (2u << 29) | (123u << 20) | (5u << 4) | (2u << 2)); // protocol 2, compass, battery, volume
    PutF32(&p[28], 1.25f + 0.01f * static_cast<float>(index % 50)); // depth
    PutF32(&p[32], 87.5f);                    // signal
    PutF32(&p[36], 0.125f);                   // current
    PutF32(&p[40], 12.0f);                    // phase
    PutF32(&p[44], 0.5f);                     // strength
    PutF32(&p[48], 40.0f);                    // gain
    PutU32(&p[72], (14u << 24) | (6u << 16) | 2024u);
    PutU32(&p[76], (30u << 16) | (15u << 8) | 10u);
    uint8_t* gps = &p[84];
    PutU32(gps, (14u << 24) | (6u << 16) | 2024u);
    PutF32(gps + 4, 101530.0f);
    PutF32(gps + 8, 0.9f);
    PutF32(gps + 12, 42.0f);
    PutU32(gps + 32, 1);  // fix quality
    PutU32(gps + 36, 9);  // satellites
    PutF64(gps + 44, 52.0 + 1e-5 * index);
    PutF64(gps + 52, -1.0 - 1e-5 * index);
    PutU32(gps + 60, 1);
    uint32_t sum = 0;
    for (int at = 8; at < 148; at += 4)
        sum += static_cast<uint32_t>(p[at]) | (static_cast<uint32_t>(p[at + 1]) << 8) |
               (static_cast<uint32_t>(p[at + 2]) << 16) | (static_cast<uint32_t>(p[at + 3]) << 24);
    PutU32(&p[148], sum);
    return p;
}

// A stream of framed measurement packets as the locator sends them.
std::vector<uint8_t> MeasurementStream(int frames)
{
    CFrameCodec codec;
    std::vector<uint8_t> stream;
    for (int i = 0; i < frames; ++i) {
        const std::vector<uint8_t> packet = MeasurementPacket(static_cast<uint32_t>(i));
        if (codec.EncodeFrame(packet.data(), static_cast<uint32_t>(packet.size())) != FRAME_ENCODED)
            std::abort();
        stream.insert(stream.end(), codec.TxBuffer(), codec.TxBuffer() + codec.TxLength());
    }
    return stream;
}

class CountingSink : public IFrameSink {
public:
    void OnGoodFrame(const CFrameCodec& codec) override
    {
        ++good;
        benchmark::DoNotOptimize(codec.RxBuffer()[4]);
    }
    void OnBadFcs() override { ++bad; }
    void OnFrameError(int) override { ++bad; }
    uint64_t good = 0;
    uint64_t bad = 0;
};

// Argument: bytes per read (the reader takes up to 128; 1 is the worst case).
void BM_AssembleAndDecode(benchmark::State& state)
{
    const int kFrames = 64;
    const std::vector<uint8_t> stream = MeasurementStream(kFrames);
    const size_t chunk = static_cast<size_t>(state.range(0));
    // Everything the loop touches exists before it starts.
    std::vector<uint8_t> work(stream);
    auto codec = std::make_unique<CFrameCodec>();
    auto assembler = std::make_unique<CFrameAssembler>();
    CountingSink sink;

    const uint64_t allocationsBefore = AllocationCount();
    for (auto _ : state) {
        // The decoder writes unescaped bytes back over its input.
        std::memcpy(work.data(), stream.data(), stream.size());
        for (size_t at = 0; at < work.size(); at += chunk) {
            const size_t n = std::min(chunk, work.size() - at);
            assembler->AssembleFrames(*codec, sink, &work[at], static_cast<uint32_t>(n));
        }
    }
    const uint64_t allocations = AllocationCount() - allocationsBefore;

    if (sink.bad != 0 || sink.good != static_cast<uint64_t>(kFrames) * state.iterations())
        state.SkipWithError("frames were lost");
    state.SetBytesProcessed(static_cast<int64_t>(stream.size()) * state.iterations());
    state.counters["frames"] = benchmark::Counter(static_cast<double>(sink.good), benchmark::Counter::kIsRate);
    state.counters["frame_bytes"] = static_cast<double>(stream.size()) / kFrames;
    state.counters["heap_allocs"] = static_cast<double>(allocations);
}
BENCHMARK(BM_AssembleAndDecode)->Arg(128)->Arg(1);

// A survey leg of a few metres, as the log sums them, and a long line that
// needs more passes.
void BM_Vincenty(benchmark::State& state)
{
    const double lat2 = state.range(0) == 0 ? 52.0001 : 40.7;
    const double lon2 = state.range(0) == 0 ? 1.0001 : -74.0;
    CGeoDistance geo;
    double lat1 = 52.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lat1);
        benchmark::DoNotOptimize(geo.VincentyDistance(lat1, lat2, 1.0, lon2, CGeoDistance::kSemiMajor,
                                                      CGeoDistance::kSemiMinor));
    }
    state.counters["calls"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Vincenty)->Arg(0)->Arg(1);

void BM_Haversine(benchmark::State& state)
{
    CGeoDistance geo;
    double lat1 = 52.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lat1);
        benchmark::DoNotOptimize(geo.HaversineDistance(lat1, 52.0001, 1.0, 1.0001, CGeoDistance::kEarthRadius));
    }
    state.counters["calls"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Haversine);

} // namespace

BENCHMARK_MAIN();
