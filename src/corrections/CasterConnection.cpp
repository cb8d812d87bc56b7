#include "corrections/CasterConnection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

// One name lookup, shared by the client and the helper thread that runs it;
// whichever lets go last frees it, so a client that stops never waits.
struct LOOKUP {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    addrinfo* found = nullptr;
    ~LOOKUP()
    {
        if (found != nullptr)
            ::freeaddrinfo(found);
    }
};

std::shared_ptr<LOOKUP> Resolve(const std::string& host, int port, const std::atomic<bool>& stop,
                                Clock::time_point deadline)
{
    auto lookup = std::make_shared<LOOKUP>();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port);
    // An address needs no lookup and no thread.
    hints.ai_flags = AI_NUMERICHOST;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &lookup->found) == 0) {
        lookup->done = true;
        return lookup;
    }
    lookup->found = nullptr;
    hints.ai_flags = 0;
    try {
        std::thread([lookup, host, service, hints] {
            addrinfo* found = nullptr;
            if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0)
                found = nullptr;
            std::lock_guard<std::mutex> guard(lookup->mutex);
            lookup->found = found;
            lookup->done = true;
            lookup->cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->done && !stop.load() && Clock::now() < deadline)
        lookup->cv.wait_for(lock, std::chrono::milliseconds(50));
    if (!lookup->done || lookup->found == nullptr)
        return nullptr;
    return lookup;
}

// Waits for fd to be ready for events, or wakeFd, or the deadline; true when fd is.
bool WaitFor(int fd, short events, int wakeFd, const std::atomic<bool>& stop, Clock::time_point deadline)
{
    while (!stop.load()) {
        const int left = MsUntil(deadline);
        if (left == 0)
            return false;
        pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(p, wakeFd >= 0 ? 2 : 1, std::min(left, 200));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && p[0].revents != 0)
            return true;
    }
    return false;
}

std::string OpenSslReason()
{
    const unsigned long error = ::ERR_get_error();
    ::ERR_clear_error();
    const char* reason = error != 0 ? ::ERR_reason_error_string(error) : nullptr;
    return reason != nullptr ? reason : "the handshake failed";
}

bool IsAddress(const std::string& host)
{
    in6_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 || ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

} // namespace

CCasterConnection::~CCasterConnection() { Close(); }

void CCasterConnection::Close()
{
    if (m_ssl != nullptr)
        ::SSL_free(m_ssl);
    if (m_ctx != nullptr)
        ::SSL_CTX_free(m_ctx);
    if (m_fd >= 0)
        ::close(m_fd);
    m_ssl = nullptr;
    m_ctx = nullptr;
    m_fd = -1;
}

