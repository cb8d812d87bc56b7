// The locator's measurement packets and the replies to them. Runs on the
// Bluetooth reader thread, inside AssembleFrames.
//
// Packet (frame contents before the two FCS bytes), little-endian throughout:
//   0 address, 1 control, 2-3 protocol (not examined), 4 command (1 or 2),
//   8 EEPROM file index, 12 log mode, 16 frequency, 20 log id, 24 additional data
//   (bit fields), 28 depth, 32 signal, 36 current, 40 phase, 44 strength, 48 gain;
//   protocol ids 2 and 3 only: 52 GPS mode, 56 marker type, 60 marker depth,
//   64 marker signal, 68 marker gain, 72 RTC date, 76 RTC time, 80 RTC updated,
//   84-147 the locator's GPS block, 148 EEPROM checksum over the words at 8-147.
// Reply: FF 03 00 21 <command> <2 ACK | 3 NAK>, and for the long form a 16-bit
// data length (64) and the handheld's GPS block.
#include "link/LocatorLink.h"

#include <bit>
#include <cstring>
#include <new>

#include "platform/Clock.h"

namespace {

constexpr uint32_t kPacketSize = 152;

// GPS block offsets (packet bytes 84-147, and the data of a long ACK).
constexpr uint32_t kGpsBlock = 84;
enum : uint32_t {
    GB_DATE = 0,
    GB_UTC = 4,
    GB_HDOP = 8,
    GB_ALTITUDE = 12,
    GB_GEOID = 16,
    GB_DGPS_AGE = 20,
    GB_DGPS_ID = 24,
    GB_GEOID_UNITS = 28,
    GB_FIX = 32,
    GB_SATS = 36,
    GB_ALT_UNITS = 40,
    GB_LATITUDE = 44,
    GB_LONGITUDE = 52,
    GB_TIME_IND = 60,
};

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }
float GetF32(const uint8_t* p) { return std::bit_cast<float>(GetU32(p)); }
double GetF64(const uint8_t* p)
{
    return std::bit_cast<double>(static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32));
}

void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
void PutF32(uint8_t* p, float v) { PutU32(p, std::bit_cast<uint32_t>(v)); }
void PutF64(uint8_t* p, double v)
{
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    PutU32(p, static_cast<uint32_t>(bits));
    PutU32(p + 4, static_cast<uint32_t>(bits >> 32));
}

bool CarriesLocatorFields(int32_t protocolId) { return protocolId == 2 || protocolId == 3; }

double ClockUtc(const LOCAL_TIME& now)
{
    return static_cast<double>(now.nHour * 10000 + now.nMinute * 100 + now.nSecond);
}

struct FrequencyIndex {
    uint32_t hertz;
    int32_t index;
};

template <size_t N>
int32_t ByFrequency(const FrequencyIndex (&table)[N], uint32_t hertz)
{
    for (const FrequencyIndex& entry : table)
        if (entry.hertz == hertz)
            return entry.index;
    return 0;
}

constexpr FrequencyIndex kPowerFrequencies[] = {
    {98, 6},     {128, 6},     {163, 9},     {208, 10},    {273, 14},    {340, 18},    {400, 20},
    {439, 21},   {440, 21},    {460, 22},    {480, 24},    {484, 25},    {491, 26},    {512, 27},
    {560, 28},   {570, 29},    {577, 30},    {584, 31},    {624, 32},    {640, 33},    {760, 35},
    {815, 37},   {870, 38},    {920, 39},    {940, 41},    {982, 43},    {1090, 44},   {1450, 47},
    {4096, 48},  {8192, 50},   {8440, 51},   {9820, 52},   {32768, 53},  {65536, 54},  {82000, 55},
    {83000, 56}, {83077, 57},  {131072, 58}, {200000, 59},
};
constexpr FrequencyIndex kMode6Frequencies[] = {
    {219, 12}, {220, 12}, {256, 13}, {280, 15}, {285, 16}, {320, 17}, {380, 19}, {460, 23}, {4096, 49},
};
constexpr FrequencyIndex kMode13Frequencies[] = {
    {680, 34}, {800, 36}, {920, 40}, {968, 42}, {1168, 45}, {1248, 46},
};
constexpr FrequencyIndex kMode16Frequencies[] = {
    {50, 62}, {60, 63}, {150, 64}, {180, 65}, {250, 66}, {300, 67}, {350, 68}, {420, 69}, {450, 70}, {540, 71},
};

} // namespace

