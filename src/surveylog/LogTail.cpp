#include "surveylog/LogTail.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FILE_CLOSER {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// One line as the log reader takes it: at most kLogReadBufferSize - 1
// characters (the rest of a longer line comes as a line of its own). False at
// the end of the file or at a last line that has no line feed yet.
bool NextLine(std::FILE* file, std::string& line, bool& complete)
{
    char buffer[kLogReadBufferSize];
    if (std::fgets(buffer, sizeof buffer, file) == nullptr)
        return false;
    line.assign(buffer);
    complete = !line.empty() && (line.back() == '\n' || line.size() == sizeof buffer - 1);
    return true;
}

uint64_t Digest(uint64_t hash, const char* bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

// Whether the first size bytes of file still hash to digest: a line
// corrected anywhere before the position read up to (fieldbook only adds).
// One read of what is already in the page cache, as fieldbook itself writes
// the whole file on every save.
bool SamePrefix(std::FILE* file, long size, uint64_t start, uint64_t digest)
{
    char buffer[65536];
    uint64_t hash = start;
    if (std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    for (long left = size; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<long>(left, static_cast<long>(sizeof buffer)));
        if (std::fread(buffer, 1, want, file) != want)
            return false;
        hash = Digest(hash, buffer, want);
        left -= static_cast<long>(want);
    }
    return hash == digest;
}

// The Distance column, the third of the line, as printed ("%.1f").
float PrintedDistance(const char* line)
{
    for (int comma = 0; comma < 2 && line != nullptr; ++comma) {
        line = std::strchr(line, ',');
        if (line != nullptr)
            ++line;
    }
    return line != nullptr ? std::strtof(line, nullptr) : 0.0f;
}

// A line the office corrected after it was logged no longer prints from its
// record: the CSV is the record of what it holds, so its values stand (the
// position keeps its full precision, which the join found to print alike, and
// the utility's elevation follows a corrected depth); the record keeps the
// rest (quality, the settings, the crew's marks).
void KeepCorrections(const std::string& line, LOGGED_POINT& point)
{
    char text[kLogLineSize];
    const size_t length = FormatLogLine(point.Point, point.fDistance, text, sizeof text);
    if (line.compare(0, std::string::npos, text, length) == 0)
        return;
    SURVEY_POINT csv;
    if (!ReadLogLine(line.c_str(), csv))
        return;
    csv.GpsFix.dfLatAng = point.Point.GpsFix.dfLatAng;
    csv.GpsFix.dfLongAng = point.Point.GpsFix.dfLongAng;
    csv.Quality = point.Point.Quality;
    point.Point = csv;
    point.Heights.Depth = PointDepthMetres(csv);
    point.Heights.UtilityElevation = std::nullopt;
    if (point.Heights.GroundElevation && point.Heights.Depth)
        point.Heights.UtilityElevation = *point.Heights.GroundElevation - *point.Heights.Depth;
}

} // namespace

std::string SurveyFingerprint(const SURVEY_POINT& first)
{
    char line[kLogLineSize];
    const size_t length = FormatLogLine(first, 0.0f, line, sizeof line);
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(line[i]);
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string NoCompanionText(const std::string& logName)
{
    return "Note: " + logName + " has no companion record; its points carry the CSV's 43 columns alone";
}

std::string BadRecordsText(const std::string& logName, const CLogTail& tail)
{
    const size_t slash = logName.rfind('/');
    const std::string companion = CompanionPathForLog(logName.substr(slash == std::string::npos ? 0 : slash + 1));
    return "Record: " + companion + " line " + std::to_string(tail.FirstBadRecord()) +
           " cannot be read (torn or edited); " + std::to_string(tail.BadRecords()) +
           (tail.BadRecords() == 1 ? " line skipped" : " lines skipped");
}

bool IsSurveyLogName(const std::string& name)
{
    if (name.size() != 14 || name.compare(10, 4, ".txt") != 0)
        return false;
    for (size_t i = 0; i < 10; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
    }
    return true;
}

std::vector<std::string> FolderEntries(const std::string& folder, bool logsOnly)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && (!logsOnly || IsSurveyLogName(name)))
                names.push_back(name);
        }
        ::closedir(dir);
    }
    return names;
}

