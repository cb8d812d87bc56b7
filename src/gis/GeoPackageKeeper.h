// Keeps "<DDMMhhmmss>.gpkg" in step with the survey log "<DDMMhhmmss>.txt"
// beside it. The log tells it of each save; it copies only the points that are
// new since, and a worker thread of its own appends them to the GeoPackage in
// one transaction. So the upkeep costs the log's thread one copy per new point,
// never a GeoPackage write, and never delays a reply or a CSV save. When the
// GeoPackage cannot be written (folder read-only, disk full, file locked) the
// notice hook hears of it once; the next save hands over what is missing and
// the GeoPackage catches up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "gis/GisSchema.h"
#include "surveylog/LogFormat.h"
#include "surveylog/SurveyLogObserver.h"

class CSurveyDataset;

class CGeoPackageKeeper final : public ISurveyLogObserver {
public:
    // notice: a one-line message for the operator, from the worker thread.
    // Each point's heights and record are the log's own (made when the point
    // was logged, kept in its companion record), so the GeoPackage holds what
    // the settings were at survey time.
    explicit CGeoPackageKeeper(std::function<void(const std::string&)> notice);
    // Stop with the default wait.
    ~CGeoPackageKeeper() override;
    CGeoPackageKeeper(const CGeoPackageKeeper&) = delete;
    CGeoPackageKeeper& operator=(const CGeoPackageKeeper&) = delete;

    void OnLogSaved(const CSurveyLog& log) override;
    // The GeoPackage takes the points in memory all the same (the next save
    // of the log writes the same points), or says once that it could not.
    void OnLogSaveFailed(const CSurveyLog& log) override;

    // Waits until every point handed over is written or has failed, at most
    // timeout; true when the worker is idle.
    bool WaitIdle(std::chrono::milliseconds timeout);
    // Lets the worker finish what it was given, waiting at most timeout, then
    // ends it after the batch it is in; what is left is caught up by the next
    // run. Safe twice.
    void Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Brings every GeoPackage in folder whose survey log holds more points
    // than it does up to date (what a crash or a power cut left short). Done on
    // the worker once the first save of this run is written, or after delay
    // when no save comes, so that it never holds back the first point.
    void CatchUpFolder(std::string folder, std::chrono::milliseconds delay = std::chrono::seconds(3));

    // "/logs/0612143005.gpkg" for "/logs/0612143005.txt".
    static std::string PathForLog(const std::string& logPath);

private:
    struct JOB {
        std::string logPath;
        LOG_ID log;
        size_t first = 0; // the log's number of points[0]
        std::vector<GIS_POINT> points;
        std::vector<POINT_AMEND> amends; // marks on points handed over before
    };

    enum class Outcome {
        Written,
        Failed,  // error says why
        Waiting, // the GeoPackage lacks points before the job's: nothing written
    };
    void Run();
    void CatchUp(const std::string& folder);
    // resyncFrom names the first point the GeoPackage needs again, when it
    // needs points that were handed over before.
    Outcome Write(const JOB& job, size_t& resyncFrom, std::string& error);
    void Report(const std::string& gpkgPath, Outcome outcome, const std::string& error);

    std::function<void(const std::string&)> m_notice;

    // The log's thread only: the log last seen and its size then (a smaller
    // one is a new log under the same name).
    std::string m_seenPath;
    size_t m_seenCount = 0;
    size_t m_marksSeen = 0; // entries of the log's MarkedPoints handled

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<JOB> m_jobs;
    std::string m_current;     // log path of the points handed over last
    size_t m_handed = 0;       // points of m_current handed over
    size_t m_resyncFrom = SIZE_MAX;
    bool m_busy = false;
    std::string m_catchUpFolder; // not yet caught up
    std::chrono::steady_clock::time_point m_catchUpAt{};
    bool m_firstWritten = false;
    bool m_stopping = false;
    bool m_abandon = false;

    // The worker only.
    std::unique_ptr<CSurveyDataset> m_dataset;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    size_t m_known = 0; // points of the open log the GeoPackage held after the last batch
    bool m_bReported = false;

    std::thread m_worker;
};
