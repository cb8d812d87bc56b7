// One survey for the end-to-end tests: the built fieldbook and simulator run
// against a scratch folder (documents/, ports/, logs/), and what they leave
// behind read back: the survey logs fieldbook wrote, the simulator's packet log
// (--log), the status lines fieldbook printed and its memory.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ScratchDir.h"

class SurveyRun {
public:
    SurveyRun(); // creates documents/, ports/ and logs/
    SurveyRun(const SurveyRun&) = delete;
    SurveyRun& operator=(const SurveyRun&) = delete;

    const std::string& Docs() const { return m_docs; }
    const std::string& Ports() const { return m_ports; }
    const std::string& Logs() const { return m_logs; }
    std::string File(const std::string& name) const { return m_dir.File(name); }

    // fieldbook --headless on these folders; its output goes to <name>.out and
    // <name>.err. prefix runs before it (e.g. setpriv and its options).
    bool StartFieldbook(ChildProcess& p, const std::string& name = "fieldbook",
                        const std::vector<std::string>& prefix = {}, const std::string& docs = "") const;
    // fieldbook-sim --ports PORTS --quiet with args; output to <name>.out/.err.
    bool StartSim(ChildProcess& p, const std::vector<std::string>& args, const std::string& name = "sim") const;
    std::string Out(const std::string& name = "fieldbook") const;
    std::string Err(const std::string& name = "fieldbook") const;

    // Waits until <name>.out holds text at least times times.
    bool WaitForOutput(const std::string& text, int times = 1, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                       const std::string& name = "fieldbook") const;
    // Waits until fieldbook reported at least count points in its log.
    bool WaitForPoints(long count, std::chrono::milliseconds timeout, const std::string& name = "fieldbook") const;

    // Survey logs in logs/ (DDMMhhmmss.txt), oldest name first.
    std::vector<std::string> LogFiles() const;

    // The end of a survey whose simulator writes its --log to packets.txt:
    // waits for the simulator to end, then for fieldbook to have logged every
    // packet it must, and stops fieldbook.
    struct END {
        int simStatus = -1;       // -1: it did not end in time
        int fieldbookStatus = -1;
        std::vector<uint32_t> expected; // index of each packet fieldbook must log, in order
        std::vector<std::string> files; // survey logs written
        std::string log;                // the text of the last of them
        std::vector<uint32_t> logged;   // its Log column, row by row
    };
    END Finish(ChildProcess& sim, ChildProcess& fieldbook, std::chrono::milliseconds simTimeout) const;

private:
    ScratchDir m_dir;
    std::string m_docs, m_ports, m_logs;
};

// SIGTERM and a bounded wait for the end; the exit status, or -1 if it would not end.
int StopProcess(ChildProcess& p, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Occurrences of text in haystack.
int CountOf(const std::string& haystack, const std::string& text);
// The count of the last "Log: <file> (<n>)" line fieldbook printed; -1 before any.
long LastLogCount(const std::string& out);
// The file of that line; "" before any.
std::string LastLogName(const std::string& out);

// The fields of every data line of a survey log (the lines after the two heading
// lines), split at commas.
std::vector<std::vector<std::string>> LogRows(const std::string& text);
// Why text is not a whole survey log ("" when it is): the header line and the
// units line first, then lines of 43 fields, each ending in a line feed.
std::string WholeLogProblem(const std::string& text);

// One line of the simulator's --log file:
//   n=1 kind=c1p2g1 logid=0x00000001 index=1 expect=ACK72 reply=ACK72 latency_ms=3.42 result=ok
struct SIM_PACKET {
    unsigned long n = 0;
    std::string kind;
    uint32_t index = 0;
    std::string expect, reply, result;
};
std::vector<SIM_PACKET> ReadSimLog(const std::string& path);
// Whether fieldbook must have logged the packet: it was ACKed, or it is a
// command-2 packet of protocol 4-7, which is logged although its ACK is refused.
bool LoggedByFieldbook(const SIM_PACKET& packet);

// A field of /proc/<pid>/status in kB (VmRSS, VmHWM); -1 when it cannot be read.
long ProcStatusKb(pid_t pid, const char* field);
// CPU time of the whole process (user and system), in clock ticks; -1 when
// it cannot be read.
long long ProcCpuTicks(pid_t pid);
