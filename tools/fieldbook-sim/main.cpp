// fieldbook-sim: a simulated locator and GPS receiver on pseudo-terminals, for
// tests, demonstrations and trying fieldbook without the hardware.
#include <cstdio>
#include <string>

#include "SimOptions.h"
#include "Simulator.h"

int main(int argc, char** argv)
{
    SIM_OPTIONS options;
    std::string error;
    switch (ParseSimOptions(argc, argv, options, error)) {
    case PARSE_RESULT::Help:
        std::fputs(SimUsageText(), stdout);
        return 0;
    case PARSE_RESULT::Version:
        std::printf("fieldbook-sim %s\n", FIELDBOOK_VERSION);
        return 0;
    case PARSE_RESULT::Error:
        std::fprintf(stderr, "fieldbook-sim: %s\n", error.c_str());
        return 2;
    case PARSE_RESULT::Run:
        break;
    }
    CSimulator simulator(options);
    return simulator.Run();
}
