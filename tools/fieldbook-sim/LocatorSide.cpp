#include "LocatorSide.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

#include "PacketScript.h"

namespace {
// Shortest wait for silence after a packet that earns no reply: long enough for
// a wrong reply to show up even when packets follow each other quickly.
constexpr double kMinSilence = 0.5;
} // namespace

CLocatorSide::CLocatorSide(const SIM_OPTIONS& options, const CWalkTrack& track, const CGpsSide* gps,
                           SIM_SUMMARY& summary)
    : m_options(options), m_track(track), m_gps(gps), m_summary(summary), m_random(options.u32Seed)
{
}

CLocatorSide::~CLocatorSide()
{
    Close();
}

bool CLocatorSide::Open(double now, std::string& error)
{
    if (!m_options.scriptPath.empty() && !LoadScript(m_options.scriptPath, m_script, error))
        return false;
    if (!m_options.logPath.empty()) {
        m_log = std::fopen(m_options.logPath.c_str(), "w");
        if (m_log == nullptr) {
            error = "cannot write the log " + m_options.logPath;
            return false;
        }
    }
    if (!m_port.Create(m_options.portsDir, m_options.nBluetoothPort, error))
        return false;
    if (!PrepareNext(error))
        return false;
    WaitForOpen(now);
    return true;
}

void CLocatorSide::Close()
{
    m_port.Destroy();
    if (m_log != nullptr)
        std::fclose(m_log);
    m_log = nullptr;
}

void CLocatorSide::Message(const std::string& text) const
{
    if (!m_options.bQuiet)
        std::fprintf(stderr, "fieldbook-sim: %s\n", text.c_str());
}

void CLocatorSide::WaitForOpen(double now)
{
    m_state = STATE::WaitOpen;
    m_openDeadline = now + m_options.dfOpenTimeout;
    Message("waiting for " + m_port.LinkPath() + " -> " + m_port.SlavePath() + " to be opened");
}

bool CLocatorSide::PrepareNext(std::string& error)
{
    m_haveNext = false;
    const uint64_t n = m_summary.nSent + 1;
    if (m_options.nCount > 0 && n > static_cast<uint64_t>(m_options.nCount))
        return true;
    if (!m_options.scriptPath.empty() && m_scriptLine >= m_script.size())
        return true;

    PACKET_SPEC spec = m_options.packet;
    RandomizeMeasurement(spec, m_random);
    spec.u32LogId = static_cast<uint32_t>(n);
    spec.u32EepromFileIndex = static_cast<uint32_t>(n);
    if (m_options.bMix) {
        const std::vector<PACKET_SPEC> kinds = MixKinds();
        const PACKET_SPEC& kind = kinds[(n - 1) % kinds.size()];
        spec.nCommand = kind.nCommand;
        spec.nProtocol = kind.nProtocol;
        spec.nGpsMode = kind.nGpsMode;
    }
    if (!m_options.scriptPath.empty()) {
        if (!ParseScriptLine(m_script[m_scriptLine++], spec, nullptr, error))
            return false;
    }
    if (m_options.nCorruptEvery > 0 && n % static_cast<uint64_t>(m_options.nCorruptEvery) == 0)
        spec.bBadFcs = true;
    m_next = spec;
    m_haveNext = true;
    return true;
}

double CLocatorSide::NextDue(double now) const
{
    double due = 3600.0;
    switch (m_state) {
    case STATE::WaitOpen:
        due = m_openDeadline - now;
        break;
    case STATE::StartDelay:
        due = m_startAt - now;
        break;
    case STATE::Dropped:
        due = m_returnAt - now;
        break;
    case STATE::Running:
        if (m_pending.bActive) {
            due = m_pending.dfSentAt < 0.0 ? 0.05 : m_pending.dfDeadline - now;
        } else if (m_haveNext) {
            const double gap = m_next.dfDelay >= 0.0 ? m_next.dfDelay : m_options.dfInterval;
            due = m_lastSent < 0.0 ? (m_next.dfDelay >= 0.0 ? m_startAt + gap - now : 0.0) : m_lastSent + gap - now;
            if (m_dropAt >= 0.0)
                due = std::min(due, m_dropAt - now);
        } else {
            due = 0.0;
        }
        break;
    case STATE::Done:
        break;
    }
    return std::max(0.0, due);
}

