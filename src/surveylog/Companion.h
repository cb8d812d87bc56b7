// The companion record of a survey log: "<DDMMhhmmss>.jsonl" beside
// "<DDMMhhmmss>.txt", one JSON object per line (JSON Lines), appended to and
// never rewritten, so that it diffs and greps as text and a power cut can only
// tear its last line. It holds everything a point has beyond the CSV's 43
// columns. The lines:
//
//   {"fieldbook":"survey record","version":1,"survey":"<32 hex>","log":"0612143005.txt"}
//       first line: the format, and the survey's id, random, made when the log
//       was created (the key of the log's points in every output)
//   {"n":0,"Log":17,"lat":-33.8688123456,"lon":151.2093456789,"alt":25.312,...}
//       point number n (0 for the first data line of the CSV) and its Log
//       column: the decoder's full-precision position, the quality record, the
//       locator's values as sent, the heights and the settings that made them,
//       the utility; a key whose value is absent is null
//   {"job":"set","ticket":"T-1234","client":"...","site":"...","crew":"..."}
//       the log's job from here on
//   {"amend":5,"void":true,"note":"..."}
//       the crew's later marks on point 5
//
// A line that does not parse (a torn last line, a hand edit gone wrong) is
// skipped and counted; a later line for the same n replaces an earlier one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "surveylog/PointRecord.h"

inline constexpr char kCompanionExtension[] = ".jsonl";
inline constexpr int kCompanionVersion = 1;

// "/logs/0612143005.jsonl" for "/logs/0612143005.txt".
std::string CompanionPathForLog(const std::string& logPath);
// 32 hex digits from the kernel's random source.
std::string NewSurveyId();

// Each appends one whole line, line feed included.
void AppendCompanionHeader(std::string& out, const std::string& surveyId, const std::string& logFile);
void AppendCompanionPoint(std::string& out, size_t index, const SURVEY_POINT& point, const POINT_HEIGHTS& heights,
                          const POINT_RECORD& record);
void AppendCompanionJob(std::string& out, const JOB_INFO& job);
void AppendCompanionAmend(std::string& out, size_t index, const POINT_RECORD& record);

// What one point line holds, to lay over a point read back from the CSV.
struct COMPANION_POINT {
    uint32_t u32Log = 0;
    SURVEY_POINT Point; // the fields the CSV prints too, at full precision
    POINT_HEIGHTS Heights;
    POINT_RECORD Record;
};

// Reads a companion record as it grows: each call takes the complete lines
// added since the last. Keeps the point lines until the caller takes them.
class CCompanionReader {
public:
    // False when the file cannot be read (a missing file is no error: Exists()
    // tells). bWhole: the log is no longer written, so a last line without its
    // line feed is torn, not still being written.
    bool ReadNew(const std::string& path, bool bWhole);
    void Reset();

    bool Exists() const { return m_bExists; }
    // Empty until a valid first line was read.
    const std::string& Survey() const { return m_survey; }
    const JOB_INFO& Job() const { return m_job; }
    // Lines skipped since the start: torn or malformed.
    size_t BadLines() const { return m_badLines; }
    // The 1-based line number of the first bad line (0: none).
    size_t FirstBadLine() const { return m_firstBadLine; }

    // Lays the record of point index over point, when there is one for that
    // index with the same Log column; true then. The record is kept (a later
    // amendment may still change it) until Forget.
    bool Join(size_t index, uint32_t logColumn, SURVEY_POINT& point, POINT_HEIGHTS& heights,
              POINT_RECORD& record) const;
    // Drops the records below index (their points are delivered).
    void Forget(size_t index);
    // Points below index whose record an amendment changed since the last call.
    std::map<size_t, POINT_RECORD> TakeAmended(size_t below);

private:
    void TakeLine(std::string_view line);

    bool m_bExists = false;
    long m_lOffset = 0;
    size_t m_lines = 0;
    std::string m_survey;
    JOB_INFO m_job;
    size_t m_badLines = 0;
    size_t m_firstBadLine = 0;
    size_t m_forgotten = 0;
    std::map<size_t, COMPANION_POINT> m_points;
    std::map<size_t, POINT_RECORD> m_amended;
};

// The text of one JSON string value, quotes and escapes included.
void AppendJsonString(std::string& out, std::string_view text);
