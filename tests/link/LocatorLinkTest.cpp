// The link with its reader threads running on fake devices: starting and
// stopping, status pictures, echo, failures a pseudo-terminal cannot produce,
// and the locate debug file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "link/LocatorLink.h"
#include "platform/Clock.h"
#include "platform/Folders.h"
#include "support/FakeSerialDevice.h"
#include "support/LocatorPackets.h"
#include "support/NmeaStream.h"
#include "support/RecordingOwner.h"
#include "support/ScratchDir.h"

namespace {

using namespace std::chrono_literals;
using Change = RecordingOwner::BitmapChange;

const std::string kShortAck = std::string("\xFF\x03\x00\x21\x01\x02", 6);

class LocatorLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDocumentsFolder(m_docs.Path());
        const LOCAL_TIME clock{2024, 3, 5, 14, 7, 9};
        SetLocalTimeForTest(&clock);
        m_link.SetDeviceFactory([this](bool bluetooth) { return bluetooth ? m_bt.MakeDevice() : m_gps.MakeDevice(); });
        m_link.SetPortCloseWait(2ms);
    }
    void TearDown() override
    {
        m_link.Shutdown();
        SetLocalTimeForTest(nullptr);
        SetDocumentsFolder("");
    }

    void Start(uint32_t debugLevel = 0)
    {
        m_owner.debugLevel = debugLevel;
        ASSERT_EQ(m_link.Initialise(), LINK_OK);
        ASSERT_EQ(m_link.StartThreads(), LINK_OK);
        ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
    }
    // Sends one frame as the locator and waits for the reader to have dealt with it
    // (a read after the one that took the frame).
    void Send(const std::string& frame)
    {
        const size_t reads = m_bt.Reads().size();
        m_bt.QueueRead(frame);
        ASSERT_TRUE(m_bt.WaitForReads(reads + 2, 5s));
    }
    std::string LocateData() const { return ReadWholeFile(m_docs.File("LocateData.txt")); }

    ScratchDir m_docs;
    FakeSerialDevice m_bt;
    FakeSerialDevice m_gps;
    RecordingOwner m_owner;
    CLocatorLink m_link{m_owner};
};

TEST_F(LocatorLinkTest, StartWithoutInitialiseStartsNothing)
{
    EXPECT_EQ(m_link.StartThreads(), LINK_ERR_NOT_INITIALISED);
    EXPECT_FALSE(m_link.HasBluetoothThread());
    EXPECT_FALSE(m_link.HasGpsThread());
    m_link.StopThreads();
    EXPECT_TRUE(m_owner.Bitmaps().empty());
    EXPECT_EQ(m_bt.OpenCount(), 0);
}

TEST_F(LocatorLinkTest, PicturesFollowPortCarrierAndStop)
{
    Start();
    // The GPS reader starts on its own thread: it has opened its port once it reads.
    ASSERT_TRUE(m_gps.WaitForReads(1, 5s));
    EXPECT_EQ(m_bt.LastOpenPath(), PortDevicePath(m_owner.bluetoothPort));
    EXPECT_EQ(m_gps.LastOpenPath(), PortDevicePath(m_owner.gpsPort));

    m_bt.SetCarrier(false);
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_RED));
    m_bt.SetCarrier(true);
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
    m_link.StopThreads();
    EXPECT_FALSE(m_link.HasBluetoothThread());
    EXPECT_FALSE(m_bt.IsOpen());

    std::vector<Change> bluetooth, gps;
    for (const Change& c : m_owner.Bitmaps())
        (c.controlId == IDC_BLUETOOTH_ICON || c.controlId == IDC_BLUETOOTH_LAMP ? bluetooth : gps).push_back(c);
    const std::vector<Change> up = {{IDC_BLUETOOTH_ICON, IDB_BLUETOOTH_UP}, {IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN}};
    const std::vector<Change> down = {{IDC_BLUETOOTH_ICON, IDB_BLUETOOTH_DOWN}, {IDC_BLUETOOTH_LAMP, IDB_LAMP_RED}};
    std::vector<Change> expected;
    for (const auto* pair : {&up, &down, &up, &down})
        expected.insert(expected.end(), pair->begin(), pair->end());
    EXPECT_EQ(bluetooth, expected);
    // The GPS reader shows "no fix" as it starts and never had one.
    EXPECT_EQ(gps, (std::vector<Change>{{IDC_GPS_ICON, IDB_GPS_NO_FIX}, {IDC_GPS_LAMP, IDB_LAMP_RED}}));
}

