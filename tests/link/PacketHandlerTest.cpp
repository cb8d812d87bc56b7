// The locator's measurement packets and the replies they get, driven without the
// reader threads: frames go into the link's assembler, replies come out of a
// fake Bluetooth device. Packets and replies are built here from the wire
// tables, byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/LocatorLink.h"
#include "platform/Clock.h"
#include "platform/Folders.h"
#include "support/FakeSerialDevice.h"
#include "support/LocatorPackets.h"
#include "support/NmeaStream.h"
#include "support/RecordingOwner.h"
#include "support/ScratchDir.h"

namespace {

const LOCAL_TIME kClock{2024, 3, 5, 14, 7, 9}; // the handheld's clock in these tests
constexpr double kClockUtc = 140709.0;

const std::string kGgaSouthWest = NmeaSentence("GPGGA,123519,4807.038,S,01131.000,W,1,08,0.9,545.4,M,46.9,M,,");
const std::string kGgaNorthEast = NmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
const std::string kZda = NmeaSentence("GPZDA,201530.00,04,07,2002,00,00");

std::string Payload(std::initializer_list<int> bytes)
{
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

// A command-1/2 packet with the given protocol id in its additional data.
LocatorPacket Measurement(uint8_t command, uint32_t protocolId, int32_t gpsMode)
{
    AdditionalFields f;
    f.protocolId = protocolId;
    f.battery = 3; // keeps the word non-zero for protocol 0
    LocatorPacket p;
    p.U8(4, command).U32(24, AdditionalData(f)).I32(52, gpsMode);
    return p.SealChecksum();
}

class PacketHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDocumentsFolder(m_docs.Path());
        SetLocalTimeForTest(&kClock);
        m_link.SetDeviceFactory([this](bool bluetooth) { return bluetooth ? m_bt.MakeDevice() : m_gps.MakeDevice(); });
        m_link.SetPortCloseWait(std::chrono::milliseconds(1));
        ASSERT_EQ(m_link.Initialise(), LINK_OK);
        m_link.GetBluetoothPort()->OpenPort(m_owner.bluetoothPort);
        ASSERT_TRUE(m_link.GetBluetoothPort()->IsPortOpen());
    }
    void TearDown() override
    {
        m_link.Shutdown();
        SetLocalTimeForTest(nullptr);
        SetDocumentsFolder("");
    }

    void Feed(const std::string& bytes)
    {
        m_link.AssembleFrames(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    }
    void FeedGps(const std::string& sentences) { DecodeAll(*m_link.GetGpsDecoder(), sentences); }
    std::vector<std::string> Replies() const { return m_bt.Writes(); }
    // Takes the oldest queued record out (a copy), or returns false.
    bool PopRecord(SURVEY_POINT* out)
    {
        SURVEY_POINT* p = m_link.PeekLocateRecord();
        if (p == nullptr)
            return false;
        *out = *p;
        m_link.PopLocateRecord();
        return true;
    }

    ScratchDir m_docs;
    FakeSerialDevice m_bt;
    FakeSerialDevice m_gps;
    RecordingOwner m_owner;
    CLocatorLink m_link{m_owner};
};

// --- replies ---------------------------------------------------------------

struct ReplyCase {
    const char* name;
    LocatorPacket packet;
    std::string reply;  // expected payload; "" = nothing written
    bool queued;
};

std::string ZeroBlockAck(uint8_t command)
{
    return Payload({0xFF, 0x03, 0x00, 0x21, command, 0x02, 0x40, 0x00}) + std::string(64, '\0');
}

std::vector<ReplyCase> ReplyCases()
{
    std::vector<ReplyCase> cases;
    cases.push_back({"FiveBytesShortAck", LocatorPacket(5).U8(4, 1), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}),
                     true});
    cases.push_back({"Protocol1ShortAck", Measurement(1, 1, 0), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}), true});
    cases.push_back({"Protocol2Mode2ShortAck", Measurement(1, 2, 2), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}),
                     true});
    cases.push_back({"Protocol2Mode0ShortAck", Measurement(1, 2, 0), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}),
                     true});
    cases.push_back({"Protocol3Mode5ShortNak", Measurement(1, 3, 5), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x03}),
                     false});
    cases.push_back({"Protocol2ModeMinus1ShortNak", Measurement(1, 2, -1),
                     Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x03}), false});
    cases.push_back({"Command2Protocol2Mode1ZeroBlock", Measurement(2, 2, 1), ZeroBlockAck(2), true});
    cases.push_back({"Command2Protocol0ShortAck", Measurement(2, 0, 1), Payload({0xFF, 0x03, 0x00, 0x21, 0x02, 0x02}),
                     true});
    cases.push_back({"Command3Nothing", LocatorPacket().U8(4, 3), "", false});
    cases.push_back({"Command0Nothing", LocatorPacket().U8(4, 0), "", false});
    for (uint32_t protocol = 4; protocol <= 7; ++protocol) {
        cases.push_back({"Command1HighProtocolNothing", Measurement(1, protocol, 1), "", false});
        // Queued, but the ACK for a protocol the reply format has no room for is refused.
        cases.push_back({"Command2HighProtocolQueuedSilently", Measurement(2, protocol, 1), "", true});
    }
    return cases;
}

