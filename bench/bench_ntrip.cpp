// The RTK corrections relay: time from an RTCM frame's arrival at the client's
// socket to its last byte written into the GPS port (a pseudo-terminal, as a
// USB receiver is), median and worst over 1000 frames; and the CPU the relay
// takes while a 10 kB/s stream flows. A loopback caster of its own sends
// testglo.rtcm3's frames. Beside it, in one run, rtklib's str2str relaying the
// same frames from a TCP socket to a pseudo-terminal, both timed to the last
// byte read at the terminal's far end; and the TLS handshake with a loopback
// caster (the tests' caster, its certificate from a CA made for the run).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <functional>
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

#include "corrections/CasterConnection.h"
#include "corrections/NtripClient.h"
#include "support/ChildProcess.h"
#include "support/NtripCaster.h"
#include "support/ScratchDir.h"

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

// A pseudo-terminal whose far end the benchmark reads: a frame has arrived when
// its last byte can be read there.
struct Terminal {
    int master = -1, slave = -1;
    Terminal()
    {
        ::openpty(&master, &slave, nullptr, nullptr, nullptr);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::tcgetattr(master, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master, TCSANOW, &raw);
    }
    ~Terminal()
    {
        ::close(slave);
        ::close(master);
    }
    // Reads frame's bytes within 5 s: false when others came, or none; when: the last one's time.
    bool Read(const std::string& frame, Clock::time_point& when) const
    {
        char buffer[4096];
        size_t got = 0;
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (got < frame.size() && Clock::now() < until) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(master, buffer, std::min(frame.size() - got, sizeof buffer));
            if (n <= 0 || frame.compare(got, static_cast<size_t>(n), buffer, static_cast<size_t>(n)) != 0)
                return false;
            got += static_cast<size_t>(n);
        }
        when = Clock::now();
        return got == frame.size();
    }
    void Drain() const
    {
        char buffer[4096];
        pollfd p{master, POLLIN, 0};
        while (::poll(&p, 1, 200) > 0 && ::read(master, buffer, sizeof buffer) > 0) {
        }
    }
};

class TerminalPort : public IRtcmPort {
public:
    explicit TerminalPort(int fd) : m_fd(fd) {}
    int WriteSome(const uint8_t* data, size_t size, int, size_t* put) override
    {
        const ssize_t n = ::write(m_fd, data, size);
        *put = n > 0 ? static_cast<size_t>(n) : 0;
        return n < 0 ? errno : 0;
    }

private:
    int m_fd;
};

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

