// fieldbook --headless as a user runs it: the built program against the built
// simulator, in a scratch folder.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/ScratchDir.h"

using namespace std::chrono_literals;

namespace {

class Headless : public ::testing::Test {
protected:
    void SetUp() override
    {
        docs = dir.Path() + "documents/";
        ports = dir.Path() + "ports/";
        logs = dir.Path() + "logs/";
        for (const std::string& d : {docs, ports, logs})
            ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    }

    std::vector<std::string> FieldbookArgs() const
    {
        return {FieldbookProgram(), "--headless", "--documents", docs, "--ports", ports, "--log-dir", logs};
    }

    bool StartFieldbook(ChildProcess& p, const std::string& name = "fieldbook")
    {
        return p.Start(FieldbookArgs(), {}, dir.File(name + ".out"), dir.File(name + ".err"));
    }

    std::string Out(const std::string& name = "fieldbook") const { return ReadWholeFile(dir.File(name + ".out")); }
    std::string Err(const std::string& name = "fieldbook") const { return ReadWholeFile(dir.File(name + ".err")); }

    // Names of the survey logs written.
    std::vector<std::string> LogFiles() const
    {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(logs.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name.size() == 14 && name.compare(10, 4, ".txt") == 0)
                    names.push_back(name);
            }
            ::closedir(d);
        }
        return names;
    }

    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

    void Stop(ChildProcess& p)
    {
        ASSERT_TRUE(p.Signal(SIGTERM));
        int status = -1;
        ASSERT_TRUE(p.Wait(30s, &status));
        EXPECT_EQ(status, 0);
    }

    ScratchDir dir;
    std::string docs, ports, logs;
};

const char* const kDefaultConfig = "PORT#GPS#PORTNUMBER#4\n"
                                   "PORT#GPS#ENABLED#TRUE\n"
                                   "PORT#BLUETOOTH#PORTNUMBER#5\n"
                                   "PORT#BLUETOOTH#ENABLED#TRUE\n"
                                   "SCREEN#RESOLUTION#QUARTER\n"
                                   "DEBUG#LEVEL#0x00000000\n";

} // namespace

