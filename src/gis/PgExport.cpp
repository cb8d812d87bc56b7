#include "gis/PgExport.h"

#include <algorithm>
#include <set>
#include <functional>
#include <strings.h>
#include <csignal>
#include <poll.h>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

#include "gis/GdalErrors.h"
#include "gis/GisFormats.h"
#include "surveylog/LogTail.h"
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
    // Every input is checked before the database is touched, by what it
    // holds, as the file export checks it.
    for (const std::string& path : logs) {
        std::string error;
        if (CheckSurveyInput(path, error) == InputKind::None) {
            std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
            return 2;
        }
    }
    return ExportToDatabase(output, unit, logs, out, err);
}

std::string DefaultUnitName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "fieldbook";
    return name;
}

namespace {

// Hands over one log's points a batch at a time: the batch after those handed
// so far (empty at the end), or from the top again after restart.
using BatchSource = std::function<bool(bool restart, std::vector<GIS_POINT>& batch, size_t& first, LOG_ID& log)>;

// One log into the database, one transaction per batch, the progress told
// between them. 0, or 2 when it cannot be read or sent.
int SendLog(CPgTarget& target, const std::string& name, const BatchSource& next, std::FILE* out, std::FILE* err,
            bool& rejected, const std::vector<std::string>* skipped = nullptr)
{
    std::vector<GIS_POINT> batch;
    batch.reserve(kBatchPoints);
    LOG_ID log;
    size_t added = 0, total = 0;
    bool ok = false;
    for (int attempt = 0; attempt < kTries && !ok && target.Held() == 0; ++attempt) {
        added = 0;
        ok = true;
        for (bool top = true;; top = false) {
            size_t first = 0;
            if (!next(top, batch, first, log)) {
                std::fprintf(err, "fieldbook-export: cannot read %s\n", name.c_str());
                return 2;
            }
            if (batch.empty() && !top)
                break;
            size_t sent = 0;
            ok = target.Deliver(log, batch.data(), batch.size(), first, sent);
            for (const std::string& warning : target.TakeWarnings())
                std::fprintf(err, "fieldbook-export: warning: %s\n", warning.c_str());
            added += sent;
            total = first + batch.size();
            if (!ok || batch.empty())
                break;
            if (total >= kProgressFrom)
                std::fprintf(err, "fieldbook-export: %s: %zu points\n", log.logFile.c_str(), total);
        }
    }
    if (!ok && target.Held() > 0) {
        std::fprintf(err, "fieldbook-export: Database refuses every point of %s: %s; none sent\n",
                     log.logFile.c_str(), target.Reason().c_str());
        return 2;
    }
    if (!ok) {
        std::fprintf(err, "fieldbook-export: %s not sent: %s\n", log.logFile.c_str(), target.Problem().c_str());
        return 2;
    }
    if (skipped != nullptr) {
        for (const std::string& line : *skipped)
            std::fprintf(out, "%s\n", line.c_str());
    }
    std::fprintf(out, "Sent: %s +%zu (%zu)\n", log.logFile.c_str(), added, total);
    for (const REJECTED_ROW& row : target.TakeUpdated())
        std::fprintf(out, "Updated: %s Log %d\n", row.logFile.c_str(), row.log);
    for (const REJECTED_ROW& row : target.TakeRejected()) {
        std::fprintf(out, "Rejected: %s Log %d: %s\n", row.logFile.c_str(), row.log, row.reason.c_str());
        rejected = true;
    }
    return 0;
}

bool IsGeoPackageInput(const std::string& path)
{
    std::string error;
    return CheckSurveyInput(path, error) == InputKind::GeoPackage;
}

} // namespace

int ExportToDatabase(const std::string& output, const std::string& unit, const std::vector<std::string>& logs,
                     std::FILE* out, std::FILE* err)
{
    SetGisMessageHook([err](const std::string& text) { std::fprintf(err, "fieldbook-export: GDAL: %s\n", text.c_str()); });
    CPgTarget target(output, unit);
    target.DeferSpatialIndexes();
    if (!target.Connect()) {
        std::fprintf(err, "fieldbook-export: the database %s: %s\n", target.Refused() ? "refused us" : "is out of reach",
                     target.Problem().c_str());
        return 2;
    }
    for (const std::string& warning : target.TakeWarnings())
        std::fprintf(err, "fieldbook-export: warning: %s\n", warning.c_str());
    bool rejected = false, skipped = false;
    for (const std::string& path : logs) {
        int status = 0;
        if (IsGeoPackageInput(path)) {
            // A GeoPackage holds a survey per LogFile in it, read whole.
            std::vector<SURVEY_INPUT> inputs;
            std::string error;
            if (!ReadSurveyInput(path, inputs, error)) {
                std::fprintf(err, "fieldbook-export: %s\n", error.c_str());
                return 2;
            }
            for (const SURVEY_INPUT& input : inputs) {
                size_t at = 0;
                status = SendLog(
                    target, path,
                    [&](bool top, std::vector<GIS_POINT>& batch, size_t& first, LOG_ID& log) {
                        at = top ? 0 : at;
                        const size_t n = std::min(kBatchPoints, input.points.size() - at);
                        batch.assign(input.points.begin() + at, input.points.begin() + at + n);
                        first = at;
                        at += n;
                        log = input.log;
                        return true;
                    },
                    out, err, rejected);
                if (status != 0)
                    return status;
            }
            continue;
        }
        // A survey log streamed through the one reader: the memory taken does
        // not grow with the log.
        CLogTail reader;
        const size_t slash = path.rfind('/');
        const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        // Told once each, whatever retries read the log again.
        std::vector<std::string> skippedLines;
        std::set<size_t> told;
        status = SendLog(
            target, path,
            [&](bool top, std::vector<GIS_POINT>& batch, size_t& first, LOG_ID& log) {
                if (top)
                    reader.Reset();
                batch.clear();
                if (!reader.ReadNew(path, batch, first, true, kBatchPoints))
                    return false;
                for (const SKIPPED_LINE& line : reader.Skipped()) {
                    if (told.insert(line.line).second)
                        skippedLines.push_back(SkippedText(name, line));
                }
                reader.Commit();
                if (top) {
                    if (!reader.HasCompanion())
                        std::fprintf(err, "%s\n", NoCompanionText(name).c_str());
                    if (reader.BadRecords() > 0)
                        std::fprintf(err, "%s\n", BadRecordsText(name, reader).c_str());
                }
                log = LOG_ID{name, reader.Survey(), reader.Job()};
                return true;
            },
            out, err, rejected, &skippedLines);
        if (status != 0)
            return status;
        skipped = skipped || !skippedLines.empty();
    }
    if (!target.Finish()) {
        std::fprintf(err, "fieldbook-export: the points are in, their spatial index is not: %s\n",
                     target.Problem().c_str());
        return 2;
    }
    // Every other row is in; the refused ones are named above.
    return rejected ? 2 : skipped ? kExitSkippedLines : 0;
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