TEST_F(PacketHandlerTest, RepliesAndQueueingFollowCommandProtocolAndGpsMode)
{
    for (const ReplyCase& c : ReplyCases()) {
        SCOPED_TRACE(c.name);
        const size_t before = Replies().size();
        const uint32_t number = m_link.NextPacketNumber();
        Feed(c.packet.Frame());

        const std::vector<std::string> replies = Replies();
        if (c.reply.empty()) {
            EXPECT_EQ(replies.size(), before);
        } else {
            ASSERT_EQ(replies.size(), before + 1);
            EXPECT_EQ(replies.back(), FrameBytes(c.reply));
        }
        SURVEY_POINT rec;
        EXPECT_EQ(PopRecord(&rec), c.queued);
        if (c.queued) {
            EXPECT_EQ(rec.u32AppIdentifier, number);
        }
        EXPECT_EQ(m_link.NextPacketNumber(), c.queued ? number + 1 : number);
    }
}

TEST_F(PacketHandlerTest, FiveBytePacketIsAnAckedRecordWithoutBitFields)
{
    // The whole frame, FCS included, written out from the format: the locator's
    // shortest packet FF 03 00 21 01 and the short ACK FF 03 00 21 01 02.
    Feed(FrameBytes(Payload({0xFF, 0x03, 0x00, 0x21, 0x01})));
    ASSERT_EQ(Replies().size(), 1u);
    EXPECT_EQ(Unframe(Replies()[0]), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}));

    SURVEY_POINT rec;
    ASSERT_TRUE(PopRecord(&rec));
    SURVEY_POINT expected;
    expected.u32AppIdentifier = 1;
    expected.nGpsMode = -1;
    expected.nLocatorMode = 0;
    LOCATE_DATA& ld = expected.LocateData;
    ld.fFrequency = -1.0f;
    ld.nCompass = ld.nArrows = ld.nAntennaMode = ld.nAccessoryType = -1;
    ld.nSondeLine = ld.nBattery = ld.nVolume = ld.nOverload = -1;
    // No fix and no ZDA on the handheld: both times from its clock.
    expected.GpsFix.dfUTC = kClockUtc;
    expected.ZdaData.dfUTC = kClockUtc;
    expected.ZdaData.nHour = 14;
    expected.ZdaData.nMinute = 7;
    expected.ZdaData.nSecond = 9;
    expected.ZdaData.nDay = 5;
    expected.ZdaData.nMonth = 3;
    expected.ZdaData.nYear = 2024;
    // Asked of the receiver, which had none: "no fix", and nothing else.
    expected.Quality.u32Present = QUALITY_FIX_TYPE;
    expected.Quality.nFixType = FIX_NONE;
    expected.Quality.nSource = SOURCE_RECEIVER;
    EXPECT_EQ(rec, expected);
}

