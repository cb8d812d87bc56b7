#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/SerialPort.h"
#include "platform/Folders.h"
#include "support/FakeSerialDevice.h"
#include "support/Pty.h"
#include "support/ScratchDir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Kind { Bluetooth, Gps };

const char* KindName(Kind kind) { return kind == Kind::Bluetooth ? "Bluetooth" : "Gps"; }

std::unique_ptr<CSerialPort> MakePort(Kind kind, std::unique_ptr<ISerialDevice> device = nullptr)
{
    std::unique_ptr<CSerialPort> port;
    if (kind == Kind::Bluetooth)
        port = std::make_unique<CBluetoothPort>(std::move(device));
    else
        port = std::make_unique<CGpsPort>(std::move(device));
    port->SetCloseWait(0ms);
    return port;
}

// The base port only opens; neither link reads through it.
class ReadOnlyPort : public CSerialPort {
public:
    using CSerialPort::CSerialPort;
    uint32_t ReadPort(uint8_t*, uint32_t) override { return 0; }
};

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

std::string AllByteValues()
{
    std::string s;
    for (int v = 0; v < 256; ++v)
        s.push_back(static_cast<char>(v));
    return s;
}

uint32_t Write(CSerialPort& port, const std::string& bytes)
{
    return port.WritePort(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

int ReadOnce(CSerialPort& port)
{
    uint8_t buffer[128];
    return static_cast<int>(port.ReadPort(buffer, sizeof buffer));
}

// Reads through the port until count bytes came or a few seconds passed.
std::string ReadFromPort(CSerialPort& port, size_t count)
{
    std::string got;
    uint8_t buffer[128];
    const auto deadline = Clock::now() + 3s;
    while (got.size() < count && port.IsPortOpen() && Clock::now() < deadline) {
        const uint32_t n = port.ReadPort(buffer, sizeof buffer);
        got.append(reinterpret_cast<const char*>(buffer), n);
    }
    return got;
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDocumentsFolder(m_docs.Path());
        SetPortsFolder(m_ports.Path());
    }
    void TearDown() override
    {
        SetDocumentsFolder("");
        SetPortsFolder("");
    }
    std::string Comm(int n) const { return ReadWholeFile(m_docs.File("Comm" + std::to_string(n) + ".txt")); }

    ScratchDir m_docs;
    ScratchDir m_ports;
};

// ---------------------------------------------------------------- on ptys

TEST_F(SerialPortTest, BytesPassUnchangedBothWays)
{
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"flag, escape, CR, LF, ETX, NUL, XON, XOFF", Bytes({0x7E, 0x7D, 0x0D, 0x0A, 0x03, 0x00, 0x11, 0x13})},
        {"every byte value", AllByteValues()},
    };
    for (Kind kind : {Kind::Bluetooth, Kind::Gps}) {
        Pty pty(m_ports.Path(), 4);
        auto port = MakePort(kind);
        port->OpenPort(4);
        ASSERT_TRUE(port->IsPortOpen()) << KindName(kind) << " errno " << port->LastError();
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(KindName(kind)) + ": " + c.name);
            ASSERT_TRUE(pty.Write(c.bytes));
            EXPECT_EQ(ReadFromPort(*port, c.bytes.size()), c.bytes);
            EXPECT_EQ(Write(*port, c.bytes), c.bytes.size());
            EXPECT_EQ(pty.Read(c.bytes.size()), c.bytes);
        }
    }
}

TEST_F(SerialPortTest, ReadEndsAfterQuietGapOrTotalTimeout)
{
    Pty pty(m_ports.Path(), 3);
    auto port = MakePort(Kind::Bluetooth);
    port->OpenPort(3);
    ASSERT_TRUE(port->IsPortOpen());
    uint8_t buffer[2000];

    // Nothing comes: 0, the port stays open, and the wait is neither skipped
    // nor endless (250 ms + 2 ms x 128 here).
    auto start = Clock::now();
    EXPECT_EQ(port->ReadPort(buffer, 128), 0u);
    auto took = Clock::now() - start;
    EXPECT_TRUE(port->IsPortOpen());
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 5s);

    // Bytes then quiet: the gap ends the read long before the 4250 ms total.
    ASSERT_TRUE(pty.Write("abc"));
    start = Clock::now();
    EXPECT_EQ(port->ReadPort(buffer, sizeof buffer), 3u);
    EXPECT_LT(Clock::now() - start, 2s);

    // A full buffer ends the read; the rest waits for the next one.
    ASSERT_TRUE(pty.Write("12345"));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(port->ReadPort(buffer, 3), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "123");
    EXPECT_EQ(port->ReadPort(buffer, 3), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "45");
}

