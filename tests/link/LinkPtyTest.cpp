// The link end to end over pseudo-terminals: a locator and a GPS receiver
// played by the test on the master sides, the link on the real serial ports.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "link/LocatorLink.h"
#include "platform/Clock.h"
#include "platform/Folders.h"
#include "support/LocatorPackets.h"
#include "support/NmeaStream.h"
#include "support/Pty.h"
#include "support/RecordingOwner.h"
#include "support/ScratchDir.h"

namespace {

using namespace std::chrono_literals;

constexpr int kBluetoothPort = 5;
constexpr int kGpsPort = 6;

const std::string kGga = NmeaSentence("GPGGA,123519,4807.038,S,01131.000,W,1,08,0.9,545.4,M,46.9,M,,");
const std::string kZda = NmeaSentence("GPZDA,201530.00,04,07,2002,00,00");

LocatorPacket Measurement(uint32_t protocolId, int32_t gpsMode)
{
    AdditionalFields f;
    f.protocolId = protocolId;
    f.compass = 90;
    LocatorPacket p;
    p.U8(4, 1).U32(24, AdditionalData(f)).I32(52, gpsMode).F32(28, 0.75f);
    return p.SealChecksum();
}

// One frame from the master: bytes up to and including the second flag.
std::string ReadFrame(Pty& pty, std::chrono::milliseconds timeout = 5s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string frame;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string b = pty.Read(1, 50ms);
        if (b.empty())
            continue;
        if (frame.empty() && b[0] != '\x7E')
            continue;
        frame += b;
        if (frame.size() > 1 && b[0] == '\x7E')
            return frame;
    }
    return frame;
}

class LinkPtyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDocumentsFolder(m_docs.Path());
        SetPortsFolder(m_ports.Path());
        const LOCAL_TIME clock{2024, 3, 5, 14, 7, 9};
        SetLocalTimeForTest(&clock);
        m_owner.bluetoothPort = kBluetoothPort;
        m_owner.gpsPort = kGpsPort;
    }
    void TearDown() override
    {
        SetLocalTimeForTest(nullptr);
        SetPortsFolder("");
        SetDocumentsFolder("");
    }

    // A fresh link on the two pseudo-terminals, running.
    // readerWaits: SetReaderWaits for both (0: the link's own).
    std::unique_ptr<CLocatorLink> Run(uint32_t debugLevel, std::chrono::milliseconds readerWaits = 0ms,
                                      bool waitForLink = true)
    {
        m_owner.debugLevel = debugLevel;
        auto link = std::make_unique<CLocatorLink>(m_owner);
        link->SetPortCloseWait(5ms);
        if (readerWaits > 0ms)
            link->SetReaderWaits(readerWaits, readerWaits);
        EXPECT_EQ(link->Initialise(), LINK_OK);
        EXPECT_EQ(link->StartThreads(), LINK_OK);
        if (waitForLink) {
            EXPECT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
        }
        return link;
    }
    // Sends a packet as the locator and gives back the reply's payload.
    std::string Exchange(const LocatorPacket& packet)
    {
        EXPECT_TRUE(m_bt.Write(packet.Frame()));
        return Unframe(ReadFrame(m_bt));
    }

    ScratchDir m_docs;
    ScratchDir m_ports;
    Pty m_bt{m_ports.Path(), kBluetoothPort};
    Pty m_gps{m_ports.Path(), kGpsPort};
    RecordingOwner m_owner;
};

