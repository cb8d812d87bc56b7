#include "corrections/NtripClient.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A sourcetable is a few hundred lines; the cap keeps a caster that never ends
// one from growing it for ever.
constexpr size_t kMaxSourcetable = 1u << 20;
constexpr int kDefaultGgaSeconds = 10;
constexpr size_t kListedStreams = 8;

int MsUntil(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

std::string Km(double metres)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f km", metres / 1000.0);
    return text;
}

// Writes all of text within a bound; false when the caster does not take it.
bool SendAll(int fd, const char* text, size_t size)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (size > 0) {
        const ssize_t n = ::send(fd, text, size, MSG_NOSIGNAL);
        if (n > 0) {
            text += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, MsUntil(deadline)) <= 0)
            return false;
    }
    return true;
}

} // namespace

CNtripClient::CNtripClient(INtripOwner& owner, CRtcmRelay& relay, const CGgaTap* gga)
    : m_owner(owner), m_relay(relay), m_gga(gga)
{
}

CNtripClient::~CNtripClient() { Stop(); }

void CNtripClient::Start(const NTRIP_OPTIONS& options)
{
    if (m_thread.joinable())
        return;
    m_options = options;
    m_bStop = false;
    m_wake.Take();
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_status = NTRIP_STATUS{};
        m_status.state = NtripState::Connecting;
        m_bHaveFrame = false;
    }
    m_thread = std::thread(&CNtripClient::Run, this);
}

void CNtripClient::Stop()
{
    m_bStop = true;
    m_wake.Raise();
    if (!m_thread.joinable())
        return;
    m_thread.join();
    SetState(NtripState::Off);
    // The census of the run, for the crew's record of what the receiver got.
    const NTRIP_STATUS s = Status();
    if (s.frames == 0)
        return;
    std::vector<std::pair<uint16_t, uint64_t>> census = s.census;
    std::sort(census.begin(), census.end());
    std::string line = "NTRIP: " + m_options.url.mountpoint + " " + std::to_string(s.frames) + " frames (";
    for (size_t i = 0; i < census.size(); ++i)
        line += (i > 0 ? ", " : "") + std::to_string(census[i].first) + ": " + std::to_string(census[i].second);
    line += "), " + std::to_string(s.badCrc) + " bad CRC, " + std::to_string(s.dropped) + " dropped";
    Say(line);
}

NTRIP_STATUS CNtripClient::Status() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    NTRIP_STATUS status = m_status;
    status.dropped = m_relay.FramesDropped();
    if (m_bHaveFrame)
        status.lastFrameAge = std::chrono::duration<double>(Clock::now() - m_lastFrame).count();
    return status;
}

void CNtripClient::Say(const std::string& line)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_status.line = line;
    }
    m_owner.OnNtripLine(line);
}

void CNtripClient::SetState(NtripState state)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_status.state = state;
}

bool CNtripClient::Sleep(milliseconds wait)
{
    const auto until = Clock::now() + wait;
    while (!Stopping()) {
        const int left = MsUntil(until);
        if (left == 0)
            return true;
        pollfd p{m_wake.Fd(), POLLIN, 0};
        ::poll(&p, p.fd >= 0 ? 1 : 0, std::min(left, 1000));
    }
    return false;
}

std::string CNtripClient::ListStreams(std::vector<NTRIP_STREAM> streams)
{
    double lat = 0, lon = 0, height = 0;
    const bool fix = m_owner.CurrentFix(lat, lon, height);
    if (fix)
        SortByDistance(streams, lat, lon);
    std::string text;
    for (size_t i = 0; i < streams.size() && i < kListedStreams; ++i) {
        if (i > 0)
            text += ", ";
        text += streams[i].mountpoint;
        if (fix && streams[i].bHasPosition) {
            double x1, y1, z1, x2, y2, z2;
            GeodeticToEcef(lat, lon, 0, x1, y1, z1);
            GeodeticToEcef(streams[i].dfLatitude, streams[i].dfLongitude, 0, x2, y2, z2);
            text += " (" + Km(std::hypot(x1 - x2, y1 - y2, z1 - z2)) + ")";
        }
    }
    if (streams.size() > kListedStreams)
        text += " and " + std::to_string(streams.size() - kListedStreams) + " more";
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_status.streams = std::move(streams);
    }
    return text.empty() ? "none" : text;
}

