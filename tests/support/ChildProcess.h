// Runs a built program (fieldbook, fieldbook-sim) from a test: output captured in
// files, signals, a bounded wait for its end. A child still running when the
// object goes is killed.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program's path. extraEnv entries are NAME=VALUE. stdout and
    // stderr go to the given files (empty: /dev/null).
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
               const std::string& stdoutPath, const std::string& stderrPath);
    bool Running();
    bool Signal(int sig);
    // Waits at most timeout for the end. exitStatus: the exit code, or 128 + the
    // signal that ended it.
    bool Wait(std::chrono::milliseconds timeout, int* exitStatus);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_status = 0;
};

// The built programs.
std::string FieldbookProgram();
std::string SimProgram();

// Polls until the file holds text (or timeout); true when it does.
bool WaitForFileText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout);