void CLocatorSide::Tick(double now, double unixTime)
{
    m_now = now;
    switch (m_state) {
    case STATE::WaitOpen:
        if (m_port.PeerOpen()) {
            m_state = STATE::StartDelay;
            m_startAt = now + m_options.dfStartDelay;
            Message(m_port.LinkPath() + " opened");
        } else if (now >= m_openDeadline) {
            Message("nobody opened " + m_port.LinkPath() + " in time; giving up");
            m_summary.bOpenTimedOut = true;
            m_state = STATE::Done;
        }
        return;
    case STATE::StartDelay:
        if (!m_port.PeerOpen()) {
            WaitForOpen(now);
        } else if (now >= m_startAt) {
            m_state = STATE::Running;
            if (m_options.dfDropAfter > 0.0 && m_drops < m_options.nDropTimes)
                m_dropAt = now + m_options.dfDropAfter;
        }
        return;
    case STATE::Dropped:
        if (now >= m_returnAt) {
            std::string error;
            if (!m_port.Create(m_options.portsDir, m_options.nBluetoothPort, error)) {
                Message(error);
                m_summary.bFailed = true;
                m_state = STATE::Done;
                return;
            }
            Message("Bluetooth device is back");
            m_assembler.Reset();
            WaitForOpen(now);
        }
        return;
    case STATE::Done:
        return;
    case STATE::Running:
        break;
    }

    Flush(now);
    if (!SettleOverdue(now))
        return;
    const bool durationOver = m_options.dfDuration > 0.0 && m_firstSent >= 0.0 &&
                              now >= m_firstSent + m_options.dfDuration;
    if (!m_haveNext || durationOver) {
        m_state = STATE::Done;
        return;
    }
    if (m_dropAt >= 0.0 && now >= m_dropAt) {
        ++m_drops;
        ++m_summary.nDrops;
        m_dropAt = -1.0;
        Message("Bluetooth device vanishes for " + std::to_string(m_options.dfDropPause) + " s");
        m_port.Destroy();
        m_outLength = 0;
        m_state = STATE::Dropped;
        m_returnAt = now + m_options.dfDropPause;
        return;
    }
    if (!m_port.PeerOpen()) {
        WaitForOpen(now);
        return;
    }
    if (NextDue(now) <= 0.0)
        SendNext(now, unixTime);
}

void CLocatorSide::SendNext(double now, double unixTime)
{
    const PACKET_SPEC spec = m_next;
    const GPS_SAMPLE fix = m_track.Sample(now, unixTime);
    uint8_t packet[kMaxPacket];
    const uint32_t length = BuildPacket(spec, fix, packet);
    m_outLength = FramePacket(packet, length, spec.bBadFcs, m_out);

    ++m_summary.nSent;
    if (spec.bBadFcs)
        ++m_summary.nCorrupted;
    m_pending = PENDING{};
    m_pending.bActive = true;
    m_pending.n = m_summary.nSent;
    m_pending.kind = KindName(spec);
    m_pending.u32LogId = spec.raw.empty() ? spec.u32LogId : 0;
    m_pending.u32Index = spec.raw.empty() ? spec.u32EepromFileIndex : 0;
    m_pending.expect = ExpectReply(packet, length, m_outLength, spec.bBadFcs);
    if (m_firstSent < 0.0)
        m_firstSent = now;
    m_lastSent = now;

    std::string error;
    if (!PrepareNext(error)) {
        Message(error);
        m_haveNext = false;
    }
    Flush(now);
}

void CLocatorSide::Flush(double now)
{
    uint32_t written = 0;
    while (written < m_outLength) {
        const ssize_t n = ::write(m_port.MasterFd(), m_out + written, m_outLength - written);
        if (n <= 0)
            break;
        written += static_cast<uint32_t>(n);
    }
    if (written > 0) {
        std::copy(m_out + written, m_out + m_outLength, m_out);
        m_outLength -= written;
    }
    if (m_outLength == 0 && m_pending.bActive && m_pending.dfSentAt < 0.0) {
        m_pending.dfSentAt = now;
        const double wait = m_pending.expect.kind == REPLY_KIND::None
                                ? std::min(m_options.dfReplyTimeout, std::max(m_options.dfInterval, kMinSilence))
                                : m_options.dfReplyTimeout;
        m_pending.dfDeadline = now + wait;
    }
}