TEST_F(LocatorLinkTest, SecondStartWhileRunningStartsNothing)
{
    Start();
    EXPECT_EQ(m_link.StartThreads(), LINK_OK);
    m_link.StopThreads();
    EXPECT_EQ(m_bt.OpenCount(), 1);
    EXPECT_EQ(m_gps.OpenCount(), 1);
}

TEST_F(LocatorLinkTest, StopRightAfterStartEndsBothReaders)
{
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(m_link.StartThreads(), LINK_OK);
        m_link.StopThreads();
        ASSERT_FALSE(m_link.HasBluetoothThread()) << "turn " << i;
        ASSERT_FALSE(m_link.HasGpsThread()) << "turn " << i;
    }
}

TEST_F(LocatorLinkTest, StopAndStartAgainAnswersAgainAndReopensDebugFile)
{
    Start(DEBUG_LOCATE);
    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    m_link.StopThreads();
    m_owner.debugLevel = 0; // the switch stays on once a start turned it on
    ASSERT_EQ(m_link.StartThreads(), LINK_OK);
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    m_link.StopThreads();

    ASSERT_EQ(m_bt.Writes().size(), 2u);
    EXPECT_EQ(Unframe(m_bt.Writes()[1]), kShortAck);
    const std::string text = LocateData();
    const std::string start = "Bluetooth Read Thread Started\nm_nLastRetCode = 0\n";
    EXPECT_EQ(text.rfind(start, 0), 0u);
    EXPECT_NE(text.find(start, start.size()), std::string::npos);
    EXPECT_NE(text.find("App. Identifier       = 2\n"), std::string::npos);
}

TEST_F(LocatorLinkTest, LocateDebugFileHoldsEveryLineOfAPacket)
{
    const std::string frame = FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5));
    Start(DEBUG_LOCATE);
    Send(frame);
    m_link.StopThreads();

    const std::string expected = "Bluetooth Read Thread Started\n"
                                 "m_nLastRetCode = 0\n"
                                 "dwRead = " + std::to_string(frame.size()) + "\n"
                                 "Received Packet Length = 7\n"
                                 "u8Command = 1\n"
                                 "App. Identifier       = 1\n"
                                 "Eeprom File Index     = 0\n"
                                 "Log Mode              = 0\n"
                                 "Log Id (alphanumeric) = 0x0\n"
                                 "Locate Depth (meters) = 0.000000\n"
                                 "FF Signal (dBuV)      = 0.000000\n"
                                 "Locate Current(Amps)  = 0.000000\n"
                                 "Phase (degrees)       = 0.000000\n"
                                 "Strength (0 to 1.0)   = 0.000000\n"
                                 "Gain (dB)             = 0.000000\n"
                                 "Frequency (Hz)        = -1.000000\n"
                                 "Additional Data       = 0x0\n"
                                 "Protocol ID           = 0\n"
                                 "Compass (degrees)     = 4294967295\n"
                                 "Arrows                = -1\n"
                                 "Antenna Mode          = -1\n"
                                 "Accessory Type        = -1\n"
                                 "Sonde/Line Depth      = -1\n"
                                 "Battery Level         = -1\n"
                                 "Volume Level          = -1\n"
                                 "Overload              = -1\n"
                                 "\nEXTERNAL GPS\n"
                                 "GGA Code = 0\n"
                                 "ZDA Code = 0\n"
                                 "\nUTC                 = 0.000000"
                                 "\nHorizontal Dilution = 0.000000"
                                 "\nAltitude            = 0.000000"
                                 "\nGeoid               = 0.000000"
                                 "\nDgpsTime            = 0"
                                 "\nDgpsID              = 0"
                                 "\nGeoid Units         = 0"
                                 "\nGPS Fix             = 0"
                                 "\nNo. Satellites      = 0"
                                 "\nAltitude Units      = 0"
                                 "\nTime Reference      = 0"
                                 "\nLatitude            = 0.000000"
                                 "\nLongitude           = 0.000000\n"
                                 "SendToLocator dwWritten = " + std::to_string(FrameBytes(kShortAck).size()) + "\n"
                                 "SendToLocator ACK, nRetCode = 1\n";
    EXPECT_EQ(LocateData(), expected);
}