TEST_F(PacketHandlerTest, LocatorGpsPacketFillsEveryField)
{
    AdditionalFields f{2, 359, 5, 3, 9, 1, 6, 2, 1};
    LocatorPacket p;
    p.U8(4, 1)
        .U32(8, 0x01020304)
        .I32(12, 1)
        .F32(16, 8440.0f)
        .U32(20, 0xABCD)
        .U32(24, AdditionalData(f))
        .F32(28, 1.25f)
        .F32(32, 60.5f)
        .F32(36, 0.5f)
        .F32(40, -12.5f)
        .F32(44, 0.75f)
        .F32(48, 33.0f)
        .I32(52, 0)
        .I32(56, 4)
        .F32(60, 0.8f)
        .F32(64, 12.0f)
        .F32(68, 6.0f)
        .U32(72, (5u << 24) | (3u << 16) | 2024u)
        .U32(76, 14u | (7u << 8) | (9u << 16))
        .I32(80, 1);
    // GPS block at 84.
    p.U32(84, (6u << 24) | (3u << 16) | 2024u)
        .F32(88, 123519.0f)
        .F32(92, 1.5f)
        .F32(96, 12.25f)
        .F32(100, 46.5f)
        .I32(104, 3)
        .I32(108, 17)
        .I32(112, 1)
        .I32(116, 2)
        .I32(120, 9)
        .I32(124, 1)
        .F64(128, -33.5)
        .F64(136, 151.25)
        .I32(144, 1);
    p.SealChecksum();
    Feed(p.Frame());

    SURVEY_POINT expected;
    expected.nLocatorMode = 51;
    expected.u32AppIdentifier = 1;
    LOCATE_DATA& ld = expected.LocateData;
    ld.nLogMode = 1;
    ld.fFrequency = 8440.0f;
    ld.u32LogId = 0xABCD;
    ld.u32EepromFileIndex = 0x01020304;
    ld.fDepth = 125.0f;
    ld.fSignal = 60.5f;
    ld.fCurrent = 500.0f;
    ld.fPhase = -12.5f;
    ld.fStrength = 0.75f;
    ld.fGain = 33.0f;
    ld.nCompass = 359;
    ld.nArrows = 5;
    ld.nAntennaMode = 3;
    ld.nAccessoryType = 9;
    ld.nSondeLine = 1;
    ld.nBattery = 6;
    ld.nVolume = 2;
    ld.nProtocolId = 2;
    ld.nOverload = 1;
    expected.nGpsMode = 0;
    expected.nMarkerType = 4;
    expected.fMarkerDepth = 0.8f;
    expected.fMarkerSignal = 12.0f;
    expected.fMarkerGain = 6.0f;
    expected.RtcDate.u32Word = (5u << 24) | (3u << 16) | 2024u;
    expected.RtcTime.u32Word = 14u | (7u << 8) | (9u << 16);
    expected.nRtcUpdated = 1;
    GPS_FIX& fix = expected.GpsFix;
    fix.dfUTC = 123519.0;
    fix.dfLatAng = 33.5;
    fix.nLatDir = DIR_SOUTH;
    fix.dfLongAng = 151.25;
    fix.nLongDir = DIR_EAST;
    fix.nGpsFix = 2;
    fix.nNoSats = 9;
    fix.dfHorizDil = 1.5;
    fix.dfAltVal = 12.25;
    fix.nAltUnits = 1;
    fix.dfGeoidVal = 46.5;
    fix.nGeoidUnits = 1;
    fix.nDgpsTime = 3;
    fix.nDgpsId = 17;
    fix.nTimeInd = 1;
    expected.ZdaData.nDay = 6;
    expected.ZdaData.nMonth = 3;
    expected.ZdaData.nYear = 2024;
    // The block has no accuracy or DOPs: a DGPS fix with its age and station.
    expected.Quality.u32Present = QUALITY_FIX_TYPE | QUALITY_CORRECTION_AGE | QUALITY_STATION;
    expected.Quality.nFixType = FIX_DGPS;
    expected.Quality.dfCorrectionAge = 3.0;
    expected.Quality.u32Station = 17;
    expected.Quality.nSource = SOURCE_LOCATOR;

    SURVEY_POINT rec;
    ASSERT_TRUE(PopRecord(&rec));
    EXPECT_EQ(rec.LocateData, expected.LocateData);
    EXPECT_EQ(rec.GpsFix, expected.GpsFix);
    EXPECT_EQ(rec.ZdaData, expected.ZdaData);
    EXPECT_EQ(rec, expected);
    ASSERT_EQ(Replies().size(), 1u);
    EXPECT_EQ(Unframe(Replies()[0]), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}));
}

