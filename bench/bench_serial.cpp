// The Bluetooth port on a pseudo-terminal: what a reply to the locator costs,
// and how long a read of one packet takes from its first byte to the caller.
// The read is held open until 10 ms pass without a byte, so that gap, not the
// code, sets its latency; the figure shows it is not much more.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "link/SerialPort.h"
#include "platform/Folders.h"

namespace {

// A pty linked as COM1 in a scratch ports folder; the master plays the locator.
struct PtyLine {
    PtyLine()
    {
        char folder[] = "/tmp/fieldbook-bench-XXXXXX";
        dir = ::mkdtemp(folder);
        char name[128] = {};
        termios raw{};
        ::cfmakeraw(&raw);
        ok = ::openpty(&master, &slave, name, &raw, nullptr) == 0;
        link = dir + "/COM1";
        ok = ok && ::symlink(name, link.c_str()) == 0;
        SetPortsFolder(dir);
        port.SetCloseWait(std::chrono::milliseconds(0));
        port.OpenPort(1);
        ok = ok && port.IsPortOpen();
    }
    ~PtyLine()
    {
        port.ClosePort();
        ::unlink(link.c_str());
        ::rmdir(dir.c_str());
        ::close(slave);
        ::close(master);
        SetPortsFolder("");
    }
    // Takes exactly n bytes off the master.
    bool Drain(size_t n)
    {
        uint8_t buffer[256];
        while (n > 0) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return false;
            const ssize_t got = ::read(master, buffer, n < sizeof buffer ? n : sizeof buffer);
            if (got <= 0)
                return false;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    std::string dir, link;
    int master = -1, slave = -1;
    bool ok = false;
    CBluetoothPort port;
};

void BM_WriteAck72(benchmark::State& state)
{
    PtyLine line;
    if (!line.ok) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    uint8_t ack[72] = {0x7E};
    ack[71] = 0x7E;
    for (auto _ : state) {
        if (line.port.WritePort(ack, sizeof ack) != sizeof ack || !line.Drain(sizeof ack)) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(sizeof ack));
}
BENCHMARK(BM_WriteAck72);

void BM_ReadPacket80(benchmark::State& state)
{
    PtyLine line;
    if (!line.ok) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    uint8_t packet[80] = {0x7E};
    uint8_t buffer[128];
    for (auto _ : state) {
        if (::write(line.master, packet, sizeof packet) != static_cast<ssize_t>(sizeof packet)
            || line.port.ReadPort(buffer, sizeof buffer) != sizeof packet) {
            state.SkipWithError("read failed");
            break;
        }
    }
}
BENCHMARK(BM_ReadPacket80)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
