// fieldbook-ctl [--documents DIR] COMMAND: the crew's actions on the running
// fieldbook (its control socket, see app/ControlSocket.h). Parses, sends,
// prints; the running program does the rest.
#include <cstdio>
#include <string>
#include <vector>

#include "app/ControlSocket.h"
#include "app/CrewCommands.h"
#include "platform/Folders.h"

namespace {
void Usage(std::FILE* out)
{
    std::fprintf(out, "Usage: fieldbook-ctl [--documents DIR] COMMAND\n\n"
                      "Sets the current utility, the job and the crew's marks on the running fieldbook\n"
                      "of the documents folder (else $FIELDBOOK_DOCUMENTS, the XDG documents folder,\n"
                      "~/Documents).\n\n%s",
                 CrewUsageText().c_str());
}
} // namespace

int main(int argc, char** argv)
{
    std::string documents;
    std::vector<std::string> words;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return CREW_OK;
        }
        if (arg != "--documents")
            break;
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            std::fprintf(stderr, "fieldbook-ctl: --documents needs a folder\n");
            return CREW_USAGE;
        }
        documents = argv[++i];
    }
    for (; i < argc; ++i)
        words.emplace_back(argv[i]);

    CREW_COMMAND command;
    std::string error;
    // The type is checked by the running program, whose table is in force.
    if (!ParseCrewCommand(words, nullptr, command, error)) {
        std::fprintf(stderr, "fieldbook-ctl: %s (see --help)\n", error.c_str());
        return CREW_USAGE;
    }
    SetDocumentsFolder(documents);
    CREW_REPLY reply;
    bool noInstance = false;
    if (!SendControlCommand(ControlSocketPath(), words, 5000, reply, noInstance, error)) {
        if (noInstance)
            std::fprintf(stderr, "fieldbook-ctl: no fieldbook is running with the documents folder %s\n",
                         GetDocumentsFolder().c_str());
        else
            std::fprintf(stderr, "fieldbook-ctl: %s\n", error.c_str());
        return CREW_FAILED;
    }
    if (reply.status == CREW_OK) {
        std::fputs(reply.text.c_str(), stdout);
    } else {
        // Each line of the program's error as this tool's own.
        size_t start = 0;
        while (start < reply.text.size()) {
            size_t end = reply.text.find('\n', start);
            if (end == std::string::npos)
                end = reply.text.size();
            std::fprintf(stderr, "fieldbook-ctl: %s\n", reply.text.substr(start, end - start).c_str());
            start = end + 1;
        }
    }
    return reply.status;
}