int32_t CLocatorLink::LocatorModeIndex(int32_t nLogMode, float fFrequency)
{
    // Truncation to whole hertz; a negative frequency (the -1.0 of a packet without
    // additional data), NaN or one beyond 32 bits matches no table entry.
    const bool inRange = fFrequency >= 0.0f && fFrequency < 4294967296.0f;
    const uint32_t hertz = inRange ? static_cast<uint32_t>(fFrequency) : 0;
    auto byFrequency = [&](const auto& table) { return inRange ? ByFrequency(table, hertz) : 0; };

    switch (nLogMode) {
    case 1: return byFrequency(kPowerFrequencies);
    case 2: return 2;
    case 3: return 1;
    case 4: return 7;
    case 5: return 8;
    case 6: return byFrequency(kMode6Frequencies);
    case 8: return 3;
    case 9: return 5;
    case 10: return 4;
    case 11: return 6;
    case 13: return byFrequency(kMode13Frequencies);
    case 14: return 60;
    case 15: return 61;
    case 16: return byFrequency(kMode16Frequencies);
    case 17: return 72;
    default: return 0;
    }
}

int CLocatorLink::ProcessPacket()
{
    uint8_t data[kGpsBlockSize] = {};
    const uint32_t n = m_pCodec->RxLength();
    m_locateDebug.Printf("Received Packet Length = %u\n", n);
    if (n < 5)
        return 0;

    // Fields past the end of a short packet read as 0. The receive buffer would
    // give the packet's own FCS bytes there, which are no measurement.
    uint8_t packet[kPacketSize] = {};
    const uint32_t contents = n - 2;
    std::memcpy(packet, m_pCodec->RxBuffer(), contents < kPacketSize ? contents : kPacketSize);

    const uint8_t u8Command = packet[4];
    m_locateDebug.Printf("u8Command = %d\n", u8Command);
    if (u8Command != 1 && u8Command != 2) {
        // Protocol id -1: refused by SendToLocator, so the locator hears nothing.
        const int nRetCode = SendToLocator(u8Command, REPLY_NAK, data, -1, -1);
        m_locateDebug.Printf("SendToLocator NAK, nRetCode = %u\n", static_cast<unsigned>(nRetCode));
        m_locateDebug.Printf("BAD DATA\n");
        return nRetCode;
    }

    m_pCurrentRecord.reset(new (std::nothrow) SURVEY_POINT());
    if (!m_pCurrentRecord)
        return LINK_ERR_NO_RECORD;
    SURVEY_POINT& rec = *m_pCurrentRecord;
    LOCATE_DATA& ld = rec.LocateData;

    rec.nGpsMode = -1;
    rec.u32AppIdentifier = m_u32NextPacket.load();
    ld.u32EepromFileIndex = GetU32(packet + 8);
    ld.nLogMode = GetI32(packet + 12);
    ld.fFrequency = GetF32(packet + 16);
    ld.u32LogId = GetU32(packet + 20);
    const uint32_t u32AdditionalData = GetU32(packet + 24);
    ld.fDepth = GetF32(packet + 28);
    ld.fSignal = GetF32(packet + 32);
    ld.fCurrent = GetF32(packet + 36);
    ld.fPhase = GetF32(packet + 40);
    ld.fStrength = GetF32(packet + 44);
    ld.fGain = GetF32(packet + 48);

    if (u32AdditionalData != 0) {
        ld.nProtocolId = static_cast<int32_t>((u32AdditionalData >> 29) & 0x7u);
        ld.nCompass = static_cast<int32_t>((u32AdditionalData >> 20) & 0x1FFu);
        ld.nArrows = static_cast<int32_t>((u32AdditionalData >> 16) & 0xFu);
        ld.nAntennaMode = static_cast<int32_t>((u32AdditionalData >> 12) & 0xFu);
        ld.nAccessoryType = static_cast<int32_t>((u32AdditionalData >> 8) & 0xFu);
        ld.nSondeLine = static_cast<int32_t>((u32AdditionalData >> 7) & 0x1u);
        ld.nBattery = static_cast<int32_t>((u32AdditionalData >> 4) & 0x7u);
        ld.nVolume = static_cast<int32_t>((u32AdditionalData >> 2) & 0x3u);
        ld.nOverload = static_cast<int32_t>((u32AdditionalData >> 1) & 0x1u);
    } else {
        // An early locator without the bit fields: no frequency it can vouch for.
        ld.nProtocolId = 0;
        ld.fFrequency = -1.0f;
        ld.nCompass = ld.nArrows = ld.nAntennaMode = ld.nAccessoryType = -1;
        ld.nSondeLine = ld.nBattery = ld.nVolume = ld.nOverload = -1;
    }
    rec.nLocatorMode = LocatorModeIndex(ld.nLogMode, ld.fFrequency);

    m_locateDebug.Printf("App. Identifier       = %u\n", rec.u32AppIdentifier);
    m_locateDebug.Printf("Eeprom File Index     = %u\n", ld.u32EepromFileIndex);
    m_locateDebug.Printf("Log Mode              = %d\n", ld.nLogMode);
    m_locateDebug.Printf("Log Id (alphanumeric) = 0x%X\n", ld.u32LogId);
    m_locateDebug.Printf("Locate Depth (meters) = %f\n", static_cast<double>(ld.fDepth));
    m_locateDebug.Printf("FF Signal (dBuV)      = %f\n", static_cast<double>(ld.fSignal));
    m_locateDebug.Printf("Locate Current(Amps)  = %f\n", static_cast<double>(ld.fCurrent));
    m_locateDebug.Printf("Phase (degrees)       = %f\n", static_cast<double>(ld.fPhase));
    m_locateDebug.Printf("Strength (0 to 1.0)   = %f\n", static_cast<double>(ld.fStrength));
    m_locateDebug.Printf("Gain (dB)             = %f\n", static_cast<double>(ld.fGain));
    m_locateDebug.Printf("Frequency (Hz)        = %f\n", static_cast<double>(ld.fFrequency));
    m_locateDebug.Printf("Additional Data       = 0x%X\n", u32AdditionalData);
    m_locateDebug.Printf("Protocol ID           = %d\n", ld.nProtocolId);
    m_locateDebug.Printf("Compass (degrees)     = %u\n", static_cast<unsigned>(ld.nCompass));
    m_locateDebug.Printf("Arrows                = %d\n", ld.nArrows);
    m_locateDebug.Printf("Antenna Mode          = %d\n", ld.nAntennaMode);
    m_locateDebug.Printf("Accessory Type        = %d\n", ld.nAccessoryType);
    m_locateDebug.Printf("Sonde/Line Depth      = %d\n", ld.nSondeLine);
    m_locateDebug.Printf("Battery Level         = %d\n", ld.nBattery);
    m_locateDebug.Printf("Volume Level          = %d\n", ld.nVolume);
    m_locateDebug.Printf("Overload              = %d\n", ld.nOverload);

    const int32_t nProtocolId = ld.nProtocolId;
    if (CarriesLocatorFields(nProtocolId)) {
        uint32_t sum = 0;
        for (uint32_t offset = 8; offset < 148; offset += 4)
            sum += GetU32(packet + offset);
        const uint32_t received = GetU32(packet + 148);
        // A mismatch is reported only: the locator's EEPROM copy is not this packet.
        if (sum == received) {
            m_locateDebug.Printf("\nEeprom Checksum OK\n");
        } else {
            m_locateDebug.Printf("\nEeprom Checksum Error");
            m_locateDebug.Printf("\nChecksum Read       = 0x%X\n", received);
            m_locateDebug.Printf("\nChecksum Calculated = 0x%X\n", sum);
        }

        rec.nGpsMode = GetI32(packet + 52);
        m_locateDebug.Printf("\nnGpsMode = %d\n", rec.nGpsMode);

        // These protocols log centimetres and milliamperes.
        ld.fDepth = ld.fDepth * 100.0f;
        ld.fCurrent = ld.fCurrent * 1000.0f;

        rec.nMarkerType = GetI32(packet + 56);
        rec.fMarkerDepth = GetF32(packet + 60);
        rec.fMarkerSignal = GetF32(packet + 64);
        rec.fMarkerGain = GetF32(packet + 68);
        rec.RtcDate.u32Word = GetU32(packet + 72);
        rec.RtcTime.u32Word = GetU32(packet + 76);
        m_locateDebug.Printf("\nRtcDate.u32Word = 0x%X\n", rec.RtcDate.u32Word);
        m_locateDebug.Printf("\nu32Year  = %u", rec.RtcDate.Year());
        m_locateDebug.Printf("\nu32Month = %u", rec.RtcDate.Month());
        m_locateDebug.Printf("\nu32Day   = %u", rec.RtcDate.Day());
        m_locateDebug.Printf("\nRtcTime.u32Word = 0x%X\n", rec.RtcTime.u32Word);
        m_locateDebug.Printf("\nu32Hours   = %u", rec.RtcTime.Hours());
        m_locateDebug.Printf("\nu32Minutes = %u", rec.RtcTime.Minutes());
        m_locateDebug.Printf("\nu32Seconds = %u", rec.RtcTime.Seconds());

        if (u8Command == 2) {
            DecodeLocatorGps(packet);
            rec.nRtcUpdated = GetI32(packet + 80);
        }
    }

    if (u8Command == 1) {
        const int32_t nGpsMode = rec.nGpsMode;
        if (CarriesLocatorFields(nProtocolId) && nGpsMode == 0) {
            m_locateDebug.Printf("\nINTERNAL GPS\n");
            DecodeLocatorGps(packet);
            rec.nRtcUpdated = GetI32(packet + 80);
        } else if (nProtocolId == 0 || nProtocolId == 1 ||
                   (CarriesLocatorFields(nProtocolId) && (nGpsMode == 1 || nGpsMode == 2))) {
            m_locateDebug.Printf("\nEXTERNAL GPS\n");
            FillFromHandheld(data);
        } else {
            // A protocol or GPS mode this handheld does not know: short NAK for
            // protocols 2 and 3, nothing for 4-7. Nothing is queued.
            m_pCurrentRecord.reset();
            return SendToLocator(1, REPLY_NAK, data, nProtocolId, nGpsMode);
        }
    }

    const int32_t nGpsMode = rec.nGpsMode;
    if (QueueRecord() != 0) {
        // The survey log never sees this measurement: tell the locator so, rather
        // than acknowledge a point that is lost. The packet number is not used up.
        m_pCurrentRecord.reset();
        const int nRetCode = SendToLocator(u8Command, REPLY_NAK, data, nProtocolId, nGpsMode);
        m_locateDebug.Printf("SendToLocator NAK, nRetCode = %u\n", static_cast<unsigned>(nRetCode));
        return nRetCode;
    }
    m_u32NextPacket.fetch_add(1);

    const int nRetCode = SendToLocator(u8Command, REPLY_ACK, data, nProtocolId, nGpsMode);
    m_locateDebug.Printf("SendToLocator ACK, nRetCode = %u\n", static_cast<unsigned>(nRetCode));
    // After the reply: the locator's answer never waits for the survey log.
    m_owner.OnRecordQueued();
    return nRetCode;
}

