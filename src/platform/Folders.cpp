#include "platform/Folders.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex g_mutex;
std::string g_documents;
std::string g_ports;
std::string g_logs;

std::string EnvOr(const char* name, const std::string& fallback)
{
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

std::string HomeFolder()
{
    return EnvOr("HOME", "/");
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs, e.g. XDG_DOCUMENTS_DIR="$HOME/Documents".
std::string XdgDocumentsFolder()
{
    const std::string configHome = EnvOr("XDG_CONFIG_HOME", WithTrailingSlash(HomeFolder()) + ".config");
    std::ifstream in(WithTrailingSlash(configHome) + "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.compare(0, 5, "$HOME") == 0)
            value = HomeFolder() + value.substr(5);
        if (!value.empty() && value.front() == '/')
            return value;
    }
    return {};
}

} // namespace

std::string WithTrailingSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

void SetDocumentsFolder(const std::string& dir)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_documents = dir;
}

void SetPortsFolder(const std::string& dir)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ports = dir;
}

void SetLogFolder(const std::string& dir)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_logs = dir;
}

std::string GetDocumentsFolder()
{
    std::string chosen;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        chosen = g_documents;
    }
    if (chosen.empty())
        chosen = EnvOr("FIELDBOOK_DOCUMENTS", "");
    if (chosen.empty())
        chosen = XdgDocumentsFolder();
    if (chosen.empty())
        chosen = WithTrailingSlash(HomeFolder()) + "Documents";
    return WithTrailingSlash(chosen);
}

bool DocumentsFolderIsDefault()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_documents.empty())
            return false;
    }
    return EnvOr("FIELDBOOK_DOCUMENTS", "").empty();
}

std::string GetPortsFolder()
{
    std::string chosen;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        chosen = g_ports;
    }
    if (chosen.empty())
        chosen = EnvOr("FIELDBOOK_PORTS", "");
    if (chosen.empty())
        chosen = WithTrailingSlash(HomeFolder()) + ".config/fieldbook/ports";
    return WithTrailingSlash(chosen);
}

LOG_FOLDER_CHOICE ChooseLogFolder(const std::string& commandLine, const std::string& environment,
                                  const std::string& appDirectory, bool appDirectoryWritable,
                                  const std::string& documents)
{
    if (!commandLine.empty())
        return {WithTrailingSlash(commandLine), LogFolderSource::CommandLine};
    if (!environment.empty())
        return {WithTrailingSlash(environment), LogFolderSource::Environment};
    // An installed program lives in /usr/bin: a log there could never be saved
    // and the survey would live in memory only.
    if (!appDirectory.empty() && appDirectoryWritable)
        return {WithTrailingSlash(appDirectory), LogFolderSource::ProgramFolder};
    return {WithTrailingSlash(WithTrailingSlash(documents) + kFallbackLogFolderName), LogFolderSource::Documents};
}

LOG_FOLDER_CHOICE GetLogFolderChoice()
{
    std::string chosen;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        chosen = g_logs;
    }
    const std::string environment = EnvOr("FIELDBOOK_LOG_DIR", "");
    if (!chosen.empty() || !environment.empty())
        return ChooseLogFolder(chosen, environment, {}, false, {});
    const std::string appDirectory = GetAppDirectory();
    const bool writable = !appDirectory.empty() && ::access(appDirectory.c_str(), W_OK | X_OK) == 0;
    return ChooseLogFolder({}, {}, appDirectory, writable, GetDocumentsFolder());
}

std::string GetLogFolder()
{
    LOG_FOLDER_CHOICE choice = GetLogFolderChoice();
    MakeFolders(choice.folder); // a failure shows as failed saves
    return choice.folder;
}

bool MakeFolders(const std::string& dir)
{
    std::string path;
    size_t pos = 0;
    while (pos < dir.size()) {
        const size_t slash = dir.find('/', pos + 1);
        path = dir.substr(0, slash == std::string::npos ? dir.size() : slash);
        pos = (slash == std::string::npos) ? dir.size() : slash;
        if (path.empty() || path == "/")
            continue;
        if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info{};
    return ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string DocumentsPath(const std::string& fileName)
{
    return GetDocumentsFolder() + fileName;
}

std::string PortDevicePath(int portNumber)
{
    return GetPortsFolder() + "COM" + std::to_string(portNumber);
}

std::string GetAppDirectory()
{
    // No length cut: a deep install folder must still resolve to itself.
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    std::string path(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos)
        path.resize(slash + 1);
    return path;
}