void CNtripClient::Run()
{
    const NTRIP_URL& url = m_options.url;
    const std::string& mount = url.mountpoint;
    milliseconds backoff = m_options.firstRetry;
    bool checked = false;
    bool said401 = false;
    std::string lastFault;
    std::string table;
    while (!Stopping()) {
        bool streamed = false;
        SetState(NtripState::Connecting);
        if (!checked) {
            // The sourcetable says whether the mountpoint exists and whether it
            // wants the receiver's position.
            const Outcome o = Session("", &table, &streamed);
            if (o == Outcome::Stopped)
                break;
            if (o == Outcome::Sourcetable) {
                const std::vector<NTRIP_STREAM> streams = ParseSourcetable(table);
                const auto it = std::find_if(streams.begin(), streams.end(),
                                             [&](const NTRIP_STREAM& s) { return s.mountpoint == mount; });
                if (mount.empty() || (it == streams.end() && !streams.empty())) {
                    const std::string list = ListStreams(streams);
                    Say(mount.empty() ? "NTRIP: no mountpoint set; " + url.host + " offers " + list
                                      : "NTRIP: " + url.host + " has no mountpoint " + mount + "; it offers " + list);
                    SetState(NtripState::Refused);
                    Sleep(m_options.refusedRetry);
                    continue;
                }
                m_bWantGga = it != streams.end() && it->bNmea;
                checked = true;
            } else if (mount.empty()) {
                if (lastFault != "table") {
                    Say("NTRIP: no sourcetable from " + url.host + ":" + std::to_string(url.nPort) + ", retrying");
                    lastFault = "table";
                }
                SetState(NtripState::Waiting);
                Sleep(backoff);
                backoff = std::min(backoff * 2, m_options.maxRetry);
                continue;
            } else {
                // A caster that keeps its table to itself may still serve the stream.
                checked = true;
            }
        }

        const Outcome o = Session(mount, &table, &streamed);
        if (streamed) {
            backoff = m_options.firstRetry;
            said401 = false;
            lastFault.clear();
        }
        switch (o) {
        case Outcome::Stopped:
            return;
        case Outcome::Unauthorized:
            if (!said401)
                Say("NTRIP: caster refused user '" + url.user + "' for " + mount + ": check user and password");
            said401 = true;
            SetState(NtripState::Refused);
            Sleep(m_options.refusedRetry);
            continue;
        case Outcome::Sourcetable:
            Say("NTRIP: mountpoint " + mount + " is gone from " + url.host + "; it offers " +
                ListStreams(ParseSourcetable(table)));
            checked = false;
            SetState(NtripState::Refused);
            Sleep(m_options.refusedRetry);
            continue;
        case Outcome::NoData:
            Say("NTRIP: no data for " + std::to_string(m_options.noData.count() / 1000) + " s, reconnecting");
            lastFault = "nodata";
            break;
        case Outcome::Unreachable:
            if (lastFault != "unreachable")
                Say("NTRIP: cannot reach " + url.host + ":" + std::to_string(url.nPort) + ", retrying");
            lastFault = "unreachable";
            break;
        case Outcome::Refused:
        case Outcome::Lost:
            if (lastFault.empty() || lastFault == "unreachable" || streamed) {
                Say(o == Outcome::Refused ? "NTRIP: caster " + url.host + " refused " + mount + ", retrying"
                                          : "NTRIP: connection to " + url.host + " lost, retrying");
            }
            lastFault = "lost";
            break;
        }
        SetState(NtripState::Waiting);
        Sleep(backoff);
        backoff = std::min(backoff * 2, m_options.maxRetry);
    }
}

