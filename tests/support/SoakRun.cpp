#include "support/SoakRun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "link/SurveyPoint.h"
#include "support/SurveyRun.h"

namespace {

// What the log keeps per point: its copy of the point and the text of its line
// (about 260 bytes), each in a container that may hold up to twice what it uses.
constexpr long kBytesPerPoint = 2 * (static_cast<long>(sizeof(SURVEY_POINT)) + 320);
// Allocator arenas, the kernel's accounting by pages, the growing stdout.
constexpr long kSlackKb = 8 * 1024;

long SummaryValue(const std::string& out, const std::string& label)
{
    const size_t at = out.find("\n" + label + ":");
    return at == std::string::npos ? -1 : std::strtol(out.c_str() + at + label.size() + 2, nullptr, 10);
}

} // namespace

SOAK_FIGURES RunSoak(const SOAK_OPTIONS& options)
{
    SOAK_FIGURES figures;
    SurveyRun run;
    const auto start = std::chrono::steady_clock::now();
    ChildProcess sim;
    EXPECT_TRUE(run.StartSim(sim, {"--mix", "--count", std::to_string(options.nPackets), "--interval",
                                   options.interval, "--rate", "10", "--reply-timeout", options.replyTimeout,
                                   "--log", run.File("packets.txt")}));
    ChildProcess fieldbook;
    EXPECT_TRUE(run.StartFieldbook(fieldbook));

    // Each packet takes at most its interval and its reply wait; a good margin on top.
    const auto limit = std::chrono::seconds(120 + options.nPackets / 5);
    int simStatus = -1;
    while (!sim.Wait(std::chrono::milliseconds(200), &simStatus)) {
        if (figures.nRssBaselineKb < 0) {
            const long points = LastLogCount(run.Out());
            if (points >= options.nBaselinePoints) {
                figures.nBaselinePoints = points;
                figures.nRssBaselineKb = ProcStatusKb(fieldbook.Pid(), "VmRSS");
            }
        }
        if (std::chrono::steady_clock::now() - start > limit) {
            ADD_FAILURE() << "the simulator did not finish in time";
            break;
        }
    }
    EXPECT_EQ(simStatus, 0) << run.Out("sim") << run.Err("sim");
    const std::string summary = run.Out("sim");
    figures.nSent = SummaryValue(summary, "packets sent");
    figures.nAcked = SummaryValue(summary, "ACKed");
    figures.nNaked = SummaryValue(summary, "NAKed");
    figures.nUnanswered = SummaryValue(summary, "unanswered");
    figures.nWrong = SummaryValue(summary, "wrong replies");

    // Memory once every point is in, before fieldbook is told to stop.
    long expected = 0;
    for (const SIM_PACKET& p : ReadSimLog(run.File("packets.txt")))
        expected += LoggedByFieldbook(p) ? 1 : 0;
    run.WaitForPoints(expected, std::chrono::seconds(60));
    figures.nRssEndKb = ProcStatusKb(fieldbook.Pid(), "VmRSS");
    figures.nHwmKb = ProcStatusKb(fieldbook.Pid(), "VmHWM");
    const SurveyRun::END end = run.Finish(sim, fieldbook, std::chrono::seconds(1));
    figures.dfSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.nRows = static_cast<long>(end.logged.size());

    EXPECT_EQ(end.fieldbookStatus, 0) << run.Err();
    EXPECT_EQ(figures.nSent, options.nPackets);
    EXPECT_EQ(figures.nUnanswered, 0);
    EXPECT_EQ(figures.nWrong, 0);
    EXPECT_EQ(end.files.size(), 1u);
    EXPECT_EQ(WholeLogProblem(end.log), "");
    EXPECT_EQ(end.logged, end.expected) << "the survey log is not the packets fieldbook must log, in order";

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (figures.nRssBaselineKb > 0) {
        const long allowedKb = (figures.nRows - figures.nBaselinePoints) * kBytesPerPoint / 1024 + kSlackKb;
        EXPECT_LE(figures.nHwmKb - figures.nRssBaselineKb, allowedKb) << FormatSoak(figures);
    }
#endif
    return figures;
}

std::string FormatSoak(const SOAK_FIGURES& f)
{
    char text[1024];
    const long points = f.nRows - f.nBaselinePoints;
    const long grown = f.nHwmKb - f.nRssBaselineKb;
    std::snprintf(text, sizeof text,
                  "soak: %ld packets sent, %ld ACKed, %ld NAKed, %ld unanswered, %ld wrong replies\n"
                  "soak: %ld rows in the survey log\n"
                  "soak: VmRSS %ld kB at %ld points, %ld kB at the end; VmHWM %ld kB\n"
                  "soak: peak growth %ld kB over %ld points (%.0f bytes a point; budget %ld)\n"
                  "soak: %.1f s\n",
                  f.nSent, f.nAcked, f.nNaked, f.nUnanswered, f.nWrong, f.nRows, f.nRssBaselineKb,
                  f.nBaselinePoints, f.nRssEndKb, f.nHwmKb, grown, points,
                  points > 0 ? grown * 1024.0 / static_cast<double>(points) : 0.0, kBytesPerPoint, f.dfSeconds);
    return text;
}
