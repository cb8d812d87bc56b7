#include "platform/Clock.h"

#include <ctime>
#include <mutex>
#include <optional>

namespace {
std::mutex g_mutex;
std::optional<LOCAL_TIME> g_fixed;
} // namespace

LOCAL_TIME GetLocalTime()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_fixed)
            return *g_fixed;
    }
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    LOCAL_TIME t;
    if (::localtime_r(&now, &parts) == nullptr)
        return t;
    t.nYear = parts.tm_year + 1900;
    t.nMonth = parts.tm_mon + 1;
    t.nDay = parts.tm_mday;
    t.nHour = parts.tm_hour;
    t.nMinute = parts.tm_min;
    t.nSecond = parts.tm_sec;
    return t;
}

void SetLocalTimeForTest(const LOCAL_TIME* fixed)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (fixed != nullptr)
        g_fixed = *fixed;
    else
        g_fixed.reset();
}
