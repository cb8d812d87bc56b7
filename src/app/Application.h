// Start and end of the program, shared by both faces: command line, folders,
// configuration, the single-instance rule, the view, and the exit sequence.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ControlSocket.h"
#include "app/FieldbookView.h"
#include "surveylog/SurveyLogObserver.h"
#include "surveylog/PointRecord.h"

// Commands of the toolbar and their fixed numbers.
enum : int {
    ID_NEW_LOG = 32785,
    ID_TRANSFER = 32789,
    ID_SETTINGS = 32855,
    ID_EXIT = 32857,
    ID_ABOUT = 57664,
    ID_HELP = 57670,
};
// Status bar panes.
enum : int { ID_PANE_LOG = 129, ID_PANE_XFER = 130 };

constexpr const char* kAppTitle = "fieldbook";

struct APP_OPTIONS {
    bool bHeadless = false;
    std::string documents; // --documents DIR
    std::string ports;     // --ports DIR
    std::string logDir;    // --log-dir DIR
};

enum class ParseResult { Run, Exit, UsageError };

// Reads the command line. Exit: --help or --version printed to out; UsageError:
// a one-line message in error (the caller prints it and ends with status 2).
ParseResult ParseCommandLine(int argc, char** argv, APP_OPTIONS& options, std::string& out, std::string& error);
std::string UsageText();

// Puts the chosen folders in force (command line, else environment, else default).
void ApplyFolders(const APP_OPTIONS& options);

// Creates what a run writes into and may not exist yet: the documents folder
// when it is the desktop's default one (a fresh account has none; without it
// there is no settings file and no single-instance lock), and the log folder.
// One warning line for each that could not be made.
std::vector<std::string> CreateMissingFolders();

// Empty, unless the survey logs cannot go to the program's folder (an installed
// program) and go to the documents folder instead: then one line saying where
// and why, for start-up to show.
std::string LogFolderNotice();

// Name of the single-instance lock file in the documents folder.
constexpr const char* kInstanceLockName = "{75CA3573-B449-4e0b-83F5-9FD612A876C7}.lock";

// Who holds the instance lock, as its holder wrote it into the lock file:
// one line "<face> <pid> <log folder>", face being "window" or "service".
struct INSTANCE_HOLDER {
    std::string face;      // empty: the holder wrote nothing (an older fieldbook)
    int pid = 0;
    std::string logFolder;
};
// The line a holder writes, and its reading (false for anything else).
std::string FormatInstanceHolder(const INSTANCE_HOLDER& holder);
bool ParseInstanceHolder(const std::string& text, INSTANCE_HOLDER& holder);
// What a second start says before it ends, in plain words: which fieldbook
// runs (the window or the headless service), where its logs go, what to do.
std::string SecondInstanceText(const INSTANCE_HOLDER& holder, const std::string& documents);

// One running fieldbook per documents folder: an exclusive flock on the lock file.
class CSingleInstance {
public:
    CSingleInstance() = default;
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;
    // false when another instance holds the lock. A lock file that cannot be
    // made (documents folder missing) does not stop the program. The holder
    // writes face ("window", "service"), its pid and the log folder into the
    // file, for a second start to name it.
    bool Acquire(const char* face = "service");
    // After a refused Acquire: the holder as it described itself.
    const INSTANCE_HOLDER& Holder() const { return m_holder; }

private:
    int m_fd = -1;
    INSTANCE_HOLDER m_holder;
};

// Makes what is kept in step with the survey log beside it (the program installs
// the GeoPackage keeper, which the core knows only by this interface); notice
// takes its one-line messages, from any thread. Used when LOG#GEOPACKAGE is on.
using LogCompanionFactory =
    std::function<std::unique_ptr<ISurveyLogObserver>(std::function<void(const std::string&)> notice)>;
void SetLogCompanionFactory(LogCompanionFactory factory);

// What the program adds to each new point of the survey log: its heights as
// the settings in force make them (GPS#ANTENNA, the geoid model), and those
// settings, for the point's companion record.
void AnnotatePoint(const SURVEY_POINT& point, POINT_HEIGHTS& heights, POINT_RECORD& record);

// The application's running part: the view and the exit sequence.
class CFieldbookApp {
public:
    explicit CFieldbookApp(IViewFace& face);
    ~CFieldbookApp();

    // Creates the view (which starts the link) and runs its first update.
    void Start();
    // ID_NEW_LOG: closes off the current survey and starts a new file.
    void NewLog();
    // Stops the record timer and the link, disposes of the survey log, lets the
    // log's companion finish (bounded), destroys the view (which shuts the link
    // down and closes "system.txt"). Safe twice.
    void ExitSequence();

    CFieldbookView* View() const { return m_view.get(); }

    // The control socket fieldbook-ctl talks to (-1 when it could not be
    // opened; a notice said why). The face's main loop watches it and calls
    // ServeControl when it is readable.
    int ControlFd() const { return m_control.Fd(); }
    void ServeControl();
    // The crew's action from either face: the window's buttons come here too.
    CREW_REPLY Crew(const std::vector<std::string>& words);

private:
    CControlServer m_control;
    IViewFace& m_face;
    std::unique_ptr<ISurveyLogObserver> m_companion;
    std::unique_ptr<CFieldbookView> m_view;
    bool m_exited = false;
};
