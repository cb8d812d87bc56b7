#include "app/Application.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "app/ConfigFile.h"
#include "app/CrewCommands.h"
#include "app/GeoidModel.h"
#include "point/Heights.h"
#include "platform/Folders.h"
#include "platform/RegularFile.h"
#include "surveylog/SurveyLog.h"

namespace {
LogCompanionFactory g_companionFactory;
} // namespace

void SetLogCompanionFactory(LogCompanionFactory factory) { g_companionFactory = std::move(factory); }


std::string UsageText()
{
    return "Usage: fieldbook [--headless] [--documents DIR] [--ports DIR] [--log-dir DIR]\n"
           "       fieldbook --help | --version\n"
           "\n"
           "Field-survey logger: takes measurements from a locator on the Bluetooth serial\n"
           "port COM<n> and positions from a GPS receiver on a second port, answers the\n"
           "locator and writes the survey log.\n"
           "\n"
           "  --headless       run without a window; events go to stdout, one per line;\n"
           "                   SIGINT/SIGTERM end the run, SIGHUP starts a new survey log\n"
           "  --documents DIR  configuration file, debug files and instance lock\n"
           "                   (else $FIELDBOOK_DOCUMENTS, the XDG documents folder, ~/Documents)\n"
           "  --ports DIR      folder holding COM<n> entries, usually symlinks to devices\n"
           "                   (else $FIELDBOOK_PORTS, else ~/.config/fieldbook/ports)\n"
           "  --log-dir DIR    where survey logs are written\n"
           "                   (else $FIELDBOOK_LOG_DIR, else the program's folder when it\n"
           "                   can be written, else the fieldbook folder in the documents folder)\n"
           "  --help           this text\n"
           "  --version        the version\n";
}

ParseResult ParseCommandLine(int argc, char** argv, APP_OPTIONS& options, std::string& out, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* folder = nullptr;
        if (arg == "--headless") {
            options.bHeadless = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            out = UsageText();
            return ParseResult::Exit;
        }
        if (arg == "--version") {
            out = std::string("fieldbook ") + FIELDBOOK_VERSION + "\n";
            return ParseResult::Exit;
        }
        if (arg == "--documents")
            folder = &options.documents;
        else if (arg == "--ports")
            folder = &options.ports;
        else if (arg == "--log-dir")
            folder = &options.logDir;
        if (folder == nullptr) {
            error = "fieldbook: unknown option '" + arg + "' (see --help)";
            return ParseResult::UsageError;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            error = "fieldbook: " + arg + " needs a folder (see --help)";
            return ParseResult::UsageError;
        }
        *folder = argv[++i];
    }
    return ParseResult::Run;
}

void ApplyFolders(const APP_OPTIONS& options)
{
    SetDocumentsFolder(options.documents);
    SetPortsFolder(options.ports);
    SetLogFolder(options.logDir);
}

std::vector<std::string> CreateMissingFolders()
{
    std::vector<std::string> warnings;
    auto make = [&warnings](const std::string& folder, const char* what, const char* consequence) {
        if (MakeFolders(folder))
            return;
        const int error = errno;
        warnings.push_back(EscapeControlBytes("fieldbook: cannot create the " + std::string(what) + " " + folder +
                                              ": " + strerrordesc_np(error) + "; " + consequence));
    };
    if (DocumentsFolderIsDefault())
        make(GetDocumentsFolder(), "documents folder", "the settings are not kept and a second fieldbook is not stopped");
    make(GetLogFolderChoice().folder, "log folder", "points are held in memory until it can be written");
    return warnings;
}

std::string LogFolderNotice()
{
    const LOG_FOLDER_CHOICE choice = GetLogFolderChoice();
    if (choice.source != LogFolderSource::Documents)
        return {};
    const std::string program = GetAppDirectory();
    return "fieldbook: survey logs go to " + choice.folder + " (the program's folder " +
           (program.empty() ? std::string("is unknown") : program + " cannot be written") +
           "; --log-dir or FIELDBOOK_LOG_DIR chooses another)";
}

CSingleInstance::~CSingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string FormatInstanceHolder(const INSTANCE_HOLDER& holder)
{
    return holder.face + " " + std::to_string(holder.pid) + " " + holder.logFolder + "\n";
}

bool ParseInstanceHolder(const std::string& text, INSTANCE_HOLDER& holder)
{
    const size_t space1 = text.find(' ');
    const size_t space2 = space1 == std::string::npos ? std::string::npos : text.find(' ', space1 + 1);
    const size_t end = text.find('\n');
    if (space2 == std::string::npos || end == std::string::npos || end < space2)
        return false;
    const std::string face = text.substr(0, space1);
    if (face != "window" && face != "service")
        return false;
    int pid = 0;
    for (size_t i = space1 + 1; i < space2; ++i) {
        if (text[i] < '0' || text[i] > '9' || pid > 99999999)
            return false;
        pid = pid * 10 + (text[i] - '0');
    }
    if (pid <= 0)
        return false;
    holder.face = face;
    holder.pid = pid;
    holder.logFolder = text.substr(space2 + 1, end - space2 - 1);
    return true;
}