CCasterConnection::Result CCasterConnection::Open(const NTRIP_URL& url, const std::string& caFile, int wakeFd,
                                                  const std::atomic<bool>& stop, std::chrono::milliseconds timeout,
                                                  std::string& reason)
{
    Close();
    reason.clear();
    const auto deadline = Clock::now() + timeout;
    const std::shared_ptr<LOOKUP> lookup = Resolve(url.host, url.nPort, stop, deadline);
    if (stop.load())
        return Result::Stopped;
    if (!lookup) {
        reason = "no address for " + url.host;
        return Result::Unreachable;
    }
    for (addrinfo* a = lookup->found; a != nullptr && m_fd < 0 && !stop.load(); a = a->ai_next) {
        m_fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (m_fd < 0)
            continue;
        if (::connect(m_fd, a->ai_addr, a->ai_addrlen) == 0)
            break;
        int error = errno;
        if (error == EINPROGRESS && WaitFor(m_fd, POLLOUT, wakeFd, stop, deadline)) {
            socklen_t length = sizeof error;
            if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        } else if (error == EINPROGRESS) {
            error = ETIMEDOUT;
        }
        if (error != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    if (stop.load()) {
        Close();
        return Result::Stopped;
    }
    if (m_fd < 0)
        return Result::Unreachable;
    if (!url.bTls)
        return Result::Ok;
    const Result result = Handshake(url, caFile, wakeFd, stop, deadline, reason);
    if (result != Result::Ok)
        Close();
    return result;
}

CCasterConnection::Result CCasterConnection::Handshake(const NTRIP_URL& url, const std::string& caFile, int wakeFd,
                                                       const std::atomic<bool>& stop, Clock::time_point deadline,
                                                       std::string& reason)
{
    ::ERR_clear_error();
    m_ctx = ::SSL_CTX_new(::TLS_client_method());
    if (m_ctx == nullptr) {
        reason = OpenSslReason();
        return Result::TlsRefused;
    }
    ::SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    ::SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    const bool loaded = caFile.empty() ? ::SSL_CTX_set_default_verify_paths(m_ctx) == 1
                                       : ::SSL_CTX_load_verify_locations(m_ctx, caFile.c_str(), nullptr) == 1;
    if (!loaded) {
        ::ERR_clear_error();
        reason = caFile.empty() ? "the system's CA store cannot be read" : "cannot read the CA file " + caFile;
        return Result::TlsRefused;
    }
    m_ssl = ::SSL_new(m_ctx);
    if (m_ssl == nullptr || ::SSL_set_fd(m_ssl, m_fd) != 1) {
        reason = OpenSslReason();
        return Result::TlsRefused;
    }
    // The certificate must name what the URL names: an address as an address,
    // a host name (also sent as SNI, which virtual casters route by).
    if (IsAddress(url.host)) {
        ::X509_VERIFY_PARAM_set1_ip_asc(::SSL_get0_param(m_ssl), url.host.c_str());
    } else {
        ::SSL_set_tlsext_host_name(m_ssl, url.host.c_str());
        ::SSL_set1_host(m_ssl, url.host.c_str());
    }
    for (;;) {
        const int done = ::SSL_connect(m_ssl);
        if (done == 1)
            return Result::Ok;
        const int error = ::SSL_get_error(m_ssl, done);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        if (events == 0) {
            const long verify = ::SSL_get_verify_result(m_ssl);
            if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
                ::ERR_clear_error();
                reason = "its certificate is not for " + url.host;
            } else if (verify != X509_V_OK) {
                ::ERR_clear_error();
                reason = std::string("its certificate is refused: ") + ::X509_verify_cert_error_string(verify);
            } else {
                reason = error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN ? "it closed the handshake"
                                                                                       : OpenSslReason();
            }
            return Result::TlsRefused;
        }
        if (!WaitFor(m_fd, events, wakeFd, stop, deadline)) {
            if (stop.load())
                return Result::Stopped;
            reason = "no TLS handshake";
            return Result::TlsRefused;
        }
    }
}

ssize_t CCasterConnection::Read(uint8_t* buffer, size_t size)
{
    if (m_ssl == nullptr) {
        const ssize_t n = ::recv(m_fd, buffer, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return n <= 0 ? -1 : n;
    }
    const int n = ::SSL_read(m_ssl, buffer, static_cast<int>(std::min<size_t>(size, 1 << 30)));
    if (n > 0)
        return n;
    const int error = ::SSL_get_error(m_ssl, n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return 0;
    ::ERR_clear_error();
    return -1;
}

bool CCasterConnection::Pending() const
{
    return m_ssl != nullptr && ::SSL_pending(m_ssl) > 0;
}

bool CCasterConnection::WriteAll(const char* data, size_t size, int wakeFd, const std::atomic<bool>& stop)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (size > 0) {
        short wait = POLLOUT;
        if (m_ssl != nullptr) {
            const int n = ::SSL_write(m_ssl, data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            const int error = ::SSL_get_error(m_ssl, n);
            if (error == SSL_ERROR_WANT_READ)
                wait = POLLIN;
            else if (error != SSL_ERROR_WANT_WRITE) {
                ::ERR_clear_error();
                return false;
            }
        } else {
            const ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
        }
        if (!WaitFor(m_fd, wait, wakeFd, stop, deadline))
            return false;
    }
    return true;
}