int CNtripClient::Connect()
{
    const NTRIP_URL& url = m_options.url;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(url.host.c_str(), std::to_string(url.nPort).c_str(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0 && !Stopping(); a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            break;
        bool ok = false;
        if (errno == EINPROGRESS) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {m_wake.Fd(), POLLIN, 0}};
            const int ready = ::poll(p, p[1].fd >= 0 ? 2 : 1, static_cast<int>(m_options.connectTimeout.count()));
            int error = 0;
            socklen_t length = sizeof error;
            ok = ready > 0 && (p[0].revents & POLLOUT) &&
                 ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        if (!ok) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

void CNtripClient::SendGga(int fd)
{
    if (m_gga == nullptr)
        return;
    char sentence[CGgaTap::kMaxSentence + 1];
    size_t length = 0;
    if (m_gga->Latest(sentence, length))
        SendAll(fd, sentence, length);
}

CNtripClient::Outcome CNtripClient::Session(const std::string& mountpoint, std::string* sourcetable, bool* streamed)
{
    *streamed = false;
    const int fd = Connect();
    if (fd < 0)
        return Stopping() ? Outcome::Stopped : Outcome::Unreachable;
    NTRIP_URL url = m_options.url;
    url.mountpoint = mountpoint;
    const std::string request = NtripRequest(url, m_options.version);
    if (!SendAll(fd, request.data(), request.size())) {
        ::close(fd);
        return Outcome::Lost;
    }
    m_reply.Reset();
    m_framer.Reset();
    sourcetable->clear();
    m_sourcetable = sourcetable;
    m_bSaidStreaming = false;
    m_bSaidBase = false;

    const int ggaSeconds = m_options.nGgaSeconds < 0 ? (m_bWantGga ? kDefaultGgaSeconds : 0) : m_options.nGgaSeconds;
    const bool gga = !mountpoint.empty() && ggaSeconds > 0;
    const auto ggaEvery = std::chrono::seconds(ggaSeconds);
    auto nextGga = Clock::now();
    auto nextStatus = Clock::now() + m_options.statusEvery;
    uint64_t bytesAtStatus = 0;
    m_lastData = Clock::now();

    Outcome outcome = Outcome::Lost;
    uint8_t buffer[4096];
    for (;;) {
        if (Stopping()) {
            outcome = Outcome::Stopped;
            break;
        }
        const auto now = Clock::now();
        if (gga && now >= nextGga) {
            SendGga(fd);
            nextGga = now + ggaEvery;
        }
        if (now - m_lastData >= m_options.noData) {
            outcome = Outcome::NoData;
            break;
        }
        if (m_reply.Kind() == NtripReplyKind::Stream && now >= nextStatus) {
            const NTRIP_STATUS s = Status();
            const double rate = static_cast<double>(s.bytes - bytesAtStatus) /
                                std::chrono::duration<double>(m_options.statusEvery).count();
            bytesAtStatus = s.bytes;
            char line[160];
            std::snprintf(line, sizeof line, "NTRIP: %s %.0f B/s, last frame %.1f s ago, %llu frames dropped",
                          mountpoint.c_str(), rate, s.lastFrameAge < 0 ? 0.0 : s.lastFrameAge,
                          static_cast<unsigned long long>(s.dropped));
            Say(line);
            nextStatus = now + m_options.statusEvery;
        }
        auto wake = m_lastData + m_options.noData;
        if (gga)
            wake = std::min(wake, nextGga);
        wake = std::min(wake, nextStatus);
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        const int ready = ::poll(p, p[1].fd >= 0 ? 2 : 1, std::max(1, MsUntil(wake)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0 || (p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            outcome = m_reply.Kind() == NtripReplyKind::Sourcetable ? Outcome::Sourcetable : Outcome::Lost;
            break;
        }
        const bool wasPending = m_reply.Kind() == NtripReplyKind::Pending;
        const bool good = m_reply.Feed(buffer, static_cast<size_t>(n), *this);
        const NtripReplyKind kind = m_reply.Kind();
        if (wasPending && kind == NtripReplyKind::Stream && !mountpoint.empty() && !m_bSaidStreaming)
            Say("NTRIP: connected to " + m_options.url.host + ", waiting for " + mountpoint);
        *streamed = *streamed || m_bSaidStreaming;
        if (kind == NtripReplyKind::Unauthorized) {
            outcome = Outcome::Unauthorized;
            break;
        }
        if (kind == NtripReplyKind::Refused) {
            outcome = Outcome::Refused;
            break;
        }
        if (!good || m_reply.Ended()) {
            outcome = kind == NtripReplyKind::Sourcetable ? Outcome::Sourcetable : Outcome::Lost;
            break;
        }
        if (kind == NtripReplyKind::Sourcetable && sourcetable->find("ENDSOURCETABLE") != std::string::npos) {
            outcome = Outcome::Sourcetable;
            break;
        }
        if (kind == NtripReplyKind::Stream && mountpoint.empty()) {
            outcome = Outcome::Refused; // a stream where the table was asked for
            break;
        }
    }
    m_sourcetable = nullptr;
    ::close(fd);
    if (outcome != Outcome::Stopped)
        SetState(NtripState::Waiting);
    return outcome;
}

void CNtripClient::OnBody(const uint8_t* data, size_t size)
{
    if (m_reply.Kind() == NtripReplyKind::Sourcetable) {
        if (m_sourcetable != nullptr && m_sourcetable->size() + size <= kMaxSourcetable)
            m_sourcetable->append(reinterpret_cast<const char*>(data), size);
        return;
    }
    m_lastData = Clock::now();
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_status.bytes += size;
    }
    m_framer.Feed(data, size, *this);
}

void CNtripClient::OnRtcmFrame(const uint8_t* frame, size_t size)
{
    m_relay.Push(frame, size);
    const uint16_t type = RtcmMessageType(frame, size);
    RTCM_STATION station;
    const bool isStation = DecodeStationPosition(frame + 3, size - 6, station);
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_status.frames;
        m_lastFrame = Clock::now();
        m_bHaveFrame = true;
        m_status.state = NtripState::Streaming;
        auto it = std::find_if(m_status.census.begin(), m_status.census.end(),
                               [type](const auto& entry) { return entry.first == type; });
        if (it == m_status.census.end())
            m_status.census.emplace_back(type, 1);
        else
            ++it->second;
        if (isStation) {
            m_status.station = station;
            m_status.haveStation = true;
        }
    }
    double lat = 0, lon = 0, height = 0;
    if (!m_bSaidStreaming || (isStation && !m_bSaidBase && m_owner.CurrentFix(lat, lon, height)))
        StreamingLine();
}

void CNtripClient::StreamingLine()
{
    RTCM_STATION station;
    bool have = false;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        station = m_status.station;
        have = m_status.haveStation;
    }
    std::string line = "NTRIP: streaming " + m_options.url.mountpoint + ", RTCM 3";
    double lat = 0, lon = 0, height = 0;
    if (have && m_owner.CurrentFix(lat, lon, height)) {
        double x, y, z;
        GeodeticToEcef(lat, lon, height, x, y, z);
        const double baseline = std::hypot(x - station.dfX, y - station.dfY, z - station.dfZ);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_status.baselineKm = baseline / 1000.0;
        }
        line += ", base " + Km(baseline);
        m_bSaidBase = true;
    }
    m_bSaidStreaming = true;
    Say(line);
}

void CNtripClient::OnRtcmBadCrc()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_status.badCrc;
}