// The handheld's GPS for the current record, and the GPS block that a long ACK
// carries back to the locator.
void CLocatorLink::FillFromHandheld(uint8_t* data)
{
    SURVEY_POINT& rec = *m_pCurrentRecord;
    GPS_FIX& fix = rec.GpsFix;
    ZDA_DATA& zda = rec.ZdaData;

    // A copy that fails leaves the cleared fix (quality 0): the clock supplies the
    // time. So does a fix older than the maximum age (157): a receiver that fell
    // silent says nothing about where this point was measured, or when.
    const int ggaCode = m_pDecoder->CopyCurrentGga(&fix, &rec.Quality);
    m_locateDebug.Printf("GGA Code = %u\n", static_cast<unsigned>(ggaCode));
    if (ggaCode == 0) {
        const int zdaCode = m_pDecoder->CopyZdaData(&zda);
        m_locateDebug.Printf("ZDA Code = %u\n", static_cast<unsigned>(zdaCode));
    }
    DumpGpsFix();

    const LOCAL_TIME now = GetLocalTime();
    if (fix.nGpsFix == 0) {
        fix.dfUTC = ClockUtc(now);
        fix.nTimeInd = 0;
    }
    if (zda.nHour == 0 && zda.nMinute == 0 && zda.nSecond == 0 && zda.nDay == 0 && zda.nMonth == 0 &&
        zda.nYear == 0) {
        zda.dfUTC = ClockUtc(now);
        zda.nHour = now.nHour;
        zda.nMinute = now.nMinute;
        zda.nSecond = now.nSecond;
        zda.nDay = now.nDay;
        zda.nMonth = now.nMonth;
        zda.nYear = now.nYear;
        zda.nTimeInd = 0;
    } else if (fix.nGpsFix != 0) {
        fix.nTimeInd = 1;
    }

    const uint32_t dateWord = (static_cast<uint32_t>(zda.nDay) << 24) |
                              ((static_cast<uint32_t>(zda.nMonth) & 0xFFu) << 16) |
                              (static_cast<uint32_t>(zda.nYear) & 0xFFFFu);
    PutU32(data + GB_DATE, dateWord);
    PutF32(data + GB_UTC, static_cast<float>(fix.dfUTC));
    if (fix.nGpsFix != 0) {
        PutF32(data + GB_HDOP, static_cast<float>(fix.dfHorizDil));
        PutF32(data + GB_ALTITUDE, static_cast<float>(fix.dfAltVal));
        PutF32(data + GB_GEOID, static_cast<float>(fix.dfGeoidVal));
        PutU32(data + GB_DGPS_AGE, fix.nDgpsTime);
        PutU32(data + GB_DGPS_ID, fix.nDgpsId);
        PutU32(data + GB_GEOID_UNITS, static_cast<uint32_t>(fix.nGeoidUnits));
        PutU32(data + GB_FIX, fix.nGpsFix);
        PutU32(data + GB_SATS, fix.nNoSats);
        PutU32(data + GB_ALT_UNITS, static_cast<uint32_t>(fix.nAltUnits));
        PutF64(data + GB_LATITUDE, fix.nLatDir == DIR_SOUTH ? -fix.dfLatAng : fix.dfLatAng);
        PutF64(data + GB_LONGITUDE, fix.nLongDir == DIR_WEST ? -fix.dfLongAng : fix.dfLongAng);
    }
    PutU32(data + GB_TIME_IND, fix.nTimeInd);
}

