// Every heap allocation of a benchmark program is counted, so that a benchmark
// can report how many happened inside its timed loop (the byte paths must make
// none).
#pragma once

#include <cstdint>

uint64_t AllocationCount();
