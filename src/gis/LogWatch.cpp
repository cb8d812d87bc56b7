#include "gis/LogWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "gis/SurveyDataset.h"
#include "gis/SurveyExport.h"
#include "surveylog/LogFormat.h"

namespace {

// fieldbook writes ".<name>.tmp" and renames it over the log; other writers
// close the file after writing it in place.
constexpr uint32_t kEvents = IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

// Nothing to do and no retry due: still wake now and then, so every wait is bounded.
constexpr int kIdleWaitMs = 1000;

size_t FileSize(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
}

struct FD_CLOSER {
    int fd;
    ~FD_CLOSER()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

CLogWatch::CLogWatch(CPgTarget& target, WATCH_OPTIONS options) : m_target(target), m_options(std::move(options))
{
    if (!m_options.folder.empty() && m_options.folder.back() != '/')
        m_options.folder += '/';
}

void CLogWatch::Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(m_options.out, format, args);
    va_end(args);
    std::fputc('\n', m_options.out);
    std::fflush(m_options.out);
}

void CLogWatch::ScanFolder()
{
    for (std::string& name : FolderEntries(m_options.folder, true))
        m_dirty.insert(std::move(name));
}

bool CLogWatch::ReadEvents(int fd)
{
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return n == 0 || errno == EAGAIN || errno == EINTR;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                m_bFolderGone = true;
            else if (event->mask & IN_Q_OVERFLOW)
                ScanFolder(); // events were lost: look at every log
            else if (event->len > 0 && IsSurveyLogName(event->name))
                m_dirty.insert(event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void CLogWatch::TellRecordState(const std::string& name, const CLogTail& tail)
{
    RECORD_STATE& told = m_recordStates[name];
    if (!tail.HasCompanion() && !tail.Survey().empty() && !told.bNoCompanion) {
        told.bNoCompanion = true;
        Say("%s", NoCompanionText(name).c_str());
    }
    if (tail.BadRecords() > told.badRecords) {
        told.badRecords = tail.BadRecords();
        Say("%s", BadRecordsText(name, tail).c_str());
    }
}

void CLogWatch::DeliverDirty()
{
    std::vector<GIS_POINT> points;
    while (!m_dirty.empty()) {
        const std::string name = *m_dirty.begin();
        CLogTail& tail = m_tails[name];
        size_t first = 0;
        if (!tail.ReadNew(m_options.folder + name, points, first, false, m_options.batchPoints)) {
            if (m_unreadable.insert(name).second)
                Say("Cannot read %s: %s", name.c_str(), std::strerror(errno));
            m_dirty.erase(m_dirty.begin());
            continue;
        }
        m_unreadable.erase(name);
        // A file under a log's name that is no survey log: said once, left alone.
        if (first == 0 && points.empty() && tail.Count() == 0) {
            std::string why;
            if (CheckSurveyInput(m_options.folder + name, why) != InputKind::SurveyLog &&
                FileSize(m_options.folder + name) >= sizeof kLogHeaderLine) {
                if (m_unreadable.insert(name).second)
                    Say("Not a survey log: %s", name.c_str());
                m_dirty.erase(m_dirty.begin());
                continue;
            }
        }
        for (const SKIPPED_LINE& line : tail.Skipped()) {
            if (m_skipped[name].insert(line.line).second)
                Say("%s", SkippedText(name, line).c_str());
        }
        // The points come whole from the log and its companion record; the
        // GeoPackage beside it is an output like the database (a crew may
        // have edited it), never a source.
        TellRecordState(name, tail);
        const LOG_ID id{name, tail.Survey(), tail.Job()};
        // Another survey renamed over a log: a delivery of its own, not points
        // the database holds already.
        std::string& known = m_surveys[name];
        if (!id.survey.empty() && id.survey != known) {
            if (!known.empty())
                Say("Replaced: %s is another survey now (%s); delivered as its own", name.c_str(), id.survey.c_str());
            known = id.survey;
        }
        size_t added = 0;
        const bool delivered = m_target.Deliver(id, points.data(), points.size(), first, added);
        for (const std::string& warning : m_target.TakeWarnings())
            Say("Warning: %s", warning.c_str());
        if (!delivered) {
            if (!m_bOutage && m_target.Held() > 0) {
                Say("Database refuses every point of %s: %s; holding %zu points", name.c_str(),
                    m_target.Reason().c_str(), m_target.Held());
                m_bOutage = true;
                m_retry = m_options.firstRetry;
            } else if (!m_bOutage) {
                Say("Database %s: %s", m_target.Refused() ? "refused us" : "unreachable", m_target.Problem().c_str());
                m_bOutage = true;
                m_retry = m_options.firstRetry;
            } else {
                m_retry = std::min(m_retry * 2, m_options.maxRetry);
            }
            m_nextTry = std::chrono::steady_clock::now() + m_retry;
            // The target starts again from what the database holds: so do we,
            // with every log.
            for (auto& [other, otherTail] : m_tails) {
                otherTail.Reset();
                m_dirty.insert(other);
            }
            return;
        }
        tail.Commit();
        for (const REJECTED_ROW& row : m_target.TakeUpdated())
            Say("Updated: %s Log %d", row.logFile.c_str(), row.log);
        // Marks the crew set on points delivered before: the rows follow.
        for (const auto& [index, record] : tail.TakeAmended())
            if (!m_target.Amend(id, index, record))
                Say("Database: %s", m_target.Problem().c_str());
        for (const REJECTED_ROW& row : m_target.TakeRejected())
            Say("Rejected: %s Log %d: %s", row.logFile.c_str(), row.log, row.reason.c_str());
        if (m_bOutage) {
            Say("Database back");
            m_bOutage = false;
        }
        if (added > 0)
            Say("Sent: %s +%zu (%zu)", name.c_str(), added, tail.Count());
        // A full batch: more of the log may follow at once.
        if (points.size() < m_options.batchPoints)
            m_dirty.erase(name);
    }
}

int CLogWatch::Run()
{
    FD_CLOSER inotify{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    if (inotify.fd < 0 || ::inotify_add_watch(inotify.fd, m_options.folder.c_str(), kEvents | IN_ONLYDIR) < 0) {
        Say("Cannot watch %s: %s", m_options.folder.c_str(), std::strerror(errno));
        return 2;
    }
    Say("Watching %s as unit %s", m_options.folder.c_str(), m_target.Unit().c_str());
    // The logs already there may hold points the database lacks.
    ScanFolder();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (!m_dirty.empty() && now >= m_nextTry)
            DeliverDirty();
        int waitMs = kIdleWaitMs;
        if (!m_dirty.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(m_nextTry - std::chrono::steady_clock::now());
            waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, kIdleWaitMs));
        }
        pollfd fds[2] = {{inotify.fd, POLLIN, 0}, {m_options.stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, m_options.stopFd >= 0 ? 2 : 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            Say("Cannot wait for changes: %s", std::strerror(errno));
            return 2;
        }
        if (ready > 0 && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            Say("Stopped");
            return 0;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0 && !ReadEvents(inotify.fd)) {
            Say("Cannot read folder changes: %s", std::strerror(errno));
            return 2;
        }
        if (m_bFolderGone) {
            Say("The folder %s is gone", m_options.folder.c_str());
            return 2;
        }
    }
}