int CLocatorLink::SendToLocator(uint8_t u8Command, uint8_t u8Type, const uint8_t* data, int32_t nProtocolId,
                                int32_t nGpsMode)
{
    if (nProtocolId < 0 || nProtocolId > 3)
        return -1;
    const bool longForm = CarriesLocatorFields(nProtocolId) && u8Type == REPLY_ACK && nGpsMode == 1;

    uint8_t payload[CFrameCodec::kRxSize] = {0xFF, 0x03, 0x00, 0x21, u8Command, u8Type};
    uint32_t length = 6;
    if (longForm) {
        payload[6] = static_cast<uint8_t>(kGpsBlockSize);
        payload[7] = 0;
        std::memcpy(payload + 8, data, kGpsBlockSize);
        length = 8 + kGpsBlockSize;
    }

    const int encoded = m_pCodec->EncodeFrame(payload, length);
    if (encoded != FRAME_ENCODED)
        return encoded;
    const uint32_t written = m_pBluetoothPort->WritePort(m_pCodec->TxBuffer(), m_pCodec->TxLength());
    m_locateDebug.Printf("SendToLocator dwWritten = %u\n", written);
    return written != m_pCodec->TxLength() ? LINK_ERR_SHORT_WRITE : 1;
}

void CLocatorLink::DecodeLocatorGps(const uint8_t* packet)
{
    const uint8_t* block = packet + kGpsBlock;
    GPS_FIX& fix = m_pCurrentRecord->GpsFix;
    ZDA_DATA& zda = m_pCurrentRecord->ZdaData;

    // The locator sends signed degrees; the record keeps angle and hemisphere.
    fix.dfUTC = static_cast<double>(GetF32(block + GB_UTC));
    fix.dfLatAng = GetF64(block + GB_LATITUDE);
    fix.nLatDir = DIR_NORTH;
    if (fix.dfLatAng < 0.0) {
        fix.dfLatAng = -fix.dfLatAng;
        fix.nLatDir = DIR_SOUTH;
    }
    fix.dfLongAng = GetF64(block + GB_LONGITUDE);
    fix.nLongDir = DIR_EAST;
    if (fix.dfLongAng < 0.0) {
        fix.dfLongAng = -fix.dfLongAng;
        fix.nLongDir = DIR_WEST;
    }
    fix.nGpsFix = GetU32(block + GB_FIX);
    fix.nNoSats = GetU32(block + GB_SATS);
    fix.dfHorizDil = static_cast<double>(GetF32(block + GB_HDOP));
    fix.dfAltVal = static_cast<double>(GetF32(block + GB_ALTITUDE));
    fix.nAltUnits = GetI32(block + GB_ALT_UNITS);
    fix.dfGeoidVal = static_cast<double>(GetF32(block + GB_GEOID));
    fix.nGeoidUnits = GetI32(block + GB_GEOID_UNITS);
    fix.nDgpsTime = GetU32(block + GB_DGPS_AGE);
    fix.nDgpsId = GetU32(block + GB_DGPS_ID);
    fix.nTimeInd = GetU32(block + GB_TIME_IND);
    m_pCurrentRecord->Quality = QualityFromLocatorBlock(fix.nGpsFix, fix.nDgpsTime, fix.nDgpsId);

    const RTC_DATE date{GetU32(block + GB_DATE)};
    zda.nDay = static_cast<int32_t>(date.Day());
    zda.nMonth = static_cast<int32_t>(date.Month());
    zda.nYear = static_cast<int32_t>(date.Year());

    DumpGpsFix();
}

