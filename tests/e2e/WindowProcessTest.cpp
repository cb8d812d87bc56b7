// The window as a process: on the offscreen platform it logs a survey like the
// headless face and leaves through its exit sequence on SIGTERM; on a real X
// server (a private Xvfb) it maps its window and does the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <thread>
#include <sys/stat.h>

#include "support/ChildProcess.h"
#include "support/RecordingOwner.h"
#include "support/ScratchDir.h"
#include "support/XvfbServer.h"

using namespace std::chrono_literals;

#ifdef FIELDBOOK_TEST_HAVE_WINDOW
TEST(WindowProcess, LogsASurveyAndSigtermEndsItCleanly)
{
    ScratchDir dir;
    const std::string docs = dir.Path() + "documents/", ports = dir.Path() + "ports/", logs = dir.Path() + "logs/";
    for (const std::string& d : {docs, ports, logs})
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);

    ChildProcess sim;
    ASSERT_TRUE(sim.Start({SimProgram(), "--ports", ports, "--count", "10", "--interval", "0.2", "--quiet"}, {},
                          dir.File("sim.out"), dir.File("sim.err")));
    ChildProcess window;
    ASSERT_TRUE(window.Start({FieldbookProgram(), "--documents", docs, "--ports", ports, "--log-dir", logs},
                             {"QT_QPA_PLATFORM=offscreen"}, dir.File("window.out"), dir.File("window.err")));
    int status = -1;
    ASSERT_TRUE(sim.Wait(60s, &status));
    EXPECT_EQ(status, 0) << ReadWholeFile(dir.File("sim.out"));
    // Points reach the log while the window runs, woken by each queued point
    // (no timer ticks while the queue is empty): two header lines and 10 points,
    // most of them sent after the window took its first look at the queue.
    const bool logged = WaitUntil(
        [&] {
            DIR* d = ::opendir(logs.c_str());
            size_t lines = 0;
            while (dirent* e = d != nullptr ? ::readdir(d) : nullptr) {
                const std::string text = e->d_name[0] == '.' ? "" : ReadWholeFile(logs + e->d_name);
                lines = std::max(lines, static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
            }
            if (d != nullptr)
                ::closedir(d);
            return lines >= 2 + 10;
        },
        10s);
    EXPECT_TRUE(logged);

    ASSERT_TRUE(window.Signal(SIGTERM));
    ASSERT_TRUE(window.Wait(30s, &status));
    EXPECT_EQ(status, 0) << ReadWholeFile(dir.File("window.err"));
    // The exit sequence let go of the instance lock: a second window starts.
    ChildProcess again;
    ASSERT_TRUE(again.Start({FieldbookProgram(), "--documents", docs, "--ports", ports, "--log-dir", logs},
                            {"QT_QPA_PLATFORM=offscreen"}, "", ""));
    EXPECT_FALSE(again.Wait(1500ms, &status)) << "second start ended with " << status;
    again.Signal(SIGTERM);
    EXPECT_TRUE(again.Wait(30s, &status));
    EXPECT_EQ(status, 0);
}