TEST_F(SerialPortTest, VanishedDeviceFailsClosesAndReopensWhenBack)
{
    static const uint8_t reply[] = {0x7E, 0x01, 0x7E};
    const struct {
        const char* name;
        int (*use)(CSerialPort&);
        std::string log;
    } cases[] = {
        {"read", ReadOnce, "Error 5\n"},
        {"write", [](CSerialPort& p) { return static_cast<int>(p.WritePort(reply, sizeof reply)); }, "Error 5\n"},
        {"carrier", [](CSerialPort& p) { return p.GetModemRLSDState(); }, ""},
    };
    for (Kind kind : {Kind::Bluetooth, Kind::Gps}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(KindName(kind)) + " " + c.name);
            Pty pty(m_ports.Path(), 6);
            auto port = MakePort(kind);
            port->SetDebugLog(true);
            port->OpenPort(6);
            ASSERT_TRUE(port->IsPortOpen());
            pty.Vanish();

            EXPECT_EQ(c.use(*port), 0);
            EXPECT_FALSE(port->IsPortOpen());
            EXPECT_EQ(port->LastError(), EIO);
            EXPECT_EQ(Comm(6), c.log);

            port->OpenPort(6);
            EXPECT_FALSE(port->IsPortOpen());
            EXPECT_EQ(port->LastError(), ENOENT);

            pty.Return();
            port->OpenPort(6);
            ASSERT_TRUE(port->IsPortOpen());
            EXPECT_EQ(port->LastError(), 0);
            EXPECT_EQ(port->GetModemRLSDState(), 1);
            ASSERT_TRUE(pty.Write("back"));
            EXPECT_EQ(ReadFromPort(*port, 4), "back");
        }
    }
}

TEST_F(SerialPortTest, SecondOpenOfTheSameDeviceIsRefused)
{
    Pty pty(m_ports.Path(), 5);
    auto first = MakePort(Kind::Bluetooth);
    auto second = MakePort(Kind::Bluetooth);
    auto gps = MakePort(Kind::Gps);
    ReadOnlyPort readOnly;
    first->OpenPort(5);
    ASSERT_TRUE(first->IsPortOpen());

    second->OpenPort(5);
    gps->OpenPort(5);
    readOnly.OpenPort(5);
    const CSerialPort* refusedPorts[] = {second.get(), gps.get(), &readOnly};
    for (const CSerialPort* refused : refusedPorts) {
        EXPECT_FALSE(refused->IsPortOpen());
        EXPECT_EQ(refused->LastError(), EBUSY);
    }

    first->ClosePort();
    second->OpenPort(5);
    EXPECT_TRUE(second->IsPortOpen());
}

