#include "platform/WakeEvent.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

CWakeEvent::CWakeEvent() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CWakeEvent::~CWakeEvent()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void CWakeEvent::Raise()
{
    if (m_fd < 0)
        return;
    const uint64_t one = 1;
    // Only a full counter refuses this, and a full counter is raised already.
    [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
}

bool CWakeEvent::Take()
{
    if (m_fd < 0)
        return false;
    uint64_t count = 0;
    return ::read(m_fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count) && count > 0;
}
