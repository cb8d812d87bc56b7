// One libFuzzer program per entry of FuzzEntries.h; FIELDBOOK_FUZZ_ENTRY names it.
#include <cstdio>
#include <cstdlib>

#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string failure = FIELDBOOK_FUZZ_ENTRY(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "fieldbook fuzz: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