TEST_F(LocatorLinkTest, LocatorGpsAndChecksumLinesInDebugFile)
{
    LocatorPacket p;
    AdditionalFields f;
    f.protocolId = 2;
    p.U8(4, 1).U32(24, AdditionalData(f)).I32(52, 0).U32(72, (5u << 24) | (3u << 16) | 2024u);
    p.U32(76, 14u | (7u << 8) | (9u << 16)).I32(116, 1).F64(128, -33.5).F64(136, 151.25);
    p.SealChecksum();
    char sums[96];
    std::snprintf(sums, sizeof sums, "\nChecksum Read       = 0x%X\n\nChecksum Calculated = 0x%X\n",
                  p.GetU32(148) + 0x10, p.GetU32(148));
    p.U32(148, p.GetU32(148) + 0x10);
    Start(DEBUG_LOCATE);
    Send(p.Frame());
    m_link.StopThreads();

    const std::string expected = "Overload              = 0\n"
                                 "\nEeprom Checksum Error" + std::string(sums) +
                                 "\nnGpsMode = 0\n"
                                 "\nRtcDate.u32Word = 0x50307E8\n"
                                 "\nu32Year  = 2024"
                                 "\nu32Month = 3"
                                 "\nu32Day   = 5"
                                 "\nRtcTime.u32Word = 0x9070E\n"
                                 "\nu32Hours   = 14"
                                 "\nu32Minutes = 7"
                                 "\nu32Seconds = 9"
                                 "\nINTERNAL GPS\n"
                                 "\nUTC                 = 0.000000"
                                 "\nHorizontal Dilution = 0.000000"
                                 "\nAltitude            = 0.000000"
                                 "\nGeoid               = 0.000000"
                                 "\nDgpsTime            = 0"
                                 "\nDgpsID              = 0"
                                 "\nGeoid Units         = 0"
                                 "\nGPS Fix             = 1"
                                 "\nNo. Satellites      = 0"
                                 "\nAltitude Units      = 0"
                                 "\nTime Reference      = 0"
                                 "\nLatitude            = 33.500000"
                                 "\nLongitude           = 151.250000\n"
                                 "SendToLocator dwWritten = " + std::to_string(FrameBytes(kShortAck).size()) + "\n"
                                 "SendToLocator ACK, nRetCode = 1\n";
    const std::string text = LocateData();
    ASSERT_GE(text.size(), expected.size());
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
}

TEST_F(LocatorLinkTest, CommandOtherThanMeasurementIsBadData)
{
    Start(DEBUG_LOCATE);
    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x03", 5)));
    m_link.StopThreads();
    EXPECT_TRUE(m_bt.Writes().empty());
    EXPECT_NE(LocateData().find("u8Command = 3\nSendToLocator NAK, nRetCode = 4294967295\nBAD DATA\n"),
              std::string::npos);
}

