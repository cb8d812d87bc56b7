#include "link/ReaderWake.h"

#include <cerrno>
#include <filesystem>
#include <poll.h>
#include <sys/inotify.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// A device node or a link to one that is created, moved in, or given its
// permissions (udev sets them just after creating the node).
constexpr uint32_t kAppearMask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;

} // namespace

CReaderWake::CReaderWake()
{
    m_notifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

CReaderWake::~CReaderWake()
{
    if (m_notifyFd >= 0)
        ::close(m_notifyFd); // also drops its watches
}

void CReaderWake::Stop() { m_stop.Raise(); }

void CReaderWake::Clear() { m_stop.Take(); }

CReaderWake::Woken CReaderWake::Wait(int fd, std::chrono::milliseconds timeout)
{
    pollfd set[3];
    nfds_t count = 0;
    if (fd >= 0)
        set[count++] = pollfd{fd, POLLIN, 0};
    const nfds_t stopAt = count;
    if (m_stop.Fd() >= 0)
        set[count++] = pollfd{m_stop.Fd(), POLLIN, 0};
    const nfds_t notifyAt = count;
    if (m_watching)
        set[count++] = pollfd{m_notifyFd, POLLIN, 0};
    if (count == 0) {
        std::this_thread::sleep_for(timeout);
        return Woken::TimedOut;
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const int ready = ::poll(set, count, left < 0 ? 0 : static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Woken::TimedOut;
        if (stopAt < count && set[stopAt].fd == m_stop.Fd() && set[stopAt].revents != 0)
            return Woken::Stopped;
        // Any event on the port, POLLHUP and POLLERR included: the read that
        // follows tells data from a hang-up.
        if (fd >= 0 && set[0].revents != 0)
            return Woken::Readable;
        if (m_watching && set[notifyAt].revents != 0 && DrainNotifications())
            return Woken::DeviceAppeared;
    }
}

void CReaderWake::WatchFor(const std::string& path)
{
    Unwatch();
    if (m_notifyFd < 0)
        return;
    namespace fs = std::filesystem;
    const fs::path device(path);
    AddWatch(device.parent_path().string());
    std::error_code error;
    const fs::path target = fs::read_symlink(device, error);
    if (!error) {
        const fs::path resolved = target.is_absolute() ? target : device.parent_path() / target;
        AddWatch(resolved.parent_path().string());
    }
}

void CReaderWake::AddWatch(const std::string& folder)
{
    for (int& wd : m_watches) {
        if (wd >= 0)
            continue;
        wd = ::inotify_add_watch(m_notifyFd, folder.empty() ? "." : folder.c_str(), kAppearMask);
        // A folder that is not there (yet) is not watched; the timed retry remains.
        if (wd >= 0)
            m_watching = true;
        return;
    }
}

void CReaderWake::Unwatch()
{
    for (int& wd : m_watches) {
        if (wd >= 0)
            ::inotify_rm_watch(m_notifyFd, wd);
        wd = -1;
    }
    if (m_watching)
        DrainNotifications();
    m_watching = false;
}

bool CReaderWake::DrainNotifications()
{
    alignas(inotify_event) char events[1024];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(m_notifyFd, events, sizeof events);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return any;
    }
}
