#include "support/NtripCaster.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <openssl/ssl.h>
#include <unistd.h>

bool NtripCaster::MakeCertificates(const std::string& dir)
{
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    const std::string make =
        "cd '" + dir + "' && exec >openssl.log 2>&1 && "
        "openssl req -x509 " + ec + "-days 2 -subj /CN=crew-ca -keyout ca.key -out ca.crt && "
        "openssl req " + ec + "-subj /CN=caster -keyout caster.key -out caster.csr && "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' >caster.san && "
        "openssl x509 -req -days 2 -in caster.csr -CA ca.crt -CAkey ca.key -CAcreateserial -extfile caster.san "
        "-out caster.crt && "
        "openssl req " + ec + "-subj /CN=elsewhere -keyout elsewhere.key -out elsewhere.csr && "
        "printf 'subjectAltName=DNS:elsewhere.example\\n' >elsewhere.san && "
        "openssl x509 -req -days 2 -in elsewhere.csr -CA ca.crt -CAkey ca.key -CAcreateserial -extfile elsewhere.san "
        "-out elsewhere.crt";
    return std::system(make.c_str()) == 0;
}

NtripCaster::NtripCaster(Script script, TLS tls) : m_script(std::move(script)), m_tls(std::move(tls))
{
    if (!m_tls.certificate.empty()) {
        SSL_CTX* ctx = ::SSL_CTX_new(::TLS_server_method());
        if (ctx == nullptr || ::SSL_CTX_use_certificate_chain_file(ctx, m_tls.certificate.c_str()) != 1 ||
            ::SSL_CTX_use_PrivateKey_file(ctx, m_tls.key.c_str(), SSL_FILETYPE_PEM) != 1) {
            ::SSL_CTX_free(ctx);
            return;
        }
        m_ctx = ctx;
    }
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listen, 4) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(m_stopPipe, O_CLOEXEC) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread(&NtripCaster::Run, this);
}

NtripCaster::~NtripCaster()
{
    m_bStop = true;
    if (m_stopPipe[1] >= 0 && ::write(m_stopPipe[1], "x", 1) < 0)
        std::perror("NtripCaster");
    if (m_thread.joinable())
        m_thread.join();
    for (int fd : {m_listen, m_stopPipe[0], m_stopPipe[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
    ::SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
}

std::vector<std::chrono::steady_clock::time_point> NtripCaster::Accepted() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_accepted;
}

std::vector<std::string> NtripCaster::Requests() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requests;
}

std::string NtripCaster::Upstream() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_upstream;
}

void NtripCaster::Run()
{
    // SSL_write to a client that left: an error, not the test's end.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!Stopping()) {
        pollfd p[2] = {{m_listen, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, 1000) <= 0 || (p[0].revents & POLLIN) == 0)
            continue;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_accepted.push_back(std::chrono::steady_clock::now());
        }
        Serve(fd, m_connections++);
        ::close(fd);
    }
}

void NtripCaster::Serve(int fd, int n)
{
    // TLS: the handshake on the blocking socket, bounded by a receive time-out;
    // a client that refuses the certificate ends it here.
    SSL* ssl = nullptr;
    if (m_ctx != nullptr) {
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ssl = ::SSL_new(static_cast<SSL_CTX*>(m_ctx));
        if (ssl == nullptr || ::SSL_set_fd(ssl, fd) != 1 || ::SSL_accept(ssl) != 1) {
            ::SSL_free(ssl);
            return;
        }
    }
    struct Free {
        SSL* ssl;
        ~Free() { ::SSL_free(ssl); }
    } freeSsl{ssl};
    // Everything the client sends, until its head ends, then the rest upstream.
    std::string request;
    size_t upstreamAt = 0;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        upstreamAt = m_upstream.size();
    }
    auto receive = [&](int timeoutMs) {
        if (ssl == nullptr || ::SSL_pending(ssl) == 0) {
            pollfd p[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
            if (::poll(p, 2, timeoutMs) <= 0 || (p[0].revents & (POLLIN | POLLHUP)) == 0)
                return 0;
        }
        char buffer[2048];
        const ssize_t got = ssl != nullptr ? ::SSL_read(ssl, buffer, sizeof buffer) : ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return -1;
        std::lock_guard<std::mutex> guard(m_mutex);
        if (request.find("\r\n\r\n") == std::string::npos) {
            request.append(buffer, static_cast<size_t>(got));
            const size_t end = request.find("\r\n\r\n");
            if (end != std::string::npos) {
                m_upstream += request.substr(end + 4);
                request.resize(end + 4);
            }
        } else {
            m_upstream.append(buffer, static_cast<size_t>(got));
        }
        return 1;
    };
    while (!Stopping() && request.find("\r\n\r\n") == std::string::npos) {
        if (receive(5000) <= 0)
            return;
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_requests.push_back(request);
    }
    const REPLY reply = m_script(n, request);
    if (reply.head.empty())
        return;
    auto sendAll = [&](const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put = ssl != nullptr ? ::SSL_write(ssl, bytes.data() + done, static_cast<int>(bytes.size() - done))
                                               : ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (put <= 0)
                return false;
            done += static_cast<size_t>(put);
        }
        return true;
    };
    if (!sendAll(reply.head))
        return;
    // A virtual reference station computes nothing before it knows where the rover is.
    while (reply.afterGga && !Stopping()) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_upstream.find("GGA,", upstreamAt) != std::string::npos)
                break;
        }
        if (receive(200) < 0)
            return;
    }
    const size_t piece = reply.piece == 0 ? std::max<size_t>(reply.body.size(), 1) : reply.piece;
    for (size_t at = 0; at < reply.body.size() && !Stopping(); at += piece) {
        std::string part = reply.body.substr(at, piece);
        if (reply.chunked) {
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", part.size());
            part = size + part + "\r\n";
        }
        if (!sendAll(part))
            return;
        // Reads the client's GGA meanwhile, and notices it leave.
        const auto until = std::chrono::steady_clock::now() + reply.pace;
        do {
            if (receive(static_cast<int>(reply.pace.count())) < 0)
                return;
        } while (std::chrono::steady_clock::now() < until);
    }
    if (reply.chunked && !reply.holdOpen)
        sendAll("0\r\n\r\n");
    while (reply.holdOpen && !Stopping()) {
        if (receive(200) < 0)
            return;
    }
}