TEST_F(LocatorLinkTest, FrameErrorsAndEveryHundredthBadFcs)
{
    std::string badFcs = FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5));
    badFcs[5] = '\x41'; // the command byte, after the FCS was worked out
    Start(DEBUG_LOCATE);
    Send("\x7E\x7E");
    for (int i = 0; i < 199; ++i)
        m_bt.QueueRead(badFcs);
    ASSERT_TRUE(WaitUntil([&] { return m_link.BadFcsCount() == 199u; }));
    m_link.StopThreads();

    const std::string text = LocateData();
    EXPECT_NE(text.find("Error Code = 7\n"), std::string::npos);
    EXPECT_NE(text.find("FCS Count = 100\n"), std::string::npos);
    EXPECT_EQ(text.find("FCS Count = 99\n"), std::string::npos);
    EXPECT_EQ(text.find("FCS Count = 199\n"), std::string::npos);
    EXPECT_TRUE(m_bt.Writes().empty());
}

TEST_F(LocatorLinkTest, ShortWriteIsReportedInTheDebugFile)
{
    m_bt.SetWriteLimit(3);
    Start(DEBUG_LOCATE);
    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    m_link.StopThreads();
    EXPECT_NE(LocateData().find("SendToLocator dwWritten = 3\nSendToLocator ACK, nRetCode = 112\n"),
              std::string::npos);
    EXPECT_NE(m_link.PeekLocateRecord(), nullptr); // the record itself was queued
}

TEST_F(LocatorLinkTest, ReadErrorClosesAndReopensThePort)
{
    Start();
    m_owner.Forget();
    m_bt.QueueReadError(EIO);
    ASSERT_TRUE(WaitUntil([&] { return m_bt.OpenCount() == 2; }));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));
    EXPECT_EQ(m_bt.CloseCount(), 1);
    // Not shown as up while it was closed.
    std::vector<Change> seen;
    for (const Change& c : m_owner.Bitmaps())
        if (c.controlId == IDC_BLUETOOTH_ICON || c.controlId == IDC_BLUETOOTH_LAMP)
            seen.push_back(c);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0], (Change{IDC_BLUETOOTH_ICON, IDB_BLUETOOTH_DOWN}));
    EXPECT_EQ(seen[1], (Change{IDC_BLUETOOTH_LAMP, IDB_LAMP_RED}));

    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    ASSERT_EQ(m_bt.Writes().size(), 1u);
    EXPECT_EQ(Unframe(m_bt.Writes()[0]), kShortAck);
}

TEST_F(LocatorLinkTest, GpsReaderReportsARefusedSpeedOncePerStartAndIgnoredTalkers)
{
    m_owner.gpsOptions.nSpeed = 9600; // the fake device is no serial line: it refuses
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_gps.OpenCount() == 1; }));
    m_gps.QueueRead("$GNGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*59\r\n");
    m_gps.QueueReadError(EIO);
    ASSERT_TRUE(WaitUntil([&] { return m_gps.OpenCount() == 2; }));
    m_link.StopThreads();
    ASSERT_EQ(m_link.StartThreads(), LINK_OK);
    ASSERT_TRUE(WaitUntil([&] { return m_gps.OpenCount() == 3; }));
    EXPECT_EQ(m_owner.GpsNotices(), (std::vector<std::string>{"speed 9600: " + std::to_string(ENOTTY), "GNGGA",
                                                              "speed 9600: " + std::to_string(ENOTTY)}));
}

TEST_F(LocatorLinkTest, HalfAFrameBeforeAReopenDoesNotSwallowTheNextFrame)
{
    Start();
    const std::string frame = FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5));
    Send(frame.substr(0, 4));
    m_bt.QueueReadError(EIO);
    ASSERT_TRUE(WaitUntil([&] { return m_bt.OpenCount() == 2; }));
    Send(frame);
    ASSERT_EQ(m_bt.Writes().size(), 1u);
    EXPECT_EQ(Unframe(m_bt.Writes()[0]), kShortAck);
}

