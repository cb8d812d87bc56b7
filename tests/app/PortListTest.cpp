#include "app/PortList.h"

#include <cerrno>
#include <gtest/gtest.h>
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