// A second start names the running fieldbook (window or service) and its log
// folder before it ends; the first goes on untouched.
TEST(WindowProcess, SecondStartSaysWhichFieldbookRuns)
{
    ScratchDir dir;
    const std::string docs = dir.Path() + "documents/", ports = dir.Path() + "ports/", logs = dir.Path() + "logs/";
    for (const std::string& d : {docs, ports, logs})
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    const std::vector<std::string> args = {"--documents", docs, "--ports", ports, "--log-dir", logs};
    auto command = [&](std::vector<std::string> first) {
        first.insert(first.end(), args.begin(), args.end());
        return first;
    };
    struct Row {
        const char* running; // the first one's face
        std::vector<std::string> first;
        std::string says;
    } rows[] = {
        {"service", command({FieldbookProgram(), "--headless"}),
         "fieldbook is already running as a service without a window"},
        {"window", command({FieldbookProgram()}), "fieldbook is already open in a window"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.running);
        ChildProcess first;
        ASSERT_TRUE(first.Start(row.first, {"QT_QPA_PLATFORM=offscreen"}, dir.File("first.out"), dir.File("first.err")));
        ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(docs + "{75CA3573-B449-4e0b-83F5-9FD612A876C7}.lock")
                                               .rfind(std::string(row.running) + " ", 0) == 0; },
                              20s));
        const std::string says = row.says + ", with the documents folder " + docs + "; its survey logs go to " + logs;
        // The window's second start: its box stays up (the text also on stderr).
        ChildProcess window;
        ASSERT_TRUE(window.Start(command({FieldbookProgram()}), {"QT_QPA_PLATFORM=offscreen"}, "",
                                 dir.File("window.err")));
        EXPECT_TRUE(WaitForFileText(dir.File("window.err"), says, 20s)) << ReadWholeFile(dir.File("window.err"));
        int status = -1;
        EXPECT_FALSE(window.Wait(500ms, &status)) << "ended without its box: " << status;
        window.Signal(SIGKILL);
        window.Wait(10s, &status);
        // The headless second start: one line on stderr, status 1; under
        // journald (its stream is stderr) with the error priority before it.
        ASSERT_TRUE(WriteWholeFile(dir.File("service.err"), ""));
        struct stat st {};
        ASSERT_EQ(::stat(dir.File("service.err").c_str(), &st), 0);
        const std::string journal = "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        ChildProcess service;
        ASSERT_TRUE(service.Start(command({FieldbookProgram(), "--headless"}), {journal}, "", dir.File("service.err")));
        ASSERT_TRUE(service.Wait(20s, &status));
        EXPECT_EQ(status, 1);
        EXPECT_EQ(ReadWholeFile(dir.File("service.err")).rfind("<3>fieldbook: " + says, 0), 0u)
            << ReadWholeFile(dir.File("service.err"));
        EXPECT_TRUE(first.Running());
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.Wait(30s, &status));
        EXPECT_EQ(status, 0) << ReadWholeFile(dir.File("first.err"));
    }
}

TEST(WindowProcess, MapsItsWindowOnARealXServer)
{
    XvfbServer x;
    std::string why;
    ASSERT_TRUE(x.Start(1366, 768, why)) << why;
    ScratchDir dir;
    const std::string docs = dir.Path() + "documents/", ports = dir.Path() + "ports/", logs = dir.Path() + "logs/";
    for (const std::string& d : {docs, ports, logs})
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);

    ChildProcess sim;
    ASSERT_TRUE(sim.Start({SimProgram(), "--ports", ports, "--count", "3", "--interval", "0.2", "--quiet"}, {},
                          dir.File("sim.out"), dir.File("sim.err")));
    ChildProcess window;
    // Under AddressSanitizer, what Qt and the libraries below it keep for the
    // whole process is not a leak of ours (the window tests' list).
    const std::string suppressions = std::string(FIELDBOOK_TEST_DATA) + "/../gui/lsan.supp";
    ASSERT_TRUE(window.Start({FieldbookProgram(), "--documents", docs, "--ports", ports, "--log-dir", logs},
                             {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.Display(),
                              "LSAN_OPTIONS=suppressions=" + suppressions},
                             dir.File("window.out"), dir.File("window.err")));
    int status = -1;
    ASSERT_TRUE(sim.Wait(60s, &status));
    EXPECT_EQ(status, 0) << ReadWholeFile(dir.File("sim.out"));

    // The X server knows the window by its title (the program and the log
    // file), mapped and viewable.
    const std::string xwininfo = "xwininfo -display " + x.Display();
    const std::string query = "id=$(" + xwininfo + " -root -tree | grep -m1 '\"fieldbook - [0-9]\\{10\\}\\.txt\"' | " +
                              "awk '{print $1}') && [ -n \"$id\" ] && " + xwininfo + " -id \"$id\" >" +
                              dir.File("xwininfo.txt") + " 2>&1";
    bool mapped = false;
    for (int i = 0; i < 100 && !mapped; ++i) {
        mapped = std::system(query.c_str()) == 0 &&
                 ReadWholeFile(dir.File("xwininfo.txt")).find("IsViewable") != std::string::npos;
        if (!mapped)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(mapped) << ReadWholeFile(dir.File("xwininfo.txt")) << ReadWholeFile(dir.File("window.err"));

    ASSERT_TRUE(window.Signal(SIGTERM));
    ASSERT_TRUE(window.Wait(30s, &status));
    EXPECT_EQ(status, 0) << ReadWholeFile(dir.File("window.err"));
}
#endif
