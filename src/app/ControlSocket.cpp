#include "app/ControlSocket.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/Folders.h"

namespace {
bool MakeAddress(const std::string& path, sockaddr_un& address, std::string& error)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "the control socket's path is too long for a Unix socket (" + std::to_string(path.size()) +
                " bytes): " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads until the peer ends its writing, the limit or the deadline. False
// when the request did not come whole.
bool ReadAll(int fd, std::string& data, size_t limit, Clock::time_point deadline)
{
    char buffer[1024];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MsLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (data.size() + static_cast<size_t>(n) > limit)
            return false;
        data.append(buffer, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& data, Clock::time_point deadline)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0)
            return false;
    }
    return true;
}
} // namespace

std::string ControlSocketPath() { return DocumentsPath(kControlSocketName); }

CControlServer::~CControlServer() { Close(); }

bool CControlServer::Open(const std::string& path, std::string& error)
{
    Close();
    sockaddr_un address;
    if (!MakeAddress(path, address, error))
        return false;
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        error = std::string("cannot make the control socket: ") + std::strerror(errno);
        return false;
    }
    ::unlink(path.c_str());
    // Made owner-only from the start: no moment where another user may connect.
    const mode_t old = ::umask(0177);
    const int bound = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(old);
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(m_fd, 8) != 0) {
        error = "cannot listen at " + path + ": " + std::strerror(bound != 0 ? bindError : errno);
        ::close(m_fd);
        m_fd = -1;
        if (bound == 0)
            ::unlink(path.c_str());
        return false;
    }
    m_path = path;
    return true;
}

void CControlServer::Close()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
    ::unlink(m_path.c_str());
    m_path.clear();
}

void CControlServer::Serve(const std::function<CREW_REPLY(const std::vector<std::string>&)>& run)
{
    if (m_fd < 0)
        return;
    for (;;) {
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            return; // EAGAIN: nobody else waiting
        }
        // Only the user the program runs as: the socket's mode says so, the
        // peer's credentials make sure.
        ucred peer{};
        socklen_t size = sizeof peer;
        const bool sameUser =
            ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::getuid();
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kControlWaitMs);
        std::string request;
        CREW_REPLY reply;
        if (!sameUser) {
            reply = {CREW_FAILED, "the control socket serves its owner only\n"};
        } else if (!ReadAll(client, request, kControlRequestMax, deadline) ||
                   (!request.empty() && request.back() != '\0')) {
            reply = {CREW_USAGE, "the request did not come whole\n"};
        } else {
            std::vector<std::string> words;
            for (size_t start = 0; start < request.size();) {
                const size_t end = request.find('\0', start);
                words.emplace_back(request, start, end - start);
                start = end + 1;
            }
            reply = run(words);
        }
        WriteAll(client, std::to_string(reply.status) + "\n" + reply.text, deadline);
        ::close(client);
    }
}

bool SendControlCommand(const std::string& path, const std::vector<std::string>& words, int waitMs,
                        CREW_REPLY& reply, bool& bNoInstance, std::string& error)
{
    bNoInstance = false;
    sockaddr_un address;
    if (!MakeAddress(path, address, error))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int e = errno;
        ::close(fd);
        bNoInstance = e == ENOENT || e == ECONNREFUSED;
        error = bNoInstance ? std::string("no fieldbook is running")
                            : "cannot reach fieldbook at " + path + ": " + std::strerror(e);
        return false;
    }
    std::string request;
    for (const std::string& word : words)
        request.append(word).push_back('\0');
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::string answer;
    const bool ok = WriteAll(fd, request, deadline) && ::shutdown(fd, SHUT_WR) == 0 &&
                    ReadAll(fd, answer, 1 << 20, deadline);
    ::close(fd);
    const size_t newline = answer.find('\n');
    if (!ok || newline != 1 || answer[0] < '0' || answer[0] > '9') {
        error = "fieldbook did not answer in time";
        return false;
    }
    reply.status = answer[0] - '0';
    reply.text = answer.substr(2);
    return true;
}
