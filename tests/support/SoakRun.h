// A long survey for the soak tests: fieldbook-sim --mix sends measurement packets
// of every kind through fieldbook --headless while its GPS receiver runs at
// 10 Hz. Checks, as GoogleTest expectations, that every packet earned the reply
// due, that the survey log holds exactly the packets fieldbook must log, in
// order, and (outside the sanitizer builds, whose allocators hold freed memory
// back) that fieldbook's memory stays flat apart from the log's own list.
#pragma once

#include <string>

struct SOAK_OPTIONS {
    long nPackets = 10000;
    long nBaselinePoints = 1000; // memory is measured from here on
    const char* interval = "0.01";     // between packets, seconds
    const char* replyTimeout = "0.1";  // also how long a packet due no reply waits
};

struct SOAK_FIGURES {
    long nSent = 0;
    long nAcked = 0;
    long nNaked = 0;
    long nUnanswered = 0;
    long nWrong = 0;
    long nRows = 0;
    long nBaselinePoints = -1;
    long nRssBaselineKb = -1; // VmRSS when the baseline points were logged
    long nRssEndKb = -1;      // VmRSS after the last point
    long nHwmKb = -1;         // VmHWM after the last point
    double dfSeconds = 0.0;
};

SOAK_FIGURES RunSoak(const SOAK_OPTIONS& options);
std::string FormatSoak(const SOAK_FIGURES& figures);
