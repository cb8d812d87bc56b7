// What the survey log tells about its file, for whatever is kept in step with
// it (the GeoPackage beside each log). The log only tells; it never waits for
// an observer's work and never learns whether it succeeded, so the log file,
// the primary record, comes first.
#pragma once

class CSurveyLog;

class ISurveyLogObserver {
public:
    virtual ~ISurveyLogObserver() = default;
    // The file log.GetFullPath() holds exactly the points log.GetAt(0) to
    // log.GetAt(log.GetCount() - 1): after every save that reached the disk,
    // and after a new file took over the points of an existing one. Called on
    // the log's thread; must return quickly and must not change the log.
    virtual void OnLogSaved(const CSurveyLog& log) = 0;
    // A save did not reach the disk (folder read-only, disk full): the points
    // log.GetAt(0) to log.GetAt(log.GetCount() - 1) are in memory only, and
    // the file holds what it held before. Same thread and rules as above.
    virtual void OnLogSaveFailed(const CSurveyLog&) {}
};
