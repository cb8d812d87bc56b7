// Stands for the handheld's fixed places:
//  - "\My Documents": the documents folder (configuration file, debug files,
//    single-instance lock). --documents DIR, else $FIELDBOOK_DOCUMENTS, else the
//    XDG documents folder, else ~/Documents.
//  - the device "COM%d:": PORTS/COM<n>, PORTS being --ports DIR, else
//    $FIELDBOOK_PORTS, else ~/.config/fieldbook/ports.
//  - the program's own folder, where the survey logs live: --log-dir DIR, else
//    $FIELDBOOK_LOG_DIR, else the folder of the executable.
// Paths are UTF-8 byte strings used as they are. Every folder returned ends in '/'.
#pragma once

#include <string>

// An empty argument goes back to the environment's choice.
void SetDocumentsFolder(const std::string& dir);
void SetPortsFolder(const std::string& dir);
void SetLogFolder(const std::string& dir);

std::string GetDocumentsFolder();
std::string GetPortsFolder();
std::string GetLogFolder();

// Documents folder + file name, e.g. DocumentsPath("LocateData.txt").
std::string DocumentsPath(const std::string& fileName);
// Ports folder + "COM<n>".
std::string PortDevicePath(int portNumber);

// Folder of the running program (from /proc/self/exe) with its trailing slash and
// every single and double quote removed; empty when the system gives no path.
std::string GetAppDirectory();

// Appends '/' unless the text is empty or already ends in one.
std::string WithTrailingSlash(std::string dir);
