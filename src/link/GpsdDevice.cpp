// ISerialDevice on a gpsd daemon: a TCP connection that asks for the NMEA
// pass-through, so the GPS port, its reader and the decoder see the receiver's
// sentences as if they came from the serial line. Only lines that begin with
// '$' or '!' (NMEA 0183 sentences) are kept; gpsd's own JSON reports (VERSION,
// DEVICES, WATCH) and anything else are dropped here. Every wait is a poll()
// against a deadline, as on the serial device, and every read ends after a
// bounded number of bytes, whatever the peer sends.
#include "link/GpsdDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A loopback or LAN daemon answers a connect at once; this only bounds a dead route.
constexpr int kConnectMs = 1000;
// Keep-alive probes after 5 s without traffic, 2 s apart, 3 unanswered ones
// drop the connection: a dead peer is found within 11 s even while gpsd has
// nothing to say. The user time-out does the same for our own unacknowledged
// bytes (the WATCH request).
constexpr int kKeepIdleS = 5;
constexpr int kKeepIntervalS = 2;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 11000;
// Bytes one read takes off the socket at most, kept or not: a peer that floods
// lines that are all dropped still hands the reader back to its wait.
constexpr uint32_t kReadBudget = 4096;
// Dropped bytes in a row after which the peer is no gpsd with a receiver
// behind it: gpsd's reports come to a few kilobytes at most between sentences.
constexpr uint32_t kJunkLimit = 64 * 1024;

// Raw NMEA lines as the receiver sent them, and none of gpsd's JSON reports.
constexpr char kWatch[] = "?WATCH={\"enable\":true,\"nmea\":true};\n";

int MsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

class CGpsdDevice final : public ISerialDevice {
public:
    CGpsdDevice(std::string host, int32_t port, std::chrono::milliseconds silenceLimit)
        : m_host(std::move(host)), m_port(port), m_silenceLimit(silenceLimit)
    {
    }
    ~CGpsdDevice() override { Close(); }

    // The path of the COM port is not used: the daemon is the device.
    int Open(const std::string& /*path*/, bool /*readWrite*/) override
    {
        Close();
        Trace("connecting");
        int error = Connect();
        if (error == 0) {
            uint32_t put = 0;
            error = Write(reinterpret_cast<const uint8_t*>(kWatch), sizeof kWatch - 1, kConnectMs, &put);
            if (error == 0 && put != sizeof kWatch - 1)
                error = ETIMEDOUT;
            if (error != 0)
                Close();
        }
        Trace(error == 0 ? std::string("connected, NMEA asked for") : "connect failed: " + Why(error));
        m_bLineStart = true;
        m_bDropLine = false;
        m_junk = 0;
        m_lastByte = Clock::now();
        return error;
    }

    void Close() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    int Configure(bool /*setLine*/) override { return m_fd < 0 ? EBADF : 0; }

