#include "support/Pty.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void MakeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
}

} // namespace

Pty::Pty(const std::string& portsFolder, int portNumber, bool keepSlaveOpen)
    : m_link(portsFolder + (portsFolder.empty() || portsFolder.back() == '/' ? "" : "/") + "COM" + std::to_string(portNumber)),
      m_keepSlave(keepSlaveOpen)
{
    Create();
}

Pty::~Pty() { Vanish(); }

void Pty::Create()
{
    char name[128] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_slavePath = name;
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    MakeRaw(m_master);
    MakeRaw(m_slave);
    if (!m_keepSlave) {
        ::close(m_slave);
        m_slave = -1;
    }
    ::unlink(m_link.c_str());
    if (::symlink(m_slavePath.c_str(), m_link.c_str()) != 0)
        throw std::runtime_error("cannot link " + m_link);
}

size_t Pty::Unread() const
{
    int queued = 0;
    if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &queued) != 0)
        return 0;
    return static_cast<size_t>(queued);
}

void Pty::Vanish()
{
    ::unlink(m_link.c_str());
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

void Pty::Return()
{
    Vanish();
    Create();
}

bool Pty::Write(const std::string& bytes, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    size_t done = 0;
    while (done < bytes.size() && m_master >= 0) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{m_master, POLLOUT, 0};
        if (::poll(&p, 1, MsUntil(deadline)) == 0)
            return false;
    }
    return done == bytes.size();
}

std::string Pty::Read(size_t maxBytes, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string got;
    char chunk[512];
    while (got.size() < maxBytes && m_master >= 0) {
        pollfd p{m_master, POLLIN, 0};
        const int ready = ::poll(&p, 1, MsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const size_t want = std::min(sizeof chunk, maxBytes - got.size());
        const ssize_t n = ::read(m_master, chunk, want);
        if (n > 0)
            got.append(chunk, static_cast<size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return got;
}
