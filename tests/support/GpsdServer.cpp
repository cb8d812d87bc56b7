#include "support/GpsdServer.h"

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kGpsd = "/usr/sbin/gpsd";

// A loopback port nobody listens on now.
int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool Answers(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool GpsdServer::Available()
{
    return ::access(kGpsd, X_OK) == 0;
}

bool GpsdServer::Start(const std::string& device, std::chrono::milliseconds timeout)
{
    Stop();
    if (m_port == 0)
        m_port = FreeLoopbackPort();
    // -N foreground, -n read the device without waiting for a client, -b never
    // write to it; without -G it listens on loopback only.
    if (m_port == 0 || !m_process.Start({kGpsd, "-N", "-n", "-b", "-S", std::to_string(m_port), "-F",
                                         m_folder + "gpsd.sock", "-P", m_folder + "gpsd.pid", device},
                                        {}, m_folder + "gpsd.out", m_folder + "gpsd.err"))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!m_process.Running())
            return false;
        if (Answers(m_port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void GpsdServer::Stop()
{
    if (!m_process.Running())
        return;
    m_process.Signal(SIGTERM);
    if (!m_process.Wait(std::chrono::seconds(10), nullptr)) {
        m_process.Signal(SIGKILL);
        m_process.Wait(std::chrono::seconds(10), nullptr);
    }
}
