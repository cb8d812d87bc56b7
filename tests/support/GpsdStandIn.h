// A gpsd stand-in on a loopback port of its own, for what a real daemon will
// not do on request: fall silent with its socket open, flood lines that are no
// NMEA, or refuse connections. One thread; every loop of it is bounded by a
// poll time-out, and the destructor ends it.
#pragma once

#include <atomic>
#include <thread>

class GpsdStandIn {
public:
    enum class Mode {
        Talk,   // a GPGGA with a fix every 100 ms
        Silent, // keeps the connection, sends nothing
        Flood,  // lines of 'x' as fast as the peer takes them
        Refuse, // not listening: connects are refused
    };

    GpsdStandIn();
    ~GpsdStandIn();
    GpsdStandIn(const GpsdStandIn&) = delete;
    GpsdStandIn& operator=(const GpsdStandIn&) = delete;

    int Port() const { return m_port; }
    // Any thread; takes effect within one turn of the stand-in's thread.
    void SetMode(Mode mode) { m_mode = mode; }
    // Connections accepted so far.
    int Connections() const { return m_connections.load(); }

private:
    void Run();
    bool Listen();

    int m_port = 0;
    int m_listener = -1;
    std::atomic<Mode> m_mode{Mode::Talk};
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