TEST_F(LinkPtyTest, HandheldFixFromNmeaReachesRecordAndLongAck)
{
    auto link = Run(0);
    ASSERT_TRUE(m_gps.Write(kGga + kZda));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
    // The ZDA sentence follows the GGA; give the reader the moment it needs.
    ASSERT_TRUE(WaitUntil([&] {
        ZDA_DATA zda;
        return link->GetGpsDecoder()->CopyZdaData(&zda) == 0 && zda.nYear == 2002;
    }));

    const std::string reply = Exchange(Measurement(2, 1));
    ASSERT_EQ(reply.size(), 72u);
    EXPECT_EQ(reply.substr(0, 8), std::string("\xFF\x03\x00\x21\x01\x02\x40\x00", 8));
    EXPECT_EQ(ReplyU32(reply, 8 + 0), (4u << 24) | (7u << 16) | 2002u);
    EXPECT_EQ(ReplyF32(reply, 8 + 4), 123519.0f);
    EXPECT_EQ(ReplyF32(reply, 8 + 8), 0.9f);
    EXPECT_EQ(ReplyF32(reply, 8 + 12), 545.4f);
    EXPECT_EQ(ReplyF32(reply, 8 + 16), 46.9f);
    EXPECT_EQ(ReplyU32(reply, 8 + 28), 1u); // geoid units: metres
    EXPECT_EQ(ReplyU32(reply, 8 + 32), 1u); // fix quality
    EXPECT_EQ(ReplyU32(reply, 8 + 36), 8u); // satellites
    EXPECT_EQ(ReplyU32(reply, 8 + 40), 1u); // altitude units: metres
    EXPECT_NEAR(ReplyF64(reply, 8 + 44), -(48.0 + 7.038 / 60.0), 1e-9);
    EXPECT_NEAR(ReplyF64(reply, 8 + 52), -(11.0 + 31.0 / 60.0), 1e-9);
    EXPECT_EQ(ReplyU32(reply, 8 + 60), 1u); // time from the GPS

    SURVEY_POINT* p = link->PeekLocateRecord();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->u32AppIdentifier, 1u);
    EXPECT_EQ(p->LocateData.fDepth, 75.0f);
    EXPECT_EQ(p->LocateData.nCompass, 90);
    EXPECT_EQ(p->GpsFix.nGpsFix, 1u);
    EXPECT_EQ(p->GpsFix.nLatDir, DIR_SOUTH);
    EXPECT_EQ(p->GpsFix.nLongDir, DIR_WEST);
    EXPECT_NEAR(p->GpsFix.dfLatAng, 48.1173, 1e-9);
    EXPECT_EQ(p->ZdaData.nDay, 4);
    link->Shutdown();
}

TEST_F(LinkPtyTest, VanishedPortIsReopenedAndAnsweredAgain)
{
    auto link = Run(0);
    EXPECT_EQ(Exchange(Measurement(1, 0)).size(), 6u);

    m_bt.Vanish();
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_RED));
    EXPECT_EQ(m_owner.Shown(IDC_BLUETOOTH_ICON), IDB_BLUETOOTH_DOWN);
    m_bt.Return();
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
    EXPECT_EQ(Exchange(Measurement(1, 0)), std::string("\xFF\x03\x00\x21\x01\x02", 6));

    // The GPS receiver goes away too: its fix is no longer used.
    ASSERT_TRUE(m_gps.Write(kGga));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
    m_gps.Vanish();
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_RED));
    EXPECT_EQ(Exchange(Measurement(2, 1)).size(), 72u);
    link->PopLocateRecord();
    link->PopLocateRecord();
    SURVEY_POINT* p = link->PeekLocateRecord();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->u32AppIdentifier, 3u);
    EXPECT_EQ(p->GpsFix.nGpsFix, 0u);
    link->Shutdown();
}

TEST_F(LinkPtyTest, StopAndStartAgainKeepsNumbering)
{
    auto link = Run(0);
    EXPECT_EQ(Exchange(Measurement(1, 0)).size(), 6u);
    link->StopThreads();
    EXPECT_FALSE(link->HasBluetoothThread());
    EXPECT_FALSE(link->HasGpsThread());
    ASSERT_EQ(link->StartThreads(), LINK_OK);
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
    EXPECT_EQ(Exchange(Measurement(1, 0)).size(), 6u);
    link->PopLocateRecord();
    ASSERT_NE(link->PeekLocateRecord(), nullptr);
    EXPECT_EQ(link->PeekLocateRecord()->u32AppIdentifier, 2u);
    link->Shutdown();
}

