// Counts of a run and the summary printed at its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SIM_SUMMARY {
    uint64_t nSent = 0;          // packets written to the locator port
    uint64_t nAcked = 0;         // ACKs that kept to the rules
    uint64_t nNaked = 0;         // NAKs that kept to the rules
    uint64_t nSilent = 0;        // no reply due and none came
    uint64_t nUnanswered = 0;    // a reply was due and none came in time
    uint64_t nWrong = 0;         // replies that broke a rule, or came unasked
    uint64_t nCutShort = 0;      // still waiting for a reply when the run was ended
    uint64_t nCorrupted = 0;     // sent with a corrupted FCS
    uint64_t nDrops = 0;         // times the Bluetooth device vanished
    uint64_t nGpsSentences = 0;
    uint64_t nGpsDropped = 0;    // epochs the GPS port could not take
    std::vector<double> latenciesMs;
    bool bOpenTimedOut = false;  // fieldbook never opened the Bluetooth port
    bool bFailed = false;        // the sim itself failed (a port could not be made)
    bool bLocator = true;
    bool bGps = true;
};

// Middle value (mean of the two middle ones for an even count); 0 when empty.
double Median(std::vector<double> values);

// Exit status: 0 when every reply kept to the rules and none was missing
// (missing ones allowed with tolerateUnanswered), else 1.
int SummaryExitCode(const SIM_SUMMARY& summary, bool tolerateUnanswered);

// The block printed on stdout at the end of a run: "label: value" lines.
std::string FormatSummary(const SIM_SUMMARY& summary, bool tolerateUnanswered);
