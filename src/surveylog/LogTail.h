// The one reader of survey logs: the export, --watch, the GeoPackage catch-up
// and the report all read through it. It joins each data line of the CSV with
// its record in the companion file beside it (Companion.h), so a reader gets
// the point whole: the decoder's full precision, the quality record, the
// heights as the settings made them, the utility and the crew's marks.
//
// It reads a log that is being written: only the lines added since the last
// read. fieldbook rewrites the whole CSV after every point, but a line depends
// only on its own point and the points before it, so the text already read
// stays as it was and the new points are the lines after it; the companion is
// only ever appended to, and written before the CSV. If the CSV changed under
// the part already read (another survey took the name over, or the office
// corrected a line in it), reading starts again at the top.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "surveylog/Companion.h"
#include "surveylog/LogFormat.h"
#include "surveylog/PointRecord.h"

// A data line the reader could not take as a point: its line number in the
// file (1 is the header) and how many columns it has.
struct SKIPPED_LINE {
    size_t line = 0;
    int columns = 0;
};

class CLogTail {
public:
    // Reads the complete data lines after the last committed position into
    // points (with the Distance column the log prints for each), and where they
    // start: the number of points before them (0 after a restart from the top).
    // A last line without its line feed is left for the next read, unless
    // bWhole (a log that is no longer written: its last line is complete as it
    // is). False when the file cannot be read.
    // At most maxPoints are read; Commit, and the next read goes on after them.
    bool ReadNew(const std::string& path, std::vector<LOGGED_POINT>& points, size_t& first, bool bWhole = false,
                 size_t maxPoints = SIZE_MAX);
    // The points of the last ReadNew have been delivered: the next read starts
    // after them.
    void Commit();
    // Forget everything: the next read starts at the top.
    void Reset();

    size_t Count() const { return m_count; }
    // The lines the last ReadNew passed over (not points), in file order.
    const std::vector<SKIPPED_LINE>& Skipped() const { return m_skipped; }
    // The survey of the points read: the companion's survey id, else a
    // fingerprint of the first point (SurveyFingerprint); empty before the first.
    const std::string& Survey() const { return m_pending.survey; }
    // Whether the log has a companion record (known after a read).
    bool HasCompanion() const { return m_companion.Exists() && !m_companion.Survey().empty() && !m_bForeignCompanion; }
    const JOB_INFO& Job() const { return m_companion.Job(); }
    // Lines of the companion that could not be read (a torn last record after
    // a power cut, a bad hand edit), and the first one's number.
    size_t BadRecords() const { return m_companion.BadLines(); }
    size_t FirstBadRecord() const { return m_companion.FirstBadLine(); }
    // Marks (void, note) the crew set on points already delivered.
    std::map<size_t, POINT_RECORD> TakeAmended() { return m_companion.TakeAmended(m_count); }

private:
    struct POSITION {
        long lOffset = 0;           // byte offset after the last line read
        size_t count = 0;           // points read up to there
        size_t lines = 0;           // lines of the file up to there
        std::string lastLine;       // the line that ends there (to notice a replaced file)
        std::string survey;         // see Survey()
        uint64_t digest = kDigestStart; // FNV-1a of the bytes before lOffset
    };
    static constexpr uint64_t kDigestStart = 14695981039346656037ull;
    POSITION m_committed;
    POSITION m_pending;
    size_t m_count = 0;
    std::vector<SKIPPED_LINE> m_skipped;
    CCompanionReader m_companion;
    bool m_bForeignCompanion = false; // the companion beside the log is not its own
};

// What readers tell of a log without a companion record (an older log, a
// hand-made one), once:
//   "Note: 0612143005.txt has no companion record; its points carry the CSV's 43 columns alone"
std::string NoCompanionText(const std::string& logName);
// Of record lines that could not be read:
//   "Record: 0612143005.jsonl line 12 cannot be read (torn or edited); 1 line skipped"
std::string BadRecordsText(const std::string& logName, const CLogTail& tail);

// Survey of a log without a companion record whose first point is first: 16
// hex digits of a 64-bit FNV-1a over the data line the log prints for it, so a
// log read from its CSV and the same log read from a GeoPackage (more digits)
// agree.
std::string SurveyFingerprint(const SURVEY_POINT& first);

// Whether name is a survey log's name: ten digits and ".txt" (DDMMhhmmss.txt).
bool IsSurveyLogName(const std::string& name);
// The names in folder ("." and ".." left out), in the order the folder gives
// them; empty when it cannot be read. logsOnly: survey log names alone.
std::vector<std::string> FolderEntries(const std::string& folder, bool logsOnly = false);
