#include "gis/PgExport.h"

#include <algorithm>
#include <csignal>
#include <poll.h>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

#include "gis/GdalErrors.h"
#include "gis/GisFormats.h"
#include "gis/LogWatch.h"
#include "gis/PgTarget.h"

namespace {

// A batch refused by the key (another export of this unit added some of the
// same points just before) is tried again from what the database then holds.
constexpr int kTries = 4;
// Points per transaction, and the size of a log that gets progress lines.
constexpr size_t kBatchPoints = 20000;
constexpr size_t kProgressFrom = 10000;

int UsageError(std::FILE* err, const char* problem)
{
    std::fprintf(err, "fieldbook-export: %s (see --help)\n", problem);
    return 2;
}

} // namespace

const char* DatabaseUsageText()
{
    return "\n"
           "The office database (PostgreSQL with PostGIS):\n"
           "       fieldbook-export [--unit NAME] -o PG:CONNECTION LOG...\n"
           "       fieldbook-export [--unit NAME] --watch DIR -o PG:CONNECTION\n"
           "\n"
           "  -o PG:CONNECTION  a libpq connection string: PG:\"service=office\" or\n"
           "                    PG:\"host=db.example.com dbname=survey user=crew7\"; keep the\n"
           "                    password in ~/.pgpass, not on the command line. Only the\n"
           "                    points the database lacks are added (Unit + LogFile + Survey + Log)\n"
           "  --watch DIR       keep the database in step with the survey logs in DIR\n"
           "                    while fieldbook writes them, until SIGINT or SIGTERM; a\n"
           "                    database out of reach is retried (at most every 30 s)\n"
           "  --unit NAME       the field unit named in every row (default: the host name)\n";
}

bool IsDatabaseCommandLine(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--watch" || arg == "--unit" || ((arg == "-o" || arg == "--output") && IsDatabaseOutput(next)) ||
            ((arg == "-f" || arg == "--format") && FindFormatByDriver(next) == &DatabaseFormat()))
            return true;
    }
    return false;
}

int RunDatabaseExport(int argc, char** argv, std::FILE* out, std::FILE* err)
{
    std::string output, watch, unit = DefaultUnitName();
    std::vector<std::string> logs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(ExportUsageText().c_str(), out);
            std::fputs(DatabaseUsageText(), out);
            return 0;
        }
        if ((arg == "-o" || arg == "--output") && hasValue)
            output = argv[++i];
        else if ((arg == "-f" || arg == "--format") && hasValue)
            ++i; // the database is the only format here
        else if (arg == "--watch" && hasValue)
            watch = argv[++i];
        else if (arg == "--unit" && hasValue)
            unit = argv[++i];
        else if (arg.size() > 1 && arg[0] == '-')
            return UsageError(err, ("unknown option or missing value: " + arg).c_str());
        else
            logs.push_back(arg);
    }
    if (!IsDatabaseOutput(output))
        return UsageError(err, "--watch, --unit and -f PostgreSQL write to -o PG:CONNECTION");
    if (unit.empty())
        return UsageError(err, "--unit needs a name");
    if (!watch.empty()) {
        if (!logs.empty())
            return UsageError(err, "--watch takes the logs from its folder; name no LOG");
        return WatchIntoDatabase(watch, output, unit, out);
    }
    if (logs.empty())
        return UsageError(err, "needs at least one LOG");
    // Every log is read before the database is touched.
    std::vector<SURVEY_INPUT> inputs;
    for (const std::string& path : logs) {
        std::string error;
        if (!ReadSurveyInput(path, inputs, error)) {
            std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
            return 2;
        }
    }
    return ExportToDatabase(output, unit, inputs, out, err);
}

std::string DefaultUnitName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "fieldbook";
    return name;
}

int ExportToDatabase(const std::string& output, const std::string& unit, const std::vector<SURVEY_INPUT>& logs,
                     std::FILE* out, std::FILE* err)
{
    SetGisMessageHook([err](const std::string& text) { std::fprintf(err, "fieldbook-export: GDAL: %s\n", text.c_str()); });
    CPgTarget target(output, unit);
    if (!target.Connect()) {
        std::fprintf(err, "fieldbook-export: the database %s: %s\n", target.Refused() ? "refused us" : "is out of reach",
                     target.Problem().c_str());
        return 2;
    }
    bool rejected = false;
    for (const SURVEY_INPUT& log : logs) {
        size_t added = 0;
        bool ok = false;
        const size_t total = log.points.size();
        for (int attempt = 0; attempt < kTries && !ok; ++attempt) {
            // One transaction per batch, the progress told between them.
            added = 0;
            ok = true;
            for (size_t from = 0; ok && (from < total || from == 0); from += kBatchPoints) {
                const size_t n = std::min(kBatchPoints, total - from);
                size_t batch = 0;
                ok = target.Deliver(log.log, log.points.data() + from, n, from, batch);
                added += batch;
                if (ok && total >= kProgressFrom && from + n < total)
                    std::fprintf(err, "fieldbook-export: %s: %zu of %zu points\n", log.log.logFile.c_str(), from + n,
                                 total);
                if (n == 0)
                    break;
            }
        }
        if (!ok) {
            std::fprintf(err, "fieldbook-export: %s not sent: %s\n", log.log.logFile.c_str(), target.Problem().c_str());
            return 2;
        }
        std::fprintf(out, "Sent: %s +%zu (%zu)\n", log.log.logFile.c_str(), added, log.points.size());
        for (const REJECTED_ROW& row : target.TakeRejected()) {
            std::fprintf(out, "Rejected: %s Log %d: %s\n", row.logFile.c_str(), row.log, row.reason.c_str());
            rejected = true;
        }
    }
    // Every other row is in; the refused ones are named above.
    return rejected ? 2 : 0;
}

int WatchIntoDatabase(const std::string& folder, const std::string& output, const std::string& unit,
                      std::FILE* out)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::fprintf(out, "Cannot take SIGINT and SIGTERM: %s\n", std::strerror(errno));
        return 2;
    }
    // GDAL's own messages outside a delivery belong on the event lines too.
    SetGisMessageHook([out](const std::string& text) {
        std::fprintf(out, "GDAL: %s\n", text.c_str());
        std::fflush(out);
    });
    CPgTarget target(output, unit);
    // SIGTERM ends a wait for another unit's lock too.
    target.SetStopCheck([stopFd] {
        pollfd ready{stopFd, POLLIN, 0};
        return ::poll(&ready, 1, 0) > 0;
    });
    WATCH_OPTIONS options;
    options.folder = folder;
    options.stopFd = stopFd;
    options.out = out;
    CLogWatch watch(target, options);
    const int status = watch.Run();
    ::close(stopFd);
    return status;
}