TEST_F(LinkPtyTest, EachDebugBitWritesItsOwnFile)
{
    struct Case {
        uint32_t bit;
        const char* file;
        const char* firstLine;
    } cases[] = {
        {0, nullptr, nullptr},
        {DEBUG_BLUETOOTH_PORT, "Comm5.txt", "GetModemRLSDState, nRLSDState = 1\n"},
        {DEBUG_LOCATE, "LocateData.txt", "Bluetooth Read Thread Started\nm_nLastRetCode = 0\n"},
        {DEBUG_GPS_PORT, "Comm6.txt", "$GPGGA,"},
        {DEBUG_GPS_DECODER, "GpsDecoder.txt", "Opened GpsDecoder.txt\n"},
        {DEBUG_GPS_DATA, "GpsData.txt", "GPS Read Thread Started\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bit);
        m_owner.Forget();
        ScratchDir docs;
        SetDocumentsFolder(docs.Path());
        auto link = Run(c.bit);
        ASSERT_TRUE(m_gps.Write(kGga));
        ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
        EXPECT_EQ(Exchange(Measurement(1, 0)).size(), 6u);
        link->Shutdown();
        link.reset();

        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(docs.Path()))
            files.push_back(entry.path().filename().string());
        if (c.file == nullptr) {
            EXPECT_TRUE(files.empty());
            continue;
        }
        EXPECT_EQ(files, std::vector<std::string>{c.file});
        EXPECT_EQ(ReadWholeFile(docs.File(c.file)).rfind(c.firstLine, 0), 0u) << ReadWholeFile(docs.File(c.file));
    }
}

} // namespace

// Readers sleep on their port; these runs make every timed wake-up a minute
// away, so only the event each test is about can move a reader within the
// test's bounded waits.
constexpr auto kMinute = std::chrono::milliseconds(60000);

TEST_F(LinkPtyTest, StopEndsReadersWaitingForBytesAndForADevice)
{
    m_gps.Vanish();
    auto link = Run(0, kMinute);
    EXPECT_EQ(Exchange(Measurement(1, 0)).size(), 6u);
    // The Bluetooth reader now waits on its quiet port, the GPS reader for its
    // device; the stop must reach both well inside StopThreads' own wait.
    link->StopThreads();
    EXPECT_FALSE(link->HasBluetoothThread());
    EXPECT_FALSE(link->HasGpsThread());
}

TEST_F(LinkPtyTest, DeviceReturningWhileItsReaderWaitsIsOpenedAtOnce)
{
    m_bt.Vanish();
    auto link = Run(0, kMinute, false);
    // Long enough for the first open to fail and the reader to sleep.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(m_owner.Shown(IDC_BLUETOOTH_LAMP), 0);
    m_bt.Return();
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
    EXPECT_EQ(Exchange(Measurement(1, 0)).size(), 6u);
    link->Shutdown();
}

TEST_F(LinkPtyTest, ReplyGoesOutBeforeTheNextByteIsRead)
{
    auto link = Run(0);
    // A locator that keeps the line busy after its frame: one filler byte at a
    // time, each written once the reader has taken the one before. A reader that
    // gathered bytes until a quiet gap would answer only after a whole chunk.
    ASSERT_TRUE(m_bt.Write(Measurement(1, 0).Frame()));
    ASSERT_TRUE(WaitUntil([&] { return m_bt.Unread() == 0; }));
    std::string reply;
    int fillers = 0;
    for (; fillers < 64 && Unframe(reply).empty(); ++fillers) {
        reply += m_bt.Read(64, 1ms);
        ASSERT_TRUE(m_bt.Write("\x55"));
        ASSERT_TRUE(WaitUntil([&] { return m_bt.Unread() == 0; }));
    }
    if (Unframe(reply).empty())
        reply += ReadFrame(m_bt, 1s);
    EXPECT_EQ(Unframe(reply), std::string("\xFF\x03\x00\x21\x01\x02", 6));
    EXPECT_LE(fillers, 8);
    link->Shutdown();
}
