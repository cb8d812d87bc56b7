// fieldbook-export: survey logs into the office database, once or (--watch)
// while fieldbook writes them.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gis/PgExport.h"
#include "gis/PgTarget.h"

namespace {

const char kUsage[] =
    "Usage: fieldbook-export [--unit NAME] -o PG:CONNECTION LOG...\n"
    "       fieldbook-export [--unit NAME] --watch DIR -o PG:CONNECTION\n"
    "\n"
    "  -o PG:CONNECTION  the office database (a libpq connection string, e.g.\n"
    "                    PG:\"service=office\" or PG:\"host=db.example dbname=survey user=crew\";\n"
    "                    keep the password in ~/.pgpass, not on the command line)\n"
    "  --watch DIR       keep the database in step with the survey logs in DIR\n"
    "                    until SIGINT or SIGTERM\n"
    "  --unit NAME       the field unit named in every row (default: the host name)\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 done, 2 bad arguments, unreadable log or the database refused.\n";

int Usage(const char* problem)
{
    std::fprintf(stderr, "fieldbook-export: %s\n%s", problem, kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string output, watch, unit = DefaultUnitName();
    std::vector<std::string> logs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((arg == "-o" || arg == "--output") && hasValue)
            output = argv[++i];
        else if (arg == "--watch" && hasValue)
            watch = argv[++i];
        else if (arg == "--unit" && hasValue)
            unit = argv[++i];
        else if (!arg.empty() && arg[0] == '-')
            return Usage(("unknown option or missing value: " + arg).c_str());
        else
            logs.push_back(arg);
    }
    if (!IsDatabaseOutput(output))
        return Usage("-o PG:CONNECTION is needed");
    if (unit.empty())
        return Usage("--unit needs a name");
    if (!watch.empty()) {
        if (!logs.empty())
            return Usage("--watch takes the logs from its folder; name no LOG");
        // Taken from a signalfd by the watcher: block them before any thread starts.
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &stops, nullptr);
        return WatchIntoDatabase(watch, output, unit, stdout);
    }
    if (logs.empty())
        return Usage("no LOG given");
    std::vector<PG_EXPORT_LOG> inputs;
    for (const std::string& path : logs) {
        PG_EXPORT_LOG log;
        const size_t slash = path.rfind('/');
        log.logFile = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!ReadSurveyLogPoints(path, log.points)) {
            std::fprintf(stderr, "fieldbook-export: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
            return 2;
        }
        inputs.push_back(std::move(log));
    }
    return ExportToDatabase(output, unit, inputs, stdout, stderr);
}
