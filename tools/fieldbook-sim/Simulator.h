// One run of fieldbook-sim: both sides on one thread around poll(), until the
// locator side is done, the duration is over, or SIGINT/SIGTERM.
#pragma once

#include "SimOptions.h"
#include "SimSummary.h"

class CSimulator {
public:
    explicit CSimulator(const SIM_OPTIONS& options) : m_options(options) {}
    // Prints the summary on stdout and returns the exit status.
    int Run();

private:
    const SIM_OPTIONS& m_options;
    SIM_SUMMARY m_summary;
};