TEST_F(PacketHandlerTest, LongAckCarriesTheHandheldFixSigned)
{
    struct Case {
        const char* name;
        std::string gga;
        double latSign, longSign;
    } cases[] = {{"SouthWest", kGgaSouthWest, -1.0, -1.0}, {"NorthEast", kGgaNorthEast, 1.0, 1.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FeedGps(c.gga + kZda);
        GPS_FIX fix;
        ASSERT_EQ(m_link.GetGpsDecoder()->CopyGgaData(&fix), 0);
        ASSERT_EQ(fix.nGpsFix, 1u);
        ASSERT_NEAR(fix.dfLatAng, 48.1173, 1e-9);
        ASSERT_NEAR(fix.dfLongAng, 11.516666666666667, 1e-9);

        const size_t before = Replies().size();
        Feed(Measurement(1, 2, 1).Frame());
        ASSERT_EQ(Replies().size(), before + 1);

        LocatorPacket block(72);
        block.U8(4, 1).U8(5, 2).U8(6, 64).U8(7, 0);
        block.U32(8 + 0, (4u << 24) | (7u << 16) | 2002u)
            .F32(8 + 4, static_cast<float>(fix.dfUTC))
            .F32(8 + 8, 0.9f)
            .F32(8 + 12, 545.4f)
            .F32(8 + 16, 46.9f)
            .U32(8 + 20, 0)
            .U32(8 + 24, 0)
            .I32(8 + 28, 1)
            .I32(8 + 32, 1)
            .I32(8 + 36, 8)
            .I32(8 + 40, 1)
            .F64(8 + 44, c.latSign * fix.dfLatAng)
            .F64(8 + 52, c.longSign * fix.dfLongAng)
            .I32(8 + 60, 1);
        EXPECT_EQ(Replies().back(), FrameBytes(block.Bytes()));

        SURVEY_POINT rec;
        ASSERT_TRUE(PopRecord(&rec));
        GPS_FIX expectedFix = fix;
        expectedFix.nTimeInd = 1; // the ZDA date came from the GPS
        EXPECT_EQ(rec.GpsFix, expectedFix);
        ZDA_DATA zda;
        ASSERT_EQ(m_link.GetGpsDecoder()->CopyZdaData(&zda), 0);
        EXPECT_EQ(rec.ZdaData, zda);
        EXPECT_EQ(rec.nRtcUpdated, 0);
        EXPECT_EQ(rec.Quality.u32Present, QUALITY_FIX_TYPE);
        EXPECT_EQ(rec.Quality.nFixType, FIX_AUTONOMOUS);
        EXPECT_EQ(rec.Quality.nSource, SOURCE_RECEIVER);
    }
}

TEST_F(PacketHandlerTest, NoHandheldFixTakesTheClockAndSendsOnlyTimeFields)
{
    Feed(Measurement(1, 2, 1).Frame());
    ASSERT_EQ(Replies().size(), 1u);
    LocatorPacket block(72);
    block.U8(4, 1).U8(5, 2).U8(6, 64);
    block.U32(8, (5u << 24) | (3u << 16) | 2024u).F32(12, 140709.0f).I32(8 + 60, 0);
    EXPECT_EQ(Replies()[0], FrameBytes(block.Bytes()));

    SURVEY_POINT rec;
    ASSERT_TRUE(PopRecord(&rec));
    GPS_FIX fix;
    fix.dfUTC = kClockUtc;
    EXPECT_EQ(rec.GpsFix, fix);
    ZDA_DATA zda;
    zda.dfUTC = kClockUtc;
    zda.nHour = 14;
    zda.nMinute = 7;
    zda.nSecond = 9;
    zda.nDay = 5;
    zda.nMonth = 3;
    zda.nYear = 2024;
    EXPECT_EQ(rec.ZdaData, zda);
}

TEST_F(PacketHandlerTest, FixWithoutZdaTakesTheDateFromTheClockAndKeepsTheFixTime)
{
    FeedGps(kGgaNorthEast);
    Feed(Measurement(1, 1, 0).Frame());
    SURVEY_POINT rec;
    ASSERT_TRUE(PopRecord(&rec));
    EXPECT_EQ(rec.GpsFix.nGpsFix, 1u);
    EXPECT_EQ(rec.GpsFix.dfUTC, 123519.0);
    EXPECT_EQ(rec.GpsFix.nTimeInd, 0u);
    EXPECT_EQ(rec.ZdaData.nYear, 2024);
    EXPECT_EQ(rec.ZdaData.nTimeInd, 0);
}

TEST_F(PacketHandlerTest, DepthAndCurrentScaleOnlyForProtocols2And3)
{
    struct Case {
        uint32_t protocol;
        float depth, current;
    } cases[] = {{0, 1.25f, 0.5f}, {1, 1.25f, 0.5f}, {2, 125.0f, 500.0f}, {3, 125.0f, 500.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol);
        LocatorPacket p = Measurement(1, c.protocol, 2);
        p.F32(28, 1.25f).F32(36, 0.5f).SealChecksum();
        Feed(p.Frame());
        SURVEY_POINT rec;
        ASSERT_TRUE(PopRecord(&rec));
        EXPECT_EQ(rec.LocateData.fDepth, c.depth);
        EXPECT_EQ(rec.LocateData.fCurrent, c.current);
        // Protocols 0 and 1 carry no GPS mode, marker or locator clock.
        EXPECT_EQ(rec.nGpsMode, c.protocol >= 2 ? 2 : -1);
    }
}

TEST_F(PacketHandlerTest, BitFieldsUnpackAtTheirPositions)
{
    const AdditionalFields cases[] = {
        {1, 511, 15, 15, 15, 1, 7, 3, 1},
        {3, 0, 0, 0, 0, 0, 0, 0, 0},
        {0, 270, 9, 4, 2, 0, 5, 1, 0},
    };
    for (const AdditionalFields& f : cases) {
        LocatorPacket p;
        p.U8(4, 2).U32(24, AdditionalData(f)).SealChecksum();
        Feed(p.Frame());
        SURVEY_POINT rec;
        ASSERT_TRUE(PopRecord(&rec));
        const LOCATE_DATA& ld = rec.LocateData;
        EXPECT_EQ(ld.nProtocolId, static_cast<int32_t>(f.protocolId));
        EXPECT_EQ(ld.nCompass, static_cast<int32_t>(f.compass));
        EXPECT_EQ(ld.nArrows, static_cast<int32_t>(f.arrows));
        EXPECT_EQ(ld.nAntennaMode, static_cast<int32_t>(f.antennaMode));
        EXPECT_EQ(ld.nAccessoryType, static_cast<int32_t>(f.accessoryType));
        EXPECT_EQ(ld.nSondeLine, static_cast<int32_t>(f.sondeLine));
        EXPECT_EQ(ld.nBattery, static_cast<int32_t>(f.battery));
        EXPECT_EQ(ld.nVolume, static_cast<int32_t>(f.volume));
        EXPECT_EQ(ld.nOverload, static_cast<int32_t>(f.overload));
    }
}

TEST_F(PacketHandlerTest, ShortPacketReadsZeroPastItsEndNotItsFcs)
{
    // Ten bytes: the EEPROM file index has only its two low bytes in the packet.
    Feed(FrameBytes(Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x00, 0x00, 0x00, 0xAA, 0xBB})));
    SURVEY_POINT rec;
    ASSERT_TRUE(PopRecord(&rec));
    EXPECT_EQ(rec.LocateData.u32EepromFileIndex, 0xBBAAu);
    EXPECT_EQ(rec.LocateData.nLogMode, 0);
}

