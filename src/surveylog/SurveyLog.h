// The one survey log of the running program: every point of the current survey
// in the order it arrived, and the file that holds them. The list is the master
// copy; the file is written again, whole, after every point. Used from the
// user-interface thread only, so it takes no lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "link/SurveyPoint.h"
#include "surveylog/LogFormat.h"
#include "surveylog/PointRecord.h"
#include "surveylog/SurveyLogObserver.h"

class CSurveyLog {
public:
    // The log, created empty (no name, no folder, no points) on the first call.
    static CSurveyLog* GetInstance();
    // Frees the log. Points that no save has put on disk yet get one last try.
    static void DestroyInstance();

    // Fills in what a new point has beyond its measurement: its heights as the
    // crew's settings give them now, those settings, the current utility. Set
    // by the program; without one a point has no heights and an empty record.
    using Annotator = std::function<void(const SURVEY_POINT&, POINT_HEIGHTS&, POINT_RECORD&)>;
    void SetAnnotator(Annotator annotator) { m_annotator = std::move(annotator); }

    // False only when memory for the point could not be had.
    bool Add(const SURVEY_POINT& point);
    void Clear();
    size_t GetCount() const { return m_points.size(); }
    // Points of the list that the file on disk holds (the first GetSavedCount()).
    size_t GetSavedCount() const { return m_nSaved; }
    // Points that exist only in memory: a save failed, or none has run yet.
    size_t GetUnsavedCount() const { return m_points.size() - m_nSaved; }
    bool IsEmpty() const { return m_points.empty(); }
    const SURVEY_POINT& GetAt(size_t index) const { return m_points[index]; }
    // The Distance column of point index, worked out once when it was added:
    // the log's line prints it, and every GIS output takes it from here.
    float GetDistance(size_t index) const { return m_distances[index]; }
    // The rest of point index's record, kept in the companion record.
    const POINT_HEIGHTS& GetHeights(size_t index) const { return m_heights[index]; }
    const POINT_RECORD& GetRecord(size_t index) const { return m_records[index]; }

    // The crew's marks on a point already logged; the next save writes them.
    // False for an index the log does not hold.
    bool SetVoid(size_t index, bool bVoid);
    bool SetNote(size_t index, const std::string& note);
    // Every point of this log whose marks were set, in the order they were
    // (a point may come more than once): what keeps an output in step reads
    // the entries it has not seen and marks the points it delivered before.
    const std::vector<size_t>& MarkedPoints() const { return m_marked; }
    // The log's job; a new log starts with the job of the one before.
    void SetJob(const JOB_INFO& job);
    const JOB_INFO& GetJob() const { return m_job; }
    // The survey's id (see Companion.h): made with the log's name, taken over
    // from the companion record of a log of that name that exists already.
    const std::string& GetSurveyId() const { return m_surveyId; }
    // False for a log taken over that has no companion record (its points'
    // Survey key is then the fingerprint of its first line, see LogTail.h).
    bool HasCompanion() const { return !m_bWithoutCompanion; }

    const std::string& GetFileName() const { return m_fileName; }
    void SetFileName(const std::string& name) { m_fileName = name; }
    // The folder, ending in '/' (one is added to the path if it is missing).
    const std::string& GetFolder() const { return m_folder; }
    void SetFolder(const std::string& folder) { m_folder = folder; }
    std::string GetFullPath() const;

    // Writes the current file from the list: first what the companion record
    // lacks is appended to it and synced, then the CSV is replaced, so no
    // reader ever sees a point in the CSV without its record. An empty list
    // writes nothing and succeeds. False when either could not be written:
    // the points stay and the previous CSV is left as it was.
    bool Save();
    // Why the last save failed: errno, and the file it tried; zero after a save
    // that worked. FailedSaves counts every failure of the run, so a reporter
    // can tell a new failure from one it has told already.
    int LastSaveError() const { return m_nSaveError; }
    unsigned long FailedSaves() const { return m_nFailedSaves; }

