// How often an idle logger wakes up: fieldbook --headless with both ports open
// on pseudo-terminals and nothing arriving. Counts the voluntary context
// switches of all its threads (/proc/PID/task/*/status) and its CPU time
// (/proc/PID/stat) over the run. Not a Google Benchmark: one long measurement.
//
//   bench_idle [PROGRAM] [SECONDS]     (default: the built fieldbook, 60 s)
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/Pty.h"
#include "support/ScratchDir.h"

namespace {

using namespace std::chrono_literals;

// Voluntary switches of every thread alive now; a thread that ended takes its
// count with it, so the threads of an idle logger must outlive the run.
long long VoluntarySwitches(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    long long total = 0;
    DIR* d = ::opendir(tasks.c_str());
    if (d == nullptr)
        return -1;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream status(tasks + e->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::atoll(line.c_str() + 24);
        }
    }
    ::closedir(d);
    return total;
}

// utime + stime of the whole process, in clock ticks.
long long CpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    // Fields after the name start at 3 (state); utime is 14, stime 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

int CountThreads(pid_t pid)
{
    int n = 0;
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task/").c_str());
    if (d == nullptr)
        return 0;
    while (dirent* e = ::readdir(d))
        n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string program = argc > 1 ? argv[1] : FieldbookProgram();
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;

    ScratchDir dir;
    const std::string docs = dir.Path() + "documents/";
    const std::string ports = dir.Path() + "ports/";
    const std::string logs = dir.Path() + "logs/";
    for (const std::string& d : {docs, ports, logs})
        ::mkdir(d.c_str(), 0755);
    // No configuration file: the defaults, GPS on COM4, the locator on COM5.
    Pty gps(ports, 4);
    Pty locator(ports, 5);

    ChildProcess child;
    if (!child.Start({program, "--headless", "--documents", docs, "--ports", ports, "--log-dir", logs}, {},
                     dir.File("out"), dir.File("err"))) {
        std::fprintf(stderr, "bench_idle: cannot start %s\n", program.c_str());
        return 1;
    }
    if (!WaitForFileText(dir.File("out"), "Bluetooth link up", 10s)) {
        std::fprintf(stderr, "bench_idle: the locator port did not open\n");
        return 1;
    }
    // Both ports open, start-up done.
    std::this_thread::sleep_for(2s);

    const pid_t pid = child.Pid();
    const long long switches0 = VoluntarySwitches(pid);
    const long long ticks0 = CpuTicks(pid);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long switches1 = VoluntarySwitches(pid);
    const long long ticks1 = CpuTicks(pid);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int threads = CountThreads(pid);

    child.Signal(SIGTERM);
    int status = -1;
    child.Wait(30s, &status);

    const double cpuSeconds = static_cast<double>(ticks1 - ticks0) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::printf("%s: %d threads, %.1f s idle: %.2f wake-ups/s (voluntary switches), CPU %.4f %% of a core\n",
                program.c_str(), threads, elapsed, static_cast<double>(switches1 - switches0) / elapsed,
                100.0 * cpuSeconds / elapsed);
    return status == 0 ? 0 : 1;
}
