#include "gis/GeoPackageKeeper.h"

#include <algorithm>
#include <cpl_conv.h>
#include <new>
#include <sys/stat.h>

#include "gis/GdalErrors.h"
#include "surveylog/LogTail.h"
#include "gis/SurveyDataset.h"
#include "gis/SurveyExport.h"
#include "platform/Folders.h"
#include "surveylog/SurveyLog.h"

namespace {
constexpr int kLockWaitMs = 500;

// The survey key the log's readers will find for it: its companion's survey
// id, or the fingerprint of a log taken over without one.
std::string LogSurvey(const CSurveyLog& log)
{
    return log.HasCompanion() || log.GetCount() == 0 ? log.GetSurveyId() : SurveyFingerprint(log.GetAt(0));
}
} // namespace

CGeoPackageKeeper::CGeoPackageKeeper(std::function<void(const std::string&)> notice)
    : m_notice(std::move(notice))
{
    GisInit();
    m_worker = std::thread(&CGeoPackageKeeper::Run, this);
}

CGeoPackageKeeper::~CGeoPackageKeeper() { Stop(); }

std::string CGeoPackageKeeper::PathForLog(const std::string& logPath)
{
    const size_t slash = logPath.rfind('/');
    const size_t dot = logPath.rfind('.');
    const bool bHasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (bHasExtension ? logPath.substr(0, dot) : logPath) + ".gpkg";
}

void CGeoPackageKeeper::OnLogSaved(const CSurveyLog& log)
{
    const std::string logPath = log.GetFullPath();
    const size_t count = log.GetCount();
    try {
        const bool bNewFile = logPath != m_seenPath || count < m_seenCount;
        if (bNewFile)
            m_seenPath = logPath;
        m_seenCount = count;

        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        if (bNewFile) {
            m_current = logPath;
            m_handed = 0;
            m_resyncFrom = SIZE_MAX;
        }
        const size_t from = std::min(m_handed, m_resyncFrom);
        m_resyncFrom = SIZE_MAX;
        // A void or a note on a point the GeoPackage has already: the
        // feature is marked where it stands.
        const std::vector<size_t>& marked = log.MarkedPoints();
        if (bNewFile || m_marksSeen > marked.size())
            m_marksSeen = 0;
        std::vector<POINT_AMEND> amends;
        for (; m_marksSeen < marked.size(); ++m_marksSeen) {
            const size_t index = marked[m_marksSeen];
            if (index >= from || index >= count)
                continue;
            POINT_AMEND amend;
            amend.key = static_cast<int>(log.GetAt(index).LocateData.u32EepromFileIndex);
            for (size_t j = 0; j < index; ++j)
                amend.occurrence += static_cast<int>(log.GetAt(j).LocateData.u32EepromFileIndex) == amend.key ? 1 : 0;
            amend.bVoid = log.GetRecord(index).bVoid;
            amend.note = log.GetRecord(index).Note;
            amends.push_back(std::move(amend));
        }
        if (from >= count && amends.empty())
            return;
        JOB* job = (!m_jobs.empty() && m_jobs.back().logPath == logPath) ? &m_jobs.back() : nullptr;
        if (job != nullptr && from < job->first) {
            m_jobs.pop_back();
            job = nullptr;
        }
        if (job == nullptr) {
            const size_t slash = logPath.rfind('/');
            m_jobs.push_back(JOB{logPath, LOG_ID{logPath.substr(slash == std::string::npos ? 0 : slash + 1), LogSurvey(log), log.GetJob()},
                                 from, {}, {}});
            job = &m_jobs.back();
        }
        job->log.job = log.GetJob();
        job->points.resize(from - job->first);
        for (size_t i = from; i < count; ++i)
            job->points.push_back(
                GIS_POINT{log.GetAt(i), log.GetDistance(i), log.GetHeights(i), log.GetRecord(i), true});
        for (POINT_AMEND& amend : amends)
            job->amends.push_back(std::move(amend));
        m_handed = std::max(m_handed, count);
        m_wake.notify_one();
    } catch (const std::bad_alloc&) {
        // The log itself is safe; the GeoPackage asks for these points again.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_resyncFrom = std::min(m_resyncFrom, m_handed);
    }
}

void CGeoPackageKeeper::OnLogSaveFailed(const CSurveyLog& log)
{
    // What it keeps is keyed on the log's points, not on its file: a log that
    // could not be written still has its points in order.
    OnLogSaved(log);
}