TEST_F(LocatorLinkTest, EchoGetsExactlyTheBytesRead)
{
    m_owner.bluetoothTest = true;
    m_owner.gpsTest = true;
    Start();
    const std::string locatorBytes("\x00\x7E\x01\x7E", 4);
    Send(locatorBytes);
    const std::string gpsBytes = "$GPXYZ,1*00\r\n";
    m_gps.QueueRead(gpsBytes);
    ASSERT_TRUE(WaitUntil([&] { return m_owner.RawChunks().size() == 2; }));
    m_link.StopThreads();
    const std::vector<std::string> chunks = m_owner.RawChunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_TRUE((chunks[0] == locatorBytes && chunks[1] == gpsBytes) ||
                (chunks[1] == locatorBytes && chunks[0] == gpsBytes));
}

TEST_F(LocatorLinkTest, GpsPicturesFollowFixQuality)
{
    Start(DEBUG_GPS_DATA);
    m_gps.QueueRead(NmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
    EXPECT_EQ(m_owner.Shown(IDC_GPS_ICON), IDB_GPS_FIX);
    // The window's position marker reads the same GGA.
    GPS_FIX latest;
    ASSERT_TRUE(m_link.LatestGpsFix(latest));
    EXPECT_EQ(latest.nGpsFix, 1u);
    EXPECT_NEAR(latest.dfLatAng, 48.1173, 1e-9);
    EXPECT_EQ(latest.nLongDir, DIR_EAST);
    // Its GST, after it, completes the lamp's record; the next epoch's GGA
    // does not keep it.
    m_gps.QueueRead(NmeaSentence("GPGST,123519,0.5,0.1,0.1,0.0,0.03,0.04,0.08"));
    GPS_QUALITY quality;
    ASSERT_TRUE(WaitUntil([&] { return m_link.LatestGpsFix(latest, &quality) && quality.Has(QUALITY_H_ACCURACY); }));
    EXPECT_NEAR(quality.dfHAccuracy, 0.05, 1e-9);
    m_gps.QueueRead(NmeaSentence("GPGGA,123520,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    ASSERT_TRUE(WaitUntil([&] { return m_link.LatestGpsFix(latest, &quality) && latest.dfUTC == 123520.0; }));
    EXPECT_FALSE(quality.Has(QUALITY_H_ACCURACY));
    m_gps.QueueRead(NmeaSentence("GPGGA,123521,,,,,0,00,,,M,,M,,"));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_RED));
    EXPECT_EQ(m_owner.Shown(IDC_GPS_ICON), IDB_GPS_NO_FIX);
    ASSERT_TRUE(m_link.LatestGpsFix(latest));
    EXPECT_EQ(latest.nGpsFix, 0u);
    m_link.StopThreads();

    int fixShown = 0;
    for (const Change& c : m_owner.Bitmaps())
        fixShown += c == Change{IDC_GPS_ICON, IDB_GPS_FIX};
    EXPECT_EQ(fixShown, 1); // the second good GGA changed nothing
    const std::string text = ReadWholeFile(m_docs.File("GpsData.txt"));
    EXPECT_EQ(text.rfind("GPS Read Thread Started\n\nR=", 0), 0u) << text;
    EXPECT_NE(text.find("\nRC=132\nC=0\nD="), std::string::npos) << text;
}

TEST_F(LocatorLinkTest, LostGpsPortInvalidatesTheFix)
{
    Start();
    m_gps.QueueRead(NmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
    m_gps.SetOpenError(ENOENT); // the receiver is unplugged and stays away
    m_gps.QueueReadError(EIO);
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_RED));
    EXPECT_EQ(m_owner.Shown(IDC_GPS_ICON), IDB_GPS_NO_FIX);

    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    SURVEY_POINT* p = m_link.PeekLocateRecord();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GpsFix.nGpsFix, 0u);
    EXPECT_EQ(p->GpsFix.dfUTC, 140709.0); // the handheld's clock
}

