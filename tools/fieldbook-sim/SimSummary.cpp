#include "SimSummary.h"

#include <algorithm>
#include <cstdio>

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

int SummaryExitCode(const SIM_SUMMARY& s, bool tolerateUnanswered)
{
    if (s.bFailed || s.bOpenTimedOut || s.nWrong > 0)
        return 1;
    if (s.nUnanswered > 0 && !tolerateUnanswered)
        return 1;
    return 0;
}

std::string FormatSummary(const SIM_SUMMARY& s, bool tolerateUnanswered)
{
    std::string out = "fieldbook-sim summary\n";
    char line[160];
    auto add = [&out, &line](const char* label, unsigned long long value) {
        std::snprintf(line, sizeof line, "%-19s %llu\n", label, value);
        out += line;
    };
    if (s.bLocator) {
        add("packets sent:", s.nSent);
        add("ACKed:", s.nAcked);
        add("NAKed:", s.nNaked);
        add("no reply expected:", s.nSilent);
        add("unanswered:", s.nUnanswered);
        add("wrong replies:", s.nWrong);
        if (s.nCutShort > 0)
            add("cut short:", s.nCutShort);
        if (s.nCorrupted > 0)
            add("corrupted FCS:", s.nCorrupted);
        if (s.nDrops > 0)
            add("Bluetooth drops:", s.nDrops);
        const double worst = s.latenciesMs.empty() ? 0.0 : *std::max_element(s.latenciesMs.begin(), s.latenciesMs.end());
        std::snprintf(line, sizeof line, "%-19s median %.1f, worst %.1f (%zu replies)\n", "reply latency ms:",
                      Median(s.latenciesMs), worst, s.latenciesMs.size());
        out += line;
    }
    if (s.bGps) {
        add("GPS sentences:", s.nGpsSentences);
        if (s.nGpsDropped > 0)
            add("GPS epochs dropped:", s.nGpsDropped);
    }
    const char* result = SummaryExitCode(s, tolerateUnanswered) == 0 ? "OK" : "FAILED";
    if (s.bOpenTimedOut)
        result = "FAILED (the Bluetooth port was not opened in time)";
    else if (s.bFailed)
        result = "FAILED (the simulator could not run)";
    std::snprintf(line, sizeof line, "%-19s %s\n", "result:", result);
    out += line;
    return out;
}
