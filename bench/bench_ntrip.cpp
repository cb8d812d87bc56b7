// The RTK corrections relay: time from an RTCM frame's arrival at the client's
// socket to its last byte written into the GPS port (a pseudo-terminal, as a
// USB receiver is), median and worst over 1000 frames; and the CPU the relay
// takes while a 10 kB/s stream flows. A loopback caster of its own sends
// testglo.rtcm3's frames.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "corrections/NtripClient.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Frames()
{
    std::ifstream in(std::string(FIELDBOOK_TEST_DATA) + "/rtcm/testglo.rtcm3", std::ios::binary);
    const std::string all(std::istreambuf_iterator<char>(in), {});
    std::vector<std::string> frames;
    for (size_t at = 58; at + 3 <= all.size();) {
        const size_t size = 6 + ((static_cast<uint8_t>(all[at + 1]) & 3) << 8) + static_cast<uint8_t>(all[at + 2]);
        frames.push_back(all.substr(at, size));
        at += size;
    }
    return frames;
}

// The GPS port: a pseudo-terminal's slave, its master drained by a thread.
class PtyPort : public IRtcmPort {
public:
    PtyPort()
    {
        ::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr);
        termios raw{};
        ::tcgetattr(m_slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
        m_drain = std::thread([this] {
            char sink[4096];
            while (!m_stop) {
                pollfd p{m_master, POLLIN, 0};
                if (::poll(&p, 1, 100) > 0 && ::read(m_master, sink, sizeof sink) <= 0)
                    break;
            }
        });
    }
    ~PtyPort() override
    {
        m_stop = true;
        m_drain.join();
        ::close(m_slave);
        ::close(m_master);
    }
    int WriteSome(const uint8_t* data, size_t size, int, size_t* put) override
    {
        const ssize_t n = ::write(m_slave, data, size);
        *put = n > 0 ? static_cast<size_t>(n) : 0;
        return n < 0 ? errno : 0;
    }

private:
    int m_master = -1, m_slave = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_drain;
};

struct Owner : INtripOwner {
    void OnNtripLine(const std::string&) override {}
    bool CurrentFix(double&, double&, double&) const override { return false; }
};

// A caster on loopback: the sourcetable (empty) to the first connection, then
// "ICY 200 OK" and whatever the benchmark sends.
class Caster {
public:
    Caster()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listen, 2);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &length);
        m_port = ntohs(a.sin_port);
    }
    ~Caster()
    {
        if (m_stream >= 0)
            ::close(m_stream);
        ::close(m_listen);
    }
    int Port() const { return m_port; }
    // Answers the sourcetable request, then accepts the stream's.
    bool Accept()
    {
        for (int n = 0; n < 2; ++n) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return false;
            std::string request;
            char buffer[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    return false;
                request.append(buffer, static_cast<size_t>(got));
            }
            const std::string reply = n == 0 ? "SOURCETABLE 200 OK\r\n\r\nENDSOURCETABLE\r\n" : "ICY 200 OK\r\n";
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            if (n == 0)
                ::close(fd);
            else
                m_stream = fd;
        }
        return true;
    }
    void Send(const std::string& bytes) { ::send(m_stream, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

private:
    int m_listen = -1;
    int m_stream = -1;
    int m_port = 0;
};

struct Written {
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t count = 0;
    Clock::time_point last;
    static void On(void* self)
    {
        auto* w = static_cast<Written*>(self);
        std::lock_guard<std::mutex> guard(w->mutex);
        ++w->count;
        w->last = Clock::now();
        w->cv.notify_all();
    }
};

struct Rig {
    PtyPort port;
    CRtcmRelay relay{port};
    Owner owner;
    CNtripClient client{owner, relay, nullptr};
    Caster caster;
    Written written;
    bool Start()
    {
        relay.SetOnWritten(&Written::On, &written);
        relay.Start();
        NTRIP_OPTIONS options;
        ParseNtripUrl("ntrip://127.0.0.1:" + std::to_string(caster.Port()) + "/BENCH", options.url);
        client.Start(options);
        return caster.Accept();
    }
    ~Rig()
    {
        client.Stop();
        relay.Stop();
    }
};

void BM_SocketToPortLatency(benchmark::State& state)
{
    const std::vector<std::string> frames = Frames();
    Rig rig;
    if (!rig.Start()) {
        state.SkipWithError("the client did not connect");
        return;
    }
    std::vector<double> micros;
    micros.reserve(1000);
    for (auto _ : state) {
        for (size_t i = 0; i < 1000; ++i) {
            uint64_t before = 0;
            {
                std::lock_guard<std::mutex> guard(rig.written.mutex);
                before = rig.written.count;
            }
            const auto sent = Clock::now();
            rig.caster.Send(frames[i % frames.size()]);
            std::unique_lock<std::mutex> lock(rig.written.mutex);
            if (!rig.written.cv.wait_for(lock, std::chrono::seconds(5), [&] { return rig.written.count > before; })) {
                state.SkipWithError("a frame did not reach the port");
                return;
            }
            micros.push_back(std::chrono::duration<double, std::micro>(rig.written.last - sent).count());
        }
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["worst_us"] = micros.back();
}
BENCHMARK(BM_SocketToPortLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole process's CPU (the caster's sending thread included) over wall time
// while frames go out at 10 kB/s for state.range(0) seconds.
void BM_RelayCpuAt10kBps(benchmark::State& state)
{
    const std::vector<std::string> frames = Frames();
    Rig rig;
    if (!rig.Start()) {
        state.SkipWithError("the client did not connect");
        return;
    }
    double cpuShare = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(state.range(0));
        uint64_t bytes = 0;
        size_t i = 0;
        while (Clock::now() < end) {
            // 10 000 bytes a second, sent as the frames come due.
            const auto due = start + std::chrono::microseconds(bytes * 100);
            std::this_thread::sleep_until(due);
            rig.caster.Send(frames[i % frames.size()]);
            bytes += frames[i % frames.size()].size();
            ++i;
        }
        ::getrusage(RUSAGE_SELF, &after);
        auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
        const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
                           seconds(before.ru_stime);
        cpuShare = cpu / std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["bytes_per_s"] = static_cast<double>(bytes) / static_cast<double>(state.range(0));
    }
    state.counters["cpu_percent"] = 100.0 * cpuShare;
    state.counters["frames_dropped"] = static_cast<double>(rig.relay.FramesDropped());
}
BENCHMARK(BM_RelayCpuAt10kBps)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