    int Read(uint8_t* buffer, uint32_t length, int intervalMs, int totalMs, uint32_t* got) override
    {
        *got = 0;
        if (m_fd < 0)
            return EBADF;
        const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
        uint32_t taken = 0;
        while (*got < length && taken < kReadBudget) {
            int wait = MsUntil(deadline);
            if (*got > 0 && intervalMs < wait)
                wait = intervalMs;
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, wait);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return Failed(errno, *got);
            }
            if (ready == 0)
                break;
            const uint32_t room = std::min(length - *got, kReadBudget - taken);
            const ssize_t n = ::recv(m_fd, buffer + *got, room, 0);
            if (n > 0) {
                m_lastByte = Clock::now();
                taken += static_cast<uint32_t>(n);
                *got += KeepNmea(buffer + *got, static_cast<uint32_t>(n));
                if (m_junk >= kJunkLimit && *got == 0) {
                    Trace("dropped: " + std::to_string(m_junk) + " bytes without an NMEA sentence");
                    return EPROTO;
                }
                continue;
            }
            if (n == 0) {
                // The daemon went away: a vanished port.
                if (*got == 0)
                    Trace("dropped: closed by the daemon");
                return Failed(EIO, *got);
            }
            const int error = errno;
            if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK)
                continue;
            if (*got == 0)
                Trace("dropped: " + Why(error));
            return Failed(error, *got);
        }
        if (*got == 0 && m_silenceLimit.count() > 0 && Clock::now() - m_lastByte >= m_silenceLimit) {
            Trace("dropped: silent for " +
                  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_silenceLimit).count()) + " s");
            return kGpsdSilentError;
        }
        return 0;
    }

    int Write(const uint8_t* buffer, uint32_t length, int totalMs, uint32_t* put) override
    {
        *put = 0;
        if (m_fd < 0)
            return EBADF;
        const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
        while (*put < length) {
            const ssize_t n = ::send(m_fd, buffer + *put, length - *put, MSG_NOSIGNAL);
            if (n > 0) {
                *put += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return Failed(errno, *put);
            pollfd p{m_fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, MsUntil(deadline));
            if (ready == 0)
                break;
            if (ready < 0 && errno != EINTR)
                return Failed(errno, *put);
        }
        return 0;
    }

    // A connection has no carrier line; its loss shows as a failed read.
    int WaitHandle() const override { return m_fd; }

    int GetCarrier(int* carrier) override
    {
        *carrier = m_fd >= 0 ? 1 : 0;
        return m_fd < 0 ? EBADF : 0;
    }

    bool IsConnection() const override { return true; }
    void SetTrace(CDebugFile* file) override { m_trace = file; }

private:
    static int Failed(int error, uint32_t done) { return done > 0 ? 0 : error; }

    int Connect()
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(m_port);
        if (::getaddrinfo(m_host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
            return EHOSTUNREACH;
        int error = ECONNREFUSED;
        for (const addrinfo* a = found; a != nullptr && m_fd < 0; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) {
                error = errno;
                continue;
            }
            error = ConnectWithin(fd, a->ai_addr, a->ai_addrlen);
            if (error == 0) {
                KeepAlive(fd);
                m_fd = fd;
            } else {
                ::close(fd);
            }
        }
        ::freeaddrinfo(found);
        return error;
    }

    // Options a kernel lacks are left out: the silence limit still holds.
    static void KeepAlive(int fd)
    {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    }

    // One line of the connection's story in the GPS port's debug file.
    void Trace(const std::string& what)
    {
        if (m_trace != nullptr)
            m_trace->Printf("gpsd %s:%d: %s\n", m_host.c_str(), static_cast<int>(m_port), what.c_str());
    }

    static std::string Why(int error) { return std::string(strerrordesc_np(error)) + " (" + std::to_string(error) + ")"; }

    static int ConnectWithin(int fd, const sockaddr* address, socklen_t length)
    {
        if (::connect(fd, address, length) == 0)
            return 0;
        if (errno != EINPROGRESS)
            return errno;
        pollfd p{fd, POLLOUT, 0};
        int ready = 0;
        do {
            ready = ::poll(&p, 1, kConnectMs);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0)
            return ready == 0 ? ETIMEDOUT : errno;
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            return errno;
        return error;
    }

    // Keeps the NMEA lines of bytes just received, in place; returns what is
    // kept. Counts the dropped bytes since the last kept line.
    uint32_t KeepNmea(uint8_t* bytes, uint32_t count)
    {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t b = bytes[i];
            if (m_bLineStart && b != '\r' && b != '\n') {
                m_bDropLine = b != '$' && b != '!';
                if (!m_bDropLine)
                    m_junk = 0;
            }
            m_bLineStart = b == '\n';
            if (m_bDropLine) {
                if (m_junk < kJunkLimit)
                    ++m_junk;
                if (b == '\n')
                    m_bDropLine = false;
                continue;
            }
            bytes[kept++] = b;
        }
        return kept;
    }

    std::string m_host;
    int32_t m_port;
    std::chrono::milliseconds m_silenceLimit;
    int m_fd = -1;
    CDebugFile* m_trace = nullptr;
    Clock::time_point m_lastByte{};
    bool m_bLineStart = true;
    bool m_bDropLine = false;
    uint32_t m_junk = 0;
};

} // namespace

std::unique_ptr<ISerialDevice> MakeGpsdDevice(const std::string& host, int32_t port,
                                              std::chrono::milliseconds silenceLimit)
{
    return std::make_unique<CGpsdDevice>(host, port, silenceLimit);
}
