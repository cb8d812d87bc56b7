#include "corrections/NtripClient.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <csignal>
#include <poll.h>
#include <pthread.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Real tables run past 1 MiB; past this one is taken as it is, so a caster that
// never ends its table cannot hold the client for ever.
constexpr uint64_t kMaxSourcetable = 16u << 20;
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
    m_wantGga = Wish::Unknown;
    m_formatName.clear();
    m_bRaw = false;
    m_lastSaid.clear();
    m_opened.clear();
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

std::string CNtripClient::ListStreams(std::vector<NTRIP_STREAM> streams, const std::string& skip)
{
    if (!skip.empty())
        streams.erase(std::remove_if(streams.begin(), streams.end(),
                                     [&](const NTRIP_STREAM& s) { return s.mountpoint == skip; }),
                      streams.end());
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

bool CNtripClient::Pace()
{
    const auto now = Clock::now();
    m_opened.erase(std::remove_if(m_opened.begin(), m_opened.end(),
                                  [&](Clock::time_point t) { return now - t >= m_options.connectWindow; }),
                   m_opened.end());
    if (m_opened.size() >= static_cast<size_t>(kMaxConnectionsPerWindow)) {
        const auto wait = std::chrono::duration_cast<milliseconds>(m_opened.front() + m_options.connectWindow - now);
        if (!Sleep(wait))
            return false;
        m_opened.erase(m_opened.begin());
    }
    m_opened.push_back(Clock::now());
    return !Stopping();
}

void CNtripClient::SayOnce(const std::string& key, const std::string& line)
{
    if (m_lastSaid == key)
        return;
    m_lastSaid = key;
    Say(line);
}

bool CNtripClient::GgaNow(char (&sentence)[CGgaTap::kMaxSentence + 1], size_t& length) const
{
    const milliseconds maxAge(static_cast<int64_t>(std::max(0, m_options.nMaxAgeSeconds)) * 1000);
    if (m_gga != nullptr && m_gga->Latest(sentence, length, maxAge))
        return true;
    if (!m_options.bHavePosition)
        return false;
    length = PositionGga(m_options.dfLatitude, m_options.dfLongitude, m_options.dfHeight,
                         static_cast<long long>(std::time(nullptr)), sentence);
    return length > 0;
}

void CNtripClient::Run()
{
    // OpenSSL writes with write(), not send(MSG_NOSIGNAL): a caster gone in the
    // middle must fail the write, not end the program. Blocked for this thread only.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    const NTRIP_URL& url = m_options.url;
    const std::string& mount = url.mountpoint;
    const std::string where = NtripHostPort(url);
    milliseconds backoff = m_options.firstRetry;
    // The table says whether the mountpoint wants the receiver's position and
    // what it carries; it is asked for on every connection until one came.
    bool tableKnown = false;
    while (!Stopping()) {
        milliseconds streamed{0};
        SetState(NtripState::Connecting);
        Outcome o = Outcome::Lost;
        bool haveOutcome = false;
        if (!tableKnown || mount.empty()) {
            CSourcetableReader table(mount);
            o = Session("", table, &streamed);
            if (o == Outcome::Stopped)
                break;
            if (o == Outcome::Sourcetable) {
                tableKnown = true;
                if (const NTRIP_STREAM* wanted = table.Wanted()) {
                    m_wantGga = wanted->bNmea ? Wish::Yes : Wish::No;
                    m_formatName = wanted->format;
                    m_bRaw = IsRawFormat(wanted->format);
                }
                if (mount.empty()) {
                    SayOnce("nomount", "NTRIP: no mountpoint set; " + url.host + " offers " + ListStreams(table.Streams()));
                    SetState(NtripState::Refused);
                    haveOutcome = true;
                } else if (table.Wanted() == nullptr) {
                    // Hidden mountpoints, and tables too long to keep, are
                    // asked for all the same.
                    SayOnce("unlisted", "NTRIP: " + mount + " is not in " + url.host + "'s table; asking for it all the same");
                }
            } else if (o == Outcome::Unreachable || o == Outcome::TlsRefused || mount.empty()) {
                haveOutcome = true;
            }
        }
        const std::string retry = ", retrying in " + std::to_string((backoff.count() + 999) / 1000) + " s";
        if (!haveOutcome) {
            CSourcetableReader table(mount);
            o = Session(mount, table, &streamed);
            if (o == Outcome::Stopped)
                break;
            if (o == Outcome::Sourcetable && table.Wanted() != nullptr) {
                m_wantGga = table.Wanted()->bNmea ? Wish::Yes : Wish::No;
                tableKnown = true;
            }
            if (streamed >= m_options.streamedLong)
                backoff = m_options.firstRetry;
            if (streamed.count() > 0)
                m_lastSaid.clear();
            switch (o) {
            case Outcome::Unauthorized:
                SayOnce("401", "NTRIP: " + url.host + ": " + mount + " not authorised for user '" + url.user +
                                   "': check user and password" + retry);
                break;
            case Outcome::Sourcetable:
                SayOnce("table", "NTRIP: " + url.host + ": " + mount + " not offered now; it offers " +
                                     ListStreams(table.Streams(), mount) + retry);
                break;
            case Outcome::NotFound:
                SayOnce("404", "NTRIP: " + url.host + ": " + mount + " not found" + retry);
                break;
            case Outcome::Moved: {
                const std::string to(m_reply.MovedTo());
                SayOnce("moved", "NTRIP: " + url.host + ": " + mount + " moved to " +
                                     (to.empty() ? "another caster" : to) + "; not followed: set the new address" +
                                     retry);
                break;
            }
            case Outcome::Refused:
                SayOnce("refused", "NTRIP: caster " + url.host + " refused " + mount + " (status " +
                                       std::to_string(m_reply.Status()) + ")" + retry);
                break;
            case Outcome::NoData:
                Say("NTRIP: no data for " + std::to_string(m_options.noData.count() / 1000) + " s, reconnecting");
                m_lastSaid = "nodata";
                break;
            case Outcome::Lost:
                SayOnce("lost", "NTRIP: connection to " + url.host + " lost, retrying");
                break;
            default:
                break;
            }
            const bool refused = o == Outcome::Unauthorized || o == Outcome::Sourcetable ||
                                 o == Outcome::NotFound || o == Outcome::Moved || o == Outcome::Refused;
            SetState(refused ? NtripState::Refused : NtripState::Waiting);
        }
        if (o == Outcome::Unreachable) {
            SayOnce("unreachable",
                    "NTRIP: cannot reach " + where + (m_tlsReason.empty() ? "" : ": " + m_tlsReason) + retry);
            SetState(NtripState::Waiting);
        } else if (o == Outcome::TlsRefused) {
            SayOnce("tls", "NTRIP: TLS with " + where + " refused: " + m_tlsReason + retry);
            SetState(NtripState::Refused);
        } else if (mount.empty() && o != Outcome::Sourcetable) {
            SayOnce("notable", "NTRIP: no sourcetable from " + where + retry);
            SetState(NtripState::Waiting);
        }
        if (!Sleep(backoff))
            break;
        backoff = std::min(backoff * 2, m_options.maxRetry);
    }
}

CNtripClient::Outcome CNtripClient::Session(const std::string& mountpoint, CSourcetableReader& table,
                                            milliseconds* streamed)
{
    *streamed = milliseconds(0);
    if (!Pace())
        return Outcome::Stopped;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_status.connections;
    }
    m_tlsReason.clear();
    const CCasterConnection::Result opened =
        m_connection.Open(m_options.url, m_options.caFile, m_wake.Fd(), m_bStop, m_options.connectTimeout, m_tlsReason);
    if (opened == CCasterConnection::Result::Stopped)
        return Outcome::Stopped;
    if (opened == CCasterConnection::Result::Unreachable)
        return Stopping() ? Outcome::Stopped : Outcome::Unreachable;
    if (opened == CCasterConnection::Result::TlsRefused)
        return Outcome::TlsRefused;
    NTRIP_URL url = m_options.url;
    url.mountpoint = mountpoint;
    const std::string request = NtripRequest(url, m_options.version);
    if (!m_connection.WriteAll(request.data(), request.size(), m_wake.Fd(), m_bStop)) {
        m_connection.Close();
        return Stopping() ? Outcome::Stopped : Outcome::Lost;
    }
    m_reply.Reset();
    m_framer.Reset();
    m_table = &table;
    m_bSaidStreaming = false;
    m_bSaidBase = false;
    m_sessionBytes = 0;
    m_sessionFrames = 0;

    const int ggaSeconds =
        m_options.nGgaSeconds < 0 ? (m_wantGga == Wish::Yes ? kDefaultGgaSeconds : 0) : m_options.nGgaSeconds;
    bool gga = !mountpoint.empty() && ggaSeconds > 0;
    // A caster of a virtual reference station sends nothing until it has a
    // position, whatever its table said (or when no table came).
    const bool silentGga = !mountpoint.empty() && m_options.nGgaSeconds != 0;
    const auto ggaEvery = std::chrono::seconds(gga ? ggaSeconds : kDefaultGgaSeconds);
    const auto start = Clock::now();
    auto nextGga = start;
    auto nextStatus = start + m_options.statusEvery;
    uint64_t bytesAtStatus = 0;
    bool warnedNoFrame = false;
    Clock::time_point firstData{};
    m_lastData = start;

    Outcome outcome = Outcome::Lost;
    uint8_t buffer[4096];
    for (;;) {
        if (Stopping()) {
            outcome = Outcome::Stopped;
            break;
        }
        const auto now = Clock::now();
        const bool stream = m_reply.Kind() == NtripReplyKind::Stream;
        if (!gga && silentGga && stream && !m_bSaidStreaming && now - start >= m_options.silentGga) {
            gga = true;
            nextGga = now;
        }
        if (gga && now >= nextGga) {
            char sentence[CGgaTap::kMaxSentence + 1];
            size_t length = 0;
            const bool have = GgaNow(sentence, length);
            if (have && !m_connection.WriteAll(sentence, length, m_wake.Fd(), m_bStop))
                break;
            // No fix yet: the first one goes up the moment it comes, not a period later.
            nextGga = now + (have ? milliseconds(ggaEvery) : std::min<milliseconds>(ggaEvery, std::chrono::seconds(1)));
        }
        if (now - m_lastData >= m_options.noData) {
            outcome = Outcome::NoData;
            break;
        }
        if (stream && !m_bRaw && !warnedNoFrame && m_sessionFrames == 0 && m_sessionBytes > 0 &&
            now - start >= m_options.noFrame) {
            Say("NTRIP: " + mountpoint + " sent " + std::to_string(m_sessionBytes) + " bytes in " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - start).count()) +
                " s and no RTCM 3 frame: is it RTCM 3?");
            warnedNoFrame = true;
        }
        if (stream && now >= nextStatus) {
            const NTRIP_STATUS s = Status();
            const double rate = static_cast<double>(s.bytes - bytesAtStatus) /
                                std::chrono::duration<double>(m_options.statusEvery).count();
            bytesAtStatus = s.bytes;
            char line[200];
            if (m_bRaw)
                std::snprintf(line, sizeof line, "NTRIP: %s %.0f B/s relayed as raw bytes, %llu pieces dropped",
                              mountpoint.c_str(), rate, static_cast<unsigned long long>(s.dropped));
            else if (s.lastFrameAge < 0 || m_sessionFrames == 0)
                std::snprintf(line, sizeof line, "NTRIP: %s %.0f B/s, no RTCM 3 frame yet, %llu frames dropped",
                              mountpoint.c_str(), rate, static_cast<unsigned long long>(s.dropped));
            else
                std::snprintf(line, sizeof line, "NTRIP: %s %.0f B/s, last frame %.1f s ago, %llu frames dropped",
                              mountpoint.c_str(), rate, s.lastFrameAge, static_cast<unsigned long long>(s.dropped));
            Say(line);
            nextStatus = now + m_options.statusEvery;
        }
        auto wake = std::min(m_lastData + m_options.noData, nextStatus);
        if (gga)
            wake = std::min(wake, nextGga);
        else if (silentGga)
            wake = std::min(wake, start + m_options.silentGga);
        if (!warnedNoFrame && m_sessionBytes > 0)
            wake = std::min(wake, start + m_options.noFrame);
        const bool pending = m_connection.Pending();
        pollfd p[2] = {{m_connection.Fd(), POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        const int ready = pending ? 1 : ::poll(p, p[1].fd >= 0 ? 2 : 1, std::max(1, MsUntil(wake)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0 || (!pending && (p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0))
            continue;
        const ssize_t n = m_connection.Read(buffer, sizeof buffer);
        if (n == 0)
            continue;
        if (n < 0) {
            outcome = m_reply.Kind() == NtripReplyKind::Sourcetable ? Outcome::Sourcetable : Outcome::Lost;
            break;
        }
        const bool wasPending = m_reply.Kind() == NtripReplyKind::Pending;
        const bool good = m_reply.Feed(buffer, static_cast<size_t>(n), *this);
        const NtripReplyKind kind = m_reply.Kind();
        if (wasPending && kind == NtripReplyKind::Stream && !mountpoint.empty() && !m_bSaidStreaming)
            Say("NTRIP: connected to " + m_options.url.host + ", waiting for " + mountpoint);
        if (m_sessionBytes > 0 && firstData == Clock::time_point{})
            firstData = Clock::now();
        if (kind == NtripReplyKind::Unauthorized) {
            outcome = Outcome::Unauthorized;
            break;
        }
        if (kind == NtripReplyKind::NotFound) {
            outcome = Outcome::NotFound;
            break;
        }
        if (kind == NtripReplyKind::Moved) {
            outcome = Outcome::Moved;
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
        if (kind == NtripReplyKind::Sourcetable && (table.Ended() || table.Bytes() > kMaxSourcetable)) {
            outcome = Outcome::Sourcetable;
            break;
        }
        if (kind == NtripReplyKind::Stream && mountpoint.empty()) {
            outcome = Outcome::Refused; // a stream where the table was asked for
            break;
        }
    }
    if (firstData != Clock::time_point{} && (m_sessionFrames > 0 || m_bRaw))
        *streamed = std::chrono::duration_cast<milliseconds>(Clock::now() - firstData);
    m_table = nullptr;
    m_connection.Close();
    if (outcome != Outcome::Stopped)
        SetState(NtripState::Waiting);
    return outcome;
}

void CNtripClient::OnBody(const uint8_t* data, size_t size)
{
    m_lastData = Clock::now();
    if (m_reply.Kind() == NtripReplyKind::Sourcetable) {
        if (m_table != nullptr)
            m_table->Feed(data, size);
        return;
    }
    m_sessionBytes += size;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_status.bytes += size;
    }
    if (!m_bRaw) {
        m_framer.Feed(data, size, *this);
        return;
    }
    // RTCM 2, CMR: the receiver decodes them; they go on as they came. The
    // blank line that ends a 1.0 caster's head comes first in the body: RTCM 2
    // bytes are 0x40-0x7F and CMR starts with STX, so no stream begins with CR or LF.
    while (m_sessionBytes == size && size > 0 && (data[0] == '\r' || data[0] == '\n')) {
        ++data;
        --size;
        --m_sessionBytes;
    }
    if (size == 0)
        return;
    for (size_t at = 0; at < size; at += kRtcmMaxFrame)
        m_relay.Push(data + at, std::min(kRtcmMaxFrame, size - at));
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lastFrame = Clock::now();
        m_bHaveFrame = true;
        m_status.state = NtripState::Streaming;
        m_status.format = NtripFormat::Raw;
    }
    if (!m_bSaidStreaming) {
        m_bSaidStreaming = true;
        Say("NTRIP: streaming " + m_options.url.mountpoint + ", " + m_formatName + ", relayed as raw bytes");
    }
}

void CNtripClient::OnRtcmFrame(const uint8_t* frame, size_t size)
{
    m_relay.Push(frame, size);
    const uint16_t type = RtcmMessageType(frame, size);
    RTCM_STATION station;
    const bool isStation = DecodeStationPosition(frame + 3, size - 6, station);
    ++m_sessionFrames;
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
