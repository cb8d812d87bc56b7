#include "support/SurveyRun.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

SurveyRun::SurveyRun()
    : m_docs(m_dir.Path() + "documents/"), m_ports(m_dir.Path() + "ports/"), m_logs(m_dir.Path() + "logs/")
{
    for (const std::string& d : {m_docs, m_ports, m_logs})
        ::mkdir(d.c_str(), 0755);
}

bool SurveyRun::StartFieldbook(ChildProcess& p, const std::string& name, const std::vector<std::string>& prefix,
                               const std::string& docs) const
{
    std::vector<std::string> args = prefix;
    for (const std::string& a : {FieldbookProgram(), std::string("--headless"), std::string("--documents"),
                                 docs.empty() ? m_docs : docs, std::string("--ports"), m_ports,
                                 std::string("--log-dir"), m_logs})
        args.push_back(a);
    return p.Start(args, {}, File(name + ".out"), File(name + ".err"));
}

bool SurveyRun::StartSim(ChildProcess& p, const std::vector<std::string>& args, const std::string& name) const
{
    std::vector<std::string> argv{SimProgram(), "--ports", m_ports, "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    return p.Start(argv, {}, File(name + ".out"), File(name + ".err"));
}

std::string SurveyRun::Out(const std::string& name) const { return ReadWholeFile(File(name + ".out")); }
std::string SurveyRun::Err(const std::string& name) const { return ReadWholeFile(File(name + ".err")); }

bool SurveyRun::WaitForOutput(const std::string& text, int times, std::chrono::milliseconds timeout,
                              const std::string& name) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (CountOf(Out(name), text) >= times)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool SurveyRun::WaitForPoints(long count, std::chrono::milliseconds timeout, const std::string& name) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (LastLogCount(Out(name)) >= count)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> SurveyRun::LogFiles() const
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(m_logs.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() == 14 && name[0] != '.' && name.compare(10, 4, ".txt") == 0)
                names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

SurveyRun::END SurveyRun::Finish(ChildProcess& sim, ChildProcess& fieldbook, std::chrono::milliseconds simTimeout) const
{
    END end;
    if (!sim.Wait(simTimeout, &end.simStatus))
        end.simStatus = -1;
    for (const SIM_PACKET& p : ReadSimLog(File("packets.txt")))
        if (LoggedByFieldbook(p))
            end.expected.push_back(p.index);
    WaitForPoints(static_cast<long>(end.expected.size()), std::chrono::seconds(30));
    end.fieldbookStatus = StopProcess(fieldbook);
    end.files = LogFiles();
    if (!end.files.empty())
        end.log = ReadWholeFile(m_logs + end.files.back());
    for (const std::vector<std::string>& row : LogRows(end.log))
        end.logged.push_back(static_cast<uint32_t>(std::strtoul(row[0].c_str(), nullptr, 10)));
    return end;
}

int StopProcess(ChildProcess& p, std::chrono::milliseconds timeout)
{
    p.Signal(SIGTERM);
    int status = -1;
    return p.Wait(timeout, &status) ? status : -1;
}

int CountOf(const std::string& haystack, const std::string& text)
{
    int count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size()))
        ++count;
    return count;
}

long LastLogCount(const std::string& out)
{
    const size_t line = out.rfind("\nLog: ");
    if (line == std::string::npos)
        return -1;
    const size_t open = out.find(" (", line);
    const size_t end = out.find('\n', line + 1);
    if (open == std::string::npos || end == std::string::npos || open > end)
        return -1; // the last line is still being written
    return std::strtol(out.c_str() + open + 2, nullptr, 10);
}

std::string LastLogName(const std::string& out)
{
    const size_t line = out.rfind("\nLog: ");
    const size_t open = line == std::string::npos ? line : out.find(" (", line);
    if (open == std::string::npos)
        return "";
    return out.substr(line + 6, open - line - 6);
}

