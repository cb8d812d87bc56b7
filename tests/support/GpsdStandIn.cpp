#include "support/GpsdStandIn.h"

#include <cerrno>
#include <chrono>
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
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(m_port));
    socklen_t size = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    return true;
}

void GpsdStandIn::Run()
{
    using Clock = std::chrono::steady_clock;
    const std::string gga = NmeaSentence("GPGGA,143005.00,5230.0000,N,01320.0000,E,1,07,1.1,35.0,M,40.0,M,,");
    std::string flood;
    for (int i = 0; i < 40; ++i)
        flood += std::string(99, 'x') + "\n";
    int client = -1;
    auto nextTalk = Clock::now();
    while (!m_stop) {
        const Mode mode = m_mode;
        if (mode == Mode::Refuse) {
            for (int* fd : {&client, &m_listener}) {
                if (*fd >= 0)
                    ::close(*fd);
                *fd = -1;
            }
        } else if (m_listener < 0 && !Listen()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd set[2] = {{m_listener, POLLIN, 0}, {client, static_cast<short>(POLLIN | (mode == Mode::Flood ? POLLOUT : 0)), 0}};
        if (::poll(set, 2, 20) <= 0 && mode != Mode::Talk)
            continue;
        if (m_listener >= 0 && (set[0].revents & POLLIN)) {
            if (client >= 0)
                ::close(client);
            client = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            m_connections += client >= 0;
        }
        if (client < 0)
            continue;
        char discard[512];
        const ssize_t got = (set[1].revents & (POLLIN | POLLHUP | POLLERR)) ? ::recv(client, discard, sizeof discard, 0) : 1;
        if (got == 0 || (got < 0 && errno != EAGAIN)) {
            ::close(client);
            client = -1;
            continue;
        }
        if (mode == Mode::Flood && (set[1].revents & POLLOUT)) {
            ::send(client, flood.data(), flood.size(), MSG_NOSIGNAL);
        } else if (mode == Mode::Talk && Clock::now() >= nextTalk) {
            ::send(client, gga.data(), gga.size(), MSG_NOSIGNAL);
            nextTalk = Clock::now() + std::chrono::milliseconds(100);
        }
    }
    if (client >= 0)
        ::close(client);
}