    // Saves the survey so far, empties the list, names a new file from the local
    // clock in the log folder, takes over the points of a file of that name that
    // exists already, then waits (1000 ms) so that the next new file gets
    // another name. When the survey so far cannot be saved it is kept as the
    // current survey, under its old name, and false is returned.
    bool StartNewFile();
    void SetNewFileWait(std::chrono::milliseconds wait) { m_newFileWait = wait; }

    // Appends the points stored in the log file at path, with their records
    // from its companion where it has one (whose survey id and job the log then
    // takes); a missing or unreadable file adds nothing. Something other than
    // a regular file (a FIFO, device or folder) is not opened; a line on
    // stderr says so.
    void ReadFile(const std::string& path);

    // Replaces the file at path with the heading lines and every data line. The
    // text goes to a temporary file in the same folder first, reaches the disk,
    // and is renamed over the log, so the log on disk is always either the
    // previous whole file or the new whole file. False when it could not be
    // written; nothing is left behind then.
    bool WriteFile(const std::string& path);
    // Writes the data lines of every point to an open descriptor; false on a
    // write error.
    bool WriteLines(int fd);

    // "0612143005.txt" for 6 December, 14:30:05: day, month, hour, minute,
    // second, two digits each; the year is not part of the name.
    static std::string FileNameForTime(int day, int month, int hour, int minute, int second);

    // Who hears of each save (nullptr: nobody). Not owned; it must outlive
    // its registration.
    void SetObserver(ISurveyLogObserver* observer) { m_pObserver = observer; }

private:
    CSurveyLog() { NewSurvey(); }
    CSurveyLog(const CSurveyLog&) = delete;
    CSurveyLog& operator=(const CSurveyLog&) = delete;

    // Brings the text of the data lines up to the end of the list. A line
    // depends only on its own point and the points before it, so the text of
    // lines already formatted is kept and only new points are formatted.
    bool FormatNewLines();
    // Appends to the companion record of the log at path what it lacks:
    // its first line, records of points not yet in it, the job, marks. The
    // lines are written, not yet synced: fd gets the open record (-1 when
    // nothing was written), for the caller to sync and close.
    bool AppendCompanion(const std::string& path, int& fd);
    // WriteFile, leaving the folder's sync to the caller when !bSyncFolder.
    bool WriteCsv(const std::string& path, bool bSyncFolder);
    // Starts the companion state of a new log: a fresh survey id, nothing on disk.
    void NewSurvey();

    std::string m_fileName;
    std::string m_folder;
    std::vector<SURVEY_POINT> m_points;
    std::chrono::milliseconds m_newFileWait{1000};
    bool m_bUnsaved = false;
    size_t m_nSaved = 0;
    int m_nSaveError = 0;
    unsigned long m_nFailedSaves = 0;
    ISurveyLogObserver* m_pObserver = nullptr;

    std::string m_lines;     // data lines of m_points[0, m_formatted)
    size_t m_formatted = 0;
    std::vector<float> m_distances; // the Distance column of each of m_points
    std::vector<POINT_HEIGHTS> m_heights; // of each of m_points
    std::vector<POINT_RECORD> m_records;  // of each of m_points
    Annotator m_annotator;
    std::string m_surveyId;
    JOB_INFO m_job;
    bool m_bJobUnsaved = false;
    std::vector<size_t> m_marked;
    std::set<size_t> m_amended;     // points whose marks changed since their record was written
    size_t m_nRecorded = 0;         // points whose record the companion holds
    bool m_bCompanionStarted = false; // the companion has its first line
    bool m_bWithoutCompanion = false; // a log taken over that has none
    CTrackDistance m_distance;      // its state after the last point added
};

// The warning of a failed save, e.g.
//   "Log: cannot save /data/0612143005.txt: Permission denied; 6 points held in memory"
// Empty when the last save worked. fate says what becomes of the points.
std::string SaveFailureText(const CSurveyLog& log, const char* fate = "held in memory");

// Text of the status bar's log pane: the file name, a blank and the number of
// points in brackets, e.g. "0612143005.txt (12)".
std::string LogPaneText(const CSurveyLog& log);
