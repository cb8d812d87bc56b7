// Stands for the handheld's fixed places:
//  - "\My Documents": the documents folder (configuration file, debug files,
//    single-instance lock). --documents DIR, else $FIELDBOOK_DOCUMENTS, else the
//    XDG documents folder, else ~/Documents.
//  - the device "COM%d:": PORTS/COM<n>, PORTS being --ports DIR, else
//    $FIELDBOOK_PORTS, else ~/.config/fieldbook/ports.
//  - the program's own folder, where the survey logs live: --log-dir DIR, else
//    $FIELDBOOK_LOG_DIR, else the folder of the executable when this user may
//    write there (a build folder), else DOCUMENTS/fieldbook/ (an installed
//    program, whose folder is /usr/bin).
// Paths are UTF-8 byte strings used as they are. Every folder returned ends in '/'.
#pragma once

#include <string>

// An empty argument goes back to the environment's choice.
void SetDocumentsFolder(const std::string& dir);
void SetPortsFolder(const std::string& dir);
void SetLogFolder(const std::string& dir);

std::string GetDocumentsFolder();
// The documents folder is the desktop's own (XDG, else ~/Documents), not one
// given by --documents or $FIELDBOOK_DOCUMENTS.
bool DocumentsFolderIsDefault();
std::string GetPortsFolder();
// The log folder in force, created (with any missing parent) if it does not
// exist yet: a folder named before it was made must not turn a survey into
// points held in memory.
std::string GetLogFolder();

// Which rule gave the log folder: start-up tells the user when the program's
// folder could not take the logs.
enum class LogFolderSource { CommandLine, Environment, ProgramFolder, Documents };
struct LOG_FOLDER_CHOICE {
    std::string folder; // ends in '/'
    LogFolderSource source = LogFolderSource::ProgramFolder;
};
inline constexpr char kFallbackLogFolderName[] = "fieldbook";

// The rule itself. Empty texts are not given; an empty program folder (the
// system gave no path) counts as one that cannot be written.
LOG_FOLDER_CHOICE ChooseLogFolder(const std::string& commandLine, const std::string& environment,
                                  const std::string& appDirectory, bool appDirectoryWritable,
                                  const std::string& documents);
// The rule on the folders in force; the program's folder is probed with access().
// Creates nothing.
LOG_FOLDER_CHOICE GetLogFolderChoice();

// Documents folder + file name, e.g. DocumentsPath("LocateData.txt").
std::string DocumentsPath(const std::string& fileName);
// Ports folder + "COM<n>".
std::string PortDevicePath(int portNumber);

// Folder of the running program (from /proc/self/exe) with its trailing slash,
// exactly as the system names it (a Linux folder may hold quote characters);
// empty when the system gives no path.
std::string GetAppDirectory();

// Appends '/' unless the text is empty or already ends in one.
std::string WithTrailingSlash(std::string dir);

// Creates the folder and any missing parent (mode 0777 less the umask); true
// when it exists as a folder afterwards.
bool MakeFolders(const std::string& dir);
