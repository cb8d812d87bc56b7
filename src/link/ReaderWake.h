// What a reader thread sleeps on: its port's descriptor, a stop request and,
// while its device is missing, the folder the device will appear in. A reader
// that waits here wakes for the first byte, for a stop at once, and for a
// returning device without polling for it; every wait still has a bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/WakeEvent.h"

class CReaderWake {
public:
    enum class Woken { Readable, Stopped, DeviceAppeared, TimedOut };

    CReaderWake();
    ~CReaderWake();
    CReaderWake(const CReaderWake&) = delete;
    CReaderWake& operator=(const CReaderWake&) = delete;

    // Any thread: the current wait and every later one end at once (Stopped)
    // until Clear.
    void Stop();
    // Before a new reader starts on this object.
    void Clear();

    // Waits up to timeout for fd (-1: none) to become readable or hang up, for
    // Stop, or for a new entry where WatchFor looks. Without its event
    // descriptor (the system refused one) this is a plain bounded sleep.
    Woken Wait(int fd, std::chrono::milliseconds timeout);

    // Watches for the device at path to appear: its folder and, for a symlink
    // (PORTS/COM<n> usually is one), the folder of its target. Until Unwatch.
    void WatchFor(const std::string& path);
    void Unwatch();
    // Something is watched: the wait wakes when the device appears.
    bool Watching() const { return m_watching; }

private:
    void AddWatch(const std::string& folder);
    // Empties the inotify queue; true when anything was in it.
    bool DrainNotifications();

    CWakeEvent m_stop;
    int m_notifyFd = -1;
    int m_watches[2] = {-1, -1};
    bool m_watching = false;
};
