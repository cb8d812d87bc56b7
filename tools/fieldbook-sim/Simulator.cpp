#include "Simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

#include "GpsSide.h"
#include "LocatorSide.h"
#include "WalkTrack.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

bool InstallSignals()
{
    if (::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

double UnixNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct LOOP_FDS {
    pollfd fds[5];
    int count = 0;
    int Add(int fd, short events)
    {
        if (fd < 0)
            return -1;
        fds[count] = pollfd{fd, events, 0};
        return count++;
    }
    short Events(int index) const { return index < 0 ? 0 : fds[index].revents; }
};

} // namespace

int CSimulator::Run()
{
    m_summary.bGps = m_options.bGps;
    m_summary.bLocator = m_options.bLocator;
    if (!InstallSignals()) {
        std::fprintf(stderr, "fieldbook-sim: cannot set up signal handling\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };

    const CWalkTrack track(m_options.dfStartLat, m_options.dfStartLon, m_options.dfHeading, m_options.dfSpeed,
                           m_options.dfFixLossEvery, m_options.dfFixLossFor);
    std::unique_ptr<CGpsSide> gps;
    std::unique_ptr<CLocatorSide> locator;
    std::string error;
    if (m_options.bGps) {
        gps = std::make_unique<CGpsSide>(m_options, track);
        if (!gps->Open(error)) {
            std::fprintf(stderr, "fieldbook-sim: %s\n", error.c_str());
            return 1;
        }
        if (!m_options.bQuiet)
            std::fprintf(stderr, "fieldbook-sim: GPS receiver on %s -> %s\n", gps->Port().LinkPath().c_str(),
                         gps->Port().SlavePath().c_str());
    }
    if (m_options.bLocator) {
        locator = std::make_unique<CLocatorSide>(m_options, track, gps.get(), m_summary);
        if (!locator->Open(elapsed(), error)) {
            std::fprintf(stderr, "fieldbook-sim: %s\n", error.c_str());
            return 1;
        }
    }

    bool stop = false;
    double now = elapsed();
    while (!stop) {
        now = elapsed();
        const double unixTime = UnixNow();
        if (gps)
            gps->Tick(now, unixTime);
        if (locator) {
            locator->Tick(now, unixTime);
            if (locator->Done())
                break;
        } else if (m_options.dfDuration > 0.0 && now >= m_options.dfDuration) {
            break;
        }

        double wait = 1.0;
        if (gps)
            wait = std::min(wait, gps->NextDue(now));
        if (locator)
            wait = std::min(wait, locator->NextDue(now));
        if (!locator && m_options.dfDuration > 0.0)
            wait = std::min(wait, std::max(0.0, m_options.dfDuration - now));

        LOOP_FDS loop;
        const int sig = loop.Add(g_signalPipe[0], POLLIN);
        int gpsMaster = -1, gpsWatch = -1, btMaster = -1, btWatch = -1;
        if (gps) {
            gpsMaster = loop.Add(gps->Port().MasterFd(), static_cast<short>(POLLIN | (gps->WantsWrite() ? POLLOUT : 0)));
            gpsWatch = loop.Add(gps->Port().WatchFd(), POLLIN);
        }
        if (locator) {
            btMaster = loop.Add(locator->Port().MasterFd(),
                                static_cast<short>(POLLIN | (locator->WantsWrite() ? POLLOUT : 0)));
            btWatch = loop.Add(locator->Port().WatchFd(), POLLIN);
        }
        // Round up so that a due time is never polled for as 0 ms again and again.
        const int timeoutMs = static_cast<int>(std::ceil(wait * 1000.0));
        if (::poll(loop.fds, static_cast<nfds_t>(loop.count), timeoutMs) < 0)
            continue; // EINTR: the signal pipe tells the rest

        now = elapsed();
        if (loop.Events(sig) & POLLIN)
            stop = true;
        if (gps) {
            if ((loop.Events(gpsWatch) & POLLIN) && gps->Port().HandleWatchEvents()) {
                gps->OnPeerChange(now);
                if (!m_options.bQuiet)
                    std::fprintf(stderr, "fieldbook-sim: %s %s\n", gps->Port().LinkPath().c_str(),
                                 gps->Port().PeerOpen() ? "opened" : "closed");
            }
            if (loop.Events(gpsMaster) & POLLIN)
                gps->DrainInput();
            if (loop.Events(gpsMaster) & POLLOUT)
                gps->OnWritable();
        }
        if (locator) {
            if ((loop.Events(btWatch) & POLLIN) && locator->Port().HandleWatchEvents() && locator->Port().PeerOpen())
                locator->Port().FlushToSlave();
            if (loop.Events(btMaster) & POLLIN)
                locator->OnReadable(now);
            if (loop.Events(btMaster) & POLLOUT)
                locator->OnWritable(now);
        }
    }

    if (locator)
        locator->Finish(elapsed());
    if (gps) {
        m_summary.nGpsSentences = gps->Sentences();
        m_summary.nGpsDropped = gps->DroppedEpochs();
    }
    if (locator)
        locator->Close();
    if (gps)
        gps->Close();
    const std::string summary = FormatSummary(m_summary, m_options.bTolerateUnanswered);
    std::fputs(summary.c_str(), stdout);
    std::fflush(stdout);
    return SummaryExitCode(m_summary, m_options.bTolerateUnanswered);
}
