#include "support/RecordingOwner.h"

#include <thread>

void RecordingOwner::ShowRawData(const uint8_t* data, uint32_t length)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_chunks.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    m_changed.notify_all();
}

void RecordingOwner::SetBitmap(int controlId, int bitmapId)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bitmaps.push_back({controlId, bitmapId});
    }
    m_changed.notify_all();
}

std::vector<RecordingOwner::BitmapChange> RecordingOwner::Bitmaps() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bitmaps;
}

int RecordingOwner::Shown(int controlId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_bitmaps.rbegin(); it != m_bitmaps.rend(); ++it)
        if (it->controlId == controlId)
            return it->bitmapId;
    return 0;
}

std::vector<std::string> RecordingOwner::RawChunks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chunks;
}

void RecordingOwner::Forget()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bitmaps.clear();
    m_chunks.clear();
}

bool RecordingOwner::WaitForBitmap(int controlId, int bitmapId, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        for (auto it = m_bitmaps.rbegin(); it != m_bitmaps.rend(); ++it)
            if (it->controlId == controlId)
                return it->bitmapId == bitmapId;
        return false;
    });
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RecordingOwner::OnIgnoredTalker(const char* sentenceId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gpsNotices.emplace_back(sentenceId);
}

void RecordingOwner::OnGpsSpeedRefused(int32_t baud, int error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gpsNotices.push_back("speed " + std::to_string(baud) + ": " + std::to_string(error));
}

std::vector<std::string> RecordingOwner::GpsNotices() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_gpsNotices;
}
