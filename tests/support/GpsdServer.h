// A private gpsd for tests: Debian's daemon in the foreground, listening on a
// loopback port of its own, reading one device (a pseudo-terminal the test
// feeds), its control socket and pid file in a scratch folder. Stopped (and
// waited for) by Stop or at the end of the object; nothing stays running.
#pragma once

#include <chrono>
#include <string>

#include "support/ChildProcess.h"

class GpsdServer {
public:
    explicit GpsdServer(std::string folder) : m_folder(std::move(folder)) {}
    ~GpsdServer() { Stop(); }
    GpsdServer(const GpsdServer&) = delete;
    GpsdServer& operator=(const GpsdServer&) = delete;

    // Starts gpsd on device and waits until it answers on its port (the same
    // port again after a Stop). False when it does not within the timeout.
    bool Start(const std::string& device, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGTERM and a bounded wait; SIGKILL if it will not go.
    void Stop();
    int Port() const { return m_port; }
    static bool Available();

private:
    std::string m_folder;
    int m_port = 0;
    ChildProcess m_process;
};
