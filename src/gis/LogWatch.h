// fieldbook-export --watch: keeps the office database in step with the survey
// logs of one folder while fieldbook writes them. The folder is watched with
// inotify (fieldbook renames each new version of a log into place), so a saved
// point is sent as soon as the rename is seen. When the database is out of
// reach, the points wait in the log files themselves: the watcher says so once,
// tries again after 0.5 s, 1 s, 2 s ... at most every 30 s, and sends
// everything that is missing, in log order, when the database answers again.
// One line per event on the output, as the headless face prints.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "surveylog/LogTail.h"
#include "gis/PgTarget.h"

struct WATCH_OPTIONS {
    std::string folder;
    // The watcher ends when this descriptor becomes readable (a signalfd for
    // SIGINT and SIGTERM, or a pipe in a test).
    int stopFd = -1;
    std::chrono::milliseconds firstRetry{500};
    std::chrono::milliseconds maxRetry{30000};
    std::FILE* out = stdout;
    // Points per transaction: a long log waiting for the database goes in as
    // several, each whole and in order.
    size_t batchPoints = 20000;
};

class CLogWatch {
public:
    CLogWatch(CPgTarget& target, WATCH_OPTIONS options);
    // Runs until the stop descriptor is readable: 0. 2 when the folder cannot be
    // watched (missing, not readable) or goes away.
    int Run();

private:
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool ReadEvents(int fd);
    void DeliverDirty();
    void ScanFolder();
    // Says once that a log has no companion record, and of each new record
    // line that could not be read.
    void TellRecordState(const std::string& name, const CLogTail& tail);

    CPgTarget& m_target;
    WATCH_OPTIONS m_options;
    std::map<std::string, CLogTail> m_tails;
    std::set<std::string> m_dirty;       // logs with points that may not be sent yet
    std::set<std::string> m_unreadable;  // reported once each
    std::map<std::string, std::set<size_t>> m_skipped; // lines told as skipped, per log
    std::map<std::string, std::string> m_surveys; // the survey last read under each name
    struct RECORD_STATE {
        bool bNoCompanion = false;
        size_t badRecords = 0;
    };
    std::map<std::string, RECORD_STATE> m_recordStates; // what was told of each log's record
    bool m_bOutage = false;
    bool m_bFolderGone = false;
    std::chrono::milliseconds m_retry{0};
    std::chrono::steady_clock::time_point m_nextTry{};
};
