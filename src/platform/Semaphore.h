// Stands for the handheld's named semaphore with initial and maximum count 1, as
// used to guard the record queue ("LocateDataSemaphore") and the decoder's GPS
// records ("GpsDataSemaphore"). Here it is an in-process binary semaphore with a
// bounded wait; the name is kept for diagnostics only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

enum class SemWait { Obtained, TimedOut, Failed };

class CSemaphore {
public:
    // Initial count 1, maximum count 1.
    explicit CSemaphore(std::string name);
    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

    // Takes the count, waiting at most timeoutMs milliseconds.
    SemWait Wait(uint32_t timeoutMs);

    // Gives the count back. Fails (false) when the count is already at its
    // maximum; the error value is then kSemErrTooManyPosts.
    bool Release();

    // Error value of the last failed Release, 0 if none failed.
    int LastError() const;

    const std::string& Name() const { return m_name; }

    // The handheld reports a release beyond the maximum count with this value.
    static constexpr int kSemErrTooManyPosts = 298;

private:
    std::string m_name;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_count = 1;
    int m_lastError = 0;
};