TEST_F(Headless, CommandLineErrorsHelpAndVersion)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    } rows[] = {
        {{"--help"}, 0, "Usage: fieldbook", ""},
        {{"--version"}, 0, "fieldbook ", ""},
        {{"--bogus"}, 2, "", "fieldbook: unknown option '--bogus'"},
        {{"--headless", "--ports"}, 2, "", "fieldbook: --ports needs a folder"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args{FieldbookProgram()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        ChildProcess p;
        ASSERT_TRUE(p.Start(args, {}, dir.File("cl.out"), dir.File("cl.err")));
        int status = -1;
        ASSERT_TRUE(p.Wait(10s, &status));
        EXPECT_EQ(status, row.status) << row.args[0];
        EXPECT_EQ(ReadWholeFile(dir.File("cl.out")).rfind(row.out, 0), 0u) << row.args[0];
        const std::string err = ReadWholeFile(dir.File("cl.err"));
        EXPECT_EQ(err.rfind(row.err, 0), 0u) << err;
        if (row.status == 2) {
            EXPECT_EQ(Lines(err).size(), 1u) << err;
        }
    }
}

TEST_F(Headless, LogsEveryAckedPacketAndStopsCleanlyOnSigterm)
{
    ChildProcess sim;
    ASSERT_TRUE(sim.Start({SimProgram(), "--ports", ports, "--count", "6", "--interval", "0.2", "--protocol", "2",
                           "--gps-mode", "1", "--quiet", "--log", dir.File("packets.txt")},
                          {}, dir.File("sim.out"), dir.File("sim.err")));
    ChildProcess fieldbook;
    ASSERT_TRUE(StartFieldbook(fieldbook));

    int simStatus = -1;
    ASSERT_TRUE(sim.Wait(60s, &simStatus)) << Out();
    EXPECT_EQ(simStatus, 0) << ReadWholeFile(dir.File("sim.out")) << ReadWholeFile(dir.File("sim.err"));
    ASSERT_TRUE(WaitForFileText(dir.File("fieldbook.out"), " (6)\n", 10s)) << Out();
    Stop(fieldbook);

    const std::vector<std::string> files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::vector<std::string> rows = Lines(ReadWholeFile(logs + files[0]));
    ASSERT_EQ(rows.size(), 2u + 6u);
    EXPECT_EQ(rows[0].rfind("Log,Mode,Distance,Depth,", 0), 0u);
    for (size_t i = 2; i < rows.size(); ++i) {
        // Frequency 8440 Hz in log mode 1 is the mode named 8440.
        EXPECT_NE(rows[i].find(",8440,"), std::string::npos) << rows[i];
    }
    EXPECT_EQ(ReadWholeFile(docs + "KV4300TraceProofIni+.txt"), kDefaultConfig);

    const std::string out = Out();
    for (const char* line : {"Documents folder: ", "Configuration file: ", "XFER On\n", "Bluetooth link up\n",
                             "XFER Off\n", "Stopped\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_NE(out.find("Log: " + files[0] + " (6)\n"), std::string::npos) << out;
    // The stop sets the pictures idle once, whoever tells it.
    const std::string afterUp = out.substr(out.rfind("Bluetooth link up\n"));
    EXPECT_EQ(afterUp.find("Bluetooth link down\n"), afterUp.rfind("Bluetooth link down\n")) << out;
    // With debug level 0 no debug file is made.
    for (const char* name : {"LocateData.txt", "GpsData.txt", "GpsDecoder.txt", "system.txt", "Comm4.txt", "Comm5.txt"})
        EXPECT_FALSE(FileExists(docs + name)) << name;
}

TEST_F(Headless, SecondInstanceWithTheSameDocumentsFolderIsRefused)
{
    ChildProcess first;
    ASSERT_TRUE(StartFieldbook(first, "first"));
    ASSERT_TRUE(WaitForFileText(dir.File("first.out"), "Log: ", 15s));

    ChildProcess second;
    ASSERT_TRUE(StartFieldbook(second, "second"));
    int status = -1;
    ASSERT_TRUE(second.Wait(15s, &status));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Lines(Err("second")).size(), 1u) << Err("second");
    EXPECT_EQ(Out("second"), "");

    EXPECT_TRUE(first.Running());
    Stop(first);
}

TEST_F(Headless, SighupStartsANewLog)
{
    ChildProcess fieldbook;
    ASSERT_TRUE(StartFieldbook(fieldbook));
    ASSERT_TRUE(WaitForFileText(dir.File("fieldbook.out"), " (0)\n", 15s));
    ASSERT_TRUE(fieldbook.Signal(SIGHUP));
    std::vector<std::string> names;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (names.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        names.clear();
        for (const std::string& line : Lines(Out()))
            if (line.rfind("Log: ", 0) == 0)
                names.push_back(line);
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(names.size(), 2u) << Out();
    EXPECT_NE(names[0], names[1]);
    Stop(fieldbook);
}

TEST_F(Headless, BadConfigurationGivesTheExactMessageAndKeepsEarlierSettings)
{
    ASSERT_TRUE(WriteWholeFile(docs + "KV4300TraceProofIni+.txt",
                               "PORT#GPS#PORTNUMBER#7\nPORTS#BLUETOOTH#PORTNUMBER#9\n"));
    ChildProcess fieldbook;
    ASSERT_TRUE(StartFieldbook(fieldbook));
    ASSERT_TRUE(WaitForFileText(dir.File("fieldbook.out"), "Log: ", 15s)) << Err();
    EXPECT_EQ(Err(), "Illegal Level 0 Token <PORTS>\nfieldbook: in " + docs +
                         "KV4300TraceProofIni+.txt line 2; the settings after it are not read and keep their defaults\n");
    EXPECT_NE(Out().find("GPS port: COM7\n"), std::string::npos) << Out();
    EXPECT_NE(Out().find("Locator port: COM5\n"), std::string::npos) << Out();
    // The link only meets "no such device": start-up says which it is, and
    // says it again when the entry changes.
    EXPECT_NE(Out().find("GPS port: COM7 is not in the ports folder " + ports + "\n"), std::string::npos) << Out();
    ASSERT_EQ(::symlink((ports + "rfcomm9").c_str(), (ports + "COM7").c_str()), 0);
    EXPECT_TRUE(WaitForFileText(dir.File("fieldbook.out"),
                                "GPS port: COM7 points at " + ports + "rfcomm9, which does not exist\n", 15s))
        << Out();
    Stop(fieldbook);
    // The file with the bad token is left as it was.
    EXPECT_EQ(ReadWholeFile(docs + "KV4300TraceProofIni+.txt"), "PORT#GPS#PORTNUMBER#7\nPORTS#BLUETOOTH#PORTNUMBER#9\n");
}

TEST_F(Headless, DebugBitsWriteTheirFiles)
{
    ASSERT_TRUE(WriteWholeFile(docs + "KV4300TraceProofIni+.txt", "DEBUG#LEVEL#0x175\n"));
    ChildProcess sim;
    ASSERT_TRUE(sim.Start({SimProgram(), "--ports", ports, "--count", "2", "--interval", "0.5", "--quiet"}, {},
                          dir.File("sim.out"), dir.File("sim.err")));
    ChildProcess fieldbook;
    ASSERT_TRUE(StartFieldbook(fieldbook));
    int simStatus = -1;
    ASSERT_TRUE(sim.Wait(60s, &simStatus));
    EXPECT_EQ(simStatus, 0) << ReadWholeFile(dir.File("sim.out"));
    ASSERT_TRUE(WaitForFileText(dir.File("fieldbook.out"), " (2)\n", 10s)) << Out();
    Stop(fieldbook);

    struct Row {
        const char* file;
        const char* starts;
    } rows[] = {
        {"LocateData.txt", "Bluetooth Read Thread Started\nm_nLastRetCode = 0\n"},
        {"GpsData.txt", "GPS Read Thread Started\n"},
        {"GpsDecoder.txt", "Opened GpsDecoder.txt\n"},
        {"Comm5.txt", "GetModemRLSDState, nRLSDState = 1\nBytes Read = "},
        {"Comm4.txt", "$GP"},
        {"system.txt", "\nNEW RECORD\n==========\nApp. Identifier   = 1\n\n"},
    };
    for (const Row& row : rows) {
        const std::string text = ReadWholeFile(docs + row.file);
        EXPECT_EQ(text.rfind(row.starts, 0), 0u) << row.file << ":\n" << text.substr(0, 200);
    }
}

TEST_F(Headless, GeoidGridPROJCannotFindIsRefusedAtStartUpByName)
{
    ASSERT_TRUE(WriteWholeFile(docs + "KV4300TraceProofIni+.txt", std::string(kDefaultConfig) +
                                                                      "GPS#ANTENNA#1.8\nGPS#GEOID#office_geoid.gtx\n"));
    ChildProcess fieldbook;
    ASSERT_TRUE(StartFieldbook(fieldbook));
    int status = -1;
    ASSERT_TRUE(fieldbook.Wait(15s, &status));
    EXPECT_EQ(status, 2);
    EXPECT_EQ(Lines(Err()).size(), 1u) << Err();
    EXPECT_EQ(Err().rfind("fieldbook: geoid grid office_geoid.gtx cannot be used (", 0), 0u) << Err();
    EXPECT_TRUE(LogFiles().empty());
}