void CLogTail::Reset()
{
    m_committed = POSITION{};
    m_pending = POSITION{};
    m_count = 0;
    m_companion.Reset();
    m_bForeignCompanion = false;
}

void CLogTail::Commit()
{
    m_committed = m_pending;
    m_count = m_committed.count;
    m_companion.Forget(m_count);
}

bool CLogTail::ReadNew(const std::string& path, std::vector<LOGGED_POINT>& points, size_t& first, bool bWhole,
                       size_t maxPoints)
{
    points.clear();
    m_skipped.clear();
    std::unique_ptr<std::FILE, FILE_CLOSER> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return false;
    POSITION pos = m_committed;
    std::string line;
    bool complete = false;
    // The line before the committed position must still be there, or the file
    // is another one now.
    if (pos.lOffset > 0) {
        const long lineStart = pos.lOffset - static_cast<long>(pos.lastLine.size());
        if (std::fseek(file.get(), lineStart, SEEK_SET) != 0 || !NextLine(file.get(), line, complete) ||
            line != pos.lastLine || !SamePrefix(file.get(), pos.lOffset, kDigestStart, pos.digest) ||
            std::fseek(file.get(), pos.lOffset, SEEK_SET) != 0) {
            pos = POSITION{};
            m_companion.Reset(); // another survey's record now, if any
            m_bForeignCompanion = false;
        }
    }
    // The companion is written before the CSV: what it holds now covers every
    // line read below.
    const std::string companionPath = CompanionPathForLog(path);
    if (!m_companion.ReadNew(companionPath, bWhole))
        return false;
    bool bCompanion = m_companion.Exists() && !m_companion.Survey().empty() && !m_bForeignCompanion;
    if (pos.lOffset == 0) {
        std::rewind(file.get());
        // The header and the units line are no points.
        for (int heading = 0; heading < 2; ++heading) {
            if (!NextLine(file.get(), line, complete) || (!complete && !bWhole)) {
                m_pending = m_committed;
                first = m_committed.count;
                return true; // not even the headings yet
            }
            pos.digest = Digest(pos.digest, line.data(), line.size());
            ++pos.lines;
        }
        pos.lOffset = std::ftell(file.get());
        pos.lastLine = line;
    }
    first = pos.count;
    while (points.size() < maxPoints) {
        const long start = std::ftell(file.get());
        if (!NextLine(file.get(), line, complete))
            break;
        if (!complete && !bWhole) {
            std::fseek(file.get(), start, SEEK_SET);
            break;
        }
        LOGGED_POINT point;
        if (ReadLogLine(line.c_str(), point.Point)) {
            // Worked out once, by the log as it printed the line.
            point.fDistance = PrintedDistance(line.c_str());
            point.bRecord = bCompanion && m_companion.Join(pos.count, point.Point.LocateData.u32EepromFileIndex,
                                                           point.Point, point.Heights, point.Record);
            if (point.bRecord)
                KeepCorrections(line, point);
            if (pos.count == 0) {
                // A first line without its record: the companion beside the
                // log is another survey's (a CSV copied over the log alone).
                if (bCompanion && !point.bRecord)
                    m_bForeignCompanion = true, bCompanion = false;
                pos.survey = bCompanion ? m_companion.Survey() : SurveyFingerprint(point.Point);
            }
            points.push_back(std::move(point));
            ++pos.count;
        } else {
            // Said, never dropped in silence: the office finds the line.
            const size_t end = line.find_last_not_of("\r\n");
            m_skipped.push_back(SKIPPED_LINE{pos.lines + 1, end == std::string::npos
                                                                ? 0
                                                                : 1 + static_cast<int>(std::count(
                                                                          line.begin(), line.begin() + end + 1, ','))});
        }
        ++pos.lines;
        pos.lOffset = std::ftell(file.get());
        pos.lastLine = line;
        pos.digest = Digest(pos.digest, line.data(), line.size());
    }
    m_pending = pos;
    return !std::ferror(file.get());
}
