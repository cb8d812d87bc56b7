#include "app/PortList.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
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