TEST_F(SerialPortTest, CommFileLogsTrafficAndIsEmptiedByReopen)
{
    const std::string sentence = "$GPZDA,201530.00,04,07,2002,00,00*60\r\n";
    const struct {
        Kind kind;
        std::string expected;
    } cases[] = {
        {Kind::Bluetooth,
         "GetModemRLSDState, nRLSDState = 1\n"
         "Bytes Read = 38 \n"
         "Bytes Written = 2 \n"
         "Bytes Read = 0 \n"},
        {Kind::Gps,
         "GetModemRLSDState, nRLSDState = 1\n"
         "$GPZDA,201530.00,04,07,2002,00,00*60\r\n"
         "Bytes Written = 2 \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(KindName(c.kind));
        Pty pty(m_ports.Path(), 12);
        auto port = MakePort(c.kind);
        port->SetDebugLog(true);
        port->OpenPort(12);
        ASSERT_TRUE(port->IsPortOpen());
        ASSERT_TRUE(FileExists(m_docs.File("Comm12.txt")));
        EXPECT_EQ(Comm(12), "");

        EXPECT_EQ(port->GetModemRLSDState(), 1);
        EXPECT_EQ(port->GetModemRLSDState(), 1); // unchanged: no second line
        ASSERT_TRUE(pty.Write(sentence));
        EXPECT_EQ(ReadFromPort(*port, sentence.size()), sentence);
        EXPECT_EQ(Write(*port, "ok"), 2u);
        uint8_t b[1];
        EXPECT_EQ(port->ReadPort(b, 1), 0u);
        EXPECT_EQ(Comm(12), c.expected);

        port->ClosePort();
        EXPECT_EQ(Comm(12), c.expected);
        port->OpenPort(12);
        ASSERT_TRUE(port->IsPortOpen());
        EXPECT_EQ(Comm(12), "");
    }
}

TEST_F(SerialPortTest, NoCommFileWithoutDebugFlag)
{
    Pty pty(m_ports.Path(), 2);
    auto port = MakePort(Kind::Bluetooth);
    port->OpenPort(2);
    ASSERT_TRUE(port->IsPortOpen());
    EXPECT_EQ(Write(*port, "x"), 1u);
    EXPECT_FALSE(FileExists(m_docs.File("Comm2.txt")));
}

TEST_F(SerialPortTest, CloseWaitsOnlyWhenThePortWasOpen)
{
    Pty pty(m_ports.Path(), 8);
    CBluetoothPort port; // default close wait
    auto start = Clock::now();
    port.ClosePort();
    EXPECT_LT(Clock::now() - start, 1s);

    port.SetCloseWait(200ms);
    port.OpenPort(8);
    ASSERT_TRUE(port.IsPortOpen());
    start = Clock::now();
    port.ClosePort();
    EXPECT_GE(Clock::now() - start, 200ms);
    EXPECT_FALSE(port.IsPortOpen());

    port.SetCloseWait(2500ms);
    start = Clock::now();
    port.ClosePort();
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(SerialPortTest, ClosingHandsTheExclusiveModeBack)
{
    // The pty helper keeps a slave descriptor, so the tty outlives the port's:
    // exactly the case where a forgotten exclusive mode would lock out every
    // later open by a user other than root.
    Pty pty(m_ports.Path(), 10);
    auto port = MakePort(Kind::Bluetooth);
    const auto exclusive = [&] {
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int flag = -1;
        if (fd >= 0) {
            ::ioctl(fd, TIOCGEXCL, &flag);
            ::close(fd);
        }
        return flag;
    };
    port->OpenPort(10);
    ASSERT_TRUE(port->IsPortOpen());
    EXPECT_EQ(exclusive(), 1);
    port->ClosePort();
    EXPECT_EQ(exclusive(), 0);
}

TEST_F(SerialPortTest, BytesBeforeAHangUpAreKeptAndTheNextReadFails)
{
    // A FIFO whose writer goes away behaves like a line that hangs up right
    // after sending: POLLHUP with data still queued.
    const std::string path = m_ports.File("COM13");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    auto device = MakePosixSerialDevice();
    ASSERT_EQ(device->Open(path, false), 0);
    const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "abc", 3), 3);
    ::close(writer);

    uint8_t buffer[16];
    uint32_t got = 99;
    EXPECT_EQ(device->Read(buffer, sizeof buffer, 10, 2000, &got), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "abc");
    EXPECT_EQ(device->Read(buffer, sizeof buffer, 10, 2000, &got), EIO);
    EXPECT_EQ(got, 0u);
}

// ---------------------------------------------------------------- with the fake

TEST_F(SerialPortTest, ClosedPortLeavesTheDeviceAlone)
{
    for (Kind kind : {Kind::Bluetooth, Kind::Gps}) {
        SCOPED_TRACE(KindName(kind));
        FakeSerialDevice fake;
        auto port = MakePort(kind, fake.MakeDevice());
        uint8_t b[16] = {};
        EXPECT_EQ(port->ReadPort(b, sizeof b), 0u);
        EXPECT_EQ(port->WritePort(b, sizeof b), 0u);
        EXPECT_EQ(port->GetModemRLSDState(), -1);
        EXPECT_TRUE(fake.Reads().empty());
        EXPECT_TRUE(fake.WriteCalls().empty());
        EXPECT_EQ(fake.CarrierQueries(), 0);
    }
}

