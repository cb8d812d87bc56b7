#include "PtyPort.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

namespace {

// mkdir -p
bool MakeFolder(const std::string& dir, std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec)) {
        error = "cannot make the ports folder " + dir;
        return false;
    }
    return true;
}

std::string LinkTarget(const std::string& link)
{
    char target[512];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return {};
    target[n] = '\0';
    return target;
}

} // namespace

bool CPtyPort::Create(const std::string& dir, int port, std::string& error)
{
    Destroy();
    if (!MakeFolder(dir, error))
        return false;
    m_linkPath = dir + (dir.back() == '/' ? "" : "/") + "COM" + std::to_string(port);

    struct stat st {};
    if (::lstat(m_linkPath.c_str(), &st) == 0) {
        struct stat target {};
        if (!S_ISLNK(st.st_mode) || ::stat(m_linkPath.c_str(), &target) == 0) {
            error = m_linkPath + " exists and is in use; choose another port number";
            m_linkPath.clear();
            return false;
        }
        ::unlink(m_linkPath.c_str());
    }

    char name[128] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        error = std::string("openpty failed: ") + std::strerror(errno);
        m_linkPath.clear();
        return false;
    }
    m_slavePath = name;
    struct termios raw {};
    if (::tcgetattr(m_slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);

    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch < 0 || ::inotify_add_watch(m_watch, name, IN_OPEN | IN_CLOSE) < 0) {
        error = std::string("cannot watch ") + name + ": " + std::strerror(errno);
        Destroy();
        return false;
    }
    if (::symlink(name, m_linkPath.c_str()) != 0) {
        error = "cannot link " + m_linkPath + ": " + std::strerror(errno);
        m_linkPath.clear();
        Destroy();
        return false;
    }
    return true;
}

void CPtyPort::Destroy()
{
    if (!m_linkPath.empty() && LinkTarget(m_linkPath) == m_slavePath)
        ::unlink(m_linkPath.c_str());
    m_linkPath.clear();
    if (m_watch >= 0)
        ::close(m_watch);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_watch = m_slave = m_master = -1;
    m_peerOpens = 0;
    m_slavePath.clear();
}

bool CPtyPort::HandleWatchEvents()
{
    if (m_watch < 0)
        return false;
    const bool wasOpen = PeerOpen();
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_watch, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            if (event->mask & IN_OPEN)
                ++m_peerOpens;
            if ((event->mask & IN_CLOSE) && m_peerOpens > 0)
                --m_peerOpens;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    if (wasOpen && !PeerOpen())
        ::ioctl(m_slave, TIOCNXCL);
    return wasOpen != PeerOpen();
}

void CPtyPort::FlushToSlave()
{
    if (m_slave >= 0)
        ::tcflush(m_slave, TCIFLUSH);
}