TEST_F(PacketHandlerTest, UnqueuedRecordIsNakedAndKeepsItsPacketNumber)
{
    // The consumer side holds the queue for longer than the producer waits.
    CSemaphore* queueLock = m_link.GetLocateSemaphore();
    ASSERT_EQ(queueLock->Wait(0), SemWait::Obtained);
    Feed(Measurement(1, 2, 1).Frame());
    ASSERT_TRUE(queueLock->Release());

    ASSERT_EQ(Replies().size(), 1u);
    EXPECT_EQ(Unframe(Replies()[0]), Payload({0xFF, 0x03, 0x00, 0x21, 0x01, 0x03}));
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);
    EXPECT_EQ(m_link.NextPacketNumber(), 1u);

    Feed(Measurement(1, 2, 2).Frame());
    SURVEY_POINT rec;
    ASSERT_TRUE(PopRecord(&rec));
    EXPECT_EQ(rec.u32AppIdentifier, 1u);
}

TEST_F(PacketHandlerTest, BadEepromChecksumChangesOnlyTheDebugFile)
{
    LocatorPacket good = Measurement(1, 2, 2);
    good.F32(28, 2.0f).U32(8, 77).SealChecksum();
    LocatorPacket bad = good;
    bad.U32(148, good.GetU32(148) + 1);

    Feed(good.Frame());
    Feed(bad.Frame());
    SURVEY_POINT first, second;
    ASSERT_TRUE(PopRecord(&first));
    ASSERT_TRUE(PopRecord(&second));
    second.u32AppIdentifier = first.u32AppIdentifier;
    EXPECT_EQ(first, second);
    ASSERT_EQ(Replies().size(), 2u);
    EXPECT_EQ(Replies()[0], Replies()[1]);
}