TEST_F(SerialPortTest, EachPortOpensAndConfiguresItsOwnWay)
{
    using Maker = std::function<std::unique_ptr<CSerialPort>(std::unique_ptr<ISerialDevice>)>;
    const struct {
        const char* name;
        Maker make;
        bool readWrite;
        std::vector<bool> configures; // setLine of each Configure call
    } cases[] = {
        {"Bluetooth", [](auto d) { return MakePort(Kind::Bluetooth, std::move(d)); }, true, {true}},
        {"Gps", [](auto d) { return MakePort(Kind::Gps, std::move(d)); }, true, {false}},
        {"base", [](auto d) { return std::unique_ptr<CSerialPort>(new ReadOnlyPort(std::move(d))); }, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSerialDevice fake;
        auto port = c.make(fake.MakeDevice());
        port->OpenPort(7);
        EXPECT_TRUE(port->IsPortOpen());
        EXPECT_EQ(fake.LastOpenPath(), m_ports.Path() + "COM7");
        EXPECT_EQ(fake.LastOpenReadWrite(), c.readWrite);
        EXPECT_EQ(fake.Configures(), c.configures);
    }
}

TEST_F(SerialPortTest, ReadAndWriteTimeOutsFollowTheLength)
{
    FakeSerialDevice fake;
    auto port = MakePort(Kind::Bluetooth, fake.MakeDevice());
    port->OpenPort(1);
    uint8_t b[128] = {};
    port->ReadPort(b, 128);
    port->ReadPort(b, 1);
    port->WritePort(b, 6);
    port->WritePort(b, 72);
    const auto reads = fake.Reads();
    const auto writes = fake.WriteCalls();
    ASSERT_EQ(reads.size(), 2u);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(reads[0].intervalMs, 10);
    EXPECT_EQ(reads[0].totalMs, 506);
    EXPECT_EQ(reads[1].totalMs, 252);
    EXPECT_EQ(writes[0].totalMs, 262);
    EXPECT_EQ(writes[1].totalMs, 394);
    EXPECT_EQ(CSerialPort::TotalTimeoutMs(0xFFFFFFFFu), 0x7FFFFFFF); // no overflow
}

TEST_F(SerialPortTest, FailedOpenKeepsPortClosedWithoutCommFile)
{
    FakeSerialDevice fake;
    fake.SetOpenError(EACCES);
    auto port = MakePort(Kind::Bluetooth, fake.MakeDevice());
    port->SetDebugLog(true);
    port->OpenPort(9);
    EXPECT_FALSE(port->IsPortOpen());
    EXPECT_EQ(port->LastError(), EACCES);
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(FileExists(m_docs.File("Comm9.txt")));

    // Line settings the device refuses do not keep the port from opening.
    fake.SetOpenError(0);
    fake.SetConfigureError(EINVAL);
    port->OpenPort(9);
    EXPECT_TRUE(port->IsPortOpen());
    EXPECT_EQ(port->LastError(), 0);
}

TEST_F(SerialPortTest, OpeningAnOpenPortClosesTheOldDeviceFirst)
{
    FakeSerialDevice fake;
    auto port = MakePort(Kind::Gps, fake.MakeDevice());
    port->OpenPort(3);
    port->OpenPort(4);
    EXPECT_TRUE(port->IsPortOpen());
    EXPECT_EQ(fake.OpenCount(), 2);
    EXPECT_EQ(fake.CloseCount(), 1);
    EXPECT_EQ(fake.LastOpenPath(), m_ports.Path() + "COM4");
}

TEST_F(SerialPortTest, CarrierLogsOneLinePerChange)
{
    FakeSerialDevice fake;
    auto port = MakePort(Kind::Bluetooth, fake.MakeDevice());
    port->SetDebugLog(true);
    port->OpenPort(1);
    // The remembered state starts at 0, so a first "down" is no change.
    const bool carrier[] = {false, true, true, false, false, true};
    const int expected[] = {0, 1, 1, 0, 0, 1};
    for (size_t i = 0; i < std::size(carrier); ++i) {
        fake.SetCarrier(carrier[i]);
        EXPECT_EQ(port->GetModemRLSDState(), expected[i]) << "query " << i;
    }
    EXPECT_EQ(Comm(1),
              "GetModemRLSDState, nRLSDState = 1\n"
              "GetModemRLSDState, nRLSDState = 0\n"
              "GetModemRLSDState, nRLSDState = 1\n");
    EXPECT_TRUE(port->IsPortOpen());
}

TEST_F(SerialPortTest, DeviceFailureLogsErrorClosesAndReturnsZero)
{
    static const uint8_t reply[6] = {0x7E, 0x06, 0x00, 0x00, 0x00, 0x7E};
    const struct {
        const char* name;
        Kind kind;
        void (*fail)(FakeSerialDevice&);
        int (*use)(CSerialPort&);
        int error;
        std::string log;
    } cases[] = {
        {"Bluetooth read", Kind::Bluetooth, [](FakeSerialDevice& f) { f.QueueReadError(EIO); }, ReadOnce, EIO,
         "Error 5\n"},
        {"Gps read", Kind::Gps, [](FakeSerialDevice& f) { f.QueueReadError(ENXIO); }, ReadOnce, ENXIO, "Error 6\n"},
        {"write", Kind::Bluetooth, [](FakeSerialDevice& f) { f.SetWriteError(ETIMEDOUT); },
         [](CSerialPort& p) { return static_cast<int>(p.WritePort(reply, sizeof reply)); }, ETIMEDOUT, "Error 110\n"},
        {"carrier query", Kind::Bluetooth, [](FakeSerialDevice& f) { f.SetCarrierError(EIO); },
         [](CSerialPort& p) { return p.GetModemRLSDState(); }, EIO, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSerialDevice fake;
        auto port = MakePort(c.kind, fake.MakeDevice());
        port->SetDebugLog(true);
        port->OpenPort(11);
        c.fail(fake);
        EXPECT_EQ(c.use(*port), 0);
        EXPECT_FALSE(port->IsPortOpen());
        EXPECT_FALSE(fake.IsOpen());
        EXPECT_EQ(port->LastError(), c.error);
        EXPECT_EQ(Comm(11), c.log);
        EXPECT_EQ(port->GetModemRLSDState(), -1);
    }
}

TEST_F(SerialPortTest, ShortWriteReturnsTheShortCountAndStaysOpen)
{
    FakeSerialDevice fake;
    fake.SetWriteLimit(3);
    auto port = MakePort(Kind::Bluetooth, fake.MakeDevice());
    port->SetDebugLog(true);
    port->OpenPort(1);
    EXPECT_EQ(Write(*port, "\x7E\x02\x7D\x5E\x10\x20\x30\x7E"), 3u);
    EXPECT_TRUE(port->IsPortOpen());
    EXPECT_EQ(fake.Written(), "\x7E\x02\x7D");
    EXPECT_EQ(Comm(1), "Bytes Written = 3 \n");
}

TEST_F(SerialPortTest, ReaderThreadGetsBytesQueuedWhileItWaits)
{
    FakeSerialDevice fake;
    fake.SetReadWaits(true);
    auto port = MakePort(Kind::Bluetooth, fake.MakeDevice());
    port->OpenPort(1);
    std::string got;
    std::thread reader([&] { got = ReadFromPort(*port, 11); });
    ASSERT_TRUE(fake.WaitForReads(1, 2s));
    fake.QueueRead("hello ");
    fake.QueueRead("world");
    reader.join();
    EXPECT_EQ(got, "hello world");
    EXPECT_TRUE(port->IsPortOpen());
}

TEST_F(SerialPortTest, DestroyingALinkPortClosesIt)
{
    FakeSerialDevice fake;
    {
        auto port = MakePort(Kind::Gps, fake.MakeDevice());
        port->OpenPort(1);
        ASSERT_TRUE(fake.IsOpen());
    }
    EXPECT_FALSE(fake.IsOpen());
    EXPECT_EQ(fake.CloseCount(), 1);
}

} // namespace