bool CGeoPackageKeeper::WaitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] { return m_jobs.empty() && !m_busy && m_catchUpFolder.empty(); });
}

void CGeoPackageKeeper::CatchUpFolder(std::string folder, std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_catchUpFolder = folder.empty() ? std::string(".") : std::move(folder);
    m_catchUpAt = std::chrono::steady_clock::now() + delay;
    m_wake.notify_one();
}

void CGeoPackageKeeper::CatchUp(const std::string& folder)
{
    std::vector<std::string> logs;
    // Spelt as the log spells its own path, so that the log of this run is
    // known for what it is.
    for (const std::string& name : FolderEntries(folder, true))
        logs.push_back(WithTrailingSlash(folder) + name);
    std::sort(logs.begin(), logs.end());
    for (const std::string& logPath : logs) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // The log of this run is kept by the saves themselves.
            if (m_stopping || logPath == m_current)
                return;
        }
        const std::string gpkgPath = PathForLog(logPath);
        struct stat st{};
        if (::stat(gpkgPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        std::vector<SURVEY_INPUT> inputs;
        std::string error;
        if (!ReadSurveyInput(logPath, inputs, error) || inputs.empty())
            continue;
        SURVEY_INPUT& input = inputs.front();
        // What a crash left out of the GeoPackage comes whole from the log and
        // its companion record. A log without one knows no antenna height or
        // geoid of that run: only the height that needs neither is written.
        for (GIS_POINT& point : input.points) {
            if (!point.bRecord)
                point.Heights.EllipsoidHeight = EllipsoidHeight(point.Point);
        }
        std::unique_ptr<CSurveyDataset> dataset = CSurveyDataset::Open(GeoPackageFormat(), gpkgPath, error, kLockWaitMs);
        if (!dataset)
            continue;
        const size_t held = dataset->CountPoints(input.log);
        if (held >= input.points.size() || dataset->HoldsOtherSurvey(input.log) ||
            !dataset->HoldsPrefixOf(input.log, input.points.data(), input.points.size()))
            continue; // in step, or another survey's: the log's next save decides
        if (dataset->AppendPoints(input.log, input.points.data(), input.points.size(), 0, error) &&
            dataset->Commit(error) && dataset->Close(error)) {
            if (m_notice)
                m_notice("GeoPackage caught up: " + gpkgPath + " +" + std::to_string(input.points.size() - held) +
                         " points (" + std::to_string(input.points.size()) + ")");
        } else if (m_notice) {
            m_notice("GeoPackage not caught up: " + error + " (" + gpkgPath + ")");
        }
    }
}

void CGeoPackageKeeper::Stop(std::chrono::milliseconds timeout)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_wake.notify_one();
        if (!m_idle.wait_for(lock, timeout, [this] { return m_jobs.empty() && !m_busy; }))
            m_abandon = true;
    }
    if (m_worker.joinable())
        m_worker.join();
    std::string ignored;
    if (m_dataset)
        m_dataset->Close(ignored);
    m_dataset.reset();
}

void CGeoPackageKeeper::Run()
{
    // GDAL leaves SQLite's syncs off. A crash of this process loses nothing
    // either way, but a vehicle PC loses power: with the syncs a commit is on
    // the disk or rolled back at the next open, never half written. The cost
    // is on this thread only.
    CPLSetThreadLocalConfigOption("OGR_SQLITE_SYNCHRONOUS", "FULL");
    // A file another program is writing is waited for a little, never long:
    // the next save tries again anyway.
    for (;;) {
        JOB job;
        std::string catchUp;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            auto catchUpDue = [this] {
                return !m_catchUpFolder.empty() &&
                       (m_firstWritten || std::chrono::steady_clock::now() >= m_catchUpAt);
            };
            // Every wait bounded: the catch-up's time comes without a wake-up.
            while (!m_stopping && m_jobs.empty() && !catchUpDue()) {
                if (m_catchUpFolder.empty())
                    m_wake.wait(lock);
                else
                    m_wake.wait_until(lock, m_catchUpAt);
            }
            if (m_abandon || (m_jobs.empty() && (m_stopping || !catchUpDue()))) {
                if (m_stopping) {
                    m_catchUpFolder.clear();
                    m_idle.notify_all();
                    return;
                }
                continue;
            }
            if (m_jobs.empty()) {
                catchUp = std::move(m_catchUpFolder);
                m_catchUpFolder.clear();
            } else {
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            m_busy = true;
        }
        if (!catchUp.empty()) {
            CatchUp(catchUp);
            // A GeoPackage the catch-up wrote through a connection of its own
            // is counted again before the next batch goes into it.
            if (m_dataset) {
                std::string ignored;
                m_dataset->Close(ignored);
                m_dataset.reset();
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_busy = false;
            m_idle.notify_all();
            continue;
        }
        size_t resyncFrom = SIZE_MAX;
        std::string error;
        const Outcome outcome = Write(job, resyncFrom, error);
        // Told before the worker counts as idle, so that whoever waits for it
        // has heard the notice too.
        Report(PathForLog(job.logPath), outcome, error);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_busy = false;
            m_firstWritten = true;
            if (resyncFrom != SIZE_MAX && job.logPath == m_current)
                m_resyncFrom = std::min(m_resyncFrom, resyncFrom);
            m_idle.notify_all();
        }
    }
}

