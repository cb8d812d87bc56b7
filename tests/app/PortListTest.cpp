#include "app/PortList.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Folders.h"
#include "support/Pty.h"
#include "support/ScratchDir.h"

namespace {

struct ErrnoCase {
    int error;
    bool listed;
};

class PortListErrno : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(PortListErrno, PortIsListedOnlyWhenTheErrorProvesItExists)
{
    const ErrnoCase c = GetParam();
    // Port 3 fails with the error under test; every other port is missing.
    const auto names = ListPortNames([&](int n) { return n == 3 ? c.error : ENOENT; });
    if (c.listed)
        EXPECT_EQ(names, std::vector<std::string>{"COM3"});
    else
        EXPECT_TRUE(names.empty());
}

INSTANTIATE_TEST_SUITE_P(Errors, PortListErrno,
                         ::testing::Values(ErrnoCase{0, true}, ErrnoCase{EACCES, true}, ErrnoCase{EPERM, true},
                                           ErrnoCase{EIO, true}, ErrnoCase{EBUSY, true},
                                           ErrnoCase{ETIMEDOUT, true}, ErrnoCase{ENOENT, false},
                                           ErrnoCase{ENXIO, false}, ErrnoCase{EISDIR, false},
                                           ErrnoCase{ENODEV, false}, ErrnoCase{ELOOP, false}));

TEST(PortList, OnlyPortsOneToThirtyTwoAreAsked)
{
    std::map<int, int> asked;
    ListPortNames([&](int n) {
        ++asked[n];
        return ENOENT;
    });
    ASSERT_EQ(asked.size(), 32u);
    EXPECT_EQ(asked.begin()->first, 1);
    EXPECT_EQ(asked.rbegin()->first, 32);
}

TEST(PortList, EntriesOfThePortsFolderInTextOrder)
{
    ScratchDir ports;
    for (const char* name : {"COM5", "COM10", "COM1", "COM4", "COM2", "COM32", "COM33", "COM0", "COMX", "com6"})
        ASSERT_TRUE(WriteWholeFile(ports.File(name), ""));
    // A link whose device has gone, and a folder, are not ports.
    ASSERT_EQ(::symlink((ports.Path() + "gone").c_str(), ports.File("COM7").c_str()), 0);
    ASSERT_EQ(::mkdir(ports.File("COM8").c_str(), 0755), 0);
    SetPortsFolder(ports.Path());

    const std::vector<std::string> expected{"COM1", "COM10", "COM2", "COM32", "COM4", "COM5"};
    EXPECT_EQ(ListPortNames(), expected);
    SetPortsFolder("");
}

TEST(PortList, PseudoTerminalIsListedAndLeftUsable)
{
    ScratchDir ports;
    Pty pty(ports.Path(), 9);
    SetPortsFolder(ports.Path());
    EXPECT_EQ(ListPortNames(), std::vector<std::string>{"COM9"});
    EXPECT_EQ(ProbePortDevice(ports.File("COM9")), 0);
    SetPortsFolder("");
}

TEST(PortList, NumberFromName)
{
    const std::pair<const char*, int> cases[] = {
        {"COM1", 1}, {"COM10", 10}, {"COM32", 32}, {"COM", 0}, {"", 0}, {"COMX", 0}, {"XYZ7", 7},
    };
    for (const auto& [name, number] : cases)
        EXPECT_EQ(PortNumberFromName(name), number) << name;
}

} // namespace

// What start-up and the lamps say about the two ports (GPS COM4, locator COM5)
// in each state of the ports folder; then the lines a change gives.
TEST(PortList, HintsNameWhatStandsBetweenAPortAndItsDevice)
{
    ScratchDir dir;
    const std::string ports = dir.Path() + "ports/";
    SetPortsFolder(ports);
    struct Row {
        const char* name;
        std::function<void()> make;
        int gpsPort;
        std::string gps, bluetooth;
        bool shared;
    } rows[] = {
        {"no folder", [] {}, 4, "GPS port: the ports folder " + ports + " does not exist",
         "Locator port: the ports folder " + ports + " does not exist", false},
        {"no entries", [&] { ::mkdir(ports.c_str(), 0755); }, 4, "GPS port: COM4 is not in the ports folder " + ports,
         "Locator port: COM5 is not in the ports folder " + ports, false},
        {"links to nothing", [&] { [[maybe_unused]] int rc = ::symlink("/dev/rfcomm77", (ports + "COM5").c_str()); }, 4,
         "GPS port: COM4 is not in the ports folder " + ports, "Locator port: COM5 points at /dev/rfcomm77, which does not exist",
         false},
        {"both found", [&] {
             ::unlink((ports + "COM5").c_str());
             WriteWholeFile(ports + "COM4", "");
             WriteWholeFile(ports + "COM5", "");
         },
         4, "", "", false},
        {"one port for both", [] {}, 5, "", "", true},
        {"gpsd has no port", [] {}, 0, "", "", false},
    };
    PORT_HINTS before;
    for (Row& row : rows) {
        row.make();
        const PORT_HINTS hints = CheckPorts(row.gpsPort, 5);
        EXPECT_EQ(hints.gps, row.gps) << row.name;
        EXPECT_EQ(hints.bluetooth, row.bluetooth) << row.name;
        EXPECT_EQ(!hints.shared.empty(), row.shared) << row.name;
        const std::vector<std::string> lines = PortHintChanges(before, hints, row.gpsPort, 5);
        if (std::string(row.name) == "both found") {
            EXPECT_EQ(lines, (std::vector<std::string>{"GPS port: COM4 found", "Locator port: COM5 found"}));
        }
        before = hints;
    }
    SetPortsFolder("");
}