TEST(LocatorModeIndexTest, MapsLogModeAndFrequency)
{
    struct Case {
        int32_t logMode;
        float frequency;
        int32_t index;
    } cases[] = {
        {1, 439.9f, 21}, {1, 440.0f, 21}, {1, 8440.0f, 51}, {1, 8441.0f, 0},  {1, 98.0f, 6},
        {1, 128.5f, 6},  {1, 83077.0f, 57}, {1, 200000.0f, 59}, {1, -1.0f, 0}, {1, 0.0f, 0},
        {2, 0.0f, 2},    {3, 0.0f, 1},    {4, 0.0f, 7},   {5, 0.0f, 8},     {8, 0.0f, 3},
        {9, 0.0f, 5},    {10, 0.0f, 4},   {11, 0.0f, 6},  {14, 0.0f, 60},   {15, 0.0f, 61},
        {17, 0.0f, 72},  {6, 219.0f, 12}, {6, 220.7f, 12}, {6, 460.0f, 23},  {6, 4096.0f, 49},
        {6, 440.0f, 0},  {13, 680.0f, 34}, {13, 1248.0f, 46}, {13, 920.0f, 40}, {16, 50.0f, 62},
        {16, 540.0f, 71}, {16, 60.9f, 63}, {16, 55.0f, 0}, {0, 8440.0f, 0},  {7, 0.0f, 0},
        {12, 0.0f, 0},   {18, 0.0f, 0},   {-1, 8440.0f, 0}, {2, -1.0f, 2},  {1, 5e9f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.logMode << " " << c.frequency);
        EXPECT_EQ(CLocatorLink::LocatorModeIndex(c.logMode, c.frequency), c.index);
    }
}

} // namespace
