// The soak in short, run with every build: a few hundred packets of every kind
// through fieldbook --headless with the GPS at 10 Hz (the long one: tests/soak).
#include <gtest/gtest.h>

#include <cstdio>

#include "support/SoakRun.h"

TEST(ShortSoak, TwoHundredSixtyPacketsOfEveryKind)
{
    SOAK_OPTIONS options;
    options.nPackets = 260; // every kind twenty times
    options.nBaselinePoints = 50;
    options.replyTimeout = "0.3"; // generous while the other tests share the cores
    const SOAK_FIGURES figures = RunSoak(options);
    std::printf("%s", FormatSoak(figures).c_str());
}
