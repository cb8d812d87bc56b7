#include "platform/Semaphore.h"

#include <chrono>
#include <utility>

CSemaphore::CSemaphore(std::string name) : m_name(std::move(name)) {}

SemWait CSemaphore::Wait(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_count > 0; }))
        return SemWait::TimedOut;
    --m_count;
    return SemWait::Obtained;
}

bool CSemaphore::Release()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count >= 1) {
            m_lastError = kSemErrTooManyPosts;
            return false;
        }
        ++m_count;
    }
    m_cv.notify_one();
    return true;
}

int CSemaphore::LastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}