std::vector<std::vector<std::string>> LogRows(const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    for (int heading = 0; heading < 2 && std::getline(in, line); ++heading) {
    }
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
            fields.push_back(line.substr(start, comma - start));
        fields.push_back(line.substr(start));
        rows.push_back(fields);
    }
    return rows;
}

std::string WholeLogProblem(const std::string& text)
{
    // The two heading lines, written out from the file format.
    static const std::string kHeader =
        "Log,Mode,Distance,Depth,Locate,Phase,Signal,Strength,Gain,Frequency,Protocol,Compass,Arrows,Antenna,"
        "Accessory,Sonde/Line,Battery,Volume,Overload,GPSMode,MarkerType,MarkerDepth,MarkerSignal,MarkerGain,"
        "RTCDate,RTC_UTC,RTCUpdated,GPSDate,GPS_UTC,LatAng,LatDir,LongAng,LongDir,GpsFix,NoSats,HorizDil,AltVal,"
        "AltUnits,GeoidVal,GeoidUnits,DgpsTime,DgpsId,TimeInd\n";
    static const std::string kUnits =
        ",,(m),(cm),(mA),(degrees),(dBuV),(Percent),(dB),Hz,,(degrees),,,,,,,,,,(m),(dB),,(DD/MM/YYYY),"
        "(hh:mm:ss),,(DD/MM/YYYY),(hhmmss.ss),(degrees),,(degrees),,,,,,,,,(seconds),,\n";
    if (text.empty())
        return "empty";
    if (text.compare(0, kHeader.size(), kHeader) != 0)
        return "no header line";
    if (text.compare(kHeader.size(), kUnits.size(), kUnits) != 0)
        return "no units line";
    if (text.back() != '\n')
        return "the last line has no line feed";
    size_t number = 3;
    for (size_t at = kHeader.size() + kUnits.size(); at < text.size(); ++number) {
        const size_t end = text.find('\n', at);
        const long commas = std::count(text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(end), ',');
        if (commas != 42)
            return "line " + std::to_string(number) + " has " + std::to_string(commas + 1) + " fields";
        at = end + 1;
    }
    return "";
}

std::vector<SIM_PACKET> ReadSimLog(const std::string& path)
{
    std::vector<SIM_PACKET> packets;
    std::istringstream in(ReadWholeFile(path));
    std::string line;
    while (std::getline(in, line)) {
        SIM_PACKET p;
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = word.substr(0, eq);
            const std::string value = word.substr(eq + 1);
            if (key == "n")
                p.n = std::strtoul(value.c_str(), nullptr, 10);
            else if (key == "kind")
                p.kind = value;
            else if (key == "index")
                p.index = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
            else if (key == "expect")
                p.expect = value;
            else if (key == "reply")
                p.reply = value;
            else if (key == "result")
                p.result = value;
        }
        if (p.n != 0)
            packets.push_back(p);
    }
    return packets;
}

bool LoggedByFieldbook(const SIM_PACKET& packet)
{
    if (packet.kind.find("/badfcs") != std::string::npos)
        return false;
    if (packet.reply.rfind("ACK", 0) == 0)
        return true;
    return packet.kind.size() >= 4 && packet.kind.compare(0, 3, "c2p") == 0 && packet.kind[3] >= '4' &&
           packet.kind[3] <= '7';
}

long ProcStatusKb(pid_t pid, const char* field)
{
    const std::string text = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string("\n") + field + ":";
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    return std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

long long ProcCpuTicks(pid_t pid)
{
    const std::string text = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    // The name may hold spaces and parentheses: fields count from the last ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    const char* at = text.c_str() + close + 1;
    long long ticks = 0;
    // Field 3 (state) follows the name; utime is field 14, stime 15.
    for (int field = 3; field <= 15 && *at != '\0'; ++field) {
        while (*at == ' ')
            ++at;
        if (field >= 14)
            ticks += std::strtoll(at, nullptr, 10);
        while (*at != ' ' && *at != '\0')
            ++at;
    }
    return ticks;
}
