// How often a waiting logger wakes up: fieldbook --headless in each state in
// which it only waits. Counts the voluntary context switches of all its
// threads (/proc/PID/task/*/status) and its CPU time (/proc/PID/stat) over the
// run. Not a Google Benchmark: one long measurement per state.
//
//   open          both ports open on quiet pseudo-terminals
//   missing       neither device there (the ports folder is empty)
//   gpsd-down     positions from gpsd, nothing listening on its port
//   gpsd-silent   positions from gpsd, which accepts and never sends
//
//   bench_idle [PROGRAM] [SECONDS] [STATE...]  (default: the built fieldbook,
//                                               60 s, every state)
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/GpsdStandIn.h"
#include "support/Pty.h"
#include "support/SurveyRun.h"
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


struct IDLE {
    int threads = 0;
    double seconds = 0.0;
    double wakeups = 0.0; // a second
    double cpu = 0.0;     // percent of a core
};

// Starts fieldbook in state, lets it settle, measures for seconds, stops it.
bool Measure(const std::string& program, const std::string& state, int seconds, IDLE& idle)
{
    ScratchDir dir;
    const std::string docs = dir.Path() + "documents/";
    const std::string ports = dir.Path() + "ports/";
    const std::string logs = dir.Path() + "logs/";
    for (const std::string& d : {docs, ports, logs})
        ::mkdir(d.c_str(), 0755);
    const bool gpsd = state.rfind("gpsd", 0) == 0;
    std::unique_ptr<GpsdStandIn> standIn;
    int gpsdPort = 0;
    if (gpsd) {
        standIn = std::make_unique<GpsdStandIn>();
        gpsdPort = standIn->Port();
        standIn->SetMode(state == "gpsd-down" ? GpsdStandIn::Mode::Refuse : GpsdStandIn::Mode::Silent);
        WriteWholeFile(docs + "KV4300TraceProofIni+.txt",
                       "PORT#GPS#PORTNUMBER#4\nPORT#GPS#ENABLED#TRUE\nPORT#BLUETOOTH#PORTNUMBER#5\n"
                       "PORT#BLUETOOTH#ENABLED#TRUE\nSCREEN#RESOLUTION#QUARTER\nDEBUG#LEVEL#0x00000000\n"
                       "PORT#GPS#GPSD#127.0.0.1:" + std::to_string(gpsdPort) + "\n");
    }
    // Without a configuration file: the defaults, GPS on COM4, the locator on COM5.
    std::unique_ptr<Pty> gps;
    std::unique_ptr<Pty> locator;
    if (state == "open")
        gps = std::make_unique<Pty>(ports, 4);
    if (state != "missing")
        locator = std::make_unique<Pty>(ports, 5);

    ChildProcess child;
    if (!child.Start({program, "--headless", "--documents", docs, "--ports", ports, "--log-dir", logs}, {},
                     dir.File("out"), dir.File("err"))) {
        std::fprintf(stderr, "bench_idle: cannot start %s\n", program.c_str());
        return false;
    }
    if (locator && !WaitForFileText(dir.File("out"), "Bluetooth link up", 10s)) {
        std::fprintf(stderr, "bench_idle: the locator port did not open\n");
        return false;
    }
    // Start-up done; a gpsd that is down has had its first retries.
    std::this_thread::sleep_for(state == "gpsd-down" ? 20s : 2s);

    const pid_t pid = child.Pid();
    const long long switches0 = VoluntarySwitches(pid);
    const long long ticks0 = ProcCpuTicks(pid);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long switches1 = VoluntarySwitches(pid);
    const long long ticks1 = ProcCpuTicks(pid);
    idle.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    idle.threads = CountThreads(pid);
    idle.wakeups = static_cast<double>(switches1 - switches0) / idle.seconds;
    idle.cpu = 100.0 * static_cast<double>(ticks1 - ticks0) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / idle.seconds;

    child.Signal(SIGTERM);
    int status = -1;
    child.Wait(30s, &status);
    return status == 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string program = argc > 1 ? argv[1] : FieldbookProgram();
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    std::vector<std::string> states(argv + std::min(argc, 3), argv + argc);
    if (states.empty())
        states = {"open", "missing", "gpsd-down", "gpsd-silent"};

    int failed = 0;
    for (const std::string& state : states) {
        IDLE idle;
        const bool ok = Measure(program, state, seconds, idle);
        failed += !ok;
        std::printf("%s %-12s %d threads, %.1f s: %.2f wake-ups/s (voluntary switches), CPU %.4f %% of a core%s\n",
                    program.c_str(), state.c_str(), idle.threads, idle.seconds, idle.wakeups, idle.cpu,
                    ok ? "" : " (did not end cleanly)");
        std::fflush(stdout);
    }
    return failed == 0 ? 0 : 1;
}
