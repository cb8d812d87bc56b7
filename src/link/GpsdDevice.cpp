// ISerialDevice on a gpsd daemon: a TCP connection that asks for the NMEA
// pass-through, so the GPS port, its reader and the decoder see the receiver's
// sentences as if they came from the serial line. gpsd's own JSON reports
// (VERSION, DEVICES, WATCH) are lines that begin with "{"; they are dropped
// here. Every wait is a poll() against a deadline, as on the serial device.
#include "link/GpsdDevice.h"

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

// A daemon that is down is tried at most this often, however often the reader asks.
constexpr auto kRetryEvery = std::chrono::seconds(1);
// A loopback or LAN daemon answers a connect at once; this only bounds a dead route.
constexpr int kConnectMs = 1000;

// Raw NMEA lines as the receiver sent them, and none of gpsd's JSON reports.
constexpr char kWatch[] = "?WATCH={\"enable\":true,\"nmea\":true};\n";

int MsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

class CGpsdDevice final : public ISerialDevice {
public:
    CGpsdDevice(std::string host, int32_t port) : m_host(std::move(host)), m_port(port) {}
    ~CGpsdDevice() override { Close(); }

    // The path of the COM port is not used: the daemon is the device.
    int Open(const std::string& /*path*/, bool /*readWrite*/) override
    {
        Close();
        const auto now = Clock::now();
        if (m_bTried && now - m_lastTry < kRetryEvery)
            return m_lastError;
        m_bTried = true;
        m_lastTry = now;
        m_lastError = Connect();
        if (m_lastError == 0) {
            uint32_t put = 0;
            m_lastError = Write(reinterpret_cast<const uint8_t*>(kWatch), sizeof kWatch - 1, kConnectMs, &put);
            if (m_lastError == 0 && put != sizeof kWatch - 1)
                m_lastError = ETIMEDOUT;
            if (m_lastError != 0)
                Close();
        }
        m_bLineStart = true;
        m_bInReport = false;
        return m_lastError;
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
        while (*got < length) {
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
            const ssize_t n = ::recv(m_fd, buffer + *got, length - *got, 0);
            if (n > 0) {
                *got += KeepNmea(buffer + *got, static_cast<uint32_t>(n));
                continue;
            }
            if (n == 0)
                return Failed(EIO, *got); // the daemon went away: a vanished port
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return Failed(errno, *got);
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
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                m_fd = fd;
            } else {
                ::close(fd);
            }
        }
        ::freeaddrinfo(found);
        return error;
    }

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

    // Drops gpsd's JSON lines from bytes just received, in place; returns what is kept.
    uint32_t KeepNmea(uint8_t* bytes, uint32_t count)
    {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t b = bytes[i];
            if (m_bLineStart && b == '{')
                m_bInReport = true;
            m_bLineStart = b == '\n';
            if (m_bInReport) {
                if (b == '\n')
                    m_bInReport = false;
                continue;
            }
            bytes[kept++] = b;
        }
        return kept;
    }

    std::string m_host;
    int32_t m_port;
    int m_fd = -1;
    bool m_bTried = false;
    Clock::time_point m_lastTry{};
    int m_lastError = 0;
    bool m_bLineStart = true;
    bool m_bInReport = false;
};

} // namespace

std::unique_ptr<ISerialDevice> MakeGpsdDevice(const std::string& host, int32_t port)
{
    return std::make_unique<CGpsdDevice>(host, port);
}
