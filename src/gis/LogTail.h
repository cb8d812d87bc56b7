// Reads a survey log that is being written: only the lines added since the last
// read. fieldbook rewrites the whole file after every point, but a line depends
// only on its own point and the points before it, so the text already read stays
// as it was and the new points are the lines after it. If the file changed under
// the part already read (another survey took the name over, or the office
// corrected a line in it), reading starts again at the top.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gis/GisSchema.h"
#include "surveylog/LogFormat.h"

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
    // is). False when the file cannot be read. The one reader of survey logs:
    // the export, --watch and the GeoPackage catch-up all read through it.
    // At most maxPoints are read; Commit, and the next read goes on after them.
    bool ReadNew(const std::string& path, std::vector<GIS_POINT>& points, size_t& first, bool bWhole = false,
                 size_t maxPoints = SIZE_MAX);
    // The points of the last ReadNew have been delivered: the next read starts
    // after them.
    void Commit();
    // Forget everything: the next read starts at the top.
    void Reset();

    size_t Count() const { return m_count; }
    // The lines the last ReadNew passed over (not points), in file order.
    const std::vector<SKIPPED_LINE>& Skipped() const { return m_skipped; }
    // The survey of the points read (see LOG_ID); empty before the first.
    const std::string& Survey() const { return m_pending.survey; }

private:
    struct POSITION {
        long lOffset = 0;           // byte offset after the last line read
        size_t count = 0;           // points read up to there
        size_t lines = 0;           // lines of the file up to there
        std::string lastLine;       // the line that ends there (to notice a replaced file)
        std::string survey;         // fingerprint of the first point
        uint64_t digest = kDigestStart; // FNV-1a of the bytes before lOffset
    };
    static constexpr uint64_t kDigestStart = 14695981039346656037ull;
    POSITION m_committed;
    POSITION m_pending;
    size_t m_count = 0;
    std::vector<SKIPPED_LINE> m_skipped;
};

// Whether name is a survey log's name: ten digits and ".txt" (DDMMhhmmss.txt).
bool IsSurveyLogName(const std::string& name);
// The names in folder ("." and ".." left out), in the order the folder gives
// them; empty when it cannot be read. logsOnly: survey log names alone.
std::vector<std::string> FolderEntries(const std::string& folder, bool logsOnly = false);
