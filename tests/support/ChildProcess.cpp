#include "support/ChildProcess.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/ScratchDir.h"

extern char** environ;

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && Running()) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                         const std::string& stdoutPath, const std::string& stderrPath)
{
    // An extra entry replaces an inherited one of the same name: getenv takes
    // the first, so a DISPLAY from the caller's desktop would otherwise win.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : extraEnv)
            replaced |= extra.compare(0, name.size(), name) == 0;
        if (!replaced)
            envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& e : envStrings)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // Child: only async-signal-safe calls until exec.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int out = ::open(stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(stderrPath.empty() ? "/dev/null" : stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0)
            ::dup2(out, 1);
        if (err >= 0)
            ::dup2(err, 2);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    m_pid = pid;
    m_ended = false;
    return true;
}

bool ChildProcess::Running()
{
    if (m_pid <= 0 || m_ended)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_ended = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return r == 0;
}

bool ChildProcess::Signal(int sig)
{
    return m_pid > 0 && !m_ended && ::kill(m_pid, sig) == 0;
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int* exitStatus)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!m_ended)
        return false;
    if (exitStatus != nullptr)
        *exitStatus = m_status;
    return true;
}

std::string FieldbookProgram()
{
    return std::string(FIELDBOOK_BINARY_DIR) + "/src/fieldbook";
}

std::string SimProgram()
{
    return std::string(FIELDBOOK_BINARY_DIR) + "/tools/fieldbook-sim/fieldbook-sim";
}

bool WaitForFileText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ReadWholeFile(path).find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
