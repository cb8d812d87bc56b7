// Position latency of the two GPS sources: from the last byte of a GGA sentence
// written to the receiver's device to the fix being usable by the packet handler
// (CopyCurrentGga gives that sentence's time). The serial path reads the
// device's pseudo-terminal itself; the gpsd path has a private gpsd read it and
// takes the sentence from gpsd's NMEA pass-through. Both readers wake when
// bytes arrive and hand them to the decoder at once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/LocatorLink.h"
#include "platform/Folders.h"
#include "support/GpsdServer.h"
#include "support/NmeaStream.h"
#include "support/Pty.h"
#include "support/RecordingOwner.h"
#include "support/ScratchDir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Gga(int epoch)
{
    char body[96];
    std::snprintf(body, sizeof body, "GPGGA,%02d%02d%02d.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
                  (epoch / 3600) % 24, (epoch / 60) % 60, epoch % 60);
    return NmeaSentence(body);
}

double Utc(int epoch)
{
    return ((epoch / 3600) % 24) * 10000.0 + ((epoch / 60) % 60) * 100.0 + epoch % 60;
}

double Percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

void Run(benchmark::State& state, bool throughGpsd)
{
    ScratchDir docs;
    ScratchDir ports;
    SetDocumentsFolder(docs.Path());
    SetPortsFolder(ports.Path());
    Pty receiver(ports.Path(), 6);
    GpsdServer gpsd(docs.Path());
    RecordingOwner owner;
    owner.gpsPort = 6;
    owner.bluetoothPort = 5;
    if (throughGpsd) {
        if (!gpsd.Start(receiver.LinkPath())) {
            state.SkipWithError("gpsd did not start");
            return;
        }
        owner.gpsOptions.gpsdHost = "127.0.0.1";
        owner.gpsOptions.nGpsdPort = gpsd.Port();
    }
    CLocatorLink link(owner);
    link.SetPortCloseWait(5ms);
    link.Initialise();
    link.StartThreads();
    CGpsDecoder& decoder = *link.GetGpsDecoder();

    int epoch = 1;
    // Until the reader (and gpsd) pass sentences through.
    while (!owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN, 200ms) && epoch < 100)
        receiver.Write(Gga(epoch++));

    std::vector<double> samplesMs;
    GPS_FIX fix;
    for (auto _ : state) {
        const std::string sentence = Gga(++epoch);
        if (!receiver.Write(sentence)) {
            state.SkipWithError("sentence not written");
            break;
        }
        const auto written = Clock::now();
        const double want = Utc(epoch);
        bool seen = false;
        while (Clock::now() - written < 2s) {
            if (decoder.CopyCurrentGga(&fix) == 0 && fix.dfUTC == want) {
                seen = true;
                break;
            }
            std::this_thread::sleep_for(100us);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - written).count();
        if (!seen) {
            state.SkipWithError("fix never arrived");
            break;
        }
        state.SetIterationTime(seconds);
        samplesMs.push_back(seconds * 1000.0);
    }
    if (!samplesMs.empty()) {
        state.counters["median_ms"] = Percentile(samplesMs, 0.5);
        state.counters["max_ms"] = Percentile(samplesMs, 1.0);
    }
    link.Shutdown();
    gpsd.Stop();
    SetPortsFolder("");
    SetDocumentsFolder("");
}

void BM_FixLatencySerial(benchmark::State& state) { Run(state, false); }
void BM_FixLatencyGpsd(benchmark::State& state) { Run(state, true); }
BENCHMARK(BM_FixLatencySerial)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FixLatencyGpsd)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
