#include "surveylog/SurveyLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/Folders.h"
#include "platform/RegularFile.h"
#include "surveylog/Companion.h"

namespace {

CSurveyLog* g_pSurveyLog = nullptr;

bool WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// A rename is only durable once the folder that holds the name is on disk too.
// Some file systems cannot sync a folder; the new file is in place all the same.
void SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

CSurveyLog* CSurveyLog::GetInstance()
{
    if (g_pSurveyLog == nullptr)
        g_pSurveyLog = new CSurveyLog();
    return g_pSurveyLog;
}

void CSurveyLog::DestroyInstance()
{
    if (g_pSurveyLog == nullptr)
        return;
    // After a failed save the points exist only here; the folder may have come
    // back since.
    if (g_pSurveyLog->m_bUnsaved)
        g_pSurveyLog->Save();
    delete g_pSurveyLog;
    g_pSurveyLog = nullptr;
}

bool CSurveyLog::Add(const SURVEY_POINT& point)
{
    try {
        m_distances.push_back(0.0f);
        m_heights.emplace_back();
        m_records.emplace_back();
        m_points.push_back(point);
    } catch (const std::bad_alloc&) {
        m_distances.resize(m_points.size());
        m_heights.resize(m_points.size());
        m_records.resize(m_points.size());
        return false;
    }
    m_distances.back() = m_distance.Next(point);
    if (m_annotator)
        m_annotator(point, m_heights.back(), m_records.back());
    m_bUnsaved = true;
    return true;
}

bool CSurveyLog::SetVoid(size_t index, bool bVoid)
{
    if (index >= m_points.size())
        return false;
    m_records[index].bVoid = bVoid;
    m_marked.push_back(index);
    if (index < m_nRecorded)
        m_amended.insert(index);
    m_bUnsaved = true;
    return true;
}

bool CSurveyLog::SetNote(size_t index, const std::string& note)
{
    if (index >= m_points.size())
        return false;
    m_records[index].Note = note;
    m_marked.push_back(index);
    if (index < m_nRecorded)
        m_amended.insert(index);
    m_bUnsaved = true;
    return true;
}

void CSurveyLog::SetJob(const JOB_INFO& job)
{
    m_job = job;
    m_bJobUnsaved = true;
    m_bUnsaved = true;
}

void CSurveyLog::NewSurvey()
{
    m_surveyId = NewSurveyId();
    m_nRecorded = 0;
    m_amended.clear();
    m_marked.clear();
    m_bCompanionStarted = false;
    m_bWithoutCompanion = false;
    m_bJobUnsaved = m_job.IsSet();
}

void CSurveyLog::Clear()
{
    // A long survey holds megabytes; give them back rather than keep the peak.
    std::vector<SURVEY_POINT>().swap(m_points);
    std::vector<float>().swap(m_distances);
    std::vector<POINT_HEIGHTS>().swap(m_heights);
    std::vector<POINT_RECORD>().swap(m_records);
    std::string().swap(m_lines);
    m_formatted = 0;
    m_distance.Reset();
    m_bUnsaved = false;
    m_nSaved = 0;
    NewSurvey();
}

std::string CSurveyLog::GetFullPath() const { return WithTrailingSlash(m_folder) + m_fileName; }

std::string CSurveyLog::FileNameForTime(int day, int month, int hour, int minute, int second)
{
    char name[64];
    std::snprintf(name, sizeof name, "%.02d%.02d%.02d%.02d%.02d.txt", day, month, hour, minute, second);
    return name;
}

bool CSurveyLog::Save()
{
    if (m_points.empty())
        return true;
    if (m_fileName.empty())
        return false;
    // The record's new lines are written before the CSV is renamed into
    // place, so no reader sees a line without its record; they are synced
    // after, where that sync also commits the rename (one flush, not two).
    // A power cut in between can only leave the CSV's newest lines without
    // their record, never a record torn in the middle of the file.
    int companion = -1;
    bool ok = AppendCompanion(GetFullPath(), companion) && WriteCsv(GetFullPath(), false);
    if (companion >= 0) {
        const int error = errno;
        ok = (::fsync(companion) == 0) && ok;
        ok = (::close(companion) == 0) && ok;
        if (errno == 0)
            errno = error;
    }
    if (ok)
        SyncFolder(m_folder);
    if (!ok) {
        m_nSaveError = errno != 0 ? errno : EIO;
        ++m_nFailedSaves;
        if (m_pObserver != nullptr)
            m_pObserver->OnLogSaveFailed(*this);
        return false;
    }
    m_nSaveError = 0;
    m_nSaved = m_points.size();
    m_bUnsaved = false;
    if (m_pObserver != nullptr)
        m_pObserver->OnLogSaved(*this);
    return true;
}

bool CSurveyLog::StartNewFile()
{
    // Points that arrived before any file was named belong to the first file.
    std::vector<SURVEY_POINT> carried;
    std::vector<POINT_HEIGHTS> carriedHeights;
    std::vector<POINT_RECORD> carriedRecords;
    if (m_fileName.empty()) {
        carried.swap(m_points);
        carriedHeights.swap(m_heights);
        carriedRecords.swap(m_records);
    } else if (!Save())
        return false; // the only copy of this survey is in memory: keep it
    Clear();

    const LOCAL_TIME now = GetLocalTime();
    m_fileName = FileNameForTime(now.nDay, now.nMonth, now.nHour, now.nMinute, now.nSecond);
    m_folder = GetLogFolder();
    ReadFile(GetFullPath());
    m_bUnsaved = false;
    m_nSaved = m_points.size();
    // The file holds what was taken over: whatever is kept beside it catches up now.
    if (!m_points.empty() && m_pObserver != nullptr)
        m_pObserver->OnLogSaved(*this);
    for (size_t i = 0; i < carried.size(); ++i) {
        if (Add(carried[i])) {
            m_heights.back() = carriedHeights[i];
            m_records.back() = carriedRecords[i];
        }
    }

    if (m_newFileWait.count() > 0)
        std::this_thread::sleep_for(m_newFileWait);
    return true;
}

void CSurveyLog::ReadFile(const std::string& path)
{
    FileKind kind = FileKind::Missing;
    std::FILE* file = OpenRegularFileForReading(path, kind);
    if (file == nullptr) {
        // A FIFO of the log's name would block start-up, a device would never end.
        if (kind != FileKind::Missing && kind != FileKind::Regular) {
            const std::string text = EscapeControlBytes("fieldbook: " + path + " is " + FileKindText(kind) +
                                                        ", not a survey log; it is not read");
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        return;
    }
    CCompanionReader companion;
    bool bCompanion = companion.ReadNew(CompanionPathForLog(path), true) && companion.Exists();
    const size_t before = m_points.size();
    size_t index = 0;
    char line[kLogReadBufferSize];
    if (std::fgets(line, sizeof line, file) != nullptr) { // the header line
        bool bUnitsLine = true;
        while (std::fgets(line, sizeof line, file) != nullptr) {
            if (bUnitsLine) {
                bUnitsLine = false;
                continue;
            }
            SURVEY_POINT point;
            if (!ReadLogLine(line, point))
                continue;
            POINT_HEIGHTS heights;
            POINT_RECORD record;
            const bool bJoined =
                bCompanion && companion.Join(index, point.LocateData.u32EepromFileIndex, point, heights, record);
            if (index == 0 && !bJoined)
                bCompanion = false; // another survey's record beside this log
            ++index;
            // A point taken over keeps the record it was logged with, not
            // what the settings would make of it now.
            Annotator annotator = std::move(m_annotator);
            const bool bAdded = Add(point);
            m_annotator = std::move(annotator);
            if (!bAdded)
                break;
            if (bJoined) {
                m_heights.back() = heights;
                m_records.back() = record;
            }
        }
    }
    std::fclose(file);
    if (before != 0 || m_points.empty())
        return;
    // The companion goes on from where it stands: same survey, new records
    // appended after those it holds. A log taken over without one keeps
    // none, so that its points keep the Survey key its CSV gave them.
    m_nRecorded = m_points.size();
    if (bCompanion && !companion.Survey().empty()) {
        m_surveyId = companion.Survey();
        m_job = companion.Job();
        m_bJobUnsaved = false;
        m_bCompanionStarted = true;
    } else {
        m_bWithoutCompanion = true;
    }
}

bool CSurveyLog::AppendCompanion(const std::string& logPath, int& fdOut)
{
    fdOut = -1;
    if (m_bWithoutCompanion)
        return true;
    std::string text;
    try {
        if (!m_bCompanionStarted) {
            const size_t slash = logPath.rfind('/');
            AppendCompanionHeader(text, m_surveyId, logPath.substr(slash == std::string::npos ? 0 : slash + 1));
        }
        if (m_bJobUnsaved)
            AppendCompanionJob(text, m_job);
        for (const size_t index : m_amended)
            AppendCompanionAmend(text, index, m_records[index]);
        for (size_t i = m_nRecorded; i < m_points.size(); ++i)
            AppendCompanionPoint(text, i, m_points[i], m_heights[i], m_records[i]);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    if (text.empty())
        return true;
    const std::string path = CompanionPathForLog(logPath);
    errno = 0;
    // A record of this name that the log did not take over belongs to no
    // point it holds: the CSV replaces its file whole, so does the record.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (m_bCompanionStarted ? 0 : O_TRUNC),
                          0666);
    if (fd < 0)
        return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0;
    const off_t good = ok ? st.st_size : 0;
    // A line torn by a power cut ends where the next record would begin:
    // close it, so that only it is lost.
    char last = '\n';
    if (ok && good > 0 && ::pread(fd, &last, 1, good - 1) == 1 && last != '\n')
        text.insert(text.begin(), '\n');
    ok = ok && WriteAll(fd, text.data(), text.size());
    if (!ok) {
        // Nothing of this save stays: the next one writes it all again.
        const int error = errno != 0 ? errno : EIO;
        if (::ftruncate(fd, good) == 0)
            ::fsync(fd);
        ::close(fd);
        errno = error;
        return false;
    }
    fdOut = fd;
    m_bCompanionStarted = true;
    m_bJobUnsaved = false;
    m_amended.clear();
    m_nRecorded = m_points.size();
    return true;
}

bool CSurveyLog::FormatNewLines()
{
    char line[kLogLineSize];
    try {
        while (m_formatted < m_points.size()) {
            const size_t length = FormatLogLine(m_points[m_formatted], m_distances[m_formatted], line, sizeof line);
            m_lines.append(line, length);
            ++m_formatted;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CSurveyLog::WriteLines(int fd)
{
    return FormatNewLines() && WriteAll(fd, m_lines.data(), m_lines.size());
}

bool CSurveyLog::WriteFile(const std::string& path)
{
    return WriteCsv(path, true);
}

bool CSurveyLog::WriteCsv(const std::string& path, bool bSyncFolder)
{
    const size_t slash = path.rfind('/');
    const std::string folder = (slash == std::string::npos) ? std::string() : path.substr(0, slash + 1);
    const std::string name = path.substr(folder.size());
    if (name.empty()) {
        errno = EISDIR;
        return false;
    }
    // Format before anything touches the disk: running out of memory then
    // leaves no trace.
    if (!FormatNewLines()) {
        errno = ENOMEM;
        return false;
    }

    // Hidden, and one fixed name per log: a save cut short by a crash leaves at
    // most one such file, which the next save replaces.
    const std::string temporary = folder + "." + name + ".tmp";
    ::unlink(temporary.c_str());
    errno = 0;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;

    bool ok = WriteAll(fd, kLogHeaderLine, sizeof kLogHeaderLine - 1) &&
              WriteAll(fd, kLogUnitsLine, sizeof kLogUnitsLine - 1) && WriteLines(fd);
    struct stat previous{};
    if (ok && ::stat(path.c_str(), &previous) == 0 && S_ISREG(previous.st_mode))
        ::fchmod(fd, previous.st_mode & 07777); // the log keeps the permissions it had
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    if (bSyncFolder)
        SyncFolder(folder);
    return true;
}

std::string SaveFailureText(const CSurveyLog& log, const char* fate)
{
    if (log.LastSaveError() == 0)
        return {};
    const size_t held = log.GetUnsavedCount();
    return "Log: cannot save " + log.GetFullPath() + ": " + strerrordesc_np(log.LastSaveError()) + "; " +
           std::to_string(held) + (held == 1 ? " point " : " points ") + fate;
}

std::string LogPaneText(const CSurveyLog& log)
{
    return log.GetFileName() + " (" + std::to_string(log.GetCount()) + ")";
}
