// The simulated GPS receiver: an epoch of sentences at the chosen rate while a
// program has the port open, written without blocking (what the port cannot
// take waits in a fixed buffer; an epoch that does not fit is dropped).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PtyPort.h"
#include "ReplyRules.h"
#include "SimOptions.h"
#include "WalkTrack.h"

class CGpsSide {
public:
    CGpsSide(const SIM_OPTIONS& options, const CWalkTrack& track);
    ~CGpsSide();
    CGpsSide(const CGpsSide&) = delete;
    CGpsSide& operator=(const CGpsSide&) = delete;

    bool Open(std::string& error);
    void Close() { m_port.Destroy(); }
    CPtyPort& Port() { return m_port; }

    // Time is seconds since the simulation began; unixTime the system clock.
    void Tick(double now, double unixTime);
    // Seconds until the next epoch is due (0 if overdue, large when idle).
    double NextDue(double now) const;
    bool WantsWrite() const { return m_pendingLength > 0; }
    void OnWritable() { Flush(); }
    void OnPeerChange(double now);
    // Takes what the master end received (RTK corrections): into the
    // --record-gps-input file, else nowhere.
    void DrainInput();

    // The GGA reports a listener may hold at the moment replyAt for a packet sent
    // at sentAt: those written since shortly before sentAt, and the last one
    // written before that.
    FIX_CANDIDATES Candidates(double sentAt, double replyAt) const;
    // Whether fieldbook could have taken a fix from this receiver at all.
    bool FeedsFixes() const;

    uint64_t Sentences() const { return m_sentences; }
    uint64_t DroppedEpochs() const { return m_dropped; }

private:
    void Flush();

    const SIM_OPTIONS& m_options;
    const CWalkTrack& m_track;
    CPtyPort m_port;
    double m_nextEpoch = 0.0;
    uint64_t m_epoch = 0;
    int m_lastWholeSecond = -1;
    char m_pending[8192];
    size_t m_pendingLength = 0;
    uint64_t m_sentences = 0;
    uint64_t m_dropped = 0;
    std::vector<GPS_SAMPLE> m_history; // GGA reports written, oldest first
    int m_record = -1;                 // the --record-gps-input file
};
