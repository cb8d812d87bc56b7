#include "gis/PgExport.h"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

#include "gis/LogTail.h"
#include "gis/LogWatch.h"
#include "gis/PgTarget.h"

namespace {

// A batch refused by the key (another export of this unit added some of the
// same points just before) is tried again from what the database then holds.
constexpr int kTries = 4;

} // namespace

std::string DefaultUnitName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "fieldbook";
    return name;
}

bool ReadSurveyLogPoints(const std::string& path, std::vector<GIS_POINT>& points)
{
    CLogTail tail;
    size_t first = 0;
    return tail.ReadNew(path, points, first);
}

int ExportToDatabase(const std::string& output, const std::string& unit, const std::vector<PG_EXPORT_LOG>& logs,
                     std::FILE* out, std::FILE* err)
{
    CPgTarget target(output, unit);
    if (!target.Connect()) {
        std::fprintf(err, "fieldbook-export: the database %s: %s\n", target.Refused() ? "refused us" : "is out of reach",
                     target.Problem().c_str());
        return 2;
    }
    for (const PG_EXPORT_LOG& log : logs) {
        size_t added = 0;
        bool ok = false;
        for (int attempt = 0; attempt < kTries && !ok; ++attempt)
            ok = target.Deliver(log.logFile, log.points.data(), log.points.size(), 0, added);
        if (!ok) {
            std::fprintf(err, "fieldbook-export: %s not sent: %s\n", log.logFile.c_str(), target.Problem().c_str());
            return 2;
        }
        std::fprintf(out, "Sent: %s +%zu (%zu)\n", log.logFile.c_str(), added, log.points.size());
    }
    return 0;
}

int WatchIntoDatabase(const std::string& folder, const std::string& output, const std::string& unit,
                      std::FILE* out)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::fprintf(out, "Cannot take SIGINT and SIGTERM\n");
        return 2;
    }
    CPgTarget target(output, unit);
    WATCH_OPTIONS options;
    options.folder = folder;
    options.stopFd = stopFd;
    options.out = out;
    CLogWatch watch(target, options);
    const int status = watch.Run();
    ::close(stopFd);
    return status;
}
