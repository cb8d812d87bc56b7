#include "app/PortList.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Folders.h"

int ProbePortDevice(const std::string& path)
{
    // O_NONBLOCK: a serial line without carrier would otherwise hold the open.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

bool PortErrorMeansPresent(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EIO:
    case EBUSY:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

std::vector<std::string> ListPortNames(const std::function<int(int portNumber)>& probe)
{
    std::vector<std::string> names;
    for (int n = kFirstListedPort; n <= kLastListedPort; ++n) {
        const int error = probe(n);
        if (error == 0 || PortErrorMeansPresent(error))
            names.push_back(PortName(n));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ListPortNames()
{
    return ListPortNames([](int n) { return ProbePortDevice(PortDevicePath(n)); });
}

int PortNumberFromName(const std::string& name)
{
    if (name.size() <= 3)
        return 0;
    return static_cast<int>(std::strtol(name.c_str() + 3, nullptr, 10));
}

std::string PortName(int portNumber)
{
    return "COM" + std::to_string(portNumber);
}

std::string PortEntryProblem(int portNumber)
{
    const std::string path = PortDevicePath(portNumber);
    const std::string name = PortName(portNumber);
    struct stat entry{};
    if (::lstat(path.c_str(), &entry) != 0) {
        struct stat folder{};
        const std::string ports = GetPortsFolder();
        if (::stat(ports.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
            return "the ports folder " + ports + " does not exist";
        return name + " is not in the ports folder " + ports;
    }
    struct stat device{};
    if (S_ISLNK(entry.st_mode) && ::stat(path.c_str(), &device) != 0 && errno == ENOENT) {
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        return name + " points at " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0) +
               ", which does not exist";
    }
    return {};
}

PORT_HINTS CheckPorts(int gpsPort, int bluetoothPort)
{
    PORT_HINTS hints;
    if (gpsPort != 0) {
        if (const std::string problem = PortEntryProblem(gpsPort); !problem.empty())
            hints.gps = "GPS port: " + problem;
        if (gpsPort == bluetoothPort)
            hints.shared = "fieldbook: the GPS and the locator are both set to " + PortName(gpsPort) +
                           "; one device cannot be both, set one of them to another port";
    }
    if (const std::string problem = PortEntryProblem(bluetoothPort); !problem.empty())
        hints.bluetooth = "Locator port: " + problem;
    return hints;
}

std::vector<std::string> PortHintChanges(const PORT_HINTS& before, const PORT_HINTS& now, int gpsPort,
                                         int bluetoothPort)
{
    std::vector<std::string> lines;
    auto change = [&lines](const std::string& was, const std::string& is, const std::string& found) {
        if (was == is)
            return;
        lines.push_back(is.empty() ? found : is);
    };
    change(before.gps, now.gps, "GPS port: " + PortName(gpsPort) + " found");
    change(before.bluetooth, now.bluetooth, "Locator port: " + PortName(bluetoothPort) + " found");
    if (before.shared != now.shared && !now.shared.empty())
        lines.push_back(now.shared);
    return lines;
}
