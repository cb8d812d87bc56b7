#include "support/GpsdStandIn.h"

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "support/NmeaStream.h"

GpsdStandIn::GpsdStandIn()
{
    if (Listen())
        m_thread = std::thread([this] { Run(); });
}

GpsdStandIn::~GpsdStandIn()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
}

// On the port of the first listen again after a refusing spell.
bool GpsdStandIn::Listen()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(m_port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (::bind(m_listener, any, size) == 0 && ::listen(m_listener, 4) == 0 && ::getsockname(m_listener, any, &size) == 0) {
        m_port = ntohs(address.sin_port);
        return true;
    }
    ::close(m_listener);
    m_listener = -1;
    return false;
}

void GpsdStandIn::Run()
{
    const std::string gga = NmeaSentence("GPGGA,143005.00,5230.0000,N,01320.0000,E,1,07,1.1,35.0,M,40.0,M,,");
    std::string flood;
    for (int i = 0; i < 40; ++i)
        flood += std::string(99, 'x') + "\n";
    int client = -1;
    while (!m_stop) {
        const Mode mode = m_mode;
        if (mode == Mode::Refuse) {
            for (int* fd : {&client, &m_listener}) {
                if (*fd >= 0)
                    ::close(*fd);
                *fd = -1;
            }
        } else if (m_listener < 0 && !Listen()) {
            ::poll(nullptr, 0, 20);
            continue;
        }
        const short out = mode == Mode::Flood ? POLLOUT : 0;
        pollfd set[2] = {{m_listener, POLLIN, 0}, {client, static_cast<short>(POLLIN | out), 0}};
        // A talking stand-in sends at each 100 ms time-out.
        if (::poll(set, 2, mode == Mode::Talk ? 100 : 20) == 0 && mode == Mode::Talk && client >= 0)
            ::send(client, gga.data(), gga.size(), MSG_NOSIGNAL);
        if (set[0].revents & POLLIN) {
            if (client >= 0)
                ::close(client);
            client = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            m_connections += client >= 0;
            continue;
        }
        char discard[512];
        const ssize_t got = (set[1].revents & (POLLIN | POLLHUP | POLLERR)) ? ::recv(client, discard, sizeof discard, 0) : 1;
        if (got == 0 || (got < 0 && errno != EAGAIN)) {
            ::close(client);
            client = -1;
        } else if (set[1].revents & POLLOUT) {
            ::send(client, flood.data(), flood.size(), MSG_NOSIGNAL);
        }
    }
    if (client >= 0)
        ::close(client);
}