CGeoPackageKeeper::Outcome CGeoPackageKeeper::Write(const JOB& job, size_t& resyncFrom, std::string& error)
{
    const std::string path = PathForLog(job.logPath);
    // Opened once per log and kept open; opened again when the file on disk is
    // another one (deleted, replaced) than the one held.
    struct stat now{};
    const bool bSameFile = m_dataset && m_dataset->Path() == path && ::stat(path.c_str(), &now) == 0 &&
                           now.st_dev == m_device && now.st_ino == m_inode;
    if (!bSameFile) {
        if (m_dataset) {
            std::string ignored;
            m_dataset->Close(ignored);
            m_dataset.reset();
        }
        m_known = 0;
        // A file another program is writing is waited for a little, never
        // long: the next save tries again anyway, and the exit waits for us.
        m_dataset = CSurveyDataset::Open(GeoPackageFormat(), path, error, kLockWaitMs);
        if (!m_dataset) {
            resyncFrom = 0;
            return Outcome::Failed;
        }
        if (::stat(path.c_str(), &now) == 0) {
            m_device = now.st_dev;
            m_inode = now.st_ino;
        }
        m_known = m_dataset->CountPoints(job.log);
    }
    // A GeoPackage that holds what the log does not (a survey of another
    // year under the same name, a log cut short by hand) is out of step: the
    // log is the record, so its points replace what the GeoPackage held.
    const size_t logCount = job.first + job.points.size();
    if (m_dataset->HoldsOtherSurvey(job.log) ||
        (job.first == 0 ? !m_dataset->HoldsPrefixOf(job.log, job.points.data(), logCount)
                        : m_dataset->CountPoints(job.log) > logCount)) {
        if (!m_dataset->RemoveLog(job.log.logFile, error)) {
            resyncFrom = 0;
            m_dataset.reset();
            return Outcome::Failed;
        }
        m_known = 0;
    }
    const size_t held = m_dataset->CountPoints(job.log);
    if (job.first > held) {
        resyncFrom = held; // the points in between come with the next save
        return Outcome::Waiting;
    }
    if (m_dataset->AppendPoints(job.log, job.points.data(), job.points.size(), job.first, error) &&
        (job.amends.empty() || m_dataset->AmendPoints(job.log, job.amends, error)) && m_dataset->Commit(error)) {
        m_known = m_dataset->CountPoints(job.log);
        return Outcome::Written;
    }
    // Opened afresh next time: whatever went wrong may have left the
    // connection in a state we cannot judge. The transaction was undone, so
    // the file holds what it held before.
    resyncFrom = m_known;
    std::string ignored;
    m_dataset->Close(ignored);
    m_dataset.reset();
    return Outcome::Failed;
}

void CGeoPackageKeeper::Report(const std::string& gpkgPath, Outcome outcome, const std::string& error)
{
    if (!m_notice || outcome == Outcome::Waiting)
        return;
    const bool ok = outcome == Outcome::Written;
    if (!ok && !m_bReported) {
        m_bReported = true;
        m_notice("GeoPackage not written: " + error + " (the survey log is complete; " + gpkgPath +
                 " catches up at a later save)");
    } else if (ok && m_bReported) {
        m_bReported = false;
        m_notice("GeoPackage written again: " + gpkgPath);
    }
}
