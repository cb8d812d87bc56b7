#include "GpsSide.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "NmeaSentences.h"

namespace {
// How long written GGA reports are kept for matching replies.
constexpr double kHistorySeconds = 60.0;
} // namespace

CGpsSide::CGpsSide(const SIM_OPTIONS& options, const CWalkTrack& track) : m_options(options), m_track(track) {}

CGpsSide::~CGpsSide()
{
    if (m_record >= 0)
        ::close(m_record);
}

bool CGpsSide::Open(std::string& error)
{
    if (!m_options.recordGpsInput.empty() && m_record < 0) {
        m_record = ::open(m_options.recordGpsInput.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_record < 0) {
            error = "cannot write " + m_options.recordGpsInput;
            return false;
        }
    }
    return m_port.Create(m_options.portsDir, m_options.nGpsPort, error);
}

bool CGpsSide::FeedsFixes() const
{
    return m_port.IsCreated() && (m_options.talker == "GP" || m_options.bAnyTalker) &&
           (m_options.dwSentences & NMEA_GGA) != 0;
}

void CGpsSide::OnPeerChange(double now)
{
    m_pendingLength = 0;
    if (m_port.PeerOpen()) {
        m_port.FlushToSlave();
        m_nextEpoch = now;
    }
}

double CGpsSide::NextDue(double now) const
{
    if (!m_port.PeerOpen() || (m_options.dfSilentAfter > 0.0 && now >= m_options.dfSilentAfter))
        return 3600.0;
    return std::max(0.0, m_nextEpoch - now);
}

void CGpsSide::Tick(double now, double unixTime)
{
    if (!m_port.IsCreated() || !m_port.PeerOpen())
        return;
    Flush();
    // A receiver that hangs: nothing more, and the port stays as it is.
    if (m_options.dfSilentAfter > 0.0 && now >= m_options.dfSilentAfter)
        return;
    if (now < m_nextEpoch)
        return;
    const double period = 1.0 / m_options.dfRateHz;
    // Epochs missed while the loop was busy are skipped, not sent in a burst.
    while (m_nextEpoch <= now)
        m_nextEpoch += period;
    ++m_epoch;

    GPS_SAMPLE sample = m_track.Sample(now, unixTime);
    ApplyQualityPlan(m_options.qualityPlan, now, sample);
    const int wholeSecond = static_cast<int>(std::floor(unixTime));
    const bool firstOfSecond = wholeSecond != m_lastWholeSecond;
    m_lastWholeSecond = wholeSecond;
    const uint32_t sentences = m_options.dwSentences | (m_options.qualityPlan.empty() ? 0u : NMEA_GST);
    std::string text = EpochText(m_options.talker, sample, sentences, firstOfSecond);
    if (m_options.bLfOnly)
        std::erase(text, '\r');
    if (m_pendingLength + text.size() > sizeof m_pending) {
        ++m_dropped;
        return;
    }
    std::memcpy(m_pending + m_pendingLength, text.data(), text.size());
    m_pendingLength += text.size();
    m_sentences += static_cast<uint64_t>(std::count(text.begin(), text.end(), '$'));
    if (m_options.dwSentences & NMEA_GGA) {
        m_history.push_back(sample);
        // Trimmed in batches so that an epoch does not shift the whole history.
        if (m_history.size() > 1 && m_history.front().dfElapsed < now - 2 * kHistorySeconds) {
            const auto keep = std::find_if(m_history.begin(), m_history.end(),
                                           [now](const GPS_SAMPLE& s) { return s.dfElapsed >= now - kHistorySeconds; });
            m_history.erase(m_history.begin(), keep - 1);
        }
    }
    Flush();
}

void CGpsSide::Flush()
{
    while (m_pendingLength > 0) {
        const ssize_t n = ::write(m_port.MasterFd(), m_pending, m_pendingLength);
        if (n <= 0)
            return; // EAGAIN: the rest goes when the port can take it
        std::memmove(m_pending, m_pending + n, m_pendingLength - static_cast<size_t>(n));
        m_pendingLength -= static_cast<size_t>(n);
    }
}

void CGpsSide::DrainInput()
{
    char sink[4096];
    ssize_t n = 0;
    while ((n = ::read(m_port.MasterFd(), sink, sizeof sink)) > 0) {
        for (ssize_t done = 0; m_record >= 0 && done < n;) {
            const ssize_t put = ::write(m_record, sink + done, static_cast<size_t>(n - done));
            if (put <= 0)
                break;
            done += put;
        }
    }
}

FIX_CANDIDATES CGpsSide::Candidates(double sentAt, double replyAt) const
{
    if (!FeedsFixes())
        return {};
    // A report is in the listener's hands some time after it was written: allow
    // two epochs (and at least two seconds) for the port and its reader.
    const double slack = std::max(2.0, 2.0 / m_options.dfRateHz);
    FIX_CANDIDATES candidates = SelectCandidates(m_history, sentAt, replyAt, slack);
    // Once the receiver is silent the listener may rightly have let its last fix go.
    if (m_options.dfSilentAfter > 0.0 && replyAt >= m_options.dfSilentAfter)
        candidates.samples.push_back(GPS_SAMPLE{});
    return candidates;
}
