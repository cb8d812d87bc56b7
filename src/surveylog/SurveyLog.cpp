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
        m_points.push_back(point);
    } catch (const std::bad_alloc&) {
        m_distances.resize(m_points.size());
        return false;
    }
    m_distances.back() = m_distance.Next(point);
    m_bUnsaved = true;
    return true;
}

void CSurveyLog::Clear()
{
    // A long survey holds megabytes; give them back rather than keep the peak.
    std::vector<SURVEY_POINT>().swap(m_points);
    std::vector<float>().swap(m_distances);
    std::string().swap(m_lines);
    m_formatted = 0;
    m_distance.Reset();
    m_bUnsaved = false;
    m_nSaved = 0;
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
    if (!WriteFile(GetFullPath())) {
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
    if (m_fileName.empty())
        carried.swap(m_points);
    else if (!Save())
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
    for (const SURVEY_POINT& point : carried)
        Add(point);

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
    char line[kLogReadBufferSize];
    if (std::fgets(line, sizeof line, file) != nullptr) { // the header line
        bool bUnitsLine = true;
        while (std::fgets(line, sizeof line, file) != nullptr) {
            if (bUnitsLine) {
                bUnitsLine = false;
                continue;
            }
            SURVEY_POINT point;
            if (ReadLogLine(line, point) && !Add(point))
                break;
        }
    }
    std::fclose(file);
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
