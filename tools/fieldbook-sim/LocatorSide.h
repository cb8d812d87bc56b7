// The simulated locator: sends measurement packets on the Bluetooth port once
// fieldbook has opened it, one at a time, and settles each one before the next:
// its reply is matched, checked against the reply rules and timed, or its
// absence is noted when the wait runs out. Can make the device vanish and come
// back for fault tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "GpsSide.h"
#include "PacketBuilder.h"
#include "PtyPort.h"
#include "ReplyRules.h"
#include "SimOptions.h"
#include "SimSummary.h"
#include "WalkTrack.h"
#include "link/FrameCodec.h"

class CLocatorSide : private IFrameSink {
public:
    // gps may be null (--no-gps). Messages go to stderr unless quiet.
    CLocatorSide(const SIM_OPTIONS& options, const CWalkTrack& track, const CGpsSide* gps, SIM_SUMMARY& summary);
    ~CLocatorSide() override;

    // Creates the port, loads the script, opens the log. false with error set.
    bool Open(double now, std::string& error);
    void Close();
    CPtyPort& Port() { return m_port; }

    void Tick(double now, double unixTime);
    // Reads what fieldbook sent on the port and settles replies.
    void OnReadable(double now);
    void OnWritable(double now) { Flush(now); }
    bool WantsWrite() const { return m_outLength > 0; }
    // Seconds until something is due.
    double NextDue(double now) const;
    bool Done() const { return m_state == STATE::Done; }
    // Ends the run: a reply still awaited is counted as cut short.
    void Finish(double now);
    // Time the first packet went out (< 0 before).
    double FirstSent() const { return m_firstSent; }

private:
    enum class STATE { WaitOpen, StartDelay, Running, Dropped, Done };
    struct PENDING {
        bool bActive = false;
        uint64_t n = 0;
        std::string kind;
        uint32_t u32LogId = 0, u32Index = 0;
        REPLY_EXPECT expect;
        double dfSentAt = -1.0; // < 0 while the frame is still being written
        double dfDeadline = 0.0;
    };

    void OnGoodFrame(const CFrameCodec& codec) override;
    void OnBadFcs() override;
    void OnFrameError(int code) override;
    void Settle(const std::string& reply, double latencyMs, const std::string& verdict);
    // Settles a packet whose wait ran out; false while one is still awaited.
    bool SettleOverdue(double now);

    bool PrepareNext(std::string& error);
    void SendNext(double now, double unixTime);
    void Flush(double now);
    void WaitForOpen(double now);
    void Message(const std::string& text) const;

    const SIM_OPTIONS& m_options;
    const CWalkTrack& m_track;
    const CGpsSide* m_gps;
    SIM_SUMMARY& m_summary;
    CPtyPort m_port;
    CFrameCodec m_codec;
    CFrameAssembler m_assembler;
    std::mt19937 m_random;
    FILE* m_log = nullptr;

    STATE m_state = STATE::WaitOpen;
    double m_now = 0.0;          // time of the event being handled
    double m_openDeadline = 0.0;
    double m_startAt = 0.0;
    double m_dropAt = -1.0;
    double m_returnAt = 0.0;
    double m_firstSent = -1.0;
    double m_lastSent = -1.0;
    long m_drops = 0;

    std::vector<std::string> m_script;
    size_t m_scriptLine = 0;
    bool m_haveNext = false;
    PACKET_SPEC m_next;
    PENDING m_pending;
    uint8_t m_out[kMaxFrame];
    uint32_t m_outLength = 0;
};