int ConnectTo(int port)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// Sends each frame and times it to its last byte at the terminal: median and p99 in microseconds.
bool TimeFrames(const std::vector<std::string>& frames, const std::function<void(const std::string&)>& send,
                const Terminal& terminal, double& median, double& p99)
{
    std::vector<double> micros;
    for (size_t i = 0; i < 1000; ++i) {
        const std::string& frame = frames[i % frames.size()];
        const auto sent = Clock::now();
        send(frame);
        Clock::time_point arrived;
        if (!terminal.Read(frame, arrived))
            return false;
        micros.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::sort(micros.begin(), micros.end());
    median = micros[micros.size() / 2];
    p99 = micros[micros.size() * 99 / 100];
    return true;
}

void BM_RelayBesideStr2str(benchmark::State& state)
{
    if (::access("/usr/bin/str2str", X_OK) != 0) {
        state.SkipWithError("rtklib's str2str is not installed");
        return;
    }
    const std::vector<std::string> frames = Frames();
    for (auto _ : state) {
        // fieldbook: caster socket, client, relay, terminal.
        Terminal ours;
        TerminalPort port(ours.slave);
        CRtcmRelay relay(port);
        Owner owner;
        CNtripClient client(owner, relay, nullptr);
        Caster caster;
        relay.Start();
        NTRIP_OPTIONS options;
        ParseNtripUrl("ntrip://127.0.0.1:" + std::to_string(caster.Port()) + "/BENCH", options.url);
        client.Start(options);
        double median = 0, p99 = 0;
        const bool oursOk = caster.Accept() &&
                            TimeFrames(frames, [&](const std::string& f) { caster.Send(f); }, ours, median, p99);
        client.Stop();
        relay.Stop();
        if (!oursOk) {
            state.SkipWithError("fieldbook's relay lost a frame");
            return;
        }
        state.counters["fieldbook_median_us"] = median;
        state.counters["fieldbook_p99_us"] = p99;

        // str2str: a TCP server in, the terminal out.
        Terminal theirs;
        const int input = FreePort();
        ScratchDir dir;
        ChildProcess str2str;
        const std::string device = std::string(::ttyname(theirs.slave)).substr(5); // "pts/N"
        if (!str2str.Start({"/usr/bin/str2str", "-in", "tcpsvr://:" + std::to_string(input), "-out",
                            "serial://" + device + ":115200"},
                           {}, dir.File("out"), dir.File("err"))) {
            state.SkipWithError("str2str did not start");
            return;
        }
        const int feed = ConnectTo(input);
        bool theirsOk = feed >= 0;
        if (theirsOk) {
            // Its first frames go while it opens its streams.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            for (size_t i = 0; i < 20; ++i)
                ::send(feed, frames[i].data(), frames[i].size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            theirs.Drain();
            theirsOk = TimeFrames(
                frames, [&](const std::string& f) { ::send(feed, f.data(), f.size(), MSG_NOSIGNAL); }, theirs, median, p99);
            ::close(feed);
        }
        str2str.Signal(SIGTERM);
        int status = 0;
        str2str.Wait(std::chrono::seconds(5), &status);
        if (!theirsOk) {
            state.SkipWithError(("str2str lost a frame: " + ReadWholeFile(dir.File("err"))).c_str());
            return;
        }
        state.counters["str2str_median_us"] = median;
        state.counters["str2str_p99_us"] = p99;
    }
}
BENCHMARK(BM_RelayBesideStr2str)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Connect, TLS handshake and certificate check against a loopback caster, each time anew.
void BM_TlsHandshake(benchmark::State& state)
{
    ScratchDir dir;
    if (!NtripCaster::MakeCertificates(dir.Path())) {
        state.SkipWithError("openssl could not make the certificates");
        return;
    }
    NtripCaster caster([](int, const std::string&) { return NtripCaster::REPLY{}; },
                       {dir.File("caster.crt"), dir.File("caster.key")});
    NTRIP_URL url;
    ParseNtripUrl("ntrips://127.0.0.1:" + std::to_string(caster.Port()) + "/M", url);
    const std::atomic<bool> stop{false};
    for (auto _ : state) {
        CCasterConnection connection;
        std::string reason;
        if (connection.Open(url, dir.File("ca.crt"), -1, stop, std::chrono::seconds(5), reason) !=
            CCasterConnection::Result::Ok) {
            state.SkipWithError(("no handshake: " + reason).c_str());
            return;
        }
        // The caster waits for a request head: one ends its turn.
        connection.WriteAll("GET / HTTP/1.1\r\n\r\n", 18, -1, stop);
        connection.Close();
    }
}
BENCHMARK(BM_TlsHandshake)->Unit(benchmark::kMillisecond)->UseRealTime();

// How long Stop takes while the client is in the middle of a connection that
// goes nowhere: an address whose packets are dropped (0), or a name the
// resolver has to look up (1; with no network, a lookup that hangs).
void BM_StopWhileConnecting(benchmark::State& state)
{
    const char* url = state.range(0) == 0 ? "ntrips://10.255.255.1/M" : "ntrip://caster.fieldbook-bench.invalid/M";
    double worst = 0;
    for (auto _ : state) {
        PtyPort port;
        CRtcmRelay relay(port);
        Owner owner;
        CNtripClient client(owner, relay, nullptr);
        NTRIP_OPTIONS options;
        ParseNtripUrl(url, options.url);
        relay.Start();
        client.Start(options);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = Clock::now();
        client.Stop();
        relay.Stop();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        state.SetIterationTime(ms / 1000.0);
        worst = std::max(worst, ms);
    }
    state.counters["worst_stop_ms"] = worst;
}
BENCHMARK(BM_StopWhileConnecting)->Arg(0)->Arg(1)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