void CLocatorSide::OnReadable(double now)
{
    m_now = now;
    uint8_t chunk[128];
    for (;;) {
        const ssize_t n = ::read(m_port.MasterFd(), chunk, sizeof chunk);
        if (n <= 0)
            break;
        m_assembler.AssembleFrames(m_codec, *this, chunk, static_cast<uint32_t>(n));
    }
}

void CLocatorSide::OnGoodFrame(const CFrameCodec& codec)
{
    const uint8_t* reply = codec.RxBuffer();
    const uint32_t length = codec.RxLength() - 2;
    const std::string name = ReplyName(reply, length);
    if (!m_pending.bActive || m_pending.dfSentAt < 0.0) {
        ++m_summary.nWrong;
        Message("reply " + name + " with no packet waiting for one");
        if (m_log != nullptr) {
            std::fprintf(m_log, "n=- reply=%s result=wrong:unasked\n", name.c_str());
            std::fflush(m_log);
        }
        return;
    }
    FIX_CANDIDATES candidates;
    if (m_gps != nullptr)
        candidates = m_gps->Candidates(m_pending.dfSentAt, m_now);
    const std::string verdict = CheckReply(m_pending.expect, reply, length, candidates);
    if (!verdict.empty())
        ++m_summary.nWrong;
    else if (m_pending.expect.kind == REPLY_KIND::Ack)
        ++m_summary.nAcked;
    else
        ++m_summary.nNaked;
    const double latencyMs = (m_now - m_pending.dfSentAt) * 1000.0;
    m_summary.latenciesMs.push_back(latencyMs);
    Settle(name, latencyMs, verdict.empty() ? "ok" : "wrong:" + verdict);
}

void CLocatorSide::OnBadFcs()
{
    OnFrameError(FRAME_BAD_FCS);
}

void CLocatorSide::OnFrameError(int code)
{
    // A damaged reply still answers the packet waiting for one: it is a wrong one.
    ++m_summary.nWrong;
    const std::string what = code == FRAME_BAD_FCS ? "reply with a bad FCS" : "bad reply frame, code " + std::to_string(code);
    if (m_pending.bActive && m_pending.dfSentAt >= 0.0)
        Settle("bad-frame", (m_now - m_pending.dfSentAt) * 1000.0, "wrong:" + what);
    else
        Message(what + " with no packet waiting for one");
}

void CLocatorSide::Settle(const std::string& reply, double latencyMs, const std::string& verdict)
{
    char latency[32] = "-";
    if (latencyMs >= 0.0)
        std::snprintf(latency, sizeof latency, "%.2f", latencyMs);
    char line[512];
    std::snprintf(line, sizeof line, "n=%llu kind=%s logid=0x%08X index=%u expect=%s reply=%s latency_ms=%s result=%s",
                  static_cast<unsigned long long>(m_pending.n), m_pending.kind.c_str(), m_pending.u32LogId,
                  m_pending.u32Index, ExpectName(m_pending.expect).c_str(), reply.c_str(), latency, verdict.c_str());
    if (m_log != nullptr) {
        std::fprintf(m_log, "%s\n", line);
        std::fflush(m_log);
    }
    if (m_options.bVerbose || (verdict.rfind("wrong", 0) == 0 && !m_options.bQuiet))
        std::fprintf(stderr, "fieldbook-sim: %s\n", line);
    m_pending = PENDING{};
}

bool CLocatorSide::SettleOverdue(double now)
{
    if (!m_pending.bActive)
        return true;
    if (m_pending.dfSentAt < 0.0 || now < m_pending.dfDeadline)
        return false;
    if (m_pending.expect.kind == REPLY_KIND::None) {
        ++m_summary.nSilent;
        Settle("none", -1.0, "silent");
    } else {
        ++m_summary.nUnanswered;
        Settle("none", -1.0, "unanswered");
    }
    return true;
}

void CLocatorSide::Finish(double now)
{
    m_now = now;
    if (SettleOverdue(now))
        return;
    ++m_summary.nCutShort;
    Settle("none", -1.0, "cut-short");
}
