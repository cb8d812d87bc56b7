// The long soak (ctest -L soak, scripts/soak): ten thousand packets of every kind
// through fieldbook --headless with the GPS at 10 Hz.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/SoakRun.h"

TEST(Soak, TenThousandPacketsOfEveryKind)
{
    SOAK_OPTIONS options;
    const SOAK_FIGURES figures = RunSoak(options);
    std::printf("%s", FormatSoak(figures).c_str());
}