std::string SecondInstanceText(const INSTANCE_HOLDER& holder, const std::string& documents)
{
    std::string running;
    if (holder.face == "window")
        running = "fieldbook is already open in a window";
    else if (holder.face == "service")
        running = "fieldbook is already running as a service without a window";
    else
        running = "fieldbook is already running";
    running += ", with the documents folder " + documents;
    if (!holder.logFolder.empty())
        running += "; its survey logs go to " + holder.logFolder;
    running += ". Only one fieldbook can use the ports and the settings at a time, so this one ends.";
    if (holder.face == "service")
        running += " To use the window, stop the service first (systemctl --user stop fieldbook, or end "
                   "fieldbook --headless).";
    return EscapeControlBytes(running);
}

bool CSingleInstance::Acquire(const char* face)
{
    const std::string path = DocumentsPath(kInstanceLockName);
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        return true;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        if (held) {
            // The holder's own line; a lock file of an older fieldbook holds none.
            char buffer[1024];
            const ssize_t n = ::pread(m_fd, buffer, sizeof buffer - 1, 0);
            m_holder = {};
            if (n > 0)
                ParseInstanceHolder(std::string(buffer, static_cast<size_t>(n)), m_holder);
        }
        ::close(m_fd);
        m_fd = -1;
        return !held;
    }
    // Written only while the lock is held, so a reader that found the lock
    // taken reads a whole line or the previous holder's at worst.
    const std::string line = FormatInstanceHolder({face, static_cast<int>(::getpid()), GetLogFolderChoice().folder});
    if (::ftruncate(m_fd, 0) == 0) {
        [[maybe_unused]] const ssize_t n = ::pwrite(m_fd, line.data(), line.size(), 0);
    }
    return true;
}

void AnnotatePoint(const SURVEY_POINT& point, POINT_HEIGHTS& heights, POINT_RECORD& record)
{
    const double antenna = GetConfig().m_dfAntennaHeight;
    const IGeoidModel* geoid = GetGeoidModel();
    heights = PointHeights(point, antenna, geoid);
    record.AntennaHeight = antenna;
    record.Geoid = geoid != nullptr ? geoid->Name() : std::string();
    // The utility the crew set last, until they set another.
    record.Utility = CCrewActions::Get().Current();
}

CFieldbookApp::CFieldbookApp(IViewFace& face) : m_face(face) {}

CFieldbookApp::~CFieldbookApp()
{
    ExitSequence();
}

void CFieldbookApp::Start()
{
    // Each new point gets its heights and the settings that made them now,
    // as the crew has them set: its record keeps them whatever changes later.
    CSurveyLog::GetInstance()->SetAnnotator(AnnotatePoint);
    // Before the view starts the first log file, which may take over the
    // points of an existing one.
    if (g_companionFactory && GetConfig().m_bGeoPackage) {
        IViewFace* face = &m_face;
        m_companion = g_companionFactory([face](const std::string& text) { face->OnNotice(text, false); });
        CSurveyLog::GetInstance()->SetObserver(m_companion.get());
    }
    // Listening before the first log is made: a client that comes early waits
    // in the socket's queue, within its own time limit, for the main loop.
    if (std::string error; !m_control.Open(ControlSocketPath(), error))
        m_face.OnNotice("fieldbook: fieldbook-ctl cannot reach this run: " + error, true);
    m_view = std::make_unique<CFieldbookView>(m_face);
    m_view->OnInitialUpdate();
}

CREW_REPLY CFieldbookApp::Crew(const std::vector<std::string>& words)
{
    CREW_REPLY reply = CCrewActions::Get().Run(words, m_view.get());
    if (m_view)
        m_view->ReportLogSaveState();
    return reply;
}

void CFieldbookApp::ServeControl()
{
    m_control.Serve([this](const std::vector<std::string>& words) { return Crew(words); });
}

void CFieldbookApp::NewLog()
{
    CSurveyLog::GetInstance()->StartNewFile();
    if (m_view)
        m_view->ReportLogSaveState();
}

void CFieldbookApp::ExitSequence()
{
    if (m_exited || !m_view)
        return;
    m_exited = true;
    m_control.Close();
    m_face.StopRecordTimer();
    m_view->StopLink();
    // The last chance for points that only memory holds: what cannot be saved
    // now is lost, and the user hears of it.
    CSurveyLog* log = CSurveyLog::GetInstance();
    if (log->GetUnsavedCount() > 0 && !log->GetFileName().empty() && !log->Save())
        m_face.OnNotice(SaveFailureText(*log, "lost as the program ends"), true);
    CSurveyLog::DestroyInstance();
    m_companion.reset();
    m_view.reset();
}
