#include "support/XvfbServer.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";

} // namespace

XvfbServer::~XvfbServer()
{
    Stop();
}

bool XvfbServer::Start(int width, int height, std::string& why)
{
    if (::access(kXvfb, X_OK) != 0) {
        why = "no Xvfb (Debian package xvfb)";
        return false;
    }
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        why = "no pipe";
        return false;
    }
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const std::string displayFd = std::to_string(pipeFds[1]);
    const std::string fbdir = m_dir.Path();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        why = "fork failed";
        return false;
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execl(kXvfb, kXvfb, "-displayfd", displayFd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
                "tcp", "-fbdir", fbdir.c_str(), "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    m_pid = pid;
    ::close(pipeFds[1]);
    // The server writes its display number and a line feed once it is ready.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c = 0;
        const ssize_t n = ::read(pipeFds[0], &c, 1);
        if (n <= 0)
            break;
        if (c == '\n')
            break;
        number += c;
    }
    ::close(pipeFds[0]);
    if (number.empty()) {
        Stop();
        why = "Xvfb did not report a display";
        return false;
    }
    m_display = ":" + number;
    return true;
}

void XvfbServer::Stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}
