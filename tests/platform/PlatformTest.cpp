#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/Clock.h"
#include "platform/DebugFile.h"
#include "platform/Folders.h"
#include "platform/Semaphore.h"
#include "support/CommaLocale.h"
#include "support/ScratchDir.h"

TEST(Semaphore, WaitTimesOutWhileHeldAndReleaseBeyondMaximumFails)
{
    CSemaphore sem("LocateDataSemaphore");
    EXPECT_EQ(sem.Wait(250), SemWait::Obtained);
    EXPECT_EQ(sem.Wait(5), SemWait::TimedOut);
    EXPECT_TRUE(sem.Release());
    EXPECT_FALSE(sem.Release()); // maximum count is 1
    EXPECT_EQ(sem.LastError(), CSemaphore::kSemErrTooManyPosts);
    EXPECT_EQ(sem.Wait(250), SemWait::Obtained);
}

TEST(Semaphore, ReleaseFromAnotherThreadWakesTheWaiter)
{
    CSemaphore sem("GpsDataSemaphore");
    ASSERT_EQ(sem.Wait(250), SemWait::Obtained);
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sem.Release();
    });
    EXPECT_EQ(sem.Wait(5000), SemWait::Obtained);
    other.join();
}

TEST(DebugFile, AppendKeepsTruncateEmptiesAndClosedFileIgnoresWrites)
{
    ScratchDir dir;
    const std::string path = dir.File("LocateData.txt");
    CDebugFile file;
    file.Printf("lost %d\n", 1); // not open yet: ignored
    ASSERT_TRUE(file.Open(path, CDebugFile::Mode::Truncate));
    file.Printf("dwRead = %d\n", 12);
    // Flushed at once: readable while still open.
    EXPECT_EQ(ReadWholeFile(path), "dwRead = 12\n");
    file.Close();
    file.Printf("lost %d\n", 2);
    ASSERT_TRUE(file.Open(path, CDebugFile::Mode::Append));
    file.Write("\x7e\x00", 2);
    file.Close();
    EXPECT_EQ(ReadWholeFile(path), std::string("dwRead = 12\n\x7e\x00", 14));
    ASSERT_TRUE(file.Open(path, CDebugFile::Mode::Truncate));
    file.Close();
    EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(DebugFile, MissingFolderFailsToOpen)
{
    CDebugFile file;
    EXPECT_FALSE(file.Open("/nonexistent-folder-for-fieldbook/x.txt", CDebugFile::Mode::Append));
    EXPECT_FALSE(file.IsOpen());
}

TEST(Folders, CommandLineBeatsEnvironmentAndEveryFolderEndsInSlash)
{
    ::setenv("FIELDBOOK_DOCUMENTS", "/tmp/env-docs", 1);
    ::setenv("FIELDBOOK_PORTS", "/tmp/env-ports/", 1);
    ::setenv("FIELDBOOK_LOG_DIR", "/tmp/env-logs", 1);
    SetDocumentsFolder("");
    SetPortsFolder("");
    SetLogFolder("");
    EXPECT_EQ(GetDocumentsFolder(), "/tmp/env-docs/");
    EXPECT_EQ(PortDevicePath(12), "/tmp/env-ports/COM12");
    EXPECT_EQ(GetLogFolder(), "/tmp/env-logs/");

    SetDocumentsFolder("/tmp/Vermessung Süd");
    SetPortsFolder("/tmp/p");
    SetLogFolder("/tmp/l/");
    EXPECT_EQ(DocumentsPath("KV4300TraceProofIni+.txt"), "/tmp/Vermessung Süd/KV4300TraceProofIni+.txt");
    EXPECT_EQ(PortDevicePath(5), "/tmp/p/COM5");
    EXPECT_EQ(GetLogFolder(), "/tmp/l/");

    SetDocumentsFolder("");
    SetPortsFolder("");
    SetLogFolder("");
    ::unsetenv("FIELDBOOK_DOCUMENTS");
    ::unsetenv("FIELDBOOK_PORTS");
    ::unsetenv("FIELDBOOK_LOG_DIR");
    EXPECT_EQ(GetLogFolder(), GetAppDirectory());
}

TEST(Folders, LogFolderChoice)
{
    const auto cl = LogFolderSource::CommandLine;
    const auto env = LogFolderSource::Environment;
    const auto prog = LogFolderSource::ProgramFolder;
    const auto docs = LogFolderSource::Documents;
    struct Row {
        const char *commandLine, *environment, *program;
        bool writable;
        const char* folder;
        LogFolderSource source;
    } rows[] = {
        {"/l", "/env", "/usr/bin/", false, "/l/", cl},
        {"", "/env/", "/usr/bin/", false, "/env/", env},
        {"", "", "/home/o'brien/\"bin\"/", true, "/home/o'brien/\"bin\"/", prog}, // a build folder
        {"", "", "/usr/bin/", false, "/home/u/Documents/fieldbook/", docs},      // installed
        {"", "", "", true, "/home/u/Documents/fieldbook/", docs},               // no path from the system
    };
    for (const Row& row : rows) {
        const LOG_FOLDER_CHOICE choice =
            ChooseLogFolder(row.commandLine, row.environment, row.program, row.writable, "/home/u/Documents/");
        EXPECT_EQ(choice.folder, row.folder) << row.program;
        EXPECT_EQ(choice.source, row.source) << row.program;
    }

    // The documents fallback is made, parents and all, when the logs need it.
    ScratchDir dir;
    const std::string deep = dir.File("a/b'c/fieldbook/");
    EXPECT_TRUE(MakeFolders(deep));
    EXPECT_TRUE(MakeFolders(deep));
    ASSERT_TRUE(WriteWholeFile(dir.File("plain"), ""));
    EXPECT_FALSE(MakeFolders(dir.File("plain/fieldbook/")));
}

TEST(Folders, AppDirectoryIsTheTestProgramsFolder)
{
    const std::string dir = GetAppDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(FileExists(dir + "test_platform"));
}

TEST(Clock, TestTimeOverridesTheRealClock)
{
    LOCAL_TIME fixed;
    fixed.nYear = 2016;
    fixed.nMonth = 12;
    fixed.nDay = 6;
    fixed.nHour = 14;
    fixed.nMinute = 30;
    fixed.nSecond = 5;
    SetLocalTimeForTest(&fixed);
    const LOCAL_TIME t = GetLocalTime();
    EXPECT_EQ(t.nYear, 2016);
    EXPECT_EQ(t.nSecond, 5);
    SetLocalTimeForTest(nullptr);
    EXPECT_GE(GetLocalTime().nYear, 2024);
}

TEST(DebugFile, NumbersKeepTheDecimalPointInACommaLocale)
{
    CommaLocale comma;
    std::string why;
    if (!comma.Enter(why))
        GTEST_SKIP() << why;
    ScratchDir dir;
    {
        CDebugFile file;
        ASSERT_TRUE(file.Open(dir.File("system.txt"), CDebugFile::Mode::Truncate));
        file.Printf("Lat. Angle       = %f\nHDOP %.1f\n", 52.5, 0.9);
    }
    comma.Leave();
    EXPECT_EQ(ReadWholeFile(dir.File("system.txt")), "Lat. Angle       = 52.500000\nHDOP 0.9\n");
}