TEST_F(LocatorLinkTest, LostGpsPortRetiresTheFixBeforeTheCloseWait)
{
    // A close wait far longer than the bound below: what the loss changes must
    // not wait for it, or every point measured meanwhile gets the old fix.
    m_link.SetPortCloseWait(5s);
    Start();
    m_gps.QueueRead(NmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
    m_gps.QueueReadError(EIO);
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_RED, 3s));
    EXPECT_EQ(m_owner.Shown(IDC_GPS_ICON), IDB_GPS_NO_FIX);
    EXPECT_EQ(m_gps.OpenCount(), 1); // still in the close wait

    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    SURVEY_POINT* p = m_link.PeekLocateRecord();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GpsFix.nGpsFix, 0u);
}

TEST_F(LocatorLinkTest, FixFromBeforeAStopIsNotUsedAfterTheRestart)
{
    Start();
    m_gps.QueueRead(NmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
    m_link.StopThreads();
    ASSERT_EQ(m_link.StartThreads(), LINK_OK);
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN));

    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    SURVEY_POINT* p = m_link.PeekLocateRecord();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GpsFix.nGpsFix, 0u);
    m_link.PopLocateRecord();

    // The receiver's next GGA counts again.
    m_gps.QueueRead(NmeaSentence("GPGGA,123520,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    ASSERT_TRUE(m_owner.WaitForBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN));
    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    p = m_link.PeekLocateRecord();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GpsFix.nGpsFix, 1u);
}

TEST_F(LocatorLinkTest, WorkerThatOutlivesStopIsNotDuplicatedAndOutlivesNothing)
{
    // A port close longer than StopThreads waits; the GPS port never opens.
    m_link.SetPortCloseWait(3500ms);
    m_gps.SetOpenError(ENOENT);
    Start();
    m_link.StopThreads();
    EXPECT_TRUE(m_link.HasBluetoothThread());
    EXPECT_FALSE(m_link.HasGpsThread());

    EXPECT_EQ(m_link.StartThreads(), LINK_OK);
    EXPECT_TRUE(m_link.HasGpsThread());
    // Shutdown frees the port only after the remembered worker has closed it.
    m_link.Shutdown();
    EXPECT_FALSE(m_link.HasBluetoothThread());
    EXPECT_FALSE(m_link.HasGpsThread());
    EXPECT_EQ(m_bt.OpenCount(), 1);
    EXPECT_EQ(m_bt.CloseCount(), 1);
}

TEST_F(LocatorLinkTest, MissingDocumentsFolderTurnsLocateDebuggingOff)
{
    SetDocumentsFolder(m_docs.File("missing"));
    Start(DEBUG_LOCATE | DEBUG_GPS_DATA);
    Send(FrameBytes(std::string("\xFF\x03\x00\x21\x01", 5)));
    m_link.StopThreads();
    EXPECT_EQ(m_bt.Writes().size(), 1u);
    EXPECT_FALSE(FileExists(m_docs.File("missing")));
}

TEST_F(LocatorLinkTest, EveryHundredthFailedOpenIsReported)
{
    m_bt.SetOpenError(ENOENT);
    m_gps.SetOpenError(ENOENT);
    m_owner.debugLevel = DEBUG_LOCATE | DEBUG_GPS_DATA;
    m_owner.bluetoothPort = 4;
    m_owner.gpsPort = 9;
    // Retries a millisecond apart: the link's own are seconds apart.
    m_link.SetReaderWaits(std::chrono::milliseconds(1), std::chrono::seconds(1));
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    ASSERT_EQ(m_link.StartThreads(), LINK_OK);
    ASSERT_TRUE(WaitUntil([&] { return LocateData().find("retry") != std::string::npos; }, 60s));
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadWholeFile(m_docs.File("GpsData.txt")).find("retry") != std::string::npos; }, 60s));
    m_link.StopThreads();
    const std::string locate = LocateData();
    EXPECT_NE(locate.find("COM4 Port NOT Open, retry = 100\n"), std::string::npos);
    EXPECT_EQ(locate.find("retry = 99\n"), std::string::npos);
    EXPECT_NE(ReadWholeFile(m_docs.File("GpsData.txt")).find("Com9 Port NOT Open, retry= 100\n"),
              std::string::npos);
}

} // namespace
