// fieldbook-sim as a program: its command line, its GPS receiver read from the
// COM link, and its locator against a small peer written here that answers in
// place of fieldbook (correctly, or on purpose not).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/FrameCodec.h"
#include "support/ScratchDir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const char* const kSim = FIELDBOOK_BINARY_DIR "/tools/fieldbook-sim/fieldbook-sim";

pid_t StartSim(const std::vector<std::string>& args, const std::string& out, const std::string& err)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(kSim)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(kSim, argv.data());
        ::_exit(127);
    }
    return pid;
}

// Exit status, or -1 when it had to be killed after timeout.
int WaitSim(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct SIM_RESULT {
    int exitCode = -1;
    std::string out, err;
};

SIM_RESULT RunSim(const ScratchDir& dir, const std::vector<std::string>& args)
{
    SIM_RESULT r;
    r.exitCode = WaitSim(StartSim(args, dir.File("out"), dir.File("err")), std::chrono::seconds(20));
    r.out = ReadWholeFile(dir.File("out"));
    r.err = ReadWholeFile(dir.File("err"));
    return r;
}

// Opens the link once the sim has made it, raw, as fieldbook would.
int OpenWhenLinked(const std::string& path, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            struct termios raw {};
            ::tcgetattr(fd, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(fd, TCSANOW, &raw);
            return fd;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

bool LinkExists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The value after "label:" in the summary, -1 when absent.
long SummaryValue(const std::string& out, const std::string& label)
{
    const size_t at = out.find("\n" + label + ":");
    if (at == std::string::npos)
        return -1;
    return std::strtol(out.c_str() + at + label.size() + 2, nullptr, 10);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Answers the sim's packets in place of fieldbook: reply i goes back to the i-th
// good frame (an empty reply: none). Reopens the port when the device vanishes.
class CLocatorPeer : private IFrameSink {
public:
    CLocatorPeer(std::string link, std::vector<Bytes> replies) : m_link(std::move(link)), m_replies(std::move(replies))
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~CLocatorPeer() { Stop(); }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    std::vector<Bytes> received; // payloads of good frames
    int badFcs = 0;
    int reopened = 0;

private:
    void Run()
    {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!m_stop && Clock::now() < deadline) {
            m_fd = OpenWhenLinked(m_link, std::chrono::milliseconds(200));
            if (m_fd < 0)
                continue;
            ++reopened;
            m_assembler.Reset();
            while (!m_stop) {
                pollfd p{m_fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                uint8_t chunk[128];
                const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
                if (n <= 0 && errno != EAGAIN)
                    break; // the device went away
                if (n > 0)
                    m_assembler.AssembleFrames(m_codec, *this, chunk, static_cast<uint32_t>(n));
            }
            ::close(m_fd);
        }
    }
    void OnGoodFrame(const CFrameCodec& codec) override
    {
        received.emplace_back(codec.RxBuffer(), codec.RxBuffer() + codec.RxLength() - 2);
        const size_t i = received.size() - 1;
        if (i >= m_replies.size() || m_replies[i].empty())
            return;
        CFrameCodec out;
        out.EncodeFrame(m_replies[i].data(), static_cast<uint32_t>(m_replies[i].size()));
        [[maybe_unused]] const ssize_t n = ::write(m_fd, out.TxBuffer(), out.TxLength());
    }
    void OnBadFcs() override { ++badFcs; }
    void OnFrameError(int) override {}

    std::string m_link;
    std::vector<Bytes> m_replies;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    int m_fd = -1;
    CFrameCodec m_codec;
    CFrameAssembler m_assembler;
};

const Bytes kAck1 = {0xFF, 0x03, 0x00, 0x21, 0x01, 0x02};
const Bytes kNak1 = {0xFF, 0x03, 0x00, 0x21, 0x01, 0x03};
const Bytes kAck2 = {0xFF, 0x03, 0x00, 0x21, 0x02, 0x02};

Bytes LongAck(uint8_t command, uint32_t dateWord)
{
    Bytes reply(72, 0);
    const uint8_t head[8] = {0xFF, 0x03, 0x00, 0x21, command, 0x02, 0x40, 0x00};
    std::memcpy(reply.data(), head, 8);
    for (int i = 0; i < 4; ++i)
        reply[8 + i] = static_cast<uint8_t>(dateWord >> (8 * i));
    return reply;
}

std::vector<std::string> LocatorArgs(const ScratchDir& dir, const std::string& script)
{
    WriteWholeFile(dir.File("packets.txt"), script);
    return {"--ports", dir.Path(), "--no-gps", "--script", dir.File("packets.txt"), "--interval", "0.05",
            "--reply-timeout", "0.5", "--start-delay", "0.1", "--open-timeout", "10", "--log", dir.File("log")};
}

} // namespace

TEST(SimProgram, HelpAndVersion)
{
    ScratchDir dir;
    SIM_RESULT help = RunSim(dir, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--ports", "--gps-port", "--bt-port", "--rate", "--fix-loss", "--talker", "--script",
                               "--mix", "--reply-timeout", "--log", "--drop-bluetooth", "--tolerate-unanswered"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    SIM_RESULT version = RunSim(dir, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("fieldbook-sim ", 0), 0u);
}

TEST(SimProgram, UsageErrorsExitTwoWithOneLine)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {},
        {"--ports"},
        {"--ports", "/tmp", "--rate", "0"},
        {"--ports", "/tmp", "--protocol", "8"},
        {"--ports", "/tmp", "--no-gps", "--no-locator"},
        {"--ports", "/tmp", "--gps-port", "5"},
        {"--ports", "/tmp", "--fix-loss", "5"},
        {"--ports", "/tmp", "--mix", "--script", "x"},
        {"--ports", "/tmp", "--talker", "gp"},
        {"--ports", "/tmp", "--quality-plan", "fixed:2,rtk"},
        {"--ports", "/tmp", "--quality-plan", "float:-1"},
    };
    ScratchDir dir;
    for (const auto& args : cases) {
        const SIM_RESULT r = RunSim(dir, args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_EQ(r.err.rfind("fieldbook-sim: ", 0), 0u) << r.err;
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(SimLocator, EveryReplyRightGivesExitZero)
{
    ScratchDir dir;
    const std::string script = "cmd=1 proto=1\n"
                               "cmd=1 proto=3 gpsmode=5   # NAK\n"
                               "cmd=3 proto=1             # no reply\n"
                               "cmd=2 proto=2 gpsmode=1   # long ACK, empty block\n"
                               "cmd=1 proto=2 gpsmode=1   # long ACK, handheld has no fix\n"
                               "cmd=1 proto=1 fcs=bad     # dropped by the handheld\n"
                               "hex=FF03002101\n";
    const pid_t pid = StartSim(LocatorArgs(dir, script), dir.File("out"), dir.File("err"));
    CLocatorPeer peer(dir.File("COM5"), {kAck1, kNak1, {}, LongAck(2, 0), LongAck(1, 0x070C07EA), kAck1});
    const int exitCode = WaitSim(pid, std::chrono::seconds(20));
    peer.Stop();
    const std::string out = ReadWholeFile(dir.File("out"));

    EXPECT_EQ(exitCode, 0) << out << ReadWholeFile(dir.File("err"));
    const struct {
        const char* label;
        long value;
    } counts[] = {{"packets sent", 7}, {"ACKed", 4}, {"NAKed", 1}, {"no reply expected", 2},
                  {"unanswered", 0},   {"wrong replies", 0}};
    for (const auto& c : counts)
        EXPECT_EQ(SummaryValue(out, c.label), c.value) << c.label << "\n" << out;

    // What went over the wire: 52-byte packets for protocols 0/1, 152 for 2/3, the
    // packet number as log id, the raw payload as given.
    ASSERT_EQ(peer.received.size(), 6u);
    EXPECT_EQ(peer.badFcs, 1);
    const size_t sizes[] = {52, 152, 52, 152, 152, 5};
    const uint8_t logIds[] = {1, 2, 3, 4, 5};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(peer.received[i].size(), sizes[i]) << i;
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(peer.received[i][20], logIds[i]) << i;
    EXPECT_EQ(peer.received[5], (Bytes{0xFF, 0x03, 0x00, 0x21, 0x01}));

    const std::vector<std::string> log = Lines(ReadWholeFile(dir.File("log")));
    const char* const results[] = {"result=ok", "result=ok", "result=silent", "result=ok",
                                   "result=ok", "result=silent", "result=ok"};
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[0].rfind("n=1 kind=c1p1 logid=0x00000001 index=1 expect=ACK6 reply=ACK6 latency_ms=", 0), 0u);
    EXPECT_EQ(log[3].rfind("n=4 kind=c2p2g1 logid=0x00000004 index=4 expect=ACK72 reply=ACK72 ", 0), 0u);
    for (size_t i = 0; i < log.size(); ++i)
        EXPECT_NE(log[i].find(results[i]), std::string::npos) << log[i];
}

TEST(SimLocator, WrongAndMissingRepliesFailTheRun)
{
    struct CASE {
        const char* name;
        std::vector<Bytes> replies;
        std::vector<std::string> extra;
        long acked, wrong, unanswered;
        int exitCode;
    } const cases[] = {
        {"NAK for ACK, one missing", {kNak1, {}, kAck2}, {}, 1, 1, 1, 1},
        {"one missing", {kAck1, {}, kAck2}, {}, 2, 0, 1, 1},
        {"one missing, tolerated", {kAck1, {}, kAck2}, {"--tolerate-unanswered"}, 2, 0, 1, 0},
        {"command not echoed", {kAck1, kAck2, kAck2}, {}, 2, 1, 0, 1},
    };
    for (const CASE& c : cases) {
        ScratchDir dir;
        std::vector<std::string> args = LocatorArgs(dir, "cmd=1 proto=1\ncmd=1 proto=0\ncmd=2 proto=1\n");
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const pid_t pid = StartSim(args, dir.File("out"), dir.File("err"));
        CLocatorPeer peer(dir.File("COM5"), c.replies);
        const int exitCode = WaitSim(pid, std::chrono::seconds(20));
        peer.Stop();
        const std::string out = ReadWholeFile(dir.File("out"));
        EXPECT_EQ(exitCode, c.exitCode) << c.name << "\n" << out;
        EXPECT_EQ(SummaryValue(out, "packets sent"), 3) << c.name;
        EXPECT_EQ(SummaryValue(out, "ACKed"), c.acked) << c.name;
        EXPECT_EQ(SummaryValue(out, "wrong replies"), c.wrong) << c.name;
        EXPECT_EQ(SummaryValue(out, "unanswered"), c.unanswered) << c.name;
    }
}

TEST(SimLocator, BluetoothDeviceVanishesAndReturns)
{
    ScratchDir dir;
    const pid_t pid = StartSim({"--ports", dir.Path(), "--no-gps", "--protocol", "1", "--count", "6", "--interval",
                                "0.1", "--start-delay", "0.1", "--reply-timeout", "0.5", "--drop-bluetooth", "0.25",
                                "--drop-pause", "0.3"},
                               dir.File("out"), dir.File("err"));
    CLocatorPeer peer(dir.File("COM5"), std::vector<Bytes>(6, kAck1));
    const int exitCode = WaitSim(pid, std::chrono::seconds(20));
    peer.Stop();
    const std::string out = ReadWholeFile(dir.File("out"));
    EXPECT_EQ(exitCode, 0) << out << ReadWholeFile(dir.File("err"));
    EXPECT_EQ(SummaryValue(out, "ACKed"), 6) << out;
    EXPECT_EQ(SummaryValue(out, "Bluetooth drops"), 1) << out;
    EXPECT_EQ(peer.reopened, 2);
    EXPECT_FALSE(LinkExists(dir.File("COM5"))) << "the link outlives the sim";
}

TEST(SimLocator, NobodyOpensThePort)
{
    ScratchDir dir;
    const SIM_RESULT r = RunSim(dir, {"--ports", dir.Path(), "--no-gps", "--open-timeout", "0.3"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(SummaryValue(r.out, "packets sent"), 0);
    EXPECT_FALSE(LinkExists(dir.File("COM5")));
}

namespace {

// Checks "$...*HH\r\n" and returns the body, "" when the checksum is wrong.
std::string CheckedBody(const std::string& sentence)
{
    const size_t star = sentence.find('*');
    if (sentence.size() < 6 || sentence[0] != '$' || star == std::string::npos || star + 3 != sentence.size())
        return "";
    uint8_t sum = 0;
    for (size_t i = 1; i < star; ++i)
        sum ^= static_cast<uint8_t>(sentence[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    return sentence.compare(star + 1, 2, hex) == 0 ? sentence.substr(1, star - 1) : "";
}

} // namespace

TEST(SimGps, SentencesAtTheAskedRate)
{
    struct CASE {
        const char* rate;
        const char* talker;
        const char* fixLoss; // "" none
    } const cases[] = {{"1", "GP", ""}, {"5", "GP", ""}, {"10", "GN", "1:0.5"}};
    for (const CASE& c : cases) {
        ScratchDir dir;
        std::vector<std::string> args = {"--ports", dir.Path(), "--no-locator", "--rate", c.rate,
                                         "--talker", c.talker, "--duration", "8"};
        if (*c.fixLoss != '\0') {
            args.push_back("--fix-loss");
            args.push_back(c.fixLoss);
        }
        const pid_t pid = StartSim(args, dir.File("out"), dir.File("err"));
        const int fd = OpenWhenLinked(dir.File("COM4"), std::chrono::seconds(5));
        ASSERT_GE(fd, 0);
        std::string text;
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            char chunk[512];
            if (::poll(&p, 1, 50) > 0) {
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n > 0)
                    text.append(chunk, static_cast<size_t>(n));
            }
        }
        ::close(fd);
        ::kill(pid, SIGTERM);
        EXPECT_EQ(WaitSim(pid, std::chrono::seconds(5)), 0) << c.rate;

        int gga = 0, withFix = 0, withoutFix = 0, bad = 0;
        const std::string lineEnd = "\r\n";
        for (size_t at = 0, end; (end = text.find(lineEnd, at)) != std::string::npos; at = end + 2) {
            const std::string body = CheckedBody(text.substr(at, end - at));
            if (body.empty() || body.compare(0, 2, c.talker) != 0) {
                ++bad;
                continue;
            }
            if (body.compare(2, 4, "GGA,") != 0)
                continue;
            ++gga;
            (body.find(",,,,,0,") != std::string::npos ? withoutFix : withFix)++;
        }
        EXPECT_EQ(bad, 0) << text;
        const double expected = 2.0 * std::atof(c.rate);
        EXPECT_GE(gga, expected * 0.5) << c.rate;
        EXPECT_LE(gga, expected * 1.5 + 1) << c.rate;
        EXPECT_GT(withFix, 0);
        if (*c.fixLoss != '\0')
            EXPECT_GT(withoutFix, 0);
        else
            EXPECT_EQ(withoutFix, 0);
    }
}