void CLocatorLink::DumpGpsFix()
{
    if (!m_bLocateDebug.load() || !m_pCurrentRecord)
        return;
    const GPS_FIX& fix = m_pCurrentRecord->GpsFix;
    m_locateDebug.Printf("\nUTC                 = %f", fix.dfUTC);
    m_locateDebug.Printf("\nHorizontal Dilution = %f", fix.dfHorizDil);
    m_locateDebug.Printf("\nAltitude            = %f", fix.dfAltVal);
    m_locateDebug.Printf("\nGeoid               = %f", fix.dfGeoidVal);
    m_locateDebug.Printf("\nDgpsTime            = %u", fix.nDgpsTime);
    m_locateDebug.Printf("\nDgpsID              = %u", fix.nDgpsId);
    m_locateDebug.Printf("\nGeoid Units         = %d", fix.nGeoidUnits);
    m_locateDebug.Printf("\nGPS Fix             = %u", fix.nGpsFix);
    m_locateDebug.Printf("\nNo. Satellites      = %u", fix.nNoSats);
    m_locateDebug.Printf("\nAltitude Units      = %d", fix.nAltUnits);
    m_locateDebug.Printf("\nTime Reference      = %u", fix.nTimeInd);
    m_locateDebug.Printf("\nLatitude            = %f", fix.dfLatAng);
    m_locateDebug.Printf("\nLongitude           = %f\n", fix.dfLongAng);
}
